// Rasters through the whole pipeline: LandscapeReader, the rules, the map
// rendering, vantrix-percolate and the desktop program, each compared with
// the same grid written as a text landscape; hostile rasters through the
// reader and the program (each in a child process, bounded in time and
// memory); and that GDAL prints nothing meanwhile.
#include "cellcodes.h"
#include "guiutil.h"
#include "landscapereader.h"
#include "mainwindow.h"
#include "maprenderer.h"
#include "percolationgrid.h"
#include "rasterfixture.h"
#include "spanningrule.h"
#include "testutil.h"

#include <QAction>
#include <QElapsedTimer>
#include <QHash>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <gdal.h>

#include <algorithm>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using IntGrid = std::vector<std::vector<int>>;

// A class that no test here ever takes for the cover: nodata cells of a
// raster become this class in its text version.
constexpr int NeverCover = 5;

struct TypeInfo
{
    GDALDataType type;
    const char *name;
    std::vector<int> palette; // class values that span the type; 0 to 3 and NeverCover among them
    int extreme;              // a class value at the end of the type's range, tried as a cover
};

const std::vector<TypeInfo> &types()
{
    static const std::vector<TypeInfo> all = {
        {GDT_Byte, "Byte", {0, 1, 2, 3, NeverCover, 7, 200, 255}, 255},
        {GDT_Int16, "Int16", {0, 1, 2, 3, NeverCover, -1, -32768, 32767}, -32768},
        {GDT_UInt16, "UInt16", {0, 1, 2, 3, NeverCover, 40000, 65535}, 65535},
        {GDT_Int32, "Int32", {0, 1, 2, 3, NeverCover, -9999, 2147483647, -2147483647 - 1}, 2147483647},
        {GDT_Float32, "Float32", {0, 1, 2, 3, NeverCover, -9999, -3, 16777216}, 16777216},
    };
    return all;
}

// A grid of lines x columns classes: `dominant` with the share given, else
// one between 0.5 and 0.75 (near the thresholds of the rules, so that answers
// vary), the other classes of the palette evenly.
IntGrid randomGrid(QRandomGenerator &rng, int lines, int columns, const std::vector<int> &palette, int dominant,
                   double share = -1)
{
    if (share < 0)
        share = 0.5 + 0.25 * rng.generateDouble();
    std::vector<int> others;
    for (int v : palette) {
        if (v != dominant)
            others.push_back(v);
    }
    IntGrid grid = IntGrid(size_t(lines), std::vector<int>(size_t(columns)));
    for (auto &row : grid) {
        for (int &v : row)
            v = rng.generateDouble() < share ? dominant : others[rng.bounded(quint32(others.size()))];
    }
    return grid;
}

IntGrid replaced(IntGrid grid, std::optional<int> nodata)
{
    if (nodata) {
        for (auto &row : grid)
            std::replace(row.begin(), row.end(), *nodata, NeverCover);
    }
    return grid;
}

QString safeName(QString tag)
{
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9.-]+"));
    return tag.replace(unsafe, QStringLiteral("_"));
}

// The cells of rows, row by row, as nested vectors.
IntGrid nested(const RaggedRows<qint8> &rows)
{
    return TestUtil::toNested(rows);
}

// The rows and their first n columns (n = number of rows).
IntGrid square(IntGrid grid)
{
    for (auto &row : grid) {
        if (row.size() > grid.size())
            row.resize(grid.size());
    }
    return grid;
}

// The cells of the text version's square as the raster gives them: cells
// that hold the nodata value in the raster hold no value (CellCode::NoValue)
// instead of the class that stands for them in the text.
IntGrid withNoValue(IntGrid cells, const IntGrid &grid, std::optional<int> nodata)
{
    cells = square(std::move(cells));
    if (!nodata)
        return cells;
    for (size_t r = 0; r < cells.size(); ++r) {
        for (size_t c = 0; c < cells[r].size(); ++c) {
            if (grid[r][c] == *nodata)
                cells[r][c] = CellCode::NoValue;
        }
    }
    return cells;
}

// A landscape file read and tested under a rule, as the programs do.
int answer(const QString &path, qint32 cover, const SpanningRule &rule, QString *error = nullptr)
{
    PercolationGrid grid;
    grid.habitatValue = cover;
    const bool ok = grid.loadLandscape(path);
    if (error)
        *error = ok ? QString() : grid.errorString();
    return rule.test(grid);
}

// A child process's outcome.
struct ChildRun
{
    bool finished = false; // exited by itself within the time allowed
    int exitCode = -1;
    int signal = 0;        // the signal that ended it, if one did
    QByteArray out;        // standard output (a forked job: its result)
    QByteArray err;        // standard error (a forked job: what it printed, both outputs)
    qint64 peakKb = 0;
    qint64 millis = 0;
};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Waits for pid up to seconds (then kills it), with its resource usage.
void waitChild(pid_t pid, int seconds, const QElapsedTimer &timer, ChildRun &run)
{
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t got = wait4(pid, &status, WNOHANG, &usage);
        if (got == pid)
            break;
        if (got < 0 && errno != EINTR)
            return;
        if (timer.elapsed() > seconds * 1000) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            run.millis = timer.elapsed();
            return;
        }
        usleep(2000);
    }
    run.millis = timer.elapsed();
    run.finished = WIFEXITED(status);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.peakKb = usage.ru_maxrss;
}

// What became of a child that did not exit normally, for failure messages.
QByteArray describe(const ChildRun &run)
{
    if (run.signal)
        return run.out + " (killed by signal " + QByteArray::number(run.signal) + ')';
    return run.finished ? run.out + " (exit status " + QByteArray::number(run.exitCode) + ')' : run.out + " (timed out)";
}

// Runs program with arguments in workDir; outputs go through files in scratch.
ChildRun runProgram(const QString &program, const QStringList &arguments, const QString &workDir,
                    const QString &scratch, int seconds = 60)
{
    ChildRun run;
    const QByteArray outPath = QFile::encodeName(scratch + QStringLiteral("/child.out"));
    const QByteArray errPath = QFile::encodeName(scratch + QStringLiteral("/child.err"));
    const QByteArray dir = QFile::encodeName(workDir);
    QByteArrayList args{QFile::encodeName(program)};
    for (const QString &a : arguments)
        args << QFile::encodeName(a);
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = ::open(outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(dir.constData()) != 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0)
        return run;
    waitChild(pid, seconds, timer, run);
    run.out = readAll(QFile::decodeName(outPath));
    run.err = readAll(QFile::decodeName(errPath));
    return run;
}

ChildRun percolate(const QStringList &arguments, const QString &workDir, const QString &scratch, int seconds = 60)
{
    return runProgram(QStringLiteral(VANTRIX_PERCOLATE), arguments, workDir, scratch, seconds);
}

// Runs job in a forked child whose standard output and error go to a file;
// out is the job's result, err what was printed.
ChildRun runForked(const std::function<QByteArray()> &job, const QString &scratch, int seconds = 60)
{
    ChildRun run;
    const QByteArray printedPath = QFile::encodeName(scratch + QStringLiteral("/forked.printed"));
    int fds[2];
    if (pipe(fds) != 0)
        return run;
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        const int sink = ::open(printedPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(sink, 1);
        dup2(sink, 2);
        alarm(unsigned(seconds));
        const QByteArray result = job();
        for (qsizetype written = 0; written < result.size();) {
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
    if (pid < 0) {
        ::close(fds[0]);
        return run;
    }
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        run.out.append(buffer, qsizetype(n));
    ::close(fds[0]);
    waitChild(pid, seconds, timer, run);
    run.err = readAll(QFile::decodeName(printedPath));
    return run;
}

// A report with every path replaced as paths says (lines PATH<tab>, PATH#).
QByteArray mapPaths(const QByteArray &report, const QHash<QByteArray, QByteArray> &paths)
{
    QByteArrayList lines = report.split('\n');
    for (QByteArray &line : lines) {
        qsizetype end = line.indexOf('#');
        if (end < 0)
            end = line.indexOf('\t');
        if (end > 0 && paths.contains(line.left(end)))
            line = paths.value(line.left(end)) + line.mid(end);
    }
    return lines.join('\n');
}

// Standard error of a run over rasters as the run over their text twins says
// it: every raster path replaced by its twin's. Notes on edge cells without a
// value are left out: a twin has a class of its own where a raster has nodata.
QByteArray renamed(QByteArray text, const QHash<QByteArray, QByteArray> &paths)
{
    for (auto it = paths.begin(); it != paths.end(); ++it)
        text.replace(it.key(), it.value());
    QByteArrayList lines = text.split('\n');
    lines.removeIf([](const QByteArray &line) { return line.contains("cells on the map's edges have no value"); });
    return lines.join('\n');
}

QByteArray reportOf(const QList<QPair<QString, int>> &answers)
{
    QByteArray report;
    for (const auto &a : answers)
        report += QFile::encodeName(a.first) + '\t' + QByteArray::number(a.second) + '\n';
    return report;
}


// Where the blocks of band 1 of a GeoTIFF lie in the file: offset and size
// of block (x, y), as GDAL reports them.
QPair<qint64, qint64> tiffBlock(const QString &path, int x, int y)
{
    GDALDatasetH ds = GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
    if (!ds)
        return {-1, -1};
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    const QByteArray suffix = QByteArray::number(x) + '_' + QByteArray::number(y);
    const char *offset = GDALGetMetadataItem(band, ("BLOCK_OFFSET_" + suffix).constData(), "TIFF");
    const char *size = GDALGetMetadataItem(band, ("BLOCK_SIZE_" + suffix).constData(), "TIFF");
    const QPair<qint64, qint64> block{offset ? QByteArray(offset).toLongLong() : -1, size ? QByteArray(size).toLongLong() : -1};
    GDALClose(ds);
    return block;
}

bool overwrite(const QString &path, qint64 offset, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(offset) && file.write(bytes) == bytes.size();
}

} // namespace

class TestRasterLandscapes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void sameAsText_data();
    void sameAsText();
    void largeRastersReadInStrips_data();
    void largeRastersReadInStrips();
    void columnsBeyondTheSquareAreNotRead();
    void commandSameAsText_data();
    void commandSameAsText();
    void commandBands_data();
    void commandBands();
    void commandTiles_data();
    void commandTiles();
    void hostile_data();
    void hostile();
    void outOfMemoryIsAnOutcome();
    void desktopShowsRaster_data();
    void desktopShowsRaster();
    void desktopNamesUnreadableRaster();
    void printsNothing();

private:
    QString path(const QString &name) const { return work.filePath(name); }
    // A raster and its text version (nodata cells as NeverCover) under name.
    struct Pair
    {
        QString raster;
        QString text;
        IntGrid grid; // as the raster holds it
    };
    Pair writePair(const QString &name, const QString &extension, const IntGrid &grid,
                   const RasterFixture::Options &options);
    QString scratch() const { return scratchDir.path(); }

    QTemporaryDir work;
    QTemporaryDir scratchDir;
    std::vector<Pair> commandFiles;
};

void TestRasterLandscapes::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(scratchDir.isValid());
    QVERIFY(QDir::setCurrent(work.path())); // the desktop program's config.txt and percolation.txt
    QVERIFY(QFile::exists(QStringLiteral(VANTRIX_PERCOLATE)));

    // The landscapes of the command-line tests: every type, layout and
    // compression among them, square, wider and taller than square, some
    // with nodata.
    struct Landscape
    {
        const char *name;
        const char *format;
        int type; // index into types()
        bool tiled;
        const char *compression;
        bool nodata;
        int lines, columns, dominant;
        double share;
    };
    const Landscape landscapes[] = {
        {"byte-striped-square", "GTiff", 0, false, "", false, 36, 36, 1, 0.65},
        {"int16-tiled-lzw-wide-nodata", "GTiff", 1, true, "LZW", true, 30, 45, 3, 0.7},
        {"uint16-striped-deflate-tall", "GTiff", 2, false, "DEFLATE", false, 40, 25, 3, 0.72},
        {"int32-esri-square-nodata", "AAIGrid", 3, false, "", true, 33, 33, 1, 0.6},
        {"float32-esri-wide", "AAIGrid", 4, false, "", false, 28, 40, 0, 0.7},
        {"float32-tiled-deflate-square-nodata", "GTiff", 4, true, "DEFLATE", true, 48, 48, 0, 0.55},
        {"int32-striped-lzw-tall", "GTiff", 3, false, "LZW", false, 44, 30, 0, 0.75},
        {"byte-tiled-square-nodata", "GTiff", 0, true, "", true, 32, 32, 3, 0.72},
    };
    QRandomGenerator rng(20240611);
    for (const Landscape &s : landscapes) {
        const TypeInfo &type = types()[size_t(s.type)];
        RasterFixture::Options options;
        options.format = s.format;
        options.type = type.type;
        options.tiled = s.tiled;
        options.blockSize = s.tiled ? 16 : 5;
        options.compression = s.compression;
        if (s.nodata)
            options.nodata = 3;
        const IntGrid grid = randomGrid(rng, s.lines, s.columns, type.palette, s.dominant, s.share);
        commandFiles.push_back(writePair(QString::fromLatin1(s.name),
                                         QString::fromLatin1(qstrcmp(s.format, "GTiff") == 0 ? ".tif" : ".asc"),
                                         grid, options));
        QVERIFY(!commandFiles.back().raster.isEmpty());
    }
}

void TestRasterLandscapes::init()
{
    QFile::remove(QStringLiteral("config.txt"));
    QFile::remove(QStringLiteral("percolation.txt"));
}

TestRasterLandscapes::Pair TestRasterLandscapes::writePair(const QString &name, const QString &extension,
                                                           const IntGrid &grid, const RasterFixture::Options &options)
{
    Pair pair;
    pair.grid = grid;
    QString error;
    pair.raster = RasterFixture::writeRaster(path(name + extension), RasterFixture::fromInts(grid), options, &error);
    if (pair.raster.isEmpty())
        qWarning("cannot write %s: %s", qPrintable(name), qPrintable(error));
    std::optional<int> nodata;
    if (options.nodata)
        nodata = int(*options.nodata);
    pair.text = TestUtil::writeFixture(work.path(), name + QStringLiteral(".txt"),
                                       RasterFixture::landscapeText(replaced(grid, nodata)));
    return pair;
}

void TestRasterLandscapes::sameAsText_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("tiled");
    QTest::addColumn<QByteArray>("compression");
    QTest::addColumn<bool>("withNodata");

    for (int t = 0; t < int(types().size()); ++t) {
        for (bool tiled : {false, true}) {
            for (const char *compression : {"", "LZW", "DEFLATE"}) {
                for (bool nodata : {false, true}) {
                    QTest::addRow("GeoTIFF %s, %s%s%s%s", types()[size_t(t)].name, tiled ? "tiled" : "striped",
                                  *compression ? ", " : "", compression, nodata ? ", nodata" : "")
                            << QByteArray("GTiff") << t << tiled << QByteArray(compression) << nodata;
                }
            }
        }
    }
    for (int t : {0, 1, 3, 4}) {
        for (bool nodata : {false, true}) {
            QTest::addRow("ESRI ASCII grid from %s%s", types()[size_t(t)].name, nodata ? ", nodata" : "")
                    << QByteArray("AAIGrid") << t << false << QByteArray() << nodata;
        }
    }
}

void TestRasterLandscapes::sameAsText()
{
    QFETCH(QByteArray, format);
    QFETCH(int, type);
    QFETCH(bool, tiled);
    QFETCH(QByteArray, compression);
    QFETCH(bool, withNodata);

    const TypeInfo &info = types()[size_t(type)];
    RasterFixture::Options options;
    options.format = format;
    options.type = info.type;
    options.tiled = tiled;
    options.blockSize = tiled ? 16 : 7; // several blocks, never a whole number of them
    options.compression = compression;
    const std::optional<int> nodata = withNodata ? std::optional<int>(3) : std::nullopt;
    if (nodata)
        options.nodata = *nodata;
    const std::vector<int> covers = {1, 0, 2, 3, info.extreme, 4};
    const std::vector<SpanningRule> rules = {SpanningRule(SpanningRule::Walk, SpanningRule::Either),
                                             SpanningRule(SpanningRule::Cluster4, SpanningRule::Either),
                                             SpanningRule(SpanningRule::Cluster8, SpanningRule::Either)};

    QRandomGenerator rng(static_cast<quint32>(qHash(QByteArray(QTest::currentDataTag()))));
    const struct
    {
        const char *name;
        int lines, columns, dominant;
    } shapes[] = {{"square", 40, 40, 1}, {"wider", 37, 58, 3}, {"taller", 45, 28, 0}};
    int spanned = 0;
    int tried = 0;
    for (const auto &shape : shapes) {
        const IntGrid grid = randomGrid(rng, shape.lines, shape.columns, info.palette, shape.dominant);
        const QString name = safeName(QString::fromLatin1(QTest::currentDataTag()) + '-' + shape.name);
        const Pair pair = writePair(name, format == "GTiff" ? QStringLiteral(".tif") : QStringLiteral(".asc"), grid,
                                    options);
        QVERIFY2(!pair.raster.isEmpty(), shape.name);
        // The text version as written, nodata values and all: the map of that draws every cell.
        const QString asWritten = TestUtil::writeFixture(work.path(), name + QStringLiteral("-as-written.txt"),
                                                         RasterFixture::landscapeText(grid));
        const int n = shape.lines;

        for (int cover : covers) {
            const QString where = QStringLiteral("%1, cover %2").arg(QLatin1String(shape.name)).arg(cover);
            RaggedRows<qint8> fromRaster;
            RaggedRows<qint8> fromText;
            QString error;
            QVERIFY2(LandscapeReader::readPercolation(pair.raster, cover, fromRaster, &error), qPrintable(where + ": " + error));
            QVERIFY2(LandscapeReader::readPercolation(pair.text, cover, fromText, &error), qPrintable(where + ": " + error));
            // The square: n rows; no more than n cells a row are read from the raster.
            QCOMPARE(fromRaster.rowCount(), qsizetype(n));
            for (qsizetype r = 0; r < fromRaster.rowCount(); ++r)
                QCOMPARE(fromRaster.rowLength(r), qsizetype(std::min(shape.columns, n)));
            QVERIFY2(nested(fromRaster) == withNoValue(nested(fromText), grid, nodata), qPrintable(where));
            for (const SpanningRule &rule : rules) {
                const int a = answer(pair.raster, cover, rule, &error);
                QVERIFY2(error.isEmpty(), qPrintable(error));
                QVERIFY2(a == answer(pair.text, cover, rule),
                         qPrintable(where + QStringLiteral(", ") + SpanningRule::name(rule.kind)));
                spanned += a;
                ++tried;
            }
        }

        MapGrid rasterMap;
        MapGrid textMap;
        QString error;
        QVERIFY2(LandscapeReader::readDisplay(pair.raster, rasterMap, &error), qPrintable(error));
        QVERIFY2(LandscapeReader::readDisplay(asWritten, textMap, &error), qPrintable(error));
        QCOMPARE(rasterMap.rowCount(), textMap.rowCount());
        for (qsizetype r = 0; r < rasterMap.rowCount(); ++r) {
            QCOMPARE(rasterMap.rowLength(r), qsizetype(std::min(shape.columns, n)));
            for (qsizetype c = 0; c < rasterMap.rowLength(r); ++c) {
                const bool isNodata = nodata && grid[size_t(r)][size_t(c)] == *nodata;
                const QString cell = QStringLiteral("%1, cell (%2, %3)").arg(QLatin1String(shape.name)).arg(r).arg(c);
                QVERIFY2(rasterMap.hasValue(r, c) == !isNodata, qPrintable(cell));
                if (!isNodata)
                    QVERIFY2(rasterMap.value(r, c) == textMap.value(r, c), qPrintable(cell));
            }
        }

        for (int matrix : {0, 1, 3, info.extreme}) {
            // Whole cells (5 x 4 pixels and a little), and cells smaller than a pixel.
            const QRect whole(3, 2, 5 * n + 2, 4 * n + 1);
            const QRect small(0, 0, n - 5, n - 9);
            const QImage rasterWhole = MapRenderer::render(rasterMap, matrix, whole);
            const QImage textWhole = MapRenderer::render(textMap, matrix, whole);
            const QImage rasterSmall = MapRenderer::render(rasterMap, matrix, small);
            const QImage textSmall = MapRenderer::render(textMap, matrix, small);
            const QString where = QStringLiteral("%1, matrix value %2").arg(QLatin1String(shape.name)).arg(matrix);
            if (!nodata) {
                QVERIFY2(rasterWhole == textWhole, qPrintable(where));
                QVERIFY2(rasterSmall == textSmall, qPrintable(where));
                continue;
            }
            // Nodata cells are not drawn: transparent where the text version draws them.
            const auto isNodata = [&](int r, int c) { return c < shape.columns && grid[size_t(r)][size_t(c)] == *nodata; };
            const double cw = double(whole.width()) / n;
            const double ch = double(whole.height()) / n;
            for (int r = 0; r < n; ++r) {
                for (int c = 0; c < n; ++c) {
                    const int x = int(c * cw + whole.x()) - whole.x() + int(cw) / 2;
                    const int y = int(r * ch + whole.y()) - whole.y() + int(ch) / 2;
                    const QString cell = where + QStringLiteral(", cell (%1, %2)").arg(r).arg(c);
                    if (isNodata(r, c)) {
                        QVERIFY2(qAlpha(rasterWhole.pixel(x, y)) == 0, qPrintable(cell));
                        QVERIFY2(qAlpha(textWhole.pixel(x, y)) == 255, qPrintable(cell));
                    } else {
                        QVERIFY2(rasterWhole.pixel(x, y) == textWhole.pixel(x, y), qPrintable(cell));
                    }
                }
            }
            for (int j = 0; j < small.height(); ++j) {
                for (int i = 0; i < small.width(); ++i) {
                    const int c = int((2 * qint64(i) + 1) * n / (2 * qint64(small.width())));
                    const int r = int((2 * qint64(j) + 1) * n / (2 * qint64(small.height())));
                    const QString pixel = where + QStringLiteral(", pixel (%1, %2)").arg(i).arg(j);
                    if (isNodata(r, c)) {
                        QVERIFY2(qAlpha(rasterSmall.pixel(i, j)) == 0, qPrintable(pixel));
                        QVERIFY2(qAlpha(textSmall.pixel(i, j)) == 255, qPrintable(pixel));
                    } else {
                        QVERIFY2(rasterSmall.pixel(i, j) == textSmall.pixel(i, j), qPrintable(pixel));
                    }
                }
            }
        }
    }
    // The grids lie near the thresholds: the answers compared are not all alike.
    QVERIFY2(spanned > 0 && spanned < tried, qPrintable(QStringLiteral("%1 of %2 spanned").arg(spanned).arg(tried)));
}

void TestRasterLandscapes::largeRastersReadInStrips_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("tiled");
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("columns");

    // Rasters of more than a million cells of the square: the reader takes
    // them in strips of whole blocks, about a million cells each.
    QTest::newRow("GeoTIFF Byte, tiled, nodata, 1100 x 1450") << QByteArray("GTiff") << 0 << true << 1100 << 1450;
    QTest::newRow("GeoTIFF Int16, striped, nodata, 2300 x 700") << QByteArray("GTiff") << 1 << false << 2300 << 700;
    QTest::newRow("ESRI ASCII grid from Int32, nodata, 1050 x 1050") << QByteArray("AAIGrid") << 3 << false << 1050 << 1050;
}

void TestRasterLandscapes::largeRastersReadInStrips()
{
    QFETCH(QByteArray, format);
    QFETCH(int, type);
    QFETCH(bool, tiled);
    QFETCH(int, lines);
    QFETCH(int, columns);

    const TypeInfo &info = types()[size_t(type)];
    QRandomGenerator rng(static_cast<quint32>(lines));
    const IntGrid grid = randomGrid(rng, lines, columns, info.palette, 1);
    RasterFixture::Options options;
    options.format = format;
    options.type = info.type;
    options.tiled = tiled;
    options.blockSize = tiled ? 64 : 9;
    options.compression = format == "GTiff" ? "DEFLATE" : "";
    options.nodata = 3;
    const Pair pair = writePair(safeName(QTest::currentDataTag()), format == "GTiff" ? ".tif" : ".asc", grid, options);
    QVERIFY(!pair.raster.isEmpty());

    for (int cover : {1, 3}) {
        RaggedRows<qint8> fromRaster;
        RaggedRows<qint8> fromText;
        QString error;
        QVERIFY2(LandscapeReader::readPercolation(pair.raster, cover, fromRaster, &error), qPrintable(error));
        QVERIFY(LandscapeReader::readPercolation(pair.text, cover, fromText));
        QVERIFY2(nested(fromRaster) == withNoValue(nested(fromText), grid, 3), qPrintable(QStringLiteral("cover %1").arg(cover)));
        const SpanningRule rule(SpanningRule::Cluster4, SpanningRule::Either);
        QCOMPARE(answer(pair.raster, cover, rule), answer(pair.text, cover, rule));
    }
    MapGrid map;
    QString error;
    QVERIFY2(LandscapeReader::readDisplay(pair.raster, map, &error), qPrintable(error));
    QCOMPARE(map.rowCount(), qsizetype(lines));
    for (int r = 0; r < lines; ++r) {
        QCOMPARE(map.rowLength(r), qsizetype(std::min(lines, columns)));
        for (int c = 0; c < map.rowLength(r); ++c) {
            const int v = grid[size_t(r)][size_t(c)];
            if (map.hasValue(r, c) == (v == 3) || (v != 3 && map.value(r, c) != v))
                QFAIL(qPrintable(QStringLiteral("cell (%1, %2)").arg(r).arg(c)));
        }
    }
}

void TestRasterLandscapes::columnsBeyondTheSquareAreNotRead()
{
    // 20 lines of 64 columns in DEFLATE tiles of 16 x 16: the tiles of
    // columns 32 to 63 lie wholly right of the square and are damaged. The
    // square reads; every column (--tile) does not.
    QRandomGenerator rng(11);
    const IntGrid grid = randomGrid(rng, 20, 64, types()[0].palette, 1);
    RasterFixture::Options options;
    options.tiled = true;
    options.blockSize = 16;
    options.compression = "DEFLATE";
    const Pair pair = writePair(QStringLiteral("damaged-right"), QStringLiteral(".tif"), grid, options);
    QVERIFY(!pair.raster.isEmpty());
    for (int y = 0; y < 2; ++y) {
        for (int x = 2; x < 4; ++x) {
            const auto block = tiffBlock(pair.raster, x, y);
            QVERIFY(block.first > 0 && block.second > 0);
            QVERIFY(overwrite(pair.raster, block.first, QByteArray(int(block.second), '\xA5')));
        }
    }

    for (int cover : {1, 0, 2}) {
        RaggedRows<qint8> fromRaster;
        RaggedRows<qint8> fromText;
        QString error;
        QVERIFY2(LandscapeReader::readPercolation(pair.raster, cover, fromRaster, &error), qPrintable(error));
        QVERIFY(LandscapeReader::readPercolation(pair.text, cover, fromText));
        QVERIFY(nested(fromRaster) == square(nested(fromText)));
    }
    MapGrid map;
    QString error;
    QVERIFY2(LandscapeReader::readDisplay(pair.raster, map, &error), qPrintable(error));
    QCOMPARE(map.rowCount(), qsizetype(20));
    QCOMPARE(map.rowLength(0), qsizetype(20));

    const ChildRun run = percolate({"-q", "--rule", "cluster4", pair.raster}, work.path(), scratch());
    const ChildRun text = percolate({"-q", "--rule", "cluster4", pair.text}, work.path(), scratch());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, "vantrix-percolate: " + QFile::encodeName(pair.raster)
                     + ": the square of 20 x 20 cells tested leaves 880 cell(s) of the map out (--extent full tests "
                       "them all under the cluster rules, --tile in squares)\n");
    QCOMPARE(mapPaths(run.out, {{QFile::encodeName(pair.raster), QFile::encodeName(pair.text)}}), text.out);

    // The damage is real: reading every column fails on it, with GDAL's reason.
    const ChildRun tiles = percolate({"-q", "--tile", "10", pair.raster}, work.path(), scratch());
    QCOMPARE(tiles.exitCode, 1);
    QCOMPARE(tiles.out, QFile::encodeName(pair.raster) + "\t0\nProbability Percolation (PP) = 0\n");
    QVERIFY2(tiles.err.startsWith("vantrix-percolate: " + QFile::encodeName(pair.raster) + ": "), tiles.err.constData());
    QVERIFY2(tiles.err.contains("Decoding error") || tiles.err.contains("ZIPDecode"), tiles.err.constData());
}

void TestRasterLandscapes::commandSameAsText_data()
{
    QTest::addColumn<QStringList>("options");

    QTest::newRow("walk, cover 1") << QStringList{"--cover", "1"};
    QTest::newRow("walk left-right, cover 1") << QStringList{"--cover", "1", "--direction", "left-right"};
    QTest::newRow("cluster4, cover 1") << QStringList{"--rule", "cluster4", "--cover", "1"};
    QTest::newRow("cluster8, cover 1") << QStringList{"--rule", "cluster8", "--cover", "1"};
    QTest::newRow("cluster4, cover 0") << QStringList{"--rule", "cluster4", "--cover", "0"};
    QTest::newRow("cluster4 top-bottom, cover 3 (nodata)")
            << QStringList{"--rule", "cluster4", "--direction", "top-bottom", "--cover", "3"};
    QTest::newRow("cover from config.txt") << QStringList{"--rule", "cluster4"};
}

void TestRasterLandscapes::commandSameAsText()
{
    QFETCH(QStringList, options);

    if (!options.contains(QStringLiteral("--cover")))
        QVERIFY(TestUtil::writeFile(path(QStringLiteral("config.txt")), "0\n1\n"));
    QStringList rasters;
    QStringList texts;
    QHash<QByteArray, QByteArray> toText;
    for (const Pair &p : commandFiles) {
        rasters << p.raster;
        texts << p.text;
        toText.insert(QFile::encodeName(p.raster), QFile::encodeName(p.text));
    }
    // Text and raster files by turns, some of them twice, in both versions.
    QStringList mixed;
    QStringList mixedAsText;
    for (size_t i = 0; i < commandFiles.size(); ++i) {
        const Pair &p = commandFiles[i];
        mixed << (i % 2 ? p.text : p.raster);
        mixedAsText << p.text;
        if (i % 3 == 0) {
            mixed << (i % 2 ? p.raster : p.text);
            mixedAsText << p.text;
        }
    }
    const QStringList quiet = QStringList{"-q"} + options;
    const ChildRun rasterRun = percolate(quiet + QStringList{"-j", "2"} + rasters, work.path(), scratch());
    const ChildRun textRun = percolate(quiet + QStringList{"-j", "2"} + texts, work.path(), scratch());
    for (const ChildRun *run : {&rasterRun, &textRun}) {
        QVERIFY2(run->exitCode == 0, (describe(*run) + '\n' + run->err).constData());
    }
    // Notes (a cover absent from a map, cells left out) alike for both.
    QCOMPARE(renamed(rasterRun.err, toText), renamed(textRun.err, {}));
    QCOMPARE(mapPaths(rasterRun.out, toText), textRun.out);
    QCOMPARE(textRun.out.count('\n'), qsizetype(commandFiles.size() + 1));

    const ChildRun mixed1 = percolate(quiet + QStringList{"-j", "1"} + mixed, work.path(), scratch());
    const ChildRun mixed2 = percolate(quiet + QStringList{"-j", "2"} + mixed, work.path(), scratch());
    const ChildRun mixedText = percolate(quiet + QStringList{"-j", "2"} + mixedAsText, work.path(), scratch());
    QCOMPARE(mixed1.exitCode, 0);
    QCOMPARE(mixed2.exitCode, 0);
    QCOMPARE(renamed(mixed1.err, toText), renamed(mixedText.err, {}));
    QCOMPARE(mixed1.out, mixed2.out);
    QCOMPARE(mapPaths(mixed1.out, toText), mixedText.out);

    // The same answers as the rules give in this process, file by file.
    QList<QPair<QString, int>> expected;
    const auto rule = SpanningRule(
            *SpanningRule::kindNamed(options.contains("--rule") ? options[options.indexOf("--rule") + 1] : QStringLiteral("walk")),
            *SpanningRule::directionNamed(options.contains("--direction") ? options[options.indexOf("--direction") + 1]
                                                                          : QStringLiteral("either")));
    const qint32 cover = options.contains("--cover") ? options[options.indexOf("--cover") + 1].toInt() : 0;
    for (const QString &t : texts)
        expected << qMakePair(t, answer(t, cover, rule));
    QVERIFY(textRun.out.startsWith(reportOf(expected)));
    // The landscapes lie near the thresholds: answers of both kinds are compared.
    QVERIFY2(textRun.out.contains("\t1\n") && textRun.out.contains("\t0\n"), textRun.out.constData());
}

void TestRasterLandscapes::commandBands_data()
{
    QTest::addColumn<int>("band");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<bool>("withText");

    QTest::newRow("band 1 of 2") << 1 << "walk" << false;
    QTest::newRow("band 2 of 2") << 2 << "walk" << false;
    QTest::newRow("band 2 of 2, cluster4") << 2 << "cluster4" << false;
    QTest::newRow("band 3 of 2") << 3 << "walk" << false;
    QTest::newRow("band 3 of 2, cluster8") << 3 << "cluster8" << false;
    QTest::newRow("band 2 of 2 and a text file") << 2 << "cluster4" << true;
}

void TestRasterLandscapes::commandBands()
{
    QFETCH(int, band);
    QFETCH(QString, rule);
    QFETCH(bool, withText);

    // Two bands of different classes; the text versions of each band.
    QRandomGenerator rng(17);
    const IntGrid first = randomGrid(rng, 34, 41, {0, 1, 2, 3}, 1);
    const IntGrid second = randomGrid(rng, 34, 41, {0, 1, 2, 3}, 2);
    RasterFixture::Options options;
    options.type = GDT_Int16;
    options.tiled = true;
    options.compression = "LZW";
    options.moreBands = {RasterFixture::fromInts(second)};
    QString error;
    const QString raster = RasterFixture::writeRaster(path(QStringLiteral("two-bands.tif")), RasterFixture::fromInts(first),
                                                      options, &error);
    QVERIFY2(!raster.isEmpty(), qPrintable(error));
    const QString firstText = TestUtil::writeFixture(work.path(), "band-1.txt", RasterFixture::landscapeText(first));
    const QString secondText = TestUtil::writeFixture(work.path(), "band-2.txt", RasterFixture::landscapeText(second));
    const QString other = commandFiles[0].text;

    for (const char *cover : {"1", "2"}) {
        QStringList files{raster};
        if (withText)
            files << other;
        const ChildRun run = percolate(QStringList{"-q", "--cover", cover, "--rule", rule, "--band", QString::number(band)} + files,
                                       work.path(), scratch());
        const QByteArray rasterName = QFile::encodeName(raster);
        if (band <= 2) {
            const ChildRun text = percolate({"-q", "--cover", cover, "--rule", rule, band == 1 ? firstText : secondText},
                                            work.path(), scratch());
            QCOMPARE(text.exitCode, 0);
            const QByteArray line = mapPaths(run.out, {{rasterName, QFile::encodeName(band == 1 ? firstText : secondText)}})
                                            .split('\n')[0];
            QCOMPARE(line, text.out.split('\n')[0]);
            if (!withText) {
                QCOMPARE(run.exitCode, 0);
                QCOMPARE(renamed(run.err, {{rasterName, QFile::encodeName(band == 1 ? firstText : secondText)}}),
                         renamed(text.err, {}));
                QCOMPARE(mapPaths(run.out, {{rasterName, QFile::encodeName(secondText)}}),
                         mapPaths(text.out, {{QFile::encodeName(firstText), QFile::encodeName(secondText)}}));
            } else {
                // A text landscape has band 1 only: that file is unreadable, the raster is not.
                QCOMPARE(run.exitCode, 1);
                QVERIFY2(run.err.endsWith("vantrix-percolate: " + QFile::encodeName(other)
                                          + ": a text landscape has no band 2\n"),
                         run.err.constData());
                QCOMPARE(run.out.split('\n')[1], QFile::encodeName(other) + "\t0");
            }
        } else {
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(run.out, rasterName + "\t0\nProbability Percolation (PP) = 0\n");
            QCOMPARE(run.err, "vantrix-percolate: " + rasterName + ": band 3 does not exist: the raster has 2 bands\n");
        }
    }
}

void TestRasterLandscapes::commandTiles_data()
{
    QTest::addColumn<int>("file"); // index into commandFiles
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("rule");

    QTest::newRow("GeoTIFF 30 x 45, tiles of 8, walk") << 1 << 8 << "walk";
    QTest::newRow("GeoTIFF 30 x 45, tiles of 15, cluster4") << 1 << 15 << "cluster4";
    QTest::newRow("GeoTIFF 40 x 25, tiles of 7, cluster8") << 2 << 7 << "cluster8";
    QTest::newRow("GeoTIFF 44 x 30, tiles of 11, cluster4") << 6 << 11 << "cluster4";
    QTest::newRow("ESRI ASCII grid 28 x 40, tiles of 9, walk") << 4 << 9 << "walk";
    QTest::newRow("GeoTIFF 36 x 36, tiles of 40 (none complete)") << 0 << 40 << "cluster4";
}

void TestRasterLandscapes::commandTiles()
{
    QFETCH(int, file);
    QFETCH(int, size);
    QFETCH(QString, rule);

    const Pair &pair = commandFiles[size_t(file)];
    const int lines = int(pair.grid.size());
    const int columns = int(pair.grid[0].size());
    for (const char *cover : {"1", "0"}) {
        const QStringList args{"-q", "--cover", cover, "--rule", rule, "--tile", QString::number(size)};
        const ChildRun run = percolate(args + QStringList{pair.raster}, work.path(), scratch());
        const ChildRun text = percolate(args + QStringList{pair.text}, work.path(), scratch());
        // A run that tests no square says so (status 1), for a raster as for text.
        const int tested = size <= std::min(lines, columns) ? 0 : 1;
        QCOMPARE(run.exitCode, tested);
        QCOMPARE(text.exitCode, tested);
        QCOMPARE(mapPaths(run.out, {{QFile::encodeName(pair.raster), QFile::encodeName(pair.text)}}), text.out);
        QCOMPARE(renamed(run.err, {{QFile::encodeName(pair.raster), QFile::encodeName(pair.text)}}), renamed(text.err, {}));
        const qsizetype squares = qsizetype(lines / size) * (columns / size);
        QByteArrayList reportLines = run.out.split('\n');
        QCOMPARE(reportLines.size(), squares + 2);
        const QRegularExpression line(QRegularExpression::escape(pair.raster) + QStringLiteral("#(\\d+),(\\d+)\t[01]"));
        for (qsizetype i = 0; i < squares; ++i) {
            const auto match = line.match(QString::fromLocal8Bit(reportLines[i]));
            QVERIFY2(match.hasMatch() && match.capturedLength() == reportLines[i].size(), reportLines[i].constData());
            QCOMPARE(match.captured(1).toInt(), int(i / (columns / size)) * size);
            QCOMPARE(match.captured(2).toInt(), int(i % (columns / size)) * size);
        }
        const qint64 incomplete = qint64((lines + size - 1) / size) * ((columns + size - 1) / size) - squares;
        QCOMPARE(run.err.isEmpty(), incomplete == 0);
        if (incomplete > 0)
            QVERIFY2(run.err.contains(" " + QByteArray::number(incomplete) + " incomplete square"), run.err.constData());
    }
}

void TestRasterLandscapes::hostile_data()
{
    QTest::addColumn<QByteArray>("bytes"); // a directory when null
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("band");
    QTest::addColumn<QString>("reason"); // a regular expression for the reason given
    // The program's reason when it is not the reader's: the programs refuse
    // what the walk cannot hold themselves (the cluster rules would stream it).
    QTest::addColumn<QString>("programReason");

    // A valid tiled LZW GeoTIFF to damage.
    QRandomGenerator rng(3);
    RasterFixture::Options options;
    options.tiled = true;
    options.compression = "LZW";
    options.type = GDT_Int16;
    const QString good = RasterFixture::writeRaster(path(QStringLiteral("to-damage.tif")),
                                                    RasterFixture::fromInts(randomGrid(rng, 64, 64, {0, 1, 2}, 1)), options);
    QVERIFY(!good.isEmpty());
    const QByteArray tiff = readAll(good);
    QVERIFY(tiff.size() > 1000);
    const auto [tileOffset, tileSize] = tiffBlock(good, 1, 1);
    QVERIFY(tileOffset > 0 && tileSize > 16);

    // GDAL's (libtiff's) own words for damaged files.
    const QString noDirectory = QStringLiteral("TIFFFetchDirectory:.*Can not read TIFF directory");
    // GDAL's wrapper of a block's failure adds where the block lies, not the failure again.
    const QString badTile = QStringLiteral("TIFFReadEncodedTile\\(\\) failed\\.; .*IReadBlock failed at X offset \\d+, Y offset \\d+$");
    QTest::newRow("GeoTIFF cut to 8 bytes") << tiff.left(8) << "cut-8.tif" << 1 << noDirectory << QString();
    QTest::newRow("GeoTIFF cut to 100 bytes") << tiff.left(100) << "cut-100.tif" << 1 << noDirectory << QString();
    QTest::newRow("GeoTIFF cut in half") << tiff.left(tiff.size() / 2) << "cut-half.tif" << 1
                                         << QStringLiteral("^TIFFFillTile:Read error at row \\d+, col \\d+, tile \\d+; .*") + badTile << QString();
    QTest::newRow("GeoTIFF cut 20 bytes short") << tiff.left(tiff.size() - 20) << "cut-end.tif" << 1
                                                << QStringLiteral("^TIFFFillTile:Read error at .*") + badTile << QString();
    QByteArray garbled = tiff;
    garbled.replace(tileOffset, tileSize, QByteArray(int(tileSize), '\xFF'));
    QTest::newRow("GeoTIFF with a tile overwritten") << garbled << "garbled-tile.tif" << 1
                                                     << QStringLiteral("Using code not yet in table; .*") + badTile << QString();
    QByteArray badIfd = tiff;
    badIfd[4] = '\xF0'; // the first directory's offset, far past the end
    badIfd[5] = '\xFF';
    badIfd[6] = '\xFF';
    QTest::newRow("GeoTIFF pointing past its end for its directory")
            << badIfd << "bad-ifd.tif" << 1 << QStringLiteral("Failed to read directory at offset 16777200$") << QString();
    QTest::newRow("missing band") << tiff << "one-band.tif" << 2 << "^band 2 does not exist: the raster has 1 band$" << QString();
    QTest::newRow("directory named x.tif") << QByteArray() << "x.tif" << 1 << "^is a directory$" << QString();
    // ESRI ASCII grids GDAL cannot open: refused, never their header's numbers read as cells of a text landscape.
    QTest::newRow("ESRI ASCII grid with a misspelt keyword")
            << QByteArray("ncols 3\nnrows 3\nxllcorner 0\nyllcorner 0\ncelsize 1\n1 1 1\n1 0 0\n1 0 0\n") << "typo.asc" << 1
            << "^GDAL cannot open this ESRI ASCII grid: its header has no cellsize \\(nor dx and dy\\), and GDAL knows "
               "no keyword 'celsize'$"
            << QString();
    QTest::newRow("ESRI ASCII grid whose values start with nan on every line")
            << QByteArray("NCOLS 2\r\nNROWS 2\r\nXLLCENTER 0\r\nYLLCENTER 0\r\nCELLSIZE 1\r\nNODATA_VALUE nan\r\nnan 1\r\nnan 1\r\n")
            << "nan.asc" << 1 << "^GDAL cannot open this ESRI ASCII grid: Couldn't find data values in ASCII Grid file\\. "
                                "\\(its line 'nan 1' starts with a letter" << QString();

    // Small files that declare large rasters: refused before anything large
    // is allocated, or failing at their first strip having touched little
    // memory (all of the raster, 256 MB and 180 MB with the row offsets of
    // the tall one, would be far above the bound; the sizes stay modest for
    // AddressSanitizer, whose shadow of what is reserved costs an eighth).
    const QString walkRefusal = QStringLiteral("--tile and the cluster rules \\(cluster4, cluster8\\) .*have no such limit$");
    const QString tooMany = QStringLiteral("^the raster is %1 x %2 pixels \\(\\d+ cells read\\): more than 4294967295 "
                                           "cells, the most the walk can test; --tile and the cluster rules "
                                           "\\(cluster4, cluster8\\) read a landscape in bands of rows and have no such "
                                           "limit$");
    QTest::newRow("1,000,000 x 1,000,000 GeoTIFF in 600 bytes")
            << RasterFixture::tinyTiff(1000000, 1000000, 5, 256, 0) << "huge.tif" << 1 << tooMany.arg(1000000).arg(1000000)
            << walkRefusal;
    QTest::newRow("100,000 x 100,000 ESRI ASCII grid in 70 bytes")
            << QByteArray("ncols 100000\nnrows 100000\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 0 1\n") << "huge.asc" << 1
            << tooMany.arg(100000).arg(100000)
            << walkRefusal;
    const QString stripTable = QStringLiteral("^_TIFFPartialReadStripArray:Cannot read offset/size for strile");
    const QString refusedOrGdal = QStringLiteral("^the raster needs \\d+ MB for .*, more than this machine's memory|%1");
    QTest::newRow("16,000 x 16,000 ESRI ASCII grid in 70 bytes")
            << QByteArray("ncols 16000\nnrows 16000\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 0 1\n") << "large.asc" << 1
            << refusedOrGdal.arg(QStringLiteral("the ESRI ASCII grid is cut short: its values end in row 1 of 16000, "
                                                "after 3 of its 16000 values$")) << QString();
    QTest::newRow("16,000 x 16,000 GeoTIFF in 600 bytes")
            << RasterFixture::tinyTiff(16000, 16000, 5, 0, 1) << "large.tif" << 1 << refusedOrGdal.arg(stripTable) << QString();
    // The walk holds the 20,000,000 cells this map has (not its square's
    // 4e14), so it reads it, and fails where its strips are missing.
    QTest::newRow("1 x 20,000,000 GeoTIFF in 600 bytes, strips of 1000 lines")
            << RasterFixture::tinyTiff(1, 20000000, 1, 0, 1000) << "tall.tif" << 1 << refusedOrGdal.arg(stripTable)
            << QString();
}

void TestRasterLandscapes::hostile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QFETCH(int, band);
    QFETCH(QString, reason);
    QFETCH(QString, programReason);

    const QString file = path(QStringLiteral("hostile-") + name);
    if (bytes.isNull())
        QVERIFY(QDir().mkpath(file));
    else
        QVERIFY(TestUtil::writeFile(file, bytes));
    const QByteArray encoded = QFile::encodeName(file);
    const QRegularExpression expected(reason);

    // The reader, in a child: both modes fail with the reason, printing
    // nothing, within a few MB of an idle child (which starts with this
    // process's pages).
    const qint64 idleKb = runForked([] { return QByteArray("idle"); }, scratch()).peakKb;
    const ChildRun reader = runForked(
            [&] {
                RaggedRows<qint8> rows;
                MapGrid map;
                QString percolationError;
                QString displayError;
                LandscapeReader::Options options;
                options.band = band;
                const bool percolation = LandscapeReader::readPercolation(encoded, 1, rows, &percolationError, options);
                const bool display = LandscapeReader::readDisplay(encoded, map, &displayError, band);
                return QByteArray(percolation || !rows.isEmpty() ? "read" : "refused") + '\n'
                        + (display || !map.isEmpty() ? "read" : "refused") + '\n' + percolationError.toUtf8() + '\n'
                        + displayError.toUtf8();
            },
            scratch(), 30);
    QVERIFY2(reader.finished && reader.exitCode == 0, describe(reader).constData());
    const QByteArrayList outcome = reader.out.split('\n');
    QCOMPARE(outcome.size(), qsizetype(4));
    QCOMPARE(outcome[0], QByteArray("refused"));
    QCOMPARE(outcome[1], QByteArray("refused"));
    for (const QByteArray &why : {outcome[2], outcome[3]})
        QVERIFY2(expected.match(QString::fromUtf8(why)).hasMatch(), why.constData());
    QCOMPARE(reader.err, QByteArray());
    QVERIFY2(reader.millis < 5000, qPrintable(QStringLiteral("%1 ms").arg(reader.millis)));
    QVERIFY2(reader.peakKb - idleKb < 64 * 1024,
             qPrintable(QStringLiteral("%1 MB above an idle child").arg((reader.peakKb - idleKb) / 1024)));

    // The program: a line with 0, the file and the reason on standard
    // error, exit status 1; within a few MB of a run on a small GeoTIFF.
    const qint64 baselineKb = percolate({"-q", "--rule", "walk", commandFiles[0].raster}, work.path(), scratch()).peakKb;
    const ChildRun run = percolate({"-q", "--rule", "walk", "--band", QString::number(band), file}, work.path(),
                                   scratch(), 30);
    QVERIFY2(run.finished, describe(run).constData());
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, encoded + "\t0\nProbability Percolation (PP) = 0\n");
    const QByteArray prefix = "vantrix-percolate: " + encoded + ": ";
    QVERIFY2(run.err.startsWith(prefix) && run.err.endsWith('\n') && run.err.count('\n') == 1, run.err.constData());
    const QByteArray said = run.err.mid(prefix.size()).chopped(1);
    if (programReason.isEmpty()) {
        QVERIFY2(expected.match(QString::fromUtf8(said)).hasMatch(), said.constData());
        QCOMPARE(said, outcome[2]);
    } else {
        QVERIFY2(QRegularExpression(programReason).match(QString::fromUtf8(said)).hasMatch(), said.constData());
    }
    QVERIFY2(run.millis < 5000, qPrintable(QStringLiteral("%1 ms").arg(run.millis)));
    QVERIFY2(run.peakKb - baselineKb < 64 * 1024,
             qPrintable(QStringLiteral("%1 MB above a run on a small raster").arg((run.peakKb - baselineKb) / 1024)));
}

void TestRasterLandscapes::outOfMemoryIsAnOutcome()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer's allocator dies instead of throwing std::bad_alloc");
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    QSKIP("AddressSanitizer's allocator dies instead of throwing std::bad_alloc");
#endif
#endif
    // A valid raster of 1 x 50,000,000 cells, all sparse (a file of a few
    // KB): 50 MB of cells and 400 MB of row offsets. Read in a child whose
    // address space is limited to 256 MB more than it has: a clear refusal,
    // not a crash.
    const QString file = path(QStringLiteral("sparse-tall.tif"));
    RasterFixture::writeRaster(path(QStringLiteral("gdal-setup.tif")), {{1}}); // sets GDAL up, quietly
    const char *creation[] = {"SPARSE_OK=TRUE", "BLOCKYSIZE=1000000", nullptr};
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), QFile::encodeName(file).constData(), 1, 50000000, 1,
                                 GDT_Byte, const_cast<char **>(creation));
    QVERIFY(ds);
    GDALClose(ds);
    QVERIFY(QFileInfo(file).size() < 100000);
    const QByteArray encoded = QFile::encodeName(file);
    const ChildRun run = runForked(
            [&] {
                QFile statm(QStringLiteral("/proc/self/statm"));
                if (!statm.open(QIODevice::ReadOnly))
                    return QByteArray("no /proc/self/statm");
                const qint64 pages = statm.readAll().split(' ')[0].toLongLong();
                const rlim_t limit = rlim_t(pages * sysconf(_SC_PAGE_SIZE) + (qint64(256) << 20));
                const rlimit bound{limit, limit};
                if (setrlimit(RLIMIT_AS, &bound) != 0)
                    return QByteArray("setrlimit failed");
                RaggedRows<qint8> rows;
                MapGrid map;
                QString percolationError;
                QString displayError;
                const bool percolation = LandscapeReader::readPercolation(encoded, 0, rows, &percolationError);
                const bool display = LandscapeReader::readDisplay(encoded, map, &displayError);
                return QByteArray(percolation ? "read" : "refused") + '\n' + (display ? "read" : "refused") + '\n'
                        + percolationError.toUtf8() + '\n' + displayError.toUtf8();
            },
            scratch(), 60);
    QVERIFY2(run.finished && run.exitCode == 0, describe(run).constData());
    const QByteArray message = "there is not enough memory for the raster's 1 x 50000000 cells";
    QCOMPARE(run.out, "refused\nrefused\n" + message + '\n' + message);
    QCOMPARE(run.err, QByteArray());
}

void TestRasterLandscapes::desktopShowsRaster_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("columns");
    QTest::addColumn<bool>("nodataValue"); // nodata -1, else an internal mask
    QTest::addColumn<QString>("extension");

    QTest::newRow("GeoTIFF wider than tall, nodata value") << QByteArray("GTiff") << 11 << 16 << true << ".tif";
    QTest::newRow("GeoTIFF taller than wide, mask") << QByteArray("GTiff") << 13 << 8 << false << ".tif";
    QTest::newRow("GeoTIFF square, mask") << QByteArray("GTiff") << 12 << 12 << false << ".tif";
    QTest::newRow("ESRI ASCII grid, nodata value") << QByteArray("AAIGrid") << 10 << 10 << true << ".asc";
}

void TestRasterLandscapes::desktopShowsRaster()
{
    QFETCH(QByteArray, format);
    QFETCH(int, lines);
    QFETCH(int, columns);
    QFETCH(bool, nodataValue);
    QFETCH(QString, extension);

    QRandomGenerator rng(quint32(lines * 100 + columns));
    IntGrid grid = randomGrid(rng, lines, columns, {0, 1, 2, -1}, 0);
    std::vector<std::vector<int>> mask(size_t(lines), std::vector<int>(size_t(columns), 1));
    RasterFixture::Options options;
    options.format = format;
    options.type = GDT_Int16;
    options.tiled = format == "GTiff";
    if (nodataValue) {
        options.nodata = -1;
    } else {
        for (auto &row : mask) {
            for (int &m : row)
                m = rng.bounded(5) != 0;
        }
        options.mask = mask;
    }
    QString error;
    const QString raster = RasterFixture::writeRaster(path(safeName(QTest::currentDataTag()) + extension),
                                                      RasterFixture::fromInts(grid), options, &error);
    QVERIFY2(!raster.isEmpty(), qPrintable(error));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.currentMatrixValue(), 0);
    GuiUtil::chooseFiles(this, window.findChild<QAction *>(QStringLiteral("actionOpen")), {raster});
    auto *list = window.findChild<QListWidget *>(QStringLiteral("fileListView"));
    QCOMPARE(list->count(), 1);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
    QCOMPARE(list->currentRow(), 0);
    QCOMPARE(window.currentMap().rowCount(), qsizetype(lines));

    const QRect area = window.mapArea();
    const QImage map = window.grab().toImage().copy(area);
    const int n = lines;
    const double cw = double(area.width()) / n;
    const double ch = double(area.height()) / n;
    QVERIFY(cw >= 8 && ch >= 8);
    int drawn = 0;
    int undrawn = 0;
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
            const int x = int(c * cw + area.x()) - area.x() + int(cw) / 2;
            const int y = int(r * ch + area.y()) - area.y() + int(ch) / 2;
            const QRgb colour = map.pixel(x, y) | 0xff000000;
            const QString where = QStringLiteral("cell (%1, %2)").arg(r).arg(c);
            const bool present = c < columns && (nodataValue ? grid[size_t(r)][size_t(c)] != -1 : mask[size_t(r)][size_t(c)] != 0);
            if (!present) {
                // The background: translucent green over the window.
                QVERIFY2(qGreen(colour) > qRed(colour) + 40 && qGreen(colour) > qBlue(colour) + 40, qPrintable(where));
                ++undrawn;
            } else if (grid[size_t(r)][size_t(c)] == 0) {
                QVERIFY2(colour == qRgb(255, 255, 255), qPrintable(where));
                ++drawn;
            } else {
                QVERIFY2(colour == qRgb(0, 0, 0), qPrintable(where));
                ++drawn;
            }
        }
    }
    QVERIFY(drawn > 0 && undrawn > 0);
}

void TestRasterLandscapes::desktopNamesUnreadableRaster()
{
    // A good GeoTIFF, the same GeoTIFF cut in half, and the good one's text version.
    QRandomGenerator rng(23);
    RasterFixture::Options options;
    options.tiled = true;
    options.compression = "LZW";
    const IntGrid grid = randomGrid(rng, 48, 48, {0, 1, 2}, 1);
    const Pair good = writePair(QStringLiteral("desktop-good"), QStringLiteral(".tif"), grid, options);
    QVERIFY(!good.raster.isEmpty());
    const QByteArray tiff = readAll(good.raster);
    const QString cut = TestUtil::writeFixture(work.path(), QStringLiteral("desktop-cut.tif"), tiff.left(tiff.size() / 2));
    RaggedRows<qint8> rows;
    QString reason;
    QVERIFY(!LandscapeReader::readPercolation(cut, 1, rows, &reason));
    QVERIFY2(QRegularExpression(QStringLiteral("TIFFReadEncodedTile\\(\\) failed")).match(reason).hasMatch(), qPrintable(reason));

    MainWindow window;
    window.show();
    GuiUtil::chooseFiles(this, window.findChild<QAction *>(QStringLiteral("actionOpen")), {good.raster, cut, good.text});
    QStringList warnings;
    std::function<void(QMessageBox *)> answer = [this, &warnings, &answer](QMessageBox *box) {
        warnings << box->text();
        box->accept();
        GuiUtil::whenShown<QMessageBox>(this, answer);
    };
    GuiUtil::whenShown<QMessageBox>(this, answer);
    window.findChild<QAction *>(QStringLiteral("actionPercolation"))->trigger();
    QCoreApplication::processEvents();
    qDeleteAll(findChildren<QTimer *>());

    const int spans = PercolationGrid::testLandscape(QFile::encodeName(good.text), 1);
    const QByteArray mean = spans ? "0.666667" : "0";
    QCOMPARE(readAll(QStringLiteral("percolation.txt")),
             reportOf({{good.raster, spans}, {cut, 0}, {good.text, spans}}) + "Probability Percolation (PP) = " + mean + '\n');
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].contains(cut + QStringLiteral(": ") + reason), qPrintable(warnings[0]));
    QVERIFY(!warnings[0].contains(good.raster));
}

void TestRasterLandscapes::printsNothing()
{
    // The tests that read rasters in this process (the desktop program's
    // among them), run again by a child whose standard error is kept apart:
    // QtTest reports on standard output, so GDAL must not have printed a word.
    // Qt itself would warn about a missing runtime directory before QtTest takes its messages.
    const QString runtime = scratch() + QStringLiteral("/runtime");
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    QProcess child;
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {"sameAsText:GeoTIFF Int16, tiled, LZW, nodata", "sameAsText:ESRI ASCII grid from Int32, nodata",
                 "columnsBeyondTheSquareAreNotRead", "desktopShowsRaster", "desktopNamesUnreadableRaster"});
    QVERIFY(child.waitForFinished(120000));
    const QByteArray out = child.readAllStandardOutput();
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QVERIFY2(child.exitCode() == 0, out.constData());
    QVERIFY2(out.contains("Totals: ") && !out.contains("Totals: 0 passed"), out.constData());
    QCOMPARE(child.readAllStandardError(), QByteArray());
}

QTEST_MAIN(TestRasterLandscapes)
#include "tst_rasterlandscapes.moc"
