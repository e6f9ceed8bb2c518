// What the three programs write and where, run as processes: -o and --plot
// onto devices, FIFOs, links and hard links; runs stopped by a signal; merges
// of parts far larger than the memory they may use, and of parts that are
// not of one run; memory limits; refusals that must come at once. And the
// digits of the reals every table writes.
#include "systemmemory.h"
#include "testutil.h"
#include "tsv.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Run
{
    int exitCode = -1;
    bool crashed = false; // ended by a signal
    QByteArray out;
    QByteArray err;
    qint64 millis = 0;
};

// How a program is started: where, with what on standard input, under which
// address-space limit (bytes, 0 for none). Children start with the default
// action for the signals the programs handle, whatever this process ignores.
struct Start
{
    QString directory;
    QByteArray input;
    bool keepInputOpen = false;
    rlim_t addressSpace = 0;
    rlim_t fileSize = 0;     // bytes a file may grow to (its signal ignored, so that writes fail), 0 for no limit
    QString temporaryFolder; // TMPDIR
};

QString runtimeFolder()
{
    static QTemporaryDir folder;
    return folder.path();
}

void prepare(QProcess &process, const Start &start)
{
    const rlim_t addressSpace = start.addressSpace;
    const rlim_t fileSize = start.fileSize;
    process.setChildProcessModifier([addressSpace, fileSize] {
        for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGXFSZ, SIGPIPE})
            std::signal(signal, SIG_DFL);
        if (addressSpace > 0) {
            rlimit limit{addressSpace, addressSpace};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (fileSize > 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{fileSize, fileSize};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
    });
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VANTRIX_PERCOLATE"), QStringLiteral(VANTRIX_PERCOLATE));
    environment.insert(QStringLiteral("VANTRIX_GENERATE"), QStringLiteral(VANTRIX_GENERATE));
    environment.insert(QStringLiteral("VANTRIX_SWEEP"), QStringLiteral(VANTRIX_SWEEP));
    if (!start.temporaryFolder.isEmpty())
        environment.insert(QStringLiteral("TMPDIR"), start.temporaryFolder);
    // Qt's runtime folder (the plots' QGuiApplication makes one in TMPDIR
    // when none is set) kept apart from the temporary files looked for.
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder());
    process.setProcessEnvironment(environment);
    if (!start.directory.isEmpty())
        process.setWorkingDirectory(start.directory);
}

Run finish(QProcess &process, const QElapsedTimer &clock)
{
    if (!process.waitForFinished(300000)) {
        process.kill();
        process.waitForFinished();
    }
    Run run;
    run.millis = clock.elapsed();
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.exitCode = run.crashed ? -1 : process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QString program(const QString &name)
{
    if (name == QLatin1String("percolate"))
        return QStringLiteral(VANTRIX_PERCOLATE);
    if (name == QLatin1String("generate"))
        return QStringLiteral(VANTRIX_GENERATE);
    return QStringLiteral(VANTRIX_SWEEP);
}

Run run(const QString &name, const QStringList &arguments, const Start &start = Start())
{
    QProcess process;
    prepare(process, start);
    QElapsedTimer clock;
    clock.start();
    process.start(program(name), arguments);
    process.write(start.input);
    process.closeWriteChannel();
    return finish(process, clock);
}

// A bash script, with $VANTRIX_PERCOLATE, $VANTRIX_GENERATE and $VANTRIX_SWEEP.
Run shell(const QString &script, const Start &start = Start())
{
    QProcess process;
    prepare(process, start);
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), script});
    process.closeWriteChannel();
    return finish(process, clock);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

mode_t modeOf(const QString &path, bool followLinks = false)
{
    struct stat info;
    const QByteArray name = QFile::encodeName(path);
    if ((followLinks ? ::stat(name.constData(), &info) : ::lstat(name.constData(), &info)) != 0)
        return 0;
    return info.st_mode;
}

// The state letter of a process in /proc (R, S, T for stopped, Z, ...); 0
// once it is gone.
char processState(qint64 pid)
{
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype paren = stat.lastIndexOf(')');
    return paren > 0 && paren + 2 < stat.size() ? stat[paren + 2] : 0;
}

qint64 addressSpaceOf(qint64 pid)
{
    return readAll(QStringLiteral("/proc/%1/statm").arg(pid)).split(' ').value(0).toLongLong() * sysconf(_SC_PAGE_SIZE);
}

// Stops the process (SIGSTOP) at a moment when seen() holds, and keeps it
// stopped; false if the process ended first or a minute passed.
bool stopWhen(QProcess &process, const std::function<bool()> &seen)
{
    const qint64 pid = process.processId();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 60000) {
        const char state = processState(pid);
        if (state == 0 || state == 'Z')
            return false;
        if (seen()) {
            ::kill(pid_t(pid), SIGSTOP);
            QElapsedTimer stopping;
            stopping.start();
            while (processState(pid) != 'T' && processState(pid) != 'Z' && stopping.elapsed() < 5000)
                QThread::usleep(200);
            if (processState(pid) == 'T' && seen())
                return true;
            ::kill(pid_t(pid), SIGCONT);
        }
        QThread::usleep(300);
    }
    return false;
}

// A character device for the test to write to: as root, a node of its own in
// folder with the numbers of /dev/null (1, 3) or /dev/full (1, 7), so that
// a program that replaced it would replace nothing of the system's; for
// anyone else the system's device itself, which they cannot replace.
QString deviceFor(const QString &folder, const char *name, unsigned minor)
{
    if (::geteuid() != 0)
        return QStringLiteral("/dev/") + QLatin1String(name);
    const QString path = folder + QLatin1Char('/') + QLatin1String(name);
    if (::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0666, makedev(1, minor)) != 0)
        return QString();
    return path;
}

bool isDevice(const QString &path, unsigned minor)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode) && major(info.st_rdev) == 1
            && minor(info.st_rdev) == minor;
}

const QByteArray Landscape = "1 1 1 1\n0 0 1 0\n0 1 1 0\n1 0 1 1\n";
const QByteArray GeneratedText = "random-L8-p0.5-s1-r0001.txt";
const QByteArray GeneratedTiff = "random-L8-p0.5-s1-r0001.tif";

} // namespace

class TestOutputs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void outputTargets_data();
    void outputTargets();
    void signalsLeaveOldOutputs_data();
    void signalsLeaveOldOutputs();
    void mergesStreamInBoundedMemory_data();
    void mergesStreamInBoundedMemory();
    void mergeTakesOnlyThePartsOfOneRun_data();
    void mergeTakesOnlyThePartsOfOneRun();
    void modelsThatCannotFitAreRefused_data();
    void modelsThatCannotFitAreRefused();
    void memoryLostMidwayIsReported_data();
    void memoryLostMidwayIsReported();
    void answersAndRefusals_data();
    void answersAndRefusals();
    void dashIsStandardOutput_data();
    void dashIsStandardOutput();
    void outputsNeverReplaceInputs_data();
    void outputsNeverReplaceInputs();
    void everyMemoryLimitEndsCleanly_data();
    void everyMemoryLimitEndsCleanly();
    void realsAsPrintfWritesThem_data();
    void realsAsPrintfWritesThem();
    void threadsShareOneHeapUnderALimit();

private:
    // The arguments with which writer puts its result at path (for
    // generate: into path's folder, under the replicate's name).
    QStringList writerArguments(const QString &writer, const QString &path, const QString &folder);
    QString writerName(const QString &writer)
    {
        return writer.startsWith(QLatin1String("percolate")) ? QStringLiteral("percolate")
                : writer.startsWith(QLatin1String("generate")) ? QStringLiteral("generate")
                                                               : QStringLiteral("sweep");
    }
    // The result's file name within its folder.
    QString outputName(const QString &writer)
    {
        if (writer == QLatin1String("generate"))
            return QString::fromLatin1(GeneratedText);
        if (writer == QLatin1String("generate --format geotiff"))
            return QString::fromLatin1(GeneratedTiff);
        return writer == QLatin1String("sweep --plot") ? QStringLiteral("result.png") : QStringLiteral("result.txt");
    }
    // What writer writes into a new regular file.
    QByteArray reference(const QString &writer);

    QTemporaryDir work;
    QHash<QString, QByteArray> references;
};

void TestOutputs::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(TestUtil::writeFile(work.filePath(QStringLiteral("landscape.txt")), Landscape));
}

QStringList TestOutputs::writerArguments(const QString &writer, const QString &path, const QString &folder)
{
    const QStringList sweep{"--model", "random", "--size", "8", "--share", "0.5,0.6", "--replicates", "3", "--seed", "1", "-q"};
    const QStringList generate{"--model", "random", "--size", "8", "--share", "0.5", "--count", "1", "--seed", "1", "-o", folder};
    if (writer == QLatin1String("percolate -o"))
        return {"-c", "1", "-q", "-o", path, work.filePath(QStringLiteral("landscape.txt"))};
    if (writer == QLatin1String("sweep -o"))
        return sweep + QStringList{"-o", path};
    if (writer == QLatin1String("sweep --plot"))
        return sweep + QStringList{"-o", folder + QStringLiteral("/../table.tsv"), "--plot", path};
    if (writer == QLatin1String("generate"))
        return generate;
    return generate + QStringList{"--format", "geotiff"};
}

QByteArray TestOutputs::reference(const QString &writer)
{
    if (!references.contains(writer)) {
        QTemporaryDir dir;
        QDir(dir.path()).mkdir(QStringLiteral("out"));
        const QString folder = dir.filePath(QStringLiteral("out"));
        const QString path = folder + QLatin1Char('/') + outputName(writer);
        const Run made = run(writerName(writer), writerArguments(writer, path, folder));
        if (made.exitCode != 0)
            qWarning("%s into a new file: %s", qPrintable(writer), made.err.constData());
        references.insert(writer, made.exitCode == 0 ? readAll(path) : QByteArray("<failed>"));
    }
    return references.value(writer);
}

void TestOutputs::outputTargets_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<QString>("target");
    const char *writers[] = {"percolate -o", "sweep -o", "sweep --plot", "generate", "generate --format geotiff"};
    const char *targets[] = {"character device", "full device", "FIFO with a reader", "symbolic link", "chain of links",
                             "relative link into another folder", "dangling link", "file with its own mode",
                             "file with another hard link"};
    for (const char *writer : writers) {
        for (const char *target : targets)
            QTest::addRow("%s onto a %s", writer, target) << QString::fromLatin1(writer) << QString::fromLatin1(target);
    }
}

// The result lands in what the output names, which stays what it was: a
// device or a FIFO is written, never replaced; a link stays a link and its
// target gets the result; a file keeps its mode; a file's other hard links
// keep the old content (the result is a new file, renamed into place). No
// temporary file is left anywhere.
void TestOutputs::outputTargets()
{
    QFETCH(QString, writer);
    QFETCH(QString, target);

    const QByteArray expected = reference(writer);
    QVERIFY2(expected != "<failed>", "the writer fails into a new file");
    QTemporaryDir dir;
    QDir row(dir.path());
    QVERIFY(row.mkdir(QStringLiteral("out")) && row.mkdir(QStringLiteral("elsewhere")) && row.mkdir(QStringLiteral("tmp")));
    const QString folder = row.filePath(QStringLiteral("out"));
    const QString elsewhere = row.filePath(QStringLiteral("elsewhere"));
    QString path = folder + QLatin1Char('/') + outputName(writer);
    const bool generates = writer.startsWith(QLatin1String("generate"));
    const QByteArray old = "old content\n";
    auto link = [](const QString &to, const QString &at) {
        return ::symlink(QFile::encodeName(to).constData(), QFile::encodeName(at).constData()) == 0;
    };

    // What the output name is made to be, and where the result should land.
    QString device;
    unsigned deviceMinor = 0;
    QString landing = path;
    QStringList outEntries{outputName(writer)};
    QStringList elsewhereEntries;
    QProcess reader;
    if (target.endsWith(QLatin1String("device"))) {
        deviceMinor = target.startsWith(QLatin1String("full")) ? 7 : 3;
        device = deviceFor(dir.path(), deviceMinor == 7 ? "full" : "null", deviceMinor);
        if (device.isEmpty())
            QSKIP("root, but a device node cannot be made here (a nodev file system?)");
        if (generates || writer == QLatin1String("sweep --plot")) {
            // The name is the program's (a replicate's) or must end in .png:
            // the device stands there, as a node of its own (root) or as a
            // link to the system's.
            if (::geteuid() == 0) {
                QVERIFY(QFile::remove(device));
                device = path;
                QVERIFY(::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0666, makedev(1, deviceMinor)) == 0);
            } else {
                QVERIFY(link(device, path));
            }
        } else {
            path = device;
            outEntries.clear();
        }
    } else if (target == QLatin1String("FIFO with a reader")) {
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        reader.setStandardOutputFile(row.filePath(QStringLiteral("received")));
        reader.start(QStringLiteral("cat"), {path});
        QVERIFY(reader.waitForStarted());
        landing = row.filePath(QStringLiteral("received"));
    } else if (target == QLatin1String("symbolic link")) {
        landing = elsewhere + QStringLiteral("/target");
        QVERIFY(TestUtil::writeFile(landing, old) && QFile::setPermissions(landing, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(link(landing, path));
        elsewhereEntries << QStringLiteral("target");
    } else if (target == QLatin1String("chain of links")) {
        landing = elsewhere + QStringLiteral("/target");
        QVERIFY(TestUtil::writeFile(landing, old));
        QVERIFY(link(QStringLiteral("../elsewhere/middle"), path));
        QVERIFY(link(landing, elsewhere + QStringLiteral("/middle")));
        elsewhereEntries << QStringLiteral("middle") << QStringLiteral("target");
    } else if (target == QLatin1String("relative link into another folder")) {
        landing = elsewhere + QStringLiteral("/target");
        QVERIFY(TestUtil::writeFile(landing, old));
        QVERIFY(link(QStringLiteral("../elsewhere/target"), path));
        elsewhereEntries << QStringLiteral("target");
    } else if (target == QLatin1String("dangling link")) {
        landing = elsewhere + QStringLiteral("/new");
        QVERIFY(link(QStringLiteral("../elsewhere/new"), path));
        elsewhereEntries << QStringLiteral("new");
    } else if (target == QLatin1String("file with its own mode")) {
        QVERIFY(TestUtil::writeFile(path, old));
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0604) == 0);
    } else if (target == QLatin1String("file with another hard link")) {
        QVERIFY(TestUtil::writeFile(path, old));
        QVERIFY(::link(QFile::encodeName(path).constData(), QFile::encodeName(elsewhere + QStringLiteral("/other")).constData()) == 0);
        elsewhereEntries << QStringLiteral("other");
    }
    const mode_t linkMode = modeOf(path);
    const mode_t landingMode = modeOf(landing, true);

    Start start;
    start.directory = dir.path();
    start.temporaryFolder = row.filePath(QStringLiteral("tmp"));
    const Run made = run(writerName(writer), writerArguments(writer, path, folder), start);
    QVERIFY2(!made.crashed, made.err.constData());

    if (target == QLatin1String("full device")) {
        QCOMPARE(made.exitCode, 1);
        QVERIFY2(made.err.contains("No space left on device"), made.err.constData());
    } else {
        QVERIFY2(made.exitCode == 0, made.err.constData());
    }
    if (!device.isEmpty()) {
        QVERIFY2(isDevice(device, deviceMinor), "the device was replaced");
    } else if (target == QLatin1String("FIFO with a reader")) {
        if (!reader.waitForFinished(20000)) {
            reader.kill();
            reader.waitForFinished();
            QFAIL("the FIFO's reader got no end of file: the FIFO was not written");
        }
        QVERIFY(S_ISFIFO(modeOf(path)));
        QCOMPARE(readAll(landing), expected);
    } else {
        QCOMPARE(readAll(landing), expected);
        if (target.contains(QLatin1String("link")) && !target.contains(QLatin1String("hard"))) {
            QVERIFY2(S_ISLNK(modeOf(path)), "the link was replaced");
            QCOMPARE(modeOf(path), linkMode);
        }
        if (target == QLatin1String("symbolic link") || target == QLatin1String("file with its own mode"))
            QCOMPARE(modeOf(landing, true) & 07777, landingMode & 07777);
        if (target == QLatin1String("file with another hard link")) {
            QCOMPARE(readAll(elsewhere + QStringLiteral("/other")), old);
            QVERIFY(S_ISREG(modeOf(path)));
        }
    }
    QCOMPARE(entries(folder), outEntries);
    QCOMPARE(entries(elsewhere), elsewhereEntries);
    QCOMPARE(entries(row.filePath(QStringLiteral("tmp"))), QStringList());
}

void TestOutputs::signalsLeaveOldOutputs_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<int>("signal");
    const char *writers[] = {"percolate", "percolate --merge", "sweep --merge", "generate", "generate --format geotiff"};
    const std::pair<int, const char *> stops[] = {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}};
    for (const char *writer : writers) {
        for (const auto &[signal, name] : stops)
            QTest::addRow("%s stopped by %s", writer, name) << QString::fromLatin1(writer) << signal;
    }
}

// A run stopped by a signal while a temporary file of its output exists
// leaves the old output as it was and no temporary file.
void TestOutputs::signalsLeaveOldOutputs()
{
    QFETCH(QString, writer);
    QFETCH(int, signal);

    QTemporaryDir dir;
    QDir row(dir.path());
    QVERIFY(row.mkdir(QStringLiteral("out")) && row.mkdir(QStringLiteral("tmp")));
    const QString folder = row.filePath(QStringLiteral("out"));
    const QByteArray old = "old content\n";
    QStringList arguments;
    QByteArray input;
    QHash<QString, QByteArray> made; // for generate: each replicate as a run to the end writes it
    auto generate = [&writer](const QString &into) {
        QStringList arguments{"--model", "random", "--size", "1500", "--share", "0.5", "--count", "12", "--seed", "1", "-o", into};
        if (writer.endsWith(QLatin1String("geotiff")))
            arguments << "--format" << "geotiff";
        return arguments;
    };

    if (writer == QLatin1String("percolate")) {
        // Enough to read that the run is caught while it writes its report.
        QByteArray text;
        for (int r = 0; r < 1000; ++r)
            text += QByteArray("1 0 ").repeated(500) + '\n';
        QVERIFY(TestUtil::writeFile(row.filePath(QStringLiteral("large.txt")), text));
        arguments = QStringList{"-c", "1", "-j", "1", "-o", folder + QStringLiteral("/report.txt")};
        for (int i = 0; i < 20; ++i)
            arguments << row.filePath(QStringLiteral("large.txt"));
        QVERIFY(TestUtil::writeFile(folder + QStringLiteral("/report.txt"), old));
    } else if (writer == QLatin1String("percolate --merge")) {
        // A part coming through a pipe that the test holds open.
        arguments = QStringList{"--merge", "-", "-o", folder + QStringLiteral("/report.txt")};
        input = "a.txt\t1\nb.txt\t0\n";
        QVERIFY(TestUtil::writeFile(folder + QStringLiteral("/report.txt"), old));
    } else if (writer == QLatin1String("sweep --merge")) {
        const QStringList sweep{"--model", "random", "--size", "8", "--share", "0.5,0.6", "--replicates", "4", "--seed", "1", "-q"};
        for (const char *part : {"1/2", "2/2"}) {
            const Run shard = run(QStringLiteral("sweep"), sweep + QStringList{"--shard", part, "-o", row.filePath(QStringLiteral("s-{shard}.tsv"))});
            QVERIFY2(shard.exitCode == 0, shard.err.constData());
        }
        const QByteArray first = readAll(row.filePath(QStringLiteral("s-1-of-2.tsv")));
        input = first.left(first.indexOf('\n', first.indexOf('\n') + 1) + 1); // its shard line and header
        arguments = QStringList{"--merge", "-", row.filePath(QStringLiteral("s-2-of-2.tsv")), "-o", folder + QStringLiteral("/table.tsv")};
        QVERIFY(TestUtil::writeFile(folder + QStringLiteral("/table.tsv"), old));
    } else {
        // Every replicate as a run to the end writes it; the old files in place.
        QTemporaryDir whole;
        const Run full = run(QStringLiteral("generate"), generate(whole.path()));
        QVERIFY2(full.exitCode == 0, full.err.constData());
        for (const QString &name : entries(whole.path())) {
            made.insert(name, readAll(whole.filePath(name)));
            QVERIFY(TestUtil::writeFile(folder + QLatin1Char('/') + name, old));
        }
        QCOMPARE(made.size(), qsizetype(12));
        arguments = generate(folder);
    }
    const QStringList before = entries(folder);
    auto temporaryExists = [&] { return entries(folder) != before; };

    QProcess process;
    Start start;
    start.directory = dir.path();
    start.temporaryFolder = row.filePath(QStringLiteral("tmp"));
    prepare(process, start);
    process.start(program(writerName(writer)), arguments);
    QVERIFY(process.waitForStarted());
    process.write(input); // and standard input stays open
    process.waitForBytesWritten();
    QVERIFY2(stopWhen(process, temporaryExists), "the run ended before it was seen writing");
    ::kill(pid_t(process.processId()), signal);
    ::kill(pid_t(process.processId()), SIGCONT);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);

    QCOMPARE(entries(folder), before);
    QCOMPARE(entries(row.filePath(QStringLiteral("tmp"))), QStringList());
    if (made.isEmpty()) {
        QCOMPARE(readAll(folder + QLatin1Char('/') + before.first()), old);
    } else {
        for (const QString &name : before) {
            const QByteArray bytes = readAll(folder + QLatin1Char('/') + name);
            QVERIFY2(bytes == old || bytes == made.value(name), qPrintable(name + QStringLiteral(" is cut short")));
        }
    }
}

void TestOutputs::mergesStreamInBoundedMemory_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    // 8,000,000 lines: a report of 392 MB, made as it is read.
    const QString report = QStringLiteral(
            "report() { awk 'BEGIN { for (i = 0; i < 8000000; i++) printf \"/landscapes/study-area/replicate-%09d.txt\\t%d\\n\", i, i % 2;"
            " print \"Probability Percolation (PP) = 0.5\" }'; }\n");
    QTest::newRow("a report of 392 MB through a pipe, 150 MB of memory")
            << report + QStringLiteral("report | (ulimit -v 150000; exec \"$VANTRIX_PERCOLATE\" --merge - -o merged.txt) || exit\n"
                                       "[ \"$(report | md5sum)\" = \"$(md5sum < merged.txt)\" ] || { echo merged.txt differs >&2; exit 3; }\n")
            << 0 << QByteArray();
    QTest::newRow("result lines without end (yes), 150 MB of memory")
            << QStringLiteral("yes $'/x/y.txt\\t1' | head -n 20000000 | (ulimit -v 150000; exec \"$VANTRIX_PERCOLATE\" --merge /dev/stdin > /dev/null)")
            << 1 << QByteArray("no mean line");
    QTest::newRow("a sweep part of 30,000,000 rows through a pipe, 150 MB of memory")
            << QStringLiteral("sweep() { \"$VANTRIX_SWEEP\" --model random --size 8 --share 0.5,0.6 --replicates 4 --seed 1 -q --shard $1 -o s-$2.tsv; }\n"
                              "sweep 1/2 1 && sweep 2/2 2 || exit 4\n"
                              "(head -n 2 s-1.tsv; yes \"$(sed -n 3p s-1.tsv)\" | head -n 30000000) | (ulimit -v 150000; exec \"$VANTRIX_SWEEP\" --merge - s-2.tsv -o m.tsv)")
            << 1 << QByteArray("other rows");
}

void TestOutputs::mergesStreamInBoundedMemory()
{
#ifdef VANTRIX_SANITIZED
    QSKIP("ulimit -v leaves no room for the sanitizers' shadow memory");
#endif
    QFETCH(QString, script);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    QTemporaryDir dir;
    Start start;
    start.directory = dir.path();
    const Run merged = shell(script, start);
    QVERIFY2(!merged.crashed && merged.exitCode == exitCode,
             qPrintable(QStringLiteral("status %1: %2").arg(merged.exitCode).arg(QString::fromLocal8Bit(merged.err))));
    QVERIFY2(merged.err.contains(message), merged.err.constData());
}

void TestOutputs::mergeTakesOnlyThePartsOfOneRun_data()
{
    QTest::addColumn<QStringList>("parts");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("the three parts") << QStringList{"p-1-of-3.txt", "p-2-of-3.txt", "p-3-of-3.txt"} << 0 << QByteArray();
    QTest::newRow("the three parts in another order") << QStringList{"p-3-of-3.txt", "p-1-of-3.txt", "p-2-of-3.txt"} << 0 << QByteArray();
    QTest::newRow("part 1 copied under the name of part 2") << QStringList{"p-1-of-3.txt", "x/p-2-of-3.txt", "p-3-of-3.txt"}
                                                           << 1 << QByteArray("twice");
    QTest::newRow("a part given twice") << QStringList{"p-1-of-3.txt", "p-2-of-3.txt", "p-2-of-3.txt", "p-3-of-3.txt"}
                                        << 1 << QByteArray("twice");
    QTest::newRow("a copy of a part besides it") << QStringList{"p-1-of-3.txt", "p-2-of-3.txt", "y/p-2-of-3.txt", "p-3-of-3.txt"}
                                                 << 1 << QByteArray("twice");
    QTest::newRow("a part missing") << QStringList{"p-1-of-3.txt", "p-3-of-3.txt"} << 1 << QByteArray("missing");
    QTest::newRow("a part of another list") << QStringList{"p-1-of-3.txt", "list/p-2-of-3.txt", "p-3-of-3.txt"}
                                            << 1 << QByteArray("another run");
    QTest::newRow("a part with another cover") << QStringList{"p-1-of-3.txt", "cover/p-2-of-3.txt", "p-3-of-3.txt"}
                                               << 1 << QByteArray("another run");
    QTest::newRow("a part of another split") << QStringList{"p-1-of-3.txt", "split/p-2-of-4.txt", "p-3-of-3.txt"}
                                             << 1 << QByteArray("another run");
}

// Parts of a split run say which part of which run they are, so that a
// merge joins exactly the parts of one run, and nothing else.
void TestOutputs::mergeTakesOnlyThePartsOfOneRun()
{
    QFETCH(QStringList, parts);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);

    QTemporaryDir dir;
    QDir folder(dir.path());
    QByteArray list;
    for (int i = 0; i < 7; ++i) {
        const QString name = QStringLiteral("l%1.txt").arg(i);
        QVERIFY(TestUtil::writeFile(dir.filePath(name), i % 3 ? "1 1\n0 0\n" : "1 0\n0 1\n"));
        list += name.toLatin1() + '\n';
    }
    QVERIFY(TestUtil::writeFile(dir.filePath(QStringLiteral("all.txt")), list));
    QVERIFY(TestUtil::writeFile(dir.filePath(QStringLiteral("longer.txt")), list + "l0.txt\n"));
    for (const char *sub : {"x", "y", "list", "cover", "split"})
        QVERIFY(folder.mkdir(QLatin1String(sub)));
    Start start;
    start.directory = dir.path();
    auto percolate = [&](const QStringList &arguments) {
        const Run made = run(QStringLiteral("percolate"), QStringList{"-q", "-c", "1"} + arguments, start);
        if (made.exitCode != 0)
            qWarning("%s", made.err.constData());
        return made.exitCode == 0;
    };
    for (const char *shard : {"1/3", "2/3", "3/3"})
        QVERIFY(percolate({"--files-from", "all.txt", "--shard", shard, "-o", "p-{shard}.txt"}));
    QVERIFY(percolate({"--files-from", "all.txt", "-o", "whole.txt"}));
    QVERIFY(percolate({"--files-from", "longer.txt", "--shard", "2/3", "-o", "list/p-{shard}.txt"}));
    QVERIFY(percolate({"--files-from", "all.txt", "--shard", "2/4", "-o", "split/p-{shard}.txt"}));
    QVERIFY(run(QStringLiteral("percolate"), {"-q", "-c", "0", "--files-from", "all.txt", "--shard", "2/3", "-o", "cover/p-{shard}.txt"}, start).exitCode == 0);
    QVERIFY(QFile::copy(dir.filePath(QStringLiteral("p-1-of-3.txt")), dir.filePath(QStringLiteral("x/p-2-of-3.txt"))));
    QVERIFY(QFile::copy(dir.filePath(QStringLiteral("p-2-of-3.txt")), dir.filePath(QStringLiteral("y/p-2-of-3.txt"))));

    const Run merged = run(QStringLiteral("percolate"), QStringList{"--merge"} + parts, start);
    QVERIFY(!merged.crashed);
    QCOMPARE(merged.exitCode, exitCode);
    QVERIFY2(merged.err.contains(message), merged.err.constData());
    if (exitCode == 0)
        QCOMPARE(merged.out, readAll(dir.filePath(QStringLiteral("whole.txt"))));
    else
        QCOMPARE(merged.out, QByteArray());
}

void TestOutputs::modelsThatCannotFitAreRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("limitMb");

    QTest::newRow("sweep of fractal landscapes of 33000 x 33000")
            << "sweep" << QStringList{"--model", "fractal", "--size", "33000", "--share", "0.5", "--replicates", "1", "--seed", "1"} << 2000;
    QTest::newRow("sweep of clusters landscapes of 30000 x 30000")
            << "sweep" << QStringList{"--model", "clusters", "--size", "30000", "--share", "0.5", "--replicates", "1", "--seed", "1"} << 2000;
    QTest::newRow("generate a fractal landscape of 40000 x 40000")
            << "generate" << QStringList{"--model", "fractal", "--size", "40000", "--share", "0.5", "--count", "1", "--seed", "1"} << 2000;
    QTest::newRow("generate a random landscape of 65536 x 65536")
            << "generate" << QStringList{"--model", "random", "--size", "65536", "--share", "0.5", "--count", "1", "--seed", "1"} << 2000;
    QTest::newRow("generate a GeoTIFF with too little room for GDAL")
            << "generate" << QStringList{"--model", "fractal", "--size", "2000", "--share", "0.5", "--count", "1", "--seed", "1", "--format", "geotiff"} << 180;
}

// What cannot fit is refused before it starts: status 2 and a message, at
// once, never an abort.
void TestOutputs::modelsThatCannotFitAreRefused()
{
#ifdef VANTRIX_SANITIZED
    QSKIP("ulimit -v leaves no room for the sanitizers' shadow memory");
#endif
    QFETCH(QString, name);
    QFETCH(QStringList, arguments);
    QFETCH(int, limitMb);
    QTemporaryDir dir;
    Start start;
    start.directory = dir.path();
    start.addressSpace = rlim_t(limitMb) << 20;
    const Run refused = run(name, arguments << "-o" << dir.filePath(name == QLatin1String("sweep") ? QStringLiteral("t.tsv") : QStringLiteral("maps")), start);
    QVERIFY2(!refused.crashed, refused.err.constData());
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.err.contains("MB this process may use") && refused.err.count('\n') == 1, refused.err.constData());
    QVERIFY2(refused.millis < 10000, qPrintable(QString::number(refused.millis)));
    QCOMPARE(entries(dir.path()), QStringList());
}

void TestOutputs::memoryLostMidwayIsReported_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("generate") << "generate" << QStringList{"--model", "random", "--size", "6000", "--share", "0.5", "--count", "100", "--seed", "1", "-o", "maps"};
    QTest::newRow("sweep, one job") << "sweep" << QStringList{"--model", "fractal", "--size", "3000", "--share", "0.5,0.6", "--replicates", "60", "--seed", "1", "-j", "1", "-q", "-o", "t.tsv"};
    QTest::newRow("sweep, two jobs") << "sweep" << QStringList{"--model", "fractal", "--size", "3000", "--share", "0.5,0.6", "--replicates", "60", "--seed", "1", "-j", "2", "-q", "-o", "t.tsv"};
}

// Memory that the machine had at the start but not later (here: the
// process's address space cut while it works) ends the run with a message
// and status 1, never an abort.
void TestOutputs::memoryLostMidwayIsReported()
{
#ifdef VANTRIX_SANITIZED
    QSKIP("the sanitizers' allocator aborts instead of throwing std::bad_alloc");
#endif
    QFETCH(QString, name);
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QProcess process;
    Start start;
    start.directory = dir.path();
    prepare(process, start);
    QElapsedTimer clock;
    clock.start();
    process.start(program(name), arguments);
    QVERIFY(process.waitForStarted());
    const qint64 pid = process.processId();
    // Once it holds a landscape's working memory, it may keep what it has
    // but get no more.
    QElapsedTimer waited;
    waited.start();
    while (addressSpaceOf(pid) < (qint64(150) << 20) && waited.elapsed() < 60000 && processState(pid) != 'Z')
        QThread::usleep(500);
    const rlimit cut{rlim_t(110) << 20, rlim_t(110) << 20};
    QVERIFY(::prlimit(pid_t(pid), RLIMIT_AS, &cut, nullptr) == 0);
    const Run ended = finish(process, clock);
    QVERIFY2(!ended.crashed, ended.err.constData());
    QCOMPARE(ended.exitCode, 1);
    QVERIFY2(ended.err.contains("not enough memory"), ended.err.constData());
}

void TestOutputs::answersAndRefusals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("made"); // a file the run makes (or "" for none)
    QTest::addColumn<int>("fileSizeLimit");

    const QStringList sweep{"--model", "random", "--size", "8", "--share", "0.5", "--replicates", "2", "--seed", "1", "-q"};
    QTest::newRow("percolate --merge of a named FIFO") << "percolate" << QStringList{"--merge", "fifo"} << 1
                                                       << QByteArray("named pipe (FIFO)") << QString() << 0;
    QTest::newRow("sweep --merge of a named FIFO") << "sweep" << QStringList{"--merge", "fifo"} << 1
                                                   << QByteArray("named pipe (FIFO)") << QString() << 0;
    QTest::newRow("the plot onto the table") << "sweep" << sweep + QStringList{"-o", "t.png", "--plot", "t.png"} << 2
                                             << QByteArray("the same file") << QString() << 0;
    QTest::newRow("the plot onto a link to the table") << "sweep" << sweep + QStringList{"-o", "t.png", "--plot", "link.png"} << 2
                                                       << QByteArray("the same file") << QString() << 0;
    QTest::newRow("the plot into a missing folder") << "sweep" << sweep + QStringList{"-o", "t.tsv", "--plot", "missing/p.png"} << 1
                                                    << QByteArray("No such file or directory") << QStringLiteral("t.tsv") << 0;
    QTest::newRow("the plot onto a folder") << "sweep" << sweep + QStringList{"-o", "t.tsv", "--plot", "folder.png"} << 1
                                            << QByteArray("Is a directory") << QStringLiteral("t.tsv") << 0;
    QTest::newRow("the plot beyond a file-size limit") << "sweep" << sweep + QStringList{"-o", "t.tsv", "--plot", "big.png"} << 1
                                                      << QByteArray("File too large") << QStringLiteral("t.tsv") << 20000;
    QTest::newRow("generate at share 1e-300")
            << "generate" << QStringList{"--model", "random", "--size", "8", "--share", "1e-300", "--count", "1", "--seed", "1"} << 0
            << QByteArray() << QStringLiteral("random-L8-p1e-300-s1-r0001.txt") << 0;
    QTest::newRow("generate with seed share 1e-9")
            << "generate" << QStringList{"--model", "clusters", "--seed-share", "1e-9", "--size", "8", "--share", "0.5", "--count", "1", "--seed", "1"}
            << 0 << QByteArray() << QStringLiteral("clusters-Q0.000000001-L8-p0.5-s1-r0001.txt") << 0;
    const QString landscape = work.filePath(QStringLiteral("landscape.txt"));
    QTest::newRow("percolate: per-class tile maps beside a device")
            << "percolate" << QStringList{"-q", "--cover", "each", "--tile", "2", "--tile-map", "/dev/null", landscape}
            << 2 << QByteArray("/dev/null is not a regular file") << QString() << 0;
    QTest::newRow("percolate: {cover} with one cover")
            << "percolate" << QStringList{"-q", "-c", "1", "--tile", "2", "--tile-map", "m-{cover}.tif", landscape} << 2
            << QByteArray("{cover}") << QString() << 0;
    QTest::newRow("percolate: the table on a full device")
            << "percolate" << QStringList{"-q", "-c", "1", "--table", "/dev/full", "-o", "r.txt", landscape} << 1
            << QByteArray("the table /dev/full could not be written: No space left on device") << QString() << 0;
    QTest::newRow("percolate: the cluster map into a missing folder")
            << "percolate" << QStringList{"-q", "-c", "1", "--cluster-map", "missing/c.tif", "-o", "r.txt", landscape}
            << 1 << QByteArray("the cluster map missing/c.tif could not be written") << QStringLiteral("r.txt") << 0;
    // Names up to the 255 bytes a file name may have: the temporary file
    // beside them gets a name that fits too.
    for (const int length : {249, 252, 255}) {
        const QString name = QString(length - 4, QLatin1Char('n')) + QStringLiteral(".tsv");
        QTest::addRow("sweep -o a name of %d bytes", length)
                << "sweep" << sweep + QStringList{"-o", name} << 0 << QByteArray() << name << 0;
    }
    QTest::newRow("sweep at shares 1e-300 and 0.5") << "sweep" << QStringList{"--model", "random", "--size", "8", "--share", "1e-300,0.5", "--replicates", "2", "--seed", "1", "-o", "t.tsv"}
                                                    << 0 << QByteArray() << QStringLiteral("t.tsv") << 0;
}

void TestOutputs::answersAndRefusals()
{
    QFETCH(QString, name);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    QFETCH(QString, made);
    QFETCH(int, fileSizeLimit);

    QTemporaryDir dir;
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), 0600) == 0);
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.png")));
    QVERIFY(TestUtil::writeFile(dir.filePath(QStringLiteral("t.png")), "old table\n"));
    QVERIFY(::symlink("t.png", QFile::encodeName(dir.filePath(QStringLiteral("link.png"))).constData()) == 0);
    const QStringList before = entries(dir.path());

    QProcess process;
    Start start;
    start.directory = dir.path();
    start.fileSize = rlim_t(fileSizeLimit);
    prepare(process, start);
    QElapsedTimer clock;
    clock.start();
    process.start(program(name), arguments);
    process.closeWriteChannel();
    if (!process.waitForFinished(10000)) {
        // Waiting for a writer that never comes: give it one that ends at once.
        const int fd = ::open(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        process.kill();
        process.waitForFinished();
        QFAIL("the program waited instead of answering");
    }
    const Run ended = finish(process, clock);
    QVERIFY2(!ended.crashed, ended.err.constData());
    QVERIFY2(ended.exitCode == exitCode, ended.err.constData());
    QVERIFY2(ended.err.contains(message), ended.err.constData());
    QCOMPARE(readAll(dir.filePath(QStringLiteral("t.png"))), QByteArray("old table\n"));
    QStringList after = before;
    if (!made.isEmpty())
        after << made;
    after.sort();
    QCOMPARE(entries(dir.path()), after);
}

void TestOutputs::dashIsStandardOutput_data()
{
    // A script that writes the result to "-", and the same into the file out.
    QTest::addColumn<QString>("toDash");
    QTest::addColumn<QString>("toFile");
    const QString sweep = QStringLiteral("$VANTRIX_SWEEP --model random --size 8 --share 0.5,0.6 --replicates 3 "
                                         "--seed 1 -q --rule walk,cluster4 ");
    const QString percolate = QStringLiteral("$VANTRIX_PERCOLATE -q -c 1 ");
    QTest::newRow("percolate -o -") << percolate + "-o - landscape.txt" << percolate + "-o out landscape.txt";
    QTest::newRow("percolate --table -") << percolate + "--table - -o r.txt landscape.txt"
                                         << percolate + "--table out -o r.txt landscape.txt";
    QTest::newRow("percolate --merge -o -")
            << percolate + "--shard 1/1 -o part.txt landscape.txt && $VANTRIX_PERCOLATE --merge part.txt -o -"
            << percolate + "--shard 1/1 -o part.txt landscape.txt && $VANTRIX_PERCOLATE --merge part.txt -o out";
    QTest::newRow("sweep -o -") << sweep + "-o -" << sweep + "-o out";
    QTest::newRow("sweep --thresholds -") << sweep + "--thresholds - -o t.tsv" << sweep + "--thresholds out -o t.tsv";
    QTest::newRow("sweep --merge -o -")
            << sweep + "--shard 1/1 -o part.tsv && $VANTRIX_SWEEP --merge part.tsv -o -"
            << sweep + "--shard 1/1 -o part.tsv && $VANTRIX_SWEEP --merge part.tsv -o out";
    QTest::newRow("generate -o -")
            << QStringLiteral("$VANTRIX_GENERATE --model random --size 8 --share 0.5 --count 1 --seed 1 -o -")
            << QStringLiteral("$VANTRIX_GENERATE --model random --size 8 --share 0.5 --count 1 --seed 1 -o d && "
                              "mv d/random-L8-p0.5-s1-r0001.txt out");
}

// "-" names standard output wherever a result is written, and no file of
// that name is made.
void TestOutputs::dashIsStandardOutput()
{
    QFETCH(QString, toDash);
    QFETCH(QString, toFile);
    QTemporaryDir dir;
    QVERIFY(QFile::copy(work.filePath(QStringLiteral("landscape.txt")), dir.filePath(QStringLiteral("landscape.txt"))));
    Start start;
    start.directory = dir.path();
    const Run file = shell(toFile, start);
    QVERIFY2(file.exitCode == 0, file.err.constData());
    const QByteArray expected = readAll(dir.filePath(QStringLiteral("out")));
    QVERIFY(!expected.isEmpty());
    const Run dash = shell(toDash, start);
    QVERIFY2(dash.exitCode == 0, dash.err.constData());
    QCOMPARE(dash.out, expected);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("-"))));
}

void TestOutputs::outputsNeverReplaceInputs_data()
{
    // A script run in a folder holding landscape.txt, map.tif, list.txt
    // (naming landscape.txt), part.txt and table.tsv (parts of a split run),
    // alias.txt (a hard link to landscape.txt) and link.txt (a symbolic
    // one); the file the script must leave as it was.
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("kept");
    const QString percolate = QStringLiteral("$VANTRIX_PERCOLATE -q -c 1 ");
    QTest::newRow("-o over the landscape") << percolate + "-o landscape.txt landscape.txt" << "landscape.txt";
    QTest::newRow("-o over a hard link to it") << percolate + "-o alias.txt landscape.txt" << "landscape.txt";
    QTest::newRow("-o over a symbolic link to it") << percolate + "-o link.txt landscape.txt" << "landscape.txt";
    QTest::newRow("--table over the landscape") << percolate + "--table landscape.txt -o r.txt landscape.txt"
                                                << "landscape.txt";
    QTest::newRow("--cluster-map over the raster") << percolate + "--cluster-map map.tif -o r.txt map.tif" << "map.tif";
    QTest::newRow("--tile-map over the raster") << percolate + "--tile 2 --tile-map map.tif -o r.txt map.tif"
                                                << "map.tif";
    QTest::newRow("-o over the list") << percolate + "--files-from list.txt -o list.txt" << "list.txt";
    QTest::newRow("--merge -o over a part") << QStringLiteral("$VANTRIX_PERCOLATE --merge part.txt -o part.txt")
                                            << "part.txt";
    QTest::newRow("sweep --merge -o over a part") << QStringLiteral("$VANTRIX_SWEEP --merge table.tsv -o table.tsv")
                                                  << "table.tsv";
}

// An output is never written over a file the run reads, under any name:
// the run is refused (exit 2) and the file stays as it was.
void TestOutputs::outputsNeverReplaceInputs()
{
    QFETCH(QString, script);
    QFETCH(QString, kept);
    QTemporaryDir dir;
    Start start;
    start.directory = dir.path();
    const Run made = shell(QStringLiteral(
            "cp '%1' landscape.txt && echo landscape.txt > list.txt && ln landscape.txt alias.txt && "
            "ln -s landscape.txt link.txt && $VANTRIX_GENERATE --model random --size 8 --share 0.5 --count 1 "
            "--seed 1 --format geotiff -o g && mv g/*.tif map.tif && "
            "$VANTRIX_PERCOLATE -q -c 1 --shard 1/1 -o part.txt landscape.txt && "
            "$VANTRIX_SWEEP --model random --size 8 --share 0.5 --replicates 2 --seed 1 -q --shard 1/1 -o table.tsv")
                                       .arg(work.filePath(QStringLiteral("landscape.txt"))),
                               start);
    QVERIFY2(made.exitCode == 0, made.err.constData());
    const QByteArray before = readAll(dir.filePath(kept));
    const Run run = shell(script, start);
    QVERIFY2(run.exitCode == 2, run.err.constData());
    QVERIFY2(run.err.contains("would be written over"), run.err.constData());
    QCOMPARE(readAll(dir.filePath(kept)), before);
}

void TestOutputs::everyMemoryLimitEndsCleanly_data()
{
    // The address space the process may use, in MB: too little to read the
    // raster at all, enough to start but not for GDAL's reading, enough.
    QTest::addColumn<int>("megabytes");
    for (const int megabytes : {120, 180, 200, 230, 260, 300})
        QTest::addRow("%d MB", megabytes) << megabytes;
}

// A table of an 8000 x 8000 map under any memory limit: it is written, or
// the run ends with a message and status 1 (the map named as unreadable in a
// whole report, or nothing written), and no temporary file; never an abort,
// whatever part (GDAL's reading, a thread, the writing) meets the limit.
void TestOutputs::everyMemoryLimitEndsCleanly()
{
#ifdef VANTRIX_SANITIZED
    QSKIP("the sanitizers' shadow memory does not fit under ulimit -v");
#endif
    QFETCH(int, megabytes);
    const QString map = work.filePath(QStringLiteral("ones-8000.tif"));
    if (!QFile::exists(map)) {
        const Run made = shell(QStringLiteral("gdal_create -q -outsize 8000 8000 -burn 1 -ot Byte -co TILED=YES "
                                              "-co COMPRESS=DEFLATE '%1'")
                                       .arg(map));
        QVERIFY2(made.exitCode == 0, made.err.constData());
    }
    QTemporaryDir dir;
    for (const char *old : {"c.tsv", "c.txt"})
        QVERIFY(TestUtil::writeFile(dir.filePath(QLatin1String(old)), "old\n"));
    Start start;
    start.directory = dir.path();
    start.addressSpace = rlim_t(megabytes) << 20;
    const Run run = ::run("percolate", {"--cover", "1", "--extent", "full", "--table", "c.tsv", "-o", "c.txt", map},
                          start);
    QVERIFY2(!run.crashed && (run.exitCode == 0 || run.exitCode == 1),
             qPrintable(QStringLiteral("status %1: %2").arg(run.exitCode).arg(QString::fromLocal8Bit(run.err))));
    QCOMPARE(entries(dir.path()), QStringList({"c.tsv", "c.txt"}));
    if (run.exitCode == 0) {
        QVERIFY(readAll(dir.filePath(QStringLiteral("c.tsv"))).contains("\t64000000\t"));
    } else {
        // One whole message, though several threads may meet the limit at once.
        QVERIFY2(run.err.startsWith("vantrix-percolate: ") && run.err.count("vantrix-percolate") == 1,
                 run.err.constData());
        const QByteArray report = readAll(dir.filePath(QStringLiteral("c.txt")));
        QVERIFY2(report == "old\n" || report.endsWith("\t0\nProbability Percolation (PP) = 0\n"), report.constData());
    }
    qInfo("%d MB: status %d", megabytes, run.exitCode);
}

void TestOutputs::realsAsPrintfWritesThem_data()
{
    // Values, or with spread > 0 that many random values of magnitudes
    // 10^-6 to 10^11: the tables' digits must be printf's "%.9g", which R,
    // pandas and the SciPy references read and write.
    QTest::addColumn<QList<double>>("values");
    QTest::addColumn<int>("spread");
    QTest::newRow("integers and zeros") << QList<double>{0.0, -0.0, 1, -1, 7, 10, 100, 500180, 5999945, 123456789}
                                        << 0;
    QTest::newRow("decades and their neighbours")
            << QList<double>{1e-5, 1e-4, std::nextafter(1e-4, 0.0), 0.001, 0.1, 1e8, 1e9,
                             std::nextafter(1e9, 0.0), 999999999.5, 999999999.4999, 99999999.95, 0.000099999999996}
            << 0;
    QTest::newRow("ties of the ninth digit")
            << QList<double>{1.000000005, 2.5000000050000001, 0.12345678850000001, 1234.56785, -0.0001000000005,
                             100000000.5, 100000001.5, 12345678.25, 12345678.75, -0.001953125}
            << 0;
    QTest::newRow("fractions") << QList<double>{1.0 / 3, 2.0 / 3, -1.0 / 7, 0.59274621, 2.76385399, 1e-4 / 3} << 0;
    QTest::newRow("not finite") << QList<double>{INFINITY, -INFINITY} << 0;
    QTest::newRow("random magnitudes") << QList<double>{} << 1000000;
}

void TestOutputs::realsAsPrintfWritesThem()
{
    QFETCH(QList<double>, values);
    QFETCH(int, spread);
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> exponent(-6, 11);
    for (int i = 0; i < spread; ++i) {
        const double v = std::pow(10.0, exponent(rng));
        values.append(i % 3 == 0 ? -v : i % 3 == 1 ? std::round(v * 1e4) / 1e4 : v);
    }
    for (double v : values) {
        char ours[32];
        char *end = Tsv::writeReal(ours, v);
        char printf[64];
        std::snprintf(printf, sizeof printf, "%.9g", v);
        QVERIFY2(QByteArray(ours, int(end - ours)) == QByteArray(printf),
                 qPrintable(QStringLiteral("%1: %2, printf %3").arg(v, 0, 'g', 17).arg(QLatin1String(ours, int(end - ours)),
                                                                                     QLatin1String(printf))));
    }
}

// The programs' threads allocate from one heap under ulimit -v: glibc's heap
// of a thread's own reserves 64 MB of the limit, so that what fits under a
// limit depended on which threads had happened to live at once. Measured in a
// child process of its own: threads that each allocate while the others
// live, under a limit with room for the heaps, add their stacks alone.
void TestOutputs::threadsShareOneHeapUnderALimit()
{
#ifdef VANTRIX_SANITIZED
    QSKIP("the sanitizers allocate for threads in their own way");
#endif
    const auto addressSpace = [] {
        std::FILE *statm = std::fopen("/proc/self/statm", "r");
        long long pages = 0;
        if (statm && std::fscanf(statm, "%lld", &pages) != 1)
            pages = 0;
        if (statm)
            std::fclose(statm);
        return qint64(pages) * sysconf(_SC_PAGE_SIZE);
    };
    constexpr int Threads = 6;
    constexpr qint64 StackBytes = qint64(8) << 20;
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        const qint64 before = addressSpace();
        const rlimit limit{rlim_t(before + (qint64(1) << 30)), rlim_t(before + (qint64(1) << 30))};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(3);
        SystemMemory::oneHeapUnderLimits();
        std::mutex mutex;
        std::condition_variable changed;
        int ready = 0;
        bool measured = false;
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([&] {
                void *volatile small = std::malloc(100);
                std::unique_lock<std::mutex> lock(mutex);
                ++ready;
                changed.notify_all();
                changed.wait(lock, [&] { return measured; });
                std::free(small);
            });
        }
        qint64 grown = 0;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return ready == Threads; });
            grown = addressSpace() - before;
            measured = true;
        }
        changed.notify_all();
        for (std::thread &thread : threads)
            thread.join();
        _exit(grown < Threads * StackBytes + (qint64(32) << 20) ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QVERIFY2(WEXITSTATUS(status) != 3, "the limit could not be set");
    QVERIFY2(WEXITSTATUS(status) == 0, "threads took heaps of their own under an address-space limit");
}

QTEST_GUILESS_MAIN(TestOutputs)
#include "tst_outputs.moc"
