#pragma once

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
// order, as soon as a file and all files before it are done; so a report
// written from them is the same whatever the number of jobs. Memory: one
// landscape per thread at a time.
class PercolationBatch
{
public:
    struct Options
    {
        SpanningRule rule;
        qint32 habitatValue = 1;
        int band = 1;          // the raster band, from 1
        qint64 tileSize = 0;   // 0: each file is one landscape
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
    };

    // jobs < 1 means 1. The threads are at most jobs, the files, and
    // maxThreads(); when the system cannot start as many, the run goes on
    // with those it could start (the calling thread tests files too).
    // onResult is called once per path, in order; afterwards run() returns.
    // onResult must not throw.
    static void run(const QByteArrayList &paths, const Options &options, int jobs,
                    const std::function<void(const Result &)> &onResult);

    // One file, as run() tests it.
    static Result test(const QByteArray &path, const Options &options);

    // More threads than this never help: a few per core.
    static int maxThreads();
};
