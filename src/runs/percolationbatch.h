#pragma once

#include "clusterscan.h"
#include "coverset.h"
#include "landscapereader.h"
#include "rastersource.h"
#include "spanningrule.h"

#include <QByteArrayList>
#include <QString>

#include <functional>
#include <vector>

// Runs a spanning rule over many landscape files on several threads, and
// with it, when asked, the statistics of their clusters.
//
// What a file gives: without tiles, one landscape: the square of side n =
// its rows (the walk's square; columns beyond n are left out and counted,
// missing cells have no value), or with Extent::Full the whole raster (rows x
// columns; cluster rules only). With tiles of side S, each complete S x S
// square on the lattice of rows and columns 0, S, 2S, ..., left to right and
// top to bottom, is a landscape of its own; squares of that lattice that
// reach past the landscape's rows or past a row's end are left out and
// counted. With the cover each(), every landscape gives one answer per class
// value present in it (in increasing order), its other cells the matrix.
//
// How it is read: the walk holds its square in memory (PercolationGrid for
// one value as cover: the desktop program's test); everything else streams
// the file through LandscapeStream in bands of rows (a band of S rows for
// tiles), reading the next band while this one is tested, with ClusterScan
// for the cluster rules and the statistics. Memory per file is then bounded
// by the width of the map (times S for tiles) plus about 100 bytes per
// landscape tested, never by its cells; the walk's square alone is limited to
// 2^32 - 1 cells.
//
// Results are handed to the caller on the calling thread, strictly in list
// order, as soon as a file and all files before it are done (WorkerPool); so
// a report written from them is the same whatever the number of jobs. A file
// that fails for want of memory while other files are being tested is tested
// again once they are done, alone, so that its answer does not depend on the
// jobs either.
class PercolationBatch
{
public:
    enum Extent { Square, Full };

    struct Options
    {
        SpanningRule rule;
        CoverSet cover = CoverSet(1);
        int band = 1;          // the raster band, from 1
        qint64 tileSize = 0;   // 0: each file is one landscape
        Extent extent = Square;
        bool statistics = false; // ClusterStatistics of every landscape (clusters by edges under the walk)
        // The walk in either direction runs both of its phases, as
        // PercolationGrid::percolates() does, even when the first spans (the
        // answer is the same; the desktop program's test).
        bool walkBothPhases = false;
        // A cluster map of every file (whole landscapes, one cover, cluster
        // rules; see ClusterMap): called for file i once its clusters are
        // searched, on the thread that tests it. It must call make(name,
        // error) once, with the path of a file to make the map at, and have
        // that file take the map's place (OutputFile::writeVia); it returns
        // false, with the reason, when anything fails.
        std::function<bool(qsizetype index, const std::function<bool(const QByteArray &, QString *)> &make,
                           QString *errorString)>
                clusterMap;
    };

    // One landscape tested.
    struct Landscape
    {
        qint64 row = 0;        // its top-left cell in the file
        qint64 column = 0;
        qint64 rows = 0;       // its extent
        qint64 columns = 0;
        bool isClass = false;  // cover each(): the class it is of
        qint32 coverClass = 0;
        int spans = 0;
        ClusterStatistics statistics; // with Options::statistics
    };

    struct Result
    {
        qsizetype index = 0;
        int percolates = 0;                // whole file, one cover: the answer; 0 for a file that could not be read
        std::vector<Landscape> landscapes; // every landscape tested, in order; none for a file that could not be read
        qint64 incompleteSquares = 0;      // with tiles: the squares left out
        qint64 cellsLeftOut = 0;           // Extent::Square: cells of the file outside the square
        qint64 fileRows = 0;               // the file's rows and (longest) columns, once read
        qint64 fileColumns = 0;
        bool isRaster = false;
        RasterSource::GeoReference geo;    // rasters: where the file lies
        QString errorString;               // empty when the file was read
        QString mapError;                  // why its cluster map could not be written, if so
        bool outOfMemory = false;          // it could not be read for want of memory
        LandscapeReader::SkippedFields skippedFields; // text fields that are not integers
    };

    // jobs < 1 means 1; threads as WorkerPool says. onResult is called once
    // per path, in order; afterwards run() returns. With one job, before(i),
    // when given, is called on the calling thread just before file i is read.
    // onResult and before must not throw.
    static void run(const QByteArrayList &paths, const Options &options, int jobs,
                    const std::function<void(const Result &)> &onResult,
                    const std::function<void(qsizetype)> &before = {});

    // One file, as run() tests it (as file index of the run, for the cluster map).
    static Result test(const QByteArray &path, const Options &options, qsizetype index = 0);
};
