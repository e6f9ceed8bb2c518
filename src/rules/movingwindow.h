#pragma once

#include <QtGlobal>

#include <cmath>
#include <utility>

// Moving windows: a window of size x size cells centred on every step-th
// cell of a map in both directions (cells 0, step, 2 step, ... of its rows
// and of its columns), each a landscape of its own.
//
// The window of centre index i along an extent holds the cells [first(i),
// first(i) + size); its centre lies at first(i) + size / 2 in cell
// coordinates (a cell's centre is at its index + 0.5): at the centre cell's
// centre for odd sizes, at its top-left corner for even ones. A circle
// holds the cells of that square whose centres lie at most size / 2 from
// the window's centre.
//
// A window reaching past the map's edge is left out unless partial: then
// its part inside the map is the landscape (its edges the part's edges).
struct MovingWindow
{
    enum Shape { Square, Circle };

    qint64 size = 1;
    qint64 step = 1;
    Shape shape = Square;
    bool partial = false;

    // Windows along an extent of n cells.
    qint64 count(qint64 n) const { return n <= 0 ? 0 : (n - 1) / step + 1; }
    // The first cell of window i along an extent (below 0 past its start).
    qint64 first(qint64 i) const { return i * step - size / 2; }
    // Whether window i lies wholly inside an extent of n cells.
    bool inside(qint64 i, qint64 n) const { return first(i) >= 0 && first(i) + size <= n; }

    // The cells [begin, end) of the window's row a (0 <= a < size), counted
    // from the window's first column, that its shape holds: for a circle
    // those b with (2b + 1 - size)^2 + (2a + 1 - size)^2 <= size^2.
    std::pair<qint64, qint64> rowCells(qint64 a) const
    {
        if (shape == Square)
            return {0, size};
        const qint64 dy = 2 * a + 1 - size;
        const qint64 room = size * size - dy * dy; // >= 2 size - 1 > 0 for every row a
        qint64 m = qint64(std::sqrt(double(room)));
        while (m * m > room)
            --m;
        while ((m + 1) * (m + 1) <= room)
            ++m;
        // |2b + 1 - size| <= m
        const qint64 low = size - 1 - m; // 2b >= low
        const qint64 begin = low <= 0 ? 0 : (low + 1) / 2;
        const qint64 end = (size - 1 + m) / 2 + 1;
        return {begin, end};
    }

    // Where the map of the windows (a pixel per window, step cells a side,
    // each centred on its window's centre) begins: the map's first pixel's
    // top-left corner, in cells from the map's top-left corner, both ways.
    double mapOrigin() const { return double(-(size / 2)) + double(size) / 2.0 - double(step) / 2.0; }
};
