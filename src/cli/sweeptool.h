#pragma once

#include "percolationsweep.h"
#include "sweeptable.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QStringList>

#include <cstdio>

// What vantrix-sweep is asked to do.
struct SweepOptions
{
    enum Mode { Sweep, Merge };
    Mode mode = Sweep;

    PercolationSweep::Parameters parameters;
    QByteArrayList tables;      // Merge: the shard tables to join
    QByteArray output;          // {shard} expanded; empty: standard output
    QString plot;               // .png or .svg; empty: none
    QString plotObservables;    // .png or .svg; empty: none
    QByteArray thresholds;      // {shard} expanded; empty: none
    int jobs = 1;
    bool quiet = false;
};

// The vantrix-sweep command: a whole PP study in one command.
//
//   vantrix-sweep --model MODEL --size L[,L...] --share FROM:TO:STEP|P,P,... --replicates R --seed S
//                 [--rule walk,cluster4,cluster8] [--direction D] [--jobs N] [--shard K/N]
//                 [--observables] [--thresholds FILE.tsv] [-o TABLE]
//                 [--plot FILE.png|FILE.svg] [--plot-observables FILE.png|FILE.svg]
//   vantrix-sweep --merge TABLE... [-o TABLE] [--plot FILE] [--plot-observables FILE]
//
// Generates every replicate of every size in memory (PercolationSweep),
// tests it under every rule, and writes the SweepTable to standard output or
// TABLE ({shard} in TABLE stands for the shard, as for vantrix-percolate).
// The table is the same bytes for every --jobs; the parts of a --shard
// split, joined with --merge, are the bytes of the whole run.
// --observables adds the cluster rules' observables to the table;
// --thresholds writes each replicate's critical count per cluster rule
// (SweepTable::thresholdLine(); {shard} as in TABLE). --plot draws the PP curves
// (PPCurvePlot), one per size and rule, --plot-observables the largest
// cluster's share and the mean finite cluster size, one curve per size and
// cluster rule; no output may name another's file.
//
// Exit status: 0 when the table (and plot) were written; 1 when one could
// not be, memory ran out, or a table given to --merge is refused (said on
// standard error); 2 for a usage error, and for landscapes whose working
// memory this machine (or the process's limits) cannot give.
namespace SweepTool {

bool parse(const QStringList &arguments, SweepOptions &options, QString *errorString);
int run(const SweepOptions &options, std::FILE *err = stderr);
// A sweep's run without its plots: the table and thresholds written (rows,
// when given, gets the table's rows). Returns the exit status.
int runTable(const SweepOptions &options, std::FILE *err, QList<SweepTable::Row> *rows = nullptr);
// Whether these arguments ask for a plot (which needs a QGuiApplication).
bool wantsPlot(const QStringList &arguments);

} // namespace SweepTool
