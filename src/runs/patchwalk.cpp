#include "patchwalk.h"

#include "clusterstatistics.h"
#include "patchseams.h"
#include "patchrecorder.h"
#include "varintspool.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace {

using u128 = unsigned __int128;

QString tr(const char *text)
{
    return QCoreApplication::translate("PatchWalk", text);
}

// Rows recorded per block: the walk reads a block at a time, from the last.
constexpr qint64 BlockRows = PatchRecorder::BlockRows;

} // namespace

// ---------------------------------------------------------------------------

namespace {

// A row's runs as recorded.
struct RecordedRun
{
    qint64 begin;
    qint64 end;
    quint32 link; // 0: the first of its group in the row; k: with the run k places before
    qint32 value;
};

// One cluster the walk follows, from its last row up to its first.
struct Followed
{
    Cluster record;
    quint64 number = 0;
    u128 sumDistance = 0;
    double centreX = 0;
    double centreY = 0;
    qint64 seen = -1;  // the last row that had one of its runs
    qint64 patch = -1; // PatchSeams' patch of parts, or -1
};

// The sum over columns [begin, end) of row y of the cells' distances from
// (centreX, centreY), in fixed point: each run's sum in double, left to
// right, then rounded once, so that it is the same bits wherever it is made.
u128 distances(qint64 begin, qint64 end, qint64 y, double centreX, double centreY)
{
    const double dy = double(y) - centreY;
    const double dy2 = dy * dy;
    // Four sums side by side, cell x in sum x % 4, added up in one order at
    // the end: the same bits whatever the compiler makes of the loop.
    double sums[4] = {0, 0, 0, 0};
    qint64 x = begin;
    for (; x + 4 <= end; x += 4) {
        for (int lane = 0; lane < 4; ++lane) {
            const double dx = double(x + lane) - centreX;
            sums[lane] += std::sqrt(dx * dx + dy2);
        }
    }
    for (int lane = 0; x < end; ++x, ++lane) {
        const double dx = double(x) - centreX;
        sums[lane] += std::sqrt(dx * dx + dy2);
    }
    return ClusterStatistics::toFixed((sums[0] + sums[1]) + (sums[2] + sums[3]));
}

} // namespace

struct PatchWalk::Private
{
    const PatchSeams &seams;
    qint64 reach = 0;
    bool distances = false;

    size_t band = 0;                                 // the band walked
    const PatchRecorder *recorded = nullptr;         // its recording
    qint64 topRow = 0;                               // the first row to walk (the walk ends after it)
    qint64 row = 0;                                  // the row handed on last
    qint64 block = -1;                               // the band's block in memory
    std::vector<std::vector<RecordedRun>> blockRuns; // per row of the block
    std::vector<std::vector<Cluster>> blockRecords;  // per row: the records whose last row it is
    std::vector<unsigned char> bytes;
    std::vector<unsigned char> recordBytes;

    std::vector<Followed> clusters;
    std::vector<qint32> freeClusters;
    std::vector<Run> below;
    std::vector<qint32> belowValues;
    std::vector<Run> here;
    std::vector<qint32> hereValues;
    std::vector<qint32> group;
    std::vector<qint32> groupCluster;
    std::vector<qint32> finishing;
    std::vector<Patch> completed;
    std::vector<qint32> followedPatch; // per patch of parts: the cluster following it, or -1
    std::vector<u128> patchDistances;  // per patch of parts: its cells' distances so far

    explicit Private(const PatchSeams &s)
        : seams(s)
    {
    }

    bool fail(QString *errorString, const QString &why)
    {
        if (errorString)
            *errorString = why;
        return false;
    }
    bool loadBlock(qint64 b, QString *errorString);
    qint32 follow(const Cluster &record);
};

bool PatchWalk::Private::loadBlock(qint64 b, QString *errorString)
{
    const QString unreadable = tr("the patches' temporary data cannot be read back");
    const qint64 firstRow = recorded->firstRow() + b * BlockRows;
    const qint64 rowsInBlock = std::min(BlockRows, recorded->firstRow() + recorded->rows() - firstRow);
    const bool classes = recorded->classes();
    blockRuns.assign(size_t(rowsInBlock), {});
    blockRecords.assign(size_t(rowsInBlock), {});
    if (!recorded->readBlock(b, bytes, recordBytes))
        return fail(errorString, unreadable);
    VarintSpool::Reader runs{bytes.data(), bytes.data() + bytes.size()};
    for (qint64 r = 0; r < rowsInBlock; ++r) {
        const quint64 count = runs.get();
        if (!runs.ok || count > quint64(ClusterScan::MaxColumns))
            return fail(errorString, unreadable);
        std::vector<RecordedRun> &rowRuns = blockRuns[size_t(r)];
        rowRuns.resize(size_t(count));
        qint64 previousEnd = 0;
        for (RecordedRun &run : rowRuns) {
            run.begin = previousEnd + qint64(runs.get());
            run.end = run.begin + qint64(runs.get());
            run.link = quint32(runs.get());
            run.value = classes ? qint32(runs.getSigned()) : 0;
            previousEnd = run.end;
        }
    }
    if (!runs.ok || runs.at != runs.end)
        return fail(errorString, unreadable);
    VarintSpool::Reader records{recordBytes.data(), recordBytes.data() + recordBytes.size()};
    while (records.at < records.end) {
        Cluster c;
        if (!records.getCluster(c) || c.rowMax < firstRow || c.rowMax >= firstRow + rowsInBlock)
            return fail(errorString, unreadable);
        blockRecords[size_t(c.rowMax - firstRow)].push_back(c);
    }
    block = b;
    return true;
}

qint32 PatchWalk::Private::follow(const Cluster &retired)
{
    // A part of a patch across seams is followed as its patch, once.
    const PatchSeams::Identity identity = seams.identify(band, retired);
    if (identity.patch >= 0 && followedPatch[size_t(identity.patch)] >= 0)
        return followedPatch[size_t(identity.patch)];
    const Cluster &record = identity.patch >= 0 ? seams.record(identity.patch) : retired;
    qint32 index;
    if (!freeClusters.empty()) {
        index = freeClusters.back();
        freeClusters.pop_back();
    } else {
        index = qint32(clusters.size());
        clusters.emplace_back();
    }
    Followed &f = clusters[size_t(index)];
    f = Followed();
    f.record = record;
    f.number = identity.number;
    f.patch = identity.patch;
    if (identity.patch >= 0)
        followedPatch[size_t(identity.patch)] = index;
    if (record.cells > 0) {
        f.centreX = double((long double)record.sumX / (long double)record.cells);
        f.centreY = double((long double)record.sumY / (long double)record.cells);
    }
    return index;
}

PatchWalk::PatchWalk(const PatchSeams &seams, ClusterRecord::Connectivity connectivity, bool distances)
    : PatchWalk(seams, connectivity, distances, seams.bands().empty() ? 0 : seams.bands().size() - 1)
{
    d->topRow = seams.firstRow();
}

PatchWalk::PatchWalk(const PatchSeams &seams, ClusterRecord::Connectivity connectivity, bool distances, size_t band)
    : d(std::make_unique<Private>(seams))
{
    d->reach = connectivity == ClusterRecord::Eight ? 1 : 0;
    d->distances = distances;
    d->followedPatch.assign(seams.patchesOfParts(), -1);
    d->patchDistances.assign(distances ? seams.patchesOfParts() : 0, 0);
    d->band = band;
    if (band < seams.bands().size()) {
        d->recorded = seams.bands()[band].recorder;
        d->row = seams.bands()[band].endRow;
        d->topRow = seams.bands()[band].firstRow;
    }
}

PatchWalk::~PatchWalk() = default;

bool PatchWalk::next(QString *errorString)
{
    Private &p = *d;
    if (errorString)
        errorString->clear();
    p.completed.clear();
    if (p.row <= p.topRow || !p.recorded)
        return false;
    const qint64 r = --p.row;
    // The band above once this band's rows are walked: its last row's
    // clusters are all retired there, open or not, so none takes the
    // cluster of a run below (their patches say which they are).
    bool bandEnd = false;
    while (r < p.recorded->firstRow() && p.band > 0) {
        p.recorded = p.seams.bands()[--p.band].recorder;
        p.block = -1;
        bandEnd = true;
    }
    const qint64 local = r - p.recorded->firstRow();
    const qint64 b = local / BlockRows;
    if (local < 0 || (b != p.block && !p.loadBlock(b, errorString)))
        return local < 0 ? p.fail(errorString, tr("row %1 was recorded by no band").arg(r)) : false;
    const std::vector<RecordedRun> &rowRuns = p.blockRuns[size_t(local - b * BlockRows)];
    const std::vector<Cluster> &records = p.blockRecords[size_t(local - b * BlockRows)];
    const size_t n = rowRuns.size();

    // Groups of runs that belong together through the rows above.
    p.group.resize(n);
    p.groupCluster.assign(n, -1);
    for (size_t i = 0; i < n; ++i)
        p.group[i] = rowRuns[i].link == 0 || rowRuns[i].link > i ? qint32(i) : p.group[i - rowRuns[i].link];
    // Each run takes the cluster of the runs of its class it touches below.
    size_t first = 0;
    for (size_t i = 0; i < n && !bandEnd; ++i) {
        while (first < p.below.size() && p.below[first].end + p.reach <= rowRuns[i].begin)
            ++first;
        for (size_t k = first; k < p.below.size() && p.below[k].begin < rowRuns[i].end + p.reach; ++k) {
            if (p.belowValues[k] != rowRuns[i].value)
                continue;
            qint32 &cluster = p.groupCluster[size_t(p.group[i])];
            if (cluster < 0)
                cluster = p.below[k].cluster;
            else if (cluster != p.below[k].cluster)
                return p.fail(errorString, tr("row %1 joins two clusters the search kept apart").arg(r));
        }
    }
    // Groups that touch nothing below end here: the clusters whose last row
    // this is, in the order of their leftmost runs.
    size_t next = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p.group[i] != qint32(i) || p.groupCluster[i] >= 0)
            continue;
        if (next >= records.size() || records[next].value != rowRuns[i].value)
            return p.fail(errorString, tr("row %1 ends other clusters than the search retired there").arg(r));
        p.groupCluster[i] = p.follow(records[next++]);
    }
    if (next != records.size())
        return p.fail(errorString, tr("row %1 ends fewer clusters than the search retired there").arg(r));

    p.here.resize(n);
    p.hereValues.resize(n);
    p.finishing.clear();
    for (size_t i = 0; i < n; ++i) {
        const qint32 cluster = p.groupCluster[size_t(p.group[i])];
        p.here[i] = Run{rowRuns[i].begin, rowRuns[i].end, cluster};
        p.hereValues[i] = rowRuns[i].value;
        Followed &f = p.clusters[size_t(cluster)];
        if (p.distances) {
            const u128 sum = distances(rowRuns[i].begin, rowRuns[i].end, r, f.centreX, f.centreY);
            f.sumDistance += sum;
            if (f.patch >= 0)
                p.patchDistances[size_t(f.patch)] += sum;
        }
        if (f.seen != r && f.record.rowMin == r)
            p.finishing.push_back(cluster);
        f.seen = r;
    }
    // Clusters whose first row this is are complete: from the right.
    std::sort(p.finishing.begin(), p.finishing.end(), [&p](qint32 a, qint32 c) {
        return p.clusters[size_t(a)].record.startColumn > p.clusters[size_t(c)].record.startColumn;
    });
    for (const qint32 cluster : p.finishing) {
        const Followed &f = p.clusters[size_t(cluster)];
        p.completed.push_back(Patch{f.record, f.number, f.sumDistance, f.patch});
    }
    // Clusters of the row below that this row does not continue end below:
    // their first row was the row below, and their slots are free again.
    for (const Run &run : p.below) {
        Followed &f = p.clusters[size_t(run.cluster)];
        if (f.seen != r && f.seen != -2) {
            f.seen = -2;
            if (f.patch >= 0)
                p.followedPatch[size_t(f.patch)] = -1;
            p.freeClusters.push_back(run.cluster);
        }
    }
    std::swap(p.below, p.here);
    std::swap(p.belowValues, p.hereValues);
    return true;
}

qint64 PatchWalk::row() const
{
    return d->row;
}

const std::vector<PatchWalk::Run> &PatchWalk::runs() const
{
    return d->below; // the row just walked, kept as the next row's below
}

const Cluster &PatchWalk::clusterOf(qint32 cluster) const
{
    return d->clusters[size_t(cluster)].record;
}

quint64 PatchWalk::numberOf(qint32 cluster) const
{
    return d->clusters[size_t(cluster)].number;
}

const std::vector<PatchWalk::Patch> &PatchWalk::completed() const
{
    return d->completed;
}

const std::vector<u128> &PatchWalk::distancesOfPatches() const
{
    return d->patchDistances;
}
