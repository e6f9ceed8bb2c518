// vantrix-percolate --patches, the landscape metrics of --table (edges to
// lacunarity) and --cluster-map --values id: every column against SciPy's
// labelling (tests/scipy_patches.py) on text grids and georeferenced rasters
// with nodata, whole and in tiles; patch ids against the id maps; the same
// bytes for every --jobs and shard; lacunarity against the random map's
// expectation; cells, areas, perimeters and centroids against GRASS GIS.
#include "rasterfixture.h"
#include "programrun.h"
#include "testutil.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cpl_conv.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <cmath>
#include <map>
#include <random>

namespace {

Run percolate(const QStringList &arguments, const QString &dir)
{
    return runProgram(QStringLiteral(VANTRIX_PERCOLATE), arguments, dir);
}

// Lines of a table without the trailing empty one.
QByteArrayList linesOf(const QByteArray &bytes)
{
    QByteArrayList lines = bytes.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

int column(const QByteArray &header, const char *name)
{
    return int(header.split('\t').indexOf(name));
}

// A field against the reference's: integers, NA and words exactly, reals
// (the reference writes them with a point) to the table's 9 digits.
bool sameField(const QByteArray &got, const QByteArray &want)
{
    bool integral = false, real = false, ok = false;
    want.toLongLong(&integral);
    const double w = want.toDouble(&real);
    const double g = got.toDouble(&ok);
    return got == want || (!integral && real && ok && std::abs(g - w) <= 1e-8 * std::max(1.0, std::abs(w)));
}

// A table (its header first) against the reference's lines, in order: field
// k of a reference line against column columns[k]. The differences found.
QStringList differences(const QByteArrayList &table, const QByteArrayList &reference, const QList<int> &columns)
{
    const QByteArrayList header = table.value(0).split('\t');
    QStringList faults;
    if (table.size() - 1 != reference.size())
        faults << QStringLiteral("%1 lines, %2 in the reference").arg(table.size() - 1).arg(reference.size());
    for (qsizetype i = 0; i + 1 < table.size() && i < reference.size(); ++i) {
        const QByteArrayList got = table[i + 1].split('\t'), want = reference[i].split('\t');
        const QString line = QStringLiteral("line %1 (%2 %3)").arg(i + 1).arg(QFileInfo(want[0]).fileName(),
                                                                          want.mid(1, 4).join(' '));
        if (got.size() != header.size() || want.size() != columns.size()) {
            faults << QStringLiteral("%1: %2 fields under a header of %3").arg(line).arg(got.size()).arg(header.size());
            continue;
        }
        for (qsizetype k = 0; k < want.size(); ++k) {
            if (!sameField(got[columns[k]], want[k]))
                faults << QStringLiteral("%1, %2: %3, want %4").arg(line, header[columns[k]], got[columns[k]], want[k]);
        }
    }
    return faults;
}

// Classes first .. first+classes-1 in patches (a smooth field with noise),
// cells without a value at the given share.
std::vector<std::vector<int>> patchyGrid(int rows, int columns, int first, int classes, double noise,
                                         double missing, std::mt19937 &rng)
{
    std::uniform_real_distribution<double> u(0, 1);
    const double fx = 0.1 + 0.5 * u(rng), fy = 0.1 + 0.5 * u(rng), phase = 6 * u(rng);
    std::vector<std::vector<int>> grid(size_t(rows), std::vector<int>(size_t(columns), 0));
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const double v = (std::sin(fx * c + phase) + std::cos(fy * r) + 2 + noise * 4 * u(rng)) / (4 + 4 * noise);
            grid[size_t(r)][size_t(c)] = u(rng) < missing ? -1 : first + std::clamp(int(v * classes), 0, classes - 1);
        }
    }
    return grid;
}

// Writes a Byte GeoTIFF of the grid (nodata 255) with the transform, if any,
// and the coordinate system of the EPSG code, if not 0.
QString writeRaster(const QString &path, const std::vector<std::vector<int>> &cells,
                    std::optional<std::array<double, 6>> transform, int epsg, bool tiled)
{
    RasterFixture::Grid grid;
    for (const auto &row : cells) {
        grid.emplace_back();
        for (const int v : row)
            grid.back().push_back(v < 0 ? 255 : v);
    }
    RasterFixture::Options options;
    options.nodata = 255;
    options.tiled = tiled;
    options.transform = transform;
    if (RasterFixture::writeRaster(path, grid, options).isEmpty())
        return {};
    if (epsg) {
        OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
        char *wkt = nullptr;
        GDALDatasetH ds = GDALOpen(QFile::encodeName(path).constData(), GA_Update);
        const bool ok = ds && OSRImportFromEPSG(srs, epsg) == OGRERR_NONE && OSRExportToWkt(srs, &wkt) == OGRERR_NONE
                && GDALSetProjection(ds, wkt) == CE_None;
        CPLFree(wkt);
        OSRDestroySpatialReference(srs);
        if (ds)
            GDALClose(ds);
        if (!ok)
            return {};
    }
    return path;
}

// The rows of one cover in a patch table, by id: the fields.
std::map<qint64, QByteArrayList> patchesOf(const QByteArray &table, const QByteArray &cover)
{
    std::map<qint64, QByteArrayList> out;
    for (const QByteArray &line : linesOf(table).mid(1)) {
        const QByteArrayList f = line.split('\t');
        if (f.size() > 4 && f[3] == cover)
            out[f[4].toLongLong()] = f;
    }
    return out;
}

} // namespace

class TestPatches : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void patchesAndMetricsMatchScipy_data();
    void patchesAndMetricsMatchScipy();
    void idMapsHoldThePatchIds_data();
    void idMapsHoldThePatchIds();
    void sameBytesForJobsAndShards();
    void lacunarityOfRandomMaps_data();
    void lacunarityOfRandomMaps();
    void patchesAgreeWithGrass_data();
    void patchesAgreeWithGrass();

private:
    QTemporaryDir m_dir;
    QStringList m_text;
    QStringList m_rasters;
    QStringList m_tall; // searched in bands on several jobs, their patches crossing the seams
};

void TestPatches::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const Run scipy = runProgram("/usr/bin/python3", {VANTRIX_TESTS "/scipy_patches.py", "--help"}, m_dir.path());
    if (scipy.exitCode != 0)
        QSKIP("SciPy's labelling is the reference here: install python3-scipy, python3-numpy and python3-gdal");
    std::mt19937 rng(17);
    // Text grids of classes 0 to 2, habitat 1: square, wide, tall, a row, a
    // column; patchy and close to random.
    const std::vector<std::pair<int, int>> shapes{{24, 24}, {9, 53}, {51, 8}, {1, 45}, {40, 1}, {1, 1}, {30, 30}};
    for (size_t i = 0; i < 2 * shapes.size(); ++i) {
        const auto [rows, columns] = shapes[i % shapes.size()];
        m_text << TestUtil::writeFixture(m_dir.path(), QStringLiteral("grid-%1.txt").arg(i),
                                         RasterFixture::landscapeText(patchyGrid(rows, columns, 0, 3,
                                                                                 i < shapes.size() ? 0.3 : 3.0, 0, rng)));
    }
    // Rasters of classes 1 to 4 with nodata: in a projected system (square,
    // oblong and rotated cells), in degrees, with a transform but no system,
    // and with neither.
    using Transform = std::optional<std::array<double, 6>>;
    const std::vector<std::pair<Transform, int>> geo{
            {std::array<double, 6>{500000, 30, 0, 5000000, 0, -30}, 32633},
            {std::array<double, 6>{500000, 30, 0, 5000000, 0, -20}, 32633},
            {std::array<double, 6>{500000, 25, 5, 5000000, 4, -20}, 32633},
            {std::array<double, 6>{10, 0.001, 0, 50, 0, -0.001}, 4326},
            {std::array<double, 6>{-100, 2, 0, 300, 0, -3}, 0},
            {std::nullopt, 0}};
    for (size_t i = 0; i < 2 * geo.size(); ++i) {
        const auto grid = patchyGrid(12 + int(rng() % 40), 12 + int(rng() % 40), 1, 4, i % 3 * 0.3, 0.03, rng);
        m_rasters << writeRaster(m_dir.filePath(QStringLiteral("classes-%1.tif").arg(i)), grid,
                                 geo[i % geo.size()].first, geo[i % geo.size()].second, i % 2);
        QVERIFY(!m_rasters.last().isEmpty());
    }
    // Tall rasters: on three jobs each, their rows are searched in three bands.
    // Smooth (patches that cross the seams whole) and noisy (many that end
    // on the seam rows), with nodata.
    for (int i = 0; i < 3; ++i) {
        const auto grid = patchyGrid(200 + 40 * i, 30 + 17 * i, 1, 4, i * 0.4, 0.03, rng);
        m_tall << writeRaster(m_dir.filePath(QStringLiteral("tall-%1.tif").arg(i)), grid,
                              std::array<double, 6>{500000, 30, 0, 5000000, 0, -30}, 32633, i % 2);
        QVERIFY(!m_tall.last().isEmpty());
    }
}

void TestPatches::patchesAndMetricsMatchScipy_data()
{
    // text, rasters, or tall rasters (--jobs 9: three jobs for each, which
    // search it in three bands)
    QTest::addColumn<QString>("files");
    QTest::addColumn<QStringList>("options"); // vantrix-percolate's, translated for the reference
    QTest::newRow("text, cluster4") << "text" << QStringList{"--rule", "cluster4"};
    QTest::newRow("text, cluster8, top-bottom") << "text" << QStringList{"--rule", "cluster8", "--direction", "top-bottom"};
    QTest::newRow("text, each class, cluster8, left-right")
            << "text" << QStringList{"--rule", "cluster8", "--cover", "each", "--direction", "left-right"};
    QTest::newRow("text, tiles of 5") << "text" << QStringList{"--rule", "cluster4", "--tile", "5"};
    QTest::newRow("text, each class, at least 3 cells") << "text" << QStringList{"--cover", "each", "--min-cells", "3"};
    QTest::newRow("rasters, each class, cluster4") << "rasters" << QStringList{"--rule", "cluster4", "--cover", "each"};
    QTest::newRow("rasters, classes 2 and 4, cluster8") << "rasters" << QStringList{"--rule", "cluster8", "--cover", "2,4"};
    QTest::newRow("rasters, each class in tiles of 8, cluster8, at least 2 cells")
            << "rasters" << QStringList{"--rule", "cluster8", "--cover", "each", "--tile", "8", "--min-cells", "2"};
    QTest::newRow("rasters, a range in tiles of 7, left-right")
            << "rasters" << QStringList{"--cover", "1-2", "--tile", "7", "--direction", "left-right"};
    QTest::newRow("tall rasters in 3 bands, each class, cluster8")
            << "tall" << QStringList{"--rule", "cluster8", "--cover", "each", "--jobs", "9"};
    QTest::newRow("tall rasters in 3 bands, classes 2 and 3, cluster4, at least 2 cells")
            << "tall" << QStringList{"--rule", "cluster4", "--cover", "2-3", "--min-cells", "2", "--jobs", "9"};
}

void TestPatches::patchesAndMetricsMatchScipy()
{
    QFETCH(QString, files);
    QFETCH(QStringList, options);
    const QStringList &paths = files == "text" ? m_text : files == "rasters" ? m_rasters : m_tall;
    QStringList reference{VANTRIX_TESTS "/scipy_patches.py", "--lacunarity", "2,3,8"};
    for (qsizetype i = 0; i < options.size(); i += 2) {
        if (options[i] == QLatin1String("--rule"))
            reference << "--neighbours" << options[i + 1].right(1);
        else if (options[i] != QLatin1String("--jobs"))
            reference << options[i] << options[i + 1];
    }
    if (!options.contains(QStringLiteral("--tile")))
        options << "--extent" << "full";
    const Run ours = percolate(QStringList{"-q", "--patches", "p.tsv", "--table", "t.tsv", "--lacunarity", "2,3,8", "-o",
                                           "/dev/null"} + options + paths,
                               m_dir.path());
    QVERIFY2(ours.exitCode == 0, ours.err.constData());
    const Run scipy = runProgram("/usr/bin/python3", reference + paths, m_dir.path());
    QVERIFY2(scipy.exitCode == 0, scipy.err.constData());
    QByteArrayList wantPatches, wantTable;
    for (const QByteArray &line : linesOf(scipy.out))
        (line.startsWith("patch\t") ? wantPatches : wantTable) << line.mid(line.indexOf('\t') + 1);

    // The patch table: every column, line by line.
    const QByteArrayList patches = linesOf(readAll(m_dir.filePath(QStringLiteral("p.tsv"))));
    QCOMPARE(patches.value(0), QByteArray("landscape\trow\tcolumn\tcover\tid\tcells\tarea\tperimeter\tperimeter_length\t"
                                          "row_min\trow_max\tcolumn_min\tcolumn_max\tcentroid_row\tcentroid_column\t"
                                          "centroid_x\tcentroid_y\tgyration\tgyration_mean\tshape\tfrac\ttouches\tspans"));
    QList<int> all;
    for (int k = 0; k < 23; ++k)
        all << k;
    QStringList faults = differences(patches, wantPatches, all);
    // The table's new columns, after correlation_length.
    const QByteArrayList table = linesOf(readAll(m_dir.filePath(QStringLiteral("t.tsv"))));
    QList<int> columns;
    for (const char *name : {"landscape", "row", "column", "cover", "edges", "edge_density", "mesh", "split", "cohesion",
                             "aggregation", "pafrac", "lacunarity_2", "lacunarity_3", "lacunarity_8"})
        columns << column(table.value(0), name);
    QVERIFY2(!columns.contains(-1), table.value(0).constData());
    QCOMPARE(columns[4], column(table[0], "correlation_length") + 1);
    faults += differences(table, wantTable, columns);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.mid(0, 8).join('\n') + QStringLiteral("\n(%1 in all)").arg(faults.size())));
    qInfo("%lld patches and %lld table rows compared", qint64(wantPatches.size()), qint64(wantTable.size()));
}

void TestPatches::idMapsHoldThePatchIds_data()
{
    QTest::addColumn<bool>("raster");
    QTest::addColumn<int>("neighbours");
    QTest::addColumn<QString>("cover");
    QTest::addColumn<QString>("name"); // of --cluster-map
    QTest::addColumn<int>("tall"); // 0: none; else which tall raster, searched in 3 bands
    QTest::newRow("text, cluster4, cover 1") << false << 4 << "1" << "ids.tif" << 0;
    QTest::newRow("text, cluster8, each class named by {cover}") << false << 8 << "each" << "ids-{cover}.tif" << 0;
    QTest::newRow("raster with nodata, cluster8, classes 1-2") << true << 8 << "1-2" << "ids.tif" << 0;
    QTest::newRow("raster with nodata, cluster4, each class") << true << 4 << "each" << "ids.tif" << 0;
    QTest::newRow("smooth tall raster in 3 bands, cluster8, each class") << true << 8 << "each" << "ids.tif" << 1;
    QTest::newRow("noisy tall raster in 3 bands, cluster4, classes 1-2") << true << 4 << "1-2" << "ids.tif" << 3;
}

void TestPatches::idMapsHoldThePatchIds()
{
    // Cell by cell, the reference's patch ids (numbered as in its patch
    // lines, which match --patches): 0 for cells of other classes, nodata
    // for cells without a value.
    QFETCH(bool, raster);
    QFETCH(int, neighbours);
    QFETCH(QString, cover);
    QFETCH(QString, name);
    QFETCH(int, tall);
    const QString path = tall ? m_tall[tall - 1] : raster ? m_rasters[1] : m_text[0];
    const QTemporaryDir dir(m_dir.filePath(QStringLiteral("ids-XXXXXX")));
    const Run run = percolate({"-q", "--jobs", "3", "--rule", QStringLiteral("cluster%1").arg(neighbours), "--cover", cover, "--extent",
                               "full", "--cluster-map", name, "--values", "id", "--patches", "-", "-o", "/dev/null",
                               path},
                              dir.path());
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const Run scipy = runProgram("/usr/bin/python3", {VANTRIX_TESTS "/scipy_patches.py", "--ids", "--neighbours",
                                                      QString::number(neighbours), "--cover", cover, path},
                                 m_dir.path());
    QVERIFY2(scipy.exitCode == 0, scipy.err.constData());
    int maps = 0;
    for (const QByteArray &line : linesOf(scipy.out)) {
        const QByteArrayList f = line.split('\t');
        if (f[0] != "ids")
            continue;
        ++maps;
        const QByteArray map = cover == QLatin1String("each") ? "ids-" + f[4] + ".tif" : "ids.tif";
        GDALDatasetH ds = GDALOpen(QFile::encodeName(dir.filePath(map)).constData(), GA_ReadOnly);
        QVERIFY2(ds, map.constData());
        GDALRasterBandH band = GDALGetRasterBand(ds, 1);
        int hasNodata = 0;
        QCOMPARE(GDALGetRasterDataType(band), GDT_UInt32);
        QCOMPARE(GDALGetRasterNoDataValue(band, &hasNodata), 4294967295.0);
        QVERIFY(hasNodata);
        const QByteArrayList want = f[5].split(' ');
        const int width = GDALGetRasterXSize(ds), height = GDALGetRasterYSize(ds);
        QCOMPARE(qsizetype(width) * height, want.size());
        std::vector<quint32> ids(want.size());
        QCOMPARE(GDALRasterIO(band, GF_Read, 0, 0, width, height, ids.data(), width, height, GDT_UInt32, 0, 0), CE_None);
        GDALClose(ds);
        std::map<qint64, qint64> cells;
        for (qsizetype i = 0; i < want.size(); ++i) {
            QVERIFY2(ids[i] == quint32(want[i].toLongLong()), qPrintable(QStringLiteral("%1, row %2, column %3: %4, want %5")
                                    .arg(map).arg(i / width).arg(i % width).arg(ids[i]).arg(want[i])));
            cells[ids[i]] += 1;
        }
        // ... and as many cells hold k as patch k has.
        const std::map<qint64, QByteArrayList> patches = patchesOf(run.out, f[4]);
        QCOMPARE(patches.size(), cells.size() - cells.count(0) - cells.count(0xFFFFFFFF));
        for (const auto &[id, p] : patches)
            QCOMPARE(cells[id], p[5].toLongLong());
    }
    QVERIFY(maps > 0);
}

void TestPatches::sameBytesForJobsAndShards()
{
    const QStringList paths = m_text + m_rasters;
    const QStringList options{"-q", "--rule", "cluster8", "--cover", "each", "--tile", "6", "--min-cells", "2"};
    const Run one = percolate(options + QStringList{"-j", "1", "--patches", "-", "-o", "/dev/null"} + paths, m_dir.path());
    QVERIFY2(one.exitCode == 0, one.err.constData());
    QVERIFY(linesOf(one.out).size() > 500);
    QCOMPARE(percolate(options + QStringList{"-j", "2", "--patches", "-", "-o", "/dev/null"} + paths, m_dir.path()).out,
             one.out);
    for (int k = 1; k <= 3; ++k) {
        const Run part = percolate(options + QStringList{"--shard", QStringLiteral("%1/3").arg(k), "--patches",
                                                         "pp-{shard}.tsv", "-o", "/dev/null"} + paths,
                                   m_dir.path());
        QVERIFY2(part.exitCode == 0, part.err.constData());
    }
    const Run merged = percolate({"--merge", "pp-3-of-3.tsv", "pp-1-of-3.tsv", "pp-2-of-3.tsv"}, m_dir.path());
    QVERIFY2(merged.exitCode == 0, merged.err.constData());
    QCOMPARE(merged.out, one.out);
}

void TestPatches::lacunarityOfRandomMaps_data()
{
    QTest::addColumn<QString>("share");
    QTest::newRow("p = 0.3") << "0.3";
    QTest::newRow("p = 0.6") << "0.6";
}

void TestPatches::lacunarityOfRandomMaps()
{
    // Cells habitat independently with probability p: a box of r x r holds
    // S ~ Binomial(r^2, p), so E[S^2] / E[S]^2 = 1 + (1 - p) / (p r^2).
    QFETCH(QString, share);
    const QString dir = QStringLiteral("random-") + share;
    const Run generated = runProgram(VANTRIX_GENERATE, {"--model", "random", "--size", "256", "--share", share, "--count",
                                                        "20", "--seed", "9", "--format", "geotiff", "-o", dir},
                                     m_dir.path());
    QVERIFY2(generated.exitCode == 0, generated.err.constData());
    const QStringList maps = QDir(m_dir.filePath(dir)).entryList({"*.tif"}, QDir::Files, QDir::Name);
    QCOMPARE(maps.size(), 20);
    QStringList paths;
    for (const QString &name : maps)
        paths << dir + QLatin1Char('/') + name;
    const Run run = percolate(QStringList{"-q", "--table", "-", "--lacunarity", "2,4,8", "-o", "/dev/null"} + paths,
                              m_dir.path());
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QByteArrayList lines = linesOf(run.out);
    QCOMPARE(lines.size(), 21);
    const double p = share.toDouble();
    for (const int r : {2, 4, 8}) {
        const int k = column(lines[0], ("lacunarity_" + QByteArray::number(r)).constData());
        QVERIFY(k >= 0);
        double sum = 0, squares = 0;
        for (const QByteArray &line : lines.mid(1)) {
            const double v = line.split('\t').value(k).toDouble();
            sum += v;
            squares += v * v;
        }
        const double mean = sum / 20, error = std::sqrt((squares / 20 - mean * mean) / 19);
        const double expected = 1 + (1 - p) / (p * r * r);
        qInfo("r = %d: lacunarity %.5f +- %.5f, expected %.5f", r, mean, error, expected);
        QVERIFY2(std::abs(mean - expected) <= 4 * error, qPrintable(QString::number(mean)));
    }
}

void TestPatches::patchesAgreeWithGrass_data()
{
    QTest::addColumn<int>("neighbours");
    QTest::newRow("4 neighbours") << 4;
    QTest::newRow("8 neighbours (r.clump -d)") << 8;
}

void TestPatches::patchesAgreeWithGrass()
{
    // r.object.geometry (GRASS 8.2) counts a clump's perimeter as we do:
    // every cell side towards a cell of no clump of its own, the map's edge
    // and null cells included; in cells without -m, in map units (vertical
    // sides times the cell height, horizontal ones times its width) with it.
    // Its fd and compact_square are ratios of a different kind (no
    // smallest-perimeter reference), so left out.
    QFETCH(int, neighbours);
    if (QStandardPaths::findExecutable(QStringLiteral("grass")).isEmpty())
        QSKIP("GRASS GIS is the reference here: install grass-core");
    std::mt19937 rng(5);
    const QString map = writeRaster(m_dir.filePath(QStringLiteral("landcover-%1.tif").arg(neighbours)),
                                    patchyGrid(40, 56, 1, 4, 0.5, 0.03, rng),
                                    std::array<double, 6>{500000, 30, 0, 5000000, 0, -20}, 32633, false);
    QVERIFY(!map.isEmpty());
    const Run run = percolate({"-q", "--rule", QStringLiteral("cluster%1").arg(neighbours), "--cover", "each",
                               "--extent", "full", "--patches", "-", "-o", "/dev/null", map},
                              m_dir.path());
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QString script = QStringLiteral(
            "r.in.gdal --q input=%1 output=m && g.region raster=m && for k in 1 2 3 4; do "
            "r.mapcalc --q --o \"h = if(m==$k,1,null())\" && r.clump --q --o %2 input=h output=c && echo \"stats $k\" "
            "&& r.stats -cn c && echo \"cells $k\" && r.object.geometry input=c output=- separator=tab "
            "&& echo \"metres $k\" && r.object.geometry -m input=c output=- separator=tab || exit 1; done")
                                   .arg(map, neighbours == 8 ? QStringLiteral("-d") : QString());
    QTemporaryDir database;
    const Run grass = runProgram("grass", {"-c", map, database.filePath("location"), "--exec", "bash", "-c", script},
                                 m_dir.path());
    QVERIFY2(grass.exitCode == 0, grass.err.constData());
    // class -> section -> clump -> fields
    std::map<QByteArray, std::map<QByteArray, std::map<qint64, QByteArrayList>>> found;
    QByteArray section, cls;
    for (const QByteArray &line : linesOf(grass.out)) {
        const QByteArrayList f = line.simplified().split(' ');
        if (f.size() == 2 && (f[0] == "stats" || f[0] == "cells" || f[0] == "metres"))
            section = f[0], cls = f[1];
        else if (f.size() >= 2 && f[0] != "cat")
            found[cls][section][f[0].toLongLong()] = f;
    }
    QCOMPARE(found.size(), size_t(4));
    for (auto &[name, sections] : found) {
        std::map<qint64, QByteArrayList> patches = patchesOf(run.out, name);
        QCOMPARE(patches.size(), sections["stats"].size());
        for (const auto &[clump, stats] : sections["stats"]) {
            const QByteArrayList &cells = sections["cells"][clump], &metres = sections["metres"][clump];
            QCOMPARE(cells.size(), 8);
            QCOMPARE(metres.size(), 8);
            // Its patch: as many cells, the same centroid.
            // GRASS writes 6 decimals, we 9 significant digits.
            auto near = [](const QByteArray &a, const QByteArray &b) {
                return std::abs(a.toDouble() - b.toDouble()) <= 1e-6 + 1e-8 * std::abs(b.toDouble());
            };
            const auto same = std::find_if(patches.begin(), patches.end(), [&](const auto &p) {
                return p.second[5] == stats[1] && near(p.second[15], metres[6]) && near(p.second[16], metres[7]);
            });
            QVERIFY2(same != patches.end(), qPrintable("class " + name + ", clump " + stats.join(' ')));
            const QByteArrayList &p = same->second;
            QVERIFY2(near(p[5], cells[1]) && near(p[7], cells[2]) && near(p[6], metres[1]) && near(p[8], metres[2]),
                     qPrintable("class " + name + ": " + p.join(' ') + " vs " + cells.join(' ') + " / " + metres.join(' ')));
            patches.erase(same);
        }
    }
}

QTEST_GUILESS_MAIN(TestPatches)
#include "tst_patches.moc"
