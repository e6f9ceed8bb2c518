// The study commands end to end: vantrix-generate, vantrix-sweep, and the
// rules, tiles and shards of vantrix-percolate, run as processes.
#include "neutrallandscape.h"
#include "referencecluster.h"
#include "referencereader.h"
#include "referencewalk.h"
#include "testutil.h"

#include <QDir>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const char *program, const QStringList &arguments)
{
    QProcess process;
    process.start(QString::fromLatin1(program), arguments);
    process.closeWriteChannel();
    if (!process.waitForFinished(300000))
        qFatal("%s did not finish", program);
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return {code, process.readAllStandardOutput(), process.readAllStandardError()};
}

Run generate(const QStringList &arguments)
{
    return run(VANTRIX_GENERATE, arguments);
}
Run sweep(const QStringList &arguments)
{
    return run(VANTRIX_SWEEP, arguments);
}
Run percolate(const QStringList &arguments)
{
    return run(VANTRIX_PERCOLATE, arguments);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The sum of a report's results.
int spanningIn(const QByteArray &report)
{
    int sum = 0;
    for (const QByteArray &line : report.split('\n')) {
        if (line.endsWith("\t1"))
            ++sum;
    }
    return sum;
}

} // namespace

class TestStudyCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void generatedFiles_data();
    void generatedFiles();
    void generatedGeoTiffs();
    void usageErrors_data();
    void usageErrors();
    void sweepReplicatesAreTheGeneratedFiles_data();
    void sweepReplicatesAreTheGeneratedFiles();
    void sweepSameForJobsAndShards();
    void sweepPlot();
    void sweepSeveralSizes();
    void sweepThresholdsAndObservables();
    void percolateRules_data();
    void percolateRules();
    void percolateTiles();
    void percolateShards();
    void defaultRuleIsTheCompleteSearch();
    void thresholdPartsMergeToTheWholeRun_data();
    void thresholdPartsMergeToTheWholeRun();

private:
    QTemporaryDir work;
};

void TestStudyCommands::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(work.path()));
}

void TestStudyCommands::generatedFiles_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("tag"); // the model's parameter in the names
    QTest::newRow("random") << QStringLiteral("random") << QStringList() << QString();
    QTest::newRow("fractal") << QStringLiteral("fractal") << QStringList{"--roughness", "0.8"} << QStringLiteral("-H0.8");
    QTest::newRow("clusters") << QStringLiteral("clusters") << QStringList{"--seed-share", "0.2"} << QStringLiteral("-Q0.2");
}

void TestStudyCommands::generatedFiles()
{
    QFETCH(QString, model);
    QFETCH(QStringList, extra);
    const QString dir = QStringLiteral("gen-%1/deeper").arg(model);
    const QStringList arguments = QStringList{"--model", model, "--size", "21", "--share", "0.45", "--count", "12",
                                              "--seed", "8", "-o", dir}
            + extra;
    const Run first = generate(arguments);
    QCOMPARE(first.err, QByteArray());
    QCOMPARE(first.exitCode, 0);
    const QStringList names = QDir(dir).entryList(QDir::Files, QDir::Name);
    QCOMPARE(names.size(), 12);
    QFETCH(QString, tag);
    QCOMPARE(names.first(), QStringLiteral("%1%2-L21-p0.45-s8-r0001.txt").arg(model, tag));
    QCOMPARE(names.last(), QStringLiteral("%1%2-L21-p0.45-s8-r0012.txt").arg(model, tag));

    NeutralLandscape::Parameters parameters;
    parameters.model = *NeutralLandscape::modelNamed(model);
    parameters.size = 21;
    parameters.seed = 8;
    parameters.roughness = model == QLatin1String("fractal") ? 0.8 : 0.5;
    parameters.seedShare = model == QLatin1String("clusters") ? 0.2 : 0.1;
    RaggedRows<qint8> rows;
    for (int i = 0; i < names.size(); ++i) {
        NeutralLandscape(parameters, i + 1).cells(0.45, rows);
        const QByteArray text = readAll(dir + QLatin1Char('/') + names[i]);
        QCOMPARE(text, NeutralLandscape::text(rows));
        // Both readers see the same grid.
        QCOMPARE(ReferenceReader::percolation(text, 1), ReferenceReader::display(text));
    }
    // Again: the same bytes.
    const QByteArray before = readAll(dir + QLatin1Char('/') + names[5]);
    QCOMPARE(generate(arguments).exitCode, 0);
    QCOMPARE(readAll(dir + QLatin1Char('/') + names[5]), before);
}

void TestStudyCommands::generatedGeoTiffs()
{
    const QStringList arguments{"--model", "clusters", "--size", "40", "--share", "0.58", "--count", "6", "--seed", "4",
                                "-o", "tiffs"};
    QCOMPARE(generate(arguments).exitCode, 0);
    QCOMPARE(generate(arguments + QStringList{"--format", "geotiff"}).exitCode, 0);
    const QStringList texts = QDir(QStringLiteral("tiffs")).entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
    const QStringList tiffs = QDir(QStringLiteral("tiffs")).entryList({QStringLiteral("*.tif")}, QDir::Files, QDir::Name);
    QCOMPARE(tiffs.size(), 6);
    for (const char *rule : {"walk", "cluster4"}) {
        QStringList textPaths;
        QStringList tiffPaths;
        for (int i = 0; i < 6; ++i) {
            textPaths << QStringLiteral("tiffs/") + texts[i];
            tiffPaths << QStringLiteral("tiffs/") + tiffs[i];
        }
        const Run fromText = percolate(QStringList{"-c", "1", "--rule", rule, "--tile", "20"} + textPaths);
        const Run fromTiff = percolate(QStringList{"-c", "1", "--rule", rule, "--tile", "20"} + tiffPaths);
        QCOMPARE(fromTiff.exitCode, 0);
        QCOMPARE(QByteArray(fromTiff.out).replace(".tif", ".txt"), fromText.out);
    }
    QCOMPARE(generate(arguments + QStringList{"--format", "png"}).exitCode, 2);
}

void TestStudyCommands::usageErrors_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    const QStringList landscape{"--model", "random", "--size", "10", "--seed", "1"};
    QTest::newRow("generate: no model") << "generate" << QStringList{"--size", "5", "--share", "0.5", "--count", "1", "--seed", "1"};
    QTest::newRow("generate: unknown model") << "generate" << QStringList{"--model", "perlin", "--size", "5", "--share", "0.5", "--count", "1", "--seed", "1"};
    QTest::newRow("generate: share above 1") << "generate" << landscape + QStringList{"--share", "1.5", "--count", "1"};
    QTest::newRow("generate: share a word") << "generate" << landscape + QStringList{"--share", "half", "--count", "1"};
    QTest::newRow("generate: no count") << "generate" << landscape + QStringList{"--share", "0.5"};
    QTest::newRow("generate: roughness of random") << "generate" << landscape + QStringList{"--share", "0.5", "--count", "1", "--roughness", "0.3"};
    QTest::newRow("generate: size 0") << "generate" << QStringList{"--model", "random", "--size", "0", "--seed", "1", "--share", "0.5", "--count", "1"};
    QTest::newRow("generate: negative seed") << "generate" << QStringList{"--model", "random", "--size", "4", "--seed", "-1", "--share", "0.5", "--count", "1"};
    QTest::newRow("sweep: no replicates") << "sweep" << landscape + QStringList{"--share", "0.5"};
    QTest::newRow("sweep: step 0") << "sweep" << landscape + QStringList{"--share", "0.5:0.6:0", "--replicates", "2"};
    QTest::newRow("sweep: range backwards") << "sweep" << landscape + QStringList{"--share", "0.6:0.5:0.01", "--replicates", "2"};
    QTest::newRow("sweep: share twice") << "sweep" << landscape + QStringList{"--share", "0.5,0.50", "--replicates", "2"};
    QTest::newRow("sweep: unknown rule") << "sweep" << landscape + QStringList{"--share", "0.5", "--replicates", "2", "--rule", "walk,cluster6"};
    QTest::newRow("sweep: shard 0") << "sweep" << landscape + QStringList{"--share", "0.5", "--replicates", "2", "--shard", "0/3"};
    QTest::newRow("sweep: shard beyond") << "sweep" << landscape + QStringList{"--share", "0.5", "--replicates", "2", "--shard", "4/3"};
    QTest::newRow("sweep: plot as pdf") << "sweep" << landscape + QStringList{"--share", "0.5", "--replicates", "2", "--plot", "x.pdf"};
    QTest::newRow("sweep: merge with a model") << "sweep" << QStringList{"--merge", "--model", "random", "a.tsv"};
    QTest::newRow("sweep: a size twice") << "sweep" << QStringList{"--model", "random", "--size", "8,16,8", "--seed", "1", "--share", "0.5", "--replicates", "2"};
    QTest::newRow("sweep: a size not a number") << "sweep" << QStringList{"--model", "random", "--size", "8,x", "--seed", "1", "--share", "0.5", "--replicates", "2"};
    QTest::newRow("sweep: thresholds of the walk") << "sweep" << landscape + QStringList{"--share", "0.5", "--replicates", "2", "--rule", "walk", "--thresholds", "t.tsv"};
    QTest::newRow("sweep: observables of the walk") << "sweep" << landscape + QStringList{"--share", "0.5", "--replicates", "2", "--rule", "walk", "--observables"};
    QTest::newRow("sweep: observables plot without observables") << "sweep" << landscape + QStringList{"--share", "0.5", "--replicates", "2", "--rule", "cluster4", "--plot-observables", "o.png"};
    QTest::newRow("sweep: thresholds onto the table") << "sweep" << landscape + QStringList{"--share", "0.5", "--replicates", "2", "--rule", "cluster4", "--thresholds", "t.tsv", "-o", "t.tsv"};
    QTest::newRow("sweep: thresholds {shard} without shard") << "sweep" << landscape + QStringList{"--share", "0.5", "--replicates", "2", "--rule", "cluster4", "--thresholds", "t-{shard}.tsv"};
    QTest::newRow("sweep: observables beyond the union-find") << "sweep" << QStringList{"--model", "random", "--size", "50000", "--seed", "1", "--share", "0.5", "--replicates", "2", "--rule", "cluster4", "--observables"};
    QTest::newRow("percolate: unknown rule") << "percolate" << QStringList{"--rule", "flood", "x.txt"};
    QTest::newRow("percolate: unknown direction") << "percolate" << QStringList{"--direction", "diagonal", "x.txt"};
    QTest::newRow("percolate: band 0") << "percolate" << QStringList{"--band", "0", "x.txt"};
    QTest::newRow("percolate: tile 0") << "percolate" << QStringList{"--tile", "0", "x.txt"};
    QTest::newRow("percolate: shard K/0") << "percolate" << QStringList{"--shard", "1/0", "x.txt"};
    QTest::newRow("percolate: {shard} without shard") << "percolate" << QStringList{"-o", "r-{shard}.txt", "x.txt"};
    QTest::newRow("percolate: merge with a rule") << "percolate" << QStringList{"--merge", "--rule", "walk", "x.txt"};
}

void TestStudyCommands::usageErrors()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    const Run result = program == QLatin1String("generate") ? generate(arguments)
            : program == QLatin1String("sweep")             ? sweep(arguments)
                                                            : percolate(arguments);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.err.count('\n'), 1);
    QVERIFY(result.out.isEmpty());
}

void TestStudyCommands::sweepReplicatesAreTheGeneratedFiles_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("direction");
    QTest::newRow("random walk") << "random" << "walk" << "either";
    QTest::newRow("random cluster4 left-right") << "random" << "cluster4" << "left-right";
    QTest::newRow("fractal cluster8") << "fractal" << "cluster8" << "top-bottom";
    QTest::newRow("clusters walk top-bottom") << "clusters" << "walk" << "top-bottom";
}

void TestStudyCommands::sweepReplicatesAreTheGeneratedFiles()
{
    QFETCH(QString, model);
    QFETCH(QString, rule);
    QFETCH(QString, direction);
    const QStringList landscape{"--model", model, "--size", "30", "--seed", "99"};
    const QString dir = QStringLiteral("replicates-%1-%2-%3").arg(model, rule, direction);
    for (const char *share : {"0.55", "0.6"}) {
        QCOMPARE(generate(landscape + QStringList{"--share", share, "--count", "40", "-o", dir}).exitCode, 0);
        QStringList files;
        for (const QString &name : QDir(dir).entryList({QStringLiteral("*-p%1-*").arg(share)}, QDir::Files, QDir::Name))
            files << dir + QLatin1Char('/') + name;
        QCOMPARE(files.size(), 40);
        const Run report = percolate(QStringList{"-c", "1", "--rule", rule, "--direction", direction} + files);
        QCOMPARE(report.exitCode, 0);
        const Run table = sweep(landscape + QStringList{"--share", share, "--replicates", "40", "--rule", rule,
                                                        "--direction", direction});
        QCOMPARE(table.exitCode, 0);
        const QList<QByteArray> row = table.out.split('\n')[1].split('\t');
        QCOMPARE(row[6].toInt(), spanningIn(report.out));
    }
}

void TestStudyCommands::sweepSameForJobsAndShards()
{
    const QStringList arguments{"--model", "clusters", "--size", "48", "--seed", "5", "--share", "0.40:0.70:0.05",
                                "--replicates", "37", "--rule", "walk,cluster4,cluster8"};
    const Run one = sweep(arguments + QStringList{"-j", "1"});
    QCOMPARE(one.exitCode, 0);
    QCOMPARE(one.out.count('\n'), 1 + 7 * 3);
    QVERIFY(one.out.startsWith("model\tsize\tshare\trule\tdirection\treplicates\tspanning\tpp\tpp_low\tpp_high\n"));
    QVERIFY(one.out.contains("clusters\t48\t0.45\tcluster4\teither\t37\t"));
    QCOMPARE(sweep(arguments + QStringList{"-j", "2"}).out, one.out);
    QCOMPARE(sweep(arguments + QStringList{"-j", "7"}).out, one.out);
    QStringList parts;
    for (int k = 1; k <= 4; ++k) {
        QCOMPARE(sweep(arguments + QStringList{"--shard", QStringLiteral("%1/4").arg(k), "-o", "sweep-{shard}.tsv"}).exitCode, 0);
        parts << QStringLiteral("sweep-%1-of-4.tsv").arg(k);
    }
    QCOMPARE(QDir().entryList({QStringLiteral("sweep-*.tsv")}, QDir::Files, QDir::Name), parts);
    const Run merged = sweep(QStringList{"--merge", parts[2], parts[0], parts[3], parts[1]});
    QCOMPARE(merged.exitCode, 0);
    QCOMPARE(merged.out, one.out);
    const Run missing = sweep(QStringList{"--merge", parts[0], parts[1], parts[3]});
    QCOMPARE(missing.exitCode, 1);
    QVERIFY2(missing.err.contains("shard 3 of 4 is missing"), missing.err.constData());
    QVERIFY(missing.out.isEmpty());
}

void TestStudyCommands::sweepPlot()
{
    const Run result = sweep({"--model", "random", "--size", "32", "--seed", "3", "--share", "0.5:0.7:0.05",
                              "--replicates", "20", "--rule", "walk,cluster4", "-o", "plotted.tsv", "--plot",
                              "curves.png"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    QImageReader image(QStringLiteral("curves.png"));
    QCOMPARE(image.format(), QByteArray("png"));
    QVERIFY(image.size().width() >= 800);
    QCOMPARE(sweep({"--merge", "nothing.tsv", "--plot", "none.png"}).exitCode, 1);
    QVERIFY(!QFile::exists(QStringLiteral("none.png")));
}

void TestStudyCommands::sweepSeveralSizes()
{
    // A block of rows per size, each the table of that size alone; one
    // curve per size and rule in the plot.
    const QStringList common{"--model", "fractal", "--seed", "4", "--share", "0.4:0.7:0.02", "--replicates", "25",
                             "--rule", "cluster4,walk,cluster8", "-q"};
    const Run both = sweep(common + QStringList{"--size", "20,12", "--plot", "sizes.svg"});
    QCOMPARE(both.exitCode, 0);
    const Run twenty = sweep(common + QStringList{"--size", "20"});
    const Run twelve = sweep(common + QStringList{"--size", "12"});
    QCOMPARE(both.out, twenty.out + twelve.out.mid(twelve.out.indexOf('\n') + 1));
    const QByteArray svg = readAll(QStringLiteral("sizes.svg"));
    QVERIFY(svg.contains(">cluster8, L = 12: "));
    QVERIFY(svg.contains("walk, L = 20: PP = 0.68 at p ="));
    // More sizes than a plot has colours: refused, the table written.
    const Run many = sweep({"--model", "random", "--seed", "1", "--share", "0.5,0.6", "--replicates", "3", "--rule",
                            "cluster4", "--size", "2,3,4,5,6,7,8,9", "-o", "many.tsv", "--plot", "many.png"});
    QCOMPARE(many.exitCode, 1);
    QVERIFY2(many.err.contains("at most 7"), many.err.constData());
    QCOMPARE(readAll(QStringLiteral("many.tsv")).count('\n'), 1 + 8 * 2);
}

void TestStudyCommands::sweepThresholdsAndObservables()
{
    const QStringList arguments{"--model", "clusters", "--size", "24,16", "--seed", "6", "--share", "0.45:0.65:0.05",
                                "--replicates", "30", "--rule", "walk,cluster8,cluster4", "--direction", "left-right",
                                "--observables", "-q"};
    const Run whole = sweep(arguments + QStringList{"-o", "whole.tsv", "--thresholds", "critical.tsv", "--plot-observables",
                                                    "observables.png"});
    QCOMPARE(whole.exitCode, 0);
    QCOMPARE(whole.err, QByteArray());
    QImageReader image(QStringLiteral("observables.png"));
    QCOMPARE(image.format(), QByteArray("png"));
    // The thresholds: a line per size, replicate and cluster rule.
    const QList<QByteArray> lines = readAll(QStringLiteral("critical.tsv")).split('\n');
    QCOMPARE(lines.size(), 1 + 2 * 30 * 2 + 1);
    QCOMPARE(lines[0], QByteArray("model\tsize\tseed\treplicate\trule\tdirection\tcritical_cells\tcritical_share"));
    QVERIFY(lines[1].startsWith("clusters\t24\t6\t1\tcluster8\tleft-right\t"));
    QVERIFY(lines[2].startsWith("clusters\t24\t6\t1\tcluster4\tleft-right\t"));
    QVERIFY(lines[61].startsWith("clusters\t16\t6\t1\tcluster8\t"));
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
        // The clusters model's share p holds round(p L^2) cells: it first
        // holds the critical cells at (cells - 1/2) / L^2, written rounded up.
        const QList<QByteArray> fields = lines[i].split('\t');
        const double size = fields[1].toDouble();
        const double boundary = (fields[6].toDouble() - 0.5) / (size * size);
        QVERIFY2(fields[7].toDouble() >= boundary && fields[7].toDouble() - 1e-9 < boundary, lines[i].constData());
    }
    // The table: observables for the cluster rules, NA for the walk; the
    // parts of a split, merged, are the whole table; their thresholds, joined
    // in order, the whole thresholds.
    const QByteArray table = readAll(QStringLiteral("whole.tsv"));
    QVERIFY(table.contains("\tmean_size_finite\tmean_size_finite_se\n"));
    QVERIFY(table.contains("clusters\t16\t0.55\twalk\tleft-right\t30\t"));
    QVERIFY(table.contains("\tNA\tNA\tNA\tNA\tNA\tNA\n"));
    QStringList parts;
    QByteArray joined = lines[0] + '\n';
    for (int k = 1; k <= 3; ++k) {
        QCOMPARE(sweep(arguments + QStringList{"--shard", QStringLiteral("%1/3").arg(k), "-o", "observed-{shard}.tsv",
                                               "--thresholds", "critical-{shard}.tsv"})
                         .exitCode,
                 0);
        parts << QStringLiteral("observed-%1-of-3.tsv").arg(k);
        for (const QByteArray &line : readAll(QStringLiteral("critical-%1-of-3.tsv").arg(k)).split('\n')) {
            if (!line.isEmpty() && !line.startsWith('#') && line != lines[0])
                joined += line + '\n';
        }
    }
    const Run merged = sweep(QStringList{"--merge", parts[1], parts[2], parts[0], "--plot-observables", "merged.svg"});
    QCOMPARE(merged.exitCode, 0);
    QCOMPARE(merged.out, table);
    QVERIFY(readAll(QStringLiteral("merged.svg")).contains("cluster4, L = 16"));
    // Thresholds of the same replicates in another order of the parts.
    QMap<QByteArray, int> wholeLines, partLines;
    for (const QByteArray &line : lines)
        ++wholeLines[line];
    for (const QByteArray &line : joined.split('\n'))
        ++partLines[line];
    QCOMPARE(partLines, wholeLines);
    // A table without observables gives no observables plot.
    QCOMPARE(sweep({"--model", "random", "--size", "8", "--seed", "1", "--share", "0.5", "--replicates", "4", "--rule",
                    "cluster4", "--shard", "1/1", "-o", "plain-{shard}.tsv"})
                     .exitCode,
             0);
    const Run plain = sweep({"--merge", "plain-1-of-1.tsv", "--plot-observables", "none.png"});
    QCOMPARE(plain.exitCode, 1);
    QVERIFY(!QFile::exists(QStringLiteral("none.png")));
}

void TestStudyCommands::percolateRules_data()
{
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("direction");
    QTest::newRow("walk either") << "walk" << "either";
    QTest::newRow("walk left-right") << "walk" << "left-right";
    QTest::newRow("cluster4 either") << "cluster4" << "either";
    QTest::newRow("cluster4 top-bottom") << "cluster4" << "top-bottom";
    QTest::newRow("cluster8 left-right") << "cluster8" << "left-right";
}

void TestStudyCommands::percolateRules()
{
    QFETCH(QString, rule);
    QFETCH(QString, direction);
    // Ragged text landscapes, with cover 7 among other classes.
    QStringList paths;
    QByteArray expected;
    QStringList withoutCells; // files of empty lines only: not landscapes
    int sum = 0;
    for (int i = 0; i < 120; ++i) {
        QByteArray text;
        const int n = 1 + i % 17;
        quint32 state = quint32(i * 2654435761u + 1);
        for (int r = 0; r < n; ++r) {
            const int width = (r * 7 + i) % 11 == 0 ? r % (n + 1) : n + i % 3;
            for (int c = 0; c < width; ++c) {
                state = state * 1664525u + 1013904223u;
                text += (state >> 24) % 100 < 60 ? "7 " : (state >> 24) % 2 ? "3 " : "x ";
            }
            text += '\n';
        }
        paths << TestUtil::writeFixture(work.path(), QStringLiteral("rules-%1.txt").arg(i), text);
        const auto cells = ReferenceReader::percolation(text, 7);
        if (cells.empty())
            withoutCells << paths.last();
        int answer;
        if (rule == QLatin1String("walk") && direction == QLatin1String("either"))
            answer = ReferenceWalk::percolates(cells);
        else if (rule == QLatin1String("walk"))
            answer = -1; // checked against the either answer below
        else
            answer = ReferenceCluster::spans(cells, rule == QLatin1String("cluster8") ? 8 : 4,
                                             direction != QLatin1String("top-bottom"),
                                             direction != QLatin1String("left-right"));
        expected += QFile::encodeName(paths.last()) + '\t' + QByteArray::number(answer) + '\n';
        sum += answer;
    }
    const Run result = percolate(QStringList{"-c", "7", "--rule", rule, "--direction", direction} + paths);
    QVERIFY(!withoutCells.isEmpty());
    QVERIFY2(result.exitCode == 1, result.err.constData());
    for (const QString &path : withoutCells)
        QVERIFY2(result.err.contains(QFile::encodeName(path) + ": it holds no cell"), result.err.constData());
    if (rule == QLatin1String("walk") && direction != QLatin1String("either")) {
        const QByteArray either = percolate(QStringList{"-c", "7", "--rule", "walk"} + paths).out;
        QVERIFY(spanningIn(result.out) <= spanningIn(either));
        return;
    }
    expected += "Probability Percolation (PP) = " + QByteArray::number(double(sum) / paths.size(), 'g', 6) + '\n';
    QCOMPARE(result.out, expected);
}

void TestStudyCommands::percolateTiles()
{
    // 10 rows of 13 values, but row 4 of 5. Squares of 3 on rows 0, 3 and 6
    // (row 9 starts no complete square): rows 0-2 give columns 0, 3, 6, 9;
    // rows 3-5 hold the short row, so only column 0; rows 6-8 give 4.
    QByteArray text;
    for (int r = 0; r < 10; ++r) {
        const int width = r == 4 ? 5 : 13;
        for (int c = 0; c < width; ++c)
            text += (c / 3 + r / 3) % 2 == 0 || c % 3 == 1 ? "1 " : "0 ";
        text += '\n';
    }
    const QString path = TestUtil::writeFixture(work.path(), QStringLiteral("tiled.txt"), text);
    const Run result = percolate({"-c", "1", "--tile", "3", "--rule", "cluster4", "-o", "tiles.txt", path});
    QCOMPARE(result.exitCode, 0);
    const QByteArray report = readAll(QStringLiteral("tiles.txt"));
    const QList<QByteArray> lines = report.split('\n');
    QStringList names;
    for (const QByteArray &line : lines) {
        if (line.contains('#'))
            names << QString::fromLatin1(line.mid(line.indexOf('#') + 1, line.indexOf('\t') - line.indexOf('#') - 1));
    }
    QCOMPARE(names, (QStringList{"0,0", "0,3", "0,6", "0,9", "3,0", "6,0", "6,3", "6,6", "6,9"}));
    // Each square against the reference on its own cells.
    const auto cells = ReferenceReader::percolation(text, 1);
    for (const QByteArray &line : lines) {
        if (!line.contains('#'))
            continue;
        const QList<QByteArray> at = line.mid(line.indexOf('#') + 1, line.indexOf('\t') - line.indexOf('#') - 1).split(',');
        const int top = at[0].toInt();
        const int left = at[1].toInt();
        std::vector<std::vector<int>> square;
        for (int r = top; r < top + 3; ++r)
            square.emplace_back(cells[size_t(r)].begin() + left, cells[size_t(r)].begin() + left + 3);
        QCOMPARE(line.right(1).toInt(), int(ReferenceCluster::spans(square, 4, true, true)));
    }
    // The lattice over 10 x 13 has 4 x 5 squares: 9 tested, 11 left out.
    QVERIFY2(result.err.contains("11 incomplete square(s)"), result.err.constData());
    const Run merged = percolate({"--merge", "tiles.txt"});
    QCOMPARE(merged.exitCode, 0);
    QCOMPARE(merged.out, report);
}

void TestStudyCommands::percolateShards()
{
    QStringList paths;
    for (int i = 0; i < 23; ++i)
        paths << TestUtil::writeFixture(work.path(), QStringLiteral("shard-in-%1.txt").arg(i, 2, 10, QLatin1Char('0')),
                                        i % 3 ? "1 1\n0 0\n" : "1 0\n0 1\n");
    QVERIFY(TestUtil::writeFile(QStringLiteral("all.txt"), QFile::encodeName(paths.join(QLatin1Char('\n')))));
    const Run whole = percolate({"-c", "1", "--files-from", "all.txt"});
    QCOMPARE(whole.exitCode, 0);
    QStringList parts;
    for (int k = 1; k <= 10; ++k) {
        const Run part = percolate({"-c", "1", "--files-from", "all.txt", "--shard", QStringLiteral("%1/10").arg(k),
                                    "-o", "part-{shard}.txt"});
        QCOMPARE(part.exitCode, 0);
        parts << QStringLiteral("part-%1-of-10.txt").arg(k, 2, 10, QLatin1Char('0'));
        // Blocks of 2 or 3, in order, after the line that says which part it is.
        const QByteArray report = readAll(parts.last());
        QVERIFY(report.startsWith(QStringLiteral("# vantrix-percolate shard %1/10: files=23 ").arg(k).toLatin1()));
        const int lines = int(report.count('\n')) - 2;
        QVERIFY(lines == 2 || lines == 3);
    }
    QCOMPARE(QDir().entryList({QStringLiteral("part-*")}, QDir::Files, QDir::Name), parts);
    const Run merged = percolate(QStringList{"--merge"} + parts);
    QCOMPARE(merged.exitCode, 0);
    QCOMPARE(merged.out, whole.out);
    QStringList missing = parts;
    missing.removeAt(4);
    const Run gap = percolate(QStringList{"--merge"} + missing);
    QCOMPARE(gap.exitCode, 1);
    QVERIFY2(gap.err.contains("shard 5 of 10 is missing"), gap.err.constData());
    QStringList doubled = parts;
    doubled.insert(3, parts[3]);
    QCOMPARE(percolate(QStringList{"--merge"} + doubled).exitCode, 1);
    QCOMPARE(percolate(QStringList{"--merge"} + parts.mid(0, 9)).exitCode, 1);
    // A part of another split in its place, whatever its name says; and a
    // part renamed to stand for another.
    QVERIFY(QDir().mkpath(QStringLiteral("other")));
    QCOMPARE(percolate({"-c", "1", "--files-from", "all.txt", "--shard", "2/11", "-o", "other/part-{shard}.txt"})
                     .exitCode,
             0);
    QStringList mixed = parts;
    mixed[1] = QStringLiteral("other/part-02-of-11.txt");
    const Run other = percolate(QStringList{"--merge"} + mixed);
    QCOMPARE(other.exitCode, 1);
    QVERIFY2(other.err.contains("of another run"), other.err.constData());
    QVERIFY(QFile::copy(parts[0], QStringLiteral("other/part-02-of-10.txt")));
    mixed[1] = QStringLiteral("other/part-02-of-10.txt");
    const Run renamed = percolate(QStringList{"--merge"} + mixed);
    QCOMPARE(renamed.exitCode, 1);
    QVERIFY2(renamed.err.contains("shard 1 of 10, which is given twice"), renamed.err.constData());
    // More shards than files: empty parts, still whole when merged.
    QStringList many;
    for (int k = 1; k <= 30; ++k) {
        QCOMPARE(percolate({"-c", "1", "--files-from", "all.txt", "--shard", QStringLiteral("%1/30").arg(k), "-o",
                            "many-{shard}.txt"}).exitCode, 0);
        many << QStringLiteral("many-%1-of-30.txt").arg(k, 2, 10, QLatin1Char('0'));
    }
    QCOMPARE(percolate(QStringList{"--merge"} + many).out, whole.out);
}

// Both programs answer by default with cluster4, which finds every cluster
// that spans; the walk misses some (random maps of 12 x 12 at share 0.6).
void TestStudyCommands::defaultRuleIsTheCompleteSearch()
{
    QRandomGenerator random(12);
    QStringList missedByTheWalk;
    for (int i = 0; missedByTheWalk.size() < 5 && i < 5000; ++i) {
        QByteArray text;
        for (int r = 0; r < 12; ++r) {
            for (int c = 0; c < 12; ++c)
                text += random.generateDouble() < 0.6 ? "1 " : "0 ";
            text += '\n';
        }
        const auto cells = ReferenceReader::percolation(text, 1);
        if (ReferenceWalk::percolates(cells) == 0 && ReferenceCluster::spans(cells, 4, true, true))
            missedByTheWalk << TestUtil::writeFixture(work.path(), QStringLiteral("missed-%1.txt").arg(i), text);
    }
    QCOMPARE(missedByTheWalk.size(), qsizetype(5));
    const Run byDefault = percolate(QStringList{"-q", "-c", "1"} + missedByTheWalk);
    QCOMPARE(byDefault.exitCode, 0);
    QVERIFY2(byDefault.out.endsWith("Probability Percolation (PP) = 1\n"), byDefault.out.constData());
    QVERIFY(percolate(QStringList{"-q", "-c", "1", "--rule", "walk"} + missedByTheWalk)
                    .out.endsWith("Probability Percolation (PP) = 0\n"));

    const QStringList study{"--model", "random", "--size", "12", "--share", "0.6", "--replicates", "400", "--seed", "7", "-q"};
    const Run sweptByDefault = sweep(study);
    QCOMPARE(sweptByDefault.exitCode, 0);
    QCOMPARE(sweptByDefault.out, sweep(study + QStringList{"--rule", "cluster4"}).out);
    QVERIFY(sweptByDefault.out != sweep(study + QStringList{"--rule", "walk"}).out.replace("walk", "cluster4"));
}

void TestStudyCommands::thresholdPartsMergeToTheWholeRun_data()
{
    QTest::addColumn<QString>("sizes");
    QTest::addColumn<int>("parts");
    QTest::newRow("one size, 3 parts") << "12" << 3;
    QTest::newRow("three sizes, 3 parts") << "8,12,16" << 3;
    QTest::newRow("two sizes, more parts than replicates") << "8,10" << 9;
}

// The thresholds of a split run's parts, merged in any order, are the whole
// run's bytes, with one size or several; parts missing or cut short are
// refused.
void TestStudyCommands::thresholdPartsMergeToTheWholeRun()
{
    QFETCH(QString, sizes);
    QFETCH(int, parts);
    const QStringList study{"--model", "random", "--size", sizes, "--share", "0.5:0.7:0.05", "--replicates", "7",
                            "--seed", "3", "--rule", "cluster4,cluster8", "-q", "-o", "/dev/null"};
    const Run whole = sweep(study + QStringList{"--thresholds", "-"});
    QCOMPARE(whole.exitCode, 0);
    QStringList names;
    for (int k = parts; k >= 1; --k) {
        QCOMPARE(sweep(study + QStringList{"--shard", QStringLiteral("%1/%2").arg(k).arg(parts), "--thresholds",
                                           "critical-{shard}.tsv"})
                         .exitCode,
                 0);
        names << QStringLiteral("critical-%1-of-%2.tsv").arg(k, parts >= 10 ? 2 : 1, 10, QLatin1Char('0')).arg(parts);
    }
    const Run merged = sweep(QStringList{"--merge"} + names);
    QVERIFY2(merged.exitCode == 0, merged.err.constData());
    QCOMPARE(merged.out, whole.out);
    const Run missing = sweep(QStringList{"--merge"} + names.mid(1));
    QCOMPARE(missing.exitCode, 1);
    QVERIFY2(missing.err.contains("missing"), missing.err.constData());
    QFile cut(names.first());
    QVERIFY(cut.open(QIODevice::ReadWrite));
    const QByteArray bytes = cut.readAll();
    QVERIFY(cut.resize(bytes.lastIndexOf("# vantrix-sweep thresholds end")));
    cut.close();
    const Run cutShort = sweep(QStringList{"--merge"} + names);
    QCOMPARE(cutShort.exitCode, 1);
    QVERIFY2(cutShort.err.contains("cut short"), cutShort.err.constData());
    for (const QString &name : names)
        QFile::remove(name);
}

QTEST_GUILESS_MAIN(TestStudyCommands)
#include "tst_studycommands.moc"
