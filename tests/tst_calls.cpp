// The engine as calls (what the Python and R bindings call): a grid in
// memory, of every type and layout, gives the rows vantrix-percolate writes
// for the same landscape as a GeoTIFF; label() the maps --cluster-map writes; failures
// are told apart.
#include "calls.h"
#include "rasterfixture.h"
#include "tsv.h"

#include <gdal.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <random>

namespace {

// The table's text, as the program writes it, from columns.
QByteArray text(const TableColumns &table)
{
    QByteArrayList names;
    for (const auto &column : table.columns())
        names << column.name;
    Tsv::Row rows;
    for (qint64 r = 0; r < table.rows(); ++r) {
        for (const auto &column : table.columns()) {
            if (column.kind == TableColumns::Integer)
                rows.number(column.integers[size_t(r)]);
            else if (column.kind == TableColumns::Real)
                rows.real(column.reals[size_t(r)]);
            else
                rows.text(column.texts[r]);
        }
        rows.end();
    }
    return names.join('\t') + '\n' + QByteArray(rows.data(), rows.size());
}

QByteArray program(const QStringList &arguments)
{
    QProcess p;
    p.start(QStringLiteral(VANTRIX_PERCOLATE), arguments);
    p.waitForFinished(-1);
    return p.readAllStandardOutput();
}

template <typename T>
std::shared_ptr<MemoryGrid> gridOf(const std::vector<std::vector<int>> &rows, MemoryGrid::Type type,
                                   std::vector<char> &storage, bool transposed)
{
    auto grid = std::make_shared<MemoryGrid>();
    grid->type = type;
    grid->rows = qint64(rows.size());
    grid->columns = qint64(rows[0].size());
    storage.assign(size_t(grid->rows * grid->columns) * sizeof(T), 0);
    // Transposed: stored column-major (R's matrices, NumPy's F order).
    grid->rowStride = transposed ? qint64(sizeof(T)) : grid->columns * qint64(sizeof(T));
    grid->columnStride = transposed ? grid->rows * qint64(sizeof(T)) : qint64(sizeof(T));
    for (qint64 r = 0; r < grid->rows; ++r) {
        for (qint64 c = 0; c < grid->columns; ++c) {
            const T v = T(rows[size_t(r)][size_t(c)]);
            std::memcpy(storage.data() + r * grid->rowStride + c * grid->columnStride, &v, sizeof v);
        }
    }
    grid->data = storage.data();
    return grid;
}

} // namespace

class TestCalls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void gridsGiveTheProgramsRows_data();
    void gridsGiveTheProgramsRows();
    void labelsAreTheProgramsMaps_data();
    void labelsAreTheProgramsMaps();
    void failuresAreToldApart_data();
    void failuresAreToldApart();

private:
    QTemporaryDir m_dir;
    std::vector<std::vector<int>> m_classes; // classes 1 to 4, 9 standing for no value
    QString m_raster;
    // Taller, for bands: class 1 a third of the cells, 3 and 4 as much
    // between them (together near the threshold), 2 the rest.
    static constexpr int TallRows = 263, TallColumns = 61;
    std::vector<std::vector<int>> m_tall;
    QString m_tallRaster;
};

void TestCalls::initTestCase()
{
    QVERIFY(m_dir.isValid());
    std::mt19937 rng(3);
    m_classes.assign(37, std::vector<int>(53));
    for (auto &row : m_classes) {
        for (int &v : row)
            v = rng() % 10 == 0 ? 9 : 1 + int(rng() % 4);
    }
    RasterFixture::Options options;
    options.nodata = 9;
    options.transform = std::array<double, 6>{500000, 30, 0, 6000000, 0, -30};
    m_raster = RasterFixture::writeRaster(m_dir.filePath(QStringLiteral("classes.tif")), RasterFixture::fromInts(m_classes),
                                          options);
    QVERIFY(!m_raster.isEmpty());
    m_tall.assign(TallRows, std::vector<int>(TallColumns));
    for (auto &row : m_tall) {
        for (int &v : row) {
            const unsigned draw = rng() % 60;
            v = draw < 2 ? 9 : draw < 20 ? 1 : draw < 30 ? 3 : draw < 38 ? 4 : 2;
        }
    }
    m_tallRaster = RasterFixture::writeRaster(m_dir.filePath(QStringLiteral("tall.tif")), RasterFixture::fromInts(m_tall),
                                              options);
    QVERIFY(!m_tallRaster.isEmpty());
}

void TestCalls::gridsGiveTheProgramsRows_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("transposed");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("cover");
    QTest::newRow("int8, cluster4, one class") << int(MemoryGrid::Int8) << false << "cluster4" << "2";
    QTest::newRow("uint16 column-major, cluster8, each") << int(MemoryGrid::UInt16) << true << "cluster8" << "each";
    QTest::newRow("int32, cluster4, each") << int(MemoryGrid::Int32) << false << "cluster4" << "each";
    QTest::newRow("uint64, cluster8, a set") << int(MemoryGrid::UInt64) << false << "cluster8" << "1,3-4";
    QTest::newRow("float64 column-major, cluster4, each") << int(MemoryGrid::Float64) << true << "cluster4" << "each";
}

void TestCalls::gridsGiveTheProgramsRows()
{
    QFETCH(int, type);
    QFETCH(bool, transposed);
    QFETCH(QString, rule);
    QFETCH(QString, cover);
    std::vector<char> storage;
    std::shared_ptr<MemoryGrid> grid;
    switch (MemoryGrid::Type(type)) {
    case MemoryGrid::Int8: grid = gridOf<qint8>(m_classes, MemoryGrid::Int8, storage, transposed); break;
    case MemoryGrid::UInt16: grid = gridOf<quint16>(m_classes, MemoryGrid::UInt16, storage, transposed); break;
    case MemoryGrid::Int32: grid = gridOf<qint32>(m_classes, MemoryGrid::Int32, storage, transposed); break;
    case MemoryGrid::UInt64: grid = gridOf<quint64>(m_classes, MemoryGrid::UInt64, storage, transposed); break;
    default: grid = gridOf<double>(m_classes, MemoryGrid::Float64, storage, transposed); break;
    }
    grid->nodata = 9;
    grid->geo.projection = "EPSG:32633";
    grid->geo.hasTransform = true;
    const double transform[6] = {500000, 30, 0, 6000000, 0, -30};
    std::copy(transform, transform + 6, grid->geo.transform);
    // The raster has a geotransform but no coordinate system: sizes in
    // cells, centroids in its coordinates; so has this grid.
    std::shared_ptr<MemoryGrid> plain = std::make_shared<MemoryGrid>(*grid);
    plain->geo.projection.clear();
    const Calls::Options options{{"cover", cover}, {"rule", rule}, {"extent", "full"}, {"lacunarity", "2,5"}};
    Calls::Notes notes;
    const QStringList common{"-q", "--cover", cover, "--rule", rule, "--extent", "full", "-o", "/dev/null"};
    QByteArray expected = program(common + QStringList{"--table", "-", "--lacunarity", "2,5", m_raster});
    expected.replace(m_raster.toUtf8(), "");
    QCOMPARE(text(Calls::clusters({{}, plain}, options, notes)), expected);
    expected = program(common + QStringList{"--patches", "-", m_raster});
    expected.replace(m_raster.toUtf8(), "");
    QCOMPARE(text(Calls::patches({{}, plain}, {{"cover", cover}, {"rule", rule}, {"extent", "full"}}, notes)), expected);
    // With its coordinate system, areas are square metres.
    const TableColumns metres = Calls::patches({{}, grid}, {{"cover", cover}, {"rule", rule}, {"extent", "full"}}, notes);
    const auto &area = metres.columns()[6];
    QCOMPARE(area.name, QByteArray("area"));
    QCOMPARE(area.reals.front(), 900.0 * double(metres.columns()[5].integers.front()));
}

void TestCalls::labelsAreTheProgramsMaps_data()
{
    QTest::addColumn<QString>("cover");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("values");
    QTest::addColumn<QString>("jobs");
    // Two jobs and more search the rows in bands of at least 64, joined
    // along their seams.
    QTest::newRow("one class, cluster4, ids") << "2" << "cluster4" << "id" << "1";
    QTest::newRow("one class, cluster8, sizes, 3 bands") << "3" << "cluster8" << "size" << "3";
    QTest::newRow("a set, cluster4, ids, 4 bands") << "1,3-4" << "cluster4" << "id" << "4";
    QTest::newRow("a set, cluster8, ids, 2 bands") << "1,3-4" << "cluster8" << "id" << "2";
    QTest::newRow("each, cluster4, ids, 3 bands") << "each" << "cluster4" << "id" << "3";
    QTest::newRow("each, cluster8, sizes") << "each" << "cluster8" << "size" << "1";
    QTest::newRow("each, cluster8, ids, 4 bands") << "each" << "cluster8" << "id" << "4";
}

// label() fills memory as the search runs; the program's --cluster-map
// walks its records back from the bottom: the same cells either way.
void TestCalls::labelsAreTheProgramsMaps()
{
    QFETCH(QString, cover);
    QFETCH(QString, rule);
    QFETCH(QString, values);
    QFETCH(QString, jobs);
    const bool each = cover == QLatin1String("each");
    std::vector<char> storage;
    auto grid = gridOf<qint32>(m_tall, MemoryGrid::Int32, storage, false);
    grid->nodata = 9;
    Calls::Notes notes;
    std::map<qint32, std::vector<quint32>> maps;
    Calls::label({{}, grid}, {{"cover", cover}, {"rule", rule}, {"values", values}, {"extent", "full"}, {"jobs", jobs}},
                 [&maps](std::optional<qint32> coverClass, qint64 rows, qint64 columns, bool wide) -> void * {
                     if (wide)
                         throw std::runtime_error("a narrow map was asked for");
                     std::vector<quint32> &map = maps[coverClass.value_or(0)];
                     map.assign(size_t(rows * columns), 7); // every cell must be written
                     return map.data();
                 },
                 notes);
    QCOMPARE(maps.size(), size_t(each ? 4 : 1));
    const QString name = m_dir.filePath(QStringLiteral("map-%1-%2-%3%4.tif")
                                                .arg(QString(cover).replace(QLatin1Char(','), QLatin1Char('_')), rule, values,
                                                     each ? QStringLiteral("-{cover}") : QString()));
    program({QStringLiteral("-q"), QStringLiteral("--cover"), cover, QStringLiteral("--rule"), rule,
         QStringLiteral("--extent"), QStringLiteral("full"), QStringLiteral("--cluster-map"), name,
         QStringLiteral("--values"), values, m_tallRaster});
    for (const auto &[cls, map] : maps) {
        const QString path = QString(name).replace(QStringLiteral("{cover}"), QString::number(cls));
        GDALDatasetH ds = GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
        QVERIFY2(ds, qPrintable(path));
        std::vector<quint32> written(map.size());
        const CPLErr read = GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Read, 0, 0, TallColumns, TallRows, written.data(),
                                         TallColumns, TallRows, GDT_UInt32, 0, 0);
        GDALClose(ds);
        QCOMPARE(read, CE_None);
        for (size_t i = 0; i < map.size(); ++i)
            QVERIFY2(map[i] == written[i], qPrintable(QStringLiteral("class %1, row %2, column %3: %4, want %5")
                                                              .arg(cls).arg(i / TallColumns).arg(i % TallColumns).arg(map[i]).arg(written[i])));
    }
}

void TestCalls::failuresAreToldApart_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("value");
    QTest::addColumn<double>("nodata");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("says");
    QTest::newRow("a cover that is none") << QByteArray() << "cover" << "1--" << 0.0 << int(Calls::Error::Usage)
                                          << "cover";
    QTest::newRow("the walk over the full extent") << QByteArray() << "rule" << "walk" << 0.0
                                                   << int(Calls::Error::Usage) << "--extent full";
    QTest::newRow("nodata outside int8") << QByteArray() << "cover" << "1" << 300.0 << int(Calls::Error::Usage)
                                         << "nodata value 300";
    QTest::newRow("a missing file") << QByteArray("/nonexistent/map.tif") << "cover" << "1" << 0.0
                                    << int(Calls::Error::File) << "/nonexistent/map.tif";
}

void TestCalls::failuresAreToldApart()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, option);
    QFETCH(QString, value);
    QFETCH(double, nodata);
    QFETCH(int, kind);
    QFETCH(QString, says);
    std::vector<char> storage;
    auto grid = gridOf<qint8>(m_classes, MemoryGrid::Int8, storage, false);
    if (nodata != 0)
        grid->nodata = nodata;
    Calls::Landscapes landscapes;
    if (path.isEmpty())
        landscapes.grid = grid;
    else
        landscapes.paths = {path};
    Calls::Notes notes;
    try {
        Calls::clusters(landscapes, {{option, value}, {"extent", "full"}}, notes);
        QFAIL("no failure");
    } catch (const Calls::Error &e) {
        QCOMPARE(int(e.kind()), kind);
        QVERIFY2(QString::fromUtf8(e.what()).contains(says), e.what());
    }
}

QTEST_GUILESS_MAIN(TestCalls)
#include "tst_calls.moc"
