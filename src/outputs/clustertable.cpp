#include "clustertable.h"

#include "linereader.h"
#include "splitparts.h"

#include <QCoreApplication>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include <sys/stat.h>

namespace {

const char ShardPrefix[] = "# vantrix-percolate table shard ";
const char EndPrefix[] = "# vantrix-percolate table end: ";
constexpr int Columns = 21;

QString tr(const char *text)
{
    return QCoreApplication::translate("ClusterTable", text);
}

QByteArray number(qint64 value)
{
    return QByteArray::number(value);
}

// Whether a record has the table's columns: its tabs outside quotes.
bool isRow(const QByteArray &record)
{
    qsizetype tabs = 0;
    bool inside = false;
    for (qsizetype i = 0; i < record.size(); ++i) {
        const char c = record[i];
        if (c == '"' && (inside || i == 0 || record[i - 1] == '\t'))
            inside = !inside || (i + 1 < record.size() && record[i + 1] == '"' && (++i, true));
        else if (c == '\t' && !inside)
            ++tabs;
    }
    return tabs == Columns - 1;
}

} // namespace

QByteArray ClusterTable::header()
{
    return QByteArrayLiteral("landscape\trow\tcolumn\trows\tcolumns\tcover\trule\tdirection\tspans\tcells\thabitat\t"
                             "share\tclusters\tlargest\tlargest_share\tlargest_of_habitat\tmean_size\tweighted_size\t"
                             "mean_size_finite\tgyration_am\tcorrelation_length\n");
}

QByteArray ClusterTable::field(const QByteArray &path)
{
    // The strings R (na.strings) and pandas (its default na_values) read as
    // a missing value.
    static const QByteArrayList missing{"",     "#N/A", "#N/A N/A", "#NA",  "-1.#IND", "-1.#QNAN", "-NaN",
                                        "-nan", "1.#IND", "1.#QNAN", "<NA>", "N/A",     "NA",       "NULL",
                                        "NaN",  "None", "n/a",      "nan",  "null"};
    QByteArray out = missing.contains(path) ? "./" + path : path;
    if (out.contains('\t') || out.contains('\n') || out.contains('\r') || out.contains('"')) {
        out.replace("\"", "\"\"");
        out = '"' + out + '"';
    }
    return out;
}

bool ClusterTable::endsInsideQuotes(const QByteArray &line, bool inside)
{
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] != '"')
            continue;
        if (inside && i + 1 < line.size() && line[i + 1] == '"')
            ++i; // a quote within quotes
        else if (inside || i == 0 || line[i - 1] == '\t')
            inside = !inside;
    }
    return inside;
}

QByteArrayList ClusterTable::statisticNames()
{
    return {"cells",       "habitat",   "share",         "clusters",    "largest",           "largest_share",
            "largest_of_habitat", "mean_size", "weighted_size", "mean_size_finite", "gyration_am", "correlation_length"};
}

std::vector<double> ClusterTable::statisticValues(const ClusterStatistics &s)
{
    return {double(s.cells),         double(s.habitat),      s.share(),       double(s.clusters),
            double(s.largest),       s.largestShare(),       s.largestOfHabitat(), s.meanSize(),
            s.weightedSize(),        s.meanSizeFinite(),     s.gyrationAreaWeighted(), s.correlationLength()};
}

QByteArray ClusterTable::formatReal(double value)
{
    if (std::isnan(value))
        return QByteArrayLiteral("NA");
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 9);
    return QByteArray(buffer, int(result.ptr - buffer));
}

QByteArray ClusterTable::rowLine(const Row &row)
{
    const ClusterStatistics &s = row.statistics;
    QByteArray line;
    line.reserve(row.landscape.size() + 160);
    line += field(row.landscape);
    for (const QByteArray &field :
         {number(row.row), number(row.column), number(row.rows), number(row.columns), row.cover, row.rule,
          row.direction, number(row.spans), number(s.cells), number(s.habitat), formatReal(s.share()),
          number(s.clusters), number(s.largest), formatReal(s.largestShare()), formatReal(s.largestOfHabitat()),
          formatReal(s.meanSize()), formatReal(s.weightedSize()), formatReal(s.meanSizeFinite()),
          formatReal(s.gyrationAreaWeighted()), formatReal(s.correlationLength())}) {
        line += '\t';
        line += field;
    }
    line += '\n';
    return line;
}

QByteArray ClusterTable::shardLine(const Shard &shard, const QByteArray &description)
{
    return SplitParts::shardLine(ShardPrefix, shard, description);
}

QByteArray ClusterTable::endLine(qint64 rows)
{
    return EndPrefix + number(rows) + " rows\n";
}

bool ClusterTable::isTableStart(const QByteArray &firstLine)
{
    return firstLine + '\n' == header() || firstLine.startsWith(ShardPrefix);
}

bool ClusterTable::merge(const QByteArrayList &paths, const std::function<void(const QByteArray &)> &write,
                         QString *errorString)
{
    auto refuse = [errorString](const QByteArray &path, const QString &why) {
        if (errorString)
            *errorString = QString::fromLocal8Bit(path) + QStringLiteral(": ") + why;
        return false;
    };
    const SplitParts::Kind kind{tr("tables"), tr("table"), ShardPrefix};
    std::vector<SplitParts::Part> parts;
    if (!SplitParts::openAll(paths, kind, false, parts, errorString))
        return false;
    for (const SplitParts::Part &part : parts) {
        if (!part.hasHead)
            return refuse(part.path, tr("not a table: it has no header"));
        if (part.head + '\n' != header())
            return refuse(part.path, tr("not a cluster table: line %1 is not its header").arg(part.shard ? 2 : 1));
    }

    // The rows of a part, checked, handed on when writing. Files are checked
    // whole before anything is written; a pipe as it is written.
    auto readRows = [&](SplitParts::Part &part, bool writing) {
        if (!part.reader && !SplitParts::open(part, kind, errorString))
            return false;
        QByteArray line;
        qint64 rows = 0;
        bool ended = false;
        LineReader::Status status;
        while ((status = part.reader->next(line)) == LineReader::Line) {
            const qint64 lineNumber = part.reader->lineNumber();
            // A quoted path may hold line breaks: its record goes on.
            QByteArray next;
            while (!line.startsWith('#') && endsInsideQuotes(line) && part.reader->lineEnded()
                   && part.reader->next(next) == LineReader::Line)
                line += '\n' + next;
            if (ended)
                return refuse(part.path, tr("line %1 follows the end line").arg(lineNumber));
            if (part.shard && line.startsWith(EndPrefix)) {
                if (line + '\n' != endLine(rows))
                    return refuse(part.path, tr("its end line does not match its %1 rows").arg(rows));
                ended = true;
                continue;
            }
            if (!isRow(line))
                return refuse(part.path, tr("line %1 does not have the table's %2 columns").arg(lineNumber).arg(Columns));
            if (!part.reader->lineEnded())
                return refuse(part.path, tr("the table does not end with a complete line"));
            ++rows;
            if (writing)
                write(line + '\n');
        }
        if (status == LineReader::Error)
            return refuse(part.path, tr("not a table: %1").arg(part.reader->errorString()));
        if (part.shard && !ended)
            return refuse(part.path, tr("the part has no end line: it was cut short"));
        part.reader.reset();
        return true;
    };
    for (SplitParts::Part &part : parts) {
        if (!part.reader && !readRows(part, false))
            return false;
    }
    write(header());
    for (SplitParts::Part &part : parts) {
        if (!readRows(part, true))
            return false;
    }
    return true;
}
