#pragma once

#include "mapgrid.h"
#include "raggedrows.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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

// Lets a reader blocked on a FIFO go on after a while: if it still lives
// after timeout, it opens the FIFO's writing end once (without blocking) and
// closes it, which ends a waiting open() and read(). For tests of code that
// must not wait on a FIFO: they end, and fail on their time, instead of
// hanging should the code wait.
class FifoRelease
{
public:
    FifoRelease(const QString &fifo, std::chrono::milliseconds timeout)
        : m_thread([this, path = QFile::encodeName(fifo), timeout] {
            const auto end = std::chrono::steady_clock::now() + timeout;
            while (!m_done && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            while (!m_done) {
                const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        })
    {
    }
    ~FifoRelease()
    {
        m_done = true;
        m_thread.join();
    }
    FifoRelease(const FifoRelease &) = delete;
    FifoRelease &operator=(const FifoRelease &) = delete;

private:
    std::atomic<bool> m_done{false};
    std::thread m_thread;
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
