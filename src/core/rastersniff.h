#pragma once

#include <cerrno>
#include <cstddef>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The first look at a file that may be a raster, shared by RasterSource
// (which asks GDAL only when it must) and its GDAL side.
namespace RasterSniff {

// The first bytes that decide whether a file is a plain-text grid of numbers.
constexpr size_t SniffBytes = 1024;

// Whether bytes hold only what a plain-text grid of integers is made of:
// digits, signs and ASCII white space.
inline bool isNumberText(const unsigned char *bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = bytes[i];
        if (!((c >= '0' && c <= '9') || c == ' ' || (c >= '\t' && c <= '\r') || c == '-' || c == '+'))
            return false;
    }
    return true;
}

enum class FileKind { NotRegular, NumberText, Other };

// What the file at path (a file-system path) is: not a regular file
// (missing, a directory, a device, a pipe, unreadable), a file whose first
// bytes are only what a plain-text grid of integers is made of (a text
// landscape whatever GDAL would make of it), or another file, for GDAL to
// look at. Devices are never opened; a pipe put in the file's place meanwhile
// does not block (O_NONBLOCK), and is caught by fstat.
inline FileKind fileKind(const char *path)
{
    struct stat st;
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return FileKind::NotRegular;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return FileKind::NotRegular;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return FileKind::NotRegular;
    }
    unsigned char bytes[SniffBytes];
    size_t size = 0;
    while (size < sizeof bytes) {
        const ssize_t got = ::read(fd, bytes + size, sizeof bytes - size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        size += size_t(got);
    }
    ::close(fd);
    return isNumberText(bytes, size) ? FileKind::NumberText : FileKind::Other;
}

} // namespace RasterSniff
