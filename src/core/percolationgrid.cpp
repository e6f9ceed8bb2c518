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
    // percolates() runs the top-to-bottom phase also after a spanning
    // left-to-right phase; its answer is 1 then whatever that phase finds,
    // and this grid is dropped afterwards, so the phase is left out.
    if (grid.spansLeftRight())
        return 1;
    grid.resetVisited();
    return grid.spansTopBottom() ? 1 : 0;
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
    // For a stride of 1 this wraps to 0, and divide() would be wrong; it is
    // never called then: with one row every cursor already stands on the far
    // edge, so no walk gets as far as taking a cell from the queue.
    m_strideInverse = m_stride > 0 ? ~quint64(0) / quint64(m_stride) + 1 : 0;
}

namespace {

constexpr size_t PrefetchDistance = 16;

// index / divisor for any 32-bit index, given inverse = 2^64 / divisor rounded up.
inline quint32 divide(quint32 index, quint64 inverse)
{
    return quint32((static_cast<unsigned __int128>(inverse) * index) >> 64);
}

} // namespace

void PercolationGrid::moveToQueued(quint32 index)
{
    if (m_stride > 0) {
        currentRow = qint32(divide(index, m_strideInverse));
        currentColumn = qint32(index - quint32(currentRow) * quint32(m_stride));
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
        m_visitQueue.push(indexOf(r, c));
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
        moveToQueued(m_visitQueue.pop());
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
        m_visitQueue.push(indexOf(r, c));
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
        moveToQueued(m_visitQueue.pop());
    }
    return Continue;
}

template <bool LeftRight>
PercolationGrid::StepResult PercolationGrid::walkSquare()
{
    const qint64 n = m_stride;
    const quint64 inverse = m_strideInverse;
    qint8 *const cells = m_rows.cells.data();
    CellQueue::View queue = m_visitQueue.view();
    qint64 r = currentRow;
    qint64 c = currentColumn;
    quint32 index = quint32(r * n + c);
    StepResult result;
    for (;;) {
        if ((LeftRight ? c : r) + 1 >= n) {
            result = Spanned;
            break;
        }
        qint8 *const here = cells + index;
        if (*here == Habitat) {
            if (queue.full())
                m_visitQueue.grow(queue);
            queue.push(index);
        }
        *here = Visited;
        // The neighbours are tried one at a time, in order: the first is
        // usually open and lies in the same cache line, the others cost a
        // load from another row.
        if (LeftRight) {
            if (here[1] == Habitat) {
                ++index, ++c;
                continue;
            }
            if (r + 1 < n && here[n] == Habitat) {
                index += quint32(n), ++r;
                continue;
            }
            if (r > 0 && here[-n] == Habitat) {
                index -= quint32(n), --r;
                continue;
            }
            if (c > 0 && here[-1] == Habitat) {
                --index, --c;
                continue;
            }
        } else {
            if (here[n] == Habitat) {
                index += quint32(n), ++r;
                continue;
            }
            if (c + 1 < n && here[1] == Habitat) {
                ++index, ++c;
                continue;
            }
            if (c > 0 && here[-1] == Habitat) {
                --index, --c;
                continue;
            }
            if (r > 0 && here[-n] == Habitat) {
                index -= quint32(n), --r;
                continue;
            }
        }
        if (queue.empty()) {
            result = Exhausted;
            break;
        }
        // Queued cells come back long after they were entered, mostly out of
        // cache: fetch the neighbourhood of a cell some pops ahead.
        {
            const qint8 *soon = cells + queue.peek(PrefetchDistance);
            __builtin_prefetch(soon);
            __builtin_prefetch(soon - n);
            __builtin_prefetch(soon + n);
        }
        index = queue.pop();
        r = divide(index, inverse);
        c = qint64(index) - r * n;
    }
    m_visitQueue.adopt(queue);
    currentRow = qint32(r);
    currentColumn = qint32(c);
    return result;
}

template <bool LeftRight>
bool PercolationGrid::spans()
{
    const qint32 n = rowCount();
    const qint32 starts = LeftRight ? n : (n > 0 ? std::min(n, rowLength(0)) : 0);
    for (qint32 i = 0; i < starts; ++i) {
        currentRow = LeftRight ? i : 0;
        currentColumn = LeftRight ? 0 : i;
        if (!isHabitat(currentRow, currentColumn))
            continue;
        StepResult result;
        if (m_stride > 0) {
            result = walkSquare<LeftRight>();
        } else {
            do {
                result = LeftRight ? stepLeftRight() : stepTopBottom();
            } while (result == Continue);
        }
        if (result == Spanned)
            return true;
    }
    return false;
}

bool PercolationGrid::spansLeftRight()
{
    return spans<true>();
}

bool PercolationGrid::spansTopBottom()
{
    return spans<false>();
}

void PercolationGrid::resetVisited()
{
    for (qint8 &cell : m_rows.cells)
        cell = std::min(cell, Habitat);
}

int PercolationGrid::percolates()
{
    const bool leftRight = spansLeftRight();
    resetVisited();
    const bool topBottom = spansTopBottom();
    return (leftRight || topBottom) ? 1 : 0;
}
