#pragma once

#include "cluster.h"
#include "clusterscan.h"

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
//  2. PatchWalk (patchwalk.h) reads them back from the bottom (a landscape
//     searched in bands: band after band, PatchSeams telling which of their
//     clusters are one patch): a run takes the cluster of the runs of its
//     class it touches in the row below, runs that belong together share
//     it, and a group touching nothing below is a cluster
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

    // Read back (after close()), a block of BlockRows rows at a time: block
    // b's runs (per row, its count of runs, then per run its begin after the
    // last run's end, its length, how many runs before it in the row its
    // group's last run lies or 0, and with classes its value; as
    // VarintSpool numbers) and the records of the clusters whose last row
    // lies in it; false when they cannot be read back.
    static constexpr qint64 BlockRows = 64;
    bool readBlock(qint64 b, std::vector<unsigned char> &runs, std::vector<unsigned char> &records) const;
    bool classes() const; // whether runs carry their class values

private:
    struct Private;
    std::unique_ptr<Private> d;
};

