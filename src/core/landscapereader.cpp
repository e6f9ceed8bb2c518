#include "landscapereader.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr size_t ChunkSize = size_t(1) << 20;

inline bool isAsciiSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline const char *cutAtNul(const char *begin, const char *end)
{
    const void *nul = std::memchr(begin, 0, size_t(end - begin));
    return nul ? static_cast<const char *>(nul) : end;
}

inline bool isBlankField(const char *begin, const char *end)
{
    for (; begin < end; ++begin) {
        if (!isAsciiSpace(static_cast<unsigned char>(*begin)))
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

// Calls onLine(begin, end) for every line of file, in order; onLine returns
// false to stop early. Returns false on a read error.
template <typename OnLine>
bool forEachLine(QFile &file, OnLine &&onLine, QString *errorString)
{
    thread_local std::vector<char> buffer;
    if (buffer.size() < ChunkSize)
        buffer.resize(ChunkSize);
    size_t start = 0; // unconsumed bytes are buffer[start, end)
    size_t end = 0;
    bool ok = true;
    for (;;) {
        if (start == end) {
            start = end = 0;
        } else if (end == buffer.size()) {
            if (start > 0) {
                std::memmove(buffer.data(), buffer.data() + start, end - start);
                end -= start;
                start = 0;
            } else {
                buffer.resize(buffer.size() * 2); // one line longer than the buffer
            }
        }
        const qint64 got = file.read(buffer.data() + end, qint64(buffer.size() - end));
        if (got < 0) {
            if (errorString)
                *errorString = file.errorString();
            ok = false;
            break;
        }
        if (got == 0) {
            if (end > start)
                onLine(buffer.data() + start, buffer.data() + end);
            break;
        }
        const char *lineBegin = buffer.data() + start;
        const char *scan = buffer.data() + end; // earlier bytes hold no newline
        end += size_t(got);
        const char *const dataEnd = buffer.data() + end;
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
        start = size_t(lineBegin - buffer.data());
    }
    if (buffer.size() > 4 * ChunkSize) {
        buffer.resize(ChunkSize);
        buffer.shrink_to_fit();
    }
    return ok;
}

bool openForReading(QFile &file, QString *errorString)
{
    if (QFileInfo(file.fileName()).isDir()) {
        if (errorString)
            *errorString = QCoreApplication::translate("LandscapeReader", "is a directory");
        return false;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }
    return true;
}

template <typename T, typename LineRule>
bool readRows(const QString &path, RaggedRows<T> &rows, QString *errorString, LineRule &&lineRule)
{
    rows.clear();
    QFile file(path);
    if (!openForReading(file, errorString))
        return false;
    bool tooLarge = false;
    const bool readOk = forEachLine(
            file,
            [&](const char *begin, const char *end) {
                if (lineRule(begin, end, rows.cells) > 0)
                    rows.endRow();
                if (qint64(rows.cells.size()) > LandscapeReader::maxCells()) {
                    tooLarge = true;
                    return false;
                }
                return true;
            },
            errorString);
    if (!readOk || tooLarge) {
        if (tooLarge && errorString)
            *errorString = tooLargeError();
        rows.clear();
        rows.cells.shrink_to_fit();
        return false;
    }
    return true;
}

} // namespace

bool LandscapeReader::toInt32(const char *begin, const char *end, qint32 &value)
{
    while (begin < end && isAsciiSpace(static_cast<unsigned char>(*begin)))
        ++begin;
    while (end > begin && isAsciiSpace(static_cast<unsigned char>(end[-1])))
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

qsizetype LandscapeReader::percolationLine(const char *begin, const char *end, qint32 habitatValue,
                                           std::vector<qint8> &cells)
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
        const char *fieldBegin = p;
        while (p < end && *p != ' ')
            ++p;
        qint32 value;
        if (toInt32(fieldBegin, p, value))
            *out++ = qint8(value == habitatValue);
        if (p == end)
            break;
        ++p;
    }
    cells.resize(size_t(out - cells.data()));
    return qsizetype(cells.size() - before);
}

qsizetype LandscapeReader::displayLine(const char *begin, const char *end, std::vector<qint32> &values)
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
    const size_t before = values.size();
    values.resize(before + size_t(end - begin) + 1);
    qint32 *out = values.data() + before;
    const char *p = begin;
    for (;;) {
#ifdef __SSE2__
        while (end - p >= 16) {
            __m128i digits;
            if (!eightDigitFields(p, digits))
                break;
            const __m128i zero = _mm_setzero_si128();
            const __m128i words = _mm_unpacklo_epi8(digits, zero);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi16(words, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4), _mm_unpackhi_epi16(words, zero));
            out += 8;
            p += 16;
        }
#endif
        const char *fieldBegin = p;
        while (p < end && *p != ' ')
            ++p;
        qint32 value = 0;
        toInt32(fieldBegin, p, value);
        *out++ = value;
        if (p == end)
            break;
        ++p;
    }
    values.resize(size_t(out - values.data()));
    return qsizetype(values.size() - before);
}

bool LandscapeReader::readPercolation(const QString &path, qint32 habitatValue,
                                      RaggedRows<qint8> &rows, QString *errorString)
{
    // A cell needs a digit and a separator (the last one maybe not), so
    // (size + 1) / 2 bounds the cells and the array never moves while it fills.
    const qint64 size = QFileInfo(path).size();
    if (size > 0)
        rows.cells.reserve(size_t(qMin<qint64>((size + 1) / 2 + 1, maxCells() + 1)));
    return readRows(path, rows, errorString,
                    [habitatValue](const char *begin, const char *end, std::vector<qint8> &cells) {
                        return percolationLine(begin, end, habitatValue, cells);
                    });
}

bool LandscapeReader::readDisplay(const QString &path, RaggedRows<qint32> &rows, QString *errorString)
{
    // Every byte but the last can start a field: reserving that bound (only
    // the part written is ever touched) keeps the array from moving.
    const qint64 size = QFileInfo(path).size();
    if (size > 0)
        rows.cells.reserve(size_t(qMin<qint64>(size + 1, maxCells() + 1)));
    return readRows(path, rows, errorString, displayLine);
}
