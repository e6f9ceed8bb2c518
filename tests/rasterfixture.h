#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <gdal.h>

#include <array>
#include <optional>
#include <vector>

// Rasters for tests, written by GDAL itself from a grid of values.
//
// A grid is a vector of rows, all of the same length: row k becomes raster
// line k, value j pixel j. Values are doubles so that a grid can hold what an
// integer grid cannot (1.5, NaN, 3e9); integer grids convert exactly. GDAL
// converts each value to the raster's data type as it writes.
namespace RasterFixture {

using Grid = std::vector<std::vector<double>>;

Grid fromInts(const std::vector<std::vector<int>> &rows);

struct Options
{
    GDALDataType type = GDT_Byte;
    // "GTiff", "AAIGrid", "HFA" or "ENVI" (any GDAL driver with CreateCopy).
    QByteArray format = "GTiff";
    // GeoTIFF layout: strips of blockSize lines, or tiles of blockSize x
    // blockSize (a multiple of 16) when tiled.
    bool tiled = false;
    int blockSize = 16;
    QByteArray compression; // GeoTIFF: empty (none), "LZW" or "DEFLATE"
    std::optional<double> nodata;
    // A mask per dataset (0: no value, else valid), the same shape as the grid:
    // internal to a GeoTIFF, an x.msk file beside formats without masks of
    // their own whose copy GDAL gives one (HFA, for one; not AAIGrid).
    std::vector<std::vector<int>> mask;
    // Bands 2, 3, ... after the grid's band 1.
    std::vector<Grid> moreBands;
    // More creation options, "NAME=VALUE" (e.g. "ALPHA=YES", "PIXELTYPE=SIGNEDBYTE").
    QByteArrayList creationOptions;
    // GDAL's geotransform for the raster, when it is to have one.
    std::optional<std::array<double, 6>> transform;
};

// Writes the grid as a raster at path and returns path, or an empty string
// (with GDAL's reason in *errorString) when GDAL cannot.
QString writeRaster(const QString &path, const Grid &grid, const Options &options = {},
                    QString *errorString = nullptr);

// The grid in Vantrix's text format: values separated by single blanks, a
// blank after the last value of each row, a newline after each row.
QByteArray landscapeText(const std::vector<std::vector<int>> &rows);

// A little-endian classic TIFF of 8-bit cells, written by hand, that
// declares width x height cells and holds almost no data: tile 0 means strips
// of rowsPerStrip lines (one strip points at 64 bytes of data, several at
// tables past the file's end), else tiles of tile x tile cells. For hostile
// cases that GDAL would never write.
QByteArray tinyTiff(quint32 width, quint32 height, quint16 compression, quint32 tile, quint32 rowsPerStrip);

// A little-endian classic TIFF of 8-bit cells, written by hand, that
// declares width x height cells in uncompressed strips of rowsPerStrip lines
// and stores none of them: every strip's offset and size are 0, which GDAL
// reads as a sparse strip of zeros. A raster of any size (70,000 x 70,000
// and more) in a few KB that reads without error.
QByteArray sparseTiff(quint32 width, quint32 height, quint32 rowsPerStrip);

} // namespace RasterFixture
