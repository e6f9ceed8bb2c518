#pragma once

#include <QStringList>

#include <cstdio>
#include <functional>

class PercolationReport;

// The vantrix-percolate command: the percolation test of the desktop program
// over files named on the command line, with the same report.
//
// Exit status: 0 when every file was read and the report written; 1 when a
// file could not be read (named on standard error, its line still written with
// 0), a report given to --merge is not a whole report, or the report could not
// be written (an existing --output file is then left as it was); 2 for a usage
// error, with a one-line message and no report.
class PercolateCommand
{
public:
    // arguments as QCoreApplication::arguments() gives them, program name first.
    explicit PercolateCommand(QStringList arguments);

    int run();

private:
    int usageError(const QString &message);
    int runTests(const QStringList &paths, qint32 cover, int jobs, bool progress);
    int merge(const QStringList &reports);
    // Writes the report that fill() makes to standard output or --output;
    // 0 when it was written whole, else 1 after saying why.
    int writeReport(const std::function<void(PercolationReport &)> &fill);
    bool readPathList(const QString &list, QStringList &paths);

    QStringList m_arguments;
    QString m_output;
    std::FILE *m_err = stderr;
};
