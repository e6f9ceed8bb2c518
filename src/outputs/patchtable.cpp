#include "patchtable.h"

#include "clusterstatistics.h"
#include "tablecolumns.h"

#include <QCoreApplication>

#include <cmath>
#include <limits>

namespace PatchTable {

namespace {

const QByteArray Columns = "landscape\trow\tcolumn\tcover\tid\tcells\tarea\tperimeter\tperimeter_length\trow_min\t"
                           "row_max\tcolumn_min\tcolumn_max\tcentroid_row\tcentroid_column\tcentroid_x\tcentroid_y\t"
                           "gyration\tgyration_mean\tshape\tfrac\ttouches\tspans";

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

} // namespace

const Tsv::Kind &kind()
{
    static const Tsv::Kind patches{QCoreApplication::translate("PatchTable", "patch tables"),
                                   QCoreApplication::translate("PatchTable", "patch table"), "patches",
                                   [](const QByteArray &line) { return line == Columns; }};
    return patches;
}

QByteArray header()
{
    return Columns + '\n';
}

template <typename Sink>
void fields(const File &file, const PatchSpool::Patch &patch, Sink &row)
{
    const Cluster &c = patch.record;
    const CellGeometry geometry = file.geo.cellGeometry();
    const long double cells = (long double)c.cells;
    const long double centreRow = (long double)patch.row + (long double)c.sumY / cells + 0.5L;
    const long double centreColumn = (long double)patch.column + (long double)c.sumX / cells + 0.5L;
    double x = NaN;
    double y = NaN;
    if (file.geo.hasTransform) {
        const double *t = file.geo.transform;
        x = double(t[0] + centreColumn * t[1] + centreRow * t[2]);
        y = double(t[3] + centreColumn * t[4] + centreRow * t[5]);
    }
    const qint64 perimeter = c.perimeter();
    const long double squaredGyration = (long double)c.squaredGyration();
    auto measure = [&row, &geometry](long double value) {
        if (geometry.mapUnits)
            row.real(double(value));
        else
            row.number(qint64(value));
    };
    row.path(file.landscape);
    row.number(patch.row);
    row.number(patch.column);
    if (file.each)
        row.number(c.value);
    else
        row.text(file.cover);
    row.number(qint64(patch.number));
    row.number(c.cells);
    measure(cells * geometry.area);
    row.number(perimeter);
    measure((long double)c.verticalSides() * geometry.height + (long double)c.horizontalSides() * geometry.width);
    row.number(patch.row + c.rowMin);
    row.number(patch.row + c.rowMax);
    row.number(patch.column + c.columnMin);
    row.number(patch.column + c.columnMax);
    row.real(double(centreRow));
    row.real(double(centreColumn));
    row.real(x);
    row.real(y);
    row.real(double(std::sqrt(squaredGyration) / cells));
    row.real(double((long double)patch.sumDistance * ClusterStatistics::FixedUnit / cells));
    row.real(double((long double)perimeter / (long double)smallestPerimeter(c.cells)));
    row.real(c.cells > 1 ? double(2 * std::log(0.25L * perimeter) / std::log(cells)) : NaN);
    QByteArray touches;
    for (const auto &[edge, letter] : {std::pair{ClusterRecord::Left, 'L'}, std::pair{ClusterRecord::Right, 'R'},
                                       std::pair{ClusterRecord::Top, 'T'}, std::pair{ClusterRecord::Bottom, 'B'}}) {
        if (c.edges & edge)
            touches += letter;
    }
    row.text(touches.isEmpty() ? QByteArray("-") : touches);
    row.number(file.rule.answer(c.edges));
    row.end();
}

template void fields<Tsv::Row>(const File &, const PatchSpool::Patch &, Tsv::Row &);
template void fields<TableColumns>(const File &, const PatchSpool::Patch &, TableColumns &);

} // namespace PatchTable
