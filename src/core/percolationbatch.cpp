#include "percolationbatch.h"

#include "landscapereader.h"
#include "percolationgrid.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
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
            PercolationGrid grid;
            grid.setRows(std::move(square));
            result.squares.push_back({top, left, options.rule.test(grid)});
            square = RaggedRows<qint8>();
        }
    }
    result.incompleteSquares = lattice - qint64(result.squares.size());
}

} // namespace

int PercolationBatch::maxThreads()
{
    return 4 * std::max(1, QThread::idealThreadCount());
}

PercolationBatch::Result PercolationBatch::test(const QByteArray &path, const Options &options)
{
    Result result;
    if (options.tileSize > 0) {
        RaggedRows<qint8> rows;
        LandscapeReader::Options reading;
        reading.band = options.band;
        reading.allColumns = true;
        if (LandscapeReader::readPercolation(path, options.habitatValue, rows, &result.errorString, reading))
            testSquares(rows, options, result);
        return result;
    }
    PercolationGrid grid;
    grid.habitatValue = options.habitatValue;
    if (!grid.loadLandscape(path, options.band))
        result.errorString = grid.errorString();
    result.percolates = options.rule.test(grid);
    return result;
}

void PercolationBatch::run(const QByteArrayList &paths, const Options &options, int jobs,
                           const std::function<void(const Result &)> &onResult)
{
    const qsizetype count = paths.size();
    const int wanted = int(std::max<qsizetype>(1, std::min<qsizetype>({qsizetype(jobs), count, maxThreads()})));
    std::vector<Result> results(static_cast<size_t>(count));
    std::vector<char> done(static_cast<size_t>(count), 0);
    std::atomic<qsizetype> next{0};
    std::mutex mutex;
    std::condition_variable finished;

    auto testOne = [&](qsizetype i) {
        Result result = test(paths[i], options);
        result.index = i;
        std::lock_guard<std::mutex> lock(mutex);
        results[size_t(i)] = std::move(result);
        done[size_t(i)] = 1;
        finished.notify_one();
    };
    // The calling thread tests files too, and between its own files hands on
    // whatever has become ready in order; it waits only at the end.
    std::vector<std::thread> threads;
    for (int t = 1; t < wanted; ++t) {
        try {
            threads.emplace_back([&] {
                for (qsizetype i = next++; i < count; i = next++)
                    testOne(i);
            });
        } catch (const std::system_error &) {
            break; // no more threads to be had: carry on with those started
        }
    }
    qsizetype delivered = 0;
    auto deliver = [&](bool wait) {
        while (delivered < count) {
            Result result;
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (wait)
                    finished.wait(lock, [&] { return done[size_t(delivered)] != 0; });
                else if (!done[size_t(delivered)])
                    return;
                result = std::move(results[size_t(delivered)]);
            }
            onResult(result);
            ++delivered;
        }
    };
    for (qsizetype i = next++; i < count; i = next++) {
        testOne(i);
        deliver(false);
    }
    deliver(true);
    for (std::thread &thread : threads)
        thread.join();
}
