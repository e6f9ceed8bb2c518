#pragma once

#include "shard.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <functional>
#include <memory>

// The tab-separated tables Vantrix writes (cluster tables, patch tables):
// how their fields are written so that R's read.delim() and pandas'
// read_csv(sep="\t") read every one back, and the merge of a split run's
// parts.
//
// Fields: integers in full; reals with 9 significant digits and '.' as the
// decimal point whatever the locale, NA where undefined (R and pandas read it
// as missing). A path holding a tab, a line break, a carriage return or a
// double quote is quoted as RFC 4180 quotes (within double quotes, a double
// quote doubled); a relative path that those readers take for a missing
// value (NA, nan, None, ...) gets "./" before it, which names the same file.
// Bytes that are not UTF-8 are written as they are: R reads them as they
// are, pandas with encoding_errors="surrogateescape" (os.fsencode() gives the
// bytes back).
//
// A part of a split run (--shard) begins with a shard line and ends with an
// end line,
//   # vantrix-percolate <kind> shard K/N: <description>
//   <header>
//   ...
//   # vantrix-percolate <kind> end: R rows
// so that a merge can refuse a part of another run, a part given twice or
// missing, and a part cut short. Without --shard a table has neither.
namespace Tsv {

QByteArray number(qint64 value);
// A real as the tables write it: 9 significant digits, NA for NaN.
QByteArray real(double value);
// A real that is not NaN with 9 significant digits as printf's "%.9g" writes
// it in the C locale, to out (room for 32 bytes); returns the end.
char *writeReal(char *out, double value);
// A path as a field.
QByteArray path(const QByteArray &path);
// Rows being written, field by field, each after a tab but the first of
// its row; end() ends a row.
class Row
{
public:
    void clear()
    {
        m_size = 0;
        m_inRow = false;
    }
    void number(qint64 value);
    void real(double value);
    void text(const QByteArray &text);
    void path(const QByteArray &path)
    {
        // Rows of one file name it again and again: quoted once.
        if (path.constData() != m_path.constData() || path.size() != m_path.size()) {
            m_path = path;
            m_quotedPath = Tsv::path(path);
        }
        text(m_quotedPath);
    }
    void end()
    {
        *room(1) = '\n';
        ++m_size;
        m_inRow = false;
    }
    // The rows written since clear().
    const char *data() const { return m_text.get(); }
    qsizetype size() const { return qsizetype(m_size); }

private:
    // Where bytes more go, with room for them.
    char *room(size_t bytes);
    // Where a field of up to bytes goes, after a tab but in a row's first
    // field (m_size is then set from its end).
    char *field(size_t bytes)
    {
        char *out = room(bytes + 1);
        if (m_inRow)
            *out++ = '\t';
        m_inRow = true;
        return out;
    }
    std::unique_ptr<char[]> m_text;
    QByteArray m_path;
    QByteArray m_quotedPath;
    size_t m_size = 0;
    size_t m_capacity = 0;
    bool m_inRow = false; // a field of this row was written
};
// Whether a line ends inside a quoted field: the record goes on in the next
// line.
bool endsInsideQuotes(const QByteArray &line);
// The fields of a record, its tabs outside quotes plus one.
qsizetype fieldCount(const QByteArray &record);

// A kind of table: its name in reasons ("tables", "table"), the words of its
// shard and end lines ("table", "patches"), and whether a line is its header.
struct Kind
{
    QString name;
    QString one;
    QByteArray word;
    std::function<bool(const QByteArray &line)> isHeader;
};
QByteArray shardLine(const Kind &kind, const Shard &shard, const QByteArray &description);
QByteArray endLine(const Kind &kind, qint64 rows);
// Whether a file's first line starts a table of kind (its header, or a shard line).
bool isStart(const Kind &kind, const QByteArray &firstLine);

// Joins tables of kind made from parts of one run, in memory bounded by a
// record whatever their size: parts with shard lines in shard order (every
// part of one run, once, each complete, all with one header), parts without
// in the order given. The whole table is handed to write() line by line.
// False, with the reason naming the part, otherwise; what was handed on
// then stands.
bool merge(const Kind &kind, const QByteArrayList &paths, const std::function<void(const QByteArray &)> &write,
           QString *errorString);

} // namespace Tsv
