#pragma once

#include "coverset.h"
#include "rastersource.h"

#include <memory>

// The GDAL side of RasterSource, built as a module of its own
// (libvantrix_gdal.so) that RasterSource loads the first time a file may be
// a raster. GDAL and the many libraries behind it then cost nothing to a run
// that reads only text landscapes, and a command-line program starts as fast
// as it did without them.
//
// A RasterDataset is one open raster with the operations of RasterSource and
// their contracts; the module's entry point vantrixRasterBackend() makes them
// and answers for GDAL as a whole.
class RasterDataset
{
public:
    virtual ~RasterDataset() = default;
    // text: the probe found the file to be text, so that GDAL failing on it
    // makes it a text landscape (NotRaster) rather than a damaged raster,
    // unless it begins with an ESRI ASCII grid's header (Failed, with why).
    virtual RasterSource::OpenResult open(const QByteArray &path, bool text, int band, QString *errorString) = 0;
    virtual void close() = 0;
    virtual qint64 width() const = 0;
    virtual qint64 height() const = 0;
    virtual qint64 blockHeight() const = 0;
    virtual QString driverName() const = 0;
    virtual bool outOfMemory() const = 0;
    virtual bool readHabitat(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover, qint8 *out,
                             QString *errorString) = 0;
    virtual bool readValues(qint64 firstLine, qint64 lineCount, qint64 columns, qint32 *values, quint8 *present,
                            QString *errorString) = 0;
    // RasterSource::readHabitatBits(), where the dataset has a faster way
    // than packing readHabitat()'s codes: *handled false (and nothing read)
    // where it has not.
    virtual bool readHabitatBits(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover,
                                 quint64 *bits, bool *handled, QString *errorString)
    {
        Q_UNUSED(firstLine);
        Q_UNUSED(lineCount);
        Q_UNUSED(columns);
        Q_UNUSED(cover);
        Q_UNUSED(bits);
        Q_UNUSED(errorString);
        *handled = false;
        return false;
    }
    // RasterSource::valuesAreBytes() and readByteValues().
    virtual bool valuesAreBytes() const { return false; }
    virtual bool readByteValues(qint64 firstLine, qint64 lineCount, qint64 columns, quint8 *values, quint8 *present,
                                QString *errorString)
    {
        Q_UNUSED(firstLine);
        Q_UNUSED(lineCount);
        Q_UNUSED(columns);
        Q_UNUSED(values);
        Q_UNUSED(present);
        Q_UNUSED(errorString);
        return false;
    }
    virtual RasterSource::GeoReference geoReference() const = 0;
};

// A GeoTIFF being written band by band, rows in any order: the other half of
// the module, for the maps Vantrix writes (RasterSource::Writer).
class RasterWriterBackend
{
public:
    virtual ~RasterWriterBackend() = default;
    virtual bool create(const QByteArray &path, qint64 width, qint64 height, int bands,
                        RasterSource::Writer::Type type, const RasterSource::GeoReference &geo,
                        QString *errorString) = 0;
    virtual void describeBand(int band, const QString &description, bool hasNodata, double nodata) = 0;
    virtual bool write(int band, qint64 firstRow, qint64 rows, const void *values, QString *errorString) = 0;
    virtual bool close(QString *errorString) = 0;
};

// What the module offers. Its functions may be called from any thread.
struct RasterBackend
{
    RasterDataset *(*create)(); // a dataset with nothing open, owned by the caller
    QStringList (*excludedDrivers)();
    QString (*gdalVersion)();
    bool (*writeGeoTiff)(const QByteArray &path, const qint8 *cells, qint64 size, QString *errorString);
    RasterWriterBackend *(*createWriter)(); // nothing created yet, owned by the caller
    // Who hears of an error GDAL cannot go on from (it aborts once the
    // handler returns: a handler should end the process itself).
    void (*setFatalHandler)(RasterSource::FatalHandler handler);
    // Sets geo's geographic and units from its projection (any form GDAL
    // reads: WKT, "EPSG:32633", PROJ strings).
    void (*describeProjection)(RasterSource::GeoReference &geo);
};

// A grid in memory as a dataset (memorygrid.cpp, not of the module).
struct MemoryGrid;
std::unique_ptr<RasterDataset> makeMemoryDataset(std::shared_ptr<const MemoryGrid> grid);

// The module's one exported symbol.
extern "C" Q_DECL_EXPORT const RasterBackend *vantrixRasterBackend();
