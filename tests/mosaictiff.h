#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

// Maps larger than memory for tests, without ever holding them: a BigTIFF of
// 8-bit cells in tiles of tileSide x tileSide whose tile offsets all point at
// a few tiles stored once (DEFLATE), so that a map of 10^9 to 10^10 cells
// takes a few MB and is written in a moment. GDAL reads it as any tiled
// GeoTIFF, decoding every tile it is asked for.
namespace MosaicTiff {

struct Layout
{
    int tileSide = 256;
    qint64 tilesAcross = 1;
    qint64 tilesDown = 1;
    // The map's size in cells, if not whole tiles (the last tiles then reach
    // past it, as TIFF allows); 0 for whole tiles.
    qint64 width = 0;
    qint64 height = 0;
    // Which of the stored tiles stands at tile column i, tile row j.
    std::function<int(qint64 i, qint64 j)> tileAt = [](qint64, qint64) { return 0; };
    // Georeference: a projected system (EPSG code, e.g. 32633) with square
    // cells of pixelSize units, the top-left corner at (originX, originY);
    // epsg 0 for none.
    int epsg = 32633;
    double pixelSize = 30.0;
    double originX = 500000.0;
    double originY = 6000000.0;
};

// Writes the mosaic at path; tiles holds tileSide * tileSide bytes each, row
// by row. False when the file cannot be written.
bool write(const QString &path, const std::vector<QByteArray> &tiles, const Layout &layout);

} // namespace MosaicTiff
