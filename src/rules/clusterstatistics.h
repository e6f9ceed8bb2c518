#pragma once

#include "cellgeometry.h"
#include "cluster.h"

#include <QtGlobal>

// What the clusters of one landscape under one cover are: counts, sizes,
// moments and shapes, and whether one spans. Every count is 64-bit and every
// sum exact: integers, 128-bit where they may pass 64 bits, and the sums of
// real quantities (s R, p sqrt(a), the logarithms of the perimeter-area
// regression) in fixed point, each cluster's term rounded once to a unit
// that is exact to far below the table's 9 digits. So the statistics of a
// landscape are the same bits in whatever order its clusters are added, on
// any number of threads or machines.
//
// A cluster of s cells whose cell centres (x = column, y = row) sum to Sx, Sy
// and Sxx + Syy in squares has the radius of gyration R with
//   s^2 R^2 = s (Sxx + Syy) - Sx^2 - Sy^2,
// the root-mean-square distance of its cells from its centroid: an integer,
// summed exactly while the sum stays below 2^128, which holds for every
// landscape of up to 2,000,000 x 2,000,000 cells (the sum is at most
// (cells)^2 times twice the larger side squared).
struct ClusterStatistics
{
    using u128 = unsigned __int128;
    // The fixed point of the real sums: a term t is round(t 2^40), and the
    // sums are 128-bit integers, which no landscape's sums come near (a
    // landscape of 10^14 cells stays below 2^120).
    static constexpr long double FixedUnit = 1.0L / 1099511627776.0L;
    static u128 toFixed(double value)
    {
        // Rounded to the nearest unit (halves up); a term's 53 bits are far
        // more than the table's 9 digits.
        if (value > 0 && value < 4194304.0)
            return u128(quint64(value * 1099511627776.0 + 0.5));
        return toFixedLarge(value);
    }
    static u128 toFixedLarge(double value); // 0 for what is not above 0

    qint64 cells = 0;     // cells with a value within the landscape's extent
    qint64 habitat = 0;   // habitat cells (the class's cells)
    qint64 clusters = 0;
    qint64 largest = 0;   // cells of the largest cluster
    u128 sumSquares = 0;         // sum over clusters of s^2
    u128 sumSquaredGyration = 0; // sum over clusters of s^2 R^2
    // s^2 R^2 of the largest cluster (of the largest ones, the greatest), the
    // one percolation theory's finite-cluster quantities leave out.
    u128 largestSquaredGyration = 0;
    u128 sumSizeGyration = 0;    // sum over clusters of s R, fixed point
    bool spansLeftRight = false; // a cluster touches column 0 and the last column
    bool spansTopBottom = false; // a cluster touches row 0 and the last row

    // Shapes (see Cluster): the clusters' vertical and horizontal perimeter
    // sides, their like adjacencies, and the sides between habitat and cells
    // with a value that are not habitat (the class's edges; the landscape's
    // edge and cells without a value are no edge).
    qint64 verticalSides = 0;
    qint64 horizontalSides = 0;
    qint64 likeAdjacencies = 0;
    qint64 edgeSidesVertical = 0;
    qint64 edgeSidesHorizontal = 0;
    u128 sumPerimeterRootArea = 0; // sum over clusters of p sqrt(a), fixed point
    // The sums of the perimeter-area regression over clusters, with x =
    // ln(perimeter), y = ln(cells), fixed point.
    u128 sumLogPerimeter = 0;
    u128 sumLogArea = 0;
    u128 sumLogProduct = 0;
    u128 sumLogPerimeterSquared = 0;

    // One complete cluster's part (under the landscape's cover).
    void add(const Cluster &cluster);
    // Another part of the same landscape (its clusters and cells all
    // others'): the statistics of both together.
    void add(const ClusterStatistics &other);
    // Takes one cluster of `cells` cells whose s^2 R^2 is squaredGyration
    // into the largest and what leaves it out (not the sums).
    void takeLargest(qint64 cells, u128 squaredGyration)
    {
        if (cells > largest || (cells == largest && squaredGyration > largestSquaredGyration)) {
            largest = cells;
            largestSquaredGyration = squaredGyration;
        }
    }

    // Every field to out (a seam's bytes, a spool of results), as its
    // signedNumber(), wide() and number() calls take them; and back from in,
    // whose calls of the same names give them.
    template <typename Out>
    void writeTo(Out &out) const
    {
        for (const qint64 v : {cells, habitat, clusters, largest, verticalSides, horizontalSides, likeAdjacencies,
                               edgeSidesVertical, edgeSidesHorizontal})
            out.signedNumber(v);
        for (const u128 v : {sumSquares, sumSquaredGyration, largestSquaredGyration, sumSizeGyration,
                             sumPerimeterRootArea, sumLogPerimeter, sumLogArea, sumLogProduct, sumLogPerimeterSquared})
            out.wide(v);
        out.number(quint64(spansLeftRight) | quint64(spansTopBottom) << 1);
    }
    template <typename In>
    void readFrom(In &in)
    {
        for (qint64 *v : {&cells, &habitat, &clusters, &largest, &verticalSides, &horizontalSides, &likeAdjacencies,
                          &edgeSidesVertical, &edgeSidesHorizontal})
            *v = in.signedNumber();
        for (u128 *v : {&sumSquares, &sumSquaredGyration, &largestSquaredGyration, &sumSizeGyration,
                        &sumPerimeterRootArea, &sumLogPerimeter, &sumLogArea, &sumLogProduct, &sumLogPerimeterSquared})
            *v = in.wide();
        const quint64 spans = in.number();
        spansLeftRight = spans & 1;
        spansTopBottom = spans & 2;
    }

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

    // The class metrics (FRAGSTATS' definitions), lengths and areas in map
    // units by geometry:
    qint64 edges() const { return edgeSidesVertical + edgeSidesHorizontal; }
    // The edges' length per area of the landscape (its cells with a value).
    double edgeDensity(const CellGeometry &geometry) const;
    // Effective mesh size: sum a^2 / the landscape's area.
    double mesh(const CellGeometry &geometry) const;
    // Splitting index: the landscape's area^2 / sum a^2.
    double split() const;
    // Patch cohesion: 100 (1 - sum p / sum p sqrt(a)) / (1 - 1 / sqrt(Z)),
    // p and a in cell sides and cells, Z the landscape's cells.
    double cohesion() const;
    // Aggregation index: like adjacencies / their most for the habitat's
    // cells on the grid, x 100.
    double aggregation() const;
    // Perimeter-area fractal dimension: 2 / the slope of ln(cells) on
    // ln(perimeter) over the clusters; NaN under 10 clusters.
    double perimeterAreaFractal() const;

private:
    // add(cluster), term by term.
    void addTerms(const Cluster &cluster);
};
