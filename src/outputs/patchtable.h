#pragma once

#include "patchspool.h"
#include "rastersource.h"
#include "spanningrule.h"
#include "tsv.h"

#include <QByteArray>

// The table of patches that vantrix-percolate --patches writes: one row per
// patch, in the fields of Tsv, a header line first:
//   landscape row column cover id cells area perimeter perimeter_length
//   row_min row_max column_min column_max centroid_row centroid_column
//   centroid_x centroid_y gyration gyration_mean shape frac touches spans
// row, column: the landscape's top-left cell (a square of --tile); id: the
// patch's number within its landscape and cover, 1 for the patch whose first
// cell comes first row by row (the cluster maps' ids); area and
// perimeter_length in the map's units (else cells and cell sides);
// perimeter in cell sides (to anything that is not the patch: other
// classes, cells without a value, the landscape's edge); rows, columns and
// centroids in the file's cells (cell centres at +0.5); centroid_x,
// centroid_y in the map's coordinates (NA without a geotransform); gyration
// the root-mean-square distance of the patch's cells from its centroid,
// gyration_mean the mean distance (FRAGSTATS' GYRATE), both in cells; shape
// the perimeter over the smallest one the cells could have (FRAGSTATS'
// SHAPE); frac 2 ln(perimeter / 4) / ln(cells) (NA for one cell); touches the
// landscape's edges it reaches, of "LRTB" ("-" for none); spans 1 where it
// joins the edges the direction asks.
namespace PatchTable {

const Tsv::Kind &kind();
QByteArray header();

// What the rows of one landscape file share.
struct File
{
    QByteArray landscape;        // the path as given
    QByteArray cover;            // as asked, for a cover that is not each
    bool each = false;           // cover each: the cover column is the patch's class
    SpanningRule rule;
    RasterSource::GeoReference geo;
};

// The patch's row's fields, in the header's order, handed to sink (a
// Tsv::Row, or TableColumns), then end().
template <typename Sink>
void fields(const File &file, const PatchSpool::Patch &patch, Sink &sink);

} // namespace PatchTable
