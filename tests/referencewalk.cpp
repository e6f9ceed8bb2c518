#include "referencewalk.h"

#include <deque>
#include <utility>

namespace {

struct Walk
{
    std::vector<std::vector<int>> grid;
    std::deque<std::pair<int, int>> queue;
    int row = 0;
    int column = 0;

    int n() const { return int(grid.size()); }
    bool open(int r, int c) const
    {
        return r >= 0 && r < n() && c >= 0 && c < n() && c < int(grid[r].size()) && grid[r][c] == 1;
    }

    // direction 0: left to right, 1: top to bottom. Returns 0 continue, 1 spanned, 2 exhausted.
    int step(int direction)
    {
        const int far = direction == 0 ? column : row;
        if (far + 1 >= n())
            return 1;
        if (grid[row][column] == 1)
            queue.emplace_back(row, column);
        grid[row][column] = 2;
        const int order[2][4][2] = {{{0, 1}, {1, 0}, {-1, 0}, {0, -1}}, {{1, 0}, {0, 1}, {0, -1}, {-1, 0}}};
        for (const auto &move : order[direction]) {
            if (open(row + move[0], column + move[1])) {
                row += move[0];
                column += move[1];
                return 0;
            }
        }
        if (queue.empty())
            return 2;
        row = queue.front().first;
        column = queue.front().second;
        queue.pop_front();
        return 0;
    }

    bool phase(int direction)
    {
        for (int i = 0; i < n(); ++i) {
            row = direction == 0 ? i : 0;
            column = direction == 0 ? 0 : i;
            if (!open(row, column))
                continue;
            int result;
            while ((result = step(direction)) == 0) {
            }
            if (result == 1)
                return true;
        }
        return false;
    }
};

} // namespace

int ReferenceWalk::percolates(std::vector<std::vector<int>> rows)
{
    Walk walk{std::move(rows), {}, 0, 0};
    const bool leftRight = walk.phase(0);
    for (auto &row : walk.grid) {
        for (int &cell : row) {
            if (cell > 1)
                cell = 1;
        }
    }
    const bool topBottom = walk.phase(1);
    return leftRight || topBottom ? 1 : 0;
}
