#pragma once

#include <vector>

// The spanning walk written plainly over nested rows and (row, column) pairs,
// kept as the yardstick for PercolationGrid. Cells are 0 (not habitat) or 1;
// rows may be of any length, missing cells count as not habitat.
namespace ReferenceWalk {

int percolates(std::vector<std::vector<int>> rows);

} // namespace ReferenceWalk
