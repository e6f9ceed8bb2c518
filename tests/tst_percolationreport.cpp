#include "percolationreport.h"
#include "testutil.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

class TestPercolationReport : public QObject
{
    Q_OBJECT

private slots:
    void reportBytes_data();
    void reportBytes();
    void meanFormat_data();
    void meanFormat();
    void deviceNotOpen();
    void failedWriteDropsLaterLines_data();
    void failedWriteDropsLaterLines();
    void partOfASplitRun_data();
    void partOfASplitRun();
    void partDescription_data();
    void partDescription();
    void bufferedLinesInBlocks();
};

void TestPercolationReport::reportBytes_data()
{
    QTest::addColumn<QList<QByteArray>>("paths");
    QTest::addColumn<QList<int>>("results");
    QTest::addColumn<QByteArray>("report");

    QTest::newRow("one file") << QList<QByteArray>{"/data/a.txt"} << QList<int>{1}
                              << QByteArray("/data/a.txt\t1\nProbability Percolation (PP) = 1\n");
    QTest::newRow("two files") << QList<QByteArray>{"a", "b"} << QList<int>{1, 0}
                               << QByteArray("a\t1\nb\t0\nProbability Percolation (PP) = 0.5\n");
    QTest::newRow("three files")
            << QList<QByteArray>{"a", "b", "c"} << QList<int>{1, 0, 1}
            << QByteArray("a\t1\nb\t0\nc\t1\nProbability Percolation (PP) = 0.666667\n");
    QTest::newRow("same path twice") << QList<QByteArray>{"a", "a"} << QList<int>{0, 0}
                                     << QByteArray("a\t0\na\t0\nProbability Percolation (PP) = 0\n");
    QTest::newRow("no files") << QList<QByteArray>{} << QList<int>{}
                              << QByteArray("Probability Percolation (PP) = nan\n");
    QTest::newRow("path bytes unchanged") << QList<QByteArray>{"d\xc3\xa9j\xc3\xa0 vu\tx"} << QList<int>{1}
                                          << QByteArray("d\xc3\xa9j\xc3\xa0 vu\tx\t1\nProbability Percolation (PP) = 1\n");
}

void TestPercolationReport::reportBytes()
{
    QFETCH(QList<QByteArray>, paths);
    QFETCH(QList<int>, results);
    QFETCH(QByteArray, report);

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    PercolationReport writer(&buffer);
    for (qsizetype i = 0; i < paths.size(); ++i)
        writer.addResult(paths[i], results[i]);
    writer.finish();
    QVERIFY(!writer.hasError());
    QCOMPARE(buffer.data(), report);
}

void TestPercolationReport::meanFormat_data()
{
    QTest::addColumn<double>("mean");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("one") << 1.0 << QByteArray("1");
    QTest::newRow("zero") << 0.0 << QByteArray("0");
    QTest::newRow("half") << 0.5 << QByteArray("0.5");
    QTest::newRow("third") << 1.0 / 3 << QByteArray("0.333333");
    QTest::newRow("two thirds") << 2.0 / 3 << QByteArray("0.666667");
    QTest::newRow("rounds to one") << 0.9999999 << QByteArray("1");
    QTest::newRow("small") << 1.0 / 100000 << QByteArray("1e-05");
    QTest::newRow("at 1e-4") << 1.0 / 10000 << QByteArray("0.0001");
    QTest::newRow("quiet nan") << std::numeric_limits<double>::quiet_NaN() << QByteArray("nan");
    QTest::newRow("negative nan") << -std::numeric_limits<double>::quiet_NaN() << QByteArray("nan");
}

void TestPercolationReport::meanFormat()
{
    QFETCH(double, mean);
    QFETCH(QByteArray, text);
    QCOMPARE(PercolationReport::formatMean(mean), text);
}

void TestPercolationReport::deviceNotOpen()
{
    QFile file(QStringLiteral("/nonexistent-dir/percolation.txt"));
    QVERIFY(!file.open(QIODevice::WriteOnly));
    PercolationReport writer(&file);
    writer.addResult("a", 1);
    writer.finish();
    QVERIFY(writer.hasError());
    QVERIFY(!writer.errorString().isEmpty());
    QCOMPARE(writer.resultCount(), qint64(1));
}

void TestPercolationReport::failedWriteDropsLaterLines_data()
{
    QTest::addColumn<bool>("sizeLimit");
    QTest::newRow("device full") << false;
    QTest::newRow("write stops part-way") << true;
}

void TestPercolationReport::failedWriteDropsLaterLines()
{
    QFETCH(bool, sizeLimit);
    QTemporaryDir dir;
    QFile file(sizeLimit ? dir.filePath(QStringLiteral("percolation.txt")) : QStringLiteral("/dev/full"));
    if (!sizeLimit && !file.exists())
        QSKIP("needs /dev/full");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    PercolationReport writer(&file);
    {
        // The first line fits, the second is cut after three bytes.
        TestUtil::FileSizeLimit limit(sizeLimit ? 6 : RLIM_INFINITY);
        writer.addResult("a", 1);
        QCOMPARE(writer.hasError(), !sizeLimit);
        writer.addResult("bbbbb", 0);
    }
    QVERIFY(writer.hasError());
    const QString first = writer.errorString();
    writer.addResult("c", 1);
    writer.finish();
    QCOMPARE(writer.errorString(), first);
    QCOMPARE(writer.sum(), 2.0);
    QCOMPARE(writer.resultCount(), qint64(3));
}

void TestPercolationReport::partOfASplitRun_data()
{
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<QString>("error");       // empty when it reads
    QTest::addColumn<QByteArray>("shard");    // "K/N" of its shard line, empty for none
    QTest::addColumn<int>("results");

    const QByteArray line = "# vantrix-percolate shard 2/3: files=7 list=ff6c40f3a036e8b8 cover=1 rule=walk\n";
    QTest::newRow("a part") << line + "a.txt\t1\nb.txt\t0\nProbability Percolation (PP) = 0.5\n" << QString()
                            << QByteArray("2/3") << 2;
    QTest::newRow("an empty part") << line + "Probability Percolation (PP) = nan\n" << QString() << QByteArray("2/3") << 0;
    QTest::newRow("a report without a shard line") << QByteArray("a.txt\t1\nProbability Percolation (PP) = 1\n") << QString()
                                                   << QByteArray() << 1;
    QTest::newRow("a path that starts like a shard line")
            << QByteArray("# vantrix-percolate shard 2/3: x.txt\t1\nProbability Percolation (PP) = 1\n") << QString()
            << QByteArray() << 1;
    QTest::newRow("a shard line that is not one")
            << QByteArray("# vantrix-percolate shard 4/3: files=1\nProbability Percolation (PP) = nan\n")
            << QStringLiteral("line 1 is not a shard line") << QByteArray() << 0;
    QTest::newRow("a shard line after the first line")
            << "a.txt\t1\n" + line + "Probability Percolation (PP) = 1\n"
            << QStringLiteral("line 2 is not a path, a tab and 0 or 1") << QByteArray() << 0;
}

// A part's first line says which part of which run it is; it is read as
// such only there, and never taken for a result.
void TestPercolationReport::partOfASplitRun()
{
    QFETCH(QByteArray, report);
    QFETCH(QString, error);
    QFETCH(QByteArray, shard);
    QFETCH(int, results);

    QList<PercolationReport::Entry> entries;
    QString why;
    QCOMPARE(PercolationReport::parse(report, entries, &why), error.isEmpty());
    QVERIFY2(why.startsWith(error), qPrintable(why));
    QCOMPARE(entries.size(), qsizetype(error.isEmpty() ? results : 0));

    PercolationReport::Parser parser(nullptr);
    const QByteArray first = report.left(report.indexOf('\n'));
    parser.addLine(first);
    QCOMPARE(parser.shard() ? QByteArray::number(parser.shard()->index) + '/' + QByteArray::number(parser.shard()->count)
                            : QByteArray(),
             shard);
    if (parser.shard()) {
        // Written again from what was read, the line is the same bytes.
        QCOMPARE(PercolationReport::partLine(*parser.shard(), parser.description()), first + '\n');
    }
}

void TestPercolationReport::partDescription_data()
{
    QTest::addColumn<QByteArrayList>("list");
    QTest::addColumn<QByteArray>("description");

    // The digests are sha256sum's of the paths, each with a newline, cut to 16 hexadecimal digits.
    QTest::newRow("two paths") << QByteArrayList{"a.txt", "b.txt"} << QByteArray("files=2 list=ff6c40f3a036e8b8 cover=1");
    QTest::newRow("the same paths in another order") << QByteArrayList{"b.txt", "a.txt"}
                                                     << QByteArray("files=2 list=a9a0a01229ec33f0 cover=1");
    QTest::newRow("no path") << QByteArrayList() << QByteArray("files=0 list=e3b0c44298fc1c14 cover=1");
}

void TestPercolationReport::partDescription()
{
    QFETCH(QByteArrayList, list);
    QFETCH(QByteArray, description);
    QCOMPARE(PercolationReport::partDescription(list, {"cover=1"}), description);
}

// Buffered, the same bytes go out in blocks of about 64 KB instead of a
// write per line; what waits is written by finish().
void TestPercolationReport::bufferedLinesInBlocks()
{
    class CountingDevice : public QBuffer
    {
    public:
        int writes = 0;

    protected:
        qint64 writeData(const char *data, qint64 size) override
        {
            ++writes;
            return QBuffer::writeData(data, size);
        }
    };
    QByteArray results;
    for (int i = 0; i < 20000; ++i)
        results += "/landscapes/replicate-" + QByteArray::number(i) + ".txt\t" + QByteArray::number(i % 2) + '\n';
    const QByteArray expected = results + "Probability Percolation (PP) = 0.5\n";

    for (const bool buffered : {false, true}) {
        CountingDevice device;
        device.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        PercolationReport report(&device);
        report.setBuffered(buffered);
        for (int i = 0; i < 20000; ++i)
            report.addResult("/landscapes/replicate-" + QByteArray::number(i) + ".txt", i % 2);
        QCOMPARE(device.data().size() < results.size(), buffered); // the last block waits
        report.finish();
        QVERIFY(!report.hasError());
        QCOMPARE(device.data(), expected);
        if (buffered)
            QVERIFY2(device.writes <= expected.size() / 65536 + 2, qPrintable(QString::number(device.writes)));
        else
            QCOMPARE(device.writes, 20001);
    }
}

QTEST_GUILESS_MAIN(TestPercolationReport)
#include "tst_percolationreport.moc"
