// The generators: the random model against a separately written
// xoshiro256** and SplitMix64, the shares each model promises, nesting across
// shares, and fixed landscapes that pin every model's definition.
#include "neutrallandscape.h"
#include "randomstream.h"

#include <QCryptographicHash>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// xoshiro256** and SplitMix64 as their authors publish them.
struct ReferenceGenerator
{
    quint64 s[4];

    explicit ReferenceGenerator(quint64 seed)
    {
        quint64 x = seed;
        for (quint64 &word : s) {
            quint64 z = (x += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
    }
    static quint64 rotl(quint64 x, int k) { return (x << k) | (x >> (64 - k)); }
    quint64 next()
    {
        const quint64 result = rotl(s[1] * 5, 7) * 9;
        const quint64 t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }
};

quint64 mix(quint64 k)
{
    quint64 z = k + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

NeutralLandscape::Parameters parameters(NeutralLandscape::Model model, qint64 size, quint64 seed)
{
    NeutralLandscape::Parameters p;
    p.model = model;
    p.size = size;
    p.seed = seed;
    p.roughness = 0.7;
    p.seedShare = 0.05;
    return p;
}

qint64 habitat(const RaggedRows<qint8> &rows)
{
    qint64 count = 0;
    for (const qint8 cell : rows.cells)
        count += cell;
    return count;
}

// Cells that differ from a row neighbour: low for clumped landscapes.
qint64 edges(const RaggedRows<qint8> &rows, qint64 size)
{
    qint64 count = 0;
    for (qint64 r = 0; r < size; ++r) {
        for (qint64 c = 0; c + 1 < size; ++c)
            count += rows.row(r)[c] != rows.row(r)[c + 1];
    }
    return count;
}

} // namespace

class TestNeutralLandscape : public QObject
{
    Q_OBJECT

private slots:
    void streamIsXoshiro();
    void randomCellsFromTheStream();
    void randomShareWithinBinomialError_data();
    void randomShareWithinBinomialError();
    void exactShares_data();
    void exactShares();
    void nestedAcrossShares_data();
    void nestedAcrossShares();
    void growthOrderGivesTheCells_data();
    void growthOrderGivesTheCells();
    void fixedLandscapes_data();
    void fixedLandscapes();
    void parametersMatter();
    void textForBothReaders();
};

void TestNeutralLandscape::streamIsXoshiro()
{
    for (const quint64 seed : {quint64(0), quint64(1), quint64(0xDEADBEEFCAFEULL), ~quint64(0)}) {
        RandomStream stream(seed);
        ReferenceGenerator reference(seed);
        for (int i = 0; i < 1000; ++i)
            QCOMPARE(stream.next(), reference.next());
    }
    QCOMPARE(RandomStream::key({1, 2}), mix(mix(1) ^ 2));
    QCOMPARE(RandomStream::threshold32(0.0), quint64(0));
    QCOMPARE(RandomStream::threshold32(0.5), quint64(1) << 31);
    QCOMPARE(RandomStream::threshold32(1.0), quint64(1) << 32);
    QCOMPARE(RandomStream::threshold32(1e-12), quint64(1));
}

void TestNeutralLandscape::randomCellsFromTheStream()
{
    // The documented key and the documented use of its outputs.
    const qint64 size = 9;
    const quint64 seed = 77;
    const qint64 replicate = 3;
    const double share = 0.4;
    double zero = 0.0;
    quint64 zeroBits;
    std::memcpy(&zeroBits, &zero, sizeof zeroBits);
    const quint64 key = mix(mix(mix(mix(mix(0 ^ (0x76616E7472697800ULL | NeutralLandscape::Random)) ^ quint64(size)) ^ seed)
                                ^ quint64(replicate))
                            ^ zeroBits);
    // Four lanes, lane l keyed by mix(mix(key) ^ l), taken in turn.
    std::vector<ReferenceGenerator> lanes;
    for (quint64 lane = 0; lane < 4; ++lane)
        lanes.emplace_back(mix(mix(key) ^ lane));
    const quint64 threshold = quint64(std::ceil(share * 4294967296.0));
    std::vector<int> expected;
    for (size_t step = 0; expected.size() < size_t(size * size); ++step) {
        const quint64 bits = lanes[step % 4].next();
        expected.push_back((bits & 0xFFFFFFFFULL) < threshold);
        expected.push_back((bits >> 32) < threshold);
    }
    RaggedRows<qint8> rows;
    NeutralLandscape(parameters(NeutralLandscape::Random, size, seed), replicate).cells(share, rows);
    QCOMPARE(rows.rowCount(), size);
    for (qint64 i = 0; i < size * size; ++i)
        QCOMPARE(int(rows.cells[size_t(i)]), expected[size_t(i)]);
}

void TestNeutralLandscape::randomShareWithinBinomialError_data()
{
    QTest::addColumn<double>("share");
    QTest::newRow("0.05") << 0.05;
    QTest::newRow("0.3") << 0.3;
    QTest::newRow("0.592746") << 0.592746;
    QTest::newRow("0.97") << 0.97;
}

void TestNeutralLandscape::randomShareWithinBinomialError()
{
    QFETCH(double, share);
    const qint64 size = 300;
    const double cells = double(size * size);
    double sum = 0;
    RaggedRows<qint8> rows;
    const int replicates = 20;
    for (int r = 1; r <= replicates; ++r) {
        NeutralLandscape(parameters(NeutralLandscape::Random, size, 5), r).cells(share, rows);
        const double observed = double(habitat(rows)) / cells;
        // One landscape: within 5 standard errors of the binomial.
        QVERIFY2(std::abs(observed - share) < 5 * std::sqrt(share * (1 - share) / cells),
                 qPrintable(QString::number(observed)));
        sum += observed;
    }
    QVERIFY(std::abs(sum / replicates - share) < 5 * std::sqrt(share * (1 - share) / (cells * replicates)));
}

void TestNeutralLandscape::exactShares_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<qint64>("size");
    for (const auto model : {NeutralLandscape::Fractal, NeutralLandscape::Clusters}) {
        for (const qint64 size : {qint64(1), qint64(2), qint64(7), qint64(64), qint64(100), qint64(129)}) {
            QTest::addRow("%s %lld", qPrintable(NeutralLandscape::name(model)), (long long)size)
                    << int(model) << size;
        }
    }
}

void TestNeutralLandscape::exactShares()
{
    QFETCH(int, model);
    QFETCH(qint64, size);
    RaggedRows<qint8> rows;
    for (const quint64 seed : {quint64(1), quint64(2)}) {
        const NeutralLandscape landscape(parameters(NeutralLandscape::Model(model), size, seed), 1);
        for (const double share : {0.0, 0.001, 0.25, 0.5, 0.592746, 0.75, 0.999, 1.0}) {
            landscape.cells(share, rows);
            QCOMPARE(habitat(rows), qint64(std::floor(share * double(size * size) + 0.5)));
        }
    }
}

void TestNeutralLandscape::nestedAcrossShares_data()
{
    QTest::addColumn<int>("model");
    QTest::newRow("random") << int(NeutralLandscape::Random);
    QTest::newRow("fractal") << int(NeutralLandscape::Fractal);
    QTest::newRow("clusters") << int(NeutralLandscape::Clusters);
}

void TestNeutralLandscape::nestedAcrossShares()
{
    QFETCH(int, model);
    const NeutralLandscape landscape(parameters(NeutralLandscape::Model(model), 50, 9), 4);
    RaggedRows<qint8> lower;
    RaggedRows<qint8> higher;
    landscape.cells(0.3, lower);
    for (const double share : {0.31, 0.5, 0.6, 0.9}) {
        landscape.cells(share, higher);
        for (size_t i = 0; i < lower.cells.size(); ++i)
            QVERIFY(lower.cells[i] <= higher.cells[i]);
        QVERIFY(habitat(higher) > habitat(lower));
        std::swap(lower, higher);
    }
}

void TestNeutralLandscape::growthOrderGivesTheCells_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<qint64>("size");
    // 9 x 9 = 81 and 13 x 13 = 169 cells: the draws' last block of 8 is partial.
    QTest::newRow("random 9") << int(NeutralLandscape::Random) << qint64(9);
    QTest::newRow("random 13") << int(NeutralLandscape::Random) << qint64(13);
    QTest::newRow("random 64") << int(NeutralLandscape::Random) << qint64(64);
    QTest::newRow("fractal 33") << int(NeutralLandscape::Fractal) << qint64(33);
    QTest::newRow("clusters 30") << int(NeutralLandscape::Clusters) << qint64(30);
}

void TestNeutralLandscape::growthOrderGivesTheCells()
{
    // The order the sweep grows replicates in: at every share, the cells the
    // landscape has are those whose draw is below the share's threshold
    // (Random), or the first cells of the order.
    QFETCH(int, model);
    QFETCH(qint64, size);
    const NeutralLandscape landscape(parameters(NeutralLandscape::Model(model), size, 5), 2);
    std::vector<quint32> draws(static_cast<size_t>(size * size));
    if (model == NeutralLandscape::Random) {
        landscape.draws(draws.data());
        QVERIFY(landscape.order().empty());
        // The draws are the lanes' outputs as documented: cell 8k + 2l + h is
        // half h of lane l's k-th output.
        const quint64 key = mix(mix(mix(mix(mix(0 ^ (0x76616E7472697800ULL | NeutralLandscape::Random)) ^ quint64(size)) ^ 5)
                                    ^ 2)
                                ^ 0);
        std::vector<ReferenceGenerator> lanes;
        for (quint64 lane = 0; lane < 4; ++lane)
            lanes.emplace_back(mix(mix(key) ^ lane));
        for (size_t i = 0; i < draws.size(); i += 2) {
            const quint64 bits = lanes[(i / 2) % 4].next();
            QCOMPARE(draws[i], quint32(bits));
            if (i + 1 < draws.size())
                QCOMPARE(draws[i + 1], quint32(bits >> 32));
        }
    } else {
        std::vector<quint32> sorted = landscape.order();
        QCOMPARE(qint64(sorted.size()), size * size);
        std::sort(sorted.begin(), sorted.end());
        for (size_t i = 0; i < sorted.size(); ++i)
            QCOMPARE(sorted[i], quint32(i)); // every cell once
    }
    RaggedRows<qint8> rows;
    for (const double share : {0.0, 1e-9, 0.25, 0.5, 0.5927, 0.75, 0.999999, 1.0}) {
        landscape.cells(share, rows);
        std::vector<qint8> expected(static_cast<size_t>(size * size), 0);
        if (model == NeutralLandscape::Random) {
            for (size_t i = 0; i < draws.size(); ++i)
                expected[i] = quint64(draws[i]) < RandomStream::threshold32(share);
        } else {
            for (qint64 i = 0; i < NeutralLandscape::habitatCells(share, size); ++i)
                expected[landscape.order()[size_t(i)]] = 1;
        }
        QVERIFY2(rows.cells == expected, qPrintable(QString::number(share)));
    }
}

void TestNeutralLandscape::fixedLandscapes_data()
{
    // SHA-256 of the text of replicate 2 of each model, 33 x 33 at share 0.55,
    // seed 2026. A change here changes every user's landscapes: it must not
    // happen by accident.
    QTest::addColumn<int>("model");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("random") << int(NeutralLandscape::Random) << QByteArray("d1fbd6515bcce776");
    QTest::newRow("fractal") << int(NeutralLandscape::Fractal) << QByteArray("42d3e09bbe2991f5");
    QTest::newRow("clusters") << int(NeutralLandscape::Clusters) << QByteArray("c4bc475fa31fb3f7");
}

void TestNeutralLandscape::fixedLandscapes()
{
    QFETCH(int, model);
    QFETCH(QByteArray, digest);
    RaggedRows<qint8> rows;
    NeutralLandscape(parameters(NeutralLandscape::Model(model), 33, 2026), 2).cells(0.55, rows);
    const QByteArray text = NeutralLandscape::text(rows);
    QCOMPARE(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex().left(16), digest);
}

void TestNeutralLandscape::parametersMatter()
{
    RaggedRows<qint8> a;
    RaggedRows<qint8> b;
    for (const auto model : {NeutralLandscape::Random, NeutralLandscape::Fractal, NeutralLandscape::Clusters}) {
        NeutralLandscape(parameters(model, 40, 1), 1).cells(0.5, a);
        NeutralLandscape(parameters(model, 40, 1), 1).cells(0.5, b);
        QCOMPARE(a.cells, b.cells);
        NeutralLandscape(parameters(model, 40, 1), 2).cells(0.5, b);
        QVERIFY(a.cells != b.cells);
        NeutralLandscape(parameters(model, 40, 2), 1).cells(0.5, b);
        QVERIFY(a.cells != b.cells);
    }
    // Smoother and larger patches: fewer habitat edges, on average over replicates.
    auto meanEdges = [](NeutralLandscape::Parameters p) {
        RaggedRows<qint8> rows;
        qint64 sum = 0;
        for (int r = 1; r <= 10; ++r) {
            NeutralLandscape(p, r).cells(0.5, rows);
            sum += edges(rows, p.size);
        }
        return sum;
    };
    auto rough = parameters(NeutralLandscape::Fractal, 65, 3);
    rough.roughness = 0.0;
    auto smooth = rough;
    smooth.roughness = 1.0;
    QVERIFY(meanEdges(smooth) * 2 < meanEdges(rough));
    auto many = parameters(NeutralLandscape::Clusters, 65, 3);
    many.seedShare = 0.5;
    auto few = many;
    few.seedShare = 0.01;
    QVERIFY(meanEdges(few) * 2 < meanEdges(many));
    QVERIFY(meanEdges(parameters(NeutralLandscape::Random, 65, 3)) > meanEdges(rough) / 2);
}

void TestNeutralLandscape::textForBothReaders()
{
    RaggedRows<qint8> rows;
    NeutralLandscape(parameters(NeutralLandscape::Random, 3, 1), 1).cells(0.5, rows);
    const QByteArray text = NeutralLandscape::text(rows);
    QCOMPARE(text.count('\n'), 3);
    for (const QByteArray &line : text.split('\n').mid(0, 3)) {
        QCOMPARE(line.size(), 6);
        QVERIFY(line.endsWith(' '));
    }
}

QTEST_GUILESS_MAIN(TestNeutralLandscape)
#include "tst_neutrallandscape.moc"
