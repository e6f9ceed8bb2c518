#include "calls.h"

#include "batchoutputs.h"
#include "clustertable.h"
#include "generatetool.h"
#include "neutrallandscape.h"
#include "patchseams.h"
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
constexpr char PatchBandMagic[] = "vantrix array band patches 1";
constexpr char PartsMagic[] = "vantrix array band parts 1";
constexpr char DistancesMagic[] = "vantrix array band distances 1";

using u128 = unsigned __int128;

// The options of a search in bands, refused where it needs the whole.
PercolationBatch::Options bandOptions(const Landscapes &landscapes, const Options &options, bool patchRows = false)
{
    const PercolateOptions parsed = percolateOptions(
            landscapes, options,
            {patchRows ? QStringLiteral("--patches") : QStringLiteral("--table"), QStringLiteral("/dev/null")});
    PercolationBatch::Options batch = PercolateTool::batchOptions(parsed);
    if (batch.tileSize > 0 || !batch.lacunarity.empty() || batch.rule.kind == SpanningRule::Walk)
        throw Error(Error::Usage, QStringLiteral("an array in chunks is searched in bands of rows: tiles, lacunarity "
                                                 "and the walk need it whole"));
    batch.patches = patchRows;
    return batch;
}

QDataStream &operator<<(QDataStream &out, u128 v)
{
    return out << quint64(v) << quint64(v >> 64);
}

QDataStream &operator>>(QDataStream &in, u128 &v)
{
    quint64 low = 0, high = 0;
    in >> low >> high;
    v = u128(low) | (u128(high) << 64);
    return in;
}

// A band searched where the landscape's rows [firstRow, firstRow + its
// rows) lie, with what the join needs of it as bytes (and after them, its
// patches' round with patches).
PercolationBatch::Result searchBand(const Landscapes &landscapes, PercolationBatch::Options batch, qint64 firstRow,
                                    qint64 rows, QByteArray &bytes)
{
    if (!landscapes.grid)
        throw Error(Error::Usage, QStringLiteral("a band is an array"));
    batch.grid = landscapes.grid;
    batch.place = PercolationBatch::Options::Place{firstRow, rows};
    PercolationBatch::Result result = PercolationBatch::test(ArrayName, batch);
    if (!result.errorString.isEmpty())
        throw Error(result.outOfMemory ? Error::Memory : Error::File, result.errorString);
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << QByteArray(batch.patches ? PatchBandMagic : BandMagic) << result.edgeCells << result.edgeCellsWithoutValue
        << result.cellsLeftOut << result.fileColumns << result.isRaster << result.geo.projection
        << result.geo.hasTransform << result.geo.geographic << result.geo.units;
    for (const double t : result.geo.transform)
        out << t;
    out << result.seam;
    if (batch.patches && !batch.partPatches) {
        std::vector<PatchSpool::Patch> own;
        QString why;
        if (!result.patches->read(
                    [&own](const PatchSpool::Patch &patch) {
                        own.push_back(patch);
                        return true;
                    },
                    &why))
            throw Error(Error::File, why);
        out << PatchSpool::toBytes(own);
    }
    return result;
}

// A band's bytes read back: its results, seam and (with patches) its own
// patches.
struct Band
{
    PercolationBatch::Result result;
    BandSeam seam;
    std::vector<PatchSpool::Patch> own;
};

std::vector<Band> readBands(const std::vector<QByteArray> &bands, bool patches)
{
    std::vector<Band> read;
    const QString name = patches ? QStringLiteral("patches_of_band()") : QStringLiteral("clusters_of_band()");
    for (const QByteArray &bytes : bands) {
        QDataStream in(bytes);
        QByteArray magic, seam;
        Band band;
        PercolationBatch::Result &r = band.result;
        in >> magic >> r.edgeCells >> r.edgeCellsWithoutValue >> r.cellsLeftOut >> r.fileColumns >> r.isRaster
                >> r.geo.projection >> r.geo.hasTransform >> r.geo.geographic >> r.geo.units;
        for (double &t : r.geo.transform)
            in >> t;
        in >> seam;
        QByteArray own;
        if (patches)
            in >> own;
        const bool sound = magic == (patches ? PatchBandMagic : BandMagic) && PatchSpool::fromBytes(own, band.own);
        QString why;
        std::optional<BandSeam> part;
        if (sound && in.status() == QDataStream::Ok && in.atEnd())
            part = BandSeam::read(seam, &why);
        if (!part)
            throw Error(Error::Usage, QStringLiteral("a band's bytes are not those of %1: %2").arg(name, why));
        band.seam = std::move(*part);
        read.push_back(std::move(band));
    }
    return read;
}

// The bands joined, top to bottom: the landscape's results, as test() gives
// them for it whole.
PercolationBatch::Result joinBands(const std::vector<Band> &bands, const PercolationBatch::Options &batch)
{
    PercolationBatch::Result whole;
    PercolationBatch::BandJoin joined;
    for (const Band &band : bands) {
        if (!joined.joined()) {
            whole = band.result;
        } else {
            whole.edgeCells += band.result.edgeCells;
            whole.edgeCellsWithoutValue += band.result.edgeCellsWithoutValue;
            whole.cellsLeftOut += band.result.cellsLeftOut;
        }
        QString why;
        if (!joined.add(band.seam, &why))
            throw Error(Error::Usage, why);
    }
    if (!joined.finish(batch, whole))
        throw Error(Error::Usage, QStringLiteral("the bands given do not make a whole landscape, top to bottom"));
    return whole;
}

// The table of the joined landscape (with result.patches, its patch table).
TableColumns tableOfBands(const PercolationBatch::Result &whole, const PercolationBatch::Options &batch,
                          Notes &notes)
{
    const Landscapes named{{ArrayName}, nullptr};
    TableColumns columns(batch.patches ? PatchTable::header() : ClusterTable::header(batch.lacunarity));
    BatchOutputs::Options outputs;
    (batch.patches ? outputs.patchColumns : outputs.tableColumns) = &columns;
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

// The patches that cross the bands' seams, joined.
std::unique_ptr<PatchSeams> crossing(const std::vector<Band> &bands)
{
    auto seams = std::make_unique<PatchSeams>();
    for (const Band &band : bands) {
        QString why;
        if (!seams->addSeam(band.seam, &why))
            throw Error(Error::Usage, why);
    }
    seams->finish();
    return seams;
}

} // namespace

QByteArray clustersOfBand(const Landscapes &landscapes, const Options &options, qint64 firstRow, qint64 rows)
{
    QByteArray bytes;
    searchBand(landscapes, bandOptions(landscapes, options), firstRow, rows, bytes);
    return bytes;
}

TableColumns clustersOfBands(const std::vector<QByteArray> &bands, const Options &options, Notes &notes)
{
    const PercolationBatch::Options batch = bandOptions({{ArrayName}, nullptr}, options);
    return tableOfBands(joinBands(readBands(bands, false), batch), batch, notes);
}

QByteArray patchesOfBand(const Landscapes &landscapes, const Options &options, qint64 firstRow, qint64 rows)
{
    QByteArray bytes;
    searchBand(landscapes, bandOptions(landscapes, options, true), firstRow, rows, bytes);
    return bytes;
}

std::vector<QByteArray> patchPartsOfBands(const std::vector<QByteArray> &bands)
{
    const std::vector<Band> read = readBands(bands, true);
    const std::unique_ptr<PatchSeams> seams = crossing(read);
    std::vector<QByteArray> parts;
    for (size_t b = 0; b < read.size(); ++b) {
        QByteArray &bytes = parts.emplace_back();
        const PatchSeams::Given given = seams->given(b);
        if (given.patches.empty())
            continue;
        std::vector<PatchSpool::Patch> records;
        for (const Cluster &record : given.records)
            records.push_back({0, 0, 0, record, 0});
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << QByteArray(PartsMagic) << PatchSpool::toBytes(records) << quint64(given.ofPart.size());
        for (const qint64 index : given.ofPart)
            out << index;
    }
    return parts;
}

QByteArray patchDistancesOfBand(const Landscapes &landscapes, const Options &options, qint64 firstRow, qint64 rows,
                                const QByteArray &parts)
{
    auto given = std::make_shared<PatchSeams::Given>();
    QDataStream in(parts);
    QByteArray magic, records;
    quint64 count = 0;
    in >> magic >> records >> count;
    std::vector<PatchSpool::Patch> patches;
    bool sound = magic == PartsMagic && in.status() == QDataStream::Ok && PatchSpool::fromBytes(records, patches)
            && count <= quint64(parts.size()) / 8;
    for (quint64 i = 0; sound && i < count; ++i)
        in >> given->ofPart.emplace_back();
    if (!sound || in.status() != QDataStream::Ok || !in.atEnd())
        throw Error(Error::Usage, QStringLiteral("the parts given are not those of patch_parts_of_bands()"));
    for (const PatchSpool::Patch &patch : patches)
        given->records.push_back(patch.record);
    PercolationBatch::Options batch = bandOptions(landscapes, options, true);
    batch.partPatches = given;
    QByteArray searched;
    const PercolationBatch::Result result = searchBand(landscapes, batch, firstRow, rows, searched);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << QByteArray(DistancesMagic) << quint64(result.partDistances.size());
    for (const u128 sum : result.partDistances)
        out << sum;
    return bytes;
}

TableColumns patchesOfBands(const std::vector<QByteArray> &bands, const std::vector<QByteArray> &distances,
                            const Options &options, Notes &notes)
{
    const PercolationBatch::Options batch = bandOptions({{ArrayName}, nullptr}, options, true);
    const std::vector<Band> read = readBands(bands, true);
    PercolationBatch::Result whole = joinBands(read, batch);
    const std::unique_ptr<PatchSeams> seams = crossing(read);
    if (distances.size() != read.size())
        throw Error(Error::Usage, QStringLiteral("%1 bands but %2 shares of distances").arg(read.size()).arg(distances.size()));
    std::vector<std::vector<u128>> shares(read.size());
    for (size_t b = 0; b < read.size(); ++b) {
        if (distances[b].isEmpty())
            continue;
        QDataStream in(distances[b]);
        QByteArray magic;
        quint64 count = 0;
        in >> magic >> count;
        const bool sound = magic == DistancesMagic && count <= quint64(distances[b].size()) / 16;
        for (quint64 i = 0; sound && i < count; ++i)
            in >> shares[b].emplace_back();
        if (!sound || in.status() != QDataStream::Ok || !in.atEnd())
            throw Error(Error::Usage, QStringLiteral("band %1's share of distances is not patch_distances_of_band()'s")
                                              .arg(b));
    }
    whole.patches = std::make_shared<PatchSpool>();
    QString why;
    const auto ownOf = [&read](size_t band, const std::function<void(const PatchSpool::Patch &)> &onPatch, QString *) {
        for (const PatchSpool::Patch &patch : read[band].own)
            onPatch(patch);
        return true;
    };
    if (!whole.patches->open(&why))
        throw Error(Error::File, why);
    if (!seams->gather(ownOf, shares, batch.minCells, *whole.patches, &why))
        throw Error(Error::Usage, why); // a band's share missing
    if (!whole.patches->close(&why))
        throw Error(Error::File, why);
    return tableOfBands(whole, batch, notes);
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
