#pragma once

#include <QtGlobal>

#include <memory>
#include <utility>
#include <vector>

// Gliding-box lacunarity (Plotnick et al. 1993) of a landscape given row by
// row from the top: for a box side r, every r x r box lying inside the
// landscape (rows x columns), S the habitat cells in it,
//   Lambda(r) = E[S^2] / E[S]^2 = N sum S^2 / (sum S)^2
// over its N boxes. Cells a short row lacks, and cells without a value, are
// no habitat. The sums are exact integers, so they add up across parts of a
// landscape in any order.
//
// Memory: the last rows up to the largest side, and per side a sum per
// column (per class, for every class on its own); time per row and side
// linear in the columns (times the classes).
class GlidingBoxes
{
public:
    struct Sums
    {
        qint64 side = 0;
        quint64 boxes = 0;
        unsigned __int128 sum = 0;
        unsigned __int128 sumSquares = 0;
        // NaN where no box holds habitat.
        double lacunarity() const;
    };

    GlidingBoxes();
    ~GlidingBoxes();

    // Starts a landscape of rows x columns with these box sides (each at
    // least 1; sides larger than the landscape have no box). A band of its
    // rows: the first row given is the landscape's row firstRow, and only
    // the boxes whose last row is countFrom or below are counted (give the
    // band from reachAbove() rows above its first, countFrom, so that the
    // sums of the bands add up to the landscape's).
    void begin(const std::vector<qint64> &sides, qint64 rows, qint64 columns, qint64 firstRow = 0,
               qint64 countFrom = 0);
    // The rows above a band's first that its boxes reach into.
    static qint64 reachAbove(const std::vector<qint64> &sides);
    // The next row of CellCode bytes (above 0 habitat).
    void addRow(const qint8 *cells, qint64 length);
    // The next row of class values (every class on its own).
    void addClassRow(const qint32 *values, const quint8 *present, qint64 length);
    // After the last row: per side, in the order given.
    std::vector<Sums> finish();
    // The same per class value seen, in increasing order.
    std::vector<std::pair<qint32, std::vector<Sums>>> finishClasses();
    // Every box of a landscape of rows x columns, of each side: a class's
    // count once the bands' sums of it are added, as it holds boxes that
    // held none of it in bands where it is absent.
    static quint64 boxesOf(qint64 side, qint64 rows, qint64 columns);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
