// Maps of more cells than 32 bits count, streamed in bounded memory: a
// GeoTIFF of 4.4 x 10^9 cells made of one tile repeated, whose clusters are
// known exactly from the tile alone, through --table (cluster4 and cluster8),
// --tile and --tile-map, under an address-space limit far below its cells.
//
// The tile: random habitat inside a one-cell matrix border, and a cross of
// habitat through its middle row and column that reaches all four edges. The
// crosses of neighbouring tiles meet, so the map holds one cluster that joins
// every cross (with the clusters touching a cross), spanning the map both
// ways, and copies of the tile's other clusters, which the border keeps
// apart; the composition of their moments over the tiles is exact.
#include "mosaictiff.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <gdal.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int Side = 256;
constexpr qint64 Tiles = 260; // 66,560 x 66,560 = 4,430,233,600 cells
constexpr qint64 MapSide = Side * Tiles;

using u128 = unsigned __int128;

// What the test expects of a landscape: the table's integers, its sums.
struct Expected
{
    qint64 cells = 0;
    qint64 habitat = 0;
    qint64 clusters = 0;
    qint64 largest = 0;
    long double sumSquares = 0;
    long double sumSizeGyration = 0;
    long double sumSquaredGyration = 0;
    // The same over the clusters other than the largest (of equal ones, the
    // one with the greatest s^2 R^2), which percolation theory's mean size
    // and correlation length leave out.
    long double finiteSquares = 0;
    long double finiteSquaredGyration = 0;
};

QByteArray makeTile()
{
    std::mt19937 rng(42);
    std::bernoulli_distribution habitat(0.55);
    QByteArray tile(Side * Side, '\0');
    for (int y = 0; y < Side; ++y) {
        for (int x = 0; x < Side; ++x) {
            const bool border = x == 0 || y == 0 || x == Side - 1 || y == Side - 1;
            const bool cross = x == Side / 2 || y == Side / 2;
            tile[y * Side + x] = char(cross ? 1 : border ? 0 : habitat(rng) ? 1 : 0);
        }
    }
    return tile;
}

// The tile's clusters, found by a plain flood fill: cells, the sums of the
// coordinates and of their squares, and whether it holds a cross cell.
struct Component
{
    qint64 cells = 0;
    qint64 sx = 0;
    qint64 sy = 0;
    qint64 sxx = 0; // of x^2 + y^2
    bool cross = false;
};

std::vector<Component> components(const QByteArray &tile, int neighbours)
{
    std::vector<int> label(size_t(Side * Side), -1);
    std::vector<Component> found;
    std::vector<int> stack;
    for (int start = 0; start < Side * Side; ++start) {
        if (tile[start] != 1 || label[size_t(start)] >= 0)
            continue;
        Component c;
        const int id = int(found.size());
        label[size_t(start)] = id;
        stack.assign(1, start);
        while (!stack.empty()) {
            const int at = stack.back();
            stack.pop_back();
            const int x = at % Side;
            const int y = at / Side;
            ++c.cells;
            c.sx += x;
            c.sy += y;
            c.sxx += qint64(x) * x + qint64(y) * y;
            c.cross |= x == Side / 2 || y == Side / 2;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    if ((dx == 0 && dy == 0) || (neighbours == 4 && dx != 0 && dy != 0))
                        continue;
                    const int nx = x + dx;
                    const int ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= Side || ny >= Side)
                        continue;
                    const int next = ny * Side + nx;
                    if (tile[next] == 1 && label[size_t(next)] < 0) {
                        label[size_t(next)] = id;
                        stack.push_back(next);
                    }
                }
            }
        }
        found.push_back(c);
    }
    return found;
}

long double radiusTimesSize(u128 s2r2)
{
    return std::sqrt(static_cast<long double>(s2r2));
}

// s^2 R^2 of a cluster from its sums.
u128 squaredGyration(qint64 s, u128 sx, u128 sy, u128 sxx)
{
    return u128(s) * sxx - sx * sx - sy * sy;
}

// The tile as a landscape of its own.
Expected ofTile(const std::vector<Component> &parts)
{
    Expected e;
    e.cells = qint64(Side) * Side;
    const Component *excluded = nullptr;
    for (const Component &c : parts) {
        const u128 g = squaredGyration(c.cells, u128(c.sx), u128(c.sy), u128(c.sxx));
        if (!excluded || c.cells > excluded->cells
            || (c.cells == excluded->cells
                && g > squaredGyration(excluded->cells, u128(excluded->sx), u128(excluded->sy), u128(excluded->sxx))))
            excluded = &c;
    }
    for (const Component &c : parts) {
        ++e.clusters;
        e.habitat += c.cells;
        e.largest = std::max(e.largest, c.cells);
        e.sumSquares += static_cast<long double>(c.cells) * c.cells;
        const u128 g = squaredGyration(c.cells, u128(c.sx), u128(c.sy), u128(c.sxx));
        e.sumSizeGyration += radiusTimesSize(g);
        e.sumSquaredGyration += static_cast<long double>(g);
        if (&c != excluded) {
            e.finiteSquares += static_cast<long double>(c.cells) * c.cells;
            e.finiteSquaredGyration += static_cast<long double>(g);
        }
    }
    return e;
}

// The whole map: the tile's clusters off the crosses, Tiles^2 times over,
// and one cluster of every tile's cross clusters.
Expected ofMap(const std::vector<Component> &parts)
{
    Expected e;
    const qint64 copies = Tiles * Tiles;
    e.cells = MapSide * MapSide;
    qint64 g = 0;
    qint64 gx = 0;
    qint64 gy = 0;
    qint64 gxx = 0;
    for (const Component &c : parts) {
        e.habitat += copies * c.cells;
        if (c.cross) {
            g += c.cells;
            gx += c.sx;
            gy += c.sy;
            gxx += c.sxx;
            continue;
        }
        e.clusters += copies;
        e.largest = std::max(e.largest, c.cells);
        e.sumSquares += static_cast<long double>(copies) * c.cells * c.cells;
        const u128 s2r2 = squaredGyration(c.cells, u128(c.sx), u128(c.sy), u128(c.sxx));
        e.sumSizeGyration += copies * radiusTimesSize(s2r2);
        e.sumSquaredGyration += static_cast<long double>(copies) * static_cast<long double>(s2r2);
        // The joined crosses are the largest cluster: every other one is finite.
        e.finiteSquares += static_cast<long double>(copies) * c.cells * c.cells;
        e.finiteSquaredGyration += static_cast<long double>(copies) * static_cast<long double>(s2r2);
    }
    // The joined crosses: tile (i, j) shifts the tile's cross cells by
    // (Side i, Side j). Sums over i of i and of i^2 are T(T-1)/2 and
    // (T-1)T(2T-1)/6.
    const u128 T = u128(Tiles);
    const u128 offsets = T * (T - 1) / 2;
    const u128 offsetSquares = (T - 1) * T * (2 * T - 1) / 6;
    const u128 s = u128(g) * T * T;
    const u128 sx = u128(gx) * T * T + u128(g) * Side * offsets * T;
    const u128 sy = u128(gy) * T * T + u128(g) * Side * offsets * T;
    // Sum over tiles of sum over cells of (x + Side i)^2 + (y + Side j)^2.
    const u128 sxx = u128(gxx) * T * T + 2 * u128(Side) * offsets * T * (u128(gx) + u128(gy))
            + 2 * u128(g) * Side * Side * offsetSquares * T;
    e.clusters += 1;
    e.largest = std::max<qint64>(e.largest, qint64(s));
    e.sumSquares += static_cast<long double>(s) * static_cast<long double>(s);
    const u128 s2r2 = squaredGyration(qint64(s), sx, sy, sxx);
    e.sumSizeGyration += radiusTimesSize(s2r2);
    e.sumSquaredGyration += static_cast<long double>(s2r2);
    return e;
}

struct Run
{
    int exitCode = -1;
    QByteArray err;
};

// vantrix-percolate in a child whose address space is limited to limitKb.
Run percolate(const QStringList &arguments, const QString &dir, qint64 limitKb)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    QStringList quoted;
    for (const QString &a : arguments)
        quoted << QLatin1Char('\'') + a + QLatin1Char('\'');
    process.start(QStringLiteral("bash"),
                  {QStringLiteral("-c"), QStringLiteral("ulimit -v %1 && exec '%2' %3")
                                                 .arg(limitKb)
                                                 .arg(QStringLiteral(VANTRIX_PERCOLATE), quoted.join(QLatin1Char(' ')))});
    process.waitForFinished(30 * 60 * 1000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardError()};
}

QList<QByteArrayList> tableRows(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArrayList> rows;
    const QByteArrayList lines = file.readAll().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (!lines[i].isEmpty())
            rows << lines[i].split('\t');
    }
    return rows;
}

// Compares a table row's statistics with what is expected: integers exactly,
// reals to the table's 9 significant digits.
void compareRow(const QByteArrayList &row, const Expected &e, int spans)
{
    QCOMPARE(row.size(), 28);
    QCOMPARE(row[8].toInt(), spans);
    QCOMPARE(row[9].toLongLong(), e.cells);
    QCOMPARE(row[10].toLongLong(), e.habitat);
    QCOMPARE(row[12].toLongLong(), e.clusters);
    QCOMPARE(row[13].toLongLong(), e.largest);
    auto near = [](const QByteArray &text, long double expected) {
        const double got = text.toDouble();
        return std::abs(got - double(expected)) <= 1e-8 * std::abs(double(expected));
    };
    const long double habitat = e.habitat;
    QVERIFY2(near(row[17], e.sumSquares / habitat), row[17].constData());           // weighted_size
    QVERIFY2(near(row[18], e.finiteSquares / (habitat - e.largest)), row[18].constData()); // mean_size_finite
    QVERIFY2(near(row[19], e.sumSizeGyration / habitat), row[19].constData());      // gyration_am
    QVERIFY2(near(row[20], std::sqrt(2 * e.finiteSquaredGyration / e.finiteSquares)), row[20].constData()); // correlation_length
}

} // namespace

class TestLargeMaps : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeMapStatistics_data();
    void wholeMapStatistics();
    void tilesAndTheirMap();

private:
    QTemporaryDir m_dir;
    QByteArray m_tile;
    QString m_map;
    // Far below the map's cells, and what a band of the map takes.
    static constexpr qint64 LimitKb = 1536 * 1024;
};

void TestLargeMaps::initTestCase()
{
#ifdef VANTRIX_SANITIZED
    QSKIP("a map of 4.4e9 cells takes minutes under the sanitizers, and ulimit -v does not mix with their shadow memory");
#endif
    QVERIFY(m_dir.isValid());
    m_tile = makeTile();
    m_map = m_dir.filePath(QStringLiteral("map.tif"));
    MosaicTiff::Layout layout;
    layout.tilesAcross = layout.tilesDown = Tiles;
    QVERIFY(MosaicTiff::write(m_map, {m_tile}, layout));
    QVERIFY(MapSide * MapSide > (qint64(1) << 32));
}

void TestLargeMaps::wholeMapStatistics_data()
{
    QTest::addColumn<int>("neighbours");
    QTest::newRow("cluster4") << 4;
    QTest::newRow("cluster8") << 8;
}

void TestLargeMaps::wholeMapStatistics()
{
    QFETCH(int, neighbours);
    const QString table = m_dir.filePath(QStringLiteral("whole%1.tsv").arg(neighbours));
    const Run run = percolate({"-q", "--rule", QStringLiteral("cluster%1").arg(neighbours), "--extent", "full",
                               "--table", table, "-o", "whole.txt", m_map},
                              m_dir.path(), LimitKb);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QList<QByteArrayList> rows = tableRows(table);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0][3].toLongLong(), MapSide);
    QCOMPARE(rows[0][4].toLongLong(), MapSide);
    compareRow(rows[0], ofMap(components(m_tile, neighbours)), 1);
}

void TestLargeMaps::tilesAndTheirMap()
{
    const QString table = m_dir.filePath(QStringLiteral("tiles.tsv"));
    const QString map = m_dir.filePath(QStringLiteral("tiles.tif"));
    const Run run = percolate({"-q", "--rule", "cluster4", "--tile", QString::number(Side), "--table", table,
                               "--tile-map", map, "-o", "tiles.txt", m_map},
                              m_dir.path(), LimitKb);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const Expected tile = ofTile(components(m_tile, 4));
    const QList<QByteArrayList> rows = tableRows(table);
    QCOMPARE(qint64(rows.size()), Tiles * Tiles);
    for (qsizetype i : {qsizetype(0), qsizetype(1), qsizetype(Tiles), rows.size() - 1}) {
        QCOMPARE(rows[i][1].toLongLong(), (i / Tiles) * Side);
        QCOMPARE(rows[i][2].toLongLong(), (i % Tiles) * Side);
        compareRow(rows[i], tile, 1); // each tile's cross spans it both ways
    }
    for (const QByteArrayList &row : rows)
        QCOMPARE(row.mid(8), rows[0].mid(8));

    // The map: a pixel per tile, over the source in its coordinate system.
    GDALAllRegister();
    GDALDatasetH ds = GDALOpen(map.toUtf8().constData(), GA_ReadOnly);
    QVERIFY(ds);
    QCOMPARE(qint64(GDALGetRasterXSize(ds)), Tiles);
    QCOMPARE(qint64(GDALGetRasterYSize(ds)), Tiles);
    QCOMPARE(GDALGetRasterCount(ds), 20); // spans and the table's 19 statistics
    double transform[6];
    QCOMPARE(GDALGetGeoTransform(ds, transform), CE_None);
    QCOMPARE(transform[1], 30.0 * Side);
    QCOMPARE(transform[0], 500000.0);
    QVERIFY(QByteArray(GDALGetProjectionRef(ds)).contains("32633"));
    const char *names[] = {"spans", "cells", "habitat", "share", "clusters"};
    const double values[] = {1, double(tile.cells), double(tile.habitat), double(tile.habitat) / double(tile.cells),
                             double(tile.clusters)};
    for (int b = 0; b < 5; ++b) {
        GDALRasterBandH band = GDALGetRasterBand(ds, b + 1);
        QCOMPARE(QByteArray(GDALGetDescription(band)), QByteArray(names[b]));
        float pixel = 0;
        QCOMPARE(GDALRasterIO(band, GF_Read, int(Tiles - 1), int(Tiles - 1), 1, 1, &pixel, 1, 1, GDT_Float32, 0, 0),
                 CE_None);
        QCOMPARE(pixel, float(values[b]));
    }
    GDALClose(ds);
}

QTEST_GUILESS_MAIN(TestLargeMaps)
#include "tst_largemaps.moc"
