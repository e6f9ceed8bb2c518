#include "guiutil.h"
#include "mainwindow.h"
#include "rasterfixture.h"
#include "referencereader.h"
#include "referencewalk.h"
#include "testutil.h"

#include <QAction>
#include <QMessageBox>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <gdal.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Limits for the child process, as a shell's ulimit would set them; the
// child starts with the default action for SIGXFSZ, as from a shell.
struct Limits
{
    rlim_t fileSize = 0;     // bytes a file may grow to, 0 for no limit
    rlim_t stack = 0;        // the stack size, which is also each thread's
    rlim_t addressSpace = 0; // bytes of address space
    bool ignoreFileSizeSignal = false;
};

Run finish(QProcess &process, const QByteArray &input)
{
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(300000))
        qFatal("vantrix-percolate did not finish");
    if (process.exitStatus() != QProcess::NormalExit)
        return {-1, process.readAllStandardOutput(), process.readAllStandardError()};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

void applyLimits(QProcess &process, const Limits &limits)
{
    process.setChildProcessModifier([limits] {
        std::signal(SIGXFSZ, limits.ignoreFileSizeSignal ? SIG_IGN : SIG_DFL);
        const std::pair<int, rlim_t> wanted[] = {
                {RLIMIT_FSIZE, limits.fileSize}, {RLIMIT_STACK, limits.stack}, {RLIMIT_AS, limits.addressSpace}};
        for (const auto &[resource, value] : wanted) {
            if (value > 0) {
                rlimit limit{value, value};
                setrlimit(resource, &limit);
            }
        }
    });
}

// Runs vantrix-percolate in the working directory.
Run percolate(const QStringList &arguments, const QByteArray &input = QByteArray(), const Limits &limits = Limits())
{
    QProcess process;
    applyLimits(process, limits);
    process.start(QStringLiteral(VANTRIX_PERCOLATE), arguments);
    return finish(process, input);
}

// The same with a file-size limit whose signal is ignored, so that writes fail
// as on a full disk.
Run percolate(const QStringList &arguments, const QByteArray &input, rlim_t fileSizeLimit)
{
    Limits limits;
    limits.fileSize = fileSizeLimit;
    limits.ignoreFileSizeSignal = true;
    return percolate(arguments, input, limits);
}

// Runs a bash script with $VANTRIX set to vantrix-percolate: for arguments
// that are bytes no QString holds, and for process substitution.
Run shell(const QString &script, const Limits &limits = Limits())
{
    QProcess process;
    applyLimits(process, limits);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VANTRIX"), QStringLiteral(VANTRIX_PERCOLATE));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), script});
    return finish(process, QByteArray());
}

// Writes a file whose name is any bytes.
bool writeRawName(const QByteArray &name, const QByteArray &bytes)
{
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && ok;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestPercolateCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void sameReportAsDesktop();
    void answersOfTheWalkForAnyJobs_data();
    void answersOfTheWalkForAnyJobs();
    void filesFromStandardInput();
    void mergeOfASplitIsOneRun();
    void mergeRefusesPartialReports();
    void exitStatus_data();
    void exitStatus();
    void failedOutputKeepsOldFile_data();
    void failedOutputKeepsOldFile();
    void defaultCoverFromConfig();
    void fileNamesKeptAsBytes_data();
    void fileNamesKeptAsBytes();
    void moreJobsThanThreads();
    void fileSizeLimitIsReported();
    void streamsThatAreNotListsOrReports_data();
    void streamsThatAreNotListsOrReports();
    void pipesStillWork();
    void newlineInPathExplained();
    void textThatLooksLikeARasterIsText_data();
    void textThatLooksLikeARasterIsText();
    void notesAndRefusals_data();
    void notesAndRefusals();
    void sameReportForAnyJobsUnderAMemoryLimit();

private:
    // Generated landscapes of random size, cover classes -3, 1 and 7, with and
    // without trailing blanks, some with short rows.
    QStringList generate(int count)
    {
        QStringList paths;
        QRandomGenerator random(99);
        const int classes[] = {-3, 1, 7, 0};
        for (int i = 0; i < count; ++i) {
            const int n = 1 + int(random.bounded(30));
            const double share = 0.45 + 0.3 * random.generateDouble();
            const int cover = classes[random.bounded(3)];
            QByteArray text;
            for (int r = 0; r < n; ++r) {
                const int width = random.bounded(10) == 0 ? int(random.bounded(n + 1)) : n;
                for (int c = 0; c < width; ++c) {
                    text += QByteArray::number(random.generateDouble() < share ? cover : classes[random.bounded(4)]);
                    text += (c + 1 < width || i % 2) ? " " : "";
                }
                text += '\n';
            }
            paths << work.filePath(QStringLiteral("gen-%1.txt").arg(i, 4, 10, QLatin1Char('0')));
            TestUtil::writeFile(paths.last(), text);
        }
        return paths;
    }
    // The report the specified reading rules and walk give for paths.
    static QByteArray expectedReport(const QStringList &paths, int cover)
    {
        QByteArray report;
        int sum = 0;
        for (const QString &path : paths) {
            const int result = ReferenceWalk::percolates(ReferenceReader::percolation(readAll(path), cover));
            sum += result;
            report += QFile::encodeName(path) + '\t' + QByteArray::number(result) + '\n';
        }
        return report + "Probability Percolation (PP) = "
                + (paths.isEmpty() ? QByteArray("nan") : QByteArray::number(double(sum) / paths.size(), 'g', 6)) + '\n';
    }

    QTemporaryDir work;
};

void TestPercolateCommand::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(work.path()));
}

void TestPercolateCommand::init()
{
    QFile::remove(QStringLiteral("config.txt"));
}

void TestPercolateCommand::sameReportAsDesktop()
{
    QStringList paths = generate(12);
    paths << work.filePath(QStringLiteral("missing.txt"));
    QVERIFY(TestUtil::writeFile(paths.last(), "1\n")); // removed after Open
    QVERIFY(TestUtil::writeFile(work.filePath(QStringLiteral("d\u00e9j\u00e0.txt")), "7 7\n0 0\n"));
    paths << work.filePath(QStringLiteral("d\u00e9j\u00e0.txt"));
    QVERIFY(TestUtil::writeFile(QStringLiteral("config.txt"), "7\n0\n"));

    MainWindow window;
    window.show();
    GuiUtil::chooseFiles(this, window.findChild<QAction *>(QStringLiteral("actionOpen")), paths);
    QCOMPARE(window.chosenFiles(), paths);
    QVERIFY(QFile::remove(work.filePath(QStringLiteral("missing.txt"))));
    GuiUtil::whenShown<QMessageBox>(this, [](QMessageBox *box) { box->accept(); }); // names missing.txt
    window.findChild<QAction *>(QStringLiteral("actionPercolation"))->trigger();
    qDeleteAll(findChildren<QTimer *>());
    const QByteArray desktop = readAll(QStringLiteral("percolation.txt"));

    const Run run = percolate(QStringList{"--rule", "walk"} + paths);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, desktop);
    QCOMPARE(run.out, expectedReport(paths, 7));
}

void TestPercolateCommand::answersOfTheWalkForAnyJobs_data()
{
    QTest::addColumn<int>("cover");
    QTest::newRow("cover 1") << 1;
    QTest::newRow("cover 7") << 7;
    QTest::newRow("cover -3") << -3;
}

void TestPercolateCommand::answersOfTheWalkForAnyJobs()
{
    QFETCH(int, cover);
    const QStringList paths = generate(300);
    const QByteArray expected = expectedReport(paths, cover);
    for (const char *jobs : {"1", "2", "8"}) {
        const Run run = percolate(QStringList{"-c", QString::number(cover), "--rule", "walk", "-j", jobs} + paths);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, expected);
    }
}

void TestPercolateCommand::filesFromStandardInput()
{
    const QStringList paths = generate(40);
    const QByteArray list = QFile::encodeName(paths.join(QLatin1Char('\n'))).replace("\n", "\r\n") + "\n\n";
    const Run run = percolate({"--files-from", "-"}, list);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, percolate(paths).out);
}

void TestPercolateCommand::mergeOfASplitIsOneRun()
{
    const QStringList paths = generate(50);
    const QByteArray whole = percolate(QStringList{"-o", "whole.txt"} + paths).out;
    QVERIFY(whole.isEmpty());
    // Splits into parts of 1, 0, 17 and 32 files, as shards on several machines would.
    const QList<QStringList> parts = {paths.mid(0, 1), {}, paths.mid(1, 17), paths.mid(18)};
    QStringList reports;
    for (int i = 0; i < parts.size(); ++i) {
        reports << QStringLiteral("part%1.txt").arg(i);
        const QStringList arguments = parts[i].isEmpty() ? QStringList{"--files-from", "/dev/null"} : parts[i];
        // A part that tests nothing says so (status 1), and its report still joins.
        QCOMPARE(percolate(QStringList{"-o", reports.last()} + arguments).exitCode, parts[i].isEmpty() ? 1 : 0);
    }
    const Run merged = percolate(QStringList{"--merge"} + reports);
    QCOMPARE(merged.exitCode, 0);
    QCOMPARE(merged.out, readAll(QStringLiteral("whole.txt")));
}

void TestPercolateCommand::mergeRefusesPartialReports()
{
    const QStringList paths = generate(5);
    QCOMPARE(percolate(QStringList{"-o", "complete.txt"} + paths).exitCode, 0);
    const QByteArray complete = readAll(QStringLiteral("complete.txt"));
    const QByteArray broken[] = {
            complete.left(complete.indexOf("Probability")),            // cut before the mean line
            complete.left(complete.size() - 3),                        // cut inside the mean line
            QByteArray(complete).replace("\t1\n", "\t2\n"),            // not a result
            QByteArray(complete).remove(0, complete.indexOf('\n') + 1), // a line lost
    };
    for (const QByteArray &bytes : broken) {
        QVERIFY(TestUtil::writeFile(QStringLiteral("broken.txt"), bytes));
        const Run run = percolate({"--merge", "complete.txt", "broken.txt"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.out.isEmpty());
        QVERIFY(run.err.contains("broken.txt"));
    }
}

void TestPercolateCommand::exitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("report");

    QTest::newRow("all read") << QStringList{"good.txt"} << 0 << true;
    QTest::newRow("missing file") << QStringList{"good.txt", "missing.txt"} << 1 << true;
    QTest::newRow("directory") << QStringList{"good.txt", "."} << 1 << true;
    QTest::newRow("unknown option") << QStringList{"--colour", "good.txt"} << 2 << false;
    QTest::newRow("cover not an integer") << QStringList{"-c", "x1", "good.txt"} << 2 << false;
    QTest::newRow("cover out of range") << QStringList{"-c", "2147483648", "good.txt"} << 2 << false;
    QTest::newRow("no files") << QStringList{"-c", "1"} << 2 << false;
    QTest::newRow("bad jobs") << QStringList{"-j", "0", "good.txt"} << 2 << false;
    QTest::newRow("missing list") << QStringList{"--files-from", "nolist.txt"} << 1 << false;
    QTest::newRow("list is a directory") << QStringList{"--files-from", "."} << 1 << false;
    QTest::newRow("merge nothing") << QStringList{"--merge"} << 2 << false;
    QTest::newRow("merge missing report") << QStringList{"--merge", "missing.txt"} << 1 << false;
}

void TestPercolateCommand::exitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(bool, report);

    QVERIFY(TestUtil::writeFile(QStringLiteral("good.txt"), "1\n"));
    const Run run = percolate(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out.endsWith("\n") && run.out.contains("Probability Percolation (PP) = "), report);
    if (exitCode == 2)
        QCOMPARE(run.err.count('\n'), 1);
    if (exitCode == 1 && report)
        QVERIFY(run.err.contains(arguments.last().toLocal8Bit()));
}

void TestPercolateCommand::failedOutputKeepsOldFile_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("sizeLimit");
    QTest::newRow("disk full part-way") << QStringLiteral("report.txt") << 100;
    QTest::newRow("no such directory") << QStringLiteral("missing-dir/report.txt") << 0;
    QTest::newRow("a directory") << QStringLiteral("outdir") << 0;
}

void TestPercolateCommand::failedOutputKeepsOldFile()
{
    QFETCH(QString, output);
    QFETCH(int, sizeLimit);

    QFile::remove(QStringLiteral("report.txt"));
    QDir().mkdir(QStringLiteral("outdir"));
    const QByteArray old = "old report\n";
    const bool hasOld = !output.contains(QLatin1Char('/')) && output != QLatin1String("outdir");
    if (hasOld)
        QVERIFY(TestUtil::writeFile(output, old));
    const Run run = percolate(QStringList{"-o", output} + generate(30), QByteArray(), rlim_t(sizeLimit));
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.err.contains("report"));
    if (hasOld)
        QCOMPARE(readAll(output), old);
    QCOMPARE(QDir().entryList({QStringLiteral("report.txt*")}, QDir::Files), hasOld ? QStringList{output} : QStringList{});
}

void TestPercolateCommand::defaultCoverFromConfig()
{
    QVERIFY(TestUtil::writeFile(QStringLiteral("seven.txt"), "7 7\n0 0\n"));
    QCOMPARE(percolate({"seven.txt"}).out, QByteArray("seven.txt\t0\nProbability Percolation (PP) = 0\n"));
    QVERIFY(TestUtil::writeFile(QStringLiteral("config.txt"), "7\n0\n"));
    QCOMPARE(percolate({"seven.txt"}).out, QByteArray("seven.txt\t1\nProbability Percolation (PP) = 1\n"));
    QCOMPARE(percolate({"-c", "1", "seven.txt"}).out, QByteArray("seven.txt\t0\nProbability Percolation (PP) = 0\n"));
}

void TestPercolateCommand::fileNamesKeptAsBytes_data()
{
    QTest::addColumn<QString>("script");
    // Files lat\xe9.txt (Latin-1, not valid UTF-8) and d\xc3\xa9j\xc3\xa0.txt exist; each percolates.
    QTest::newRow("Latin-1 argument") << QStringLiteral("\"$VANTRIX\" -c 1 \"$(printf 'lat\\351.txt')\"");
    QTest::newRow("Latin-1 in a list") << QStringLiteral("printf 'lat\\351.txt\\n' > list && \"$VANTRIX\" -c 1 --files-from list");
    QTest::newRow("Latin-1 on standard input") << QStringLiteral("printf 'lat\\351.txt\\n' | \"$VANTRIX\" -c 1 --files-from -");
    QTest::newRow("UTF-8 argument") << QStringLiteral("\"$VANTRIX\" -c 1 \"$(printf 'd\\303\\251j\\303\\240.txt')\"");
}

void TestPercolateCommand::fileNamesKeptAsBytes()
{
    QFETCH(QString, script);
    QVERIFY(writeRawName("lat\xe9.txt", "1 1\n0 0\n"));
    QVERIFY(writeRawName("d\xc3\xa9j\xc3\xa0.txt", "1 1\n0 0\n"));
    const Run run = shell(script);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    const QByteArray name = script.contains(QLatin1String("351")) ? "lat\xe9.txt" : "d\xc3\xa9j\xc3\xa0.txt";
    QCOMPARE(run.out, name + "\t1\nProbability Percolation (PP) = 1\n");
}

void TestPercolateCommand::moreJobsThanThreads()
{
#ifdef VANTRIX_SANITIZED
    QSKIP("the sanitizers' own threads need the stack size this test takes away");
#endif
    // A stack size no thread can be given: every thread the program asks
    // for fails to start, as when the system's threads run out.
    const QStringList paths = generate(40);
    Limits limits;
    limits.stack = rlim_t(1) << 40;
    const Run run = percolate(QStringList{"-c", "1", "-j", "40000"} + paths, QByteArray(), limits);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, expectedReport(paths, 1));
}

void TestPercolateCommand::fileSizeLimitIsReported()
{
    QVERIFY(TestUtil::writeFile(QStringLiteral("report.txt"), "old report\n"));
    Limits limits;
    limits.fileSize = 100;
    const Run run = percolate(QStringList{"-o", "report.txt"} + generate(30), QByteArray(), limits);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("report.txt could not be written"), run.err.constData());
    QCOMPARE(readAll(QStringLiteral("report.txt")), QByteArray("old report\n"));
    QCOMPARE(QDir().entryList({QStringLiteral("report.txt*")}, QDir::Files), QStringList{"report.txt"});
}

void TestPercolateCommand::streamsThatAreNotListsOrReports_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("merge /dev/zero") << QStringList{"--merge", "/dev/zero"} << QByteArray("NUL byte");
    QTest::newRow("list /dev/zero") << QStringList{"--files-from", "/dev/zero"} << QByteArray("NUL byte");
    QTest::newRow("list of one endless line") << QStringList{"--files-from", "long.txt"} << QByteArray("longer than");
    QTest::newRow("merge of one endless line") << QStringList{"--merge", "long.txt"} << QByteArray("longer than");
    QTest::newRow("merge of random bytes") << QStringList{"--merge", "/dev/urandom"} << QByteArray("not a report");
}

void TestPercolateCommand::streamsThatAreNotListsOrReports()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    QVERIFY(TestUtil::writeFile(QStringLiteral("long.txt"), QByteArray(8 << 20, 'a')));
    Limits limits;
#ifndef VANTRIX_SANITIZED
    limits.addressSpace = rlim_t(2) << 30; // an unbounded read ends in an abort, not in swapping
#endif
    QElapsedTimer clock;
    clock.start();
    const Run run = percolate(arguments, QByteArray(), limits);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(message), run.err.constData());
    QVERIFY(run.out.isEmpty());
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
}

void TestPercolateCommand::pipesStillWork()
{
    const QStringList paths = generate(20);
    const QByteArray expected = expectedReport(paths, 1);
    QVERIFY(TestUtil::writeFile(QStringLiteral("list.txt"), QFile::encodeName(paths.join(QLatin1Char('\n')))));
    const Run substituted = shell(QStringLiteral("\"$VANTRIX\" -c 1 --files-from <(cat list.txt)"));
    QCOMPARE(substituted.exitCode, 0);
    QCOMPARE(substituted.out, expected);
    QCOMPARE(percolate(QStringList{"-o", "whole.txt", "-c", "1"} + paths).exitCode, 0);
    const Run merged = shell(QStringLiteral("cat whole.txt | \"$VANTRIX\" --merge -"));
    QCOMPARE(merged.exitCode, 0);
    QCOMPARE(merged.out, expected);
}

void TestPercolateCommand::newlineInPathExplained()
{
    QVERIFY(TestUtil::writeFile(QStringLiteral("two\nlines.txt"), "1\n"));
    const Run run = percolate({"-c", "1", "-o", "newline.txt", "two\nlines.txt"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readAll(QStringLiteral("newline.txt")), QByteArray("two\nlines.txt\t1\nProbability Percolation (PP) = 1\n"));
    const Run merged = percolate({"--merge", "newline.txt"});
    QCOMPARE(merged.exitCode, 1);
    QVERIFY2(merged.err.contains("line 1 is not a path, a tab and 0 or 1") && merged.err.contains("line break"),
             merged.err.constData());
}

void TestPercolateCommand::textThatLooksLikeARasterIsText_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    const QByteArray rows = QByteArray("1 1 1 1 1 1\n").repeated(5);
    QTest::newRow("ncols only") << "ncols.txt" << "ncols 6\n" + rows << 0
                                << QByteArray("1 field(s) that are not integers were skipped, such as 'ncols'");
    QTest::newRow("ncols and nrows") << "nrows.txt" << "ncols 6\nnrows 5\n" + rows << 0
                                     << QByteArray("2 field(s) that are not integers were skipped, such as 'ncols'");
    QTest::newRow("ncols and nrows, named .asc") << "grid.asc" << "ncols 6\nnrows 5\n" + rows << 0
                                                 << QByteArray("2 field(s) that are not integers were skipped, such as 'ncols'");
    // Three keywords of an ESRI ASCII grid's header make a grid: what GDAL
    // cannot open is refused with the reason, never read as text.
    const QByteArray refused = "GDAL cannot open this ESRI ASCII grid: ";
    QTest::newRow("a header with a misspelt keyword")
            << "typo.txt" << QByteArray("ncols 3\nnrows 3\nxllcorner 0\nyllcorner 0\ncelsize 1\n1 1 1\n1 0 0\n1 0 0\n") << 1
            << refused + "its header has no cellsize (nor dx and dy), and GDAL knows no keyword 'celsize'\n";
    QTest::newRow("ncols, nrows and NODATA_value") << "nodata.asc" << "ncols 6\nnrows 5\nNODATA_value -1\n" + rows << 1
                                                   << refused + "its header has no cellsize (nor dx and dy)\n";
    QTest::newRow("values on a line that starts with nan")
            << "nan.asc" << QByteArray("ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\nnan 1 1 1 1 1\n") << 1
            << refused + "Couldn't find data values in ASCII Grid file. (its line 'nan 1 1 1 1 1' starts with a letter, "
                         "which GDAL takes for a line of the header; a blank before its first value lets GDAL read the grid)\n";

    // Binary rasters GDAL cannot open stay unreadable, with GDAL's reason.
    QTemporaryDir dir;
    const QString tiff = RasterFixture::writeRaster(dir.filePath(QStringLiteral("t.tif")),
                                                    RasterFixture::fromInts(std::vector<std::vector<int>>(64, std::vector<int>(64, 1))));
    QVERIFY(!tiff.isEmpty());
    const QByteArray whole = readAll(tiff);
    QTest::newRow("a GeoTIFF cut short") << "cut.tif" << whole.left(whole.size() / 2) << 1 << QByteArray("TIFF");
    QTest::newRow("a TIFF header pointing nowhere") << "header.tif" << QByteArray("II*\0\x08\0\0\0\xff\xff", 10) << 1
                                                    << QByteArray("TIFFReadDirectory");
}

// A file GDAL cannot open as a raster is a text landscape: a grid whose
// first line or two read like an ESRI grid's header is tested by the text
// rules. An ESRI grid GDAL cannot open, and a damaged binary raster, stay
// unreadable, with the reason.
void TestPercolateCommand::textThatLooksLikeARasterIsText()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);

    QVERIFY(TestUtil::writeFile(name, bytes));
    const Run run = percolate({"-c", "1", "--rule", "walk", name});
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(name.toLatin1() + ": " + message), run.err.constData());
    if (exitCode == 0)
        QCOMPARE(run.out, expectedReport({name}, 1));
    else
        QCOMPARE(run.out, name.toLatin1() + "\t0\nProbability Percolation (PP) = 0\n");
}

void TestPercolateCommand::notesAndRefusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("config"); // config.txt: its bytes, "FIFO", or none
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("errors"); // standard error, exactly
    QTest::addColumn<QByteArray>("report"); // standard output, exactly; "reference" for the reference's report of the files

    const QByteArray prefix = "vantrix-percolate: ";
    const QByteArray noCells = ": it holds no cell with a value, so it is not a landscape (its line says 0)\n";
    const QByteArray absent7 = prefix + "good.txt: no cell holds the cover value 7, so nothing can span (its line says 0)\n";
    const QByteArray fromConfig = prefix + "the cover value 7 comes from config.txt in the working directory (--cover "
                                           "chooses another)\n";
    QTest::newRow("decimal fields: no cell")
            << QStringList{"-c", "1", "decimal.txt"} << QByteArray() << 1
            << prefix + "decimal.txt: 4 field(s) that are not integers were skipped, such as '1.0'\n" + prefix
                       + "decimal.txt" + noCells
            << QByteArray("reference");
    QTest::newRow("numpy.savetxt's fields: no cell")
            << QStringList{"-c", "1", "numpy.txt"} << QByteArray() << 1
            << prefix + "numpy.txt: 4 field(s) that are not integers were skipped, such as '1.000000000000000000e+00'\n"
                       + prefix + "numpy.txt" + noCells
            << QByteArray("reference");
    QTest::newRow("tab-separated fields: no cell")
            << QStringList{"-c", "1", "tabs.txt"} << QByteArray() << 1
            << prefix + "tabs.txt: 2 field(s) that are not integers were skipped, such as '1\t1'\n" + prefix + "tabs.txt"
                       + noCells
            << QByteArray("reference");
    QTest::newRow("comma-separated fields and a long one: no cell")
            << QStringList{"-c", "1", "commas.txt"} << QByteArray() << 1
            << prefix + "commas.txt: 3 field(s) that are not integers were skipped, such as '1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,'\n"
                       + prefix + "commas.txt" + noCells
            << QByteArray("reference");
    QTest::newRow("a README listed by mistake: cells, but no habitat")
            << QStringList{"-c", "1", "readme.txt"} << QByteArray() << 0
            << prefix + "readme.txt: 8 field(s) that are not integers were skipped, such as '#'\n" + prefix
                       + "readme.txt: no cell holds the cover value 1, so nothing can span (its line says 0)\n"
            << QByteArray("reference");
    QTest::newRow("one note per file, none for good files")
            << QStringList{"-c", "1", "decimal.txt", "good.txt", "mixed.txt"} << QByteArray() << 1
            << prefix + "decimal.txt: 4 field(s) that are not integers were skipped, such as '1.0'\n" + prefix
                       + "decimal.txt" + noCells + prefix
                       + "mixed.txt: 1 field(s) that are not integers were skipped, such as 'x'\n"
            << QByteArray("reference");
    QTest::newRow("a cover value absent from the map") << QStringList{"-c", "7", "good.txt"} << QByteArray() << 0
                                                       << absent7
                                                       << QByteArray("good.txt\t0\nProbability Percolation (PP) = 0\n");
    QTest::newRow("a map whose edges mostly have no value")
            << QStringList{"-c", "1", "--extent", "full", "clipped.txt"} << QByteArray() << 0
            << prefix + "clipped.txt: 8 of the 14 cells on the map's edges have no value (a map clipped to a study "
                        "area?): spanning is measured against the map's edges, which habitat inside such an area "
                        "cannot reach; --tile tests squares inside it\n"
            << QByteArray("clipped.txt\t0\nProbability Percolation (PP) = 0\n");
    QTest::newRow("no file in the list") << QStringList{"-c", "1", "--files-from", "empty.txt"} << QByteArray() << 1
                                         << prefix + "nothing was tested (no file), so the PP is nan\n"
                                         << QByteArray("Probability Percolation (PP) = nan\n");
    QTest::newRow("no complete square")
            << QStringList{"-c", "1", "--tile", "5", "good.txt"} << QByteArray() << 1
            << prefix + "1 incomplete square(s) at the right and bottom edges of 1 landscape(s) left out\n" + prefix
                       + "nothing was tested (no complete square), so the PP is nan\n"
            << QByteArray("Probability Percolation (PP) = nan\n");
    QTest::newRow("cover value from config.txt") << QStringList{"good.txt"} << QByteArray("7\n0\n") << 0
                                                 << fromConfig + absent7
                                                 << QByteArray("good.txt\t0\nProbability Percolation (PP) = 0\n");
    QTest::newRow("cover value from config.txt, quiet") << QStringList{"-q", "good.txt"} << QByteArray("7\n0\n") << 0
                                                        << fromConfig + absent7
                                                        << QByteArray("good.txt\t0\nProbability Percolation (PP) = 0\n");
    QTest::newRow("cover value given") << QStringList{"-c", "1", "good.txt"} << QByteArray("7\n0\n") << 0 << QByteArray()
                                       << QByteArray("good.txt\t1\nProbability Percolation (PP) = 1\n");
    QTest::newRow("the report on standard output by name") << QStringList{"-c", "1", "-o", "-", "good.txt"} << QByteArray()
                                                           << 0 << QByteArray()
                                                           << QByteArray("good.txt\t1\nProbability Percolation (PP) = 1\n");
    QTest::newRow("config.txt a FIFO")
            << QStringList{"good.txt"} << QByteArray("FIFO") << 1
            << prefix + "config.txt cannot be read (is not a regular file); give the cover value with --cover\n" << QByteArray();
    QTest::newRow("config.txt a FIFO, cover value given") << QStringList{"-c", "1", "good.txt"} << QByteArray("FIFO") << 0
                                                         << QByteArray() << QByteArray("good.txt\t1\nProbability Percolation (PP) = 1\n");
}

// What the report cannot show is said on standard error: fields that are
// not integers (once per file), a run that tested nothing (status 1), the
// cover value taken from config.txt; a config.txt that is not a regular
// file is refused at once instead of waited on.
void TestPercolateCommand::notesAndRefusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, config);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, errors);
    QFETCH(QByteArray, report);

    QVERIFY(TestUtil::writeFile(QStringLiteral("decimal.txt"), "1.0 1.0\n0.0 0.0\n"));
    QVERIFY(TestUtil::writeFile(QStringLiteral("numpy.txt"), "1.000000000000000000e+00 1.000000000000000000e+00\n"
                                                              "0.000000000000000000e+00 0.000000000000000000e+00\n"));
    QVERIFY(TestUtil::writeFile(QStringLiteral("tabs.txt"), "1\t1\n0\t0\n"));
    QVERIFY(TestUtil::writeFile(QStringLiteral("commas.txt"), QByteArray("1,").repeated(30) + "\n1,1\n0,0\n"));
    QVERIFY(TestUtil::writeFile(QStringLiteral("good.txt"), "1 1\n0 0\n"));
    QVERIFY(TestUtil::writeFile(QStringLiteral("mixed.txt"), "1 1 x\n0 0 0\n1 0 1\n"));
    QVERIFY(TestUtil::writeFile(QStringLiteral("empty.txt"), ""));
    QVERIFY(TestUtil::writeFile(QStringLiteral("readme.txt"), "# Vantrix\n\nVersion 2 of 3, see page 1.\n"));
    QVERIFY(TestUtil::writeFile(QStringLiteral("clipped.txt"), "0\n0 1 1 1 0\n0 1 1 1 0\n0\n"));
    if (config == "FIFO")
        QVERIFY(::mkfifo("config.txt", 0600) == 0);
    else if (!config.isEmpty())
        QVERIFY(TestUtil::writeFile(QStringLiteral("config.txt"), config));

    QProcess process;
    process.start(QStringLiteral(VANTRIX_PERCOLATE), arguments);
    process.closeWriteChannel();
    const bool answered = process.waitForFinished(20000);
    if (!answered) {
        // Waiting on config.txt: a writer that ends at once lets it go on.
        const int fd = ::open("config.txt", O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        process.waitForFinished();
    }
    QFile::remove(QStringLiteral("config.txt"));
    QVERIFY2(answered, "vantrix-percolate waited instead of answering");
    QCOMPARE(process.exitCode(), exitCode);
    QCOMPARE(process.readAllStandardError(), errors);
    QStringList files;
    for (const QString &argument : arguments) {
        if (argument.endsWith(QLatin1String(".txt")))
            files << argument;
    }
    QCOMPARE(process.readAllStandardOutput(), report == "reference" ? expectedReport(files, 1) : report);
}

namespace {

// A square Byte GeoTIFF of side cells, all 1: it percolates, and reading it
// whole takes side * side bytes.
bool writeOnes(const QString &path, int side)
{
    GDALAllRegister();
    const char *options[] = {"TILED=YES", "COMPRESS=DEFLATE", nullptr};
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    GDALDatasetH dataset = driver ? GDALCreate(driver, QFile::encodeName(path).constData(), side, side, 1, GDT_Byte,
                                               const_cast<char **>(options))
                                  : nullptr;
    if (!dataset)
        return false;
    std::vector<GByte> ones(size_t(side) * 256, 1);
    bool ok = true;
    GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
    for (int row = 0; ok && row < side; row += 256) {
        const int rows = std::min(256, side - row);
        ok = GDALRasterIO(band, GF_Write, 0, row, side, rows, ones.data(), side, rows, GDT_Byte, 0, 0) == CE_None;
    }
    GDALClose(dataset);
    return ok;
}

} // namespace

// Two rasters whose whole squares (the walk holds its square) fit into the
// memory the process may use one at a time but not both at once: every
// number of jobs gives the report of one job.
void TestPercolateCommand::sameReportForAnyJobsUnderAMemoryLimit()
{
#ifdef VANTRIX_SANITIZED
    QSKIP("ulimit -v leaves no room for the sanitizers' shadow memory");
#endif
    const int side = 8000; // 61 MB a square
    const QStringList files{work.filePath(QStringLiteral("ones-a.tif")), work.filePath(QStringLiteral("ones-b.tif"))};
    for (const QString &file : files)
        QVERIFY(writeOnes(file, side));
    QByteArray expected;
    for (const QString &file : files)
        expected += QFile::encodeName(file) + "\t1\n";
    expected += "Probability Percolation (PP) = 1\n";

    // The least address space (to 8 MB) in which one job reads both.
    auto oneJob = [&](rlim_t megabytes) {
        Limits limits;
        limits.addressSpace = megabytes << 20;
        return percolate(QStringList{"-q", "-c", "1", "--rule", "walk", "-j", "1"} + files, QByteArray(), limits);
    };
    rlim_t low = 64;
    rlim_t high = 2048;
    QVERIFY2(oneJob(high).out == expected, "one job cannot read the rasters even in 2 GB");
    while (high - low > 8) {
        const rlim_t middle = (low + high) / 2;
        (oneJob(middle).out == expected ? high : low) = middle;
    }
    // With room for one square and a little more, not for two.
    const rlim_t limit = high + 24;
    Limits limits;
    limits.addressSpace = limit << 20;
    for (const char *jobs : {"1", "2", "4"}) {
        const Run run = percolate(QStringList{"-q", "-c", "1", "--rule", "walk", "-j", jobs} + files, QByteArray(), limits);
        QVERIFY2(run.exitCode == 0 && run.out == expected,
                 qPrintable(QStringLiteral("-j %1 under %2 MB: status %3, %4%5")
                                    .arg(QLatin1String(jobs)).arg(limit).arg(run.exitCode)
                                    .arg(QString::fromLocal8Bit(run.out), QString::fromLocal8Bit(run.err))));
    }
}

QTEST_MAIN(TestPercolateCommand)
#include "tst_percolatecommand.moc"
