#include "clustermap.h"

#include "cellcodes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <limits>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace ClusterMap {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ClusterMap", text);
}

// The rows of the map written at a time: the height of the GeoTIFF's tiles,
// so that each tile is compressed once.
constexpr qint64 BandRows = 256;

} // namespace

// A temporary file of unsigned numbers written one after the other (LEB128,
// a byte for numbers below 128), read back from any offset. It has no name
// once made: nothing is left behind whatever happens to the process.
struct Recorder::Spool
{
    int fd = -1;
    std::vector<unsigned char> buffer;
    qint64 written = 0; // bytes handed to the file
    bool failed = false;
    int error = 0;

    ~Spool()
    {
        if (fd >= 0)
            ::close(fd);
    }

    bool open()
    {
        QByteArray name = QFile::encodeName(QDir::tempPath()) + "/vantrix-clusters.XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) {
            error = errno;
            return false;
        }
        ::unlink(name.constData());
        buffer.reserve(1 << 16);
        return true;
    }

    qint64 offset() const { return written + qint64(buffer.size()); }

    void put(quint64 value)
    {
        while (value >= 0x80) {
            buffer.push_back((unsigned char)(value | 0x80));
            value >>= 7;
        }
        buffer.push_back((unsigned char)value);
        if (buffer.size() >= (1 << 16))
            flush();
    }

    bool flush()
    {
        size_t done = 0;
        while (!failed && done < buffer.size()) {
            const ssize_t wrote = ::write(fd, buffer.data() + done, buffer.size() - done);
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0) {
                failed = true;
                error = wrote < 0 ? errno : ENOSPC;
                break;
            }
            done += size_t(wrote);
        }
        written += qint64(done);
        buffer.clear();
        return !failed;
    }

    // The numbers stored in [begin, end).
    bool read(qint64 begin, qint64 end, std::vector<quint64> &out) const
    {
        std::vector<unsigned char> bytes(size_t(end - begin));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = ::pread(fd, bytes.data() + done, bytes.size() - done, off_t(begin + qint64(done)));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += size_t(got);
        }
        out.clear();
        quint64 value = 0;
        int shift = 0;
        for (const unsigned char byte : bytes) {
            value |= quint64(byte & 0x7F) << shift;
            if (byte & 0x80) {
                shift += 7;
            } else {
                out.push_back(value);
                value = 0;
                shift = 0;
            }
        }
        return shift == 0;
    }
};

Recorder::Recorder() = default;
Recorder::~Recorder() = default;

bool Recorder::open(QString *errorString)
{
    m_links = std::make_unique<Spool>();
    m_sizes = std::make_unique<Spool>();
    if (!m_links->open() || !m_sizes->open()) {
        if (errorString)
            *errorString = tr("no temporary file for the cluster map: %1")
                                   .arg(qt_error_string(m_links->error ? m_links->error : m_sizes->error));
        return false;
    }
    m_linkOffsets.assign(1, 0);
    m_sizeOffsets.assign(1, 0);
    return true;
}

void Recorder::rowJoined(qint64 row, const qint64 *, const qint64 *, const quint32 *clusters, qint64 runs)
{
    // Rows come one after the other; a row without runs is still a row.
    while (m_rows < row) {
        m_linkOffsets.push_back(m_links->offset());
        ++m_rows;
    }
    for (qint64 i = 0; i < runs; ++i) {
        const quint32 cluster = clusters[i];
        if (cluster >= m_lastRow.size()) {
            m_lastRow.resize(size_t(cluster) + 1, -1);
            m_lastInRun.resize(size_t(cluster) + 1, -1);
        }
        // A run links to the last run of its cluster earlier in this row.
        const bool earlier = m_lastRow[cluster] == row && m_lastInRun[cluster] >= 0;
        m_links->put(earlier ? quint64(i - m_lastInRun[cluster]) : 0);
        m_lastRow[cluster] = row;
        m_lastInRun[cluster] = qint32(i);
    }
    m_linkOffsets.push_back(m_links->offset());
    m_rows = row + 1;
    // Every cluster whose last row lies two rows up has retired by now.
    spoolSizesUpTo(row - 2);
}

void Recorder::clusterRetired(quint32 cluster, qint64 cells)
{
    if (cluster >= m_lastRow.size() || m_lastRow[cluster] < m_pendingFirst) {
        m_failed = true;
        m_error = tr("the cluster search reported a cluster it had not shown");
        return;
    }
    const qint64 last = m_lastRow[cluster];
    if (m_pending.size() <= size_t(last - m_pendingFirst))
        m_pending.resize(size_t(last - m_pendingFirst) + 1);
    m_pending[size_t(last - m_pendingFirst)].push_back(cells);
}

void Recorder::spoolSizesUpTo(qint64 row)
{
    while (m_pendingFirst <= row) {
        if (!m_pending.empty()) {
            for (const qint64 cells : m_pending.front())
                m_sizes->put(quint64(cells));
            m_pending.erase(m_pending.begin());
        }
        m_sizeOffsets.push_back(m_sizes->offset());
        ++m_pendingFirst;
    }
}

bool Recorder::close(QString *errorString)
{
    spoolSizesUpTo(m_rows - 1);
    const bool flushed = m_links->flush() && m_sizes->flush();
    if (m_failed || !flushed) {
        if (errorString)
            *errorString = m_failed ? m_error
                                    : tr("the cluster map's temporary data could not be written: %1")
                                              .arg(qt_error_string(m_links->failed ? m_links->error : m_sizes->error));
        return false;
    }
    return true;
}

bool Recorder::links(qint64 row, std::vector<quint32> &out, QString *errorString) const
{
    std::vector<quint64> values;
    if (row < 0 || row >= m_rows || !m_links->read(m_linkOffsets[size_t(row)], m_linkOffsets[size_t(row) + 1], values)) {
        if (errorString)
            *errorString = tr("the cluster map's temporary data cannot be read back");
        return false;
    }
    out.assign(values.begin(), values.end());
    return true;
}

bool Recorder::sizes(qint64 row, std::vector<qint64> &out, QString *errorString) const
{
    std::vector<quint64> values;
    if (row < 0 || row >= m_rows || !m_sizes->read(m_sizeOffsets[size_t(row)], m_sizeOffsets[size_t(row) + 1], values)) {
        if (errorString)
            *errorString = tr("the cluster map's temporary data cannot be read back");
        return false;
    }
    out.assign(values.begin(), values.end());
    return true;
}

namespace {

struct Run
{
    qint64 begin;
    qint64 end;
    qint32 slot;
};

// The runs of cells above 0 in row[0 .. min(length, columns)): the runs the
// cluster search sees.
void runsOf(const qint8 *row, qint64 length, qint64 columns, std::vector<Run> &runs)
{
    runs.clear();
    const qint64 end = std::min(length, columns);
    for (qint64 c = 0; c < end;) {
        if (row[c] <= 0) {
            ++c;
            continue;
        }
        const qint64 begin = c;
        while (c < end && row[c] > 0)
            ++c;
        runs.push_back({begin, c, -1});
    }
}

} // namespace

namespace {

template <typename Value>
bool writeAs(const QByteArray &path, Source &source, const Recorder &recorder, qint64 rows, qint64 columns,
             ClusterRecord::Connectivity connectivity, const RasterSource::GeoReference &geo, QString *errorString)
{
    constexpr Value nodata = std::numeric_limits<Value>::max();
    constexpr RasterSource::Writer::Type type = sizeof(Value) == 4 ? RasterSource::Writer::UInt32
                                                                   : RasterSource::Writer::UInt64;
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    if (recorder.rows() != rows)
        return fail(tr("the cluster search saw %1 rows of %2").arg(recorder.rows()).arg(rows));
    RasterSource::Writer writer;
    if (!writer.create(path, columns, rows, 1, type, geo, errorString))
        return false;
    writer.describeBand(1, QStringLiteral("cluster_cells"), true, double(nodata));

    const qint64 reach = connectivity == ClusterRecord::Eight ? 1 : 0;
    std::vector<qint64> slotSize;      // the cells of each open cluster, by slot
    std::vector<qint32> freeSlots;
    std::vector<qint64> slotSeen;      // the row that last used each slot
    std::vector<Run> below;
    std::vector<Run> here;
    std::vector<quint32> links;
    std::vector<qint64> sizes;
    std::vector<qint32> group;         // per run: the index of its group's first run
    std::vector<qint32> groupSlot;     // per run that heads a group: its slot
    RaggedRows<qint8> band;
    std::vector<Value> out;
    QString why;

    for (qint64 bandEnd = rows; bandEnd > 0;) {
        const qint64 bandTop = ((bandEnd - 1) / BandRows) * BandRows;
        const qint64 count = bandEnd - bandTop;
        if (!source.read(bandTop, count, band, &why))
            return fail(why);
        out.assign(size_t(count * columns), nodata);
        for (qint64 r = bandEnd - 1; r >= bandTop; --r) {
            const qint64 local = r - bandTop;
            const qint8 *cells = band.row(local);
            const qint64 length = std::min<qint64>(band.rowLength(local), columns);
            runsOf(cells, band.rowLength(local), columns, here);
            if (!recorder.links(r, links, &why) || !recorder.sizes(r, sizes, &why))
                return fail(why);
            if (links.size() != here.size())
                return fail(tr("row %1 has %2 runs now and had %3 when it was searched").arg(r).arg(here.size()).arg(links.size()));
            // Groups of runs that belong together through the rows above.
            group.resize(here.size());
            groupSlot.assign(here.size(), -1);
            for (size_t i = 0; i < here.size(); ++i)
                group[i] = links[i] == 0 || links[i] > i ? qint32(i) : group[i - links[i]];
            // Each run takes the cluster of the runs it touches below.
            size_t first = 0;
            for (size_t i = 0; i < here.size(); ++i) {
                while (first < below.size() && below[first].end + reach <= here[i].begin)
                    ++first;
                for (size_t k = first; k < below.size() && below[k].begin < here[i].end + reach; ++k) {
                    qint32 &slot = groupSlot[size_t(group[i])];
                    if (slot < 0)
                        slot = below[k].slot;
                    else if (slot != below[k].slot)
                        return fail(tr("row %1 joins two clusters the search kept apart").arg(r));
                }
            }
            // Groups that touch nothing below end here: the clusters whose
            // last row this is, in the order of their leftmost runs.
            size_t next = 0;
            for (size_t i = 0; i < here.size(); ++i) {
                if (group[i] != qint32(i) || groupSlot[i] >= 0)
                    continue;
                if (next >= sizes.size())
                    return fail(tr("row %1 ends more clusters than the search retired there").arg(r));
                qint32 slot;
                if (!freeSlots.empty()) {
                    slot = freeSlots.back();
                    freeSlots.pop_back();
                } else {
                    slot = qint32(slotSize.size());
                    slotSize.push_back(0);
                    slotSeen.push_back(-1);
                }
                slotSize[size_t(slot)] = sizes[next++];
                groupSlot[i] = slot;
            }
            if (next != sizes.size())
                return fail(tr("row %1 ends fewer clusters than the search retired there").arg(r));
            // The row's values: sizes on runs, 0 on other cells with a value.
            Value *values = out.data() + local * columns;
            for (qint64 c = 0; c < length; ++c)
                values[c] = cells[c] < 0 ? nodata : 0;
            for (size_t i = 0; i < here.size(); ++i) {
                here[i].slot = groupSlot[size_t(group[i])];
                slotSeen[size_t(here[i].slot)] = r;
                const Value size = Value(slotSize[size_t(here[i].slot)]);
                std::fill(values + here[i].begin, values + here[i].end, size);
            }
            // Clusters the row below had and this row does not continue are done.
            for (const Run &run : below) {
                if (slotSeen[size_t(run.slot)] != r && slotSeen[size_t(run.slot)] != -2) {
                    slotSeen[size_t(run.slot)] = -2;
                    freeSlots.push_back(run.slot);
                }
            }
            std::swap(below, here);
        }
        if (!writer.write(1, bandTop, count, out.data(), errorString))
            return false;
        bandEnd = bandTop;
    }
    return writer.close(errorString);
}

} // namespace

RasterSource::Writer::Type valueType(qint64 rows, qint64 columns)
{
    // A cluster holds at most every cell; the largest value is nodata.
    const long double cells = (long double)std::max<qint64>(0, rows) * (long double)std::max<qint64>(0, columns);
    return cells < (long double)Nodata ? RasterSource::Writer::UInt32 : RasterSource::Writer::UInt64;
}

bool write(const QByteArray &path, Source &source, const Recorder &recorder, qint64 rows, qint64 columns,
           ClusterRecord::Connectivity connectivity, const RasterSource::GeoReference &geo, QString *errorString,
           std::optional<RasterSource::Writer::Type> type)
{
    return type.value_or(valueType(rows, columns)) == RasterSource::Writer::UInt32
            ? writeAs<quint32>(path, source, recorder, rows, columns, connectivity, geo, errorString)
            : writeAs<quint64>(path, source, recorder, rows, columns, connectivity, geo, errorString);
}

} // namespace ClusterMap
