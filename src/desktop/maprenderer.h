#pragma once

#include "mapgrid.h"

#include <QImage>
#include <QRect>

class QPainter;

// Renders the cells of a map into an image, once, for every later paint.
//
// The map area is a rectangle in window coordinates (left x0, top y0, width w,
// height h). With n rows, a cell is cw = w / n wide and ch = h / n high. Only
// the first n values of a row are cells; the values a short row lacks, and
// cells without a value (MapGrid::hasValue), are not drawn. A drawn cell is
// white where its value equals the matrix value and black elsewhere.
//
// Cells of at least a pixel (trunc(cw) >= 1 and trunc(ch) >= 1): value c of
// row r is the rectangle left trunc(c * cw + x0), top trunc(r * ch + y0),
// width trunc(cw), height trunc(ch). Cells are painted row by row from the
// top, each row from the left, as QPainter::drawRect with a pen and brush of
// the cell's colour would paint them: the pixels from left to left + width and
// from top to top + height, both inclusive, so that neighbours overlap by at
// most a pixel. A cell not drawn leaves its pixels as the cells before it left
// them.
//
// Smaller cells: pixel (i, j) of the area, 0 <= i < w and 0 <= j < h, shows
// the cell under its centre, column floor((i + 1/2) * n / w) of row
// floor((j + 1/2) * n / h), computed exactly; nothing where that cell is not
// drawn.
//
// The image's pixel (i, j) is what that painting leaves at (x0 + i, y0 + j);
// pixels no cell covers are transparent. It is (w + 1) x (h + 1) pixels, since
// the last whole cells reach one pixel past the area. Cost: proportional to the
// cells drawn plus the pixels they cover for whole cells, to the pixels of the
// area plus w + h for smaller ones; never to n * n.
class MapRenderer
{
public:
    static QImage render(const MapGrid &map, qint32 matrixValue, const QRect &area);

    // The image for these inputs, rendered again only when the matrix value or
    // the area changed since the last call, or after invalidate().
    const QImage &image(const MapGrid &map, qint32 matrixValue, const QRect &area);
    // Draws image() at the area's top left: the same pixels as drawing the
    // image with QPainter::drawImage, but the part that the cells cover
    // without a gap is copied instead of blended.
    void draw(QPainter &painter, const MapGrid &map, qint32 matrixValue, const QRect &area);
    // Call whenever the map's content changes.
    void invalidate() { m_valid = false; }

private:
    QImage m_image;
    QImage m_opaquePart; // shares m_image's pixels: its opaque top-left part, as RGB32
    QRect m_area;
    qint32 m_matrixValue = 0;
    bool m_valid = false;
};
