#include "percolatetool.h"

#include "commandline.h"
#include "configfile.h"
#include "linereader.h"
#include "outputfile.h"
#include "percolationbatch.h"
#include "percolationreport.h"
#include "progressline.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <functional>
#include <memory>

#include <unistd.h>

namespace {

const char Program[] = "vantrix-percolate";

// A report line's name for square (row, column) of path.
QByteArray squareName(const QByteArray &path, const PercolationBatch::Square &square)
{
    return path + '#' + QByteArray::number(square.row) + ',' + QByteArray::number(square.column);
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

int merge(const PercolateOptions &options, std::FILE *err)
{
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
    if (options.cover) {
        batch.habitatValue = *options.cover;
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
        batch.habitatValue = config.coverValue;
    }

    QByteArrayList paths = options.files;
    if (!options.filesFrom.isEmpty()) {
        if (const int status = readPathList(options.filesFrom, paths, err); status != 0)
            return status;
    }
    QByteArray partDescription;
    if (options.shard) {
        QByteArrayList parameters{"cover=" + QByteArray::number(batch.habitatValue),
                                  "rule=" + SpanningRule::name(batch.rule.kind).toLatin1(),
                                  "direction=" + SpanningRule::name(batch.rule.direction).toLatin1(),
                                  "band=" + QByteArray::number(batch.band),
                                  "tile=" + QByteArray::number(batch.tileSize)};
        partDescription = PercolationReport::partDescription(paths, parameters);
        const qint64 total = paths.size();
        paths = paths.mid(options.shard->begin(total), options.shard->end(total) - options.shard->begin(total));
    }

    std::unique_ptr<ProgressLine> progress;
    if (!options.quiet && isatty(fileno(err)))
        progress = std::make_unique<ProgressLine>(err, paths.size(), "files");
    auto say = [&](const QByteArray &path, const QString &what) {
        if (progress)
            progress->interrupt();
        std::fprintf(err, "%s: %s: %s\n", Program, path.constData(), what.toLocal8Bit().constData());
    };
    bool allRead = true;
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
            if (batch.tileSize > 0 && result.errorString.isEmpty()) {
                for (const PercolationBatch::Square &square : result.squares)
                    report.addResult(squareName(path, square), square.percolates);
                tested += qint64(result.squares.size());
                incomplete += result.incompleteSquares;
                filesWithIncomplete += result.incompleteSquares > 0 ? 1 : 0;
            } else {
                report.addResult(path, result.percolates);
                ++tested;
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
    if (status != 0)
        return status;
    if (tested == 0 && !options.shard) {
        std::fprintf(err, "%s: nothing was tested (%s), so the PP is nan\n", Program,
                     paths.isEmpty() ? "no file" : "no complete square");
        return 1;
    }
    return allRead ? 0 : 1;
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
                                   "The class value that counts as habitat. Default: the cover value of "
                                   "config.txt in the working directory, else 1.",
                                   "VALUE");
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
    parser.addOptions({cover, rule, direction, band, tile, output, jobs, filesFrom, shard, merge, quiet});
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
    options.files = CommandLine::bytes(parser.positionalArguments());

    if (parser.isSet(merge)) {
        for (const QCommandLineOption *testOption : {&cover, &rule, &direction, &band, &tile, &jobs, &filesFrom, &shard}) {
            if (parser.isSet(*testOption))
                return fail(QStringLiteral("--merge takes only reports, --output and --quiet"));
        }
        if (options.files.isEmpty())
            return fail(QStringLiteral("no reports to merge"));
        options.mode = PercolateOptions::Merge;
        return true;
    }

    if (parser.isSet(cover)) {
        bool ok = false;
        options.cover = parser.value(cover).toInt(&ok, 10);
        if (!ok)
            return fail(QStringLiteral("the cover value '%1' is not a 32-bit integer").arg(parser.value(cover)));
    }
    if (!CommandLine::readRule(parser.value(rule), parser.value(direction), options.rule, errorString))
        return false;
    bool ok = false;
    options.band = parser.value(band).toInt(&ok, 10);
    if (!ok || options.band < 1)
        return fail(QStringLiteral("--band takes a band number from 1, not '%1'").arg(parser.value(band)));
    if (parser.isSet(tile)) {
        options.tileSize = parser.value(tile).toLongLong(&ok, 10);
        if (!ok || options.tileSize < 1 || options.tileSize > 1 << 20)
            return fail(QStringLiteral("--tile takes a side of 1 to 1048576 cells, not '%1'").arg(parser.value(tile)));
    }
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
