#include "landscapeoptions.h"

#include <QRegularExpression>

#include <charconv>
#include <cmath>

namespace {

// A decimal number of at most 9 decimals as an integer count of 10^-decimals.
bool decimal(const QString &text, qint64 &units, int &decimals)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,9})(?:\\.([0-9]{0,9}))?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return false;
    const QString fraction = match.captured(2);
    decimals = int(fraction.size());
    units = match.captured(1).toLongLong();
    for (int i = 0; i < decimals; ++i)
        units = units * 10 + (fraction[i].unicode() - '0');
    return true;
}

QByteArray withDecimals(qint64 units, int decimals)
{
    if (decimals == 0)
        return QByteArray::number(units);
    qint64 scale = 1;
    for (int i = 0; i < decimals; ++i)
        scale *= 10;
    return QByteArray::number(units / scale) + '.' + QByteArray::number(units % scale).rightJustified(decimals, '0');
}

} // namespace

LandscapeOptions::LandscapeOptions()
    : m_model("model", "The neutral landscape model: random, fractal (midpoint displacement) or clusters "
                       "(modified random clusters).", "MODEL")
    , m_size("size", "The side L of the L x L landscapes, 1 to 65536.", "L")
    , m_roughness("roughness", "fractal: the Hurst exponent H, 0 (rough) to 1 (smooth). Default: 0.5.", "H")
    , m_seedShare("seed-share", "clusters: the share Q of cells seeded, above 0 and at most 1. Default: 0.1.", "Q")
    , m_seed("seed", "The seed, a whole number from 0 to 18446744073709551615: the same seed gives the same "
                     "landscapes everywhere.", "S")
{
}

void LandscapeOptions::addTo(QCommandLineParser &parser) const
{
    parser.addOptions({m_model, m_size, m_roughness, m_seedShare, m_seed});
}

bool LandscapeOptions::read(const QCommandLineParser &parser, NeutralLandscape::Parameters &parameters,
                            QString *errorString) const
{
    auto fail = [errorString](const QString &why) {
        *errorString = why;
        return false;
    };
    if (!parser.isSet(m_model) || !parser.isSet(m_size) || !parser.isSet(m_seed))
        return fail(QStringLiteral("--model, --size and --seed are needed"));
    const auto model = NeutralLandscape::modelNamed(parser.value(m_model));
    if (!model)
        return fail(QStringLiteral("--model takes random, fractal or clusters, not '%1'").arg(parser.value(m_model)));
    parameters.model = *model;
    bool ok = false;
    parameters.size = parser.value(m_size).toLongLong(&ok, 10);
    if (!ok)
        return fail(QStringLiteral("--size takes a whole number, not '%1'").arg(parser.value(m_size)));
    parameters.seed = parser.value(m_seed).toULongLong(&ok, 10);
    if (!ok || parser.value(m_seed).startsWith(QLatin1Char('+')))
        return fail(QStringLiteral("--seed takes a whole number from 0 to 18446744073709551615, not '%1'")
                            .arg(parser.value(m_seed)));
    QByteArray text;
    if (parser.isSet(m_roughness)) {
        if (parameters.model != NeutralLandscape::Fractal)
            return fail(QStringLiteral("--roughness belongs to the fractal model"));
        if (!parseShare(parser.value(m_roughness), parameters.roughness, text, errorString))
            return fail(QStringLiteral("--roughness takes a number from 0 to 1, not '%1'").arg(parser.value(m_roughness)));
    }
    if (parser.isSet(m_seedShare)) {
        if (parameters.model != NeutralLandscape::Clusters)
            return fail(QStringLiteral("--seed-share belongs to the clusters model"));
        if (!parseShare(parser.value(m_seedShare), parameters.seedShare, text, errorString))
            return fail(QStringLiteral("--seed-share takes a number above 0 and at most 1, not '%1'")
                                .arg(parser.value(m_seedShare)));
    }
    return NeutralLandscape::check(parameters, errorString);
}

QByteArray LandscapeOptions::shortest(double value)
{
    char buffer[512];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (result.ptr - buffer > 24) // 1e-300 rather than three hundred zeros
        result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    return QByteArray(buffer, int(result.ptr - buffer));
}

QByteArray LandscapeOptions::parameterTag(const NeutralLandscape::Parameters &parameters)
{
    switch (parameters.model) {
    case NeutralLandscape::Fractal:
        return "-H" + shortest(parameters.roughness);
    case NeutralLandscape::Clusters:
        return "-Q" + shortest(parameters.seedShare);
    case NeutralLandscape::Random:
        break;
    }
    return QByteArray();
}

bool LandscapeOptions::parseShare(const QString &text, double &value, QByteArray &canonical, QString *errorString)
{
    // Any decimal or exponent notation, read in the C locale whatever the
    // user's: digits, one point, an exponent; no sign, no hex, no inf or nan.
    static const QRegularExpression form(QStringLiteral("^([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][-+]?[0-9]{1,4})?$"));
    const QByteArray latin = text.toLatin1();
    const auto read = std::from_chars(latin.constData(), latin.constData() + latin.size(), value);
    if (!form.match(text).hasMatch() || read.ec != std::errc() || read.ptr != latin.constData() + latin.size()
        || !(value >= 0 && value <= 1)) {
        *errorString = QStringLiteral("a share is a number from 0 to 1 (such as 0.5, .5 or 5e-1), not '%1'").arg(text);
        return false;
    }
    canonical = shortest(value);
    return true;
}

bool LandscapeOptions::parseShares(const QString &text, std::vector<double> &values, QByteArrayList &texts,
                                   QString *errorString)
{
    values.clear();
    texts.clear();
    const QStringList range = text.split(QLatin1Char(':'));
    if (range.size() == 3) {
        qint64 from, to, step;
        int fromDecimals, toDecimals, stepDecimals;
        if (!decimal(range[0], from, fromDecimals) || !decimal(range[1], to, toDecimals)
            || !decimal(range[2], step, stepDecimals)) {
            *errorString = QStringLiteral("--share FROM:TO:STEP takes decimal numbers, not '%1'").arg(text);
            return false;
        }
        const int decimals = std::max({fromDecimals, toDecimals, stepDecimals});
        auto scale = [decimals](qint64 units, int given) {
            for (int i = given; i < decimals; ++i)
                units *= 10;
            return units;
        };
        from = scale(from, fromDecimals);
        to = scale(to, toDecimals);
        step = scale(step, stepDecimals);
        qint64 one = scale(1, 0);
        if (step <= 0 || from > to || to > one) {
            *errorString = QStringLiteral("--share FROM:TO:STEP needs 0 <= FROM <= TO <= 1 and STEP > 0, not '%1'").arg(text);
            return false;
        }
        if ((to - from) / step + 1 > maxShares()) {
            *errorString = QStringLiteral("--share '%1' gives more than %2 shares").arg(text).arg(maxShares());
            return false;
        }
        for (qint64 units = from; units <= to; units += step) {
            texts << withDecimals(units, decimals);
            values.push_back(texts.last().toDouble());
        }
        return true;
    }
    const QStringList list = text.split(QLatin1Char(','));
    if (list.size() > maxShares()) {
        *errorString = QStringLiteral("--share gives more than %1 shares").arg(maxShares());
        return false;
    }
    for (const QString &item : list) {
        double value;
        QByteArray canonical;
        if (!parseShare(item.trimmed(), value, canonical, errorString))
            return false;
        if (texts.contains(canonical)) {
            *errorString = QStringLiteral("--share gives %1 twice").arg(QString::fromLatin1(canonical));
            return false;
        }
        values.push_back(value);
        texts << canonical;
    }
    return true;
}
