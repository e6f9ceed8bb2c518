#include "clusterstatistics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

using u128 = ClusterStatistics::u128;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double ratio(long double numerator, long double denominator)
{
    return denominator > 0 ? double(numerator / denominator) : NaN;
}

long double fromFixed(u128 value)
{
    return (long double)value * ClusterStatistics::FixedUnit;
}

// A 128-bit integer as a long double (64 bits at a time, so that values of
// up to 64 bits convert exactly).
long double real(u128 value)
{
    return quint64(value >> 64) == 0 ? (long double)quint64(value) : (long double)value;
}

} // namespace

u128 ClusterStatistics::toFixedLarge(double value)
{
    if (!(value > 0))
        return 0;
    // Beyond 2^62 units in two halves.
    const double scaled = value * 1099511627776.0;
    if (scaled < 4611686018427387904.0)
        return u128(quint64(scaled + 0.5));
    const double high = std::floor(scaled / 18446744073709551616.0);
    const double low = scaled - high * 18446744073709551616.0;
    return (u128(quint64(high)) << 64) + u128(quint64(low));
}

namespace {

// ln(n) for whole numbers n: from a table for the small ones that most
// perimeters and areas are.
double logOf(qint64 n)
{
    constexpr qint64 Known = 1 << 16;
    static const std::vector<double> table = [] {
        std::vector<double> t(static_cast<size_t>(Known));
        for (qint64 i = 1; i < Known; ++i)
            t[size_t(i)] = std::log(double(i));
        return t;
    }();
    return n > 0 && n < Known ? table[size_t(n)] : std::log(double(n));
}

} // namespace

void ClusterStatistics::add(const Cluster &cluster)
{
    // A cluster of one cell (most clusters near the threshold) adds the same
    // terms as any other but for the edges it touches and its sides to other
    // classes: those of a cell alone, taken once, spare the logarithms and
    // roots of each.
    if (cluster.cells == 1 && cluster.runs == 1 && cluster.overlaps == 0) {
        static const ClusterStatistics alone = [] {
            ClusterStatistics one;
            Cluster cell;
            cell.cells = 1;
            cell.runs = 1;
            one.addTerms(cell);
            return one;
        }();
        add(alone);
        spansLeftRight |= ClusterRecord::spansLeftRight(cluster.edges);
        spansTopBottom |= ClusterRecord::spansTopBottom(cluster.edges);
        edgeSidesVertical += cluster.otherSidesVertical;
        return;
    }
    addTerms(cluster);
}

void ClusterStatistics::addTerms(const Cluster &cluster)
{
    const qint64 s = cluster.cells;
    const u128 squaredGyration = cluster.squaredGyration();
    habitat += s;
    clusters += 1;
    takeLargest(s, squaredGyration);
    sumSquares += u128(s) * u128(s);
    sumSquaredGyration += squaredGyration;
    sumSizeGyration += toFixed(std::sqrt(double(squaredGyration)));
    spansLeftRight |= ClusterRecord::spansLeftRight(cluster.edges);
    spansTopBottom |= ClusterRecord::spansTopBottom(cluster.edges);
    const qint64 p = cluster.perimeter();
    verticalSides += cluster.verticalSides();
    horizontalSides += cluster.horizontalSides();
    likeAdjacencies += cluster.likeAdjacencies();
    edgeSidesVertical += cluster.otherSidesVertical;
    sumPerimeterRootArea += toFixed(double(p) * std::sqrt(double(s)));
    const double x = logOf(p);
    const double y = logOf(s);
    sumLogPerimeter += toFixed(x);
    sumLogArea += toFixed(y);
    sumLogProduct += toFixed(x * y);
    sumLogPerimeterSquared += toFixed(x * x);
}

void ClusterStatistics::add(const ClusterStatistics &other)
{
    cells += other.cells;
    habitat += other.habitat;
    clusters += other.clusters;
    if (other.clusters > 0)
        takeLargest(other.largest, other.largestSquaredGyration);
    sumSquares += other.sumSquares;
    sumSquaredGyration += other.sumSquaredGyration;
    sumSizeGyration += other.sumSizeGyration;
    spansLeftRight |= other.spansLeftRight;
    spansTopBottom |= other.spansTopBottom;
    verticalSides += other.verticalSides;
    horizontalSides += other.horizontalSides;
    likeAdjacencies += other.likeAdjacencies;
    edgeSidesVertical += other.edgeSidesVertical;
    edgeSidesHorizontal += other.edgeSidesHorizontal;
    sumPerimeterRootArea += other.sumPerimeterRootArea;
    sumLogPerimeter += other.sumLogPerimeter;
    sumLogArea += other.sumLogArea;
    sumLogProduct += other.sumLogProduct;
    sumLogPerimeterSquared += other.sumLogPerimeterSquared;
}

double ClusterStatistics::share() const
{
    return ratio(habitat, cells);
}

double ClusterStatistics::largestShare() const
{
    return ratio(largest, cells);
}

double ClusterStatistics::largestOfHabitat() const
{
    return ratio(largest, habitat);
}

double ClusterStatistics::meanSize() const
{
    return ratio(habitat, clusters);
}

double ClusterStatistics::weightedSize() const
{
    return ratio(real(sumSquares), habitat);
}

double ClusterStatistics::meanSizeFinite() const
{
    if (habitat <= 0)
        return NaN;
    const qint64 others = habitat - largest;
    if (others == 0)
        return 0;
    const u128 squares = sumSquares - u128(largest) * u128(largest);
    return double(real(squares) / (long double)others);
}

double ClusterStatistics::gyrationAreaWeighted() const
{
    return ratio(fromFixed(sumSizeGyration), habitat);
}

double ClusterStatistics::correlationLength() const
{
    const u128 squares = sumSquares - u128(largest) * u128(largest);
    if (squares == 0)
        return NaN;
    const u128 gyration = sumSquaredGyration - largestSquaredGyration;
    return double(std::sqrt(2.0L * real(gyration) / real(squares)));
}

double ClusterStatistics::edgeDensity(const CellGeometry &geometry) const
{
    if (cells <= 0)
        return NaN;
    const long double length = (long double)edgeSidesVertical * geometry.height
            + (long double)edgeSidesHorizontal * geometry.width;
    return double(length / ((long double)cells * geometry.area));
}

double ClusterStatistics::mesh(const CellGeometry &geometry) const
{
    if (cells <= 0)
        return NaN;
    return double(real(sumSquares) / (long double)cells * geometry.area);
}

double ClusterStatistics::split() const
{
    if (sumSquares == 0)
        return NaN;
    return double((long double)cells * (long double)cells / real(sumSquares));
}

double ClusterStatistics::cohesion() const
{
    const long double weighted = fromFixed(sumPerimeterRootArea);
    if (habitat <= 0 || cells <= 1 || weighted <= 0)
        return NaN;
    const long double perimeter = (long double)verticalSides + (long double)horizontalSides;
    return double(100.0L * (1.0L - perimeter / weighted) / (1.0L - 1.0L / std::sqrt((long double)cells)));
}

double ClusterStatistics::aggregation() const
{
    if (habitat <= 0)
        return NaN;
    qint64 n = qint64(std::sqrt(double(habitat)));
    while (n * n > habitat)
        --n;
    while ((n + 1) * (n + 1) <= habitat)
        ++n;
    const qint64 m = habitat - n * n;
    const qint64 most = m == 0 ? 2 * n * (n - 1) : m <= n ? 2 * n * (n - 1) + 2 * m - 1 : 2 * n * (n - 1) + 2 * m - 2;
    return most > 0 ? double(100.0L * (long double)likeAdjacencies / (long double)most) : NaN;
}

double ClusterStatistics::perimeterAreaFractal() const
{
    if (clusters < 10)
        return NaN;
    const long double n = (long double)clusters;
    const long double x = fromFixed(sumLogPerimeter);
    const long double y = fromFixed(sumLogArea);
    const long double xy = fromFixed(sumLogProduct);
    const long double xx = fromFixed(sumLogPerimeterSquared);
    const long double spread = n * xx - x * x;
    if (!(spread > 0))
        return NaN;
    const long double slope = (n * xy - x * y) / spread;
    return slope != 0 ? double(2.0L / slope) : NaN;
}
