#include "landscapeprobe.h"

#include <QCoreApplication>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LandscapeProbe {

Kind probe(const QByteArray &path, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return Kind::NotRegular;
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
    int fd;
    do {
        fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fail(qt_error_string(errno));
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(qt_error_string(error));
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return notRegular(info.st_mode);
    }
    unsigned char bytes[SniffBytes];
    size_t size = 0;
    while (size < sizeof bytes) {
        const ssize_t got = ::read(fd, bytes + size, sizeof bytes - size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return fail(qt_error_string(error));
        }
        if (got == 0)
            break;
        size += size_t(got);
    }
    ::close(fd);
    return kindOfBytes(bytes, size);
}

} // namespace LandscapeProbe
