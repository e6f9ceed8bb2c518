#pragma once

#include "bandseam.h"
#include "clusterscan.h"
#include "shard.h"
#include "lacunarity.h"
#include "movingwindow.h"
#include "patchpass.h"
#include "patchseams.h"
#include "patchspool.h"
#include "coverset.h"
#include "landscapereader.h"
#include "rastersource.h"
#include "spanningrule.h"
#include "windowspool.h"

#include <QByteArrayList>
#include <QString>

#include <functional>
#include <memory>
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
// counted; so are complete squares without a cell with a value, which are
// no landscapes. With the cover each(), every landscape gives one answer per
// class value present in it (in increasing order), its other cells the matrix.
//
// How it is read: the walk holds its square in memory (PercolationGrid for
// one value as cover: the desktop program's test); everything else streams
// the file through LandscapeStream in bands of rows (a band of S rows for
// tiles), reading the next band while this one is tested, with ClusterScan
// for the cluster rules and the statistics. A raster's table alone, on
// Options::mapThreads threads, is searched in bands of rows at once, each
// from its own stream, and the bands joined along their seams (BandSeam):
// the same statistics, to the bit, for any number of threads. Memory per file is then bounded
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
        // Every landscape's patches (cluster rules; with statistics), into
        // Result::patches, those of fewer than minCells cells left out.
        bool patches = false;
        qint64 minCells = 1;
        // The sides of the gliding boxes of every landscape's lacunarity
        // (Landscape::boxes); empty: none.
        std::vector<qint64> lacunarity;
        // A map of every file's patches (whole landscapes, cluster rules;
        // see PatchPass), named after clusterMap by OutputNames::expand() (a
        // map per class with cover each), each cell its patch's size or
        // number; written through OutputFile, replaced only by a whole map.
        // Empty: none.
        QByteArray clusterMap;
        PatchPass::Values clusterMapValues = PatchPass::Sizes;
        // Or into memory: into(class, rows, columns, wide) gives where the
        // map of a class (cover each) or of the cover goes (see
        // PatchPass::Map::into). It is called on the thread that tests the
        // file and must not throw.
        std::function<void *(std::optional<qint32> coverClass, qint64 rows, qint64 columns, bool wide)> clusterMapInto;
        // Threads that search one raster at once, each a band of its rows,
        // for a table alone or a map into memory (the answers are the same
        // for any number); run() gives a file the jobs that the files leave
        // idle.
        int mapThreads = 1;
        // Only part K of N of every whole map's rows (Shard::begin(), end()
        // of its rows; cluster rules, no tiles or maps): its statistics,
        // boxes and seams into Result::seam, for a merge to join (patches:
        // see partPatches).
        std::optional<Shard> rows;
        // Or: the landscape read is rows [firstRow, firstRow + its rows) of
        // a landscape of `rows` rows (a chunk of an array held apart), and
        // is searched as that band, into Result::seam.
        struct Place
        {
            qint64 firstRow = 0;
            qint64 rows = 0;
        };
        std::optional<Place> place;
        // With place or rows and patches, the band's patches in two rounds
        // (an array's chunks, a map's parts): without partPatches, those its
        // outer rows do not cut (into Result::patches); with them, the
        // patches its parts (BandSeam::open) are parts of, joined elsewhere
        // (records, and per part the index of its patch), and the band's
        // share of their sums of distances (Result::partDistances).
        std::shared_ptr<const PatchSeams::Given> partPatches;
        // A grid in memory read in place of every path (which then only
        // names it).
        std::shared_ptr<const MemoryGrid> grid;
        // Besides what the file gives: its moving windows (cluster rules),
        // read again in bands of window.size rows into Result::windows, with
        // statistics (and lacunarity) when windowStatistics; mapThreads
        // threads take a band's windows at once.
        std::optional<MovingWindow> window;
        bool windowStatistics = false;
    };

    // One landscape tested.
    using Landscape = LandscapeResult;

    struct Result
    {
        qsizetype index = 0;
        int percolates = 0;                // whole file, one cover: the answer; 0 for a file that could not be read
        std::vector<Landscape> landscapes; // every landscape tested, in order; none for a file that could not be read
        qint64 incompleteSquares = 0;      // with tiles: the squares left out
        qint64 squaresWithoutCells = 0;    // with tiles: complete squares left out, having no cell with a value
        qint64 cellsLeftOut = 0;           // Extent::Square: cells of the file outside the square
        qint64 fileRows = 0;               // the file's rows and (longest) columns, once read
        qint64 fileColumns = 0;
        // With tiles of side tileSize: the lattice of squares over the file,
        // ceil(rows / S) x ceil(columns / S), complete or not.
        qint64 tileSize = 0;
        qint64 latticeRows = 0;
        qint64 latticeColumns = 0;
        // A whole landscape read to its end: the cells of its outer ring (its
        // first and last rows, its first and last columns) and those of them
        // without a value, for telling a map clipped to a study area.
        qint64 edgeCells = 0;
        qint64 edgeCellsWithoutValue = 0;
        bool isRaster = false;
        RasterSource::GeoReference geo;    // rasters: where the file lies
        QString errorString;               // empty when the file was read
        QString mapError;                  // why its cluster map could not be written, if so
        // With Options::patches: every landscape's patches, in the order of
        // the landscapes, each landscape's by their first cells.
        std::shared_ptr<PatchSpool> patches;
        bool outOfMemory = false;          // it could not be read for want of memory
        LandscapeReader::SkippedFields skippedFields; // text fields that are not integers
        // With Options::window: a landscape per window (per class with cover
        // each) whose centre lies on the map, row by row of centres, each
        // with the window's top-left cell (below 0 where a partial window
        // begins before the map) and extent, and its place on the lattice of
        // centres (latticeRow, latticeColumn; windowRows x windowColumns of
        // them). Windows left out: reaching past the map's edge (not
        // partial), or holding no cell with a value.
        std::shared_ptr<WindowSpool> windows;
        qint64 windowRows = 0;
        qint64 windowColumns = 0;
        qint64 windowsPastEdge = 0;
        qint64 windowsWithoutCells = 0;
        // With Options::rows, the part's band of the map (BandSeam::write()),
        // and no landscapes; with its rows the whole map, its landscapes.
        QByteArray seam;
        // With Options::place or rows and patches: see Options::partPatches.
        std::vector<unsigned __int128> partDistances;
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

    // The bands of one map joined as they come, top to bottom (the parts of
    // a --rows split, the chunks of an array), and the map's results once
    // the last is in.
    class BandJoin
    {
    public:
        // Joins band below the bands so far; false, with the reason, when
        // it does not lie right below them in the same landscape and search.
        bool add(BandSeam band, QString *errorString);
        // The map's landscapes (the cover's, or one per class) and answer,
        // as test() gives them, onto result, and its rows; false when the
        // bands joined are not the whole map.
        bool finish(const Options &options, Result &result) const;
        // The bands joined so far (null before the first).
        const BandSeam *joined() const { return m_joined ? &*m_joined : nullptr; }

    private:
        std::optional<BandSeam> m_joined;
    };
};
