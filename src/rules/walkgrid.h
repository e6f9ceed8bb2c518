#pragma once

#include "cellqueue.h"
#include "raggedrows.h"

// Habitat / non-habitat cells and the spanning walk over them.
//
// Coordinates are (row, column), both from 0. With n the number of rows, the
// walk works on the square of rows and columns 0 .. n-1: column n-1 is the
// right edge, row n-1 the bottom edge. Cells a row does not have (a row
// shorter than n) count as not habitat and are never read; cells beyond
// column n-1 are never read and not kept. A cell is habitat when it holds
// Habitat (1); any other value (0, or a cell without a value) is not.
//
// The walk is a single cursor with a first-in first-out queue of the cells it
// has entered. It is deliberately not a flood fill: on some grids it answers 0
// although habitat joins two opposite edges, and those answers are the
// system's. The exact order of moves is in stepLeftRight().
//
// A grid serves one test; give it new rows (setRows) for the next one.
// Cells are indexed with 32 bits: a square of more than 2^32 - 1 cells is
// for the cluster rules, which stream (see ClusterScan).
class WalkGrid
{
public:
    enum StepResult : quint8 { Continue = 0, Spanned = 1, Exhausted = 2 };

    // Cell values.
    static constexpr qint8 NotHabitat = 0;
    static constexpr qint8 Habitat = 1;
    static constexpr qint8 Visited = 2;

    // The cursor of the walk; meaningful only during and after a search phase.
    qint32 currentRow = 0;
    qint32 currentColumn = 0;

    // 1 if the left-to-right or the top-to-bottom phase spans, else 0.
    // Runs both phases, with resetVisited() between them; the queue is kept.
    int percolates();
    bool spansLeftRight();
    bool spansTopBottom();

    // One step of the walk from the cursor, n the number of rows, (r, c) the cursor:
    //  1. c + 1 >= n: Spanned.
    //  2. Push (r, c) if it holds Habitat; mark it Visited.
    //  3. The first of right, down (r+1 < n), up (r > 0), left (c > 0) that holds
    //     Habitat becomes the cursor: Continue.
    //  4. Otherwise the queue's front becomes the cursor (Continue), or, with an
    //     empty queue, Exhausted.
    StepResult stepLeftRight();
    // The same with rows and columns exchanged: Spanned when r + 1 >= n, then
    // down, right (c+1 < n), left (c > 0), up (r > 0).
    StepResult stepTopBottom();

    // Turns every Visited cell back into Habitat.
    void resetVisited();

    qint32 rowCount() const { return qint32(m_rows.rowCount()); }
    // Cells kept for row r: at most rowCount().
    qint32 rowLength(qint32 r) const { return qint32(m_rows.rowLength(r)); }
    qint8 cell(qint32 r, qint32 c) const { return m_rows.row(r)[c]; }

    // Takes the cells to walk on, clipped to the square; the queue is emptied
    // (keeping its storage), so that one grid can test many landscapes, one
    // after the other.
    void setRows(RaggedRows<qint8> rows);
    // Hands the rows back (the grid is left without rows), for reuse of their storage.
    RaggedRows<qint8> takeRows();
    // The cells, clipped to the square: row r holds at most rowCount() cells.
    const RaggedRows<qint8> &rows() const { return m_rows; }

protected:
    // For a subclass that fills the rows itself; call clipToSquare() after.
    RaggedRows<qint8> &mutableRows() { return m_rows; }
    void clipToSquare();

private:
    bool isHabitat(qint64 r, qint64 c) const
    {
        return c < m_rows.rowLength(r) && m_rows.row(r)[c] == Habitat;
    }
    // Steps from the cursor once, or until Spanned or Exhausted.
    template <bool LeftRight, bool Once>
    StepResult walk();
    template <bool LeftRight, bool Once, typename Cells>
    StepResult walk(Cells cells);
    template <bool LeftRight>
    bool spans();

    RaggedRows<qint8> m_rows;
    CellQueue m_visitQueue;      // flat cell indices
    qint32 m_stride = 0;         // row length when every row holds n cells, else 0
    quint64 m_strideInverse = 0; // 2^64 / m_stride rounded up, for division by multiplication
};
