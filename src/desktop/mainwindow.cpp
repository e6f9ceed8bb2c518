#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "configfile.h"
#include "landscapereader.h"
#include "percolationbatch.h"
#include "percolationreport.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPainter>
#include <QProgressDialog>
#include <QStatusBar>

namespace {

const char ConfigFileName[] = "config.txt";
const char ReportFileName[] = "percolation.txt";
constexpr int MaxListedFailures = 20;

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(std::make_unique<Ui::MainWindowForm>())
{
    ui->setupUi(this);
    ConfigFile config;
    config.read(QString::fromLatin1(ConfigFileName));
    coverValue = config.coverValue;
    matrixValue = config.matrixValue;
}

MainWindow::~MainWindow() = default;

void MainWindow::on_actionOpen_triggered()
{
    fileNames.clear();
    ui->fileListView->clear();
    fileNames = QFileDialog::getOpenFileNames(this, tr("Choose file(s) do open"), QString(), QString());
    ui->fileListView->insertItems(ui->fileListView->count(), fileNames);
    // A row is as wide as the list, not as its text: the list elides long
    // paths in the middle (the file name stays in view) instead of widening
    // its rows and cutting their ends off. The whole path is the tool tip.
    for (int i = 0; i < ui->fileListView->count(); ++i) {
        QListWidgetItem *item = ui->fileListView->item(i);
        const int height = ui->fileListView->sizeHintForIndex(ui->fileListView->indexFromItem(item)).height();
        item->setSizeHint(QSize(0, height));
        item->setToolTip(item->text());
    }
    // The keyboard goes to the list from here on, without a click. Setting
    // "no current row" explicitly keeps the focus from making the first row
    // current (and loading it): the first key press chooses.
    ui->fileListView->setCurrentIndex(QModelIndex());
    activateWindow();
    ui->fileListView->setFocus(Qt::OtherFocusReason);
}

void MainWindow::on_fileListView_clicked(QModelIndex)
{
    // A click has no effect of its own; a change of the current row loads the map.
}

void MainWindow::on_actionParametros_triggered()
{
    settingsDialog.setCoverValue(coverValue);
    settingsDialog.setMatrixValue(matrixValue);
    if (!settingsDialog.exec())
        return;
    coverValue = settingsDialog.getCoverValue();
    matrixValue = settingsDialog.getMatrixValue();
    update(); // the map in the new matrix value's colours

    // The new values are in effect from here on, whether or not they can be kept.
    ConfigFile config;
    config.coverValue = coverValue;
    config.matrixValue = matrixValue;
    QString error;
    if (!config.write(QString::fromLatin1(ConfigFileName), &error)) {
        QMessageBox::warning(this, tr("Vantrix"),
                             tr("The parameters could not be saved to %1: %2\n"
                                "They stay in effect until the program ends.")
                                     .arg(QString::fromLatin1(ConfigFileName), error));
    }
}

void MainWindow::on_fileListView_currentRowChanged(int currentRow)
{
    if (currentRow < 0)
        return;
    const QListWidgetItem *item = ui->fileListView->currentItem();
    if (!item)
        return;
    loadMapGrid(item->text());
    repaint();
}

void MainWindow::loadMapGrid(QString path)
{
    QString error;
    if (LandscapeReader::readDisplay(path, mapGrid, &error)) {
        // A map is shown: a message about one that could not be is stale.
        if (showsMapError)
            statusBar()->clearMessage();
        showsMapError = false;
    } else {
        // The map stays empty; say why rather than leave an empty map unexplained.
        statusBar()->showMessage(tr("%1 cannot be shown: %2").arg(path, error));
        showsMapError = true;
    }
    mapRenderer.invalidate();
}

QRect MainWindow::mapArea() const
{
    return QRect(ui->frameView->mapTo(this, QPoint(0, 0)), ui->frameView->size());
}

void MainWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect area = mapArea();
    QColor green;
    green.setRgb(0, 255, 0, 120);
    painter.setBrush(QBrush(green, Qt::SolidPattern));
    painter.drawRect(QRectF(area.x(), area.y(), area.width(), area.height()));
    if (mapGrid.isEmpty())
        return;
    mapRenderer.draw(painter, mapGrid, matrixValue, area);
}

void MainWindow::on_actionPercolation_triggered()
{
    if (batchRunning)
        return;
    batchRunning = true;
    // The list and the cover value are taken once: the run tests what was
    // listed when it started, whatever happens in the window meanwhile.
    const QStringList files = fileNames;
    const qint32 cover = coverValue;

    QFile reportFile(QString::fromLatin1(ReportFileName));
    reportFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text | QIODevice::Unbuffered);
    PercolationReport report(&reportFile);
    QStringList unreadable;
    qint64 withoutCells = 0; // files read that hold no cell with a value
    qint64 cutSquare = 0;    // files whose square leaves cells of the map out
    {
        QProgressDialog progress(tr("Calculando..."), tr("Cancel"), 0, int(files.size()), this);
        // Cancel does not stop the run; the dialog stays up until the end.
        disconnect(&progress, SIGNAL(canceled()), &progress, SLOT(cancel()));
        progress.setWindowModality(Qt::WindowModal);
        progress.show();
        progress.setValue(0);
        QCoreApplication::processEvents();
        // The batch of vantrix-percolate, one file at a time on this thread:
        // for each file a PercolationGrid with the cover value, loaded and
        // tested with percolates(), its line written and flushed at once.
        QByteArrayList paths;
        for (const QString &file : files)
            paths << QFile::encodeName(file);
        PercolationBatch::Options options;
        options.cover = CoverSet(cover);
        options.walkBothPhases = true;
        PercolationBatch::run(
                paths, options, 1,
                [&](const PercolationBatch::Result &result) {
                    if (!result.errorString.isEmpty())
                        unreadable << tr("%1: %2").arg(files[result.index], result.errorString);
                    else if (result.landscapes.front().statistics.cells == 0 && result.cellsLeftOut == 0)
                        ++withoutCells;
                    cutSquare += result.cellsLeftOut > 0 ? 1 : 0;
                    report.addResult(paths[result.index], result.percolates);
                },
                [&](qsizetype i) {
                    progress.setValue(int(i));
                    QCoreApplication::processEvents();
                });
        report.finish();
        reportFile.close();
    }
    batchRunning = false;

    // The outcome at a glance, kept in the status bar until the next message.
    const QString reportPath = QFileInfo(QString::fromLatin1(ReportFileName)).absoluteFilePath();
    const QString mean = QString::fromLatin1(PercolationReport::formatMean(report.sum() / double(report.resultCount())));
    const QString over = files.size() == 1 ? tr("over 1 file") : tr("over %1 files").arg(files.size());
    // What changes the answers without being asked is said beside them.
    QString notes;
    if (withoutCells > 0)
        notes += withoutCells == 1 ? tr("; 1 file holds no cell") : tr("; %1 files hold no cell").arg(withoutCells);
    if (cutSquare > 0) {
        notes += cutSquare == 1 ? tr("; 1 map is not square: its square of side its rows leaves cells out")
                                : tr("; %1 maps are not square: their squares of side their rows leave cells out")
                                          .arg(cutSquare);
    }
    statusBar()->showMessage(report.hasError()
                                     ? tr("PP = %1 %2; the report %3 could not be written%4").arg(mean, over, reportPath, notes)
                                     : tr("PP = %1 %2; report: %3%4").arg(mean, over, reportPath, notes));
    showsMapError = false;

    if (report.hasError()) {
        QMessageBox::warning(this, tr("Vantrix"),
                             tr("The report %1 could not be written: %2")
                                     .arg(QString::fromLatin1(ReportFileName), report.errorString()));
    }
    if (!unreadable.isEmpty()) {
        QString list = unreadable.mid(0, MaxListedFailures).join(QLatin1Char('\n'));
        if (unreadable.size() > MaxListedFailures)
            list += QLatin1Char('\n') + tr("and %n more", nullptr, int(unreadable.size() - MaxListedFailures));
        QMessageBox::warning(this, tr("Vantrix"),
                             tr("%n file(s) could not be read and count as 0 in the report:", nullptr,
                                int(unreadable.size()))
                                     + QLatin1Char('\n') + list);
    }
}
