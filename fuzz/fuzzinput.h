#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdint>
#include <cstdlib>

#include <unistd.h>

// Fuzz inputs for the readers, which read files: each input is written to one
// file per process, in /dev/shm when there is one.
namespace FuzzInput {

inline QString writeFile(const uint8_t *data, size_t size)
{
    static const QString path = [] {
        const QString dir = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        return dir + QStringLiteral("/vantrix-fuzz-%1.txt").arg(getpid());
    }();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        std::abort();
    return path;
}

} // namespace FuzzInput
