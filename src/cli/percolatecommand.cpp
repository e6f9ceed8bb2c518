#include "percolatecommand.h"

#include "commandline.h"
#include "configfile.h"
#include "linereader.h"
#include "outputfile.h"
#include "percolationreport.h"
#include "progressline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <memory>
#include <set>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Arguments are Latin-1 decodings of argv: toLatin1() gives the bytes back.
QByteArray bytes(const QString &argument)
{
    return argument.toLatin1();
}

QByteArrayList bytes(const QStringList &arguments)
{
    QByteArrayList out;
    out.reserve(arguments.size());
    for (const QString &argument : arguments)
        out << bytes(argument);
    return out;
}

// A report line's name for square (row, column) of path.
QByteArray squareName(const QByteArray &path, const PercolationBatch::Square &square)
{
    return path + '#' + QByteArray::number(square.row) + ',' + QByteArray::number(square.column);
}

} // namespace

PercolateCommand::PercolateCommand(QStringList arguments)
    : m_arguments(std::move(arguments))
{
}

int PercolateCommand::usageError(const QString &message)
{
    std::fprintf(m_err, "vantrix-percolate: %s (see --help)\n", bytes(message).constData());
    return 2;
}

int PercolateCommand::run()
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
                                   "blocks; the parts' reports, merged in order, are the report of the whole.",
                                   "K/N");
    const QCommandLineOption merge("merge", "Join reports made from parts of one batch, given in place of FILEs, "
                                            "into the report of the whole batch.");
    const QCommandLineOption quiet({"q", "quiet"}, "No progress on standard error.");
    parser.addOptions({cover, rule, direction, band, tile, output, jobs, filesFrom, shard, merge, quiet});
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("FILE", "Landscape files to test (with --merge: reports to join).", "[FILE...]");

    QString error;
    if (!CommandLine::parse(parser, m_arguments, &error))
        return usageError(error);
    m_output = bytes(parser.value(output));
    if (!CommandLine::readShard(parser, shard, m_output, m_shard, &error))
        return usageError(error);

    if (parser.isSet(merge)) {
        for (const QCommandLineOption *testOption : {&cover, &rule, &direction, &band, &tile, &jobs, &filesFrom, &shard}) {
            if (parser.isSet(*testOption))
                return usageError(QStringLiteral("--merge takes only reports, --output and --quiet"));
        }
        if (parser.positionalArguments().isEmpty())
            return usageError(QStringLiteral("no reports to merge"));
        return this->merge(bytes(parser.positionalArguments()));
    }

    PercolationBatch::Options options;
    if (parser.isSet(cover)) {
        bool ok = false;
        options.habitatValue = parser.value(cover).toInt(&ok, 10);
        if (!ok)
            return usageError(QStringLiteral("the cover value '%1' is not a 32-bit integer").arg(parser.value(cover)));
    } else {
        ConfigFile config;
        config.read(QStringLiteral("config.txt"));
        options.habitatValue = config.coverValue;
    }
    const auto kind = SpanningRule::kindNamed(parser.value(rule));
    if (!kind)
        return usageError(QStringLiteral("--rule takes walk, cluster4 or cluster8, not '%1'").arg(parser.value(rule)));
    const auto crossing = SpanningRule::directionNamed(parser.value(direction));
    if (!crossing) {
        return usageError(QStringLiteral("--direction takes either, left-right or top-bottom, not '%1'")
                                  .arg(parser.value(direction)));
    }
    options.rule = SpanningRule(*kind, *crossing);
    bool ok = false;
    options.band = parser.value(band).toInt(&ok, 10);
    if (!ok || options.band < 1)
        return usageError(QStringLiteral("--band takes a band number from 1, not '%1'").arg(parser.value(band)));
    if (parser.isSet(tile)) {
        options.tileSize = parser.value(tile).toLongLong(&ok, 10);
        if (!ok || options.tileSize < 1 || options.tileSize > 1 << 20)
            return usageError(QStringLiteral("--tile takes a side of 1 to 1048576 cells, not '%1'").arg(parser.value(tile)));
    }

    int jobCount;
    if (!CommandLine::readJobs(parser, jobs, jobCount, &error))
        return usageError(error);

    QByteArrayList paths = bytes(parser.positionalArguments());
    if (parser.isSet(filesFrom)) {
        if (const int status = readPathList(bytes(parser.value(filesFrom)), paths); status != 0)
            return status;
    } else if (paths.isEmpty()) {
        return usageError(QStringLiteral("no files given"));
    }
    if (m_shard) {
        const qint64 total = paths.size();
        paths = paths.mid(m_shard->begin(total), m_shard->end(total) - m_shard->begin(total));
    }
    return runTests(paths, options, jobCount, !parser.isSet(quiet) && isatty(fileno(m_err)));
}

int PercolateCommand::readPathList(const QByteArray &list, QByteArrayList &paths)
{
    LineReader reader;
    if (!reader.open(list))
        return usageError(QStringLiteral("cannot read the list %1: %2").arg(QString::fromLatin1(list), reader.errorString()));
    QByteArray line;
    LineReader::Status status;
    while ((status = reader.next(line)) == LineReader::Line) {
        if (line.endsWith('\r'))
            line.chop(1); // lists written with CR LF line ends
        if (!line.isEmpty())
            paths << line;
    }
    if (status == LineReader::Error) {
        std::fprintf(m_err, "vantrix-percolate: %s is not a list of paths: %s\n", list.constData(),
                     reader.errorString().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

int PercolateCommand::writeReport(const std::function<void(PercolationReport &)> &fill)
{
    OutputFile target;
    if (!target.open(m_output)) {
        std::fprintf(m_err, "vantrix-percolate: cannot write the report %s: %s\n", m_output.constData(),
                     target.errorString().toLocal8Bit().constData());
        return 1;
    }
    PercolationReport report(&target);
    fill(report);
    report.finish();
    QString error;
    if (report.hasError()) {
        error = report.errorString();
        target.cancel();
    } else if (!target.commit()) {
        error = target.errorString();
    }
    if (!error.isEmpty()) {
        std::fprintf(m_err, "vantrix-percolate: the report %s could not be written: %s\n",
                     m_output.isEmpty() ? "on standard output" : m_output.constData(), error.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

int PercolateCommand::runTests(const QByteArrayList &paths, const PercolationBatch::Options &options, int jobs,
                               bool progress)
{
    std::unique_ptr<ProgressLine> progressLine;
    if (progress)
        progressLine = std::make_unique<ProgressLine>(m_err, paths.size(), "files");
    bool allRead = true;
    qint64 incomplete = 0;
    qint64 filesWithIncomplete = 0;
    const int status = writeReport([&](PercolationReport &report) {
        PercolationBatch::run(paths, options, jobs, [&](const PercolationBatch::Result &result) {
            const QByteArray &path = paths[result.index];
            if (!result.errorString.isEmpty()) {
                allRead = false;
                if (progressLine)
                    progressLine->interrupt();
                std::fprintf(m_err, "vantrix-percolate: %s: %s\n", path.constData(),
                             result.errorString.toLocal8Bit().constData());
            }
            if (options.tileSize > 0 && result.errorString.isEmpty()) {
                for (const PercolationBatch::Square &square : result.squares)
                    report.addResult(squareName(path, square), square.percolates);
                incomplete += result.incompleteSquares;
                filesWithIncomplete += result.incompleteSquares > 0 ? 1 : 0;
            } else {
                report.addResult(path, result.percolates);
            }
            if (progressLine)
                progressLine->update(result.index + 1);
        });
    });
    if (incomplete > 0) {
        std::fprintf(m_err,
                     "vantrix-percolate: %lld incomplete square(s) at the right and bottom edges of %lld "
                     "landscape(s) left out\n",
                     (long long)incomplete, (long long)filesWithIncomplete);
    }
    return status != 0 ? status : (allRead ? 0 : 1);
}

int PercolateCommand::merge(const QByteArrayList &reports)
{
    auto refuse = [this](const QByteArray &path, const QString &why) {
        std::fprintf(m_err, "vantrix-percolate: %s: %s\n", path.constData(), why.toLocal8Bit().constData());
        return 1;
    };
    // Shard reports named with {shard} say which part they hold: then every
    // part must be there, once, in order.
    QList<Shard> shards;
    for (const QByteArray &path : reports) {
        const auto shard = Shard::fromName(path);
        if (shard && !shards.isEmpty() && shard->count != shards[0].count) {
            return refuse(path, QStringLiteral("holds shard %1 of %2, but the parts before it are of %3: parts of "
                                               "different splits")
                                        .arg(shard->index).arg(shard->count).arg(shards[0].count));
        }
        if (shard)
            shards << *shard;
        else if (!shards.isEmpty())
            return refuse(path, QStringLiteral("does not say which shard it holds, but the parts before it do"));
    }
    if (!shards.isEmpty() && shards.size() != reports.size())
        return refuse(reports[0], QStringLiteral("does not say which shard it holds, but parts after it do"));
    if (!shards.isEmpty()) {
        for (qsizetype i = 0; i < reports.size(); ++i) {
            if (shards[i].index != i + 1) {
                return refuse(reports[i], QStringLiteral("holds shard %1 of %2, but shard %3 belongs here: a part is "
                                                         "missing, doubled or out of order")
                                                  .arg(shards[i].index).arg(shards[i].count).arg(i + 1));
            }
        }
        if (reports.size() != shards[0].count)
            return refuse(reports.last(), QStringLiteral("is the last part given, but there are %1").arg(shards[0].count));
    }
    std::set<std::pair<dev_t, ino_t>> seen;
    QList<PercolationReport::Entry> entries;
    for (const QByteArray &path : reports) {
        LineReader reader;
        if (!reader.open(path))
            return refuse(path, reader.errorString());
        struct stat info;
        if (path != "-" && ::stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode)
            && !seen.insert({info.st_dev, info.st_ino}).second)
            return refuse(path, QStringLiteral("is given twice"));
        PercolationReport::Parser parser;
        QByteArray line;
        LineReader::Status status;
        while ((status = reader.next(line)) == LineReader::Line && parser.addLine(line)) {
        }
        if (status == LineReader::Error)
            return refuse(path, QStringLiteral("not a report: %1").arg(reader.errorString()));
        if (!parser.finish(reader.lineEnded()))
            return refuse(path, QStringLiteral("not a complete report: %1").arg(parser.errorString()));
        entries += parser.entries();
    }
    return writeReport([&entries](PercolationReport &report) {
        for (const PercolationReport::Entry &entry : entries)
            report.addResult(entry.encodedPath, entry.result);
    });
}
