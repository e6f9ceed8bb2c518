#pragma once

#include "neutrallandscape.h"
#include "shard.h"
#include "spanningrule.h"

#include <QByteArrayList>

#include <functional>
#include <optional>
#include <vector>

// Exact sums over replicates of one observable that is a whole number (or a
// fixed-point number) per replicate: of the values and of their squares, in
// integers wide enough for any run (values below 2^64, 2^40 replicates), so
// that the sums, and the means and errors made from them, do not depend on
// the order replicates are added in: not on jobs, shards or merging.
struct ExactMoments
{
    unsigned __int128 sum = 0;
    unsigned __int128 squaresLow = 0; // the sum of squares: low 128 bits
    quint64 squaresHigh = 0;          // and the bits above

    void add(quint64 value);
    void add(const ExactMoments &other);
    bool operator==(const ExactMoments &other) const
    {
        return sum == other.sum && squaresLow == other.squaresLow && squaresHigh == other.squaresHigh;
    }
    // The mean of n values times unit, and its standard error (the sample
    // standard deviation over sqrt(n)) times unit; NaN for n < 1 (mean) or
    // n < 2 (error). Computed from the sums alone, in long double.
    double mean(qint64 n, double unit) const;
    double standardError(qint64 n, double unit) const;
    // Decimal text "SUM/SQUARES", and its reading (false for anything else).
    QByteArray text() const;
    static bool parse(const QByteArray &text, ExactMoments &moments);
};

// The observables of percolation theory for one share and cluster rule,
// summed over replicates: cells of the largest cluster, clusters, and the
// mean size of the clusters other than the largest (sum s^2 / sum s) in
// units of 2^-32 (SiteClusters::meanFiniteSizeFixed()).
struct ObservableSums
{
    ExactMoments largest;
    ExactMoments clusters;
    ExactMoments meanSize;

    void add(const ObservableSums &other)
    {
        largest.add(other.largest);
        clusters.add(other.clusters);
        meanSize.add(other.meanSize);
    }
    bool operator==(const ObservableSums &other) const
    {
        return largest == other.largest && clusters == other.clusters && meanSize == other.meanSize;
    }
};

// A PP sweep: neutral landscapes generated in memory at every share asked
// for, each tested under every rule asked for, for one size or several.
//
// Replicate i (from 1) of a size at a share is the landscape NeutralLandscape
// gives for the model's parameters, that size and replicate number i, so any
// replicate can be written out with vantrix-generate and opened in the
// desktop program. A shard tests its contiguous block of the replicate
// numbers (Shard), of every size, at every share.
//
// The walk is tested at each share on the landscape thresholded there. The
// cluster rules use that a replicate at a higher share holds every habitat
// cell it has at a lower one and that a cluster that spans still spans after
// more cells: each replicate is grown once, its cells added in the model's
// order (NeutralLandscape::draws(), order()) into SiteClusters, and the
// answer at every share follows from where it first spans. The counts are
// those of testing every share (Method::PerShare, kept for comparison). The
// cells below a share are joined in one pass over the rows, those between
// shares added share by share; the growth stops once the replicate spans
// unless observables are wanted. Without observables it starts at the share
// where the thread's last replicates spanned, and again from the lowest if
// the replicate spans there already. Thresholds need the exact order: cells
// are then added one draw (or one cell) at a time from below the thread's
// last critical draws, cells with equal draws together. A single share
// without observables or thresholds has nothing to grow through: it is
// tested directly, as per share.
//
// Results do not depend on the number of jobs or on the split into shards:
// counts and observables are integer sums over replicates.
class PercolationSweep
{
public:
    enum Method { OnePass, PerShare };

    struct Parameters
    {
        NeutralLandscape::Parameters landscape; // its size is the one when sizes is empty
        std::vector<qint64> sizes;              // several sizes, a block of rows each
        QByteArrayList shareTexts;              // the shares as the table writes them
        std::vector<double> shares;             // their values
        qint64 replicates = 0;                  // of the whole run, per size
        std::vector<SpanningRule::Kind> rules;
        SpanningRule::Direction direction = SpanningRule::Either;
        std::optional<Shard> shard;             // none for the whole run
        // The cluster rules' observables at every share (one-pass method only).
        bool observables = false;
        // Each replicate's critical count under each cluster rule, handed to
        // run()'s onThreshold (one-pass method only).
        bool thresholds = false;
        Method method = OnePass; // for the cluster rules; the walk is always tested per share

        // The sizes of the run: sizes, or landscape.size alone.
        std::vector<qint64> sizeList() const;
    };

    // What a sweep (or a shard of it) found.
    struct Result
    {
        qint64 replicates = 0; // tested per size at every share: those of the shard
        // Per size z, share s and rule k, at (z * shares + s) * rules + k.
        std::vector<qint64> spanning;
        std::vector<ObservableSums> observables; // the same index, with observables; zero for the walk
    };

    // Where one replicate first spans under a cluster rule: the habitat cells
    // of the lowest share (continuous, not only those listed) at which it
    // spans in the direction asked for. For Random, cells with equal draws
    // enter together, so this is the number of cells whose draw is at most
    // the draw of the cell that made it span.
    struct Threshold
    {
        qint64 size = 0;
        qint64 replicate = 0; // from 1
        SpanningRule::Kind rule = SpanningRule::Cluster4;
        qint64 criticalCells = 0;
        // The key of the cells that made it span: their draw for Random, the
        // index of the cell in the model's order otherwise.
        quint64 criticalKey = 0;
    };

    // The share at which a replicate first spans, from its critical key: the
    // smallest share of 9 significant digits (as the table writes it) at
    // which the model's own habitat holds the critical cells. So a replicate
    // spans at a share p written with at most 9 significant digits exactly
    // when p is at least this share, and the fraction of replicates whose
    // critical share is at most p is the PP at p. For Random it lies just
    // above the critical draw / 2^32; for the ordered models at (critical
    // cells - 1/2) / L^2, rounded up.
    static QByteArray criticalShare(const NeutralLandscape::Parameters &landscape, qint64 size, quint64 criticalKey);

    // Whether the one-pass method takes landscapes of this size
    // (SiteClusters::fits()); larger ones are tested per share, without
    // observables or thresholds.
    static bool onePassFits(qint64 size);

    // Runs the sweep on jobs threads (WorkerPool), the sizes one after the
    // other. progress(done, total), when given, is called on the calling
    // thread after each replicate; onThreshold, with thresholds, after each
    // replicate's, in order of size, replicate and rule.
    static Result run(const Parameters &parameters, int jobs,
                      const std::function<void(qint64, qint64)> &progress = {},
                      const std::function<void(const Threshold &)> &onThreshold = {});

    // The most memory one thread holds at once for a replicate of this size.
    static qint64 bytesPerThread(const Parameters &parameters, qint64 size);

    // The description a shard line carries: every parameter of the run.
    static QByteArray description(const Parameters &parameters);
};
