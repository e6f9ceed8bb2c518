#include "percolationgrid.h"

#include "landscapereader.h"

#include <QFile>

#include <algorithm>

bool PercolationGrid::loadLandscape(const QString &path)
{
    m_errorString.clear();
    const bool ok = LandscapeReader::readPercolation(path, habitatValue, m_rows, &m_errorString);
    clipToSquare();
    return ok;
}

bool PercolationGrid::loadLandscape(const char *path)
{
    return loadLandscape(QFile::decodeName(path));
}

int PercolationGrid::testLandscape(const QString &path, qint32 habitatValue, QString *errorString)
{
    PercolationGrid grid;
    grid.habitatValue = habitatValue;
    const bool loaded = grid.loadLandscape(path);
    if (errorString)
        *errorString = loaded ? QString() : grid.errorString();
    return grid.percolates();
}

void PercolationGrid::setRows(RaggedRows<qint8> rows)
{
    m_rows = std::move(rows);
    clipToSquare();
}

void PercolationGrid::clipToSquare()
{
    const qsizetype n = m_rows.rowCount();
    bool clip = false;
    bool uniform = true;
    for (qsizetype r = 0; r < n; ++r) {
        const qsizetype length = m_rows.rowLength(r);
        clip |= length > n;
        uniform &= length >= n;
    }
    if (clip) {
        qsizetype out = 0;
        for (qsizetype r = 0; r < n; ++r) {
            const qsizetype begin = m_rows.offsets[r];
            const qsizetype length = std::min(m_rows.rowLength(r), n);
            std::copy(m_rows.cells.begin() + begin, m_rows.cells.begin() + begin + length,
                      m_rows.cells.begin() + out);
            m_rows.offsets[r] = out;
            out += length;
        }
        m_rows.offsets[n] = out;
        m_rows.cells.resize(size_t(out));
        m_rows.cells.shrink_to_fit();
    }
    m_stride = uniform ? qint32(n) : 0;
}

void PercolationGrid::moveToQueued(quint32 index)
{
    if (m_stride > 0) {
        currentRow = qint32(index / quint32(m_stride));
        currentColumn = qint32(index % quint32(m_stride));
        return;
    }
    const auto next = std::upper_bound(m_rows.offsets.begin(), m_rows.offsets.end(), qsizetype(index));
    currentRow = qint32(next - m_rows.offsets.begin() - 1);
    currentColumn = qint32(qsizetype(index) - m_rows.offsets[currentRow]);
}

PercolationGrid::StepResult PercolationGrid::stepLeftRight()
{
    const qint64 n = m_rows.rowCount();
    const qint32 r = currentRow;
    const qint32 c = currentColumn;
    if (c + 1 >= n)
        return Spanned;
    qint8 &here = m_rows.row(r)[c];
    if (here == Habitat)
        m_visitQueue.push_back(indexOf(r, c));
    here = Visited;
    if (isHabitat(r, c + 1)) {
        currentColumn = c + 1;
    } else if (r + 1 < n && isHabitat(r + 1, c)) {
        currentRow = r + 1;
    } else if (r > 0 && isHabitat(r - 1, c)) {
        currentRow = r - 1;
    } else if (c > 0 && isHabitat(r, c - 1)) {
        currentColumn = c - 1;
    } else {
        if (m_visitQueue.empty())
            return Exhausted;
        moveToQueued(m_visitQueue.front());
        m_visitQueue.pop_front();
    }
    return Continue;
}

PercolationGrid::StepResult PercolationGrid::stepTopBottom()
{
    const qint64 n = m_rows.rowCount();
    const qint32 r = currentRow;
    const qint32 c = currentColumn;
    if (r + 1 >= n)
        return Spanned;
    qint8 &here = m_rows.row(r)[c];
    if (here == Habitat)
        m_visitQueue.push_back(indexOf(r, c));
    here = Visited;
    if (isHabitat(r + 1, c)) {
        currentRow = r + 1;
    } else if (c + 1 < n && isHabitat(r, c + 1)) {
        currentColumn = c + 1;
    } else if (c > 0 && isHabitat(r, c - 1)) {
        currentColumn = c - 1;
    } else if (r > 0 && isHabitat(r - 1, c)) {
        currentRow = r - 1;
    } else {
        if (m_visitQueue.empty())
            return Exhausted;
        moveToQueued(m_visitQueue.front());
        m_visitQueue.pop_front();
    }
    return Continue;
}

bool PercolationGrid::spansLeftRight()
{
    const qint32 n = rowCount();
    for (qint32 i = 0; i < n; ++i) {
        currentRow = i;
        currentColumn = 0;
        if (!isHabitat(i, 0))
            continue;
        StepResult result;
        do {
            result = stepLeftRight();
        } while (result == Continue);
        if (result == Spanned)
            return true;
    }
    return false;
}

bool PercolationGrid::spansTopBottom()
{
    const qint32 n = rowCount();
    const qint32 startCells = n > 0 ? std::min(n, rowLength(0)) : 0;
    for (qint32 j = 0; j < startCells; ++j) {
        currentRow = 0;
        currentColumn = j;
        if (!isHabitat(0, j))
            continue;
        StepResult result;
        do {
            result = stepTopBottom();
        } while (result == Continue);
        if (result == Spanned)
            return true;
    }
    return false;
}

void PercolationGrid::resetVisited()
{
    for (qint8 &cell : m_rows.cells) {
        if (cell > Habitat)
            cell = Habitat;
    }
}

int PercolationGrid::percolates()
{
    const bool leftRight = spansLeftRight();
    resetVisited();
    const bool topBottom = spansTopBottom();
    return (leftRight || topBottom) ? 1 : 0;
}
