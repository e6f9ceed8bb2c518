#include "sweeptool.h"

#include "commandline.h"
#include "landscapeoptions.h"
#include "linereader.h"
#include "outputfile.h"
#include "ppcurveplot.h"
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

namespace {

const char Program[] = "vantrix-sweep";

// The plot of a table: a curve per rule, the shares in ascending order.
QList<PPCurve> curvesOf(const QList<SweepTable::Row> &rows)
{
    QList<PPCurve> curves;
    for (const SweepTable::Row &row : rows) {
        auto curve = std::find_if(curves.begin(), curves.end(),
                                  [&row](const PPCurve &c) { return c.name == QString::fromLatin1(row.rule); });
        if (curve == curves.end()) {
            curves.append(PPCurve{QString::fromLatin1(row.rule), {}});
            curve = curves.end() - 1;
        }
        PPCurvePoint point;
        point.share = row.share.toDouble();
        point.pp = row.replicates > 0 ? double(row.spanning) / double(row.replicates) : 0.0;
        SweepTable::wilson(row.spanning, row.replicates, point.low, point.high);
        curve->points << point;
    }
    for (PPCurve &curve : curves) {
        std::sort(curve.points.begin(), curve.points.end(),
                  [](const PPCurvePoint &a, const PPCurvePoint &b) { return a.share < b.share; });
    }
    return curves;
}

// "fractal landscapes (H = 0.5), 128 x 128, 1000 replicates, seed 42, either direction"
QString titleOf(const QList<SweepTable::Row> &rows, const QByteArray &parameter, const QByteArray &seed)
{
    if (rows.isEmpty())
        return QString();
    const SweepTable::Row &row = rows.first();
    QString title = QStringLiteral("%1 landscapes").arg(QString::fromLatin1(row.model));
    if (!parameter.isEmpty())
        title += QStringLiteral(" (%1)").arg(QString::fromLatin1(parameter));
    title += QStringLiteral(", %1 x %1, %2 replicates").arg(row.size).arg(row.replicates);
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

int writePlot(const SweepOptions &options, const QList<SweepTable::Row> &rows, const QByteArray &parameter,
              const QByteArray &seed, std::FILE *err)
{
    if (options.plot.isEmpty())
        return 0;
    QString error;
    if (!PPCurvePlot::write(options.plot, titleOf(rows, parameter, seed), curvesOf(rows), &error)) {
        std::fprintf(err, "%s: the plot %s could not be written: %s\n", Program, options.plot.toLatin1().constData(),
                     error.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

int writeTable(const SweepOptions &options, const QByteArray &bytes, std::FILE *err)
{
    QString error;
    if (!OutputFile::writeWhole(options.output, bytes, &error)) {
        std::fprintf(err, "%s: the table %s could not be written: %s\n", Program,
                     options.output.isEmpty() ? "on standard output" : options.output.constData(),
                     error.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

int merge(const SweepOptions &options, std::FILE *err)
{
    OutputFile target;
    if (!target.open(options.output)) {
        std::fprintf(err, "%s: cannot write the table %s: %s\n", Program, options.output.constData(),
                     target.errorString().toLocal8Bit().constData());
        return 1;
    }
    QList<SweepTable::Row> rows;
    QString error;
    bool written = true;
    const bool merged = SweepTable::mergeFiles(
            options.tables,
            [&](const QByteArray &line) {
                if (written && target.write(line) != line.size())
                    written = false;
            },
            [&](const SweepTable::Row &row) {
                if (!options.plot.isEmpty())
                    rows << row;
            },
            &error);
    if (!merged) {
        target.cancel();
        std::fprintf(err, "%s: the tables cannot be merged: %s\n", Program, error.toLocal8Bit().constData());
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
    return writePlot(options, rows, parameter, seed, err);
}

int sweep(const SweepOptions &options, std::FILE *err)
{
    const PercolationSweep::Parameters &parameters = options.parameters;
    // Each thread holds one landscape while it builds and tests it: the
    // model's working memory and, to test it, up to about 8 bytes per cell
    // more (the walk's queue, the cluster search's labels).
    const qint64 cells = parameters.landscape.size * parameters.landscape.size;
    const qint64 perThread = NeutralLandscape::workingBytes(parameters.landscape) + 8 * cells;
    int jobs = options.jobs;
    if (const qint64 memory = SystemMemory::available(); memory > 0) {
        if (perThread > memory) {
            std::fprintf(err, "%s: %s landscapes of %lld x %lld cells need about %lld MB each, more than the %lld MB "
                              "this process may use (see --help)\n",
                         Program, NeutralLandscape::name(parameters.landscape.model).toLatin1().constData(),
                         (long long)parameters.landscape.size, (long long)parameters.landscape.size,
                         (long long)(perThread >> 20), (long long)(memory >> 20));
            return 2;
        }
        jobs = int(std::min<qint64>(jobs, std::max<qint64>(1, memory / 2 / perThread)));
    }

    const Shard part = parameters.shard.value_or(Shard());
    const qint64 total = part.end(parameters.replicates) - part.begin(parameters.replicates);
    std::unique_ptr<ProgressLine> progress;
    if (!options.quiet && isatty(fileno(err)))
        progress = std::make_unique<ProgressLine>(err, total, "replicates");
    SweepTable table;
    try {
        const PercolationSweep::Result result = PercolationSweep::run(parameters, jobs, [&](qint64 done, qint64) {
            if (progress)
                progress->update(done);
        });
        table = SweepTable::of(parameters, result);
    } catch (const std::bad_alloc &) {
        if (progress)
            progress->interrupt();
        std::fprintf(err, "%s: there is not enough memory for landscapes of %lld x %lld cells\n", Program,
                     (long long)parameters.landscape.size, (long long)parameters.landscape.size);
        return 1;
    }
    if (const int status = writeTable(options, table.serialize(), err); status != 0)
        return status;
    return writePlot(options, table.rows, parameterOf(parameters.landscape),
                     QByteArray::number(parameters.landscape.seed), err);
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
    const QCommandLineOption rule("rule", "Rules, comma-separated: walk, cluster4, cluster8. Default: walk.", "RULES",
                                  "walk");
    const QCommandLineOption direction("direction", "either, left-right or top-bottom. Default: either.",
                                       "DIRECTION", "either");
    const QCommandLineOption jobs({"j", "jobs"}, "Threads. Default: the number of processor cores.", "N");
    const QCommandLineOption shard("shard", "Compute only part K of N (K from 1) of the replicates; join the parts "
                                            "with --merge.", "K/N");
    const QCommandLineOption output({"o", "output"}, "Write the table to TABLE ({shard} stands for the shard). "
                                                     "Default: standard output.", "TABLE");
    const QCommandLineOption plot("plot", "Draw the PP curves into FILE (.png or .svg).", "FILE");
    const QCommandLineOption merge("merge", "Join shard tables, given in place of arguments, into the table of "
                                            "the whole run.");
    const QCommandLineOption quiet({"q", "quiet"}, "No progress on standard error.");
    parser.addOptions({share, replicates, rule, direction, jobs, shard, output, plot, merge, quiet});
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
    std::optional<Shard> part;
    if (!CommandLine::readShard(parser, shard, options.output, part, errorString))
        return false;
    if (!options.plot.isEmpty()) {
        if (!options.plot.endsWith(QLatin1String(".png"), Qt::CaseInsensitive)
            && !options.plot.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive))
            return fail(QStringLiteral("--plot writes .png or .svg files, not '%1'").arg(options.plot));
        if (!options.output.isEmpty() && sameFile(options.output, options.plot.toLatin1()))
            return fail(QStringLiteral("--plot and --output name the same file, '%1'").arg(options.plot));
    }

    if (parser.isSet(merge)) {
        for (const QString &name : parser.optionNames()) {
            if (name != QLatin1String("merge") && name != QLatin1String("output") && name != QLatin1String("o")
                && name != QLatin1String("plot") && name != QLatin1String("quiet") && name != QLatin1String("q"))
                return fail(QStringLiteral("--merge takes only tables, --output, --plot and --quiet"));
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
    if (!landscapeOptions.read(parser, parameters.landscape, errorString))
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
    return CommandLine::readJobs(parser, jobs, options.jobs, errorString);
}

int run(const SweepOptions &options, std::FILE *err)
{
    return options.mode == SweepOptions::Merge ? merge(options, err) : sweep(options, err);
}

} // namespace SweepTool
