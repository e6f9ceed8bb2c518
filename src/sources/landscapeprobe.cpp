#include "landscapeprobe.h"

#include <QCoreApplication>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LandscapeProbe {

InputFile::~InputFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool InputFile::open(const QByteArray &path, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    auto notRegular = [&](mode_t mode) {
        return fail(S_ISDIR(mode) ? QCoreApplication::translate("LandscapeReader", "is a directory")
                                  : QCoreApplication::translate("LandscapeReader", "is not a regular file"));
    };
    if (path.isEmpty() || path.contains('\0'))
        return fail(qt_error_string(ENOENT));
    struct stat info;
    if (::stat(path.constData(), &info) == 0 && !S_ISREG(info.st_mode))
        return notRegular(info.st_mode);
    do {
        m_fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0)
        return fail(qt_error_string(errno));
    if (::fstat(m_fd, &info) != 0)
        return fail(qt_error_string(errno));
    if (!S_ISREG(info.st_mode))
        return notRegular(info.st_mode);
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK);
    m_size = qint64(info.st_size);
    return true;
}

Kind probe(const QByteArray &path, QString *errorString)
{
    InputFile file;
    if (!file.open(path, errorString))
        return Kind::NotRegular;
    unsigned char bytes[SniffBytes];
    size_t size = 0;
    while (size < sizeof bytes) {
        const ssize_t got = ::read(file.fd(), bytes + size, sizeof bytes - size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            if (errorString)
                *errorString = qt_error_string(errno);
            return Kind::NotRegular;
        }
        if (got == 0)
            break;
        size += size_t(got);
    }
    return kindOfBytes(bytes, size);
}

} // namespace LandscapeProbe
