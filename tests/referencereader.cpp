#include "referencereader.h"

#include <QString>
#include <QStringList>

namespace {

QList<QByteArray> lines(const QByteArray &text)
{
    return text.split('\n');
}

QStringList fields(const QByteArray &line)
{
    // A line's text ends at its first NUL byte, as a C string would.
    const QString text = QString::fromLatin1(line.constData(), qstrnlen(line.constData(), line.size()));
    return text.split(QChar(' '), Qt::KeepEmptyParts, Qt::CaseSensitive);
}

} // namespace

namespace ReferenceReader {

Rows percolation(const QByteArray &text, int habitatValue)
{
    Rows rows;
    for (const QByteArray &line : lines(text)) {
        std::vector<int> row;
        for (const QString &field : fields(line)) {
            bool ok = false;
            const int value = field.toInt(&ok, 10);
            if (ok)
                row.push_back(value == habitatValue ? 1 : 0);
        }
        if (!row.empty())
            rows.push_back(row);
    }
    return rows;
}

Rows display(const QByteArray &text)
{
    Rows rows;
    for (const QByteArray &line : lines(text)) {
        QStringList parts = fields(line);
        if (parts.last().trimmed().isEmpty() && parts.last().indexOf(QChar(0x85)) < 0
            && parts.last().indexOf(QChar(0xa0)) < 0)
            parts.removeLast();
        if (parts.isEmpty())
            continue;
        std::vector<int> row;
        for (const QString &field : parts)
            row.push_back(field.toInt(nullptr, 10));
        rows.push_back(row);
    }
    return rows;
}

} // namespace ReferenceReader
