#pragma once

#include <QtGlobal>

#include <utility>
#include <vector>

// A complete cluster search written plainly: a flood fill with an explicit
// stack over nested rows, kept as the yardstick for ClusterScan.
namespace ReferenceCluster {

// Whether a cluster (4 or 8 neighbours) joins left and right (leftRight) or
// top and bottom (topBottom). Cells are habitat where not 0; rows may be of
// any length; the square is that of side n = number of rows, missing cells
// not habitat.
bool spans(const std::vector<std::vector<int>> &rows, int neighbours, bool leftRight, bool topBottom);

// Everything ClusterStatistics holds, found cluster by cluster: each
// cluster's cells are collected, then its size, the edges it touches, its
// centroid and the squared distances of its cells from it.
struct Statistics
{
    qint64 cells = 0;
    qint64 habitat = 0;
    qint64 clusters = 0;
    qint64 largest = 0;
    unsigned __int128 sumSquares = 0;         // sum of s^2
    unsigned __int128 sumSquaredGyration = 0; // sum of s^2 R^2, exact
    unsigned __int128 largestSquaredGyration = 0; // of the largest clusters, the greatest s^2 R^2
    long double sumSizeGyration = 0;          // sum of s R
    bool spansLeftRight = false;
    bool spansTopBottom = false;
};

// One cover on a landscape of height x width: rows[r][c] above 0 habitat, 0
// matrix, below 0 without a value; cells beyond width are not read, cells a
// short row (or a missing row) lacks have no value.
Statistics statistics(const std::vector<std::vector<int>> &rows, qint64 height, qint64 width, int neighbours);

// The clusters of statistics() as labels: [r][c] for r < height (and below
// the rows given), c < width, the index of the cluster of a habitat cell (clusters numbered in
// the order of their first cell, row by row), -1 for any other cell.
std::vector<std::vector<int>> labels(const std::vector<std::vector<int>> &rows, qint64 height, qint64 width,
                                     int neighbours);

// Every class on its own: cells of equal value join; present[r][c] == 0 (or
// a cell present lacks) is a cell without a value. Per class value present,
// in increasing order; each class's cells are all cells with a value.
std::vector<std::pair<int, Statistics>> classStatistics(const std::vector<std::vector<int>> &values,
                                                        const std::vector<std::vector<int>> &present,
                                                        qint64 height, qint64 width, int neighbours);

} // namespace ReferenceCluster
