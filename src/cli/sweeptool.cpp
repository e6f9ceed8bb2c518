#include "sweeptool.h"

#include "commandline.h"
#include "landscapeoptions.h"
#include "linereader.h"
#include "outputfile.h"
#include "ppcurveplot.h"
#include "progressline.h"
#include "splitparts.h"
#include "sweeptable.h"
#include "systemmemory.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char Program[] = "vantrix-sweep";

// The sizes of a table's rows, in the order they come.
QList<qint64> sizesOf(const QList<SweepTable::Row> &rows)
{
    QList<qint64> sizes;
    for (const SweepTable::Row &row : rows) {
        if (!sizes.contains(row.size))
            sizes << row.size;
    }
    return sizes;
}

// The curves of a table: one per size and rule, styled by
// PPCurvePlot::sweepCurves() so that a rule has one line and a size one
// colour in every figure of the table, whichever rules a figure leaves out;
// in the legend's order, by rule, then by size. value(row, point) gives a
// point from a row, or false to leave the row out.
QList<PPCurve> curvesOf(const QList<SweepTable::Row> &rows,
                        const std::function<bool(const SweepTable::Row &, PPCurvePoint &)> &value)
{
    QList<PPCurvePlot::Series> series;
    QList<QPair<qint64, QByteArray>> keys;
    for (const SweepTable::Row &row : rows) {
        PPCurvePoint point;
        if (!value(row, point))
            continue;
        const QPair<qint64, QByteArray> key(row.size, row.rule);
        qsizetype at = keys.indexOf(key);
        if (at < 0) {
            keys << key;
            series << PPCurvePlot::Series{QString::fromLatin1(row.rule), row.size, {}};
            at = series.size() - 1;
        }
        series[at].points << point;
    }
    return PPCurvePlot::sweepCurves(series, sizesOf(rows));
}

bool ppPoint(const SweepTable::Row &row, PPCurvePoint &point)
{
    point.share = row.share.toDouble();
    point.pp = row.replicates > 0 ? double(row.spanning) / double(row.replicates) : 0.0;
    SweepTable::wilson(row.spanning, row.replicates, point.low, point.high);
    return true;
}

// "fractal landscapes (H = 0.5), 128 x 128, 1000 replicates, seed 42, either direction";
// with several sizes "..., L = 64, 128, 256, ...".
QString titleOf(const QList<SweepTable::Row> &rows, const QByteArray &parameter, const QByteArray &seed)
{
    if (rows.isEmpty())
        return QString();
    const SweepTable::Row &row = rows.first();
    QString title = QStringLiteral("%1 landscapes").arg(QString::fromLatin1(row.model));
    if (!parameter.isEmpty())
        title += QStringLiteral(" (%1)").arg(QString::fromLatin1(parameter));
    const QList<qint64> sizes = sizesOf(rows);
    if (sizes.size() > 1) {
        QStringList texts;
        for (const qint64 size : sizes)
            texts << QString::number(size);
        title += QStringLiteral(", L = %1, %2 replicates").arg(texts.join(QStringLiteral(", "))).arg(row.replicates);
    } else {
        title += QStringLiteral(", %1 x %1, %2 replicates").arg(row.size).arg(row.replicates);
    }
    if (!seed.isEmpty())
        title += QStringLiteral(", seed %1").arg(QString::fromLatin1(seed));
    return title + QStringLiteral(", %1 direction").arg(QString::fromLatin1(row.direction));
}

// The model's parameter for a title: "H = 0.5", "Q = 0.05", or nothing.
QByteArray parameterOf(const NeutralLandscape::Parameters &landscape)
{
    const QByteArray tag = LandscapeOptions::parameterTag(landscape);
    return tag.isEmpty() ? QByteArray() : tag.mid(1, 1) + " = " + tag.mid(2);
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

int writePlots(const SweepOptions &options, const QList<SweepTable::Row> &rows, const QByteArray &parameter,
               const QByteArray &seed, std::FILE *err)
{
    QString error;
    const QString title = titleOf(rows, parameter, seed);
    if ((!options.plot.isEmpty() || !options.plotObservables.isEmpty()) && sizesOf(rows).size() > PPCurvePlot::maxCurves) {
        std::fprintf(err, "%s: no plot written: a plot tells at most %d sizes apart, and the table has %lld\n", Program,
                     PPCurvePlot::maxCurves, (long long)sizesOf(rows).size());
        return 1;
    }
    // Crossings at the PP where curves of several sizes meet for the table's
    // direction: 0.68 for either, 0.5 for one.
    const PPCurvePlot::Level level =
            PPCurvePlot::levelFor(rows.isEmpty() ? QString() : QString::fromLatin1(rows.first().direction));
    if (!options.plot.isEmpty() && !PPCurvePlot::write(options.plot, title, curvesOf(rows, ppPoint), level, &error)) {
        std::fprintf(err, "%s: the plot %s could not be written: %s\n", Program, options.plot.toLatin1().constData(),
                     error.toLocal8Bit().constData());
        return 1;
    }
    if (options.plotObservables.isEmpty())
        return 0;
    // The largest cluster's share and the mean finite size, each mean with
    // a band of 1.96 standard errors.
    auto observable = [](int index) {
        return [index](const SweepTable::Row &row, PPCurvePoint &point) {
            const std::array<double, 6> values = SweepTable::observedValues(row);
            const double mean = values[size_t(index)];
            if (std::isnan(mean))
                return false;
            const double error = std::isnan(values[size_t(index) + 1]) ? 0.0 : 1.96 * values[size_t(index) + 1];
            point.share = row.share.toDouble();
            point.pp = mean;
            point.low = std::max(0.0, mean - error);
            point.high = mean + error;
            return true;
        };
    };
    if (std::none_of(rows.begin(), rows.end(), [](const SweepTable::Row &row) {
            return row.observed.has_value() || !row.observedText.isEmpty();
        })) {
        std::fprintf(err, "%s: the plot %s could not be written: the table has no observables (see --observables)\n",
                     Program, options.plotObservables.toLatin1().constData());
        return 1;
    }
    const QList<PPCurvePlot::Panel> panels{
            {QStringLiteral("largest cluster / L\u00b2"), curvesOf(rows, observable(0))},
            {QStringLiteral("mean finite cluster size"), curvesOf(rows, observable(4))}};
    if (!PPCurvePlot::writePanels(options.plotObservables, title, panels, &error)) {
        std::fprintf(err, "%s: the plot %s could not be written: %s\n", Program,
                     options.plotObservables.toLatin1().constData(), error.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

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

int merge(const SweepOptions &options, std::FILE *err)
{
    if (const auto collision = OutputFile::overwritesInput(
                {options.output, QFile::encodeName(options.plot), QFile::encodeName(options.plotObservables)}, options.tables)) {
        std::fprintf(err, "%s: %s would be written over %s, which this merge reads; name another output\n", Program,
                     collision->output.constData(), collision->input.constData());
        return 2;
    }
    if (SweepTable::isThresholdPart(SplitParts::firstLineOfFirstFile(options.tables))) {
        if (!options.plot.isEmpty() || !options.plotObservables.isEmpty()) {
            std::fprintf(err, "%s: thresholds are not plotted: give --plot with the tables' merge\n", Program);
            return 2;
        }
        return SplitParts::writeMerge(options.output, Program, "threshold", [&](const auto &write, QString *error) {
            return SweepTable::mergeThresholds(options.tables, write, error);
        }, err);
    }
    QList<SweepTable::Row> rows;
    const int status = SplitParts::writeMerge(options.output, Program, "table", [&](const auto &write, QString *error) {
        return SweepTable::mergeFiles(
                options.tables, write,
                [&](const SweepTable::Row &row) {
                    if (!options.plot.isEmpty() || !options.plotObservables.isEmpty())
                        rows << row;
                },
                error);
    }, err);
    if (status != 0)
        return status;
    // The merged table has no shard line; the plot's title still names the
    // seed and the model's parameter, from a part's.
    QByteArray seed;
    QByteArray parameter;
    LineReader reader;
    QByteArray line;
    Shard shard;
    QByteArray description;
    if (reader.open(options.tables.first()) && reader.next(line) == LineReader::Line
        && SweepTable::parseShardLine(line, shard, description)) {
        for (const QByteArray &field : description.split(' ')) {
            if (field.startsWith("seed="))
                seed = field.mid(5);
            else if (field.startsWith("roughness="))
                parameter = "H = " + field.mid(10);
            else if (field.startsWith("seed-share="))
                parameter = "Q = " + field.mid(11);
        }
    }
    return writePlots(options, rows, parameter, seed, err);
}

int sweep(const SweepOptions &options, std::FILE *err)
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
    return writePlots(options, table.rows, parameterOf(parameters.landscape),
                      QByteArray::number(parameters.landscape.seed), err);
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

int run(const SweepOptions &options, std::FILE *err)
{
    return options.mode == SweepOptions::Merge ? merge(options, err) : sweep(options, err);
}

} // namespace SweepTool
