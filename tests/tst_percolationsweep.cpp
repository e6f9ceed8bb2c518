// Sweeps against percolation theory, and their tables: the same bytes for any
// number of jobs and any split into shards, merged parts checked; the
// one-pass growth against testing every share, its critical counts against a
// bisection, its observables against a flood fill.
#include "percolationsweep.h"
#include "randomstream.h"
#include "referencecluster.h"
#include "referenceobservables.h"
#include "sweeptable.h"

#include <QtTest>

#include <cmath>
#include <map>

namespace {

PercolationSweep::Parameters sweep(qint64 size, const QByteArrayList &shares, qint64 replicates,
                                   std::vector<SpanningRule::Kind> rules, SpanningRule::Direction direction)
{
    PercolationSweep::Parameters p;
    p.landscape.model = NeutralLandscape::Random;
    p.landscape.size = size;
    p.landscape.seed = 20261209;
    p.shareTexts = shares;
    for (const QByteArray &share : shares)
        p.shares.push_back(share.toDouble());
    p.replicates = replicates;
    p.rules = std::move(rules);
    p.direction = direction;
    return p;
}

// The sweep's table, as vantrix-sweep writes it.
SweepTable run(const PercolationSweep::Parameters &parameters, int jobs)
{
    return SweepTable::of(parameters, PercolationSweep::run(parameters, jobs));
}

double pp(const SweepTable::Row &row)
{
    return double(row.spanning) / double(row.replicates);
}

#ifdef VANTRIX_SANITIZED
// Under the sanitizers, which are slow, the theory checks run on this many
// times fewer replicates, with tolerances widened to match.
constexpr int Scale = 8;
#else
constexpr int Scale = 1;
#endif

// A replicate's cells at a level of its growth: for Random the cells whose
// draw is below level, for the ordered models the first level cells.
std::vector<std::vector<int>> cellsAt(const NeutralLandscape &landscape, const std::vector<quint32> &draws,
                                      quint64 level)
{
    const qint64 size = landscape.parameters().size;
    std::vector<std::vector<int>> rows(static_cast<size_t>(size), std::vector<int>(static_cast<size_t>(size), 0));
    if (landscape.parameters().model == NeutralLandscape::Random) {
        for (qint64 i = 0; i < size * size; ++i)
            rows[size_t(i / size)][size_t(i % size)] = quint64(draws[size_t(i)]) < level;
    } else {
        for (quint64 i = 0; i < level; ++i)
            rows[landscape.order()[i] / size][landscape.order()[i] % size] = 1;
    }
    return rows;
}

// Mean and standard error of values.
void meanAndError(const std::vector<double> &values, double &mean, double &error)
{
    double sum = 0, squares = 0;
    for (const double v : values)
        sum += v;
    mean = sum / double(values.size());
    for (const double v : values)
        squares += (v - mean) * (v - mean);
    error = std::sqrt(squares / double(values.size() - 1) / double(values.size()));
}

// Each replicate's critical share under one rule, from the sweep's thresholds.
std::vector<double> criticalShares(NeutralLandscape::Model model, qint64 size, qint64 replicates,
                                   SpanningRule::Kind rule, SpanningRule::Direction direction)
{
    PercolationSweep::Parameters p;
    p.landscape.model = model;
    p.landscape.size = size;
    p.landscape.seed = 2027;
    p.shareTexts = {"0.5"};
    p.shares = {0.5};
    p.replicates = replicates;
    p.rules = {rule};
    p.direction = direction;
    p.thresholds = true;
    std::vector<double> shares;
    PercolationSweep::run(p, 2, {}, [&](const PercolationSweep::Threshold &t) {
        shares.push_back(PercolationSweep::criticalShare(p.landscape, t.size, t.criticalKey).toDouble());
    });
    return shares;
}

} // namespace

class TestPercolationSweep : public QObject
{
    Q_OBJECT

private slots:
    void cardyCrossingAtThreshold_data();
    void cardyCrossingAtThreshold();
    void curvesRiseThroughTheThreshold();
    void sameTableForAnyJobsAndShards_data();
    void sameTableForAnyJobsAndShards();
    void mergeRefuses_data();
    void mergeRefuses();
    void parseRefusesEditedTables_data();
    void parseRefusesEditedTables();
    void wilsonInterval_data();
    void wilsonInterval();
    void onePassEqualsEveryShare_data();
    void onePassEqualsEveryShare();
    void thresholdsAgainstBisection_data();
    void thresholdsAgainstBisection();
    void observablesAgainstFloodFill_data();
    void observablesAgainstFloodFill();
    void observablesMergeToTheWholeRun();
    void exactMomentsText();
    void standardErrorsKeepEveryDigit_data();
    void standardErrorsKeepEveryDigit();
    void criticalShareOfCrossings_data();
    void criticalShareOfCrossings();
    void clustersPerCellAtThreshold();
    void meanFiniteSizePeaksAtThreshold();
};

void TestPercolationSweep::cardyCrossingAtThreshold_data()
{
    QTest::addColumn<int>("rule");
    QTest::addColumn<int>("direction");
    QTest::addColumn<QByteArray>("share");
    // Cardy's formula: at the threshold, a square is crossed left to right
    // with probability 1/2; so is it top to bottom. Cells joined by corners
    // (the matching lattice) have their threshold at 1 - 0.592746.
    QTest::newRow("cluster4 left-right") << int(SpanningRule::Cluster4) << int(SpanningRule::LeftRight)
                                         << QByteArray("0.592746");
    QTest::newRow("cluster4 top-bottom") << int(SpanningRule::Cluster4) << int(SpanningRule::TopBottom)
                                         << QByteArray("0.592746");
    QTest::newRow("cluster8 left-right") << int(SpanningRule::Cluster8) << int(SpanningRule::LeftRight)
                                         << QByteArray("0.407254");
}

void TestPercolationSweep::cardyCrossingAtThreshold()
{
    QFETCH(int, rule);
    QFETCH(int, direction);
    QFETCH(QByteArray, share);
    const qint64 replicates = 8000 / Scale;
    const SweepTable table = run(
            sweep(128, {share}, replicates, {SpanningRule::Kind(rule)}, SpanningRule::Direction(direction)), 2);
    QCOMPARE(table.rows.size(), 1);
    const double error = std::sqrt(0.25 / double(replicates)); // 0.0056
    const double observed = pp(table.rows[0]);
    qInfo("crossing share %.4f of %lld landscapes (1/2 expected, standard error %.4f)", observed,
          (long long)replicates, error);
    QVERIFY2(std::abs(observed - 0.5) < 3.5 * error, qPrintable(QString::number(observed)));
}

void TestPercolationSweep::curvesRiseThroughTheThreshold()
{
    // Below the threshold almost nothing crosses, above it almost all; the
    // walk never finds more than the complete search.
    const SweepTable table = run(
            sweep(96, {"0.50", "0.55", "0.5927", "0.64", "0.70"}, 300,
                  {SpanningRule::Walk, SpanningRule::Cluster4}, SpanningRule::Either),
            2);
    QCOMPARE(table.rows.size(), 10);
    QVERIFY(pp(table.rows[1]) < 0.02); // cluster4 at 0.50
    QVERIFY(pp(table.rows[9]) > 0.98); // cluster4 at 0.70
    for (int s = 0; s < 5; ++s) {
        QVERIFY(table.rows[2 * s].spanning <= table.rows[2 * s + 1].spanning);
        if (s > 0)
            QVERIFY(table.rows[2 * s + 1].spanning >= table.rows[2 * s - 1].spanning); // nested shares: monotone
    }
}

void TestPercolationSweep::sameTableForAnyJobsAndShards_data()
{
    QTest::addColumn<int>("model");
    QTest::newRow("random") << int(NeutralLandscape::Random);
    QTest::newRow("fractal") << int(NeutralLandscape::Fractal);
    QTest::newRow("clusters") << int(NeutralLandscape::Clusters);
}

void TestPercolationSweep::sameTableForAnyJobsAndShards()
{
    QFETCH(int, model);
    PercolationSweep::Parameters p = sweep(40, {"0.4", "0.6", "0.65"}, 53,
                                           {SpanningRule::Cluster8, SpanningRule::Walk, SpanningRule::Cluster4},
                                           SpanningRule::Either);
    p.landscape.model = NeutralLandscape::Model(model);
    const QByteArray whole = run(p, 1).serialize();
    QCOMPARE(run(p, 3).serialize(), whole);
    for (const qint64 count : {1, 2, 7, 60}) {
        QList<SweepTable> parts;
        for (qint64 k = count; k >= 1; --k) {
            p.shard = Shard{k, count};
            const SweepTable part = run(p, 2);
            SweepTable read;
            QString error;
            QVERIFY2(SweepTable::parse(part.serialize(), read, &error), qPrintable(error));
            parts << read;
        }
        SweepTable merged;
        QString error;
        QVERIFY2(SweepTable::merge(parts, merged, &error), qPrintable(error));
        QCOMPARE(merged.serialize(), whole);
    }
}

void TestPercolationSweep::mergeRefuses_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a part missing") << QStringLiteral("drop 2") << QStringLiteral("shard 2 of 3 is missing");
    QTest::newRow("a part doubled") << QStringLiteral("double 1") << QStringLiteral("shard 1 of 3 is given 2 times");
    QTest::newRow("another run") << QStringLiteral("other seed") << QStringLiteral("different runs");
    QTest::newRow("a whole table") << QStringLiteral("whole") << QStringLiteral("not a shard");
    QTest::newRow("counts of another block") << QStringLiteral("recount") << QStringLiteral("replicates in a row");
}

void TestPercolationSweep::mergeRefuses()
{
    QFETCH(QString, change);
    QFETCH(QString, reason);
    PercolationSweep::Parameters p = sweep(20, {"0.5", "0.6"}, 30, {SpanningRule::Cluster4}, SpanningRule::Either);
    QList<SweepTable> parts;
    for (qint64 k = 1; k <= 3; ++k) {
        p.shard = Shard{k, 3};
        parts << run(p, 1);
    }
    if (change == QLatin1String("drop 2")) {
        parts.removeAt(1);
    } else if (change == QLatin1String("double 1")) {
        parts[1] = parts[0];
    } else if (change == QLatin1String("other seed")) {
        p.landscape.seed += 1;
        p.shard = Shard{2, 3};
        parts[1] = run(p, 1);
    } else if (change == QLatin1String("whole")) {
        p.shard.reset();
        parts[1] = run(p, 1);
    } else if (change == QLatin1String("recount")) {
        parts[1].rows[0].replicates += 1;
    }
    SweepTable merged;
    QString error;
    QVERIFY(!SweepTable::merge(parts, merged, &error));
    QVERIFY2(error.contains(reason), qPrintable(error));
}

void TestPercolationSweep::parseRefusesEditedTables_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::newRow("a count edited") << QByteArray("\t10\t3\t") << QByteArray("\t10\t4\t");
    QTest::newRow("cut short") << QByteArray("0.300000\t0.107791\t0.603222\n") << QByteArray("0.300000\t0.10");
    QTest::newRow("a column lost") << QByteArray("\tcluster4\t") << QByteArray("\t");
    QTest::newRow("more spanning than replicates") << QByteArray("\t10\t3\t") << QByteArray("\t10\t11\t");
    QTest::newRow("not a table") << QByteArray("model\tsize") << QByteArray("modell\tsize");
}

void TestPercolationSweep::parseRefusesEditedTables()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    SweepTable table;
    table.rows << SweepTable::Row{"random", 20, "0.5", "cluster4", "either", 10, 3, std::nullopt, QByteArray()};
    const QByteArray bytes = table.serialize();
    QVERIFY(bytes.contains(from));
    SweepTable read;
    QVERIFY(SweepTable::parse(bytes, read));
    QString error;
    QVERIFY(!SweepTable::parse(QByteArray(bytes).replace(from, to), read, &error));
    QVERIFY(!error.isEmpty());
}

void TestPercolationSweep::wilsonInterval_data()
{
    QTest::addColumn<qint64>("spanning");
    QTest::addColumn<qint64>("replicates");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    // Worked by hand from (p + z^2/2n +- z sqrt(p(1-p)/n + z^2/4n^2)) / (1 + z^2/n).
    QTest::newRow("0 of 10") << qint64(0) << qint64(10) << 0.0 << 0.277533;
    QTest::newRow("10 of 10") << qint64(10) << qint64(10) << 0.722467 << 1.0;
    QTest::newRow("5 of 10") << qint64(5) << qint64(10) << 0.236593 << 0.763407;
    QTest::newRow("500 of 1000") << qint64(500) << qint64(1000) << 0.469070 << 0.530930;
    QTest::newRow("1 of 1") << qint64(1) << qint64(1) << 0.206549 << 1.0;
}

void TestPercolationSweep::wilsonInterval()
{
    QFETCH(qint64, spanning);
    QFETCH(qint64, replicates);
    QFETCH(double, low);
    QFETCH(double, high);
    double gotLow;
    double gotHigh;
    SweepTable::wilson(spanning, replicates, gotLow, gotHigh);
    QVERIFY2(std::abs(gotLow - low) < 1e-6, qPrintable(QString::number(gotLow, 'f', 7)));
    QVERIFY2(std::abs(gotHigh - high) < 1e-6, qPrintable(QString::number(gotHigh, 'f', 7)));
}

void TestPercolationSweep::onePassEqualsEveryShare_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QByteArrayList>("shares");
    QTest::addColumn<int>("direction");
    // Fine and coarse grids, unordered lists, ties of levels (shares closer
    // than one cell or one draw apart), the ends 0 and 1.
    const QList<QByteArrayList> grids{
            {"0.3", "0.35", "0.4", "0.45", "0.5", "0.55", "0.6", "0.65", "0.7", "0.75", "0.8"},
            {"0.7", "0.5", "0.5927", "0.55", "1", "0"},
            {"0.59", "0.5900000001", "0.5900000002", "0.6", "0.6000001"},
            {"0.1", "0.9"},
            {"0.59"}};
    const char *models[] = {"random", "fractal", "clusters"};
    for (int m = 0; m < 3; ++m) {
        for (qsizetype g = 0; g < grids.size(); ++g) {
            for (const int direction : {int(SpanningRule::Either), int(SpanningRule::LeftRight), int(SpanningRule::TopBottom)}) {
                QTest::addRow("%s, shares %lld, %s", models[m], (long long)g,
                              qPrintable(SpanningRule::name(SpanningRule::Direction(direction))))
                        << m << grids[g] << direction;
            }
        }
    }
}

void TestPercolationSweep::onePassEqualsEveryShare()
{
    // The tables of growing each replicate once and of testing it at every
    // share: the same bytes, for several sizes (1 cell too), seeds, both
    // cluster rules among the walk, any jobs and shards.
    QFETCH(int, model);
    QFETCH(QByteArrayList, shares);
    QFETCH(int, direction);
    for (quint64 seed = 1; seed <= (Scale > 1 ? 1u : 3u); ++seed) {
        PercolationSweep::Parameters p = sweep(1, shares, 31, {SpanningRule::Cluster8, SpanningRule::Walk, SpanningRule::Cluster4},
                                               SpanningRule::Direction(direction));
        p.landscape.model = NeutralLandscape::Model(model);
        p.landscape.seed = seed;
        p.sizes = {1, 2, 7, 16, 33};
        p.method = PercolationSweep::PerShare;
        const QByteArray everyShare = run(p, 1).serialize();
        p.method = PercolationSweep::OnePass;
        QCOMPARE(run(p, 1).serialize(), everyShare);
        QCOMPARE(run(p, 3).serialize(), everyShare);
        QList<SweepTable> parts;
        for (qint64 k = 1; k <= 4; ++k) {
            p.shard = Shard{k, 4};
            parts << run(p, 2);
        }
        SweepTable merged;
        QVERIFY(SweepTable::merge(parts, merged));
        QCOMPARE(merged.serialize(), everyShare);
    }
}

void TestPercolationSweep::thresholdsAgainstBisection_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("direction");
    QTest::newRow("random either") << int(NeutralLandscape::Random) << int(SpanningRule::Either);
    QTest::newRow("random left-right") << int(NeutralLandscape::Random) << int(SpanningRule::LeftRight);
    QTest::newRow("fractal top-bottom") << int(NeutralLandscape::Fractal) << int(SpanningRule::TopBottom);
    QTest::newRow("clusters either") << int(NeutralLandscape::Clusters) << int(SpanningRule::Either);
}

void TestPercolationSweep::thresholdsAgainstBisection()
{
    // Each replicate's critical count against a bisection over the levels
    // of its growth (draw thresholds for Random, cell counts otherwise), each
    // level tested with a flood fill: the count of habitat cells at the lowest
    // level that spans.
    QFETCH(int, model);
    QFETCH(int, direction);
    const qint64 replicates = 150 / Scale;
    PercolationSweep::Parameters p = sweep(21, {"0.5", "0.6"}, replicates, {SpanningRule::Cluster4, SpanningRule::Cluster8},
                                           SpanningRule::Direction(direction));
    p.landscape.model = NeutralLandscape::Model(model);
    p.thresholds = true;
    p.observables = true; // growing on past the critical point must not change it
    std::vector<PercolationSweep::Threshold> found;
    const SweepTable table = SweepTable::of(p, PercolationSweep::run(p, 2, {}, [&](const PercolationSweep::Threshold &t) {
        found.push_back(t);
    }));
    QCOMPARE(qint64(found.size()), 2 * replicates);
    const bool leftRight = direction != SpanningRule::TopBottom;
    const bool topBottom = direction != SpanningRule::LeftRight;
    std::vector<quint32> draws(21 * 21);
    for (const PercolationSweep::Threshold &t : found) {
        const NeutralLandscape landscape(p.landscape, t.replicate);
        if (p.landscape.model == NeutralLandscape::Random)
            landscape.draws(draws.data());
        const int neighbours = t.rule == SpanningRule::Cluster8 ? 8 : 4;
        auto spansAt = [&](quint64 level) {
            return ReferenceCluster::spans(cellsAt(landscape, draws, level), neighbours, leftRight, topBottom);
        };
        quint64 low = 0; // does not span
        quint64 high = p.landscape.model == NeutralLandscape::Random ? quint64(1) << 32 : 21 * 21; // spans
        QVERIFY(!spansAt(low) && spansAt(high));
        while (high - low > 1) {
            const quint64 middle = low + (high - low) / 2;
            (spansAt(middle) ? high : low) = middle;
        }
        qint64 cells = qint64(high);
        if (p.landscape.model == NeutralLandscape::Random)
            cells = std::count_if(draws.begin(), draws.end(), [&](quint32 d) { return quint64(d) < high; });
        QCOMPARE(t.criticalCells, cells);
    }
    // The table agrees with the thresholds: a replicate spans at a share
    // when its critical count is at most the share's habitat.
    for (const SweepTable::Row &row : table.rows) {
        const SpanningRule::Kind rule = *SpanningRule::kindNamed(QString::fromLatin1(row.rule));
        const double share = row.share.toDouble();
        qint64 spanning = 0;
        for (const PercolationSweep::Threshold &t : found) {
            if (t.rule != rule)
                continue;
            const NeutralLandscape landscape(p.landscape, t.replicate);
            if (p.landscape.model == NeutralLandscape::Random) {
                landscape.draws(draws.data());
                const quint64 level = RandomStream::threshold32(share);
                spanning += std::count_if(draws.begin(), draws.end(), [&](quint32 d) { return quint64(d) < level; })
                        >= t.criticalCells;
            } else {
                spanning += NeutralLandscape::habitatCells(share, 21) >= t.criticalCells;
            }
        }
        QCOMPARE(row.spanning, spanning);
    }
    // The critical share is where the replicate's own habitat first spans:
    // at it the replicate spans, at the next lower share of 9 significant
    // digits it does not; so the fraction of replicates whose critical share
    // is at most p is the PP at p.
    for (const PercolationSweep::Threshold &t : found) {
        const QByteArray critical = PercolationSweep::criticalShare(p.landscape, t.size, t.criticalKey);
        const NeutralLandscape landscape(p.landscape, t.replicate);
        const int neighbours = t.rule == SpanningRule::Cluster8 ? 8 : 4;
        auto spansAt = [&](double share) {
            RaggedRows<qint8> rows;
            landscape.cells(share, rows);
            std::vector<std::vector<int>> cells(21);
            for (qint64 r = 0; r < 21; ++r)
                cells[size_t(r)].assign(rows.row(r), rows.row(r) + 21);
            return ReferenceCluster::spans(cells, neighbours, leftRight, topBottom);
        };
        const double share = critical.toDouble();
        QVERIFY2(spansAt(share), critical.constData());
        const int decimals = int(critical.size() - critical.indexOf('.') - 1);
        QVERIFY2(!spansAt(share - std::pow(10.0, -std::max(decimals, 9))), critical.constData());
    }
    for (const SweepTable::Row &row : table.rows) {
        qint64 atMost = 0;
        for (const PercolationSweep::Threshold &t : found) {
            if (SpanningRule::name(t.rule).toLatin1() == row.rule)
                atMost += PercolationSweep::criticalShare(p.landscape, t.size, t.criticalKey).toDouble()
                        <= row.share.toDouble();
        }
        QCOMPARE(atMost, row.spanning);
    }
}

void TestPercolationSweep::observablesAgainstFloodFill_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<bool>("thresholds");
    QTest::newRow("random") << int(NeutralLandscape::Random) << false;
    QTest::newRow("random, grown exactly") << int(NeutralLandscape::Random) << true;
    QTest::newRow("fractal") << int(NeutralLandscape::Fractal) << false;
    QTest::newRow("clusters, grown exactly") << int(NeutralLandscape::Clusters) << true;
}

void TestPercolationSweep::observablesAgainstFloodFill()
{
    // The exact sums of the observables against a flood fill of each
    // replicate at each share.
    QFETCH(int, model);
    QFETCH(bool, thresholds);
    const QByteArrayList shares{"0.65", "0", "0.3", "0.5", "0.5927", "1", "0.8"};
    PercolationSweep::Parameters p = sweep(17, shares, 23, {SpanningRule::Cluster8, SpanningRule::Walk, SpanningRule::Cluster4},
                                           SpanningRule::Either);
    p.landscape.model = NeutralLandscape::Model(model);
    p.observables = true;
    p.thresholds = thresholds;
    const PercolationSweep::Result result = PercolationSweep::run(p, 2);
    QCOMPARE(result.observables.size(), size_t(shares.size() * 3));
    RaggedRows<qint8> rows;
    for (qsizetype s = 0; s < shares.size(); ++s) {
        for (const size_t k : {size_t(0), size_t(2)}) {
            ObservableSums expected;
            for (qint64 i = 1; i <= p.replicates; ++i) {
                NeutralLandscape(p.landscape, i).cells(p.shares[size_t(s)], rows);
                const std::vector<int> grid(rows.cells.begin(), rows.cells.end());
                const ReferenceObservables::Totals totals = ReferenceObservables::flood(grid, 17, 17, k == 0);
                expected.largest.add(quint64(totals.largest));
                expected.clusters.add(quint64(totals.clusters));
                expected.meanSize.add(totals.meanSizeFixed);
            }
            QVERIFY2(result.observables[size_t(s) * 3 + k] == expected,
                     qPrintable(QStringLiteral("share %1, rule %2").arg(QString::fromLatin1(shares[s])).arg(k)));
        }
        QVERIFY(result.observables[size_t(s) * 3 + 1] == ObservableSums()); // the walk has none
    }
}

void TestPercolationSweep::observablesMergeToTheWholeRun()
{
    PercolationSweep::Parameters p = sweep(24, {"0.5", "0.55", "0.6"}, 41, {SpanningRule::Walk, SpanningRule::Cluster4},
                                           SpanningRule::Either);
    p.landscape.model = NeutralLandscape::Clusters;
    p.sizes = {12, 24};
    p.observables = true;
    const QByteArray whole = run(p, 2).serialize();
    QVERIFY(whole.startsWith(SweepTable::header(true, false)));
    QVERIFY(whole.contains("clusters\t24\t0.55\twalk\teither\t41\t"));
    SweepTable read;
    QString error;
    QVERIFY2(SweepTable::parse(whole, read, &error), qPrintable(error));
    QCOMPARE(read.serialize(), whole);
    QList<SweepTable> parts;
    for (qint64 k = 3; k >= 1; --k) {
        p.shard = Shard{k, 3};
        const QByteArray part = run(p, 1).serialize();
        QVERIFY(part.contains("\texact_sums\n"));
        QVERIFY2(SweepTable::parse(part, read, &error), qPrintable(error));
        parts << read;
    }
    SweepTable merged;
    QVERIFY2(SweepTable::merge(parts, merged, &error), qPrintable(error));
    QCOMPARE(merged.serialize(), whole);
    // A part whose sums were edited does not read back; parts with and
    // without observables are of different runs.
    const QByteArray part = parts[0].serialize();
    const qsizetype at = part.lastIndexOf(';') + 1;
    QByteArray edited = part;
    edited[at] = edited[at] == '1' ? '2' : '1';
    QVERIFY(!SweepTable::parse(edited, read));
    p.observables = false;
    p.shard = Shard{1, 3};
    parts[2] = run(p, 1);
    QVERIFY(!SweepTable::merge(parts, merged, &error));
    QVERIFY2(error.contains("different runs"), qPrintable(error));
}

void TestPercolationSweep::exactMomentsText()
{
    // Sums beyond 128 bits, written and read back in decimal, and the mean
    // and error against a plain computation.
    ExactMoments moments;
    const quint64 big = ~quint64(0);
    for (int i = 0; i < 5; ++i)
        moments.add(big);
    QCOMPARE(moments.squaresHigh, quint64(4)); // 5 (2^64 - 1)^2 = 4 * 2^128 + ...
    QCOMPARE(moments.text(), QByteArray("92233720368547758075/1701411834604692317132405596421745541125"));
    ExactMoments read;
    QVERIFY(ExactMoments::parse(moments.text(), read));
    QVERIFY(read == moments);
    QVERIFY(!ExactMoments::parse("1/01", read));
    QVERIFY(!ExactMoments::parse("1/2/3", read));
    QVERIFY(!ExactMoments::parse("-1/1", read));
    ExactMoments small;
    for (const quint64 v : {3u, 5u, 10u})
        small.add(v);
    QCOMPARE(small.mean(3, 0.5), 3.0);
    QVERIFY(std::abs(small.standardError(3, 1.0) - std::sqrt((9.0 + 1.0 + 16.0) / 2.0 / 3.0)) < 1e-12);
    QVERIFY(std::isnan(small.standardError(1, 1.0)));
}

void TestPercolationSweep::criticalShareOfCrossings_data()
{
    QTest::addColumn<int>("rule");
    QTest::addColumn<double>("threshold");
    // The site threshold of the square lattice (Newman and Ziff 2000), and of
    // its matching lattice (cells joined by corners too) at 1 minus it.
    QTest::newRow("cluster4") << int(SpanningRule::Cluster4) << 0.59274621;
    QTest::newRow("cluster8") << int(SpanningRule::Cluster8) << 1 - 0.59274621;
}

void TestPercolationSweep::criticalShareOfCrossings()
{
    // The mean share at which a random landscape is first crossed left to
    // right tends to the threshold; at L = 128 its finite-size shift is well
    // below the standard error of 1500 replicates.
    QFETCH(int, rule);
    QFETCH(double, threshold);
    const std::vector<double> shares =
            criticalShares(NeutralLandscape::Random, 128, 1500 / Scale, SpanningRule::Kind(rule), SpanningRule::LeftRight);
    double mean, error;
    meanAndError(shares, mean, error);
    qInfo("mean critical share %.5f +- %.5f (%zu replicates; threshold %.6f)", mean, error, shares.size(), threshold);
    QVERIFY2(std::abs(mean - threshold) < 3.5 * error, qPrintable(QString::number(mean, 'f', 6)));
    QVERIFY(error < 0.002);
}

void TestPercolationSweep::clustersPerCellAtThreshold()
{
    // Clusters per cell at the threshold tend to 0.0275981 (Ziff, Finch and
    // Adamchik 1997) with a correction in 1/L from the clusters cut by the
    // edges: fitted over L = 32 to 128, the limit and a positive slope.
    std::vector<double> x, y;
    for (const qint64 size : {32, 64, 128}) {
        PercolationSweep::Parameters p = sweep(size, {"0.59274621"}, 2400 * 32 / size / Scale, {SpanningRule::Cluster4},
                                               SpanningRule::Either);
        p.observables = true;
        const SweepTable table = run(p, 2);
        const double perCell = SweepTable::observedValues(table.rows[0])[2];
        qInfo("L = %lld: %.6f clusters per cell", (long long)size, perCell);
        x.push_back(1.0 / double(size));
        y.push_back(perCell);
    }
    const double mx = (x[0] + x[1] + x[2]) / 3, my = (y[0] + y[1] + y[2]) / 3;
    double sxy = 0, sxx = 0;
    for (int i = 0; i < 3; ++i) {
        sxy += (x[size_t(i)] - mx) * (y[size_t(i)] - my);
        sxx += (x[size_t(i)] - mx) * (x[size_t(i)] - mx);
    }
    const double slope = sxy / sxx;
    const double limit = my - slope * mx;
    qInfo("fit %.6f + %.3f / L", limit, slope);
    QVERIFY2(std::abs(limit - 0.0275981) < 0.0004 * std::sqrt(double(Scale)), qPrintable(QString::number(limit, 'f', 6)));
    QVERIFY(slope > 0.2 && slope < 0.5);
}

void TestPercolationSweep::meanFiniteSizePeaksAtThreshold()
{
    // The mean size of the finite clusters peaks near the threshold, higher
    // for larger landscapes (it diverges there as L grows).
    QByteArrayList shares;
    for (int i = 50; i <= 70; ++i)
        shares << "0." + QByteArray::number(i);
    double previous = 0;
    for (const qint64 size : {16, 32, 64}) {
        PercolationSweep::Parameters p = sweep(size, shares, 400 / Scale, {SpanningRule::Cluster4}, SpanningRule::Either);
        p.observables = true;
        const SweepTable table = run(p, 2);
        double peak = 0, at = 0;
        for (const SweepTable::Row &row : table.rows) {
            const double value = SweepTable::observedValues(row)[4];
            if (value > peak) {
                peak = value;
                at = row.share.toDouble();
            }
        }
        qInfo("L = %lld: mean finite size peaks at %.2f with %.1f", (long long)size, at, peak);
        QVERIFY2(at >= 0.53 && at <= 0.62, qPrintable(QString::number(at)));
        QVERIFY(peak > 1.5 * previous);
        previous = peak;
    }
}

void TestPercolationSweep::standardErrorsKeepEveryDigit_data()
{
    // Values base + offsets: the error depends on the offsets alone, which
    // the test knows exactly; a difference of the large sums in floating
    // point loses their digits.
    QTest::addColumn<quint64>("base");
    QTest::addColumn<QList<qint64>>("offsets");
    QTest::newRow("two values") << quint64(0) << QList<qint64>{0, 1};
    QTest::newRow("two close values near 2^40") << (quint64(1) << 40) << QList<qint64>{0, 1};
    QTest::newRow("two close values near 2^63") << (quint64(1) << 63) << QList<qint64>{-3, 4};
    QTest::newRow("five values near 2^62") << (quint64(1) << 62) << QList<qint64>{-7, 2, 0, 11, -1};
    QTest::newRow("a thousand values near 2^50") << (quint64(1) << 50) << [] {
        QList<qint64> offsets;
        for (qint64 i = 0; i < 1000; ++i)
            offsets << (i * 7919) % 101 - 50;
        return offsets;
    }();
}

void TestPercolationSweep::standardErrorsKeepEveryDigit()
{
    QFETCH(quint64, base);
    QFETCH(QList<qint64>, offsets);
    ExactMoments moments;
    for (const qint64 offset : offsets)
        moments.add(base + quint64(offset)); // wraps modulo 2^64, as intended
    const long double n = offsets.size();
    long double mean = 0;
    for (const qint64 offset : offsets)
        mean += offset;
    mean /= n;
    long double squares = 0;
    for (const qint64 offset : offsets)
        squares += (offset - mean) * (offset - mean);
    const double expected = double(std::sqrt(squares / (n - 1) / n) / 4294967296.0L);
    // Every one of the table's 9 significant digits.
    QCOMPARE(SweepTable::formatObservable(moments.standardError(offsets.size(), 1.0 / 4294967296.0)),
             SweepTable::formatObservable(expected));
    QVERIFY(std::abs(moments.standardError(offsets.size(), 1.0 / 4294967296.0) - expected) <= 1e-15 * expected);
}

QTEST_GUILESS_MAIN(TestPercolationSweep)
#include "tst_percolationsweep.moc"
