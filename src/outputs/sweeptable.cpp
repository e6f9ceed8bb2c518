#include "sweeptable.h"

#include "linereader.h"
#include "splitparts.h"

#include <QCoreApplication>

#include <algorithm>
#include <memory>
#include <vector>
#include <charconv>
#include <cmath>

namespace {

constexpr double Z = 1.959963984540054;
const char ShardPrefix[] = "# vantrix-sweep shard ";
const char ThresholdShardPrefix[] = "# vantrix-sweep thresholds shard ";
const char ThresholdEndPrefix[] = "# vantrix-sweep thresholds end: ";

QString tr(const char *text)
{
    return QCoreApplication::translate("SweepTable", text);
}

} // namespace

SweepTable SweepTable::of(const PercolationSweep::Parameters &parameters, const PercolationSweep::Result &result)
{
    SweepTable table;
    if (parameters.shard) {
        table.shard = parameters.shard;
        table.description = PercolationSweep::description(parameters);
    }
    table.observables = parameters.observables;
    const QByteArray model = NeutralLandscape::name(parameters.landscape.model).toLatin1();
    const QByteArray direction = SpanningRule::name(parameters.direction).toLatin1();
    const size_t ruleCount = parameters.rules.size();
    const std::vector<qint64> sizes = parameters.sizeList();
    size_t index = 0;
    for (const qint64 size : sizes) {
        for (size_t s = 0; s < parameters.shares.size(); ++s) {
            for (size_t k = 0; k < ruleCount; ++k, ++index) {
                Row row;
                row.model = model;
                row.size = size;
                row.share = parameters.shareTexts[qsizetype(s)];
                row.rule = SpanningRule::name(parameters.rules[k]).toLatin1();
                row.direction = direction;
                row.replicates = result.replicates;
                row.spanning = result.spanning[index];
                if (parameters.observables && parameters.rules[k] != SpanningRule::Walk)
                    row.observed = index < result.observables.size() ? result.observables[index] : ObservableSums();
                table.rows << row;
            }
        }
    }
    return table;
}

QByteArray SweepTable::header(bool observables, bool part)
{
    QByteArray out = QByteArrayLiteral("model\tsize\tshare\trule\tdirection\treplicates\tspanning\tpp\tpp_low\tpp_high");
    if (observables) {
        out += "\tlargest_share\tlargest_share_se\tclusters_per_cell\tclusters_per_cell_se\tmean_size_finite"
               "\tmean_size_finite_se";
        if (part)
            out += "\texact_sums";
    }
    return out + '\n';
}

std::array<double, 6> SweepTable::observedValues(const Row &row)
{
    std::array<double, 6> values;
    values.fill(std::nan(""));
    if (!row.observedText.isEmpty()) {
        const QList<QByteArray> fields = row.observedText.split('\t');
        for (qsizetype i = 0; i < fields.size() && i < 6; ++i) {
            if (fields[i] != "NA" && fields[i] != "nan")
                values[size_t(i)] = fields[i].toDouble();
        }
        return values;
    }
    if (!row.observed)
        return values;
    const double cells = double(row.size) * double(row.size);
    const ExactMoments *const moments[] = {&row.observed->largest, &row.observed->clusters, &row.observed->meanSize};
    const double units[] = {1.0 / cells, 1.0 / cells, 1.0 / 4294967296.0};
    for (size_t i = 0; i < 3; ++i) {
        values[2 * i] = moments[i]->mean(row.replicates, units[i]);
        values[2 * i + 1] = moments[i]->standardError(row.replicates, units[i]);
    }
    return values;
}

QByteArray SweepTable::formatObservable(double value)
{
    if (std::isnan(value))
        return QByteArrayLiteral("nan");
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 9);
    return QByteArray(buffer, int(result.ptr - buffer));
}

void SweepTable::wilson(qint64 spanning, qint64 replicates, double &low, double &high)
{
    if (replicates <= 0) {
        low = high = std::nan("");
        return;
    }
    const double n = double(replicates);
    const double p = double(spanning) / n;
    const double z2 = Z * Z;
    const double denominator = 1.0 + z2 / n;
    const double centre = (p + z2 / (2.0 * n)) / denominator;
    const double half = Z / denominator * std::sqrt(p * (1.0 - p) / n + z2 / (4.0 * n * n));
    low = std::max(0.0, centre - half);
    high = std::min(1.0, centre + half);
}

QByteArray SweepTable::formatProbability(double value)
{
    if (std::isnan(value))
        return QByteArrayLiteral("nan");
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    return QByteArray(buffer, int(result.ptr - buffer));
}

QByteArray SweepTable::thresholdHeader()
{
    return QByteArrayLiteral("model\tsize\tseed\treplicate\trule\tdirection\tcritical_cells\tcritical_share\n");
}

QByteArray SweepTable::thresholdShardLine(const Shard &shard, const QByteArray &description)
{
    return SplitParts::shardLine(ThresholdShardPrefix, shard, description);
}

QByteArray SweepTable::thresholdEndLine(qint64 lines)
{
    return ThresholdEndPrefix + QByteArray::number(lines) + " lines\n";
}

bool SweepTable::isThresholdPart(const QByteArray &firstLine)
{
    return firstLine.startsWith(ThresholdShardPrefix);
}

bool SweepTable::mergeThresholds(const QByteArrayList &paths, const std::function<void(const QByteArray &)> &write,
                                 QString *errorString)
{
    auto refuse = [errorString](const QByteArray &path, const QString &why) {
        if (errorString)
            *errorString = QString::fromLocal8Bit(path) + QStringLiteral(": ") + why;
        return false;
    };
    std::vector<SplitParts::Part> parts;
    if (!SplitParts::openAll(paths, {tr("thresholds"), tr("part of thresholds"), ThresholdShardPrefix}, true, parts,
                             errorString))
        return false;
    // Each part: its next line (the lookahead) and its count so far.
    struct Reading
    {
        QByteArray next;
        bool ended = false; // its end line was read
        qint64 lines = 0;
    };
    std::vector<Reading> reading(parts.size());
    auto advance = [&](size_t i) {
        SplitParts::Part &part = parts[i];
        Reading &r = reading[i];
        QByteArray line;
        while (true) {
            switch (part.reader->next(line)) {
            case LineReader::Error:
                return refuse(part.path, tr("not a part of thresholds: %1").arg(part.reader->errorString()));
            case LineReader::End:
                if (!r.ended)
                    return refuse(part.path, tr("the part has no end line: it was cut short"));
                r.next.clear();
                return true;
            case LineReader::Line:
                break;
            }
            if (r.ended)
                return refuse(part.path, tr("line %1 follows the end line").arg(part.reader->lineNumber()));
            if (!line.startsWith(ThresholdEndPrefix))
                break;
            if (line + '\n' != thresholdEndLine(r.lines))
                return refuse(part.path, tr("its end line does not match its %1 lines").arg(r.lines));
            r.ended = true;
        }
        if (line.count('\t') != 7 || !part.reader->lineEnded())
            return refuse(part.path, tr("line %1 is not a line of thresholds").arg(part.reader->lineNumber()));
        ++r.lines;
        r.next = line;
        return true;
    };
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!parts[i].shard)
            return refuse(parts[i].path, tr("not a part of a split run (it has no shard line)"));
        if (!parts[i].hasHead || parts[i].head + '\n' != thresholdHeader())
            return refuse(parts[i].path, tr("line 2 is not the header of thresholds"));
        if (!advance(i))
            return false;
    }
    auto sizeOf = [](const QByteArray &line) { return line.split('\t').value(1); };
    write(thresholdHeader());
    // The whole run holds every size's replicates in order; each part holds
    // its block of them for every size, in the same order of sizes.
    while (true) {
        QByteArray size;
        for (const Reading &r : reading) {
            if (!r.next.isEmpty()) {
                size = sizeOf(r.next);
                break;
            }
        }
        if (size.isEmpty())
            return true;
        for (size_t i = 0; i < parts.size(); ++i) {
            while (!reading[i].next.isEmpty() && sizeOf(reading[i].next) == size) {
                write(reading[i].next + '\n');
                if (!advance(i))
                    return false;
            }
        }
    }
}

QByteArray SweepTable::thresholdLine(const PercolationSweep::Parameters &parameters,
                                     const PercolationSweep::Threshold &threshold)
{
    return NeutralLandscape::name(parameters.landscape.model).toLatin1() + '\t' + QByteArray::number(threshold.size)
            + '\t' + QByteArray::number(parameters.landscape.seed) + '\t' + QByteArray::number(threshold.replicate)
            + '\t' + SpanningRule::name(threshold.rule).toLatin1() + '\t'
            + SpanningRule::name(parameters.direction).toLatin1() + '\t' + QByteArray::number(threshold.criticalCells)
            + '\t' + PercolationSweep::criticalShare(parameters.landscape, threshold.size, threshold.criticalKey) + '\n';
}

QByteArray SweepTable::shardLine(const Shard &shard, const QByteArray &description)
{
    return SplitParts::shardLine(ShardPrefix, shard, description);
}

bool SweepTable::parseShardLine(const QByteArray &line, Shard &shard, QByteArray &description)
{
    return SplitParts::parseShardLine(ShardPrefix, line, shard, description);
}

QByteArray SweepTable::rowLine(const Row &row, bool observables, bool part)
{
    double low;
    double high;
    wilson(row.spanning, row.replicates, low, high);
    const double pp = row.replicates > 0 ? double(row.spanning) / double(row.replicates) : std::nan("");
    QByteArray out = row.model + '\t' + QByteArray::number(row.size) + '\t' + row.share + '\t' + row.rule + '\t'
            + row.direction + '\t' + QByteArray::number(row.replicates) + '\t' + QByteArray::number(row.spanning)
            + '\t' + formatProbability(pp) + '\t' + formatProbability(low) + '\t' + formatProbability(high);
    if (observables) {
        if (!row.observedText.isEmpty()) {
            out += '\t' + row.observedText;
        } else if (!row.observed) {
            out += "\tNA\tNA\tNA\tNA\tNA\tNA";
        } else {
            for (const double value : observedValues(row))
                out += '\t' + formatObservable(value);
        }
        if (part) {
            if (row.observed)
                out += '\t' + row.observed->largest.text() + ';' + row.observed->clusters.text() + ';'
                        + row.observed->meanSize.text();
            else
                out += "\tNA";
        }
    }
    return out + '\n';
}

bool SweepTable::parseRow(const QByteArray &line, Row &row, bool observables, bool part, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    const QList<QByteArray> fields = line.split('\t');
    const qsizetype columns = observables ? (part ? 17 : 16) : 10;
    if (fields.size() != columns)
        return fail(tr("it does not have the table's %1 columns").arg(columns));
    bool sizeOk = false;
    bool replicatesOk = false;
    bool spanningOk = false;
    row = Row();
    row.model = fields[0];
    row.size = fields[1].toLongLong(&sizeOk);
    row.share = fields[2];
    row.rule = fields[3];
    row.direction = fields[4];
    row.replicates = fields[5].toLongLong(&replicatesOk);
    row.spanning = fields[6].toLongLong(&spanningOk);
    if (!sizeOk || !replicatesOk || !spanningOk || row.replicates < 0 || row.spanning < 0
        || row.spanning > row.replicates || row.model.isEmpty() || row.share.isEmpty() || row.rule.isEmpty())
        return fail(tr("it is not a row of counts"));
    if (observables) {
        const QList<QByteArray> values = fields.mid(10, 6);
        const bool none = std::all_of(values.begin(), values.end(), [](const QByteArray &v) { return v == "NA"; });
        if (part) {
            // The values follow from the sums, checked below.
            if (fields[16] != "NA") {
                const QList<QByteArray> sums = fields[16].split(';');
                ObservableSums observed;
                if (sums.size() != 3 || !ExactMoments::parse(sums[0], observed.largest)
                    || !ExactMoments::parse(sums[1], observed.clusters)
                    || !ExactMoments::parse(sums[2], observed.meanSize))
                    return fail(tr("its exact sums are not sums"));
                row.observed = observed;
            }
        } else if (!none) {
            // Each value as the table writes it, so that the row reads back
            // to its own bytes.
            for (const QByteArray &value : values) {
                double read = 0;
                const auto parsed = std::from_chars(value.constData(), value.constData() + value.size(), read);
                if (value != "nan"
                    && (parsed.ec != std::errc() || parsed.ptr != value.constData() + value.size()
                        || formatObservable(read) != value))
                    return fail(tr("'%1' is not an observable's value").arg(QString::fromLatin1(value)));
            }
            row.observedText = values.join('\t');
        }
    }
    // The pp columns follow from the counts (and the observables of a part
    // from its sums): a row whose counts were edited does not rewrite to
    // itself.
    if (rowLine(row, observables, part) != line + '\n')
        return fail(tr("its pp columns do not match its counts"));
    return true;
}

QByteArray SweepTable::serialize() const
{
    QByteArray out;
    if (shard)
        out += shardLine(*shard, description);
    out += header(observables, shard.has_value());
    for (const Row &row : rows)
        out += rowLine(row, observables, shard.has_value());
    return out;
}

bool SweepTable::parse(const QByteArray &bytes, SweepTable &table, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    table = SweepTable();
    if (!bytes.endsWith('\n'))
        return fail(tr("the table does not end with a complete line"));
    QList<QByteArray> lines = bytes.left(bytes.size() - 1).split('\n');
    if (lines.first().startsWith(ShardPrefix)) {
        Shard shard;
        if (!parseShardLine(lines.takeFirst(), shard, table.description))
            return fail(tr("line 1 is not a shard line"));
        table.shard = shard;
    }
    const int offset = table.shard ? 2 : 1;
    const bool part = table.shard.has_value();
    if (!lines.isEmpty() && lines.first() + '\n' == header(true, part))
        table.observables = true;
    else if (lines.isEmpty() || lines.first() + '\n' != header())
        return fail(tr("line %1 is not the table's header").arg(offset));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        Row row;
        QString why;
        if (!parseRow(lines[i], row, table.observables, part, &why))
            return fail(tr("line %1: %2").arg(i + offset).arg(why));
        table.rows << row;
    }
    return true;
}

SweepTable::Merger::Merger(QList<Part> parts)
    : m_parts(std::move(parts))
{
}

bool SweepTable::Merger::check(QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    if (m_parts.isEmpty())
        return fail(tr("no tables to merge"));
    for (qsizetype i = 0; i < m_parts.size(); ++i) {
        if (!m_parts[i].shard)
            return fail(tr("table %1 is not a shard of a split run (it has no shard line)").arg(i + 1));
    }
    const qint64 count = m_parts.first().shard->count;
    for (const Part &part : m_parts) {
        if (part.shard->count != count || part.description != m_parts.first().description)
            return fail(tr("the tables are parts of different runs"));
    }
    for (qint64 k = 1; k <= count; ++k) {
        const qsizetype found = std::count_if(m_parts.begin(), m_parts.end(),
                                              [k](const Part &part) { return part.shard->index == k; });
        if (found == 0)
            return fail(tr("shard %1 of %2 is missing").arg(k).arg(count));
        if (found > 1)
            return fail(tr("shard %1 of %2 is given %3 times").arg(k).arg(count).arg(found));
    }
    // The whole run's replicates, from the description; each part must hold
    // exactly its block of them.
    m_replicates = -1;
    for (const QByteArray &field : m_parts.first().description.split(' ')) {
        if (field.startsWith("replicates="))
            m_replicates = field.mid(11).toLongLong();
    }
    if (m_replicates < 0)
        return fail(tr("the shard line does not say how many replicates the run has"));
    return true;
}

bool SweepTable::Merger::add(const QList<Row> &rows, Row &sum, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    sum = rows.first();
    sum.replicates = sum.spanning = 0;
    if (sum.observed)
        sum.observed = ObservableSums();
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        const Shard &shard = *m_parts[i].shard;
        if (row.model != sum.model || row.size != sum.size || row.share != sum.share || row.rule != sum.rule
            || row.direction != sum.direction)
            return fail(tr("shard %1 has other rows than the rest").arg(shard.index));
        const qint64 block = shard.end(m_replicates) - shard.begin(m_replicates);
        if (row.replicates != block)
            return fail(tr("shard %1 counts %2 replicates in a row where its part has %3")
                                .arg(shard.index).arg(row.replicates).arg(block));
        if (row.observed.has_value() != sum.observed.has_value() || !row.observedText.isEmpty())
            return fail(tr("shard %1 has other rows than the rest").arg(shard.index));
        sum.replicates += row.replicates;
        sum.spanning += row.spanning;
        if (sum.observed)
            sum.observed->add(*row.observed);
    }
    return true;
}

bool SweepTable::merge(QList<SweepTable> parts, SweepTable &whole, QString *errorString)
{
    QList<Merger::Part> heads;
    for (const SweepTable &part : parts)
        heads << Merger::Part{part.shard, part.description};
    Merger merger(heads);
    if (!merger.check(errorString))
        return false;
    whole = SweepTable();
    whole.observables = parts.first().observables;
    for (const SweepTable &part : parts) {
        if (part.rows.size() != parts.first().rows.size() || part.observables != whole.observables) {
            if (errorString)
                *errorString = tr("shard %1 has other rows than the rest").arg(part.shard->index);
            return false;
        }
    }
    for (qsizetype r = 0; r < parts.first().rows.size(); ++r) {
        QList<Row> rows;
        for (const SweepTable &part : parts)
            rows << part.rows[r];
        Row sum;
        if (!merger.add(rows, sum, errorString))
            return false;
        whole.rows << sum;
    }
    return true;
}

bool SweepTable::mergeFiles(const QByteArrayList &paths, const std::function<void(const QByteArray &)> &write,
                            const std::function<void(const Row &)> &onRow, QString *errorString)
{
    auto refuse = [errorString](const QByteArray &path, const QString &why) {
        if (errorString)
            *errorString = QString::fromLocal8Bit(path) + QStringLiteral(": ") + why;
        return false;
    };
    // Every part is read a line at a time, all side by side: the merged row
    // k is the sum of the parts' rows k.
    std::vector<SplitParts::Part> parts;
    if (!SplitParts::openAll(paths, {tr("tables"), tr("table"), ShardPrefix}, true, parts, errorString))
        return false;
    QList<Merger::Part> heads;
    std::optional<bool> observables; // whether the parts have the observables columns
    for (const SplitParts::Part &part : parts) {
        if (!part.shard)
            return refuse(part.path, tr("not a shard of a split run (it has no shard line)"));
        const bool observed = part.hasHead && part.head + '\n' == header(true, true);
        if (!part.hasHead || (part.head + '\n' != header() && !observed))
            return refuse(part.path, tr("line 2 is not the table's header"));
        if (observables && *observables != observed) {
            if (errorString)
                *errorString = tr("the tables are parts of different runs");
            return false;
        }
        observables = observed;
        heads << Merger::Part{part.shard, part.description};
    }
    Merger merger(heads);
    if (!merger.check(errorString))
        return false;
    const bool withObservables = observables.value_or(false);
    write(header(withObservables));
    QByteArray line;
    for (qint64 lineNumber = 3;; ++lineNumber) {
        QList<Row> rows;
        qsizetype ended = 0;
        for (SplitParts::Part &part : parts) {
            LineReader &reader = *part.reader;
            switch (reader.next(line)) {
            case LineReader::Error:
                return refuse(part.path, tr("not a table: %1").arg(reader.errorString()));
            case LineReader::End:
                ++ended;
                continue;
            case LineReader::Line:
                break;
            }
            Row row;
            QString why;
            if (!reader.lineEnded())
                return refuse(part.path, tr("the table does not end with a complete line"));
            if (!parseRow(line, row, withObservables, true, &why))
                return refuse(part.path, tr("line %1: %2").arg(lineNumber).arg(why));
            rows << row;
        }
        if (ended == qsizetype(parts.size()))
            return true;
        if (ended > 0) {
            if (errorString)
                *errorString = tr("the tables have different numbers of rows");
            return false;
        }
        Row sum;
        if (!merger.add(rows, sum, errorString))
            return false;
        write(rowLine(sum, withObservables));
        if (onRow)
            onRow(sum);
    }
}
