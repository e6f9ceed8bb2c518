#pragma once

#include "cellgeometry.h"
#include "clusterscan.h"
#include "lacunarity.h"
#include "shard.h"
#include "tsv.h"

#include <QByteArray>
#include <QByteArrayList>

#include <functional>
#include <vector>

// The table of cluster statistics that vantrix-percolate --table writes: one
// row per landscape tested (a file, or a square of it) and per cover, in the
// fields of Tsv.
//
// Columns, a header line first:
//   landscape row column rows columns cover rule direction spans cells habitat
//   share clusters largest largest_share largest_of_habitat mean_size
//   weighted_size mean_size_finite gyration_am correlation_length
//   edges edge_density mesh split cohesion aggregation pafrac
// then with lacunarity one column per box side R, lacunarity_R. Lengths and
// areas (edge_density, mesh) are in the map's units (CellGeometry), else
// per cell.
namespace ClusterTable {

// One row: where the landscape lies, what was asked, and what was found.
struct Row
{
    QByteArray landscape; // the path as given
    qint64 row = 0;       // the top-left cell of the square tested
    qint64 column = 0;
    qint64 rows = 0;      // of the extent tested
    qint64 columns = 0;
    QByteArray cover;     // as asked (a value, a set), or the class of --cover each
    QByteArray rule;
    QByteArray direction;
    int spans = 0;
    ClusterStatistics statistics;
    CellGeometry geometry;
    std::vector<GlidingBoxes::Sums> boxes; // per side of header()'s
};

const Tsv::Kind &kind();
QByteArray header(const std::vector<qint64> &sides = {});
QByteArray rowLine(const Row &row);
// The names of the table's numeric columns after `spans`, in order, as the
// tile maps name their bands.
QByteArrayList statisticNames(const std::vector<qint64> &sides = {});
// Their values for one landscape, in the same order (NaN where undefined).
std::vector<double> statisticValues(const ClusterStatistics &statistics, const CellGeometry &geometry,
                                    const std::vector<GlidingBoxes::Sums> &boxes);

} // namespace ClusterTable
