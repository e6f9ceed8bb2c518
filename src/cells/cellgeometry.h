#pragma once

// The size of a map's cells in its own units, for quantities given in map
// units (areas, lengths, densities): a cell's width (the length of its top
// and bottom sides), its height (its left and right sides) and its area.
// Without a georeference, or on a map in degrees, every one is 1: sizes
// are then counted in cells and cell sides.
struct CellGeometry
{
    double width = 1;
    double height = 1;
    double area = 1;
    bool mapUnits = false; // false: cells and cell sides
};
