// Both landscape readers on any bytes. Bytes that are no raster are text:
// each reader is compared with the straightforward QString reading. Bytes
// that GDAL takes for a raster go through the raster path: LandscapeReader
// compared with RasterSource reading the same file, and RasterSource on the
// same bytes as a GDAL in-memory file, its two reads compared with each
// other. LandscapeStream, in bands of a height the input chooses, with or
// without reading ahead, gives what LandscapeReader gives whole. Then the
// walk and the map rendering on what was read.
#include "fuzzinput.h"
#include "cellcodes.h"
#include "landscapereader.h"
#include "landscapestream.h"
#include "maprenderer.h"
#include "percolationgrid.h"
#include "rastersource.h"
#include "referencereader.h"
#include "testutil.h"

#include <QImage>
#include <QPainter>

#include <cpl_vsi.h>

#include <algorithm>
#include <vector>

#include <unistd.h>

namespace {

// Rasters that declare more cells than this are opened, but not read: a
// few bytes may declare a raster that GDAL would take long to fill in.
constexpr qint64 MaxReadCells = qint64(4) << 20;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// Reads lines x columns cells of an open raster both ways and checks that
// they agree: both reads succeed or both fail, and where they succeed, a
// cell is habitat exactly where it holds a value of the cover, without a
// value exactly where it holds none.
void checkReads(RasterSource &raster, qint64 lines, qint64 columns, const CoverSet &cover)
{
    const size_t cells = size_t(lines * columns);
    std::vector<qint8> habitat(cells, 7);
    std::vector<qint32> values(cells, 7);
    std::vector<quint8> present(cells, 7);
    QString habitatError;
    QString valuesError;
    const bool habitatRead = raster.readHabitat(0, lines, columns, cover, habitat.data(), &habitatError);
    const bool valuesRead = raster.readValues(0, lines, columns, values.data(), present.data(), &valuesError);
    check(habitatRead == valuesRead);
    if (!habitatRead) {
        check(!habitatError.isEmpty() && !valuesError.isEmpty());
        return;
    }
    for (size_t i = 0; i < cells; ++i) {
        check(present[i] <= 1);
        check(present[i] || values[i] == 0);
        check(habitat[i] == (!present[i] ? CellCode::NoValue : cover.contains(values[i]) ? CellCode::Habitat
                                                                                        : CellCode::Matrix));
    }
}

// The walk and the map rendering on what a reader gave.
void walkAndRender(RaggedRows<qint8> cells, const MapGrid &values, qint32 cover, const uint8_t *data)
{
    PercolationGrid grid;
    grid.setRows(std::move(cells));
    const int result = grid.percolates();
    check(result == 0 || result == 1);

    QImage canvas(80, 70, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::gray);
    QPainter painter(&canvas);
    MapRenderer renderer;
    renderer.draw(painter, values, cover, QRect(3, 5, 64, 48 + data[0] % 7));
}

// The stream's bands of `height` rows, the square's columns of a raster or
// every cell of a text row, joined: what LandscapeReader reads whole (or
// fails where it fails, with the same reason).
void checkStream(const QByteArray &file, const CoverSet &cover, qint64 height, bool prefetch,
                 const RaggedRows<qint8> &whole, bool wholeRead, const QString &wholeError, qint64 skippedFields)
{
    LandscapeStream stream;
    LandscapeStream::Options options;
    options.prefetch = prefetch;
    QString error;
    if (!stream.open(file, options, &error)) {
        check(!wholeRead && error == wholeError);
        return;
    }
    check(stream.nextRow() == 0);
    const qint64 columns = stream.isRaster() ? std::min(stream.columns(), stream.rows()) : stream.columns();
    if (stream.isRaster() && stream.rows() * columns > MaxReadCells)
        return;
    if (!stream.isRaster()) {
        check(wholeRead);
        check(stream.skippedFields().count == skippedFields);
    }
    RaggedRows<qint8> joined;
    RaggedRows<qint8> band;
    for (;;) {
        const qint64 before = stream.nextRow();
        if (!stream.readHabitat(height, columns, cover, band, &error)) {
            check(!wholeRead && !error.isEmpty() && band.isEmpty() && stream.nextRow() == before);
            return;
        }
        check(stream.nextRow() == before + band.rowCount());
        if (band.isEmpty())
            break;
        check(band.rowCount() == std::min(height, stream.rows() - before));
        for (qsizetype r = 0; r < band.rowCount(); ++r) {
            joined.cells.insert(joined.cells.end(), band.row(r), band.row(r) + band.rowLength(r));
            joined.endRow();
        }
    }
    check(wholeRead);
    check(stream.nextRow() == stream.rows() && joined.rowCount() == stream.rows());
    check(joined.cells == whole.cells && joined.offsets == whole.offsets);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses: the cover (its low three bits; bit 3 widens it
    // to a range of three values), the band height of the stream (bits 4 to
    // 6) and whether it reads ahead (bit 7).
    static const qint32 covers[] = {1, 0, 7, -1, -3, 9, 2147483647, -2147483647 - 1};
    const qint32 cover = covers[data[0] % 8];
    CoverSet coverSet(cover);
    if (data[0] & 8)
        coverSet = *CoverSet::parse(QStringLiteral("%1-%2").arg(std::min(cover, 2147483647 - 2)).arg(std::min(cover, 2147483647 - 2) + 2), nullptr);
    const qint64 bandHeight = 1 + ((data[0] >> 4) & 7) * 3;
    const bool prefetch = data[0] & 0x80;
    const QByteArray text(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QString path = FuzzInput::writeFile(data + 1, size - 1);
    const QByteArray file = QFile::encodeName(path);

    RasterSource probe;
    QString probeError;
    const RasterSource::OpenResult kind = probe.open(file, 1, &probeError);
    RaggedRows<qint8> cells;
    MapGrid values;
    LandscapeReader::Outcome outcome;
    if (kind == RasterSource::NotRaster) {
        QString error;
        check(LandscapeReader::readPercolation(file, coverSet, cells, &error, {}, &outcome));
        if (coverSet.isSingle())
            check(TestUtil::toNested(cells) == ReferenceReader::percolation(text, cover));
        checkStream(file, coverSet, bandHeight, prefetch, cells, true, error, outcome.skipped.count);
        cells.clear();
        check(LandscapeReader::readPercolation(path, cover, cells));
        check(TestUtil::toNested(cells) == ReferenceReader::percolation(text, cover));
        check(LandscapeReader::readDisplay(path, values));
        check(TestUtil::toNested(values) == ReferenceReader::display(text));
        walkAndRender(std::move(cells), values, cover, data);
    } else if (kind == RasterSource::Failed) {
        // The readers fail on it too, for the same reason, with nothing read.
        check(!probeError.isEmpty());
        QString error;
        check(!LandscapeReader::readPercolation(path, cover, cells, &error));
        check(error == probeError && cells.isEmpty());
        check(!LandscapeReader::readDisplay(path, values, &error));
        check(error == probeError && values.isEmpty());
        checkStream(file, coverSet, bandHeight, prefetch, cells, false, probeError, 0);
    } else {
        // The square of side n = lines: the readers give what RasterSource
        // reads of it, or fail where it fails.
        const qint64 lines = probe.height();
        const qint64 columns = std::min(probe.width(), lines);
        check(lines >= 1 && columns >= 1);
        if (lines * columns <= MaxReadCells) {
            std::vector<qint8> habitat(size_t(lines * columns));
            std::vector<qint32> read(size_t(lines * columns));
            std::vector<quint8> present(size_t(lines * columns));
            const bool habitatRead = probe.readHabitat(0, lines, columns, coverSet, habitat.data());
            const bool valuesRead = probe.readValues(0, lines, columns, read.data(), present.data());
            QString error;
            check(LandscapeReader::readPercolation(file, coverSet, cells, &error, {}) == habitatRead);
            check(error.isEmpty() == habitatRead);
            checkStream(file, coverSet, bandHeight, prefetch, cells, habitatRead, error, 0);
            if (habitatRead) {
                check(cells.rowCount() == lines && cells.cellCount() == lines * columns);
                check(std::equal(habitat.begin(), habitat.end(), cells.cells.begin()));
            } else {
                check(cells.isEmpty());
            }
            error.clear();
            check(LandscapeReader::readDisplay(path, values, &error) == valuesRead);
            check(error.isEmpty() == valuesRead);
            if (valuesRead) {
                check(values.rowCount() == lines);
                for (qint64 r = 0; r < lines; ++r) {
                    check(values.rowLength(r) == columns);
                    for (qint64 c = 0; c < columns; ++c) {
                        const size_t i = size_t(r * columns + c);
                        check(values.hasValue(r, c) == bool(present[i]));
                        check(values.value(r, c) == read[i]);
                    }
                }
            } else {
                check(values.isEmpty());
            }
            walkAndRender(std::move(cells), values, cover, data);
        }
    }

    // The same bytes as a GDAL in-memory file of the same name: the same
    // outcome, and reads that agree with each other.
    static const QByteArray memoryName = "/vsimem/vantrix-fuzz-" + QByteArray::number(getpid()) + ".txt";
    VSILFILE *memoryFile = VSIFileFromMemBuffer(memoryName.constData(), const_cast<GByte *>(data + 1),
                                                vsi_l_offset(size - 1), FALSE);
    check(memoryFile != nullptr);
    VSIFCloseL(memoryFile);
    {
        RasterSource raster;
        QString error;
        const RasterSource::OpenResult memoryKind = raster.open(memoryName, 1, &error);
        check(memoryKind == kind);
        check((memoryKind == RasterSource::Failed) == !error.isEmpty());
        if (memoryKind == RasterSource::Opened) {
            check(raster.width() == probe.width() && raster.height() == probe.height());
            check(raster.blockHeight() >= 1);
            if (raster.width() * raster.height() <= MaxReadCells)
                checkReads(raster, raster.height(), raster.width(), coverSet);
        }
    }
    VSIUnlink(memoryName.constData());
    return 0;
}
