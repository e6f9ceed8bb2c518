#include "landscapetext.h"

#include "cellcodes.h"
#include "landscapeprobe.h"

#include <QCoreApplication>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LandscapeText {

void ReadBuffer::resize(size_t newSize, size_t keep)
{
    std::unique_ptr<char[]> other(new char[newSize]);
    if (keep > 0)
        std::memcpy(other.get(), bytes.get(), keep);
    bytes = std::move(other);
    size = newSize;
}

void Lines::start(const InputFile &file, qint64 offset)
{
    if (m_buffer.size < ChunkSize)
        m_buffer.resize(ChunkSize, 0);
    m_fd = file.fd();
    m_bufferOffset = offset;
    m_start = m_scan = m_end = 0;
    m_atEnd = false;
}

bool Lines::fill(QString *errorString)
{
    if (m_start == m_end) {
        m_bufferOffset += qint64(m_start);
        m_start = m_scan = m_end = 0;
    } else if (m_end == m_buffer.size) {
        if (m_start > 0) {
            std::memmove(m_buffer.bytes.get(), m_buffer.bytes.get() + m_start, m_end - m_start);
            m_bufferOffset += qint64(m_start);
            m_end -= m_start;
            m_scan -= m_start;
            m_start = 0;
        } else {
            m_buffer.resize(m_buffer.size * 2, m_end); // one line longer than the buffer
        }
    }
    ssize_t got;
    do {
        got = ::pread(m_fd, m_buffer.bytes.get() + m_end, m_buffer.size - m_end, off_t(m_bufferOffset + qint64(m_end)));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errorString)
            *errorString = qt_error_string(errno);
        return false;
    }
    if (got == 0)
        m_atEnd = true;
    m_end += size_t(got);
    return true;
}

TextCover::TextCover(const CoverSet &set)
    : cover(set)
{
    for (qint8 digit = 0; digit < 10; ++digit) {
        const bool habitat = !cover.isEach() && cover.contains(digit);
        digitCode[digit] = habitat ? CellCode::Habitat : CellCode::Matrix;
        if (habitat)
            habitatDigits[habitatDigitCount++] = digit;
    }
}

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

} // namespace LandscapeText
