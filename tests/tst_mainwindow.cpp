#include "guiutil.h"
#include "mainwindow.h"
#include "testutil.h"

#include <QAction>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using GuiUtil::whenShown;

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void titleAndMenus();
    void openReplacesAndCancelEmpties();
    void longPathsShowTheirFileNames();
    void listHasTheFocusAfterOpen();
    void percolationReport_data();
    void percolationReport();
    void cancelDoesNotStopTheRun();
    void unreadableFilesAreNamed();
    void unwritableReportIsReported();
    void tenThousandFiles();
    void statusBarAfterPercolation_data();
    void statusBarAfterPercolation();
    void fifoInPlaceOfConfigGivesDefaults();

private:
    QString landscape(const QString &name, const QByteArray &text)
    {
        return TestUtil::writeFixture(work.path(), name, text);
    }
    void open(MainWindow &window, const QStringList &paths)
    {
        GuiUtil::chooseFiles(this, action(window, "actionOpen"), paths);
    }
    static QAction *action(MainWindow &window, const char *name)
    {
        return window.findChild<QAction *>(QLatin1String(name));
    }
    static QStringList listed(MainWindow &window)
    {
        auto *list = window.findChild<QListWidget *>(QStringLiteral("fileListView"));
        QStringList items;
        for (int i = 0; i < list->count(); ++i)
            items << list->item(i)->text();
        return items;
    }
    // Runs Percolation, accepting any warning; returns the warnings' texts.
    QStringList runPercolation(MainWindow &window)
    {
        auto warnings = std::make_shared<QStringList>();
        std::function<void(QMessageBox *)> answer = [this, warnings, &answer](QMessageBox *box) {
            *warnings << box->text();
            box->accept();
            whenShown<QMessageBox>(this, answer);
        };
        whenShown<QMessageBox>(this, answer);
        action(window, "actionPercolation")->trigger();
        QCoreApplication::processEvents();
        qDeleteAll(findChildren<QTimer *>());
        return *warnings;
    }
    static QByteArray report()
    {
        QFile file(QStringLiteral("percolation.txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir work;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(work.path()));
}

void TestMainWindow::init()
{
    QFile::remove(QStringLiteral("config.txt"));
    QFile::remove(QStringLiteral("percolation.txt"));
    QDir().rmdir(QStringLiteral("percolation.txt"));
}

void TestMainWindow::titleAndMenus()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.windowTitle(), QStringLiteral("Vantrix"));
    QStringList menus;
    QStringList entries;
    for (QAction *menuAction : window.menuBar()->actions()) {
        menus << menuAction->text();
        for (QAction *entry : menuAction->menu()->actions())
            entries << entry->text();
    }
    QCOMPARE(menus, (QStringList{"File", "Calculate", "Settings"}));
    QCOMPARE(entries, (QStringList{"Open", "Percolation", "Parameters"}));
    QCOMPARE(window.currentCoverValue(), 1);
    QCOMPARE(window.currentMatrixValue(), 0);
}

void TestMainWindow::openReplacesAndCancelEmpties()
{
    const QString a = landscape(QStringLiteral("a.txt"), "1 1\n1 1\n");
    const QString b = landscape(QStringLiteral("b.txt"), "0 0\n0 0\n");
    const QString c = landscape(QStringLiteral("c.txt"), "1\n");
    MainWindow window;
    window.show();

    open(window, {a, b});
    QCOMPARE(window.chosenFiles(), (QStringList{a, b}));
    QCOMPARE(listed(window), window.chosenFiles());

    open(window, {c});
    QCOMPARE(window.chosenFiles(), QStringList{c});
    QCOMPARE(listed(window), QStringList{c});

    open(window, {});
    QVERIFY(window.chosenFiles().isEmpty());
    QVERIFY(listed(window).isEmpty());
}

void TestMainWindow::longPathsShowTheirFileNames()
{
    const QString dir = work.filePath(QStringLiteral("landscapes-of-the-northern-study-area/simulations/examples"));
    QVERIFY(QDir().mkpath(dir));
    const QString a = TestUtil::writeFixture(dir, QStringLiteral("cover-0.45.txt"), "1\n");
    const QString b = TestUtil::writeFixture(dir, QStringLiteral("cover-0.59.txt"), "1\n");
    MainWindow window; // at its default size
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *list = window.findChild<QListWidget *>(QStringLiteral("fileListView"));
    // The visible part of the list's first row as the window shows it, and its tool tip.
    auto firstRow = [&] {
        const QRect rect = list->visualItemRect(list->item(0)) & list->viewport()->rect();
        const QImage pixels = window.grab().toImage();
        return std::make_pair(pixels.copy(QRect(list->viewport()->mapTo(&window, rect.topLeft()), rect.size())),
                              list->item(0)->toolTip());
    };

    open(window, {a});
    QVERIFY(list->fontMetrics().horizontalAdvance(a) > list->viewport()->width());
    const auto rowA = firstRow();
    open(window, {b});
    const auto rowB = firstRow();
    QCOMPARE(listed(window), QStringList{b});
    QVERIFY2(rowA.first != rowB.first, "the ends of the paths are not shown");
    QCOMPARE(rowA.second, a);
    QCOMPARE(rowB.second, b);
}

void TestMainWindow::listHasTheFocusAfterOpen()
{
    const QString a = landscape(QStringLiteral("a.txt"), "1 1\n1 1\n");
    const QString b = landscape(QStringLiteral("b.txt"), "0\n");
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *list = window.findChild<QListWidget *>(QStringLiteral("fileListView"));
    open(window, {a, b});
    // The keyboard reaches the list: it is the focus widget of the active window.
    QTRY_COMPARE(QApplication::focusWidget(), list);
    QCOMPARE(window.focusWidget(), list);
    QVERIFY(window.currentMap().isEmpty());

    // Keys go where the system sends them: to the focus window's focus widget.
    QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Down);
    QCOMPARE(list->currentRow(), 0);
    QVERIFY(list->item(0)->isSelected());
    QCOMPARE(window.currentMap().rowCount(), qsizetype(2));
    QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Down);
    QCOMPARE(list->currentRow(), 1);
    QVERIFY(list->item(1)->isSelected());
    QCOMPARE(window.currentMap().rowCount(), qsizetype(1));
}

void TestMainWindow::percolationReport_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QByteArray>("expected");

    // Files, by name: spans (1), blocked (0), spans for cover 7 only.
    QTest::newRow("three files") << QByteArray() << QStringList{"span.txt", "blocked.txt", "column.txt"}
                                 << QByteArray("span.txt\t1\nblocked.txt\t0\ncolumn.txt\t1\n"
                                               "Probability Percolation (PP) = 0.666667\n");
    QTest::newRow("cover from config.txt") << QByteArray("7\n0\n") << QStringList{"seven.txt", "span.txt"}
                                           << QByteArray("seven.txt\t1\nspan.txt\t0\n"
                                                         "Probability Percolation (PP) = 0.5\n");
    QTest::newRow("non-ASCII name") << QByteArray() << QStringList{QStringLiteral("d\u00e9j\u00e0.txt")}
                                    << QByteArray("d\xc3\xa9j\xc3\xa0.txt\t1\nProbability Percolation (PP) = 1\n");
    QTest::newRow("no files") << QByteArray() << QStringList{}
                              << QByteArray("Probability Percolation (PP) = nan\n");
}

void TestMainWindow::percolationReport()
{
    QFETCH(QByteArray, config);
    QFETCH(QStringList, names);
    QFETCH(QByteArray, expected);

    landscape(QStringLiteral("span.txt"), "1 0 0 \n1 0 0 \n1 1 1 \n");
    landscape(QStringLiteral("blocked.txt"), "1 0 0\n0 1 0\n0 0 1\n");
    landscape(QStringLiteral("column.txt"), "0 1\n0 1\n");
    landscape(QStringLiteral("seven.txt"), "7 7\n0 0\n");
    landscape(QStringLiteral("d\u00e9j\u00e0.txt"), "1\n");
    if (!config.isEmpty())
        QVERIFY(TestUtil::writeFile(QStringLiteral("config.txt"), config));
    TestUtil::writeFile(QStringLiteral("percolation.txt"), "stale report of an earlier run\n");

    MainWindow window;
    window.show();
    QStringList paths;
    for (const QString &name : names)
        paths << work.filePath(name);
    open(window, paths);
    QCOMPARE(runPercolation(window), QStringList());

    // The report names files by their full paths, as the dialog returned them.
    QByteArray result;
    for (const QByteArray &line : expected.split('\n')) {
        if (line.contains('\t'))
            result += QFile::encodeName(work.path()) + '/' + line + '\n';
        else if (!line.isEmpty())
            result += line + '\n';
    }
    QCOMPARE(report(), result);
}

void TestMainWindow::cancelDoesNotStopTheRun()
{
    QStringList paths;
    for (int i = 0; i < 30; ++i)
        paths << landscape(QStringLiteral("grid%1.txt").arg(i), QByteArray("1 1\n0 0\n").repeated(1 + i));
    MainWindow window;
    window.show();
    open(window, paths);

    auto stillShown = std::make_shared<bool>(false);
    whenShown<QProgressDialog>(this, [stillShown](QProgressDialog *progress) {
        QCOMPARE(progress->labelText(), QStringLiteral("Calculando..."));
        QCOMPARE(progress->windowModality(), Qt::WindowModal);
        QPushButton *cancel = progress->findChild<QPushButton *>();
        QCOMPARE(cancel->text(), QStringLiteral("Cancel"));
        QTest::mouseClick(cancel, Qt::LeftButton);
        QCoreApplication::processEvents();
        *stillShown = progress->isVisible();
    });
    QCOMPARE(runPercolation(window), QStringList());
    QVERIFY(*stillShown);
    const QList<QByteArray> lines = report().split('\n');
    QCOMPARE(lines.size(), 32); // 30 results, the mean, and the empty rest after the last newline
    QVERIFY(lines[30].startsWith("Probability Percolation (PP) = "));
    QVERIFY(window.findChildren<QProgressDialog *>().isEmpty());
}

void TestMainWindow::unreadableFilesAreNamed()
{
    const QString good = landscape(QStringLiteral("good.txt"), "1\n");
    const QString gone = landscape(QStringLiteral("gone.txt"), "1\n");
    MainWindow window;
    window.show();
    open(window, {good, gone});
    QVERIFY(QFile::remove(gone));

    const QStringList warnings = runPercolation(window);
    QCOMPARE(warnings.size(), 1);
    QVERIFY(warnings[0].contains(gone));
    QVERIFY(!warnings[0].contains(good));
    QCOMPARE(report(), QFile::encodeName(good) + "\t1\n" + QFile::encodeName(gone)
                     + "\t0\nProbability Percolation (PP) = 0.5\n");
}

void TestMainWindow::unwritableReportIsReported()
{
    const QString good = landscape(QStringLiteral("good.txt"), "1\n");
    QVERIFY(QDir().mkdir(QStringLiteral("percolation.txt")));
    MainWindow window;
    window.show();
    open(window, {good});

    const QStringList warnings = runPercolation(window);
    QCOMPARE(warnings.size(), 1);
    QVERIFY(warnings[0].contains(QStringLiteral("percolation.txt")));
}

// Counts the paints of the progress dialog's widgets and the progress value
// each one showed.
class PaintCounter : public QObject
{
public:
    QList<int> valuesPainted;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            if (auto *widget = qobject_cast<QWidget *>(object)) {
                if (auto *progress = qobject_cast<QProgressDialog *>(widget->window()))
                    valuesPainted << progress->value();
            }
        }
        return false;
    }
};

void TestMainWindow::tenThousandFiles()
{
    const int count = 10000;
    QDir().mkdir(QStringLiteral("many"));
    QStringList names;
    for (int i = 0; i < count; ++i) {
        names << QStringLiteral("f%1.txt").arg(i, 5, 10, QLatin1Char('0'));
        QVERIFY(TestUtil::writeFile(work.filePath(QStringLiteral("many/") + names.last()), i % 3 ? "1 0\n1 0\n" : "1 0\n0 1\n"));
    }
    MainWindow window;
    window.show();
    GuiUtil::chooseAllFiles(this, action(window, "actionOpen"), work.filePath(QStringLiteral("many")), count);
    QCOMPARE(window.chosenFiles().size(), count);

    PaintCounter counter;
    qApp->installEventFilter(&counter);
    QCOMPARE(runPercolation(window), QStringList());
    qApp->removeEventFilter(&counter);

    const QList<QByteArray> lines = report().split('\n');
    QCOMPARE(lines.size(), count + 2); // the results, the mean, and nothing after the last newline
    QCOMPARE(lines[count], QByteArray("Probability Percolation (PP) = 0.6666"));
    // The dialog went on painting while the run went on, up to its last files.
    QVERIFY2(counter.valuesPainted.size() >= 10, qPrintable(QString::number(counter.valuesPainted.size())));
    QVERIFY(*std::max_element(counter.valuesPainted.begin(), counter.valuesPainted.end()) >= count * 9 / 10);
}

void TestMainWindow::statusBarAfterPercolation_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("reportWritable");
    QTest::addColumn<QString>("message"); // %1: the report's full path

    QTest::newRow("three files") << QStringList{"span.txt", "blocked.txt", "span2.txt"} << true
                                 << QStringLiteral("PP = 0.666667 over 3 files; report: %1");
    QTest::newRow("one file") << QStringList{"blocked.txt"} << true << QStringLiteral("PP = 0 over 1 file; report: %1");
    QTest::newRow("no file") << QStringList() << true << QStringLiteral("PP = nan over 0 files; report: %1");
    QTest::newRow("report not written") << QStringList{"span.txt"} << false
                                        << QStringLiteral("PP = 1 over 1 file; the report %1 could not be written");
    QTest::newRow("files without cells")
            << QStringList{"span.txt", "empty.txt", "decimals.txt"} << true
            << QStringLiteral("PP = 0.333333 over 3 files; report: %1; 2 files hold no cell");
    QTest::newRow("a map that is not square")
            << QStringList{"wide.txt", "span.txt"} << true
            << QStringLiteral("PP = 1 over 2 files; report: %1; 1 map is not square: its square of side its rows "
                              "leaves cells out");
}

// After Percolation the status bar says the PP, over how many files, and
// where the report is (by its full path), or that it could not be written.
void TestMainWindow::statusBarAfterPercolation()
{
    QFETCH(QStringList, names);
    QFETCH(bool, reportWritable);
    QFETCH(QString, message);

    landscape(QStringLiteral("span.txt"), "1 0\n1 0\n");
    landscape(QStringLiteral("span2.txt"), "0 0\n1 1\n");
    landscape(QStringLiteral("blocked.txt"), "1 0\n0 1\n");
    landscape(QStringLiteral("empty.txt"), "");
    landscape(QStringLiteral("decimals.txt"), "1.0 0.0\n1.0 0.0\n");
    landscape(QStringLiteral("wide.txt"), "1 0 0\n1 0 0\n");
    if (!reportWritable)
        QVERIFY(QDir().mkdir(QStringLiteral("percolation.txt")));
    MainWindow window;
    window.show();
    QStringList paths;
    for (const QString &name : names)
        paths << work.filePath(name);
    open(window, paths);
    QCOMPARE(window.statusBar()->currentMessage(), QString());
    const QStringList warnings = runPercolation(window);
    QCOMPARE(warnings.size(), reportWritable ? 0 : 1);
    QCOMPARE(window.statusBar()->currentMessage(), message.arg(QDir::current().absoluteFilePath(QStringLiteral("percolation.txt"))));
}

// A FIFO in config.txt's place is not waited on: the window opens with the
// default values.
void TestMainWindow::fifoInPlaceOfConfigGivesDefaults()
{
    QVERIFY(::mkfifo("config.txt", 0600) == 0);
    QElapsedTimer clock;
    clock.start();
    {
        TestUtil::FifoRelease release(QStringLiteral("config.txt"), std::chrono::seconds(5));
        MainWindow window;
        QCOMPARE(window.currentCoverValue(), 1);
        QCOMPARE(window.currentMatrixValue(), 0);
    }
    QVERIFY2(clock.elapsed() < 4000, "the window waited on config.txt");
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
