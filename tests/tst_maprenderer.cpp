#include "maprenderer.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>

namespace {

RaggedRows<qint32> randomMap(int n, bool ragged, quint32 seed)
{
    QRandomGenerator random(seed);
    RaggedRows<qint32> map;
    for (int r = 0; r < n; ++r) {
        const int width = ragged ? int(random.bounded(n + 3)) : n + int(random.bounded(2));
        for (int c = 0; c < width; ++c)
            map.cells.push_back(int(random.bounded(3)));
        if (width > 0)
            map.endRow();
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
QImage paintCellByCell(const RaggedRows<qint32> &map, qint32 matrixValue, const QRect &area, const QSize &canvas)
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
            const QColor &colour = map.row(r)[c] == matrixValue ? white : black;
            painter.setBrush(QBrush(colour, Qt::SolidPattern));
            painter.setPen(QPen(colour));
            const double x = double(c) * cw + area.x();
            const double y = double(r) * ch + area.y();
            painter.drawRect(QRect(int(x), int(y), int(cw), int(ch)));
        }
    }
    return image;
}

QImage paintRendered(const RaggedRows<qint32> &map, qint32 matrixValue, const QRect &area, const QSize &canvas)
{
    QImage image(canvas, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::lightGray);
    QPainter painter(&image);
    paintBackground(painter, area);
    painter.drawImage(area.topLeft(), MapRenderer::render(map, matrixValue, area));
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

    QTest::newRow("7 rows in 300 px") << 7 << QRect(230, 60, 300, 280) << false;
    QTest::newRow("cells of whole pixels") << 10 << QRect(5, 7, 100, 50) << false;
    QTest::newRow("one row") << 1 << QRect(3, 3, 40, 30) << false;
    QTest::newRow("short and long rows") << 9 << QRect(11, 13, 97, 71) << true;
    QTest::newRow("more rows than pixels wide") << 150 << QRect(20, 10, 100, 400) << false;
    QTest::newRow("more rows than pixels high") << 150 << QRect(20, 10, 400, 100) << true;
    QTest::newRow("more rows than pixels both ways") << 200 << QRect(20, 10, 120, 100) << false;
    QTest::newRow("odd fractions") << 13 << QRect(217, 61, 301, 283) << false;
}

void TestMapRenderer::sameAsCellByCell()
{
    QFETCH(int, n);
    QFETCH(QRect, area);
    QFETCH(bool, ragged);

    const QSize canvas(area.right() + 20, area.bottom() + 20);
    for (quint32 seed = 1; seed <= 3; ++seed) {
        const RaggedRows<qint32> map = randomMap(n, ragged, seed);
        const QImage expected = paintCellByCell(map, 1, area, canvas);
        const QImage actual = paintRendered(map, 1, area, canvas);
        QCOMPARE(actual, expected);
    }
}

void TestMapRenderer::cacheFollowsInputs()
{
    RaggedRows<qint32> map = randomMap(5, false, 9);
    MapRenderer renderer;
    const QRect area(0, 0, 50, 50);
    const qint64 first = renderer.image(map, 1, area).cacheKey();
    QCOMPARE(renderer.image(map, 1, area).cacheKey(), first);
    QCOMPARE(renderer.image(map, 2, area), MapRenderer::render(map, 2, area));
    QCOMPARE(renderer.image(map, 2, QRect(1, 0, 50, 50)), MapRenderer::render(map, 2, QRect(1, 0, 50, 50)));
    std::fill(map.cells.begin(), map.cells.end(), 2);
    renderer.invalidate();
    QCOMPARE(renderer.image(map, 2, QRect(1, 0, 50, 50)), MapRenderer::render(map, 2, QRect(1, 0, 50, 50)));
}

void TestMapRenderer::longColumnCostsItsCells()
{
    // 200000 rows of one value in an area wide enough for visible cells: an
    // n x n loop would never end, the cells that exist are few.
    RaggedRows<qint32> map;
    for (int r = 0; r < 200000; ++r) {
        map.cells.push_back(r % 2);
        map.endRow();
    }
    const QImage image = MapRenderer::render(map, 1, QRect(0, 0, 400000, 10));
    // Every row paints the same 3 x 1 pixels; the last row, value 1, wins.
    QCOMPARE(image.pixel(0, 0), qRgba(255, 255, 255, 255));
    QCOMPARE(image.pixel(2, 0), qRgba(255, 255, 255, 255));
    QCOMPARE(image.pixel(3, 0), qRgba(0, 0, 0, 0));
}

QTEST_GUILESS_MAIN(TestMapRenderer)
#include "tst_maprenderer.moc"
