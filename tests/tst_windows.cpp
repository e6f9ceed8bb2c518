// Moving windows: every window's row against the window cut out by this test
// and tested as a landscape of its own, and against this test's own
// labelling; the window map's place over the map, read back with GDAL.
#include "programrun.h"
#include "rasterfixture.h"
#include "referencecluster.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <gdal.h>

#include <cmath>
#include <map>
#include <random>

namespace {

const QString Percolate = QStringLiteral(VANTRIX_PERCOLATE);
constexpr int NoData = -1;

using Grid = std::vector<std::vector<int>>;

// A map of rows x columns: class values 1..classes, a share of cells without a value.
Grid randomMap(int rows, int columns, int classes, double habitat, double noValue, quint64 seed)
{
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> u(0, 1);
    Grid map(static_cast<size_t>(rows), std::vector<int>(static_cast<size_t>(columns)));
    for (auto &row : map) {
        for (int &cell : row) {
            if (u(random) < noValue)
                cell = NoData;
            else if (classes == 1)
                cell = u(random) < habitat ? 1 : 2;
            else
                cell = 1 + int(u(random) * classes);
        }
    }
    return map;
}

QString writeMap(const QString &path, const Grid &map, std::optional<std::array<double, 6>> transform = {})
{
    RasterFixture::Options options;
    options.type = GDT_Int16;
    options.nodata = NoData;
    options.transform = transform;
    std::vector<std::vector<int>> rows = map;
    return RasterFixture::writeRaster(path, RasterFixture::fromInts(rows), options);
}

struct Table
{
    QList<QByteArray> header;
    QList<QList<QByteArray>> rows;
    int column(const char *name) const { return int(header.indexOf(name)); }
};

Table readTable(const QByteArray &bytes)
{
    Table table;
    const QList<QByteArray> lines = bytes.split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        if (table.header.isEmpty())
            table.header = line.split('\t');
        else
            table.rows << line.split('\t');
    }
    return table;
}

// One window as this test cuts it: the part of the map inside it (all of it,
// or with partial windows what lies on the map), cells outside a circle
// without a value.
struct Cut
{
    int top = 0;
    int left = 0;
    Grid cells;
    bool any = false;
};

Cut cutWindow(const Grid &map, int centreRow, int centreColumn, int size, bool circle)
{
    const int rows = int(map.size());
    const int columns = int(map.front().size());
    Cut cut;
    cut.top = centreRow - size / 2;
    cut.left = centreColumn - size / 2;
    const double centreY = cut.top + size / 2.0;
    const double centreX = cut.left + size / 2.0;
    for (int r = std::max(cut.top, 0); r < std::min(cut.top + size, rows); ++r) {
        std::vector<int> row;
        for (int c = std::max(cut.left, 0); c < std::min(cut.left + size, columns); ++c) {
            const double dy = r + 0.5 - centreY;
            const double dx = c + 0.5 - centreX;
            const bool held = !circle || dx * dx + dy * dy <= size * size / 4.0;
            row.push_back(held ? map[size_t(r)][size_t(c)] : NoData);
            cut.any = cut.any || row.back() != NoData;
        }
        cut.cells.push_back(row);
    }
    return cut;
}

} // namespace

class TestWindows : public QObject
{
    Q_OBJECT

private slots:
    void windowsAreTheirCutOutLandscapes_data();
    void windowsAreTheirCutOutLandscapes();
    void windowMapOverlaysTheMap_data();
    void windowMapOverlaysTheMap();
    void millionsOfWindowsInBoundedMemory();
    void refusals_data();
    void refusals();
};

void TestWindows::windowsAreTheirCutOutLandscapes_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("classes"); // 1: one cover (class 1), else --cover each
    QTest::addColumn<double>("noValue");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("step");
    QTest::addColumn<bool>("circle");
    QTest::addColumn<bool>("partial");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("lacunarity");

    QTest::newRow("square, odd, threshold") << 23 << 31 << 1 << 0.0 << 5 << 2 << false << false << "cluster4" << "";
    QTest::newRow("square, even, partial, corners, nodata")
            << 26 << 19 << 1 << 0.15 << 6 << 3 << false << true << "cluster8" << "";
    QTest::newRow("circle, odd, partial") << 21 << 24 << 1 << 0.05 << 7 << 2 << true << true << "cluster4" << "2,3";
    QTest::newRow("circle, even, nodata edge") << 30 << 27 << 1 << 0.1 << 8 << 5 << true << false << "cluster8" << "";
    QTest::newRow("each, square, partial") << 20 << 22 << 4 << 0.08 << 5 << 3 << false << true << "cluster4" << "2";
    QTest::newRow("each, circle") << 24 << 18 << 3 << 0.0 << 6 << 4 << true << false << "cluster8" << "";
    QTest::newRow("step past the window") << 25 << 25 << 1 << 0.0 << 3 << 7 << false << false << "cluster4" << "";
    QTest::newRow("window past the map, partial") << 9 << 13 << 1 << 0.1 << 40 << 4 << true << true << "cluster4" << "";
    // Square windows of whole steps join their blocks' seams.
    QTest::newRow("blocks, threshold, nodata") << 27 << 33 << 1 << 0.1 << 6 << 2 << false << false << "cluster8" << "";
    QTest::newRow("blocks, each") << 26 << 30 << 4 << 0.05 << 8 << 4 << false << false << "cluster4" << "";
    QTest::newRow("blocks, one a window") << 22 << 17 << 1 << 0.0 << 4 << 4 << false << false << "cluster4" << "";
    QTest::newRow("blocks, threads") << 90 << 160 << 1 << 0.0 << 24 << 4 << false << false << "cluster4" << "";
    QTest::newRow("threads share a row of windows") << 90 << 160 << 1 << 0.02 << 24 << 4 << false << true << "cluster8"
                                                  << "4";
}

void TestWindows::windowsAreTheirCutOutLandscapes()
{
    QFETCH(int, rows);
    QFETCH(int, columns);
    QFETCH(int, classes);
    QFETCH(double, noValue);
    QFETCH(int, size);
    QFETCH(int, step);
    QFETCH(bool, circle);
    QFETCH(bool, partial);
    QFETCH(QString, rule);
    QFETCH(QString, lacunarity);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Grid map = randomMap(rows, columns, classes, 0.5927, noValue, quint64(rows * 7919 + size));
    QVERIFY(!writeMap(dir.filePath("map.tif"), map).isEmpty());

    QStringList common{"--rule", rule, "--cover", classes == 1 ? "1" : "each", "-q"};
    if (!lacunarity.isEmpty())
        common << "--lacunarity" << lacunarity;
    QStringList windowRun = common;
    windowRun << "--extent" << "full" << "--window" << QString::number(size) << "--step" << QString::number(step)
              << "--window-shape" << (circle ? "circle" : "square") << "--window-edge"
              << (partial ? "partial" : "nodata") << "--window-table" << "windows.tsv" << "-o" << "/dev/null"
              << "map.tif";
    const Run one = runProgram(Percolate, windowRun + QStringList{"-j", "1"}, dir.path());
    QCOMPARE(one.exitCode, 0);
    const QByteArray windowsBytes = readAll(dir.filePath("windows.tsv"));
    const Run two = runProgram(Percolate, windowRun + QStringList{"-j", "2"}, dir.path());
    QCOMPARE(two.exitCode, 0);
    QCOMPARE(readAll(dir.filePath("windows.tsv")), windowsBytes); // the same bytes on any number of threads
    const Table windows = readTable(windowsBytes);

    // This test's windows, each cut out into a file of its own.
    std::map<QByteArray, Cut> cuts; // by "row,column"
    QStringList files;
    int pastEdge = 0;
    for (int i = 0; i * step < rows; ++i) {
        for (int j = 0; j * step < columns; ++j) {
            const Cut cut = cutWindow(map, i * step, j * step, size, circle);
            const bool inside = cut.top >= 0 && cut.left >= 0 && cut.top + size <= rows && cut.left + size <= columns;
            if (!partial && !inside) {
                ++pastEdge;
                continue;
            }
            if (!cut.any)
                continue;
            const QByteArray key = QByteArray::number(cut.top) + ',' + QByteArray::number(cut.left);
            const QString file = QStringLiteral("w%1_%2.tif").arg(i).arg(j);
            QVERIFY(!writeMap(dir.filePath(file), cut.cells).isEmpty());
            files << file;
            cuts[key] = cut;
        }
    }
    QVERIFY(!files.isEmpty());
    QCOMPARE(one.err.contains("reach past the map's edge"), pastEdge > 0);
    const Run reference = runProgram(Percolate, common + QStringList{"--extent", "full", "--table", "cut.tsv", "-o",
                                                                     "/dev/null"} + files,
                                     dir.path());
    QCOMPARE(reference.exitCode, 0);
    const Table cutTable = readTable(readAll(dir.filePath("cut.tsv")));
    QCOMPARE(windows.header, cutTable.header);

    // Each window's row from `spans` on is its cut-out's, and the windows
    // are the cuts that hold a cell with a value, each class present in
    // any window given in every window (absent: nothing of it).
    const int spans = windows.column("spans");
    std::map<QByteArray, QList<QByteArray>> byCut; // "file#cover"
    for (const auto &row : cutTable.rows)
        byCut[row[0] + '#' + row[cutTable.column("cover")]] = row;
    qsizetype matched = 0;
    for (const auto &row : windows.rows) {
        const QByteArray key = row[1] + ',' + row[2];
        QVERIFY2(cuts.count(key), key.constData());
        const int i = (row[1].toInt() + size / 2) / step;
        const int j = (row[2].toInt() + size / 2) / step;
        QCOMPARE(row[3].toInt(), size);
        QCOMPARE(row[4].toInt(), size);
        const auto found = byCut.find(QStringLiteral("w%1_%2.tif#").arg(i).arg(j).toLatin1() + row[5]);
        if (found == byCut.end()) {
            // A class absent from this window: no habitat, no cluster, no span.
            QVERIFY(classes > 1);
            QCOMPARE(row[spans], QByteArray("0"));
            QCOMPARE(row[windows.column("habitat")], QByteArray("0"));
            QCOMPARE(row[windows.column("clusters")], QByteArray("0"));
            continue;
        }
        ++matched;
        QCOMPARE(row.mid(spans), found->second.mid(spans));

        // And this test's own labelling of the cut agrees.
        const Cut &cut = cuts[key];
        const qint64 height = qint64(cut.cells.size());
        const qint64 width = qint64(cut.cells.front().size());
        ReferenceCluster::Statistics expected;
        if (classes == 1) {
            Grid cover = cut.cells;
            for (auto &r : cover) {
                for (int &c : r)
                    c = c == NoData ? -1 : c == 1 ? 1 : 0;
            }
            expected = ReferenceCluster::statistics(cover, height, width, rule == "cluster8" ? 8 : 4);
        } else {
            Grid present = cut.cells;
            for (auto &r : present) {
                for (int &c : r)
                    c = c == NoData ? 0 : 1;
            }
            for (const auto &[value, s] :
                 ReferenceCluster::classStatistics(cut.cells, present, height, width, rule == "cluster8" ? 8 : 4)) {
                if (QByteArray::number(value) == row[5])
                    expected = s;
            }
        }
        QCOMPARE(row[windows.column("cells")].toLongLong(), expected.cells);
        QCOMPARE(row[windows.column("habitat")].toLongLong(), expected.habitat);
        QCOMPARE(row[windows.column("clusters")].toLongLong(), expected.clusters);
        QCOMPARE(row[windows.column("largest")].toLongLong(), expected.largest);
        QCOMPARE(row[spans].toInt(), int(expected.spansLeftRight || expected.spansTopBottom));
    }
    QCOMPARE(matched, cutTable.rows.size());
}

void TestWindows::windowMapOverlaysTheMap_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("step");
    QTest::newRow("odd size") << 37 << 45 << 5 << 4;
    QTest::newRow("even size") << 37 << 45 << 6 << 4;
    // Rows of windows wider than GDAL's block cache holds, for every band:
    // written a row at a time, each tile was stored again and again (a file
    // many times the size of its pixels).
    QTest::newRow("wider than the cache") << 300 << 2000 << 3 << 1;
}

void TestWindows::windowMapOverlaysTheMap()
{
    QFETCH(int, rows);
    QFETCH(int, columns);
    QFETCH(int, size);
    QFETCH(int, step);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Grid map = randomMap(rows, columns, 1, 0.62, 0.05, 11);
    const std::array<double, 6> transform{500000, 30, 0, 4200000, 0, -30};
    QVERIFY(!writeMap(dir.filePath("map.tif"), map, transform).isEmpty());
    const Run run = runProgram(Percolate, {"-q", "--extent", "full", "--window", QString::number(size), "--step",
                                           QString::number(step), "--window-edge", "partial", "--window-map",
                                           "windows.tif", "--window-table", "windows.tsv", "-o", "/dev/null",
                                           "map.tif"},
                               dir.path());
    QCOMPARE(run.exitCode, 0);
    const Table table = readTable(readAll(dir.filePath("windows.tsv")));
    GDALAllRegister();
    GDALDatasetH dataset = GDALOpen(dir.filePath("windows.tif").toLocal8Bit().constData(), GA_ReadOnly);
    QVERIFY(dataset);
    const int width = (columns + step - 1) / step;
    const int height = (rows + step - 1) / step;
    QCOMPARE(GDALGetRasterXSize(dataset), width);
    QCOMPARE(GDALGetRasterYSize(dataset), height);
    // Each tile stored once: no larger than its pixels.
    QVERIFY(QFileInfo(dir.filePath("windows.tif")).size() < qint64(width) * height * 8 * GDALGetRasterCount(dataset));
    double got[6];
    QCOMPARE(GDALGetGeoTransform(dataset, got), CE_None);
    QCOMPARE(got[1], 30.0 * step);
    QCOMPARE(got[5], -30.0 * step);
    // Band 1 spans, then the table's statistics by name, read whole.
    std::map<QByteArray, std::vector<double>> bands;
    for (const char *name : {"spans", "cells", "habitat", "clusters"}) {
        for (int b = 1; b <= GDALGetRasterCount(dataset); ++b) {
            if (QByteArray(GDALGetDescription(GDALGetRasterBand(dataset, b))) != name)
                continue;
            std::vector<double> &values = bands[name];
            values.resize(size_t(width) * size_t(height));
            QCOMPARE(GDALRasterIO(GDALGetRasterBand(dataset, b), GF_Read, 0, 0, width, height, values.data(), width,
                                  height, GDT_Float64, 0, 0),
                     CE_None);
        }
        QVERIFY2(bands.count(name), name);
    }
    GDALClose(dataset);
    // Every pixel's centre is its window's centre on the map, and holds its row's values.
    for (const auto &row : table.rows) {
        const double centreColumn = row[2].toDouble() + size / 2.0; // cells from the map's left edge
        const double centreRow = row[1].toDouble() + size / 2.0;
        const int i = (row[1].toInt() + size / 2) / step;
        const int j = (row[2].toInt() + size / 2) / step;
        QCOMPARE(got[0] + (j + 0.5) * got[1], transform[0] + centreColumn * transform[1]);
        QCOMPARE(got[3] + (i + 0.5) * got[5], transform[3] + centreRow * transform[5]);
        for (const auto &[name, values] : bands)
            QCOMPARE(values[size_t(i) * size_t(width) + size_t(j)], row[table.column(name.constData())].toDouble());
    }
    QCOMPARE(table.rows.size(), qsizetype(width * height)); // partial: every centre on the map has a window
}

// Two million windows with every statistic, their map and their table, in
// an address space that their results alone (some 300 bytes a window held
// in memory) would overflow: they are kept on disk, read back in order.
void TestWindows::millionsOfWindowsInBoundedMemory()
{
#ifdef VANTRIX_SANITIZED
    QSKIP("the sanitizers' shadow memory does not fit under ulimit -v");
#endif
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(!writeMap(dir.filePath("map.tif"), randomMap(1500, 1500, 1, 0.6, 0.01, 5)).isEmpty());
    const Run run = runProgram(QStringLiteral("bash"),
                               {"-c", QStringLiteral("ulimit -v 600000 && exec '%1' -q --extent full --window 4 "
                                                     "--step 1 --window-map w.tif --window-table w.tsv "
                                                     "-o /dev/null map.tif")
                                              .arg(Percolate)},
                               dir.path());
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(readAll(dir.filePath("w.tsv")).count('\n'), qsizetype(1 + 1497 * 1497));
    GDALAllRegister();
    GDALDatasetH dataset = GDALOpen(dir.filePath("w.tif").toLocal8Bit().constData(), GA_ReadOnly);
    QVERIFY(dataset);
    QCOMPARE(GDALGetRasterXSize(dataset), 1500);
    QCOMPARE(GDALGetRasterCount(dataset), 20);
    GDALClose(dataset);
}

void TestWindows::refusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no step") << QStringList{"--window", "5", "--window-table", "w.tsv"};
    QTest::newRow("step alone") << QStringList{"--step", "5", "--table", "t.tsv"};
    QTest::newRow("no output") << QStringList{"--window", "5", "--step", "2"};
    QTest::newRow("walk") << QStringList{"--rule", "walk", "--window", "5", "--step", "2", "--window-table", "w.tsv"};
    QTest::newRow("tiles") << QStringList{"--tile", "8", "--window", "5", "--step", "2", "--window-table", "w.tsv"};
    QTest::newRow("rows part") << QStringList{"--rows", "1/2", "--table", "p.txt", "--window", "5", "--step", "2",
                                              "--window-table", "w.tsv"};
    QTest::newRow("shape") << QStringList{"--window", "5", "--step", "2", "--window-shape", "hexagon",
                                          "--window-table", "w.tsv"};
    QTest::newRow("edge") << QStringList{"--window", "5", "--step", "2", "--window-edge", "wrap", "--window-table",
                                         "w.tsv"};
    QTest::newRow("size 0") << QStringList{"--window", "0", "--step", "2", "--window-table", "w.tsv"};
    QTest::newRow("table twice on standard output")
            << QStringList{"--window", "5", "--step", "2", "--window-table", "-", "--table", "-", "-o", "r.txt"};
    QTest::newRow("map over the table") << QStringList{"--window", "5", "--step", "2", "--window-table", "w.tif",
                                                       "--window-map", "w.tif"};
}

void TestWindows::refusals()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(!writeMap(dir.filePath("map.tif"), randomMap(12, 12, 1, 0.6, 0, 3)).isEmpty());
    const Run run = runProgram(Percolate, arguments + QStringList{"map.tif"}, dir.path());
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.out.isEmpty());
    QVERIFY(!run.err.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"map.tif"}); // nothing written
}

QTEST_GUILESS_MAIN(TestWindows)
#include "tst_windows.moc"
