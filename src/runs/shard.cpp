#include "shard.h"

#include <QCoreApplication>
#include <QRegularExpression>

std::optional<Shard> Shard::parse(const QString &text, QString *errorString)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,18})/([0-9]{1,18})$"));
    const QRegularExpressionMatch match = form.match(text);
    Shard shard;
    if (match.hasMatch()) {
        shard.index = match.captured(1).toLongLong();
        shard.count = match.captured(2).toLongLong();
        if (shard.count >= 1 && shard.index >= 1 && shard.index <= shard.count)
            return shard;
    }
    if (errorString) {
        *errorString = QCoreApplication::translate("Shard", "--shard takes K/N with 1 <= K <= N, not '%1'")
                               .arg(text);
    }
    return std::nullopt;
}

QByteArray Shard::tag() const
{
    const QByteArray total = QByteArray::number(count);
    return QByteArray::number(index).rightJustified(total.size(), '0') + "-of-" + total;
}

QByteArray Shard::expand(const QByteArray &name) const
{
    return QByteArray(name).replace(placeholder(), tag());
}

std::optional<Shard> Shard::fromName(const QByteArray &name)
{
    static const QRegularExpression tagged(QStringLiteral("(?<![0-9])([0-9]+)-of-([0-9]+)(?![0-9])"));
    const QString last = QString::fromLatin1(name.mid(name.lastIndexOf('/') + 1));
    QRegularExpressionMatchIterator matches = tagged.globalMatch(last);
    if (!matches.hasNext())
        return std::nullopt;
    const QRegularExpressionMatch match = matches.next();
    if (matches.hasNext())
        return std::nullopt;
    Shard shard;
    bool indexOk = false;
    bool countOk = false;
    shard.index = match.captured(1).toLongLong(&indexOk);
    shard.count = match.captured(2).toLongLong(&countOk);
    if (!indexOk || !countOk || shard.index < 1 || shard.index > shard.count)
        return std::nullopt;
    return shard;
}
