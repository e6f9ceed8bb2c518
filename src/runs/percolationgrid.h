#pragma once

#include "landscapereader.h"
#include "walkgrid.h"

#include <QByteArray>
#include <QString>

// One landscape file as habitat / non-habitat cells, and the spanning walk
// over them: the grid of one file's test.
//
// loadLandscape() reads the file (text or raster, see LandscapeReader) into
// cells, 1 where a value equals habitatValue; percolates() and the other
// operations of the walk are WalkGrid's, on the square of side n = the number
// of rows.
//
// A grid serves one load and one test; build a new one for the next file.
class PercolationGrid : public WalkGrid
{
public:
    // The field value that makes a cell habitat; set before loadLandscape().
    qint32 habitatValue = 1;

    // Reads the landscape at path (file-system bytes, see LandscapeReader),
    // from band of a raster. Returns false if it cannot be opened or read;
    // the grid then has no rows and errorString() says why. A file without
    // any valid field loads fine, with no rows.
    bool loadLandscape(const QByteArray &path, int band = 1);
    // The same for a path as a QString (encoded with QFile::encodeName), and
    // for a NUL-terminated path in its file-system encoding.
    bool loadLandscape(const QString &path);
    bool loadLandscape(const char *path);
    QString errorString() const { return m_errorString; }
    // Whether the last load failed for want of memory (and may succeed later).
    bool outOfMemory() const { return m_outOfMemory; }
    // Cells of the file outside the square tested (beyond column n of a row).
    qint64 cellsLeftOut() const { return m_cellsLeftOut; }
    // The fields of a text landscape that were skipped as not integers.
    const LandscapeReader::SkippedFields &skippedFields() const { return m_skipped; }

    // The whole test of one file: a fresh grid with habitatValue, loaded from
    // path and tested with percolates(). A file that cannot be read gives 0,
    // and the reason in *errorString when given (empty otherwise).
    static int testLandscape(const QByteArray &path, qint32 habitatValue, QString *errorString = nullptr);

private:
    QString m_errorString;
    bool m_outOfMemory = false;
    qint64 m_cellsLeftOut = 0;
    LandscapeReader::SkippedFields m_skipped;
};
