#pragma once

#include "bandseam.h"
#include "clusterrecord.h"
#include "clusterstatistics.h"
#include "raggedrows.h"

#include <QtGlobal>

#include <memory>
#include <utility>
#include <vector>

// The complete cluster search, over a landscape given row by row from the
// top: clusters of habitat cells joined by edges (Four) or by edges and
// corners (Eight), found with union-find over runs of habitat in consecutive
// rows (Hoshen-Kopelman).
//
// Only what the next row needs is kept: the runs of the last row with their
// labels, and one record per cluster that still touches it (its cells, runs
// and vertical pairs, the sums of its cell coordinates and of their squares,
// the edges of the landscape it touches, and with an observer its extent and
// first cell: a Cluster in the making). Records merge when clusters join,
// and a cluster that the new row does not continue can no longer grow: it is
// retired into the statistics (ClusterStatistics::add()) and its record
// reused (at once when an observer watches; otherwise many at a time, when
// free records run short). Memory is therefore bounded by the width of the
// landscape, whatever its height (with an observer, plus a bit per cluster
// begun, for numbering the patches); time is linear in the cells, with the
// union-find's near-constant factor per run.
//
// One object serves one landscape at a time, begin() to finish(), and keeps
// its storage for the next, so that a sweep or a batch of tiles allocates
// nothing per landscape once warm. It is not for several threads at once.
class ClusterScan
{
public:
    struct Options
    {
        ClusterRecord::Connectivity connectivity = ClusterRecord::Four;
        qint64 rows = 0;    // the landscape's height: row rows - 1 is its bottom edge
        qint64 columns = 0; // its width: column columns - 1 is its right edge; cells beyond are not read
        // Whether statistics are wanted; without them only spanning is
        // decided, and addRow() says when that is known, so that a caller
        // may stop reading.
        bool statistics = true;
        bool leftRight = true; // the directions asked for, for stopping early
        bool topBottom = true;
        // A band of the landscape's rows, finished with finishBand(): the
        // first row given is row firstRow of the landscape (coordinates and
        // edges are the landscape's), and the clusters that touch the band's
        // first row (when firstRow > 0) or are open at its end (when that is
        // not the landscape's) are kept for the seams instead of counted.
        // There is no stopping early.
        bool band = false;
        qint64 firstRow = 0;
        // A band of at most this many rows (0: up to the landscape's
        // last): its sums are kept as narrow as its own extent allows.
        qint64 bandRows = 0;
        // Clusters still open are moved to the first slots, in the order a
        // row meets them, when more than this many slots are in use (about
        // 64 bytes each): where the slots outgrow the processor's caches,
        // rows then find their clusters nearly in order. Below, moving costs
        // more than it saves. Answers do not depend on it.
        qint64 compactAboveSlots = 8192;
    };

    // What a caller that maps clusters sees (see setObserver()).
    class Observer
    {
    public:
        virtual ~Observer() = default;
        // After row `row` is joined to the clusters above it: its runs of
        // habitat (begin, end: columns, end exclusive; for classes, runs of
        // one value, values[i] the value of run i, else values is null),
        // left to right, with the identifier of each run's cluster.
        // Identifiers stay the same while a cluster is open and are reused
        // after it retires or joins another.
        virtual void rowJoined(qint64 row, const qint64 *begins, const qint64 *ends, const qint32 *values,
                               const quint32 *clusters, qint64 runs) = 0;
        // A cluster retired, complete (with its extent and first cell): after
        // the row below its last row was joined (or at finish()), clusters
        // retiring together in the order of their leftmost runs in their
        // last row. Without statistics only its cells, edges and extent are
        // meaningful.
        virtual void clusterRetired(quint32 cluster, const Cluster &record) = 0;
        // While a row is joined (before rowJoined() for it): cluster `from`,
        // open until now, became part of cluster `into`, which stays open
        // (and may itself join another later in the same row). Both were
        // clusters of the row before. `from` is not open any more and never
        // retires; its identifier may be given to a new cluster two rows
        // later. The default does nothing.
        virtual void clustersJoined(quint32 into, quint32 from)
        {
            Q_UNUSED(into);
            Q_UNUSED(from);
        }
    };

    // The widest landscape: columns beyond it are not read (begin() clamps
    // Options::columns to it). Cluster identifiers are 32-bit, and a row of
    // n cells may hold n runs of different classes.
    static constexpr qint64 MaxColumns = qint64(1) << 30;

    // Whether a landscape (or a band of one) of rows x columns keeps its
    // clusters' sums in 64 bits, the faster search: while every sum of a
    // cluster (its cells times the largest x^2 + y^2) stays below 2^63, for
    // up to 2^21 columns.
    static bool narrowSums(qint64 rows, qint64 columns);

    ClusterScan();
    ~ClusterScan();
    ClusterScan(const ClusterScan &) = delete;
    ClusterScan &operator=(const ClusterScan &) = delete;

    // Watches the landscapes begun after this call (nullptr: nobody); not
    // owned. Without an observer the scan pays nothing for the feature.
    void setObserver(Observer *observer);

    // Starts a landscape of one cover: cells are CellCode bytes. Rows and
    // columns below 0 count as 0; columns beyond MaxColumns as MaxColumns.
    // Any landscape begun before and not finished is dropped.
    void begin(const Options &options);
    // The next row: cells[0 .. length) with values above 0 habitat, 0
    // matrix, below 0 without a value. A row shorter than columns has no
    // value in the rest; a longer one is read up to columns. Returns true
    // once, without statistics, a cluster is known to span in a direction
    // asked for; the caller may then go straight to finish() (further rows
    // are not read, and the observer sees no more of this landscape).
    // Rows after the rows-th, and rows given to a landscape of classes, are
    // not read.
    bool addRow(const qint8 *cells, qint64 length);
    // The same row as bits (a row of CoverBits): habitat where a bit of
    // habitat is set, no value where a bit of noValue is (bits at length and
    // beyond are not read). The faster form: no byte per cell to look at.
    bool addRow(const quint64 *habitat, const quint64 *noValue, qint64 length);
    // After the last row: the statistics (when not wanted, only the spanning
    // flags and the counts of cells and habitat are meaningful; after addRow()
    // returned true, the flag of the direction found is set, the other may
    // not be, cells counts the rows read, that one included, and habitat is
    // above 0).
    // Rows not given count as rows without values, so that the bottom edge
    // is not reached. The scan is then ready for the next begin(). After
    // beginClasses(), use finishClasses().
    ClusterStatistics finish();

    // Starts a landscape of every class on its own: cells are class values,
    // present[i] == 0 marks a cell without a value; cells of equal value join.
    // All classes are found in one pass: runs of equal value, each joined
    // only to runs of its value above. leftRight and topBottom are not
    // used (there is no stopping early); without statistics only cells and
    // the spanning flags are meaningful. Memory is bounded by the width and
    // the number of classes.
    void beginClasses(const Options &options);
    // The next row of class values: values[0 .. length) and present[0 ..
    // length), a value counting only where present[i] != 0; addRow()'s rules
    // for short, long and extra rows.
    void addClassRow(const qint32 *values, const quint8 *present, qint64 length);
    // The same for class values that are bytes (0 to 255), a quarter of
    // the memory to read.
    void addClassRow(const quint8 *values, const quint8 *present, qint64 length);
    // Per class value present in the landscape, in increasing order of value;
    // each class's cells counts every cell with a value. Empty after
    // begin() (a landscape of one cover).
    std::vector<std::pair<qint32, ClusterStatistics>> finishClasses();

    // After the last row of a band (Options::band), of one cover or of
    // classes: its statistics and seams (BandSeam). The observer, if any,
    // hears of every cluster that retires from the band, complete or not,
    // its sums (like the seams' records) of the landscape's coordinates.
    BandSeam finishBand();

    // With an observer, after finish(), finishClasses() or finishBand() and
    // until the next begin: the number of the cluster of class value (0
    // under one cover) that began with start (Cluster::start), 1 for the
    // cluster whose first cell comes first in row-major order, and the count
    // of the class's clusters (a band's: its own, open or not).
    quint64 patchNumber(qint32 value, quint64 start) const;
    quint64 patchCount(qint32 value) const;

    // Whether one cluster of cells above 0 spans the square of side n =
    // rows.rowCount() (columns beyond n not read, cells a short row lacks not
    // habitat), in a direction asked for: the cluster rules' answer on a
    // landscape held whole. It stops reading once the answer is yes, and
    // keeps a scan per thread for the next call; it only reads the rows.
    static bool spans(const RaggedRows<qint8> &rows, ClusterRecord::Connectivity connectivity, bool leftRight,
                      bool topBottom);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
