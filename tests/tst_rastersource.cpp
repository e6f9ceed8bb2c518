// RasterSource: which files are rasters, the cells read from them under every
// data type, layout, compression and nodata, masks and bands, hostile files
// (each in a child process, bounded in time and memory), plain-text
// landscapes that must stay text, reading from several threads, and that GDAL
// prints nothing meanwhile.
#include "cellcodes.h"
#include "coverset.h"
#include "rasterfixture.h"
#include "rastersource.h"
#include "testutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using RasterFixture::Grid;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// What reading every cell of a raster gives.
struct Cells
{
    std::vector<qint32> values;
    std::vector<quint8> present;
};

// The expected cells of a grid: a value is present when it is no nodata, is
// integral and lies in the signed 32-bit range.
Cells expectedCells(const Grid &grid, std::optional<double> nodata, qint64 first = 0, qint64 lines = -1,
                    qint64 columns = -1)
{
    Cells cells;
    if (lines < 0)
        lines = qint64(grid.size()) - first;
    if (columns < 0)
        columns = grid.empty() ? 0 : qint64(grid[0].size());
    for (qint64 r = first; r < first + lines; ++r) {
        for (qint64 c = 0; c < columns; ++c) {
            const double v = grid[size_t(r)][size_t(c)];
            const bool ok = !(nodata && (v == *nodata || (std::isnan(v) && std::isnan(*nodata))))
                    && v >= -2147483648.0 && v <= 2147483647.0 && v == std::trunc(v);
            cells.values.push_back(ok ? qint32(v) : 0);
            cells.present.push_back(ok);
        }
    }
    return cells;
}

// The cell codes of expected cells for a cover: no value where none is
// present, else habitat where the value lies in one of the cover's ranges
// (tested here range by range, not through CoverSet::contains).
std::vector<qint8> habitatOf(const Cells &cells, const CoverSet &cover)
{
    std::vector<qint8> out;
    for (size_t i = 0; i < cells.values.size(); ++i) {
        bool inCover = false;
        for (const auto &range : cover.ranges())
            inCover = inCover || (cells.values[i] >= range.first && cells.values[i] <= range.second);
        out.push_back(!cells.present[i] ? CellCode::NoValue : inCover ? CellCode::Habitat : CellCode::Matrix);
    }
    return out;
}

std::vector<qint8> habitatOf(const Cells &cells, qint32 cover)
{
    return habitatOf(cells, CoverSet(cover));
}

CoverSet coverOf(const char *text)
{
    QString error;
    const std::optional<CoverSet> cover = CoverSet::parse(QString::fromLatin1(text), &error);
    if (!cover)
        qFatal("bad cover %s: %s", text, qPrintable(error));
    return *cover;
}

QByteArray toText(const std::vector<qint32> &v)
{
    QByteArray out;
    for (qint32 x : v)
        out += QByteArray::number(x) + ' ';
    return out;
}

template <typename T>
QByteArray toText(const std::vector<T> &v)
{
    QByteArray out;
    for (T x : v)
        out += x < 0 ? QByteArray("-") : QByteArray::number(int(x)); // CellCode::NoValue as '-'
    return out;
}

// The lines [first, first + lines) as byte values, in strips of 1 to 5
// lines, against want (the same lines as readValues() gives): empty when
// they agree, or when the raster's values are no bytes and it says so.
QString byteValuesDiffer(RasterSource &source, qint64 first, qint64 lines, qint64 columns, const Cells &want,
                         bool bytes)
{
    if (source.valuesAreBytes() != bytes)
        return QStringLiteral("values are bytes: %1").arg(source.valuesAreBytes());
    std::vector<quint8> values(size_t(lines * columns), 9);
    std::vector<quint8> present(size_t(lines * columns), 9);
    QString error;
    if (!bytes) {
        const bool read = source.readByteValues(first, lines, columns, values.data(), present.data(), &error);
        return read || error.isEmpty() ? QStringLiteral("bytes read from a raster of other values") : QString();
    }
    for (qint64 line = 0, n = 1; line < lines; line += n, n = n % 5 + 1) {
        n = std::min(n, lines - line);
        if (!source.readByteValues(first + line, n, columns, values.data() + line * columns,
                                   present.data() + line * columns, &error))
            return error;
    }
    const std::vector<qint32> widened(values.begin(), values.end());
    if (toText(widened) != toText(want.values) || toText(present) != toText(want.present))
        return QStringLiteral("byte values %1, present %2").arg(QString::fromLatin1(toText(widened)),
                                                                  QString::fromLatin1(toText(present)));
    return QString();
}

// The raster drivers RasterSource lets GDAL use.
std::vector<std::string> allowedDrivers()
{
    QStringList excluded;
    for (const QString &e : RasterSource::excludedDrivers())
        excluded << e.section(QLatin1Char(':'), 0, 0);
    std::vector<std::string> names;
    for (int i = 0; i < GDALGetDriverCount(); ++i) {
        GDALDriverH d = GDALGetDriver(i);
        const QString name = QString::fromUtf8(GDALGetDriverShortName(d));
        if (GDALGetMetadataItem(d, GDAL_DCAP_RASTER, nullptr) && !excluded.contains(name, Qt::CaseInsensitive))
            names.push_back(name.toStdString());
    }
    return names;
}

// Whether GDAL itself, restricted to the given drivers, takes path for a
// raster (opens it, or fails on it).
bool gdalClaims(const QByteArray &path, const std::vector<std::string> &drivers, QByteArray *how = nullptr)
{
    std::vector<const char *> list;
    for (const std::string &d : drivers)
        list.push_back(d.c_str());
    list.push_back(nullptr);
    CPLErrorReset();
    if (GDALDatasetH ds = GDALOpenEx(path.constData(), GDAL_OF_RASTER | GDAL_OF_READONLY, list.data(), nullptr, nullptr)) {
        if (how)
            *how = "opened by " + QByteArray(GDALGetDriverShortName(GDALGetDatasetDriver(ds)));
        GDALClose(ds);
        return true;
    }
    if (CPLGetLastErrorType() >= CE_Failure) {
        if (how)
            *how = "failed: " + QByteArray(CPLGetLastErrorMsg());
        return true;
    }
    return false;
}

// A job run in a child process with standard output and error caught: its
// result, what it printed, its peak memory and time.
struct Isolated
{
    bool finished = false;
    QByteArray result;
    QByteArray printed;
    qint64 peakKb = 0;
    qint64 millis = 0;
};

Isolated runIsolated(const std::function<QByteArray()> &job, const QString &printFile, int seconds = 60)
{
    Isolated out;
    int fds[2];
    if (pipe(fds) != 0)
        return out;
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        const int sink = ::open(QFile::encodeName(printFile).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(sink, 1);
        dup2(sink, 2);
        alarm(unsigned(seconds));
        const QByteArray result = job();
        qint64 written = 0;
        while (written < result.size()) {
            const ssize_t n = ::write(fds[1], result.constData() + written, size_t(result.size() - written));
            if (n <= 0)
                break;
            written += n;
        }
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    ::close(fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        out.result.append(buffer, qsizetype(n));
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    out.millis = timer.elapsed();
    out.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!out.finished)
        out.result += WIFSIGNALED(status) ? " (killed by signal " + QByteArray::number(WTERMSIG(status)) + ")" : " (exit status)";
    out.peakKb = usage.ru_maxrss;
    QFile printed(printFile);
    if (printed.open(QIODevice::ReadOnly))
        out.printed = printed.readAll();
    return out;
}

// Opens path and reads up to 4096 lines and columns of it in strips, as the
// programs do: "not a raster", "failed: why", "opened; read ok" or
// "opened; read failed: why".
QByteArray openAndRead(const QByteArray &path, int band = 1)
{
    RasterSource source;
    QString error;
    switch (source.open(path, band, &error)) {
    case RasterSource::NotRaster: return "not a raster";
    case RasterSource::Failed: return "failed: " + error.toUtf8();
    case RasterSource::Opened: break;
    }
    const qint64 lines = std::min<qint64>(source.height(), 4096);
    const qint64 columns = std::min<qint64>(source.width(), 4096);
    const qint64 strip = std::min(source.blockHeight(), lines);
    std::vector<qint8> cells(size_t(strip * columns));
    for (qint64 line = 0; line < lines; line += strip) {
        const qint64 n = std::min(strip, lines - line);
        if (!source.readHabitat(line, n, columns, CoverSet(1), cells.data(), &error))
            return "opened; read failed: " + error.toUtf8();
    }
    return "opened; read ok";
}


// GDAL's own 64-bit reading of an ESRI grid: each cell holds a value when
// GDAL's double is an integer of 32 bits and not the nodata value. False if
// GDAL cannot read it.
bool gdalEsriCells(const QByteArray &path, Cells &cells)
{
    CPLSetThreadLocalConfigOption("AAIGRID_DATATYPE", "Float64");
    const char *const drivers[] = {"AAIGrid", nullptr};
    GDALDatasetH ds = GDALOpenEx(path.constData(), GDAL_OF_RASTER | GDAL_OF_READONLY, drivers, nullptr, nullptr);
    CPLSetThreadLocalConfigOption("AAIGRID_DATATYPE", nullptr);
    if (!ds)
        return false;
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    const int width = GDALGetRasterXSize(ds);
    const int height = GDALGetRasterYSize(ds);
    std::vector<double> values(size_t(width) * size_t(height));
    const bool ok = GDALRasterIO(band, GF_Read, 0, 0, width, height, values.data(), width, height, GDT_Float64, 0, 0)
            == CE_None;
    int hasNodata = 0;
    const double nodata = GDALGetRasterNoDataValue(band, &hasNodata);
    GDALClose(ds);
    if (!ok)
        return false;
    cells = Cells();
    for (double v : values) {
        const bool present = !(hasNodata && v == nodata) && v >= -2147483648.0 && v <= 2147483647.0 && v == std::trunc(v);
        cells.values.push_back(present ? qint32(v) : 0);
        cells.present.push_back(present);
    }
    return true;
}

// Random plain-text landscapes in one of the ways such files are written.
QByteArray randomLandscape(QRandomGenerator &rng, const QByteArray &flavour)
{
    const int rows = flavour == "one line" ? 1 : 1 + int(rng.bounded(120));
    const int cols = 1 + int(rng.bounded(flavour == "long lines" ? 400 : 120));
    const QByteArray eol = flavour == "CR LF" ? "\r\n" : "\n";
    QByteArray text;
    if (flavour == "header lines") {
        static const char *headers[] = {"landscape 12", "# habitat map", "x y value", "rows 64 cols 64",
                                        "cover 0.5927", "generated by make_inputs.py", "id x y z", "Grid 1 2 3"};
        for (int h = 0, n = 1 + int(rng.bounded(3)); h < n; ++h)
            text += QByteArray(headers[rng.bounded(8)]) + eol;
    }
    for (int r = 0; r < rows; ++r) {
        const int n = flavour == "ragged rows" ? 1 + int(rng.bounded(cols)) : cols;
        for (int c = 0; c < n; ++c) {
            qint64 v = rng.bounded(2);
            if (flavour == "wide values")
                v = qint64(rng.generate()) - 2147483648LL;
            else if (flavour == "negative values")
                v = qint64(rng.bounded(2000)) - 1000;
            else if (flavour == "years")
                v = 1900 + qint64(rng.bounded(200));
            QByteArray field = QByteArray::number(v);
            if (flavour == "right-aligned columns")
                field = field.rightJustified(6, ' ');
            else if (c > 0)
                text += flavour == "tabs" ? "\t" : flavour == "repeated blanks" ? QByteArray(1 + int(rng.bounded(5)), ' ') : " ";
            text += field;
        }
        if (flavour != "no trailing blank" && rng.bounded(2))
            text += ' ';
        if (r + 1 < rows || rng.bounded(4))
            text += eol;
    }
    return text;
}

} // namespace

class TestRasterSource : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readsCells_data();
    void readsCells();
    void validity_data();
    void validity();
    void esriValues_data();
    void esriValues();
    void esriAgainstGdal_data();
    void esriAgainstGdal();
    void esriRowsReadAgain();
    void masks_data();
    void masks();
    void bands_data();
    void bands();
    void badArguments_data();
    void badArguments();
    void hostile_data();
    void hostile();
    void notRaster_data();
    void notRaster();
    void randomText_data();
    void randomText();
    void threads();
    void printsNothing();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestRasterSource::initTestCase()
{
    QVERIFY(dir.isValid());
    RasterSource::gdalVersion();
}

void TestRasterSource::printsNothing()
{
    // The tests that read in this process, run again by a child whose standard
    // error is kept apart (QtTest reports on standard output): GDAL must not
    // have printed a word. The tests run in children check both outputs.
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {"readsCells", "validity", "esriValues", "esriAgainstGdal", "esriRowsReadAgain", "masks", "bands",
                 "badArguments", "threads"});
    QVERIFY(child.waitForFinished(300000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(child.readAllStandardError(), QByteArray());
}

void TestRasterSource::readsCells_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("tiled");
    QTest::addColumn<QByteArray>("compression");
    QTest::addColumn<bool>("withNodata");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");

    const struct
    {
        GDALDataType type;
        const char *name;
    } types[] = {{GDT_Byte, "Byte"},   {GDT_Int16, "Int16"},     {GDT_UInt16, "UInt16"},
                 {GDT_Int32, "Int32"}, {GDT_Float32, "Float32"}, {GDT_Float64, "Float64"}};
    int shape = 0;
    const auto add = [&](const char *format, GDALDataType type, const char *typeName, bool tiled,
                         const char *compression, bool nodata) {
        // Wider and taller rasters by turns, never a multiple of the block size.
        const int width = shape % 2 ? 37 : 19;
        const int height = shape % 2 ? 23 : 53;
        ++shape;
        QTest::addRow("%s %s %s%s%s%s, %dx%d", format, typeName, tiled ? "tiled" : "striped",
                      *compression ? " " : "", compression, nodata ? ", nodata" : "", width, height)
                << QByteArray(format) << int(type) << tiled << QByteArray(compression) << nodata << width << height;
    };
    for (const auto &t : types) {
        for (bool tiled : {false, true}) {
            for (const char *compression : {"", "LZW", "DEFLATE"}) {
                for (bool nodata : {false, true})
                    add("GTiff", t.type, t.name, tiled, compression, nodata);
            }
        }
    }
    for (const auto &t : types) {
        for (bool nodata : {false, true})
            add("AAIGrid", t.type, t.name, false, "", nodata);
    }
    for (const auto &t : types) {
        add("HFA", t.type, t.name, true, "", true);
        add("ENVI", t.type, t.name, false, "", t.type != GDT_Byte);
    }
}

void TestRasterSource::readsCells()
{
    QFETCH(QByteArray, format);
    QFETCH(int, type);
    QFETCH(bool, tiled);
    QFETCH(QByteArray, compression);
    QFETCH(bool, withNodata);
    QFETCH(int, width);
    QFETCH(int, height);

    // Class values that span each type, the nodata value among them.
    std::vector<double> palette = {0, 1, 2, 3, 5, 7};
    switch (GDALDataType(type)) {
    case GDT_Byte: palette.insert(palette.end(), {200, 255}); break;
    case GDT_Int16: palette.insert(palette.end(), {-32768, -1, 32767}); break;
    case GDT_UInt16: palette.insert(palette.end(), {40000, 65535}); break;
    case GDT_Int32: palette.insert(palette.end(), {-2147483648.0, -9999, 2147483647.0}); break;
    case GDT_Float32: palette.insert(palette.end(), {-9999, 16777216, -3}); break;
    default: palette.insert(palette.end(), {-2147483648.0, -9999, 2147483647.0}); break;
    }
    const quint32 seed = quint32(qHash(QByteArray(QTest::currentDataTag())));
    QRandomGenerator rng(seed);
    Grid grid = Grid(size_t(height), std::vector<double>(size_t(width)));
    for (auto &row : grid) {
        for (double &v : row)
            v = palette[rng.bounded(quint32(palette.size()))];
    }
    RasterFixture::Options options;
    options.format = format;
    options.type = GDALDataType(type);
    options.tiled = tiled;
    options.blockSize = tiled ? 16 : 7;
    options.compression = compression;
    if (withNodata)
        options.nodata = 3;
    const QString extension = format == "GTiff" ? ".tif" : format == "AAIGrid" ? ".asc" : format == "HFA" ? ".img" : ".bin";
    QString error;
    const QString file = RasterFixture::writeRaster(path(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_').replace(',', '_') + extension),
                                                    grid, options, &error);
    QVERIFY2(!file.isEmpty(), qPrintable(error));

    RasterSource source;
    QCOMPARE(source.open(QFile::encodeName(file), 1, &error), RasterSource::Opened);
    QCOMPARE(source.width(), qint64(width));
    QCOMPARE(source.height(), qint64(height));
    QVERIFY(source.blockHeight() >= 1);

    const Cells all = expectedCells(grid, options.nodata);
    Cells read;
    read.values.assign(size_t(width * height), -1);
    read.present.assign(size_t(width * height), 9);
    QVERIFY2(source.readValues(0, height, width, read.values.data(), read.present.data(), &error), qPrintable(error));
    QCOMPARE(toText(read.present), toText(all.present));
    QCOMPARE(toText(read.values), toText(all.values));
    // GDAL's rasters of bytes give their values as bytes too (an ESRI grid
    // is read as reals).
    const bool bytes = GDALDataType(type) == GDT_Byte && format != "AAIGrid";
    QCOMPARE(byteValuesDiffer(source, 0, height, width, all, bytes), QString());

    // Single values (the nodata value among them), and sets of values and
    // ranges, some reaching the ends of the type's range and beyond it.
    std::vector<CoverSet> covers;
    for (double v : palette)
        covers.push_back(CoverSet(qint32(v)));
    for (qint32 v : {-1, 4, 256, 65536, -2147483647 - 1})
        covers.push_back(CoverSet(v));
    for (const char *set : {"0-2", "1,3,5-7", "2-5", "200-255", "128-300", "-32768--1", "-1-1", "40000-65535",
                            "-2147483648--9999", "2147483647", "16777216,-3", "-2147483648-2147483647"})
        covers.push_back(coverOf(set));
    for (const CoverSet &cover : covers) {
        std::vector<qint8> habitat(size_t(width * height), 9);
        // In strips of the suggested height, as the programs read.
        for (qint64 line = 0; line < height; line += source.blockHeight()) {
            const qint64 n = std::min(source.blockHeight(), height - line);
            QVERIFY2(source.readHabitat(line, n, width, cover, habitat.data() + line * width, &error),
                     qPrintable(error));
        }
        QVERIFY2(toText(habitat) == toText(habitatOf(all, cover)), cover.text().constData());
    }
    // In strips of 1 to 5 lines, which begin and end inside blocks, from the
    // top and then from the bottom: blocks read in parts.
    for (const bool upwards : {false, true}) {
        std::vector<std::pair<qint64, qint64>> strips;
        for (qint64 line = 0, n = 1; line < height; line += n, n = n % 5 + 1)
            strips.emplace_back(line, std::min<qint64>(n, height - line));
        if (upwards)
            std::reverse(strips.begin(), strips.end());
        Cells inStrips;
        inStrips.values.assign(size_t(width * height), -1);
        inStrips.present.assign(size_t(width * height), 9);
        std::vector<qint8> habitat(size_t(width * height), 9);
        for (const auto &[line, n] : strips) {
            QVERIFY2(source.readValues(line, n, width, inStrips.values.data() + line * width,
                                       inStrips.present.data() + line * width, &error),
                     qPrintable(error));
            QVERIFY2(source.readHabitat(line, n, width, CoverSet(5), habitat.data() + line * width, &error),
                     qPrintable(error));
        }
        QCOMPARE(toText(inStrips.values), toText(all.values));
        QCOMPARE(toText(inStrips.present), toText(all.present));
        QCOMPARE(toText(habitat), toText(habitatOf(all, CoverSet(5))));
    }
    std::vector<qint8> untouched(size_t(width), 9);
    QVERIFY(!source.readHabitat(0, 1, width, CoverSet::each(), untouched.data(), &error));
    QVERIFY(!error.isEmpty());

    // A window: some lines, fewer columns.
    const qint64 first = 5;
    const qint64 lines = 13;
    const qint64 columns = width - 6;
    const Cells part = expectedCells(grid, options.nodata, first, lines, columns);
    Cells window;
    window.values.assign(size_t(lines * columns), -1);
    window.present.assign(size_t(lines * columns), 9);
    QVERIFY2(source.readValues(first, lines, columns, window.values.data(), window.present.data(), &error), qPrintable(error));
    QCOMPARE(toText(window.values), toText(part.values));
    QCOMPARE(toText(window.present), toText(part.present));
    QCOMPARE(byteValuesDiffer(source, first, lines, columns, part, bytes), QString());
    std::vector<qint8> habitat(size_t(lines * columns), 9);
    QVERIFY2(source.readHabitat(first, lines, columns, CoverSet(1), habitat.data(), &error), qPrintable(error));
    QCOMPARE(toText(habitat), toText(habitatOf(part, 1)));
}

void TestRasterSource::validity_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("present");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QByteArrayList>("creationOptions");

    const QByteArrayList none;
    QTest::newRow("Float64 1.5") << int(GDT_Float64) << 1.5 << false << 0 << none;
    QTest::newRow("Float64 NaN") << int(GDT_Float64) << NaN << false << 0 << none;
    QTest::newRow("Float64 infinity") << int(GDT_Float64) << HUGE_VAL << false << 0 << none;
    QTest::newRow("Float64 -0.0") << int(GDT_Float64) << -0.0 << true << 0 << none;
    QTest::newRow("Float64 2147483647") << int(GDT_Float64) << 2147483647.0 << true << 2147483647 << none;
    QTest::newRow("Float64 2147483648") << int(GDT_Float64) << 2147483648.0 << false << 0 << none;
    QTest::newRow("Float64 -2147483648") << int(GDT_Float64) << -2147483648.0 << true << int(-2147483647 - 1) << none;
    QTest::newRow("Float64 -2147483649") << int(GDT_Float64) << -2147483649.0 << false << 0 << none;
    QTest::newRow("Float64 2147483646.5") << int(GDT_Float64) << 2147483646.5 << false << 0 << none;
    QTest::newRow("Float64 -7") << int(GDT_Float64) << -7.0 << true << -7 << none;
    QTest::newRow("Float32 1.5") << int(GDT_Float32) << 1.5 << false << 0 << none;
    QTest::newRow("Float32 NaN") << int(GDT_Float32) << NaN << false << 0 << none;
    QTest::newRow("Float32 16777216") << int(GDT_Float32) << 16777216.0 << true << 16777216 << none;
    QTest::newRow("Float32 3e9") << int(GDT_Float32) << 3e9 << false << 0 << none;
    QTest::newRow("Float32 -2147483648") << int(GDT_Float32) << -2147483648.0 << true << int(-2147483647 - 1) << none;
    QTest::newRow("UInt32 2147483647") << int(GDT_UInt32) << 2147483647.0 << true << 2147483647 << none;
    QTest::newRow("UInt32 2147483648") << int(GDT_UInt32) << 2147483648.0 << false << 0 << none;
    QTest::newRow("UInt32 4294967295") << int(GDT_UInt32) << 4294967295.0 << false << 0 << none;
    QTest::newRow("Int64 2147483648") << int(GDT_Int64) << 2147483648.0 << false << 0 << none;
    QTest::newRow("Int64 -2147483649") << int(GDT_Int64) << -2147483649.0 << false << 0 << none;
    QTest::newRow("Int64 -2147483648") << int(GDT_Int64) << -2147483648.0 << true << int(-2147483647 - 1) << none;
    QTest::newRow("Int64 2^40") << int(GDT_Int64) << 1099511627776.0 << false << 0 << none;
    QTest::newRow("UInt64 2^40") << int(GDT_UInt64) << 1099511627776.0 << false << 0 << none;
    QTest::newRow("UInt64 12") << int(GDT_UInt64) << 12.0 << true << 12 << none;
    QTest::newRow("signed byte -128") << int(GDT_Byte) << -128.0 << true << -128 << QByteArrayList{"PIXELTYPE=SIGNEDBYTE"};
    QTest::newRow("signed byte -1") << int(GDT_Byte) << -1.0 << true << -1 << QByteArrayList{"PIXELTYPE=SIGNEDBYTE"};
    QTest::newRow("Int16 -32768") << int(GDT_Int16) << -32768.0 << true << -32768 << none;
}

void TestRasterSource::validity()
{
    QFETCH(int, type);
    QFETCH(double, value);
    QFETCH(bool, present);
    QFETCH(int, expected);
    QFETCH(QByteArrayList, creationOptions);

    // The value among ordinary cells, in a GeoTIFF of that type.
    const Grid grid = {{1, value, 0}, {value, 1, value}};
    RasterFixture::Options options;
    options.type = GDALDataType(type);
    options.creationOptions = creationOptions;
    QString error;
    const QString file = RasterFixture::writeRaster(path(QStringLiteral("validity-%1.tif").arg(QTest::currentDataTag()).replace(' ', '_')), grid, options, &error);
    QVERIFY2(!file.isEmpty(), qPrintable(error));

    RasterSource source;
    QCOMPARE(source.open(QFile::encodeName(file), 1, &error), RasterSource::Opened);
    std::vector<qint32> values(6, -1);
    std::vector<quint8> presentCells(6, 9);
    QVERIFY2(source.readValues(0, 2, 3, values.data(), presentCells.data(), &error), qPrintable(error));
    const int p = present ? 1 : 0;
    QCOMPARE(toText(presentCells), toText(std::vector<quint8>{1, quint8(p), 1, quint8(p), 1, quint8(p)}));
    QCOMPARE(toText(values), toText(std::vector<qint32>{1, expected, 0, expected, 1, expected}));
    std::vector<qint8> habitat(6, 9);
    QVERIFY2(source.readHabitat(0, 2, 3, CoverSet(expected), habitat.data(), &error), qPrintable(error));
    // The cell holds the cover value, or no value at all.
    const qint8 h = present ? CellCode::Habitat : CellCode::NoValue;
    const qint8 one = expected == 1, zero = expected == 0;
    QCOMPARE(toText(habitat), toText(std::vector<qint8>{one, h, zero, h, one, h}));
}

void TestRasterSource::esriValues_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("values");  // values, "-" where none
    QTest::addColumn<QByteArray>("nodata");  // the NODATA_value line, if any
    QTest::addColumn<QByteArray>("header");  // the rest of the header: 4 columns, 1 row when empty
    QTest::addColumn<bool>("gdalReads");     // whether this GDAL reads it too (GDAL 3.6 skips a first line "nan ...")

    const QByteArray none;
    QTest::newRow("integers") << QByteArray("1 -7 2147483647 -2147483648") << QByteArray("1 -7 2147483647 -2147483648") << none << none << true;
    QTest::newRow("beyond 32 bits") << QByteArray("1 3000000000 -2147483649 4294967297") << QByteArray("1 - - -") << none << none << true;
    QTest::newRow("decimals") << QByteArray("1.5 2.0 -0 0.0") << QByteArray("- 2 0 0") << none << none << true;
    QTest::newRow("exponents") << QByteArray("1e3 2.5e0 1e10 5E1") << QByteArray("1000 - - 50") << none << none << true;
    QTest::newRow("hexadecimal, decimal comma") << QByteArray("0x10 1,0 1,5 0X1p3") << QByteArray("16 1 - 8") << none << none << true;
    QTest::newRow("null") << QByteArray("null 1 2 3") << QByteArray("- 1 2 3") << none << none << true;
    QTest::newRow("nodata") << QByteArray("-9999 1 -9999 0") << QByteArray("- 1 - 0") << QByteArray("NODATA_value -9999\n") << none << true;
    QTest::newRow("decimal nodata") << QByteArray("-9999 1 -9999.0 2.5") << QByteArray("- 1 - -") << QByteArray("NODATA_value -9999.0\n") << none << true;
    QTest::newRow("nan amid values") << QByteArray("1 nan -nan NaN") << QByteArray("1 - - -") << none << none << true;
    QTest::newRow("nan amid values, NaN nodata") << QByteArray("1 nan -nan nan(1)") << QByteArray("1 - - -") << QByteArray("NODATA_value nan\n") << none << true;
    QTest::newRow("inf") << QByteArray("7 inf -inf Infinity") << QByteArray("7 - - -") << none << none << true;
    QTest::newRow("negative zero, nodata 0") << QByteArray("-0 -0.0 0 1") << QByteArray("- - - 1") << QByteArray("NODATA_value 0\n") << none << true;
    QTest::newRow("zero, nodata -0") << QByteArray("0 0.0 -0 2") << QByteArray("- - - 2") << QByteArray("NODATA_value -0\n") << none << true;

    // Whole grids of 3 x 2.
    const QByteArray grid = "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    const QByteArray nanNodata = "NODATA_value nan\n";
    QTest::newRow("first value nan, NaN nodata") << QByteArray("nan 1 1\n1 nan 1") << QByteArray("- 1 1 1 - 1") << nanNodata << grid << false;
    QTest::newRow("first values nan, surplus line") << QByteArray("nan 1 1\nnan 2 3\n4 5 6") << QByteArray("- 1 1 - 2 3") << nanNodata << grid << false;
    QTest::newRow("first value nan after a blank") << QByteArray(" nan 1 1\n1 nan 1") << QByteArray("- 1 1 1 - 1") << nanNodata << grid << true;
    QTest::newRow("first value -nan") << QByteArray("-nan 1 1\n1 nan 1") << QByteArray("- 1 1 1 - 1") << none << grid << true;
    QTest::newRow("first value Infinity, CR line ends")
            << QByteArray("Infinity 1 1\r1 2 3") << QByteArray("- 1 1 1 2 3") << none << QByteArray(grid).replace('\n', '\r') << false;
    QTest::newRow("values spread over lines") << QByteArray("1\n2 3 4\n\n5\n6") << QByteArray("1 2 3 4 5 6") << none << grid << true;
    QTest::newRow("CR LF") << QByteArray("1 2 3\r\n4 -9 6\r\n") << QByteArray("1 2 3 4 - 6")
                           << QByteArray("NODATA_value -9\r\n") << QByteArray(grid).replace("\n", "\r\n") << true;
    QTest::newRow("trailing blanks") << QByteArray("1 2 3  \t\n4 5 6 \n \n") << QByteArray("1 2 3 4 5 6") << none << grid << true;
    QTest::newRow("xllcenter, yllcenter") << QByteArray("1 2 3\n4 5 6") << QByteArray("1 2 3 4 5 6") << none
                                          << QByteArray("ncols 3\nnrows 2\nxllcenter 0.5\nyllcenter 0.5\ncellsize 1\n") << true;
    QTest::newRow("dx, dy") << QByteArray("1 2 3\n4 5 6") << QByteArray("1 2 3 4 5 6") << none
                            << QByteArray("ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ndx 1\ndy 2.5\n") << true;
    QTest::newRow("upper case, another order, tabs, a blank line")
            << QByteArray("1 2 3\n4 5 6") << QByteArray("1 - 3 4 5 6") << QByteArray("nodata_VALUE\t2\n")
            << QByteArray("NROWS\t2\nCELLSIZE 1\nNCOLS  3\nYLLCORNER\t0\nXLLCORNER 0\n\n") << true;
}

void TestRasterSource::esriValues()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, values);
    QFETCH(QByteArray, nodata);
    QFETCH(QByteArray, header);
    QFETCH(bool, gdalReads);

    // Written by hand: the values and headers an ESRI ASCII grid may hold,
    // beyond what GDAL writes, read as GDAL's own 64-bit reading reads them.
    const QString file = path("values.asc");
    if (header.isEmpty())
        header = "ncols 4\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    QVERIFY(TestUtil::writeFile(file, header + nodata + body + "\n"));
    RasterSource source;
    QString error;
    QCOMPARE(source.open(QFile::encodeName(file), 1, &error), RasterSource::Opened);
    const qint64 cells = source.width() * source.height();
    std::vector<qint32> read(size_t(cells), -1);
    std::vector<quint8> present(size_t(cells), 9);
    QVERIFY2(source.readValues(0, source.height(), source.width(), read.data(), present.data(), &error), qPrintable(error));
    const auto text = [](const std::vector<qint32> &v, const std::vector<quint8> &p) {
        QByteArrayList out;
        for (size_t i = 0; i < v.size(); ++i)
            out << (p[i] ? QByteArray::number(v[i]) : QByteArray("-"));
        return out.join(' ');
    };
    QCOMPARE(text(read, present), values);
    Cells gdal;
    if (gdalEsriCells(QFile::encodeName(file), gdal))
        QCOMPARE(text(gdal.values, gdal.present), values);
    else
        QVERIFY2(!gdalReads, "GDAL cannot read it");
}

void TestRasterSource::esriAgainstGdal_data()
{
    QTest::addColumn<QByteArray>("flavour");
    QTest::addColumn<int>("grids");
    for (const char *flavour : {"plain integers", "signs and leading zeros", "decimals and exponents",
                                "edges of 32 bits", "words", "nodata", "decimal nodata", "fractional nodata",
                                "tabs, CR LF and CR",
                                "values wrapped across lines", "rows joined on lines", "no final newline",
                                "short body", "header variants"}) {
        QTest::newRow(flavour) << QByteArray(flavour) << 40;
    }
    QTest::newRow("rows across read chunks") << QByteArray("rows across read chunks") << 1;
}

namespace {

// A random ESRI ASCII grid of one flavour: its text, size, and how many
// values its body lacks.
struct EsriGrid
{
    QByteArray text;
    int width = 0;
    int height = 0;
    int missing = 0;
};

EsriGrid randomEsriGrid(QRandomGenerator &rng, const QByteArray &flavour)
{
    static const QByteArrayList plain = {"0", "1", "2", "3", "7", "9", "10", "42", "255", "1000", "65536", "123456789"};
    static const QByteArrayList signs = {"-1", "+1", "-0", "+0", "007", "-007", "+42", "-2147483648", "00", "-9"};
    static const QByteArrayList decimals = {"1.0", "1e3", "1.5", "3e9", "-0.0", "2.5e0", "5E1", ".5", "5.", "1e",
                                            "1,5", "0x10", "1.0e0", "-1e1", "2.", "1E+2", "7e-1", "100e-2"};
    // Beyond 32 bits and 64: 2^64 + 1 must not wrap around to 1, nor 2^32 + 7 to 7.
    static const QByteArrayList edges = {"2147483647", "2147483648", "-2147483648", "-2147483649", "4294967303",
                                         "99999999999999999999", "000000000000000000001", "999999999999999999",
                                         "-999999999999999999", "2147483647.0", "2.147483647e9", "9223372036854775808",
                                         "18446744073709551617", "-18446744073709551615", "1000000000000000000007"};
    static const QByteArrayList words = {"nan", "null", "inf", "-inf", "abc", "12abc", "NaN", "1.#INF", "-1.#IND",
                                         "infinity", "x", "--1", "+-1", "1-", "1+1"};
    static const QByteArrayList nodataValues = {"-9999", "-9999.0", "-9.999e3", "-9999.5", "0", "-0", "-10000"};
    EsriGrid grid;
    const bool big = flavour == "rows across read chunks";
    grid.width = big ? 1500 : 1 + int(rng.bounded(23));
    grid.height = big ? 600 : 1 + int(rng.bounded(17));
    QByteArrayList pool = plain;
    if (flavour == "signs and leading zeros")
        pool += signs;
    else if (flavour == "decimals and exponents")
        pool += decimals;
    else if (flavour == "edges of 32 bits")
        pool += edges;
    else if (flavour == "words")
        pool += words;
    else if (flavour.endsWith("nodata"))
        pool += nodataValues;
    else if (big)
        pool += signs + decimals + edges;

    static const QByteArrayList lineEnds = {"\n", "\r\n", "\r"};
    const QByteArray eol = flavour == "tabs, CR LF and CR" ? lineEnds[rng.bounded(3)] : QByteArray("\n");
    QByteArray header;
    if (flavour == "header variants") {
        const QByteArrayList ncols = {"ncols", "NCOLS", "nCols"};
        header += ncols[rng.bounded(3)] + "  " + QByteArray::number(grid.width) + eol;
        header += "nrows " + QByteArray::number(grid.height) + eol;
        header += rng.bounded(2) ? "xllcenter 0.5" + eol + "yllcenter 0.5" + eol : "XLLCORNER 10" + eol + "YLLCORNER -3" + eol;
        if (rng.bounded(2))
            header += "NODATA_value 7" + eol;
        header += rng.bounded(2) ? "cellsize 2.5" + eol : "dx 1" + eol + "dy 2" + eol;
        if (rng.bounded(2))
            header += eol; // a blank line before the values
        if (rng.bounded(2))
            header += ' '; // white space before the first value
    } else {
        header = "ncols " + QByteArray::number(grid.width) + eol + "nrows " + QByteArray::number(grid.height) + eol
                + "xllcorner 0" + eol + "yllcorner 0" + eol + "cellsize 1" + eol;
        if (flavour == "nodata")
            header += "NODATA_value -9999" + eol;
        else if (flavour == "decimal nodata")
            header += "NODATA_value -9999.0" + eol;
        else if (flavour == "fractional nodata")
            header += "NODATA_value -9999.5" + eol; // -9999 is a value then
    }

    QByteArrayList tokens;
    for (int i = 0; i < grid.width * grid.height; ++i)
        tokens << pool[rng.bounded(quint32(pool.size()))];
    // A first value that starts with a letter ("nan") makes its line a line
    // of the header for GDAL 3.6, not for Vantrix (esriValues tries it): not
    // what is compared here.
    if (std::isalpha(static_cast<unsigned char>(tokens[0][0])))
        tokens[0] = "0";
    if (flavour == "short body") {
        grid.missing = std::min(1 + int(rng.bounded(3)), grid.width * grid.height - 1);
        for (int i = 0; i < grid.missing && !tokens.isEmpty(); ++i)
            tokens.removeLast();
    }
    const auto separator = [&]() -> QByteArray {
        if (flavour == "tabs, CR LF and CR") {
            static const QByteArrayList spaces = {"\t", " \t", "\t\t", " ", "\v", "\f", "  "};
            return spaces[rng.bounded(quint32(spaces.size()))];
        }
        return rng.bounded(8) == 0 ? "   " : " ";
    };
    QByteArray body;
    for (int i = 0; i < tokens.size(); ++i) {
        const bool rowEnd = (i + 1) % grid.width == 0;
        bool lineBreak = rowEnd;
        if (flavour == "values wrapped across lines")
            lineBreak = rng.bounded(4) == 0;
        else if (flavour == "rows joined on lines")
            lineBreak = rowEnd && rng.bounded(3) == 0;
        body += tokens[i];
        if (i + 1 < tokens.size())
            body += lineBreak ? eol : separator();
    }
    if (flavour != "no final newline" && !tokens.isEmpty())
        body += eol;
    if (flavour == "no final newline" && rng.bounded(2))
        body += "  "; // trailing blanks but no newline
    grid.text = header + body;
    return grid;
}

// Only lines [first, first + lines) and columns [0, columns) of cells of a
// grid width wide.
Cells window(const Cells &cells, qint64 width, qint64 first, qint64 lines, qint64 columns)
{
    Cells out;
    for (qint64 r = first; r < first + lines; ++r) {
        for (qint64 c = 0; c < columns; ++c) {
            out.values.push_back(cells.values[size_t(r * width + c)]);
            out.present.push_back(cells.present[size_t(r * width + c)]);
        }
    }
    return out;
}

} // namespace

void TestRasterSource::esriAgainstGdal()
{
    QFETCH(QByteArray, flavour);
    QFETCH(int, grids);

    // Generated grids read by Vantrix's parser and by GDAL's own 64-bit
    // reading: the same values, the same cells without one, in strips of
    // any height and any number of columns.
    QRandomGenerator rng(quint32(qHash(flavour)));
    const QString file = path(QStringLiteral("generated.asc"));
    const CoverSet cover = coverOf("0-3,42,-2147483648,2147483647");
    int shortSeen = 0;
    int shortMade = 0;
    for (int g = 0; g < grids; ++g) {
        const EsriGrid grid = randomEsriGrid(rng, flavour);
        shortMade += grid.missing > 0;
        QVERIFY(TestUtil::writeFile(file, grid.text));
        const QString where = QStringLiteral("grid %1 of %2 x %3:\n%4").arg(g).arg(grid.width).arg(grid.height)
                                      .arg(QString::fromLatin1(grid.text.left(600)));
        RasterSource source;
        QString error;
        QVERIFY2(source.open(QFile::encodeName(file), 1, &error) == RasterSource::Opened, qPrintable(where + error));
        QVERIFY2(source.driverName() == QLatin1String("AAIGrid"), qPrintable(where));
        QCOMPARE(source.width(), qint64(grid.width));
        QCOMPARE(source.height(), qint64(grid.height));

        const qint64 width = grid.width;
        const qint64 height = grid.height;
        const qint64 strip = 1 + qint64(rng.bounded(quint32(height)));
        const qint64 columns = 1 + qint64(rng.bounded(quint32(width)));
        Cells read;
        read.values.assign(size_t(height * columns), -1);
        read.present.assign(size_t(height * columns), 9);
        std::vector<qint8> habitat(size_t(height * columns), 9);
        bool valuesOk = true;
        bool habitatOk = true;
        QString valuesError;
        QString habitatError;
        for (qint64 line = 0; line < height && valuesOk && habitatOk; line += strip) {
            const qint64 n = std::min(strip, height - line);
            habitatOk = source.readHabitat(line, n, columns, cover, habitat.data() + line * columns, &habitatError);
            valuesOk = source.readValues(line, n, columns, read.values.data() + line * columns,
                                         read.present.data() + line * columns, &valuesError);
        }
        Cells expected;
        const bool gdalRead = gdalEsriCells(QFile::encodeName(file), expected);
        if (grid.missing > 0) {
            // GDAL gives 0 for one missing value and fails for more: here the
            // file is cut short either way.
            ++shortSeen;
            const qint64 values = width * height - grid.missing;
            const QString expected = QStringLiteral("the ESRI ASCII grid is cut short: its values end in row %1 of %2, "
                                                    "after %3 of its %4 values")
                                             .arg(values / width + 1)
                                             .arg(height)
                                             .arg(values % width)
                                             .arg(width);
            QVERIFY2(!valuesOk || !habitatOk, qPrintable(where));
            QCOMPARE(!habitatOk ? habitatError : valuesError, expected);
            continue;
        }
        QVERIFY2(valuesOk && habitatOk, qPrintable(where + valuesError + habitatError));
        QVERIFY2(gdalRead, qPrintable(where));
        const Cells part = window(expected, width, 0, height, columns);
        QVERIFY2(toText(read.present) == toText(part.present), qPrintable(where));
        QVERIFY2(toText(read.values) == toText(part.values), qPrintable(where));
        QVERIFY2(toText(habitat) == toText(habitatOf(part, cover)), qPrintable(where));
    }
    QCOMPARE(shortSeen, shortMade);
    if (flavour == "short body")
        QVERIFY(shortMade > grids / 2);
}

void TestRasterSource::esriRowsReadAgain()
{
    // 5000 rows: a row is found again from the offsets kept every 256 rows,
    // in whatever order rows are asked for, from the bottom up too.
    QRandomGenerator rng(17);
    QByteArray text = "ncols 3\nnrows 5000\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    for (int r = 0; r < 5000; ++r)
        text += QByteArray::number(rng.bounded(100)) + ' ' + QByteArray::number(r) + ' ' + QByteArray::number(-r) + '\n';
    const QString file = path(QStringLiteral("rows.asc"));
    QVERIFY(TestUtil::writeFile(file, text));
    Cells expected;
    QVERIFY(gdalEsriCells(QFile::encodeName(file), expected));
    RasterSource source;
    QString error;
    QCOMPARE(source.open(QFile::encodeName(file), 1, &error), RasterSource::Opened);
    const struct
    {
        qint64 first, lines, columns;
    } reads[] = {{4990, 10, 3}, {3, 2, 3}, {255, 3, 2}, {2047, 2050, 3}, {256, 1, 1}, {0, 5000, 3},
                 {4999, 1, 3}, {1500, 10, 2}, {1490, 5, 3}, {3072, 1, 3}, {0, 1, 3},
                 {4864, 136, 3}, {4608, 256, 3}, {4352, 256, 2}, {511, 1, 3}, {512, 1, 3}};
    for (const auto &r : reads) {
        Cells read;
        read.values.assign(size_t(r.lines * r.columns), -1);
        read.present.assign(size_t(r.lines * r.columns), 9);
        QVERIFY2(source.readValues(r.first, r.lines, r.columns, read.values.data(), read.present.data(), &error),
                 qPrintable(error));
        const Cells part = window(expected, 3, r.first, r.lines, r.columns);
        QVERIFY2(read.values == part.values, qPrintable(QStringLiteral("from row %1").arg(r.first)));
        QCOMPARE(toText(read.present), toText(part.present));
    }
}

void TestRasterSource::masks_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("alpha");

    QTest::newRow("GTiff Byte, internal mask") << QByteArray("GTiff") << int(GDT_Byte) << false;
    QTest::newRow("GTiff Float32, internal mask") << QByteArray("GTiff") << int(GDT_Float32) << false;
    QTest::newRow("GTiff UInt16, alpha band") << QByteArray("GTiff") << int(GDT_UInt16) << true;
    QTest::newRow("GTiff Byte, alpha band") << QByteArray("GTiff") << int(GDT_Byte) << true;
    QTest::newRow("HFA Int32, .msk beside") << QByteArray("HFA") << int(GDT_Int32) << false;
}

void TestRasterSource::masks()
{
    QFETCH(QByteArray, format);
    QFETCH(int, type);
    QFETCH(bool, alpha);

    const int width = 29;
    const int height = 21;
    QRandomGenerator rng(7);
    Grid grid(height, std::vector<double>(width));
    std::vector<std::vector<int>> mask(height, std::vector<int>(width));
    Grid alphaBand(height, std::vector<double>(width));
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            grid[r][c] = rng.bounded(3);
            mask[r][c] = rng.bounded(4) != 0;
            alphaBand[r][c] = mask[r][c] ? (type == GDT_UInt16 ? 65535 : 255) : 0;
        }
    }
    RasterFixture::Options options;
    options.format = format;
    options.type = GDALDataType(type);
    options.tiled = true;
    if (alpha) {
        options.moreBands = {alphaBand};
        options.creationOptions = {"ALPHA=YES"};
    } else {
        options.mask = mask;
    }
    QString error;
    const QString file = RasterFixture::writeRaster(path(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_').replace(',', '_') + (format == "HFA" ? ".img" : ".tif")), grid, options, &error);
    QVERIFY2(!file.isEmpty(), qPrintable(error));
    if (format == "HFA") {
        // HFA keeps no mask of its own: GDAL finds it in x.img.msk.
        QVERIFY(QFile::exists(file + ".msk"));
    }

    RasterSource source;
    QCOMPARE(source.open(QFile::encodeName(file), 1, &error), RasterSource::Opened);
    std::vector<qint32> values(width * height, -1);
    std::vector<quint8> present(width * height, 9);
    QVERIFY2(source.readValues(0, height, width, values.data(), present.data(), &error), qPrintable(error));
    std::vector<qint32> expectedValues;
    std::vector<quint8> expectedPresent;
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            expectedPresent.push_back(mask[r][c]);
            expectedValues.push_back(mask[r][c] ? qint32(grid[r][c]) : 0);
        }
    }
    QCOMPARE(toText(present), toText(expectedPresent));
    QCOMPARE(toText(values), toText(expectedValues));
    QCOMPARE(byteValuesDiffer(source, 0, height, width, Cells{expectedValues, expectedPresent},
                              GDALDataType(type) == GDT_Byte),
             QString());
    for (const CoverSet &cover : {CoverSet(0), CoverSet(1), CoverSet(2), coverOf("0-1"), coverOf("0,2")}) {
        std::vector<qint8> habitat(width * height, 9);
        QVERIFY2(source.readHabitat(0, height, width, cover, habitat.data(), &error), qPrintable(error));
        QCOMPARE(toText(habitat), toText(habitatOf(Cells{expectedValues, expectedPresent}, cover)));
    }
}

void TestRasterSource::bands_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("band");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("reason");

    QTest::newRow("band 1 of 2") << int(GDT_Int16) << 1 << int(RasterSource::Opened) << QString();
    QTest::newRow("band 2 of 2") << int(GDT_Int16) << 2 << int(RasterSource::Opened) << QString();
    QTest::newRow("band 3 of 2") << int(GDT_Int16) << 3 << int(RasterSource::Failed) << QStringLiteral("band 3 does not exist: the raster has 2 bands");
    QTest::newRow("band 0") << int(GDT_Int16) << 0 << int(RasterSource::Failed) << QStringLiteral("band 0 does not exist: the raster has 2 bands");
    QTest::newRow("complex values") << int(GDT_CInt16) << 1 << int(RasterSource::Failed) << QStringLiteral("band 1 holds complex values (CInt16), not class values");
}

void TestRasterSource::bands()
{
    QFETCH(int, type);
    QFETCH(int, band);
    QFETCH(int, result);
    QFETCH(QString, reason);

    const Grid first = {{1, 2, 3}, {4, 5, 6}};
    const Grid second = {{10, 20, 30}, {40, 50, 60}};
    RasterFixture::Options options;
    options.type = GDALDataType(type);
    options.moreBands = {second};
    QString error;
    const QString file = RasterFixture::writeRaster(path(QStringLiteral("bands-%1.tif").arg(type)), first, options, &error);
    QVERIFY2(!file.isEmpty(), qPrintable(error));

    RasterSource source;
    QCOMPARE(int(source.open(QFile::encodeName(file), band, &error)), result);
    if (result != RasterSource::Opened) {
        QCOMPARE(error, reason);
        return;
    }
    std::vector<qint32> values(6);
    std::vector<quint8> present(6);
    QVERIFY2(source.readValues(0, 2, 3, values.data(), present.data(), &error), qPrintable(error));
    const Cells expected = expectedCells(band == 1 ? first : second, std::nullopt);
    QCOMPARE(toText(values), toText(expected.values));
}

void TestRasterSource::badArguments_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("lines");
    QTest::addColumn<qint64>("columns");
    QTest::addColumn<bool>("ok");

    QTest::newRow("all") << qint64(0) << qint64(4) << qint64(5) << true;
    QTest::newRow("no lines") << qint64(4) << qint64(0) << qint64(5) << true;
    QTest::newRow("negative first line") << qint64(-1) << qint64(2) << qint64(5) << false;
    QTest::newRow("past the last line") << qint64(3) << qint64(2) << qint64(5) << false;
    QTest::newRow("more columns than the width") << qint64(0) << qint64(1) << qint64(6) << false;
    QTest::newRow("overflowing line count") << qint64(1) << std::numeric_limits<qint64>::max() << qint64(5) << false;
}

void TestRasterSource::badArguments()
{
    QFETCH(qint64, first);
    QFETCH(qint64, lines);
    QFETCH(qint64, columns);
    QFETCH(bool, ok);

    const QString file = RasterFixture::writeRaster(path("args.tif"), Grid(4, std::vector<double>(5, 1)));
    QVERIFY(!file.isEmpty());
    RasterSource source;
    QString error;
    std::vector<qint8> habitat(64);
    std::vector<qint32> values(64);
    std::vector<quint8> present(64);
    QVERIFY(!source.readHabitat(0, 1, 1, CoverSet(1), habitat.data(), &error)); // nothing open
    QVERIFY(!error.isEmpty());
    QCOMPARE(source.open(QFile::encodeName(file), 1, &error), RasterSource::Opened);
    error.clear();
    QCOMPARE(source.readHabitat(first, lines, columns, CoverSet(1), habitat.data(), &error), ok);
    QCOMPARE(error.isEmpty(), ok);
    QCOMPARE(source.readValues(first, lines, columns, values.data(), present.data(), &error), ok);
}

void TestRasterSource::hostile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("band");
    QTest::addColumn<QString>("outcome"); // a regular expression

    // A valid LZW-compressed tiled GeoTIFF to damage.
    QRandomGenerator rng(3);
    Grid grid(64, std::vector<double>(64));
    for (auto &row : grid) {
        for (double &v : row)
            v = rng.bounded(2);
    }
    RasterFixture::Options options;
    options.tiled = true;
    options.compression = "LZW";
    const QString good = RasterFixture::writeRaster(path("good.tif"), grid, options);
    QFile file(good);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray tiff = file.readAll();
    QVERIFY(tiff.size() > 500);

    const QString gdalFailure = QStringLiteral("^(failed|opened; read failed): \\S.*");
    for (int cut : {4, 8, 20, 100, int(tiff.size() / 2), int(tiff.size() - 10)}) {
        QTest::addRow("GeoTIFF cut at %d of %d bytes", cut, int(tiff.size()))
                << tiff.left(cut) << "cut.tif" << 1 << (cut < 100 ? QStringLiteral("^failed: .*TIFF") : gdalFailure);
    }
    // Damage in each part of the file, and what must come of it: the
    // signature (no raster at all), the directory (refused at opening), the
    // table of tile offsets and the compressed tiles (refused at reading,
    // never cells made up from damaged data).
    const struct
    {
        int at;
        const char *outcome;
    } flips[] = {
        {2, "^not a raster$"},
        {12, "^failed: .*Incorrect count for \"ImageWidth\""},
        {30, "^opened; read failed: .*Cannot read offset/size for strile"},
        {200, "^opened; read failed: .*TIFFFillTile:Read error .*got 0 bytes"},
        {int(tiff.size() / 2), "^opened; read failed: .*(Using code not yet in table|LZWDecode)"},
        {int(tiff.size() - 40), "^opened; read failed: .*(Using code not yet in table|LZWDecode)"},
    };
    for (const auto &flip : flips) {
        QByteArray damaged = tiff;
        for (int i = flip.at; i < flip.at + 8 && i < damaged.size(); ++i)
            damaged[i] = char(damaged[i] ^ 0x5A);
        QTest::addRow("GeoTIFF with bytes %d to %d flipped", flip.at, flip.at + 7)
                << damaged << "flipped.tif" << 1 << QString::fromLatin1(flip.outcome);
    }
    QTest::newRow("missing band") << tiff << "good.tif" << 2 << QStringLiteral("^failed: band 2 does not exist");
    // Huge declared sizes over almost no data: refused at the first read,
    // having read what little there is, never a block of the declared size.
    QTest::newRow("1,000,000 x 1,000,000 in one uncompressed strip")
            << RasterFixture::tinyTiff(1000000, 1000000, 1, 0, 1000000) << "huge-strip.tif" << 1
            << QStringLiteral("^opened; read failed: .*got 64 bytes, expected 1000000");
    QTest::newRow("1,000,000 x 1,000,000 in one LZW strip")
            << RasterFixture::tinyTiff(1000000, 1000000, 5, 0, 1000000) << "huge-lzw.tif" << 1 << gdalFailure;
    QTest::newRow("1,000,000 x 1,000,000 in strips of one line")
            << RasterFixture::tinyTiff(1000000, 1000000, 5, 0, 1) << "huge-lines.tif" << 1
            << QStringLiteral("^opened; read failed: .*Cannot read offset/size for strile");
    QTest::newRow("1,000,000 x 1,000,000 in LZW tiles of 256")
            << RasterFixture::tinyTiff(1000000, 1000000, 5, 256, 0) << "huge-tiles.tif" << 1
            << QStringLiteral("^opened; read failed: .*Cannot read offset/size for strile");
    QTest::newRow("1,000,000 x 1,000,000 in LZW tiles of 65536")
            << RasterFixture::tinyTiff(1000000, 1000000, 5, 65536, 0) << "huge-blocks.tif" << 1
            << QStringLiteral("^failed: the raster's blocks of 65536 x 65536 cells take more than 256 MB each$");
    QTest::newRow("4,000,000,000 x 4,000,000,000 in tiles")
            << RasterFixture::tinyTiff(4000000000u, 4000000000u, 5, 256, 0) << "huge-4e9.tif" << 1 << QStringLiteral("^failed: \\S");

    const QByteArray esri = "ncols 10\nnrows 10\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    QByteArray body;
    for (int r = 0; r < 10; ++r)
        body += "1 0 1 0 1 0 1 0 1 0\n";
    // An Erdas Imagine file cut to half its size: GDAL's message carries a
    // pointer address and strerror(0) on a line of its own.
    const QString img = RasterFixture::writeRaster(path("good.img"), grid, [] {
        RasterFixture::Options hfa;
        hfa.format = "HFA";
        hfa.type = GDT_Int32;
        return hfa;
    }());
    QFile imgFile(img);
    QVERIFY(!img.isEmpty() && imgFile.open(QIODevice::ReadOnly));
    const QByteArray imagine = imgFile.readAll();
    QTest::newRow("Erdas Imagine cut to half its size")
            << imagine.left(imagine.size() / 2) << "cut.img" << 1
            << QStringLiteral("^failed: VSIFReadL\\(6\\*4\\) @ \\d+ failed in HFAEntry\\(\\)\\.$");

    QTest::newRow("ESRI ASCII grid, whole") << esri + body << "whole.asc" << 1 << QStringLiteral("^opened; read ok$");
    QTest::newRow("ESRI ASCII grid, body cut off")
            << esri + body.left(75) << "cut.asc" << 1
            << QStringLiteral("^opened; read failed: the ESRI ASCII grid is cut short: its values end in row 4 of 10, "
                              "after 8 of its 10 values$");
    // GDAL refuses these headers without a word: the reason is Vantrix's.
    QTest::newRow("ESRI ASCII grid, ncols 2000000000")
            << QByteArray("ncols 2000000000\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 0 1\n") << "absurd.asc" << 1
            << QStringLiteral("^failed: GDAL cannot open this ESRI ASCII grid: its ncols is '2000000000'; GDAL takes from 1 to 10000000$");
    QTest::newRow("ESRI ASCII grid, 5000000 x 5000000")
            << QByteArray("ncols 5000000\nnrows 5000000\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 0 1\n") << "large.asc" << 1
            << QStringLiteral("^opened; read failed: the ESRI ASCII grid is cut short: its values end in row 1 of "
                              "5000000, after 3 of its 5000000 values$");
    QTest::newRow("ESRI ASCII grid, ncols 99999999999999")
            << QByteArray("ncols 99999999999999\nnrows 99999999999999\nxllcorner 0\nyllcorner 0\ncellsize 1\n1\n") << "overflow.asc" << 1
            << QStringLiteral("^failed: GDAL cannot open this ESRI ASCII grid: .*its ncols is '99999999999999'");
    QTest::newRow("ESRI ASCII grid, NODATA_value first")
            << "NODATA_value -1\n" + esri + body << "nodata-first.asc" << 1
            << QStringLiteral("^failed: GDAL cannot open this ESRI ASCII grid: it begins with 'NODATA_value'; GDAL looks for ncols, ");
    QTest::newRow("ESRI ASCII grid of 37 bytes")
            << QByteArray("ncols 1\nnrows 1\ncellsize 1\nnrows 1\n1\n") << "tiny.asc" << 1
            << QStringLiteral("^failed: GDAL cannot open this ESRI ASCII grid: it has 37 bytes; GDAL takes a file of at least 40 ");
}

void TestRasterSource::hostile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QFETCH(int, band);
    QFETCH(QString, outcome);

    const QString file = path(name);
    QVERIFY(TestUtil::writeFile(file, bytes));
    const QByteArray encoded = QFile::encodeName(file);
    // A child starts with its parent's pages: an idle one just before is the baseline.
    const qint64 baselinePeakKb = runIsolated([] { return QByteArray("idle"); }, path("idle.out")).peakKb;
    const Isolated run = runIsolated([&] { return openAndRead(encoded, band); }, path("hostile.out"), 30);
    QVERIFY2(run.finished, run.result.constData());
    QVERIFY2(QRegularExpression(outcome).match(QString::fromUtf8(run.result)).hasMatch(), run.result.constData());
    // Every reason is one clean line: no pointer address, no "Success" of a zero errno.
    QVERIFY2(!run.result.contains('\n') && !run.result.contains('\r'), run.result.constData());
    QVERIFY2(!QRegularExpression(QStringLiteral("0x[0-9a-fA-F]{6,}|Success")).match(QString::fromUtf8(run.result)).hasMatch(),
             run.result.constData());
    QCOMPARE(run.printed, QByteArray());
    // Measured: under 0.1 s and 5 MB above an idle child for each.
    QVERIFY2(run.millis < 5000, qPrintable(QStringLiteral("%1 ms").arg(run.millis)));
    QVERIFY2(run.peakKb - baselinePeakKb < 100 * 1024,
             qPrintable(QStringLiteral("%1 MB above an idle child").arg((run.peakKb - baselinePeakKb) / 1024)));
}

void TestRasterSource::notRaster_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("claimedBy"); // the excluded driver that alone would take the file

    QTest::newRow("missing file") << "missing.tif" << QByteArray() << QByteArray();
    QTest::newRow("directory") << "." << QByteArray() << QByteArray();
    QTest::newRow("device") << "/dev/null" << QByteArray() << QByteArray();
    QTest::newRow("pipe") << "fifo" << QByteArray() << QByteArray();
    QTest::newRow("empty file") << "empty.tif" << QByteArray("") << QByteArray();
    QTest::newRow("text landscape") << "plain.txt" << RasterFixture::landscapeText({{1, 0, 1}, {0, 1, 1}}) << QByteArray();
    QTest::newRow("random bytes") << "random.bin" << QByteArray("\x01\x9a\xff\x00\x13 garbage\n\x7f", 16) << QByteArray();
    QTest::newRow("XYZ columns with a title line") << "title.xyz"
                                                   << QByteArray("landscape 3\n0 0 1\n1 0 0\n0 1 1\n1 1 0\n") << QByteArray("XYZ");
    QTest::newRow("XYZ columns") << "columns.txt" << QByteArray("0 0 1 \n1 0 0 \n0 1 1 \n1 1 0 \n") << QByteArray("XYZ");
    // Right-aligned columns of six, 0 to 3 at bytes 150 and 156 as USGS DEM headers have them.
    QByteArray usgs;
    for (int c = 0; c < 30; ++c)
        usgs += QByteArray::number(c == 25 || c == 26 ? 1 : 0).rightJustified(6, ' ');
    usgs += '\n';
    QTest::newRow("right-aligned columns") << "aligned.dem" << usgs.repeated(3) << QByteArray("USGSDEM");
    // 0/1 with 1s where CTG expects its row and column counts, cell size and UTM zone.
    QByteArray ctg;
    for (int c = 0; c < 170; ++c)
        ctg += QByteArray(c == 0 || c == 10 || c == 18 || c == 25 || c == 40 || c == 43 || c == 45 || c == 48 ? "1 " : "0 ");
    ctg += '\n';
    QTest::newRow("long 0/1 lines") << "grid.txt" << ctg.repeated(3) << QByteArray("CTG");
    // Numbers where DOQ1 reads its width, height, band type and storage.
    QByteArray doq(144, ' ');
    doq += "   900   700  7  1";
    doq = doq.leftJustified(300, ' ') + "\n";
    for (int i = 0; i < 144; i += 3)
        doq[i] = '1';
    QTest::newRow("numbers at fixed columns") << "classes.txt" << doq.repeated(2) << QByteArray("DOQ1");
    // Years at bytes 11, 15 and 19, then numbers where JDEM reads its size and corners.
    QByteArray jdem(1100, ' ');
    const auto place = [&jdem](int at, const char *field) { jdem.replace(at, int(qstrlen(field)), field); };
    place(0, "7");
    place(11, "19");
    place(15, "20");
    place(19, "19");
    place(25, "5");
    place(28, "4");
    place(31, "35000");
    place(37, "135000");
    place(45, "36000");
    place(51, "136000");
    for (int i = 60; i < 1100; i += 2)
        jdem[i] = i % 100 == 0 ? '\n' : char('0' + (i / 2) % 2);
    QTest::newRow("years at fixed columns") << "years.txt" << jdem << QByteArray("JDEM");
    // A text landscape with an ESRI .hdr beside it, as raw .bil data would have.
    QTest::newRow("text landscape with an ESRI .hdr beside it") << "with-hdr.txt" << QByteArray("1 0 1 \n0 1 1 \n") << QByteArray("EHdr");
    // A relative name that GDAL would take for "image 0 of the NITF file plain.txt".
    QTest::newRow("connection-string name") << "NITF_IM:0:plain.txt" << QByteArray("title\n1 0\n") << QByteArray();
}

void TestRasterSource::notRaster()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, claimedBy);

    QString full = file.startsWith('/') ? file : path(file);
    if (file == "fifo" && !QFile::exists(full))
        QVERIFY(mkfifo(QFile::encodeName(full).constData(), 0600) == 0);
    if (!bytes.isNull())
        QVERIFY(TestUtil::writeFile(full, bytes));
    if (claimedBy == "EHdr")
        QVERIFY(TestUtil::writeFile(path("with-hdr.hdr"), "ncols 3\nnrows 2\nnbands 1\nnbits 8\nbyteorder I\nlayout bil\n"));
    const QByteArray encoded = QFile::encodeName(full);
    if (!claimedBy.isEmpty()) {
        // The file is one that the excluded driver would take for a raster. In
        // a child, where GDALAllRegister() brings the excluded drivers back:
        // RasterSource then keeps to the drivers of its start-up.
        const Isolated run = runIsolated(
                [&] {
                    GDALAllRegister();
                    QByteArray how;
                    const bool claimed = gdalClaims(encoded, {claimedBy.toStdString()}, &how);
                    return (claimed ? how : QByteArray("not claimed")) + "; " + openAndRead(encoded);
                },
                path("claimed.out"), 30);
        QVERIFY2(!run.result.startsWith("not claimed"), run.result.constData());
        QVERIFY2(run.result.endsWith("; not a raster"), run.result.constData());
    }
    QByteArray how;
    // GDAL itself would block on a pipe, and takes a text with a raw header beside it.
    if (!bytes.isNull() && claimedBy != "EHdr")
        QVERIFY2(!gdalClaims(encoded, allowedDrivers(), &how), how.constData());

    if (file.contains(':')) {
        // Given as a relative path, the name could pass for a connection string.
        QVERIFY(TestUtil::writeFile(path("plain.txt"), RasterFixture::landscapeText({{1, 0}})));
        const QString cwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        const Isolated run = runIsolated([&] { return openAndRead(QFile::encodeName(file)); }, path("notraster.out"), 30);
        QDir::setCurrent(cwd);
        QCOMPARE(run.result, QByteArray("not a raster"));
        return;
    }
    // In a child: a pipe must not block.
    const Isolated run = runIsolated([&] { return openAndRead(encoded); }, path("notraster.out"), 30);
    QCOMPARE(run.result, QByteArray("not a raster"));
    QCOMPARE(run.printed, QByteArray());
}

void TestRasterSource::randomText_data()
{
    QTest::addColumn<QByteArray>("flavour");
    for (const char *f : {"single blanks", "no trailing blank", "CR LF", "tabs", "repeated blanks",
                          "right-aligned columns", "negative values", "wide values", "years", "header lines",
                          "ragged rows", "one line", "long lines"}) {
        QTest::newRow(f) << QByteArray(f);
    }
}

void TestRasterSource::randomText()
{
    QFETCH(QByteArray, flavour);

    // 300 files a flavour, under the names drivers look for; every one stays
    // a text landscape, for RasterSource and for GDAL with the drivers it allows.
    static const char *extensions[] = {".txt", ".asc", ".xyz", ".dem", ".grd", ".mem", ".dat", "", ".csv", ".hgt", ".gtx", ".bil"};
    const std::vector<std::string> allowed = allowedDrivers();
    const quint32 seed = quint32(qHash(flavour));
    QRandomGenerator rng(seed);
    const QString sub = path(QString::fromLatin1(flavour).replace(' ', '-'));
    QVERIFY(QDir().mkpath(sub));
    for (int i = 0; i < 300; ++i) {
        const QString file = sub + QStringLiteral("/l%1%2").arg(i).arg(QLatin1String(extensions[i % 12]));
        const QByteArray text = randomLandscape(rng, flavour);
        QVERIFY(TestUtil::writeFile(file, text));
        if (i % 10 == 0) {
            // A neighbour that a raw-raster driver would read as the header.
            QVERIFY(TestUtil::writeFile(QFileInfo(file).path() + '/' + QFileInfo(file).completeBaseName() + ".hdr", randomLandscape(rng, flavour)));
        }
        const QByteArray encoded = QFile::encodeName(file);
        RasterSource source;
        QString error;
        QVERIFY2(source.open(encoded, 1, &error) == RasterSource::NotRaster, qPrintable(file + ": " + error + "\n" + text.left(300)));
        QByteArray how;
        QVERIFY2(!gdalClaims(encoded, allowed, &how), qPrintable(file + ": " + how + "\n" + text.left(300)));
    }
}

void TestRasterSource::threads()
{
    // Two files read at once, one of them by two threads.
    QRandomGenerator rng(5);
    Grid a(200, std::vector<double>(300));
    for (auto &row : a) {
        for (double &v : row)
            v = rng.bounded(4) - 1;
    }
    Grid b(120, std::vector<double>(150));
    for (auto &row : b) {
        for (double &v : row)
            v = rng.bounded(3);
    }
    RasterFixture::Options tiled;
    tiled.type = GDT_Int16;
    tiled.tiled = true;
    tiled.blockSize = 32;
    tiled.compression = "LZW";
    tiled.nodata = 2;
    RasterFixture::Options esri;
    esri.format = "AAIGrid";
    esri.type = GDT_Int32;
    const QString fileA = RasterFixture::writeRaster(path("thread-a.tif"), a, tiled);
    const QString fileB = RasterFixture::writeRaster(path("thread-b.asc"), b, esri);
    QVERIFY(!fileA.isEmpty() && !fileB.isEmpty());
    const Cells cellsA = expectedCells(a, 2.0);
    const Cells cellsB = expectedCells(b, std::nullopt);

    std::atomic<int> wrong{0};
    const auto reader = [&](const QString &file, const Cells &expected, qint64 width, qint64 height) {
        for (int round = 0; round < 15; ++round) {
            RasterSource source;
            if (source.open(QFile::encodeName(file), 1) != RasterSource::Opened) {
                ++wrong;
                return;
            }
            std::vector<qint8> habitat(size_t(width * height));
            Cells read;
            read.values.resize(size_t(width * height));
            read.present.resize(size_t(width * height));
            const qint32 cover = round % 3;
            for (qint64 line = 0; line < height; line += source.blockHeight()) {
                const qint64 n = std::min(source.blockHeight(), height - line);
                if (!source.readHabitat(line, n, width, CoverSet(cover), habitat.data() + line * width)
                    || !source.readValues(line, n, width, read.values.data() + line * width, read.present.data() + line * width))
                    ++wrong;
            }
            if (habitat != habitatOf(expected, cover) || read.values != expected.values || read.present != expected.present)
                ++wrong;
        }
    };
    std::thread t1(reader, fileA, std::cref(cellsA), 300, 200);
    std::thread t2(reader, fileB, std::cref(cellsB), 150, 120);
    std::thread t3(reader, fileA, std::cref(cellsA), 300, 200);
    t1.join();
    t2.join();
    t3.join();
    QCOMPARE(wrong.load(), 0);
}

QTEST_GUILESS_MAIN(TestRasterSource)
#include "tst_rastersource.moc"
