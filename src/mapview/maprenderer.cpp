#include "maprenderer.h"

#include <QPainter>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The largest rectangle at the top left of image whose every pixel is opaque,
// found from the first row and column, then checked; as an RGB32 image sharing
// image's pixels, or null when there is none worth copying.
QImage opaqueTopLeft(const QImage &image)
{
    if (image.isNull() || qAlpha(image.pixel(0, 0)) != 255)
        return QImage();
    int right = 0;
    const auto *top = reinterpret_cast<const QRgb *>(image.constScanLine(0));
    while (right < image.width() && qAlpha(top[right]) == 255)
        ++right;
    int bottom = 0;
    while (bottom < image.height() && qAlpha(image.pixel(0, bottom)) == 255)
        ++bottom;
    for (int y = 0; y < bottom; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < right; ++x) {
            if (qAlpha(line[x]) != 255)
                return QImage();
        }
    }
    return QImage(image.constBits(), right, bottom, image.bytesPerLine(), QImage::Format_RGB32);
}

} // namespace

QImage MapRenderer::render(const MapGrid &map, qint32 matrixValue, const QRect &area)
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
    QRgb colourOfCode[256];
    if (map.isCoded()) {
        const std::vector<qint32> &palette = map.palette();
        for (size_t code = 0; code < 256; ++code)
            colourOfCode[code] = code < palette.size() && palette[code] == matrixValue ? white : black;
    }
    std::vector<QRgb> line(size_t(w) + 1);
    for (qsizetype r = 0; r < n; ++r) {
        const qsizetype values = std::min(map.rowLength(r), n);
        if (values == 0)
            continue;
        const quint8 *codes = map.isCoded() ? map.codes(r) : nullptr;
        const qint32 *plain = map.isCoded() ? nullptr : map.values(r);
        auto colour = [&](qsizetype c) {
            return codes ? colourOfCode[codes[c]] : (plain[c] == matrixValue ? white : black);
        };
        // Consecutive cells of a row touch or overlap, so the row paints one
        // unbroken span of pixels; build it once, then copy it to each line.
        int spanBegin = -1;
        int spanEnd = -1;
        for (qsizetype c = 0; c < values; ++c) {
            const int x = int(double(c) * cw + x0) - area.x();
            const int right = std::min(x + cellWidth, w);
            if (spanBegin < 0)
                spanBegin = x;
            std::fill(line.begin() + x, line.begin() + right + 1, colour(c));
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

void MapRenderer::draw(QPainter &painter, const MapGrid &map, qint32 matrixValue, const QRect &area)
{
    const QImage &full = image(map, matrixValue, area);
    if (m_opaquePart.isNull()) {
        painter.drawImage(area.topLeft(), full);
        return;
    }
    // Opaque pixels replace what lies below them, so copying them is the same
    // as blending them; what is left of the image is blended as usual.
    painter.drawImage(area.topLeft(), m_opaquePart);
    const int right = m_opaquePart.width();
    const int bottom = m_opaquePart.height();
    if (right < full.width())
        painter.drawImage(area.topLeft() + QPoint(right, 0), full, QRect(right, 0, full.width() - right, full.height()));
    if (bottom < full.height())
        painter.drawImage(area.topLeft() + QPoint(0, bottom), full, QRect(0, bottom, right, full.height() - bottom));
}

const QImage &MapRenderer::image(const MapGrid &map, qint32 matrixValue, const QRect &area)
{
    if (!m_valid || area != m_area || matrixValue != m_matrixValue) {
        m_image = render(map, matrixValue, area);
        m_opaquePart = opaqueTopLeft(m_image);
        m_area = area;
        m_matrixValue = matrixValue;
        m_valid = true;
    }
    return m_image;
}
