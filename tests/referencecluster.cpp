#include "referencecluster.h"

#include <cmath>
#include <cstddef>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

bool ReferenceCluster::spans(const std::vector<std::vector<int>> &rows, int neighbours, bool leftRight, bool topBottom)
{
    const int n = int(rows.size());
    auto habitat = [&](int r, int c) {
        return r >= 0 && r < n && c >= 0 && c < n && c < int(rows[r].size()) && rows[r][c] != 0;
    };
    std::vector<std::vector<char>> seen(std::size_t(n), std::vector<char>(std::size_t(n), 0));
    for (int r0 = 0; r0 < n; ++r0) {
        for (int c0 = 0; c0 < n; ++c0) {
            if (!habitat(r0, c0) || seen[r0][c0])
                continue;
            bool left = false, right = false, top = false, bottom = false;
            std::vector<std::pair<int, int>> stack{{r0, c0}};
            seen[r0][c0] = 1;
            while (!stack.empty()) {
                const auto [r, c] = stack.back();
                stack.pop_back();
                left |= c == 0;
                right |= c == n - 1;
                top |= r == 0;
                bottom |= r == n - 1;
                for (int dr = -1; dr <= 1; ++dr) {
                    for (int dc = -1; dc <= 1; ++dc) {
                        const bool edge = (dr == 0) != (dc == 0);
                        if ((dr == 0 && dc == 0) || (!edge && neighbours == 4))
                            continue;
                        if (habitat(r + dr, c + dc) && !seen[r + dr][c + dc]) {
                            seen[r + dr][c + dc] = 1;
                            stack.emplace_back(r + dr, c + dc);
                        }
                    }
                }
            }
            if ((leftRight && left && right) || (topBottom && top && bottom))
                return true;
        }
    }
    return false;
}

namespace {

using Grid = std::vector<std::vector<int>>;
using Cell = std::pair<qint64, qint64>; // row, column

// The clusters of the cells for which `in` holds, joined where `joins` holds
// for two neighbours, each handed to `cluster` as its list of cells.
// Only rows [0, given) can hold cells: a landscape may be declared taller
// than the rows it was given.
template <typename In, typename Joins, typename Cluster>
void eachCluster(qint64 height, qint64 given, qint64 width, int neighbours, In in, Joins joins, Cluster cluster)
{
    height = std::min(height, given);
    std::vector<std::vector<char>> seen(std::size_t(height), std::vector<char>(std::size_t(width), 0));
    for (qint64 r0 = 0; r0 < height; ++r0) {
        for (qint64 c0 = 0; c0 < width; ++c0) {
            if (!in(r0, c0) || seen[r0][c0])
                continue;
            std::vector<Cell> cells;
            std::vector<Cell> stack{{r0, c0}};
            seen[r0][c0] = 1;
            while (!stack.empty()) {
                const Cell here = stack.back();
                stack.pop_back();
                cells.push_back(here);
                for (qint64 dr = -1; dr <= 1; ++dr) {
                    for (qint64 dc = -1; dc <= 1; ++dc) {
                        const bool side = (dr == 0) != (dc == 0);
                        if ((dr == 0 && dc == 0) || (!side && neighbours == 4))
                            continue;
                        const qint64 r = here.first + dr;
                        const qint64 c = here.second + dc;
                        if (r < 0 || r >= height || c < 0 || c >= width || seen[r][c] || !in(r, c)
                            || !joins(here.first, here.second, r, c))
                            continue;
                        seen[r][c] = 1;
                        stack.emplace_back(r, c);
                    }
                }
            }
            cluster(cells);
        }
    }
}

// Adds one cluster to the statistics: its size, the edges it touches, and
// its spread about the centroid. With the centroid (Sx / s, Sy / s), the
// squared distances scaled by s^2 are (s x - Sx)^2 + (s y - Sy)^2, integers;
// their sum is s times s^2 R^2.
void addCluster(ReferenceCluster::Statistics &out, const std::vector<Cell> &cells, qint64 height, qint64 width)
{
    using Wide = __int128;
    const qint64 s = qint64(cells.size());
    Wide sumX = 0;
    Wide sumY = 0;
    bool left = false, right = false, top = false, bottom = false;
    for (const Cell &cell : cells) {
        sumY += cell.first;
        sumX += cell.second;
        top |= cell.first == 0;
        bottom |= cell.first == height - 1;
        left |= cell.second == 0;
        right |= cell.second == width - 1;
    }
    Wide scaled = 0;
    const long double centreX = (long double)sumX / s;
    const long double centreY = (long double)sumY / s;
    long double meanSquare = 0;
    for (const Cell &cell : cells) {
        const Wide dx = Wide(s) * cell.second - sumX;
        const Wide dy = Wide(s) * cell.first - sumY;
        scaled += dx * dx + dy * dy;
        const long double ex = cell.second - centreX;
        const long double ey = cell.first - centreY;
        meanSquare += ex * ex + ey * ey;
    }
    if (scaled % s != 0)
        std::abort(); // the sum of squares about the centroid, times s^2, is a multiple of s
    meanSquare /= s;
    out.habitat += s;
    out.clusters += 1;
    const auto squaredGyration = (unsigned __int128)(scaled / s);
    if (s > out.largest || (s == out.largest && squaredGyration > out.largestSquaredGyration))
        out.largestSquaredGyration = squaredGyration;
    out.largest = std::max(out.largest, s);
    out.sumSquares += (unsigned __int128)(Wide(s) * s);
    out.sumSquaredGyration += (unsigned __int128)(scaled / s);
    out.sumSizeGyration += s * std::sqrt(meanSquare);
    out.spansLeftRight |= left && right;
    out.spansTopBottom |= top && bottom;
}

int at(const Grid &grid, qint64 r, qint64 c, int missing)
{
    if (r >= qint64(grid.size()) || c >= qint64(grid[std::size_t(r)].size()))
        return missing;
    return grid[std::size_t(r)][std::size_t(c)];
}

} // namespace

ReferenceCluster::Statistics ReferenceCluster::statistics(const Grid &rows, qint64 height, qint64 width,
                                                          int neighbours)
{
    Statistics out;
    const qint64 given = std::min(height, qint64(rows.size()));
    for (qint64 r = 0; r < given; ++r) {
        for (qint64 c = 0; c < width; ++c)
            out.cells += at(rows, r, c, -1) >= 0;
    }
    eachCluster(
            height, given, width, neighbours, [&](qint64 r, qint64 c) { return at(rows, r, c, -1) > 0; },
            [](qint64, qint64, qint64, qint64) { return true; },
            [&](const std::vector<Cell> &cells) { addCluster(out, cells, height, width); });
    return out;
}

Grid ReferenceCluster::labels(const Grid &rows, qint64 height, qint64 width, int neighbours)
{
    Grid out(std::size_t(std::min(height, qint64(rows.size()))), std::vector<int>(std::size_t(width), -1));
    int next = 0;
    eachCluster(
            height, qint64(rows.size()), width, neighbours, [&](qint64 r, qint64 c) { return at(rows, r, c, -1) > 0; },
            [](qint64, qint64, qint64, qint64) { return true; },
            [&](const std::vector<Cell> &cells) {
                for (const Cell &cell : cells)
                    out[std::size_t(cell.first)][std::size_t(cell.second)] = next;
                ++next;
            });
    return out;
}

std::vector<std::pair<int, ReferenceCluster::Statistics>>
ReferenceCluster::classStatistics(const Grid &values, const Grid &present, qint64 height, qint64 width,
                                  int neighbours)
{
    auto has = [&](qint64 r, qint64 c) { return at(present, r, c, 0) != 0 && r < qint64(values.size())
                                                 && c < qint64(values[std::size_t(r)].size()); };
    std::map<int, Statistics> classes;
    qint64 cells = 0;
    const qint64 given = std::min(height, qint64(values.size()));
    for (qint64 r = 0; r < given; ++r) {
        for (qint64 c = 0; c < width; ++c)
            cells += has(r, c);
    }
    eachCluster(
            height, given, width, neighbours, has,
            [&](qint64 r0, qint64 c0, qint64 r1, qint64 c1) { return values[r0][c0] == values[r1][c1]; },
            [&](const std::vector<Cell> &cluster) {
                const Cell first = cluster.front();
                addCluster(classes[values[first.first][first.second]], cluster, height, width);
            });
    std::vector<std::pair<int, Statistics>> out;
    for (auto &[value, statistics] : classes) {
        statistics.cells = cells;
        out.emplace_back(value, statistics);
    }
    return out;
}
