#pragma once

#include "raggedrows.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

// Neutral landscapes: random maps of habitat (1) and matrix (0) of L x L
// cells at a habitat share p, the null models of landscape ecology.
//
// Models:
//  - Random: each cell is habitat with probability p, independently: cell i
//    (row-major) is a success of RandomStream::drawCells() at p.
//  - Fractal: midpoint displacement (diamond-square) on a grid of side
//    m = 2^k + 1 >= L: the corners get uniform values in [-1, 1); then for
//    step = m-1, (m-1)/2, ..., 2 the centres of the squares of side step get
//    the mean of their four corners, then the midpoints of the squares' edges
//    the mean of their three or four neighbours at distance step/2, each plus
//    a uniform value in [-1, 1) times the amplitude; the amplitude starts at 1
//    and is multiplied by 2^-H after each step (H = roughness, the Hurst
//    exponent: 0 rough, 1 smooth). Uniform values are uniform53() * 2 - 1, in
//    the order the points are visited, rows from the top, each row from the
//    left. The top-left L x L heights are ranked from the highest, ties by
//    the lower cell index; the first habitatCells(p, L) cells are habitat.
//  - Clusters: modified random clusters (Saura & Martinez-Millan 2000). Each
//    cell is seeded with probability q (the seed share, drawn as in Random;
//    if none is, the cell below(L^2) is). Whatever else is drawn comes from
//    the stream RandomStream(key({key, 4})). The 4-neighbour clusters of seeded
//    cells are numbered by their first cell in row-major order; then every
//    other cell joins a cluster by breadth-first growth from all seeded
//    cells at once (queued in row-major order; neighbours tried up, left,
//    right, down). The clusters are shuffled (Fisher-Yates from the last,
//    j = below(i + 1)) and filled in that order, each cluster's cells in the
//    order they joined it, until habitatCells(p, L) cells are habitat (the
//    last cluster filled in part).
//
// The stream of a landscape is RandomStream(key) (the Random and Clusters
// cells: drawCells() of that key) with the key made of the
// model, L, the seed, the replicate number and the model's parameter (the
// bits of H or q). The share is not part of it: a replicate at a higher share
// holds every habitat cell it has at a lower share, so PP curves over shares
// are those of one set of landscapes. All arithmetic is IEEE double without
// fused operations (and 2^-H is a fixed series), so the cells are the same on
// every machine and build.
class NeutralLandscape
{
public:
    enum Model : quint8 { Random, Fractal, Clusters };

    struct Parameters
    {
        Model model = Random;
        qint64 size = 0;          // L
        double roughness = 0.5;   // Fractal: H, 0 to 1
        double seedShare = 0.1;   // Clusters: q, above 0 and at most 1
        quint64 seed = 0;
    };

    static QString name(Model model);
    static std::optional<Model> modelNamed(QStringView name);
    // Whether the parameters make landscapes; if not, the reason. Sizes run
    // from 1 to maxSize().
    static bool check(const Parameters &parameters, QString *errorString);
    static constexpr qint64 maxSize() { return 1 << 16; }
    // The most memory, in bytes, that building a replicate of these
    // parameters and holding its cells takes at once.
    static qint64 workingBytes(const Parameters &parameters);

    // Replicate number replicate (from 1) of the model. Fractal and Clusters
    // do their work here (memory: about 12 bytes per cell while building, 4
    // kept); Random only remembers its stream.
    NeutralLandscape(const Parameters &parameters, qint64 replicate);

    // The landscape at habitat share p in [0, 1]: L rows of L cells.
    void cells(double share, RaggedRows<qint8> &rows) const;

    // The habitat cells of Fractal and Clusters at share p: floor(p L^2 + 1/2).
    static qint64 habitatCells(double share, qint64 size);

    // The order in which cells (row-major indices) become habitat as the share
    // grows, which cells() follows:
    //  - Random: draws(out) gives every cell's 32-bit uniform (out holds L^2
    //    values); at share p the habitat is the cells whose draw is below
    //    RandomStream::threshold32(p). Cells with equal draws enter together.
    //  - Fractal, Clusters: order() lists the cells; at share p the habitat is
    //    the first habitatCells(p, L) of them. Empty for Random.
    void draws(quint32 *out) const;
    const std::vector<quint32> &order() const { return m_order; }
    const Parameters &parameters() const { return m_parameters; }

    // Rows as landscape text: every value followed by a blank, every row by a
    // newline, so that both reading modes see the same grid.
    static QByteArray text(const RaggedRows<qint8> &rows);

private:
    void buildFractal();
    void buildClusters();

    Parameters m_parameters;
    quint64 m_key = 0;
    std::vector<quint32> m_order; // Fractal, Clusters: cells in the order they turn habitat
};
