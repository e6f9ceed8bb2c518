#pragma once

#include "cluster.h"
#include "clusterscan.h"

class PatchSeams;

#include <QString>

#include <memory>
#include <vector>

// The patches of a landscape, and the patch each cell belongs to, known
// whole only once all its rows have been searched: two passes, in memory
// bounded by the width of the landscape whatever its height.
//
//  1. PatchRecorder, the cluster search's observer, keeps per row its runs
//     (where, of which class, and which earlier run of the row each belongs
//     with through the rows above) and every cluster's record as it retires
//     (they retire in the order of their last rows), on temporary files
//     without a name (nothing is left behind whatever happens), or in memory
//     for small landscapes (a square of --tile).
//  2. PatchWalk reads them back from the bottom (a landscape searched in
//     bands: band after band, PatchSeams telling which of their clusters
//     are one patch): a run takes the cluster of
//     the runs of its class it touches in the row below, runs that belong
//     together share it, and a group touching nothing below is a cluster
//     whose last row this is, its record the next one kept for that row. So
//     every cluster is known whole (record, number) at each of its rows, and
//     is complete at its first row: there the walk hands it on, with the sum
//     of its cells' distances from its centroid. Patches complete in a row
//     are handed on by their first cells from the right, so the walk gives
//     the patches last first in row-major order of their first cells.
//
// The temporary data take a few bytes per run and per cluster.
class PatchRecorder : public ClusterScan::Observer
{
public:
    // inMemory: the data kept in memory rather than on temporary files.
    explicit PatchRecorder(bool inMemory = false);
    ~PatchRecorder() override;
    PatchRecorder(const PatchRecorder &) = delete;
    PatchRecorder &operator=(const PatchRecorder &) = delete;

    // Makes the temporary files (drops what was recorded) for a search whose
    // first row is the landscape's row firstRow (a band's); false, with the
    // reason, if it cannot.
    bool open(QString *errorString, qint64 firstRow = 0);
    void rowJoined(qint64 row, const qint64 *begins, const qint64 *ends, const qint32 *values, const quint32 *clusters,
                   qint64 runs) override;
    void clusterRetired(quint32 cluster, const Cluster &record) override;
    // After the search's finish(): the data complete; false, with the
    // reason, if they could not all be kept.
    bool close(QString *errorString);
    qint64 rows() const; // recorded
    qint64 firstRow() const;

private:
    friend class PatchWalk;
    struct Private;
    std::unique_ptr<Private> d;
};

class PatchWalk
{
public:
    struct Run
    {
        qint64 begin = 0;
        qint64 end = 0;
        qint32 cluster = 0; // the walk's cluster (clusterOf(), numberOf())
    };
    struct Patch
    {
        Cluster record;
        quint64 number = 0;
        // The sum over its cells of their distances from its centroid, in
        // ClusterStatistics' fixed point (each run's sum rounded once).
        unsigned __int128 sumDistance = 0;
        qint64 patch = -1; // PatchSeams' patch of parts, or -1
    };

    // Walks what the recorders of seams kept of a search with connectivity,
    // band after band from the bottom, following each patch across the
    // seams with its whole record and number (PatchSeams, finished). With
    // distances the patches' sums of distances are found (a square root per
    // cell).
    PatchWalk(const PatchSeams &seams, ClusterRecord::Connectivity connectivity, bool distances);
    // Or only the rows of one of its bands: the walks of several bands may
    // run at once, each on a thread of its own. A patch of parts is then
    // handed on with its cells' distances in this band only.
    PatchWalk(const PatchSeams &seams, ClusterRecord::Connectivity connectivity, bool distances, size_t band);
    ~PatchWalk();

    // The next row from the bottom; false after the first (with errorString
    // empty), or when the data cannot be read back or do not fit (with the
    // reason).
    bool next(QString *errorString);
    qint64 row() const;
    // The row's runs, left to right.
    const std::vector<Run> &runs() const;
    const Cluster &clusterOf(qint32 cluster) const;
    quint64 numberOf(qint32 cluster) const;
    // The patches whose first row this is, by their first cells from the right.
    const std::vector<Patch> &completed() const;
    // With distances, per patch of parts (PatchSeams::record()): the sum of
    // the distances of its cells walked so far.
    const std::vector<unsigned __int128> &distancesOfPatches() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
