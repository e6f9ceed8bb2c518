#include "sweeptool.h"

#include "commandline.h"
#include "landscapeoptions.h"
#include "outputfile.h"
#include "progressline.h"
#include "sweeptable.h"
#include "systemmemory.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <memory>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

// vantrix-sweep's command line, read into SweepOptions, and its run up to
// the table: the part of vantrix-sweep that does not paint, for the bindings
// too.
namespace {

const char Program[] = "vantrix-sweep";

int writeTable(const SweepOptions &options, const QByteArray &bytes, std::FILE *err)
{
    QString error;
    if (!OutputFile::writeWhole(options.output, bytes, &error)) {
        std::fprintf(err, "%s: the table %s could not be written: %s\n", Program,
                     options.output.isEmpty() || options.output == "-" ? "on standard output" : options.output.constData(),
                     error.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}


// Whether two output names would end in the same file.
bool sameFile(const QByteArray &a, const QByteArray &b)
{
    QByteArray ta;
    QByteArray tb;
    if (!OutputFile::resolveLinks(a, ta) || !OutputFile::resolveLinks(b, tb))
        return a == b;
    struct stat sa;
    struct stat sb;
    if (::stat(ta.constData(), &sa) == 0 && ::stat(tb.constData(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    auto absolute = [](const QByteArray &path) {
        return QFile::encodeName(QFileInfo(QFile::decodeName(path)).absoluteFilePath());
    };
    return absolute(ta) == absolute(tb);
}

// The landscape options of arguments read once per size given to --size:
// LandscapeOptions reads one size, so each is read on its own with the other
// options as given. false, with the reason, for a usage error.
bool readLandscapes(const QCommandLineParser &parser, const LandscapeOptions &landscapeOptions,
                    PercolationSweep::Parameters &parameters, QString *errorString)
{
    const QStringList names{"model", "roughness", "seed-share", "seed"};
    QStringList sizes{QString()};
    if (parser.isSet(QStringLiteral("size")))
        sizes = parser.value(QStringLiteral("size")).split(QLatin1Char(','));
    if (sizes.size() > 64) {
        *errorString = QStringLiteral("--size takes at most 64 sizes");
        return false;
    }
    parameters.sizes.clear();
    for (const QString &size : sizes) {
        QStringList arguments{QStringLiteral("vantrix-sweep")};
        for (const QString &name : names) {
            if (parser.isSet(name))
                arguments << QStringLiteral("--") + name << parser.value(name);
        }
        if (parser.isSet(QStringLiteral("size")))
            arguments << QStringLiteral("--size") << size.trimmed();
        QCommandLineParser one;
        landscapeOptions.addTo(one);
        if (!one.parse(arguments)) {
            *errorString = one.errorText();
            return false;
        }
        if (!landscapeOptions.read(one, parameters.landscape, errorString))
            return false;
        if (std::find(parameters.sizes.begin(), parameters.sizes.end(), parameters.landscape.size)
            != parameters.sizes.end()) {
            *errorString = QStringLiteral("--size gives %1 twice").arg(parameters.landscape.size);
            return false;
        }
        parameters.sizes.push_back(parameters.landscape.size);
    }
    parameters.landscape.size = parameters.sizes.front();
    if (parameters.sizes.size() == 1)
        parameters.sizes.clear();
    return true;
}

} // namespace

namespace SweepTool {

bool wantsPlot(const QStringList &arguments)
{
    return std::any_of(arguments.begin(), arguments.end(),
                       [](const QString &argument) { return argument.startsWith(QLatin1String("--plot")); });
}

bool parse(const QStringList &arguments, SweepOptions &options, QString *errorString)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Generates neutral landscapes in memory over a range of habitat shares, tests each under the\n"
            "rules asked for, and writes the table of percolation probabilities (PP) with 95 % Wilson\n"
            "intervals; optionally plots the PP curves."));
    LandscapeOptions landscapeOptions;
    landscapeOptions.addTo(parser);
    const QCommandLineOption share("share", "The habitat shares: FROM:TO:STEP, or P,P,...", "SHARES");
    const QCommandLineOption replicates("replicates", "Landscapes R per share (replicates 1 to R).", "R");
    const QCommandLineOption rule("rule", "Rules, comma-separated: cluster4 (complete search, cells joined by edges), "
                                          "cluster8 (by edges and corners), walk (the desktop program's fixed walk, "
                                          "which misses some clusters that span). Default: cluster4.", "RULES",
                                  "cluster4");
    const QCommandLineOption direction("direction", "either, left-right or top-bottom. Default: either.",
                                       "DIRECTION", "either");
    const QCommandLineOption jobs({"j", "jobs"}, "Threads. Default: the number of processor cores.", "N");
    const QCommandLineOption shard("shard", "Compute only part K of N (K from 1) of the replicates; join the parts "
                                            "with --merge.", "K/N");
    const QCommandLineOption output({"o", "output"}, "Write the table to TABLE ({shard} stands for the shard; - "
                                                     "for standard output). Default: standard output.", "TABLE");
    const QCommandLineOption plot("plot", "Draw the PP curves into FILE (.png or .svg): a curve per rule and size.",
                                  "FILE");
    const QCommandLineOption observables("observables", "Add the cluster rules' observables to the table: the largest "
                                                        "cluster's share, clusters per cell and the mean finite "
                                                        "cluster size, means over replicates with standard errors.");
    const QCommandLineOption thresholds("thresholds", "Write each replicate's critical share per cluster rule to "
                                                      "FILE ({shard} stands for the shard).", "FILE");
    const QCommandLineOption plotObservables("plot-observables", "Draw the largest cluster's share and the mean finite "
                                                                 "cluster size against the share into FILE (.png or "
                                                                 ".svg), a curve per size.", "FILE");
    const QCommandLineOption merge("merge", "Join shard tables, given in place of arguments, into the table of "
                                            "the whole run.");
    const QCommandLineOption quiet({"q", "quiet"}, "No progress line on standard error.");
    parser.addOptions({share, replicates, rule, direction, jobs, shard, output, plot, observables, thresholds,
                       plotObservables, merge, quiet});
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("TABLE", "With --merge: the shard tables to join.", "[TABLE...]");
    auto fail = [errorString](const QString &why) {
        *errorString = why;
        return false;
    };
    if (!CommandLine::parse(parser, arguments, errorString))
        return false;
    options.quiet = parser.isSet(quiet);
    options.output = parser.value(output).toLatin1();
    options.plot = parser.value(plot);
    options.plotObservables = parser.value(plotObservables);
    options.thresholds = parser.value(thresholds).toLatin1();
    std::optional<Shard> part;
    if (!CommandLine::readShard(parser, shard, options.output, part, errorString))
        return false;
    if (parser.isSet(thresholds)) {
        if (options.thresholds.isEmpty())
            return fail(QStringLiteral("--thresholds needs a file name"));
        if (part)
            options.thresholds = part->expand(options.thresholds);
        else if (options.thresholds.contains(Shard::placeholder()))
            return fail(QStringLiteral("--thresholds names {shard}, but no --shard is given"));
    }
    // Every output its own file.
    const QList<QPair<QString, QByteArray>> outputs{{QStringLiteral("--output"), options.output.isEmpty() ? QByteArray("-") : options.output},
                                                    {QStringLiteral("--plot"), options.plot.toLatin1()},
                                                    {QStringLiteral("--plot-observables"), options.plotObservables.toLatin1()},
                                                    {QStringLiteral("--thresholds"), options.thresholds}};
    for (const auto &[name, path] : {outputs[1], outputs[2]}) {
        if (!path.isEmpty() && !path.toLower().endsWith(".png") && !path.toLower().endsWith(".svg"))
            return fail(QStringLiteral("%1 writes .png or .svg files, not '%2'").arg(name, QString::fromLatin1(path)));
    }
    for (qsizetype i = 0; i < outputs.size(); ++i) {
        for (qsizetype j = i + 1; j < outputs.size(); ++j) {
            if (!outputs[i].second.isEmpty() && !outputs[j].second.isEmpty()
                && sameFile(outputs[i].second, outputs[j].second))
                return fail(QStringLiteral("%1 and %2 name the same file, '%3'")
                                    .arg(outputs[j].first, outputs[i].first, QString::fromLatin1(outputs[j].second)));
        }
    }

    if (parser.isSet(merge)) {
        for (const QString &name : parser.optionNames()) {
            if (name != QLatin1String("merge") && name != QLatin1String("output") && name != QLatin1String("o")
                && name != QLatin1String("plot") && name != QLatin1String("plot-observables")
                && name != QLatin1String("quiet") && name != QLatin1String("q"))
                return fail(QStringLiteral("--merge takes only tables, --output, --plot, --plot-observables and --quiet"));
        }
        if (parser.positionalArguments().isEmpty())
            return fail(QStringLiteral("no tables to merge"));
        options.mode = SweepOptions::Merge;
        options.tables = CommandLine::bytes(parser.positionalArguments());
        return true;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    PercolationSweep::Parameters &parameters = options.parameters;
    if (!readLandscapes(parser, landscapeOptions, parameters, errorString))
        return false;
    if (!parser.isSet(share) || !parser.isSet(replicates))
        return fail(QStringLiteral("--share and --replicates are needed"));
    if (!LandscapeOptions::parseShares(parser.value(share), parameters.shares, parameters.shareTexts, errorString))
        return false;
    bool ok = false;
    parameters.replicates = parser.value(replicates).toLongLong(&ok, 10);
    if (!ok || parameters.replicates < 1 || parameters.replicates > (qint64(1) << 40))
        return fail(QStringLiteral("--replicates takes a whole number of at least 1, not '%1'")
                            .arg(parser.value(replicates)));
    if (!CommandLine::readRules(parser.value(rule), parameters.rules, errorString))
        return false;
    if (!CommandLine::readDirection(parser.value(direction), parameters.direction, errorString))
        return false;
    parameters.shard = part;
    parameters.observables = parser.isSet(observables);
    parameters.thresholds = parser.isSet(thresholds);
    if (parameters.observables || parameters.thresholds) {
        const QString what = parameters.observables ? QStringLiteral("--observables") : QStringLiteral("--thresholds");
        if (std::all_of(parameters.rules.begin(), parameters.rules.end(),
                        [](SpanningRule::Kind kind) { return kind == SpanningRule::Walk; }))
            return fail(QStringLiteral("%1 needs a cluster rule (cluster4, cluster8)").arg(what));
        for (const qint64 size : parameters.sizeList()) {
            if (!PercolationSweep::onePassFits(size))
                return fail(QStringLiteral("%1 takes sizes up to 46338, not %2").arg(what).arg(size));
        }
    }
    if (!options.plotObservables.isEmpty() && !parameters.observables)
        return fail(QStringLiteral("--plot-observables needs --observables"));
    return CommandLine::readJobs(parser, jobs, options.jobs, errorString);
}

int runTable(const SweepOptions &options, std::FILE *err, QList<SweepTable::Row> *rows)
{
    const PercolationSweep::Parameters &parameters = options.parameters;
    // Each thread holds one landscape while it builds and tests it.
    qint64 perThread = 0;
    qint64 largestSize = 0;
    for (const qint64 size : parameters.sizeList()) {
        const qint64 bytes = PercolationSweep::bytesPerThread(parameters, size);
        if (bytes > perThread) {
            perThread = bytes;
            largestSize = size;
        }
    }
    int jobs = options.jobs;
    if (const qint64 memory = SystemMemory::available(); memory > 0) {
        if (perThread > memory) {
            std::fprintf(err, "%s: %s landscapes of %lld x %lld cells need about %lld MB each, more than the %lld MB "
                              "this process may use (see --help)\n",
                         Program, NeutralLandscape::name(parameters.landscape.model).toLatin1().constData(),
                         (long long)largestSize, (long long)largestSize, (long long)(perThread >> 20),
                         (long long)(memory >> 20));
            return 2;
        }
        jobs = int(std::min<qint64>(jobs, std::max<qint64>(1, memory / 2 / perThread)));
    }

    OutputFile thresholds;
    if (parameters.thresholds && !thresholds.open(options.thresholds)) {
        std::fprintf(err, "%s: cannot write the thresholds %s: %s\n", Program, options.thresholds.constData(),
                     thresholds.errorString().toLocal8Bit().constData());
        return 1;
    }
    bool thresholdsWritten = true;
    auto writeThresholds = [&](const QByteArray &line) {
        if (thresholdsWritten && thresholds.write(line) != line.size())
            thresholdsWritten = false;
    };
    qint64 thresholdLines = 0;
    if (parameters.thresholds) {
        if (parameters.shard)
            writeThresholds(SweepTable::thresholdShardLine(*parameters.shard, PercolationSweep::description(parameters)));
        writeThresholds(SweepTable::thresholdHeader());
    }

    const Shard part = parameters.shard.value_or(Shard());
    const qint64 total = (part.end(parameters.replicates) - part.begin(parameters.replicates))
            * qint64(parameters.sizeList().size());
    std::unique_ptr<ProgressLine> progress;
    if (!options.quiet && isatty(fileno(err)))
        progress = std::make_unique<ProgressLine>(err, total, "replicates");
    SweepTable table;
    try {
        const PercolationSweep::Result result = PercolationSweep::run(
                parameters, jobs,
                [&](qint64 done, qint64) {
                    if (progress)
                        progress->update(done);
                },
                [&](const PercolationSweep::Threshold &threshold) {
                    writeThresholds(SweepTable::thresholdLine(parameters, threshold));
                    ++thresholdLines;
                });
        table = SweepTable::of(parameters, result);
    } catch (const std::bad_alloc &) {
        if (progress)
            progress->interrupt();
        thresholds.cancel();
        std::fprintf(err, "%s: there is not enough memory for landscapes of %lld x %lld cells\n", Program,
                     (long long)largestSize, (long long)largestSize);
        return 1;
    }
    if (parameters.thresholds && parameters.shard)
        writeThresholds(SweepTable::thresholdEndLine(thresholdLines));
    if (parameters.thresholds && (!thresholdsWritten || !thresholds.commit())) {
        const QString why = thresholds.errorString();
        thresholds.cancel();
        std::fprintf(err, "%s: the thresholds %s could not be written: %s\n", Program, options.thresholds.constData(),
                     why.toLocal8Bit().constData());
        return 1;
    }
    if (const int status = writeTable(options, table.serialize(), err); status != 0)
        return status;
    if (rows)
        *rows = table.rows;
    return 0;
}


} // namespace SweepTool
