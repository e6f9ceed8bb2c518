#pragma once

#include "coverset.h"
#include "landscapeprobe.h"
#include "landscapereader.h"
#include "rastersource.h"

#include <QByteArray>
#include <QString>

#include <cstring>
#include <memory>
#include <vector>

// What LandscapeReader (whole landscapes) and LandscapeStream (bands of rows)
// share, so that each reading rule has one implementation: opening a
// landscape file after one probe, the lines of a text file read in
// fixed-size chunks, and the percolation rule on one line. Not for use
// beyond src/sources.
namespace LandscapeText {

using LandscapeProbe::InputFile;

// A read buffer, kept by its owner between files. Its bytes are left
// uninitialised, so that only the part a read fills is ever touched: a small
// file costs a few pages, not the whole buffer.
struct ReadBuffer
{
    std::unique_ptr<char[]> bytes;
    size_t size = 0;

    // Makes the buffer newSize bytes, keeping its first `keep` bytes.
    void resize(size_t newSize, size_t keep);
};

// The lines of an open file, one at a time, read in chunks of 1 MB into a
// buffer the caller owns (which grows for a line longer than itself). A line
// ends at a newline byte, which it does not include; the last line needs
// none. A line's bytes stay valid until the next call.
class Lines
{
public:
    static constexpr size_t ChunkSize = size_t(1) << 20;

    explicit Lines(ReadBuffer &buffer)
        : m_buffer(buffer)
    {
    }

    // Starts reading file at byte offset (a line's start).
    void start(const InputFile &file, qint64 offset = 0);

    enum Result { Line, End, Error };
    // The next line as [begin, end); End after the last; Error with the
    // system's reason for a read error.
    Result next(const char *&begin, const char *&end, QString *errorString)
    {
        for (;;) {
            const char *const data = m_buffer.bytes.get();
            if (const void *nl = m_scan < m_end ? std::memchr(data + m_scan, '\n', m_end - m_scan) : nullptr) {
                begin = data + m_start;
                end = static_cast<const char *>(nl);
                m_start = m_scan = size_t(end - data) + 1;
                return Line;
            }
            m_scan = m_end; // the bytes up to there hold no newline
            if (m_atEnd) {
                if (m_start == m_end)
                    return End;
                begin = data + m_start;
                end = data + m_end;
                m_start = m_end;
                return Line;
            }
            if (!fill(errorString))
                return Error;
        }
    }

    // The file offset of the next line's first byte.
    qint64 offset() const { return m_bufferOffset + qint64(m_start); }

private:
    bool fill(QString *errorString);

    ReadBuffer &m_buffer;
    int m_fd = -1;
    qint64 m_bufferOffset = 0; // the file offset of the buffer's first byte
    size_t m_start = 0;        // the unconsumed bytes are [m_start, m_end)
    size_t m_scan = 0;         // the first unconsumed byte that may be a newline
    size_t m_end = 0;
    bool m_atEnd = false;
};

// The cover, as the percolation rule applies it to text fields.
struct TextCover
{
    explicit TextCover(const CoverSet &cover);

    CoverSet cover;
    qint8 digitCode[10];     // the code of each one-digit value
    int habitatDigitCount = 0;
    qint8 habitatDigits[10]; // the one-digit values in the cover
};

// The percolation rule on one line's bytes [begin, end) (no newline; the NUL
// cut is applied here): every field that converts (LandscapeReader::toInt32)
// gives one cell, fields that do not give nothing (and are tallied in
// skipped unless blank). cellsOfLine appends the cells' codes for cover
// (Habitat or Matrix: text has no cell without a value) to cells;
// valuesOfLine their values. Both return the number appended.
qsizetype cellsOfLine(const char *begin, const char *end, const TextCover &cover, std::vector<qint8> &cells,
                      LandscapeReader::SkippedFields *skipped);
qsizetype valuesOfLine(const char *begin, const char *end, std::vector<qint32> &values,
                       LandscapeReader::SkippedFields *skipped);

// What a probed landscape file turned out to be.
enum class Kind { Unreadable, Text, Raster };
// Probes path once and opens it as what it is: a raster (raster opened), a
// text landscape (file opened; band must be 1), or Unreadable with the reason.
Kind openLandscape(const QByteArray &path, int band, InputFile &file, RasterSource &raster, QString *errorString);

} // namespace LandscapeText
