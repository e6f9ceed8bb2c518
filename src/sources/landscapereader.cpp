#include "landscapereader.h"

#include "cellcodes.h"
#include "digitfields.h"
#include "landscapetext.h"
#include "rastersource.h"
#include "systemmemory.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

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

using LandscapeText::InputFile;
using LandscapeText::Lines;

// The walk indexes cells with 32 bits; the rules that stream have no limit.
// Both refusals say so.
QString beyondTheWalk()
{
    return QCoreApplication::translate("LandscapeReader",
                                       "the most the walk can test; --tile and the cluster rules (cluster4, cluster8) "
                                       "read a landscape in bands of rows and have no such limit");
}

QString tooLargeError()
{
    return QCoreApplication::translate("LandscapeReader", "the landscape holds more than %1 cells, %2")
            .arg(LandscapeReader::maxCells())
            .arg(beyondTheWalk());
}

// The read buffer of a thread, kept between files: a batch of small files
// touches its pages once.
LandscapeText::ReadBuffer &threadBuffer()
{
    thread_local LandscapeText::ReadBuffer buffer;
    return buffer;
}

// Calls onLine(begin, end) for every line of the file, in order; onLine
// returns false to stop early. Returns false on a read error.
template <typename OnLine>
bool forEachLine(const InputFile &file, OnLine &&onLine, QString *errorString)
{
    LandscapeText::ReadBuffer &buffer = threadBuffer();
    Lines lines(buffer);
    lines.start(file);
    bool ok = true;
    for (;;) {
        const char *begin = nullptr;
        const char *end = nullptr;
        const Lines::Result got = lines.next(begin, end, errorString);
        if (got == Lines::Error)
            ok = false;
        if (got != Lines::Line || !onLine(begin, end))
            break;
    }
    // A line longer than a chunk grew the buffer: it goes back to its size.
    if (buffer.size > 4 * Lines::ChunkSize)
        buffer.resize(Lines::ChunkSize, 0);
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

namespace {

// The percolation rule on one line, the one implementation of it: every
// field (split at each blank) that converts gives one cell, the others give
// nothing. out has room for (L + 1) / 2 cells, the most a line of L bytes
// holds; cell(value) makes a cell of a value, eight(digits, at) writes the
// cells of eight one-digit fields (an SSE2 vector of their values) at at.
// Returns the cells written.
template <typename T, typename Cell, typename Eight>
size_t percolationFields(const char *begin, const char *end, T *out, Cell &&cell, Eight &&eight,
                         LandscapeReader::SkippedFields *skipped)
{
    T *const first = out;
    const char *p = begin;
    for (;;) {
#ifdef __SSE2__
        // Eight one-digit fields, each followed by a blank, at once.
        while (end - p >= 16) {
            __m128i digits;
            if (!DigitFields::eight(p, digits))
                break;
            eight(digits, out);
            out += 8;
            p += 16;
        }
#else
        (void)eight;
#endif
        // One digit followed by a blank or the line's end.
        if (p < end && unsigned(static_cast<unsigned char>(*p)) - '0' <= 9 && (p + 1 == end || p[1] == ' ')) {
            *out++ = cell(qint32(*p - '0'));
            if (++p == end)
                break;
            ++p;
            continue;
        }
        const char *fieldBegin = p;
        while (p < end && *p != ' ')
            ++p;
        qint32 value;
        if (LandscapeReader::toInt32(fieldBegin, p, value))
            *out++ = cell(value);
        else if (skipped && !isBlankField(fieldBegin, p))
            skipped->add(fieldBegin, p);
        if (p == end)
            break;
        ++p;
    }
    return size_t(out - first);
}

} // namespace

namespace LandscapeText {

qsizetype cellsOfLine(const char *begin, const char *end, const TextCover &cover, std::vector<qint8> &cells,
                      LandscapeReader::SkippedFields *skipped)
{
    end = cutAtNul(begin, end);
    // Room for every field first, then cells are written straight into it.
    const size_t before = cells.size();
    cells.resize(before + size_t(end - begin + 1) / 2);
    const auto code = [&cover](qint32 value) {
        return value >= 0 && value <= 9 ? cover.digitCode[value]
                                        : cover.cover.contains(value) ? CellCode::Habitat : CellCode::Matrix;
    };
#ifdef __SSE2__
    const auto eight = [&cover](const __m128i &digits, qint8 *at) {
        __m128i habitat = _mm_setzero_si128();
        for (int i = 0; i < cover.habitatDigitCount; ++i)
            habitat = _mm_or_si128(habitat, _mm_cmpeq_epi8(digits, _mm_set1_epi8(char(cover.habitatDigits[i]))));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(at), _mm_and_si128(habitat, _mm_set1_epi8(CellCode::Habitat)));
    };
#else
    const auto eight = [](int, qint8 *) {};
#endif
    const size_t written = percolationFields(begin, end, cells.data() + before, code, eight, skipped);
    cells.resize(before + written);
    return qsizetype(written);
}

qsizetype valuesOfLine(const char *begin, const char *end, std::vector<qint32> &values,
                       LandscapeReader::SkippedFields *skipped)
{
    end = cutAtNul(begin, end);
    const size_t before = values.size();
    values.resize(before + size_t(end - begin + 1) / 2);
#ifdef __SSE2__
    const auto eight = [](const __m128i &digits, qint32 *at) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i words = _mm_unpacklo_epi8(digits, zero);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(at), _mm_unpacklo_epi16(words, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(at + 4), _mm_unpackhi_epi16(words, zero));
    };
#else
    const auto eight = [](int, qint32 *) {};
#endif
    const size_t written = percolationFields(begin, end, values.data() + before, [](qint32 v) { return v; }, eight,
                                             skipped);
    values.resize(before + written);
    return qsizetype(written);
}

} // namespace LandscapeText

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
            if (!DigitFields::eight(p, digits))
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
                                                       "the raster is %1 x %2 pixels (%3 cells read): more than %4 "
                                                       "cells, %5")
                                   .arg(columns).arg(lines).arg(cells).arg(LandscapeReader::maxCells())
                                   .arg(beyondTheWalk());
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
bool readRasterHabitat(RasterSource &raster, const CoverSet &cover, const LandscapeReader::Options &options,
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
            if (!raster.readHabitat(line, count, columns, cover, rows.cells.data() + line * columns, errorString)) {
                rows = RaggedRows<qint8>();
                outcome.outOfMemory = raster.outOfMemory();
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

} // namespace

bool LandscapeReader::readPercolation(const QByteArray &path, const CoverSet &cover, RaggedRows<qint8> &rows,
                                      QString *errorString, const Options &options, Outcome *outcome)
{
    Outcome local;
    Outcome &found = outcome ? *outcome : local;
    found = Outcome();
    rows.clear();
    if (cover.isEach()) {
        if (errorString)
            *errorString = QCoreApplication::translate("LandscapeReader", "the walk tests one cover, not each class");
        return false;
    }
    InputFile file;
    RasterSource raster;
    switch (LandscapeText::openLandscape(path, options.band, file, raster, errorString)) {
    case LandscapeText::Kind::Unreadable:
        return false;
    case LandscapeText::Kind::Raster:
        return readRasterHabitat(raster, cover, options, rows, errorString, found);
    case LandscapeText::Kind::Text:
        break;
    }
    try {
        const LandscapeText::TextCover textCover(cover);
        return readTextRows(
                file, rows, errorString,
                [&textCover, &found](const char *begin, const char *end, RaggedRows<qint8> &cells) {
                    return LandscapeText::cellsOfLine(begin, end, textCover, cells.cells, &found.skipped);
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

bool LandscapeReader::readPercolation(const QByteArray &path, qint32 habitatValue, RaggedRows<qint8> &rows,
                                      QString *errorString, const Options &options, Outcome *outcome)
{
    return readPercolation(path, CoverSet(habitatValue), rows, errorString, options, outcome);
}

bool LandscapeReader::readDisplay(const QByteArray &path, MapGrid &grid, QString *errorString, int band)
{
    grid.clear();
    InputFile file;
    RasterSource raster;
    switch (LandscapeText::openLandscape(path, band, file, raster, errorString)) {
    case LandscapeText::Kind::Unreadable:
        return false;
    case LandscapeText::Kind::Raster:
        return readRasterValues(raster, grid, errorString);
    case LandscapeText::Kind::Text:
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
