// vantrix-percolate --table: every statistic against SciPy's labelling
// (tests/scipy_clusters.py) on random, ragged, clustered and land-cover grids,
// whole, square, full and in tiles; the cluster map and the cluster counts
// against GRASS GIS's r.clump; clusters per cell near the threshold against
// percolation theory; the same table for every --jobs and split.
#include "mosaictiff.h"
#include "rasterfixture.h"
#include "programrun.h"
#include "testutil.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <gdal.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <random>

namespace {

Run percolate(const QStringList &arguments, const QString &dir)
{
    return runProgram(QStringLiteral(VANTRIX_PERCOLATE), arguments, dir);
}

Run scipy(const QStringList &arguments, const QString &dir)
{
    return runProgram(QStringLiteral("/usr/bin/python3"),
                      QStringList{QStringLiteral(VANTRIX_TESTS "/scipy_clusters.py")} + arguments, dir);
}

// A table's rows, by "landscape row column cover".
std::map<QByteArray, QByteArrayList> tableRows(const QByteArray &bytes)
{
    std::map<QByteArray, QByteArrayList> rows;
    const QByteArrayList lines = bytes.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayList fields = lines[i].split('\t');
        if (fields.size() >= 28)
            rows[fields[0] + ' ' + fields[1] + ' ' + fields[2] + ' ' + fields[5]] = fields;
    }
    return rows;
}

bool nearly(const QByteArray &text, long double expected)
{
    if (std::isnan(double(expected)))
        return text == "NA";
    const double got = text.toDouble();
    return std::abs(got - double(expected)) <= 1e-8 * std::max(1.0, std::abs(double(expected)));
}

// Compares the table with SciPy's lines: integers exactly, reals to the
// table's 9 significant digits. Returns the number of rows compared.
int compareWithScipy(const QByteArray &table, const QByteArray &reference)
{
    const std::map<QByteArray, QByteArrayList> rows = tableRows(table);
    int compared = 0;
    for (const QByteArray &line : reference.split('\n')) {
        if (line.isEmpty())
            continue;
        const QByteArrayList r = line.split('\t');
        // path row column cover rows columns cells habitat clusters largest squares sum_sR sum_s2R2
        // largest_s2R2
        const QByteArray key = r[0] + ' ' + r[1] + ' ' + r[2] + ' ' + r[3];
        const auto found = rows.find(key);
        if (found == rows.end()) {
            qWarning("no table row for %s", key.constData());
            return -1;
        }
        const QByteArrayList &t = found->second;
        const long double habitat = r[7].toDouble();
        const long double squares = r[10].toDouble();
        const long double largest = r[9].toDouble();
        const long double finiteSquares = squares - largest * largest;
        const long double finite = habitat > 0 ? (habitat > largest ? finiteSquares / (habitat - largest) : 0) : NAN;
        const long double xi = finiteSquares > 0
                ? std::sqrt(2 * (r[12].toDouble() - r[13].toDouble()) / finiteSquares)
                : NAN;
        const bool same = t[3] == r[4] && t[4] == r[5] && t[9] == r[6] && t[10] == r[7] && t[12] == r[8]
                && t[13] == r[9] && nearly(t[17], habitat > 0 ? squares / habitat : NAN) && nearly(t[18], finite)
                && nearly(t[19], habitat > 0 ? r[11].toDouble() / habitat : NAN) && nearly(t[20], xi);
        if (!same) {
            qWarning("table:  %s\nscipy:  %s", t.join('\t').constData(), line.constData());
            return -1;
        }
        ++compared;
    }
    return compared == int(rows.size()) ? compared : -1;
}

// Text grids of class values 0 to 2 (habitat 1 mostly), some ragged.
QStringList writeTextGrids(const QString &dir, int count, bool ragged, quint32 seed)
{
    std::mt19937 rng(seed);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const int rows = 1 + int(rng() % 48);
        const int columns = 1 + int(rng() % 64);
        const double share = 0.35 + 0.45 * double(rng() % 1000) / 1000.0;
        std::vector<std::vector<int>> grid;
        for (int r = 0; r < rows; ++r) {
            const int length = ragged ? int(rng() % (columns + 1)) : columns;
            std::vector<int> row;
            for (int c = 0; c < length; ++c)
                row.push_back(double(rng() % 1000) / 1000.0 < share ? 1 : int(rng() % 2) * 2);
            grid.push_back(row.empty() ? std::vector<int>{0} : row);
        }
        paths << TestUtil::writeFixture(dir, QStringLiteral("grid-%1-%2.txt").arg(seed).arg(i),
                                        RasterFixture::landscapeText(grid));
    }
    return paths;
}

// Rasters of classes 1 to 4 in patches, with nodata 255 cells, some not square.
QStringList writeClassRasters(const QString &dir, int count, quint32 seed)
{
    std::mt19937 rng(seed);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const int rows = 8 + int(rng() % 60);
        const int columns = 8 + int(rng() % 60);
        const double fx = 0.05 + 0.3 * double(rng() % 100) / 100.0;
        const double fy = 0.05 + 0.3 * double(rng() % 100) / 100.0;
        RasterFixture::Grid grid(static_cast<size_t>(rows), std::vector<double>(static_cast<size_t>(columns)));
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < columns; ++c) {
                const double v = std::sin(fx * c) + std::cos(fy * r) + 0.3 * double(rng() % 100) / 100.0;
                grid[size_t(r)][size_t(c)] = rng() % 40 == 0 ? 255 : 1 + std::clamp(int((v + 2.3) / 1.2), 0, 3);
            }
        }
        RasterFixture::Options options;
        options.nodata = 255;
        options.tiled = i % 2 == 0;
        paths << RasterFixture::writeRaster(dir + QStringLiteral("/classes-%1-%2.tif").arg(seed).arg(i), grid, options);
    }
    return paths;
}

} // namespace

class TestClusterTable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void statisticsMatchScipy_data();
    void statisticsMatchScipy();
    void clustersAgreeWithGrass_data();
    void clustersAgreeWithGrass();
    void clustersPerCellNearTheThreshold();
    void sameTableForJobsAndSplits();
    void refusals_data();
    void refusals();
    void tileMapsHoldTheSquares_data();
    void tileMapsHoldTheSquares();
    void squaresWithoutCellsAreNoLandscapes_data();
    void squaresWithoutCellsAreNoLandscapes();
    void pathsReadBackExactly();

private:
    QTemporaryDir m_dir;
    QStringList m_text;
    QStringList m_ragged;
    QStringList m_rasters;
};

void TestClusterTable::initTestCase()
{
    QVERIFY(m_dir.isValid());
    if (!QFile::exists(QStringLiteral("/usr/bin/python3")) || scipy({"--help"}, m_dir.path()).exitCode != 0)
        QSKIP("SciPy's labelling is the reference here: install python3-scipy, python3-numpy and python3-gdal");
    m_text = writeTextGrids(m_dir.path(), 60, false, 1);
    m_ragged = writeTextGrids(m_dir.path(), 60, true, 2);
    m_rasters = writeClassRasters(m_dir.path(), 30, 3);
}

void TestClusterTable::statisticsMatchScipy_data()
{
    QTest::addColumn<QString>("files");       // text, ragged or rasters
    QTest::addColumn<QStringList>("vantrix"); // options of vantrix-percolate
    QTest::addColumn<QStringList>("scipy");   // the same for the reference

    QTest::newRow("text, cluster4, the square") << "text" << QStringList{"--rule", "cluster4", "--cover", "1"}
                                                << QStringList{"--cover", "1"};
    QTest::newRow("text, cluster8, the whole grid")
            << "text" << QStringList{"--rule", "cluster8", "--cover", "1", "--extent", "full"}
            << QStringList{"--neighbours", "8", "--cover", "1", "--extent", "full"};
    QTest::newRow("text, walk: clusters by edges") << "text" << QStringList{"--rule", "walk", "--cover", "1"}
                                                   << QStringList{"--cover", "1"};
    QTest::newRow("ragged text, cluster4, full")
            << "ragged" << QStringList{"--rule", "cluster4", "--cover", "1", "--extent", "full"}
            << QStringList{"--cover", "1", "--extent", "full"};
    QTest::newRow("ragged text, each class, cluster8")
            << "ragged" << QStringList{"--rule", "cluster8", "--cover", "each"}
            << QStringList{"--neighbours", "8", "--cover", "each"};
    QTest::newRow("text, tiles of 5") << "text" << QStringList{"--rule", "cluster4", "--cover", "1", "--tile", "5"}
                                      << QStringList{"--cover", "1", "--tile", "5"};
    QTest::newRow("ragged text, tiles of 4, walk")
            << "ragged" << QStringList{"--rule", "walk", "--cover", "1", "--tile", "4"}
            << QStringList{"--cover", "1", "--tile", "4"};
    QTest::newRow("rasters with nodata, each class, full")
            << "rasters" << QStringList{"--rule", "cluster4", "--cover", "each", "--extent", "full"}
            << QStringList{"--cover", "each", "--extent", "full"};
    QTest::newRow("rasters, a set of classes, square")
            << "rasters" << QStringList{"--rule", "cluster8", "--cover", "2,4"}
            << QStringList{"--neighbours", "8", "--cover", "2,4"};
    QTest::newRow("rasters, a range, tiles of 8")
            << "rasters" << QStringList{"--rule", "cluster4", "--cover", "1-2", "--tile", "8"}
            << QStringList{"--cover", "1-2", "--tile", "8"};
    QTest::newRow("rasters, each class in tiles of 6, walk")
            << "rasters" << QStringList{"--rule", "walk", "--cover", "each", "--tile", "6"}
            << QStringList{"--cover", "each", "--tile", "6"};
}

void TestClusterTable::statisticsMatchScipy()
{
    QFETCH(QString, files);
    QFETCH(QStringList, vantrix);
    QFETCH(QStringList, scipy);
    const QStringList &paths = files == QLatin1String("text") ? m_text : files == QLatin1String("ragged") ? m_ragged
                                                                                                       : m_rasters;
    const Run ours = percolate(QStringList{"-q", "--table", "-", "-o", "report.txt"} + vantrix + paths, m_dir.path());
    QCOMPARE(ours.exitCode, 0);
    const Run reference = ::scipy(scipy + paths, m_dir.path());
    QVERIFY2(reference.exitCode == 0, reference.err.constData());
    const int compared = compareWithScipy(ours.out, reference.out);
    QVERIFY2(compared > 0, "the table and SciPy differ (see the warnings above)");
    qInfo("%d landscapes compared", compared);

    // The table's answers are the report's, line for line.
    QFile report(m_dir.filePath(QStringLiteral("report.txt")));
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QByteArrayList lines = report.readAll().split('\n');
    const QByteArrayList rows = ours.out.split('\n');
    QCOMPARE(lines.size(), rows.size()); // the header against the mean line
    for (qsizetype i = 1; i + 1 < rows.size(); ++i)
        QCOMPARE(lines[i - 1].right(1), rows[i].split('\t')[8]);
}

void TestClusterTable::clustersAgreeWithGrass_data()
{
    QTest::addColumn<int>("neighbours");
    QTest::newRow("4 neighbours") << 4;
    QTest::newRow("8 neighbours (r.clump -d)") << 8;
}

void TestClusterTable::clustersAgreeWithGrass()
{
    QFETCH(int, neighbours);
    if (QStandardPaths::findExecutable(QStringLiteral("grass")).isEmpty())
        QSKIP("GRASS GIS is the reference here: install grass-core");
    // A land-cover GeoTIFF with a coordinate system, which GRASS needs: four
    // kinds of tile of classes 1 to 5 in patches.
    std::mt19937 rng(11);
    std::vector<QByteArray> tiles;
    for (int k = 0; k < 4; ++k) {
        const double fx = 0.02 + 0.05 * double(rng() % 100) / 100.0;
        const double fy = 0.02 + 0.05 * double(rng() % 100) / 100.0;
        const double phase = double(rng() % 628) / 100.0;
        QByteArray tile(256 * 256, '\0');
        for (int y = 0; y < 256; ++y) {
            for (int x = 0; x < 256; ++x) {
                const double v = std::sin(fx * x + phase) + std::sin(fy * y) + 0.4 * double(rng() % 100) / 100.0;
                tile[y * 256 + x] = char(1 + std::clamp(int((v + 2.0) / 0.9), 0, 4));
            }
        }
        tiles.push_back(tile);
    }
    MosaicTiff::Layout layout;
    layout.tilesAcross = 3;
    layout.tilesDown = 2;
    layout.tileAt = [](qint64 i, qint64 j) { return int((i + 2 * j) % 4); };
    const QString map = m_dir.filePath(QStringLiteral("landcover-%1.tif").arg(neighbours));
    QVERIFY(MosaicTiff::write(map, tiles, layout));

    const QString rule = QStringLiteral("cluster%1").arg(neighbours);
    const Run table = percolate({"-q", "--rule", rule, "--cover", "each", "--extent", "full", "--table", "-", "-o",
                                 "/dev/null", map},
                                m_dir.path());
    QCOMPARE(table.exitCode, 0);
    const std::map<QByteArray, QByteArrayList> rows = tableRows(table.out);
    QCOMPARE(int(rows.size()), 5);
    for (int cls = 1; cls <= 5; ++cls) {
        // GRASS: the class's cells, clumped; the cells of each clump.
        const QString script = QStringLiteral(
                "r.in.gdal --q input=%1 output=m && g.region raster=m && r.mapcalc --q 'h = if(m==%2,1,null())' "
                "&& r.clump --q %3 input=h output=c && r.stats -cn c")
                                       .arg(map).arg(cls).arg(neighbours == 8 ? QStringLiteral("-d") : QString());
        QTemporaryDir database;
        const Run grass = runProgram(QStringLiteral("grass"),
                                     {"-c", map, database.filePath(QStringLiteral("location")), "--exec", "bash",
                                      "-c", script},
                                     m_dir.path());
        QVERIFY2(grass.exitCode == 0, grass.err.constData());
        std::vector<qint64> sizes;
        for (const QByteArray &line : grass.out.split('\n')) {
            const QByteArrayList fields = line.simplified().split(' ');
            if (fields.size() == 2)
                sizes.push_back(fields[1].toLongLong());
        }
        std::sort(sizes.begin(), sizes.end());

        // Vantrix: the table's counts, and every cluster's cells from the
        // cluster map (a cluster of s cells shows s on s cells).
        const QString clusterMap = m_dir.filePath(QStringLiteral("clusters-%1-%2.tif").arg(neighbours).arg(cls));
        const Run mapped = percolate({"-q", "--rule", rule, "--cover", QString::number(cls), "--extent", "full",
                                      "--cluster-map", clusterMap, "-o", "/dev/null", map},
                                     m_dir.path());
        QCOMPARE(mapped.exitCode, 0);
        GDALAllRegister();
        GDALDatasetH ds = GDALOpen(clusterMap.toUtf8().constData(), GA_ReadOnly);
        QVERIFY(ds);
        const int width = GDALGetRasterXSize(ds);
        const int height = GDALGetRasterYSize(ds);
        std::vector<quint32> cells(size_t(width) * size_t(height));
        QCOMPARE(GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Read, 0, 0, width, height, cells.data(), width, height,
                              GDT_UInt32, 0, 0),
                 CE_None);
        GDALClose(ds);
        std::map<qint64, qint64> cellsOfSize;
        for (const quint32 s : cells) {
            if (s != 0)
                ++cellsOfSize[s];
        }
        std::vector<qint64> mappedSizes;
        for (const auto &[size, count] : cellsOfSize) {
            QCOMPARE(count % size, qint64(0));
            mappedSizes.insert(mappedSizes.end(), size_t(count / size), size);
        }
        QCOMPARE(mappedSizes, sizes);
        const QByteArrayList &row = rows.at(map.toUtf8() + " 0 0 " + QByteArray::number(cls));
        QCOMPARE(row[12].toLongLong(), qint64(sizes.size()));
        QCOMPARE(row[13].toLongLong(), sizes.empty() ? 0 : sizes.back());
        qInfo("class %d: %zu clusters in GRASS, the table and the cluster map, the largest of %lld cells", cls,
              sizes.size(), (long long)(sizes.empty() ? 0 : sizes.back()));
    }
}

void TestClusterTable::clustersPerCellNearTheThreshold()
{
    // Random landscapes at the square lattice's site threshold: clusters per
    // cell tend to 0.0275981 (Ziff, Finch and Adamchik 1997) with a 1/L
    // correction on open boundaries; below the threshold the largest
    // cluster's share of the habitat falls with L, above it rises; the
    // mean size of the clusters but the largest peaks near the threshold,
    // higher for larger L; the correlation length converges with L below the
    // threshold and grows like L at it.
#ifdef VANTRIX_SANITIZED
    QSKIP("some 10^8 cells of random landscapes: too slow under the sanitizers; the statistics' code is tested "
          "against SciPy above");
#endif
    // The same cells at every size: 4 landscapes of 1024^2, 16 of 512^2, 64 of 256^2.
    const QList<int> sizes{256, 512, 1024};
    const QStringList shares{"0.5", "0.55", "0.592746", "0.64"};
    // share -> L -> values; `finite` is mean_size_finite, the mean size of
    // the clusters other than the largest (weighted_size, which holds the
    // largest, only grows with the share); `xi` is correlation_length.
    std::map<QString, std::map<int, std::vector<double>>> perCell, largest, finite, xi;
    for (const int size : sizes) {
        const int replicates = 4 * (1024 / size) * (1024 / size);
        for (const QString &share : shares) {
            const QString dir = QStringLiteral("theory-%1-%2").arg(size).arg(share);
            const Run generated = runProgram(QStringLiteral(VANTRIX_GENERATE),
                                             {"--model", "random", "--size", QString::number(size), "--share", share,
                                              "--count", QString::number(replicates), "--seed", "5", "--format",
                                              "geotiff", "-o", dir},
                                             m_dir.path());
            QCOMPARE(generated.exitCode, 0);
            QStringList paths;
            for (const QString &name : QDir(m_dir.filePath(dir)).entryList({"*.tif"}, QDir::Files, QDir::Name))
                paths << dir + QLatin1Char('/') + name;
            const Run run = percolate(QStringList{"-q", "--rule", "cluster4", "--table", "-", "-o", "/dev/null"} + paths,
                                      m_dir.path());
            QCOMPARE(run.exitCode, 0);
            for (const auto &[key, row] : tableRows(run.out)) {
                perCell[share][size].push_back(row[12].toDouble() / row[9].toDouble());
                largest[share][size].push_back(row[15].toDouble());
                finite[share][size].push_back(row[18].toDouble());
                xi[share][size].push_back(row[20].toDouble());
            }
            QDir(m_dir.filePath(dir)).removeRecursively();
        }
    }
    auto mean = [](const std::vector<double> &v) {
        double sum = 0;
        for (double x : v)
            sum += x;
        return sum / double(v.size());
    };
    auto standardError = [&mean](const std::vector<double> &v) {
        const double m = mean(v);
        double sum = 0;
        for (double x : v)
            sum += (x - m) * (x - m);
        return std::sqrt(sum / double(v.size() - 1) / double(v.size()));
    };
    // Weighted least squares of clusters per cell on 1/L at the threshold,
    // and the standard error of its intercept.
    double w = 0, wx = 0, wy = 0, wxx = 0, wxy = 0;
    for (const int size : sizes) {
        const std::vector<double> &values = perCell["0.592746"][size];
        const double x = 1.0 / size;
        const double y = mean(values);
        const double se = standardError(values);
        const double weight = 1.0 / (se * se);
        w += weight;
        wx += weight * x;
        wy += weight * y;
        wxx += weight * x * x;
        wxy += weight * x * y;
        qInfo("L = %4d: clusters per cell %.6f +- %.6f; largest of habitat below/at/above %.3f %.3f %.3f; weighted "
              "size of the other clusters %.1f %.1f %.1f",
              size, y, se, mean(largest["0.55"][size]), mean(largest["0.592746"][size]), mean(largest["0.64"][size]),
              mean(finite["0.55"][size]), mean(finite["0.592746"][size]), mean(finite["0.64"][size]));
    }
    const double determinant = w * wxx - wx * wx;
    const double slope = (w * wxy - wx * wy) / determinant;
    const double limit = (wxx * wy - wx * wxy) / determinant;
    const double limitError = std::sqrt(wxx / determinant);
    qInfo("clusters per cell = %.6f (+- %.6f) + %.3f / L; 0.0275981 in the limit", limit, limitError, slope);
    QVERIFY2(std::abs(limit - 0.0275981) < 3 * limitError, qPrintable(QString::number(limit)));
    QVERIFY(slope > 0);
    for (qsizetype i = 1; i < sizes.size(); ++i) {
        QVERIFY(mean(largest["0.55"][sizes[i]]) < mean(largest["0.55"][sizes[i - 1]]));
        QVERIFY(mean(largest["0.64"][sizes[i]]) > mean(largest["0.64"][sizes[i - 1]]));
    }
    const int big = sizes.last();
    QVERIFY(mean(finite["0.592746"][big]) > mean(finite["0.55"][big]));
    QVERIFY(mean(finite["0.592746"][big]) > mean(finite["0.64"][big]));
    QVERIFY(mean(finite["0.592746"][big]) > mean(finite["0.592746"][sizes.first()])); // and the peak grows with L
    // The correlation length: the same for the two larger sizes at 0.5, within
    // their errors; about four times as long at the threshold for L 4 times.
    for (const int size : sizes)
        qInfo("L = %4d: correlation length at 0.5 %.3f +- %.3f, at the threshold %.2f +- %.2f", size,
              mean(xi["0.5"][size]), standardError(xi["0.5"][size]), mean(xi["0.592746"][size]),
              standardError(xi["0.592746"][size]));
    const double below = mean(xi["0.5"][1024]) - mean(xi["0.5"][512]);
    const double belowError = std::hypot(standardError(xi["0.5"][1024]), standardError(xi["0.5"][512]));
    QVERIFY2(std::abs(below) < 3 * belowError + 1e-3, qPrintable(QString::number(below)));
    const double growth = mean(xi["0.592746"][1024]) / mean(xi["0.592746"][256]);
    QVERIFY2(growth > 3 && growth < 5, qPrintable(QString::number(growth)));
}

void TestClusterTable::sameTableForJobsAndSplits()
{
    const QStringList paths = m_text.mid(0, 25) + m_rasters.mid(0, 10);
    const QStringList options{"-q", "--rule", "cluster8", "--cover", "1", "--tile", "6"};
    const Run one = percolate(options + QStringList{"-j", "1", "--table", "-", "-o", "/dev/null"} + paths, m_dir.path());
    QCOMPARE(one.exitCode, 0);
    const Run three = percolate(options + QStringList{"-j", "3", "--table", "-", "-o", "/dev/null"} + paths, m_dir.path());
    QCOMPARE(three.out, one.out);
    QStringList parts;
    for (int k = 1; k <= 4; ++k) {
        QCOMPARE(percolate(options + QStringList{"--shard", QStringLiteral("%1/4").arg(k), "--table", "t-{shard}.tsv",
                                                 "-o", "r-{shard}.txt"}
                                   + paths,
                           m_dir.path())
                         .exitCode,
                 0);
        parts << QStringLiteral("t-%1-of-4.tsv").arg(k);
    }
    const Run merged = percolate(QStringList{"--merge", parts[2], parts[0], parts[3], parts[1]}, m_dir.path());
    QCOMPARE(merged.exitCode, 0);
    QCOMPARE(merged.out, one.out);
    // A part missing, given twice, cut short, or of another run: refused.
    const Run missing = percolate({"--merge", parts[0], parts[1], parts[3]}, m_dir.path());
    QCOMPARE(missing.exitCode, 1);
    QVERIFY2(missing.err.contains("missing"), missing.err.constData());
    QVERIFY(QFile::copy(m_dir.filePath(parts[1]), m_dir.filePath(QStringLiteral("copy.tsv"))));
    QCOMPARE(percolate({"--merge", parts[0], parts[1], "copy.tsv", parts[2], parts[3]}, m_dir.path()).exitCode, 1);
    QFile part(m_dir.filePath(parts[3]));
    QVERIFY(part.open(QIODevice::ReadOnly));
    const QByteArray bytes = part.readAll();
    QVERIFY(TestUtil::writeFile(m_dir.filePath(QStringLiteral("cut.tsv")), bytes.left(bytes.lastIndexOf("# "))));
    const Run cut = percolate({"--merge", parts[0], parts[1], parts[2], "cut.tsv"}, m_dir.path());
    QCOMPARE(cut.exitCode, 1);
    QVERIFY2(cut.err.contains("cut short"), cut.err.constData());
    QCOMPARE(percolate(QStringList{"-q", "--rule", "cluster4", "--cover", "1", "--shard", "4/4", "--table", "other.tsv",
                                   "-o", "/dev/null"}
                               + paths,
                       m_dir.path())
                     .exitCode,
             0);
    const Run foreign = percolate({"--merge", parts[0], parts[1], parts[2], "other.tsv"}, m_dir.path());
    QCOMPARE(foreign.exitCode, 1);
    QVERIFY2(foreign.err.contains("another run"), foreign.err.constData());
}

void TestClusterTable::refusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("full extent under the walk") << QStringList{"--rule", "walk", "--extent", "full"}
                                                << QByteArray("cluster rules");
    QTest::newRow("extent with tiles") << QStringList{"--rule", "cluster4", "--extent", "full", "--tile", "4"}
                                       << QByteArray("whole landscapes");
    QTest::newRow("a tile map without tiles") << QStringList{"--tile-map", "t.tif"} << QByteArray("--tile");
    QTest::newRow("a cluster map of the walk") << QStringList{"--rule", "walk", "--cluster-map", "c.tif"}
                                               << QByteArray("cluster rule");
    QTest::newRow("a cluster map of tiles") << QStringList{"--rule", "cluster4", "--tile", "4", "--cluster-map", "c.tif"}
                                            << QByteArray("whole landscapes");
    QTest::newRow("the table on standard output with the report")
            << QStringList{"--table", "-"} << QByteArray("--output");
    QTest::newRow("the table and the report both on standard output")
            << QStringList{"--table", "-", "-o", "-"} << QByteArray("--output");
    QTest::newRow("a range that ends below its start") << QStringList{"--cover", "5-3"} << QByteArray("below its start");
    QTest::newRow("a cover that is no number") << QStringList{"--cover", "forest"} << QByteArray("not 'each'");
    QTest::newRow("the table over the report") << QStringList{"--table", "x.txt", "-o", "x.txt"}
                                               << QByteArray("same file");
}

void TestClusterTable::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    const Run run = percolate(arguments + QStringList{m_text.first()}, m_dir.path());
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), run.err.constData());
}

namespace {

// Every band of a GeoTIFF, pixel by pixel, as doubles (empty if unreadable).
std::vector<std::vector<double>> bandsOf(const QString &path)
{
    std::vector<std::vector<double>> bands;
    GDALAllRegister();
    GDALDatasetH dataset = GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
    if (!dataset)
        return bands;
    const int width = GDALGetRasterXSize(dataset);
    const int height = GDALGetRasterYSize(dataset);
    for (int b = 1; b <= GDALGetRasterCount(dataset); ++b) {
        std::vector<double> values(size_t(width) * size_t(height));
        if (GDALRasterIO(GDALGetRasterBand(dataset, b), GF_Read, 0, 0, width, height, values.data(), width, height,
                         GDT_Float64, 0, 0)
            != CE_None)
            values.clear();
        bands.push_back(values);
    }
    GDALClose(dataset);
    return bands;
}

} // namespace

void TestClusterTable::tileMapsHoldTheSquares_data()
{
    QTest::addColumn<int>("side");
    QTest::addColumn<int>("tile");
    QTest::addColumn<QString>("cover");
    // Counts above 2^24 are exact (a Float32 band would round 16785409).
    QTest::newRow("one square of 4097 x 4097 cells") << 4097 << 4097 << QStringLiteral("1");
    // Every class has a pixel in every square, with habitat 0 where absent.
    QTest::newRow("each class in squares of 4") << 12 << 4 << QStringLiteral("each");
}

// The tile maps hold, pixel by pixel, what the table says of every square.
void TestClusterTable::tileMapsHoldTheSquares()
{
    QFETCH(int, side);
    QFETCH(int, tile);
    QFETCH(QString, cover);
    // Classes 1 everywhere but three blocks: 2 in the top-left square only,
    // 3 in the bottom-right one.
    RasterFixture::Grid grid(size_t(side), std::vector<double>(size_t(side), 1));
    if (cover == QLatin1String("each")) {
        grid[1][1] = grid[2][2] = 2;
        grid[size_t(side - 1)][size_t(side - 1)] = 3;
    }
    const QString map = RasterFixture::writeRaster(m_dir.filePath(QStringLiteral("squares-%1.tif").arg(side)), grid, {});
    QVERIFY(!map.isEmpty());
    const bool each = cover == QLatin1String("each");
    const QString pattern = m_dir.filePath(QStringLiteral("tiles-%1%2.tif").arg(side).arg(each ? "-{cover}" : ""));
    const Run run = percolate({"-q", "--cover", cover, "--tile", QString::number(tile), "--table", "-", "--tile-map",
                               pattern, "-o", "/dev/null", map},
                              m_dir.path());
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QByteArrayList lines = run.out.split('\n');
    const QByteArrayList header = lines[0].split('\t');
    const qint64 squares = qint64(side / tile) * (side / tile);
    const QStringList classes = each ? QStringList{"1", "2", "3"} : QStringList{cover};
    QCOMPARE(lines.size(), squares * classes.size() + 2);
    for (const QString &cls : classes) {
        const QString suffix = each ? QLatin1Char('-') + cls : QString();
        const auto bands = bandsOf(m_dir.filePath(QStringLiteral("tiles-%1%2.tif").arg(side).arg(suffix)));
        QCOMPARE(bands.size(), size_t(header.size() - 8)); // spans and the statistics
        for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
            const QByteArrayList fields = lines[i].split('\t');
            if (fields[5] != cls.toLatin1())
                continue;
            const size_t pixel = size_t(fields[1].toLongLong() / tile * (side / tile) + fields[2].toLongLong() / tile);
            for (size_t b = 0; b < bands.size(); ++b) {
                const QByteArray value = fields[qsizetype(8 + b)];
                const double pixelValue = bands[b][pixel];
                if (value == "NA")
                    QVERIFY(std::isnan(pixelValue));
                else
                    QCOMPARE(QByteArray::number(pixelValue, 'g', 9), value);
            }
            if (side == 4097)
                QCOMPARE(QByteArray::number(bands[1][pixel], 'f', 0), QByteArray("16785409"));
        }
    }
}

void TestClusterTable::squaresWithoutCellsAreNoLandscapes_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("walk") << QStringList{"--rule", "walk", "--cover", "1"};
    QTest::newRow("cluster4") << QStringList{"--rule", "cluster4", "--cover", "1"};
    QTest::newRow("each class") << QStringList{"--cover", "each"};
}

// A map whose right half is nodata (a coast, a study area's border): its
// square there is no landscape, so the PP is that of the square with land.
void TestClusterTable::squaresWithoutCellsAreNoLandscapes()
{
    QFETCH(QStringList, options);
    RasterFixture::Grid grid(4, std::vector<double>(8, 255));
    for (auto &row : grid)
        std::fill(row.begin(), row.begin() + 4, 1);
    RasterFixture::Options fixture;
    fixture.nodata = 255;
    const QString map = RasterFixture::writeRaster(m_dir.filePath(QStringLiteral("coast.tif")), grid, fixture);
    const Run run = percolate(options + QStringList{"--tile", "4", "--table", "coast.tsv", "--tile-map", "coast.tif-map.tif",
                                                    map},
                              m_dir.path());
    QCOMPARE(run.exitCode, 0);
    const QByteArray name = QFile::encodeName(map) + "#0,0" + (options.contains("each") ? "#cover=1" : "");
    QCOMPARE(run.out, name + "\t1\nProbability Percolation (PP) = 1\n");
    QVERIFY2(run.err.contains("1 complete square(s) of 1 landscape(s) hold no cell with a value"), run.err.constData());
    QFile table(m_dir.filePath(QStringLiteral("coast.tsv")));
    QVERIFY(table.open(QIODevice::ReadOnly));
    QCOMPARE(table.readAll().count('\n'), 2); // the header and the square with land
    const auto bands = bandsOf(m_dir.filePath(options.contains("each") ? QStringLiteral("coast.tif-map-1.tif")
                                                                        : QStringLiteral("coast.tif-map.tif")));
    QVERIFY(!bands.empty() && bands[0].size() == 2);
    QCOMPARE(bands[0][0], 1.0);
    QVERIFY(std::isnan(bands[0][1])); // nodata
}

// Landscapes whose names hold a tab, a line break, a carriage return,
// quotes, bytes that are not UTF-8, or are words R and pandas take for a
// missing value: R's read.delim() and pandas' read_csv() (as the docs say to
// call them) read every path back, byte for byte; the parts of a split run
// merge to the whole table.
void TestClusterTable::pathsReadBackExactly()
{
    if (QStandardPaths::findExecutable(QStringLiteral("Rscript")).isEmpty())
        QSKIP("R is a reader checked here: install r-base-core");
    // The last name is not UTF-8: it comes through a list, as bytes.
    const QByteArrayList names{"tab\there.txt", "line\nbreak.txt", "carriage\rreturn.txt", "\"quoted.txt",
                               "in\"side.txt", "NA", "nan", "None", "#hash.txt", " lead.txt", "plain.txt",
                               "d\xe9j\xe0.txt"};
    QDir dir(m_dir.filePath(QStringLiteral("names")));
    QVERIFY(dir.mkpath(QStringLiteral(".")));
    QStringList arguments{"-q", "--cover", "1", "--table", "t.tsv", "-o", "r.txt", "--files-from", "list"};
    QByteArray expected;
    for (const QByteArray &name : names) {
        const QByteArray path = QFile::encodeName(dir.path()) + '/' + name;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0 && ::write(fd, "1 1\n0 0\n", 8) == 8 && ::close(fd) == 0);
        if (&name == &names.last())
            QVERIFY(TestUtil::writeFile(dir.filePath(QStringLiteral("list")), name + '\n'));
        else
            arguments << QString::fromUtf8(name);
        const bool missing = name == "NA" || name == "nan" || name == "None";
        expected += (missing ? QByteArray("./") + name : name).toHex() + '\n';
    }
    const Run run = percolate(arguments, dir.path());
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const Run r = runProgram(QStringLiteral("Rscript"),
                             {"-e", "t <- read.delim('t.tsv'); writeLines(sapply(t$landscape, function(x) "
                                    "paste(charToRaw(x), collapse = '')))"},
                             dir.path());
    QVERIFY2(r.exitCode == 0, r.err.constData());
    // R's reader ends a line at every carriage return, within quotes too: the
    // one byte it cannot give back.
    QCOMPARE(r.out, QByteArray(expected).replace("63617272696167650d", "63617272696167650a"));
    const Run pandas = runProgram(QStringLiteral("/usr/bin/python3"),
                                  {"-c", "import os, pandas as pd\n"
                                         "t = pd.read_csv('t.tsv', sep='\\t', encoding_errors='surrogateescape')\n"
                                         "print('\\n'.join(os.fsencode(x).hex() for x in t.landscape))"},
                                  dir.path());
    QVERIFY2(pandas.exitCode == 0, pandas.err.constData());
    QCOMPARE(pandas.out, expected);

    QStringList parts;
    for (int k = 1; k <= 2; ++k) {
        const QString part = QStringLiteral("part-%1.tsv").arg(k);
        QStringList partArguments = arguments;
        partArguments.replace(partArguments.indexOf(QStringLiteral("t.tsv")), part);
        partArguments << "--shard" << QStringLiteral("%1/2").arg(k);
        QCOMPARE(percolate(partArguments, dir.path()).exitCode, 0);
        parts << part;
    }
    const Run merged = percolate({"--merge", parts[1], parts[0], "-o", "merged.tsv"}, dir.path());
    QVERIFY2(merged.exitCode == 0, merged.err.constData());
    QFile whole(dir.filePath(QStringLiteral("t.tsv")));
    QFile joined(dir.filePath(QStringLiteral("merged.tsv")));
    QVERIFY(whole.open(QIODevice::ReadOnly) && joined.open(QIODevice::ReadOnly));
    QCOMPARE(joined.readAll(), whole.readAll());
}

QTEST_GUILESS_MAIN(TestClusterTable)
#include "tst_clustertable.moc"
