#include "maprenderer.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>

namespace {

// Values 0..2, or with `classes` above 256 also many others, so that the
// grid keeps plain 32-bit values.
MapGrid randomMap(int n, bool ragged, quint32 seed, int classes = 3)
{
    QRandomGenerator random(seed);
    MapGrid map;
    for (int r = 0; r < n; ++r) {
        const int width = ragged ? int(random.bounded(n + 3)) : n + int(random.bounded(2));
        std::vector<qint32> row;
        for (int c = 0; c < width; ++c)
            row.push_back(random.bounded(4) ? int(random.bounded(3)) : int(random.bounded(classes)) - 100);
        if (width > 0)
            map.appendRow(row.data(), row.size());
    }
    return map;
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

} // namespace

class TestMapRenderer : public QObject
{
    Q_OBJECT

private slots:
    void sameAsCellByCell_data();
    void sameAsCellByCell();
    void cacheFollowsInputs();
    void longColumnCostsItsCells();
};

void TestMapRenderer::sameAsCellByCell_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QRect>("area");
    QTest::addColumn<bool>("ragged");
    QTest::addColumn<int>("classes");

    QTest::newRow("7 rows in 300 px") << 7 << QRect(230, 60, 300, 280) << false << 3;
    QTest::newRow("cells of whole pixels") << 10 << QRect(5, 7, 100, 50) << false << 3;
    QTest::newRow("one row") << 1 << QRect(3, 3, 40, 30) << false << 3;
    QTest::newRow("short and long rows") << 9 << QRect(11, 13, 97, 71) << true << 3;
    QTest::newRow("more rows than pixels wide") << 150 << QRect(20, 10, 100, 400) << false << 3;
    QTest::newRow("more rows than pixels high") << 150 << QRect(20, 10, 400, 100) << true << 3;
    QTest::newRow("more rows than pixels both ways") << 200 << QRect(20, 10, 120, 100) << false << 3;
    QTest::newRow("odd fractions") << 13 << QRect(217, 61, 301, 283) << false << 3;
    QTest::newRow("plain 32-bit values") << 60 << QRect(9, 9, 200, 150) << false << 100000;
}

void TestMapRenderer::sameAsCellByCell()
{
    QFETCH(int, n);
    QFETCH(QRect, area);
    QFETCH(bool, ragged);
    QFETCH(int, classes);

    const QSize canvas(area.right() + 20, area.bottom() + 20);
    for (quint32 seed = 1; seed <= 3; ++seed) {
        const MapGrid map = randomMap(n, ragged, seed, classes);
        QCOMPARE(map.isCoded(), classes <= 256);
        const QImage expected = paintCellByCell(map, 1, area, canvas);
        const QImage actual = paintRendered(map, 1, area, canvas);
        QCOMPARE(actual, expected);
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
    // 200000 rows of one value in an area wide enough for visible cells: an
    // n x n loop would never end, the cells that exist are few.
    MapGrid map;
    for (qint32 r = 0; r < 200000; ++r) {
        const qint32 value = r % 2;
        map.appendRow(&value, 1);
    }
    const QImage image = MapRenderer::render(map, 1, QRect(0, 0, 400000, 10));
    // Every row paints the same 3 x 1 pixels; the last row, value 1, wins.
    QCOMPARE(image.pixel(0, 0), qRgba(255, 255, 255, 255));
    QCOMPARE(image.pixel(2, 0), qRgba(255, 255, 255, 255));
    QCOMPARE(image.pixel(3, 0), qRgba(0, 0, 0, 0));
}

QTEST_GUILESS_MAIN(TestMapRenderer)
#include "tst_maprenderer.moc"
