#include "ppcurveplot.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QLineF>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <cmath>
#include <limits>

Q_DECLARE_METATYPE(PPCurve)
Q_DECLARE_METATYPE(QList<PPCurve>)

namespace {

// What a probe expects at the pixel of a data point.
enum class Expect { Curve, Band, Background, White };

struct Probe
{
    double share;
    double pp;
    Expect expect;
    int curve = 0;
};

// A curve from (share, pp) pairs, each with the interval pp -+ halfWidth (clamped).
PPCurve curve(const QString &name, const QList<QPair<double, double>> &points, double halfWidth = 0.05)
{
    PPCurve c;
    c.name = name;
    for (const auto &[share, pp] : points)
        c.points << PPCurvePoint{share, pp, std::max(pp - halfWidth, 0.0), std::min(pp + halfWidth, 1.0)};
    return c;
}

// A curve from full points.
PPCurve full(const QString &name, const QList<PPCurvePoint> &points)
{
    return PPCurve{name, points};
}

// A straight ramp of n points from (lo, ppLo) to (hi, ppHi).
PPCurve ramp(const QString &name, int n, double lo, double hi, double ppLo, double ppHi)
{
    PPCurve c;
    c.name = name;
    for (int i = 0; i < n; ++i) {
        const double t = n == 1 ? 0.0 : double(i) / (n - 1);
        const double pp = ppLo + t * (ppHi - ppLo);
        c.points << PPCurvePoint{lo + t * (hi - lo), pp, std::max(pp - 0.03, 0.0), std::min(pp + 0.03, 1.0)};
    }
    return c;
}

// Three curves around the threshold of site percolation on the square lattice.
QList<PPCurve> sample()
{
    return {curve("walk", {{0.55, 0.0}, {0.60, 0.1}, {0.65, 0.7}, {0.70, 1.0}}),
            curve("cluster4", {{0.55, 0.0}, {0.58, 0.2}, {0.60, 0.75}, {0.65, 1.0}}),
            curve("cluster8", {{0.55, 0.9}, {0.60, 1.0}, {0.65, 1.0}})};
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

struct SvgContent
{
    QString error;
    QString viewBox;
    QString title;
    QStringList texts;
};

SvgContent readSvg(const QString &path)
{
    SvgContent svg;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        svg.error = file.errorString();
        return svg;
    }
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("svg"))
            svg.viewBox = xml.attributes().value(QLatin1String("viewBox")).toString();
        else if (xml.name() == QLatin1String("title"))
            svg.title = xml.readElementText();
        else if (xml.name() == QLatin1String("text"))
            svg.texts << xml.readElementText(QXmlStreamReader::IncludeChildElements);
    }
    if (xml.hasError())
        svg.error = xml.errorString();
    return svg;
}

QPoint pixelOf(const PPCurvePlot::Axes &axes, double share, double pp)
{
    const QPointF at = axes.toCanvas(share, pp) * PPCurvePlot::pngScale;
    return QPoint(int(std::floor(at.x())), int(std::floor(at.y())));
}

bool near(const QColor &a, const QColor &b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
           && std::abs(a.blue() - b.blue()) <= tolerance;
}

// A series of a sweep rising across 0.55..0.65.
PPCurvePlot::Series series(const QString &rule, qint64 size)
{
    return {rule, size, ramp(rule, 11, 0.55, 0.65, 0.0, 1.0).points};
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

} // namespace

Q_DECLARE_METATYPE(Probe)
Q_DECLARE_METATYPE(QList<Probe>)

class TestPPCurvePlot : public QObject
{
    Q_OBJECT

private slots:
    void crossing_data();
    void crossing();
    void written_data();
    void written();
    void pixels_data();
    void pixels();
    void legendCoversNoData_data();
    void legendCoversNoData();
    void refused_data();
    void refused();
    void failedWrite_data();
    void failedWrite();
    void panels_data();
    void panels();
    void deterministic_data();
    void deterministic();
    void sweepStyles_data();
    void sweepStyles();
    void legendGrouped_data();
    void legendGrouped();
    void legendEntry_data();
    void legendEntry();
};

void TestPPCurvePlot::crossing_data()
{
    QTest::addColumn<QList<double>>("shares");
    QTest::addColumn<QList<double>>("pps");
    QTest::addColumn<bool>("crosses");
    QTest::addColumn<double>("expected");

    QTest::newRow("rising, midway") << QList<double>{0.5, 0.6} << QList<double>{0.2, 0.8} << true << 0.55;
    QTest::newRow("rising, a fifth of the way")
            << QList<double>{0.58, 0.59, 0.60} << QList<double>{0.1, 0.4, 0.9} << true << 0.592;
    QTest::newRow("0 to 1 in one step") << QList<double>{0.59, 0.60} << QList<double>{0.0, 1.0} << true << 0.595;
    QTest::newRow("uneven spacing") << QList<double>{0.1, 0.5, 0.9} << QList<double>{0.0, 0.25, 1.0} << true << 0.6333333333333333;
    QTest::newRow("point exactly at 0.5") << QList<double>{0.5, 0.6, 0.7} << QList<double>{0.1, 0.5, 0.9} << true << 0.6;
    QTest::newRow("touches 0.5 and turns back") << QList<double>{0.5, 0.6, 0.7} << QList<double>{0.2, 0.5, 0.3} << true << 0.6;
    QTest::newRow("starts at 0.5") << QList<double>{0.3, 0.4} << QList<double>{0.5, 0.9} << true << 0.3;
    QTest::newRow("starts above, stays above") << QList<double>{0.3, 0.4, 0.5} << QList<double>{0.6, 0.9, 1.0} << false << 0.0;
    QTest::newRow("starts above, falls below") << QList<double>{0.3, 0.4} << QList<double>{0.9, 0.1} << true << 0.35;
    QTest::newRow("non-monotone, first of three crossings")
            << QList<double>{0.1, 0.2, 0.3, 0.4} << QList<double>{0.3, 0.7, 0.4, 0.8} << true << 0.15;
    QTest::newRow("non-monotone below, then crosses")
            << QList<double>{0.1, 0.2, 0.3, 0.4} << QList<double>{0.3, 0.1, 0.4, 0.6} << true << 0.35;
    QTest::newRow("dips below from above, first crossing is down")
            << QList<double>{0.1, 0.2, 0.3} << QList<double>{0.8, 0.2, 0.9} << true << 0.15;
    QTest::newRow("just below, just above") << QList<double>{0.59, 0.60} << QList<double>{0.4999, 0.5001} << true << 0.595;
    QTest::newRow("all 0") << QList<double>{0.1, 0.2, 0.3} << QList<double>{0.0, 0.0, 0.0} << false << 0.0;
    QTest::newRow("all 1") << QList<double>{0.1, 0.2, 0.3} << QList<double>{1.0, 1.0, 1.0} << false << 0.0;
    QTest::newRow("one point below") << QList<double>{0.59} << QList<double>{0.3} << false << 0.0;
    QTest::newRow("one point at 0.5") << QList<double>{0.59} << QList<double>{0.5} << true << 0.59;
    QTest::newRow("no points") << QList<double>{} << QList<double>{} << false << 0.0;
    QTest::newRow("NaN is on no side") << QList<double>{0.1, 0.2, 0.3} << QList<double>{0.2, kNaN, 0.8} << false << 0.0;
}

void TestPPCurvePlot::crossing()
{
    QFETCH(QList<double>, shares);
    QFETCH(QList<double>, pps);
    QFETCH(bool, crosses);
    QFETCH(double, expected);

    PPCurve c;
    for (qsizetype i = 0; i < shares.size(); ++i)
        c.points << PPCurvePoint{shares[i], pps[i], pps[i], pps[i]};
    const std::optional<double> got = PPCurvePlot::crossing(c);
    QCOMPARE(got.has_value(), crosses);
    if (crosses)
        QVERIFY2(std::abs(*got - expected) < 1e-12, qPrintable(QString::number(*got, 'g', 17)));
}

void TestPPCurvePlot::written_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QList<PPCurve>>("curves");
    QTest::addColumn<QStringList>("legend");

    QTest::newRow("three rules around the threshold")
            << QStringLiteral("random landscapes, 128 x 128, 2000 replicates, seed 42, either direction") << sample()
            << QStringList{"walk: PP = 0.5 at p = 0.63", "cluster4: PP = 0.5 at p = 0.59",
                           "cluster8: no crossing in range"};
    QTest::newRow("one curve of one point")
            << QStringLiteral("one") << QList<PPCurve>{curve("cluster4", {{0.5927, 0.5}})}
            << QStringList{"cluster4: PP = 0.5 at p = 0.5927"};
    QTest::newRow("all pp 0") << QStringLiteral("none percolate")
                              << QList<PPCurve>{curve("walk", {{0.1, 0.0}, {0.2, 0.0}, {0.3, 0.0}}, 0.0)}
                              << QStringList{"walk: no crossing in range"};
    QTest::newRow("all pp 1") << QStringLiteral("all percolate")
                              << QList<PPCurve>{curve("walk", {{0.8, 1.0}, {0.9, 1.0}, {1.0, 1.0}}, 0.0)}
                              << QStringList{"walk: no crossing in range"};
    QTest::newRow("a single share")
            << QStringLiteral("single share")
            << QList<PPCurve>{curve("walk", {{0.6, 0.2}}), curve("cluster4", {{0.6, 0.7}}), curve("cluster8", {{0.6, 1.0}})}
            << QStringList{"walk: no crossing in range", "cluster4: no crossing in range", "cluster8: no crossing in range"};
    QTest::newRow("200 shares")
            << QStringLiteral("many shares")
            << QList<PPCurve>{ramp("walk", 200, 0.0, 1.0, 0.0, 1.0), ramp("cluster8", 200, 0.0, 0.995, 0.3, 1.0)}
            << QStringList{"walk: PP = 0.5 at p = 0.500", "cluster8: PP = 0.5 at p = 0.284"};
    QList<PPCurve> seven;
    QStringList sevenLegend;
    for (int i = 0; i < PPCurvePlot::maxCurves; ++i) {
        seven << ramp(QStringLiteral("rule %1").arg(i), 5, 0.4 + 0.02 * i, 0.6 + 0.02 * i, 0.0, 1.0);
        sevenLegend << QStringLiteral("rule %1: PP = 0.5 at p = %2").arg(i).arg(0.5 + 0.02 * i, 0, 'f', 2);
    }
    QTest::newRow("seven curves") << QStringLiteral("seven") << seven << sevenLegend;
    // Four sizes of two rules: a colour per size, a line per rule.
    QList<PPCurve> sized;
    QStringList sizedLegend;
    for (int size = 0; size < 4; ++size) {
        for (int rule = 0; rule < 2; ++rule) {
            PPCurve c = ramp(QStringLiteral("cluster%1, L = %2").arg(4 * (rule + 1)).arg(64 << size), 101,
                             0.5 + 0.01 * rule, 0.7 + 0.01 * rule, 0.0, 1.0);
            c.colour = size;
            c.lineStyle = rule;
            sized << c;
            sizedLegend << QStringLiteral("cluster%1, L = %2: PP = 0.5 at p = %3")
                                   .arg(4 * (rule + 1)).arg(64 << size).arg(0.6 + 0.01 * rule, 0, 'f', 3);
        }
    }
    QTest::newRow("eight curves in four colours and two lines") << QStringLiteral("sizes") << sized << sizedLegend;
    QTest::newRow("curves at different shares")
            << QString()
            << QList<PPCurve>{curve("walk", {{0.3, 0.0}, {0.4, 1.0}}), curve("cluster4", {{0.6, 0.0}, {0.8, 1.0}})}
            << QStringList{"walk: PP = 0.5 at p = 0.3", "cluster4: PP = 0.5 at p = 0.7"};
    QTest::newRow("interval off by rounding")
            << QStringLiteral("rounding")
            << QList<PPCurve>{full("walk", QList<PPCurvePoint>{{0.5, 0.0, 1e-17, 0.01}, {0.6, 1.0, 0.99, 1.0 + 1e-12}})}
            << QStringList{"walk: PP = 0.5 at p = 0.6"};
    QTest::newRow("markup and control characters")
            << QStringLiteral("a < b & \"c\" > d")
            << QList<PPCurve>{curve("<walk> & co\x01", {{0.5, 0.0}, {0.6, 1.0}})}
            << QStringList{"<walk> & co : PP = 0.5 at p = 0.6"};
    QTest::newRow("long title and name")
            << QStringLiteral("word ").repeated(400)
            << QList<PPCurve>{curve(QStringLiteral("x").repeated(2000), {{0.5, 0.0}, {0.6, 1.0}})}
            << QStringList{};
}

// Both formats: the PNG reads back at its size and resolution, the SVG parses
// and holds the title, its viewBox and every legend text whole; no temporary
// file is left.
void TestPPCurvePlot::written()
{
    QFETCH(QString, title);
    QFETCH(QList<PPCurve>, curves);
    QFETCH(QStringList, legend);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString png = dir.filePath("plot.png");
    const QString svg = dir.filePath("plot.SVG");
    QString error;
    QVERIFY2(PPCurvePlot::write(png, title, curves, &error), qPrintable(error));
    QVERIFY2(PPCurvePlot::write(svg, title, curves, &error), qPrintable(error));
    QCOMPARE(entries(dir.path()), (QStringList{"plot.png", "plot.SVG"}));

    QImageReader reader(png);
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), QSize(1600, 1000));
    QCOMPARE(qRound(image.dotsPerMeterX() * 0.0254), 200);
    QCOMPARE(image.pixelColor(0, 0), QColor(Qt::white));

    const SvgContent content = readSvg(svg);
    QVERIFY2(content.error.isEmpty(), qPrintable(content.error));
    QCOMPARE(content.viewBox, QStringLiteral("0 0 800 500"));
    QCOMPARE(content.title, QString(title).replace(QChar(1), QLatin1Char(' ')));
    for (const QString &text : legend)
        QVERIFY2(content.texts.contains(text), qPrintable(text + " not among " + content.texts.join(" | ")));
    QVERIFY(content.texts.contains("habitat share p"));
    QVERIFY(content.texts.contains("percolation probability PP"));
    if (!title.isEmpty() && title.size() < 80)
        QVERIFY(content.texts.contains(QString(title).replace(QChar(1), QLatin1Char(' '))));
}

void TestPPCurvePlot::pixels_data()
{
    QTest::addColumn<QList<PPCurve>>("curves");
    QTest::addColumn<QList<Probe>>("probes");

    QTest::newRow("flat at PP 1")
            << QList<PPCurve>{curve("walk", {{0.4, 1.0}, {0.6, 1.0}, {0.8, 1.0}}, 0.0)}
            << QList<Probe>{{0.6, 1.0, Expect::Curve}, {0.4, 1.0, Expect::Curve}, {0.55, 1.0, Expect::Curve},
                            {0.6, 0.0, Expect::Background}, {0.6, 0.3, Expect::Background}};
    QTest::newRow("flat at PP 0")
            << QList<PPCurve>{curve("walk", {{0.4, 0.0}, {0.6, 0.0}, {0.8, 0.0}}, 0.0)}
            << QList<Probe>{{0.6, 0.0, Expect::Curve}, {0.8, 0.0, Expect::Curve}, {0.45, 0.0, Expect::Curve},
                            {0.6, 1.0, Expect::Background}, {0.6, 0.7, Expect::Background}};
    QTest::newRow("sloped line in its band")
            << QList<PPCurve>{full("walk", QList<PPCurvePoint>{{0.4, 0.55, 0.35, 0.75}, {0.8, 0.65, 0.45, 0.85}})}
            << QList<Probe>{{0.4, 0.55, Expect::Curve}, {0.63, 0.6075, Expect::Curve}, {0.63, 0.72, Expect::Band},
                            {0.63, 0.44, Expect::Band}, {0.63, 0.9, Expect::Background}, {0.63, 0.3, Expect::Background}};
    QTest::newRow("crossing marked")
            << QList<PPCurve>{curve("walk", {{0.4, 0.2}, {0.8, 0.7}})}
            << QList<Probe>{{0.64, 0.5, Expect::White}, {0.64, 0.2, Expect::Curve}, {0.64, 0.05, Expect::Curve},
                            {0.67, 0.2, Expect::Background}};
    QTest::newRow("second curve in its own colour")
            << QList<PPCurve>{curve("walk", {{0.4, 0.0}, {0.8, 0.0}}, 0.0), curve("cluster4", {{0.4, 1.0}, {0.8, 1.0}}, 0.0)}
            << QList<Probe>{{0.6, 0.0, Expect::Curve, 0}, {0.6, 1.0, Expect::Curve, 1}, {0.6, 0.3, Expect::Background}};
    QTest::newRow("one point with its interval")
            << QList<PPCurve>{full("cluster4", QList<PPCurvePoint>{{0.59, 0.3, 0.2, 0.4}})}
            // The bar is 11 units wide; its band is probed 2 units right of the grid line at 0.59.
            << QList<Probe>{{0.59, 0.3, Expect::Curve}, {0.59003, 0.37, Expect::Band}, {0.59003, 0.23, Expect::Band},
                            {0.59, 0.45, Expect::Background}, {0.59, 0.15, Expect::Background}};
}

// The PNG's pixel at the data's place, by the documented mapping: the curve's
// colour on its line and markers, the band's tint inside its interval, neutral
// grey or white elsewhere, white inside the open circle of a crossing.
void TestPPCurvePlot::pixels()
{
    QFETCH(QList<PPCurve>, curves);
    QFETCH(QList<Probe>, probes);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("plot.png");
    const QString title = QStringLiteral("pixels");
    QString error;
    QVERIFY2(PPCurvePlot::write(path, title, curves, &error), qPrintable(error));
    const QImage image(path);
    QCOMPARE(image.size(), QSize(1600, 1000));
    const PPCurvePlot::Axes axes = PPCurvePlot::axes(title, curves);

    for (const Probe &probe : probes) {
        const QPoint pixel = pixelOf(axes, probe.share, probe.pp);
        const QString where = QStringLiteral("(%1, %2) at pixel (%3, %4): ")
                                      .arg(probe.share).arg(probe.pp).arg(pixel.x()).arg(pixel.y());
        QVERIFY2(!axes.legend.contains(axes.toCanvas(probe.share, probe.pp)), qPrintable(where + "under the legend"));
        QVERIFY2(image.rect().contains(pixel), qPrintable(where + "outside the image"));
        const QColor got = image.pixelColor(pixel);
        const QColor colour = PPCurvePlot::colour(probe.curve);
        switch (probe.expect) {
        case Expect::Curve:
            QVERIFY2(near(got, colour, 2), qPrintable(where + got.name() + " is not " + colour.name()));
            break;
        case Expect::Band: {
            const auto tint = [](int c) { return qRound(255.0 + (c - 255.0) * PPCurvePlot::bandAlpha); };
            const QColor band(tint(colour.red()), tint(colour.green()), tint(colour.blue()));
            QVERIFY2(near(got, band, 4), qPrintable(where + got.name() + " is not " + band.name()));
            break;
        }
        case Expect::Background:
            QVERIFY2(got.red() == got.green() && got.green() == got.blue() && got.red() >= 200,
                     qPrintable(where + got.name() + " is not white or light grey"));
            break;
        case Expect::White:
            QCOMPARE(got, QColor(Qt::white));
            break;
        }
    }
}

void TestPPCurvePlot::legendCoversNoData_data()
{
    QTest::addColumn<QList<PPCurve>>("curves");
    QTest::addColumn<bool>("inside");

    QTest::newRow("rising curves leave the upper left free") << QList<PPCurve>{ramp("walk", 13, 0.45, 0.75, 0.0, 1.0)} << true;
    QTest::newRow("three rules, lower right free") << sample() << true;
    QTest::newRow("flat at PP 1 fills the top") << QList<PPCurve>{ramp("walk", 20, 0.3, 0.6, 1.0, 1.0)} << true;
    QTest::newRow("falling curve") << QList<PPCurve>{ramp("walk", 20, 0.3, 0.6, 1.0, 0.0)} << true;
    QTest::newRow("200 shares") << QList<PPCurve>{ramp("walk", 200, 0.0, 1.0, 0.0, 1.0), ramp("cluster4", 200, 0.0, 1.0, 0.2, 0.6)}
                                << true;
    QList<PPCurve> seven;
    for (int i = 0; i < PPCurvePlot::maxCurves; ++i)
        seven << ramp(QStringLiteral("rule %1").arg(i), 9, 0.0, 1.0, 0.1 * i, 0.1 * i + 0.3);
    QTest::newRow("seven curves across the area") << seven << false;
}

// A legend inside the area covers no point, interval end or segment of a
// curve; one that is not inside lies below the area, on the canvas.
void TestPPCurvePlot::legendCoversNoData()
{
    QFETCH(QList<PPCurve>, curves);
    QFETCH(bool, inside);

    const PPCurvePlot::Axes axes = PPCurvePlot::axes(QStringLiteral("legend"), curves);
    const QRectF canvas(0, 0, PPCurvePlot::canvasWidth, PPCurvePlot::canvasHeight);
    QVERIFY(canvas.contains(axes.legend));
    QCOMPARE(axes.area.contains(axes.legend), inside);
    if (!inside) {
        QVERIFY(axes.legend.top() > axes.area.bottom());
        return;
    }
    // The line and both edges of the band, point by point and segment by segment.
    for (const PPCurve &c : curves) {
        for (const auto value : {&PPCurvePoint::pp, &PPCurvePoint::low, &PPCurvePoint::high}) {
            for (qsizetype i = 0; i < c.points.size(); ++i) {
                const QPointF at = axes.toCanvas(c.points[i].share, c.points[i].*value);
                QVERIFY(!axes.legend.contains(at));
                if (i == 0)
                    continue;
                const QLineF segment(axes.toCanvas(c.points[i - 1].share, c.points[i - 1].*value), at);
                for (int k = 0; k <= 50; ++k)
                    QVERIFY(!axes.legend.contains(segment.pointAt(k / 50.0)));
            }
        }
    }
    QVERIFY(!axes.legend.contains(QPointF(axes.legend.center().x(), axes.toCanvas(0.0, 0.5).y())));
}

void TestPPCurvePlot::refused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QList<PPCurve>>("curves");
    QTest::addColumn<QString>("reason");

    const PPCurve good = curve("walk", {{0.5, 0.2}, {0.6, 0.8}});
    QList<PPCurve> eight;
    for (int i = 0; i < PPCurvePlot::maxCurves + 1; ++i)
        eight << good;

    QList<PPCurve> styled;
    for (int i = 0; i < PPCurvePlot::maxStyledCurves + 1; ++i) {
        styled << good;
        styled.last().colour = i % PPCurvePlot::maxCurves;
        styled.last().lineStyle = (i / PPCurvePlot::maxCurves) % PPCurvePlot::lineStyles;
    }
    PPCurve beyond = good;
    beyond.colour = PPCurvePlot::maxCurves;
    PPCurve dotted = good;
    dotted.colour = 1;
    dotted.lineStyle = 2;
    QTest::newRow("too many styled curves") << "plot.png" << styled << "at most 21";
    QTest::newRow("a colour beyond the palette") << "plot.png" << QList<PPCurve>{beyond} << "out of range";
    QTest::newRow("a line style beyond three") << "plot.png" << QList<PPCurve>{PPCurve{"walk", good.points, 0, 3}}
                                               << "out of range";
    QTest::newRow("a colour and line twice") << "plot.png" << QList<PPCurve>{dotted, good, dotted}
                                             << "the colour and line style of another";
    QTest::newRow("unknown suffix") << "plot.jpg" << QList<PPCurve>{good} << ".png or .svg";
    QTest::newRow("no suffix") << "plot" << QList<PPCurve>{good} << ".png or .svg";
    QTest::newRow("suffix only in the middle") << "plot.png.txt" << QList<PPCurve>{good} << ".png or .svg";
    QTest::newRow("no curves") << "plot.png" << QList<PPCurve>{} << "no curves";
    QTest::newRow("too many curves") << "plot.svg" << eight << "at most 7";
    QTest::newRow("curve without a name") << "plot.png" << QList<PPCurve>{curve(" ", {{0.5, 0.2}})} << "curve 1 has no name";
    QTest::newRow("curve without points") << "plot.png" << QList<PPCurve>{good, PPCurve{"cluster4", {}}}
                                          << "\"cluster4\" has no points";
    QTest::newRow("NaN share") << "plot.png" << QList<PPCurve>{full("walk", QList<PPCurvePoint>{{kNaN, 0.2, 0.1, 0.3}})}
                               << "point 1: share is nan";
    QTest::newRow("NaN pp") << "plot.svg"
                            << QList<PPCurve>{full("walk", QList<PPCurvePoint>{{0.5, 0.2, 0.1, 0.3}, {0.6, kNaN, 0.1, 0.3}})}
                            << "point 2: pp is nan";
    QTest::newRow("NaN low") << "plot.png" << QList<PPCurve>{full("walk", QList<PPCurvePoint>{{0.5, 0.2, kNaN, 0.3}})}
                             << "low is nan";
    QTest::newRow("infinite high") << "plot.png" << QList<PPCurve>{full("walk", QList<PPCurvePoint>{{0.5, 0.2, 0.1, kInf}})}
                                   << "high is inf";
    QTest::newRow("identical shares") << "plot.png" << QList<PPCurve>{curve("walk", {{0.5, 0.2}, {0.5, 0.3}})}
                                      << "must ascend strictly";
    QTest::newRow("descending shares") << "plot.png" << QList<PPCurve>{curve("walk", {{0.6, 0.2}, {0.5, 0.3}})}
                                       << "must ascend strictly";
    QTest::newRow("share above 1") << "plot.png" << QList<PPCurve>{curve("walk", {{0.9, 0.2}, {1.1, 0.3}})}
                                   << "outside 0..1";
    QTest::newRow("negative share") << "plot.png" << QList<PPCurve>{curve("walk", {{-0.1, 0.2}})} << "outside 0..1";
    QTest::newRow("pp above its interval")
            << "plot.png" << QList<PPCurve>{full("walk", QList<PPCurvePoint>{{0.5, 0.5, 0.1, 0.3}})} << "low <= pp <= high";
    QTest::newRow("pp below its interval")
            << "plot.png" << QList<PPCurve>{full("walk", QList<PPCurvePoint>{{0.5, 0.05, 0.1, 0.3}})} << "low <= pp <= high";
    QTest::newRow("pp above 1") << "plot.png" << QList<PPCurve>{full("walk", QList<PPCurvePoint>{{0.5, 1.5, 1.0, 1.5}})}
                                << "low <= pp <= high";
    QTest::newRow("low below 0 beyond rounding")
            << "plot.png" << QList<PPCurve>{full("walk", QList<PPCurvePoint>{{0.5, 0.0, -1e-6, 0.1}})} << "low <= pp <= high";
}

void TestPPCurvePlot::panels_data()
{
    QTest::addColumn<QList<PPCurve>>("second");
    QTest::addColumn<QString>("reason"); // empty: written
    const PPCurve large = full("L = 64", QList<PPCurvePoint>{{0.5, 12.0, 10.0, 14.0}, {0.6, 150.0, 120.0, 180.0}});
    QTest::newRow("values beyond 1") << QList<PPCurve>{large} << QString();
    QTest::newRow("a negative value") << QList<PPCurve>{full("L = 64", QList<PPCurvePoint>{{0.5, -1.0, -2.0, 0.0}})}
                                      << QStringLiteral("low <= pp <= high");
    QTest::newRow("an infinite value") << QList<PPCurve>{full("L = 64", QList<PPCurvePoint>{{0.5, 1.0, 0.0, kInf}})}
                                       << QStringLiteral("high is inf");
}

// Panels of other measures: written as PNG and SVG with every panel's label
// and the legend, refused as write() refuses.
void TestPPCurvePlot::panels()
{
    QFETCH(QList<PPCurve>, second);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QList<PPCurvePlot::Panel> panels{{QStringLiteral("largest cluster share"), {ramp("L = 64", 11, 0.5, 0.7, 0.0, 0.8)}},
                                           {QStringLiteral("mean size"), second}};
    QString error;
    const bool written = PPCurvePlot::writePanels(dir.filePath("panels.svg"), QStringLiteral("observables"), panels, &error);
    QCOMPARE(written, reason.isEmpty());
    QCOMPARE(PPCurvePlot::writePanels(dir.filePath("panels.png"), QStringLiteral("observables"), panels), reason.isEmpty());
    if (!reason.isEmpty()) {
        QVERIFY2(error.contains(reason), qPrintable(error));
        QCOMPARE(entries(dir.path()), QStringList());
        return;
    }
    QFile svg(dir.filePath("panels.svg"));
    QVERIFY(svg.open(QIODevice::ReadOnly));
    const QByteArray text = svg.readAll();
    for (const char *expected : {">largest cluster share<", ">mean size<", ">L = 64<", ">observables<", ">150<"})
        QVERIFY2(text.contains(expected), expected);
    QCOMPARE(QImageReader(dir.filePath("panels.png")).size(), QSize(1600, 1000));
}

// Refused input: false, the reason, and no file at all.
void TestPPCurvePlot::refused()
{
    QFETCH(QString, name);
    QFETCH(QList<PPCurve>, curves);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString error;
    QVERIFY(!PPCurvePlot::write(dir.filePath(name), QStringLiteral("refused"), curves, &error));
    QVERIFY2(error.contains(reason), qPrintable(error));
    QCOMPARE(entries(dir.path()), QStringList());
    QVERIFY(!PPCurvePlot::write(dir.filePath(name), QStringLiteral("refused"), curves, nullptr));
}

void TestPPCurvePlot::failedWrite_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("failure");

    for (const char *suffix : {"png", "svg"}) {
        for (const char *failure : {"missing directory", "directory in the way", "disk full", "disk full, old plot kept"})
            QTest::addRow("%s, %s", suffix, failure) << QString::fromLatin1(suffix) << QString::fromLatin1(failure);
    }
}

// A write that fails: false with the reason naming the file; nothing new in
// the directory, and a plot already there is left as it was.
void TestPPCurvePlot::failedWrite()
{
    QFETCH(QString, suffix);
    QFETCH(QString, failure);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.filePath("plot." + suffix);
    QByteArray old;
    if (failure == "missing directory")
        path = dir.filePath("missing/plot." + suffix);
    if (failure == "directory in the way")
        QVERIFY(QDir(dir.path()).mkdir("plot." + suffix));
    if (failure == "disk full, old plot kept") {
        old = "an older plot";
        TestUtil::writeFixture(dir.path(), "plot." + suffix, old);
    }
    const QStringList before = entries(dir.path());

    QString error;
    bool written = false;
    {
        TestUtil::FileSizeLimit limit(failure.startsWith("disk full") ? 2000 : RLIM_INFINITY);
        written = PPCurvePlot::write(path, QStringLiteral("random landscapes"), sample(), &error);
    }
    QVERIFY(!written);
    QVERIFY2(error.contains(path), qPrintable(error));
    QCOMPARE(entries(dir.path()), before);
    if (!old.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), old);
    }
    if (failure == "directory in the way")
        QVERIFY(QFileInfo(path).isDir());
}

void TestPPCurvePlot::deterministic_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QList<PPCurve>>("curves");

    QTest::newRow("png, three rules") << "png" << sample();
    QTest::newRow("svg, three rules") << "svg" << sample();
}

// The same input, written twice (the second time over the first), gives the
// same bytes; a different title does not.
void TestPPCurvePlot::deterministic()
{
    QFETCH(QString, suffix);
    QFETCH(QList<PPCurve>, curves);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString title = QStringLiteral("random landscapes, 128 x 128, 2000 replicates, seed 42");
    const auto bytes = [&](const QString &name, const QString &t) {
        const QString path = dir.filePath(name);
        QString error;
        if (!PPCurvePlot::write(path, t, curves, &error))
            return "failed: " + error.toUtf8();
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
    };
    const QByteArray first = bytes("a." + suffix, title);
    QVERIFY(first.size() > 1000);
    QCOMPARE(bytes("b." + suffix, title), first);
    QCOMPARE(bytes("a." + suffix, title), first);
    QVERIFY(bytes("c." + suffix, title + " (2)") != first);
}

void TestPPCurvePlot::sweepStyles_data()
{
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QList<qint64>>("sizes");
    QTest::addColumn<int>("style");
    for (const auto &[rule, style] : {std::pair{"cluster4", 0}, {"cluster8", 1}, {"walk", 2}}) {
        QTest::addRow("%s, one size", rule) << rule << QList<qint64>{64} << style;
        QTest::addRow("%s, two sizes", rule) << rule << QList<qint64>{64, 32} << style;
    }
}

// A rule has its line in the PP plot and in the observables' panels, which
// leave the walk out.
void TestPPCurvePlot::sweepStyles()
{
    QFETCH(QString, rule);
    QFETCH(QList<qint64>, sizes);
    QFETCH(int, style);
    QList<PPCurvePlot::Series> all, observed;
    for (const qint64 size : sizes) {
        all << series("walk", size) << series("cluster8", size) << series("cluster4", size);
        observed << series("cluster8", size) << series("cluster4", size);
    }
    qsizetype seen = 0;
    for (const QList<PPCurve> &figure : {PPCurvePlot::sweepCurves(all, sizes), PPCurvePlot::sweepCurves(observed, sizes)}) {
        for (const PPCurve &c : figure) {
            if (c.name.section(',', 0, 0) == rule && ++seen)
                QCOMPARE(c.lineStyle, style);
        }
    }
    QCOMPARE(seen, sizes.size() * (rule == "walk" ? 1 : 2));
}

void TestPPCurvePlot::legendGrouped_data()
{
    QTest::addColumn<QList<PPCurve>>("curves");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("sweep, table order")
            << PPCurvePlot::sweepCurves({series("walk", 20), series("cluster4", 20), series("walk", 12), series("cluster4", 12)}, {20, 12})
            << QStringList{"cluster4, L = 20", "cluster4, L = 12", "walk, L = 20", "walk, L = 12"};
    QList<PPCurve> styled;
    for (int i = 0; i < 4; ++i)
        styled << PPCurve{QStringLiteral("c%1").arg(i), sample()[1].points, i / 2, i % 2};
    QTest::newRow("styled, interleaved") << styled << QStringList{"c0", "c2", "c1", "c3"};
}

// Entries by line, then colour: as listed and as drawn.
void TestPPCurvePlot::legendGrouped()
{
    QFETCH(QList<PPCurve>, curves);
    QFETCH(QStringList, names);
    QTemporaryDir dir;
    QVERIFY(PPCurvePlot::write(dir.filePath("p.svg"), "legend", curves));
    QStringList listed, drawn;
    for (const QString &t : PPCurvePlot::legend(curves))
        listed << t.section(':', 0, 0);
    for (const QString &t : readSvg(dir.filePath("p.svg")).texts)
        if (t.contains(" at p = ") || t.endsWith("no crossing in range"))
            drawn << t.section(':', 0, 0);
    QCOMPARE(listed, names);
    QCOMPARE(drawn, names);
}

void TestPPCurvePlot::legendEntry_data()
{
    QTest::addColumn<PPCurve>("curve");
    QTest::addColumn<QString>("direction");
    QTest::addColumn<QStringList>("texts");
    const PPCurve steps = ramp("a", 11, 0.55, 0.65, 0.0, 1.0);
    QTest::newRow("step 0.001") << curve("a", {{0.592, 0.3}, {0.593, 0.8}}) << "" << QStringList{"a: PP = 0.5 at p = 0.592"};
    QTest::newRow("step 0.00025") << curve("a", {{0.59, 0.3}, {0.59025, 0.8}}) << "" << QStringList{"a: PP = 0.5 at p = 0.59010"};
    QTest::newRow("coarse where it crosses") << curve("a", {{0.5, 0.1}, {0.55, 0.2}, {0.65, 0.8}}) << ""
                                             << QStringList{"a: PP = 0.5 at p = 0.6"};
    QTest::newRow("on a point") << curve("a", {{0.58, 0.2}, {0.6, 0.5}, {0.65, 0.9}}) << "" << QStringList{"a: PP = 0.5 at p = 0.60"};
    QTest::newRow("either") << steps << "either"
                            << QStringList{"a: PP = 0.68 at p = 0.62", "open circle: PP = 0.68 crossing (either direction)"};
    QTest::newRow("left-right") << steps << "left-right"
                                << QStringList{"a: PP = 0.5 at p = 0.60", "open circle: PP = 0.5 crossing (one direction)"};
    QTest::newRow("top-bottom") << steps << "top-bottom" << QStringList{"a: PP = 0.5 at p = 0.60"};
}

// The crossing with the decimals of the step it was read on, at the level of
// the table's direction: listed, drawn, and its circle on the level.
void TestPPCurvePlot::legendEntry()
{
    QFETCH(PPCurve, curve);
    QFETCH(QString, direction);
    QFETCH(QStringList, texts);
    QTemporaryDir dir;
    const PPCurvePlot::Level level = PPCurvePlot::levelFor(direction);
    QCOMPARE(PPCurvePlot::legend({curve}, level), texts.mid(0, 1));
    QVERIFY(PPCurvePlot::write(dir.filePath("p.svg"), "entry", {curve}, level));
    QVERIFY(PPCurvePlot::write(dir.filePath("p.png"), "entry", {curve}, level));
    for (const QString &text : texts)
        QVERIFY2(readSvg(dir.filePath("p.svg")).texts.contains(text), qPrintable(text));
    const PPCurvePlot::Axes axes = PPCurvePlot::axes("entry", {curve}, level);
    QCOMPARE(QImage(dir.filePath("p.png")).pixelColor(pixelOf(axes, *PPCurvePlot::crossing(curve, level.pp), level.pp)),
             QColor(Qt::white));
}

QTEST_MAIN(TestPPCurvePlot)
#include "tst_ppcurveplot.moc"
