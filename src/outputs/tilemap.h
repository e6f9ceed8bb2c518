#pragma once

#include "percolationbatch.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// The results of a file's tiles as a map a GIS lays over the file: one pixel
// per square of the tile lattice, ceil(rows / S) x ceil(columns / S) pixels,
// in the file's coordinate system with its geotransform scaled by S, so that
// pixel (i, j) covers the square whose top-left cell is (i S, j S).
//
// Bands: `spans` (1 or 0), then with statistics one band per statistic, in
// the order and with the names of the table's columns (ClusterTable::
// statisticNames()), each band's description its name. Without statistics
// the map is Byte with nodata 255; with them Float64 with nodata NaN (so a
// statistic that is undefined for a square, NA in the table, is nodata too,
// and counts are exact up to 2^53).
// Squares that are incomplete, or that hold no cell with a value, are nodata
// in every band. The maps of moving windows are the same, on their lattice
// of window centres.
namespace TileMap {

// A lattice of pixels over a map: rows x columns pixels, each `scale`
// cells a side, the first's top-left corner at (origin, origin) cells from
// the map's top-left corner; a landscape's pixel is (latticeRow,
// latticeColumn). With cells, a band `cells` after `spans` (the cells with a
// value each landscape holds).
struct Lattice
{
    qint64 rows = 0;
    qint64 columns = 0;
    qint64 scale = 1;
    double origin = 0;
    bool cells = false;
};

// The landscapes of a map, lattice row by lattice row (a file's squares, or
// its windows from their spool): each handed to visit; false, with the
// reason, when they cannot be read.
using Landscapes = std::function<bool(const std::function<void(const PercolationBatch::Landscape &)> &visit,
                                      QString *errorString)>;

// Writes the map of landscapes on lattice (one pixel each; pixels without
// one are nodata) to path as a GeoTIFF over the map at geo, 256 rows of the
// lattice at a time (the file's tiles; memory: those rows' pixels), through OutputFile: path is
// replaced only by a complete map. With statistics, a band per column of the
// table (with the lacunarity of these box sides). With coverClass, only the
// landscapes of that class. False, with the reason, if it cannot be written.
bool write(const QByteArray &path, const Landscapes &landscapes, const Lattice &lattice,
           const RasterSource::GeoReference &geo, bool statistics, const std::vector<qint64> &sides,
           std::optional<qint32> coverClass, QString *errorString);

} // namespace TileMap
