#include "coverset.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

namespace {

bool toInt32(const QString &text, qint32 &value)
{
    bool ok = false;
    const qlonglong wide = text.toLongLong(&ok, 10);
    if (!ok || wide < std::numeric_limits<qint32>::min() || wide > std::numeric_limits<qint32>::max())
        return false;
    value = qint32(wide);
    return true;
}

} // namespace

std::optional<CoverSet> CoverSet::parse(const QString &text, QString *errorString)
{
    auto fail = [&](const QString &why) {
        if (errorString)
            *errorString = why;
        return std::nullopt;
    };
    if (text == QLatin1String("each"))
        return each();
    static const QRegularExpression part(QStringLiteral("^([-+]?[0-9]+)(?:-([-+]?[0-9]+))?$"));
    CoverSet set;
    for (const QString &item : text.split(QLatin1Char(','))) {
        const QRegularExpressionMatch match = part.match(item);
        qint32 low = 0;
        qint32 high = 0;
        if (!match.hasMatch() || !toInt32(match.captured(1), low)
            || !toInt32(match.hasCaptured(2) ? match.captured(2) : match.captured(1), high)) {
            return fail(QCoreApplication::translate("CoverSet", "the cover '%1' is not 'each', a 32-bit class value, or "
                                                                "values and ranges such as 41,42 or 41-43")
                                .arg(text));
        }
        if (high < low)
            return fail(QCoreApplication::translate("CoverSet", "the range '%1' ends below its start").arg(item));
        set.m_ranges.push_back({low, high});
    }
    std::sort(set.m_ranges.begin(), set.m_ranges.end());
    std::vector<std::pair<qint32, qint32>> merged;
    for (const auto &range : set.m_ranges) {
        if (!merged.empty() && qint64(range.first) <= qint64(merged.back().second) + 1)
            merged.back().second = std::max(merged.back().second, range.second);
        else
            merged.push_back(range);
    }
    set.m_ranges = std::move(merged);
    set.m_asked = text.toLatin1();
    return set;
}

QByteArray CoverSet::text() const
{
    if (m_each)
        return QByteArrayLiteral("each");
    QByteArrayList parts;
    for (const auto &range : m_ranges) {
        if (range.first == range.second)
            parts << QByteArray::number(range.first);
        else
            parts << QByteArray::number(range.first) + '-' + QByteArray::number(range.second);
    }
    return parts.join(',');
}
