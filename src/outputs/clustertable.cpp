#include "clustertable.h"

#include <QCoreApplication>

namespace ClusterTable {

namespace {

const QByteArray Fixed = "landscape\trow\tcolumn\trows\tcolumns\tcover\trule\tdirection\tspans";

} // namespace

const Tsv::Kind &kind()
{
    static const Tsv::Kind table{QCoreApplication::translate("ClusterTable", "tables"),
                                 QCoreApplication::translate("ClusterTable", "table"), "table",
                                 [](const QByteArray &line) {
                                     return line.startsWith(Fixed + "\tcells\thabitat\t")
                                             && line.contains("\tcorrelation_length\tedges\t");
                                 }};
    return table;
}

QByteArrayList statisticNames(const std::vector<qint64> &sides)
{
    QByteArrayList names{"cells",         "habitat",          "share",       "clusters",           "largest",
                         "largest_share", "largest_of_habitat", "mean_size", "weighted_size",      "mean_size_finite",
                         "gyration_am",   "correlation_length", "edges",     "edge_density",       "mesh",
                         "split",         "cohesion",         "aggregation", "pafrac"};
    for (const qint64 side : sides)
        names << "lacunarity_" + QByteArray::number(side);
    return names;
}

std::vector<double> statisticValues(const ClusterStatistics &s, const CellGeometry &geometry,
                                    const std::vector<GlidingBoxes::Sums> &boxes)
{
    std::vector<double> values{double(s.cells),       double(s.habitat),        s.share(),
                               double(s.clusters),    double(s.largest),        s.largestShare(),
                               s.largestOfHabitat(),  s.meanSize(),             s.weightedSize(),
                               s.meanSizeFinite(),    s.gyrationAreaWeighted(), s.correlationLength(),
                               double(s.edges()),     s.edgeDensity(geometry),  s.mesh(geometry),
                               s.split(),             s.cohesion(),             s.aggregation(),
                               s.perimeterAreaFractal()};
    for (const GlidingBoxes::Sums &box : boxes)
        values.push_back(box.lacunarity());
    return values;
}

QByteArray header(const std::vector<qint64> &sides)
{
    return Fixed + '\t' + statisticNames(sides).join('\t') + '\n';
}

QByteArray rowLine(const Row &row)
{
    const ClusterStatistics &s = row.statistics;
    QByteArray line;
    line.reserve(row.landscape.size() + 240);
    line += Tsv::path(row.landscape);
    using Tsv::number;
    using Tsv::real;
    QByteArrayList fields{number(row.row),      number(row.column),          number(row.rows),
                          number(row.columns),  row.cover,                   row.rule,
                          row.direction,        number(row.spans),           number(s.cells),
                          number(s.habitat),    real(s.share()),             number(s.clusters),
                          number(s.largest),    real(s.largestShare()),      real(s.largestOfHabitat()),
                          real(s.meanSize()),   real(s.weightedSize()),      real(s.meanSizeFinite()),
                          real(s.gyrationAreaWeighted()), real(s.correlationLength()), number(s.edges()),
                          real(s.edgeDensity(row.geometry)), real(s.mesh(row.geometry)), real(s.split()),
                          real(s.cohesion()),   real(s.aggregation()),       real(s.perimeterAreaFractal())};
    for (const GlidingBoxes::Sums &box : row.boxes)
        fields << real(box.lacunarity());
    for (const QByteArray &field : fields) {
        line += '\t';
        line += field;
    }
    line += '\n';
    return line;
}

} // namespace ClusterTable
