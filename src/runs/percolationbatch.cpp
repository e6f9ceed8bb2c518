#include "percolationbatch.h"

#include "percolationgrid.h"
#include "workerpool.h"

#include <algorithm>
#include <vector>

namespace {

// The complete squares of side size of rows, tested one by one.
void testSquares(const RaggedRows<qint8> &rows, const PercolationBatch::Options &options,
                 PercolationBatch::Result &result)
{
    const qint64 size = options.tileSize;
    const qint64 lines = rows.rowCount();
    qint64 widest = 0;
    for (qint64 r = 0; r < lines; ++r)
        widest = std::max<qint64>(widest, rows.rowLength(r));
    const qint64 lattice = ((lines + size - 1) / size) * ((widest + size - 1) / size);
    RaggedRows<qint8> square;
    for (qint64 top = 0; top + size <= lines; top += size) {
        qint64 width = widest;
        for (qint64 r = top; r < top + size; ++r)
            width = std::min<qint64>(width, rows.rowLength(r));
        for (qint64 left = 0; left + size <= width; left += size) {
            square.clear();
            square.cells.reserve(size_t(size * size));
            for (qint64 r = top; r < top + size; ++r) {
                const qint8 *from = rows.row(r) + left;
                square.cells.insert(square.cells.end(), from, from + size);
                square.endRow();
            }
            WalkGrid grid;
            grid.setRows(std::move(square));
            result.squares.push_back({top, left, options.rule.test(grid)});
            square = RaggedRows<qint8>();
        }
    }
    result.incompleteSquares = lattice - qint64(result.squares.size());
}

} // namespace

PercolationBatch::Result PercolationBatch::test(const QByteArray &path, const Options &options)
{
    Result result;
    if (options.tileSize > 0) {
        RaggedRows<qint8> rows;
        LandscapeReader::Options reading;
        reading.band = options.band;
        reading.allColumns = true;
        LandscapeReader::Outcome outcome;
        if (LandscapeReader::readPercolation(path, options.habitatValue, rows, &result.errorString, reading, &outcome))
            testSquares(rows, options, result);
        result.outOfMemory = outcome.outOfMemory;
        result.skippedFields = outcome.skipped;
        return result;
    }
    PercolationGrid grid;
    grid.habitatValue = options.habitatValue;
    if (!grid.loadLandscape(path, options.band)) {
        result.errorString = grid.errorString();
        result.outOfMemory = grid.outOfMemory();
    }
    result.skippedFields = grid.skippedFields();
    const bool wholeWalk = options.walkBothPhases && options.rule == SpanningRule(SpanningRule::Walk, SpanningRule::Either);
    result.percolates = wholeWalk ? grid.percolates() : options.rule.test(grid);
    return result;
}

void PercolationBatch::run(const QByteArrayList &paths, const Options &options, int jobs,
                           const std::function<void(const Result &)> &onResult,
                           const std::function<void(qsizetype)> &before)
{
    std::vector<Result> results(size_t(paths.size()));
    WorkerPool::run(
            paths.size(), jobs,
            [&](qint64 i) {
                Result result = test(paths[qsizetype(i)], options);
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
