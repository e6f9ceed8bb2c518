#pragma once

#include "percolationsweep.h"

#include <QStringList>

#include <cstdio>

// The vantrix-sweep command: a whole PP study in one command.
//
//   vantrix-sweep --model MODEL --size L --share FROM:TO:STEP|P,P,... --replicates R --seed S
//                 [--rule walk,cluster4,cluster8] [--direction D] [--jobs N] [--shard K/N]
//                 [-o TABLE] [--plot FILE.png|FILE.svg]
//   vantrix-sweep --merge TABLE... [-o TABLE] [--plot FILE]
//
// Generates every replicate in memory (PercolationSweep), tests it under
// every rule, and writes the SweepTable to standard output or TABLE ({shard}
// in TABLE stands for the shard, as for vantrix-percolate). The table is the
// same bytes for every --jobs; the parts of a --shard split, joined with
// --merge, are the bytes of the whole run. --plot draws the PP curves
// (PPCurvePlot) from the table.
//
// Exit status: 0 when the table (and plot) were written; 1 when one could
// not be, or a table given to --merge is refused (said on standard error);
// 2 for a usage error.
class SweepCommand
{
public:
    // arguments as the bytes of argv decoded as Latin-1, program name first.
    explicit SweepCommand(QStringList arguments);
    int run();

    // Whether these arguments ask for a plot (which needs a QGuiApplication).
    static bool wantsPlot(const QStringList &arguments);

private:
    int usageError(const QString &message);
    int write(const SweepTable &table);
    int merge(const QStringList &tables);

    QStringList m_arguments;
    QByteArray m_output;
    QString m_plot;
    QByteArray m_seed; // for the plot's title
    std::FILE *m_err = stderr;
};
