// Bands of rows searched apart and joined along their seams against one pass
// over the whole landscape (itself held to a flood fill in tst_clusterscan):
// every statistic, for every band height and every order of joining, on
// landscapes whose clusters cross many seams; and their patches, walked
// across the seams, against a flood fill's.
#include "bandseam.h"
#include "clusterscan.h"
#include "patchpass.h"
#include "patchseams.h"
#include "patchwalk.h"
#include "referencecluster.h"

#include <QRandomGenerator>
#include <QtTest>

#include <functional>

namespace {

using Grid = std::vector<std::vector<qint32>>; // class values; below 0 no value

struct Landscape
{
    Grid cells;
    bool classes = false; // else cells above 0 are habitat, 0 matrix
};

QString describe(const ClusterStatistics &s)
{
    auto wide = [](unsigned __int128 v) { return QString::number(quint64(v >> 64)) + ":" + QString::number(quint64(v)); };
    return QStringList{QString::number(s.cells), QString::number(s.habitat), QString::number(s.clusters),
                       QString::number(s.largest), wide(s.sumSquares), wide(s.sumSquaredGyration),
                       wide(s.largestSquaredGyration), wide(s.sumSizeGyration), QString::number(s.spansLeftRight),
                       QString::number(s.spansTopBottom), QString::number(s.verticalSides),
                       QString::number(s.horizontalSides), QString::number(s.likeAdjacencies),
                       QString::number(s.edgeSidesVertical), QString::number(s.edgeSidesHorizontal),
                       wide(s.sumPerimeterRootArea), wide(s.sumLogPerimeter), wide(s.sumLogArea),
                       wide(s.sumLogProduct), wide(s.sumLogPerimeterSquared)}
            .join(' ');
}

QString describe(const std::vector<std::pair<qint32, ClusterStatistics>> &classes)
{
    QStringList lines;
    for (const auto &[value, s] : classes)
        lines << QString::number(value) + ": " + describe(s);
    return lines.join('\n');
}

ClusterScan::Options optionsFor(const Landscape &l, ClusterRecord::Connectivity c, bool statistics)
{
    ClusterScan::Options o;
    o.connectivity = c;
    o.rows = qint64(l.cells.size());
    o.columns = l.cells.empty() ? 0 : qint64(l.cells[0].size());
    o.statistics = statistics;
    return o;
}

void addRow(ClusterScan &scan, const Landscape &l, qint64 r)
{
    const std::vector<qint32> &row = l.cells[size_t(r)];
    if (l.classes) {
        std::vector<quint8> present(row.size());
        for (size_t c = 0; c < row.size(); ++c)
            present[c] = row[c] >= 0;
        scan.addClassRow(row.data(), present.data(), qint64(row.size()));
    } else {
        std::vector<qint8> codes(row.size());
        for (size_t c = 0; c < row.size(); ++c)
            codes[c] = qint8(row[c] > 0 ? 1 : row[c] == 0 ? 0 : -1);
        scan.addRow(codes.data(), qint64(codes.size()));
    }
}

QString onePass(const Landscape &l, ClusterRecord::Connectivity c, bool statistics)
{
    ClusterScan scan;
    const ClusterScan::Options o = optionsFor(l, c, statistics);
    l.classes ? scan.beginClasses(o) : scan.begin(o);
    for (qint64 r = 0; r < o.rows; ++r)
        addRow(scan, l, r);
    return l.classes ? describe(scan.finishClasses()) : describe(scan.finish());
}

// With compact, the band's open clusters move to the front of its slots at
// every collection (as on maps too wide for the caches).
BandSeam band(ClusterScan &scan, const Landscape &l, ClusterRecord::Connectivity c, bool statistics, qint64 first,
              qint64 end, bool compact = false)
{
    ClusterScan::Options o = optionsFor(l, c, statistics);
    o.band = true;
    o.firstRow = first;
    if (compact)
        o.compactAboveSlots = 0;
    l.classes ? scan.beginClasses(o) : scan.begin(o);
    for (qint64 r = first; r < end; ++r)
        addRow(scan, l, r);
    return scan.finishBand();
}

QString whole(const BandSeam &seam)
{
    return seam.classes ? describe(seam.classStatistics()) : describe(seam.coverStatistics());
}

// Landscapes whose clusters cross seams.
Landscape random(int rows, int columns, double p, quint32 seed, double noValue = 0)
{
    QRandomGenerator random(seed);
    Landscape l;
    l.cells.assign(size_t(rows), std::vector<qint32>(size_t(columns)));
    for (auto &row : l.cells)
        for (qint32 &cell : row)
            cell = random.generateDouble() < noValue ? -1 : random.generateDouble() < p ? 1 : 0;
    return l;
}

// A square spiral of habitat one cell wide, winding inwards.
Landscape spiral(int n)
{
    Landscape l;
    l.cells.assign(size_t(n), std::vector<qint32>(size_t(n), 0));
    int top = 0, left = 0, bottom = n - 1, right = n - 1;
    while (top <= bottom && left <= right) {
        for (int c = left; c <= right; ++c)
            l.cells[size_t(top)][size_t(c)] = 1;
        for (int r = top; r <= bottom; ++r)
            l.cells[size_t(r)][size_t(right)] = 1;
        if (top + 2 <= bottom)
            for (int c = left; c <= right; ++c)
                l.cells[size_t(bottom)][size_t(c)] = 1;
        if (left + 2 <= right)
            for (int r = top + 2; r <= bottom; ++r)
                l.cells[size_t(r)][size_t(left)] = 1;
        if (top + 2 <= bottom && left + 2 <= right)
            l.cells[size_t(top + 2)][size_t(left + 1)] = 1;
        top += 2;
        left += 2;
        bottom -= 2;
        right -= 2;
    }
    return l;
}

// Teeth every other column through every row, joined only by the last row
// (down) or the first (up): one cluster whose parts meet in one band.
Landscape comb(int rows, int columns, bool down)
{
    Landscape l;
    l.cells.assign(size_t(rows), std::vector<qint32>(size_t(columns), 0));
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; c += 2)
            l.cells[size_t(r)][size_t(c)] = 1;
    for (qint32 &cell : l.cells[down ? size_t(rows - 1) : 0])
        cell = 1;
    return l;
}

// Diagonal stripes: joined only through corners (cluster8), across every seam.
Landscape diagonals(int n)
{
    Landscape l;
    l.cells.assign(size_t(n), std::vector<qint32>(size_t(n), 0));
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            l.cells[size_t(r)][size_t(c)] = (r + c) % 3 == 0;
    return l;
}

// Classes in patches with rows without values, among them seam rows.
// Random cells at the threshold on the left, whose clusters come and go,
// beside stripes on the right, 1, 2, 3, ... cells wide, that run from top to
// bottom: the stripes' clusters touch every band's first row and stay open
// while its slots are collected around them.
Landscape stripesBesideNoise(int rows, int columns, quint32 seed)
{
    Landscape l = random(rows, columns, 0.5927, seed);
    for (auto &row : l.cells) {
        int width = 1;
        int left = 0; // cells of the stripe still to come
        for (int c = columns / 2; c < columns; ++c) {
            row[size_t(c)] = left > 0 ? 1 : 0;
            left = left > 0 ? left - 1 : width++;
        }
    }
    return l;
}

Landscape landCover(int rows, int columns, quint32 seed)
{
    QRandomGenerator random(seed);
    Landscape l;
    l.classes = true;
    l.cells.assign(size_t(rows), std::vector<qint32>(size_t(columns)));
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            const bool keep = r > 0 && c > 0 && random.generateDouble() < 0.7;
            l.cells[size_t(r)][size_t(c)] = keep ? l.cells[size_t(r - 1)][size_t(c - 1)]
                                                 : qint32(random.bounded(5)) + (random.bounded(9) == 0 ? -9 : 0);
        }
    for (int r = 3; r < rows; r += 7)
        for (qint32 &cell : l.cells[size_t(r)])
            cell = -1;
    return l;
}

// The orders of joining a list of adjacent bands into one.
enum class Order { Down, Up, Halves, Scattered };

BandSeam joinAll(std::vector<BandSeam> bands, Order order, quint32 seed)
{
    QString why;
    auto joinAt = [&](size_t i) {
        BandSeam joined;
        if (!BandSeam::join(bands[i], bands[i + 1], joined, &why))
            qFatal("%s", qPrintable(why));
        bands[i] = std::move(joined);
        bands.erase(bands.begin() + qsizetype(i) + 1);
    };
    QRandomGenerator random(seed);
    while (bands.size() > 1) {
        switch (order) {
        case Order::Down:
            joinAt(0);
            break;
        case Order::Up:
            joinAt(bands.size() - 2);
            break;
        case Order::Halves:
            for (size_t i = 0; i + 1 < bands.size(); ++i)
                joinAt(i);
            break;
        case Order::Scattered:
            joinAt(size_t(random.bounded(quint32(bands.size() - 1))));
            break;
        }
    }
    return bands[0];
}

QString describe(const Cluster &c, quint64 number, unsigned __int128 sumDistance)
{
    auto wide = [](unsigned __int128 v) { return QString::number(quint64(v >> 64)) + ":" + QString::number(quint64(v)); };
    return QStringList{QString::number(number), QString::number(c.value), QString::number(c.edges),
                       QString::number(c.cells), QString::number(c.runs), QString::number(c.overlaps),
                       QString::number(c.otherSidesVertical), QString::number(c.rowMin), QString::number(c.rowMax),
                       QString::number(c.columnMin), QString::number(c.columnMax), QString::number(c.startColumn),
                       wide(c.sumX), wide(c.sumY), wide(c.sumSquares), wide(sumDistance)}
            .join(' ');
}

// The patches of a landscape searched in bands of `height` rows, each by a
// scan and a recorder of its own, walked across the seams: every patch's
// record (last first, as the walk hands them on) and each cell's patch
// number (0: none). The bands walked apart, a thread each (PatchPass, for
// patches alone), must hand on the same patches.
QStringList patchesInBands(const Landscape &l, ClusterRecord::Connectivity c, qint64 height,
                           std::vector<std::vector<quint64>> &ids)
{
    const qint64 rows = qint64(l.cells.size());
    const qint64 columns = qint64(l.cells[0].size());
    std::vector<std::unique_ptr<ClusterScan>> scans;
    std::vector<std::unique_ptr<PatchRecorder>> recorders;
    PatchSeams seams;
    QString why;
    for (qint64 first = 0; first < rows; first += height) {
        scans.push_back(std::make_unique<ClusterScan>());
        recorders.push_back(std::make_unique<PatchRecorder>(true));
        if (!recorders.back()->open(&why, first))
            qFatal("%s", qPrintable(why));
        scans.back()->setObserver(recorders.back().get());
        const BandSeam seam = band(*scans.back(), l, c, true, first, std::min(rows, first + height));
        scans.back()->setObserver(nullptr);
        if (!recorders.back()->close(&why) || !seams.add(*recorders.back(), *scans.back(), &seam, &why))
            qFatal("%s", qPrintable(why));
    }
    seams.finish();
    QStringList patches;
    ids.assign(size_t(rows), std::vector<quint64>(size_t(columns), 0));
    PatchWalk walk(seams, c, true);
    while (walk.next(&why)) {
        for (const PatchWalk::Run &run : walk.runs())
            for (qint64 x = run.begin; x < run.end; ++x)
                ids[size_t(walk.row())][size_t(x)] = walk.numberOf(run.cluster);
        for (const PatchWalk::Patch &patch : walk.completed())
            patches << describe(patch.record, patch.number, patch.sumDistance);
    }
    if (!why.isEmpty())
        qFatal("%s", qPrintable(why));
    PatchSpool spool;
    PatchPass::Options pass;
    pass.spool = &spool;
    if (!spool.open(&why) || !PatchPass::run(seams, c, rows, columns, pass, &why) || !spool.close(&why))
        qFatal("%s", qPrintable(why));
    QStringList apart;
    spool.read(
            [&apart](const PatchSpool::Patch &patch) {
                apart.prepend(describe(patch.record, patch.number, patch.sumDistance));
                return true;
            },
            &why);
    if (apart != patches)
        qFatal("bands of %lld rows walked apart hand on other patches than walked in turn", height);
    return patches;
}

} // namespace

Q_DECLARE_METATYPE(Landscape)

class TestBandSeam : public QObject
{
    Q_OBJECT

private slots:
    void joinedBandsAreOnePass_data();
    void joinedBandsAreOnePass();
    void patchesAcrossSeams_data();
    void patchesAcrossSeams();
    void openClustersOfJoinedBands_data();
    void openClustersOfJoinedBands();
    void seamsAsBytes();
    void refusals();
};

void TestBandSeam::joinedBandsAreOnePass_data()
{
    QTest::addColumn<Landscape>("landscape");
    QTest::addColumn<int>("neighbours");
    QTest::addColumn<bool>("statistics");
    QTest::addRow("random at the threshold, four") << random(61, 47, 0.5927, 1) << 4 << true;
    QTest::addRow("random at the threshold, eight") << random(61, 47, 0.407, 2) << 8 << true;
    QTest::addRow("random, cells without a value") << random(40, 33, 0.6, 3, 0.1) << 4 << true;
    QTest::addRow("random, spanning only") << random(50, 50, 0.5927, 4) << 4 << false;
    QTest::addRow("spiral, four") << spiral(31) << 4 << true;
    QTest::addRow("spiral, eight") << spiral(30) << 8 << true;
    QTest::addRow("comb joined at the bottom") << comb(24, 19, true) << 4 << true;
    QTest::addRow("comb joined at the top") << comb(24, 19, false) << 8 << true;
    QTest::addRow("diagonals, eight") << diagonals(25) << 8 << true;
    QTest::addRow("diagonals, four") << diagonals(25) << 4 << true;
    QTest::addRow("land cover with rows without values, four") << landCover(45, 38, 5) << 4 << true;
    QTest::addRow("land cover with rows without values, eight") << landCover(45, 38, 6) << 8 << true;
    QTest::addRow("land cover, spanning only") << landCover(30, 30, 7) << 8 << false;
    // Tall enough that the slots are collected, and compacted, many times.
    QTest::addRow("random at the threshold, tall") << random(900, 40, 0.5927, 8) << 4 << true;
    QTest::addRow("land cover, tall") << landCover(700, 40, 9) << 8 << true;
    QTest::addRow("stripes beside noise, tall") << stripesBesideNoise(900, 120, 10) << 4 << true;
}

void TestBandSeam::joinedBandsAreOnePass()
{
    QFETCH(Landscape, landscape);
    QFETCH(int, neighbours);
    QFETCH(bool, statistics);
    const auto c = neighbours == 8 ? ClusterRecord::Eight : ClusterRecord::Four;
    const QString expected = onePass(landscape, c, statistics);
    const qint64 rows = qint64(landscape.cells.size());
    ClusterScan scan;
    for (const qint64 height : {qint64(1), qint64(2), qint64(3), qint64(7), rows / 3 + 1, rows}) {
        // Bands of more than two rows with their slots compacted at every
        // collection (the tall landscapes' bands collect many times).
        std::vector<BandSeam> bands;
        for (qint64 first = 0; first < rows; first += height)
            bands.push_back(band(scan, landscape, c, statistics, first, std::min(rows, first + height), height > 2));
        // Bands without rows (parts of a map split into more parts than it
        // has rows) at the top and in the middle.
        const qint64 middle = bands[bands.size() / 2].firstRow;
        bands.insert(bands.begin() + qsizetype(bands.size() / 2), band(scan, landscape, c, statistics, middle, middle));
        bands.insert(bands.begin(), band(scan, landscape, c, statistics, 0, 0));
        for (const Order order : {Order::Down, Order::Up, Order::Halves, Order::Scattered}) {
            const BandSeam joined = joinAll(bands, order, quint32(height));
            QVERIFY(joined.isWhole());
            QVERIFY(joined.open.empty());
            QCOMPARE(whole(joined), expected);
        }
    }
}

void TestBandSeam::patchesAcrossSeams_data()
{
    joinedBandsAreOnePass_data();
}

// Patches walked across the seams of bands of every height: the records,
// numbers and distance sums of the one band of the whole landscape, and
// under one cover the patches of a flood fill, numbered by their first cells.
void TestBandSeam::patchesAcrossSeams()
{
    QFETCH(Landscape, landscape);
    QFETCH(int, neighbours);
    QFETCH(bool, statistics);
    if (!statistics)
        QSKIP("patches are searched with statistics");
    const auto c = neighbours == 8 ? ClusterRecord::Eight : ClusterRecord::Four;
    const qint64 rows = qint64(landscape.cells.size());
    std::vector<std::vector<quint64>> wholeIds;
    const QStringList whole = patchesInBands(landscape, c, rows, wholeIds);
    QVERIFY(!whole.isEmpty());
    if (!landscape.classes) {
        std::vector<std::vector<int>> cells;
        for (const auto &row : landscape.cells)
            cells.emplace_back(row.begin(), row.end());
        const auto labels = ReferenceCluster::labels(cells, rows, qint64(cells[0].size()), neighbours);
        for (size_t r = 0; r < labels.size(); ++r)
            for (size_t x = 0; x < labels[r].size(); ++x)
                QCOMPARE(wholeIds[r][x], quint64(labels[r][x] + 1));
    }
    for (const qint64 height : {qint64(1), qint64(2), qint64(3), qint64(7)}) {
        std::vector<std::vector<quint64>> ids;
        const QStringList patches = patchesInBands(landscape, c, height, ids);
        QCOMPARE(patches, whole);
        QVERIFY2(ids == wholeIds, qPrintable(QStringLiteral("bands of %1 rows").arg(height)));
    }
}

// The open clusters of bands joined, as a band of all their rows has them:
// numbered in row order, each with its first cell (where the patches of
// rows searched apart are numbered from), whatever the bands.
void TestBandSeam::openClustersOfJoinedBands_data()
{
    QTest::addColumn<Landscape>("landscape");
    QTest::addColumn<int>("neighbours");
    // Teeth whose tops rise to the right, joined across row 14: the
    // patch's first cell is its rightmost tooth's.
    Landscape stairs;
    stairs.cells.assign(24, std::vector<qint32>(19, 0));
    for (int c = 0; c < 19; c += 2)
        for (int r = 10 - c / 2; r < 24; ++r)
            stairs.cells[size_t(r)][size_t(c)] = 1;
    for (qint32 &cell : stairs.cells[14])
        cell = 1;
    QTest::addRow("teeth rising to the right") << stairs << 4;
    QTest::addRow("random at the threshold, four") << random(40, 47, 0.5927, 8) << 4;
    QTest::addRow("random at the threshold, eight") << random(40, 47, 0.407, 9) << 8;
    QTest::addRow("land cover, eight") << landCover(40, 38, 10) << 8;
}

void TestBandSeam::openClustersOfJoinedBands()
{
    QFETCH(Landscape, landscape);
    QFETCH(int, neighbours);
    const auto c = neighbours == 8 ? ClusterRecord::Eight : ClusterRecord::Four;
    struct Watching : ClusterScan::Observer // first cells are kept for an observer
    {
        void rowJoined(qint64, const qint64 *, const qint64 *, const qint32 *, const quint32 *, qint64) override {}
        void clusterRetired(quint32, const Cluster &) override {}
    } watching;
    ClusterScan scan;
    scan.setObserver(&watching);
    const auto openOf = [](BandSeam seam) {
        seam.numberOpenInRowOrder();
        QStringList open;
        for (const Cluster &o : seam.open)
            open << QStringLiteral("%1 cells from %2,%3").arg(o.cells).arg(o.rowMin).arg(o.startColumn);
        return std::make_pair(seam.inRowOrder(), open);
    };
    const qint64 first = 3;
    const qint64 end = 20; // open at both
    const auto expected = openOf(band(scan, landscape, c, true, first, end));
    QVERIFY(expected.first && !expected.second.isEmpty());
    for (const qint64 height : {1, 2, 5, 7}) {
        std::vector<BandSeam> bands;
        for (qint64 r = first; r < end; r += height)
            bands.push_back(band(scan, landscape, c, true, r, std::min(end, r + height)));
        for (const Order order : {Order::Down, Order::Up, Order::Scattered})
            QCOMPARE(openOf(joinAll(bands, order, quint32(height))), expected);
    }
}

void TestBandSeam::seamsAsBytes()
{
    // Bands sent as bytes (a part file, a Dask task) and joined there.
    const Landscape l = landCover(40, 29, 8);
    const QString expected = onePass(l, ClusterRecord::Eight, true);
    ClusterScan scan;
    std::vector<BandSeam> bands;
    QString why;
    for (qint64 first = 0; first < 40; first += 6) {
        const QByteArray bytes = band(scan, l, ClusterRecord::Eight, true, first, std::min<qint64>(40, first + 6)).write();
        const std::optional<BandSeam> back = BandSeam::read(bytes, &why);
        QVERIFY2(back, qPrintable(why));
        bands.push_back(*back);
    }
    QCOMPARE(whole(joinAll(bands, Order::Scattered, 9)), expected);
}

void TestBandSeam::refusals()
{
    const Landscape l = random(20, 20, 0.6, 10);
    ClusterScan scan;
    const BandSeam top = band(scan, l, ClusterRecord::Four, true, 0, 8);
    const BandSeam bottom = band(scan, l, ClusterRecord::Four, true, 12, 20);
    const BandSeam eight = band(scan, l, ClusterRecord::Eight, true, 8, 12);
    BandSeam joined;
    QString why;
    QVERIFY(!BandSeam::join(top, bottom, joined, &why)); // not adjacent
    QVERIFY(why.contains("rows 0-7 and 12-19"));
    QVERIFY(!BandSeam::join(top, eight, joined, &why)); // another search
    QVERIFY(!BandSeam::join(bottom, top, joined, &why)); // the wrong way round

    const QByteArray bytes = band(scan, l, ClusterRecord::Four, true, 8, 12).write();
    QVERIFY(BandSeam::read(bytes, &why));
    for (const qsizetype cut : {qsizetype(0), qsizetype(10), bytes.size() / 2, bytes.size() - 1}) {
        QVERIFY(!BandSeam::read(bytes.left(cut), &why));
        QVERIFY(!why.isEmpty());
    }
    // Damaged inside: a byte changed anywhere is refused or read as seams
    // that join (never a crash or a huge allocation).
    for (qsizetype at = 20; at < bytes.size() - 4; ++at) {
        QByteArray damaged = bytes;
        damaged[at] = char(damaged[at] ^ 0x5A);
        if (const auto seam = BandSeam::read(damaged, &why)) {
            BandSeam ignored;
            BandSeam::join(top, *seam, ignored, &why);
        }
    }
}

QTEST_GUILESS_MAIN(TestBandSeam)
#include "tst_bandseam.moc"
