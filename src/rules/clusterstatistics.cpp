#include "clusterstatistics.h"

#include <cmath>
#include <limits>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double ratio(long double numerator, long double denominator)
{
    return denominator > 0 ? double(numerator / denominator) : NaN;
}

} // namespace

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
    return ratio((long double)sumSquares, habitat);
}

double ClusterStatistics::gyrationAreaWeighted() const
{
    return ratio(sumSizeGyration, habitat);
}

double ClusterStatistics::correlationLength() const
{
    if (sumSquares == 0)
        return NaN;
    return double(std::sqrt((long double)sumSquaredGyration / (long double)sumSquares));
}

