#pragma once

#include "percolationbatch.h"
#include "shard.h"

#include <QByteArrayList>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <optional>

class PercolationReport;

// The vantrix-percolate command: the percolation test of the desktop program
// over files named on the command line, with the same report; also under the
// complete-cluster rules, in one direction, per band of a raster, per square
// tile of large maps, and per shard of a list split across machines.
//
// Paths are kept as the bytes given, from the argument or the list to the
// open call and to the report line, whatever the locale's encoding.
//
// Exit status: 0 when every file was read and the report written; 1 when a
// file could not be read (named on standard error, its line still written with
// 0), a list, or a report given to --merge, is not one, or the report could not
// be written (an existing --output file is then left as it was); 2 for a usage
// error, with a one-line message and no report.
class PercolateCommand
{
public:
    // arguments as the bytes of argv, each decoded as Latin-1 (so that
    // toLatin1() gives the bytes back), program name first.
    explicit PercolateCommand(QStringList arguments);

    int run();

private:
    int usageError(const QString &message);
    int runTests(const QByteArrayList &paths, const PercolationBatch::Options &options, int jobs, bool progress);
    int merge(const QByteArrayList &reports);
    // Writes the report that fill() makes to standard output or --output;
    // 0 when it was written whole, else 1 after saying why.
    int writeReport(const std::function<void(PercolationReport &)> &fill);
    // Appends the paths of a list: 0, or after saying why, 2 when it cannot
    // be opened and 1 when it is not a list (a NUL byte, an endless line).
    int readPathList(const QByteArray &list, QByteArrayList &paths);

    QStringList m_arguments;
    QByteArray m_output;
    std::optional<Shard> m_shard;
    std::FILE *m_err = stderr;
};
