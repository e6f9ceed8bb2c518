#include "landscapereader.h"
#include "referencereader.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using TestUtil::rowsText;
using TestUtil::toNested;

class TestLandscapeReader : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(dir.isValid()); }

    void percolationRules_data();
    void percolationRules();
    void coverSets_data();
    void coverSets();
    void displayRules_data();
    void displayRules();
    void fieldConversion_data();
    void fieldConversion();
    void matchesReferenceOnRandomText();
    void linesAcrossChunkBoundaries();
    void unreadablePaths_data();
    void unreadablePaths();
    void manyOneValueLines();
    void manyDistinctValuesKept();
    void serviceDescriptionsAreText_data();
    void serviceDescriptionsAreText();

private:
    QString write(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("landscape.txt"));
        if (!TestUtil::writeFile(path, bytes))
            qFatal("cannot write fixture");
        return path;
    }

    QTemporaryDir dir;
};

void TestLandscapeReader::percolationRules_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("habitat");
    QTest::addColumn<QByteArray>("rows");

    QTest::newRow("plain") << QByteArray("1 0 1\n0 1 0\n") << 1 << QByteArray("1 0 1/0 1 0");
    QTest::newRow("trailing blanks") << QByteArray("1 0 1 \n0 1 0 \n") << 1 << QByteArray("1 0 1/0 1 0");
    QTest::newRow("no final newline") << QByteArray("1 1\n0 1") << 1 << QByteArray("1 1/0 1");
    QTest::newRow("runs of blanks") << QByteArray("  1   0  \n") << 1 << QByteArray("1 0");
    QTest::newRow("tabs do not separate") << QByteArray("1\t0\t1\n1 1\n") << 1 << QByteArray("1 1");
    QTest::newRow("carriage returns") << QByteArray("1 0\r\n0 1\r\n") << 1 << QByteArray("1 0/0 1");
    QTest::newRow("blank and text lines dropped")
            << QByteArray("1 1\n\nheader text\n1 1\n") << 1 << QByteArray("1 1/1 1");
    QTest::newRow("words skipped in a row") << QByteArray("1 x 0 1.5 1\n") << 1 << QByteArray("1 0 1");
    QTest::newRow("cover 7") << QByteArray("7 3 7\n") << 7 << QByteArray("1 0 1");
    QTest::newRow("cover -1") << QByteArray("-1 1 -1\n") << -1 << QByteArray("1 0 1");
    QTest::newRow("signs and zeros") << QByteArray("+1 01 -0 0007\n") << 1 << QByteArray("1 1 0 0");
    QTest::newRow("out of range skipped")
            << QByteArray("2147483648 -2147483649 2147483647 -2147483648\n") << 2147483647 << QByteArray("1 0");
    QTest::newRow("NUL ends the line") << QByteArray("1 1\0 1 1\n0\n", 11) << 1 << QByteArray("1 1/0");
    QTest::newRow("Latin-1 letters invalid") << QByteArray("1 \xe9 0 \xb2\n") << 1 << QByteArray("1 0");
    QTest::newRow("no-break space around fields")
            << QByteArray("1\xa0 \xa0" "0 \xa0\xa0" "1\xa0\n") << 1 << QByteArray("1 0 1");
    QTest::newRow("0x85 and 0x1C-0x1F are not white space")
            << QByteArray("1\x85 \x1c" "1 1\x1f 1 \x85\n") << 1 << QByteArray("1");
    QTest::newRow("empty file") << QByteArray() << 1 << QByteArray();
    QTest::newRow("only newlines") << QByteArray("\n\n\n") << 1 << QByteArray();
}

void TestLandscapeReader::percolationRules()
{
    QFETCH(QByteArray, text);
    QFETCH(int, habitat);
    QFETCH(QByteArray, rows);

    RaggedRows<qint8> read;
    QString error;
    QVERIFY(LandscapeReader::readPercolation(write(text), habitat, read, &error));
    QCOMPARE(rowsText(toNested(read)), rows);
    QCOMPARE(toNested(read), ReferenceReader::percolation(text, habitat));
}

void TestLandscapeReader::coverSets_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("cover");
    QTest::addColumn<QByteArray>("rows");

    // Sixteen bytes of one-digit fields take the eight-at-once path; the
    // others one field at a time.
    QTest::newRow("range of digits, eight at once")
            << QByteArray("0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 \n") << "2-4" << QByteArray("0 0 1 1 1 0 0 0 0 0 0 0 1 1 1 0");
    QTest::newRow("scattered digits, eight at once")
            << QByteArray("0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6\n") << "3,5-6,9" << QByteArray("0 0 0 1 0 1 1 0 0 1 0 0 0 1 0 1 1");
    QTest::newRow("every digit") << QByteArray("0 1 2 3 4 5 6 7 8 9 \n") << "0-9" << QByteArray("1 1 1 1 1 1 1 1 1 1");
    QTest::newRow("no digit") << QByteArray("0 1 2 3 4 5 6 7 8 9 10\n") << "10-20" << QByteArray("0 0 0 0 0 0 0 0 0 0 1");
    QTest::newRow("negative range") << QByteArray("-5 -1 0 -3 7\n") << "-5--2" << QByteArray("1 0 0 1 0");
    QTest::newRow("classes beyond one digit") << QByteArray("10 41 42 43 44 9\n") << "41-43" << QByteArray("0 1 1 1 0 0");
    QTest::newRow("all of 32 bits") << QByteArray("-2147483648 2147483647 0 x\n") << "-2147483648-2147483647"
                                    << QByteArray("1 1 1");
    QTest::newRow("ranges across rows") << QByteArray("1 2\n3 4 5\n\n6\n") << "1,3,5-6" << QByteArray("1 0/1 0 1/1");
}

void TestLandscapeReader::coverSets()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, cover);
    QFETCH(QByteArray, rows);

    const std::optional<CoverSet> set = CoverSet::parse(cover, nullptr);
    QVERIFY(set);
    RaggedRows<qint8> read;
    QString error;
    QVERIFY(LandscapeReader::readPercolation(QFile::encodeName(write(text)), *set, read, &error, {}));
    QCOMPARE(rowsText(toNested(read)), rows);
}

void TestLandscapeReader::displayRules_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("rows");

    QTest::newRow("trailing blank dropped") << QByteArray("1 0 1 \n") << QByteArray("1 0 1");
    QTest::newRow("no trailing blank keeps last value") << QByteArray("1 0 1\n") << QByteArray("1 0 1");
    QTest::newRow("trailing blank and CR") << QByteArray("1 0 1 \r\n") << QByteArray("1 0 1");
    QTest::newRow("CR without blank") << QByteArray("1 0 1\r\n") << QByteArray("1 0 1");
    QTest::newRow("two blanks give a 0") << QByteArray("1  1 \n") << QByteArray("1 0 1");
    QTest::newRow("leading blank gives a 0") << QByteArray(" 1\n") << QByteArray("0 1");
    QTest::newRow("invalid values are 0") << QByteArray("abc 1.5 7\n") << QByteArray("0 0 7");
    QTest::newRow("single value lines") << QByteArray("5\n6\n") << QByteArray("5/6");
    QTest::newRow("empty lines skipped") << QByteArray("\n1 2\n\r\n \n") << QByteArray("1 2/0");
    QTest::newRow("NUL ends the line") << QByteArray("3 4\0 5\n", 7) << QByteArray("3 4");
    QTest::newRow("short rows kept") << QByteArray("1 2 3\n4\n") << QByteArray("1 2 3/4");
    QTest::newRow("no-break space after the last value")
            << QByteArray("1 0 1\xa0\n1 0 1 \xa0\n") << QByteArray("1 0 1/1 0 1");
    QTest::newRow("0x85 is a value of its own") << QByteArray("1 0 \x85\n") << QByteArray("1 0 0");
}

void TestLandscapeReader::displayRules()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, rows);

    MapGrid read;
    QVERIFY(LandscapeReader::readDisplay(write(text), read));
    QCOMPARE(rowsText(toNested(read)), rows);
    QCOMPARE(toNested(read), ReferenceReader::display(text));
}

void TestLandscapeReader::fieldConversion_data()
{
    QTest::addColumn<QByteArray>("field");

    const char *fields[] = {"0", "-0", "+7", "-7", "+-1", "- 1", "--1", "1e3", "0x10", "1,000", "",
                            "\t", "\t12\r", "\v\f9", "12\n", "2147483647", "2147483648", "-2147483648",
                            "-2147483649", "000000000000000000000000042", "99999999999999999999",
                            "+", "-", "1\x01", "\x85" "1", "\xa0" "1", "\xef\xbc\x91", "1.0",
                            "1\xa0", "\xa0-12\xa0\xa0", "\xa0", "\x1c" "1", "1\x1f", "1\x85", "+\xa0" "1"};
    for (const char *field : fields)
        QTest::newRow(QByteArray(field).toPercentEncoding().constData()) << QByteArray(field);
}

void TestLandscapeReader::fieldConversion()
{
    QFETCH(QByteArray, field);

    bool expectedOk = false;
    const int expected = ReferenceReader::toInt(field, &expectedOk);
    qint32 value = -12345;
    const bool ok = LandscapeReader::toInt32(field.constData(), field.constData() + field.size(), value);
    QCOMPARE(ok, expectedOk);
    QCOMPARE(value, ok ? expected : -12345);
}

void TestLandscapeReader::matchesReferenceOnRandomText()
{
    // Text built from the pieces that matter to the rules, in random order.
    const QByteArray pieces[] = {"0", "1", "7", "-3", " ", " ", " ", "  ", "\t", "\r", "\n", "\n",
                                 "+", "-", "12", "007", "x", "\xe9", "\xa0", QByteArray(1, '\0'),
                                 "2147483648", "-2147483648", "99999999999", "\v", "\x85", "\xa0", "\x1c", "\x1f"};
    QRandomGenerator random(20261208);
    for (int round = 0; round < 2000; ++round) {
        QByteArray text;
        const int length = int(random.bounded(60));
        for (int i = 0; i < length; ++i)
            text += pieces[random.bounded(int(std::size(pieces)))];
        const QString path = write(text);
        const int habitat = int(random.bounded(3)) == 0 ? -3 : 1;

        RaggedRows<qint8> cells;
        QVERIFY(LandscapeReader::readPercolation(path, habitat, cells));
        MapGrid values;
        QVERIFY(LandscapeReader::readDisplay(path, values));
        // A cover of several values and ranges, checked value by value.
        RaggedRows<qint8> coverCells;
        QVERIFY(LandscapeReader::readPercolation(QFile::encodeName(path), *CoverSet::parse(QStringLiteral("-3-0,7,12"), nullptr),
                                                 coverCells, nullptr, {}));
        const auto inCover = [](int v) { return (v >= -3 && v <= 0) || v == 7 || v == 12; };
        if (toNested(cells) != ReferenceReader::percolation(text, habitat)
            || toNested(values) != ReferenceReader::display(text)
            || toNested(coverCells) != ReferenceReader::percolation(text, inCover))
            QFAIL(qPrintable(QStringLiteral("differs on text %1").arg(QString::fromLatin1(text.toPercentEncoding()))));
    }
}

void TestLandscapeReader::linesAcrossChunkBoundaries()
{
    // Rows of varying width, so that line ends fall everywhere in the read
    // chunks, and one line much longer than a chunk.
    QByteArray text;
    QRandomGenerator random(7);
    for (int r = 0; r < 3000; ++r) {
        const int width = 1 + int(random.bounded(700));
        for (int c = 0; c < width; ++c)
            text += random.bounded(2) ? "1 " : "20 ";
        text += '\n';
    }
    text += QByteArray(3 << 20, '1').replace("11", "1 ");
    text += "\n1 0";
    const QString path = write(text);

    RaggedRows<qint8> cells;
    QVERIFY(LandscapeReader::readPercolation(path, 1, cells));
    QVERIFY(toNested(cells) == ReferenceReader::percolation(text, 1));
    MapGrid values;
    QVERIFY(LandscapeReader::readDisplay(path, values));
    QVERIFY(toNested(values) == ReferenceReader::display(text));
}

void TestLandscapeReader::unreadablePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing") << QStringLiteral("no-such-file.txt");
    QTest::newRow("directory") << QStringLiteral(".");
}

void TestLandscapeReader::unreadablePaths()
{
    QFETCH(QString, path);
    const QString full = dir.filePath(path);

    RaggedRows<qint8> cells;
    cells.cells.push_back(1);
    cells.endRow();
    QString error;
    QVERIFY(!LandscapeReader::readPercolation(full, 1, cells, &error));
    QVERIFY(cells.isEmpty());
    QVERIFY(!error.isEmpty());
    MapGrid values;
    error.clear();
    QVERIFY(!LandscapeReader::readDisplay(full, values, &error));
    QVERIFY(!error.isEmpty());
}

void TestLandscapeReader::manyOneValueLines()
{
    const QString path = write(QByteArray("1\n").repeated(1000000));
    RaggedRows<qint8> cells;
    QVERIFY(LandscapeReader::readPercolation(path, 1, cells));
    QCOMPARE(cells.rowCount(), qsizetype(1000000));
    QCOMPARE(cells.cells.size(), size_t(1000000));
}

void TestLandscapeReader::manyDistinctValuesKept()
{
    // One-byte storage holds 256 distinct values; the rest must survive the
    // switch to plain values, also in the middle of a line.
    QByteArray text;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 200; ++c)
            text += QByteArray::number((r * 200 + c) * 7919 - 500000) + ' ';
        text += "1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8\n";
    }
    const QString path = write(text);
    MapGrid values;
    QVERIFY(LandscapeReader::readDisplay(path, values));
    QVERIFY(!values.isCoded());
    QVERIFY(toNested(values) == ReferenceReader::display(text));
}

void TestLandscapeReader::serviceDescriptionsAreText_data()
{
    // Files that GDAL's network drivers would take for the description of a
    // service and then fetch from it, or that name other files to read in
    // their place: a landscape file never reaches a server or another file.
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("WMS") << QByteArray("051 ! 0\n<WMS_Capabilities 1 \xff\n");
    QTest::newRow("WMS service") << QByteArray("<GDAL_WMS><Service name=\"WMS\"><ServerUrl>http://192.0.2.1/wms"
                                               "</ServerUrl></Service></GDAL_WMS>\n1 0\n");
    QTest::newRow("WMTS") << QByteArray("<GDAL_WMTS><GetCapabilitiesUrl>http://192.0.2.1/wmts</GetCapabilitiesUrl>"
                                        "</GDAL_WMTS>\n1 1\n");
    QTest::newRow("WCS") << QByteArray("<WCS_GDAL><ServiceURL>http://192.0.2.1/wcs</ServiceURL></WCS_GDAL>\n0 1\n");
    QTest::newRow("VRT with a remote source")
            << QByteArray("<VRTDataset rasterXSize=\"2\" rasterYSize=\"2\"><VRTRasterBand dataType=\"Byte\" band=\"1\">"
                          "<SimpleSource><SourceFilename>/vsicurl/http://192.0.2.1/x.tif</SourceFilename>"
                          "<SourceBand>1</SourceBand></SimpleSource></VRTRasterBand></VRTDataset>\n");
    QTest::newRow("VRT naming a FIFO")
            << QByteArray("<VRTDataset rasterXSize=\"4\" rasterYSize=\"4\"><VRTRasterBand dataType=\"Byte\" band=\"1\">"
                          "<SimpleSource><SourceFilename relativeToVRT=\"1\">fifo</SourceFilename>"
                          "<SourceBand>1</SourceBand></SimpleSource></VRTRasterBand></VRTDataset>\n");
}

void TestLandscapeReader::serviceDescriptionsAreText()
{
    QFETCH(QByteArray, text);
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("fifo"))) || mkfifo(fifo.constData(), 0600) == 0);
    QElapsedTimer clock;
    clock.start();
    RaggedRows<qint8> cells;
    QString error;
    const bool read = LandscapeReader::readPercolation(write(text), 1, cells, &error);
    // No connection was tried (192.0.2.1 is a documentation address that
    // would make a fetch wait for its time-out), no FIFO waited for.
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(read, qPrintable(error));
    QCOMPARE(toNested(cells), ReferenceReader::percolation(text, 1));
}

QTEST_GUILESS_MAIN(TestLandscapeReader)
#include "tst_landscapereader.moc"
