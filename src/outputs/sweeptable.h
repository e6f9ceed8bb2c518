#pragma once

#include "percolationsweep.h"
#include "shard.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// The table of a PP sweep: for each habitat share and rule, how many
// replicates were tested and how many spanned.
//
// Format: tab-separated text, every line ending in '\n'; a header line
//   model size share rule direction replicates spanning pp pp_low pp_high
// then one row per share (in the sweep's order) and rule (in the order
// asked). pp = spanning / replicates; pp_low and pp_high bound its 95 %
// Wilson score interval (z = 1.959963984540054). The three are written with
// six decimals ("0.500000"); nan for no replicates.
//
// A part of a split run (a shard) begins with one more line,
//   # vantrix-sweep shard K/N: <description>
// where the description is every parameter of the run (model and its
// parameters, size, shares, rules, direction, replicates of the whole run,
// seed), and its rows count the replicates of that part. merge() joins the
// parts of one run into the bytes of the whole run.
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
    };

    QList<Row> rows;
    std::optional<Shard> shard; // set for a part of a split run
    QByteArray description;     // a part's description of the whole run

    // The table of a sweep's result: a part's table (with its shard line)
    // when the sweep is a shard.
    static SweepTable of(const PercolationSweep::Parameters &parameters, const PercolationSweep::Result &result);

    static QByteArray header();
    QByteArray serialize() const;

    // Reads a table back; false, with the reason, for anything else. A row
    // whose pp columns do not match its counts is refused (an edited table).
    static bool parse(const QByteArray &bytes, SweepTable &table, QString *errorString = nullptr);

    // One line of the table (with its '\n'), and its reading: false, with the
    // reason, for a line that is not one (the pp columns must be those of
    // the counts).
    static QByteArray rowLine(const Row &row);
    static bool parseRow(const QByteArray &line, Row &row, QString *errorString = nullptr);
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
};
