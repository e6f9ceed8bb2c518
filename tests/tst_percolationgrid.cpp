#include "percolationgrid.h"
#include "referencewalk.h"
#include "testutil.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using TestUtil::gridFromText;

class TestPercolationGrid : public QObject
{
    Q_OBJECT

private slots:
    void walk_data();
    void walk();
    void agreesWithReferenceWalk();
    void loadsAndTestsFiles_data();
    void loadsAndTestsFiles();
    void unreadableFileScoresZero();
    void millionRowsOfOneCell();
};

void TestPercolationGrid::walk_data()
{
    QTest::addColumn<QByteArray>("grid");
    QTest::addColumn<bool>("leftRight");
    QTest::addColumn<bool>("topBottom");
    QTest::addColumn<int>("percolates");

    QTest::newRow("single row, habitat first") << QByteArray("1 0 0") << true << true << 1;
    QTest::newRow("single row, no habitat first") << QByteArray("0 1 1") << false << false << 0;
    QTest::newRow("column spans") << QByteArray("1 0/1 0") << false << true << 1;
    QTest::newRow("row spans") << QByteArray("1 1/0 0") << true << false << 1;
    QTest::newRow("corner contact") << QByteArray("1 0/0 1") << false << false << 0;
    QTest::newRow("rows longer than n") << QByteArray("1 1 0 0 0/0 0 0 0 0") << true << false << 1;
    QTest::newRow("walk misses a left-right path")
            << QByteArray("0 1 1 1/0 1 0 0/1 1 1 0/0 1 0 0") << false << true << 1;
    QTest::newRow("walk misses a top-bottom path")
            << QByteArray("0 0 0 1 1/0 0 0 1 0/0 1 1 1 1/0 1 0 1 0/0 1 0 0 0") << false << false << 0;
    QTest::newRow("no habitat") << QByteArray("0 0/0 0") << false << false << 0;
    QTest::newRow("short rows are not habitat") << QByteArray("1 1 1/1/1") << true << true << 1;
    QTest::newRow("short row breaks the path") << QByteArray("1 1 1/1 1/1") << true << true << 1;
    QTest::newRow("gap in a short row") << QByteArray("1 0 1/1/0 1 1") << false << false << 0;
    QTest::newRow("top row shorter than n") << QByteArray("0/1 1 1/0 1 0") << true << false << 1;
}

void TestPercolationGrid::walk()
{
    QFETCH(QByteArray, grid);
    QFETCH(bool, leftRight);
    QFETCH(bool, topBottom);
    QFETCH(int, percolates);

    PercolationGrid first;
    first.setRows(gridFromText(grid));
    QCOMPARE(first.spansLeftRight(), leftRight);
    PercolationGrid second;
    second.setRows(gridFromText(grid));
    QCOMPARE(second.spansTopBottom(), topBottom);
    PercolationGrid both;
    both.setRows(gridFromText(grid));
    QCOMPARE(both.percolates(), percolates);
}

void TestPercolationGrid::agreesWithReferenceWalk()
{
    QRandomGenerator random(4242);
    for (int round = 0; round < 20000; ++round) {
        const int n = 1 + int(random.bounded(9));
        const double share = 0.3 + 0.5 * random.generateDouble();
        const bool ragged = random.bounded(4) == 0;
        RaggedRows<qint8> rows;
        std::vector<std::vector<int>> nested;
        for (int r = 0; r < n; ++r) {
            const int width = ragged ? 1 + int(random.bounded(n + 2)) : n + int(random.bounded(2));
            nested.emplace_back();
            for (int c = 0; c < width; ++c) {
                const int cell = random.generateDouble() < share ? 1 : 0;
                rows.cells.push_back(qint8(cell));
                nested.back().push_back(cell);
            }
            rows.endRow();
        }
        PercolationGrid grid;
        grid.setRows(rows);
        const int expected = ReferenceWalk::percolates(nested);
        if (grid.percolates() != expected)
            QFAIL(qPrintable(QStringLiteral("differs on %1").arg(QString::fromLatin1(TestUtil::rowsText(nested)))));
    }
}

void TestPercolationGrid::loadsAndTestsFiles_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("habitat");
    QTest::addColumn<int>("percolates");

    QTest::newRow("cover 7 column") << QByteArray("7 3\n7 3\n") << 7 << 1;
    QTest::newRow("cover -1 row") << QByteArray("-1 -1\n0 0\n") << -1 << 1;
    QTest::newRow("cover 7 none") << QByteArray("1 1\n1 1\n") << 7 << 0;
    QTest::newRow("header line only") << QByteArray("ncols 10\n") << 1 << 0;
    QTest::newRow("empty file") << QByteArray() << 1 << 0;
    QTest::newRow("blank lines between rows") << QByteArray("1 0\n\n1 0\n") << 1 << 1;
    QTest::newRow("tabs give no rows") << QByteArray("1\t1\n1\t1\n") << 1 << 0;
}

void TestPercolationGrid::loadsAndTestsFiles()
{
    QFETCH(QByteArray, text);
    QFETCH(int, habitat);
    QFETCH(int, percolates);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("grid.txt"));
    QVERIFY(TestUtil::writeFile(path, text));
    PercolationGrid grid;
    grid.habitatValue = habitat;
    QVERIFY(grid.loadLandscape(QFile::encodeName(path).constData()));
    QCOMPARE(grid.percolates(), percolates);
}

void TestPercolationGrid::unreadableFileScoresZero()
{
    PercolationGrid grid;
    QVERIFY(!grid.loadLandscape(QStringLiteral("/nonexistent/landscape.txt")));
    QVERIFY(!grid.errorString().isEmpty());
    QCOMPARE(grid.percolates(), 0);
}

void TestPercolationGrid::millionRowsOfOneCell()
{
    // A million rows of one cell: the square of side n would be 10^12 cells;
    // the walk works on the million cells the rows have.
    RaggedRows<qint8> rows;
    for (int r = 0; r < 1000000; ++r) {
        rows.cells.push_back(1);
        rows.endRow();
    }
    PercolationGrid grid;
    grid.setRows(std::move(rows));
    QCOMPARE(grid.spansLeftRight(), false);
    grid.resetVisited();
    QCOMPARE(grid.spansTopBottom(), true);
}

QTEST_GUILESS_MAIN(TestPercolationGrid)
#include "tst_percolationgrid.moc"
