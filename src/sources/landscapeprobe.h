#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// The one look at a listed file that decides how it is read: not at all (it
// is not a regular file), as a text landscape, or by asking GDAL whether it is
// a raster. Every reader goes by this decision; none looks at the file again
// to decide.
namespace LandscapeProbe {

// The first bytes that decide.
constexpr size_t SniffBytes = 1024;

enum class Kind {
    NotRegular, // missing, a directory, a device, a pipe, unreadable: the reason is given
    NumberText, // only what a plain-text grid of integers is made of: a text landscape, GDAL is not asked
    Text,       // other text: a raster if GDAL opens it, else a text landscape
    Binary,     // not text: a raster if GDAL opens it; if GDAL cannot, unreadable with GDAL's reason
};

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

// Whether bytes read as text: no control byte but tab to carriage return.
inline bool isText(const unsigned char *bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = bytes[i];
        if ((c < 0x20 && !(c >= '\t' && c <= '\r')) || c == 0x7F)
            return false;
    }
    return true;
}

inline Kind kindOfBytes(const unsigned char *bytes, size_t size)
{
    if (isNumberText(bytes, size))
        return Kind::NumberText;
    return isText(bytes, size) ? Kind::Text : Kind::Binary;
}

// A landscape file open for reading. Only regular files are read: a
// directory cannot be read as text, and a device, pipe or socket may never
// end or block forever. The type is checked before opening (opening some
// devices has effects of its own) and again on the open file; the open
// itself does not wait for a FIFO's writer.
class InputFile
{
public:
    InputFile() = default;
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    ~InputFile();

    // False, with the reason ("is a directory", the system's message), for
    // anything but a regular file that can be opened.
    bool open(const QByteArray &path, QString *errorString);
    int fd() const { return m_fd; }
    qint64 size() const { return m_size; }

private:
    int m_fd = -1;
    qint64 m_size = 0;
};

// What the file at path (file-system bytes) is, from its first bytes, read
// through an InputFile.
Kind probe(const QByteArray &path, QString *errorString = nullptr);

} // namespace LandscapeProbe
