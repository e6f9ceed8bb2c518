#include "percolatetool.h"

#include "clustertable.h"
#include "commandline.h"
#include "configfile.h"
#include "linereader.h"
#include "outputfile.h"
#include "percolationbatch.h"
#include "percolationreport.h"
#include "progressline.h"
#include "tilemap.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <functional>
#include <memory>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char Program[] = "vantrix-percolate";

// A report line's name for a landscape of path: the path, then for a square
// of tiles "#ROW,COLUMN", for a class of --cover each "#cover=CLASS".
QByteArray landscapeName(const QByteArray &path, const PercolationBatch::Landscape &landscape, bool tiles)
{
    QByteArray name = path;
    if (tiles)
        name += '#' + QByteArray::number(landscape.row) + ',' + QByteArray::number(landscape.column);
    if (landscape.isClass)
        name += "#cover=" + QByteArray::number(landscape.coverClass);
    return name;
}

// The name of a map of a landscape file: {name} in pattern stands for the
// file's name without its folder and its last suffix, {cover} for the class;
// with a class and no {cover}, "-CLASS" goes before the pattern's suffix.
QByteArray mapName(const QByteArray &pattern, const QByteArray &path, const std::optional<qint32> &coverClass)
{
    QByteArray name = pattern;
    QByteArray stem = path.mid(path.lastIndexOf('/') + 1);
    if (const qsizetype dot = stem.lastIndexOf('.'); dot > 0)
        stem.truncate(dot);
    name.replace("{name}", stem);
    if (coverClass) {
        const QByteArray value = QByteArray::number(*coverClass);
        if (name.contains("{cover}")) {
            name.replace("{cover}", value);
        } else {
            const qsizetype slash = name.lastIndexOf('/');
            const qsizetype dot = name.lastIndexOf('.');
            const qsizetype at = dot > slash + 1 ? dot : name.size();
            name.insert(at, '-' + value);
        }
    }
    return name;
}

// Checks that the maps of paths get names of their own: 0, or 2 after saying why.
int checkMapNames(const char *option, const QByteArray &pattern, const QByteArrayList &paths, std::FILE *err)
{
    if (pattern.isEmpty())
        return 0;
    std::set<QByteArray> names;
    for (const QByteArray &path : paths) {
        if (!names.insert(mapName(pattern, path, std::nullopt)).second) {
            std::fprintf(err, "%s: %s %s would give two landscapes the same map (%s); put {name} in it, which "
                              "stands for a file's name without its suffix (see --help)\n",
                         Program, option, pattern.constData(), mapName(pattern, path, std::nullopt).constData());
            return 2;
        }
    }
    return 0;
}

// Writes the report that fill() makes to standard output or the output file;
// 0 when it was written whole, else 1 after saying why. fill() returns false
// when it has said why itself that the report is not to be kept.
int writeReport(const QByteArray &output, std::FILE *err, const std::function<bool(PercolationReport &)> &fill)
{
    OutputFile target;
    if (!target.open(output)) {
        std::fprintf(err, "%s: cannot write the report %s: %s\n", Program, output.constData(),
                     target.errorString().toLocal8Bit().constData());
        return 1;
    }
    PercolationReport report(&target);
    if (!fill(report)) {
        target.cancel();
        return 1;
    }
    report.finish();
    QString error;
    if (report.hasError()) {
        error = report.errorString();
        target.cancel();
    } else if (!target.commit()) {
        error = target.errorString();
    }
    if (!error.isEmpty()) {
        std::fprintf(err, "%s: the report %s could not be written: %s\n", Program,
                     output.isEmpty() ? "on standard output" : output.constData(), error.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

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

// Whether the parts given to --merge are tables rather than reports, as the
// first of them that is a file says (a pipe cannot be looked at twice: parts
// that are all pipes are reports).
bool mergesTables(const QByteArrayList &parts)
{
    for (const QByteArray &part : parts) {
        struct stat info;
        if (part == "-" || ::stat(part.constData(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        LineReader reader;
        QByteArray line;
        return reader.open(part) && reader.next(line) == LineReader::Line && ClusterTable::isTableStart(line);
    }
    return false;
}

int mergeTables(const PercolateOptions &options, std::FILE *err)
{
    OutputFile target;
    if (!target.open(options.output)) {
        std::fprintf(err, "%s: cannot write the table %s: %s\n", Program, options.output.constData(),
                     target.errorString().toLocal8Bit().constData());
        return 1;
    }
    bool written = true;
    QString error;
    if (!ClusterTable::merge(options.files, [&](const QByteArray &line) {
            written = written && target.write(line) == line.size();
        }, &error)) {
        target.cancel();
        std::fprintf(err, "%s: %s\n", Program, error.toLocal8Bit().constData());
        return 1;
    }
    if (!written || !target.commit()) {
        const QString why = target.errorString();
        target.cancel();
        std::fprintf(err, "%s: the table %s could not be written: %s\n", Program,
                     options.output.isEmpty() ? "on standard output" : options.output.constData(),
                     why.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

int merge(const PercolateOptions &options, std::FILE *err)
{
    if (options.files.size() > 0 && mergesTables(options.files))
        return mergeTables(options, err);
    return writeReport(options.output, err, [&](PercolationReport &report) {
        QString error;
        if (PercolationReport::merge(options.files, report, &error))
            return true;
        std::fprintf(err, "%s: %s\n", Program, error.toLocal8Bit().constData());
        return false;
    });
}

int test(const PercolateOptions &options, std::FILE *err)
{
    PercolationBatch::Options batch;
    batch.rule = options.rule;
    batch.band = options.band;
    batch.tileSize = options.tileSize;
    batch.extent = options.extent;
    batch.statistics = !options.table.isEmpty();
    if (options.cover) {
        batch.cover = *options.cover;
    } else {
        ConfigFile config;
        QString why;
        const QString name = QStringLiteral("config.txt");
        if (config.read(name, &why)) {
            if (!options.quiet) {
                std::fprintf(err, "%s: the cover value %d comes from config.txt (--cover chooses another)\n", Program,
                             int(config.coverValue));
            }
        } else if (QFileInfo::exists(name)) {
            std::fprintf(err, "%s: config.txt cannot be read (%s); give the cover value with --cover\n", Program,
                         why.toLocal8Bit().constData());
            return 1;
        }
        batch.cover = CoverSet(config.coverValue);
    }

    QByteArrayList paths = options.files;
    if (!options.filesFrom.isEmpty()) {
        if (const int status = readPathList(options.filesFrom, paths, err); status != 0)
            return status;
    }
    QByteArray partDescription;
    if (options.shard) {
        QByteArrayList parameters{"cover=" + batch.cover.text(),
                                  "rule=" + SpanningRule::name(batch.rule.kind).toLatin1(),
                                  "direction=" + SpanningRule::name(batch.rule.direction).toLatin1(),
                                  "band=" + QByteArray::number(batch.band),
                                  "tile=" + QByteArray::number(batch.tileSize)};
        if (batch.extent == PercolationBatch::Full)
            parameters << "extent=full";
        partDescription = PercolationReport::partDescription(paths, parameters);
        const qint64 total = paths.size();
        paths = paths.mid(options.shard->begin(total), options.shard->end(total) - options.shard->begin(total));
    }
    if (const int status = checkMapNames("--tile-map", options.tileMap, paths, err); status != 0)
        return status;
    if (const int status = checkMapNames("--cluster-map", options.clusterMap, paths, err); status != 0)
        return status;
    if (!options.clusterMap.isEmpty()) {
        batch.clusterMap = [&](qsizetype index, const std::function<bool(const QByteArray &, QString *)> &make,
                               QString *error) {
            return OutputFile::writeVia(mapName(options.clusterMap, paths[index], std::nullopt), make, error);
        };
    }

    // The table goes to its file as the results come, and takes its place
    // only when whole, as the report does.
    OutputFile table;
    bool tableWritten = true;
    qint64 tableRows = 0;
    auto writeTable = [&](const QByteArray &bytes) {
        tableWritten = tableWritten && table.write(bytes) == bytes.size();
    };
    if (batch.statistics) {
        if (!table.open(options.table == "-" ? QByteArray() : options.table)) {
            std::fprintf(err, "%s: cannot write the table %s: %s\n", Program, options.table.constData(),
                         table.errorString().toLocal8Bit().constData());
            return 1;
        }
        if (options.shard)
            writeTable(ClusterTable::shardLine(*options.shard, partDescription));
        writeTable(ClusterTable::header());
    }
    const QByteArray coverText = batch.cover.asked();
    const QByteArray ruleText = SpanningRule::name(batch.rule.kind).toLatin1();
    const QByteArray directionText = SpanningRule::name(batch.rule.direction).toLatin1();

    std::unique_ptr<ProgressLine> progress;
    if (!options.quiet && isatty(fileno(err)))
        progress = std::make_unique<ProgressLine>(err, paths.size(), "files");
    auto say = [&](const QByteArray &path, const QString &what) {
        if (progress)
            progress->interrupt();
        std::fprintf(err, "%s: %s: %s\n", Program, path.constData(), what.toLocal8Bit().constData());
    };
    bool allRead = true;
    bool outputsWritten = true;
    qint64 incomplete = 0;
    qint64 filesWithIncomplete = 0;
    qint64 tested = 0;
    const int status = writeReport(options.output, err, [&](PercolationReport &report) {
        if (options.shard)
            report.beginPart(*options.shard, partDescription);
        PercolationBatch::run(paths, batch, options.jobs, [&](const PercolationBatch::Result &result) {
            const QByteArray &path = paths[result.index];
            if (!result.errorString.isEmpty()) {
                allRead = false;
                say(path, result.errorString);
            }
            if (result.skippedFields.count > 0) {
                say(path, QStringLiteral("%1 field(s) that are not integers were skipped, such as '%2'")
                                  .arg(result.skippedFields.count)
                                  .arg(QString::fromLatin1(result.skippedFields.example)));
            }
            if (result.cellsLeftOut > 0 && !options.quiet) {
                say(path, QStringLiteral("the square of %1 x %1 cells tested leaves %2 cell(s) of the map out "
                                         "(--extent full tests them all under the cluster rules, --tile in squares)")
                                  .arg(result.fileRows)
                                  .arg(result.cellsLeftOut));
            }
            if (!result.mapError.isEmpty()) {
                outputsWritten = false;
                say(path, QStringLiteral("the cluster map could not be written: %1").arg(result.mapError));
            }
            const bool tiles = batch.tileSize > 0;
            if (!result.errorString.isEmpty()) {
                report.addResult(path, 0);
                ++tested;
            } else {
                for (const PercolationBatch::Landscape &landscape : result.landscapes) {
                    report.addResult(landscapeName(path, landscape, tiles), landscape.spans);
                    if (batch.statistics) {
                        ClusterTable::Row row;
                        row.landscape = path;
                        row.row = landscape.row;
                        row.column = landscape.column;
                        row.rows = landscape.rows;
                        row.columns = landscape.columns;
                        row.cover = landscape.isClass ? QByteArray::number(landscape.coverClass) : coverText;
                        row.rule = ruleText;
                        row.direction = directionText;
                        row.spans = landscape.spans;
                        row.statistics = landscape.statistics;
                        writeTable(ClusterTable::rowLine(row));
                        ++tableRows;
                    }
                }
                tested += qint64(result.landscapes.size());
            }
            if (tiles && result.errorString.isEmpty()) {
                incomplete += result.incompleteSquares;
                filesWithIncomplete += result.incompleteSquares > 0 ? 1 : 0;
                if (!options.tileMap.isEmpty()) {
                    std::vector<std::optional<qint32>> classes;
                    if (batch.cover.isEach()) {
                        std::set<qint32> present;
                        for (const PercolationBatch::Landscape &landscape : result.landscapes)
                            present.insert(landscape.coverClass);
                        classes.assign(present.begin(), present.end());
                    } else {
                        classes.push_back(std::nullopt);
                    }
                    for (const std::optional<qint32> &coverClass : classes) {
                        const QByteArray name = mapName(options.tileMap, path, coverClass);
                        QString why;
                        if (!TileMap::write(name, result, batch.tileSize, batch.statistics, coverClass, &why)) {
                            outputsWritten = false;
                            say(path, QStringLiteral("the tile map %1 could not be written: %2")
                                              .arg(QString::fromLocal8Bit(name), why));
                        }
                    }
                }
            }
            if (progress)
                progress->update(result.index + 1);
        });
        return true;
    });
    if (incomplete > 0) {
        std::fprintf(err, "%s: %lld incomplete square(s) at the right and bottom edges of %lld landscape(s) left out\n",
                     Program, (long long)incomplete, (long long)filesWithIncomplete);
    }
    if (batch.statistics) {
        if (options.shard)
            writeTable(ClusterTable::endLine(tableRows));
        if (status != 0 || !tableWritten || !table.commit()) {
            const QString why = tableWritten ? table.errorString() : QStringLiteral("a line could not be written");
            table.cancel();
            if (status == 0) {
                std::fprintf(err, "%s: the table %s could not be written: %s\n", Program,
                             options.table == "-" ? "on standard output" : options.table.constData(),
                             why.toLocal8Bit().constData());
                return 1;
            }
        }
    }
    if (status != 0)
        return status;
    if (tested == 0 && !options.shard) {
        std::fprintf(err, "%s: nothing was tested (%s), so the PP is nan\n", Program,
                     paths.isEmpty() ? "no file" : "no complete square");
        return 1;
    }
    return allRead && outputsWritten ? 0 : 1;
}

} // namespace

namespace PercolateTool {

bool parse(const QStringList &arguments, PercolateOptions &options, QString *errorString)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Tests landscape files (plain text, or rasters GDAL reads) for percolation and writes the report:\n"
            "a line per file (path, tab, 1 or 0), then \"Probability Percolation (PP) = \" and the mean.\n"
            "The same test and report as Vantrix by default."));
    const QCommandLineOption cover({"c", "cover"},
                                   "The class value that counts as habitat; or values and ranges, all habitat "
                                   "(41,42 or 41-43); or each: every class value present on its own (report "
                                   "lines PATH#cover=CLASS). Default: the cover value of config.txt in the "
                                   "working directory, else 1.",
                                   "COVER");
    const QCommandLineOption rule("rule",
                                  "walk (the fixed walk of Vantrix), cluster4 (complete search, cells joined by "
                                  "edges) or cluster8 (by edges and corners). Default: walk.",
                                  "RULE", "walk");
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
                                        "Cluster rules, whole landscapes: also write each cell's cluster size (0 for "
                                        "a cell that is not habitat) as a UInt32 GeoTIFF; {name} as for --tile-map.",
                                        "FILE");
    const QCommandLineOption output({"o", "output"},
                                    "Write the report to FILE, replacing it only with a complete report; {shard} in "
                                    "FILE stands for the shard (03-of-10). Default: standard output.",
                                    "FILE");
    const QCommandLineOption jobs({"j", "jobs"}, "Test N files at a time. Default: the number of processor cores.",
                                  "N");
    const QCommandLineOption filesFrom("files-from", "Also test the paths in LIST, one per line; - is standard input.",
                                       "LIST");
    const QCommandLineOption shard("shard",
                                   "Test only part K of N (K from 1) of the files given and listed, in contiguous "
                                   "blocks; the parts' reports, merged, are the report of the whole.",
                                   "K/N");
    const QCommandLineOption merge("merge", "Join reports made from parts of one batch, given in place of FILEs, "
                                            "into the report of the whole batch.");
    const QCommandLineOption quiet({"q", "quiet"}, "No progress or notes on standard error.");
    parser.addOptions({cover, rule, direction, band, tile, extent, table, tileMap, clusterMap, output, jobs, filesFrom,
                       shard, merge, quiet});
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
    if (options.shard)
        options.table = options.shard->expand(options.table);
    else if (options.table.contains(Shard::placeholder()))
        return fail(QStringLiteral("--table names {shard}, but no --shard is given"));
    options.files = CommandLine::bytes(parser.positionalArguments());

    if (parser.isSet(merge)) {
        for (const QCommandLineOption *testOption :
             {&cover, &rule, &direction, &band, &tile, &extent, &table, &tileMap, &clusterMap, &jobs, &filesFrom, &shard}) {
            if (parser.isSet(*testOption))
                return fail(QStringLiteral("--merge takes only reports or tables, --output and --quiet"));
        }
        if (options.files.isEmpty())
            return fail(QStringLiteral("no reports to merge"));
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
    if (parser.value(extent) == QLatin1String("full"))
        options.extent = PercolationBatch::Full;
    else if (parser.value(extent) != QLatin1String("square"))
        return fail(QStringLiteral("--extent takes square or full, not '%1'").arg(parser.value(extent)));
    if (options.extent == PercolationBatch::Full && walk)
        return fail(QStringLiteral("--extent full is for the cluster rules (cluster4, cluster8): the walk tests "
                                   "the square of side the number of rows"));
    options.tileMap = parser.value(tileMap).toLatin1();
    options.clusterMap = parser.value(clusterMap).toLatin1();
    if (options.table == "-" && options.output.isEmpty())
        return fail(QStringLiteral("--table - writes the table on standard output: send the report elsewhere with "
                                   "--output"));
    bool ok = false;
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
    if (!options.clusterMap.isEmpty()) {
        if (walk)
            return fail(QStringLiteral("--cluster-map needs a cluster rule (--rule cluster4 or cluster8)"));
        if (options.cover && options.cover->isEach())
            return fail(QStringLiteral("--cluster-map maps one cover: give a class value or a set, not each"));
    }
    for (const QByteArray *map : {&options.tileMap, &options.clusterMap}) {
        if (!map->isEmpty() && (*map == options.output || *map == options.table))
            return fail(QStringLiteral("a map would be written over the report or the table ('%1')")
                                .arg(QString::fromLatin1(*map)));
    }
    if (!options.table.isEmpty() && options.table == options.output)
        return fail(QStringLiteral("--table and --output name the same file, '%1'").arg(QString::fromLatin1(options.table)));
    if (!CommandLine::readJobs(parser, jobs, options.jobs, errorString))
        return false;
    if (parser.isSet(filesFrom))
        options.filesFrom = parser.value(filesFrom).toLatin1();
    else if (options.files.isEmpty())
        return fail(QStringLiteral("no files given"));
    return true;
}

int run(const PercolateOptions &options, std::FILE *err)
{
    return options.mode == PercolateOptions::Merge ? merge(options, err) : test(options, err);
}

} // namespace PercolateTool
