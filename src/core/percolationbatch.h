#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// Runs the percolation test over many landscape files on several threads.
//
// Each file is tested as PercolationGrid::testLandscape() does. Results are
// handed to the caller on the calling thread, strictly in list order, as soon
// as a file and all files before it are done; so a report written from them is
// the same whatever the number of jobs. Memory: one grid per job at a time.
class PercolationBatch
{
public:
    struct Result
    {
        qsizetype index = 0;
        int percolates = 0;      // 1 or 0; 0 for a file that could not be read
        QString errorString;     // empty when the file was read
    };

    // jobs < 1 means 1. onResult is called once per path, in order; afterwards
    // run() returns. onResult must not throw.
    static void run(const QStringList &paths, qint32 habitatValue, int jobs,
                    const std::function<void(const Result &)> &onResult);
};
