#pragma once

#include "clusterrecord.h"

#include <QtGlobal>

// Everything the cluster engine knows of one cluster (a patch) once it is
// complete, in one record that every search shares: the scan over rows
// retires its clusters through it, and the statistics, the patch tables and
// the maps read it. Coordinates are the landscape's cells: x the column, y
// the row, each cell at its integer (row, column).
//
// Sides: a cell side between a cluster's cell and a cell that is not the
// cluster's (another class, matrix, no value, the landscape's edge) is part
// of its perimeter. Cells that share an edge and are both habitat of one
// class always belong to one cluster, so with r runs (maximal stretches of
// the class along a row), s cells and o vertical pairs of its cells (a cell
// with the cell below it also the cluster's):
//   vertical sides (left and right, the length of a cell's height) 2 r,
//   horizontal sides (top and bottom, a cell's width)              2 s - 2 o.
// Like adjacencies (FRAGSTATS' g_ii, each pair counted once) are the
// horizontal pairs s - r and the vertical ones o.
struct Cluster
{
    qint32 value = 0;   // its class (cover each), else 0
    quint8 edges = 0;   // the landscape's edges it touches (ClusterRecord::Edge)
    qint64 cells = 0;
    qint64 runs = 0;
    qint64 overlaps = 0;
    // Classes: the vertical sides between its cells and cells of another
    // class (those across rows are counted per class, not per cluster:
    // ClusterStatistics::edgeSidesHorizontal).
    qint64 otherSidesVertical = 0;
    unsigned __int128 sumX = 0;       // sums over its cells of x, y and x^2 + y^2
    unsigned __int128 sumY = 0;
    unsigned __int128 sumSquares = 0;
    // Where it lies, with a search that keeps extents (patch tables, maps):
    // its rows and columns, and its first cell in row-major order
    // (rowMin, startColumn), the start-th cluster the search began.
    qint64 rowMin = 0;
    qint64 rowMax = 0;
    qint64 columnMin = 0;
    qint64 columnMax = 0;
    qint64 startColumn = 0;
    quint64 start = 0;

    // The record of this cluster and other as one: its counts, sums, edges
    // and extent, and the first cell of the two that comes first.
    void add(const Cluster &other)
    {
        if (other.beginsBefore(*this)) {
            startColumn = other.startColumn;
            start = other.start;
        }
        edges |= other.edges;
        cells += other.cells;
        runs += other.runs;
        overlaps += other.overlaps;
        otherSidesVertical += other.otherSidesVertical;
        sumX += other.sumX;
        sumY += other.sumY;
        sumSquares += other.sumSquares;
        rowMin = rowMin < other.rowMin ? rowMin : other.rowMin;
        rowMax = rowMax > other.rowMax ? rowMax : other.rowMax;
        columnMin = columnMin < other.columnMin ? columnMin : other.columnMin;
        columnMax = columnMax > other.columnMax ? columnMax : other.columnMax;
    }

    // Whether its first cell comes before other's in row-major order (the
    // order of the patches' numbers).
    bool beginsBefore(const Cluster &other) const
    {
        return rowMin != other.rowMin ? rowMin < other.rowMin : startColumn < other.startColumn;
    }

    // Its first cell's place in row-major order on a landscape of `columns`
    // columns: what a record written out carries for start, which is the
    // count of one search and differs with the bands the rows were searched
    // in (a part's or a chunk's bytes are then the same for any number).
    quint64 firstCellIndex(qint64 columns) const { return quint64(rowMin) * quint64(columns) + quint64(startColumn); }

    qint64 verticalSides() const { return 2 * runs; }
    qint64 horizontalSides() const { return 2 * cells - 2 * overlaps; }
    qint64 perimeter() const { return verticalSides() + horizontalSides(); }
    qint64 likeAdjacencies() const { return cells - runs + overlaps; }
    // s^2 R^2 = s (Sxx + Syy) - Sx^2 - Sy^2, exact in wrapping arithmetic
    // whenever the result fits in 128 bits.
    unsigned __int128 squaredGyration() const
    {
        return (unsigned __int128)cells * sumSquares - sumX * sumX - sumY * sumY;
    }
};

// The smallest perimeter, in cell sides, of `cells` cells on the square grid
// (FRAGSTATS' raster SHAPE's denominator): with n = floor(sqrt(cells)) and
// m = cells - n^2, 4n when m = 0, 4n + 2 when m <= n, 4n + 4 otherwise.
qint64 smallestPerimeter(qint64 cells);
