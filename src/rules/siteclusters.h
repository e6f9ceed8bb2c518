#pragma once

#include "clusterrecord.h"

#include <QtGlobal>

#include <vector>

// Clusters of habitat grown one cell at a time, in whatever order the caller
// adds cells (Newman and Ziff, Phys. Rev. Lett. 85, 4104, 2000): a union-find
// over the cells of a rows x columns landscape, each cluster carrying its
// size and the edges of the landscape it touches (ClusterRecord), so that
// spanning is decided as in the row-by-row search. Cells are joined when
// they share an edge (Four) or an edge or a corner (Eight). It knows no model
// and no share: the caller decides the order.
//
// After every step it knows the totals of percolation theory's observables:
// habitat cells, clusters, the largest cluster, the sum of the squared
// cluster sizes, and whether a cluster spans left to right or top to bottom.
// Spanning is monotone here: once a cluster spans, it spans after any
// further cell.
//
// Storage: about 5 bytes per cell (a 32-bit parent or size, a byte of state)
// on a grid with a border of one cell, kept for the next landscape of the
// same size; at most maxCells() cells. Not for several threads at once.
class SiteClusters
{
public:
    // Whether a rows x columns landscape fits (its bordered grid needs
    // fewer than 2^31 cells, some 46,000 x 46,000), and its storage in bytes.
    static bool fits(qint64 rows, qint64 columns);
    static qint64 bytes(qint64 rows, qint64 columns);

    // Starts over with every cell matrix. rows and columns from 1, fits().
    void reset(qint64 rows, qint64 columns, ClusterRecord::Connectivity connectivity);

    // Makes habitat every cell whose byte in habitat[0 .. rows * columns)
    // (row-major) is above 0, in one pass over the rows; faster than adding
    // them one by one. Only right after reset().
    void fill(const qint8 *habitat);

    // Makes cell (row-major index) habitat and joins it to its habitat
    // neighbours. A cell already habitat is left as it is.
    void add(qint64 cell);
    bool contains(qint64 cell) const { return m_state[size_t(padded(cell))] != 0; }
    // Asks the processor to fetch what add(cell) will read: callers that know
    // their next cells call it some cells ahead, as adding is bound by
    // memory latency once the landscape outgrows the caches.
    void prefetch(qint64 cell) const
    {
        const qint64 at = padded(cell);
        for (const qint64 row : {at - m_width, at, at + m_width}) {
            __builtin_prefetch(m_state.data() + row);
            __builtin_prefetch(m_parent.data() + row);
        }
    }

    qint64 habitat() const { return m_habitat; }
    qint64 clusters() const { return m_clusters; }
    qint64 largest() const { return m_largest; }
    // The sum over clusters of their size squared.
    quint64 sumSquares() const { return m_sumSquares; }
    bool spansLeftRight() const { return m_leftRight; }
    bool spansTopBottom() const { return m_topBottom; }
    bool spans(bool leftRight, bool topBottom) const
    {
        return (leftRight && m_leftRight) || (topBottom && m_topBottom);
    }

    // The mean cluster size of percolation theory over the clusters other
    // than one largest, sum s^2 / sum s, in units of 2^-32 rounded to the
    // nearest (exact integer arithmetic); 0 when there is no other cluster.
    quint64 meanFiniteSizeFixed() const;

private:
    enum : quint8 { Occupied = 16 };

    qint64 padded(qint64 cell) const
    {
        // cell / columns by a multiplication: exact for cells below 2^32.
        const qint64 row = m_columns == 1 ? cell
                                          : qint64((static_cast<unsigned __int128>(quint64(cell)) * m_reciprocal) >> 64);
        return (row + 1) * m_width + (cell - row * m_columns) + 1;
    }
    qint32 find(qint32 cell);
    qint32 unite(qint32 a, qint32 b);
    void noteSpanning(qint32 root)
    {
        const quint8 edges = m_state[size_t(root)];
        m_leftRight |= ClusterRecord::spansLeftRight(edges);
        m_topBottom |= ClusterRecord::spansTopBottom(edges);
    }

    qint64 m_rows = 0;
    qint64 m_columns = 0;
    qint64 m_width = 0; // columns + 2
    quint64 m_reciprocal = 0;
    ClusterRecord::Connectivity m_connectivity = ClusterRecord::Four;
    int m_neighbours = 0;
    qint32 m_offsets[8] = {};
    // A root holds minus its cluster's size, any other habitat cell its parent.
    std::vector<qint32> m_parent;
    // Occupied, and at a root the edges its cluster touches; 0 for matrix
    // and for the border.
    std::vector<quint8> m_state;
    std::vector<qint32> m_starts; // fill(): a row's runs and where they meet the row above
    std::vector<qint32> m_ends;
    std::vector<qint32> m_meets;
    qint64 m_habitat = 0;
    qint64 m_clusters = 0;
    qint64 m_largest = 0;
    quint64 m_sumSquares = 0;
    bool m_leftRight = false;
    bool m_topBottom = false;
};
