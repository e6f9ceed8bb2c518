#pragma once

#include <vector>

// A complete cluster search written plainly: a flood fill with an explicit
// stack over nested rows, kept as the yardstick for ClusterSearch. Cells are
// habitat where not 0; rows may be of any length; the square is that of side
// n = number of rows, missing cells not habitat.
namespace ReferenceCluster {

// Whether a cluster (4 or 8 neighbours) joins left and right (leftRight) or
// top and bottom (topBottom).
bool spans(const std::vector<std::vector<int>> &rows, int neighbours, bool leftRight, bool topBottom);

} // namespace ReferenceCluster
