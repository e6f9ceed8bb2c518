// Hostile files against both readers, the walk and the map rendering, each in
// a process of its own (vantrix-test-hostile, tests/hostilecheck.cpp): the
// outcome the reading rules give (random bytes checked against the plain
// reference reader and walk), and time and memory within bounds ten times
// above what they take.
#include "referencereader.h"
#include "referencewalk.h"
#include "testutil.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestHostileFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void boundedOutcome_data();
    void boundedOutcome();

private:
    QTemporaryDir dir;
};

void TestHostileFiles::initTestCase()
{
    QVERIFY(dir.isValid());
    const auto write = [this](const char *name, const QByteArray &bytes) {
        QVERIFY(TestUtil::writeFile(dir.filePath(QLatin1String(name)), bytes));
    };
    write("one-value-lines.txt", QByteArray("1\n").repeated(1000000));
    write("one-line.txt", QByteArray("1 ").repeated(8 << 20));
    QByteArray random(20 << 20, Qt::Uninitialized);
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    write("random.bin", random);
    write("nul.bin", QByteArray(10 << 20, '\0'));
    write("newlines.txt", QByteArray(10 << 20, '\n'));
    QVERIFY(mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), 0600) == 0);
}

void TestHostileFiles::boundedOutcome_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("reader");
    QTest::addColumn<QByteArray>("outcome");

    const struct
    {
        const char *name;
        const char *file;
        const char *percolation;
        const char *display;
    } cases[] = {
        {"1,000,000 one-value lines", "one-value-lines.txt", "read rows 1000000 result 1", "read rows 1000000 values 1000000"},
        {"one 16 MB line", "one-line.txt", "read rows 1 result 1", "read rows 1 values 8388608"},
        {"20 MB of random bytes", "random.bin", nullptr, nullptr},
        {"10 MB of NUL bytes", "nul.bin", "read rows 0 result 0", "read rows 0 values 0"},
        {"10 MB of newlines", "newlines.txt", "read rows 0 result 0", "read rows 0 values 0"},
        {"a directory", ".", "unreadable (is a directory)", "unreadable (is a directory)"},
        {"a missing file", "missing.txt", "unreadable (No such file or directory)", "unreadable (No such file or directory)"},
        {"a pipe without writer", "fifo", "unreadable (is not a regular file)", "unreadable (is not a regular file)"},
        {"an endless device", "/dev/zero", "unreadable (is not a regular file)", "unreadable (is not a regular file)"},
    };
    // Random bytes: what the plain reading of the rules finds in them.
    QFile random(dir.filePath(QStringLiteral("random.bin")));
    QVERIFY(random.open(QIODevice::ReadOnly));
    const QByteArray bytes = random.readAll();
    const ReferenceReader::Rows cells = ReferenceReader::percolation(bytes, 1);
    const ReferenceReader::Rows values = ReferenceReader::display(bytes);
    qint64 valueCount = 0;
    for (const auto &row : values)
        valueCount += qint64(row.size());
    const QByteArray randomPercolation = "read rows " + QByteArray::number(qsizetype(cells.size())) + " result "
            + QByteArray::number(ReferenceWalk::percolates(cells)) + '\n';
    const QByteArray randomDisplay = "read rows " + QByteArray::number(qsizetype(values.size())) + " values "
            + QByteArray::number(valueCount) + ' ';

    for (const auto &c : cases) {
        const QString file = c.file[0] == '/' ? QString::fromLatin1(c.file) : dir.filePath(QLatin1String(c.file));
        QTest::addRow("%s, percolation", c.name)
                << file << "percolation" << (c.percolation ? QByteArray(c.percolation) : randomPercolation);
        QTest::addRow("%s, display", c.name) << file << "display" << (c.display ? QByteArray(c.display) : randomDisplay);
    }
}

void TestHostileFiles::boundedOutcome()
{
    QFETCH(QString, file);
    QFETCH(QString, reader);
    QFETCH(QByteArray, outcome);

    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("/usr/bin/time"), {"-f", "%M", QStringLiteral(VANTRIX_TEST_HOSTILE), reader, file});
    QVERIFY2(process.waitForFinished(120000), "did not finish within two minutes");
    const qint64 millis = timer.elapsed();
    QCOMPARE(process.exitCode(), 0);
    const QByteArray out = process.readAllStandardOutput();
    QVERIFY2(out.startsWith(outcome), out.constData());

    const qint64 peakKb = process.readAllStandardError().trimmed().split('\n').last().toLongLong();
    const qint64 fileMb = QFileInfo(file).isFile() ? QFileInfo(file).size() >> 20 : 0;
#ifndef VANTRIX_SANITIZED
    // Measured: under 0.3 s, and about 15 MB plus twice the file at most.
    QVERIFY2(millis < 10000, qPrintable(QStringLiteral("%1 ms").arg(millis)));
    QVERIFY2(peakKb / 1024 < 150 + 4 * fileMb, qPrintable(QStringLiteral("peak %1 MB").arg(peakKb / 1024)));
#else
    Q_UNUSED(peakKb);
    Q_UNUSED(fileMb);
    QVERIFY2(millis < 100000, qPrintable(QStringLiteral("%1 ms").arg(millis)));
#endif
}

QTEST_GUILESS_MAIN(TestHostileFiles)
#include "tst_hostilefiles.moc"
