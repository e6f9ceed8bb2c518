#pragma once

#include "percolationsweep.h"
#include "shard.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QString>

#include <array>
#include <functional>
#include <optional>

// The table of a PP sweep: for each size, habitat share and rule, how many
// replicates were tested and how many spanned.
//
// Format: tab-separated text, every line ending in '\n'; a header line
//   model size share rule direction replicates spanning pp pp_low pp_high
// then one row per size (in the sweep's order), share (in the sweep's order)
// and rule (in the order asked). pp = spanning / replicates; pp_low and
// pp_high bound its 95 % Wilson score interval (z = 1.959963984540054). The
// three are written with six decimals ("0.500000"); nan for no replicates.
//
// With observables, six more columns follow pp_high: largest_share,
// largest_share_se, clusters_per_cell, clusters_per_cell_se,
// mean_size_finite, mean_size_finite_se: the means over the row's replicates
// of the largest cluster's cells / L^2, the clusters / L^2 and sum s^2 / sum
// s over the clusters other than the largest (0 when there is none), each
// with its standard error; 9 significant digits, nan where undefined (an
// error of fewer than 2 replicates), NA in the walk's rows.
//
// A part of a split run (a shard) begins with one more line,
//   # vantrix-sweep shard K/N: <description>
// where the description is every parameter of the run (model and its
// parameters, sizes, shares, rules, direction, replicates of the whole run,
// seed, and "observables" when asked), and its rows count the replicates of
// that part. With observables a part has one more column, exact_sums: the
// integer sums behind the six values ("SUM/SQUARES" of the largest cluster's
// cells, of the clusters and of the mean size in units of 2^-32, separated
// by ';'; NA for the walk), so that merge() joins the parts into the bytes
// of the whole run.
class SweepTable
{
public:
    struct Row
    {
        QByteArray model;
        qint64 size = 0;
        QByteArray share;     // as the sweep writes it
        QByteArray rule;
        QByteArray direction;
        qint64 replicates = 0;
        qint64 spanning = 0;
        // With observables, a cluster rule's exact sums over the row's
        // replicates (none for the walk: NA).
        std::optional<ObservableSums> observed;
        // A whole table with observables read back: the six values as
        // written, which have no sums behind them.
        QByteArray observedText;
    };

    QList<Row> rows;
    std::optional<Shard> shard; // set for a part of a split run
    QByteArray description;     // a part's description of the whole run
    bool observables = false;   // the table has the observables columns

    // The table of a sweep's result: a part's table (with its shard line)
    // when the sweep is a shard.
    static SweepTable of(const PercolationSweep::Parameters &parameters, const PercolationSweep::Result &result);

    static QByteArray header(bool observables = false, bool part = false);
    QByteArray serialize() const;

    // Reads a table back; false, with the reason, for anything else. A row
    // whose pp columns do not match its counts is refused (an edited table).
    static bool parse(const QByteArray &bytes, SweepTable &table, QString *errorString = nullptr);

    // One line of the table (with its '\n'), and its reading: false, with the
    // reason, for a line that is not one (the pp columns must be those of
    // the counts, the observables those of the sums in a part).
    static QByteArray rowLine(const Row &row, bool observables = false, bool part = false);
    static bool parseRow(const QByteArray &line, Row &row, bool observables, bool part,
                         QString *errorString = nullptr);
    // The six observables of a row, as the table writes them; NaN for NA.
    static std::array<double, 6> observedValues(const Row &row);
    static QByteArray shardLine(const Shard &shard, const QByteArray &description);
    static bool parseShardLine(const QByteArray &line, Shard &shard, QByteArray &description);

    // Joins the parts of one split run, given in any order, into the whole
    // run's table. Refused, with the reason: a table that is not a part, parts
    // of different runs, a part missing or given twice, rows that do not line
    // up, or counts that are not those of the parts' replicates.
    static bool merge(QList<SweepTable> parts, SweepTable &whole, QString *errorString = nullptr);
    // The same for parts in files (or pipes, see LineReader), read side by
    // side a line at a time: memory is bounded by a line per part, whatever
    // their size. The whole table is handed to write() line by line, and
    // each merged row to onRow() when given; on a refusal, what was handed
    // on stands.
    static bool mergeFiles(const QByteArrayList &paths, const std::function<void(const QByteArray &)> &write,
                           const std::function<void(const Row &)> &onRow, QString *errorString);

    // The checks of a merge, shared by both forms: the parts' shard lines
    // (check()), then their rows, one row of every part at a time (add(),
    // rows in the order of the parts given).
    class Merger
    {
    public:
        struct Part
        {
            std::optional<Shard> shard;
            QByteArray description;
        };
        explicit Merger(QList<Part> parts);
        bool check(QString *errorString);
        bool add(const QList<Row> &rows, Row &sum, QString *errorString);

    private:
        QList<Part> m_parts;
        qint64 m_replicates = 0;
    };

    // The 95 % Wilson score interval of spanning out of replicates.
    static void wilson(qint64 spanning, qint64 replicates, double &low, double &high);
    // A probability (or nan) with six decimals.
    static QByteArray formatProbability(double value);
    // An observable (or nan) with 9 significant digits.
    static QByteArray formatObservable(double value);

    // The table of critical counts (--thresholds): tab-separated, a header
    //   model size seed replicate rule direction critical_cells critical_share
    // then a line per replicate and cluster rule: the habitat cells at which
    // the replicate first spans in the direction asked for, and the share at
    // which it first spans (PercolationSweep::criticalShare()), 9 significant
    // digits.
    //
    // A part of a split run begins with a shard line and ends with an end line,
    //   # vantrix-sweep thresholds shard K/N: <description>
    //   ...
    //   # vantrix-sweep thresholds end: N lines
    // which mergeThresholds() uses to join the parts into the whole run's
    // bytes: for every size, the parts' lines of it in shard order.
    static QByteArray thresholdHeader();
    static QByteArray thresholdShardLine(const Shard &shard, const QByteArray &description);
    static QByteArray thresholdEndLine(qint64 lines);
    // Whether a first line is that of a part of thresholds.
    static bool isThresholdPart(const QByteArray &firstLine);
    // Joins the threshold parts of one split run (given in any order, read
    // side by side a line at a time) into the whole run's thresholds, handed
    // to write() line by line; false, with the reason, for parts that are
    // not every part of one run, once each, complete.
    static bool mergeThresholds(const QByteArrayList &paths, const std::function<void(const QByteArray &)> &write,
                                QString *errorString);
    static QByteArray thresholdLine(const PercolationSweep::Parameters &parameters,
                                    const PercolationSweep::Threshold &threshold);
};
