#pragma once

#include <QtGlobal>

// What every cluster search keeps of a cluster besides its cells: which
// edges of the landscape it touches, and when that makes it span. Shared by
// the search over rows (ClusterScan) and the one that adds cells in any
// order (the sweep's), so that both decide spanning alike.
namespace ClusterRecord {

// Cells are joined when they share an edge (Four), or an edge or a corner (Eight).
enum Connectivity : quint8 { Four, Eight };

enum Edge : quint8 { Left = 1, Right = 2, Top = 4, Bottom = 8 };

// The edges a cell at (row, column) of a rows x columns landscape touches.
inline quint8 edgesOf(qint64 row, qint64 column, qint64 rows, qint64 columns)
{
    return quint8((column == 0 ? Left : 0) | (column == columns - 1 ? Right : 0) | (row == 0 ? Top : 0)
                  | (row == rows - 1 ? Bottom : 0));
}

// Whether a cluster touching edges spans in a direction asked for.
inline bool spansLeftRight(quint8 edges)
{
    return (edges & (Left | Right)) == (Left | Right);
}
inline bool spansTopBottom(quint8 edges)
{
    return (edges & (Top | Bottom)) == (Top | Bottom);
}

} // namespace ClusterRecord
