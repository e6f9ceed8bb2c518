#pragma once

#include "maprenderer.h"
#include "mapgrid.h"
#include "setings.h"

#include <QMainWindow>
#include <QModelIndex>
#include <QStringList>

#include <memory>

namespace Ui {
class MainWindowForm;
}

// The Vantrix main window: the list of chosen landscape files, the map area,
// and the File, Calculate and Settings menus.
//
// Selecting a file reads it with the display rules and shows it in the map
// area: row k of the file as the k-th row of cells from the top, white where a
// value equals the matrix value, black elsewhere, over a translucent green
// background. An accepted Parameters dialog repaints the map at once.
//
// The list shows each chosen path elided in the middle to the list's width, so
// that file names stay in view, with the whole path as its tool tip. After
// Open the list has the keyboard focus and no current row; a key (Down, say)
// chooses one and loads it.
//
// The cover value and the matrix value are read from config.txt in the working
// directory at construction (the defaults when it cannot be read, a FIFO
// included); Percolation writes percolation.txt there.
//
// The status bar says why a selected file shows no map (a raster GDAL cannot
// read: GDAL's reason), until a map is shown; and after Percolation, the PP,
// the number of files and the report's full path (or that it could not be
// written).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    const QStringList &chosenFiles() const { return fileNames; }
    qint32 currentCoverValue() const { return coverValue; }
    qint32 currentMatrixValue() const { return matrixValue; }
    const MapGrid &currentMap() const { return mapGrid; }
    // The map area in window coordinates: the frame's rectangle.
    QRect mapArea() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private slots:
    void on_actionOpen_triggered();
    void on_fileListView_clicked(QModelIndex index);
    void on_actionParametros_triggered();
    void on_fileListView_currentRowChanged(int currentRow);
    void on_actionPercolation_triggered();

private:
    void loadMapGrid(QString path);

    QStringList fileNames;
    std::unique_ptr<Ui::MainWindowForm> ui;
    MapGrid mapGrid;
    setings settingsDialog;
    qint32 coverValue;
    qint32 matrixValue;
    bool batchRunning = false;
    bool showsMapError = false; // the status bar says why the selected file is not shown
    MapRenderer mapRenderer;
};
