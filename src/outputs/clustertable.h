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

// The statistics' values, in statisticNames()' order, handed to sink: whole
// numbers to number(), reals to real() (NaN where undefined).
template <typename Sink>
void statistics(const ClusterStatistics &s, const CellGeometry &geometry, const std::vector<GlidingBoxes::Sums> &boxes,
                Sink &sink)
{
    sink.number(s.cells);
    sink.number(s.habitat);
    sink.real(s.share());
    sink.number(s.clusters);
    sink.number(s.largest);
    sink.real(s.largestShare());
    sink.real(s.largestOfHabitat());
    sink.real(s.meanSize());
    sink.real(s.weightedSize());
    sink.real(s.meanSizeFinite());
    sink.real(s.gyrationAreaWeighted());
    sink.real(s.correlationLength());
    sink.number(s.edges());
    sink.real(s.edgeDensity(geometry));
    sink.real(s.mesh(geometry));
    sink.real(s.split());
    sink.real(s.cohesion());
    sink.real(s.aggregation());
    sink.real(s.perimeterAreaFractal());
    for (const GlidingBoxes::Sums &box : boxes)
        sink.real(box.lacunarity());
}

// A row's fields, in the header's order, handed to sink (a Tsv::Row, or
// TableColumns): the landscape's path to path(), words to text(), numbers
// as for statistics(); then end().
template <typename Sink>
void fields(const Row &row, Sink &sink)
{
    sink.path(row.landscape);
    sink.number(row.row);
    sink.number(row.column);
    sink.number(row.rows);
    sink.number(row.columns);
    sink.text(row.cover);
    sink.text(row.rule);
    sink.text(row.direction);
    sink.number(row.spans);
    statistics(row.statistics, row.geometry, row.boxes, sink);
    sink.end();
}

} // namespace ClusterTable
