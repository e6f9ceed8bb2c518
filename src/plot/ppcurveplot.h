#pragma once

#include <QColor>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QString>

#include <optional>

// One point of a percolation-probability curve: at habitat share `share`, the
// share `pp` of the replicate landscapes that percolate, and its 95 % Wilson
// interval [low, high].
struct PPCurvePoint
{
    double share = 0.0;
    double pp = 0.0;
    double low = 0.0;
    double high = 0.0;
};

// A curve: the name of its rule ("walk", "cluster4", ...) and its points.
// colour picks its colour and marker (0 to PPCurvePlot::maxCurves - 1; -1:
// by its place among the curves), lineStyle its line: 0 solid, 1 dashed, 2
// dotted. PPCurvePlot::sweepCurves() sets both the same way in every figure:
// a line per rule, a colour per size.
struct PPCurve
{
    QString name;
    QList<PPCurvePoint> points;
    int colour = -1;
    int lineStyle = 0;
};

// The PP at which a plot reads and marks crossings, and why that one (for
// the legend's note; empty: no reason given).
struct PPCurveLevel
{
    double pp = 0.5;
    QString basis;
};

// Plot of PP curves, for a report or a paper as it is: PNG or SVG.
//
// The plot is drawn on a canvas of canvasWidth x canvasHeight units: the PNG
// is that canvas at pngScale pixels per unit (1600 x 1000 pixels, RGB on
// white, marked 200 dpi, so 8 x 5 inches); the SVG has the canvas as its
// viewBox ("0 0 800 500", 203.2 mm x 127 mm), the title as its <title>, and
// all text as <text> elements.
//
// On the canvas, from the top: the title (wrapped at blanks onto at most two
// lines, the rest elided with an ellipsis; none when it is empty); the plot area
// with a light grid at the ticks, x ("habitat share p") from the data, y
// ("percolation probability PP") from 0 to 1 with ticks every 0.25, both
// axes with a margin of 4 % of their range around the data; a dashed line at
// the crossing level (a Level: PP = 0.5 unless told otherwise). Every curve
// has its own colour (Okabe-Ito: blue, vermillion, bluish green, reddish
// purple, orange, sky blue, black, in curve order or as its colour says),
// marker shape and line; its Wilson interval is a translucent band in that
// colour (for a curve of one point, a translucent bar from low to high), its
// points are joined by a line with a marker at each point (markers shrink
// when points are close), and its crossing() of the level is an open circle
// on the curve with a thin vertical line from there to the x axis.
//
// The legend names every curve with its crossing ("cluster4: PP = 0.68 at
// p = 0.593"; "walk: no crossing in range"), says what the bands are and
// which level the circles mark ("open circle: PP = 0.68 crossing (either
// direction)"). A crossing is interpolated between two shares, so it is
// printed with the decimals of their step (0.1: one, 0.05 and 0.01: two,
// 0.005 and 0.001: three, 0.0025: four; a step that is no short decimal,
// as 1/199, down to its first significant digit; at least one, at most
// six); one on a point, with those of the finer step beside it; that of a
// curve of one point, with those of its share. The entries are grouped: by
// line style (sweepCurves() gives each rule its own), then by colour (there,
// a size, in the table's order; a curve without a colour has that of its
// place), curves alike in both in the order given. The legend sits in the
// first corner of the plot area (upper left, lower right, upper right,
// lower left) where it covers no band, line, marker, crossing line or the
// level's line; when there is none, it is set below the x axis label, in as
// many columns as fit, and the plot area shrinks. A name too long for the
// canvas is elided, the crossing kept. Control characters in the title and
// names are drawn as blanks.
//
// Text is set in DejaVu Sans (Debian's fonts-dejavu-core), the default sans
// font when it is missing. Drawing needs a QGuiApplication (on a machine
// without a display, QT_QPA_PLATFORM=offscreen); call it from the thread
// that owns it. The same input gives the same bytes, PNG and SVG, in the same
// build with the same fonts: nothing depends on the time or the locale (the
// PNG holds the title and "Vantrix" as text chunks, no time). Cost: linear in
// the number of points; the file is encoded in memory (a PNG is some 50 to
// 250 KB).
class PPCurvePlot
{
public:
    static constexpr int canvasWidth = 800;
    static constexpr int canvasHeight = 500;
    static constexpr int pngScale = 2;
    // Curves beyond this many could not be told apart by colour; with line
    // styles, up to maxStyledCurves.
    static constexpr int maxCurves = 7;
    static constexpr int lineStyles = 3;
    static constexpr int maxStyledCurves = maxCurves * lineStyles;

    // Where write() reads and marks crossings.
    using Level = PPCurveLevel;
    // The level for a sweep's direction, as its table names it. At the
    // threshold, as L grows, the share of square landscapes that span tends
    // to a limit, so that curves of several sizes cross near that PP: for one
    // direction ("left-right", "top-bottom") 0.5 (Cardy's formula on a
    // square; by symmetry, a square is spanned left-right by habitat as often
    // as top-bottom by the rest), for "either" 0.6827 (Watts's formula). Both
    // hold alike for cluster4 and cluster8, of one universality class, on
    // landscapes without long-range correlation (fractal ones may cross
    // elsewhere); for the walk, a heuristic that misses spanning clusters, no
    // limit is known, and it is marked at the same level as the cluster rules.
    // Another direction: 0.5, no basis.
    static constexpr double eitherDirectionLevel = 0.6827;
    static Level levelFor(const QString &direction);

    // The share at which the curve first reaches or crosses PP = level,
    // scanning its points in order: the share of the first point whose pp is
    // exactly the level, or, when two consecutive points lie on opposite sides
    // of it before that, the share on the straight line between them where it
    // is the level. The direction does not matter: a curve that starts above
    // and falls below has a crossing too. A non-monotone curve that crosses
    // several times gives its first crossing. A curve that stays on one side
    // (all above, all below, or fewer than one point) has none. A pp that is
    // NaN is neither at nor on either side of the level.
    static std::optional<double> crossing(const PPCurve &curve, double level = 0.5);

    // The legend's entries as write() draws them with this level, in the
    // legend's order, names not elided: "cluster4: PP = 0.68 at p = 0.593".
    static QStringList legend(const QList<PPCurve> &curves, const Level &level = Level());

    // The values of one rule at one size of a sweep.
    struct Series
    {
        QString rule;
        qint64 size = 0;
        QList<PPCurvePoint> points;
    };
    // The curves of a sweep's series, styled the same in every figure drawn
    // from one table: a rule has its line always (cluster4 solid, cluster8
    // dashed, walk dotted; another name, by its order among such names, the
    // lines in turn from solid). With several sizes (sizes, in the table's
    // order) the size at index i of sizes has colour i, and a curve is named
    // "cluster4, L = 64"; with one size a rule has its colour too (cluster4
    // blue, cluster8 vermillion, walk bluish green, others in turn) and a
    // curve is named by its rule. Series without points are left out; points
    // are sorted by share; the curves come in the legend's order.
    static QList<PPCurve> sweepCurves(const QList<Series> &series, const QList<qint64> &sizes);

    // Returns true when write() takes these curves; else false with the
    // reason. Taken: 1 to maxCurves curves (up to maxStyledCurves when they
    // set colour, each pair of colour and line style at most once), each
    // with a name and at least one point; every value finite; shares strictly ascending within a curve (two
    // points at the same share are refused, as a curve cannot have two values
    // there) and within 0..1; 0 <= low <= pp <= high <= 1, each comparison
    // allowing 1e-9 for the rounding of the interval's computation (values are
    // drawn clamped to 0..1). Different curves may have different shares.
    static bool check(const QList<PPCurve> &curves, QString *errorString = nullptr);

    // Draws the plot into the file at path, as PNG when its name ends in
    // ".png" and as SVG when it ends in ".svg" (either in any case). Returns
    // false, with the reason, and writes nothing when the suffix is another,
    // when check() refuses the curves, or when there is no QGuiApplication.
    // The file is written to a temporary in the same directory (QSaveFile)
    // that replaces path only when complete: when the write fails (a missing
    // directory, a directory at path, a full disk), the result is false with
    // the reason naming path, no temporary is left, and a file already at
    // path is left as it was. Crossings are read at level (without one, at
    // PP = 0.5 with no basis), which must lie strictly between 0 and 1.
    static bool write(const QString &path, const QString &title, const QList<PPCurve> &curves,
                      QString *errorString = nullptr);
    static bool write(const QString &path, const QString &title, const QList<PPCurve> &curves, const Level &level,
                      QString *errorString = nullptr);

    // Where write() puts the data: the plot area on the canvas (PNG pixel
    // (i, j) covers canvas units i / pngScale to (i + 1) / pngScale across,
    // likewise down) and the ranges of the axes. The left edge of the area is
    // share xMin, the right edge xMax, the bottom edge PP yMin, the top edge
    // yMax; in between the mapping is linear. `legend` is the legend's box
    // inside the area or its block below the area.
    struct Axes
    {
        QRectF area;
        QRectF legend;
        double xMin = 0.0;
        double xMax = 1.0;
        double yMin = 0.0;
        double yMax = 1.0;

        // The canvas point of (share, pp).
        QPointF toCanvas(double share, double pp) const
        {
            return {area.left() + (share - xMin) / (xMax - xMin) * area.width(),
                    area.bottom() - (pp - yMin) / (yMax - yMin) * area.height()};
        }
    };
    // The axes write() uses for this title and these curves (which check()
    // must take; for others the result means nothing). Needs a
    // QGuiApplication, as the layout depends on the size of the text.
    static Axes axes(const QString &title, const QList<PPCurve> &curves, const Level &level = Level());

    // The colour of the curve at this index (0 to maxCurves - 1), opaque; its
    // band is this colour at bandAlpha.
    static QColor colour(int curveIndex);
    static constexpr double bandAlpha = 0.2;

    // Other measures against the share, in panels side by side: each panel
    // has its own y axis (label, from 0 to a little above its largest high)
    // and curves, drawn as PP curves are (pp the value, low and high its
    // band) but without the level's line and crossings; one legend below,
    // from the first panel's curves, grouped as write()'s. The same files, checks and failures as
    // write(); at most 3 panels, and the curves' pp, low and high need only
    // be finite with low <= pp <= high and low >= 0.
    struct Panel
    {
        QString label;
        QList<PPCurve> curves;
    };
    static bool writePanels(const QString &path, const QString &title, const QList<Panel> &panels,
                            QString *errorString = nullptr);
};
