#include "maprenderer.h"

#include <QPainter>

#include <algorithm>
#include <cstring>
#include <utility>
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

// For each of count pixels, the cell under its centre among n: pixel i
// shows cell floor((i + 1/2) * n / count) = floor((2i + 1) n / (2 count)),
// stepped in integers (quotient and remainder) so that nothing overflows and
// nothing is rounded.
std::vector<qsizetype> cellUnderPixels(int count, qsizetype n)
{
    std::vector<qsizetype> cells(size_t(std::max(count, 0)));
    if (count <= 0)
        return cells;
    const qint64 divisor = 2 * qint64(count);
    const qsizetype wholeStep = n / count;      // (2n) / divisor
    const qint64 partStep = 2 * (n % count);    // (2n) % divisor
    qsizetype cell = n / divisor;               // numerator n for pixel 0
    qint64 part = n % divisor;
    for (int i = 0; i < count; ++i) {
        cells[size_t(i)] = cell;
        cell += wholeStep;
        part += partStep;
        if (part >= divisor) {
            part -= divisor;
            ++cell;
        }
    }
    return cells;
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

    // The colour of a cell: opaque white or black, or 0 (transparent, not
    // drawn) for a cell without a value.
    const QRgb white = qRgba(255, 255, 255, 255);
    const QRgb black = qRgba(0, 0, 0, 255);
    QRgb colourOfCode[256];
    if (map.isCoded()) {
        const std::vector<qint32> &palette = map.palette();
        for (size_t code = 0; code < 256; ++code)
            colourOfCode[code] = code < palette.size() && palette[code] == matrixValue ? white : black;
        colourOfCode[MapGrid::MissingCode] = 0;
    }
    auto rowColours = [&](qsizetype r) {
        const quint8 *codes = map.isCoded() ? map.codes(r) : nullptr;
        const qint32 *plain = map.isCoded() ? nullptr : map.values(r);
        const quint8 *missing = map.isCoded() ? nullptr : map.missing(r);
        return [=, &colourOfCode](qsizetype c) -> QRgb {
            if (codes)
                return colourOfCode[codes[c]];
            if (missing && missing[c])
                return 0;
            return plain[c] == matrixValue ? white : black;
        };
    };

    // The same double arithmetic as drawing cell by cell, so that truncation
    // lands on the same pixels.
    const double x0 = area.x();
    const double y0 = area.y();
    const double cw = double(w) / double(n);
    const double ch = double(h) / double(n);
    const int cellWidth = int(cw);
    const int cellHeight = int(ch);

    if (cellWidth < 1 || cellHeight < 1) {
        // Cells smaller than a pixel: each pixel of the area shows the cell
        // under its centre. Consecutive pixel lines often show the same row.
        const std::vector<qsizetype> columnOf = cellUnderPixels(w, n);
        const std::vector<qsizetype> rowOf = cellUnderPixels(h, n);
        for (int j = 0; j < h; ++j) {
            auto *pixels = reinterpret_cast<QRgb *>(image.scanLine(j));
            const qsizetype r = rowOf[size_t(j)];
            if (j > 0 && r == rowOf[size_t(j) - 1]) {
                std::memcpy(pixels, image.constScanLine(j - 1), sizeof(QRgb) * size_t(w));
                continue;
            }
            const qsizetype values = map.rowLength(r);
            const auto colour = rowColours(r);
            for (int i = 0; i < w && columnOf[size_t(i)] < values; ++i)
                pixels[i] = colour(columnOf[size_t(i)]);
        }
        return image;
    }

    std::vector<QRgb> line(size_t(w) + 1);
    std::vector<std::pair<int, int>> spans; // a row's drawn pixels, first and last of each run
    for (qsizetype r = 0; r < n; ++r) {
        const qsizetype values = std::min(map.rowLength(r), n);
        if (values == 0)
            continue;
        const auto colour = rowColours(r);
        // Consecutive cells of a row touch or overlap, so the drawn cells of a
        // row paint unbroken spans of pixels, between the cells without a
        // value; build the row once, then copy the spans to each line. A cell
        // not drawn leaves the pixels below it (and those of the cell before it
        // that it overlaps) as they are.
        spans.clear();
        for (qsizetype c = 0; c < values; ++c) {
            const QRgb rgb = colour(c);
            if (rgb == 0)
                continue;
            const int x = int(double(c) * cw + x0) - area.x();
            const int right = std::min(x + cellWidth, w);
            std::fill(line.begin() + x, line.begin() + right + 1, rgb);
            if (!spans.empty() && spans.back().second + 1 >= x)
                spans.back().second = right;
            else
                spans.emplace_back(x, right);
        }
        const int y = int(double(r) * ch + y0) - area.y();
        const int bottom = std::min(y + cellHeight, h);
        for (int j = y; j <= bottom; ++j) {
            auto *pixels = reinterpret_cast<QRgb *>(image.scanLine(j));
            for (const auto &[first, last] : spans)
                std::memcpy(pixels + first, line.data() + first, sizeof(QRgb) * size_t(last - first + 1));
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
