#pragma once

#include <QtGlobal>

#include <vector>

// Rows of cells of possibly different lengths, stored in one flat array.
//
// Row r occupies cells[offsets[r]] .. cells[offsets[r + 1] - 1]; offsets always
// holds rowCount() + 1 entries and starts with 0. Indices are 0-based, rows from
// the top of the file, cells from the left of a line.
template <typename T>
struct RaggedRows
{
    std::vector<T> cells;
    std::vector<qsizetype> offsets{0};

    qsizetype rowCount() const { return qsizetype(offsets.size()) - 1; }
    qsizetype rowLength(qsizetype r) const { return offsets[r + 1] - offsets[r]; }
    const T *row(qsizetype r) const { return cells.data() + offsets[r]; }
    T *row(qsizetype r) { return cells.data() + offsets[r]; }
    bool isEmpty() const { return offsets.size() == 1; }
    qsizetype cellCount() const { return qsizetype(cells.size()); }

    // Closes the row made of the cells appended since the last call.
    void endRow() { offsets.push_back(qsizetype(cells.size())); }

    void clear()
    {
        cells.clear();
        offsets.assign(1, 0);
    }
};
