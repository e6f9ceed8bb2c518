#include "linereader.h"

#include <QCoreApplication>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype InitialBuffer = qsizetype(1) << 14;
constexpr qsizetype MaxBuffer = 2 * LineReader::maxLineLength();

// Whether path names a pipe the shell handed over: standard input or a
// process substitution.
bool namesHandedPipe(const QByteArray &path)
{
    return path == "/dev/stdin" || path.startsWith("/dev/fd/") || path.startsWith("/proc/self/fd/");
}

} // namespace

LineReader::LineReader()
    : m_buffer(new char[size_t(InitialBuffer)])
    , m_capacity(InitialBuffer)
{
}

LineReader::~LineReader()
{
    if (m_ownsFd && m_fd >= 0)
        ::close(m_fd);
}

bool LineReader::open(const QByteArray &path)
{
    if (path == "-") {
        m_fd = STDIN_FILENO;
        m_ownsFd = false;
        return true;
    }
    if (path.contains('\0')) {
        m_errorString = qt_error_string(ENOENT);
        return false;
    }
    // Not blocking at open: a named FIFO without a writer would wait for ever.
    do {
        m_fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) {
        m_errorString = qt_error_string(errno);
        return false;
    }
    m_ownsFd = true;
    struct stat info;
    if (::fstat(m_fd, &info) != 0) {
        m_errorString = qt_error_string(errno);
        return false;
    }
    const bool pipe = S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
    // A character device that is no terminal (/dev/null) ends or is refused
    // at its first NUL byte; a terminal would wait for input.
    const bool device = S_ISCHR(info.st_mode) && !::isatty(m_fd);
    if (!S_ISREG(info.st_mode) && !device && !(pipe && namesHandedPipe(path))) {
        m_errorString = S_ISDIR(info.st_mode) ? QCoreApplication::translate("LineReader", "is a directory")
                : S_ISFIFO(info.st_mode)
                ? QCoreApplication::translate("LineReader", "is a named pipe (FIFO), which is not read: give "
                                                            "its content on standard input as -")
                : QCoreApplication::translate("LineReader", "is not a regular file");
        return false;
    }
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK);
    return true;
}

bool LineReader::fill()
{
    if (m_start > 0) {
        std::memmove(m_buffer.get(), m_buffer.get() + m_start, size_t(m_end - m_start));
        m_end -= m_start;
        m_start = 0;
    }
    if (m_end == m_capacity && m_capacity < MaxBuffer) {
        const qsizetype bigger = std::min(MaxBuffer, 2 * m_capacity);
        std::unique_ptr<char[]> grown(new char[size_t(bigger)]);
        std::memcpy(grown.get(), m_buffer.get(), size_t(m_end));
        m_buffer = std::move(grown);
        m_capacity = bigger;
    }
    ssize_t got;
    do {
        got = ::read(m_fd, m_buffer.get() + m_end, size_t(m_capacity - m_end));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        m_errorString = qt_error_string(errno);
        return false;
    }
    if (got == 0)
        m_eof = true;
    if (std::memchr(m_buffer.get() + m_end, '\0', size_t(got))) {
        m_errorString = QCoreApplication::translate("LineReader", "holds a NUL byte: not a text file");
        return false;
    }
    m_end += got;
    return true;
}

LineReader::Status LineReader::next(QByteArray &line)
{
    if (!m_errorString.isEmpty() || m_fd < 0)
        return Error;
    for (;;) {
        const char *begin = m_buffer.get() + m_start;
        if (const void *nl = std::memchr(begin, '\n', size_t(m_end - m_start))) {
            const qsizetype length = static_cast<const char *>(nl) - begin;
            line = QByteArray(begin, length);
            m_start += length + 1;
            ++m_lineNumber;
            m_lineEnded = true;
            return Line;
        }
        if (m_end - m_start > maxLineLength()) {
            m_errorString = QCoreApplication::translate("LineReader", "line %1 is longer than %2 bytes")
                                    .arg(m_lineNumber + 1)
                                    .arg(maxLineLength());
            return Error;
        }
        if (m_eof) {
            if (m_end == m_start)
                return End;
            line = QByteArray(begin, m_end - m_start);
            m_start = m_end;
            ++m_lineNumber;
            m_lineEnded = false;
            return Line;
        }
        if (!fill())
            return Error;
    }
}
