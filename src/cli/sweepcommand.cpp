#include "sweepcommand.h"

#include "commandline.h"
#include "landscapeoptions.h"
#include "landscapereader.h"
#include "linereader.h"
#include "outputfile.h"
#include "ppcurveplot.h"
#include "progressline.h"

#include <QCommandLineParser>

#include <algorithm>
#include <memory>

#include <unistd.h>

namespace {

// The plot of a table: a curve per rule, the shares in ascending order.
QList<PPCurve> curvesOf(const SweepTable &table)
{
    QList<PPCurve> curves;
    for (const SweepTable::Row &row : table.rows) {
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

QString titleOf(const SweepTable &table, const QByteArray &seed)
{
    if (table.rows.isEmpty())
        return QString();
    const SweepTable::Row &row = table.rows.first();
    QString title = QStringLiteral("%1 landscapes, %2 x %2, %3 replicates")
                            .arg(QString::fromLatin1(row.model))
                            .arg(row.size)
                            .arg(row.replicates);
    if (!seed.isEmpty())
        title += QStringLiteral(", seed %1").arg(QString::fromLatin1(seed));
    return title + QStringLiteral(", %1 direction").arg(QString::fromLatin1(row.direction));
}

} // namespace

SweepCommand::SweepCommand(QStringList arguments)
    : m_arguments(std::move(arguments))
{
}

bool SweepCommand::wantsPlot(const QStringList &arguments)
{
    return std::any_of(arguments.begin(), arguments.end(),
                       [](const QString &argument) { return argument.startsWith(QLatin1String("--plot")); });
}

int SweepCommand::usageError(const QString &message)
{
    std::fprintf(m_err, "vantrix-sweep: %s (see --help)\n", message.toLatin1().constData());
    return 2;
}

int SweepCommand::run()
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
    QString error;
    if (!CommandLine::parse(parser, m_arguments, &error))
        return usageError(error);
    m_output = parser.value(output).toLatin1();
    m_plot = parser.value(plot);
    std::optional<Shard> part;
    if (!CommandLine::readShard(parser, shard, m_output, part, &error))
        return usageError(error);

    if (parser.isSet(merge)) {
        for (const QString &name : parser.optionNames()) {
            if (name != QLatin1String("merge") && name != QLatin1String("output") && name != QLatin1String("o")
                && name != QLatin1String("plot") && name != QLatin1String("quiet") && name != QLatin1String("q"))
                return usageError(QStringLiteral("--merge takes only tables, --output, --plot and --quiet"));
        }
        if (parser.positionalArguments().isEmpty())
            return usageError(QStringLiteral("no tables to merge"));
        return this->merge(parser.positionalArguments());
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    PercolationSweep::Parameters parameters;
    if (!landscapeOptions.read(parser, parameters.landscape, &error))
        return usageError(error);
    if (!parser.isSet(share) || !parser.isSet(replicates))
        return usageError(QStringLiteral("--share and --replicates are needed"));
    if (!LandscapeOptions::parseShares(parser.value(share), parameters.shares, parameters.shareTexts, &error))
        return usageError(error);
    bool ok = false;
    parameters.replicates = parser.value(replicates).toLongLong(&ok, 10);
    if (!ok || parameters.replicates < 1 || parameters.replicates > (qint64(1) << 40))
        return usageError(QStringLiteral("--replicates takes a whole number of at least 1, not '%1'")
                                  .arg(parser.value(replicates)));
    for (const QString &name : parser.value(rule).split(QLatin1Char(','))) {
        const auto kind = SpanningRule::kindNamed(name);
        if (!kind)
            return usageError(QStringLiteral("--rule takes walk, cluster4 and cluster8, not '%1'").arg(name));
        if (std::find(parameters.rules.begin(), parameters.rules.end(), *kind) != parameters.rules.end())
            return usageError(QStringLiteral("--rule names %1 twice").arg(name));
        parameters.rules.push_back(*kind);
    }
    const auto crossing = SpanningRule::directionNamed(parser.value(direction));
    if (!crossing)
        return usageError(QStringLiteral("--direction takes either, left-right or top-bottom, not '%1'")
                                  .arg(parser.value(direction)));
    parameters.direction = *crossing;
    parameters.shard = part;
    m_seed = QByteArray::number(parameters.landscape.seed);
    int jobCount;
    if (!CommandLine::readJobs(parser, jobs, jobCount, &error))
        return usageError(error);
    if (!m_plot.isEmpty() && !m_plot.endsWith(QLatin1String(".png"), Qt::CaseInsensitive)
        && !m_plot.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive))
        return usageError(QStringLiteral("--plot writes .png or .svg files, not '%1'").arg(m_plot));
    // Each thread holds one landscape while it builds and tests it: up to
    // about 16 bytes per cell (the model's order of cells, the walk's queue).
    const qint64 perThread = parameters.landscape.size * parameters.landscape.size * 16;
    if (const qint64 memory = LandscapeReader::physicalMemory(); memory > 0) {
        if (perThread > memory)
            return usageError(QStringLiteral("landscapes of %1 x %1 cells need more than this machine's memory")
                                      .arg(parameters.landscape.size));
        jobCount = int(std::min<qint64>(jobCount, std::max<qint64>(1, memory / 2 / perThread)));
    }

    const qint64 total = part ? part->end(parameters.replicates) - part->begin(parameters.replicates)
                              : parameters.replicates;
    std::unique_ptr<ProgressLine> progressLine;
    if (!parser.isSet(quiet) && isatty(fileno(m_err)))
        progressLine = std::make_unique<ProgressLine>(m_err, total, "replicates");
    const SweepTable table = PercolationSweep::run(parameters, jobCount, [&](qint64 done, qint64) {
        if (progressLine)
            progressLine->update(done);
    });
    return write(table);
}

int SweepCommand::write(const SweepTable &table)
{
    OutputFile target;
    const QByteArray bytes = table.serialize();
    if (!target.open(m_output) || target.write(bytes) != bytes.size() || !target.commit()) {
        std::fprintf(m_err, "vantrix-sweep: the table %s could not be written: %s\n",
                     m_output.isEmpty() ? "on standard output" : m_output.constData(),
                     target.errorString().toLocal8Bit().constData());
        return 1;
    }
    if (!m_plot.isEmpty()) {
        QString error;
        if (!PPCurvePlot::write(m_plot, titleOf(table, m_seed), curvesOf(table), &error)) {
            std::fprintf(m_err, "vantrix-sweep: the plot %s could not be written: %s\n", m_plot.toLatin1().constData(),
                         error.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}

int SweepCommand::merge(const QStringList &tables)
{
    QList<SweepTable> parts;
    for (const QString &name : tables) {
        const QByteArray path = name.toLatin1();
        LineReader reader;
        QByteArray bytes;
        QString error;
        if (reader.open(path)) {
            QByteArray line;
            LineReader::Status status;
            while ((status = reader.next(line)) == LineReader::Line)
                bytes += line + (reader.lineEnded() ? "\n" : "");
            if (status == LineReader::Error)
                error = QStringLiteral("not a table: %1").arg(reader.errorString());
        } else {
            error = reader.errorString();
        }
        SweepTable part;
        if (error.isEmpty() && !SweepTable::parse(bytes, part, &error))
            error = QStringLiteral("not a sweep table: %1").arg(error);
        if (!error.isEmpty()) {
            std::fprintf(m_err, "vantrix-sweep: %s: %s\n", path.constData(), error.toLocal8Bit().constData());
            return 1;
        }
        parts << part;
    }
    SweepTable whole;
    QString error;
    if (!SweepTable::merge(parts, whole, &error)) {
        std::fprintf(m_err, "vantrix-sweep: the tables cannot be merged: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    // The merged table has no shard line; the plot's title still names the seed.
    for (const QByteArray &field : parts.first().description.split(' ')) {
        if (field.startsWith("seed="))
            m_seed = field.mid(5);
    }
    return write(whole);
}
