#include "linereader.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qsizetype BufferSize = 2 * LineReader::maxLineLength();

} // namespace

LineReader::LineReader()
    : m_buffer(new char[size_t(BufferSize)])
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
    do {
        m_fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) {
        m_errorString = qt_error_string(errno);
        return false;
    }
    m_ownsFd = true;
    return true;
}

bool LineReader::fill()
{
    if (m_start > 0) {
        std::memmove(m_buffer.get(), m_buffer.get() + m_start, size_t(m_end - m_start));
        m_end -= m_start;
        m_start = 0;
    }
    ssize_t got;
    do {
        got = ::read(m_fd, m_buffer.get() + m_end, size_t(BufferSize - m_end));
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
