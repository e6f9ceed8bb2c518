#include "siteclusters.h"

#include <algorithm>
#include <limits>

bool SiteClusters::fits(qint64 rows, qint64 columns)
{
    return rows >= 1 && columns >= 1 && rows < (qint64(1) << 31) && columns < (qint64(1) << 31)
            && (rows + 2) * (columns + 2) <= qint64(std::numeric_limits<qint32>::max());
}

qint64 SiteClusters::bytes(qint64 rows, qint64 columns)
{
    return 5 * (rows + 2) * (columns + 2);
}

void SiteClusters::reset(qint64 rows, qint64 columns, ClusterRecord::Connectivity connectivity)
{
    Q_ASSERT(fits(rows, columns));
    m_rows = rows;
    m_columns = columns;
    m_width = columns + 2;
    m_reciprocal = columns == 1 ? 0 : ~quint64(0) / quint64(columns) + 1;
    m_connectivity = connectivity;
    const qint32 w = qint32(m_width);
    const qint32 four[] = {-w, -1, 1, w};
    const qint32 eight[] = {-w - 1, -w, -w + 1, -1, 1, w - 1, w, w + 1};
    m_neighbours = connectivity == ClusterRecord::Four ? 4 : 8;
    std::copy_n(connectivity == ClusterRecord::Four ? four : eight, m_neighbours, m_offsets);
    const size_t cells = size_t((rows + 2) * m_width);
    // Parents of matrix cells are never read: only the state is cleared.
    m_parent.resize(cells);
    m_state.assign(cells, 0);
    m_habitat = 0;
    m_clusters = 0;
    m_largest = 0;
    m_sumSquares = 0;
    m_leftRight = false;
    m_topBottom = false;
}

qint32 SiteClusters::find(qint32 cell)
{
    // Path halving: every other cell on the way points to its grandparent.
    qint32 *const parent = m_parent.data();
    while (true) {
        const qint32 up = parent[cell];
        if (up < 0)
            return cell;
        const qint32 upper = parent[up];
        if (upper < 0)
            return up;
        parent[cell] = upper;
        cell = upper;
    }
}

qint32 SiteClusters::unite(qint32 a, qint32 b)
{
    if (a == b)
        return a;
    qint32 *const parent = m_parent.data();
    // The larger cluster keeps its root (chosen without a branch: which one
    // is larger is as good as random).
    const qint32 sizeA = parent[a];
    const qint32 sizeB = parent[b];
    const bool swap = sizeA > sizeB; // sizes are negative
    const qint32 root = swap ? b : a;
    const qint32 child = swap ? a : b;
    const quint64 sa = quint64(-qint64(sizeA));
    const quint64 sb = quint64(-qint64(sizeB));
    parent[root] = sizeA + sizeB;
    parent[child] = root;
    m_state[size_t(root)] |= m_state[size_t(child)];
    m_sumSquares += 2 * sa * sb;
    --m_clusters;
    m_largest = std::max(m_largest, qint64(sa + sb));
    noteSpanning(root);
    return root;
}

void SiteClusters::add(qint64 cell)
{
    const qint64 row = m_columns == 1 ? cell : qint64((static_cast<unsigned __int128>(quint64(cell)) * m_reciprocal) >> 64);
    const qint64 column = cell - row * m_columns;
    const qint32 at = qint32((row + 1) * m_width + column + 1);
    quint8 *const state = m_state.data();
    if (state[at])
        return;
    state[at] = Occupied | ClusterRecord::edgesOf(row, column, m_rows, m_columns);
    m_parent[size_t(at)] = -1;
    ++m_habitat;
    ++m_clusters;
    ++m_sumSquares;
    m_largest = std::max<qint64>(m_largest, 1);
    qint32 root = at;
    for (int k = 0; k < m_neighbours; ++k) {
        const qint32 next = at + m_offsets[k];
        if (state[next])
            root = unite(root, find(next));
    }
    noteSpanning(root);
}

namespace {

// One row of fill(): cell states are Occupied (16, or more at a root with
// edges) or 0, so >> 4 gives 1 for habitat. Arithmetic rather than
// conditions keeps the loop free of branches on the cells.
template <bool Eight>
void scanRow(const quint8 *row, const quint8 *above, qint32 *parents, qint32 base, qint64 columns, qint32 *starts,
             qint32 *ends, qint32 *meets, qint64 &runs, qint64 &closed, qint64 &met)
{
    qint32 root = 0;
    quint32 left = 0;          // the cell to the left (the border for column 0)
    quint32 aboveLeft = 0;     // the cell above that one
    quint32 aboveLeftLeft = 0; // and the one left of it
    qint64 r = 0, e = 0, m = 0;
    const qint32 w = qint32(columns + 2);
    for (qint64 c = 0; c < columns; ++c) {
        const quint32 here = row[c] >> 4;
        const quint32 up = above[c] >> 4;
        const quint32 start = here & (left ^ 1);
        root = start ? base + qint32(c) : root;
        parents[c] = root;
        starts[r] = qint32(c);
        r += start;
        ends[e] = qint32(c);
        e += (here ^ 1) & left;
        // A cell of a run meets a run above where the pair is not the
        // continuation of the pair to its left.
        // Pairs of bordered indices: the run's first cell, the cell above.
        const qint32 at = base + qint32(c);
        meets[2 * m] = root;
        meets[2 * m + 1] = at - w;
        m += here & up & ((left & aboveLeft) ^ 1);
        if (Eight) {
            const quint32 upRight = above[c + 1] >> 4;
            meets[2 * m] = root;
            meets[2 * m + 1] = at - w - 1;
            m += here & aboveLeft & ((left & aboveLeftLeft) ^ 1);
            meets[2 * m] = root;
            meets[2 * m + 1] = at - w + 1;
            m += here & upRight & ((left & up) ^ 1);
        }
        left = here;
        aboveLeftLeft = aboveLeft;
        aboveLeft = up;
    }
    runs = r;
    closed = e;
    met = m;
}

} // namespace

void SiteClusters::fill(const qint8 *habitat)
{
    // Row by row, without branches on the cells: each habitat cell points to
    // the first cell of its run, which becomes the run's root; the runs'
    // starts and ends, and the cells where a run meets a run of the row above
    // for the first time, are collected into lists, and only those are
    // worked through. Random habitat makes branches on cells mispredict.
    qint32 *const parent = m_parent.data();
    quint8 *const state = m_state.data();
    const bool eight = m_connectivity == ClusterRecord::Eight;
    const qint32 w = qint32(m_width);
    const qint64 columns = m_columns;
    m_starts.resize(size_t(columns + 1));
    m_ends.resize(size_t(columns + 1));
    m_meets.resize(size_t(6 * columns + 6));
    qint32 *const starts = m_starts.data();
    qint32 *const ends = m_ends.data();
    qint32 *const meets = m_meets.data();
    for (qint64 r = 0; r < m_rows; ++r) {
        const qint8 *const cells = habitat + r * columns;
        const qint32 base = qint32((r + 1) * m_width + 1); // bordered index of column 0
        quint8 *const row = state + base;
        const quint8 *const above = row - w;
        qint32 *const parents = parent + base;
        for (qint64 c = 0; c < columns; ++c)
            row[c] = cells[c] > 0 ? Occupied : 0;
        qint64 runs = 0;
        qint64 closed = 0;
        qint64 met = 0;
        if (eight)
            scanRow<true>(row, above, parents, base, columns, starts, ends, meets, runs, closed, met);
        else
            scanRow<false>(row, above, parents, base, columns, starts, ends, meets, runs, closed, met);
        const quint32 left = row[columns - 1] >> 4;
        ends[closed] = qint32(columns);
        closed += left;
        const quint8 vertical = (r == 0 ? ClusterRecord::Top : 0) | (r == m_rows - 1 ? ClusterRecord::Bottom : 0);
        for (qint64 k = 0; k < runs; ++k) {
            const qint64 length = ends[k] - starts[k];
            const qint32 at = base + starts[k];
            parent[at] = qint32(-length);
            state[at] = Occupied | vertical | (starts[k] == 0 ? ClusterRecord::Left : 0)
                    | (ends[k] == columns ? ClusterRecord::Right : 0);
            m_habitat += length;
            m_sumSquares += quint64(length) * quint64(length);
            m_largest = std::max(m_largest, length);
            noteSpanning(at);
        }
        m_clusters += runs;
        // A run's meets come one after the other: its cluster's root is
        // known after the first.
        qint32 run = -1;
        qint32 cluster = -1;
        for (qint64 k = 0; k < met; ++k) {
            if (meets[2 * k] != run) {
                run = meets[2 * k];
                cluster = find(run);
            }
            cluster = unite(cluster, find(meets[2 * k + 1]));
        }
    }
}

quint64 SiteClusters::meanFiniteSizeFixed() const
{
    const quint64 cells = quint64(m_habitat - m_largest);
    if (cells == 0)
        return 0;
    const quint64 squares = m_sumSquares - quint64(m_largest) * quint64(m_largest);
    const unsigned __int128 scaled = (static_cast<unsigned __int128>(squares) << 32) + cells / 2;
    return quint64(scaled / cells);
}
