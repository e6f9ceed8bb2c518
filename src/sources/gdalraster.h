#pragma once

#include "rasterbackend.h"

#include <memory>

// One raster open through GDAL: the RasterDataset of the GDAL module, with
// the contracts RasterSource states. With EsriGridBody, which it uses for the
// values of ESRI ASCII grids, the only code of Vantrix that calls GDAL.
class GdalRaster : public RasterDataset
{
public:
    GdalRaster();
    ~GdalRaster() override;
    GdalRaster(const GdalRaster &) = delete;
    GdalRaster &operator=(const GdalRaster &) = delete;

    RasterSource::OpenResult open(const QByteArray &path, bool text, int band, QString *errorString) override;
    void close() override;
    qint64 width() const override;
    qint64 height() const override;
    qint64 blockHeight() const override;
    QString driverName() const override;
    bool outOfMemory() const override;
    bool readHabitat(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover, qint8 *out,
                     QString *errorString) override;
    bool readValues(qint64 firstLine, qint64 lineCount, qint64 columns, qint32 *values, quint8 *present,
                    QString *errorString) override;
    bool readHabitatBits(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover, quint64 *bits,
                         bool *handled, QString *errorString) override;
    bool valuesAreBytes() const override;
    bool readByteValues(qint64 firstLine, qint64 lineCount, qint64 columns, quint8 *values, quint8 *present,
                        QString *errorString) override;
    RasterSource::GeoReference geoReference() const override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
