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

QTEST_GUILESS_MAIN(TestPercolationReport)
#include "tst_percolationreport.moc"
