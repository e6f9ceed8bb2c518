#include "rastersource.h"

#include "coverbits.h"
#include "memorygrid.h"
#include "rasterbackend.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

#include <dlfcn.h>

namespace {

struct Backend
{
    const RasterBackend *entry = nullptr;
    QString failure; // why it could not be loaded
};

// The places the GDAL module may be: where VANTRIX_GDAL_MODULE says, beside
// an installed program (bin/../lib/vantrix/), beside the shared module this
// code is part of (the Python and R bindings), and where the build put it.
QStringList modulePaths()
{
    QStringList paths;
    if (const QString given = qEnvironmentVariable("VANTRIX_GDAL_MODULE"); !given.isEmpty())
        paths << given;
    const QString program = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (!program.isEmpty())
        paths << QFileInfo(program).absolutePath() + QStringLiteral("/../lib/vantrix/libvantrix_gdal.so");
    Dl_info self;
    if (::dladdr(reinterpret_cast<void *>(&modulePaths), &self) && self.dli_fname) {
        const QString here = QFileInfo(QFile::decodeName(self.dli_fname)).absolutePath();
        if (QFileInfo(QFile::decodeName(self.dli_fname)).canonicalFilePath() != program)
            paths << here + QStringLiteral("/libvantrix_gdal.so");
    }
    paths << QStringLiteral(VANTRIX_GDAL_MODULE_BUILT);
    return paths;
}

std::atomic<RasterSource::FatalHandler> fatalHandler{nullptr};

const Backend &backend()
{
    static Backend loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        QStringList tried;
        for (const QString &path : modulePaths()) {
            void *handle = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                tried << QString::fromLocal8Bit(::dlerror());
                continue;
            }
            using Entry = const RasterBackend *(*)();
            if (auto entry = reinterpret_cast<Entry>(::dlsym(handle, "vantrixRasterBackend"))) {
                loaded.entry = entry(); // the module stays loaded for the life of the process
                if (loaded.entry && loaded.entry->setFatalHandler)
                    loaded.entry->setFatalHandler(fatalHandler.load());
                return;
            }
            tried << QStringLiteral("%1 has no raster reader").arg(path);
            ::dlclose(handle);
        }
        loaded.failure = QCoreApplication::translate("RasterSource", "the raster reader could not be loaded (%1)")
                                 .arg(tried.join(QStringLiteral("; ")));
    });
    return loaded;
}

} // namespace

CellGeometry RasterSource::GeoReference::cellGeometry() const
{
    CellGeometry geometry;
    if (!hasTransform || geographic || units.isEmpty())
        return geometry;
    geometry.width = std::hypot(transform[1], transform[4]);
    geometry.height = std::hypot(transform[2], transform[5]);
    geometry.area = std::abs(transform[1] * transform[5] - transform[2] * transform[4]);
    geometry.mapUnits = geometry.area > 0;
    if (!geometry.mapUnits)
        geometry = CellGeometry();
    return geometry;
}

void RasterSource::setFatalHandler(FatalHandler handler)
{
    fatalHandler = handler;
}

struct RasterSource::Private
{
    std::unique_ptr<RasterDataset> dataset;
};

RasterSource::RasterSource()
    : d(std::make_unique<Private>())
{
}

RasterSource::~RasterSource() = default;

RasterSource::OpenResult RasterSource::open(const QByteArray &path, int band, QString *errorString)
{
    close();
    if (path.isEmpty() || path.contains('\0'))
        return NotRaster;
    // GDAL's in-memory files (fuzzing, tests) are probed by the module.
    const LandscapeProbe::Kind kind = path.startsWith("/vsimem/") ? LandscapeProbe::Kind::Binary
                                                                  : LandscapeProbe::probe(path);
    return open(path, kind, band, errorString);
}

RasterSource::OpenResult RasterSource::open(const QByteArray &path, LandscapeProbe::Kind kind, int band,
                                            QString *errorString)
{
    close();
    if (path.isEmpty() || path.contains('\0'))
        return NotRaster;
    if (kind != LandscapeProbe::Kind::Text && kind != LandscapeProbe::Kind::Binary)
        return NotRaster;
    const Backend &gdal = backend();
    if (!gdal.entry) {
        if (errorString)
            *errorString = gdal.failure;
        return Failed;
    }
    d->dataset.reset(gdal.entry->create());
    const OpenResult result = d->dataset->open(path, kind == LandscapeProbe::Kind::Text, band, errorString);
    if (result != Opened)
        d->dataset.reset();
    return result;
}

RasterSource::OpenResult RasterSource::open(std::shared_ptr<const MemoryGrid> grid, QString *errorString)
{
    close();
    const QString refusal = grid ? grid->refusal() : QStringLiteral("no grid");
    if (!refusal.isEmpty()) {
        if (errorString)
            *errorString = refusal;
        return Failed;
    }
    if (!grid->geo.projection.isEmpty()) {
        const Backend &gdal = backend();
        if (!gdal.entry) {
            if (errorString)
                *errorString = gdal.failure;
            return Failed;
        }
        auto described = std::make_shared<MemoryGrid>(*grid);
        gdal.entry->describeProjection(described->geo);
        grid = std::move(described);
    }
    d->dataset = makeMemoryDataset(std::move(grid));
    return Opened;
}

void RasterSource::close()
{
    d->dataset.reset();
}

qint64 RasterSource::width() const
{
    return d->dataset ? d->dataset->width() : 0;
}

qint64 RasterSource::height() const
{
    return d->dataset ? d->dataset->height() : 0;
}

qint64 RasterSource::blockHeight() const
{
    return d->dataset ? d->dataset->blockHeight() : 1;
}

QString RasterSource::driverName() const
{
    return d->dataset ? d->dataset->driverName() : QString();
}

bool RasterSource::outOfMemory() const
{
    return d->dataset && d->dataset->outOfMemory();
}

RasterSource::GeoReference RasterSource::geoReference() const
{
    return d->dataset ? d->dataset->geoReference() : GeoReference();
}

RasterSource::Writer::Writer() = default;

RasterSource::Writer::~Writer()
{
    if (m_backend)
        m_backend->close(nullptr);
}

bool RasterSource::Writer::create(const QByteArray &path, qint64 width, qint64 height, int bands, Type type,
                                  const GeoReference &geo, QString *errorString)
{
    const Backend &gdal = backend();
    if (!gdal.entry) {
        if (errorString)
            *errorString = gdal.failure;
        return false;
    }
    m_backend.reset(gdal.entry->createWriter());
    if (!m_backend->create(path, width, height, bands, type, geo, errorString)) {
        m_backend.reset();
        return false;
    }
    return true;
}

void RasterSource::Writer::describeBand(int band, const QString &description, bool hasNodata, double nodata)
{
    if (m_backend)
        m_backend->describeBand(band, description, hasNodata, nodata);
}

bool RasterSource::Writer::write(int band, qint64 firstRow, qint64 rows, const void *values, QString *errorString)
{
    if (!m_backend) {
        if (errorString)
            *errorString = QCoreApplication::translate("RasterSource", "no raster is being written");
        return false;
    }
    return m_backend->write(band, firstRow, rows, values, errorString);
}

bool RasterSource::Writer::close(QString *errorString)
{
    if (!m_backend)
        return false;
    const bool ok = m_backend->close(errorString);
    m_backend.reset();
    return ok;
}

bool RasterSource::readHabitat(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover, qint8 *out,
                               QString *errorString)
{
    if (!d->dataset) {
        if (errorString)
            *errorString = QCoreApplication::translate("RasterSource", "no raster is open");
        return false;
    }
    return d->dataset->readHabitat(firstLine, lineCount, columns, cover, out, errorString);
}

bool RasterSource::readHabitatBits(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover,
                                   quint64 *bits, QString *errorString)
{
    if (!d->dataset) {
        if (errorString)
            *errorString = QCoreApplication::translate("RasterSource", "no raster is open");
        return false;
    }
    bool handled = true;
    const bool ok = d->dataset->readHabitatBits(firstLine, lineCount, columns, cover, bits, &handled, errorString);
    if (handled)
        return ok;
    if (lineCount <= 0 || columns <= 0) // nothing to read, but where is checked
        return d->dataset->readHabitat(firstLine, lineCount, columns, cover, nullptr, errorString);
    // The codes, a few lines at a time, packed.
    const qint64 words = CoverBits::wordsFor(columns);
    const qint64 strip = std::clamp<qint64>((qint64(1) << 20) / columns, 1, lineCount);
    std::vector<qint8> cells;
    for (qint64 line = 0; line < lineCount; line += strip) {
        const qint64 count = std::min(strip, lineCount - line);
        cells.resize(size_t(count * columns));
        if (!d->dataset->readHabitat(firstLine + line, count, columns, cover, cells.data(), errorString))
            return false;
        for (qint64 r = 0; r < count; ++r) {
            quint64 *row = bits + 2 * (line + r) * words;
            packCoverBits(cells.data() + r * columns, columns, row, row + words);
        }
    }
    return true;
}

bool RasterSource::readValues(qint64 firstLine, qint64 lineCount, qint64 columns, qint32 *values, quint8 *present,
                              QString *errorString)
{
    if (!d->dataset) {
        if (errorString)
            *errorString = QCoreApplication::translate("RasterSource", "no raster is open");
        return false;
    }
    return d->dataset->readValues(firstLine, lineCount, columns, values, present, errorString);
}

bool RasterSource::valuesAreBytes() const
{
    return d->dataset && d->dataset->valuesAreBytes();
}

bool RasterSource::readByteValues(qint64 firstLine, qint64 lineCount, qint64 columns, quint8 *values,
                                  quint8 *present, QString *errorString)
{
    if (!valuesAreBytes()) {
        if (errorString)
            *errorString = QCoreApplication::translate("RasterSource", "the raster's values are not bytes");
        return false;
    }
    return d->dataset->readByteValues(firstLine, lineCount, columns, values, present, errorString);
}

QStringList RasterSource::excludedDrivers()
{
    const Backend &gdal = backend();
    return gdal.entry ? gdal.entry->excludedDrivers() : QStringList();
}

QString RasterSource::gdalVersion()
{
    const Backend &gdal = backend();
    return gdal.entry ? gdal.entry->gdalVersion() : QString();
}

bool RasterSource::writeGeoTiff(const QByteArray &path, const qint8 *cells, qint64 size, QString *errorString)
{
    const Backend &gdal = backend();
    if (!gdal.entry) {
        if (errorString)
            *errorString = gdal.failure;
        return false;
    }
    return gdal.entry->writeGeoTiff(path, cells, size, errorString);
}
