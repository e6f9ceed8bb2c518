#include "guiutil.h"
#include "mainwindow.h"
#include "setings.h"
#include "testutil.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

using GuiUtil::whenShown;

// What the test does in the dialog once it shows: the values it types (or
// none), and how it closes it.
struct DialogInput
{
    enum Close { Ok, CancelButton, Escape, CloseWindow };
    QString cover;
    QString matrix;
    QString seed;
    Close close = Ok;
};

// What the dialog showed when it opened.
struct DialogView
{
    int cover = 0;
    int matrix = 0;
    int seed = 0;
};

class TestSetings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void formLooksRight();
    void cancelChangesNothing_data();
    void cancelChangesNothing();
    void okStoresAndWrites_data();
    void okStoresAndWrites();
    void seedIsNeverKept();
    void nextRunUsesNewCover();
    void failedSaveWarnsAndKeepsValues_data();
    void failedSaveWarnsAndKeepsValues();

private:
    // Triggers Settings -> Parameters, types input, closes the dialog; returns
    // what it showed. Any warning afterwards is accepted and its text kept.
    DialogView parameters(MainWindow &window, const DialogInput &input)
    {
        auto view = std::make_shared<DialogView>();
        whenShown<setings>(this, [view, input](setings *dialog) {
            auto spin = [dialog](const char *name) { return dialog->findChild<QSpinBox *>(QLatin1String(name)); };
            *view = {spin("coverValue")->value(), spin("matrixValue")->value(), spin("seedRnd")->value()};
            const std::pair<const char *, QString> edits[] = {
                    {"coverValue", input.cover}, {"matrixValue", input.matrix}, {"seedRnd", input.seed}};
            for (const auto &[name, text] : edits) {
                if (text.isNull())
                    continue;
                spin(name)->selectAll();
                QTest::keyClicks(spin(name), text);
            }
            auto *box = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
            switch (input.close) {
            case DialogInput::Ok:
                QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
                break;
            case DialogInput::CancelButton:
                QTest::mouseClick(box->button(QDialogButtonBox::Cancel), Qt::LeftButton);
                break;
            case DialogInput::Escape:
                QTest::keyClick(dialog, Qt::Key_Escape);
                break;
            case DialogInput::CloseWindow:
                dialog->close();
                break;
            }
        });
        whenShown<QMessageBox>(this, [this](QMessageBox *box) {
            warnings << box->text();
            box->accept();
        });
        window.findChild<QAction *>(QStringLiteral("actionParametros"))->trigger();
        qDeleteAll(findChildren<QTimer *>());
        return *view;
    }
    static QByteArray configBytes()
    {
        QFile file(QStringLiteral("config.txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir work;
    QStringList warnings;
};

void TestSetings::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(work.path()));
}

void TestSetings::init()
{
    warnings.clear();
    QFile::remove(QStringLiteral("config.txt"));
    QDir().rmdir(QStringLiteral("config.txt"));
}

void TestSetings::formLooksRight()
{
    setings dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Settings"));
    QCOMPARE(dialog.size(), QSize(185, 234));
    QStringList labels;
    for (const char *name : {"label_5", "label_6", "label_7"})
        labels << dialog.findChild<QLabel *>(QLatin1String(name))->text();
    QCOMPARE(labels, (QStringList{"Cover value ", "Matrix value", "Random seed"}));
    auto *cover = dialog.findChild<QSpinBox *>(QStringLiteral("coverValue"));
    auto *matrix = dialog.findChild<QSpinBox *>(QStringLiteral("matrixValue"));
    auto *seed = dialog.findChild<QSpinBox *>(QStringLiteral("seedRnd"));
    QCOMPARE((QList<int>{cover->minimum(), cover->maximum(), cover->value()}), (QList<int>{-99999, 99999, 1}));
    QCOMPARE((QList<int>{matrix->minimum(), matrix->maximum(), matrix->value()}), (QList<int>{-999999, 999999, 0}));
    QCOMPARE((QList<int>{seed->minimum(), seed->maximum(), seed->value()}), (QList<int>{-999999, 999999, 5}));
}

void TestSetings::cancelChangesNothing_data()
{
    QTest::addColumn<int>("close");
    QTest::newRow("Cancel button") << int(DialogInput::CancelButton);
    QTest::newRow("Escape") << int(DialogInput::Escape);
    QTest::newRow("window closed") << int(DialogInput::CloseWindow);
}

void TestSetings::cancelChangesNothing()
{
    QFETCH(int, close);
    QVERIFY(TestUtil::writeFile(QStringLiteral("config.txt"), "3\n4\n"));
    MainWindow window;
    window.show();

    const DialogView first = parameters(window, {"77", "88", QString(), DialogInput::Close(close)});
    QCOMPARE(first.cover, 3);
    QCOMPARE(first.matrix, 4);
    QCOMPARE(window.currentCoverValue(), 3);
    QCOMPARE(window.currentMatrixValue(), 4);
    QCOMPARE(configBytes(), QByteArray("3\n4\n"));

    // The cancelled edits do not come back: the dialog shows the window's values.
    const DialogView second = parameters(window, {QString(), QString(), QString(), DialogInput::CancelButton});
    QCOMPARE(second.cover, 3);
    QCOMPARE(second.matrix, 4);
}

void TestSetings::okStoresAndWrites_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("cover");
    QTest::addColumn<QString>("matrix");
    QTest::addColumn<int>("shownCover");
    QTest::addColumn<int>("shownMatrix");
    QTest::addColumn<QByteArray>("written");

    QTest::newRow("edits") << QByteArray("1\n0\n") << "7" << "-3" << 1 << 0 << QByteArray("7\n-3\n");
    QTest::newRow("no edit rewrites") << QByteArray("2 5 trailing words") << QString() << QString() << 2 << 5
                                      << QByteArray("2\n5\n");
    QTest::newRow("no config.txt") << QByteArray() << QString() << "9" << 1 << 0 << QByteArray("1\n9\n");
    QTest::newRow("out of range is clamped") << QByteArray("123456\n-2000000\n") << QString() << QString()
                                             << 99999 << -999999 << QByteArray("99999\n-999999\n");
}

void TestSetings::okStoresAndWrites()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, cover);
    QFETCH(QString, matrix);
    QFETCH(int, shownCover);
    QFETCH(int, shownMatrix);
    QFETCH(QByteArray, written);

    if (!config.isEmpty())
        QVERIFY(TestUtil::writeFile(QStringLiteral("config.txt"), config));
    MainWindow window;
    window.show();
    const DialogView view = parameters(window, {cover, matrix, QString(), DialogInput::Ok});
    QCOMPARE(view.cover, shownCover);
    QCOMPARE(view.matrix, shownMatrix);
    QCOMPARE(configBytes(), written);
    const QList<QByteArray> values = written.split('\n');
    QCOMPARE(window.currentCoverValue(), values[0].toInt());
    QCOMPARE(window.currentMatrixValue(), values[1].toInt());
    QVERIFY(warnings.isEmpty());
    QCOMPARE(QDir().entryList(QDir::Files), QStringList{QStringLiteral("config.txt")});
}

void TestSetings::seedIsNeverKept()
{
    {
        MainWindow window;
        window.show();
        QCOMPARE(parameters(window, {QString(), QString(), "123", DialogInput::CancelButton}).seed, 5);
        // The dialog is kept for the window's life, so the seed typed stays in it.
        QCOMPARE(parameters(window, {QString(), QString(), QString(), DialogInput::Ok}).seed, 123);
        QCOMPARE(configBytes(), QByteArray("1\n0\n"));
    }
    MainWindow next;
    next.show();
    QCOMPARE(parameters(next, {QString(), QString(), QString(), DialogInput::CancelButton}).seed, 5);
}

void TestSetings::nextRunUsesNewCover()
{
    const QString path = work.filePath(QStringLiteral("sevens.txt"));
    QVERIFY(TestUtil::writeFile(path, "7 0\n7 0\n"));
    MainWindow window;
    window.show();
    GuiUtil::chooseFiles(this, window.findChild<QAction *>(QStringLiteral("actionOpen")), {path});
    QCOMPARE(window.chosenFiles(), QStringList{path});

    auto runReport = [&window]() {
        window.findChild<QAction *>(QStringLiteral("actionPercolation"))->trigger();
        QFile file(QStringLiteral("percolation.txt"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QVERIFY(runReport().endsWith("= 0\n"));
    parameters(window, {"7", QString(), QString(), DialogInput::Ok});
    QVERIFY(runReport().endsWith("= 1\n"));
}

void TestSetings::failedSaveWarnsAndKeepsValues_data()
{
    QTest::addColumn<bool>("directory");
    QTest::newRow("config.txt is a directory") << true;
    QTest::newRow("disk full while writing") << false;
}

void TestSetings::failedSaveWarnsAndKeepsValues()
{
    QFETCH(bool, directory);
    if (directory)
        QVERIFY(QDir().mkdir(QStringLiteral("config.txt")));
    else
        QVERIFY(TestUtil::writeFile(QStringLiteral("config.txt"), "3\n4\n"));
    MainWindow window;
    window.show();
    {
        TestUtil::FileSizeLimit limit(directory ? RLIM_INFINITY : 2);
        parameters(window, {"11", "22", QString(), DialogInput::Ok});
    }
    QCOMPARE(warnings.size(), 1);
    QVERIFY(warnings[0].contains(QStringLiteral("config.txt")));
    QCOMPARE(window.currentCoverValue(), 11);
    QCOMPARE(window.currentMatrixValue(), 22);
    if (!directory)
        QCOMPARE(configBytes(), QByteArray("3\n4\n"));
}

QTEST_MAIN(TestSetings)
#include "tst_setings.moc"
