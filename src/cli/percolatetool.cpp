#include "percolatetool.h"
#include "rowsparts.h"

#include "batchoutputs.h"
#include "commandline.h"
#include "configfile.h"
#include "linereader.h"
#include "outputfile.h"
#include "percolationreport.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <algorithm>
#include <utility>

#include <sys/stat.h>

namespace {

const char Program[] = "vantrix-percolate";

// Appends the paths of a list: 0, or 1 after saying why it cannot be read
// or is not a list (a NUL byte, an endless line).
int readPathList(const QByteArray &list, QByteArrayList &paths, std::FILE *err)
{
    LineReader reader;
    if (!reader.open(list)) {
        std::fprintf(err, "%s: cannot read the list %s: %s\n", Program, list.constData(),
                     reader.errorString().toLocal8Bit().constData());
        return 1;
    }
    QByteArray line;
    LineReader::Status status;
    while ((status = reader.next(line)) == LineReader::Line) {
        if (line.endsWith('\r'))
            line.chop(1); // lists written with CR LF line ends
        if (!line.isEmpty())
            paths << line;
    }
    if (status == LineReader::Error) {
        std::fprintf(err, "%s: %s is not a list of paths: %s\n", Program, list.constData(),
                     reader.errorString().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

// The cover value of config.txt in the working directory, said on standard
// error, else 1; nullopt after saying why config.txt cannot be read.
std::optional<CoverSet> coverOfConfig(std::FILE *err)
{
    ConfigFile config;
    QString why;
    const QString name = QStringLiteral("config.txt");
    if (config.read(name, &why)) {
        std::fprintf(err, "%s: the cover value %d comes from config.txt in the working directory (--cover chooses "
                          "another)\n",
                     Program, int(config.coverValue));
    } else if (QFileInfo::exists(name)) {
        std::fprintf(err, "%s: config.txt cannot be read (%s); give the cover value with --cover\n", Program,
                     why.toLocal8Bit().constData());
        return std::nullopt;
    }
    return CoverSet(config.coverValue);
}

int test(const PercolateOptions &options, std::FILE *err)
{
    PercolationBatch::Options batch = PercolateTool::batchOptions(options);
    const std::optional<CoverSet> cover = options.cover ? options.cover : coverOfConfig(err);
    if (!cover)
        return 1;
    batch.cover = *cover;

    QByteArrayList paths = options.files;
    if (!options.filesFrom.isEmpty()) {
        if (const int status = readPathList(options.filesFrom, paths, err); status != 0)
            return status;
    }
    BatchOutputs::Options outputs;
    outputs.program = Program;
    outputs.report = options.output;
    outputs.table = options.table;
    outputs.patches = options.patches;
    outputs.tileMap = options.tileMap;
    outputs.windowMap = options.windowMap;
    outputs.windowTable = options.windowTable;
    outputs.progress = !options.quiet;
    if (options.shard) {
        QByteArrayList parameters{"cover=" + batch.cover.text(),
                                  "rule=" + SpanningRule::name(batch.rule.kind).toLatin1(),
                                  "direction=" + SpanningRule::name(batch.rule.direction).toLatin1(),
                                  "band=" + QByteArray::number(batch.band),
                                  "tile=" + QByteArray::number(batch.tileSize)};
        if (batch.extent == PercolationBatch::Full)
            parameters << "extent=full";
        if (batch.window) {
            parameters << "window=" + QByteArray::number(batch.window->size) + "/" + QByteArray::number(batch.window->step)
                                  + (batch.window->shape == MovingWindow::Circle ? "/circle" : "/square")
                                  + (batch.window->partial ? "/partial" : "/nodata");
        }
        outputs.shard = options.shard;
        outputs.partDescription = PercolationReport::partDescription(paths, parameters);
        const qint64 total = paths.size();
        paths = paths.mid(options.shard->begin(total), options.shard->end(total) - options.shard->begin(total));
    }
    for (const auto &[option, pattern] : {std::pair{"--tile-map", options.tileMap},
                                          std::pair{"--cluster-map", options.clusterMap},
                                          std::pair{"--window-map", options.windowMap}}) {
        const QString clash = BatchOutputs::checkMapNames(option, pattern, paths, batch.cover.isEach());
        if (!clash.isEmpty()) {
            std::fprintf(err, "%s: %s\n", Program, clash.toLocal8Bit().constData());
            return 2;
        }
    }
    // No output may be written over a landscape or the list.
    QByteArrayList outputPaths{options.output, options.table, options.patches, options.windowTable};
    for (const QByteArray &pattern : {options.clusterMap, options.tileMap, options.windowMap}) {
        if (pattern.isEmpty())
            continue;
        for (const QByteArray &path : paths)
            outputPaths << BatchOutputs::mapName(pattern, path, std::nullopt);
    }
    if (const auto collision = OutputFile::overwritesInput(outputPaths, paths + QByteArrayList{options.filesFrom})) {
        std::fprintf(err, "%s: %s would be written over %s, which this run reads; name another output\n", Program,
                     collision->output.constData(), collision->input.constData());
        return 2;
    }

    if (options.rows) {
        // A part of every map's rows: its bands for a merge to join.
        RowsParts::Writer part(batch, paths);
        QString why;
        if (!part.open(options.table, &why)) {
            std::fprintf(err, "%s: cannot write the rows part %s: %s\n", Program, options.table.constData(),
                         why.toLocal8Bit().constData());
            return 1;
        }
        int status = 0;
        PercolationBatch::run(paths, batch, options.jobs, [&](const PercolationBatch::Result &result) {
            if (!result.errorString.isEmpty()) {
                std::fprintf(err, "%s: %s: %s\n", Program, paths[result.index].constData(),
                             result.errorString.toLocal8Bit().constData());
                status = 1;
            }
            part.add(result);
        });
        if (!part.finish(&why)) {
            std::fprintf(err, "%s: the rows part %s could not be written: %s\n", Program, options.table.constData(),
                         why.toLocal8Bit().constData());
            return 1;
        }
        return status;
    }
    BatchOutputs writer(outputs, batch, paths, err);
    if (!writer.open())
        return 1;
    PercolationBatch::run(paths, batch, options.jobs,
                          [&writer](const PercolationBatch::Result &result) { writer.add(result); });
    return writer.finish();
}

} // namespace

namespace PercolateTool {

bool parse(const QStringList &arguments, PercolateOptions &options, QString *errorString)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Tests landscape files (plain text, or rasters GDAL reads) for percolation and writes the report:\n"
            "a line per file (path, tab, 1 or 0), then \"Probability Percolation (PP) = \" and the mean.\n"
            "The desktop program Vantrix writes the same report with --rule walk."));
    const QCommandLineOption cover({"c", "cover"},
                                   "The class value that counts as habitat; or values and ranges, all habitat "
                                   "(41,42 or 41-43); or each: every class value present on its own (report "
                                   "lines PATH#cover=CLASS). Default: the cover value of config.txt in the "
                                   "working directory, else 1.",
                                   "COVER");
    const QCommandLineOption rule("rule",
                                  "cluster4 (complete search, cells joined by edges), cluster8 (by edges and "
                                  "corners) or walk (the desktop program's fixed walk, which misses some clusters "
                                  "that span). Default: cluster4.",
                                  "RULE", "cluster4");
    const QCommandLineOption direction("direction",
                                       "either, left-right or top-bottom: the crossing asked for. Default: either.",
                                       "DIRECTION", "either");
    const QCommandLineOption band("band", "The band of a raster to read, from 1. Default: 1.", "N", "1");
    const QCommandLineOption tile("tile",
                                  "Test every complete SIZE x SIZE square of each landscape, left to right and top "
                                  "to bottom, as a landscape of its own; report lines PATH#ROW,COLUMN.",
                                  "SIZE");
    const QCommandLineOption extent("extent",
                                    "square: the square of side the number of rows, as the walk tests it; full: "
                                    "the whole map, rows x columns (cluster rules). Default: square.",
                                    "EXTENT", "square");
    const QCommandLineOption table("table",
                                   "Also write the statistics of every landscape's clusters to FILE, a table "
                                   "separated by tabs with a header line ({shard} stands for the shard; - for "
                                   "standard output, with the report sent elsewhere by --output).",
                                   "FILE");
    const QCommandLineOption tileMap("tile-map",
                                     "With --tile: also write the squares' answers (and with --table their "
                                     "statistics) as a GeoTIFF of a pixel per square over the map; {name} in FILE "
                                     "stands for the landscape's file name without its suffix, {cover} for the "
                                     "class of --cover each.",
                                     "FILE");
    const QCommandLineOption clusterMap("cluster-map",
                                        "Cluster rules, whole landscapes: also write each cell's patch size, or with "
                                        "--values id its patch's id (0 for a cell that is not habitat) as a GeoTIFF; "
                                        "{name} and {cover} as for --tile-map.",
                                        "FILE");
    const QCommandLineOption values("values", "What --cluster-map shows: size (cells of the cell's patch) or id (the "
                                              "patch's id of --patches). Default: size.",
                                    "VALUES", "size");
    const QCommandLineOption patches("patches",
                                     "Cluster rules: also write a row per patch (its id, cells, area, perimeter, "
                                     "extent, centroid, radii of gyration, shape, touches, spans) to FILE, a table "
                                     "separated by tabs ({shard} as for --table; - for standard output).",
                                     "FILE");
    const QCommandLineOption minCells("min-cells", "Leave patches of fewer than N cells out of --patches (they still "
                                                   "count in the table). Default: 1.",
                                      "N", "1");
    const QCommandLineOption lacunarity("lacunarity",
                                        "With --table: also the gliding-box lacunarity of every landscape's habitat "
                                        "for these box sides (2,4,8,...), a column lacunarity_R each.",
                                        "SIDES");
    const QCommandLineOption output({"o", "output"},
                                    "Write the report to FILE, replacing it only with a complete report; {shard} in "
                                    "FILE stands for the shard (03-of-10); - for standard output. Default: standard "
                                    "output.",
                                    "FILE");
    const QCommandLineOption jobs({"j", "jobs"}, "Test N files at a time; jobs the files leave idle search one map in "
                                                 "bands of rows at once. Default: the number of processor cores.",
                                  "N");
    const QCommandLineOption filesFrom("files-from", "Also test the paths in LIST, one per line; - is standard input.",
                                       "LIST");
    const QCommandLineOption shard("shard",
                                   "Test only part K of N (K from 1) of the files given and listed, in contiguous "
                                   "blocks; the parts' reports, merged, are the report of the whole.",
                                   "K/N");
    const QCommandLineOption rows("rows",
                                  "Search only band K of N (K from 1) of the rows of every map, and write it as a "
                                  "part to --table FILE ({shard} stands for the part; with --patches naming it too, "
                                  "the band's patches with it): the parts, merged, are the table (and patches) of "
                                  "the whole maps, the same bytes as one run.",
                                  "K/N");
    const QCommandLineOption merge("merge", "Join reports, tables or rows parts made from parts of one batch, given "
                                            "in place of FILEs, into the report or table of the whole batch (rows "
                                            "parts with patches: --patches FILE writes their patch table, reading "
                                            "again on --jobs threads the bands of patches that cross the seams).");
    const QCommandLineOption window("window",
                                    "Cluster rules: also test a window of SIZE x SIZE cells centred on every --step-th "
                                    "cell of each map, each window a landscape of its own, into --window-map and "
                                    "--window-table.",
                                    "SIZE");
    const QCommandLineOption step("step", "The windows' centres: every S-th cell of the rows and of the columns, "
                                          "from the first.",
                                  "S");
    const QCommandLineOption windowShape("window-shape",
                                         "square, or circle: the cells whose centres lie within SIZE/2 of the "
                                         "window's centre. Default: square.",
                                         "SHAPE", "square");
    const QCommandLineOption windowEdge("window-edge",
                                        "nodata: windows reaching past the map's edge are left out; partial: they "
                                        "are tested on their part inside the map (a band cells says how many "
                                        "cells). Default: nodata.",
                                        "EDGE", "nodata");
    const QCommandLineOption windowMap("window-map",
                                       "Write the windows' answers (and with --table or --window-table their "
                                       "statistics) as a GeoTIFF of a pixel per window centre, S cells a side, over "
                                       "the map; {name} and {cover} as for --tile-map.",
                                       "FILE");
    const QCommandLineOption windowTable("window-table",
                                         "Write a row per window to FILE, with the columns of --table (row, column: "
                                         "the window's top-left cell; rows, columns: its extent; - for standard "
                                         "output).",
                                         "FILE");
    const QCommandLineOption quiet({"q", "quiet"}, "No progress line. Notes on what changes an answer (a cover "
                                                   "value from config.txt, cells left out, a cover absent from a "
                                                   "map) are still written to standard error.");
    parser.addOptions({cover, rule, direction, band, tile, extent, table, tileMap, clusterMap, values, patches, minCells,
                       lacunarity, output, jobs, filesFrom, shard, rows, merge, window, step, windowShape,
                       windowEdge, windowMap, windowTable, quiet});
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("FILE", "Landscape files to test (with --merge: reports to join).", "[FILE...]");

    auto fail = [errorString](const QString &why) {
        *errorString = why;
        return false;
    };
    if (!CommandLine::parse(parser, arguments, errorString))
        return false;
    options.quiet = parser.isSet(quiet);
    options.output = parser.value(output).toLatin1();
    if (!CommandLine::readShard(parser, shard, options.output, options.shard, errorString))
        return false;
    options.table = parser.value(table).toLatin1();
    options.patches = parser.value(patches).toLatin1();
    if (parser.isSet(rows)) {
        options.rows = Shard::parse(parser.value(rows), errorString);
        if (!options.rows)
            return false;
        if (options.shard)
            return fail(QStringLiteral("--rows splits every map, --shard the list of maps: give one"));
        for (const QCommandLineOption *whole : {&output, &tile, &tileMap, &clusterMap, &window}) {
            if (parser.isSet(*whole))
                return fail(QStringLiteral("--rows writes the part of the table that its rows give; --%1 is for "
                                           "whole runs")
                                    .arg(whole->names().constLast()));
        }
        if (options.table.isEmpty())
            return fail(QStringLiteral("--rows writes its part to --table FILE"));
        // The part holds the band's patches too when --patches names it.
        if (!options.patches.isEmpty() && options.patches != options.table)
            return fail(QStringLiteral("--rows writes one part, to --table FILE; --patches names that file too for "
                                       "the part to hold the band's patches"));
        options.table = options.rows->expand(options.table);
        options.rowsPatches = !options.patches.isEmpty();
        options.patches.clear();
    }
    options.windowTable = parser.value(windowTable).toLatin1();
    for (QByteArray *name : {&options.table, &options.patches, &options.windowTable}) {
        if (options.shard)
            *name = options.shard->expand(*name);
        else if (name->contains(Shard::placeholder()))
            return fail(QStringLiteral("%1 names {shard}, but no --shard is given")
                                .arg(name == &options.table     ? "--table"
                                     : name == &options.patches ? "--patches"
                                                                : "--window-table"));
    }
    options.files = CommandLine::bytes(parser.positionalArguments());

    if (parser.isSet(merge)) {
        for (const QCommandLineOption *testOption :
             {&cover, &rule, &direction, &band, &tile, &extent, &table, &tileMap, &clusterMap, &values, &minCells,
              &lacunarity, &filesFrom, &shard, &rows, &window, &step, &windowShape, &windowEdge, &windowMap,
              &windowTable}) {
            if (parser.isSet(*testOption))
                return fail(QStringLiteral("--merge takes only reports or tables, --output and --quiet (and for "
                                           "rows parts --patches and --jobs)"));
        }
        if (options.files.isEmpty())
            return fail(QStringLiteral("no reports to merge"));
        if (!CommandLine::readJobs(parser, jobs, options.jobs, errorString))
            return false;
        options.mergeOptions = parser.isSet(jobs) || parser.isSet(patches);
        options.mode = PercolateOptions::Merge;
        return true;
    }

    if (parser.isSet(cover)) {
        options.cover = CoverSet::parse(parser.value(cover), errorString);
        if (!options.cover)
            return false;
    }
    if (!CommandLine::readRule(parser.value(rule), parser.value(direction), options.rule, errorString))
        return false;
    const bool walk = options.rule.kind == SpanningRule::Walk;
    bool ok = false;
    if (parser.value(extent) == QLatin1String("full"))
        options.extent = PercolationBatch::Full;
    else if (parser.value(extent) != QLatin1String("square"))
        return fail(QStringLiteral("--extent takes square or full, not '%1'").arg(parser.value(extent)));
    if (options.extent == PercolationBatch::Full && walk)
        return fail(QStringLiteral("--extent full is for the cluster rules (cluster4, cluster8): the walk tests "
                                   "the square of side the number of rows"));
    options.tileMap = parser.value(tileMap).toLatin1();
    options.clusterMap = parser.value(clusterMap).toLatin1();

    options.band = parser.value(band).toInt(&ok, 10);
    if (!ok || options.band < 1)
        return fail(QStringLiteral("--band takes a band number from 1, not '%1'").arg(parser.value(band)));
    if (parser.isSet(tile)) {
        options.tileSize = parser.value(tile).toLongLong(&ok, 10);
        if (!ok || options.tileSize < 1 || options.tileSize > 1 << 20)
            return fail(QStringLiteral("--tile takes a side of 1 to 1048576 cells, not '%1'").arg(parser.value(tile)));
        if (parser.isSet(extent))
            return fail(QStringLiteral("--extent is for whole landscapes: --tile tests complete squares"));
        if (!options.clusterMap.isEmpty())
            return fail(QStringLiteral("--cluster-map maps whole landscapes, not --tile squares (--tile-map maps those)"));
    } else if (!options.tileMap.isEmpty()) {
        return fail(QStringLiteral("--tile-map maps the squares of --tile"));
    }
    if (!options.clusterMap.isEmpty() && walk)
        return fail(QStringLiteral("--cluster-map needs a cluster rule (--rule cluster4 or cluster8)"));
    if (parser.value(values) == QLatin1String("id"))
        options.clusterMapValues = PatchPass::Numbers;
    else if (parser.value(values) != QLatin1String("size"))
        return fail(QStringLiteral("--values takes size or id, not '%1'").arg(parser.value(values)));
    if (parser.isSet(values) && options.clusterMap.isEmpty())
        return fail(QStringLiteral("--values says what --cluster-map shows"));
    const bool patchesAsked = !options.patches.isEmpty() || options.rowsPatches;
    if (patchesAsked && walk)
        return fail(QStringLiteral("--patches needs a cluster rule (--rule cluster4 or cluster8)"));
    options.minCells = parser.value(minCells).toLongLong(&ok, 10);
    if (!ok || options.minCells < 1)
        return fail(QStringLiteral("--min-cells takes a whole number of at least 1, not '%1'").arg(parser.value(minCells)));
    if (parser.isSet(minCells) && !patchesAsked)
        return fail(QStringLiteral("--min-cells leaves small patches out of --patches"));
    if (parser.isSet(lacunarity)) {
        for (const QString &part : parser.value(lacunarity).split(QLatin1Char(','))) {
            const qint64 side = part.toLongLong(&ok, 10);
            if (!ok || side < 1 || side > 65536)
                return fail(QStringLiteral("--lacunarity takes box sides of 1 to 65536 cells, separated by commas, not "
                                           "'%1'").arg(parser.value(lacunarity)));
            if (std::find(options.lacunarity.begin(), options.lacunarity.end(), side) != options.lacunarity.end())
                return fail(QStringLiteral("--lacunarity names the side %1 twice").arg(side));
            options.lacunarity.push_back(side);
        }
        if (options.table.isEmpty() && options.windowTable.isEmpty())
            return fail(QStringLiteral("--lacunarity adds columns to --table"));
    }
    options.windowMap = parser.value(windowMap).toLatin1();
    if (parser.isSet(window)) {
        MovingWindow moving;
        moving.size = parser.value(window).toLongLong(&ok, 10);
        if (!ok || moving.size < 1 || moving.size > 65536)
            return fail(QStringLiteral("--window takes a side of 1 to 65536 cells, not '%1'").arg(parser.value(window)));
        if (!parser.isSet(step))
            return fail(QStringLiteral("--window needs --step S: windows are centred on every S-th cell (1: every "
                                       "cell; a map of 10^10 cells has 10^10 windows)"));
        moving.step = parser.value(step).toLongLong(&ok, 10);
        if (!ok || moving.step < 1 || moving.step > 1 << 20)
            return fail(QStringLiteral("--step takes 1 to 1048576 cells, not '%1'").arg(parser.value(step)));
        if (parser.value(windowShape) == QLatin1String("circle"))
            moving.shape = MovingWindow::Circle;
        else if (parser.value(windowShape) != QLatin1String("square"))
            return fail(QStringLiteral("--window-shape takes square or circle, not '%1'").arg(parser.value(windowShape)));
        if (parser.value(windowEdge) == QLatin1String("partial"))
            moving.partial = true;
        else if (parser.value(windowEdge) != QLatin1String("nodata"))
            return fail(QStringLiteral("--window-edge takes nodata or partial, not '%1'").arg(parser.value(windowEdge)));
        if (walk)
            return fail(QStringLiteral("--window needs a cluster rule (--rule cluster4 or cluster8)"));
        if (parser.isSet(tile))
            return fail(QStringLiteral("--window slides over whole maps, --tile cuts them into squares: give one"));
        if (options.windowMap.isEmpty() && options.windowTable.isEmpty())
            return fail(QStringLiteral("--window writes to --window-map FILE or --window-table FILE"));
        options.window = moving;
    } else {
        for (const QCommandLineOption *windowOption : {&step, &windowShape, &windowEdge, &windowMap, &windowTable}) {
            if (parser.isSet(*windowOption))
                return fail(QStringLiteral("--%1 is for --window").arg(windowOption->names().constLast()));
        }
    }
    for (const QByteArray *map : {&options.tileMap, &options.clusterMap, &options.windowMap}) {
        if (!map->isEmpty() && (*map == options.output || *map == options.table || *map == options.windowTable
                                || (*map == "-" && options.output.isEmpty())))
            return fail(QStringLiteral("a map would be written over the report or the table ('%1')")
                                .arg(QString::fromLatin1(*map)));
    }
    // Standard output and files for one output each.
    const QList<QPair<const char *, QByteArray>> named{{"--output", options.output.isEmpty() ? "-" : options.output},
                                                       {"--table", options.table},
                                                       {"--patches", options.patches},
                                                       {"--window-table", options.windowTable}};
    for (qsizetype i = 0; i < named.size(); ++i) {
        for (qsizetype j = i + 1; j < named.size(); ++j) {
            if (named[j].second.isEmpty() || named[i].second != named[j].second)
                continue;
            struct stat info;
            if (named[i].second != "-" && ::stat(named[i].second.constData(), &info) == 0 && !S_ISREG(info.st_mode))
                continue; // a device (/dev/null) takes any number of outputs
            if (named[i].second == "-")
                return fail(QStringLiteral("%1 - and %2 - both write on standard output: send one elsewhere")
                                    .arg(QLatin1String(named[i].first), QLatin1String(named[j].first)));
            return fail(QStringLiteral("%1 and %2 name the same file, '%3'")
                                .arg(QLatin1String(named[i].first), QLatin1String(named[j].first),
                                     QString::fromLatin1(named[i].second)));
        }
    }
    if (options.rows && walk)
        return fail(QStringLiteral("--rows needs a cluster rule (--rule cluster4 or cluster8): the walk holds its "
                                   "square whole"));
    if (!CommandLine::readJobs(parser, jobs, options.jobs, errorString))
        return false;
    if (parser.isSet(filesFrom))
        options.filesFrom = parser.value(filesFrom).toLatin1();
    else if (options.files.isEmpty())
        return fail(QStringLiteral("no files given"));
    return true;
}

PercolationBatch::Options batchOptions(const PercolateOptions &options)
{
    PercolationBatch::Options batch;
    batch.rule = options.rule;
    batch.band = options.band;
    batch.tileSize = options.tileSize;
    batch.extent = options.extent;
    batch.statistics = !options.table.isEmpty();
    batch.patches = !options.patches.isEmpty() || options.rowsPatches;
    batch.minCells = options.minCells;
    batch.lacunarity = options.lacunarity;
    batch.clusterMap = options.clusterMap;
    batch.clusterMapValues = options.clusterMapValues;
    batch.rows = options.rows;
    batch.window = options.window;
    batch.windowStatistics = !options.table.isEmpty() || !options.windowTable.isEmpty();
    if (options.cover)
        batch.cover = *options.cover;
    return batch;
}

int run(const PercolateOptions &options, std::FILE *err)
{
    if (options.mode == PercolateOptions::Test)
        return test(options, err);
    if (const auto collision = OutputFile::overwritesInput({options.output, options.patches}, options.files)) {
        std::fprintf(err, "%s: %s would be written over %s, which this merge reads; name another output\n", Program,
                     collision->output.constData(), collision->input.constData());
        return 2;
    }
    BatchOutputs::Merge merge;
    merge.patches = options.patches;
    merge.jobs = options.jobs;
    merge.rowsOnly = options.mergeOptions;
    return BatchOutputs::merge(options.files, options.output, Program, err, merge);
}

} // namespace PercolateTool
