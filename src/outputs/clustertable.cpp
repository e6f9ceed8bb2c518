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
constexpr int Columns = 20;

QString tr(const char *text)
{
    return QCoreApplication::translate("ClusterTable", text);
}

QByteArray number(qint64 value)
{
    return QByteArray::number(value);
}

// One part of a merge and what its first lines said.
struct Part
{
    QByteArray path;
    std::unique_ptr<LineReader> reader; // kept open only when it cannot be opened again
    std::optional<Shard> shard;
    QByteArray description;
};

} // namespace

QByteArray ClusterTable::header()
{
    return QByteArrayLiteral("landscape\trow\tcolumn\trows\tcolumns\tcover\trule\tdirection\tspans\tcells\thabitat\t"
                             "share\tclusters\tlargest\tlargest_share\tlargest_of_habitat\tmean_size\tweighted_size\t"
                             "gyration_am\tcorrelation_length\n");
}

QByteArrayList ClusterTable::statisticNames()
{
    return {"cells",       "habitat",   "share",         "clusters",    "largest",           "largest_share",
            "largest_of_habitat", "mean_size", "weighted_size", "gyration_am", "correlation_length"};
}

std::vector<double> ClusterTable::statisticValues(const ClusterStatistics &s)
{
    return {double(s.cells),         double(s.habitat),      s.share(),       double(s.clusters),
            double(s.largest),       s.largestShare(),       s.largestOfHabitat(), s.meanSize(),
            s.weightedSize(),        s.gyrationAreaWeighted(), s.correlationLength()};
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
    line += row.landscape;
    for (const QByteArray &field :
         {number(row.row), number(row.column), number(row.rows), number(row.columns), row.cover, row.rule,
          row.direction, number(row.spans), number(s.cells), number(s.habitat), formatReal(s.share()),
          number(s.clusters), number(s.largest), formatReal(s.largestShare()), formatReal(s.largestOfHabitat()),
          formatReal(s.meanSize()), formatReal(s.weightedSize()), formatReal(s.gyrationAreaWeighted()),
          formatReal(s.correlationLength())}) {
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
    if (paths.isEmpty()) {
        if (errorString)
            *errorString = tr("no tables to merge");
        return false;
    }
    // Opens a part and reads its first lines: the shard line if any, the header.
    auto openPart = [&](Part &part) {
        part.reader = std::make_unique<LineReader>();
        if (!part.reader->open(part.path))
            return refuse(part.path, part.reader->errorString());
        QByteArray line;
        if (part.reader->next(line) != LineReader::Line)
            return refuse(part.path, part.reader->errorString().isEmpty()
                                             ? tr("not a table: it is empty")
                                             : tr("not a table: %1").arg(part.reader->errorString()));
        Shard shard;
        QByteArray description;
        part.shard.reset();
        if (SplitParts::parseShardLine(ShardPrefix, line, shard, description)) {
            part.shard = shard;
            part.description = description;
            if (part.reader->next(line) != LineReader::Line)
                return refuse(part.path, tr("not a table: it has no header"));
        }
        if (line + '\n' != header())
            return refuse(part.path, tr("not a cluster table: line %1 is not its header").arg(part.shard ? 2 : 1));
        return true;
    };
    std::vector<Part> parts;
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const QByteArray &path : paths) {
        Part part;
        part.path = path;
        if (!openPart(part))
            return false;
        struct stat info;
        if (path != "-" && ::stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode)) {
            if (!seen.insert({info.st_dev, info.st_ino}).second)
                return refuse(path, tr("is given twice"));
            part.reader.reset(); // opened again when its turn comes
        }
        parts.push_back(std::move(part));
    }
    if (!SplitParts::putInJoinOrder(parts, tr("tables"), errorString))
        return false;

    // The rows of a part, checked, handed on when write is set. Files are
    // checked whole before anything is written; a pipe as it is written.
    auto readRows = [&](Part &part, bool writing) {
        if (!part.reader && !openPart(part))
            return false;
        QByteArray line;
        qint64 rows = 0;
        bool ended = false;
        LineReader::Status status;
        while ((status = part.reader->next(line)) == LineReader::Line) {
            const qint64 lineNumber = part.reader->lineNumber();
            if (ended)
                return refuse(part.path, tr("line %1 follows the end line").arg(lineNumber));
            if (part.shard && line.startsWith(EndPrefix)) {
                if (line + '\n' != endLine(rows))
                    return refuse(part.path, tr("its end line does not match its %1 rows").arg(rows));
                ended = true;
                continue;
            }
            if (line.count('\t') != Columns - 1)
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
    for (Part &part : parts) {
        if (!part.reader && !readRows(part, false))
            return false;
    }
    write(header());
    for (Part &part : parts) {
        if (!readRows(part, true))
            return false;
    }
    return true;
}
