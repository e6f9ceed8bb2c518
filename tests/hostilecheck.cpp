// Reads one file with one of the readers, in a process of its own so that
// the test can bound its time and memory, and prints what was read.
//
//   vantrix-test-hostile percolation FILE   "read rows R result X", or
//                                           "unreadable (REASON) rows 0 result 0"
//   vantrix-test-hostile display FILE       "read rows R values V image WxH", or
//                                           "unreadable (REASON) rows 0 values 0 ..."
// The percolation reader with cover 1 and the walk; the display reader and
// the map rendering into a 300 x 273 area.
#include "landscapereader.h"
#include "maprenderer.h"
#include "percolationgrid.h"

#include <QCoreApplication>
#include <QImage>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 2 || (args[0] != QLatin1String("percolation") && args[0] != QLatin1String("display"))) {
        std::fprintf(stderr, "usage: vantrix-test-hostile percolation|display FILE\n");
        return 2;
    }
    const QString &path = args[1];
    auto outcome = [](bool ok, const QString &error) {
        return ok ? QByteArray("read") : "unreadable (" + error.toLocal8Bit() + ')';
    };
    if (args[0] == QLatin1String("percolation")) {
        PercolationGrid grid;
        const bool ok = grid.loadLandscape(path);
        const qint32 rows = grid.rowCount();
        const int result = grid.percolates();
        std::printf("%s rows %d result %d\n", outcome(ok, grid.errorString()).constData(), rows, result);
        return 0;
    }
    MapGrid map;
    QString error;
    const bool ok = LandscapeReader::readDisplay(path, map, &error);
    const QImage image = MapRenderer::render(map, 0, QRect(0, 0, 300, 273));
    std::printf("%s rows %lld values %lld image %dx%d\n", outcome(ok, error).constData(), (long long)map.rowCount(),
                (long long)map.cellCount(), image.width(), image.height());
    return 0;
}
