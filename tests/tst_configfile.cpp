#include "configfile.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestConfigFile : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void missingFileKeepsDefaults();
    void writeReplacesWhole();
    void writeFailureLeavesOldFile();
    void directoryInTheWay();
    void onlyRegularFilesAreRead_data();
    void onlyRegularFilesAreRead();
};

void TestConfigFile::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("cover");
    QTest::addColumn<int>("matrix");

    QTest::newRow("two lines") << QByteArray("7\n3\n") << 7 << 3;
    QTest::newRow("one line") << QByteArray("7 3") << 7 << 3;
    QTest::newRow("extra text ignored") << QByteArray("7\n3\nseed 5\n") << 7 << 3;
    QTest::newRow("negative and plus") << QByteArray("-12\n+4\n") << -12 << 4;
    QTest::newRow("white space of any kind") << QByteArray("\t\r\n 7\v\f 3") << 7 << 3;
    QTest::newRow("outside the spin box ranges") << QByteArray("123456\n-2000000\n") << 123456 << -2000000;
    QTest::newRow("32-bit limits") << QByteArray("2147483647 -2147483648") << 2147483647 << int(-2147483648LL);
    QTest::newRow("cover overflows") << QByteArray("2147483648\n3\n") << 1 << 0;
    QTest::newRow("matrix overflows") << QByteArray("7\n-2147483649\n") << 7 << 0;
    QTest::newRow("value ends at a non-digit") << QByteArray("12abc\n3\n") << 12 << 0;
    QTest::newRow("decimal point") << QByteArray("1.5\n3\n") << 1 << 0;
    QTest::newRow("word first") << QByteArray("cover 7\n3\n") << 1 << 0;
    QTest::newRow("sign alone") << QByteArray("- 7\n") << 1 << 0;
    QTest::newRow("only one value") << QByteArray("9\n") << 9 << 0;
    QTest::newRow("empty") << QByteArray() << 1 << 0;
}

void TestConfigFile::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(int, cover);
    QFETCH(int, matrix);

    ConfigFile config;
    config.parse(text);
    QCOMPARE(config.coverValue, cover);
    QCOMPARE(config.matrixValue, matrix);
}

void TestConfigFile::missingFileKeepsDefaults()
{
    ConfigFile config;
    QVERIFY(!config.read(QStringLiteral("/nonexistent/config.txt")));
    QCOMPARE(config.coverValue, 1);
    QCOMPARE(config.matrixValue, 0);
}

void TestConfigFile::writeReplacesWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.txt"));
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("1000\n2000\nlonger old content\n");
    old.close();

    ConfigFile config;
    config.coverValue = -5;
    config.matrixValue = 42;
    QVERIFY(config.write(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("-5\n42\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("config.txt")});
}

void TestConfigFile::writeFailureLeavesOldFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.txt"));
    QVERIFY(TestUtil::writeFile(path, "3\n4\n"));

    // Writes beyond one byte fail, as on a full disk: the new content cannot be
    // completed, and config.txt must keep the old two values.
    ConfigFile config;
    config.coverValue = 8;
    QString error;
    bool written;
    {
        TestUtil::FileSizeLimit limit(1);
        written = config.write(path, &error);
    }
    QVERIFY(!written);
    QVERIFY(!error.isEmpty());
    ConfigFile reread;
    QVERIFY(reread.read(path));
    QCOMPARE(reread.coverValue, 3);
    QCOMPARE(reread.matrixValue, 4);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("config.txt")});
}

void TestConfigFile::directoryInTheWay()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.txt"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("config.txt")));
    QString error;
    QVERIFY(!ConfigFile().write(path, &error));
    QVERIFY(!error.isEmpty());
}

void TestConfigFile::onlyRegularFilesAreRead_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("a FIFO") << "fifo";
    QTest::newRow("a directory") << "directory";
    QTest::newRow("a character device") << "device";
}

// What is not a regular file is refused at once, with the reason, and the
// defaults stay: a FIFO in config.txt's place is not waited on.
void TestConfigFile::onlyRegularFilesAreRead()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("config.txt"));
    if (kind == QLatin1String("fifo"))
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("config.txt")));
    else
        path = QStringLiteral("/dev/zero");

    QElapsedTimer clock;
    clock.start();
    ConfigFile config;
    QString error;
    bool read;
    {
        TestUtil::FifoRelease release(path, std::chrono::seconds(5));
        read = config.read(path, &error);
    }
    QVERIFY2(clock.elapsed() < 4000, "read() waited on the FIFO");
    QVERIFY(!read);
    QCOMPARE(error, QStringLiteral("is not a regular file"));
    QCOMPARE(config.coverValue, 1);
    QCOMPARE(config.matrixValue, 0);
}

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
