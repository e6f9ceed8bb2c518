#pragma once

#include "cluster.h"
#include "clusterscan.h"
#include "patchrecorder.h"

#include <QString>

class PatchSeams;

#include <memory>
#include <vector>

// The walk of what a PatchRecorder kept of a landscape's search (see
// patchrecorder.h): from the bottom, row by row, each cluster known whole at
// each of its rows and handed on at its first.
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
