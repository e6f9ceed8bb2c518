#include "maprenderer.h"

#include <algorithm>
#include <cstring>
#include <vector>

QImage MapRenderer::render(const RaggedRows<qint32> &map, qint32 matrixValue, const QRect &area)
{
    const int w = std::max(area.width(), 0);
    const int h = std::max(area.height(), 0);
    QImage image(w + 1, h + 1, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const qsizetype n = map.rowCount();
    if (n == 0)
        return image;

    // The same double arithmetic as drawing cell by cell, so that truncation
    // lands on the same pixels.
    const double x0 = area.x();
    const double y0 = area.y();
    const double cw = double(w) / double(n);
    const double ch = double(h) / double(n);
    const int cellWidth = int(cw);
    const int cellHeight = int(ch);
    if (cellWidth == 0 && cellHeight == 0)
        return image; // every cell is an empty rectangle

    const QRgb white = qRgba(255, 255, 255, 255);
    const QRgb black = qRgba(0, 0, 0, 255);
    std::vector<QRgb> line(size_t(w) + 1);
    for (qsizetype r = 0; r < n; ++r) {
        const qsizetype values = std::min(map.rowLength(r), n);
        if (values == 0)
            continue;
        const qint32 *row = map.row(r);
        // Consecutive cells of a row touch or overlap, so the row paints one
        // unbroken span of pixels; build it once, then copy it to each line.
        int spanBegin = -1;
        int spanEnd = -1;
        for (qsizetype c = 0; c < values; ++c) {
            const int x = int(double(c) * cw + x0) - area.x();
            const int right = std::min(x + cellWidth, w);
            if (spanBegin < 0)
                spanBegin = x;
            std::fill(line.begin() + x, line.begin() + right + 1, row[c] == matrixValue ? white : black);
            spanEnd = right;
        }
        const int y = int(double(r) * ch + y0) - area.y();
        const int bottom = std::min(y + cellHeight, h);
        for (int j = y; j <= bottom; ++j) {
            auto *pixels = reinterpret_cast<QRgb *>(image.scanLine(j));
            std::memcpy(pixels + spanBegin, line.data() + spanBegin, sizeof(QRgb) * size_t(spanEnd - spanBegin + 1));
        }
    }
    return image;
}

const QImage &MapRenderer::image(const RaggedRows<qint32> &map, qint32 matrixValue, const QRect &area)
{
    if (!m_valid || area != m_area || matrixValue != m_matrixValue) {
        m_image = render(map, matrixValue, area);
        m_area = area;
        m_matrixValue = matrixValue;
        m_valid = true;
    }
    return m_image;
}
