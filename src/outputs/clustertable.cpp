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
    struct Values
    {
        std::vector<double> values;
        void number(qint64 v) { values.push_back(double(v)); }
        void real(double v) { values.push_back(v); }
    } sink;
    statistics(s, geometry, boxes, sink);
    return sink.values;
}

QByteArray header(const std::vector<qint64> &sides)
{
    return Fixed + '\t' + statisticNames(sides).join('\t') + '\n';
}

QByteArray rowLine(const Row &row)
{
    Tsv::Row line;
    fields(row, line);
    return QByteArray(line.data(), line.size());
}

} // namespace ClusterTable
