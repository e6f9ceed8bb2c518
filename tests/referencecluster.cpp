#include "referencecluster.h"

#include <cstddef>
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
