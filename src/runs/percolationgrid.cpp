#include "percolationgrid.h"

#include "landscapereader.h"

#include <QFile>

#include <algorithm>

bool PercolationGrid::loadLandscape(const QByteArray &path, int band)
{
    m_errorString.clear();
    LandscapeReader::Options options;
    options.band = band;
    LandscapeReader::Outcome outcome;
    const bool ok = LandscapeReader::readPercolation(path, habitatValue, mutableRows(), &m_errorString, options,
                                                     &outcome);
    m_outOfMemory = outcome.outOfMemory;
    m_skipped = outcome.skipped;
    m_cellsLeftOut = 0;
    const RaggedRows<qint8> &loaded = rows();
    for (qint64 r = 0; r < loaded.rowCount(); ++r)
        m_cellsLeftOut += std::max<qint64>(0, loaded.rowLength(r) - loaded.rowCount());
    clipToSquare();
    return ok;
}

bool PercolationGrid::loadLandscape(const QString &path)
{
    return loadLandscape(QFile::encodeName(path));
}

bool PercolationGrid::loadLandscape(const char *path)
{
    return loadLandscape(QByteArray(path));
}

int PercolationGrid::testLandscape(const QByteArray &path, qint32 habitatValue, QString *errorString)
{
    PercolationGrid grid;
    grid.habitatValue = habitatValue;
    const bool loaded = grid.loadLandscape(path);
    if (errorString)
        *errorString = loaded ? QString() : grid.errorString();
    return grid.percolates();
}
