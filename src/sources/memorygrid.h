#pragma once

#include "rastersource.h"

#include <QtGlobal>

#include <optional>

// A landscape held in memory by its caller (a NumPy array, an R matrix): a
// grid of rows x columns values of one numeric type at data, cell (r, c) at
// byte offset r * rowStride + c * columnStride (strides may be negative or
// zero). It is read in place, never copied; the caller keeps it alive and
// unchanged while it is read.
//
// Values follow the rules of rasters (toInt32()): an integer type's value in
// the signed 32-bit range, a floating-point value that is integral and in
// that range; anything else holds no value. So does a cell equal to nodata
// (compared in the grid's own type) and a cell whose mask byte is not 0
// (NumPy's masked arrays: true where masked).
//
// A grid is read as a raster is (RasterSource::open(grid)): everything that
// takes a landscape file takes it.
struct MemoryGrid
{
    enum Type { Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float32, Float64 };

    const void *data = nullptr;
    Type type = Int32;
    qint64 rows = 0;
    qint64 columns = 0;
    qint64 rowStride = 0;    // bytes
    qint64 columnStride = 0; // bytes
    const quint8 *mask = nullptr;
    qint64 maskRowStride = 0;
    qint64 maskColumnStride = 0;
    // Cells equal to it hold no value: an integer for the integer types
    // (it must lie in the type's range), any number for the floating ones.
    std::optional<double> nodata;
    // Where it lies: a projection (WKT) and a geotransform, for sizes in map
    // units; geographic and units are found from the projection.
    RasterSource::GeoReference geo;

    static qint64 bytesOf(Type type);
    // Why the grid cannot be read (no data for its cells, a nodata value
    // outside the type's range or not integral for an integer type, rows
    // or columns beyond 2^31 - 1), or empty when it can.
    QString refusal() const;
};
