#pragma once

#include <QtGlobal>

// What the clusters of one landscape under one cover are: counts, sizes and
// moments, and whether one spans. Every count is 64-bit; the sums of squares
// are exact (128-bit integers), so that statistics of maps of any size are
// the same wherever they are computed.
//
// A cluster of s cells whose cell centres (x = column, y = row) sum to Sx, Sy
// and Sxx + Syy in squares has the radius of gyration R with
//   s^2 R^2 = s (Sxx + Syy) - Sx^2 - Sy^2,
// the root-mean-square distance of its cells from its centroid: an integer,
// summed exactly while the sum stays below 2^128, which holds for every
// landscape of up to 2,000,000 x 2,000,000 cells (the sum is at most
// (cells)^2 times twice the larger side squared). sumSizeGyration adds the
// square roots in long double, cluster by cluster in a fixed order, so that
// the same landscape always gives the same bits.
struct ClusterStatistics
{
    qint64 cells = 0;     // cells with a value within the landscape's extent
    qint64 habitat = 0;   // habitat cells (the class's cells)
    qint64 clusters = 0;
    qint64 largest = 0;   // cells of the largest cluster
    unsigned __int128 sumSquares = 0;         // sum over clusters of s^2
    unsigned __int128 sumSquaredGyration = 0; // sum over clusters of s^2 R^2
    // s^2 R^2 of the largest cluster (of the largest ones, the greatest), the
    // one percolation theory's finite-cluster quantities leave out.
    unsigned __int128 largestSquaredGyration = 0;
    long double sumSizeGyration = 0;          // sum over clusters of s R
    bool spansLeftRight = false;              // a cluster touches column 0 and the last column
    bool spansTopBottom = false;              // a cluster touches row 0 and the last row

    // The derived quantities of the table; NaN where undefined (no cells,
    // no habitat).
    double share() const;              // habitat / cells
    double largestShare() const;       // largest / cells
    double largestOfHabitat() const;   // largest / habitat
    double meanSize() const;           // habitat / clusters
    double weightedSize() const;       // sum s^2 / sum s (FRAGSTATS' AREA_AM, in cells)
    // The mean cluster size of percolation theory: sum s^2 / sum s over the
    // clusters other than the largest; 0 when there is no other cluster.
    double meanSizeFinite() const;
    double gyrationAreaWeighted() const; // sum s R / sum s (Keitt et al.'s correlation length)
    // The correlation length of percolation theory (Stauffer & Aharony):
    // xi^2 = 2 sum s^2 R^2 / sum s^2 over the clusters other than the
    // largest; NaN when there is no other cluster.
    double correlationLength() const;

    // Takes one cluster of `cells` cells whose s^2 R^2 is squaredGyration
    // into the largest and what leaves it out (not the sums).
    void takeLargest(qint64 cells, unsigned __int128 squaredGyration)
    {
        if (cells > largest || (cells == largest && squaredGyration > largestSquaredGyration)) {
            largest = cells;
            largestSquaredGyration = squaredGyration;
        }
    }
};
