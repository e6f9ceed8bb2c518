#pragma once

#include "cluster.h"
#include "clusterrecord.h"
#include "clusterstatistics.h"
#include "lacunarity.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

// A band of a landscape's rows searched on its own (ClusterScan with
// Options::band): the statistics of the clusters that lie wholly inside it,
// and its seams, which are all that joining it to the bands beside it needs:
// its first and last rows (their runs of habitat or of one class, each with
// the index of its cluster, and under one cover which cells are matrix) and
// the records of the clusters that touch them (open: they may go on in
// another band). Coordinates and the landscape's edges are the landscape's,
// not the band's, so records need no moving when bands join.
//
// join() of two adjacent bands is exactly the band of both rows, as one scan
// over them gives it: clusters that meet across the seam are one, the pairs
// and sides across it are counted, and what no longer touches the joined
// band's outer rows is complete and goes into its statistics. Joining is
// associative, so bands may be joined in any grouping as they finish (on
// threads, across machines), and the whole landscape's band has no open
// cluster: its statistics are the one pass's, to the bit. A band's seams
// hold at most two rows' runs and their clusters: memory bounded by the width.
struct BandSeam
{
    // One outer row: its runs, left to right, each with its cluster (an
    // index into open).
    struct Row
    {
        std::vector<qint32> begin;
        std::vector<qint32> end; // exclusive
        std::vector<qint32> value; // classes: each run's class
        std::vector<quint32> label;
        // Under one cover with statistics: the matrix cells, a bit each (the
        // habitat's are the runs).
        std::vector<quint64> matrix;
    };

    ClusterRecord::Connectivity connectivity = ClusterRecord::Four;
    bool classes = false;
    bool statistics = true;
    qint64 rows = 0; // the landscape's
    qint64 columns = 0;
    qint64 firstRow = 0; // the band's rows [firstRow, endRow)
    qint64 endRow = 0;
    Row top;    // when firstRow > 0
    Row bottom; // when endRow < rows
    std::vector<Cluster> open;
    qint64 cells = 0;   // cells with a value
    qint64 habitat = 0; // one cover without statistics (with them, the clusters')
    ClusterStatistics cover; // one cover: the complete clusters'
    std::vector<std::pair<qint32, ClusterStatistics>> perClass; // classes, increasing value
    // With lacunarity: the sums of the gliding boxes whose last row lies in
    // the band, per side (GlidingBoxes given the rows above the band that
    // its boxes reach into); for classes per class value, increasing.
    std::vector<GlidingBoxes::Sums> boxes;
    std::vector<std::pair<qint32, std::vector<GlidingBoxes::Sums>>> classBoxes;

    // Whether the band is the whole landscape (nothing is open).
    bool isWhole() const { return firstRow == 0 && endRow == rows; }

    // Numbers the open clusters as join() does: by where they first appear
    // along the top row, then the bottom row, left to right. A band's seam
    // is then the same whatever bands its rows were searched in, so that
    // its open clusters' indices may be handed from one search of it to
    // another. inRowOrder() tells whether they are so numbered.
    void numberOpenInRowOrder();
    bool inRowOrder() const;

    // The band of above's rows and then below's: above.endRow ==
    // below.firstRow, and both of one landscape and search. False, with the
    // reason, when they are not.
    static bool join(const BandSeam &above, const BandSeam &below, BandSeam &joined, QString *errorString);

    // The runs of above (a band's last row) and below (the next band's
    // first) that meet across the seam between them: those that share
    // columns, or with corners also those that touch diagonally, whatever
    // their classes. onMeet(k, j, shared) for runs above.begin[k] and
    // below.begin[j], shared the columns they share (0 for a corner).
    template <typename OnMeet>
    static void meet(const Row &above, const Row &below, ClusterRecord::Connectivity connectivity, OnMeet &&onMeet)
    {
        const qint32 reach = connectivity == ClusterRecord::Eight ? 1 : 0;
        size_t first = 0;
        for (size_t j = 0; j < below.begin.size(); ++j) {
            while (first < above.begin.size() && above.end[first] + reach <= below.begin[j])
                ++first;
            for (size_t k = first; k < above.begin.size() && above.begin[k] < below.end[j] + reach; ++k) {
                const qint32 shared = std::min(above.end[k], below.end[j]) - std::max(above.begin[k], below.begin[j]);
                onMeet(k, j, std::max<qint32>(0, shared));
            }
        }
    }

    // The band as a landscape of its own, its rows the landscape's first to
    // last (a moving window of bands): the clusters of its first and last
    // rows touch the landscape's top and bottom edges, and every cluster is
    // complete (isWhole()). Its boxes are the band's.
    BandSeam asLandscape() const;

    // The statistics of the whole landscape (isWhole()): as
    // ClusterScan::finish() and finishClasses() give them.
    ClusterStatistics coverStatistics() const;
    std::vector<std::pair<qint32, ClusterStatistics>> classStatistics() const;
    // The whole landscape's boxes, as GlidingBoxes::finishClasses() gives
    // them (every class's count of boxes the landscape's).
    std::vector<std::pair<qint32, std::vector<GlidingBoxes::Sums>>> wholeClassBoxes() const;

    // As bytes and back (a part file's seam, a Dask task's result): read()
    // refuses what write() did not write, with the reason. An open record's
    // start is written as its first cell's index (Cluster::firstCellIndex),
    // so that the bytes do not depend on the bands searched.
    QByteArray write() const;
    static std::optional<BandSeam> read(const QByteArray &bytes, QString *errorString);
};
