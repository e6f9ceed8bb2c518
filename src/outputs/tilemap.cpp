#include "tilemap.h"

#include "clustertable.h"
#include "outputfile.h"

#include <cmath>
#include <limits>
#include <vector>

namespace TileMap {

bool write(const QByteArray &path, const PercolationBatch::Result &result, bool statistics,
           const std::vector<qint64> &sides, std::optional<qint32> coverClass, QString *errorString)
{
    const qint64 tileSize = result.tileSize;
    const qint64 width = result.latticeColumns;
    const qint64 height = result.latticeRows;
    if (width < 1 || height < 1) {
        if (errorString)
            *errorString = QStringLiteral("the landscape has no square of %1 x %1 cells to map").arg(tileSize);
        return false;
    }
    const QByteArrayList names = ClusterTable::statisticNames(sides);
    const CellGeometry geometry = result.geo.cellGeometry();
    const int bands = statistics ? 1 + int(names.size()) : 1;
    const size_t pixels = size_t(width * height);
    // Every band, pixel by pixel: nodata until a square says otherwise.
    const double missing = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> reals(statistics ? pixels * size_t(bands) : 0, missing);
    std::vector<quint8> spans(statistics ? 0 : pixels, quint8(255));
    for (const PercolationBatch::Landscape &square : result.landscapes) {
        if (coverClass && (!square.isClass || square.coverClass != *coverClass))
            continue;
        if (square.statistics.cells == 0)
            continue; // no cell with a value: nodata
        const size_t at = size_t(square.latticeRow * width + square.latticeColumn);
        if (!statistics) {
            spans[at] = quint8(square.spans);
            continue;
        }
        reals[at] = square.spans;
        const std::vector<double> values = ClusterTable::statisticValues(square.statistics, geometry, square.boxes);
        for (int b = 1; b < bands; ++b)
            reals[size_t(b) * pixels + at] = values[size_t(b - 1)];
    }

    RasterSource::GeoReference geo = result.geo;
    if (geo.hasTransform) {
        for (int i : {1, 2, 4, 5})
            geo.transform[i] *= double(tileSize);
    }
    return OutputFile::writeVia(
            path,
            [&](const QByteArray &name, QString *why) {
                RasterSource::Writer writer;
                if (!writer.create(name, width, height, bands,
                                   statistics ? RasterSource::Writer::Float64 : RasterSource::Writer::Byte, geo, why))
                    return false;
                writer.describeBand(1, QStringLiteral("spans"), true, statistics ? missing : 255.0);
                for (int b = 1; b < bands; ++b)
                    writer.describeBand(b + 1, QString::fromLatin1(names[b - 1]), true, missing);
                bool ok = true;
                if (!statistics) {
                    ok = writer.write(1, 0, height, spans.data(), why);
                } else {
                    for (int b = 0; b < bands && ok; ++b)
                        ok = writer.write(b + 1, 0, height, reals.data() + size_t(b) * pixels, why);
                }
                QString closing;
                const bool closed = writer.close(&closing);
                if (ok && !closed && why)
                    *why = closing;
                return ok && closed;
            },
            errorString);
}

} // namespace TileMap
