#include "rastersource.h"

// Placeholder until the GDAL reading lands: no file is a raster.
struct RasterSource::Private
{
};

RasterSource::RasterSource() = default;
RasterSource::~RasterSource() = default;

RasterSource::OpenResult RasterSource::open(const QByteArray &, int, QString *)
{
    return NotRaster;
}

void RasterSource::close() {}
qint64 RasterSource::width() const { return 0; }
qint64 RasterSource::height() const { return 0; }
qint64 RasterSource::blockHeight() const { return 1; }
QString RasterSource::driverName() const { return QString(); }

bool RasterSource::readHabitat(qint64, qint64, qint64, qint32, qint8 *, QString *)
{
    return false;
}

bool RasterSource::readValues(qint64, qint64, qint64, qint32 *, quint8 *, QString *)
{
    return false;
}

QStringList RasterSource::excludedDrivers() { return {}; }
QString RasterSource::gdalVersion() { return QString(); }
