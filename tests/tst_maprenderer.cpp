#include "maprenderer.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>

namespace {

// Values 0..2, or with `classes` above 256 also many others, so that the
// grid keeps plain 32-bit values; about missingPercent of the cells hold no
// value.
MapGrid randomMap(int n, bool ragged, quint32 seed, int classes = 3, int missingPercent = 0)
{
    QRandomGenerator random(seed);
    MapGrid map;
    for (int r = 0; r < n; ++r) {
        const int width = ragged ? int(random.bounded(n + 3)) : n + int(random.bounded(2));
        std::vector<qint32> row;
        std::vector<quint8> present;
        for (int c = 0; c < width; ++c) {
            row.push_back(random.bounded(4) ? int(random.bounded(3)) : int(random.bounded(classes)) - 100);
            present.push_back(int(random.bounded(100)) < missingPercent ? 0 : 1);
        }
        if (width > 0)
            map.appendRow(row.data(), row.size(), missingPercent > 0 ? present.data() : nullptr);
    }
    return map;
}

// The map sampled one pixel at a time: pixel (i, j) of the w x h area shows
// the cell under its centre, column (i + 1/2) * n / w and row (j + 1/2) * n / h
// rounded down; nothing where that cell is missing or holds no value.
QImage sampledReference(const MapGrid &map, qint32 matrixValue, const QRect &area)
{
    const qint64 w = std::max(area.width(), 0);
    const qint64 h = std::max(area.height(), 0);
    QImage image(int(w) + 1, int(h) + 1, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const qint64 n = map.rowCount();
    for (qint64 j = 0; j < h; ++j) {
        const qint64 r = (2 * j + 1) * n / (2 * h);
        for (qint64 i = 0; i < w; ++i) {
            const qint64 c = (2 * i + 1) * n / (2 * w);
            if (c < map.rowLength(r) && map.hasValue(r, c))
                image.setPixel(int(i), int(j), map.value(r, c) == matrixValue ? 0xffffffff : 0xff000000);
        }
    }
    return image;
}

void paintBackground(QPainter &painter, const QRect &area)
{
    QColor green;
    green.setRgb(0, 255, 0, 120);
    painter.setBrush(QBrush(green, Qt::SolidPattern));
    painter.drawRect(QRectF(area.x(), area.y(), area.width(), area.height()));
}

// The map painted the plain way: one rectangle per cell with QPainter.
QImage paintCellByCell(const MapGrid &map, qint32 matrixValue, const QRect &area, const QSize &canvas)
{
    QImage image(canvas, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::lightGray);
    QPainter painter(&image);
    paintBackground(painter, area);
    const qsizetype n = map.rowCount();
    const double cw = double(area.width()) / double(n);
    const double ch = double(area.height()) / double(n);
    QColor white;
    white.setRgb(255, 255, 255, 255);
    QColor black;
    black.setRgb(0, 0, 0, 255);
    for (qsizetype r = 0; r < n; ++r) {
        for (qsizetype c = 0; c < std::min(n, map.rowLength(r)); ++c) {
            if (!map.hasValue(r, c))
                continue;
            const QColor &colour = map.value(r, c) == matrixValue ? white : black;
            painter.setBrush(QBrush(colour, Qt::SolidPattern));
            painter.setPen(QPen(colour));
            const double x = double(c) * cw + area.x();
            const double y = double(r) * ch + area.y();
            painter.drawRect(QRect(int(x), int(y), int(cw), int(ch)));
        }
    }
    return image;
}

QImage paintRendered(const MapGrid &map, qint32 matrixValue, const QRect &area, const QSize &canvas)
{
    QImage image(canvas, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::lightGray);
    QPainter painter(&image);
    paintBackground(painter, area);
    MapRenderer renderer;
    renderer.draw(painter, map, matrixValue, area);
    return image;
}

// An image drawn the plain way over the background.
QImage paintImage(const QImage &map, const QRect &area, const QSize &canvas)
{
    QImage image(canvas, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::lightGray);
    QPainter painter(&image);
    paintBackground(painter, area);
    painter.drawImage(area.topLeft(), map);
    return image;
}

} // namespace

class TestMapRenderer : public QObject
{
    Q_OBJECT

private slots:
    void sameAsCellByCell_data();
    void sameAsCellByCell();
    void sampledBelowAPixel_data();
    void sampledBelowAPixel();
    void cacheFollowsInputs();
    void longColumnCostsItsCells();
};

void TestMapRenderer::sameAsCellByCell_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QRect>("area");
    QTest::addColumn<bool>("ragged");
    QTest::addColumn<int>("classes");
    QTest::addColumn<int>("missingPercent");

    QTest::newRow("7 rows in 300 px") << 7 << QRect(230, 60, 300, 280) << false << 3 << 0;
    QTest::newRow("cells of whole pixels") << 10 << QRect(5, 7, 100, 50) << false << 3 << 0;
    QTest::newRow("one row") << 1 << QRect(3, 3, 40, 30) << false << 3 << 0;
    QTest::newRow("short and long rows") << 9 << QRect(11, 13, 97, 71) << true << 3 << 0;
    QTest::newRow("odd fractions") << 13 << QRect(217, 61, 301, 283) << false << 3 << 0;
    QTest::newRow("plain 32-bit values") << 60 << QRect(9, 9, 200, 150) << false << 100000 << 0;
    QTest::newRow("cells of one pixel") << 150 << QRect(20, 10, 300, 151) << false << 3 << 0;
    // Cells overlap their neighbours by a pixel; one without a value leaves
    // what the cells before it drew there.
    QTest::newRow("no value, coded") << 10 << QRect(5, 7, 100, 50) << false << 3 << 30;
    QTest::newRow("no value, plain") << 60 << QRect(9, 9, 200, 150) << false << 100000 << 30;
    QTest::newRow("no value, odd fractions") << 13 << QRect(217, 61, 301, 283) << true << 3 << 40;
    QTest::newRow("no value, plain, odd fractions") << 61 << QRect(217, 61, 301, 283) << true << 100000 << 40;
    QTest::newRow("no value anywhere") << 8 << QRect(2, 2, 64, 64) << false << 3 << 100;
}

void TestMapRenderer::sameAsCellByCell()
{
    QFETCH(int, n);
    QFETCH(QRect, area);
    QFETCH(bool, ragged);
    QFETCH(int, classes);
    QFETCH(int, missingPercent);

    const QSize canvas(area.right() + 20, area.bottom() + 20);
    for (quint32 seed = 1; seed <= 3; ++seed) {
        const MapGrid map = randomMap(n, ragged, seed, classes, missingPercent);
        QCOMPARE(map.isCoded(), classes <= 256);
        const QImage expected = paintCellByCell(map, 1, area, canvas);
        const QImage actual = paintRendered(map, 1, area, canvas);
        QCOMPARE(actual, expected);
    }
}

void TestMapRenderer::sampledBelowAPixel_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QRect>("area");
    QTest::addColumn<bool>("ragged");
    QTest::addColumn<int>("classes");
    QTest::addColumn<int>("missingPercent");

    QTest::newRow("more rows than pixels wide") << 150 << QRect(20, 10, 100, 400) << false << 3 << 0;
    QTest::newRow("more rows than pixels high") << 150 << QRect(20, 10, 400, 100) << true << 3 << 0;
    QTest::newRow("more rows than pixels both ways") << 200 << QRect(20, 10, 120, 100) << false << 3 << 0;
    QTest::newRow("one row more than pixels") << 301 << QRect(0, 0, 300, 300) << false << 3 << 0;
    QTest::newRow("default map area") << 1000 << QRect(237, 62, 300, 273) << false << 3 << 0;
    QTest::newRow("short rows in the default map area") << 700 << QRect(237, 62, 300, 273) << true << 3 << 0;
    QTest::newRow("many rows per pixel") << 997 << QRect(3, 5, 37, 23) << false << 3 << 0;
    QTest::newRow("plain 32-bit values") << 500 << QRect(9, 9, 120, 90) << false << 100000 << 0;
    QTest::newRow("no value, coded") << 400 << QRect(9, 9, 150, 130) << false << 3 << 30;
    QTest::newRow("no value, plain") << 400 << QRect(9, 9, 150, 130) << false << 100000 << 30;
    QTest::newRow("no value, short rows") << 400 << QRect(9, 9, 500, 130) << true << 3 << 30;
    QTest::newRow("no width") << 50 << QRect(20, 10, 0, 100) << false << 3 << 0;
    QTest::newRow("no height") << 50 << QRect(20, 10, 100, 0) << false << 3 << 0;
}

void TestMapRenderer::sampledBelowAPixel()
{
    QFETCH(int, n);
    QFETCH(QRect, area);
    QFETCH(bool, ragged);
    QFETCH(int, classes);
    QFETCH(int, missingPercent);

    const QSize canvas(area.right() + 20, area.bottom() + 20);
    for (quint32 seed = 1; seed <= 3; ++seed) {
        const MapGrid map = randomMap(n, ragged, seed, classes, missingPercent);
        QCOMPARE(map.isCoded(), classes <= 256);
        const QImage expected = sampledReference(map, 1, area);
        QCOMPARE(MapRenderer::render(map, 1, area), expected);
        QCOMPARE(paintRendered(map, 1, area, canvas), paintImage(expected, area, canvas));
    }
}

void TestMapRenderer::cacheFollowsInputs()
{
    const MapGrid map = randomMap(5, false, 9);
    MapRenderer renderer;
    const QRect area(0, 0, 50, 50);
    const qint64 first = renderer.image(map, 1, area).cacheKey();
    QCOMPARE(renderer.image(map, 1, area).cacheKey(), first);
    QCOMPARE(renderer.image(map, 2, area), MapRenderer::render(map, 2, area));
    QCOMPARE(renderer.image(map, 2, QRect(1, 0, 50, 50)), MapRenderer::render(map, 2, QRect(1, 0, 50, 50)));
    const MapGrid other = randomMap(5, false, 10);
    renderer.invalidate();
    QCOMPARE(renderer.image(other, 2, QRect(1, 0, 50, 50)), MapRenderer::render(other, 2, QRect(1, 0, 50, 50)));
}

void TestMapRenderer::longColumnCostsItsCells()
{
    // 200000 rows of one value, cells less than a pixel high: an n x n loop
    // would never end, sampling costs the pixels of the area.
    MapGrid map;
    for (qint32 r = 0; r < 200000; ++r) {
        const qint32 value = r % 3 == 0;
        map.appendRow(&value, 1);
    }
    const QRect area(0, 0, 400000, 10);
    const QImage image = MapRenderer::render(map, 1, area);
    // Pixel row j shows row 20000 j + 10000, whose one value is 2 pixels wide.
    QCOMPARE(image.pixel(0, 0), qRgba(0, 0, 0, 255));
    QCOMPARE(image.pixel(1, 1), qRgba(255, 255, 255, 255));
    QCOMPARE(image.pixel(2, 1), qRgba(0, 0, 0, 0));
    QCOMPARE(image, sampledReference(map, 1, area));
}

QTEST_GUILESS_MAIN(TestMapRenderer)
#include "tst_maprenderer.moc"
