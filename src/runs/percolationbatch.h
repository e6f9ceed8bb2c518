#pragma once

#include "landscapereader.h"
#include "spanningrule.h"

#include <QByteArrayList>
#include <QString>

#include <functional>
#include <vector>

// Runs a spanning rule over many landscape files on several threads.
//
// Each file is read (LandscapeReader) and tested under the rule. Without
// tiles a file gives one answer. With tiles of side S, a file is read with
// every column and each of its complete S x S squares, on the lattice of rows
// and columns 0, S, 2S, ..., left to right and top to bottom, is a landscape
// of its own; squares of that lattice that reach past the landscape's rows or
// past a row's end are left out and counted.
//
// Results are handed to the caller on the calling thread, strictly in list
// order, as soon as a file and all files before it are done (WorkerPool); so
// a report written from them is the same whatever the number of jobs. A file
// that fails for want of memory while other files are being tested is tested
// again once they are done, alone, so that its answer does not depend on the
// jobs either. Memory: one landscape per thread at a time.
class PercolationBatch
{
public:
    struct Options
    {
        SpanningRule rule;
        qint32 habitatValue = 1;
        int band = 1;          // the raster band, from 1
        qint64 tileSize = 0;   // 0: each file is one landscape
        // The walk in either direction runs both of its phases, as
        // PercolationGrid::percolates() does, even when the first spans (the
        // answer is the same; the desktop program's test).
        bool walkBothPhases = false;
    };

    struct Square
    {
        qint64 row = 0;        // top-left cell
        qint64 column = 0;
        int percolates = 0;
    };

    struct Result
    {
        qsizetype index = 0;
        int percolates = 0;            // without tiles: 1 or 0; 0 for a file that could not be read
        std::vector<Square> squares;   // with tiles: the complete squares, in order
        qint64 incompleteSquares = 0;  // with tiles: the squares left out
        QString errorString;           // empty when the file was read
        bool outOfMemory = false;      // it could not be read for want of memory
        LandscapeReader::SkippedFields skippedFields; // text fields that are not integers
    };

    // jobs < 1 means 1; threads as WorkerPool says. onResult is called once
    // per path, in order; afterwards run() returns. With one job, before(i),
    // when given, is called on the calling thread just before file i is read.
    // onResult and before must not throw.
    static void run(const QByteArrayList &paths, const Options &options, int jobs,
                    const std::function<void(const Result &)> &onResult,
                    const std::function<void(qsizetype)> &before = {});

    // One file, as run() tests it.
    static Result test(const QByteArray &path, const Options &options);
};
