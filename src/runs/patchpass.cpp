#include "patchpass.h"

#include "outputfile.h"

#include <QCoreApplication>

#include <algorithm>
#include <limits>
#include <memory>
#include <thread>

namespace PatchPass {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("PatchPass", text);
}

// The rows of the maps written at a time: the height of the GeoTIFF's tiles,
// so that each tile is compressed once; fewer rows for many maps at once.
constexpr qint64 BandRows = 256;
constexpr qint64 BandBytes = qint64(64) << 20;

// One map being made: a file written a band at a time, or memory.
struct Making
{
    Map map;
    bool wide = false; // UInt64
    OutputFile::Staged staged;
    RasterSource::Writer writer;
    std::vector<quint32> narrow;
    std::vector<quint64> wideValues;
    void *memory = nullptr; // the whole map, when it goes to memory
    qint64 bandOffset = 0;  // there, where this band begins

    // The band of cells [offset, offset + count), every cell nodata.
    void startBand(qint64 offset, qint64 count)
    {
        if (memory) {
            bandOffset = offset;
            if (wide)
                std::fill_n(band<quint64>(), count, std::numeric_limits<quint64>::max());
            else
                std::fill_n(band<quint32>(), count, std::numeric_limits<quint32>::max());
            return;
        }
        narrow.assign(wide ? 0 : size_t(count), std::numeric_limits<quint32>::max());
        wideValues.assign(wide ? size_t(count) : 0, std::numeric_limits<quint64>::max());
    }
    template <typename Value>
    Value *band()
    {
        if (memory)
            return static_cast<Value *>(memory) + bandOffset;
        if constexpr (sizeof(Value) == 4)
            return narrow.data();
        else
            return wideValues.data();
    }
};

template <typename Value>
void fill(Making &m, qint64 offset, qint64 begin, qint64 end, Value value)
{
    Value *out = m.band<Value>() + offset;
    std::fill(out + begin, out + end, value);
}

} // namespace

RasterSource::Writer::Type valueType(Values values, qint64 rows, qint64 columns, quint64 patches)
{
    const long double most = values == Sizes
            ? (long double)std::max<qint64>(0, rows) * (long double)std::max<qint64>(0, columns)
            : (long double)patches;
    return most < (long double)std::numeric_limits<quint32>::max() ? RasterSource::Writer::UInt32
                                                                  : RasterSource::Writer::UInt64;
}

namespace {

// The patches alone (no maps) of a landscape searched in bands: each band
// walked on a thread of its own, its patches kept in the order the walk
// hands them on, those of parts marked in among them; then, band after band
// from the bottom, into the spool, each patch of parts with the sum of its
// bands' distances.
bool walkBands(const PatchSeams &seams, ClusterRecord::Connectivity connectivity, const Options &options,
               QString *errorString)
{
    struct Walked
    {
        PatchSpool own;
        std::vector<std::pair<qint64, qint64>> marks; // (own patches before it, patch of parts)
        std::vector<unsigned __int128> distances;
        QString error;
    };
    const size_t bands = seams.bands().size();
    std::vector<Walked> walked(bands);
    const auto walk = [&](size_t k) {
        Walked &w = walked[k];
        if (!w.own.open(&w.error))
            return;
        PatchWalk band(seams, connectivity, true, k);
        qint64 count = 0;
        while (band.next(&w.error)) {
            for (const PatchWalk::Patch &patch : band.completed()) {
                if (patch.patch >= 0) {
                    w.marks.emplace_back(count, patch.patch);
                } else {
                    w.own.addFirstFirst({options.row, options.column, patch.number, patch.record, patch.sumDistance});
                    ++count;
                }
            }
        }
        if (w.error.isEmpty() && w.own.close(&w.error))
            w.distances = band.distancesOfPatches();
    };
    std::vector<std::thread> threads;
    for (size_t k = 1; k < bands; ++k)
        threads.emplace_back(walk, k);
    walk(0);
    for (std::thread &thread : threads)
        thread.join();
    std::vector<unsigned __int128> sums(seams.patchesOfParts(), 0);
    for (const Walked &w : walked) {
        if (!w.error.isEmpty()) {
            *errorString = w.error;
            return false;
        }
        for (size_t p = 0; p < w.distances.size(); ++p)
            sums[p] += w.distances[p];
    }
    const auto add = [&](const PatchSpool::Patch &patch) {
        if (patch.record.cells >= options.minCells)
            options.spool->add(patch);
    };
    for (size_t k = bands; k-- > 0;) {
        const Walked &w = walked[k];
        size_t mark = 0;
        qint64 count = 0;
        const auto marksUpTo = [&](qint64 before) {
            for (; mark < w.marks.size() && w.marks[mark].first <= before; ++mark) {
                const qint64 p = w.marks[mark].second;
                add({options.row, options.column, seams.number(p), seams.record(p), sums[size_t(p)]});
            }
        };
        const bool read = w.own.read(
                [&](const PatchSpool::Patch &patch) {
                    marksUpTo(count++);
                    add(patch);
                    return true;
                },
                errorString);
        if (!read)
            return false;
        marksUpTo(count);
    }
    return true;
}

} // namespace

bool run(const PatchSeams &seams, ClusterRecord::Connectivity connectivity, qint64 rows, qint64 columns,
         const Options &options, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    if (seams.rows() != rows)
        return fail(tr("the cluster search saw %1 rows of %2").arg(seams.rows()).arg(rows));
    if (options.maps.empty() && options.spool && seams.bands().size() > 1)
        return walkBands(seams, connectivity, options, errorString);
    PatchWalk walk(seams, connectivity, options.spool != nullptr);

    std::vector<std::unique_ptr<Making>> maps;
    for (const Map &map : options.maps) {
        auto m = std::make_unique<Making>();
        m->map = map;
        const auto type = options.type.value_or(
                valueType(options.values, rows, columns, seams.patchCount(map.coverClass.value_or(0))));
        m->wide = type == RasterSource::Writer::UInt64;
        QString why;
        if (map.into) {
            m->memory = map.into(m->wide);
            if (!m->memory)
                return fail(tr("there is no memory for the cluster map"));
        } else if (!m->staged.begin(map.path, &why)
                   || !m->writer.create(m->staged.name(), columns, rows, 1, type, options.geo, &why)) {
            return fail(tr("the cluster map %1 could not be written: %2").arg(QString::fromLocal8Bit(map.path), why));
        } else {
            m->writer.describeBand(1, options.values == Sizes ? QStringLiteral("patch_cells") : QStringLiteral("patch_id"),
                                   true, m->wide ? double(std::numeric_limits<quint64>::max())
                                                 : double(std::numeric_limits<quint32>::max()));
        }
        maps.push_back(std::move(m));
    }
    // Rows per band: a tile's height, fewer when many maps share the memory.
    qint64 bandRows = BandRows;
    if (!maps.empty()) {
        const qint64 perRow = std::max<qint64>(1, columns) * qint64(sizeof(quint64)) * qint64(maps.size());
        bandRows = std::clamp<qint64>(BandBytes / perRow / 16 * 16, 16, BandRows);
    }

    RaggedRows<qint8> cells;
    QString why;
    for (qint64 bandEnd = rows; bandEnd > 0;) {
        const qint64 bandTop = ((bandEnd - 1) / bandRows) * bandRows;
        const qint64 count = bandEnd - bandTop;
        if (!maps.empty()) {
            if (!options.source || !options.source->read(bandTop, count, cells, &why))
                return fail(why);
            for (auto &m : maps) {
                m->startBand(bandTop * columns, count * columns);
                for (qint64 r = 0; r < count; ++r) {
                    const qint8 *codes = cells.row(r);
                    const qint64 length = std::min<qint64>(cells.rowLength(r), columns);
                    for (qint64 c = 0; c < length; ++c) {
                        if (codes[c] < 0)
                            continue;
                        if (m->wide)
                            m->band<quint64>()[r * columns + c] = 0;
                        else
                            m->band<quint32>()[r * columns + c] = 0;
                    }
                }
            }
        }
        for (qint64 r = bandEnd - 1; r >= bandTop; --r) {
            if (!walk.next(&why))
                return fail(why.isEmpty() ? tr("the patches' temporary data end early") : why);
            const qint64 offset = (r - bandTop) * columns;
            for (const PatchWalk::Run &run : walk.runs()) {
                const Cluster &cluster = walk.clusterOf(run.cluster);
                const quint64 value = options.values == Sizes ? quint64(cluster.cells) : walk.numberOf(run.cluster);
                const qint64 end = std::min(run.end, columns);
                for (auto &m : maps) {
                    if (m->map.coverClass && *m->map.coverClass != cluster.value)
                        continue;
                    if (m->wide)
                        fill<quint64>(*m, offset, run.begin, end, value);
                    else
                        fill<quint32>(*m, offset, run.begin, end, quint32(value));
                }
            }
            if (options.spool) {
                for (const PatchWalk::Patch &patch : walk.completed()) {
                    if (patch.record.cells >= options.minCells)
                        options.spool->add({options.row, options.column, patch.number, patch.record, patch.sumDistance});
                }
            }
        }
        for (auto &m : maps) {
            if (m->memory)
                continue;
            const void *data = m->wide ? static_cast<const void *>(m->wideValues.data())
                                       : static_cast<const void *>(m->narrow.data());
            if (!m->writer.write(1, bandTop, count, data, &why))
                return fail(tr("the cluster map %1 could not be written: %2").arg(QString::fromLocal8Bit(m->map.path), why));
        }
        bandEnd = bandTop;
    }
    for (auto &m : maps) {
        if (!m->memory && (!m->writer.close(&why) || !m->staged.commit(&why)))
            return fail(tr("the cluster map %1 could not be written: %2").arg(QString::fromLocal8Bit(m->map.path), why));
    }
    return true;
}

} // namespace PatchPass
