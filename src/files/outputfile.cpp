#include "outputfile.h"

#include "temporaryfiles.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

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

bool OutputFile::resolveLinks(const QByteArray &path, QByteArray &target)
{
    target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (::lstat(target.constData(), &info) != 0 || !S_ISLNK(info.st_mode))
            return true; // not a link (or nothing yet): this is the file
        // /dev/stdout, /dev/fd/N: the links of /proc name open files ("pipe:[N]"),
        // not paths; the link itself is what to open.
        if (target.startsWith("/proc/"))
            return true;
        QByteArray link(PATH_MAX, '\0');
        const ssize_t length = ::readlink(target.constData(), link.data(), size_t(link.size()));
        if (length < 0)
            return false;
        if (length >= link.size()) {
            errno = ENAMETOOLONG;
            return false;
        }
        link.truncate(length);
        if (!link.startsWith('/')) {
            const qsizetype slash = target.lastIndexOf('/');
            link.prepend(slash < 0 ? QByteArray() : target.left(slash + 1));
        }
        target = link;
    }
    errno = ELOOP;
    return false;
}

bool OutputFile::open(const QByteArray &path)
{
    cancel();
    m_target = path;
    if (path.isEmpty() || path == "-") {
        m_fd = STDOUT_FILENO;
        m_ownsFd = false;
        return QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    if (path.contains('\0'))
        return fail(ENOENT);
    if (!resolveLinks(path, m_target))
        return fail(errno);
    struct stat info;
    const bool exists = ::stat(m_target.constData(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        return fail(EISDIR);
    struct stat link;
    const bool openFile = ::lstat(m_target.constData(), &link) == 0 && S_ISLNK(link.st_mode); // under /proc
    if (exists && (!S_ISREG(info.st_mode) || openFile)) {
        // A device, a FIFO, a socket, a file the process has open: written as
        // it is, never replaced.
        int fd;
        do {
            fd = ::open(m_target.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY | (S_ISREG(info.st_mode) ? O_TRUNC : 0));
        } while (fd < 0 && errno == EINTR);
        if (fd < 0)
            return fail(errno);
        m_fd = fd;
        m_ownsFd = true;
        return QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    QByteArray name;
    const int fd = TemporaryFiles::create(m_target, name, &m_temporaryHandle);
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
    m_ownsFd = true;
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
    if (m_fd < 0)
        return false;
    const int fd = m_fd;
    const bool owns = m_ownsFd;
    m_fd = -1;
    m_ownsFd = false;
    QIODevice::close();
    if (m_temporary.isEmpty()) {
        // Standard output or a device: nothing to rename; a close that fails
        // (a full NFS disk, say) is still an error.
        if (owns && ::close(fd) != 0 && errno != EINTR)
            return fail(errno);
        return true;
    }
    if (::fsync(fd) != 0 && errno != EINVAL) {
        const int error = errno;
        ::close(fd);
        cancel();
        return fail(error);
    }
    if (::close(fd) != 0 || ::rename(m_temporary.constData(), m_target.constData()) != 0) {
        const int error = errno;
        cancel();
        return fail(error);
    }
    TemporaryFiles::remove(m_temporaryHandle);
    m_temporaryHandle = -1;
    m_temporary.clear();
    return true;
}

void OutputFile::cancel()
{
    if (m_fd >= 0 && m_ownsFd)
        ::close(m_fd);
    m_fd = -1;
    m_ownsFd = false;
    if (!m_temporary.isEmpty()) {
        ::unlink(m_temporary.constData());
        TemporaryFiles::remove(m_temporaryHandle);
        m_temporaryHandle = -1;
        m_temporary.clear();
    }
    if (isOpen())
        QIODevice::close();
}

std::optional<OutputFile::Collision> OutputFile::overwritesInput(const QByteArrayList &outputs,
                                                                const QByteArrayList &inputs)
{
    // The regular files the outputs are; inputs are looked at only when
    // some output exists, as a list may hold millions of paths.
    std::vector<std::pair<std::pair<dev_t, ino_t>, QByteArray>> existing;
    for (const QByteArray &output : outputs) {
        struct stat info;
        if (output.isEmpty() || output == "-" || output.contains('\0') || ::stat(output.constData(), &info) != 0
            || !S_ISREG(info.st_mode))
            continue;
        existing.push_back({{info.st_dev, info.st_ino}, output});
    }
    if (existing.empty())
        return std::nullopt;
    for (const QByteArray &input : inputs) {
        struct stat info;
        if (input.isEmpty() || input == "-" || input.contains('\0') || ::stat(input.constData(), &info) != 0
            || !S_ISREG(info.st_mode))
            continue;
        for (const auto &[identity, output] : existing) {
            if (identity.first == info.st_dev && identity.second == info.st_ino)
                return Collision{output, input};
        }
    }
    return std::nullopt;
}

bool OutputFile::writeWhole(const QByteArray &path, const QByteArray &bytes, QString *errorString)
{
    OutputFile file;
    if (file.open(path) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    if (errorString)
        *errorString = file.errorString();
    file.cancel();
    return false;
}

OutputFile::Staged::~Staged()
{
    cancel();
}

bool OutputFile::Staged::begin(const QByteArray &path, QString *errorString)
{
    cancel();
    m_target = std::make_unique<OutputFile>();
    if (!m_target->open(path)) {
        if (errorString)
            *errorString = m_target->errorString();
        m_target.reset();
        return false;
    }
    // A temporary name of our own for the writer: beside the target, or for
    // a device in the temporary folder, from which it is copied.
    const int fd = TemporaryFiles::create(m_target->isDirect() ? QFile::encodeName(QDir::tempPath()) + "/vantrix"
                                                                : m_target->target(),
                                          m_name, &m_handle);
    if (fd < 0) {
        if (errorString)
            *errorString = qt_error_string(errno);
        m_target.reset();
        return false;
    }
    ::close(fd);
    return true;
}

void OutputFile::Staged::cancel()
{
    if (!m_name.isEmpty()) {
        ::unlink(m_name.constData());
        TemporaryFiles::remove(m_handle);
        m_name.clear();
        m_handle = -1;
    }
    if (m_target)
        m_target->cancel();
    m_target.reset();
}

bool OutputFile::Staged::commit(QString *errorString)
{
    auto fail = [&](const QString &why) {
        if (errorString)
            *errorString = why;
        cancel();
        return false;
    };
    if (!m_target)
        return fail(QStringLiteral("nothing to commit"));
    OutputFile &target = *m_target;
    if (!target.isDirect()) {
        // The writer's file takes the place of the one open() prepared.
        struct stat info;
        if (::stat(target.m_temporary.constData(), &info) == 0)
            ::chmod(m_name.constData(), info.st_mode & 07777);
        target.cancel();
        if (::rename(m_name.constData(), target.m_target.constData()) != 0)
            return fail(qt_error_string(errno));
        TemporaryFiles::remove(m_handle);
        m_name.clear();
        m_handle = -1;
        m_target.reset();
        return true;
    }
    QFile made(QFile::decodeName(m_name));
    bool ok = made.open(QIODevice::ReadOnly);
    QString reason = ok ? QString() : made.errorString();
    while (ok && !made.atEnd()) {
        const QByteArray chunk = made.read(1 << 20);
        if (chunk.isEmpty()) {
            reason = made.errorString();
            ok = false;
        } else if (target.write(chunk) != chunk.size()) {
            reason = target.errorString();
            ok = false;
        }
    }
    made.close();
    if (!ok)
        return fail(reason);
    if (!target.commit())
        return fail(target.errorString());
    cancel();
    return true;
}

bool OutputFile::writeVia(const QByteArray &path, const std::function<bool(const QByteArray &, QString *)> &writer,
                          QString *errorString)
{
    Staged staged;
    if (!staged.begin(path, errorString))
        return false;
    if (!writer(staged.name(), errorString)) {
        staged.cancel();
        return false;
    }
    return staged.commit(errorString);
}
