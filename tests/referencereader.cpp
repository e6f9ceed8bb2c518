#include "referencereader.h"

#include <QString>
#include <QStringList>

namespace {

QList<QByteArray> lines(const QByteArray &text)
{
    return text.split('\n');
}

// White space as Qt 4's QChar::isSpace had it: tab to carriage return, and the
// Unicode separators (for Latin-1 the blank and the no-break space).
bool isSpace(QChar ch)
{
    const QChar::Category category = ch.category();
    return (ch.unicode() >= 9 && ch.unicode() <= 13) || category == QChar::Separator_Space
            || category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
}

QString trimmed(const QString &field)
{
    qsizetype begin = 0;
    qsizetype end = field.size();
    while (begin < end && isSpace(field[begin]))
        ++begin;
    while (end > begin && isSpace(field[end - 1]))
        --end;
    return field.mid(begin, end - begin);
}

// Qt 4's QString::toInt in base 10: white space at either end ignored.
int qt4ToInt(const QString &field, bool *ok)
{
    return trimmed(field).toInt(ok, 10);
}

QStringList fields(const QByteArray &line)
{
    // A line's text ends at its first NUL byte, as a C string would.
    const QString text = QString::fromLatin1(line.constData(), qstrnlen(line.constData(), line.size()));
    return text.split(QChar(' '), Qt::KeepEmptyParts, Qt::CaseSensitive);
}

} // namespace

namespace ReferenceReader {

Rows percolationValues(const QByteArray &text)
{
    Rows rows;
    for (const QByteArray &line : lines(text)) {
        std::vector<int> row;
        for (const QString &field : fields(line)) {
            bool ok = false;
            const int value = qt4ToInt(field, &ok);
            if (ok)
                row.push_back(value);
        }
        if (!row.empty())
            rows.push_back(row);
    }
    return rows;
}

Rows percolation(const QByteArray &text, const std::function<bool(int)> &inCover)
{
    Rows rows = percolationValues(text);
    for (auto &row : rows) {
        for (int &cell : row)
            cell = inCover(cell) ? 1 : 0;
    }
    return rows;
}

Rows percolation(const QByteArray &text, int habitatValue)
{
    return percolation(text, [habitatValue](int value) { return value == habitatValue; });
}

int toInt(const QByteArray &field, bool *ok)
{
    return qt4ToInt(QString::fromLatin1(field), ok);
}

Rows display(const QByteArray &text)
{
    Rows rows;
    for (const QByteArray &line : lines(text)) {
        QStringList parts = fields(line);
        if (trimmed(parts.last()).isEmpty())
            parts.removeLast();
        if (parts.isEmpty())
            continue;
        std::vector<int> row;
        for (const QString &field : parts)
            row.push_back(qt4ToInt(field, nullptr));
        rows.push_back(row);
    }
    return rows;
}

} // namespace ReferenceReader
