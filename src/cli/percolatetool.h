#pragma once

#include "coverset.h"
#include "patchpass.h"
#include "percolationbatch.h"
#include "shard.h"
#include "spanningrule.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QStringList>

#include <cstdio>
#include <optional>

// What vantrix-percolate is asked to do: its command line as values.
struct PercolateOptions
{
    enum Mode { Test, Merge };
    Mode mode = Test;

    QByteArrayList files;           // as given: paths (Test), or reports to join (Merge)
    QByteArray filesFrom;           // a list of more paths ("-": standard input); empty for none
    std::optional<CoverSet> cover;  // none: the cover value of config.txt, else 1
    SpanningRule rule;
    int band = 1;
    qint64 tileSize = 0;            // 0: each file is one landscape
    PercolationBatch::Extent extent = PercolationBatch::Square;
    QByteArray output;              // the report's path, {shard} expanded; empty: standard output
    QByteArray table;               // the cluster table's path, {shard} expanded; "-": standard output; empty: none
    QByteArray tileMap;             // the tile maps' names ({name}, {cover}); empty: none
    QByteArray clusterMap;          // the cluster maps' names ({name}, {cover}); empty: none
    PatchPass::Values clusterMapValues = PatchPass::Sizes;
    QByteArray patches;             // the patch table's path, {shard} expanded; "-": standard output; empty: none
    qint64 minCells = 1;
    std::vector<qint64> lacunarity; // box sides
    int jobs = 1;
    bool mergeOptions = false;      // --merge with --patches or --jobs (rows parts only)
    bool rowsPatches = false;       // --rows: the part holds the band's patches
    std::optional<Shard> shard;
    std::optional<Shard> rows;      // --rows: this process's part of every map's rows
    std::optional<MovingWindow> window; // --window, --step, --window-shape, --window-edge
    QByteArray windowMap;           // the window maps' names ({name}, {cover}); empty: none
    QByteArray windowTable;         // the windows' table, {shard} expanded; "-": standard output; empty: none
    bool quiet = false;
};

// The vantrix-percolate command: the percolation test of the desktop program
// over files named on the command line, with the same report; also under the
// complete-cluster rules, in one direction, per band of a raster, per square
// tile of large maps, and per shard of a list split across machines, whose
// reports --merge joins. With --table, the statistics of every landscape's
// clusters as a table (ClusterTable); with --tile-map, the tiles' answers and
// statistics as a GeoTIFF over the map (TileMap); with --cluster-map, each
// cell's cluster size as a GeoTIFF (ClusterMap); with --window, the answers
// and statistics of a moving window centred on every S-th cell as a GeoTIFF
// and a table. Covers may be sets of class
// values, or each class on its own (report lines PATH#cover=CLASS).
//
// Paths are kept as the bytes given, from the argument or the list to the
// open call and to the report line, whatever the locale's encoding.
//
// Exit status: 0 when every file was read and the report (and table, maps)
// written; 1 when a file could not be read (named on standard error, its line
// still written with 0), nothing was tested, a list cannot be read or is not
// one, a report or table given to --merge is not one, or an output could not
// be written (an existing file is then left as it was); 2 for a usage error,
// with a one-line message and no output.
namespace PercolateTool {

// Reads the command line (the bytes of argv decoded as Latin-1, so that
// toLatin1() gives them back; program name first). --help and --version
// print and end the program here. False, with the reason, for a usage error.
bool parse(const QStringList &arguments, PercolateOptions &options, QString *errorString);

// What options ask of each landscape: the batch's options (the cover is
// options' own; without one, 1).
PercolationBatch::Options batchOptions(const PercolateOptions &options);

// Runs what options ask; messages go to err. Returns the exit status.
int run(const PercolateOptions &options, std::FILE *err = stderr);

} // namespace PercolateTool
