// The three rules and the two directions, against separately written
// references: the plain walk and a plain flood fill.
#include "clusterscan.h"
#include "percolationgrid.h"
#include "referencecluster.h"
#include "referencewalk.h"
#include "spanningrule.h"
#include "testutil.h"

#include <QRandomGenerator>
#include <QtTest>

using Nested = std::vector<std::vector<int>>;

namespace {

int answer(const QByteArray &text, SpanningRule rule)
{
    PercolationGrid grid;
    grid.setRows(TestUtil::gridFromText(text));
    return rule.test(grid);
}

RaggedRows<qint8> toRows(const Nested &rows)
{
    RaggedRows<qint8> out;
    for (const auto &row : rows) {
        for (int cell : row)
            out.cells.push_back(qint8(cell));
        out.endRow();
    }
    return out;
}

} // namespace

class TestSpanningRule : public QObject
{
    Q_OBJECT

private slots:
    void knownGrids_data();
    void knownGrids();
    void clustersMatchReference_data();
    void clustersMatchReference();
    void walkDirectionsMatchReference();
    void names_data();
    void names();
    void longRunsAcrossWords();
    void crossingOrDualCrossing();
};

void TestSpanningRule::knownGrids_data()
{
    QTest::addColumn<QByteArray>("grid");
    // Answers as "walk cluster4 cluster8" for either, left-right, top-bottom.
    QTest::addColumn<QByteArray>("either");
    QTest::addColumn<QByteArray>("leftRight");
    QTest::addColumn<QByteArray>("topBottom");

    QTest::newRow("empty") << QByteArray("") << QByteArray("000") << QByteArray("000") << QByteArray("000");
    QTest::newRow("one habitat cell") << QByteArray("1") << QByteArray("111") << QByteArray("111") << QByteArray("111");
    QTest::newRow("one other cell") << QByteArray("0") << QByteArray("000") << QByteArray("000") << QByteArray("000");
    QTest::newRow("column") << QByteArray("1 0/1 0") << QByteArray("111") << QByteArray("000") << QByteArray("111");
    QTest::newRow("row") << QByteArray("1 1/0 0") << QByteArray("111") << QByteArray("111") << QByteArray("000");
    QTest::newRow("diagonal joins only by corners")
            << QByteArray("1 0/0 1") << QByteArray("001") << QByteArray("001") << QByteArray("001");
    QTest::newRow("columns beyond n are ignored")
            << QByteArray("1 1 0 0 0/0 0 0 0 0") << QByteArray("111") << QByteArray("111") << QByteArray("000");
    QTest::newRow("missing cells are not habitat")
            << QByteArray("1 1 1/1/1 1 1") << QByteArray("111") << QByteArray("111") << QByteArray("111");
    QTest::newRow("short row breaks the bridge")
            << QByteArray("0 0 0/1 1/0 0 0") << QByteArray("000") << QByteArray("000") << QByteArray("000");
    // The walk misses the left-right path (it never tries (1, 1) from (2, 1)),
    // but finds the top-bottom one.
    QTest::newRow("walk misses a left-right path")
            << QByteArray("0 1 1 1/0 1 0 0/1 1 1 0/0 1 0 0") << QByteArray("111") << QByteArray("011")
            << QByteArray("111");
    // The walk misses the top-bottom path through (2, 2).
    QTest::newRow("walk misses a top-bottom path")
            << QByteArray("0 0 0 1 1/0 0 0 1 0/0 1 1 1 1/0 1 0 1 0/0 1 0 0 0") << QByteArray("011")
            << QByteArray("000") << QByteArray("011");
    QTest::newRow("staircase spans with corners only")
            << QByteArray("1 0 0/0 1 0/0 0 1") << QByteArray("001") << QByteArray("001") << QByteArray("001");
    QTest::newRow("ring without a crossing")
            << QByteArray("0 0 0 0 0/0 1 1 1 0/0 1 0 1 0/0 1 1 1 0/0 0 0 0 0") << QByteArray("000")
            << QByteArray("000") << QByteArray("000");
}

void TestSpanningRule::knownGrids()
{
    QFETCH(QByteArray, grid);
    QFETCH(QByteArray, either);
    QFETCH(QByteArray, leftRight);
    QFETCH(QByteArray, topBottom);

    const QByteArray expected[] = {either, leftRight, topBottom};
    for (auto direction : {SpanningRule::Either, SpanningRule::LeftRight, SpanningRule::TopBottom}) {
        QByteArray got;
        for (auto kind : {SpanningRule::Walk, SpanningRule::Cluster4, SpanningRule::Cluster8})
            got += char('0' + answer(grid, SpanningRule(kind, direction)));
        QVERIFY2(got == expected[direction], qPrintable(SpanningRule::name(direction) + QLatin1String(": ") + got));
    }
    PercolationGrid grid2;
    grid2.setRows(TestUtil::gridFromText(grid));
    QCOMPARE(grid2.percolates(), either[0] - '0');
}

void TestSpanningRule::clustersMatchReference_data()
{
    QTest::addColumn<int>("neighbours");
    QTest::addColumn<bool>("ragged");
    QTest::newRow("4 neighbours, square") << 4 << false;
    QTest::newRow("4 neighbours, ragged") << 4 << true;
    QTest::newRow("8 neighbours, square") << 8 << false;
    QTest::newRow("8 neighbours, ragged") << 8 << true;
}

void TestSpanningRule::clustersMatchReference()
{
    QFETCH(int, neighbours);
    QFETCH(bool, ragged);
    QRandomGenerator random(neighbours * 2 + ragged);
    int spanning = 0;
    const int grids = 4000;
    for (int i = 0; i < grids; ++i) {
        // Sizes across the 64-cell words of the run search, shares around
        // both thresholds.
        const int n = 1 + int(random.bounded(i % 10 == 0 ? 150 : 24));
        const double share = 0.3 + 0.5 * random.generateDouble();
        Nested rows(static_cast<size_t>(n));
        for (auto &row : rows) {
            const int width = ragged ? int(random.bounded(n + 4)) : n;
            for (int c = 0; c < width; ++c)
                row.push_back(random.generateDouble() < share ? 1 + int(random.bounded(2)) : 0);
        }
        for (const bool leftRight : {false, true}) {
            for (const bool topBottom : {false, true}) {
                const bool expected = ReferenceCluster::spans(rows, neighbours, leftRight, topBottom);
                const bool got = ClusterScan::spans(toRows(rows), neighbours == 8 ? ClusterRecord::Eight
                                                                                 : ClusterRecord::Four,
                                                    leftRight, topBottom);
                if (got != expected)
                    QFAIL(qPrintable(QStringLiteral("grid %1 (%2 x %2), directions %3%4: %5")
                                             .arg(i).arg(n).arg(leftRight).arg(topBottom)
                                             .arg(QString::fromLatin1(TestUtil::rowsText(rows)))));
                spanning += got && leftRight && topBottom;
            }
        }
    }
    // The grids are not all of one kind.
    QVERIFY2(spanning > grids / 20 && spanning < grids * 19 / 20, qPrintable(QString::number(spanning)));
}

void TestSpanningRule::walkDirectionsMatchReference()
{
    // Either direction is the desktop program's walk; one direction is that
    // phase alone, which the plain walk gives on a grid turned so that the
    // other phase finds nothing.
    QRandomGenerator random(5);
    for (int i = 0; i < 3000; ++i) {
        const int n = 1 + int(random.bounded(20));
        Nested rows(static_cast<size_t>(n));
        for (auto &row : rows) {
            const int width = random.bounded(8) == 0 ? int(random.bounded(n + 2)) : n;
            for (int c = 0; c < width; ++c)
                row.push_back(random.bounded(100) < 62 ? 1 : 0);
        }
        PercolationGrid grid;
        grid.setRows(toRows(rows));
        const int either = SpanningRule(SpanningRule::Walk, SpanningRule::Either).test(grid);
        QCOMPARE(either, ReferenceWalk::percolates(rows));
        PercolationGrid leftRight;
        leftRight.setRows(toRows(rows));
        PercolationGrid topBottom;
        topBottom.setRows(toRows(rows));
        const int lr = SpanningRule(SpanningRule::Walk, SpanningRule::LeftRight).test(leftRight);
        const int tb = SpanningRule(SpanningRule::Walk, SpanningRule::TopBottom).test(topBottom);
        // A phase alone may only find what the full walk finds, and the full
        // walk finds a crossing exactly when one of the phases does (the top-
        // bottom phase of the full walk starts on a fresh grid whenever the
        // left-right phase found nothing).
        QCOMPARE(either, lr | tb);
        // Each phase's answer never exceeds the complete search's.
        QVERIFY(lr <= int(ReferenceCluster::spans(rows, 4, true, false)));
        QVERIFY(tb <= int(ReferenceCluster::spans(rows, 4, false, true)));
    }
}

void TestSpanningRule::names_data()
{
    // The names tables, scripts and shard lines carry: they never change.
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");      // -1: not a rule
    QTest::addColumn<int>("direction"); // -1: not a direction
    QTest::newRow("walk") << "walk" << int(SpanningRule::Walk) << -1;
    QTest::newRow("cluster4") << "cluster4" << int(SpanningRule::Cluster4) << -1;
    QTest::newRow("cluster8") << "cluster8" << int(SpanningRule::Cluster8) << -1;
    QTest::newRow("either") << "either" << -1 << int(SpanningRule::Either);
    QTest::newRow("left-right") << "left-right" << -1 << int(SpanningRule::LeftRight);
    QTest::newRow("top-bottom") << "top-bottom" << -1 << int(SpanningRule::TopBottom);
    QTest::newRow("no such rule") << "cluster6" << -1 << -1;
    QTest::newRow("names are lower case") << "Either" << -1 << -1;
}

void TestSpanningRule::names()
{
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(int, direction);
    QCOMPARE(SpanningRule::kindNamed(name).has_value(), kind >= 0);
    QCOMPARE(SpanningRule::directionNamed(name).has_value(), direction >= 0);
    if (kind >= 0) {
        QCOMPARE(int(*SpanningRule::kindNamed(name)), kind);
        QCOMPARE(SpanningRule::name(SpanningRule::Kind(kind)), name);
    }
    if (direction >= 0) {
        QCOMPARE(int(*SpanningRule::directionNamed(name)), direction);
        QCOMPARE(SpanningRule::name(SpanningRule::Direction(direction)), name);
    }
}

void TestSpanningRule::longRunsAcrossWords()
{
    // Runs that start and end on every offset of the search's 64-cell words.
    for (int n = 60; n <= 200; n += 7) {
        for (int gap = 0; gap < n; gap += 13) {
            Nested rows(size_t(n), std::vector<int>(size_t(n), 0));
            for (int c = 0; c < n; ++c)
                rows[size_t(n / 2)][size_t(c)] = c == gap ? 0 : 1;
            rows[0][size_t(gap)] = 1;
            for (int r = 0; r <= n / 2; ++r)
                rows[size_t(r)][size_t(gap)] = r == n / 2 ? 0 : 1;
            for (int neighbours : {4, 8}) {
                const auto connectivity = neighbours == 8 ? ClusterRecord::Eight : ClusterRecord::Four;
                QCOMPARE(ClusterScan::spans(toRows(rows), connectivity, true, false),
                         ReferenceCluster::spans(rows, neighbours, true, false));
                QCOMPARE(ClusterScan::spans(toRows(rows), connectivity, false, true),
                         ReferenceCluster::spans(rows, neighbours, false, true));
            }
        }
    }
}

void TestSpanningRule::crossingOrDualCrossing()
{
    // On a full square exactly one of two things happens: the habitat,
    // joined by edges and corners, crosses left to right, or the other cells,
    // joined by edges, cross top to bottom (the square lattice and its
    // matching lattice). It holds landscape by landscape, at any share.
    QRandomGenerator random(31);
    for (int i = 0; i < 3000; ++i) {
        const int n = 1 + int(random.bounded(i % 20 == 0 ? 130 : 30));
        const int percent = int(random.bounded(101));
        RaggedRows<qint8> habitat;
        RaggedRows<qint8> other;
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c) {
                const bool open = int(random.bounded(100)) < percent;
                habitat.cells.push_back(qint8(open));
                other.cells.push_back(qint8(!open));
            }
            habitat.endRow();
            other.endRow();
        }
        const bool crossing = ClusterScan::spans(habitat, ClusterRecord::Eight, true, false);
        const bool dual = ClusterScan::spans(other, ClusterRecord::Four, false, true);
        QVERIFY2(crossing != dual, qPrintable(QString::fromLatin1(TestUtil::rowsText(TestUtil::toNested(habitat)))));
    }
}

QTEST_GUILESS_MAIN(TestSpanningRule)
#include "tst_spanningrule.moc"
