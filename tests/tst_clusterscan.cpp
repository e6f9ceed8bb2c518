// The cluster engine against a plain flood fill (every quantity, for one
// cover and for each class), known landscapes and closed forms, the
// observer's view of the clusters, stopping early, and memory that depends
// on the width of a landscape only.
#include "clusterscan.h"
#include "coverbits.h"
#include "patchpass.h"
#include "referencecluster.h"
#include "testutil.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <gdal.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

using Nested = std::vector<std::vector<int>>;
using Reference = ReferenceCluster::Statistics;

// Every allocation of this program counted: the bytes in use now and the most
// since a HeapPeak began, so that memory bounds are measured, not taken from
// what the code says it holds.
namespace {

std::atomic<qint64> heapInUse{0};
std::atomic<qint64> heapHigh{0};

void *counted(std::size_t size)
{
    void *block = std::malloc(size + 16);
    if (!block)
        throw std::bad_alloc();
    *static_cast<std::size_t *>(block) = size;
    const qint64 now = heapInUse += qint64(size);
    qint64 high = heapHigh.load();
    while (now > high && !heapHigh.compare_exchange_weak(high, now)) {
    }
    return static_cast<char *>(block) + 16;
}

void uncounted(void *pointer) noexcept
{
    if (!pointer)
        return;
    void *block = static_cast<char *>(pointer) - 16;
    heapInUse -= qint64(*static_cast<std::size_t *>(block));
    std::free(block);
}

// The most bytes in use above what was in use when it began.
class HeapPeak
{
public:
    HeapPeak()
        : m_base(heapInUse.load())
    {
        heapHigh = m_base;
    }
    qint64 bytes() const { return heapHigh.load() - m_base; }

private:
    qint64 m_base;
};

} // namespace

void *operator new(std::size_t size)
{
    return counted(size);
}
void *operator new[](std::size_t size)
{
    return counted(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void *pointer) noexcept
{
    uncounted(pointer);
}
void operator delete[](void *pointer) noexcept
{
    uncounted(pointer);
}
void operator delete(void *pointer, std::size_t) noexcept
{
    uncounted(pointer);
}
void operator delete[](void *pointer, std::size_t) noexcept
{
    uncounted(pointer);
}

namespace {

QString wide(unsigned __int128 value)
{
    QString digits;
    do {
        digits.prepend(QChar(char('0' + int(value % 10))));
        value /= 10;
    } while (value != 0);
    return digits;
}

// What differs between the engine's statistics and the reference's: the
// integers exactly, the sum of s R within 1e-9 relative.
QString differences(const ClusterStatistics &got, const Reference &want)
{
    QStringList out;
    auto integer = [&](const char *name, unsigned __int128 a, unsigned __int128 b) {
        if (a != b)
            out << QStringLiteral("%1 %2 (want %3)").arg(QLatin1String(name), wide(a), wide(b));
    };
    integer("cells", quint64(got.cells), quint64(want.cells));
    integer("habitat", quint64(got.habitat), quint64(want.habitat));
    integer("clusters", quint64(got.clusters), quint64(want.clusters));
    integer("largest", quint64(got.largest), quint64(want.largest));
    integer("sum s^2", got.sumSquares, want.sumSquares);
    integer("sum s^2 R^2", got.sumSquaredGyration, want.sumSquaredGyration);
    integer("largest's s^2 R^2", got.largestSquaredGyration, want.largestSquaredGyration);
    const long double a = (long double)got.sumSizeGyration * ClusterStatistics::FixedUnit;
    const long double b = want.sumSizeGyration;
    if (std::fabs(double(a - b)) > 1e-9 * std::max(1.0, std::fabs(double(b))))
        out << QStringLiteral("sum s R %1 (want %2)").arg(double(a), 0, 'g', 17).arg(double(b), 0, 'g', 17);
    if (got.spansLeftRight != want.spansLeftRight)
        out << QStringLiteral("spans left-right %1").arg(got.spansLeftRight);
    if (got.spansTopBottom != want.spansTopBottom)
        out << QStringLiteral("spans top-bottom %1").arg(got.spansTopBottom);
    return out.join(QLatin1String(", "));
}

// The sides of the habitat cells of rows (cells above 0; those past width or
// missing are none), counted here cell by cell: runs along a row and
// vertical pairs give the sides the engine adds up per cluster.
QString sideDifferences(const ClusterStatistics &got, const Nested &rows, qint64 height, qint64 width)
{
    const auto habitat = [&](qint64 r, qint64 c) {
        return r < qint64(rows.size()) && c < std::min<qint64>(width, qint64(rows[size_t(r)].size()))
                && rows[size_t(r)][size_t(c)] > 0;
    };
    qint64 cells = 0;
    qint64 runs = 0;
    qint64 pairs = 0;
    // Rows not given have no habitat.
    for (qint64 r = 0; r < std::min(height, qint64(rows.size())); ++r) {
        for (qint64 c = 0; c < std::min(width, qint64(rows[size_t(r)].size())); ++c) {
            if (!habitat(r, c))
                continue;
            ++cells;
            runs += c == 0 || !habitat(r, c - 1);
            pairs += r > 0 && habitat(r - 1, c);
        }
    }
    QStringList out;
    const auto check = [&](const char *name, qint64 a, qint64 b) {
        if (a != b)
            out << QStringLiteral("%1 %2 (want %3)").arg(QLatin1String(name)).arg(a).arg(b);
    };
    check("vertical sides", got.verticalSides, 2 * runs);
    check("horizontal sides", got.horizontalSides, 2 * cells - 2 * pairs);
    check("like adjacencies", got.likeAdjacencies, cells - runs + pairs);
    return out.join(QLatin1String(", "));
}

// With compact, the open clusters move to the front of the slots at every
// collection, as on maps too wide for the caches.
ClusterScan::Options options(qint64 height, qint64 width, int neighbours, bool statistics = true,
                             bool compact = false)
{
    ClusterScan::Options o;
    o.rows = height;
    o.columns = width;
    o.connectivity = neighbours == 8 ? ClusterRecord::Eight : ClusterRecord::Four;
    o.statistics = statistics;
    if (compact)
        o.compactAboveSlots = 0;
    return o;
}

// The rows given as codes, or as bits (CoverBits' words).
ClusterStatistics scanCover(ClusterScan &scan, const Nested &rows, qint64 height, qint64 width, int neighbours,
                            bool asBits = false, bool compact = false)
{
    scan.begin(options(height, width, neighbours, true, compact));
    std::vector<qint8> cells;
    std::vector<quint64> bits;
    for (const auto &row : rows) {
        cells.assign(row.begin(), row.end());
        const qint64 words = CoverBits::wordsFor(qint64(cells.size()));
        bits.assign(size_t(2 * words) + 1, 0);
        packCoverBits(cells.data(), qint64(cells.size()), bits.data(), bits.data() + words);
        if (asBits)
            scan.addRow(bits.data(), bits.data() + words, qint64(cells.size()));
        else
            scan.addRow(cells.data(), qint64(cells.size()));
    }
    return scan.finish();
}

// The values as 32-bit integers, or (bytes) as bytes.
std::vector<std::pair<qint32, ClusterStatistics>> scanClasses(ClusterScan &scan, const Nested &values,
                                                              const Nested &present, qint64 height, qint64 width,
                                                              int neighbours, bool compact = false, bool bytes = false)
{
    scan.beginClasses(options(height, width, neighbours, true, compact));
    std::vector<qint32> rowValues;
    std::vector<quint8> rowBytes;
    std::vector<quint8> rowPresent;
    for (size_t r = 0; r < values.size(); ++r) {
        rowValues.assign(values[r].begin(), values[r].end());
        rowBytes.assign(values[r].begin(), values[r].end());
        rowPresent.assign(present[r].begin(), present[r].end());
        if (bytes)
            scan.addClassRow(rowBytes.data(), rowPresent.data(), qint64(rowBytes.size()));
        else
            scan.addClassRow(rowValues.data(), rowPresent.data(), qint64(rowValues.size()));
    }
    return scan.finishClasses();
}

// Random landscapes of the kinds the engine meets.
struct Landscape
{
    Nested rows;
    qint64 height = 0;
    qint64 width = 0;
};

Landscape randomLandscape(QRandomGenerator &random, const QByteArray &kind, int index)
{
    Landscape out;
    // Shapes: mostly small, some across several 64-cell words, some one row
    // or one column, wide and tall ones.
    auto size = [&](int small) { return 1 + int(random.bounded(index % 8 == 0 ? 200 : small)); };
    out.height = size(30);
    out.width = size(30);
    if (kind == "row")
        out.height = 1, out.width = 1 + random.bounded(300);
    else if (kind == "column")
        out.width = 1, out.height = 1 + random.bounded(300);
    else if (kind == "wide")
        out.height = 1 + random.bounded(12), out.width = 60 + random.bounded(400);
    else if (kind == "very wide") // past the table of sums of squares
        out.height = 1 + random.bounded(5), out.width = 16380 + random.bounded(3000);
    // Declared far taller than the rows given: sums of squares that need
    // 128 bits, the bottom edge never reached.
    const bool tall = kind == "declared tall";
    const double share = 0.2 + 0.7 * random.generateDouble();
    out.rows.resize(size_t(out.height));
    if (kind == "clustered") {
        // Habitat where a smoothed random field is high: blobs with holes.
        Nested field(size_t(out.height + 2), std::vector<int>(size_t(out.width + 2)));
        for (auto &row : field)
            for (int &v : row)
                v = int(random.bounded(100));
        const int threshold = int(900 * (1 - share));
        for (qint64 r = 0; r < out.height; ++r) {
            for (qint64 c = 0; c < out.width; ++c) {
                int sum = 0;
                for (int dr = 0; dr < 3; ++dr)
                    for (int dc = 0; dc < 3; ++dc)
                        sum += field[size_t(r + dr)][size_t(c + dc)];
                out.rows[size_t(r)].push_back(sum > threshold ? 1 : 0);
            }
        }
        return out;
    }
    const bool ragged = kind == "ragged" || tall;
    for (auto &row : out.rows) {
        const qint64 length = ragged ? random.bounded(int(out.width) + 5) : out.width;
        for (qint64 c = 0; c < length; ++c) {
            const bool none = ragged && random.bounded(10) == 0;
            row.push_back(none ? -1 - int(random.bounded(3)) : random.generateDouble() < share ? 1 + int(random.bounded(3)) : 0);
        }
    }
    if (tall)
        out.height = 3000000000ll;
    else if (ragged) {
        // Fewer rows given than the landscape has, or more.
        const int change = int(random.bounded(5));
        if (change == 0)
            out.rows.resize(size_t(random.bounded(int(out.height) + 1)));
        else if (change == 1)
            out.rows.push_back(std::vector<int>(size_t(out.width), 1));
    }
    return out;
}

// The runs of cells above 0 of a row, up to width.
std::vector<std::pair<qint64, qint64>> habitatRuns(const std::vector<int> &row, qint64 width)
{
    std::vector<std::pair<qint64, qint64>> runs;
    const qint64 length = std::min<qint64>(qint64(row.size()), width);
    for (qint64 c = 0; c < length; ++c) {
        if (row[size_t(c)] <= 0)
            continue;
        if (!runs.empty() && runs.back().second == c)
            runs.back().second = c + 1;
        else
            runs.emplace_back(c, c + 1);
    }
    return runs;
}

// An observer that rebuilds the clusters from what it is told: which cells
// each identifier holds (following joins), and which clusters retire when.
class Recorder : public ClusterScan::Observer
{
public:
    struct Cluster
    {
        std::vector<std::pair<qint64, qint64>> cells; // row, column
        qint64 lastRow = -1;
        qint64 leftmostInLastRow = 0;
        bool open = true;
    };

    std::vector<Cluster> clusters;      // every cluster seen, by handle
    std::map<quint32, size_t> handleOf; // open identifiers
    std::vector<std::vector<std::pair<qint64, qint64>>> rows; // the runs told, row by row
    std::vector<std::pair<size_t, qint64>> retired;           // handle, cells told
    std::vector<qint64> retiredAfterRow;                       // the last row joined when each retired
    std::vector<::Cluster> records;                            // as each retired
    QStringList problems;

    void rowJoined(qint64 row, const qint64 *begins, const qint64 *ends, const qint32 *, const quint32 *ids,
                   qint64 runs) override
    {
        if (row != qint64(rows.size()))
            problems << QStringLiteral("row %1 told as %2").arg(rows.size()).arg(row);
        rows.emplace_back();
        for (qint64 k = 0; k < runs; ++k) {
            rows.back().emplace_back(begins[k], ends[k]);
            auto found = handleOf.find(ids[k]);
            if (found == handleOf.end()) {
                found = handleOf.emplace(ids[k], clusters.size()).first;
                clusters.emplace_back();
            }
            Cluster &cluster = clusters[found->second];
            if (cluster.lastRow != row) {
                if (cluster.lastRow != -1 && cluster.lastRow != row - 1)
                    problems << QStringLiteral("cluster %1 skipped a row before %2").arg(ids[k]).arg(row);
                cluster.lastRow = row;
                cluster.leftmostInLastRow = begins[k];
            }
            for (qint64 c = begins[k]; c < ends[k]; ++c)
                cluster.cells.emplace_back(row, c);
        }
    }
    void clustersJoined(quint32 into, quint32 from) override
    {
        const auto to = handleOf.find(into);
        const auto gone = handleOf.find(from);
        if (to == handleOf.end() || gone == handleOf.end() || into == from) {
            problems << QStringLiteral("join of %1 into %2, not both open").arg(from).arg(into);
            return;
        }
        Cluster &target = clusters[to->second];
        Cluster &source = clusters[gone->second];
        target.cells.insert(target.cells.end(), source.cells.begin(), source.cells.end());
        source.cells.clear();
        source.open = false;
        handleOf.erase(gone);
    }
    void clusterRetired(quint32 id, const ::Cluster &record) override
    {
        const auto found = handleOf.find(id);
        if (found == handleOf.end()) {
            problems << QStringLiteral("retired %1, not open").arg(id);
            return;
        }
        clusters[found->second].open = false;
        retired.emplace_back(found->second, record.cells);
        records.push_back(record);
        retiredAfterRow.push_back(qint64(rows.size()) - 1);
        handleOf.erase(found);
    }
};

} // namespace

class TestClusterScan : public QObject
{
    Q_OBJECT

private slots:
    void coverMatchesReference_data();
    void coverMatchesReference();
    void classesMatchReference_data();
    void classesMatchReference();
    void knownLandscapes_data();
    void knownLandscapes();
    void fullRectangles_data();
    void fullRectangles();
    void derivedQuantities();
    void stopsOnceSpanningIsKnown_data();
    void stopsOnceSpanningIsKnown();
    void observerSeesTheClusters_data();
    void observerSeesTheClusters();
    void memoryDoesNotGrowWithHeight_data();
    void memoryDoesNotGrowWithHeight();
    void manyClasses();
    void rowsOfTheOtherMode();
    void clusterMapsOfBothWidths_data();
    void clusterMapsOfBothWidths();
};

void TestClusterScan::coverMatchesReference_data()
{
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<int>("neighbours");
    QTest::addColumn<bool>("asBits");
    for (const char *kind : {"square", "ragged", "clustered", "row", "column", "wide", "very wide", "declared tall"}) {
        for (int neighbours : {4, 8}) {
            QTest::addRow("%s, %d neighbours", kind, neighbours) << QByteArray(kind) << neighbours << false;
            QTest::addRow("%s, %d neighbours, bits", kind, neighbours) << QByteArray(kind) << neighbours << true;
        }
    }
}

void TestClusterScan::coverMatchesReference()
{
    QFETCH(QByteArray, kind);
    QFETCH(int, neighbours);
    QFETCH(bool, asBits);
    QRandomGenerator random(qHash(kind) + quint32(neighbours));
    // One engine for all, as a batch would use it; the reference is fresh.
    ClusterScan scan;
    qint64 clusters = 0;
    qint64 spanning = 0;
    const int landscapes = kind == "very wide" ? 40 : 600;
    for (int i = 0; i < landscapes; ++i) {
        const Landscape l = randomLandscape(random, kind, i);
        const Reference want = ReferenceCluster::statistics(l.rows, l.height, l.width, neighbours);
        // Half the landscapes, large ones too (every eighth), with their
        // slots compacted at each collection.
        const ClusterStatistics got = scanCover(scan, l.rows, l.height, l.width, neighbours, asBits, i / 8 % 2 == 1);
        QStringList problems{differences(got, want), sideDifferences(got, l.rows, l.height, l.width)};
        problems.removeAll(QString());
        const QString problem = problems.join(QLatin1String(", "));
        if (!problem.isEmpty())
            QFAIL(qPrintable(QStringLiteral("landscape %1 (%2 x %3): %4\n%5")
                                     .arg(i).arg(l.height).arg(l.width).arg(problem,
                                          QString::fromLatin1(TestUtil::rowsText(l.rows)))));
        clusters += want.clusters;
        spanning += want.spansLeftRight || want.spansTopBottom;
    }
    // The landscapes are not all of one kind (one row or one column nearly
    // always spans across its thin side).
    QVERIFY(clusters > landscapes);
    if (kind != "row" && kind != "column" && kind != "wide" && kind != "very wide")
        QVERIFY2(spanning > landscapes / 20 && spanning < landscapes * 19 / 20, qPrintable(QString::number(spanning)));
}

void TestClusterScan::classesMatchReference_data()
{
    QTest::addColumn<int>("classes");
    QTest::addColumn<bool>("ragged");
    QTest::addColumn<int>("neighbours");
    for (int neighbours : {4, 8}) {
        QTest::addRow("one class, %d neighbours", neighbours) << 1 << false << neighbours;
        QTest::addRow("three classes, %d neighbours", neighbours) << 3 << false << neighbours;
        QTest::addRow("three classes, ragged, %d neighbours", neighbours) << 3 << true << neighbours;
        QTest::addRow("forty classes, ragged, %d neighbours", neighbours) << 40 << true << neighbours;
    }
}

void TestClusterScan::classesMatchReference()
{
    QFETCH(int, classes);
    QFETCH(bool, ragged);
    QFETCH(int, neighbours);
    QRandomGenerator random(quint32(classes * 16 + ragged * 2 + neighbours));
    ClusterScan scan;
    const int landscapes = 400;
    for (int i = 0; i < landscapes; ++i) {
        const qint64 height = 1 + random.bounded(i % 8 == 0 ? 120 : 25);
        const qint64 width = 1 + random.bounded(i % 8 == 0 ? 200 : 25);
        Nested values(static_cast<size_t>(height));
        Nested present(static_cast<size_t>(height));
        // Values in patches: a cell mostly repeats the one on its left or
        // above, so that runs are long and classes join across rows; any
        // int32 may be a class, negative ones too, and some landscapes are
        // of bytes.
        const int range = int(random.bounded(4));
        const int base = range == 0 ? -2000000000 : range == 3 ? 200 : -1;
        for (qint64 r = 0; r < height; ++r) {
            const qint64 length = ragged ? random.bounded(int(width) + 4) : width;
            for (qint64 c = 0; c < length; ++c) {
                int value = base + int(random.bounded(classes));
                const int pick = int(random.bounded(4));
                if (pick == 0 && c > 0)
                    value = values[size_t(r)][size_t(c - 1)];
                else if (pick == 1 && r > 0 && c < qint64(values[size_t(r - 1)].size()))
                    value = values[size_t(r - 1)][size_t(c)];
                values[size_t(r)].push_back(value);
                present[size_t(r)].push_back(ragged && random.bounded(8) == 0 ? 0 : 1);
            }
        }
        const auto want = ReferenceCluster::classStatistics(values, present, height, width, neighbours);
        QString problem;
        for (const bool bytes : {false, true}) {
            if (bytes && (base != 200 || classes > 56))
                continue;
            const auto got = scanClasses(scan, values, present, height, width, neighbours, i / 8 % 2 == 1, bytes);
            const QString as = bytes ? QStringLiteral("as bytes, ") : QString();
            if (got.size() != want.size())
                problem = QStringLiteral("%1%2 classes (want %3)").arg(as).arg(got.size()).arg(want.size());
            for (size_t k = 0; problem.isEmpty() && k < got.size(); ++k) {
                if (got[k].first != want[k].first)
                    problem = QStringLiteral("%1class %2 (want %3)").arg(as).arg(got[k].first).arg(want[k].first);
                else if (const QString d = differences(got[k].second, want[k].second); !d.isEmpty())
                    problem = QStringLiteral("%1class %2: %3").arg(as).arg(got[k].first).arg(d);
            }
        }
        if (!problem.isEmpty())
            QFAIL(qPrintable(QStringLiteral("landscape %1 (%2 x %3): %4\nvalues %5\npresent %6")
                                     .arg(i).arg(height).arg(width).arg(problem,
                                          QString::fromLatin1(TestUtil::rowsText(values)),
                                          QString::fromLatin1(TestUtil::rowsText(present)))));
    }
}

void TestClusterScan::knownLandscapes_data()
{
    // Values computed by hand or with the closed form of a full rectangle
    // (s^2 R^2 = s^2 ((rows^2 - 1) + (columns^2 - 1)) / 12).
    QTest::addColumn<QByteArray>("grid");
    QTest::addColumn<int>("neighbours");
    QTest::addColumn<qint64>("cells");
    QTest::addColumn<qint64>("habitat");
    QTest::addColumn<qint64>("clusters");
    QTest::addColumn<qint64>("largest");
    QTest::addColumn<qint64>("sumSquares");
    QTest::addColumn<qint64>("sumSquaredGyration");
    QTest::addColumn<bool>("spansLeftRight");
    QTest::addColumn<bool>("spansTopBottom");

    for (int n : {4, 8}) {
        QTest::addRow("single cell, %d", n) << QByteArray("1") << n << 1ll << 1ll << 1ll << 1ll << 1ll << 0ll << true << true;
        // The arms are two clusters until the last row joins them.
        QTest::addRow("U shape joining late, %d", n)
                << QByteArray("1 0 1/1 0 1/1 1 1") << n << 9ll << 7ll << 1ll << 7ll << 49ll << 76ll << true << true;
        QTest::addRow("spiral, %d", n) << QByteArray("1 1 1 1 1 1 1/0 0 0 0 0 0 1/1 1 1 1 1 0 1/1 0 0 0 1 0 1/"
                                                    "1 0 1 1 1 0 1/1 0 0 0 0 0 1/1 1 1 1 1 1 1")
                                       << n << 49ll << 31ll << 1ll << 31ll << 961ll << 9140ll << true << true;
        QTest::addRow("all habitat 3 x 4, %d", n)
                << QByteArray("1 1 1 1/1 1 1 1/1 1 1 1") << n << 12ll << 12ll << 1ll << 12ll << 144ll << 276ll << true << true;
        QTest::addRow("no habitat, %d", n) << QByteArray("0 0/0 0") << n << 4ll << 0ll << 0ll << 0ll << 0ll << 0ll << false << false;
        QTest::addRow("no cells, %d", n) << QByteArray("-1 -1") << n << 0ll << 0ll << 0ll << 0ll << 0ll << 0ll << false << false;
        QTest::addRow("cell without a value splits, %d", n)
                << QByteArray("1 -1 1") << n << 2ll << 2ll << 2ll << 1ll << 2ll << 0ll << false << true;
        QTest::addRow("two clusters in a row, %d", n)
                << QByteArray("1 0 1 1 1") << n << 5ll << 4ll << 2ll << 3ll << 10ll << 6ll << false << true;
    }
    QTest::newRow("checkerboard, 4") << QByteArray("1 0 1 0/0 1 0 1/1 0 1 0/0 1 0 1") << 4 << 16ll << 8ll << 8ll
                                     << 1ll << 8ll << 0ll << false << false;
    QTest::newRow("checkerboard, 8") << QByteArray("1 0 1 0/0 1 0 1/1 0 1 0/0 1 0 1") << 8 << 16ll << 8ll << 1ll
                                     << 8ll << 64ll << 160ll << true << true;
    QTest::newRow("diagonal, 4") << QByteArray("1 0/0 1") << 4 << 4ll << 2ll << 2ll << 1ll << 2ll << 0ll << false << false;
    QTest::newRow("diagonal, 8") << QByteArray("1 0/0 1") << 8 << 4ll << 2ll << 1ll << 2ll << 4ll << 2ll << true << true;
}

void TestClusterScan::knownLandscapes()
{
    QFETCH(QByteArray, grid);
    QFETCH(int, neighbours);
    QFETCH(qint64, cells);
    QFETCH(qint64, habitat);
    QFETCH(qint64, clusters);
    QFETCH(qint64, largest);
    QFETCH(qint64, sumSquares);
    QFETCH(qint64, sumSquaredGyration);
    QFETCH(bool, spansLeftRight);
    QFETCH(bool, spansTopBottom);

    const Nested rows = TestUtil::toNested(TestUtil::gridFromText(grid));
    qint64 width = 0;
    for (const auto &row : rows)
        width = std::max<qint64>(width, qint64(row.size()));
    ClusterScan scan;
    const ClusterStatistics got = scanCover(scan, rows, qint64(rows.size()), width, neighbours);
    QCOMPARE(got.cells, cells);
    QCOMPARE(got.habitat, habitat);
    QCOMPARE(got.clusters, clusters);
    QCOMPARE(got.largest, largest);
    QCOMPARE(qint64(got.sumSquares), sumSquares);
    QCOMPARE(qint64(got.sumSquaredGyration), sumSquaredGyration);
    QCOMPARE(got.spansLeftRight, spansLeftRight);
    QCOMPARE(got.spansTopBottom, spansTopBottom);
    // Every cluster here but the two-cluster row is alone or of one size,
    // so sum s R = sqrt(sum s^2 R^2) per cluster adds up simply.
    if (clusters == 1)
        QVERIFY(std::abs(double((long double)got.sumSizeGyration * ClusterStatistics::FixedUnit)
                         - std::sqrt(double(sumSquaredGyration)))
                <= 1e-9);
    // Undefined quantities are NaN, never 0 or infinite.
    QCOMPARE(std::isnan(got.share()), cells == 0);
    QCOMPARE(std::isnan(got.largestShare()), cells == 0);
    for (double value : {got.largestOfHabitat(), got.meanSize(), got.weightedSize(), got.meanSizeFinite(),
                         got.gyrationAreaWeighted()})
        QCOMPARE(std::isnan(value), habitat == 0);
    // The correlation length leaves the largest cluster out: one alone leaves nothing.
    QCOMPARE(std::isnan(got.correlationLength()), clusters <= 1);
}

void TestClusterScan::fullRectangles_data()
{
    QTest::addColumn<qint64>("rows");
    QTest::addColumn<qint64>("columns");
    QTest::newRow("one cell") << 1ll << 1ll;
    QTest::newRow("a row past 2^21 columns") << 1ll << 2200000ll;
    QTest::newRow("two rows past 2^21 columns") << 2ll << 2100000ll;
    QTest::newRow("a tall column") << 300000ll << 1ll;
    QTest::newRow("1000 x 700") << 1000ll << 700ll;
}

void TestClusterScan::fullRectangles()
{
    // A landscape of habitat only is one cluster whose radius of gyration
    // is known: R^2 = ((rows^2 - 1) + (columns^2 - 1)) / 12.
    QFETCH(qint64, rows);
    QFETCH(qint64, columns);
    using u128 = unsigned __int128;
    const u128 s = u128(rows) * u128(columns);
    const u128 twelveR2 = u128(rows) * u128(rows) - 1 + u128(columns) * u128(columns) - 1;
    const std::vector<qint8> row(size_t(columns), 1);
    for (int neighbours : {4, 8}) {
        ClusterScan scan;
        scan.begin(options(rows, columns, neighbours));
        for (qint64 r = 0; r < rows; ++r)
            scan.addRow(row.data(), columns);
        const ClusterStatistics got = scan.finish();
        QCOMPARE(got.clusters, qint64(1));
        QCOMPARE(quint64(got.largest), quint64(s));
        QVERIFY(got.sumSquares == s * s);
        QVERIFY2(got.sumSquaredGyration * 12 == s * s * twelveR2,
                 qPrintable(wide(got.sumSquaredGyration) + QLatin1String(" * 12 vs ") + wide(s * s * twelveR2)));
        const long double expected = (long double)s * std::sqrt((long double)twelveR2 / 12);
        QVERIFY(std::fabs(double((long double)got.sumSizeGyration * ClusterStatistics::FixedUnit - expected))
                <= 1e-12 * double(expected));
        QVERIFY(got.spansLeftRight && got.spansTopBottom);
    }
}

void TestClusterScan::derivedQuantities()
{
    // "1 0 1 1 1": clusters of 1 and 3 cells in 5; the line of 3 has
    // R^2 = (3^2 - 1) / 12 = 2/3.
    ClusterScan scan;
    const ClusterStatistics s = scanCover(scan, {{1, 0, 1, 1, 1}}, 1, 5, 4);
    QCOMPARE(s.share(), 4.0 / 5);
    QCOMPARE(s.largestShare(), 3.0 / 5);
    QCOMPARE(s.largestOfHabitat(), 3.0 / 4);
    QCOMPARE(s.meanSize(), 2.0);
    QCOMPARE(s.weightedSize(), 10.0 / 4);
    QCOMPARE(s.meanSizeFinite(), 1.0); // the single cell, the line of 3 left out
    QVERIFY(std::abs(s.gyrationAreaWeighted() - 3 * std::sqrt(2.0 / 3) / 4) < 1e-11); // fixed point
    QCOMPARE(s.correlationLength(), 0.0); // a single cell has R = 0
    // Two lines of 3 and a square of 4 cells, the largest, left out:
    // xi^2 = 2 (9 * 2/3 + 9 * 2/3) / (9 + 9).
    const ClusterStatistics t = scanCover(scan, {{1, 1, 1, 0, 1, 1}, {0, 0, 0, 0, 1, 1}, {1, 1, 1, 0, 0, 0}}, 3, 6, 4);
    QCOMPARE(t.largest, qint64(4));
    QCOMPARE(t.meanSizeFinite(), (9.0 + 9.0) / 6);
    QCOMPARE(t.correlationLength(), std::sqrt(2 * (6.0 + 6.0) / 18));
    // Only one cluster: nothing is left for the finite quantities.
    const ClusterStatistics one = scanCover(scan, {{1, 1, 0}}, 1, 3, 4);
    QCOMPARE(one.meanSizeFinite(), 0.0);
    QVERIFY(std::isnan(one.correlationLength()));
}

void TestClusterScan::stopsOnceSpanningIsKnown_data()
{
    QTest::addColumn<QByteArray>("grid");
    QTest::addColumn<bool>("leftRight");
    QTest::addColumn<bool>("topBottom");
    QTest::addColumn<int>("stopRow"); // the row after which addRow() returns true; -1: never
    QTest::newRow("row across, left-right asked") << QByteArray("0 0 0/1 1 1/0 0 0/0 0 0") << true << false << 1;
    // Known before the row's last cell, which has no value.
    QTest::newRow("spans in the middle of a row with cells without a value")
            << QByteArray("0 -1 0 1 1/1 1 1 1 -1/0 0 0 0 0") << true << false << 1;
    QTest::newRow("row across, top-bottom asked") << QByteArray("0 0 0/1 1 1/0 0 0/0 0 0") << false << true << -1;
    QTest::newRow("column, top-bottom asked") << QByteArray("0 1 0/0 1 0/0 1 0/0 1 0") << false << true << 3;
    QTest::newRow("column, either") << QByteArray("0 1 0/0 1 0/0 1 0/0 1 0") << true << true << 3;
    // Two arms touching the left and the right edge meet in row 2.
    QTest::newRow("join makes it span") << QByteArray("1 0 1/1 0 1/1 1 1/0 0 0") << true << false << 2;
    QTest::newRow("nothing asked") << QByteArray("1 1 1/1 1 1") << false << false << -1;
}

void TestClusterScan::stopsOnceSpanningIsKnown()
{
    QFETCH(QByteArray, grid);
    QFETCH(bool, leftRight);
    QFETCH(bool, topBottom);
    QFETCH(int, stopRow);
    const RaggedRows<qint8> rows = TestUtil::gridFromText(grid);
    const qint64 words = CoverBits::wordsFor(rows.rowLength(0));
    std::vector<quint64> bits(size_t(2 * words));
    for (const bool statistics : {false, true}) {
      for (const bool asBits : {false, true}) {
        ClusterScan scan;
        ClusterScan::Options o = options(rows.rowCount(), rows.rowLength(0), 4, statistics);
        o.leftRight = leftRight;
        o.topBottom = topBottom;
        scan.begin(o);
        int stopped = -1;
        for (qsizetype r = 0; r < rows.rowCount(); ++r) {
            packCoverBits(rows.row(r), rows.rowLength(r), bits.data(), bits.data() + words);
            const bool known = asBits ? scan.addRow(bits.data(), bits.data() + words, rows.rowLength(r))
                                      : scan.addRow(rows.row(r), rows.rowLength(r));
            if (known && stopped < 0)
                stopped = int(r);
        }
        const ClusterStatistics s = scan.finish();
        // With statistics every row is read; cells counts the rows read.
        QCOMPARE(stopped, statistics ? -1 : stopRow);
        const qint64 read = stopped < 0 ? rows.rowCount() : stopped + 1;
        QCOMPARE(s.cells, qint64(std::count_if(rows.cells.begin(), rows.cells.begin() + read * rows.rowLength(0),
                                               [](qint8 cell) { return cell >= 0; })));
        if (stopRow >= 0)
            QVERIFY((leftRight && s.spansLeftRight) || (topBottom && s.spansTopBottom));
      }
    }
}

void TestClusterScan::observerSeesTheClusters_data()
{
    QTest::addColumn<int>("neighbours");
    QTest::addColumn<bool>("statistics");
    QTest::newRow("4 neighbours") << 4 << true;
    QTest::newRow("8 neighbours") << 8 << true;
    QTest::newRow("4 neighbours, spanning only") << 4 << false;
}

void TestClusterScan::observerSeesTheClusters()
{
    // From the observer's calls alone, every cluster of the reference is
    // rebuilt cell for cell, retires once with its cells, after the row below
    // its last row, leftmost first.
    QFETCH(int, neighbours);
    QFETCH(bool, statistics);
    QRandomGenerator random(quint32(neighbours + statistics));
    ClusterScan scan;
    for (int i = 0; i < 300; ++i) {
        const Landscape l = randomLandscape(random, i % 2 ? "square" : "ragged", i);
        Recorder recorder;
        scan.setObserver(&recorder);
        ClusterScan::Options o = options(l.height, l.width, neighbours, statistics);
        o.leftRight = o.topBottom = false;
        scan.begin(o);
        std::vector<qint8> cells;
        for (const auto &row : l.rows) {
            cells.assign(row.begin(), row.end());
            scan.addRow(cells.data(), qint64(cells.size()));
        }
        const ClusterStatistics result = scan.finish();
        scan.setObserver(nullptr);
        const QString where = QStringLiteral("landscape %1: %2").arg(i).arg(QString::fromLatin1(TestUtil::rowsText(l.rows)));
        QVERIFY2(recorder.problems.isEmpty(), qPrintable(recorder.problems.join(u'\n') + u'\n' + where));

        const qint64 given = std::min<qint64>(qint64(l.rows.size()), l.height);
        QCOMPARE(qint64(recorder.rows.size()), given);
        for (qint64 r = 0; r < given; ++r)
            QVERIFY2(recorder.rows[size_t(r)] == habitatRuns(l.rows[size_t(r)], l.width), qPrintable(where));

        const Nested labels = ReferenceCluster::labels(l.rows, l.height, l.width, neighbours);
        std::set<int> seen;
        for (size_t k = 0; k < recorder.retired.size(); ++k) {
            const Recorder::Cluster &cluster = recorder.clusters[recorder.retired[k].first];
            QCOMPARE(recorder.retired[k].second, qint64(cluster.cells.size()));
            const int label = labels[size_t(cluster.cells[0].first)][size_t(cluster.cells[0].second)];
            QVERIFY(seen.insert(label).second);
            // Its record: extent, first cell and perimeter, from its cells.
            const ::Cluster &record = recorder.records[k];
            std::set<std::pair<qint64, qint64>> cells(cluster.cells.begin(), cluster.cells.end());
            qint64 sides = 0;
            for (const auto &[r, c] : cells) {
                for (const auto &[dr, dc] : {std::pair{-1, 0}, std::pair{1, 0}, std::pair{0, -1}, std::pair{0, 1}})
                    sides += cells.count({r + dr, c + dc}) ? 0 : 1;
            }
            QCOMPARE(record.rowMin, cells.begin()->first);
            QCOMPARE(record.startColumn, cells.begin()->second);
            QCOMPARE(record.rowMax, cells.rbegin()->first);
            QCOMPARE(record.columnMin, std::min_element(cells.begin(), cells.end(), [](auto &a, auto &b) { return a.second < b.second; })->second);
            QCOMPARE(record.columnMax, std::max_element(cells.begin(), cells.end(), [](auto &a, auto &b) { return a.second < b.second; })->second);
            if (statistics)
                QCOMPARE(record.perimeter(), sides);
            qint64 inLabel = 0;
            for (const auto &row : labels)
                inLabel += std::count(row.begin(), row.end(), label);
            QCOMPARE(qint64(cluster.cells.size()), inLabel);
            for (const auto &cell : cluster.cells)
                QCOMPARE(labels[size_t(cell.first)][size_t(cell.second)], label);
            // Retired once the row below its last was joined (or at the end).
            QCOMPARE(recorder.retiredAfterRow[k], std::min(cluster.lastRow + 1, given - 1));
            if (k > 0 && recorder.retiredAfterRow[k] == recorder.retiredAfterRow[k - 1]) {
                const Recorder::Cluster &before = recorder.clusters[recorder.retired[k - 1].first];
                if (before.lastRow == cluster.lastRow)
                    QVERIFY(before.leftmostInLastRow < cluster.leftmostInLastRow);
            }
        }
        QCOMPARE(qint64(seen.size()), ReferenceCluster::statistics(l.rows, l.height, l.width, neighbours).clusters);
        QVERIFY(recorder.handleOf.empty());
        if (statistics)
            QCOMPARE(result.clusters, qint64(seen.size()));
    }
}

void TestClusterScan::memoryDoesNotGrowWithHeight_data()
{
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<bool>("observed");
    for (const char *pattern : {"random at the threshold", "random at 0.7", "stripes", "combs", "classes"}) {
        QTest::addRow("%s", pattern) << QByteArray(pattern) << false;
        QTest::addRow("%s, observed", pattern) << QByteArray(pattern) << true;
    }
}

void TestClusterScan::memoryDoesNotGrowWithHeight()
{
    // The same width, 1,000 rows and 200,000 rows: the most the engine holds
    // on the heap at once (counted by this program's operator new) is the
    // same; with an observer, which numbers the patches, it grows by at most
    // a bit per run (a cluster begun), its vector doubling.
    QFETCH(QByteArray, pattern);
    QFETCH(bool, observed);
    const qint64 width = 64;
    struct Quiet : ClusterScan::Observer
    {
        qint64 runs = 0;
        void rowJoined(qint64, const qint64 *, const qint64 *, const qint32 *, const quint32 *, qint64 n) override
        {
            runs += n;
        }
        void clusterRetired(quint32, const ::Cluster &) override { }
    } quiet;
    auto storage = [&](qint64 height) {
        QRandomGenerator random(7);
        std::vector<qint8> cells(static_cast<size_t>(width));
        std::vector<qint32> values(static_cast<size_t>(width));
        const std::vector<quint8> present(static_cast<size_t>(width), 1);
        const HeapPeak peak;
        ClusterScan scan;
        if (observed)
            scan.setObserver(&quiet);
        const bool classes = pattern == "classes";
        if (classes)
            scan.beginClasses(options(height, width, 8));
        else
            scan.begin(options(height, width, 4));
        for (qint64 r = 0; r < height; ++r) {
            for (qint64 c = 0; c < width; ++c) {
                const double u = random.generateDouble();
                if (pattern == "random at the threshold")
                    cells[size_t(c)] = u < 0.5927;
                else if (pattern == "random at 0.7")
                    cells[size_t(c)] = u < 0.7;
                else if (pattern == "stripes") // clusters that stay open all the way
                    cells[size_t(c)] = c % 2 == 0;
                else if (pattern == "combs") // teeth that a full row joins every 50 rows
                    cells[size_t(c)] = r % 50 == 0 || c % 2 == 0;
                values[size_t(c)] = qint32(random.bounded(4)); // small patches of 4 classes
            }
            if (classes)
                scan.addClassRow(values.data(), present.data(), width);
            else
                scan.addRow(cells.data(), width);
        }
        if (classes)
            scan.finishClasses();
        else
            scan.finish();
        return peak.bytes();
    };
    const qint64 shortMap = storage(1000);
    const qint64 shortRuns = quiet.runs;
    quiet.runs = 0;
    const qint64 tallMap = storage(200000);
    if (observed) {
        QVERIFY2(tallMap - shortMap <= 2 * (quiet.runs - shortRuns) / 8 + 1024,
                 qPrintable(QStringLiteral("%1 -> %2 bytes, %3 runs").arg(shortMap).arg(tallMap).arg(quiet.runs)));
    } else {
        QCOMPARE(tallMap, shortMap);
        QVERIFY2(tallMap < 256 * 1024, qPrintable(QString::number(tallMap)));
    }
}

void TestClusterScan::manyClasses()
{
    // 5000 distinct values, each a few cells: every class is found, in
    // order, and the storage is bounded by width and classes.
    const qint64 width = 100;
    const qint64 height = 500;
    std::vector<qint32> values(static_cast<size_t>(width));
    const std::vector<quint8> present(static_cast<size_t>(width), 1);
    std::vector<std::pair<qint32, ClusterStatistics>> classes;
    {
        const HeapPeak peak;
        ClusterScan scan;
        scan.beginClasses(options(height, width, 4));
        for (qint64 r = 0; r < height; ++r) {
            for (qint64 c = 0; c < width; ++c)
                values[size_t(c)] = qint32(4999 - (r * width + c) / 10 % 5000);
            scan.addClassRow(values.data(), present.data(), width);
        }
        QVERIFY2(peak.bytes() < 5000 * 1024, qPrintable(QString::number(peak.bytes())));
        classes = scan.finishClasses();
    }
    QCOMPARE(qint64(classes.size()), 5000);
    for (qint32 k = 0; k < 5000; ++k) {
        QCOMPARE(classes[size_t(k)].first, k);
        QCOMPARE(classes[size_t(k)].second.habitat, qint64(10));
        QCOMPARE(classes[size_t(k)].second.clusters, qint64(1));
        QCOMPARE(classes[size_t(k)].second.cells, width * height);
    }
}

void TestClusterScan::rowsOfTheOtherMode()
{
    // Rows of one kind given to a landscape of the other are not read.
    ClusterScan scan;
    const std::vector<qint8> cells(4, 1);
    const std::vector<qint32> values(4, 7);
    const std::vector<quint8> present(4, 1);
    scan.begin(options(1, 4, 4));
    scan.addClassRow(values.data(), present.data(), 4);
    QCOMPARE(scan.finish().cells, qint64(0));
    scan.beginClasses(options(1, 4, 4));
    QCOMPARE(scan.addRow(cells.data(), 4), false);
    QVERIFY(scan.finishClasses().empty());
}

void TestClusterScan::clusterMapsOfBothWidths_data()
{
    QTest::addColumn<qint64>("rows");
    QTest::addColumn<qint64>("columns");
    QTest::addColumn<bool>("wide"); // whether the map is UInt64
    QTest::newRow("65535 x 65535: every size fits 32 bits") << qint64(65535) << qint64(65535) << false;
    QTest::newRow("65536 x 65536: a size may be 2^32") << qint64(65536) << qint64(65536) << true;
    QTest::newRow("70144 x 65792") << qint64(70144) << qint64(65792) << true;
    QTest::newRow("1 x 10^10") << qint64(1) << qint64(10000000000) << true;
}

// A cluster map is UInt64 once a cluster may hold 2^32 - 1 cells or more, so
// that no size is ever clamped; both widths write every cell's cluster size.
void TestClusterScan::clusterMapsOfBothWidths()
{
    QFETCH(qint64, rows);
    QFETCH(qint64, columns);
    QFETCH(bool, wide);
    QCOMPARE(PatchPass::valueType(PatchPass::Sizes, rows, columns, 0),
             wide ? RasterSource::Writer::UInt64 : RasterSource::Writer::UInt32);

    struct Cells : PatchPass::Source
    {
        const std::vector<std::vector<int>> *grid = nullptr;
        bool read(qint64 first, qint64 count, RaggedRows<qint8> &band, QString *) override
        {
            band.clear();
            for (qint64 r = first; r < first + count; ++r) {
                for (const int cell : (*grid)[size_t(r)])
                    band.cells.push_back(qint8(cell));
                band.endRow();
            }
            return true;
        }
    };
    QTemporaryDir dir;
    QRandomGenerator random(static_cast<quint32>(rows));
    ClusterScan scan;
    for (int i = 0; i < 20; ++i) {
        const Landscape l = randomLandscape(random, "square", i);
        PatchRecorder recorder;
        QString why;
        QVERIFY(recorder.open(&why));
        scan.setObserver(&recorder);
        scan.begin(options(l.height, l.width, 8));
        std::vector<qint8> cells;
        for (const auto &row : l.rows) {
            cells.assign(row.begin(), row.end());
            scan.addRow(cells.data(), qint64(cells.size()));
        }
        scan.finish();
        scan.setObserver(nullptr);
        QVERIFY2(recorder.close(&why), qPrintable(why));
        Cells source;
        source.grid = &l.rows;
        const QString path = dir.filePath(QStringLiteral("map-%1.tif").arg(i));
        PatchPass::Options pass;
        pass.maps.push_back({QFile::encodeName(path), std::nullopt, {}});
        pass.source = &source;
        pass.type = PatchPass::valueType(PatchPass::Sizes, rows, columns, 0);
        QVERIFY2(PatchPass::run(PatchSeams(recorder, scan), ClusterRecord::Eight, l.height, l.width, pass, &why),
                 qPrintable(why));
        GDALAllRegister();
        GDALDatasetH dataset = GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
        QVERIFY(dataset);
        GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
        QCOMPARE(GDALGetRasterDataType(band), wide ? GDT_UInt64 : GDT_UInt32);
        std::vector<quint64> values(size_t(l.height * l.width));
        QCOMPARE(GDALRasterIO(band, GF_Read, 0, 0, int(l.width), int(l.height), values.data(), int(l.width),
                              int(l.height), GDT_UInt64, 0, 0),
                 CE_None);
        GDALClose(dataset);
        const Nested labels = ReferenceCluster::labels(l.rows, l.height, l.width, 8);
        std::map<int, quint64> sizes;
        for (const auto &row : labels) {
            for (const int label : row)
                sizes[label] += label >= 0 ? 1 : 0;
        }
        const quint64 nodata = wide ? ~quint64(0) : quint64(0xFFFFFFFFu);
        for (qint64 r = 0; r < l.height; ++r) {
            for (qint64 c = 0; c < l.width; ++c) {
                const int cell = c < qint64(l.rows[size_t(r)].size()) ? l.rows[size_t(r)][size_t(c)] : -1;
                const quint64 expected = cell < 0 ? nodata : cell == 0 ? 0 : sizes[labels[size_t(r)][size_t(c)]];
                QCOMPARE(values[size_t(r * l.width + c)], expected);
            }
        }
    }
}

QTEST_GUILESS_MAIN(TestClusterScan)
#include "tst_clusterscan.moc"
