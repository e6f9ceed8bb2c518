#include "percolationbatch.h"

#include "bandseam.h"
#include "cellcodes.h"
#include "coverbits.h"
#include "memorylabels.h"
#include "outputnames.h"
#include "landscapestream.h"
#include "outputfile.h"
#include "percolationgrid.h"
#include "systemmemory.h"
#include "walkgrid.h"
#include "workerpool.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

namespace {

using Batch = PercolationBatch;

// Cells a band holds at least, so that a band is read in one go.
constexpr qint64 BandCells = qint64(1) << 20;

QString tr(const char *text)
{
    return QCoreApplication::translate("PercolationBatch", text);
}

// What the engine is told about a landscape of rows x columns.
ClusterScan::Options scanOptions(const SpanningRule &rule, bool statistics, qint64 rows, qint64 columns)
{
    ClusterScan::Options options;
    // The walk's landscapes are counted with clusters joined by edges.
    options.connectivity = rule.connectivity();
    options.rows = rows;
    options.columns = columns;
    options.statistics = statistics;
    options.leftRight = rule.asksLeftRight();
    options.topBottom = rule.asksTopBottom();
    return options;
}

// The cells with a value and the habitat cells of a landscape held in
// memory: the size x size square of rows from column left.
void countCells(const RaggedRows<qint8> &rows, qint64 left, qint64 size, ClusterStatistics &into)
{
    into.cells = into.habitat = 0;
    for (qint64 r = 0; r < std::min(rows.rowCount(), size); ++r) {
        const qint8 *cells = rows.row(r);
        const qint64 end = std::min(rows.rowLength(r), left + size);
        for (qint64 c = left; c < end; ++c) {
            into.cells += cells[c] >= 0 ? 1 : 0;
            into.habitat += cells[c] > 0 ? 1 : 0;
        }
    }
}

// The outer ring of a landscape of rows x n cells, row by row: its cells and
// those without a value (cells a short row lacks have none).
struct EdgeCount
{
    qint64 rows = 0;
    qint64 n = 0;
    qint64 cells = 0;
    qint64 withoutValue = 0;

    template <typename HasValue>
    void addRow(qint64 r, qint64 length, HasValue hasValue)
    {
        if (n <= 0 || r >= rows)
            return;
        length = std::min(length, n);
        if (r == 0 || r == rows - 1) {
            cells += n;
            withoutValue += n - length;
            for (qint64 c = 0; c < length; ++c)
                withoutValue += hasValue(c) ? 0 : 1;
            return;
        }
        for (const qint64 c : {qint64(0), n - 1}) {
            cells += 1;
            withoutValue += c < length && hasValue(c) ? 0 : 1;
            if (n == 1)
                break;
        }
    }
    void addCells(qint64 r, const qint8 *row, qint64 length)
    {
        addRow(r, length, [row](qint64 c) { return row[c] >= 0; });
    }
    void addPresent(qint64 r, const quint8 *present, qint64 length)
    {
        addRow(r, length, [present](qint64 c) { return present[c] != 0; });
    }
    void addBits(qint64 r, const quint64 *noValue, qint64 length)
    {
        addRow(r, length, [noValue](qint64 c) { return !((noValue[c / 64] >> (c % 64)) & 1); });
    }
};

// Per-thread tools, kept between files.
struct Tools
{
    ClusterScan scan;
    GlidingBoxes boxes;
    PatchRecorder squarePatches{true}; // a square's, in memory
    WalkGrid grid;
    RaggedRows<qint8> cells;
    CoverBits bits; // whole maps' habitat, as the search reads it
    RaggedRows<qint32> values;
    RaggedRows<quint8> present;
    RaggedRows<qint8> square;
};

Tools &tools()
{
    thread_local Tools kept;
    return kept;
}

// Large buffers are not kept for the next file: memory a thread keeps idle
// would be missing for a file tested alone.
template <typename T>
void letGo(RaggedRows<T> &rows)
{
    if (rows.cells.capacity() * sizeof(T) > (size_t(16) << 20))
        rows = RaggedRows<T>();
}

void letGoOfLargeBuffers()
{
    Tools &t = tools();
    letGo(t.cells);
    letGo(t.values);
    letGo(t.present);
    letGo(t.square);
    t.grid = WalkGrid(); // and the walk's queue, up to 4 bytes a cell
}

// What the walk's square must leave free besides itself while it is read:
// GDAL's block cache (64 MB) and the reading's own buffers.
constexpr qint64 Headroom = qint64(96) << 20;

// Files being tested at this moment, on all threads.
std::atomic<int> filesInFlight{0};
// Claims are checked one at a time.
std::mutex claimMutex;

// Claims the memory of a square of `cells` cells in rows's storage before it
// is read. With other files being tested at the same time, the claim is made
// only if room for the reading stays beside it (GDAL's allocations cannot
// fail safely); otherwise false, and the file is tested again alone. A file
// tested alone always claims, as a run of one job does.
template <typename T>
bool claimSquare(RaggedRows<T> &rows, qint64 cells, qint64 lines)
{
    auto claim = [&] {
        rows.clear();
        rows.cells.reserve(size_t(cells));
        rows.offsets.reserve(size_t(lines + 1));
    };
    if (filesInFlight.load() <= 1 || SystemMemory::limit() <= 0) {
        claim();
        return true;
    }
    std::lock_guard<std::mutex> lock(claimMutex);
    const qint64 bytes = cells * qint64(sizeof(T)) + (lines + 1) * qint64(sizeof(qsizetype));
    if (SystemMemory::available() - bytes < Headroom)
        return false;
    claim();
    return true;
}

// The walk's answer on rows of cells (their first n cells, n the number of rows).
int walkAnswer(const SpanningRule &rule, RaggedRows<qint8> &rows, bool bothPhases)
{
    WalkGrid &grid = tools().grid;
    grid.setRows(std::move(rows));
    const bool whole = bothPhases && rule == SpanningRule(SpanningRule::Walk, SpanningRule::Either);
    const int answer = whole ? grid.percolates() : rule.test(grid);
    rows = grid.takeRows();
    return answer;
}

// What a landscape is tested for besides its answer: statistics (and the
// search they need), patches, lacunarity.
struct Asked
{
    bool statistics = false;
    bool patches = false;
    bool boxes = false;

    explicit Asked(const Batch::Options &options)
        : statistics(options.statistics || options.patches)
        , patches(options.patches)
        , boxes(!options.lacunarity.empty())
    {
    }
};

// The second pass of a square held in memory: its patches into the spool.
bool squarePatches(Tools &t, const Batch::Options &options, Batch::Result &result, qint64 top, qint64 left,
                   qint64 size, QString *errorString)
{
    if (!t.squarePatches.close(errorString))
        return false;
    PatchPass::Options pass;
    pass.spool = result.patches.get();
    pass.row = top;
    pass.column = left;
    pass.minCells = options.minCells;
    return PatchPass::run(PatchSeams(t.squarePatches, t.scan), options.rule.connectivity(), size, size, pass,
                          errorString);
}

// Statistics (and lacunarity, patches) of rows of cells held in memory: the
// landscape of rows.rowCount() x columns whose row r is rows.row(r) from its
// column `left`, at (top, left) in the file (patches: squares only).
bool statisticsOf(const Batch::Options &options, const RaggedRows<qint8> &rows, qint64 top, qint64 left, qint64 columns,
                  Batch::Landscape &landscape, Batch::Result &result, QString *errorString)
{
    Tools &t = tools();
    const Asked asked(options);
    if (asked.patches && !t.squarePatches.open(errorString))
        return false;
    t.scan.setObserver(asked.patches ? &t.squarePatches : nullptr);
    t.scan.begin(scanOptions(options.rule, true, rows.rowCount(), columns));
    if (asked.boxes)
        t.boxes.begin(options.lacunarity, rows.rowCount(), columns);
    for (qint64 r = 0; r < rows.rowCount(); ++r) {
        const qint8 *cells = rows.row(r) + std::min<qint64>(left, rows.rowLength(r));
        const qint64 length = std::clamp<qint64>(rows.rowLength(r) - left, 0, columns);
        t.scan.addRow(cells, length);
        if (asked.boxes)
            t.boxes.addRow(cells, length);
    }
    landscape.statistics = t.scan.finish();
    t.scan.setObserver(nullptr);
    if (asked.boxes)
        landscape.boxes = t.boxes.finish();
    return !asked.patches || squarePatches(t, options, result, top, left, columns, errorString);
}

// Class values of rows as cells of one class: habitat where the value is
// the class, matrix where another, none where there is no value.
void cellsOfClass(const RaggedRows<qint32> &values, const RaggedRows<quint8> &present, qint32 value, qint64 left,
                  qint64 size, RaggedRows<qint8> &cells)
{
    cells.clear();
    for (qint64 r = 0; r < values.rowCount(); ++r) {
        const qint64 from = std::min<qint64>(left, values.rowLength(r));
        const qint64 to = std::min<qint64>(left + size, values.rowLength(r));
        const qint32 *v = values.row(r);
        const quint8 *p = present.row(r);
        for (qint64 c = from; c < to; ++c)
            cells.cells.push_back(!p[c] ? CellCode::NoValue : v[c] == value ? CellCode::Habitat : CellCode::Matrix);
        cells.endRow();
    }
}

// The lacunarity of a class, by its value; boxes that held none of it
// (none at all, where no box fits the landscape) for a class they never saw.
std::vector<GlidingBoxes::Sums> boxesOf(const std::vector<std::pair<qint32, std::vector<GlidingBoxes::Sums>>> &classes,
                                        qint32 value, const std::vector<qint64> &sides)
{
    for (const auto &[v, sums] : classes) {
        if (v == value)
            return sums;
    }
    std::vector<GlidingBoxes::Sums> none;
    for (const qint64 side : sides)
        none.push_back(GlidingBoxes::Sums{side, 0, 0, 0});
    return none;
}

// One landscape held in memory as class values (cover each): the
// values.rowCount() x columns cells of values and present from column left,
// at (row, left) in the file; its answers and statistics per class, appended
// to out (patches: squares only, into result).
bool testClasses(const Batch::Options &options, const RaggedRows<qint32> &values, const RaggedRows<quint8> &present,
                 qint64 left, qint64 columns, qint64 row, std::vector<Batch::Landscape> &out, Batch::Result &result,
                 QString *errorString)
{
    Tools &t = tools();
    const SpanningRule &rule = options.rule;
    const bool walk = rule.kind == SpanningRule::Walk;
    const Asked asked(options);
    const qint64 rows = values.rowCount();
    if (asked.patches && !t.squarePatches.open(errorString))
        return false;
    t.scan.setObserver(asked.patches ? &t.squarePatches : nullptr);
    t.scan.beginClasses(scanOptions(rule, asked.statistics || !walk, rows, columns));
    if (asked.boxes)
        t.boxes.begin(options.lacunarity, rows, columns);
    for (qint64 r = 0; r < rows; ++r) {
        const qint64 from = std::min<qint64>(left, values.rowLength(r));
        const qint64 length = std::clamp<qint64>(values.rowLength(r) - from, 0, columns);
        t.scan.addClassRow(values.row(r) + from, present.row(r) + from, length);
        if (asked.boxes)
            t.boxes.addClassRow(values.row(r) + from, present.row(r) + from, length);
    }
    const auto classes = t.scan.finishClasses();
    t.scan.setObserver(nullptr);
    const auto boxes = asked.boxes ? t.boxes.finishClasses() : decltype(t.boxes.finishClasses())();
    for (const auto &[value, found] : classes) {
        Batch::Landscape landscape;
        landscape.row = row;
        landscape.column = left;
        landscape.rows = rows;
        landscape.columns = columns;
        landscape.isClass = true;
        landscape.coverClass = value;
        landscape.statistics = found;
        landscape.boxes = asked.boxes ? boxesOf(boxes, value, options.lacunarity) : std::vector<GlidingBoxes::Sums>();
        if (walk) {
            cellsOfClass(values, present, value, left, columns, t.square);
            landscape.spans = walkAnswer(rule, t.square, false);
        } else {
            landscape.spans = rule.answer(found);
        }
        out.push_back(landscape);
    }
    return !asked.patches || squarePatches(t, options, result, row, left, columns, errorString);
}

// The length of the shortest row of a band: the squares it holds whole end there.
template <typename T>
qint64 shortestRow(const RaggedRows<T> &rows)
{
    qint64 shortest = rows.rowCount() > 0 ? rows.rowLength(0) : 0;
    for (qint64 r = 1; r < rows.rowCount(); ++r)
        shortest = std::min<qint64>(shortest, rows.rowLength(r));
    return shortest;
}

// The landscapes of classes of one square or window at a time, in class
// order, each class of `classes` absent from it given too.
void everyClassIn(const std::vector<Batch::Landscape> &landscapes, const std::set<qint32> &classes,
                  std::vector<Batch::Landscape> &all)
{
    for (size_t first = 0; first < landscapes.size();) {
        size_t end = first;
        while (end < landscapes.size() && landscapes[end].row == landscapes[first].row
               && landscapes[end].column == landscapes[first].column)
            ++end;
        size_t at = first;
        for (const qint32 value : classes) {
            if (at < end && landscapes[at].coverClass == value) {
                all.push_back(landscapes[at++]);
                continue;
            }
            Batch::Landscape absent = landscapes[first];
            absent.coverClass = value;
            absent.spans = 0;
            absent.statistics = ClusterStatistics();
            absent.statistics.cells = landscapes[first].statistics.cells;
            for (GlidingBoxes::Sums &box : absent.boxes)
                box.sum = box.sumSquares = 0; // the same boxes, none holding the class
            all.push_back(absent);
        }
        first = end;
    }
}

// With cover each: every class found in any square gets a landscape in
// every square, habitat 0 (and no cluster) where the square lacks it, so
// that means over squares count the squares without the class too.
void everyClassInEverySquare(std::vector<Batch::Landscape> &landscapes)
{
    std::set<qint32> classes;
    for (const Batch::Landscape &landscape : landscapes)
        classes.insert(landscape.coverClass);
    std::vector<Batch::Landscape> all;
    all.reserve(classes.size() * landscapes.size());
    everyClassIn(landscapes, classes, all);
    landscapes = std::move(all);
}

// The windows found, as they come in rows of centres, into the result's
// spool; with cover each, the classes any window holds.
struct WindowsOut
{
    Batch::Result &result;
    std::set<qint32> classes;

    void add(std::vector<Batch::Landscape> &windows)
    {
        for (const Batch::Landscape &window : windows) {
            result.windows->add(window);
            if (window.isClass)
                classes.insert(window.coverClass);
        }
        windows.clear();
    }
    // With cover each: every window given every class any window holds, in
    // a spool of its own that takes the first's place.
    bool finish(bool each, QString *errorString)
    {
        if (!each)
            return true;
        auto all = std::make_shared<WindowSpool>();
        if (!all->open(errorString) || !result.windows->close(errorString))
            return false;
        std::vector<Batch::Landscape> window;
        std::vector<Batch::Landscape> filled;
        auto flush = [&] {
            everyClassIn(window, classes, filled);
            for (const Batch::Landscape &w : filled)
                all->add(w);
            window.clear();
            filled.clear();
        };
        const bool read = result.windows->read(
                [&](const Batch::Landscape &w) {
                    if (!window.empty() && (w.row != window.front().row || w.column != window.front().column))
                        flush();
                    window.push_back(w);
                    return true;
                },
                errorString);
        flush();
        result.windows = std::move(all);
        return read;
    }
};

// Every complete square of side S, a band of S rows at a time.
bool testTiles(LandscapeStream &stream, const Batch::Options &options, Batch::Result &result, QString *errorString)
{
    Tools &t = tools();
    const qint64 size = options.tileSize;
    const qint64 rows = stream.rows();
    const qint64 columns = stream.columns();
    const bool each = options.cover.isEach();
    const bool walk = options.rule.kind == SpanningRule::Walk;
    result.latticeRows = (rows + size - 1) / size;
    result.latticeColumns = (columns + size - 1) / size;
    qint64 complete = 0;
    for (qint64 top = 0; top + size <= rows; top += size) {
        qint64 width = 0;
        if (each) {
            if (!stream.readValues(size, columns, t.values, t.present, errorString))
                return false;
            width = shortestRow(t.values);
        } else {
            if (!stream.readHabitat(size, columns, options.cover, t.cells, errorString))
                return false;
            width = shortestRow(t.cells);
        }
        for (qint64 left = 0; left + size <= width; left += size) {
            ++complete;
            if (each) {
                const size_t before = result.landscapes.size();
                if (!testClasses(options, t.values, t.present, left, size, top, result.landscapes, result, errorString))
                    return false;
                for (size_t i = before; i < result.landscapes.size(); ++i) {
                    result.landscapes[i].latticeRow = top / size;
                    result.landscapes[i].latticeColumn = left / size;
                }
                result.squaresWithoutCells += result.landscapes.size() == before ? 1 : 0;
                continue;
            }
            Batch::Landscape landscape;
            landscape.row = top;
            landscape.column = left;
            landscape.rows = landscape.columns = size;
            landscape.latticeRow = top / size;
            landscape.latticeColumn = left / size;
            if (Asked(options).statistics || Asked(options).boxes) {
                if (!statisticsOf(options, t.cells, top, left, size, landscape, result, errorString))
                    return false;
                landscape.spans = options.rule.answer(landscape.statistics);
            } else if (!walk) {
                ClusterScan &scan = t.scan;
                scan.begin(scanOptions(options.rule, false, size, size));
                for (qint64 r = 0; r < size; ++r) {
                    if (scan.addRow(t.cells.row(r) + left, size))
                        break;
                }
                landscape.statistics = scan.finish();
                landscape.spans = options.rule.answer(landscape.statistics);
            }
            if (walk) {
                t.square.clear();
                t.square.cells.reserve(size_t(size * size));
                for (qint64 r = 0; r < size; ++r) {
                    const qint8 *from = t.cells.row(r) + left;
                    t.square.cells.insert(t.square.cells.end(), from, from + size);
                    t.square.endRow();
                }
                if (!Asked(options).statistics)
                    countCells(t.square, 0, size, landscape.statistics);
                landscape.spans = walkAnswer(options.rule, t.square, false);
            }
            // A square without a cell with a value is no landscape (a sea, the
            // outside of a study area): not tested, only counted.
            if (landscape.statistics.cells == 0) {
                ++result.squaresWithoutCells;
                continue;
            }
            result.landscapes.push_back(landscape);
        }
    }
    if (each)
        everyClassInEverySquare(result.landscapes);
    result.incompleteSquares = result.latticeRows * result.latticeColumns - complete;
    return true;
}

// What one thread found of a row of windows.
struct WindowPart
{
    std::vector<Batch::Landscape> windows;
    qint64 withoutCells = 0;
    QString error;
    bool ok = true;
};

// Runs work(t) for t in [0, threads) on as many threads, then hands their
// windows on, in the order of t; false, with the first reason, when one
// failed.
template <typename Work>
bool runRowOfWindows(int threads, Work &&work, std::vector<WindowPart> &parts, WindowsOut &out, QString *errorString)
{
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; ++t)
        helpers.emplace_back(work, t);
    work(0);
    for (std::thread &helper : helpers)
        helper.join();
    for (int t = 0; t < threads; ++t) {
        WindowPart &part = parts[size_t(t)];
        if (!part.ok) {
            *errorString = part.error;
            return false;
        }
        out.add(part.windows);
        out.result.windowsWithoutCells += part.withoutCells;
        part.withoutCells = 0;
    }
    return true;
}

// The rows of a map that a row of windows holds: a ring of `size` rows (at
// least a window's), map row r at r % size, each padded to the map's columns (cells past
// a short row's end have no value); one cover as cells, each as values.
struct WindowRows
{
    qint64 size = 0;
    qint64 columns = 0;
    bool each = false;
    std::vector<qint8> cells;
    std::vector<qint32> values;
    std::vector<quint8> present;
    qint64 next = 0; // the next row of the map to read

    void begin(qint64 ringRows, qint64 mapColumns, bool classes)
    {
        size = ringRows;
        columns = mapColumns;
        each = classes;
        const size_t n = size_t(size * columns);
        if (each) {
            values.assign(n, 0);
            present.assign(n, 0);
        } else {
            cells.assign(n, CellCode::NoValue);
        }
        next = 0;
    }
    size_t at(qint64 r) const { return size_t((r % size) * columns); }

    // Reads on to row end (exclusive), skipping what comes before row first.
    bool readTo(LandscapeStream &stream, const CoverSet &cover, qint64 first, qint64 end, QString *errorString)
    {
        if (first > next) {
            if (!stream.skip(first - next, errorString))
                return false;
            next = first;
        }
        Tools &t = tools();
        const qint64 chunk = std::max<qint64>(1, BandCells / std::max<qint64>(1, columns));
        while (next < end) {
            const qint64 count = std::min(chunk, end - next);
            if (each ? !stream.readValues(count, columns, t.values, t.present, errorString)
                     : !stream.readHabitat(count, columns, cover, t.cells, errorString))
                return false;
            const qint64 got = each ? t.values.rowCount() : t.cells.rowCount();
            if (got != count) {
                *errorString = tr("the map ends before its row %1").arg(next + got);
                return false;
            }
            for (qint64 r = 0; r < count; ++r, ++next) {
                const size_t to = at(next);
                if (each) {
                    const qint64 length = std::min<qint64>(t.values.rowLength(r), columns);
                    std::copy_n(t.values.row(r), length, values.begin() + qsizetype(to));
                    std::copy_n(t.present.row(r), length, present.begin() + qsizetype(to));
                    std::fill_n(present.begin() + qsizetype(to + size_t(length)), columns - length, quint8(0));
                } else {
                    const qint64 length = std::min<qint64>(t.cells.rowLength(r), columns);
                    std::copy_n(t.cells.row(r), length, cells.begin() + qsizetype(to));
                    std::fill_n(cells.begin() + qsizetype(to + size_t(length)), columns - length, CellCode::NoValue);
                }
            }
        }
        return true;
    }
};

// A thread's room for the cells of the window it tests.
struct WindowCells
{
    RaggedRows<qint8> cells;
    RaggedRows<qint32> values;
    RaggedRows<quint8> present;
};

// One window, its top-left cell (top, left) in a map of rows x columns
// whose rows `ring` holds: its landscapes (one, or one per class present)
// appended to out; none when it holds no cell with a value.

bool testWindow(const Batch::Options &options, const MovingWindow &window, const WindowRows &ring, qint64 rows,
                qint64 top, qint64 left, WindowCells &scratch, std::vector<Batch::Landscape> &out,
                Batch::Result &result, QString *errorString)
{
    RaggedRows<qint8> &cells = scratch.cells;
    RaggedRows<qint32> &values = scratch.values;
    RaggedRows<quint8> &present = scratch.present;
    const qint64 r0 = std::max<qint64>(top, 0);
    const qint64 r1 = std::min(top + window.size, rows);
    const qint64 c0 = std::max<qint64>(left, 0);
    const qint64 c1 = std::min(left + window.size, ring.columns);
    const qint64 width = c1 - c0;
    cells.clear();
    values.clear();
    present.clear();
    qint64 found = 0;
    qint64 habitat = 0;
    for (qint64 r = r0; r < r1; ++r) {
        const auto [b0, b1] = window.rowCells(r - top);
        const qint64 from = std::clamp(left + b0, c0, c1) - c0; // the shape's cells in this row of the landscape
        const qint64 to = std::clamp(left + b1, c0, c1) - c0;
        const size_t at = ring.at(r) + size_t(c0);
        if (ring.each) {
            values.cells.insert(values.cells.end(), ring.values.begin() + qsizetype(at),
                                ring.values.begin() + qsizetype(at + size_t(width)));
            const size_t p = present.cells.size();
            present.cells.resize(p + size_t(width), 0);
            for (qint64 c = from; c < to; ++c) {
                present.cells[p + size_t(c)] = ring.present[at + size_t(c)];
                found += ring.present[at + size_t(c)] != 0 ? 1 : 0;
            }
            values.endRow();
            present.endRow();
        } else {
            const size_t p = cells.cells.size();
            cells.cells.resize(p + size_t(width), CellCode::NoValue);
            for (qint64 c = from; c < to; ++c) {
                const qint8 code = ring.cells[at + size_t(c)];
                cells.cells[p + size_t(c)] = code;
                found += code >= 0 ? 1 : 0;
                habitat += code > 0 ? 1 : 0;
            }
            cells.endRow();
        }
    }
    if (found == 0)
        return true;
    const size_t before = out.size();
    if (ring.each) {
        if (!testClasses(options, values, present, 0, width, 0, out, result, errorString))
            return false;
    } else {
        Batch::Landscape landscape;
        if (Asked(options).statistics || Asked(options).boxes) {
            if (!statisticsOf(options, cells, 0, 0, width, landscape, result, errorString))
                return false;
        } else {
            ClusterScan &scan = tools().scan;
            scan.begin(scanOptions(options.rule, false, cells.rowCount(), width));
            for (qint64 r = 0; r < cells.rowCount(); ++r) {
                if (scan.addRow(cells.row(r), width))
                    break;
            }
            landscape.statistics = scan.finish();
            landscape.statistics.cells = found;
            landscape.statistics.habitat = habitat;
        }
        landscape.spans = options.rule.answer(landscape.statistics);
        out.push_back(landscape);
    }
    for (size_t i = before; i < out.size(); ++i) {
        out[i].row = top;
        out[i].column = left;
        out[i].rows = out[i].columns = window.size;
    }
    return true;
}

// The windows of one column of centres as a queue of row blocks (step rows
// each, the window's columns), their seams joined: a window of k blocks is
// the join of the k blocks it holds. Joining is associative, so the queue
// keeps the joins of its front part's suffixes and of its back part
// whole (two stacks): each block is joined about three times, whatever k.
class BlockQueue
{
public:
    bool push(BandSeam block, QString *errorString)
    {
        if (m_back.size() == 1 && !BandSeam::join(m_back.front(), block, m_backJoined, errorString))
            return false;
        if (m_back.size() > 1 && !BandSeam::join(m_backJoined, block, m_backJoined, errorString))
            return false;
        m_back.push_back(std::move(block));
        return true;
    }
    // The join of every block held (at least one): a block or a join held,
    // or one made in scratch.
    const BandSeam *whole(BandSeam &scratch, QString *errorString) const
    {
        const BandSeam *back = m_back.empty() ? nullptr : m_back.size() == 1 ? &m_back.front() : &m_backJoined;
        if (m_front.empty())
            return back;
        if (!back)
            return &m_front.back();
        return BandSeam::join(m_front.back(), *back, scratch, errorString) ? &scratch : nullptr;
    }
    // Drops the first block.
    bool pop(QString *errorString)
    {
        if (m_front.empty()) {
            // The back's blocks move to the front as the joins of their
            // suffixes, the last block's first.
            for (size_t i = m_back.size(); i-- > 0;) {
                if (m_front.empty()) {
                    m_front.push_back(std::move(m_back[i]));
                    continue;
                }
                BandSeam joined;
                if (!BandSeam::join(m_back[i], m_front.back(), joined, errorString))
                    return false;
                m_front.push_back(std::move(joined));
            }
            m_back.clear();
            m_backJoined = BandSeam();
        }
        if (!m_front.empty())
            m_front.pop_back();
        return true;
    }

private:
    std::vector<BandSeam> m_front; // joins of the front's suffixes, the front's whole last
    std::vector<BandSeam> m_back;
    BandSeam m_backJoined; // with two blocks or more at the back
};

// Square windows whose side is k steps, wholly inside the map, without
// boxes: each row block of a window column is searched once as a band, and
// a window is the join of its k blocks closed as a landscape. Blocks lie in
// a frame of the map's rows moved down by one (every block an inner band
// of it), so that any run of adjacent blocks joins; the statistics do not
// depend on where a cluster lies, only on what it touches.
bool testWindowBlocks(LandscapeStream &stream, const Batch::Options &options, const MovingWindow &window,
                      Batch::Result &result, QString *errorString)
{
    const qint64 rows = stream.rows();
    const qint64 columns = stream.columns();
    const qint64 step = window.step;
    const qint64 k = window.size / step;
    const bool each = options.cover.isEach();
    std::vector<qint64> js;
    for (qint64 j = 0; j < result.windowColumns; ++j) {
        if (window.inside(j, columns))
            js.push_back(j);
    }
    qint64 firstWindow = 0;
    while (firstWindow < result.windowRows && !window.inside(firstWindow, rows))
        ++firstWindow;
    qint64 endWindow = firstWindow;
    while (endWindow < result.windowRows && window.inside(endWindow, rows))
        ++endWindow;
    result.windowsPastEdge = result.windowRows * result.windowColumns - (endWindow - firstWindow) * qint64(js.size());
    if (endWindow == firstWindow || js.empty())
        return true;

    WindowsOut out{result, {}};
    WindowRows ring;
    ring.begin(step, columns, each);
    std::vector<BlockQueue> queues(js.size());
    const int threads = int(std::min<qint64>(std::max(1, options.mapThreads),
                                             std::max<qint64>(1, qint64(js.size()) * window.size * step / (qint64(1) << 14))));
    std::vector<WindowPart> parts(static_cast<size_t>(threads));
    ClusterScan::Options scanning = scanOptions(options.rule, options.statistics, rows + 2, window.size);
    scanning.band = true;
    scanning.bandRows = step;
    // Blocks m = firstWindow .. endWindow + k - 2: rows [m step - size / 2, + step).
    for (qint64 m = firstWindow; m < endWindow + k - 1; ++m) {
        const qint64 top = window.first(m);
        if (!ring.readTo(stream, options.cover, top, top + step, errorString))
            return false;
        const qint64 i = m - (k - 1); // the window whose last block this is
        auto work = [&](int t) {
            WindowPart &part = parts[size_t(t)];
            ClusterScan &scan = tools().scan;
            ClusterScan::Options blockScan = scanning;
            blockScan.firstRow = top + 1;
            const size_t begin = js.size() * size_t(t) / size_t(threads);
            const size_t end = js.size() * size_t(t + 1) / size_t(threads);
            BandSeam joined;
            for (size_t n = begin; n < end && part.ok; ++n) {
                const qint64 left = window.first(js[n]);
                if (each) {
                    scan.beginClasses(blockScan);
                    for (qint64 r = top; r < top + step; ++r) {
                        const size_t at = ring.at(r) + size_t(left);
                        scan.addClassRow(ring.values.data() + at, ring.present.data() + at, window.size);
                    }
                } else {
                    scan.begin(blockScan);
                    for (qint64 r = top; r < top + step; ++r)
                        scan.addRow(ring.cells.data() + ring.at(r) + size_t(left), window.size);
                }
                BlockQueue &queue = queues[n];
                part.ok = queue.push(scan.finishBand(), &part.error);
                if (!part.ok || i < firstWindow)
                    continue;
                const BandSeam *held = queue.whole(joined, &part.error);
                part.ok = held != nullptr;
                if (!part.ok)
                    break;
                const BandSeam closed = held->asLandscape();
                part.ok = queue.pop(&part.error);
                if (closed.cells == 0) {
                    ++part.withoutCells;
                    continue;
                }
                Batch::Landscape landscape;
                landscape.row = window.first(i);
                landscape.column = left;
                landscape.rows = landscape.columns = window.size;
                landscape.latticeRow = i;
                landscape.latticeColumn = js[n];
                if (each) {
                    landscape.isClass = true;
                    for (const auto &[value, found] : closed.classStatistics()) {
                        landscape.coverClass = value;
                        landscape.statistics = found;
                        landscape.spans = options.rule.answer(found);
                        part.windows.push_back(landscape);
                    }
                } else {
                    landscape.statistics = closed.coverStatistics();
                    landscape.spans = options.rule.answer(landscape.statistics);
                    part.windows.push_back(landscape);
                }
            }
        };
        if (!runRowOfWindows(threads, work, parts, out, errorString))
            return false;
    }
    return out.finish(each, errorString);
}

// Every window of options.window, a row of centres at a time, the rows they
// hold read once into a ring.
bool testWindows(LandscapeStream &stream, const Batch::Options &options, Batch::Result &result, QString *errorString)
{
    const MovingWindow &window = *options.window;
    Batch::Options asked = options;
    asked.statistics = options.windowStatistics;
    asked.patches = false;
    if (!options.windowStatistics)
        asked.lacunarity.clear();
    const qint64 rows = stream.rows();
    const qint64 columns = stream.columns();
    result.windowRows = window.count(rows);
    result.windowColumns = window.count(columns);
    if (window.shape == MovingWindow::Square && !window.partial && window.size % window.step == 0
        && asked.lacunarity.empty())
        return testWindowBlocks(stream, asked, window, result, errorString);
    WindowRows ring;
    WindowsOut out{result, {}};
    // A window holds at most min(size, rows) rows, and rows are read in order.
    ring.begin(std::max<qint64>(1, std::min(window.size, rows)), columns, options.cover.isEach());
    const int threads = std::max(1, options.mapThreads);
    std::vector<WindowPart> parts(static_cast<size_t>(threads));
    std::vector<WindowCells> scratch(static_cast<size_t>(threads));
    for (qint64 i = 0; i < result.windowRows; ++i) {
        const qint64 top = window.first(i);
        if (!window.partial && !window.inside(i, rows)) {
            result.windowsPastEdge += result.windowColumns;
            continue;
        }
        if (!ring.readTo(stream, options.cover, std::max<qint64>(top, 0), std::min(top + window.size, rows),
                         errorString))
            return false;
        std::vector<qint64> js;
        for (qint64 j = 0; j < result.windowColumns; ++j) {
            if (window.partial || window.inside(j, columns))
                js.push_back(j);
        }
        result.windowsPastEdge += result.windowColumns - qint64(js.size());
        // Threads take contiguous runs of the row's windows, when there is
        // enough work for them.
        const int used = int(std::min<qint64>(threads, std::max<qint64>(1, qint64(js.size()) * window.size * window.size
                                                                                  / (qint64(1) << 14))));
        auto work = [&](int k) {
            WindowPart &part = parts[size_t(k)];
            const size_t begin = js.size() * size_t(k) / size_t(used);
            const size_t end = js.size() * size_t(k + 1) / size_t(used);
            for (size_t n = begin; n < end && part.ok; ++n) {
                const qint64 j = js[n];
                const size_t before = part.windows.size();
                part.ok = testWindow(asked, window, ring, rows, top, window.first(j), scratch[size_t(k)],
                                     part.windows, result, &part.error);
                for (size_t w = before; w < part.windows.size(); ++w) {
                    part.windows[w].latticeRow = i;
                    part.windows[w].latticeColumn = j;
                }
                part.withoutCells += part.ok && part.windows.size() == before ? 1 : 0;
            }
        };
        if (!runRowOfWindows(used, work, parts, out, errorString))
            return false;
    }
    return out.finish(options.cover.isEach(), errorString);
}

QString walkTooLarge(qint64 n)
{
    return tr("the walk holds its square of %1 x %1 cells in memory and indexes its cells with 32 bits, so it "
              "takes at most 4294967295 cells; --tile and the cluster rules (cluster4, cluster8) have no such limit")
            .arg(n);
}

// The second pass reads the landscape again, from the bottom: which cells
// have a value (the maps' 0 and nodata).
class StreamSource : public PatchPass::Source
{
public:
    StreamSource(LandscapeStream &stream, const CoverSet &cover, qint64 columns)
        : m_stream(stream)
        , m_cover(cover)
        , m_columns(columns)
    {
    }
    bool read(qint64 first, qint64 count, RaggedRows<qint8> &rows, QString *errorString) override
    {
        if (!m_stream.seek(first, errorString))
            return false;
        if (!m_cover.isEach())
            return m_stream.readHabitat(count, m_columns, m_cover, rows, errorString);
        if (!m_stream.readValues(count, m_columns, m_values, m_present, errorString))
            return false;
        rows.clear();
        for (qint64 r = 0; r < m_present.rowCount(); ++r) {
            const quint8 *present = m_present.row(r);
            for (qint64 c = 0; c < m_present.rowLength(r); ++c)
                rows.cells.push_back(present[c] ? CellCode::Matrix : CellCode::NoValue);
            rows.endRow();
        }
        return true;
    }

private:
    LandscapeStream &m_stream;
    const CoverSet &m_cover;
    qint64 m_columns;
    RaggedRows<qint32> m_values;
    RaggedRows<quint8> m_present;
};

// The second pass over a whole file searched in the bands of seams: its
// patches into result's spool, and its maps.
bool secondPass(const QByteArray &path, const Batch::Options &options, Batch::Result &result,
                const PatchSeams &seams, qint64 rows, qint64 columns, const std::vector<qint32> &classes)
{
    QString why;
    PatchPass::Options pass;
    pass.spool = result.patches.get();
    pass.minCells = options.minCells;
    pass.values = options.clusterMapValues;
    pass.geo = result.geo;
    const bool maps = !options.clusterMap.isEmpty() || options.clusterMapInto;
    if (maps) {
        std::vector<std::optional<qint32>> covers;
        if (options.cover.isEach())
            covers.assign(classes.begin(), classes.end());
        else
            covers.push_back(std::nullopt);
        for (const std::optional<qint32> &cover : covers) {
            PatchPass::Map map{options.clusterMap.isEmpty() ? QByteArray()
                                                            : OutputNames::expand(options.clusterMap, path, cover),
                               cover, {}};
            if (options.clusterMapInto)
                map.into = [&options, cover, rows, columns](bool wide) {
                    return options.clusterMapInto(cover, rows, columns, wide);
                };
            pass.maps.push_back(map);
        }
    }
    LandscapeStream again;
    std::unique_ptr<StreamSource> source;
    if (maps) {
        LandscapeStream::Options reading;
        reading.band = options.band;
        reading.grid = options.grid;
        if (!again.open(path, reading, &why)) {
            result.mapError = tr("the cluster map could not be written: %1").arg(why);
            return true;
        }
        const qint64 readColumns = again.isRaster() ? std::min(again.columns(), columns) : again.columns();
        source = std::make_unique<StreamSource>(again, options.cover, readColumns);
        pass.source = source.get();
    }
    if (!PatchPass::run(seams, options.rule.connectivity(), rows, columns, pass, &why)) {
        // A map that cannot be written is the map's failure; patches that
        // cannot all be kept, the file's.
        if (maps)
            result.mapError = why;
        if (options.patches) {
            result.errorString = why;
            return false;
        }
    }
    return true;
}

// The patches of rows searched apart (Options::place or rows), in bands
// added to seams, their rows joined outer, in a round of
// Options::partPatches: without them, into result.patches those the outer
// rows do not cut (their numbers the rows' own, the first first); with
// them, result.partDistances.
bool bandPatches(const Batch::Options &options, PatchSeams &seams, const BandSeam &outer, Batch::Result &result,
                 QString *errorString)
{
    if (options.partPatches) {
        if (!seams.givePatches(options.partPatches->records, options.partPatches->ofPart, outer, errorString))
            return false;
    } else {
        seams.finish();
        result.patches = std::make_shared<PatchSpool>();
        if (!result.patches->open(errorString))
            return false;
    }
    PatchWalk walk(seams, options.rule.connectivity(), true);
    while (walk.next(errorString)) {
        for (const PatchWalk::Patch &patch : walk.completed()) {
            if (!options.partPatches && (patch.patch < 0 || !seams.cutByOuterRows(patch.patch))) {
                Cluster record = patch.record;
                record.start = record.firstCellIndex(outer.columns);
                result.patches->add({0, 0, patch.number, record, patch.sumDistance});
            }
        }
    }
    if (!errorString->isEmpty() || (result.patches && !result.patches->close(errorString)))
        return false;
    if (options.partPatches)
        result.partDistances = seams.sharesOfGiven(walk.distancesOfPatches());
    return true;
}

// The most rows of a band of `columns` columns whose cluster sums stay
// narrow (ClusterScan: below 2^63 as cells times the largest x^2 + y^2),
// at least 64; 0 where no band is narrow or any is.
qint64 narrowBandRows(qint64 columns)
{
    const auto fits = [columns](qint64 h) { return ClusterScan::narrowSums(h, columns); };
    if (!fits(64))
        return 0;
    qint64 low = 64;
    qint64 high = qint64(1) << 40;
    if (fits(high))
        return 0;
    while (high - low > 1) {
        const qint64 middle = low + (high - low) / 2;
        (fits(middle) ? low : high) = middle;
    }
    return low;
}

// A whole file searched in bands of rows at once, on up to
// Options::mapThreads threads (a raster's; a text file is read from its top,
// in one band), each band read from a stream of its own and searched as a
// band of the landscape (ClusterScan::Options::band); the bands' seams are
// joined, so that the landscape's statistics are one pass's, to the bit,
// whatever the number of bands. With labels, its map into memory too
// (Options::clusterMapInto alone: MemoryLabels); else with patches or
// cluster maps asked for, each band's search is recorded and the second
// pass walks the bands (PatchSeams): patches and maps are one pass's too.
bool searchInBands(LandscapeStream &stream, const QByteArray &path, const Batch::Options &options,
                   Batch::Result &result, qint64 readColumns, qint64 bandRows, bool statistics,
                   std::unique_ptr<MemoryLabels> *labels, QString *errorString)
{
    // The rows searched, in the landscape's numbers: all, Options::rows's
    // part of them, or the stream's rows where Options::place puts them
    // (the stream's row r is then the landscape's offset + r).
    const qint64 offset = options.place ? options.place->firstRow : 0;
    const qint64 rows = options.place ? options.place->rows : stream.rows();
    if (offset < 0 || offset + stream.rows() > rows) {
        *errorString = tr("rows %1 to %2 are not rows of a landscape of %3 rows")
                               .arg(offset)
                               .arg(offset + stream.rows() - 1)
                               .arg(rows);
        return false;
    }
    const qint64 n = options.extent == Batch::Full ? stream.columns() : rows;
    const bool each = options.cover.isEach();
    const qint64 from = options.place ? offset : options.rows ? options.rows->begin(rows) : 0;
    const qint64 to = options.place ? offset + stream.rows() : options.rows ? options.rows->end(rows) : rows;
    if (options.rows && stream.isRaster() && options.extent != Batch::Full && stream.columns() > n)
        result.cellsLeftOut = (to - from) * (stream.columns() - n); // the part's share of what testWhole() counted
    // Bands of at least 64 rows.
    const bool apart = options.place || options.rows;
    const bool oneBand = !stream.isRaster();
    const int bands = oneBand ? 1 : int(std::clamp<qint64>((to - from) / 64, 1, std::max(1, options.mapThreads)));
    std::vector<qint64> firsts;
    for (int k = 0; k <= bands; ++k)
        firsts.push_back(from + (to - from) * k / bands);
    const Asked asked(options);
    const bool recorded = !labels
            && (asked.patches || (!apart && (!options.clusterMap.isEmpty() || options.clusterMapInto)));
    std::vector<std::unique_ptr<PatchRecorder>> recorders;
    std::vector<std::unique_ptr<ClusterScan>> scans; // kept for their patch numbers
    for (int k = 0; recorded && k < bands; ++k) {
        recorders.push_back(std::make_unique<PatchRecorder>());
        if (!recorders.back()->open(errorString, firsts[size_t(k)]))
            return false;
    }
    for (int k = 1; k < bands; ++k)
        scans.push_back(std::make_unique<ClusterScan>());
    bool room = false;
    if (labels) {
        *labels = std::make_unique<MemoryLabels>(rows, n, each, options.rule.connectivity(), options.clusterMapValues,
                                                 std::vector<qint64>(firsts.begin(), firsts.end() - 1),
                                                 options.clusterMapInto);
        room = (*labels)->allocate();
    }

    struct Searched
    {
        QString errorString;
        BandSeam seam;
        qint64 cellsLeftOut = 0;
        qint64 edgeCells = 0;
        qint64 edgeCellsWithoutValue = 0;
    };
    std::vector<Searched> searched(static_cast<size_t>(bands));
    // Lacunarity: each band's boxes are those whose last row is in it, so a
    // band reads the rows above it that they reach into too.
    const bool boxed = statistics && !options.lacunarity.empty();
    const qint64 reach = boxed ? GlidingBoxes::reachAbove(options.lacunarity) : 0;
    const auto search = [&](int k, LandscapeStream &from, ClusterScan &scan, GlidingBoxes &boxes) {
        MemoryLabels::Band *map = room ? &(*labels)->band(k) : nullptr;
        Searched &out = searched[size_t(k)];
        const qint64 begin = firsts[size_t(k)];
        const qint64 end = firsts[size_t(k) + 1];
        const qint64 start = std::max(offset, begin - reach); // the first row read
        EdgeCount edges{rows, n};
        RaggedRows<qint8> cells;
        CoverBits bits;
        RaggedRows<qint32> values;
        RaggedRows<quint8> byteValues;
        RaggedRows<quint8> present;
        PatchRecorder *recorder = recorded ? recorders[size_t(k)].get() : nullptr;
        scan.setObserver(map ? static_cast<ClusterScan::Observer *>(map) : recorder);
        // A raster's habitat as bits where nothing but the search reads it,
        // and byte values as bytes where nothing but the search and its
        // observers do.
        const bool asBits = !each && !boxed && !map && !recorder && from.isRaster();
        const bool asBytes = each && !boxed && !map && from.valuesAreBytes();
        // The thread's rows are searched in bands short enough for narrow
        // sums (one band with labels or records, which watch one search),
        // each joined to those above it as it ends.
        const qint64 most = map || recorder ? 0 : narrowBandRows(n);
        qint64 subBegin = begin;
        qint64 subEnd = end;
        bool joined = false;
        const auto beginBand = [&] {
            subEnd = most > 0 ? std::min(end, subBegin + most) : end;
            ClusterScan::Options scanning = scanOptions(options.rule, statistics, rows, n);
            scanning.band = true;
            scanning.firstRow = subBegin;
            scanning.bandRows = subEnd - subBegin;
            each ? scan.beginClasses(scanning) : scan.begin(scanning);
        };
        const auto endBand = [&] {
            BandSeam band = scan.finishBand();
            if (!joined) {
                out.seam = std::move(band);
                joined = true;
            } else {
                BandSeam both;
                if (!BandSeam::join(out.seam, band, both, &out.errorString))
                    return false;
                out.seam = std::move(both);
            }
            subBegin = subEnd;
            return true;
        };
        const auto nextRow = [&](qint64 row) {
            if (row < subEnd)
                return true;
            if (!endBand())
                return false;
            beginBand();
            return true;
        };
        beginBand();
        if (boxed)
            boxes.begin(options.lacunarity, rows, n, start, begin);
        bool read = from.nextRow() + offset == start || from.seek(start - offset, &out.errorString);
        while (read && from.nextRow() + offset < end) {
            const qint64 first = from.nextRow() + offset;
            // Rows above the band are read alone, for the boxes.
            const qint64 count = std::min(bandRows, first < begin ? begin - first : end - first);
            if (each) {
                // The values as bytes or as 32-bit integers (the boxes read
                // only these: there are no bytes with boxes).
                const auto classRows = [&](const auto &classValues) {
                    for (qint64 r = 0; read && r < classValues.rowCount(); ++r) {
                        if constexpr (std::is_same_v<std::decay_t<decltype(classValues)>, RaggedRows<qint32>>) {
                            if (boxed)
                                boxes.addClassRow(classValues.row(r), present.row(r), classValues.rowLength(r));
                        }
                        if (first + r < begin)
                            continue;
                        read = nextRow(first + r);
                        if (map)
                            map->addRow(first - begin + r, present.row(r), present.rowLength(r));
                        edges.addPresent(first + r, present.row(r), present.rowLength(r));
                        scan.addClassRow(classValues.row(r), present.row(r), classValues.rowLength(r));
                    }
                };
                if (asBytes) {
                    read = from.readByteValues(count, readColumns, byteValues, present, &out.errorString);
                    classRows(byteValues);
                } else {
                    read = from.readValues(count, readColumns, values, present, &out.errorString);
                    classRows(values);
                }
            } else if (asBits) {
                read = from.readHabitatBits(count, readColumns, options.cover, bits, &out.errorString);
                for (qint64 r = 0; read && r < bits.rows; ++r) {
                    read = nextRow(first + r);
                    edges.addBits(first + r, bits.noValue(r), bits.columns);
                    scan.addRow(bits.habitat(r), bits.noValue(r), bits.columns);
                }
            } else {
                read = from.readHabitat(count, readColumns, options.cover, cells, &out.errorString);
                for (qint64 r = 0; read && r < cells.rowCount(); ++r) {
                    if (boxed)
                        boxes.addRow(cells.row(r), cells.rowLength(r));
                    if (first + r < begin)
                        continue;
                    read = nextRow(first + r);
                    if (options.extent != Batch::Full && !stream.isRaster())
                        out.cellsLeftOut += std::max<qint64>(0, cells.rowLength(r) - n);
                    if (map)
                        map->addRow(first - begin + r, cells.row(r), cells.rowLength(r));
                    edges.addCells(first + r, cells.row(r), cells.rowLength(r));
                    scan.addRow(cells.row(r), cells.rowLength(r));
                }
            }
        }
        endBand();
        if (recorder && out.errorString.isEmpty())
            recorder->close(&out.errorString);
        if (boxed && each)
            out.seam.classBoxes = boxes.finishClasses();
        else if (boxed)
            out.seam.boxes = boxes.finish();
        scan.setObserver(nullptr);
        out.edgeCells = edges.cells;
        out.edgeCellsWithoutValue = edges.withoutValue;
    };
    std::vector<std::thread> threads;
    for (int k = 1; k < bands; ++k) {
        threads.emplace_back([&, k] {
            LandscapeStream own;
            LandscapeStream::Options reading;
            reading.band = options.band;
            reading.grid = options.grid;
            reading.prefetch = true;
            GlidingBoxes boxes;
            if (own.open(path, reading, &searched[size_t(k)].errorString))
                search(k, own, *scans[size_t(k) - 1], boxes);
        });
    }
    search(0, stream, tools().scan, tools().boxes);
    for (std::thread &thread : threads)
        thread.join();
    for (const Searched &band : searched) {
        if (!band.errorString.isEmpty()) {
            *errorString = band.errorString;
            return false;
        }
        result.cellsLeftOut += band.cellsLeftOut;
        result.edgeCells += band.edgeCells;
        result.edgeCellsWithoutValue += band.edgeCellsWithoutValue;
    }
    Batch::BandJoin whole;
    PatchSeams patchSeams;
    for (int k = 0; k < bands; ++k) {
        const ClusterScan &scan = k == 0 ? tools().scan : *scans[size_t(k) - 1];
        if (recorded && !patchSeams.add(*recorders[size_t(k)], scan, &searched[size_t(k)].seam, errorString))
            return false;
        if (!whole.add(std::move(searched[size_t(k)].seam), errorString))
            return false;
    }
    if (options.rows || options.place) {
        // The seam of the rows, the same however many bands they were
        // searched in: the parts of patches are known by their indices there
        // from one search of the rows to the next.
        BandSeam outer = *whole.joined();
        outer.numberOpenInRowOrder();
        if (recorded) {
            if (!bandPatches(options, patchSeams, outer, result, errorString))
                return false;
        }
        result.seam = outer.write();
        return true;
    }
    whole.finish(options, result);
    std::vector<qint32> values;
    for (const Batch::Landscape &landscape : result.landscapes)
        values.push_back(landscape.coverClass);
    if (labels && (!room || !(*labels)->finish(values, bands)))
        result.mapError = tr("the cluster map could not be written: there is not enough memory for it");
    if (!recorded)
        return true;
    patchSeams.finish();
    if (!secondPass(path, options, result, patchSeams, rows, n, values)) {
        *errorString = result.errorString;
        return false;
    }
    return true;
}

// The whole file as one landscape.
bool testWhole(LandscapeStream &stream, const QByteArray &path, const Batch::Options &options, Batch::Result &result,
               QString *errorString)
{
    Tools &t = tools();
    const bool full = options.extent == Batch::Full;
    const qint64 rows = stream.rows();
    const qint64 n = full ? stream.columns() : options.place ? options.place->rows : rows; // the extent's columns
    const bool walk = options.rule.kind == SpanningRule::Walk;
    const bool each = options.cover.isEach();
    const Asked asked(options);
    // A raster's cells beyond the square are not read at all; a text row's
    // are read to be counted.
    const qint64 readColumns = stream.isRaster() ? std::min(stream.columns(), n) : stream.columns();
    if (!full && stream.isRaster() && stream.columns() > n)
        result.cellsLeftOut = rows * (stream.columns() - n);
    auto countLeftOut = [&](auto &band) {
        if (!full && !stream.isRaster()) {
            for (qint64 r = 0; r < band.rowCount(); ++r)
                result.cellsLeftOut += std::max<qint64>(0, band.rowLength(r) - n);
        }
    };
    EdgeCount edges{rows, n};
    auto edgesOf = [&](qint64 firstRow, const auto &band, const auto &codes) {
        for (qint64 r = 0; r < band.rowCount(); ++r) {
            if constexpr (std::is_same_v<std::decay_t<decltype(codes)>, RaggedRows<quint8>>)
                edges.addPresent(firstRow + r, codes.row(r), codes.rowLength(r));
            else
                edges.addCells(firstRow + r, codes.row(r), codes.rowLength(r));
        }
    };
    auto keepEdges = [&] {
        result.edgeCells = edges.cells;
        result.edgeCellsWithoutValue = edges.withoutValue;
    };

    if (walk) {
        // The walk's square, whole, in memory: the cells it has (a narrow
        // map's square lacks most of its cells).
        if (rows * std::min(stream.columns(), n) > 0xFFFFFFFFLL) {
            *errorString = walkTooLarge(n);
            return false;
        }
        const bool room = each ? claimSquare(t.values, rows * readColumns, rows)
                                         && claimSquare(t.present, rows * readColumns, rows)
                               : claimSquare(t.cells, rows * readColumns, rows);
        if (!room) {
            result.outOfMemory = true;
            *errorString = tr("there is not enough memory for the square's %1 x %1 cells beside what the reading "
                              "needs")
                                   .arg(n);
            return false;
        }
        if (each) {
            if (!stream.readValues(rows, readColumns, t.values, t.present, errorString))
                return false;
            countLeftOut(t.values);
            edgesOf(0, t.values, t.present);
            keepEdges();
            return testClasses(options, t.values, t.present, 0, n, 0, result.landscapes, result, errorString);
        }
        if (!stream.readHabitat(rows, readColumns, options.cover, t.cells, errorString))
            return false;
        countLeftOut(t.cells);
        edgesOf(0, t.cells, t.cells);
        keepEdges();
        Batch::Landscape landscape;
        landscape.rows = landscape.columns = n;
        if (asked.statistics || asked.boxes) {
            if (!statisticsOf(options, t.cells, 0, 0, n, landscape, result, errorString))
                return false;
        } else {
            countCells(t.cells, 0, n, landscape.statistics);
        }
        landscape.spans = walkAnswer(options.rule, t.cells, options.walkBothPhases);
        result.landscapes.push_back(landscape);
        return true;
    }

    // The cluster rules stream the rows through the engine, a band at a time.
    const qint64 band = std::max(stream.blockHeight(), (BandCells + readColumns - 1) / std::max<qint64>(1, readColumns));
    ClusterScan &scan = t.scan;
    // Patches and maps need the records of the second pass.
    // A map wanted only into memory is labelled there as the search runs.
    if (options.clusterMapInto && options.clusterMap.isEmpty() && !asked.patches && !asked.boxes
        && MemoryLabels::fits(rows, n)) {
        std::unique_ptr<MemoryLabels> labels;
        return searchInBands(stream, path, options, result, readColumns, band, true, &labels, errorString);
    }
    // A part of the rows, statistics, patches or cluster maps: in bands (on
    // every thread asked for, a raster's).
    if (options.rows || options.place)
        return searchInBands(stream, path, options, result, readColumns, band, asked.statistics, nullptr, errorString);
    if (asked.statistics || !options.clusterMap.isEmpty() || options.clusterMapInto)
        return searchInBands(stream, path, options, result, readColumns, band, true, nullptr, errorString);
    // Whether it spans, alone: one pass, stopping once that is known.
    const ClusterScan::Options scanning = scanOptions(options.rule, false, rows, n);
    if (asked.boxes)
        t.boxes.begin(options.lacunarity, rows, n);
    if (each) {
        scan.beginClasses(scanning);
        while (stream.nextRow() < rows) {
            const qint64 first = stream.nextRow();
            if (!stream.readValues(band, readColumns, t.values, t.present, errorString)) {
                scan.setObserver(nullptr);
                return false;
            }
            countLeftOut(t.values);
            edgesOf(first, t.values, t.present);
            for (qint64 r = 0; r < t.values.rowCount(); ++r) {
                scan.addClassRow(t.values.row(r), t.present.row(r), t.values.rowLength(r));
                if (asked.boxes)
                    t.boxes.addClassRow(t.values.row(r), t.present.row(r), t.values.rowLength(r));
            }
        }
        keepEdges();
        const auto classes = scan.finishClasses();
        scan.setObserver(nullptr);
        const auto boxes = asked.boxes ? t.boxes.finishClasses() : decltype(t.boxes.finishClasses())();
        for (const auto &[value, found] : classes) {
            Batch::Landscape landscape;
            landscape.rows = rows;
            landscape.columns = n;
            landscape.isClass = true;
            landscape.coverClass = value;
            landscape.statistics = found;
            landscape.boxes = asked.boxes ? boxesOf(boxes, value, options.lacunarity) : std::vector<GlidingBoxes::Sums>();
            landscape.spans = options.rule.answer(found);
            result.landscapes.push_back(landscape);
        }
        return true;
    }
    scan.begin(scanning);
    bool known = false;
    // A raster's habitat as bits, where nothing but the search reads it.
    const bool asBits = stream.isRaster() && !asked.boxes;
    while (!known && asBits && stream.nextRow() < rows) {
        const qint64 first = stream.nextRow();
        if (!stream.readHabitatBits(band, readColumns, options.cover, t.bits, errorString)) {
            scan.setObserver(nullptr);
            return false;
        }
        for (qint64 r = 0; r < t.bits.rows; ++r)
            edges.addBits(first + r, t.bits.noValue(r), t.bits.columns);
        for (qint64 r = 0; r < t.bits.rows && !known; ++r)
            known = scan.addRow(t.bits.habitat(r), t.bits.noValue(r), t.bits.columns);
    }
    while (!known && !asBits && stream.nextRow() < rows) {
        const qint64 first = stream.nextRow();
        if (!stream.readHabitat(band, readColumns, options.cover, t.cells, errorString)) {
            scan.setObserver(nullptr);
            return false;
        }
        countLeftOut(t.cells);
        edgesOf(first, t.cells, t.cells);
        for (qint64 r = 0; r < t.cells.rowCount() && !known; ++r) {
            known = scan.addRow(t.cells.row(r), t.cells.rowLength(r));
            if (asked.boxes)
                t.boxes.addRow(t.cells.row(r), t.cells.rowLength(r));
        }
    }
    if (known && !full && !stream.isRaster()) {
        // Stopped early: the rest of a text file's rows are still counted.
        while (stream.nextRow() < rows) {
            if (!stream.readHabitat(band, readColumns, options.cover, t.cells, errorString))
                return false;
            countLeftOut(t.cells);
        }
    }
    if (!known)
        keepEdges(); // a map that spans is not told it may be clipped
    Batch::Landscape landscape;
    landscape.rows = rows;
    landscape.columns = n;
    landscape.statistics = scan.finish();
    scan.setObserver(nullptr);
    if (asked.boxes)
        landscape.boxes = t.boxes.finish();
    landscape.spans = options.rule.answer(landscape.statistics);
    result.landscapes.push_back(landscape);
    return true;
}

} // namespace

bool PercolationBatch::BandJoin::add(BandSeam band, QString *errorString)
{
    if (!m_joined) {
        m_joined = std::move(band);
        return true;
    }
    BandSeam both;
    if (!BandSeam::join(*m_joined, band, both, errorString))
        return false;
    m_joined = std::move(both);
    return true;
}

bool PercolationBatch::BandJoin::finish(const Options &options, Result &result) const
{
    if (!m_joined || !m_joined->isWhole())
        return false;
    const BandSeam &whole = *m_joined;
    result.fileRows = whole.rows;
    const bool boxed = options.statistics && !options.lacunarity.empty();
    const auto classBoxes = whole.wholeClassBoxes();
    const auto add = [&](std::optional<qint32> value, const ClusterStatistics &found) {
        Landscape landscape;
        if (boxed)
            landscape.boxes = value ? boxesOf(classBoxes, *value, options.lacunarity) : whole.boxes;
        landscape.rows = whole.rows;
        landscape.columns = whole.columns;
        landscape.isClass = value.has_value();
        landscape.coverClass = value.value_or(0);
        landscape.statistics = found;
        landscape.spans = options.rule.answer(found);
        result.landscapes.push_back(landscape);
    };
    if (whole.classes) {
        for (const auto &[value, found] : whole.classStatistics())
            add(value, found);
    } else {
        add(std::nullopt, whole.coverStatistics());
    }
    if (!options.cover.isEach() && !result.landscapes.empty())
        result.percolates = result.landscapes.front().spans;
    return true;
}

PercolationBatch::Result PercolationBatch::test(const QByteArray &path, const Options &options)
{
    struct InFlight
    {
        InFlight() { ++filesInFlight; }
        ~InFlight() { --filesInFlight; }
    } inFlight;
    Result result;
    // The desktop program's test: a PercolationGrid per file.
    if (options.walkBothPhases && !options.grid && options.cover.isSingle() && options.tileSize == 0 && !options.statistics
        && options.rule.kind == SpanningRule::Walk) {
        PercolationGrid grid;
        grid.habitatValue = options.cover.single();
        if (!grid.loadLandscape(path, options.band)) {
            result.errorString = grid.errorString();
            result.outOfMemory = grid.outOfMemory();
        }
        result.skippedFields = grid.skippedFields();
        result.cellsLeftOut = grid.cellsLeftOut();
        Landscape landscape;
        landscape.rows = landscape.columns = grid.rowCount();
        countCells(grid.rows(), 0, landscape.rows, landscape.statistics);
        EdgeCount edges{landscape.rows, landscape.rows};
        for (qint64 r = 0; r < landscape.rows; ++r)
            edges.addCells(r, grid.rows().row(r), grid.rows().rowLength(r));
        result.edgeCells = edges.cells;
        result.edgeCellsWithoutValue = edges.withoutValue;
        const bool wholeWalk = options.rule == SpanningRule(SpanningRule::Walk, SpanningRule::Either);
        result.percolates = wholeWalk ? grid.percolates() : options.rule.test(grid);
        if (result.errorString.isEmpty()) {
            landscape.spans = result.percolates;
            result.landscapes.push_back(landscape);
        }
        return result;
    }

    LandscapeStream stream;
    LandscapeStream::Options reading;
    reading.band = options.band;
    reading.prefetch = true;
    reading.grid = options.grid;
    bool ok = false;
    try {
        ok = stream.open(path, reading, &result.errorString);
        if (ok) {
            result.fileRows = stream.rows();
            result.fileColumns = stream.columns();
            result.isRaster = stream.isRaster();
            result.geo = stream.geoReference();
            if (stream.columns() > ClusterScan::MaxColumns) {
                result.errorString = tr("the map has %1 columns; rows of more than %2 cells are not read")
                                             .arg(stream.columns())
                                             .arg(ClusterScan::MaxColumns);
                ok = false;
            }
            result.tileSize = options.tileSize;
            if (ok && options.patches) {
                result.patches = std::make_shared<PatchSpool>();
                ok = result.patches->open(&result.errorString);
            }
            if (ok) {
                ok = options.tileSize > 0 ? testTiles(stream, options, result, &result.errorString)
                                          : testWhole(stream, path, options, result, &result.errorString);
            }
            if (ok && result.patches)
                ok = result.patches->close(&result.errorString);
            if (ok && options.window) {
                // The windows read the map again, from its first row.
                LandscapeStream windows;
                result.windows = std::make_shared<WindowSpool>();
                ok = result.windows->open(&result.errorString) && windows.open(path, reading, &result.errorString)
                     && testWindows(windows, options, result, &result.errorString)
                     && result.windows->close(&result.errorString);
                result.outOfMemory = !ok && windows.outOfMemory();
            }
        }
        result.outOfMemory = !ok && (result.outOfMemory || stream.outOfMemory());
    } catch (const std::bad_alloc &) {
        ok = false;
        result.outOfMemory = true;
        result.errorString = tr("there is not enough memory to test the landscape");
    }
    result.skippedFields = stream.skippedFields();
    letGoOfLargeBuffers();
    if (!ok) {
        result.landscapes.clear();
        result.patches.reset();
        result.incompleteSquares = 0;
        result.squaresWithoutCells = 0;
        result.cellsLeftOut = 0;
        result.windows.reset();
        result.windowsPastEdge = result.windowsWithoutCells = 0;
    } else if (options.tileSize == 0 && !options.cover.isEach() && !result.landscapes.empty()) {
        result.percolates = result.landscapes.front().spans;
    }
    return result;
}

void PercolationBatch::run(const QByteArrayList &paths, const Options &options, int jobs,
                           const std::function<void(const Result &)> &onResult,
                           const std::function<void(qsizetype)> &before)
{
    std::vector<Result> results(size_t(paths.size()));
    // Jobs that files leave idle search one map's bands.
    Options each = options;
    if (!paths.isEmpty())
        each.mapThreads = std::max<qsizetype>(options.mapThreads, jobs / paths.size());
    WorkerPool::run(
            paths.size(), jobs,
            [&](qint64 i) {
                Result result = test(paths[qsizetype(i)], each);
                result.index = qsizetype(i);
                const bool retry = result.outOfMemory;
                results[size_t(i)] = std::move(result);
                return retry ? WorkerPool::RetryAlone : WorkerPool::Done;
            },
            [&](qint64 i) {
                onResult(results[size_t(i)]);
                results[size_t(i)] = Result(); // its memory goes at once
            },
            before ? std::function<void(qint64)>([&before](qint64 i) { before(qsizetype(i)); })
                   : std::function<void(qint64)>());
}
