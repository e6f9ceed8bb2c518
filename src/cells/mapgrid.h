#pragma once

#include "raggedrows.h"

#include <unordered_map>
#include <vector>

// The values of a landscape as the map view shows them: rows of signed 32-bit
// values, of any lengths (row r, value c, both from 0). A cell of a row may
// hold no value (a raster's nodata or invalid cell): the map leaves it
// undrawn, like the cells a short row lacks.
//
// While the landscape holds at most 255 distinct values they are kept as one
// byte per value, an index into palette(), and MissingCode marks a cell
// without a value; the values 0 to 9 are always indices 0 to 9. The 256th
// distinct value turns the grid into plain 32-bit values for good (with one
// byte per cell more once a cell without a value occurs). Either way value()
// gives the values back unchanged.
class MapGrid
{
public:
    MapGrid() { clear(); }

    qsizetype rowCount() const { return isCoded() ? m_codes.rowCount() : m_values.rowCount(); }
    qsizetype rowLength(qsizetype r) const { return isCoded() ? m_codes.rowLength(r) : m_values.rowLength(r); }
    bool isEmpty() const { return rowCount() == 0; }
    qsizetype cellCount() const { return qsizetype(isCoded() ? m_codes.cells.size() : m_values.cells.size()); }
    // Whether cell c of row r holds a value; c < rowLength(r).
    bool hasValue(qsizetype r, qsizetype c) const
    {
        return isCoded() ? m_codes.row(r)[c] != MissingCode
                         : m_missing.empty() || !m_missing[size_t(m_values.offsets[r] + c)];
    }
    // The value of cell c of row r; 0 for a cell without a value.
    qint32 value(qsizetype r, qsizetype c) const
    {
        if (!hasValue(r, c))
            return 0;
        return isCoded() ? m_palette[m_codes.row(r)[c]] : m_values.row(r)[c];
    }

    static constexpr quint8 MissingCode = 255;

    bool isCoded() const { return !m_wide; }
    // Coded storage: row r's indices into palette(), or MissingCode. Only while isCoded().
    const quint8 *codes(qsizetype r) const { return m_codes.row(r); }
    const std::vector<qint32> &palette() const { return m_palette; }
    // Plain storage: row r's values, and per cell 1 where it holds no value
    // (null when every cell holds one). Only while !isCoded().
    const qint32 *values(qsizetype r) const { return m_values.row(r); }
    const quint8 *missing(qsizetype r) const
    {
        return m_missing.empty() ? nullptr : m_missing.data() + m_values.offsets[r];
    }

    void clear();
    // Appends one row of count values; present, when given, holds per value
    // 0 for a cell without a value.
    void appendRow(const qint32 *values, size_t count, const quint8 *present = nullptr);
    // Room for this many values without moving the storage.
    void reserve(size_t values);

    // Building a row: the values appended since the last endRow() make it.
    // A writer asks room() for at most `count` more values and then calls
    // commit() with how many it wrote.
    struct Room
    {
        quint8 *codes = nullptr;   // coded storage, else
        qint32 *values = nullptr;  // plain storage
    };
    Room room(size_t count);
    // The index of value in the palette, adding it when new; -1 when the
    // palette is full (then call widen() and write values). Never MissingCode.
    int codeOf(qint32 value);
    void commit(size_t written);
    // Leaves coded storage; Room pointers taken before are void.
    void widen();
    void endRow();

private:
    RaggedRows<quint8> m_codes;
    RaggedRows<qint32> m_values;
    std::vector<qint32> m_palette;
    std::vector<quint8> m_missing; // plain storage: 1 per cell without a value, or empty
    std::unordered_map<qint32, quint8> m_codeOfValue; // values beyond 0..9
    bool m_wide = false;
    size_t m_open = 0; // size of the storage before the current room()
};
