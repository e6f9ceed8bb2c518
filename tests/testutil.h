#pragma once

#include "mapgrid.h"
#include "raggedrows.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <csignal>
#include <vector>

#include <sys/resource.h>

// Helpers shared by the test programs.
namespace TestUtil {

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Writes the fixture dir/name and returns its path; stops the test program if
// it cannot.
inline QString writeFixture(const QString &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir + QLatin1Char('/') + name;
    if (!writeFile(path, bytes))
        qFatal("cannot write the fixture %s", qPrintable(path));
    return path;
}

// Limits the size of files this process writes while it lives, to make
// writes fail the way a full disk does (also for root).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_old); }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_old;
};

// Rows written as text: values of a row separated by blanks, rows by '/'.
template <typename Rows>
QByteArray rowsText(const Rows &rows)
{
    QByteArray out;
    for (const auto &row : rows) {
        if (!out.isEmpty())
            out += '/';
        for (size_t c = 0; c < row.size(); ++c)
            out += (c ? " " : "") + QByteArray::number(int(row[c]));
    }
    return out;
}

template <typename T>
std::vector<std::vector<int>> toNested(const RaggedRows<T> &rows)
{
    std::vector<std::vector<int>> out;
    for (qsizetype r = 0; r < rows.rowCount(); ++r)
        out.emplace_back(rows.row(r), rows.row(r) + rows.rowLength(r));
    return out;
}

inline std::vector<std::vector<int>> toNested(const MapGrid &grid)
{
    std::vector<std::vector<int>> out;
    for (qsizetype r = 0; r < grid.rowCount(); ++r) {
        out.emplace_back();
        for (qsizetype c = 0; c < grid.rowLength(r); ++c)
            out.back().push_back(grid.value(r, c));
    }
    return out;
}

// Parses "1 0/0 1" (rows separated by '/') into grid rows of 0/1 cells.
inline RaggedRows<qint8> gridFromText(const QByteArray &text)
{
    RaggedRows<qint8> rows;
    for (const QByteArray &line : text.split('/')) {
        for (const QByteArray &field : line.split(' ')) {
            if (!field.isEmpty())
                rows.cells.push_back(qint8(field.toInt()));
        }
        rows.endRow();
    }
    return rows;
}

} // namespace TestUtil
