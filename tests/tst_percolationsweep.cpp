// Sweeps against percolation theory, and their tables: the same bytes for any
// number of jobs and any split into shards, merged parts checked.
#include "percolationsweep.h"
#include "sweeptable.h"

#include <QtTest>

#include <cmath>

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
    const qint64 replicates = 8000;
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
    table.rows << SweepTable::Row{"random", 20, "0.5", "cluster4", "either", 10, 3};
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

QTEST_GUILESS_MAIN(TestPercolationSweep)
#include "tst_percolationsweep.moc"
