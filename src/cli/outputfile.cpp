#include "outputfile.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

OutputFile::~OutputFile()
{
    cancel();
}

bool OutputFile::fail(int error)
{
    setErrorString(qt_error_string(error));
    return false;
}

bool OutputFile::open(const QByteArray &path)
{
    m_path = path;
    if (path.isEmpty()) {
        m_fd = STDOUT_FILENO;
        return QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    if (path.contains('\0'))
        return fail(ENOENT);
    struct stat info;
    const bool exists = ::stat(path.constData(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        return fail(EISDIR);
    QByteArray name = path + ".XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(errno);
    // The file keeps the permissions it had; a new one gets what umask allows.
    mode_t mode = info.st_mode & 07777;
    if (!exists) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    m_fd = fd;
    m_temporary = name;
    return QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 OutputFile::writeData(const char *data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(m_fd, data + done, size_t(size - done));
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
            return done > 0 ? done : -1;
        }
        done += wrote;
    }
    return done;
}

bool OutputFile::commit()
{
    if (m_temporary.isEmpty()) {
        QIODevice::close();
        return m_fd >= 0;
    }
    const int fd = m_fd;
    m_fd = -1;
    QIODevice::close();
    if (::fsync(fd) != 0 && errno != EINVAL) {
        const int error = errno;
        ::close(fd);
        cancel();
        return fail(error);
    }
    if (::close(fd) != 0 || ::rename(m_temporary.constData(), m_path.constData()) != 0) {
        const int error = errno;
        cancel();
        return fail(error);
    }
    m_temporary.clear();
    return true;
}

void OutputFile::cancel()
{
    if (!m_temporary.isEmpty()) {
        if (m_fd >= 0)
            ::close(m_fd);
        ::unlink(m_temporary.constData());
        m_temporary.clear();
    }
    m_fd = -1;
    if (isOpen())
        QIODevice::close();
}
