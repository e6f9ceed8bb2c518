#include "tilemap.h"

#include "clustertable.h"
#include "outputfile.h"

#include <cmath>
#include <limits>
#include <vector>

namespace TileMap {

bool write(const QByteArray &path, const Landscapes &landscapes, const Lattice &lattice,
           const RasterSource::GeoReference &mapGeo, bool statistics, const std::vector<qint64> &sides,
           std::optional<qint32> coverClass, QString *errorString)
{
    const qint64 width = lattice.columns;
    const qint64 height = lattice.rows;
    if (width < 1 || height < 1) {
        if (errorString)
            *errorString = QStringLiteral("the landscape has no square of %1 x %1 cells to map").arg(lattice.scale);
        return false;
    }
    const QByteArrayList names = ClusterTable::statisticNames(sides);
    const CellGeometry geometry = mapGeo.cellGeometry();
    const bool reals = statistics || lattice.cells;
    const int bands = statistics ? 1 + int(names.size()) : lattice.cells ? 2 : 1;
    // Rows of the lattice as high as the file's tiles, band by band, written
    // whole (a tile written in parts would be compressed and stored again
    // for each): nodata until a landscape says otherwise.
    const double missing = std::numeric_limits<double>::quiet_NaN();
    const qint64 group = std::min<qint64>(256, height);
    const size_t bandSize = size_t(group) * size_t(width);
    std::vector<double> values(reals ? bandSize * size_t(bands) : 0, missing);
    std::vector<quint8> spans(reals ? 0 : bandSize, quint8(255));

    RasterSource::GeoReference geo = mapGeo;
    if (geo.hasTransform) {
        double *t = geo.transform;
        t[0] += lattice.origin * (t[1] + t[2]);
        t[3] += lattice.origin * (t[4] + t[5]);
        for (int i : {1, 2, 4, 5})
            t[i] *= double(lattice.scale);
    }
    return OutputFile::writeVia(
            path,
            [&](const QByteArray &name, QString *why) {
                RasterSource::Writer writer;
                if (!writer.create(name, width, height, bands,
                                   reals ? RasterSource::Writer::Float64 : RasterSource::Writer::Byte, geo, why))
                    return false;
                writer.describeBand(1, QStringLiteral("spans"), true, reals ? missing : 255.0);
                for (int b = 1; b < bands; ++b) {
                    writer.describeBand(b + 1, statistics ? QString::fromLatin1(names[b - 1]) : QStringLiteral("cells"),
                                        true, missing);
                }
                bool ok = true;
                qint64 first = 0; // the first row of the lattice held
                qint64 next = 0;  // the next row of the lattice to fill
                auto writeRow = [&] {
                    ++next;
                    if (next - first < group && next < height)
                        return;
                    const qint64 rows = next - first;
                    if (!reals) {
                        ok = writer.write(1, first, rows, spans.data(), why);
                        std::fill(spans.begin(), spans.end(), quint8(255));
                    } else {
                        for (int b = 0; b < bands && ok; ++b)
                            ok = writer.write(b + 1, first, rows, values.data() + size_t(b) * bandSize, why);
                        std::fill(values.begin(), values.end(), missing);
                    }
                    first = next;
                };
                QString unread;
                const bool read = landscapes(
                        [&](const PercolationBatch::Landscape &square) {
                            if (!ok || (coverClass && (!square.isClass || square.coverClass != *coverClass)))
                                return;
                            if (square.statistics.cells == 0)
                                return; // no cell with a value: nodata
                            while (ok && next < square.latticeRow)
                                writeRow();
                            const size_t at = size_t(square.latticeRow - first) * size_t(width)
                                    + size_t(square.latticeColumn);
                            if (!reals) {
                                spans[at] = quint8(square.spans);
                                return;
                            }
                            values[at] = square.spans;
                            if (!statistics) {
                                values[bandSize + at] = double(square.statistics.cells);
                                return;
                            }
                            const std::vector<double> found =
                                    ClusterTable::statisticValues(square.statistics, geometry, square.boxes);
                            for (int b = 1; b < bands; ++b)
                                values[size_t(b) * bandSize + at] = found[size_t(b - 1)];
                        },
                        &unread);
                if (!read && why)
                    *why = unread;
                while (ok && read && next < height)
                    writeRow();
                QString closing;
                const bool closed = writer.close(&closing);
                if (ok && read && !closed && why)
                    *why = closing;
                return ok && read && closed;
            },
            errorString);
}

} // namespace TileMap
