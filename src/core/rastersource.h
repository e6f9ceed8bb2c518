#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

// A landscape stored as a GIS raster (GeoTIFF, ESRI ASCII grid, Erdas
// Imagine, ENVI and whatever else GDAL reads), read through GDAL. This is the
// one part of Vantrix that talks to GDAL.
//
// Which files are rasters: a file is a raster when GDAL opens it as one with a
// driver that does not also take arbitrary text for a raster. Drivers that
// would read a plain-text grid of numbers (XYZ and the like, see
// excludedDrivers()) are never used, so such a file stays a text landscape.
//
// Cells: raster line k is row k, pixel j column j. A value is read from one
// band (band 1 unless told otherwise). Integer types give their value when it
// lies in the signed 32-bit range; a floating-point value counts only when it
// is integral and in that range. Any other value is invalid. Nodata (the
// band's nodata value, or its mask) and invalid values hold no value.
//
// Failure: every operation returns false with a reason (GDAL's own message
// where it has one); GDAL never prints or asks anything. Opening does not
// allocate in proportion to the raster's declared size, so a small file that
// declares an enormous raster costs nothing until its rows are read.
//
// One RasterSource per thread: a GDAL dataset must not be shared between
// threads; separate RasterSource objects may be used on separate threads.
class RasterSource
{
public:
    enum OpenResult {
        NotRaster, // no allowed driver claims the file: read it as text
        Opened,
        Failed,    // a raster driver claims the file, but it cannot be opened (reason given)
    };

    RasterSource();
    ~RasterSource();
    RasterSource(const RasterSource &) = delete;
    RasterSource &operator=(const RasterSource &) = delete;

    // Opens path (GDAL's file name: a file-system path as bytes, or a
    // /vsimem/ name) and selects band (from 1). A band that does not exist,
    // or a data type that holds no integers (complex values), is Failed.
    OpenResult open(const QByteArray &path, int band, QString *errorString = nullptr);
    void close();

    qint64 width() const;  // pixels per line
    qint64 height() const; // lines
    // Lines per block of the band: reading in strips of this height reads
    // each block once.
    qint64 blockHeight() const;
    QString driverName() const;

    // Reads lines [firstLine, firstLine + lineCount), pixels [0, columns) of
    // each (columns <= width()), into out, row-major (lineCount * columns
    // bytes): 1 where the value equals habitatValue, 0 elsewhere (including
    // nodata and invalid values). Memory beyond out: at most one strip of
    // blocks in the band's own type plus GDAL's bounded block cache.
    bool readHabitat(qint64 firstLine, qint64 lineCount, qint64 columns, qint32 habitatValue, qint8 *out,
                     QString *errorString = nullptr);
    // The same lines as values: values[i] the value, present[i] 1 where the
    // cell holds one and 0 where it holds none (values[i] is then 0).
    bool readValues(qint64 firstLine, qint64 lineCount, qint64 columns, qint32 *values, quint8 *present,
                    QString *errorString = nullptr);

    // The GDAL drivers that are never used, and why, one "NAME: reason" each.
    static QStringList excludedDrivers();
    // GDAL's version, for --version texts.
    static QString gdalVersion();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
