// Times the map view of the desktop program on a generated n x n landscape:
// loading it for display, the first paint after a selection, and a repaint,
// for the default window and for one large enough to show every cell. Then the
// paint of a 20000 x 20000 map (built in memory, 400 MB) in the default
// window's map area, where cells are far below a pixel and the area is sampled.
//
//   vantrix-bench-mapview [n]          (default 2000; runs offscreen)
#include "landscapereader.h"
#include "mainwindow.h"
#include "maprenderer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename F>
double millis(F &&f)
{
    QElapsedTimer timer;
    timer.start();
    f();
    return double(timer.nsecsElapsed()) / 1e6;
}

QString writeLandscape(const QString &dir, int n)
{
    const QString path = dir + QStringLiteral("/map.txt");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    QRandomGenerator random(1);
    QByteArray line;
    for (int r = 0; r < n; ++r) {
        line.clear();
        for (int c = 0; c < n; ++c)
            line += random.generateDouble() < 0.5927 ? "1 " : "0 ";
        line += '\n';
        file.write(line);
    }
    return path;
}

void measureWindow(const QString &path, int n, const QSize &size)
{
    MainWindow window;
    window.resize(size);
    window.show();
    QCoreApplication::processEvents();
    std::vector<double> empty;
    for (int i = 0; i < 15; ++i)
        empty.push_back(millis([&] { window.repaint(); }));
    auto *list = window.findChild<QListWidget *>(QStringLiteral("fileListView"));
    list->addItem(path);
    const double first = millis([&] { list->setCurrentRow(0); }); // loads, renders, paints
    std::vector<double> repaints;
    for (int i = 0; i < 15; ++i)
        repaints.push_back(millis([&] { window.repaint(); }));
    const QRect area = window.mapArea();
    std::printf("  window %4dx%-4d map area %4dx%-4d cell %.2f px: selection (load + first paint) %8.1f ms, "
                "repaint %6.2f ms (%.2f ms without a map)\n",
                size.width(), size.height(), area.width(), area.height(), double(area.width()) / n, first,
                median(repaints), median(empty));
}

// A side x side map of 0s and 1s in memory, written through the grid's rooms.
void fillMap(MapGrid &map, int side)
{
    const quint32 threshold = quint32(0.5927 * 4294967296.0);
    quint32 state = 2463534242u; // xorshift32: cheap enough for 400 M cells
    map.clear();
    map.reserve(size_t(side) * size_t(side));
    for (int r = 0; r < side; ++r) {
        quint8 *codes = map.room(size_t(side)).codes;
        for (int c = 0; c < side; ++c) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            codes[c] = state < threshold ? 1 : 0;
        }
        map.commit(size_t(side));
        map.endRow();
    }
}

// The map area's part of a paint of the window: the background, then the map.
void paintArea(QImage &canvas, MapRenderer &renderer, const MapGrid &map, const QRect &area)
{
    QPainter painter(&canvas);
    painter.setBrush(QBrush(QColor(0, 255, 0, 120), Qt::SolidPattern));
    painter.drawRect(QRectF(area));
    renderer.draw(painter, map, 0, area);
}

void measureSampledPaint(int side)
{
    MapGrid map;
    const double built = millis([&] { fillMap(map, side); });
    MainWindow window;
    window.show();
    QCoreApplication::processEvents();
    const QRect area = window.mapArea();
    QImage canvas(window.size(), QImage::Format_ARGB32_Premultiplied);
    std::vector<double> first;
    std::vector<double> repaints;
    for (int i = 0; i < 5; ++i) {
        MapRenderer renderer;
        first.push_back(millis([&] { paintArea(canvas, renderer, map, area); }));
        repaints.push_back(millis([&] { paintArea(canvas, renderer, map, area); }));
    }
    std::printf("  %d x %d map in memory (built in %.0f ms), default window, map area %dx%d, cell %.3f px: "
                "first paint (render + draw) %.2f ms, repaint %.2f ms (medians of 5)\n",
                side, side, built, area.width(), area.height(), double(area.width()) / side, median(first),
                median(repaints));
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int n = argc > 1 ? std::max(1, atoi(argv[1])) : 2000;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    const QString path = writeLandscape(dir.path(), n);
    std::printf("map view, %d x %d landscape (%lld bytes)\n", n, n, QFileInfo(path).size());

    std::vector<double> display;
    std::vector<double> percolation;
    for (int i = 0; i < 5; ++i) {
        MapGrid values;
        display.push_back(millis([&] { LandscapeReader::readDisplay(path, values); }));
        RaggedRows<qint8> cells;
        percolation.push_back(millis([&] { LandscapeReader::readPercolation(path, 1, cells); }));
    }
    std::printf("  load for display %.1f ms, percolation loader %.1f ms (medians of 5)\n", median(display),
                median(percolation));
    measureWindow(path, n, QSize(530, 370));
    measureWindow(path, n, QSize(n + 360, n + 120));
    measureSampledPaint(20000);
    return 0;
}
