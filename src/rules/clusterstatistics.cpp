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

double ClusterStatistics::meanSizeFinite() const
{
    if (habitat <= 0)
        return NaN;
    const qint64 others = habitat - largest;
    if (others == 0)
        return 0;
    const unsigned __int128 squares = sumSquares - (unsigned __int128)largest * (unsigned __int128)largest;
    return double((long double)squares / (long double)others);
}

double ClusterStatistics::correlationLength() const
{
    const unsigned __int128 squares = sumSquares - (unsigned __int128)largest * (unsigned __int128)largest;
    if (squares == 0)
        return NaN;
    const unsigned __int128 gyration = sumSquaredGyration - largestSquaredGyration;
    return double(std::sqrt(2.0L * (long double)gyration / (long double)squares));
}

