#include "ppcurveplot.h"

#include "outputfile.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPolygonF>
#include <QSvgGenerator>

#include <algorithm>
#include <functional>
#include <cmath>
#include <limits>
#include <numeric>

namespace {

// Slack for values of a Wilson interval computed in floating point.
constexpr double kTolerance = 1e-9;

// Canvas geometry, in canvas units.
constexpr double kMargin = 14.0;
constexpr double kTickLength = 5.0;
constexpr double kLineWidth = 1.6;
constexpr double kMaxMarkerRadius = 3.5;
constexpr double kMinMarkerRadius = 1.2;
constexpr double kCrossingRadius = 5.0;
constexpr double kSwatchWidth = 30.0;
constexpr double kSwatchGap = 6.0;
constexpr double kLegendPadding = 8.0;
constexpr double kLegendInset = 10.0;
constexpr double kLegendColumnGap = 24.0;

// Axis ranges: the data with this share of the range on either side; x at
// least kMinXRange wide, so that a single share still gets ticks.
constexpr double kAxisMargin = 0.04;
constexpr double kMinXRange = 0.01;

// The decimals a crossing's share is printed with, at least and at most.
constexpr int kMinShareDecimals = 1;
constexpr int kMaxShareDecimals = 6;

constexpr int kTitleLines = 2;
constexpr double kPngDotsPerInch = 200.0;
constexpr double kSvgUnitsPerInch = 100.0;

const QColor kAxisColour(0x33, 0x33, 0x33);
const QColor kGridColour(0xe3, 0xe3, 0xe3);
const QColor kReferenceColour(0x55, 0x55, 0x55);
const QColor kLegendFrameColour(0xb8, 0xb8, 0xb8);
const QColor kNoteColour(0x50, 0x50, 0x50);

// Okabe & Ito's colour-blind-safe palette, without its yellow (too faint on
// white), the colours that stay apart best first.
const QRgb kPalette[PPCurvePlot::maxCurves] = {0x0072B2, 0xD55E00, 0x009E73, 0xCC79A7,
                                               0xE69F00, 0x56B4E9, 0x000000};

QFont plotFont(int pixelSize)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    // Unhinted glyphs scale linearly, so the PNG at twice the size and the SVG
    // have the layout that was measured.
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

QFont titleFont() { return plotFont(15); }
QFont labelFont() { return plotFont(13); }
QFont tickFont() { return plotFont(12); }
QFont legendFont() { return plotFont(12); }

// The text with control characters and noncharacters (which XML cannot
// hold, and which have no glyph) turned into blanks.
QString printable(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        if (c.category() == QChar::Other_Control || c.isNonCharacter())
            c = QLatin1Char(' ');
    }
    return out;
}

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

struct Ticks
{
    QList<double> values;
    int decimals = 0;
};

// A step of 1, 2, 2.5 or 5 times a power of ten giving about `target` ticks.
double niceStep(double range, int target)
{
    const double raw = range / target;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 2.5, 5.0}) {
        if (m * magnitude >= raw * (1.0 - 1e-9))
            return m * magnitude;
    }
    return 10.0 * magnitude;
}

// Widens [lo, hi] to the shares of curves' points.
void widenToShares(const QList<PPCurve> &curves, double &lo, double &hi)
{
    for (const PPCurve &curve : curves) {
        for (const PPCurvePoint &point : curve.points) {
            lo = std::min(lo, point.share);
            hi = std::max(hi, point.share);
        }
    }
}

// The shares' axis for data from lo to hi: kAxisMargin of their range on
// either side, at least kMinXRange wide.
void shareAxis(double lo, double hi, double &xMin, double &xMax)
{
    xMin = lo - kAxisMargin * (hi - lo);
    xMax = hi + kAxisMargin * (hi - lo);
    if (xMax - xMin < kMinXRange) {
        const double centre = (lo + hi) / 2.0;
        xMin = centre - kMinXRange / 2.0;
        xMax = centre + kMinXRange / 2.0;
    }
}

Ticks makeTicks(double lo, double hi, double step)
{
    Ticks ticks;
    const double first = std::ceil(lo / step - 1e-9);
    const double last = std::floor(hi / step + 1e-9);
    for (double i = first; i <= last; ++i)
        ticks.values << i * step;
    // As many decimals as the step needs (2.5e-3 needs 4).
    while (ticks.decimals < 15) {
        const double scaled = step * std::pow(10.0, ticks.decimals);
        if (std::abs(scaled - std::round(scaled)) < 1e-6 * scaled)
            break;
        ++ticks.decimals;
    }
    return ticks;
}

QString formatTick(double value, int decimals)
{
    QString text = QString::number(value, 'f', decimals);
    if (text.startsWith(QLatin1Char('-')) && QString(text).remove(QLatin1Char('0')) == QLatin1String("-."))
        text.remove(0, 1); // "-0.00" of a tick at zero
    if (text == QLatin1String("-0"))
        text = QStringLiteral("0");
    return text;
}

// The title on at most kTitleLines lines, broken at blanks, the last holding
// the rest; lines too wide are elided.
QStringList wrapTitle(const QString &title, const QFontMetricsF &metrics, double width)
{
    const QStringList words = title.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QStringList lines;
    QString line;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString candidate = line.isEmpty() ? words[i] : line + QLatin1Char(' ') + words[i];
        if (line.isEmpty() || metrics.horizontalAdvance(candidate) <= width) {
            line = candidate;
            continue;
        }
        lines << line;
        if (lines.size() == kTitleLines - 1) {
            line = words.mid(i).join(QLatin1Char(' '));
            break;
        }
        line = words[i];
    }
    if (!line.isEmpty())
        lines << line;
    for (QString &l : lines)
        l = metrics.elidedText(l, Qt::ElideRight, width);
    return lines;
}

// A filled marker of one of maxCurves shapes, of about the area of a circle
// of this radius.
QPainterPath markerPath(int shape, QPointF c, double r)
{
    QPainterPath path;
    const double x = c.x(), y = c.y();
    switch (shape % PPCurvePlot::maxCurves) {
    case 0:
        path.addEllipse(c, r, r);
        break;
    case 1:
        path.addRect(QRectF(x - 0.9 * r, y - 0.9 * r, 1.8 * r, 1.8 * r));
        break;
    case 2:
        path.addPolygon(QPolygonF{{x, y - 1.3 * r}, {x + 1.15 * r, y + 0.7 * r}, {x - 1.15 * r, y + 0.7 * r}});
        break;
    case 3:
        path.addPolygon(QPolygonF{{x, y - 1.25 * r}, {x + 1.25 * r, y}, {x, y + 1.25 * r}, {x - 1.25 * r, y}});
        break;
    case 4:
        path.addPolygon(QPolygonF{{x, y + 1.3 * r}, {x + 1.15 * r, y - 0.7 * r}, {x - 1.15 * r, y - 0.7 * r}});
        break;
    default: {
        // A plus (shape 5) or, turned by 45 degrees, a cross (shape 6).
        const double a = 1.3 * r, b = 0.45 * r;
        QPolygonF plus{{-b, -a}, {b, -a}, {b, -b}, {a, -b}, {a, b}, {b, b},
                       {b, a}, {-b, a}, {-b, b}, {-a, b}, {-a, -b}, {-b, -b}};
        QTransform transform;
        transform.translate(x, y);
        if (shape % PPCurvePlot::maxCurves == 6)
            transform.rotate(45);
        path.addPolygon(transform.map(plus));
        break;
    }
    }
    path.closeSubpath();
    return path;
}

Qt::PenStyle lineStyle(int style)
{
    return style == 1 ? Qt::DashLine : style == 2 ? Qt::DotLine : Qt::SolidLine;
}

// A curve as it is drawn, in canvas units.
struct CurveShape
{
    QColor colour;
    int marker = 0;
    Qt::PenStyle style = Qt::SolidLine;
    QPolygonF line;
    QPolygonF band; // for two points or more
    QRectF bar;     // the interval of a curve of one point
    double markerRadius = kMaxMarkerRadius;
    std::optional<double> crossing;
    QPointF crossingPoint;
};

QList<CurveShape> makeShapes(const PPCurvePlot::Axes &axes, const QList<PPCurve> &curves, double level)
{
    QList<CurveShape> shapes;
    for (qsizetype i = 0; i < curves.size(); ++i) {
        const QList<PPCurvePoint> &points = curves[i].points;
        CurveShape shape;
        shape.marker = curves[i].colour >= 0 ? curves[i].colour : int(i);
        shape.colour = PPCurvePlot::colour(shape.marker);
        shape.style = lineStyle(curves[i].lineStyle);
        QPolygonF lows, highs;
        for (const PPCurvePoint &point : points) {
            shape.line << axes.toCanvas(point.share, clamp01(point.pp));
            lows << axes.toCanvas(point.share, clamp01(point.low));
            highs << axes.toCanvas(point.share, clamp01(point.high));
        }
        if (points.size() >= 2) {
            shape.band = lows;
            for (qsizetype k = highs.size() - 1; k >= 0; --k)
                shape.band << highs[k];
            const double spacing = (shape.line.last().x() - shape.line.first().x()) / double(points.size() - 1);
            shape.markerRadius = std::clamp(0.3 * spacing, kMinMarkerRadius, kMaxMarkerRadius);
        } else {
            const double halfWidth = kMaxMarkerRadius + 2.0;
            shape.bar = QRectF(QPointF(lows[0].x() - halfWidth, highs[0].y()),
                               QPointF(lows[0].x() + halfWidth, lows[0].y()));
        }
        shape.crossing = PPCurvePlot::crossing(curves[i], level);
        if (shape.crossing)
            shape.crossingPoint = axes.toCanvas(*shape.crossing, level);
        shapes << shape;
    }
    return shapes;
}

// What a legend inside the plot area must not cover.
QList<QPainterPath> occupiedAreas(const PPCurvePlot::Axes &axes, const QList<CurveShape> &shapes, double level)
{
    QList<QPainterPath> areas;
    QPainterPathStroker stroker;
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    for (const CurveShape &shape : shapes) {
        QPainterPath band;
        band.setFillRule(Qt::WindingFill);
        if (shape.band.isEmpty())
            band.addRect(shape.bar);
        else
            band.addPolygon(shape.band);
        band.closeSubpath();
        areas << band;

        QPainterPath line;
        line.addPolygon(shape.line);
        stroker.setWidth(2.0 * shape.markerRadius + 4.0);
        areas << stroker.createStroke(line);
        QPainterPath markers;
        for (const QPointF &point : shape.line)
            markers.addEllipse(point, shape.markerRadius + 2.0, shape.markerRadius + 2.0);
        areas << markers;

        if (shape.crossing) {
            QPainterPath crossing;
            crossing.addEllipse(shape.crossingPoint, kCrossingRadius + 2.0, kCrossingRadius + 2.0);
            crossing.addRect(QRectF(QPointF(shape.crossingPoint.x() - 2.0, shape.crossingPoint.y()),
                                    QPointF(shape.crossingPoint.x() + 2.0, axes.area.bottom())));
            areas << crossing;
        }
    }
    QPainterPath reference;
    const double y = axes.toCanvas(0.0, level).y();
    reference.addRect(QRectF(axes.area.left(), y - 2.0, axes.area.width(), 4.0));
    areas << reference;
    return areas;
}

struct Layout
{
    PPCurvePlot::Axes axes;
    double level = 0.5;
    QList<CurveShape> shapes;
    QList<qsizetype> legendOrder; // the shapes' indices, in the legend's order
    QStringList titleLines;
    Ticks xTicks;
    Ticks yTicks;
    QStringList legendTexts;
    QStringList legendNotes;
    bool legendInside = false;
    int legendColumns = 1;
    double legendColumnWidth = 0.0;
    double legendRowHeight = 0.0;
};

// A crossing of a level, and the step of the shares it lies between (0 for
// a curve of one point).
struct CrossingAt
{
    double share = 0.0;
    double step = 0.0;
};

std::optional<CrossingAt> findCrossing(const PPCurve &curve, double level)
{
    const QList<PPCurvePoint> &points = curve.points;
    for (qsizetype i = 0; i < points.size(); ++i) {
        const PPCurvePoint &b = points[i];
        if (b.pp == level) {
            // On a point: the finer of the steps to its neighbours.
            double step = std::numeric_limits<double>::infinity();
            if (i > 0)
                step = std::abs(b.share - points[i - 1].share);
            if (i + 1 < points.size())
                step = std::min(step, std::abs(points[i + 1].share - b.share));
            return CrossingAt{b.share, std::isinf(step) ? 0.0 : step};
        }
        if (i == 0)
            continue;
        const PPCurvePoint &a = points[i - 1];
        if ((a.pp < level && b.pp > level) || (a.pp > level && b.pp < level))
            return CrossingAt{a.share + (level - a.pp) / (b.pp - a.pp) * (b.share - a.share), std::abs(b.share - a.share)};
    }
    return std::nullopt;
}

// The decimals that write value exactly (to a millionth of it), within
// kMinShareDecimals..kMaxShareDecimals; for a value that needs more (1/199),
// those down to its first significant digit.
int decimalsOf(double value)
{
    value = std::abs(value);
    if (!(value > 0.0) || !std::isfinite(value))
        return kMinShareDecimals;
    for (int decimals = 0; decimals <= kMaxShareDecimals; ++decimals) {
        const double scaled = value * std::pow(10.0, decimals);
        if (std::abs(scaled - std::round(scaled)) < 1e-6 * scaled)
            return std::max(decimals, kMinShareDecimals);
    }
    return std::clamp(int(std::ceil(-std::log10(value))), kMinShareDecimals, kMaxShareDecimals);
}

// A level as the legend prints it: 0.5, 0.68.
QString levelText(double level) { return QString::number(level, 'g', 2); }

// What the legend says after a curve's name: its crossing, with the decimals
// of the step it was read on (of its share, for a curve of one point).
QString crossingText(const PPCurve &curve, double level)
{
    const std::optional<CrossingAt> at = findCrossing(curve, level);
    if (!at)
        return QStringLiteral(": no crossing in range");
    const int decimals = decimalsOf(at->step > 0.0 ? at->step : at->share);
    return QStringLiteral(": PP = %1 at p = %2").arg(levelText(level), QString::number(at->share, 'f', decimals));
}

// The legend text of a curve, its name elided so that the text fits in width.
QString legendText(const PPCurve &curve, double level, const QFontMetricsF &metrics, double width)
{
    const QString rest = crossingText(curve, level);
    const double room = std::max(width - metrics.horizontalAdvance(rest), 0.0);
    return metrics.elidedText(printable(curve.name), Qt::ElideRight, room) + rest;
}

// The curves' indices in the legend's order: by line style, then by colour
// (a curve without one has that of its place), alike in both as given.
QList<qsizetype> legendOrder(const QList<PPCurve> &curves)
{
    QList<qsizetype> order(curves.size());
    std::iota(order.begin(), order.end(), qsizetype(0));
    const auto key = [&curves](qsizetype i) {
        return std::make_pair(curves[i].lineStyle, curves[i].colour >= 0 ? qsizetype(curves[i].colour) : i);
    };
    std::stable_sort(order.begin(), order.end(), [&key](qsizetype a, qsizetype b) { return key(a) < key(b); });
    return order;
}

Layout makeLayout(const QString &title, const QList<PPCurve> &curves, const PPCurvePlot::Level &level)
{
    const double width = PPCurvePlot::canvasWidth;
    const double height = PPCurvePlot::canvasHeight;
    const QFontMetricsF titleMetrics(titleFont());
    const QFontMetricsF labelMetrics(labelFont());
    const QFontMetricsF tickMetrics(tickFont());
    const QFontMetricsF legendMetrics(legendFont());

    Layout layout;
    layout.level = level.pp;
    double top = kMargin;
    layout.titleLines = wrapTitle(printable(title), titleMetrics, width - 2.0 * kMargin);
    if (!layout.titleLines.isEmpty())
        top += layout.titleLines.size() * titleMetrics.lineSpacing() + 8.0;
    top = std::ceil(top + tickMetrics.height() / 2.0); // the top y label is centred on the area's edge

    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    widenToShares(curves, lo, hi);
    double xMin;
    double xMax;
    shareAxis(lo, hi, xMin, xMax);
    layout.xTicks = makeTicks(xMin, xMax, niceStep(xMax - xMin, 6));
    layout.yTicks = makeTicks(0.0, 1.0, 0.25);

    double yTickWidth = 0.0;
    for (double tick : layout.yTicks.values)
        yTickWidth = std::max(yTickWidth, tickMetrics.horizontalAdvance(formatTick(tick, layout.yTicks.decimals)));
    const double left = std::ceil(kMargin + labelMetrics.height() + 8.0 + yTickWidth + 4.0 + kTickLength);
    const double right = width - kMargin - 12.0;
    const double belowArea = kTickLength + 4.0 + tickMetrics.height() + 6.0 + labelMetrics.height();
    const double bottom = std::floor(height - kMargin - belowArea);

    const double textRoom = width - 2.0 * (kMargin + kLegendPadding) - kSwatchWidth - kSwatchGap;
    double entryWidth = 0.0;
    layout.legendOrder = legendOrder(curves);
    for (const qsizetype i : layout.legendOrder) {
        layout.legendTexts << legendText(curves[i], level.pp, legendMetrics, textRoom);
        entryWidth = std::max(entryWidth, kSwatchWidth + kSwatchGap + legendMetrics.horizontalAdvance(layout.legendTexts.last()));
    }
    QString circles = QStringLiteral("open circle: PP = %1 crossing").arg(levelText(level.pp));
    if (!level.basis.isEmpty())
        circles += QStringLiteral(" (%1)").arg(printable(level.basis));
    layout.legendNotes << QStringLiteral("shaded: 95 % Wilson interval") << circles;
    double noteWidth = 0.0;
    for (const QString &note : layout.legendNotes)
        noteWidth = std::max(noteWidth, legendMetrics.horizontalAdvance(note));
    layout.legendRowHeight = std::ceil(std::max(legendMetrics.lineSpacing(), 2.0 * kCrossingRadius) + 3.0);
    const double rows = curves.size() + layout.legendNotes.size();

    // Inside the area, in the first free corner.
    layout.axes = PPCurvePlot::Axes{QRectF(QPointF(left, top), QPointF(right, bottom)), QRectF(), xMin, xMax,
                                    -kAxisMargin, 1.0 + kAxisMargin};
    layout.shapes = makeShapes(layout.axes, curves, level.pp);
    const QSizeF box(std::ceil(2.0 * kLegendPadding + std::max(entryWidth, noteWidth)),
                     std::ceil(2.0 * kLegendPadding + rows * layout.legendRowHeight));
    const QRectF &area = layout.axes.area;
    if (box.width() <= 0.7 * area.width() && box.height() <= 0.7 * area.height()) {
        const QRectF inner = area.adjusted(kLegendInset, kLegendInset, -kLegendInset, -kLegendInset);
        const QRectF corners[] = {
                QRectF(inner.topLeft(), box),
                QRectF(QPointF(inner.right() - box.width(), inner.bottom() - box.height()), box),
                QRectF(QPointF(inner.right() - box.width(), inner.top()), box),
                QRectF(QPointF(inner.left(), inner.bottom() - box.height()), box),
        };
        const QList<QPainterPath> occupied = occupiedAreas(layout.axes, layout.shapes, level.pp);
        for (const QRectF &corner : corners) {
            const QRectF clearance = corner.adjusted(-3.0, -3.0, 3.0, 3.0);
            if (std::none_of(occupied.begin(), occupied.end(),
                             [&](const QPainterPath &path) { return path.intersects(clearance); })) {
                layout.legendInside = true;
                layout.axes.legend = corner;
                layout.legendColumnWidth = box.width() - 2.0 * kLegendPadding;
                return layout;
            }
        }
    }

    // Below the x axis label, in columns, the notes on one line when it fits;
    // the area gives up the room.
    const QString notes = layout.legendNotes.join(QStringLiteral("; "));
    if (legendMetrics.horizontalAdvance(notes) <= width - 2.0 * kMargin) {
        layout.legendNotes = QStringList{notes};
        noteWidth = legendMetrics.horizontalAdvance(notes);
    }
    layout.legendColumnWidth = std::max(entryWidth, 1.0);
    const double columnRoom = width - 2.0 * kMargin + kLegendColumnGap;
    layout.legendColumns = int(std::clamp<qsizetype>(qsizetype(columnRoom / (entryWidth + kLegendColumnGap)), 1, curves.size()));
    const qsizetype entryRows = (curves.size() + layout.legendColumns - 1) / layout.legendColumns;
    const double blockHeight = (entryRows + layout.legendNotes.size()) * layout.legendRowHeight;
    const double blockWidth = std::max(layout.legendColumns * (entryWidth + kLegendColumnGap) - kLegendColumnGap, noteWidth);
    layout.axes.area.setBottom(std::floor(bottom - blockHeight - 8.0));
    layout.shapes = makeShapes(layout.axes, curves, level.pp);
    const double blockLeft = std::clamp(layout.axes.area.center().x() - blockWidth / 2.0, kMargin,
                                        std::max(kMargin, width - kMargin - blockWidth));
    layout.axes.legend = QRectF(std::round(blockLeft), height - kMargin - blockHeight, blockWidth, blockHeight);
    return layout;
}

void drawLegendEntry(QPainter &painter, const CurveShape &shape, const QString &text, QPointF topLeft,
                     double rowHeight)
{
    const double centreY = topLeft.y() + rowHeight / 2.0;
    const QRectF swatch(topLeft.x(), centreY - 5.0, kSwatchWidth, 10.0);
    QColor band = shape.colour;
    band.setAlphaF(PPCurvePlot::bandAlpha);
    painter.setPen(Qt::NoPen);
    painter.setBrush(band);
    painter.drawRect(swatch);
    painter.setPen(QPen(shape.colour, kLineWidth, shape.style, Qt::FlatCap));
    painter.drawLine(QPointF(swatch.left(), centreY), QPointF(swatch.right(), centreY));
    painter.setPen(QPen(Qt::white, 0.6));
    painter.setBrush(shape.colour);
    painter.drawPath(markerPath(shape.marker, QPointF(swatch.center().x(), centreY), kMaxMarkerRadius));
    painter.setPen(Qt::black);
    painter.drawText(QRectF(swatch.right() + kSwatchGap, topLeft.y(), 10000.0, rowHeight),
                     Qt::AlignLeft | Qt::AlignVCenter, text);
}

void paintPlot(QPainter &painter, const Layout &layout)
{
    const PPCurvePlot::Axes &axes = layout.axes;
    const QRectF &area = axes.area;
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.fillRect(QRectF(0, 0, PPCurvePlot::canvasWidth, PPCurvePlot::canvasHeight), Qt::white);

    painter.setPen(QPen(kGridColour, 0.8));
    for (double tick : layout.xTicks.values) {
        const double x = axes.toCanvas(tick, 0.0).x();
        painter.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
    }
    for (double tick : layout.yTicks.values) {
        const double y = axes.toCanvas(0.0, tick).y();
        painter.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
    }

    painter.setPen(Qt::NoPen);
    for (const CurveShape &shape : layout.shapes) {
        QColor band = shape.colour;
        band.setAlphaF(PPCurvePlot::bandAlpha);
        painter.setBrush(band);
        if (shape.band.isEmpty())
            painter.drawRect(shape.bar);
        else
            painter.drawPolygon(shape.band);
    }

    QPen reference(kReferenceColour, 1.0, Qt::CustomDashLine, Qt::FlatCap);
    reference.setDashPattern({6.0, 4.0});
    painter.setPen(reference);
    const double levelY = axes.toCanvas(0.0, layout.level).y();
    painter.drawLine(QPointF(area.left(), levelY), QPointF(area.right(), levelY));

    for (const CurveShape &shape : layout.shapes) {
        if (!shape.crossing)
            continue;
        painter.setPen(QPen(shape.colour, 1.0, Qt::SolidLine, Qt::FlatCap));
        painter.drawLine(shape.crossingPoint, QPointF(shape.crossingPoint.x(), area.bottom()));
    }

    painter.setBrush(Qt::NoBrush);
    for (const CurveShape &shape : layout.shapes) {
        painter.setPen(QPen(shape.colour, kLineWidth, shape.style, shape.style == Qt::SolidLine ? Qt::RoundCap : Qt::FlatCap,
                            Qt::RoundJoin));
        if (shape.line.size() >= 2)
            painter.drawPolyline(shape.line);
    }
    for (qsizetype i = 0; i < layout.shapes.size(); ++i) {
        const CurveShape &shape = layout.shapes[i];
        // A white rim keeps markers apart where they overlap; small ones go without.
        painter.setPen(shape.markerRadius >= 2.5 ? QPen(Qt::white, 0.6) : QPen(Qt::NoPen));
        painter.setBrush(shape.colour);
        for (const QPointF &point : shape.line)
            painter.drawPath(markerPath(shape.marker, point, shape.markerRadius));
    }
    painter.setBrush(Qt::white);
    for (const CurveShape &shape : layout.shapes) {
        if (!shape.crossing)
            continue;
        painter.setPen(QPen(shape.colour, kLineWidth));
        painter.drawEllipse(shape.crossingPoint, kCrossingRadius, kCrossingRadius);
    }

    // Axes: the frame, ticks outward, their labels.
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(kAxisColour, 1.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    painter.drawRect(area);
    const QFontMetricsF tickMetrics(tickFont());
    painter.setFont(tickFont());
    for (double tick : layout.xTicks.values) {
        const double x = axes.toCanvas(tick, 0.0).x();
        painter.setPen(QPen(kAxisColour, 1.0));
        painter.drawLine(QPointF(x, area.bottom()), QPointF(x, area.bottom() + kTickLength));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(x - 100.0, area.bottom() + kTickLength + 4.0, 200.0, tickMetrics.height()),
                         Qt::AlignHCenter | Qt::AlignTop, formatTick(tick, layout.xTicks.decimals));
    }
    for (double tick : layout.yTicks.values) {
        const double y = axes.toCanvas(0.0, tick).y();
        painter.setPen(QPen(kAxisColour, 1.0));
        painter.drawLine(QPointF(area.left() - kTickLength, y), QPointF(area.left(), y));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(area.left() - kTickLength - 4.0 - 200.0, y - tickMetrics.height() / 2.0, 200.0,
                                tickMetrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, formatTick(tick, layout.yTicks.decimals));
    }

    const QFontMetricsF labelMetrics(labelFont());
    painter.setFont(labelFont());
    painter.drawText(QRectF(area.left(), area.bottom() + kTickLength + 4.0 + tickMetrics.height() + 6.0,
                            area.width(), labelMetrics.height()),
                     Qt::AlignHCenter | Qt::AlignTop, QStringLiteral("habitat share p"));
    painter.save();
    painter.translate(kMargin, area.center().y());
    painter.rotate(-90.0);
    painter.drawText(QRectF(-area.height(), 0.0, 2.0 * area.height(), labelMetrics.height()),
                     Qt::AlignHCenter | Qt::AlignTop, QStringLiteral("percolation probability PP"));
    painter.restore();

    const QFontMetricsF titleMetrics(titleFont());
    painter.setFont(titleFont());
    for (qsizetype i = 0; i < layout.titleLines.size(); ++i) {
        painter.drawText(QRectF(kMargin, kMargin + i * titleMetrics.lineSpacing(),
                                PPCurvePlot::canvasWidth - 2.0 * kMargin, titleMetrics.lineSpacing()),
                         Qt::AlignHCenter | Qt::AlignTop, layout.titleLines[i]);
    }

    painter.setFont(legendFont());
    const double row = layout.legendRowHeight;
    QPointF origin = layout.axes.legend.topLeft();
    if (layout.legendInside) {
        painter.setPen(QPen(kLegendFrameColour, 0.8));
        painter.setBrush(Qt::white);
        painter.drawRect(layout.axes.legend);
        origin += QPointF(kLegendPadding, kLegendPadding);
    }
    const int columns = layout.legendInside ? 1 : layout.legendColumns;
    for (qsizetype i = 0; i < layout.legendOrder.size(); ++i) {
        const QPointF at = origin + QPointF((i % columns) * (layout.legendColumnWidth + kLegendColumnGap),
                                            double(i / columns) * row);
        drawLegendEntry(painter, layout.shapes[layout.legendOrder[i]], layout.legendTexts[i], at, row);
    }
    const qsizetype entryRows = (layout.shapes.size() + columns - 1) / columns;
    painter.setPen(kNoteColour);
    for (qsizetype i = 0; i < layout.legendNotes.size(); ++i) {
        const double y = origin.y() + double(entryRows + i) * row;
        if (layout.legendInside) {
            painter.drawText(QRectF(origin.x(), y, 10000.0, row), Qt::AlignLeft | Qt::AlignVCenter,
                             layout.legendNotes[i]);
        } else {
            painter.drawText(QRectF(layout.axes.legend.left(), y, layout.axes.legend.width(), row),
                             Qt::AlignHCenter | Qt::AlignVCenter, layout.legendNotes[i]);
        }
    }
}

QByteArray pngBytes(const std::function<void(QPainter &)> &paint, const QString &title)
{
    QImage image(PPCurvePlot::canvasWidth * PPCurvePlot::pngScale, PPCurvePlot::canvasHeight * PPCurvePlot::pngScale,
                 QImage::Format_RGB32);
    image.setDevicePixelRatio(PPCurvePlot::pngScale);
    const int dotsPerMeter = qRound(kPngDotsPerInch / 0.0254);
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
    if (!title.isEmpty())
        image.setText(QStringLiteral("Title"), printable(title));
    image.setText(QStringLiteral("Software"), QStringLiteral("Vantrix"));
    QPainter painter(&image);
    paint(painter);
    painter.end();

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!QImageWriter(&buffer, "png").write(image))
        return QByteArray();
    return buffer.data();
}

QByteArray svgBytes(const std::function<void(QPainter &)> &paint, const QString &title, const QString &what,
                    const QList<PPCurve> &curves)
{
    QStringList names;
    for (const PPCurve &curve : curves)
        names << printable(curve.name);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QSvgGenerator generator;
    generator.setOutputDevice(&buffer);
    generator.setSize(QSize(PPCurvePlot::canvasWidth, PPCurvePlot::canvasHeight));
    generator.setViewBox(QRect(0, 0, PPCurvePlot::canvasWidth, PPCurvePlot::canvasHeight));
    generator.setResolution(int(kSvgUnitsPerInch));
    // QSvgGenerator writes both as they are, so they are escaped here.
    generator.setTitle(printable(title).toHtmlEscaped());
    generator.setDescription((what + names.join(QStringLiteral(", "))).toHtmlEscaped());
    QPainter painter;
    if (!painter.begin(&generator))
        return QByteArray();
    paint(painter);
    painter.end();
    return buffer.data();
}

bool fail(QString *errorString, const QString &reason)
{
    if (errorString)
        *errorString = reason;
    return false;
}

// The curves' checks: of PP curves (values within 0..1) or of other measures
// (values at least 0).
bool checkCurves(const QList<PPCurve> &curves, bool unitRange, QString *errorString)
{
    if (curves.isEmpty())
        return fail(errorString, QStringLiteral("no curves to plot"));
    const bool styled = std::any_of(curves.begin(), curves.end(), [](const PPCurve &c) { return c.colour >= 0; });
    const int most = styled ? PPCurvePlot::maxStyledCurves : PPCurvePlot::maxCurves;
    if (curves.size() > most)
        return fail(errorString, QStringLiteral("%1 curves: a plot tells at most %2 apart").arg(curves.size()).arg(most));
    QList<QPair<int, int>> styles;
    for (qsizetype c = 0; c < curves.size(); ++c) {
        const PPCurve &curve = curves[c];
        if (curve.name.trimmed().isEmpty())
            return fail(errorString, QStringLiteral("curve %1 has no name").arg(c + 1));
        const QString name = QLatin1Char('"') + curve.name + QLatin1Char('"');
        const int colour = curve.colour >= 0 ? curve.colour : int(c);
        if (colour >= PPCurvePlot::maxCurves || curve.lineStyle < 0 || curve.lineStyle >= PPCurvePlot::lineStyles)
            return fail(errorString, QStringLiteral("curve %1: colour %2 or line style %3 out of range (%4 colours, %5 "
                                                    "line styles)")
                                             .arg(name).arg(colour).arg(curve.lineStyle).arg(PPCurvePlot::maxCurves)
                                             .arg(PPCurvePlot::lineStyles));
        if (styles.contains(qMakePair(colour, curve.lineStyle)))
            return fail(errorString, QStringLiteral("curve %1 has the colour and line style of another").arg(name));
        styles << qMakePair(colour, curve.lineStyle);
        if (curve.points.isEmpty())
            return fail(errorString, QStringLiteral("curve %1 has no points").arg(name));
        for (qsizetype i = 0; i < curve.points.size(); ++i) {
            const PPCurvePoint &p = curve.points[i];
            const QString where = QStringLiteral("curve %1, point %2: ").arg(name).arg(i + 1);
            const std::pair<const char *, double> values[] = {{"share", p.share}, {"pp", p.pp}, {"low", p.low}, {"high", p.high}};
            for (const auto &[label, value] : values) {
                if (!std::isfinite(value))
                    return fail(errorString, where + QStringLiteral("%1 is %2").arg(QLatin1String(label), QString::number(value)));
            }
            if (p.share < 0.0 || p.share > 1.0)
                return fail(errorString, where + QStringLiteral("share %1 is outside 0..1").arg(p.share));
            if (i > 0 && !(p.share > curve.points[i - 1].share))
                return fail(errorString, where + QStringLiteral("share %1 does not ascend from %2 (shares must ascend strictly; "
                                                                "two points at one share are refused)")
                                                         .arg(p.share).arg(curve.points[i - 1].share));
            const double top = unitRange ? 1.0 + kTolerance : std::numeric_limits<double>::max();
            if (p.low < -kTolerance || p.high > top || p.low > p.pp + kTolerance || p.pp > p.high + kTolerance)
                return fail(errorString, where + QStringLiteral("not 0 <= low <= pp <= high%1 (low %2, pp %3, high %4)")
                                                         .arg(unitRange ? QStringLiteral(" <= 1") : QString())
                                                         .arg(p.low).arg(p.pp).arg(p.high));
        }
    }
    return true;
}

// Panels side by side: each a plot area with its own y axis.
struct PanelLayout
{
    QStringList titleLines;
    QList<PPCurvePlot::Axes> axes;
    QList<QList<CurveShape>> shapes;
    QList<Ticks> xTicks;
    QList<Ticks> yTicks;
    QStringList labels;
    QStringList legendTexts;
    QList<CurveShape> legendShapes;
    int legendColumns = 1;
    double legendColumnWidth = 0.0;
    double legendRowHeight = 0.0;
    double legendTop = 0.0;
    double legendLeft = 0.0;
    QString note;
};

PanelLayout makePanelLayout(const QString &title, const QList<PPCurvePlot::Panel> &panels)
{
    const double width = PPCurvePlot::canvasWidth;
    const double height = PPCurvePlot::canvasHeight;
    const QFontMetricsF titleMetrics(titleFont());
    const QFontMetricsF labelMetrics(labelFont());
    const QFontMetricsF tickMetrics(tickFont());
    const QFontMetricsF legendMetrics(legendFont());
    PanelLayout layout;
    double top = kMargin;
    layout.titleLines = wrapTitle(printable(title), titleMetrics, width - 2.0 * kMargin);
    if (!layout.titleLines.isEmpty())
        top += layout.titleLines.size() * titleMetrics.lineSpacing() + 8.0;
    top = std::ceil(top + tickMetrics.height() / 2.0);

    // The legend below everything, in as many columns as fit.
    const QList<PPCurve> &named = panels.first().curves;
    const QList<qsizetype> order = legendOrder(named);
    double entryWidth = 0.0;
    for (const qsizetype i : order) {
        layout.legendTexts << legendMetrics.elidedText(printable(named[i].name), Qt::ElideRight, width / 2.0);
        entryWidth = std::max(entryWidth, kSwatchWidth + kSwatchGap + legendMetrics.horizontalAdvance(layout.legendTexts.last()));
    }
    layout.note = QStringLiteral("shaded: mean \u00b1 1.96 standard errors");
    layout.legendRowHeight = std::ceil(legendMetrics.lineSpacing() + 3.0);
    layout.legendColumnWidth = entryWidth;
    layout.legendColumns = int(std::clamp<qsizetype>(
            qsizetype((width - 2.0 * kMargin + kLegendColumnGap) / (entryWidth + kLegendColumnGap)), 1, named.size()));
    const qsizetype entryRows = (named.size() + layout.legendColumns - 1) / layout.legendColumns;
    const double blockHeight = double(entryRows + 1) * layout.legendRowHeight;
    const double blockWidth = layout.legendColumns * (entryWidth + kLegendColumnGap) - kLegendColumnGap;
    layout.legendTop = height - kMargin - blockHeight;
    layout.legendLeft = std::round(std::max(kMargin, (width - blockWidth) / 2.0));
    const double belowArea = kTickLength + 4.0 + tickMetrics.height() + 6.0 + labelMetrics.height();
    const double bottom = std::floor(layout.legendTop - 8.0 - belowArea);

    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    for (const PPCurvePlot::Panel &panel : panels)
        widenToShares(panel.curves, lo, hi);
    double xMin;
    double xMax;
    shareAxis(lo, hi, xMin, xMax);
    const double gap = 24.0;
    const double slot = (width - 2.0 * kMargin - gap * double(panels.size() - 1)) / double(panels.size());
    for (qsizetype i = 0; i < panels.size(); ++i) {
        double highest = 0.0;
        for (const PPCurve &curve : panels[i].curves) {
            for (const PPCurvePoint &point : curve.points)
                highest = std::max(highest, point.high);
        }
        if (highest <= 0.0)
            highest = 1.0;
        const Ticks yTicks = makeTicks(0.0, highest, niceStep(highest, 5));
        double yTickWidth = 0.0;
        for (double tick : yTicks.values)
            yTickWidth = std::max(yTickWidth, tickMetrics.horizontalAdvance(formatTick(tick, yTicks.decimals)));
        const double slotLeft = kMargin + double(i) * (slot + gap);
        const double left = std::ceil(slotLeft + labelMetrics.height() + 8.0 + yTickWidth + 4.0 + kTickLength);
        const double right = std::floor(slotLeft + slot - 6.0);
        PPCurvePlot::Axes axes{QRectF(QPointF(left, top), QPointF(right, bottom)), QRectF(), xMin, xMax,
                               -kAxisMargin * highest, highest * (1.0 + kAxisMargin)};
        layout.axes << axes;
        layout.xTicks << makeTicks(xMin, xMax, niceStep(xMax - xMin, 4));
        layout.yTicks << yTicks;
        layout.labels << printable(panels[i].label);
        // Drawn as PP curves are, but with values beyond 1 kept.
        QList<CurveShape> shapes = makeShapes(axes, panels[i].curves, 0.5);
        for (qsizetype c = 0; c < shapes.size(); ++c) {
            const QList<PPCurvePoint> &points = panels[i].curves[c].points;
            CurveShape &shape = shapes[c];
            shape.crossing.reset();
            shape.line.clear();
            QPolygonF lows, highs;
            for (const PPCurvePoint &point : points) {
                shape.line << axes.toCanvas(point.share, point.pp);
                lows << axes.toCanvas(point.share, point.low);
                highs << axes.toCanvas(point.share, point.high);
            }
            if (points.size() >= 2) {
                shape.band = lows;
                for (qsizetype k = highs.size() - 1; k >= 0; --k)
                    shape.band << highs[k];
            } else {
                shape.bar = QRectF(QPointF(lows[0].x() - kMaxMarkerRadius - 2.0, highs[0].y()),
                                   QPointF(lows[0].x() + kMaxMarkerRadius + 2.0, lows[0].y()));
            }
        }
        layout.shapes << shapes;
    }
    for (const qsizetype i : order)
        layout.legendShapes << layout.shapes.first()[i];
    return layout;
}

void paintPanels(QPainter &painter, const PanelLayout &layout)
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.fillRect(QRectF(0, 0, PPCurvePlot::canvasWidth, PPCurvePlot::canvasHeight), Qt::white);
    const QFontMetricsF tickMetrics(tickFont());
    const QFontMetricsF labelMetrics(labelFont());
    for (qsizetype i = 0; i < layout.axes.size(); ++i) {
        const PPCurvePlot::Axes &axes = layout.axes[i];
        const QRectF &area = axes.area;
        painter.setPen(QPen(kGridColour, 0.8));
        for (double tick : layout.xTicks[i].values) {
            const double x = axes.toCanvas(tick, 0.0).x();
            painter.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
        }
        for (double tick : layout.yTicks[i].values) {
            const double y = axes.toCanvas(0.0, tick).y();
            painter.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        }
        painter.save();
        painter.setClipRect(area);
        painter.setPen(Qt::NoPen);
        for (const CurveShape &shape : layout.shapes[i]) {
            QColor band = shape.colour;
            band.setAlphaF(PPCurvePlot::bandAlpha);
            painter.setBrush(band);
            if (shape.band.isEmpty())
                painter.drawRect(shape.bar);
            else
                painter.drawPolygon(shape.band);
        }
        painter.setBrush(Qt::NoBrush);
        for (const CurveShape &shape : layout.shapes[i]) {
            painter.setPen(QPen(shape.colour, kLineWidth, shape.style,
                                shape.style == Qt::SolidLine ? Qt::RoundCap : Qt::FlatCap, Qt::RoundJoin));
            if (shape.line.size() >= 2)
                painter.drawPolyline(shape.line);
        }
        for (const CurveShape &shape : layout.shapes[i]) {
            painter.setPen(shape.markerRadius >= 2.5 ? QPen(Qt::white, 0.6) : QPen(Qt::NoPen));
            painter.setBrush(shape.colour);
            for (const QPointF &point : shape.line)
                painter.drawPath(markerPath(shape.marker, point, shape.markerRadius));
        }
        painter.restore();

        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(kAxisColour, 1.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        painter.drawRect(area);
        painter.setFont(tickFont());
        for (double tick : layout.xTicks[i].values) {
            const double x = axes.toCanvas(tick, 0.0).x();
            painter.setPen(QPen(kAxisColour, 1.0));
            painter.drawLine(QPointF(x, area.bottom()), QPointF(x, area.bottom() + kTickLength));
            painter.setPen(Qt::black);
            painter.drawText(QRectF(x - 100.0, area.bottom() + kTickLength + 4.0, 200.0, tickMetrics.height()),
                             Qt::AlignHCenter | Qt::AlignTop, formatTick(tick, layout.xTicks[i].decimals));
        }
        for (double tick : layout.yTicks[i].values) {
            const double y = axes.toCanvas(0.0, tick).y();
            painter.setPen(QPen(kAxisColour, 1.0));
            painter.drawLine(QPointF(area.left() - kTickLength, y), QPointF(area.left(), y));
            painter.setPen(Qt::black);
            painter.drawText(QRectF(area.left() - kTickLength - 4.0 - 200.0, y - tickMetrics.height() / 2.0, 200.0,
                                    tickMetrics.height()),
                             Qt::AlignRight | Qt::AlignVCenter, formatTick(tick, layout.yTicks[i].decimals));
        }
        painter.setFont(labelFont());
        painter.drawText(QRectF(area.left(), area.bottom() + kTickLength + 4.0 + tickMetrics.height() + 6.0,
                                area.width(), labelMetrics.height()),
                         Qt::AlignHCenter | Qt::AlignTop, QStringLiteral("habitat share p"));
        double yTickWidth = 0.0;
        for (double tick : layout.yTicks[i].values)
            yTickWidth = std::max(yTickWidth, tickMetrics.horizontalAdvance(formatTick(tick, layout.yTicks[i].decimals)));
        painter.save();
        painter.translate(area.left() - kTickLength - 4.0 - yTickWidth - 8.0 - labelMetrics.height(), area.center().y());
        painter.rotate(-90.0);
        painter.drawText(QRectF(-area.height(), 0.0, 2.0 * area.height(), labelMetrics.height()),
                         Qt::AlignHCenter | Qt::AlignTop, layout.labels[i]);
        painter.restore();
    }

    const QFontMetricsF titleMetrics(titleFont());
    painter.setFont(titleFont());
    painter.setPen(Qt::black);
    for (qsizetype i = 0; i < layout.titleLines.size(); ++i) {
        painter.drawText(QRectF(kMargin, kMargin + i * titleMetrics.lineSpacing(),
                                PPCurvePlot::canvasWidth - 2.0 * kMargin, titleMetrics.lineSpacing()),
                         Qt::AlignHCenter | Qt::AlignTop, layout.titleLines[i]);
    }
    painter.setFont(legendFont());
    const double row = layout.legendRowHeight;
    for (qsizetype i = 0; i < layout.legendShapes.size(); ++i) {
        const QPointF at(layout.legendLeft + double(i % layout.legendColumns) * (layout.legendColumnWidth + kLegendColumnGap),
                         layout.legendTop + double(i / layout.legendColumns) * row);
        drawLegendEntry(painter, layout.legendShapes[i], layout.legendTexts[i], at, row);
    }
    const qsizetype entryRows = (layout.legendShapes.size() + layout.legendColumns - 1) / layout.legendColumns;
    painter.setPen(kNoteColour);
    painter.drawText(QRectF(kMargin, layout.legendTop + double(entryRows) * row, PPCurvePlot::canvasWidth - 2.0 * kMargin, row),
                     Qt::AlignHCenter | Qt::AlignVCenter, layout.note);
}

} // namespace

std::optional<double> PPCurvePlot::crossing(const PPCurve &curve, double level)
{
    const std::optional<CrossingAt> at = findCrossing(curve, level);
    return at ? std::optional<double>(at->share) : std::nullopt;
}

PPCurvePlot::Level PPCurvePlot::levelFor(const QString &direction)
{
    if (direction == QLatin1String("either"))
        return Level{eitherDirectionLevel, QStringLiteral("either direction")};
    if (direction == QLatin1String("left-right") || direction == QLatin1String("top-bottom"))
        return Level{0.5, QStringLiteral("one direction")};
    return Level();
}

QStringList PPCurvePlot::legend(const QList<PPCurve> &curves, const Level &level)
{
    QStringList texts;
    for (const qsizetype i : legendOrder(curves))
        texts << printable(curves[i].name) + crossingText(curves[i], level.pp);
    return texts;
}

QList<PPCurve> PPCurvePlot::sweepCurves(const QList<Series> &series, const QList<qint64> &sizes)
{
    // A rule's place: its line, and its colour in a plot of one size.
    const QStringList known{QStringLiteral("cluster4"), QStringLiteral("cluster8"), QStringLiteral("walk")};
    QStringList others;
    for (const Series &s : series) {
        if (!known.contains(s.rule) && !others.contains(s.rule))
            others << s.rule;
    }
    const auto place = [&](const QString &rule) {
        const qsizetype at = known.indexOf(rule);
        return int(at >= 0 ? at : known.size() + others.indexOf(rule));
    };
    const bool severalSizes = sizes.size() > 1;
    QList<std::pair<std::pair<int, qsizetype>, PPCurve>> keyed;
    for (const Series &s : series) {
        if (s.points.isEmpty())
            continue;
        PPCurve curve;
        curve.name = severalSizes ? QStringLiteral("%1, L = %2").arg(s.rule).arg(s.size) : s.rule;
        curve.points = s.points;
        std::sort(curve.points.begin(), curve.points.end(),
                  [](const PPCurvePoint &a, const PPCurvePoint &b) { return a.share < b.share; });
        curve.lineStyle = place(s.rule) % lineStyles;
        curve.colour = severalSizes ? int(sizes.indexOf(s.size)) : place(s.rule) % maxCurves;
        keyed.append({{place(s.rule), sizes.indexOf(s.size)}, curve});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QList<PPCurve> curves;
    for (const auto &entry : keyed)
        curves << entry.second;
    return curves;
}

bool PPCurvePlot::check(const QList<PPCurve> &curves, QString *errorString)
{
    return checkCurves(curves, true, errorString);
}

PPCurvePlot::Axes PPCurvePlot::axes(const QString &title, const QList<PPCurve> &curves, const Level &level)
{
    return makeLayout(title, curves, level).axes;
}

bool PPCurvePlot::writePanels(const QString &path, const QString &title, const QList<Panel> &panels,
                              QString *errorString)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != QLatin1String("png") && suffix != QLatin1String("svg"))
        return fail(errorString, QStringLiteral("cannot write the plot %1: the file name must end in .png or .svg").arg(path));
    if (panels.isEmpty() || panels.size() > 3)
        return fail(errorString, QStringLiteral("cannot plot: %1 panels (1 to 3 are drawn)").arg(panels.size()));
    QString reason;
    for (const Panel &panel : panels) {
        if (!checkCurves(panel.curves, false, &reason))
            return fail(errorString, QStringLiteral("cannot plot %1: %2").arg(panel.label, reason));
    }
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return fail(errorString, QStringLiteral("cannot plot: drawing needs a QGuiApplication"));
    const PanelLayout layout = makePanelLayout(title, panels);
    const auto paint = [&layout](QPainter &painter) { paintPanels(painter, layout); };
    QStringList labels;
    for (const Panel &panel : panels)
        labels << panel.label;
    const QByteArray bytes = suffix == QLatin1String("png")
            ? pngBytes(paint, title)
            : svgBytes(paint, title, labels.join(QStringLiteral(", ")) + QStringLiteral(" against habitat share p: "),
                       panels.first().curves);
    if (bytes.isEmpty())
        return fail(errorString, QStringLiteral("cannot write %1: the plot could not be encoded").arg(path));
    if (!OutputFile::writeWhole(QFile::encodeName(path), bytes, &reason))
        return fail(errorString, QStringLiteral("cannot write %1: %2").arg(path, reason));
    return true;
}

QColor PPCurvePlot::colour(int curveIndex)
{
    return QColor(kPalette[std::clamp(curveIndex, 0, maxCurves - 1)]);
}

bool PPCurvePlot::write(const QString &path, const QString &title, const QList<PPCurve> &curves, QString *errorString)
{
    return write(path, title, curves, Level(), errorString);
}

bool PPCurvePlot::write(const QString &path, const QString &title, const QList<PPCurve> &curves, const Level &level,
                        QString *errorString)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != QLatin1String("png") && suffix != QLatin1String("svg"))
        return fail(errorString, QStringLiteral("cannot write the plot %1: the file name must end in .png or .svg").arg(path));
    QString reason;
    if (!check(curves, &reason))
        return fail(errorString, QStringLiteral("cannot plot: %1").arg(reason));
    if (!(level.pp > 0.0 && level.pp < 1.0))
        return fail(errorString, QStringLiteral("cannot plot: the crossing level %1 is not between 0 and 1").arg(level.pp));
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return fail(errorString, QStringLiteral("cannot plot: drawing needs a QGuiApplication"));

    const Layout layout = makeLayout(title, curves, level);
    const auto paint = [&layout](QPainter &painter) { paintPlot(painter, layout); };
    const QByteArray bytes = suffix == QLatin1String("png")
            ? pngBytes(paint, title)
            : svgBytes(paint, title,
                       QStringLiteral("Percolation probability PP against habitat share p, with 95 % Wilson intervals: "),
                       curves);
    if (bytes.isEmpty())
        return fail(errorString, QStringLiteral("cannot write %1: the plot could not be encoded").arg(path));

    // The plot is encoded in memory and written with one checked write: the
    // encoders' own writes (QTextStream's in QSvgGenerator) let a short write
    // of a full disk pass unnoticed.
    if (!OutputFile::writeWhole(QFile::encodeName(path), bytes, &reason))
        return fail(errorString, QStringLiteral("cannot write %1: %2").arg(path, reason));
    return true;
}
