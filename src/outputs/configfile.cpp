#include "configfile.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// One formatted integer read from bytes at pos; advances pos past the value.
bool readInt(const QByteArray &bytes, qsizetype &pos, qint32 &value)
{
    const qsizetype size = bytes.size();
    while (pos < size && isSpace(bytes[pos]))
        ++pos;
    bool negative = false;
    if (pos < size && (bytes[pos] == '+' || bytes[pos] == '-'))
        negative = bytes[pos++] == '-';
    const qsizetype digitsBegin = pos;
    qint64 magnitude = 0;
    bool overflow = false;
    while (pos < size && bytes[pos] >= '0' && bytes[pos] <= '9') {
        magnitude = magnitude * 10 + (bytes[pos++] - '0');
        if (magnitude > 2147483648LL) {
            overflow = true;
            magnitude = 2147483648LL;
        }
    }
    if (pos == digitsBegin || overflow)
        return false;
    const qint64 signedValue = negative ? -magnitude : magnitude;
    if (signedValue > 2147483647LL)
        return false;
    value = qint32(signedValue);
    return true;
}

} // namespace

bool ConfigFile::read(const QString &path, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    // Not blocking at open: a FIFO in the file's place would wait for a
    // writer for ever.
    const QByteArray name = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fail(qt_error_string(errno));
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail(QCoreApplication::translate("ConfigFile", "is not a regular file"));
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(file.errorString());
    }
    parse(file.read(1 << 20));
    return true;
}

void ConfigFile::parse(const QByteArray &bytes)
{
    qsizetype pos = 0;
    if (readInt(bytes, pos, coverValue))
        readInt(bytes, pos, matrixValue);
}

QByteArray ConfigFile::serialize() const
{
    return QByteArray::number(coverValue) + '\n' + QByteArray::number(matrixValue) + '\n';
}

bool ConfigFile::write(const QString &path, QString *errorString) const
{
    QSaveFile file(path);
    // Unbuffered, so that a short write (a full disk) shows in write()'s result
    // instead of vanishing in a later flush.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }
    const QByteArray bytes = serialize();
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        if (errorString)
            *errorString = QCoreApplication::translate("ConfigFile", "the file could not be written completely (is the disk full?)");
        return false;
    }
    if (!file.commit()) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }
    return true;
}
