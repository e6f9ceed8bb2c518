// One map searched in bands: on several threads (--jobs) and in parts
// (--rows K/N, then --merge), the table must be the bytes of one pass over
// the map; parts that do not make a whole run are refused.
#include "bandseam.h"
#include "rasterfixture.h"
#include "programrun.h"
#include "testutil.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

Run percolate(const QStringList &arguments, const QString &dir)
{
    return runProgram(QStringLiteral(VANTRIX_PERCOLATE), arguments, dir);
}

// Random habitat (value 8 at share p, else class 1 or 2) with rows and
// stretches without a value (255) where bands meet.
RasterFixture::Grid randomMap(int rows, int columns, double p, quint32 seed)
{
    QRandomGenerator random(seed);
    RasterFixture::Grid grid(size_t(rows), std::vector<double>(size_t(columns), 0.0));
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            grid[size_t(r)][size_t(c)] = random.generateDouble() < p ? 8 : 1 + random.bounded(2);
    for (const int r : {rows / 2, rows / 3, rows / 4 + 1})
        for (int c = 0; c < columns / 2; ++c)
            grid[size_t(r)][size_t(c)] = 255;
    return grid;
}

// Land cover: classes in patches that run down across many rows.
RasterFixture::Grid landCover(int rows, int columns, quint32 seed)
{
    QRandomGenerator random(seed);
    RasterFixture::Grid grid(size_t(rows), std::vector<double>(size_t(columns), 0.0));
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            grid[size_t(r)][size_t(c)] = r > 0 && random.generateDouble() < 0.85 ? grid[size_t(r - 1)][size_t(c)]
                                                                             : double(random.bounded(6));
    return grid;
}

// Shapes that cross every seam many times: a spiral of habitat on the left
// and two interlocking combs on the right (teeth down from a bar at the top,
// and up from one at the bottom: each comb's teeth are parts of one patch
// only through a band far from most of them).
RasterFixture::Grid spiralsAndCombs(int rows, int columns)
{
    RasterFixture::Grid grid(size_t(rows), std::vector<double>(size_t(columns), 1.0));
    const int half = columns / 2;
    int top = 0, left = 0, bottom = rows - 1, right = half - 1;
    while (top <= bottom && left <= right) {
        for (int c = left; c <= right; ++c)
            grid[size_t(top)][size_t(c)] = 8;
        for (int r = top; r <= bottom; ++r)
            grid[size_t(r)][size_t(right)] = 8;
        for (int c = left; c <= right && bottom > top; ++c)
            grid[size_t(bottom)][size_t(c)] = 8;
        for (int r = top + 2; r <= bottom && left < right; ++r)
            grid[size_t(r)][size_t(left)] = 8;
        top += 2, left += 2, bottom -= 2, right -= 2;
        if (top <= bottom)
            grid[size_t(top)][size_t(left - 1)] = 8;
    }
    for (int c = half + 1; c < columns; ++c) {
        grid[0][size_t(c)] = grid[size_t(rows - 1)][size_t(c)] = 8;
        for (int r = 0; r < rows - 2 && c % 2 == 0; ++r)
            grid[size_t(c % 4 == 0 ? r : rows - 1 - r)][size_t(c)] = 8;
    }
    grid[size_t(rows / 2)][size_t(half + 2)] = 255;
    return grid;
}

} // namespace

class TestSeams : public QObject
{
    Q_OBJECT

private slots:
    void sameTableForAnyBands_data();
    void sameTableForAnyBands();
    void samePatchesAndMapsForAnyBands_data();
    void samePatchesAndMapsForAnyBands();
    void partsThatMakeNoWholeAreRefused();
    void partsAreBoundedByTheWidth();

private:
    QTemporaryDir m_dir;
};

void TestSeams::sameTableForAnyBands_data()
{
    QTest::addColumn<QString>("map");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QList<int>>("splits"); // --rows into how many parts
    RasterFixture::Options nodata;
    nodata.nodata = 255;
    RasterFixture::Options tiled = nodata;
    tiled.tiled = true;
    tiled.blockSize = 32;
    tiled.compression = "DEFLATE";
    tiled.transform = std::array<double, 6>{500000, 30, 0, 4100000, 0, -30};
    tiled.creationOptions << "PROFILE=GeoTIFF";
    const QString dir = m_dir.path();
    const QString random4 = RasterFixture::writeRaster(dir + "/random4.tif", randomMap(300, 217, 0.5927, 1), nodata);
    const QString random8 = RasterFixture::writeRaster(dir + "/random8.tif", randomMap(301, 190, 0.407, 2), tiled);
    const QString cover = RasterFixture::writeRaster(dir + "/cover.tif", landCover(280, 250, 3), tiled);
    std::vector<std::vector<int>> text(150, std::vector<int>(170));
    QRandomGenerator random(4);
    for (auto &row : text)
        for (int &cell : row)
            cell = random.generateDouble() < 0.6 ? 1 : 0;
    QVERIFY(TestUtil::writeFile(dir + "/text.txt", RasterFixture::landscapeText(text)));
    const QString small = RasterFixture::writeRaster(dir + "/small.tif", landCover(13, 40, 5), nodata);
    const QStringList full{"--extent", "full"};
    const QList<int> some{1, 2, 7};
    QTest::addRow("random map at the threshold, cluster4")
            << random4 << full + QStringList{"--rule", "cluster4", "--cover", "8", "--lacunarity", "2,7,90"} << some;
    QTest::addRow("random map at the threshold, cluster8")
            << random8 << full + QStringList{"--rule", "cluster8", "--cover", "8"} << some;
    QTest::addRow("land cover, each class, cluster8")
            << cover << full + QStringList{"--rule", "cluster8", "--cover", "each", "--lacunarity", "3,64"} << some;
    QTest::addRow("land cover, a set of classes, square")
            << cover << QStringList{"--rule", "cluster4", "--cover", "2,3"} << QList<int>{3};
    QTest::addRow("text map, cluster4")
            << dir + "/text.txt" << full + QStringList{"--rule", "cluster4", "--cover", "1"} << QList<int>{4};
    QTest::addRow("more parts than rows, each class")
            << small << full + QStringList{"--rule", "cluster4", "--cover", "each"} << QList<int>{13, 20};
}

void TestSeams::sameTableForAnyBands()
{
    QFETCH(QString, map);
    QFETCH(QStringList, arguments);
    QFETCH(QList<int>, splits);
    QTemporaryDir dir;
    // The table and the patches of one pass.
    const Run one = percolate(arguments + QStringList{"-q", "--jobs", "1", "--table", "one.tsv", "--patches",
                                                      "one-patches.tsv", map},
                              dir.path());
    QCOMPARE(one.exitCode, 0);
    const QByteArray expected = readAll(dir.path() + "/one.tsv");
    const QByteArray patches = readAll(dir.path() + "/one-patches.tsv");
    QVERIFY(expected.count('\n') >= 2 && patches.count('\n') >= 2);
    for (const QString jobs : {"2", "3", "4"}) {
        const Run run = percolate(arguments + QStringList{"-q", "--jobs", jobs, "--table", "jobs.tsv", map}, dir.path());
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(readAll(dir.path() + "/jobs.tsv") == expected, qPrintable("--jobs " + jobs));
    }
    // Parts with the bands' patches in them, searched in one band or in
    // bands on several jobs (the same bytes; the merge searches them again
    // on others), merged in any order.
    for (const int parts : splits) {
        QStringList names;
        for (int k = 1; k <= parts; ++k) {
            const QString name = QStringLiteral("part-%1-%2.txt").arg(parts).arg(k);
            QByteArray written;
            for (const QString jobs : {"3", "1"}) {
                const Run run = percolate(arguments + QStringList{"-q", "--jobs", jobs, "--rows",
                                                                  QStringLiteral("%1/%2").arg(k).arg(parts),
                                                                  "--table", name, "--patches", name, map},
                                          dir.path());
                QVERIFY2(run.exitCode == 0, run.err.constData());
                QVERIFY2(written.isEmpty() || readAll(dir.path() + "/" + name) == written,
                         qPrintable(QStringLiteral("part %1 of %2 on 1 job and on 3").arg(k).arg(parts)));
                written = readAll(dir.path() + "/" + name);
            }
            names << name;
        }
        std::reverse(names.begin(), names.end());
        std::rotate(names.begin(), names.begin() + parts / 2, names.end());
        const Run merged = percolate(QStringList{"--merge", "-o", "merged.tsv", "--patches", "merged-patches.tsv",
                                                 "--jobs", "2"} + names,
                                     dir.path());
        QVERIFY2(merged.exitCode == 0, merged.err.constData());
        QVERIFY2(readAll(dir.path() + "/merged.tsv") == expected, qPrintable(QString::number(parts) + " parts"));
        QVERIFY2(readAll(dir.path() + "/merged-patches.tsv") == patches,
                 qPrintable(QString::number(parts) + " parts' patches"));
    }
}

// Patches and cluster maps of a map searched in bands: the bytes of one
// band for any number (tst_patches checks them against SciPy).
void TestSeams::samePatchesAndMapsForAnyBands_data()
{
    QTest::addColumn<QString>("map");
    QTest::addColumn<QStringList>("arguments");
    RasterFixture::Options nodata;
    nodata.nodata = 255;
    RasterFixture::Options tiled = nodata;
    tiled.tiled = true;
    tiled.blockSize = 32;
    tiled.transform = std::array<double, 6>{500000, 30, 0, 4100000, 0, -30};
    const QString dir = m_dir.path();
    const QString random4 = RasterFixture::writeRaster(dir + "/patches4.tif", randomMap(300, 217, 0.5927, 6), nodata);
    const QString random8 = RasterFixture::writeRaster(dir + "/patches8.tif", randomMap(290, 150, 0.407, 7), tiled);
    const QString cover = RasterFixture::writeRaster(dir + "/patchcover.tif", landCover(280, 250, 8), tiled);
    const QString shapes = RasterFixture::writeRaster(dir + "/shapes.tif", spiralsAndCombs(301, 160), nodata);
    const QStringList full{"--extent", "full", "--table", "t.tsv", "--lacunarity", "3,40"};
    QTest::addRow("random map at the threshold, cluster4, ids")
            << random4 << full + QStringList{"--rule", "cluster4", "--cover", "8", "--values", "id"};
    QTest::addRow("random map at the threshold, cluster8, sizes")
            << random8 << full + QStringList{"--rule", "cluster8", "--cover", "8", "--min-cells", "3"};
    QTest::addRow("land cover, each class, cluster8, ids")
            << cover << full + QStringList{"--rule", "cluster8", "--cover", "each", "--values", "id"};
    QTest::addRow("spirals and combs, cluster4, ids") << shapes << full + QStringList{"--rule", "cluster4", "--cover", "8",
                                                                                        "--values", "id"};
    QTest::addRow("spirals and combs, cluster8, a square, sizes")
            << shapes << QStringList{"--rule", "cluster8", "--cover", "8", "--table", "t.tsv"};
}

void TestSeams::samePatchesAndMapsForAnyBands()
{
    QFETCH(QString, map);
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    // With maps the bands are walked one after the other; patches alone are
    // walked a band on each job.
    const auto outputs = [&](const QString &jobs, bool maps) {
        const QString name = arguments.contains("each") ? "map-{cover}.tif" : "map-whole.tif";
        QStringList asked = arguments;
        const qsizetype values = asked.indexOf("--values");
        if (!maps && values >= 0)
            asked.remove(values, 2);
        const Run run = percolate(asked + QStringList{"-q", "--jobs", jobs, "--patches", "p.tsv"}
                                          + (maps ? QStringList{"--cluster-map", name} : QStringList()) + QStringList{map},
                                  dir.path());
        QByteArrayList bytes{run.exitCode == 0 ? QByteArray() : run.err, readAll(dir.path() + "/p.tsv"),
                             readAll(dir.path() + "/t.tsv")};
        for (const QString &name : QDir(dir.path()).entryList({"map-*.tif"}, QDir::Files, QDir::Name))
            bytes << name.toUtf8() << readAll(dir.path() + "/" + name);
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        return bytes;
    };
    const QByteArrayList one = outputs("1", true);
    QVERIFY2(one[0].isEmpty(), one[0].constData());
    QVERIFY(one[1].count('\n') >= 3 && one.size() >= 5);
    for (const QString jobs : {"2", "3", "4"}) {
        const bool maps = jobs != QLatin1String("3");
        const QByteArrayList bands = outputs(jobs, maps);
        QCOMPARE(bands.size(), maps ? one.size() : 3);
        for (qsizetype i = 0; i < bands.size(); ++i)
            QVERIFY2(bands[i] == one[i], qPrintable(QStringLiteral("--jobs %1, output %2").arg(jobs).arg(i)));
    }
}

void TestSeams::partsThatMakeNoWholeAreRefused()
{
    QTemporaryDir dir;
    const QString map = RasterFixture::writeRaster(dir.path() + "/map.tif", randomMap(200, 120, 0.6, 5));
    const QString other = RasterFixture::writeRaster(dir.path() + "/other.tif", randomMap(200, 120, 0.6, 6));
    const auto part = [&](const QString &k, const QString &name, const QStringList &more = {}) {
        return percolate(QStringList{"-q", "--extent", "full", "--cover", "8", "--rows", k, "--table", name} + more
                                 + QStringList{map},
                         dir.path())
                .exitCode;
    };
    QCOMPARE(part("1/3", "a.txt"), 0);
    QCOMPARE(part("2/3", "b.txt"), 0);
    QCOMPARE(part("3/3", "c.txt"), 0);
    QCOMPARE(part("2/3", "cover.txt", {"--rule", "cluster8"}), 0);
    QCOMPARE(percolate({"-q", "--extent", "full", "--cover", "8", "--rows", "2/3", "--table", "list.txt", map, other},
                       dir.path())
                     .exitCode,
             0);
    const QByteArray whole = readAll(dir.path() + "/b.txt");
    QVERIFY(TestUtil::writeFile(dir.path() + "/cut-line.txt", whole.left(whole.lastIndexOf("end\t"))));
    QVERIFY(TestUtil::writeFile(dir.path() + "/cut-seam.txt", whole.left(whole.size() / 2)));
    QByteArray damaged = whole;
    damaged.replace("options\t", "opt\t");
    QVERIFY(TestUtil::writeFile(dir.path() + "/damaged.txt", damaged));

    struct Case
    {
        const char *name;
        QStringList parts;
        const char *says;
    };
    const Case cases[] = {
            {"a part missing", {"a.txt", "c.txt"}, "missing"},
            {"a part twice", {"a.txt", "b.txt", "b.txt", "c.txt"}, "twice"},
            {"a part of another rule", {"a.txt", "cover.txt", "c.txt"}, "a.txt"},
            {"a part of another list", {"a.txt", "list.txt", "c.txt"}, "a.txt"},
            {"a part cut at a line's end", {"a.txt", "cut-line.txt", "c.txt"}, "cut-line.txt"},
            {"a part cut inside its seams", {"a.txt", "cut-seam.txt", "c.txt"}, "cut-seam.txt"},
            {"a damaged options line", {"damaged.txt", "a.txt", "c.txt"}, "damaged.txt"},
    };
    for (const Case &c : cases) {
        const Run run = percolate(QStringList{"--merge", "-o", "merged.tsv"} + c.parts, dir.path());
        QVERIFY2(run.exitCode == 1, c.name);
        QVERIFY2(run.err.contains(c.says), qPrintable(QString(c.name) + ": " + run.err));
        QVERIFY2(!QFile::exists(dir.path() + "/merged.tsv"), c.name);
    }
    // Patches: parts that hold none, a map gone before the merge reads the
    // bands of the patches that cross the seams again, damaged patches.
    const QString moved = dir.path() + "/moved.tif";
    QVERIFY(QFile::copy(map, moved));
    for (const QString k : {"1", "2", "3"}) {
        QCOMPARE(percolate({"-q", "--extent", "full", "--cover", "8", "--rows", k + "/3", "--table", "p" + k + ".txt",
                            "--patches", "p" + k + ".txt", moved},
                           dir.path())
                         .exitCode,
                 0);
    }
    QVERIFY(QFile::remove(moved));
    QByteArray patchPart = readAll(dir.path() + "/p2.txt");
    const qsizetype line = patchPart.indexOf("\npatches\t") + 9;
    QVERIFY(line > 9);
    patchPart[line + 4] = patchPart[line + 4] == 'A' ? 'B' : 'A';
    patchPart.insert(line + 4, "%");
    QVERIFY(TestUtil::writeFile(dir.path() + "/p2-damaged.txt", patchPart));
    // A seam whose parts of patches are not numbered in row order (as parts
    // written before were): the second round would take them for others.
    QByteArray earlier = readAll(dir.path() + "/p2.txt");
    const qsizetype seamAt = earlier.indexOf("\nseam\t") + 6;
    const qsizetype seamEnd = earlier.indexOf('\n', seamAt);
    std::optional<BandSeam> seam = BandSeam::read(QByteArray::fromBase64(earlier.mid(seamAt, seamEnd - seamAt)), nullptr);
    QVERIFY(seam && seam->inRowOrder() && seam->open.size() > 1);
    std::reverse(seam->open.begin(), seam->open.end());
    for (BandSeam::Row *row : {&seam->top, &seam->bottom})
        for (quint32 &label : row->label)
            label = quint32(seam->open.size()) - 1 - label;
    earlier.replace(seamAt, seamEnd - seamAt, seam->write().toBase64());
    QVERIFY(TestUtil::writeFile(dir.path() + "/p2-earlier.txt", earlier));
    const Case patchCases[] = {
            {"parts of patches out of row order", {"p1.txt", "p2-earlier.txt", "p3.txt"}, "p2-earlier.txt"},
            {"patches from parts without them", {"a.txt", "b.txt", "c.txt"}, "no patches"},
            {"patches of a map gone", {"p1.txt", "p2.txt", "p3.txt"}, "moved.tif"},
            {"damaged patches", {"p1.txt", "p2-damaged.txt", "p3.txt"}, "p2-damaged.txt"},
    };
    for (const Case &c : patchCases) {
        const Run run = percolate(QStringList{"--merge", "-o", "merged.tsv", "--patches", "mp.tsv"} + c.parts,
                                  dir.path());
        QVERIFY2(run.exitCode == 1, c.name);
        QVERIFY2(run.err.contains(c.says), qPrintable(QString(c.name) + ": " + run.err));
        QVERIFY2(!QFile::exists(dir.path() + "/merged.tsv") && !QFile::exists(dir.path() + "/mp.tsv"), c.name);
    }
    // What --rows cannot split.
    for (const QStringList &usage : {QStringList{"--rows", "1/2", map}, QStringList{"--rows", "1/2", "--table", "t",
                                                                                     "--patches", "p", map},
                                     QStringList{"--merge", "--patches", "p", map} /* no rows part */,
                                     QStringList{"--rows", "3/2", "--table", "t", map},
                                     QStringList{"--rows", "1/2", "--table", "t", "--rule", "walk", map}}) {
        const Run run = percolate(usage, dir.path());
        QVERIFY2(run.exitCode == 2 && !run.err.isEmpty(), qPrintable(usage.join(' ')));
    }
}

void TestSeams::partsAreBoundedByTheWidth()
{
    // A part holds its band's outer rows and their clusters: as much for a
    // map of 30 rows as for one of 3000.
    QTemporaryDir dir;
    qint64 sizes[2] = {};
    int i = 0;
    for (const int rows : {30, 3000}) {
        const QString map = RasterFixture::writeRaster(dir.path() + QStringLiteral("/map%1.tif").arg(rows),
                                                       randomMap(rows, 100, 0.5927, 7));
        QCOMPARE(percolate({"-q", "--extent", "full", "--cover", "8", "--rows", "2/3", "--table", "part.txt", map},
                           dir.path())
                         .exitCode,
                 0);
        sizes[i++] = QFileInfo(dir.path() + "/part.txt").size();
    }
    QVERIFY2(sizes[1] < 2 * sizes[0], qPrintable(QStringLiteral("%1 and %2 bytes").arg(sizes[0]).arg(sizes[1])));
}

QTEST_GUILESS_MAIN(TestSeams)
#include "tst_seams.moc"
