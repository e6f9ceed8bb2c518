#pragma once

#include <QByteArray>
#include <QByteArrayList>

#include <vector>

// A table gathered as typed columns rather than text, for callers that hand
// tables on as data frames (the Python and R bindings): the fields a table's
// rows are written from (ClusterTable::fields(), PatchTable::fields()) come
// here instead of into a Tsv::Row, so that every value is the one the table
// would write, at full precision. Tables written as text (sweep tables) are
// read into columns with addLine().
//
// A column is Integer until a real comes (its integers become reals, exact
// below 2^53), Real or Integer until a word comes (its values become their
// table text); paths are kept as their bytes, unquoted.
class TableColumns
{
public:
    enum Kind { Integer, Real, Text };
    struct Column
    {
        QByteArray name;
        Kind kind = Integer;
        std::vector<qint64> integers;
        std::vector<double> reals; // NaN where the table says NA
        QByteArrayList texts;
    };

    // Columns named by a table's header line (its tab-separated names).
    explicit TableColumns(const QByteArray &header);

    void number(qint64 value);
    void real(double value);
    void text(const QByteArray &text);
    void path(const QByteArray &path) { text(path); }
    void end();
    // A row of a table's text: each field as its column's kind says
    // (kinds, one per column; NA, nan and empty fields of numbers are NaN,
    // an integer column's NaN makes it Real). False for a line of another
    // number of fields.
    bool addLine(const QByteArray &line, const std::vector<Kind> &kinds);

    // Every row's field of the column named name becomes text.
    void fill(const QByteArray &name, const QByteArray &text);

    const std::vector<Column> &columns() const { return m_columns; }
    qint64 rows() const { return m_rows; }

private:
    Column &next();
    std::vector<Column> m_columns;
    size_t m_field = 0; // the next field's column
    qint64 m_rows = 0;
};
