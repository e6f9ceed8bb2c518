#include "guiutil.h"
#include "mainwindow.h"
#include "rasterfixture.h"
#include "setings.h"
#include "testutil.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

// Counts the paint events of one widget.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *widget)
        : QObject(widget)
    {
        widget->installEventFilter(this);
    }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

// An L of 1s (left column, bottom row) in a 7 x 7 grid of 0s; row 3 holds
// only two values, so five of its cells are not drawn.
static const QByteArray LShape = "1 0 0 0 0 0 0\n1 0 0 0 0 0 0\n1 0 0 0 0 0 0\n1 0\n"
                                 "1 0 0 0 0 0 0\n1 0 0 0 0 0 0\n1 1 1 1 1 1 1\n";

class TestMapView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cellsSitWhereComputed();
    void clearedSelectionKeepsMap();
    void unreadableFileShowsBackgroundOnly();
    void newMatrixValueShowsAtNextPaint();
    void newMatrixValueIsPaintedWhenAccepted();
    void moreRowsThanPixelsFillTheArea();
    void trailingBlanksDoNotMatter();
    void unreadableFileSaysWhy_data();
    void unreadableFileSaysWhy();

private:
    QString landscape(const QString &name, const QByteArray &text)
    {
        return TestUtil::writeFixture(work.path(), name, text);
    }
    void open(MainWindow &window, const QStringList &paths)
    {
        GuiUtil::chooseFiles(this, window.findChild<QAction *>(QStringLiteral("actionOpen")), paths);
    }
    static void select(MainWindow &window, int row)
    {
        auto *list = window.findChild<QListWidget *>(QStringLiteral("fileListView"));
        const QRect item = list->visualItemRect(list->item(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item.center());
        QCOMPARE(list->currentRow(), row);
    }
    // The map area as the window shows it now.
    static QImage mapPixels(MainWindow &window)
    {
        return window.grab().toImage().copy(window.mapArea());
    }
    // The map area as the window last painted it on its own.
    static QImage shownMapPixels(MainWindow &window)
    {
        return GuiUtil::lastPainted(&window).copy(window.mapArea());
    }
    // Colour at the middle of cell (r, c) of an n-row map, in area coordinates.
    static QRgb cellColour(MainWindow &window, const QImage &map, int n, int r, int c)
    {
        const QRect area = window.mapArea();
        const double cw = double(area.width()) / n;
        const double ch = double(area.height()) / n;
        const int x = int(c * cw + area.x()) - area.x() + int(cw) / 2;
        const int y = int(r * ch + area.y()) - area.y() + int(ch) / 2;
        return map.pixel(x, y);
    }
    static bool isBackground(QRgb colour)
    {
        return qGreen(colour) > qRed(colour) + 40 && qGreen(colour) > qBlue(colour) + 40;
    }

    QTemporaryDir work;
};

void TestMapView::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(work.path()));
}

void TestMapView::init()
{
    QFile::remove(QStringLiteral("config.txt"));
}

void TestMapView::cellsSitWhereComputed()
{
    const QString path = landscape(QStringLiteral("l.txt"), LShape);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    open(window, {path});
    select(window, 0);
    QCOMPARE(window.currentMap().rowCount(), qsizetype(7));

    const QImage map = mapPixels(window);
    const QRgb white = qRgb(255, 255, 255);
    const QRgb black = qRgb(0, 0, 0);
    for (int r = 0; r < 7; ++r) {
        for (int c = 0; c < 7; ++c) {
            const QRgb colour = cellColour(window, map, 7, r, c) | 0xff000000;
            const QString where = QStringLiteral("cell (%1, %2)").arg(r).arg(c);
            if (r == 3 && c >= 2)
                QVERIFY2(isBackground(colour), qPrintable(where));
            else if (c == 0 || r == 6)
                QVERIFY2(colour == black, qPrintable(where)); // value 1, not the matrix value 0
            else
                QVERIFY2(colour == white, qPrintable(where));
        }
    }
}

void TestMapView::clearedSelectionKeepsMap()
{
    const QString path = landscape(QStringLiteral("l.txt"), LShape);
    MainWindow window;
    window.show();
    open(window, {path});
    select(window, 0);
    const QImage before = mapPixels(window);

    open(window, {}); // cancelled: the list is cleared, the current row becomes -1
    QVERIFY(window.findChild<QListWidget *>(QStringLiteral("fileListView"))->count() == 0);
    QCOMPARE(window.currentMap().rowCount(), qsizetype(7));
    QCOMPARE(mapPixels(window), before);
}

void TestMapView::unreadableFileShowsBackgroundOnly()
{
    const QString shown = landscape(QStringLiteral("l.txt"), LShape);
    const QString gone = landscape(QStringLiteral("gone.txt"), LShape);
    MainWindow window;
    window.show();
    open(window, {shown, gone});
    select(window, 0);
    QVERIFY(QFile::remove(gone));
    select(window, 1);

    QVERIFY(window.currentMap().isEmpty());
    const QImage map = mapPixels(window);
    for (int y = 3; y < map.height() - 3; y += 7) {
        for (int x = 3; x < map.width() - 3; x += 7)
            QVERIFY(isBackground(map.pixel(x, y)));
    }
}

void TestMapView::newMatrixValueShowsAtNextPaint()
{
    const QString path = landscape(QStringLiteral("l.txt"), LShape);
    MainWindow window;
    window.show();
    open(window, {path});
    select(window, 0);
    QCOMPARE(cellColour(window, mapPixels(window), 7, 0, 0) | 0xff000000, qRgb(0, 0, 0));

    GuiUtil::whenShown<setings>(this, [](setings *dialog) {
        auto *matrix = dialog->findChild<QSpinBox *>(QStringLiteral("matrixValue"));
        matrix->selectAll();
        QTest::keyClicks(matrix, QStringLiteral("1"));
        QTest::mouseClick(dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
    });
    window.findChild<QAction *>(QStringLiteral("actionParametros"))->trigger();
    QCOMPARE(window.currentMatrixValue(), 1);

    const QImage map = mapPixels(window);
    QCOMPARE(cellColour(window, map, 7, 0, 0) | 0xff000000, qRgb(255, 255, 255));
    QCOMPARE(cellColour(window, map, 7, 0, 1) | 0xff000000, qRgb(0, 0, 0));
}

void TestMapView::newMatrixValueIsPaintedWhenAccepted()
{
    const QString path = landscape(QStringLiteral("l.txt"), LShape);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    open(window, {path});
    select(window, 0);
    QTRY_COMPARE(cellColour(window, shownMapPixels(window), 7, 0, 0) | 0xff000000, qRgb(0, 0, 0));

    auto *paints = new PaintCounter(&window);
    GuiUtil::whenShown<setings>(this, [paints](setings *dialog) {
        auto *matrix = dialog->findChild<QSpinBox *>(QStringLiteral("matrixValue"));
        matrix->selectAll();
        QTest::keyClicks(matrix, QStringLiteral("1"));
        paints->count = 0;
        QTest::mouseClick(dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
    });
    window.findChild<QAction *>(QStringLiteral("actionParametros"))->trigger();
    QCOMPARE(window.currentMatrixValue(), 1);

    // No grab(): the window paints the new colours by itself.
    QTRY_VERIFY(paints->count > 0);
    QTRY_COMPARE(cellColour(window, shownMapPixels(window), 7, 0, 0) | 0xff000000, qRgb(255, 255, 255));
    QCOMPARE(cellColour(window, shownMapPixels(window), 7, 0, 1) | 0xff000000, qRgb(0, 0, 0));
}

void TestMapView::moreRowsThanPixelsFillTheArea()
{
    // 600 x 600 cells in an area of about 300 x 270 pixels: the top left
    // quarter holds the matrix value 0 (white), the rest 1 (black).
    const int n = 600;
    QByteArray text;
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c)
            text += (r < n / 2 && c < n / 2) ? "0 " : "1 ";
        text += '\n';
    }
    const QString path = landscape(QStringLiteral("large.txt"), text);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    open(window, {path});
    select(window, 0);
    const QImage map = mapPixels(window);
    QVERIFY(map.width() < n && map.height() < n);
    const int w = map.width();
    const int h = map.height();
    QCOMPARE(map.pixel(w / 4, h / 4) | 0xff000000, qRgb(255, 255, 255));
    QCOMPARE(map.pixel(3 * w / 4, h / 4) | 0xff000000, qRgb(0, 0, 0));
    QCOMPARE(map.pixel(w / 4, 3 * h / 4) | 0xff000000, qRgb(0, 0, 0));
    // Up to the frame's border.
    QCOMPARE(map.pixel(w - 3, h - 3) | 0xff000000, qRgb(0, 0, 0));
    QCOMPARE(map.pixel(2, 2) | 0xff000000, qRgb(255, 255, 255));
}

void TestMapView::trailingBlanksDoNotMatter()
{
    QByteArray withoutBlanks = LShape;
    QByteArray withBlanks = LShape;
    withBlanks.replace('\n', " \r\n");
    const QString a = landscape(QStringLiteral("blanks.txt"), withBlanks);
    const QString b = landscape(QStringLiteral("plain.txt"), withoutBlanks);
    MainWindow window;
    window.show();
    open(window, {a, b});
    select(window, 0);
    const QImage first = mapPixels(window);
    select(window, 1);
    QCOMPARE(mapPixels(window), first);
}

void TestMapView::unreadableFileSaysWhy_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");

    QTest::newRow("a GeoTIFF cut short") << "cut.tif" << "TIFFReadEncodedStrip() failed";
    QTest::newRow("a TIFF whose directory is nowhere") << "header.tif" << "TIFFReadDirectory";
    QTest::newRow("a file removed after Open") << "gone.txt" << "No such file or directory";
}

// A file that shows no map says why in the status bar (GDAL's reason for a
// raster GDAL cannot read), until a map is shown again.
void TestMapView::unreadableFileSaysWhy()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);

    const QString tiff = RasterFixture::writeRaster(work.filePath(QStringLiteral("whole.tif")),
                                                    RasterFixture::fromInts(std::vector<std::vector<int>>(64, std::vector<int>(64, 1))));
    QVERIFY(!tiff.isEmpty());
    QFile whole(tiff);
    QVERIFY(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.readAll();
    landscape(QStringLiteral("cut.tif"), bytes.left(bytes.size() / 2));
    landscape(QStringLiteral("header.tif"), QByteArray("II*\0\x08\0\0\0\xff\xff", 10));
    landscape(QStringLiteral("gone.txt"), LShape);
    const QString good = landscape(QStringLiteral("l.txt"), LShape);

    MainWindow window;
    window.show();
    open(window, {good, work.filePath(name)});
    QFile::remove(work.filePath(QStringLiteral("gone.txt")));
    select(window, 1);
    QVERIFY(window.currentMap().isEmpty());
    const QString message = window.statusBar()->currentMessage();
    QVERIFY2(message.startsWith(work.filePath(name) + QStringLiteral(" cannot be shown: ")) && message.contains(reason),
             qPrintable(message));

    select(window, 0);
    QCOMPARE(window.currentMap().rowCount(), qsizetype(7));
    QCOMPARE(window.statusBar()->currentMessage(), QString());
}

QTEST_MAIN(TestMapView)
#include "tst_mapview.moc"
