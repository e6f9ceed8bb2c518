#include "calls.h"

#include "batchoutputs.h"
#include "clustertable.h"
#include "generatetool.h"
#include "neutrallandscape.h"
#include "patchtable.h"
#include "percolatetool.h"
#include "sweeptool.h"

#include <QDataStream>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <exception>
#include <mutex>

namespace Calls {

namespace {

// The name an array goes by in messages; its tables say "".
const QByteArray ArrayName = "array";

// The program's command line for options: "--name value" each, "--name"
// alone for an empty value (a switch such as observables).
QStringList commandLine(const char *program, const Options &options)
{
    QStringList arguments{QString::fromLatin1(program)};
    for (const auto &[name, value] : options) {
        arguments << QStringLiteral("--") + name;
        if (!value.isEmpty())
            arguments << value;
    }
    return arguments;
}

// What a program writes on standard error during a call, kept.
class Messages
{
public:
    Messages() { m_file = ::open_memstream(&m_buffer, &m_size); }
    ~Messages()
    {
        if (m_file)
            std::fclose(m_file);
        std::free(m_buffer);
    }
    Messages(const Messages &) = delete;
    Messages &operator=(const Messages &) = delete;

    std::FILE *file() const { return m_file ? m_file : stderr; }
    QStringList lines()
    {
        if (!m_file)
            return {};
        std::fflush(m_file);
        QStringList out = QString::fromLocal8Bit(m_buffer, qsizetype(m_size)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return out;
    }

private:
    std::FILE *m_file = nullptr;
    char *m_buffer = nullptr;
    size_t m_size = 0;
};

PercolateOptions percolateOptions(const Landscapes &landscapes, const Options &options, const QStringList &asked)
{
    QStringList arguments = commandLine("vantrix-percolate", options) + asked;
    if (landscapes.grid) {
        arguments << QString::fromLatin1(ArrayName);
    } else {
        if (landscapes.paths.isEmpty())
            throw Error(Error::Usage, QStringLiteral("no landscape given"));
        arguments << QStringLiteral("--");
        for (const QByteArray &path : landscapes.paths)
            arguments << QString::fromLatin1(path);
    }
    PercolateOptions parsed;
    QString why;
    if (!PercolateTool::parse(arguments, parsed, &why))
        throw Error(Error::Usage, why);
    if (landscapes.grid) {
        const QString refusal = landscapes.grid->refusal();
        if (!refusal.isEmpty())
            throw Error(Error::Usage, refusal);
    }
    return parsed;
}

// Runs the batch, its results handed to outputs as the program hands them;
// a landscape that cannot be read ends the call.
void runBatch(const Landscapes &landscapes, const PercolateOptions &parsed, PercolationBatch::Options batch,
              BatchOutputs::Options outputs, Notes &notes,
              const std::function<void(const PercolationBatch::Result &)> &also = {})
{
    const QByteArrayList names = landscapes.grid ? QByteArrayList{ArrayName} : landscapes.paths;
    batch.grid = landscapes.grid;
    Messages messages;
    outputs.program = "vantrix";
    outputs.report = "/dev/null"; // the answers come back as values
    BatchOutputs out(outputs, batch, names, messages.file());
    if (!out.open())
        throw Error(Error::File, messages.lines().join(QLatin1Char('\n')));
    std::optional<Error> failure;
    PercolationBatch::run(names, batch, parsed.jobs, [&](const PercolationBatch::Result &result) {
        if (!result.errorString.isEmpty() && !failure) {
            failure = Error(result.outOfMemory ? Error::Memory : Error::File,
                            QString::fromLocal8Bit(names[result.index]) + QStringLiteral(": ") + result.errorString);
        }
        if (!failure && !result.mapError.isEmpty())
            failure = Error(Error::File, result.mapError);
        out.add(result);
        if (also)
            also(result);
    });
    out.finish();
    notes = messages.lines();
    if (failure)
        throw *failure;
}

TableColumns tableOf(const Landscapes &landscapes, const Options &options, bool patchRows, Notes &notes)
{
    const PercolateOptions parsed = percolateOptions(
            landscapes, options,
            patchRows ? QStringList{QStringLiteral("--patches"), QStringLiteral("/dev/null")}
                      : QStringList{QStringLiteral("--table"), QStringLiteral("/dev/null")});
    const PercolationBatch::Options batch = PercolateTool::batchOptions(parsed);
    TableColumns columns(patchRows ? PatchTable::header() : ClusterTable::header(batch.lacunarity));
    BatchOutputs::Options outputs;
    (patchRows ? outputs.patchColumns : outputs.tableColumns) = &columns;
    runBatch(landscapes, parsed, batch, outputs, notes);
    if (landscapes.grid)
        columns.fill("landscape", QByteArray()); // an array has no name
    return columns;
}

} // namespace

TableColumns clusters(const Landscapes &landscapes, const Options &options, Notes &notes)
{
    return tableOf(landscapes, options, false, notes);
}

TableColumns patches(const Landscapes &landscapes, const Options &options, Notes &notes)
{
    return tableOf(landscapes, options, true, notes);
}

namespace {

constexpr char BandMagic[] = "vantrix array band 1";

// The options of a search in bands, refused where it needs the whole.
PercolationBatch::Options bandOptions(const Landscapes &landscapes, const Options &options)
{
    const PercolateOptions parsed =
            percolateOptions(landscapes, options, {QStringLiteral("--table"), QStringLiteral("/dev/null")});
    const PercolationBatch::Options batch = PercolateTool::batchOptions(parsed);
    if (batch.tileSize > 0 || !batch.lacunarity.empty() || batch.rule.kind == SpanningRule::Walk)
        throw Error(Error::Usage, QStringLiteral("an array in chunks is searched in bands of rows: tiles, lacunarity "
                                                 "and the walk need it whole"));
    return batch;
}

} // namespace

QByteArray clustersOfBand(const Landscapes &landscapes, const Options &options, qint64 firstRow, qint64 rows)
{
    if (!landscapes.grid)
        throw Error(Error::Usage, QStringLiteral("a band is an array"));
    PercolationBatch::Options batch = bandOptions(landscapes, options);
    batch.grid = landscapes.grid;
    batch.place = PercolationBatch::Options::Place{firstRow, rows};
    const PercolationBatch::Result result = PercolationBatch::test(ArrayName, batch);
    if (!result.errorString.isEmpty())
        throw Error(result.outOfMemory ? Error::Memory : Error::File, result.errorString);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << QByteArray(BandMagic) << result.edgeCells << result.edgeCellsWithoutValue << result.cellsLeftOut
        << result.fileColumns << result.isRaster << result.geo.projection << result.geo.hasTransform
        << result.geo.geographic << result.geo.units;
    for (const double t : result.geo.transform)
        out << t;
    out << result.seam;
    return bytes;
}

TableColumns clustersOfBands(const std::vector<QByteArray> &bands, const Options &options, Notes &notes)
{
    const Landscapes named{{ArrayName}, nullptr};
    const PercolationBatch::Options batch = bandOptions(named, options);
    PercolationBatch::Result whole;
    PercolationBatch::BandJoin joined;
    for (const QByteArray &bytes : bands) {
        QDataStream in(bytes);
        QByteArray magic, seam;
        PercolationBatch::Result band;
        in >> magic >> band.edgeCells >> band.edgeCellsWithoutValue >> band.cellsLeftOut >> band.fileColumns
                >> band.isRaster >> band.geo.projection >> band.geo.hasTransform >> band.geo.geographic >> band.geo.units;
        for (double &t : band.geo.transform)
            in >> t;
        in >> seam;
        QString why;
        std::optional<BandSeam> part;
        if (magic == BandMagic && in.status() == QDataStream::Ok && in.atEnd())
            part = BandSeam::read(seam, &why);
        if (!part)
            throw Error(Error::Usage, QStringLiteral("a band's bytes are not those of clusters_of_band(): %1").arg(why));
        if (!joined.joined()) {
            whole = band;
        } else {
            whole.edgeCells += band.edgeCells;
            whole.edgeCellsWithoutValue += band.edgeCellsWithoutValue;
            whole.cellsLeftOut += band.cellsLeftOut;
        }
        if (!joined.add(std::move(*part), &why))
            throw Error(Error::Usage, why);
    }
    if (!joined.finish(batch, whole))
        throw Error(Error::Usage, QStringLiteral("the bands given do not make a whole landscape, top to bottom"));

    TableColumns columns(ClusterTable::header(batch.lacunarity));
    BatchOutputs::Options outputs;
    outputs.tableColumns = &columns;
    outputs.program = "vantrix";
    outputs.report = "/dev/null";
    Messages messages;
    BatchOutputs out(outputs, batch, named.paths, messages.file());
    if (!out.open())
        throw Error(Error::File, messages.lines().join(QLatin1Char('\n')));
    out.add(whole);
    out.finish();
    notes = messages.lines();
    columns.fill("landscape", QByteArray());
    return columns;
}

std::vector<bool> percolates(const Landscapes &landscapes, const Options &options, Notes &notes)
{
    const PercolateOptions parsed = percolateOptions(landscapes, options, {});
    std::vector<bool> answers;
    runBatch(landscapes, parsed, PercolateTool::batchOptions(parsed), {}, notes,
             [&answers](const PercolationBatch::Result &result) {
                 for (const PercolationBatch::Landscape &landscape : result.landscapes)
                     answers.push_back(landscape.spans != 0);
             });
    return answers;
}

void label(const Landscapes &landscapes, const Options &options, const Allocate &allocate, Notes &notes)
{
    const PercolateOptions parsed = percolateOptions(
            landscapes, options, {QStringLiteral("--cluster-map"), QStringLiteral("/dev/null")});
    PercolationBatch::Options batch = PercolateTool::batchOptions(parsed);
    batch.clusterMap.clear();
    batch.mapThreads = parsed.jobs;
    // allocate runs on the engine's threads: what it throws is kept for the
    // caller, and the map then fails for want of memory.
    std::mutex lock;
    std::exception_ptr thrown;
    batch.clusterMapInto = [&](std::optional<qint32> coverClass, qint64 rows, qint64 columns, bool wide) -> void * {
        try {
            return allocate(coverClass, rows, columns, wide);
        } catch (...) {
            const std::lock_guard<std::mutex> held(lock);
            if (!thrown)
                thrown = std::current_exception();
            return nullptr;
        }
    };
    try {
        runBatch(landscapes, parsed, batch, {}, notes);
    } catch (const Error &) {
        if (thrown)
            std::rethrow_exception(thrown);
        throw;
    }
    if (thrown)
        std::rethrow_exception(thrown);
}

std::vector<qint8> generate(const Options &options, qint64 replicate, qint64 &size)
{
    QStringList arguments = commandLine("vantrix-generate", options);
    arguments << QStringLiteral("--count") << QString::number(replicate);
    GenerateOptions parsed;
    QString why;
    if (replicate < 1)
        throw Error(Error::Usage, QStringLiteral("replicates are numbered from 1, not %1").arg(replicate));
    if (!GenerateTool::parse(arguments, parsed, &why))
        throw Error(Error::Usage, why);
    try {
        RaggedRows<qint8> rows;
        NeutralLandscape(parsed.landscape, replicate).cells(parsed.share, rows);
        size = parsed.landscape.size;
        return std::move(rows.cells);
    } catch (const std::bad_alloc &) {
        throw Error(Error::Memory, QStringLiteral("there is not enough memory for landscapes of %1 x %1 cells")
                                           .arg(parsed.landscape.size));
    }
}

Sweep sweep(const Options &options, Notes &notes)
{
    QTemporaryDir folder;
    if (!folder.isValid())
        throw Error(Error::File, QStringLiteral("no temporary folder for the sweep: %1").arg(folder.errorString()));
    const QString table = folder.filePath(QStringLiteral("table.tsv"));
    const QString thresholds = folder.filePath(QStringLiteral("thresholds.tsv"));
    Options asked;
    bool wantsThresholds = false;
    for (const auto &option : options) {
        if (option.first == QLatin1String("thresholds"))
            wantsThresholds = true;
        else
            asked.push_back(option);
    }
    QStringList arguments = commandLine("vantrix-sweep", asked);
    arguments << QStringLiteral("--quiet") << QStringLiteral("--output") << table;
    if (wantsThresholds)
        arguments << QStringLiteral("--thresholds") << thresholds;
    SweepOptions parsed;
    QString why;
    if (!SweepTool::parse(arguments, parsed, &why))
        throw Error(Error::Usage, why);
    Messages messages;
    const int status = SweepTool::runTable(parsed, messages.file());
    notes = messages.lines();
    if (status != 0) {
        throw Error(status == 2 ? Error::Memory : Error::File, notes.join(QLatin1Char('\n')));
    }

    using K = TableColumns::Kind;
    auto read = [](const QString &path, const std::function<K(const QByteArray &)> &kindOf) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw Error(Error::File, QStringLiteral("the sweep's table cannot be read back: %1").arg(file.errorString()));
        const QByteArray header = file.readLine();
        TableColumns columns(header);
        std::vector<K> kinds;
        for (const TableColumns::Column &column : columns.columns())
            kinds.push_back(kindOf(column.name));
        while (!file.atEnd()) {
            QByteArray line = file.readLine();
            if (line.endsWith('\n'))
                line.chop(1);
            if (!columns.addLine(line, kinds))
                throw Error(Error::File, QStringLiteral("the sweep's table cannot be read back"));
        }
        return columns;
    };
    Sweep result{read(table,
                      [](const QByteArray &name) {
                          return name == "model" || name == "rule" || name == "direction"       ? K::Text
                                  : name == "size" || name == "replicates" || name == "spanning" ? K::Integer
                                                                                                 : K::Real;
                      }),
                 TableColumns(QByteArray())};
    if (wantsThresholds) {
        result.thresholds = read(thresholds, [](const QByteArray &name) {
            return name == "model" || name == "rule" || name == "direction" ? K::Text
                    : name == "critical_share"                                ? K::Real
                                                                              : K::Integer;
        });
    }
    return result;
}

} // namespace Calls
