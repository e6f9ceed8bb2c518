#pragma once

#include "raggedrows.h"

// Complete search for a spanning cluster of habitat cells.
//
// The landscape is the square of side n = rows.rowCount(): rows 0 .. n-1 and
// columns 0 .. n-1; cells a short row lacks, and cells beyond column n-1, are
// not habitat. A cell is habitat when it is not 0 (so the marks a walk leaves,
// 2 for a visited habitat cell, count as habitat too). Habitat cells are
// joined when they share an edge (Four), or an edge or a corner (Eight). A
// cluster spans left to right when it holds a cell of column 0 and one of
// column n-1, top to bottom when it holds a cell of row 0 and one of row n-1.
//
// The search labels the runs of habitat cells row by row and joins the runs
// of consecutive rows with union-find (Hoshen-Kopelman): time linear in the
// cells (with the union-find's near-constant factor), no recursion, and extra
// memory of 8 bytes per run of habitat, that is at most 4 bytes per cell (a
// run and its gap take two cells; at the percolation threshold about 2 bytes
// per cell), kept per thread for the next search; it stops as soon as the
// answer is known. It only reads the rows.
class ClusterSearch
{
public:
    enum Connectivity { Four, Eight };

    // Whether one cluster spans in a direction asked for: left to right when
    // leftRight, top to bottom when topBottom (either one, when both).
    static bool spans(const RaggedRows<qint8> &rows, Connectivity connectivity, bool leftRight, bool topBottom);
};
