#include "sweeptable.h"

#include <QCoreApplication>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

constexpr double Z = 1.959963984540054;
const char ShardPrefix[] = "# vantrix-sweep shard ";

QString tr(const char *text)
{
    return QCoreApplication::translate("SweepTable", text);
}

} // namespace

QByteArray SweepTable::header()
{
    return QByteArrayLiteral("model\tsize\tshare\trule\tdirection\treplicates\tspanning\tpp\tpp_low\tpp_high\n");
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

QByteArray SweepTable::serialize() const
{
    QByteArray out;
    if (shard)
        out += ShardPrefix + QByteArray::number(shard->index) + '/' + QByteArray::number(shard->count) + ": "
                + description + '\n';
    out += header();
    for (const Row &row : rows) {
        double low;
        double high;
        wilson(row.spanning, row.replicates, low, high);
        const double pp = row.replicates > 0 ? double(row.spanning) / double(row.replicates) : std::nan("");
        out += row.model + '\t' + QByteArray::number(row.size) + '\t' + row.share + '\t' + row.rule + '\t'
                + row.direction + '\t' + QByteArray::number(row.replicates) + '\t'
                + QByteArray::number(row.spanning) + '\t' + formatProbability(pp) + '\t' + formatProbability(low) + '\t'
                + formatProbability(high) + '\n';
    }
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
        const QByteArray line = lines.takeFirst().mid(int(sizeof ShardPrefix) - 1);
        const qsizetype colon = line.indexOf(": ");
        if (colon < 0)
            return fail(tr("line 1 is not a shard line"));
        QString why;
        table.shard = Shard::parse(QString::fromLatin1(line.left(colon)), &why);
        if (!table.shard)
            return fail(tr("line 1 is not a shard line: %1").arg(why));
        table.description = line.mid(colon + 2);
    }
    const int offset = table.shard ? 2 : 1;
    if (lines.isEmpty() || lines.first() + '\n' != header())
        return fail(tr("line %1 is not the table's header").arg(offset));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].split('\t');
        const QString where = tr("line %1").arg(i + offset);
        if (fields.size() != 10)
            return fail(tr("%1 does not have the table's 10 columns").arg(where));
        Row row;
        bool sizeOk = false;
        bool replicatesOk = false;
        bool spanningOk = false;
        row.model = fields[0];
        row.size = fields[1].toLongLong(&sizeOk);
        row.share = fields[2];
        row.rule = fields[3];
        row.direction = fields[4];
        row.replicates = fields[5].toLongLong(&replicatesOk);
        row.spanning = fields[6].toLongLong(&spanningOk);
        if (!sizeOk || !replicatesOk || !spanningOk || row.replicates < 0 || row.spanning < 0
            || row.spanning > row.replicates || row.model.isEmpty() || row.share.isEmpty() || row.rule.isEmpty())
            return fail(tr("%1 is not a row of counts").arg(where));
        table.rows << row;
    }
    // The pp columns follow from the counts: a table whose counts were
    // edited, or that was cut, does not rewrite to itself.
    if (table.serialize() != bytes)
        return fail(tr("its pp columns do not match its counts"));
    return true;
}

bool SweepTable::merge(QList<SweepTable> parts, SweepTable &whole, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    if (parts.isEmpty())
        return fail(tr("no tables to merge"));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (!parts[i].shard)
            return fail(tr("table %1 is not a shard of a split run (it has no shard line)").arg(i + 1));
    }
    std::stable_sort(parts.begin(), parts.end(),
                     [](const SweepTable &a, const SweepTable &b) { return a.shard->index < b.shard->index; });
    const qint64 count = parts.first().shard->count;
    for (const SweepTable &part : parts) {
        if (part.shard->count != count || part.description != parts.first().description)
            return fail(tr("the tables are parts of different runs"));
    }
    for (qint64 k = 1; k <= count; ++k) {
        const qsizetype found = std::count_if(parts.begin(), parts.end(),
                                              [k](const SweepTable &part) { return part.shard->index == k; });
        if (found == 0)
            return fail(tr("shard %1 of %2 is missing").arg(k).arg(count));
        if (found > 1)
            return fail(tr("shard %1 of %2 is given %3 times").arg(k).arg(count).arg(found));
    }
    // The whole run's replicates, from the description; each part must hold
    // exactly its block of them.
    qint64 replicates = -1;
    for (const QByteArray &field : parts.first().description.split(' ')) {
        if (field.startsWith("replicates="))
            replicates = field.mid(11).toLongLong();
    }
    if (replicates < 0)
        return fail(tr("the shard line does not say how many replicates the run has"));
    whole = SweepTable();
    whole.rows = parts.first().rows;
    for (Row &row : whole.rows)
        row.replicates = row.spanning = 0;
    for (const SweepTable &part : parts) {
        const qint64 block = part.shard->end(replicates) - part.shard->begin(replicates);
        if (part.rows.size() != whole.rows.size())
            return fail(tr("shard %1 has other rows than the rest").arg(part.shard->index));
        for (qsizetype i = 0; i < whole.rows.size(); ++i) {
            const Row &row = part.rows[i];
            Row &sum = whole.rows[i];
            if (row.model != sum.model || row.size != sum.size || row.share != sum.share || row.rule != sum.rule
                || row.direction != sum.direction)
                return fail(tr("shard %1 has other rows than the rest").arg(part.shard->index));
            if (row.replicates != block)
                return fail(tr("shard %1 counts %2 replicates in a row where its part has %3")
                                    .arg(part.shard->index).arg(row.replicates).arg(block));
            sum.replicates += row.replicates;
            sum.spanning += row.spanning;
        }
    }
    return true;
}
