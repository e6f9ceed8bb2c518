#pragma once

#include "shard.h"

#include <QByteArray>
#include <QList>
#include <QString>

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

    static QByteArray header();
    QByteArray serialize() const;

    // Reads a table back; false, with the reason, for anything else. A row
    // whose pp columns do not match its counts is refused (an edited table).
    static bool parse(const QByteArray &bytes, SweepTable &table, QString *errorString = nullptr);

    // Joins the parts of one split run, given in any order, into the whole
    // run's table. Refused, with the reason: a table that is not a part, parts
    // of different runs, a part missing or given twice, rows that do not line
    // up, or counts that are not those of the parts' replicates.
    static bool merge(QList<SweepTable> parts, SweepTable &whole, QString *errorString = nullptr);

    // The 95 % Wilson score interval of spanning out of replicates.
    static void wilson(qint64 spanning, qint64 replicates, double &low, double &high);
    // A probability (or nan) with six decimals.
    static QByteArray formatProbability(double value);
};
