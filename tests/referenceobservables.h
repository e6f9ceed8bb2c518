#pragma once

// The observables of one landscape written plainly, as the yardstick for the
// site-by-site union-find and the sweep's observables: a flood fill with an
// explicit stack finds every cluster, and the totals are made from the list
// of cluster sizes.
#include <QtGlobal>

#include <algorithm>
#include <vector>

namespace ReferenceObservables {

struct Totals
{
    qint64 habitat = 0;
    qint64 clusters = 0;
    qint64 largest = 0;
    quint64 sumSquares = 0;
    bool leftRight = false;
    bool topBottom = false;
    quint64 meanSizeFixed = 0;
};

// Flood fill with an explicit stack over a rows x columns grid of 0/1.
inline Totals flood(const std::vector<int> &grid, int rows, int columns, bool eight)
{
    Totals out;
    std::vector<char> seen(grid.size(), 0);
    std::vector<qint64> sizes;
    for (int start = 0; start < rows * columns; ++start) {
        if (!grid[size_t(start)] || seen[size_t(start)])
            continue;
        qint64 size = 0;
        bool left = false, right = false, top = false, bottom = false;
        std::vector<int> stack{start};
        seen[size_t(start)] = 1;
        while (!stack.empty()) {
            const int cell = stack.back();
            stack.pop_back();
            const int r = cell / columns, c = cell % columns;
            ++size;
            left |= c == 0;
            right |= c == columns - 1;
            top |= r == 0;
            bottom |= r == rows - 1;
            for (int dr = -1; dr <= 1; ++dr) {
                for (int dc = -1; dc <= 1; ++dc) {
                    if ((dr == 0 && dc == 0) || (!eight && dr != 0 && dc != 0))
                        continue;
                    const int nr = r + dr, nc = c + dc;
                    if (nr < 0 || nr >= rows || nc < 0 || nc >= columns)
                        continue;
                    const int next = nr * columns + nc;
                    if (grid[size_t(next)] && !seen[size_t(next)]) {
                        seen[size_t(next)] = 1;
                        stack.push_back(next);
                    }
                }
            }
        }
        sizes.push_back(size);
        out.leftRight |= left && right;
        out.topBottom |= top && bottom;
    }
    out.clusters = qint64(sizes.size());
    for (const qint64 size : sizes) {
        out.habitat += size;
        out.sumSquares += quint64(size * size);
        out.largest = std::max(out.largest, size);
    }
    // Sum s^2 / sum s over all clusters but one largest, rounded to 2^-32.
    bool skipped = false;
    unsigned __int128 squares = 0, cells = 0;
    for (const qint64 size : sizes) {
        if (!skipped && size == out.largest) {
            skipped = true;
            continue;
        }
        squares += quint64(size * size);
        cells += quint64(size);
    }
    if (cells > 0)
        out.meanSizeFixed = quint64(((squares << 32) + cells / 2) / cells);
    return out;
}

} // namespace ReferenceObservables
