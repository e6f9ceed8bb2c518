#pragma once

#include "cellqueue.h"
#include "raggedrows.h"

#include <QString>

// One landscape as habitat / non-habitat cells, and the spanning walk over it.
//
// Coordinates are (row, column), both from 0: row 0 is the first row loaded,
// column 0 the first field of a line. With n the number of rows, the walk works
// on the square of rows and columns 0 .. n-1: column n-1 is the right edge, row
// n-1 the bottom edge. Cells a row does not have (a row shorter than n) count
// as not habitat and are never read; cells beyond column n-1 are never read and
// not kept.
//
// The walk is a single cursor with a first-in first-out queue of the cells it
// has entered. It is deliberately not a flood fill: on some grids it answers 0
// although habitat joins two opposite edges, and those answers are the
// system's. The exact order of moves is in stepLeftRight().
//
// A grid serves one load and one test; build a new one for the next file.
class PercolationGrid
{
public:
    enum StepResult : quint8 { Continue = 0, Spanned = 1, Exhausted = 2 };

    // Cell values.
    static constexpr qint8 NotHabitat = 0;
    static constexpr qint8 Habitat = 1;
    static constexpr qint8 Visited = 2;

    // The field value that makes a cell habitat; set before loadLandscape().
    qint32 habitatValue = 1;
    // The cursor of the walk; meaningful only during and after a search phase.
    qint32 currentRow = 0;
    qint32 currentColumn = 0;

    // Reads the landscape at path (file-system bytes, see LandscapeReader),
    // from band of a raster. Returns false if it cannot be opened or read;
    // the grid then has no rows and errorString() says why. A file without
    // any valid field loads fine, with no rows.
    bool loadLandscape(const QByteArray &path, int band = 1);
    // The same for a path as a QString (encoded with QFile::encodeName), and
    // for a NUL-terminated path in its file-system encoding.
    bool loadLandscape(const QString &path);
    bool loadLandscape(const char *path);
    QString errorString() const { return m_errorString; }

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
    // Entries of the queue, front first, as (row, column).
    qsizetype queueSize() const { return qsizetype(m_visitQueue.size()); }

    // The whole test of one file: a fresh grid with habitatValue, loaded from
    // path and tested under the walk in either direction (SpanningRule); the
    // answer is that of percolates(). A file that cannot be read gives 0, and
    // the reason in *errorString when given (empty otherwise).
    static int testLandscape(const QByteArray &path, qint32 habitatValue, QString *errorString = nullptr);

    // Loads rows directly, for tests and for callers that build grids in
    // memory; the queue is emptied (keeping its storage), so that one grid can
    // test many landscapes built in memory, one after the other.
    void setRows(RaggedRows<qint8> rows);
    // Hands the rows back (the grid is left without rows), for reuse of their storage.
    RaggedRows<qint8> takeRows();
    // The cells, clipped to the square: row r holds at most rowCount() cells.
    const RaggedRows<qint8> &rows() const { return m_rows; }

private:
    bool isHabitat(qint64 r, qint64 c) const
    {
        return c < m_rows.rowLength(r) && m_rows.row(r)[c] == Habitat;
    }
    void clipToSquare();
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
    QString m_errorString;
};
