#pragma once

#include <QtGlobal>

// What one cell of a landscape is, for a cover: the byte a habitat reading
// gives per cell. A cell without a value (a raster's nodata, an invalid
// value, a cell a short row of text lacks) is not a cell of the landscape:
// it counts neither as habitat nor as matrix.
namespace CellCode {

constexpr qint8 NoValue = -1;
constexpr qint8 Matrix = 0;
constexpr qint8 Habitat = 1;

} // namespace CellCode
