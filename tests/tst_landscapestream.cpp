// LandscapeStream: bands of rows from text landscapes and rasters, with and
// without reading ahead, against the straightforward reading of the text
// (ReferenceReader) and the grids the rasters were written from; mixed
// requests, seek and skip; a raster of more than 2^32 cells; failures.
#include "cellcodes.h"
#include "coverset.h"
#include "landscapereader.h"
#include "landscapestream.h"
#include "rasterfixture.h"
#include "rastersource.h"
#include "referencereader.h"
#include "testutil.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <gdal.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using RasterFixture::Grid;
using Rows = std::vector<std::vector<int>>;

namespace {

CoverSet coverOf(const char *text)
{
    const std::optional<CoverSet> cover = CoverSet::parse(QString::fromLatin1(text), nullptr);
    if (!cover)
        qFatal("bad cover %s", text);
    return *cover;
}

// Whether value lies in one of the cover's ranges, range by range.
bool inCover(const CoverSet &cover, int value)
{
    for (const auto &range : cover.ranges()) {
        if (value >= range.first && value <= range.second)
            return true;
    }
    return false;
}

// Random landscape text of the kinds people write: ragged rows, fields that
// are no integers, blank and header lines, CR LF, trailing blanks, values of
// several digits and signs.
QByteArray randomText(QRandomGenerator &rng, int lines, int widest)
{
    static const QByteArrayList odd = {"x", "1.5", "-", "1e3", "\t7", "+3", "-12", "0007", "2147483648", "\xa0" "4"};
    QByteArray text;
    for (int l = 0; l < lines; ++l) {
        const int kind = int(rng.bounded(20));
        if (kind == 0) {
            text += "\n"; // a blank line: no row
            continue;
        }
        if (kind == 1) {
            text += "landscape title\r\n"; // no integer field: no row
            continue;
        }
        const int n = 1 + int(rng.bounded(quint32(widest)));
        for (int c = 0; c < n; ++c) {
            if (c > 0)
                text += ' ';
            text += rng.bounded(10) == 0 ? odd[rng.bounded(quint32(odd.size()))] : QByteArray::number(rng.bounded(4));
        }
        if (rng.bounded(2))
            text += ' ';
        text += rng.bounded(5) == 0 ? "\r\n" : "\n";
    }
    return text;
}

// The fields of text that are neither integers nor blank, as the stream
// tallies them.
qint64 skippedFieldsOf(const QByteArray &text)
{
    qint64 count = 0;
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray cut(line.constData(), int(qstrnlen(line.constData(), size_t(line.size()))));
        for (const QByteArray &field : cut.split(' ')) {
            bool ok = false;
            ReferenceReader::toInt(field, &ok);
            if (!ok && !QString::fromLatin1(field).trimmed().isEmpty()
                && !QString::fromLatin1(field).remove(QChar(0xA0)).trimmed().isEmpty())
                ++count;
        }
    }
    return count;
}

Rows truncated(Rows rows, qint64 columns)
{
    for (auto &row : rows) {
        if (qint64(row.size()) > columns)
            row.resize(size_t(columns));
    }
    return rows;
}

// Reads the stream to its end in bands of height rows and joins them:
// habitat for cover, or (cover null) the values with -99 for no value.
Rows readAll(LandscapeStream &stream, qint64 height, qint64 columns, const CoverSet *cover, QString *error)
{
    Rows joined;
    RaggedRows<qint8> band;
    RaggedRows<qint32> values;
    RaggedRows<quint8> present;
    while (stream.nextRow() < stream.rows()) {
        const qint64 before = stream.nextRow();
        if (cover) {
            if (!stream.readHabitat(height, columns, *cover, band, error))
                return {};
            for (qsizetype r = 0; r < band.rowCount(); ++r)
                joined.emplace_back(band.row(r), band.row(r) + band.rowLength(r));
        } else {
            if (!stream.readValues(height, columns, values, present, error))
                return {};
            for (qsizetype r = 0; r < values.rowCount(); ++r) {
                joined.emplace_back();
                for (qsizetype c = 0; c < values.rowLength(r); ++c)
                    joined.back().push_back(present.row(r)[c] ? values.row(r)[c] : -99);
            }
        }
        if (stream.nextRow() != before + std::min(height, stream.rows() - before)) {
            *error = QStringLiteral("band from %1 ends at %2").arg(before).arg(stream.nextRow());
            return {};
        }
    }
    // After the last row: an empty band, and still true.
    if (cover && (!stream.readHabitat(height, columns, *cover, band, error) || !band.isEmpty()))
        *error = QStringLiteral("a band after the last row");
    return joined;
}

// A raster's expected values (-99 for none) and cells for a cover: the first
// `columns` of each line.
Rows expectedValues(const Grid &grid, std::optional<double> nodata, qint64 columns)
{
    Rows rows;
    for (const auto &line : grid) {
        rows.emplace_back();
        for (qint64 c = 0; c < columns; ++c) {
            const double v = line[size_t(c)];
            const bool ok = !(nodata && v == *nodata) && v >= -2147483648.0 && v <= 2147483647.0 && v == std::trunc(v);
            rows.back().push_back(ok ? int(v) : -99);
        }
    }
    return rows;
}

Rows codesOf(const Rows &values, const CoverSet &cover)
{
    Rows rows = values;
    for (auto &row : rows) {
        for (int &v : row)
            v = v == -99 ? CellCode::NoValue : inCover(cover, v) ? CellCode::Habitat : CellCode::Matrix;
    }
    return rows;
}

} // namespace

class TestLandscapeStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void textBands_data();
    void textBands();
    void rasterBands_data();
    void rasterBands();
    void habitatAsBits_data();
    void habitatAsBits();
    void mixedRequests_data();
    void mixedRequests();
    void seekAnyRow_data();
    void seekAnyRow();
    void beyond32Bits();
    void refusals_data();
    void refusals();
    void damagedBand_data();
    void damagedBand();
    void textChangedAfterOpen();
    void gdalOutOfMemoryIsAnOutcome();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestLandscapeStream::initTestCase()
{
    QVERIFY(dir.isValid());
}

void TestLandscapeStream::textBands_data()
{
    QTest::addColumn<int>("height"); // 0: more than the rows
    QTest::addColumn<bool>("prefetch");
    for (bool prefetch : {false, true}) {
        for (int height : {1, 7, 0}) {
            QTest::addRow("bands of %s%s", height ? qPrintable(QString::number(height)) : "more than the rows",
                          prefetch ? ", reading ahead" : "")
                    << height << prefetch;
        }
    }
}

void TestLandscapeStream::textBands()
{
    QFETCH(int, height);
    QFETCH(bool, prefetch);

    QRandomGenerator rng(quint32(height * 2 + prefetch));
    const QByteArray text = randomText(rng, 300, 40);
    const QString file = TestUtil::writeFixture(dir.path(), QStringLiteral("text.txt"), text);
    const Rows values = ReferenceReader::percolationValues(text);
    qint64 widest = 0;
    for (const auto &row : values)
        widest = std::max<qint64>(widest, qint64(row.size()));
    QVERIFY(values.size() > 200 && widest > 30);

    LandscapeStream::Options options;
    options.prefetch = prefetch;
    const qint64 bandHeight = height > 0 ? height : qint64(values.size()) + 5;
    for (const char *coverText : {"1", "0-1", "2,3", "-12,7,3"}) {
        const CoverSet cover = coverOf(coverText);
        for (const qint64 columns : {widest, widest / 2, qint64(1)}) {
            LandscapeStream stream;
            QString error;
            QVERIFY2(stream.open(QFile::encodeName(file), options, &error), qPrintable(error));
            QVERIFY(!stream.isRaster());
            QCOMPARE(stream.rows(), qint64(values.size()));
            QCOMPARE(stream.columns(), widest);
            QCOMPARE(stream.blockHeight(), qint64(1));
            QVERIFY(!stream.geoReference().hasTransform && stream.geoReference().projection.isEmpty());
            QCOMPARE(stream.skippedFields().count, skippedFieldsOf(text));
            const Rows read = readAll(stream, bandHeight, columns, &cover, &error);
            QVERIFY2(error.isEmpty(), qPrintable(error));
            const auto inThisCover = [&cover](int v) { return inCover(cover, v); };
            const Rows expected = truncated(ReferenceReader::percolation(text, inThisCover), columns);
            QVERIFY2(read == expected, qPrintable(QStringLiteral("cover %1, %2 columns").arg(coverText).arg(columns)));
        }
    }
    // The values of the same cells, every one present.
    LandscapeStream stream;
    QString error;
    QVERIFY(stream.open(QFile::encodeName(file), options, &error));
    QVERIFY2(readAll(stream, bandHeight, widest, nullptr, &error) == values, qPrintable(error));
    // What LandscapeReader reads whole, with the same fields skipped.
    RaggedRows<qint8> whole;
    LandscapeReader::Outcome outcome;
    QVERIFY(LandscapeReader::readPercolation(QFile::encodeName(file), CoverSet(1), whole, &error, {}, &outcome));
    QCOMPARE(outcome.skipped.count, stream.skippedFields().count);
    QCOMPARE(outcome.skipped.example, stream.skippedFields().example);
}

void TestLandscapeStream::rasterBands_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("tiled");
    QTest::addColumn<bool>("withMask");
    QTest::addColumn<int>("height"); // -1: the block height; 0: more than the rows
    QTest::addColumn<bool>("prefetch");

    const struct
    {
        const char *name;
        const char *format;
        GDALDataType type;
        bool tiled;
        bool mask;
    } rasters[] = {{"GeoTIFF Byte, tiled, nodata", "GTiff", GDT_Byte, true, false},
                   {"GeoTIFF Int16, striped, nodata", "GTiff", GDT_Int16, false, false},
                   {"GeoTIFF Float32, tiled, nodata", "GTiff", GDT_Float32, true, false},
                   {"GeoTIFF UInt16, tiled, mask", "GTiff", GDT_UInt16, true, true},
                   {"ESRI ASCII grid, nodata", "AAIGrid", GDT_Int32, false, false}};
    for (const auto &r : rasters) {
        for (int height : {1, 7, -1, 0}) {
            for (bool prefetch : {false, true}) {
                const QString bands = height == -1 ? QStringLiteral("the block height")
                        : height == 0               ? QStringLiteral("more than the rows")
                                                    : QString::number(height);
                QTest::addRow("%s, bands of %s%s", r.name, qPrintable(bands), prefetch ? ", reading ahead" : "")
                        << QByteArray(r.format) << int(r.type) << r.tiled << r.mask << height << prefetch;
            }
        }
    }
}

void TestLandscapeStream::rasterBands()
{
    QFETCH(QByteArray, format);
    QFETCH(int, type);
    QFETCH(bool, tiled);
    QFETCH(bool, withMask);
    QFETCH(int, height);
    QFETCH(bool, prefetch);

    // 45 lines of 38 columns: never a whole number of blocks of 16 or strips of 7.
    const int lines = 45;
    const int width = 38;
    QRandomGenerator rng(quint32(type * 7 + tiled));
    const std::vector<double> palette = type == GDT_Float32 ? std::vector<double>{0, 1, 2, 3, 1.5, -7, 16777216}
                                                            : std::vector<double>{0, 1, 2, 3, 7, 200};
    Grid grid(lines, std::vector<double>(width));
    std::vector<std::vector<int>> mask(lines, std::vector<int>(width, 1));
    for (int r = 0; r < lines; ++r) {
        for (int c = 0; c < width; ++c) {
            grid[r][c] = palette[rng.bounded(quint32(palette.size()))];
            mask[r][c] = rng.bounded(5) != 0;
        }
    }
    RasterFixture::Options options;
    options.format = format;
    options.type = GDALDataType(type);
    options.tiled = tiled;
    options.blockSize = tiled ? 16 : 7;
    options.transform = std::array<double, 6>{500000, 25, 0, 6200000, 0, -25};
    std::optional<double> nodata;
    if (withMask) {
        options.mask = mask;
    } else {
        options.nodata = 3;
        nodata = 3;
    }
    QString error;
    const QString name = QStringLiteral("raster-%1-%2.%3").arg(type).arg(tiled).arg(format == "GTiff" ? "tif" : "asc");
    const QString file = RasterFixture::writeRaster(path(name), grid, options, &error);
    QVERIFY2(!file.isEmpty(), qPrintable(error));
    Rows all = expectedValues(grid, nodata, width);
    if (withMask) {
        for (int r = 0; r < lines; ++r) {
            for (int c = 0; c < width; ++c)
                all[r][c] = mask[r][c] ? all[r][c] : -99;
        }
    }

    LandscapeStream::Options streaming;
    streaming.prefetch = prefetch;
    for (const char *coverText : {"1", "0-2", "3", "1,7,200", "-7,16777216"}) {
        const CoverSet cover = coverOf(coverText);
        for (const qint64 columns : {qint64(width), qint64(19)}) {
            LandscapeStream stream;
            QVERIFY2(stream.open(QFile::encodeName(file), streaming, &error), qPrintable(error));
            QVERIFY(stream.isRaster());
            QCOMPARE(stream.rows(), qint64(lines));
            QCOMPARE(stream.columns(), qint64(width));
            QCOMPARE(stream.blockHeight(), qint64(tiled ? 16 : format == "GTiff" ? 7 : 1));
            QVERIFY(stream.geoReference().hasTransform);
            QCOMPARE(stream.geoReference().transform[0], 500000.0);
            QCOMPARE(stream.geoReference().transform[5], -25.0);
            const qint64 bandHeight = height == -1 ? stream.blockHeight() : height == 0 ? lines + 3 : height;
            const Rows read = readAll(stream, bandHeight, columns, &cover, &error);
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QVERIFY2(read == codesOf(truncated(all, columns), cover),
                     qPrintable(QStringLiteral("cover %1, %2 columns").arg(coverText).arg(columns)));
        }
    }
    LandscapeStream stream;
    QVERIFY(stream.open(QFile::encodeName(file), streaming, &error));
    const qint64 bandHeight = height == -1 ? stream.blockHeight() : height == 0 ? lines + 3 : height;
    QVERIFY2(readAll(stream, bandHeight, width, nullptr, &error) == all, qPrintable(error));

    // The raster's text twin (nodata cells as class 5, which no cover here
    // holds) streams the same cells, but for the raster's cells without a
    // value, which the text has as matrix.
    if (type != GDT_Float32 && !withMask) {
        std::vector<std::vector<int>> classes;
        for (const auto &line : grid) {
            classes.emplace_back();
            for (double v : line)
                classes.back().push_back(v == 3 ? 5 : int(v));
        }
        const QString twin = TestUtil::writeFixture(dir.path(), QStringLiteral("twin.txt"),
                                                    RasterFixture::landscapeText(classes));
        for (const char *coverText : {"1", "0-2", "3", "1,7,200"}) {
            const CoverSet cover = coverOf(coverText);
            LandscapeStream fromRaster;
            LandscapeStream fromText;
            QVERIFY(fromRaster.open(QFile::encodeName(file), streaming, &error));
            QVERIFY(fromText.open(QFile::encodeName(twin), streaming, &error));
            QCOMPARE(fromText.rows(), fromRaster.rows());
            QCOMPARE(fromText.columns(), fromRaster.columns());
            Rows rasterCells = readAll(fromRaster, bandHeight, width, &cover, &error);
            const Rows textCells = readAll(fromText, bandHeight, width, &cover, &error);
            QVERIFY2(error.isEmpty(), qPrintable(error));
            for (auto &row : rasterCells)
                std::replace(row.begin(), row.end(), int(CellCode::NoValue), int(CellCode::Matrix));
            QVERIFY2(rasterCells == textCells, coverText);
        }
    }
    // The stream's cells are LandscapeReader's, every column.
    RaggedRows<qint8> whole;
    LandscapeReader::Options reading;
    reading.allColumns = true;
    QVERIFY(LandscapeReader::readPercolation(QFile::encodeName(file), CoverSet(1), whole, &error, reading));
    QVERIFY(TestUtil::toNested(whole) == codesOf(all, CoverSet(1)));
}

void TestLandscapeStream::habitatAsBits_data()
{
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<bool>("prefetch");
    // Bytes in blocks that begin on a word are turned into bits as they are
    // decoded; the others go through the codes.
    for (const char *kind : {"Byte, tiles of 64", "Byte, tiles of 64, mask", "Byte, tiles of 80", "Byte, strips of 7",
                             "Int16, tiles of 64", "text"}) {
        for (bool prefetch : {false, true})
            QTest::addRow("%s%s", kind, prefetch ? ", reading ahead" : "") << QByteArray(kind) << prefetch;
    }
}

void TestLandscapeStream::habitatAsBits()
{
    QFETCH(QByteArray, kind);
    QFETCH(bool, prefetch);

    // 70 lines of 200 columns, value 3 the nodata; text rows of any length.
    const int lines = 70;
    const int width = 200;
    QRandomGenerator rng(quint32(qHash(kind)));
    Grid grid(lines, std::vector<double>(width));
    std::vector<std::vector<int>> mask(lines, std::vector<int>(width, 1));
    Rows text(lines);
    for (int r = 0; r < lines; ++r) {
        for (int c = 0; c < width; ++c) {
            grid[r][c] = rng.bounded(5);
            mask[r][c] = rng.bounded(6) != 0;
        }
        const int length = r % 9 == 0 ? width : 1 + int(rng.bounded(width));
        text[r].assign(grid[r].begin(), grid[r].begin() + length);
    }
    QString error;
    QString file;
    if (kind == "text") {
        file = TestUtil::writeFixture(dir.path(), QStringLiteral("bits.txt"), RasterFixture::landscapeText(text));
    } else {
        RasterFixture::Options options;
        options.type = kind.startsWith("Int16") ? GDT_Int16 : GDT_Byte;
        options.tiled = kind.contains("tiles");
        options.blockSize = kind.contains("80") ? 80 : kind.contains("64") ? 64 : 7;
        options.compression = "DEFLATE";
        if (kind.endsWith("mask"))
            options.mask = mask;
        else
            options.nodata = 3;
        file = RasterFixture::writeRaster(path(QStringLiteral("bits-%1.tif").arg(qHash(kind))), grid, options, &error);
        QVERIFY2(!file.isEmpty(), qPrintable(error));
    }
    LandscapeStream::Options streaming;
    streaming.prefetch = prefetch;
    for (const char *coverText : {"1", "1,2", "3", "7"}) {
        const CoverSet cover = coverOf(coverText);
        for (const qint64 columns : {qint64(width), qint64(130), qint64(64)}) {
            for (const qint64 height : {qint64(1), qint64(7), qint64(64), qint64(lines + 3)}) {
                // The codes the same stream gives, a row of columns each
                // (cells a short text row lacks have no value) ...
                LandscapeStream codes;
                QVERIFY2(codes.open(QFile::encodeName(file), streaming, &error), qPrintable(error));
                Rows want = readAll(codes, height, columns, &cover, &error);
                QVERIFY2(error.isEmpty(), qPrintable(error));
                for (auto &row : want)
                    row.resize(size_t(columns), CellCode::NoValue);
                // ... and the bits, band by band.
                LandscapeStream stream;
                QVERIFY(stream.open(QFile::encodeName(file), streaming, &error));
                Rows got;
                CoverBits bits;
                while (stream.nextRow() < stream.rows()) {
                    QVERIFY2(stream.readHabitatBits(height, columns, cover, bits, &error), qPrintable(error));
                    QCOMPARE(bits.columns, columns);
                    for (qint64 r = 0; r < bits.rows; ++r) {
                        got.emplace_back();
                        for (qint64 c = 0; c < CoverBits::wordsFor(columns) * 64; ++c) {
                            const bool habitat = (bits.habitat(r)[c / 64] >> (c % 64)) & 1;
                            const bool none = (bits.noValue(r)[c / 64] >> (c % 64)) & 1;
                            if (c >= columns) {
                                QVERIFY2(!habitat && !none, "a bit past the row's end");
                                continue;
                            }
                            got.back().push_back(habitat && !none ? CellCode::Habitat
                                                         : none && !habitat ? CellCode::NoValue
                                                                            : habitat ? 99 : CellCode::Matrix);
                        }
                    }
                }
                QVERIFY2(got == want, qPrintable(QStringLiteral("cover %1, %2 columns, bands of %3")
                                                         .arg(coverText).arg(columns).arg(height)));
            }
        }
    }
}

void TestLandscapeStream::mixedRequests_data()
{
    QTest::addColumn<bool>("raster");
    QTest::newRow("text") << false;
    QTest::newRow("raster") << true;
}

void TestLandscapeStream::mixedRequests()
{
    QFETCH(bool, raster);

    // The same random run of requests (bands of changing height, columns and
    // cover, values, skips, seeks) on two streams, one reading ahead: every
    // answer the same.
    QRandomGenerator rng(raster ? 31 : 37);
    QString file;
    if (raster) {
        Grid grid(300, std::vector<double>(50));
        for (auto &row : grid) {
            for (double &v : row)
                v = rng.bounded(4);
        }
        RasterFixture::Options options;
        options.tiled = true;
        options.compression = "DEFLATE";
        options.nodata = 2;
        file = RasterFixture::writeRaster(path(QStringLiteral("mixed.tif")), grid, options);
    } else {
        file = TestUtil::writeFixture(dir.path(), QStringLiteral("mixed.txt"), randomText(rng, 700, 50));
    }
    QVERIFY(!file.isEmpty());
    LandscapeStream plain;
    LandscapeStream ahead;
    LandscapeStream::Options options;
    QString error;
    QVERIFY(plain.open(QFile::encodeName(file), options, &error));
    options.prefetch = true;
    QVERIFY(ahead.open(QFile::encodeName(file), options, &error));
    const CoverSet covers[] = {CoverSet(1), coverOf("0-1"), CoverSet(3)};
    RaggedRows<qint8> bandA, bandB;
    RaggedRows<qint32> valuesA, valuesB;
    RaggedRows<quint8> presentA, presentB;
    RaggedRows<quint8> bytesA, bytesB;
    int habitatReads = 0;
    qint64 lastHeight = 10;
    qint64 lastColumns = 10;
    int lastCover = 0;
    for (int step = 0; step < 400; ++step) {
        const int what = int(rng.bounded(20));
        const qint64 height = 1 + rng.bounded(40);
        const qint64 columns = 1 + rng.bounded(quint32(plain.columns()));
        const CoverSet &cover = covers[rng.bounded(3)];
        QString errorA, errorB;
        bool okA = false, okB = false;
        // Mostly the same request again, as a reader of bands makes.
        const bool repeat = what < 12;
        if (what < 14) {
            const qint64 h = repeat ? lastHeight : height;
            const qint64 c = repeat ? std::min(lastColumns, plain.columns()) : columns;
            const CoverSet &k = repeat ? covers[lastCover] : cover;
            okA = plain.readHabitat(h, c, k, bandA, &errorA);
            okB = ahead.readHabitat(h, c, k, bandB, &errorB);
            QVERIFY(bandA.cells == bandB.cells && bandA.offsets == bandB.offsets);
            lastHeight = h;
            lastColumns = c;
            lastCover = int(&k - covers);
            ++habitatReads;
        } else if (what < 16) {
            okA = plain.readValues(height, columns, valuesA, presentA, &errorA);
            okB = ahead.readValues(height, columns, valuesB, presentB, &errorB);
            QVERIFY(valuesA.cells == valuesB.cells && valuesA.offsets == valuesB.offsets);
            QVERIFY(presentA.cells == presentB.cells);
        } else if (what < 17) {
            // The raster's bytes as values; text has none to give.
            QCOMPARE(plain.valuesAreBytes(), raster);
            okA = plain.readByteValues(height, columns, bytesA, presentA, &errorA) || !raster;
            okB = ahead.readByteValues(height, columns, bytesB, presentB, &errorB) || !raster;
            QVERIFY(bytesA.cells == bytesB.cells && bytesA.offsets == bytesB.offsets);
            QVERIFY(presentA.cells == presentB.cells);
        } else if (what < 18) {
            okA = plain.skip(height, &errorA);
            okB = ahead.skip(height, &errorB);
        } else {
            const qint64 row = rng.bounded(quint32(plain.rows() + 1));
            okA = plain.seek(row, &errorA);
            okB = ahead.seek(row, &errorB);
            QCOMPARE(plain.nextRow(), row);
        }
        QVERIFY2(okA && okB, qPrintable(errorA + errorB));
        QCOMPARE(ahead.nextRow(), plain.nextRow());
        if (plain.nextRow() == plain.rows())
            QVERIFY(plain.seek(0, &errorA) && ahead.seek(0, &errorB));
    }
    QVERIFY(habitatReads > 200);
}

void TestLandscapeStream::seekAnyRow_data()
{
    QTest::addColumn<bool>("raster");
    QTest::newRow("text") << false;
    QTest::newRow("ESRI ASCII grid") << true;
}

void TestLandscapeStream::seekAnyRow()
{
    QFETCH(bool, raster);

    // 3000 rows (text with lines between them that are no rows): bands from
    // the bottom up, as a cluster map reads them, and rows in random order,
    // each what the rows are.
    QRandomGenerator rng(41);
    Rows expected;
    QString file;
    if (raster) {
        Grid grid(3000, std::vector<double>(4));
        for (auto &row : grid) {
            for (double &v : row)
                v = rng.bounded(1000);
        }
        RasterFixture::Options options;
        options.format = "AAIGrid";
        options.type = GDT_Int32;
        file = RasterFixture::writeRaster(path(QStringLiteral("seek.asc")), grid, options);
        expected = expectedValues(grid, std::nullopt, 4);
    } else {
        QByteArray text;
        for (int r = 0; r < 3000; ++r) {
            if (rng.bounded(3) == 0)
                text += "no row here\n";
            text += QByteArray::number(r) + ' ' + QByteArray::number(rng.bounded(1000)) + "\n";
        }
        file = TestUtil::writeFixture(dir.path(), QStringLiteral("seek.txt"), text);
        expected = ReferenceReader::percolationValues(text);
    }
    QVERIFY(!file.isEmpty());
    LandscapeStream stream;
    QString error;
    QVERIFY(stream.open(QFile::encodeName(file), {}, &error));
    QCOMPARE(stream.rows(), qint64(3000));
    RaggedRows<qint32> values;
    RaggedRows<quint8> present;
    const auto check = [&](qint64 row, qint64 count) {
        if (!stream.seek(row, &error) || stream.nextRow() != row)
            return false;
        if (!stream.readValues(count, stream.columns(), values, present, &error))
            return false;
        for (qint64 r = 0; r < values.rowCount(); ++r) {
            const std::vector<int> got(values.row(r), values.row(r) + values.rowLength(r));
            if (got != expected[size_t(row + r)])
                return false;
        }
        return values.rowCount() == std::min(count, 3000 - row);
    };
    for (qint64 bandEnd = 3000; bandEnd > 0;) {
        const qint64 top = ((bandEnd - 1) / 256) * 256;
        QVERIFY2(check(top, bandEnd - top), qPrintable(QStringLiteral("band from %1: %2").arg(top).arg(error)));
        bandEnd = top;
    }
    for (int i = 0; i < 60; ++i) {
        const qint64 row = rng.bounded(3001);
        QVERIFY2(check(row, 1 + rng.bounded(5)), qPrintable(QStringLiteral("row %1: %2").arg(row).arg(error)));
    }
    QVERIFY(stream.seek(3000, &error));
    QVERIFY(!stream.seek(3001, &error) && !error.isEmpty());
    QVERIFY(!stream.seek(-1, &error));
    QCOMPARE(stream.nextRow(), qint64(3000));
}

void TestLandscapeStream::beyond32Bits()
{
    // 70,000 x 70,000 cells (4.9e9, beyond 2^32) declared by a TIFF of a few
    // KB whose strips are all sparse: the stream opens it and reads its
    // first and last bands; the walk's whole reading refuses it and names
    // what has no limit.
    const QString file = TestUtil::writeFixture(dir.path(), QStringLiteral("huge.tif"),
                                                RasterFixture::sparseTiff(70000, 70000, 64));
    QVERIFY(QFileInfo(file).size() < 20000);
    LandscapeStream stream;
    QString error;
    QVERIFY2(stream.open(QFile::encodeName(file), {}, &error), qPrintable(error));
    QCOMPARE(stream.rows(), qint64(70000));
    QCOMPARE(stream.columns(), qint64(70000));
    QVERIFY(stream.rows() * stream.columns() > 0xFFFFFFFFLL);
    QCOMPARE(stream.blockHeight(), qint64(64));
    RaggedRows<qint8> band;
    QVERIFY2(stream.readHabitat(64, 70000, CoverSet(0), band, &error), qPrintable(error));
    QCOMPARE(band.rowCount(), qsizetype(64));
    QCOMPARE(band.rowLength(63), qsizetype(70000));
    QVERIFY(std::all_of(band.cells.begin(), band.cells.end(), [](qint8 c) { return c == CellCode::Habitat; }));
    // The same band as bits: 70,000 habitat bits a row, none past them.
    QVERIFY(stream.seek(0, &error));
    CoverBits bits;
    QVERIFY2(stream.readHabitatBits(64, 70000, CoverSet(0), bits, &error), qPrintable(error));
    QCOMPARE(bits.rows, qint64(64));
    for (qint64 r = 0; r < bits.rows; ++r) {
        qint64 habitat = 0;
        for (qint64 w = 0; w < bits.words(); ++w) {
            habitat += qPopulationCount(bits.habitat(r)[w]);
            QCOMPARE(bits.noValue(r)[w], quint64(0));
        }
        QCOMPARE(habitat, qint64(70000));
    }
    QVERIFY(stream.seek(70000 - 50, &error));
    QVERIFY2(stream.readHabitat(64, 70000, CoverSet(1), band, &error), qPrintable(error));
    QCOMPARE(band.rowCount(), qsizetype(50));
    QVERIFY(std::all_of(band.cells.begin(), band.cells.end(), [](qint8 c) { return c == CellCode::Matrix; }));
    QCOMPARE(stream.nextRow(), qint64(70000));

    RaggedRows<qint8> whole;
    QVERIFY(!LandscapeReader::readPercolation(QFile::encodeName(file), 1, whole, &error));
    QVERIFY2(error.contains(QLatin1String("--tile and the cluster rules (cluster4, cluster8)")), qPrintable(error));
    QVERIFY(whole.isEmpty());
}

void TestLandscapeStream::refusals_data()
{
    QTest::addColumn<QString>("file"); // relative to the test's folder
    QTest::addColumn<int>("band");
    QTest::addColumn<QString>("reason"); // a regular expression

    QTest::newRow("missing file") << "missing.txt" << 1 << "No such file";
    QTest::newRow("directory") << "." << 1 << "^is a directory$";
    QTest::newRow("band 2 of a text landscape") << "small.txt" << 2 << "^a text landscape has no band 2$";
    QTest::newRow("band 2 of a raster of one band") << "small.tif" << 2 << "^band 2 does not exist";
}

void TestLandscapeStream::refusals()
{
    QFETCH(QString, file);
    QFETCH(int, band);
    QFETCH(QString, reason);

    TestUtil::writeFixture(dir.path(), QStringLiteral("small.txt"), "1 0\n0 1\n");
    QVERIFY(!RasterFixture::writeRaster(path(QStringLiteral("small.tif")), {{1, 0}, {0, 1}}).isEmpty());
    LandscapeStream stream;
    LandscapeStream::Options options;
    options.band = band;
    QString error;
    QVERIFY(!stream.open(QFile::encodeName(path(file)), options, &error));
    QVERIFY2(QRegularExpression(reason).match(error).hasMatch(), qPrintable(error));
    // Nothing open: every read is refused with a reason.
    RaggedRows<qint8> cells;
    error.clear();
    QVERIFY(!stream.readHabitat(1, 1, CoverSet(1), cells, &error) && !error.isEmpty());

    // Requests a landscape cannot answer.
    QVERIFY(stream.open(QFile::encodeName(path(QStringLiteral("small.txt"))), {}, &error));
    QVERIFY(!stream.readHabitat(-1, 2, CoverSet(1), cells, &error));
    QVERIFY(!stream.readHabitat(1, 3, CoverSet(1), cells, &error)); // wider than the landscape
    QVERIFY(!stream.readHabitat(1, 2, CoverSet::each(), cells, &error));
    QVERIFY(!stream.skip(-1, &error));
    QCOMPARE(stream.nextRow(), qint64(0));
    QVERIFY(stream.readHabitat(5, 2, CoverSet(1), cells, &error));
    QCOMPARE(TestUtil::rowsText(TestUtil::toNested(cells)), QByteArray("1 0/0 1"));
}

void TestLandscapeStream::damagedBand_data()
{
    QTest::addColumn<bool>("prefetch");
    QTest::newRow("reading band by band") << false;
    QTest::newRow("reading ahead") << true;
}

void TestLandscapeStream::damagedBand()
{
    QFETCH(bool, prefetch);

    // 80 lines in DEFLATE tiles of 16: the tiles of lines 32 to 47 are
    // overwritten. Bands 0 and 1 read, band 2 fails with GDAL's reason and
    // the stream stays before it; reading it again fails again; past it the
    // rest reads.
    QRandomGenerator rng(43);
    Grid grid(80, std::vector<double>(40));
    for (auto &row : grid) {
        for (double &v : row)
            v = rng.bounded(3);
    }
    RasterFixture::Options options;
    options.tiled = true;
    options.compression = "DEFLATE";
    const QString file = RasterFixture::writeRaster(path(QStringLiteral("damaged.tif")), grid, options);
    QVERIFY(!file.isEmpty());
    GDALDatasetH ds = GDALOpen(QFile::encodeName(file).constData(), GA_ReadOnly);
    QVERIFY(ds);
    std::vector<std::pair<qint64, qint64>> blocks;
    for (int x = 0; x < 3; ++x) {
        const QByteArray suffix = QByteArray::number(x) + "_2";
        GDALRasterBandH band = GDALGetRasterBand(ds, 1);
        const char *offset = GDALGetMetadataItem(band, ("BLOCK_OFFSET_" + suffix).constData(), "TIFF");
        const char *size = GDALGetMetadataItem(band, ("BLOCK_SIZE_" + suffix).constData(), "TIFF");
        QVERIFY(offset && size);
        blocks.emplace_back(QByteArray(offset).toLongLong(), QByteArray(size).toLongLong());
    }
    GDALClose(ds);
    {
        QFile damaged(file);
        QVERIFY(damaged.open(QIODevice::ReadWrite));
        for (const auto &[offset, size] : blocks) {
            QVERIFY(damaged.seek(offset));
            QVERIFY(damaged.write(QByteArray(int(size), '\xA5')) == size);
        }
    }
    const Rows all = expectedValues(grid, std::nullopt, 40);

    LandscapeStream stream;
    LandscapeStream::Options streaming;
    streaming.prefetch = prefetch;
    QString error;
    QVERIFY(stream.open(QFile::encodeName(file), streaming, &error));
    RaggedRows<qint8> band;
    for (int b = 0; b < 2; ++b) {
        QVERIFY2(stream.readHabitat(16, 40, CoverSet(1), band, &error), qPrintable(error));
        const Rows part(all.begin() + b * 16, all.begin() + b * 16 + 16);
        QVERIFY(TestUtil::toNested(band) == codesOf(part, CoverSet(1)));
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        error.clear();
        QVERIFY(!stream.readHabitat(16, 40, CoverSet(1), band, &error));
        QVERIFY2(error.contains(QLatin1String("Decoding error")) || error.contains(QLatin1String("ZIPDecode")),
                 qPrintable(error));
        QVERIFY(band.isEmpty());
        QCOMPARE(stream.nextRow(), qint64(32));
        QVERIFY(!stream.outOfMemory());
    }
    QVERIFY(stream.skip(16, &error));
    QVERIFY2(stream.readHabitat(16, 40, CoverSet(1), band, &error), qPrintable(error));
    const Rows part(all.begin() + 48, all.begin() + 64);
    QVERIFY(TestUtil::toNested(band) == codesOf(part, CoverSet(1)));
}

void TestLandscapeStream::textChangedAfterOpen()
{
    // A text file cut short between open() (which counted its rows) and the
    // reading: the band that no longer finds its rows fails, saying why.
    QByteArray text;
    for (int r = 0; r < 100; ++r)
        text += "1 0 1 0\n";
    const QString file = TestUtil::writeFixture(dir.path(), QStringLiteral("changing.txt"), text);
    LandscapeStream stream;
    QString error;
    QVERIFY(stream.open(QFile::encodeName(file), {}, &error));
    QCOMPARE(stream.rows(), qint64(100));
    QVERIFY(QFile::resize(file, text.size() / 2));
    RaggedRows<qint8> band;
    QVERIFY(stream.readHabitat(40, 4, CoverSet(1), band, &error));
    QVERIFY(!stream.readHabitat(40, 4, CoverSet(1), band, &error));
    QVERIFY2(error.contains(QLatin1String("changed")), qPrintable(error));
    QCOMPARE(stream.nextRow(), qint64(40));
}

void TestLandscapeStream::gdalOutOfMemoryIsAnOutcome()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer's allocator dies instead of failing an allocation");
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    QSKIP("AddressSanitizer's allocator dies instead of failing an allocation");
#endif
#endif
    // A raster in one sparse block of 8192 x 8192 cells (64 MB, which malloc
    // maps afresh), read in a child whose address space has 8 MB to spare:
    // GDAL cannot allocate the block. The failure says it was for want of
    // memory (a batch then tries the file again alone), through
    // RasterSource, LandscapeStream and LandscapeReader alike.
    const QString file = path(QStringLiteral("one-block.tif"));
    RasterSource::gdalVersion(); // GDAL set up, quietly
    const char *creation[] = {"SPARSE_OK=TRUE", "TILED=YES", "BLOCKXSIZE=8192", "BLOCKYSIZE=8192", nullptr};
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), QFile::encodeName(file).constData(), 8192, 8192, 1,
                                 GDT_Byte, const_cast<char **>(creation));
    QVERIFY(ds);
    GDALClose(ds);
    QVERIFY(QFileInfo(file).size() < 100000);
    const QByteArray encoded = QFile::encodeName(file);
    int fds[2];
    QVERIFY(pipe(fds) == 0);
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        QByteArray result;
        QFile statm(QStringLiteral("/proc/self/statm"));
        if (statm.open(QIODevice::ReadOnly)) {
            const qint64 pages = statm.readAll().split(' ')[0].toLongLong();
            const rlim_t limit = rlim_t(pages * sysconf(_SC_PAGE_SIZE) + (qint64(8) << 20));
            const rlimit bound{limit, limit};
            setrlimit(RLIMIT_AS, &bound);
            RasterSource source;
            QString error;
            std::vector<qint8> line(8192);
            const bool opened = source.open(encoded, 1, &error) == RasterSource::Opened;
            const bool read = opened && source.readHabitat(0, 1, 8192, CoverSet(1), line.data(), &error);
            result += QByteArray(opened ? "opened " : "not opened ") + (read ? "read " : "failed ")
                    + (source.outOfMemory() ? "out of memory" : "other") + '\n';
            LandscapeStream stream;
            RaggedRows<qint8> band;
            const bool streamed = stream.open(encoded, {}, &error)
                    && stream.readHabitat(1, 8192, CoverSet(1), band, &error);
            result += QByteArray(streamed ? "read " : "failed ") + (stream.outOfMemory() ? "out of memory" : "other")
                    + '\n';
            RaggedRows<qint8> whole;
            LandscapeReader::Outcome outcome;
            const bool wholeRead = LandscapeReader::readPercolation(encoded, CoverSet(1), whole, &error, {}, &outcome);
            result += QByteArray(wholeRead ? "read " : "failed ") + (outcome.outOfMemory ? "out of memory" : "other");
        }
        if (::write(fds[1], result.constData(), size_t(result.size())) < 0)
            _exit(1);
        _exit(0);
    }
    ::close(fds[1]);
    QByteArray out;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, qsizetype(n));
    ::close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, out.constData());
    QCOMPARE(out, QByteArray("opened failed out of memory\nfailed out of memory\nfailed out of memory"));
}

QTEST_GUILESS_MAIN(TestLandscapeStream)
#include "tst_landscapestream.moc"
