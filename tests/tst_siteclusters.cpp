// The site-by-site union-find against a plain flood fill of the same cells:
// after cells are added in random order (and after a bulk fill), the
// clusters, the largest, the sum of squared sizes, the mean finite size and
// spanning must be those of the landscape as it stands.
#include "siteclusters.h"

#include "referenceobservables.h"

#include <QRandomGenerator>
#include <QtTest>

#include <vector>

class TestSiteClusters : public QObject
{
    Q_OBJECT

private slots:
    void againstFloodFill_data();
    void againstFloodFill();
};

void TestSiteClusters::againstFloodFill_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("columns");
    QTest::addColumn<bool>("eight");
    QTest::addColumn<double>("filled"); // share joined by fill() before cells are added one by one
    for (const bool eight : {false, true}) {
        const char *name = eight ? "eight" : "four";
        QTest::addRow("%s 1 x 1", name) << 1 << 1 << eight << 0.0;
        QTest::addRow("%s 1 x 17", name) << 1 << 17 << eight << 0.3;
        QTest::addRow("%s 19 x 1", name) << 19 << 1 << eight << 0.0;
        QTest::addRow("%s 2 x 2", name) << 2 << 2 << eight << 0.5;
        QTest::addRow("%s 9 x 23", name) << 9 << 23 << eight << 0.0;
        QTest::addRow("%s 23 x 9 filled", name) << 23 << 9 << eight << 0.45;
        QTest::addRow("%s 40 x 40", name) << 40 << 40 << eight << 0.0;
        QTest::addRow("%s 40 x 40 filled", name) << 40 << 40 << eight << 0.55;
        QTest::addRow("%s 33 x 70 filled", name) << 33 << 70 << eight << 0.6;
    }
}

void TestSiteClusters::againstFloodFill()
{
    QFETCH(int, rows);
    QFETCH(int, columns);
    QFETCH(bool, eight);
    QFETCH(double, filled);
    QRandomGenerator random(quint32(rows * 1000 + columns * 7 + eight));
    SiteClusters clusters;
    const int cells = rows * columns;
    for (int round = 0; round < 12; ++round) {
        std::vector<int> order(static_cast<size_t>(cells));
        for (int i = 0; i < cells; ++i)
            order[size_t(i)] = i;
        for (int i = cells - 1; i > 0; --i)
            std::swap(order[size_t(i)], order[size_t(random.bounded(i + 1))]);
        // The first cells of the order in one pass, the rest one by one.
        const int bulk = int(filled * cells);
        std::vector<int> grid(static_cast<size_t>(cells), 0);
        std::vector<qint8> mask(static_cast<size_t>(cells), 0);
        for (int i = 0; i < bulk; ++i) {
            grid[size_t(order[size_t(i)])] = 1;
            mask[size_t(order[size_t(i)])] = 1;
        }
        clusters.reset(rows, columns, eight ? ClusterRecord::Eight : ClusterRecord::Four);
        clusters.fill(mask.data());
        const int step = std::max(1, cells / 25);
        for (int i = bulk; i <= cells; ++i) {
            if ((i - bulk) % step == 0 || i == cells) {
                const ReferenceObservables::Totals expected = ReferenceObservables::flood(grid, rows, columns, eight);
                const QByteArray where = QByteArray::number(i) + " cells, round " + QByteArray::number(round);
                QVERIFY2(clusters.habitat() == expected.habitat, where);
                QVERIFY2(clusters.clusters() == expected.clusters, where);
                QVERIFY2(clusters.largest() == expected.largest, where);
                QVERIFY2(clusters.sumSquares() == expected.sumSquares, where);
                QVERIFY2(clusters.meanFiniteSizeFixed() == expected.meanSizeFixed, where);
                QVERIFY2(clusters.spansLeftRight() == expected.leftRight, where);
                QVERIFY2(clusters.spansTopBottom() == expected.topBottom, where);
            }
            if (i == cells)
                break;
            const int cell = order[size_t(i)];
            QVERIFY(!clusters.contains(cell));
            clusters.add(cell);
            QVERIFY(clusters.contains(cell));
            clusters.add(cell); // a second time changes nothing
            grid[size_t(cell)] = 1;
        }
        QCOMPARE(clusters.clusters(), qint64(1));
    }
}

QTEST_GUILESS_MAIN(TestSiteClusters)
#include "tst_siteclusters.moc"
