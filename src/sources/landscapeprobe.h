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
    Text,       // other text: a raster if GDAL opens it; else unreadable with the reason when it begins
                // with an ESRI ASCII grid's header (beginsWithEsriHeader), a text landscape otherwise
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

// Whether text begins with what can only be meant for an ESRI ASCII grid's
// header. Its header lines are the lines before the first that starts with
// anything but a letter (blank lines aside, a UTF-8 byte-order mark ignored),
// as GDAL takes them; their first words (letters and '_', so "ncols=3" counts
// as "ncols") must name at least three of the grid's keywords: ncols, nrows,
// xllcorner, yllcorner, xllcenter, yllcenter, cellsize, dx, dy, nodata_value,
// in any case. Such a file is a grid even where GDAL cannot open it (a
// misspelt keyword, values GDAL does not find), never a text landscape whose
// cells are its header's numbers. "ncols 6", or "ncols 6" and "nrows 5", over
// rows of numbers is text whose first words are skipped.
inline bool beginsWithEsriHeader(const unsigned char *bytes, size_t size)
{
    static const char *const keywords[] = {"ncols",     "nrows",     "xllcorner", "yllcorner", "xllcenter",
                                           "yllcenter", "cellsize",  "dx",        "dy",        "nodata_value"};
    constexpr size_t keywordCount = sizeof keywords / sizeof keywords[0];
    const auto isLetter = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); };
    bool named[keywordCount] = {};
    size_t count = 0;
    size_t i = size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
    while (i < size) {
        if (bytes[i] == '\n' || bytes[i] == '\r') {
            ++i;
            continue;
        }
        if (!isLetter(bytes[i]))
            break;
        size_t end = i;
        while (end < size && (isLetter(bytes[end]) || bytes[end] == '_'))
            ++end;
        for (size_t k = 0; k < keywordCount; ++k) {
            const char *keyword = keywords[k];
            size_t n = 0;
            while (keyword[n] && i + n < end && lower(bytes[i + n]) == keyword[n])
                ++n;
            if (!keyword[n] && i + n == end && !named[k]) {
                named[k] = true;
                ++count;
            }
        }
        while (end < size && bytes[end] != '\n' && bytes[end] != '\r')
            ++end;
        i = end;
    }
    return count >= 3;
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
