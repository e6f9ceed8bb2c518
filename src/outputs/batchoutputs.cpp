#include "batchoutputs.h"
#include "rowsparts.h"

#include "clustertable.h"
#include "patchtable.h"
#include "linereader.h"
#include "outputfile.h"
#include "outputnames.h"
#include "percolationreport.h"
#include "progressline.h"
#include "splitparts.h"
#include "tilemap.h"

#include <QCoreApplication>

#include <set>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("BatchOutputs", text);
}

// A report line's name for a landscape of path: the path, then for a square
// of tiles "#ROW,COLUMN", for a class of --cover each "#cover=CLASS".
QByteArray landscapeName(const QByteArray &path, const PercolationBatch::Landscape &landscape, bool tiles)
{
    QByteArray name = path;
    if (tiles)
        name += '#' + QByteArray::number(landscape.row) + ',' + QByteArray::number(landscape.column);
    if (landscape.isClass)
        name += "#cover=" + QByteArray::number(landscape.coverClass);
    return name;
}

QByteArray where(const QByteArray &path)
{
    return path.isEmpty() || path == "-" ? QByteArray("on standard output") : path;
}

} // namespace

struct BatchOutputs::Private
{
    Options options;
    PercolationBatch::Options batch;
    QByteArrayList paths;
    std::FILE *err;
    std::unique_ptr<ProgressLine> progress;
    OutputFile reportFile;
    std::unique_ptr<PercolationReport> report;
    // A table the results go to (the cluster table, the patch table): written
    // as they come, in place once whole.
    struct TableOutput
    {
        const Tsv::Kind *kind = nullptr;
        QByteArray path;   // "-" or empty: standard output
        TableColumns *columns = nullptr; // or the rows go here
        OutputFile file;
        bool wanted = false;
        bool written = true;
        qint64 rows = 0;
        QByteArray pending; // written in blocks of about 256 KB: a table may have millions of rows

        void write(const QByteArray &bytes) { write(bytes.constData(), bytes.size()); }
        void write(const char *bytes, qsizetype size)
        {
            pending.append(bytes, size);
            if (pending.size() >= (1 << 18))
                flush();
        }
        void flush()
        {
            if (!columns)
                written = written && file.write(pending) == pending.size();
            pending.clear();
        }
        void row(const QByteArray &line)
        {
            write(line);
            ++rows;
        }
    };
    TableOutput table;
    TableOutput patches;
    TableOutput windows;
    QByteArray coverText;
    QByteArray ruleText;
    QByteArray directionText;
    bool allRead = true;
    bool outputsWritten = true;
    qint64 tested = 0;
    qint64 incomplete = 0;
    qint64 filesWithIncomplete = 0;
    qint64 withoutCells = 0;
    qint64 filesWithoutCells = 0;
    qint64 windowsPastEdge = 0;
    qint64 windowsWithoutCells = 0;

    void say(const QByteArray &path, const QString &what)
    {
        if (progress)
            progress->interrupt();
        std::fprintf(err, "%s: %s: %s\n", options.program, path.constData(), what.toLocal8Bit().constData());
    }
    bool openTable(TableOutput &t, const QByteArray &header);
    void notes(const QByteArray &path, const PercolationBatch::Result &result);
    void tableRowsOf(TableOutput &t, const QByteArray &path, const PercolationBatch::Result &result,
                     const TileMap::Landscapes &landscapes);
    void mapsOf(const QByteArray &pattern, const char *what, const QByteArray &path,
                const PercolationBatch::Result &result, const TileMap::Landscapes &landscapes,
                const TileMap::Lattice &lattice, bool statistics);
    void patchRowsOf(const QByteArray &path, const PercolationBatch::Result &result);
};

BatchOutputs::BatchOutputs(const Options &options, const PercolationBatch::Options &batch, const QByteArrayList &paths,
                           std::FILE *err)
    : d(std::make_unique<Private>())
{
    d->options = options;
    d->batch = batch;
    d->paths = paths;
    d->err = err;
    d->coverText = batch.cover.asked();
    d->ruleText = SpanningRule::name(batch.rule.kind).toLatin1();
    d->directionText = SpanningRule::name(batch.rule.direction).toLatin1();
    d->table.kind = &ClusterTable::kind();
    d->table.path = options.table;
    d->table.wanted = batch.statistics;
    d->table.columns = options.tableColumns;
    d->patches.kind = &PatchTable::kind();
    d->patches.path = options.patches;
    d->patches.wanted = batch.patches;
    d->patches.columns = options.patchColumns;
    d->windows.kind = &ClusterTable::kind();
    d->windows.path = options.windowTable;
    d->windows.wanted = batch.window && !options.windowTable.isEmpty();
}

bool BatchOutputs::Private::openTable(TableOutput &t, const QByteArray &header)
{
    if (!t.wanted || t.columns)
        return true;
    const QByteArray path = t.path == "-" ? QByteArray() : t.path;
    if (!t.file.open(path)) {
        std::fprintf(err, "%s: cannot write the %s %s: %s\n", options.program, t.kind->one.toLocal8Bit().constData(),
                     path.constData(), t.file.errorString().toLocal8Bit().constData());
        return false;
    }
    if (options.shard)
        t.write(Tsv::shardLine(*t.kind, *options.shard, options.partDescription));
    t.write(header);
    return true;
}

BatchOutputs::~BatchOutputs() = default;

bool BatchOutputs::open()
{
    Private &p = *d;
    const QByteArray report = p.options.report == "-" ? QByteArray() : p.options.report;
    if (!p.reportFile.open(report)) {
        std::fprintf(p.err, "%s: cannot write the report %s: %s\n", p.options.program, report.constData(),
                     p.reportFile.errorString().toLocal8Bit().constData());
        return false;
    }
    p.report = std::make_unique<PercolationReport>(&p.reportFile);
    if (p.options.shard)
        p.report->beginPart(*p.options.shard, p.options.partDescription);
    if (!p.openTable(p.table, ClusterTable::header(p.batch.lacunarity))
        || !p.openTable(p.patches, PatchTable::header())
        || !p.openTable(p.windows, ClusterTable::header(p.batch.windowStatistics ? p.batch.lacunarity
                                                                                  : std::vector<qint64>()))) {
        p.reportFile.cancel();
        p.table.file.cancel();
        p.patches.file.cancel();
        return false;
    }
    if (p.options.progress && isatty(fileno(p.err)))
        p.progress = std::make_unique<ProgressLine>(p.err, p.paths.size(), "files");
    return true;
}

void BatchOutputs::Private::notes(const QByteArray &path, const PercolationBatch::Result &result)
{
    if (!result.errorString.isEmpty()) {
        allRead = false;
        say(path, result.errorString);
    }
    if (result.skippedFields.count > 0) {
        say(path, tr("%1 field(s) that are not integers were skipped, such as '%2'")
                          .arg(result.skippedFields.count)
                          .arg(QString::fromLatin1(result.skippedFields.example)));
    }
    if (!result.errorString.isEmpty())
        return;
    if (result.cellsLeftOut > 0) {
        say(path, tr("the square of %1 x %1 cells tested leaves %2 cell(s) of the map out (--extent full tests "
                     "them all under the cluster rules, --tile in squares)")
                          .arg(result.landscapes.empty() ? result.fileRows : result.landscapes.front().rows)
                          .arg(result.cellsLeftOut));
    }
    qint64 cells = 0;
    qint64 habitat = 0;
    for (const PercolationBatch::Landscape &landscape : result.landscapes) {
        cells += landscape.statistics.cells;
        habitat += landscape.statistics.habitat;
    }
    if (cells == 0 && result.cellsLeftOut == 0 && result.incompleteSquares == 0) {
        allRead = false;
        say(path, tr("it holds no cell with a value, so it is not a landscape (its line says 0)"));
        return;
    }
    if (habitat == 0 && !batch.cover.isEach() && cells > 0) {
        say(path, tr("no cell holds the cover value %1, so nothing can span (its line says 0)")
                          .arg(QString::fromLatin1(batch.cover.asked())));
    }
    if (result.edgeCells > 0 && 2 * result.edgeCellsWithoutValue > result.edgeCells) {
        say(path, tr("%1 of the %2 cells on the map's edges have no value (a map clipped to a study area?): "
                     "spanning is measured against the map's edges, which habitat inside such an area cannot "
                     "reach; --tile tests squares inside it")
                          .arg(result.edgeCellsWithoutValue)
                          .arg(result.edgeCells));
    }
    if (result.geo.geographic && (table.wanted || patches.wanted)) {
        say(path, tr("its coordinates are degrees, so areas and lengths are given in cells and cell sides (a map in "
                     "a projected system gives them in its units)"));
    }
    if (!result.mapError.isEmpty()) {
        outputsWritten = false;
        say(path, result.mapError);
    }
}

void BatchOutputs::Private::tableRowsOf(TableOutput &t, const QByteArray &path, const PercolationBatch::Result &result,
                                       const TileMap::Landscapes &landscapes)
{
    ClusterTable::Row row;
    row.landscape = path;
    row.rule = ruleText;
    row.direction = directionText;
    row.geometry = result.geo.cellGeometry();
    QString why;
    const bool read = landscapes(
            [&](const PercolationBatch::Landscape &landscape) {
                row.row = landscape.row;
                row.column = landscape.column;
                row.rows = landscape.rows;
                row.columns = landscape.columns;
                row.cover = landscape.isClass ? QByteArray::number(landscape.coverClass) : coverText;
                row.spans = landscape.spans;
                row.statistics = landscape.statistics;
                row.boxes = landscape.boxes;
                if (t.columns)
                    ClusterTable::fields(row, *t.columns);
                else
                    t.row(ClusterTable::rowLine(row));
            },
            &why);
    if (!read) {
        allRead = false;
        say(path, why);
    }
}

void BatchOutputs::Private::patchRowsOf(const QByteArray &path, const PercolationBatch::Result &result)
{
    if (!result.patches)
        return;
    PatchTable::File file;
    file.landscape = path;
    file.cover = coverText;
    file.each = batch.cover.isEach();
    file.rule = batch.rule;
    file.geo = result.geo;
    // A map may have millions of patches: their rows are written in batches,
    // each formatted in two halves at once.
    constexpr size_t Batch = 1 << 14;
    std::vector<PatchSpool::Patch> patchBatch;
    patchBatch.reserve(Batch);
    struct alignas(64) Half // a cache line of its own for each thread's rows
    {
        Tsv::Row rows;
    };
    Half halves[2];
    auto format = [&file, &patchBatch, &halves](int half) {
        const size_t middle = patchBatch.size() / 2;
        Tsv::Row &rows = halves[half].rows;
        rows.clear();
        for (size_t i = half == 0 ? 0 : middle; i < (half == 0 ? middle : patchBatch.size()); ++i)
            PatchTable::fields(file, patchBatch[i], rows);
    };
    auto writeBatch = [&] {
        if (patchBatch.size() < 64) {
            format(0);
            format(1);
        } else {
            std::thread second(format, 1);
            format(0);
            second.join();
        }
        for (const Half &half : halves)
            patches.write(half.rows.data(), half.rows.size());
        patches.rows += qint64(patchBatch.size());
        patchBatch.clear();
        return patches.written;
    };
    QString why;
    const bool read = result.patches->read(
            [&](const PatchSpool::Patch &patch) {
                if (patches.columns) {
                    PatchTable::fields(file, patch, *patches.columns);
                    return true;
                }
                patchBatch.push_back(patch);
                return patchBatch.size() < Batch || writeBatch();
            },
            &why);
    writeBatch();
    if (!read) {
        allRead = false;
        say(path, why);
    }
}

void BatchOutputs::Private::mapsOf(const QByteArray &pattern, const char *what, const QByteArray &path,
                                  const PercolationBatch::Result &result, const TileMap::Landscapes &landscapes,
                                  const TileMap::Lattice &lattice, bool statistics)
{
    std::vector<std::optional<qint32>> classes;
    if (batch.cover.isEach()) {
        std::set<qint32> present;
        landscapes([&present](const PercolationBatch::Landscape &landscape) { present.insert(landscape.coverClass); },
                   nullptr);
        classes.assign(present.begin(), present.end());
    } else {
        classes.push_back(std::nullopt);
    }
    for (const std::optional<qint32> &coverClass : classes) {
        const QByteArray name = mapName(pattern, path, coverClass ? coverClass : std::nullopt);
        QString why;
        if (!TileMap::write(name, landscapes, lattice, result.geo, statistics, statistics ? batch.lacunarity
                                                                                          : std::vector<qint64>(),
                            coverClass, &why)) {
            outputsWritten = false;
            say(path, tr("the %1 %2 could not be written: %3").arg(QLatin1String(what), QString::fromLocal8Bit(name), why));
        }
    }
}

void BatchOutputs::add(const PercolationBatch::Result &result)
{
    Private &p = *d;
    const QByteArray &path = p.paths[result.index];
    p.notes(path, result);
    const bool tiles = p.batch.tileSize > 0;
    if (!result.errorString.isEmpty()) {
        p.report->addResult(path, 0);
        ++p.tested;
    } else {
        for (const PercolationBatch::Landscape &landscape : result.landscapes)
            p.report->addResult(landscapeName(path, landscape, tiles), landscape.spans);
        p.tested += qint64(result.landscapes.size());
        // The squares and whole maps in memory, the windows from their spool.
        const TileMap::Landscapes landscapes = [&result](const auto &visit, QString *) {
            for (const PercolationBatch::Landscape &landscape : result.landscapes)
                visit(landscape);
            return true;
        };
        const TileMap::Landscapes windows = [&result](const auto &visit, QString *why) {
            return !result.windows || result.windows->read(
                                              [&visit](const PercolationBatch::Landscape &window) {
                                                  visit(window);
                                                  return true;
                                              },
                                              why);
        };
        if (p.table.wanted)
            p.tableRowsOf(p.table, path, result, landscapes);
        p.patchRowsOf(path, result);
        if (tiles) {
            p.incomplete += result.incompleteSquares;
            p.filesWithIncomplete += result.incompleteSquares > 0 ? 1 : 0;
            p.withoutCells += result.squaresWithoutCells;
            p.filesWithoutCells += result.squaresWithoutCells > 0 ? 1 : 0;
            if (!p.options.tileMap.isEmpty()) {
                const TileMap::Lattice lattice{result.latticeRows, result.latticeColumns, result.tileSize, 0, false};
                p.mapsOf(p.options.tileMap, "tile map", path, result, landscapes, lattice, p.batch.statistics);
            }
        }
        if (p.batch.window) {
            const MovingWindow &window = *p.batch.window;
            p.windowsPastEdge += result.windowsPastEdge;
            p.windowsWithoutCells += result.windowsWithoutCells;
            if (p.windows.wanted)
                p.tableRowsOf(p.windows, path, result, windows);
            if (!p.options.windowMap.isEmpty()) {
                const TileMap::Lattice lattice{result.windowRows, result.windowColumns, window.step,
                                               window.mapOrigin(), window.partial};
                p.mapsOf(p.options.windowMap, "window map", path, result, windows, lattice,
                         p.batch.windowStatistics);
            }
        }
    }
    // What a file gave reaches the tables before the next file.
    for (Private::TableOutput *t : {&p.table, &p.patches, &p.windows}) {
        if (t->wanted)
            t->flush();
    }
    if (p.progress)
        p.progress->update(result.index + 1);
}

int BatchOutputs::finish()
{
    Private &p = *d;
    if (p.progress)
        p.progress->interrupt();
    if (p.incomplete > 0) {
        std::fprintf(p.err, "%s: %lld incomplete square(s) at the right and bottom edges of %lld landscape(s) left out\n",
                     p.options.program, (long long)p.incomplete, (long long)p.filesWithIncomplete);
    }
    if (p.withoutCells > 0) {
        std::fprintf(p.err, "%s: %lld complete square(s) of %lld landscape(s) hold no cell with a value: they are no "
                            "landscapes, and the PP leaves them out\n",
                     p.options.program, (long long)p.withoutCells, (long long)p.filesWithoutCells);
    }
    if (p.windowsPastEdge > 0) {
        std::fprintf(p.err, "%s: %lld window(s) reach past the map's edge and are left out, nodata in the window "
                            "maps (--window-edge partial tests the part inside the map)\n",
                     p.options.program, (long long)p.windowsPastEdge);
    }
    if (p.windowsWithoutCells > 0) {
        std::fprintf(p.err, "%s: %lld window(s) hold no cell with a value: they are left out, nodata in the window "
                            "maps\n",
                     p.options.program, (long long)p.windowsWithoutCells);
    }
    // Every output is written whole before any takes its place: a run that
    // cannot write one leaves the old files of all.
    p.report->finish();
    for (Private::TableOutput *t : {&p.table, &p.patches, &p.windows}) {
        if (t->wanted && p.options.shard && !t->columns)
            t->write(Tsv::endLine(*t->kind, t->rows));
        if (t->wanted)
            t->flush();
    }
    QString reportError = p.report->hasError() ? p.report->errorString() : QString();
    QString tableError;
    Private::TableOutput *failed = nullptr;
    for (Private::TableOutput *t : {&p.table, &p.patches, &p.windows}) {
        if (t->wanted && !t->written && !failed) {
            failed = t;
            tableError = t->file.errorString();
        }
    }
    if (reportError.isEmpty() && !failed) {
        if (!p.reportFile.commit()) {
            reportError = p.reportFile.errorString();
        } else {
            for (Private::TableOutput *t : {&p.table, &p.patches, &p.windows}) {
                if (t->wanted && !t->columns && !failed && !t->file.commit()) {
                    failed = t;
                    tableError = t->file.errorString();
                }
            }
        }
    }
    int status = 0;
    if (!reportError.isEmpty() || failed) {
        p.reportFile.cancel();
        p.table.file.cancel();
        p.patches.file.cancel();
        p.windows.file.cancel();
        status = 1;
    }
    if (!reportError.isEmpty()) {
        std::fprintf(p.err, "%s: the report %s could not be written: %s\n", p.options.program,
                     where(p.options.report).constData(), reportError.toLocal8Bit().constData());
    }
    if (failed) {
        std::fprintf(p.err, "%s: the %s %s could not be written: %s\n", p.options.program,
                     failed->kind->one.toLocal8Bit().constData(), where(failed->path).constData(),
                     tableError.toLocal8Bit().constData());
    }
    if (status != 0)
        return status;
    if (p.tested == 0 && !p.options.shard) {
        std::fprintf(p.err, "%s: nothing was tested (%s), so the PP is nan\n", p.options.program,
                     p.paths.isEmpty()       ? "no file"
                     : p.withoutCells > 0    ? "no complete square holds a cell with a value"
                                             : "no complete square");
        return 1;
    }
    return p.allRead && p.outputsWritten ? 0 : 1;
}

QByteArray BatchOutputs::mapName(const QByteArray &pattern, const QByteArray &path,
                                 const std::optional<qint32> &coverClass)
{
    return OutputNames::expand(pattern, path, coverClass);
}

QString BatchOutputs::checkMapNames(const char *option, const QByteArray &pattern, const QByteArrayList &paths,
                                    bool perClass)
{
    if (pattern.isEmpty())
        return QString();
    if (!perClass && pattern.contains("{cover}")) {
        return tr("%1 %2 names {cover}, which stands for the class of --cover each; with one cover there is one "
                  "map per landscape")
                .arg(QLatin1String(option), QString::fromLocal8Bit(pattern));
    }
    struct stat info;
    if (perClass && !pattern.contains("{cover}") && ::stat(pattern.constData(), &info) == 0 && !S_ISREG(info.st_mode)
        && !S_ISDIR(info.st_mode)) {
        return tr("%1 %2 is not a regular file, but --cover each writes a map per class beside it: put {cover} in "
                  "a file name")
                .arg(QLatin1String(option), QString::fromLocal8Bit(pattern));
    }
    std::set<QByteArray> names;
    for (const QByteArray &path : paths) {
        const QByteArray name = mapName(pattern, path, std::nullopt);
        if (!names.insert(name).second) {
            return tr("%1 %2 would give two landscapes the same map (%3); put {name} in it, which stands for a "
                      "file's name without its suffix (see --help)")
                    .arg(QLatin1String(option), QString::fromLocal8Bit(pattern), QString::fromLocal8Bit(name));
        }
    }
    return QString();
}

int BatchOutputs::merge(const QByteArrayList &parts, const QByteArray &output, const char *program, std::FILE *err)
{
    return merge(parts, output, program, err, Merge());
}

int BatchOutputs::merge(const QByteArrayList &parts, const QByteArray &output, const char *program, std::FILE *err,
                        const Merge &merge)
{
    // Tables are told from reports by their first line (parts that are all
    // pipes are reports).
    const QByteArray first = SplitParts::firstLineOfFirstFile(parts);
    if (RowsParts::isPart(first))
        return RowsParts::merge(parts, output, merge.patches, merge.jobs, program, err);
    if (merge.rowsOnly) {
        std::fprintf(err, "%s: --patches and --jobs merge rows parts (of --rows), and %s is none\n", program,
                     parts.value(0).constData());
        return 2;
    }
    for (const Tsv::Kind *kind : {&ClusterTable::kind(), &PatchTable::kind()}) {
        if (Tsv::isStart(*kind, first)) {
            return SplitParts::writeMerge(output, program, kind->one.toLocal8Bit().constData(),
                                          [&](const auto &write, QString *error) {
                                              return Tsv::merge(*kind, parts, write, error);
                                          },
                                          err);
        }
    }
    const QByteArray path = output == "-" ? QByteArray() : output;
    OutputFile target;
    if (!target.open(path)) {
        std::fprintf(err, "%s: cannot write the report %s: %s\n", program, path.constData(),
                     target.errorString().toLocal8Bit().constData());
        return 1;
    }
    QString error;
    PercolationReport report(&target);
    if (!PercolationReport::merge(parts, report, &error)) {
        target.cancel();
        std::fprintf(err, "%s: %s\n", program, error.toLocal8Bit().constData());
        return 1;
    }
    report.finish();
    if (report.hasError() || !target.commit()) {
        const QString why = report.hasError() ? report.errorString() : target.errorString();
        target.cancel();
        std::fprintf(err, "%s: the report %s could not be written: %s\n", program, where(output).constData(),
                     why.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
