#pragma once

#include "clusterscan.h"
#include "shard.h"

#include <QByteArray>
#include <QByteArrayList>

#include <functional>
#include <optional>

// The table of cluster statistics that vantrix-percolate --table writes: one
// row per landscape tested (a file, or a square of it) and per cover.
//
// Format: tab-separated text, every line ending in '\n', a header line
//   landscape row column rows columns cover rule direction spans cells habitat
//   share clusters largest largest_share largest_of_habitat mean_size
//   weighted_size mean_size_finite gyration_am correlation_length
// then the rows. Integers are written in full; reals with 9 significant
// digits and '.' as the decimal point whatever the locale; a quantity that is
// undefined (no habitat, no cells) is written NA, which R and pandas read as
// missing. Paths are written as given, so that R's read.delim() and
// pandas' read_csv(sep="\t") read every one back (field()): a path holding
// a tab, a line break, a carriage return or a double quote is quoted as RFC
// 4180 quotes (within double quotes, a double quote doubled); a relative path
// that those readers take for a missing value (NA, nan, None, ...) gets "./"
// before it, which names the same file. Bytes that are not UTF-8 are written
// as they are: R reads them as they are, pandas with
// encoding_errors="surrogateescape" (os.fsencode() gives the bytes back).
//
// A part of a split run (--shard) begins with a shard line and ends with an
// end line,
//   # vantrix-percolate table shard K/N: <description>
//   ...
//   # vantrix-percolate table end: R rows
// so that merge() can refuse a part of another run, a part given twice or
// missing, and a part cut short. Without --shard the table has neither.
class ClusterTable
{
public:
    // One row: where the landscape lies, what was asked, and what was found.
    struct Row
    {
        QByteArray landscape; // the path as given
        qint64 row = 0;       // the top-left cell of the square tested
        qint64 column = 0;
        qint64 rows = 0;      // of the extent tested
        qint64 columns = 0;
        QByteArray cover;     // as asked (a value, a set), or the class of --cover each
        QByteArray rule;
        QByteArray direction;
        int spans = 0;
        ClusterStatistics statistics;
    };

    static QByteArray header();
    // A path as a field of the table (see above).
    static QByteArray field(const QByteArray &path);
    // Whether a line ends inside a quoted field: the record goes on in the
    // next line.
    static bool endsInsideQuotes(const QByteArray &line, bool insideBefore = false);
    static QByteArray rowLine(const Row &row);
    static QByteArray shardLine(const Shard &shard, const QByteArray &description);
    static QByteArray endLine(qint64 rows);
    // A real as the table writes it: 9 significant digits, NA for NaN.
    static QByteArray formatReal(double value);
    // The names of the table's numeric columns after `spans`, in order, as
    // the tile maps name their bands.
    static QByteArrayList statisticNames();
    // Their values for one landscape, in the same order (NaN where undefined).
    static std::vector<double> statisticValues(const ClusterStatistics &statistics);

    // Joins tables made from parts of one run, in memory bounded by a line
    // whatever their size: parts with shard lines in shard order (every part
    // of one run, once, each complete), parts without in the order given.
    // The whole table is handed to write() line by line. False, with the
    // reason naming the part, otherwise; what was handed on then stands.
    static bool merge(const QByteArrayList &paths, const std::function<void(const QByteArray &)> &write,
                      QString *errorString);
    // Whether the first line of a file is that of a table (its header, or a
    // table's shard line), so that --merge knows tables from reports.
    static bool isTableStart(const QByteArray &firstLine);
};
