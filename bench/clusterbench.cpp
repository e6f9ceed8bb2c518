// Speed of the cluster engine (ClusterScan), in nanoseconds per cell of the
// scan alone: the rows are made in memory beforehand, a few at a time, and
// only the engine's calls are timed, in CPU time of the thread.
//
//   vantrix-bench-cluster [--size N] [--runs R] [--only random|cover|spans]
//
// 1. Random maps (each cell habitat with probability p) of N x N cells
//    (default 10000), at p = 0.5927 (the site-percolation threshold of the
//    square lattice) and 0.7, cluster4 and cluster8, with statistics and
//    without (no direction asked, so that the whole map is read); and once
//    with the 128-bit sums that maps of more than about 40,000 x 40,000
//    cells need.
// 2. A land-cover-like map of N x N cells: 15 classes in blobs (each cell of
//    the class whose own smooth noise field is highest there), one class as
//    the cover, and every class on its own (beginClasses), with statistics;
//    the two scans are fed the same rows, block by block, and the runs per
//    cell of each are shown (the work of a scan grows with its runs).
// 3. The spanning rule as the sweep calls it (ClusterScan::spans on a square
//    held whole, stopping once it spans) at L = 128, 512, 2048 and
//    p = 0.5927, per cell of the squares.
// Each figure is the median of R runs (default 3). Machines shared with
// other work give noisy figures: compare runs made at the same time.
#include "clusterscan.h"

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// The thread's CPU time, so that other work on the machine does not count.
struct Clock
{
    using duration = std::chrono::nanoseconds;
    static duration now()
    {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    }
};

// splitmix64: a plain, fast stream of random words.
struct Random
{
    quint64 state;
    explicit Random(quint64 seed)
        : state(seed)
    {
    }
    quint64 next()
    {
        quint64 z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

// Cells habitat (1) with probability share, else matrix (0).
void randomRow(Random &random, double share, qint8 *cells, qint64 n)
{
    const quint64 threshold = quint64(share * 4294967296.0);
    qint64 c = 0;
    for (; c + 2 <= n; c += 2) {
        const quint64 word = random.next();
        cells[c] = qint8((word & 0xFFFFFFFFu) < threshold);
        cells[c + 1] = qint8((word >> 32) < threshold);
    }
    if (c < n)
        cells[c] = qint8((random.next() & 0xFFFFFFFFu) < threshold);
}

// Smooth noise: values on a lattice of spacing 64, and one of spacing 16 at
// 0.35 of the weight for rougher edges, interpolated with a smooth step.
class Noise
{
public:
    Noise(qint64 size, quint64 seed)
    {
        for (int octave = 0; octave < 2; ++octave) {
            const qint64 spacing = octave == 0 ? 64 : 16;
            const qint64 points = size / spacing + 3;
            Layer layer{spacing, points, std::vector<float>(size_t(points * points))};
            Random random(seed * 2 + quint64(octave));
            for (float &v : layer.values)
                v = float(double(random.next() >> 11) / 9007199254740992.0 * 2 - 1);
            m_layers.push_back(std::move(layer));
        }
    }
    void row(qint64 r, float *out, qint64 n) const
    {
        std::fill(out, out + n, 0.0f);
        float weight = 1.0f;
        for (const Layer &layer : m_layers) {
            const qint64 gy = r / layer.spacing;
            const float fy = smooth(float(r % layer.spacing) / float(layer.spacing));
            const float *top = layer.values.data() + gy * layer.points;
            const float *bottom = top + layer.points;
            for (qint64 c = 0; c < n; ++c) {
                const qint64 gx = c / layer.spacing;
                const float fx = smooth(float(c % layer.spacing) / float(layer.spacing));
                const float upper = top[gx] + (top[gx + 1] - top[gx]) * fx;
                const float lower = bottom[gx] + (bottom[gx + 1] - bottom[gx]) * fx;
                out[c] += weight * (upper + (lower - upper) * fy);
            }
            weight *= 0.35f;
        }
    }

private:
    struct Layer
    {
        qint64 spacing;
        qint64 points;
        std::vector<float> values;
    };
    static float smooth(float t) { return t * t * (3 - 2 * t); }
    std::vector<Layer> m_layers;
};

// Land cover: one smooth noise field per class, each cell of the class whose
// field is highest there (class values 1 .. classes): blobs of every class
// next to each other, as patches of land cover lie.
class LandCover
{
public:
    LandCover(qint64 size, int classes)
        : m_size(size)
    {
        for (int k = 0; k < classes; ++k)
            m_fields.emplace_back(size, 20261209 + quint64(k));
        m_best.resize(size_t(size));
        m_row.resize(size_t(size));
    }
    void row(qint64 r, qint32 *values)
    {
        std::fill(m_best.begin(), m_best.end(), -1e9f);
        for (size_t k = 0; k < m_fields.size(); ++k) {
            m_fields[k].row(r, m_row.data(), m_size);
            for (qint64 c = 0; c < m_size; ++c) {
                if (m_row[size_t(c)] > m_best[size_t(c)]) {
                    m_best[size_t(c)] = m_row[size_t(c)];
                    values[c] = qint32(k) + 1;
                }
            }
        }
    }

private:
    qint64 m_size;
    std::vector<Noise> m_fields;
    std::vector<float> m_best;
    std::vector<float> m_row;
};

constexpr qint64 Block = 16; // rows made, then scanned, at a time

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// ns per cell of a full scan of a random n x n map. With `tall`, the map is
// declared 100 times taller than the rows given, which makes the engine keep
// its sums in 128 bits, as it does for maps past about 40,000 x 40,000 cells.
double randomScan(qint64 n, double share, ClusterRecord::Connectivity connectivity, bool statistics, bool tall,
                  ClusterStatistics *result)
{
    ClusterScan scan;
    ClusterScan::Options options;
    options.connectivity = connectivity;
    options.rows = tall ? 100 * n : n;
    options.columns = n;
    options.statistics = statistics;
    options.leftRight = false; // read everything
    options.topBottom = false;
    std::vector<qint8> cells(size_t(Block * n));
    Random random(7);
    Clock::duration spent{};
    scan.begin(options);
    for (qint64 r = 0; r < n; r += Block) {
        const qint64 rows = std::min(Block, n - r);
        for (qint64 k = 0; k < rows; ++k)
            randomRow(random, share, cells.data() + k * n, n);
        const auto start = Clock::now();
        for (qint64 k = 0; k < rows; ++k)
            scan.addRow(cells.data() + k * n, n);
        spent += Clock::now() - start;
    }
    const auto start = Clock::now();
    *result = scan.finish();
    spent += Clock::now() - start;
    return std::chrono::duration<double, std::nano>(spent).count() / double(n * n);
}

// ns per cell of the land-cover map with one class as the cover (cover) and
// with every class on its own (each), the two scans fed the same rows block
// by block; and the runs per cell of each.
struct LandCoverTimes
{
    double cover = 0;
    double each = 0;
    double coverRuns = 0;
    double eachRuns = 0;
    size_t classes = 0;
    qint64 coverClusters = 0;
    qint64 eachClusters = 0;
};

LandCoverTimes landCoverScan(qint64 n, qint32 cover)
{
    LandCover map(n, 15);
    ClusterScan one;
    ClusterScan all;
    ClusterScan::Options options;
    options.rows = n;
    options.columns = n;
    std::vector<qint32> values(size_t(Block * n));
    std::vector<quint8> present(size_t(n), 1);
    std::vector<qint8> cells(size_t(Block * n));
    Clock::duration coverTime{};
    Clock::duration eachTime{};
    qint64 coverRuns = 0;
    qint64 eachRuns = 0;
    one.begin(options);
    all.beginClasses(options);
    for (qint64 r = 0; r < n; r += Block) {
        const qint64 rows = std::min(Block, n - r);
        for (qint64 k = 0; k < rows; ++k) {
            qint32 *row = values.data() + k * n;
            map.row(r + k, row);
            for (qint64 c = 0; c < n; ++c) {
                cells[size_t(k * n + c)] = qint8(row[c] == cover);
                eachRuns += c == 0 || row[c] != row[c - 1];
                coverRuns += row[c] == cover && (c == 0 || row[c - 1] != cover);
            }
        }
        auto start = Clock::now();
        for (qint64 k = 0; k < rows; ++k)
            one.addRow(cells.data() + k * n, n);
        coverTime += Clock::now() - start;
        start = Clock::now();
        for (qint64 k = 0; k < rows; ++k)
            all.addClassRow(values.data() + k * n, present.data(), n);
        eachTime += Clock::now() - start;
    }
    LandCoverTimes out;
    auto start = Clock::now();
    out.coverClusters = one.finish().clusters;
    coverTime += Clock::now() - start;
    start = Clock::now();
    const auto classes = all.finishClasses();
    eachTime += Clock::now() - start;
    out.classes = classes.size();
    for (const auto &found : classes)
        out.eachClusters += found.second.clusters;
    const double area = double(n * n);
    out.cover = std::chrono::duration<double, std::nano>(coverTime).count() / area;
    out.each = std::chrono::duration<double, std::nano>(eachTime).count() / area;
    out.coverRuns = double(coverRuns) / area;
    out.eachRuns = double(eachRuns) / area;
    return out;
}

// ns per cell of ClusterScan::spans on random squares of side size, as the
// sweep calls it (cluster4, either direction), over about `cells` cells.
double squareSpans(qint64 size, double share, qint64 cells, int *spanning)
{
    const qint64 replicates = std::max<qint64>(4, cells / (size * size));
    Random random(11);
    RaggedRows<qint8> rows;
    Clock::duration spent{};
    *spanning = 0;
    for (qint64 i = 0; i < replicates; ++i) {
        rows.clear();
        rows.cells.resize(size_t(size * size));
        for (qint64 r = 0; r < size; ++r) {
            randomRow(random, share, rows.cells.data() + r * size, size);
            rows.offsets.push_back((r + 1) * size);
        }
        const auto start = Clock::now();
        *spanning += ClusterScan::spans(rows, ClusterRecord::Four, true, true);
        spent += Clock::now() - start;
    }
    return std::chrono::duration<double, std::nano>(spent).count() / double(replicates * size * size);
}

} // namespace

int main(int argc, char **argv)
{
    qint64 size = 10000;
    int runs = 3;
    const char *only = "";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--size"))
            size = std::atoll(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--only"))
            only = argv[i + 1];
    }
    if (size < 2) {
        std::fprintf(stderr, "usage: vantrix-bench-cluster [--size N>=2] [--runs R] [--only random|cover|spans]\n");
        return 2;
    }
    auto wanted = [only](const char *part) { return !*only || !std::strcmp(only, part); };

    if (wanted("random")) {
    std::printf("random %lld x %lld, ns per cell (median of %d)\n", (long long)size, (long long)size, runs);
    std::printf("%-8s %-9s %-11s %9s %10s %12s\n", "share", "rule", "statistics", "ns/cell", "clusters",
                "largest");
    for (const double share : {0.5927, 0.7}) {
        for (const auto connectivity : {ClusterRecord::Four, ClusterRecord::Eight}) {
            for (const int mode : {0, 1, 2}) { // statistics off, on, on with 128-bit sums
                if (mode == 2 && (share != 0.5927 || connectivity != ClusterRecord::Four))
                    continue;
                std::vector<double> times;
                ClusterStatistics result;
                for (int k = 0; k < runs; ++k)
                    times.push_back(randomScan(size, share, connectivity, mode > 0, mode == 2, &result));
                std::printf("%-8.4f %-9s %-11s %9.3f %10lld %12lld\n", share,
                            connectivity == ClusterRecord::Four ? "cluster4" : "cluster8",
                            mode == 0 ? "off" : mode == 1 ? "on" : "on, 128-bit", median(times),
                            (long long)result.clusters, (long long)result.largest);
                std::fflush(stdout);
            }
        }
    }
    // The figures to read the threshold's rows against, per core.
    std::printf("peers, per core: target 2 ns per cell at 0.5927 with statistics; parallel light-speed\n"
                "labelling about 1.4 ns per pixel (42 Gpx/s on 60 cores)\n");
    }

    if (wanted("cover")) {
        std::printf("\nland cover %lld x %lld, 15 classes in blobs, statistics on, cluster4 (median of %d)\n",
                    (long long)size, (long long)size, runs);
        std::printf("%-16s %9s %10s %8s %10s\n", "cover", "ns/cell", "runs/cell", "classes", "clusters");
        std::vector<LandCoverTimes> all;
        for (int k = 0; k < runs; ++k)
            all.push_back(landCoverScan(size, 7));
        std::vector<double> cover, each;
        for (const LandCoverTimes &t : all) {
            cover.push_back(t.cover);
            each.push_back(t.each);
        }
        const LandCoverTimes &t = all.front();
        std::printf("%-16s %9.3f %10.4f %8d %10lld\n", "one class (7)", median(cover), t.coverRuns, 1,
                    (long long)t.coverClusters);
        std::printf("%-16s %9.3f %10.4f %8zu %10lld\n", "each class", median(each), t.eachRuns, t.classes,
                    (long long)t.eachClusters);
        std::printf("each / one = %.2fx\n", median(each) / median(cover));
        std::fflush(stdout);
    }

    if (wanted("spans")) {
    std::printf("\nClusterScan::spans on random squares at 0.5927 (cluster4, either direction)\n");
    std::printf("%6s %9s %9s %10s\n", "L", "ns/cell", "Mcells/s", "spanning");
    for (const qint64 side : {128, 512, 2048}) {
        std::vector<double> times;
        int spanning = 0;
        for (int k = 0; k < runs; ++k)
            times.push_back(squareSpans(side, 0.5927, 100'000'000, &spanning));
        const double ns = median(times);
        std::printf("%6lld %9.3f %9.1f %10d\n", (long long)side, ns, 1e3 / ns, spanning);
        std::fflush(stdout);
    }
    }
    return 0;
}
