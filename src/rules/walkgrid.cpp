#include "walkgrid.h"

#include <algorithm>

void WalkGrid::setRows(RaggedRows<qint8> rows)
{
    m_rows = std::move(rows);
    m_visitQueue.clear();
    clipToSquare();
}

RaggedRows<qint8> WalkGrid::takeRows()
{
    RaggedRows<qint8> rows = std::move(m_rows);
    m_rows = RaggedRows<qint8>();
    clipToSquare();
    return rows;
}

void WalkGrid::clipToSquare()
{
    const qsizetype n = m_rows.rowCount();
    bool clip = false;
    bool uniform = true;
    for (qsizetype r = 0; r < n; ++r) {
        const qsizetype length = m_rows.rowLength(r);
        clip |= length > n;
        uniform &= length >= n;
    }
    if (clip) {
        qsizetype out = 0;
        for (qsizetype r = 0; r < n; ++r) {
            const qsizetype begin = m_rows.offsets[r];
            const qsizetype length = std::min(m_rows.rowLength(r), n);
            std::copy(m_rows.cells.begin() + begin, m_rows.cells.begin() + begin + length,
                      m_rows.cells.begin() + out);
            m_rows.offsets[r] = out;
            out += length;
        }
        m_rows.offsets[n] = out;
        m_rows.cells.resize(size_t(out));
        m_rows.cells.shrink_to_fit();
    }
    m_stride = uniform ? qint32(n) : 0;
    // For a stride of 1 this wraps to 0, and divide() would be wrong; it is
    // never called then: with one row every cursor already stands on the far
    // edge, so no walk gets as far as taking a cell from the queue.
    m_strideInverse = m_stride > 0 ? ~quint64(0) / quint64(m_stride) + 1 : 0;
}

namespace {

constexpr size_t PrefetchDistance = 16;

// index / divisor for any 32-bit index, given inverse = 2^64 / divisor rounded up.
inline quint32 divide(quint32 index, quint64 inverse)
{
    return quint32((static_cast<unsigned __int128>(inverse) * index) >> 64);
}

// Where the walk stands: (row, column) and the cell's flat index.
struct Cursor
{
    qint64 r;
    qint64 c;
    quint32 index;
};

struct Move
{
    int dr;
    int dc;
};

// Cells of a grid whose n rows all hold n cells: flat, row after row.
struct SquareCells
{
    qint8 *cells;
    qint64 n;
    quint64 inverse;

    qint8 &at(quint32 index) const { return cells[index]; }
    // Whether the neighbour (dr, dc) of a cell, known to lie inside the
    // square, holds Habitat; and its index.
    bool open(const Cursor &from, Move move) const
    {
        return (cells + from.index)[move.dr * n + move.dc] == WalkGrid::Habitat;
    }
    quint32 neighbour(const Cursor &from, Move move) const { return quint32(qint64(from.index) + move.dr * n + move.dc); }
    Cursor cursorAt(quint32 index) const
    {
        const qint64 r = divide(index, inverse);
        return {r, qint64(index) - r * n, index};
    }
    // Queued cells come back long after they were entered, mostly out of
    // cache: fetch the neighbourhood of a cell some pops ahead.
    void prefetch(const CellQueue::View &queue) const
    {
        const qint8 *soon = cells + queue.peek(PrefetchDistance);
        __builtin_prefetch(soon);
        __builtin_prefetch(soon - n);
        __builtin_prefetch(soon + n);
    }
};

// Cells of rows of any length; cells a short row lacks are not habitat.
struct RaggedCells
{
    RaggedRows<qint8> *rows;
    qint64 n;

    qint8 &at(quint32 index) const { return rows->cells[index]; }
    bool open(const Cursor &from, Move move) const
    {
        const qint64 r = from.r + move.dr;
        const qint64 c = from.c + move.dc;
        return c < rows->rowLength(r) && rows->cells[size_t(rows->offsets[size_t(r)] + c)] == WalkGrid::Habitat;
    }
    quint32 neighbour(const Cursor &from, Move move) const
    {
        return quint32(rows->offsets[size_t(from.r + move.dr)] + from.c + move.dc);
    }
    Cursor cursorAt(quint32 index) const
    {
        const auto next = std::upper_bound(rows->offsets.begin(), rows->offsets.end(), qsizetype(index));
        const qint64 r = qint64(next - rows->offsets.begin()) - 1;
        return {r, qint64(index) - rows->offsets[size_t(r)], index};
    }
    void prefetch(const CellQueue::View &) const {}
};

// Moves the cursor to its neighbour (dr, dc) if that lies in the square and
// holds Habitat. Only the bounds a move can cross are tested.
template <int dr, int dc, typename Cells>
inline bool tryMove(Cells cells, Cursor &cursor)
{
    if constexpr (dr > 0) {
        if (cursor.r + 1 >= cells.n)
            return false;
    } else if constexpr (dr < 0) {
        if (cursor.r == 0)
            return false;
    }
    if constexpr (dc > 0) {
        if (cursor.c + 1 >= cells.n)
            return false;
    } else if constexpr (dc < 0) {
        if (cursor.c == 0)
            return false;
    }
    if (!cells.open(cursor, Move{dr, dc}))
        return false;
    cursor = {cursor.r + dr, cursor.c + dc, cells.neighbour(cursor, Move{dr, dc})};
    return true;
}

// One step of the walk from the cursor: the one place that spells out the
// moves. Every walk, on square or ragged rows, in either direction, takes it.
//  1. The cursor on the far edge (column n-1, or row n-1): Spanned.
//  2. The cursor's cell is pushed if it holds Habitat, and marked Visited.
//  3. The first neighbour that lies in the square and holds Habitat becomes
//     the cursor (Continue), in the order: left to right, right, down, up,
//     left; top to bottom, the same with rows and columns exchanged: down,
//     right, left, up.
//  4. Otherwise the queue's front becomes the cursor (Continue), or, with an
//     empty queue, Exhausted.
// Cells is passed by value: kept in registers, its fields cannot be taken to
// change with every store of a cell through a char pointer.
template <bool LeftRight, typename Cells>
inline WalkGrid::StepResult walkStep(Cells cells, Cursor &cursor, CellQueue &storage, CellQueue::View &queue)
{
    if ((LeftRight ? cursor.c : cursor.r) + 1 >= cells.n)
        return WalkGrid::Spanned;
    qint8 &here = cells.at(cursor.index);
    if (here == WalkGrid::Habitat) {
        if (queue.full())
            storage.grow(queue);
        queue.push(cursor.index);
    }
    here = WalkGrid::Visited;
    const bool moved = LeftRight ? tryMove<0, 1>(cells, cursor) || tryMove<1, 0>(cells, cursor)
                    || tryMove<-1, 0>(cells, cursor) || tryMove<0, -1>(cells, cursor)
                                 : tryMove<1, 0>(cells, cursor) || tryMove<0, 1>(cells, cursor)
                    || tryMove<0, -1>(cells, cursor) || tryMove<-1, 0>(cells, cursor);
    if (moved)
        return WalkGrid::Continue;
    if (queue.empty())
        return WalkGrid::Exhausted;
    cells.prefetch(queue);
    cursor = cells.cursorAt(queue.pop());
    return WalkGrid::Continue;
}

} // namespace

template <bool LeftRight, bool Once, typename Cells>
WalkGrid::StepResult WalkGrid::walk(Cells cells)
{
    // The queue and the cursor live in locals while the walk runs: cell
    // stores through char pointers would otherwise force members to be
    // reloaded after every store.
    CellQueue::View queue = m_visitQueue.view();
    Cursor cursor{currentRow, currentColumn, quint32(m_rows.offsets[size_t(currentRow)] + currentColumn)};
    StepResult result;
    do {
        result = walkStep<LeftRight>(cells, cursor, m_visitQueue, queue);
    } while (!Once && result == Continue);
    m_visitQueue.adopt(queue);
    currentRow = qint32(cursor.r);
    currentColumn = qint32(cursor.c);
    return result;
}

template <bool LeftRight, bool Once>
WalkGrid::StepResult WalkGrid::walk()
{
    if (m_stride > 0)
        return walk<LeftRight, Once>(SquareCells{m_rows.cells.data(), m_stride, m_strideInverse});
    return walk<LeftRight, Once>(RaggedCells{&m_rows, m_rows.rowCount()});
}

WalkGrid::StepResult WalkGrid::stepLeftRight()
{
    return walk<true, true>();
}

WalkGrid::StepResult WalkGrid::stepTopBottom()
{
    return walk<false, true>();
}

template <bool LeftRight>
bool WalkGrid::spans()
{
    const qint32 n = rowCount();
    const qint32 starts = LeftRight ? n : (n > 0 ? std::min(n, rowLength(0)) : 0);
    for (qint32 i = 0; i < starts; ++i) {
        currentRow = LeftRight ? i : 0;
        currentColumn = LeftRight ? 0 : i;
        if (isHabitat(currentRow, currentColumn) && walk<LeftRight, false>() == Spanned)
            return true;
    }
    return false;
}

bool WalkGrid::spansLeftRight()
{
    return spans<true>();
}

bool WalkGrid::spansTopBottom()
{
    return spans<false>();
}

void WalkGrid::resetVisited()
{
    for (qint8 &cell : m_rows.cells)
        cell = std::min(cell, Habitat);
}

int WalkGrid::percolates()
{
    const bool leftRight = spansLeftRight();
    resetVisited();
    const bool topBottom = spansTopBottom();
    return (leftRight || topBottom) ? 1 : 0;
}
