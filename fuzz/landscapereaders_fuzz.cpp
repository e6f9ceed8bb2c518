// Both landscape readers on any bytes. Bytes that are no raster are text:
// each reader is compared with the straightforward QString reading. Bytes
// that GDAL takes for a raster go through the raster path: LandscapeReader
// compared with RasterSource reading the same file, and RasterSource on the
// same bytes as a GDAL in-memory file, its two reads compared with each
// other. Then the walk and the map rendering on what was read.
#include "fuzzinput.h"
#include "landscapereader.h"
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
// cell is habitat exactly where it holds the cover value.
void checkReads(RasterSource &raster, qint64 lines, qint64 columns, qint32 cover)
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
        check(habitat[i] == qint8(present[i] && values[i] == cover));
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const qint32 covers[] = {1, 0, 7, -1, -3, 9, 2147483647, -2147483647 - 1};
    const qint32 cover = covers[data[0] % 8];
    const QByteArray text(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QString path = FuzzInput::writeFile(data + 1, size - 1);
    const QByteArray file = QFile::encodeName(path);

    RasterSource probe;
    QString probeError;
    const RasterSource::OpenResult kind = probe.open(file, 1, &probeError);
    RaggedRows<qint8> cells;
    MapGrid values;
    if (kind == RasterSource::NotRaster) {
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
            const bool habitatRead = probe.readHabitat(0, lines, columns, cover, habitat.data());
            const bool valuesRead = probe.readValues(0, lines, columns, read.data(), present.data());
            QString error;
            check(LandscapeReader::readPercolation(path, cover, cells, &error) == habitatRead);
            check(error.isEmpty() == habitatRead);
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
                checkReads(raster, raster.height(), raster.width(), cover);
        }
    }
    VSIUnlink(memoryName.constData());
    return 0;
}
