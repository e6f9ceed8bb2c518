#include "tablecolumns.h"

#include "tsv.h"

#include <cmath>
#include <limits>

TableColumns::TableColumns(const QByteArray &header)
{
    QByteArray names = header;
    if (names.endsWith('\n'))
        names.chop(1);
    for (const QByteArray &name : names.split('\t'))
        m_columns.push_back(Column{name, Integer, {}, {}, {}});
}

TableColumns::Column &TableColumns::next()
{
    // A row of more fields than the header names would be a fault of the
    // table's writer: the extra fields go to the last column's row.
    Column &column = m_columns[std::min(m_field, m_columns.size() - 1)];
    ++m_field;
    return column;
}

void TableColumns::number(qint64 value)
{
    Column &c = next();
    switch (c.kind) {
    case Integer:
        c.integers.push_back(value);
        break;
    case Real:
        c.reals.push_back(double(value));
        break;
    case Text:
        c.texts.push_back(Tsv::number(value));
        break;
    }
}

void TableColumns::real(double value)
{
    Column &c = next();
    if (c.kind == Integer) {
        c.reals.assign(c.integers.begin(), c.integers.end());
        c.integers = {};
        c.kind = Real;
    }
    if (c.kind == Real)
        c.reals.push_back(value);
    else
        c.texts.push_back(Tsv::real(value));
}

void TableColumns::text(const QByteArray &text)
{
    Column &c = next();
    if (c.kind != Text) {
        for (const qint64 v : c.integers)
            c.texts.push_back(Tsv::number(v));
        for (const double v : c.reals)
            c.texts.push_back(Tsv::real(v));
        c.integers = {};
        c.reals = {};
        c.kind = Text;
    }
    c.texts.push_back(text);
}

void TableColumns::end()
{
    // A short row (a writer's fault too) is filled with what says missing.
    while (m_field < m_columns.size())
        real(std::numeric_limits<double>::quiet_NaN());
    m_field = 0;
    ++m_rows;
}

bool TableColumns::addLine(const QByteArray &line, const std::vector<Kind> &kinds)
{
    const QByteArrayList fields = line.split('\t');
    if (size_t(fields.size()) != m_columns.size() || kinds.size() != m_columns.size())
        return false;
    for (size_t i = 0; i < m_columns.size(); ++i) {
        const QByteArray &field = fields[qsizetype(i)];
        bool ok = false;
        switch (kinds[i]) {
        case Integer: {
            const qint64 v = field.toLongLong(&ok);
            if (ok)
                number(v);
            else
                real(std::numeric_limits<double>::quiet_NaN());
            break;
        }
        case Real: {
            const double v = field.toDouble(&ok);
            real(ok ? v : std::numeric_limits<double>::quiet_NaN());
            break;
        }
        case Text:
            text(field);
            break;
        }
    }
    end();
    return true;
}

void TableColumns::fill(const QByteArray &name, const QByteArray &text)
{
    for (Column &c : m_columns) {
        if (c.name != name)
            continue;
        c = Column{name, Text, {}, {}, QByteArrayList(qsizetype(m_rows), text)};
    }
}
