#include "landscapereader.h"

#include "landscapeprobe.h"
#include "rastersource.h"
#include "systemmemory.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr size_t ChunkSize = size_t(1) << 20;

// White space around a field, as Latin-1 text: tab to carriage return, the
// blank and the no-break space (0xA0). 0x85 and 0x1C to 0x1F are not white
// space here.
inline bool isFieldSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0xA0;
}

inline const char *cutAtNul(const char *begin, const char *end)
{
    const void *nul = std::memchr(begin, 0, size_t(end - begin));
    return nul ? static_cast<const char *>(nul) : end;
}

inline bool isBlankField(const char *begin, const char *end)
{
    for (; begin < end; ++begin) {
        if (!isFieldSpace(static_cast<unsigned char>(*begin)))
            return false;
    }
    return true;
}

#ifdef __SSE2__
// Whether the 16 bytes at p are eight fields of one digit, each followed by a
// blank; if so, digits receives their values in its low eight bytes.
inline bool eightDigitFields(const char *p, __m128i &digits)
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
    const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset);
    const __m128i isBlank = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
    const int digitMask = _mm_movemask_epi8(isDigit);
    const int blankMask = _mm_movemask_epi8(isBlank);
    if ((digitMask & 0x5555) != 0x5555 || (blankMask & 0xAAAA) != 0xAAAA)
        return false;
    const __m128i even = _mm_and_si128(offset, _mm_set1_epi16(0x00FF));
    digits = _mm_packus_epi16(even, even);
    return true;
}
#endif

QString tooLargeError()
{
    return QCoreApplication::translate("LandscapeReader", "the landscape holds more than %1 cells")
            .arg(LandscapeReader::maxCells());
}

// The read buffer of a thread, kept between files. Its bytes are left
// uninitialised, so that only the part a read fills is ever touched: a small
// file costs a few pages, not the whole buffer.
struct ReadBuffer
{
    std::unique_ptr<char[]> bytes;
    size_t size = 0;

    void resize(size_t newSize, size_t keep)
    {
        std::unique_ptr<char[]> bigger(new char[newSize]);
        if (keep > 0)
            std::memcpy(bigger.get(), bytes.get(), keep);
        bytes = std::move(bigger);
        size = newSize;
    }
};

QString systemError(int error)
{
    return qt_error_string(error);
}

// A landscape file open for reading. Only regular files are read: a directory
// cannot be read as text, and a device, pipe or socket may never end or block
// forever. The type is checked before opening (opening some devices has
// effects of its own) and again on the open file; the open itself does not
// wait for a FIFO's writer.
class InputFile
{
public:
    InputFile() = default;
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    ~InputFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool open(const QByteArray &path, QString *errorString)
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
            return fail(systemError(ENOENT));
        struct stat info;
        if (::stat(path.constData(), &info) == 0 && !S_ISREG(info.st_mode))
            return notRegular(info.st_mode);
        do {
            m_fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        } while (m_fd < 0 && errno == EINTR);
        if (m_fd < 0)
            return fail(systemError(errno));
        if (::fstat(m_fd, &info) != 0)
            return fail(systemError(errno));
        if (!S_ISREG(info.st_mode))
            return notRegular(info.st_mode);
        const int flags = ::fcntl(m_fd, F_GETFL);
        if (flags >= 0)
            ::fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK);
        m_size = qint64(info.st_size);
        return true;
    }

    int fd() const { return m_fd; }
    qint64 size() const { return m_size; }

private:
    int m_fd = -1;
    qint64 m_size = 0;
};

// Calls onLine(begin, end) for every line of the file, in order; onLine
// returns false to stop early. Returns false on a read error.
template <typename OnLine>
bool forEachLine(const InputFile &file, OnLine &&onLine, QString *errorString)
{
    thread_local ReadBuffer buffer;
    if (buffer.size < ChunkSize)
        buffer.resize(ChunkSize, 0);
    size_t start = 0; // unconsumed bytes are buffer[start, end)
    size_t end = 0;
    bool ok = true;
    for (;;) {
        if (start == end) {
            start = end = 0;
        } else if (end == buffer.size) {
            if (start > 0) {
                std::memmove(buffer.bytes.get(), buffer.bytes.get() + start, end - start);
                end -= start;
                start = 0;
            } else {
                buffer.resize(buffer.size * 2, end); // one line longer than the buffer
            }
        }
        char *const data = buffer.bytes.get();
        ssize_t got;
        do {
            got = ::read(file.fd(), data + end, buffer.size - end);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            if (errorString)
                *errorString = systemError(errno);
            ok = false;
            break;
        }
        if (got == 0) {
            if (end > start)
                onLine(data + start, data + end);
            break;
        }
        const char *lineBegin = data + start;
        const char *scan = data + end; // earlier bytes hold no newline
        end += size_t(got);
        const char *const dataEnd = data + end;
        bool more = true;
        while (const void *nl = std::memchr(scan, '\n', size_t(dataEnd - scan))) {
            const char *lineEnd = static_cast<const char *>(nl);
            if (!onLine(lineBegin, lineEnd)) {
                more = false;
                break;
            }
            lineBegin = scan = lineEnd + 1;
        }
        if (!more)
            break;
        start = size_t(lineBegin - data);
    }
    if (buffer.size > 4 * ChunkSize)
        buffer.resize(ChunkSize, 0);
    return ok;
}

// Reads the lines of an open text file into rows (RaggedRows or MapGrid) with
// lineRule, which appends one line's cells and returns their number;
// reserve(bytes) is told the file's size first.
template <typename Rows, typename LineRule, typename Reserve>
bool readTextRows(const InputFile &file, Rows &rows, QString *errorString, LineRule &&lineRule, Reserve &&reserve)
{
    if (file.size() > 0)
        reserve(file.size());
    bool tooLarge = false;
    const bool readOk = forEachLine(
            file,
            [&](const char *begin, const char *end) {
                if (lineRule(begin, end, rows) > 0)
                    rows.endRow();
                if (qint64(rows.cellCount()) > LandscapeReader::maxCells()) {
                    tooLarge = true;
                    return false;
                }
                return true;
            },
            errorString);
    if (!readOk || tooLarge) {
        if (tooLarge && errorString)
            *errorString = tooLargeError();
        rows = Rows();
        return false;
    }
    return true;
}

} // namespace

bool LandscapeReader::toInt32(const char *begin, const char *end, qint32 &value)
{
    while (begin < end && isFieldSpace(static_cast<unsigned char>(*begin)))
        ++begin;
    while (end > begin && isFieldSpace(static_cast<unsigned char>(end[-1])))
        --end;
    if (begin == end)
        return false;
    const bool negative = *begin == '-';
    if (negative || *begin == '+') {
        if (++begin == end)
            return false;
    }
    quint64 magnitude = 0;
    for (; begin < end; ++begin) {
        const unsigned digit = unsigned(static_cast<unsigned char>(*begin)) - '0';
        if (digit > 9)
            return false;
        magnitude = magnitude * 10 + digit;
        if (magnitude > 2147483648ULL)
            return false;
    }
    if (!negative && magnitude > 2147483647ULL)
        return false;
    value = negative ? qint32(-qint64(magnitude)) : qint32(magnitude);
    return true;
}

void LandscapeReader::SkippedFields::add(const char *begin, const char *end)
{
    if (count++ == 0) {
        while (begin < end && isFieldSpace(static_cast<unsigned char>(*begin)))
            ++begin;
        while (end > begin && isFieldSpace(static_cast<unsigned char>(end[-1])))
            --end;
        example = QByteArray(begin, int(std::min<qint64>(40, end - begin)));
    }
}

qsizetype LandscapeReader::percolationLine(const char *begin, const char *end, qint32 habitatValue,
                                           std::vector<qint8> &cells, SkippedFields *skipped)
{
    end = cutAtNul(begin, end);
    // A line of L bytes holds at most (L + 1) / 2 fields: room for all of them
    // is made first, then cells are written straight into it.
    const size_t before = cells.size();
    cells.resize(before + size_t(end - begin + 1) / 2);
    qint8 *out = cells.data() + before;
    const char *p = begin;
#ifdef __SSE2__
    const qint8 habitatDigit = habitatValue >= 0 && habitatValue <= 9 ? qint8(habitatValue) : qint8(-1);
#endif
    for (;;) {
#ifdef __SSE2__
        // Eight one-digit fields, each followed by a blank, at once.
        while (end - p >= 16) {
            __m128i digits;
            if (!eightDigitFields(p, digits))
                break;
            const __m128i habitat = _mm_and_si128(_mm_cmpeq_epi8(digits, _mm_set1_epi8(char(habitatDigit))),
                                                  _mm_set1_epi8(1));
            _mm_storel_epi64(reinterpret_cast<__m128i *>(out), habitat);
            out += 8;
            p += 16;
        }
#endif
        // One digit followed by a blank or the line's end.
        if (p < end && unsigned(static_cast<unsigned char>(*p)) - '0' <= 9 && (p + 1 == end || p[1] == ' ')) {
            *out++ = qint8((*p - '0') == habitatValue);
            if (++p == end)
                break;
            ++p;
            continue;
        }
        const char *fieldBegin = p;
        while (p < end && *p != ' ')
            ++p;
        qint32 value;
        if (toInt32(fieldBegin, p, value))
            *out++ = qint8(value == habitatValue);
        else if (skipped && !isBlankField(fieldBegin, p))
            skipped->add(fieldBegin, p);
        if (p == end)
            break;
        ++p;
    }
    cells.resize(size_t(out - cells.data()));
    return qsizetype(cells.size() - before);
}

qsizetype LandscapeReader::displayLine(const char *begin, const char *end, MapGrid &grid)
{
    end = cutAtNul(begin, end);
    const char *last = end;
    while (last > begin && last[-1] != ' ')
        --last;
    if (isBlankField(last, end)) {
        if (last == begin)
            return 0; // the only field is blank
        end = last - 1; // drop the blank last field and its separator
    }
    // Every blank starts a field, so a line of L bytes holds at most L + 1.
    size_t left = size_t(end - begin) + 1;
    MapGrid::Room room = grid.room(left);
    size_t written = 0;
    qsizetype total = 0;
    const char *p = begin;
    for (;;) {
#ifdef __SSE2__
        while (end - p >= 16) {
            __m128i digits;
            if (!eightDigitFields(p, digits))
                break;
            if (room.codes) {
                _mm_storel_epi64(reinterpret_cast<__m128i *>(room.codes + written), digits); // codes of 0..9
            } else {
                const __m128i zero = _mm_setzero_si128();
                const __m128i words = _mm_unpacklo_epi8(digits, zero);
                _mm_storeu_si128(reinterpret_cast<__m128i *>(room.values + written), _mm_unpacklo_epi16(words, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(room.values + written + 4), _mm_unpackhi_epi16(words, zero));
            }
            written += 8;
            p += 16;
        }
#endif
        const char *fieldBegin = p;
        while (p < end && *p != ' ')
            ++p;
        qint32 value = 0;
        toInt32(fieldBegin, p, value);
        if (room.codes) {
            const int code = grid.codeOf(value);
            if (code >= 0) {
                room.codes[written++] = quint8(code);
            } else {
                grid.commit(written);
                grid.widen();
                total += qsizetype(written);
                left -= written;
                written = 0;
                room = grid.room(left);
            }
        }
        if (room.values)
            room.values[written++] = value;
        if (p == end)
            break;
        ++p;
    }
    grid.commit(written);
    return total + qsizetype(written);
}

namespace {

// Lines per strip of a raster read: whole blocks, about a MiB of cells at least.
qint64 stripLines(const RasterSource &raster, qint64 columns, qint64 lines)
{
    const qint64 block = std::max<qint64>(1, raster.blockHeight());
    const qint64 wanted = std::max<qint64>(1, (qint64(1) << 20) / std::max<qint64>(1, columns));
    return std::min(lines, (wanted + block - 1) / block * block);
}

// Whether a raster of lines x columns cells can be held: bytesPerCell for each
// cell, and a row offset (RaggedRows, MapGrid) for each line, which for a tall
// and narrow raster is most of the memory; if not, the reason.
bool fitsInMemory(qint64 lines, qint64 columns, qint64 bytesPerCell, QString *errorString)
{
    const qint64 cells = lines * columns;
    if (cells > LandscapeReader::maxCells()) {
        if (errorString) {
            *errorString = QCoreApplication::translate("LandscapeReader",
                                                       "the raster is %1 x %2 pixels (%3 cells of the square tested): "
                                                       "more than the %4 cells a landscape may hold")
                                   .arg(columns).arg(lines).arg(cells).arg(LandscapeReader::maxCells());
        }
        return false;
    }
    const qint64 needed = cells * bytesPerCell + (lines + 1) * qint64(sizeof(qsizetype));
    const qint64 memory = SystemMemory::limit();
    if (memory > 0 && needed > memory) {
        if (errorString) {
            *errorString = QCoreApplication::translate("LandscapeReader",
                                                       "the raster needs %1 MB for %2 x %3 cells, more than this "
                                                       "machine's memory (%4 MB)")
                                   .arg(needed >> 20).arg(columns).arg(lines).arg(memory >> 20);
        }
        return false;
    }
    return true;
}

QString outOfMemoryError(qint64 lines, qint64 columns)
{
    return QCoreApplication::translate("LandscapeReader", "there is not enough memory for the raster's %1 x %2 cells")
            .arg(columns).arg(lines);
}

// The rows are only reserved up front (address space, no pages) and filled
// strip by strip: a small damaged file that declares a large raster fails at
// its first unreadable strip having touched little memory.
bool readRasterHabitat(RasterSource &raster, qint32 habitatValue, const LandscapeReader::Options &options,
                       RaggedRows<qint8> &rows, QString *errorString, LandscapeReader::Outcome &outcome)
{
    const qint64 lines = raster.height();
    const qint64 columns = options.allColumns ? raster.width() : std::min(raster.width(), lines);
    if (!fitsInMemory(lines, columns, 1, errorString))
        return false;
    try {
        rows.clear();
        rows.cells.reserve(size_t(lines * columns));
        rows.offsets.reserve(size_t(lines + 1));
        const qint64 strip = stripLines(raster, columns, lines);
        for (qint64 line = 0; line < lines; line += strip) {
            const qint64 count = std::min(strip, lines - line);
            rows.cells.resize(size_t((line + count) * columns));
            if (!raster.readHabitat(line, count, columns, habitatValue, rows.cells.data() + line * columns,
                                    errorString)) {
                rows = RaggedRows<qint8>();
                return false;
            }
            for (qint64 r = line + 1; r <= line + count; ++r)
                rows.offsets.push_back(qsizetype(r * columns));
        }
    } catch (const std::bad_alloc &) {
        rows = RaggedRows<qint8>();
        outcome.outOfMemory = true;
        if (errorString)
            *errorString = outOfMemoryError(lines, columns);
        return false;
    }
    return true;
}

bool readRasterValues(RasterSource &raster, MapGrid &grid, QString *errorString)
{
    // The map shows the first n values of each of the n rows.
    const qint64 lines = raster.height();
    const qint64 columns = std::min(raster.width(), lines);
    if (!fitsInMemory(lines, columns, 1, errorString))
        return false;
    try {
        grid.reserve(size_t(lines * columns));
        const qint64 strip = stripLines(raster, columns, lines);
        std::vector<qint32> values(size_t(strip * columns));
        std::vector<quint8> present(size_t(strip * columns));
        for (qint64 line = 0; line < lines; line += strip) {
            const qint64 count = std::min(strip, lines - line);
            if (!raster.readValues(line, count, columns, values.data(), present.data(), errorString)) {
                grid.clear();
                return false;
            }
            for (qint64 r = 0; r < count; ++r)
                grid.appendRow(values.data() + r * columns, size_t(columns), present.data() + r * columns);
        }
    } catch (const std::bad_alloc &) {
        // More than 255 distinct values take four bytes a cell more than reckoned.
        grid.clear();
        if (errorString)
            *errorString = outOfMemoryError(lines, columns);
        return false;
    }
    return true;
}

// Probes path once and opens it as what it is: a raster, or a text
// landscape (which has band 1 only).
enum class Kind { Unreadable, Text, Raster };
Kind openLandscape(const QByteArray &path, int band, InputFile &file, RasterSource &raster, QString *errorString)
{
    const LandscapeProbe::Kind probed = LandscapeProbe::probe(path, errorString);
    if (probed == LandscapeProbe::Kind::NotRegular)
        return Kind::Unreadable;
    switch (raster.open(path, probed, band, errorString)) {
    case RasterSource::Opened:
        return Kind::Raster;
    case RasterSource::Failed:
        return Kind::Unreadable;
    case RasterSource::NotRaster:
        break;
    }
    if (band != 1) {
        if (errorString)
            *errorString = QCoreApplication::translate("LandscapeReader", "a text landscape has no band %1").arg(band);
        return Kind::Unreadable;
    }
    if (!file.open(path, errorString))
        return Kind::Unreadable;
    return Kind::Text;
}

} // namespace

bool LandscapeReader::readPercolation(const QByteArray &path, qint32 habitatValue, RaggedRows<qint8> &rows,
                                      QString *errorString, const Options &options, Outcome *outcome)
{
    Outcome local;
    Outcome &found = outcome ? *outcome : local;
    found = Outcome();
    rows.clear();
    InputFile file;
    RasterSource raster;
    switch (openLandscape(path, options.band, file, raster, errorString)) {
    case Kind::Unreadable:
        return false;
    case Kind::Raster:
        return readRasterHabitat(raster, habitatValue, options, rows, errorString, found);
    case Kind::Text:
        break;
    }
    try {
        return readTextRows(
                file, rows, errorString,
                [habitatValue, &found](const char *begin, const char *end, RaggedRows<qint8> &cells) {
                    return percolationLine(begin, end, habitatValue, cells.cells, &found.skipped);
                },
                [&rows](qint64 size) {
                    // A cell needs a digit and a separator (the last one maybe not), so
                    // (size + 1) / 2 bounds the cells and the array never moves while it fills.
                    rows.cells.reserve(size_t(qMin<qint64>((size + 1) / 2 + 1, maxCells() + 1)));
                });
    } catch (const std::bad_alloc &) {
        rows = RaggedRows<qint8>();
        found.outOfMemory = true;
        if (errorString)
            *errorString = QCoreApplication::translate("LandscapeReader",
                                                       "there is not enough memory for the landscape's cells");
        return false;
    }
}

bool LandscapeReader::readDisplay(const QByteArray &path, MapGrid &grid, QString *errorString, int band)
{
    grid.clear();
    InputFile file;
    RasterSource raster;
    switch (openLandscape(path, band, file, raster, errorString)) {
    case Kind::Unreadable:
        return false;
    case Kind::Raster:
        return readRasterValues(raster, grid, errorString);
    case Kind::Text:
        break;
    }
    return readTextRows(file, grid, errorString, displayLine, [&grid](qint64 size) {
        // Every byte but the last can start a field: reserving that bound (only
        // the part written is ever touched) keeps the storage from moving.
        grid.reserve(size_t(qMin<qint64>(size + 1, maxCells() + 1)));
    });
}

bool LandscapeReader::readPercolation(const QByteArray &path, qint32 habitatValue, RaggedRows<qint8> &rows,
                                      QString *errorString)
{
    return readPercolation(path, habitatValue, rows, errorString, Options());
}

bool LandscapeReader::readPercolation(const QString &path, qint32 habitatValue, RaggedRows<qint8> &rows,
                                      QString *errorString)
{
    return readPercolation(QFile::encodeName(path), habitatValue, rows, errorString);
}

bool LandscapeReader::readDisplay(const QString &path, MapGrid &grid, QString *errorString)
{
    return readDisplay(QFile::encodeName(path), grid, errorString);
}
