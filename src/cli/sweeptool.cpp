#include "sweeptool.h"

#include "landscapeoptions.h"
#include "linereader.h"
#include "outputfile.h"
#include "ppcurveplot.h"
#include "progressline.h"
#include "splitparts.h"
#include "sweeptable.h"
#include "systemmemory.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <new>

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
    QList<SweepTable::Row> rows;
    if (const int status = SweepTool::runTable(options, err, &rows); status != 0)
        return status;
    return writePlots(options, rows, parameterOf(options.parameters.landscape),
                      QByteArray::number(options.parameters.landscape.seed), err);
}

} // namespace

namespace SweepTool {

int run(const SweepOptions &options, std::FILE *err)
{
    return options.mode == SweepOptions::Merge ? merge(options, err) : sweep(options, err);
}

} // namespace SweepTool
