// Hostile landscape files against both readers, the walk and the map
// rendering: the wall time and peak memory of each, in a process of its own.
//
//   vantrix-bench-hostile [--scale S] [DIR]    write the files into DIR (default:
//                                              a temporary folder) and print a table
//   vantrix-bench-hostile check READER FILE    one case: READER is percolation or
//                                              display; prints what was read
#include "landscapereader.h"
#include "maprenderer.h"
#include "percolationgrid.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

int check(const QString &reader, const QString &path)
{
    QString error;
    if (reader == QLatin1String("percolation")) {
        PercolationGrid grid;
        const bool ok = grid.loadLandscape(path);
        const qint32 rows = grid.rowCount();
        const int result = grid.percolates();
        std::printf("%s rows %d result %d\n", ok ? "read" : qPrintable(QStringLiteral("unreadable (%1)").arg(grid.errorString())),
                    rows, result);
        return 0;
    }
    MapGrid map;
    const bool ok = LandscapeReader::readDisplay(path, map, &error);
    const QImage image = MapRenderer::render(map, 0, QRect(0, 0, 300, 273));
    std::printf("%s rows %lld values %lld image %dx%d\n", ok ? "read" : qPrintable(QStringLiteral("unreadable (%1)").arg(error)),
                (long long)map.rowCount(), (long long)map.cellCount(), image.width(), image.height());
    return 0;
}

// Writes size bytes made by fill(chunk) in 1 MiB pieces.
template <typename Fill>
QString writeCase(const QString &dir, const char *name, qint64 size, Fill &&fill)
{
    const QString path = dir + QLatin1Char('/') + QLatin1String(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    QByteArray chunk;
    for (qint64 written = 0; written < size; written += chunk.size()) {
        chunk = fill(int(std::min<qint64>(1 << 20, size - written)));
        file.write(chunk);
    }
    return path;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() == 3 && args[0] == QLatin1String("check"))
        return check(args[1], args[2]);

    double scale = 1.0;
    if (args.size() >= 2 && args[0] == QLatin1String("--scale")) {
        scale = args[1].toDouble();
        args = args.mid(2);
    }
    QTemporaryDir temporary;
    const QString dir = args.isEmpty() ? temporary.path() : args[0];
    const auto mb = [scale](double megabytes) { return qint64(megabytes * scale * 1024 * 1024); };
    QRandomGenerator random(7);
    const QList<QPair<QString, QString>> cases = {
        {"1,000,000 one-value lines", writeCase(dir, "one-value-lines.txt", 2000000, [](int size) { return QByteArray("1\n").repeated(size / 2); })},
        {"one 100 MB line", writeCase(dir, "one-line.txt", mb(100), [](int size) { return QByteArray("1 ").repeated(size / 2); })},
        {"200 MB of random bytes", writeCase(dir, "random.bin", mb(200), [&random](int size) {
             QByteArray bytes(size, Qt::Uninitialized);
             random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
             return bytes;
         })},
        {"100 MB of NUL bytes", writeCase(dir, "nul.bin", mb(100), [](int size) { return QByteArray(size, '\0'); })},
        {"100 MB of newlines", writeCase(dir, "newlines.txt", mb(100), [](int size) { return QByteArray(size, '\n'); })},
        {"a directory", dir},
        {"a missing file", dir + QStringLiteral("/missing.txt")},
    };

    std::printf("%-28s %10s %-12s %8s %9s  %s\n", "case", "bytes", "reader", "wall s", "peak MB", "outcome");
    for (const auto &[name, path] : cases) {
        for (const char *reader : {"percolation", "display"}) {
            QProcess process;
            QElapsedTimer timer;
            timer.start();
            process.start(QStringLiteral("/usr/bin/time"), {"-f", "%M", app.applicationFilePath(), "check", reader, path});
            process.waitForFinished(-1);
            const double seconds = double(timer.nsecsElapsed()) / 1e9;
            const QList<QByteArray> err = process.readAllStandardError().trimmed().split('\n');
            const double peak = err.last().toDouble() / 1024.0;
            std::printf("%-28s %10lld %-12s %8.3f %9.1f  %s\n", qPrintable(name), QFileInfo(path).isFile() ? QFileInfo(path).size() : 0LL,
                        reader, seconds, peak, process.readAllStandardOutput().trimmed().constData());
            std::fflush(stdout);
        }
    }
    return 0;
}
