#include "percolationbatch.h"

#include "percolationgrid.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

void PercolationBatch::run(const QStringList &paths, qint32 habitatValue, int jobs,
                           const std::function<void(const Result &)> &onResult)
{
    const qsizetype count = paths.size();
    const int workers = int(std::max<qsizetype>(1, std::min<qsizetype>(jobs, count)));
    if (workers == 1) {
        for (qsizetype i = 0; i < count; ++i) {
            Result result;
            result.index = i;
            result.percolates = PercolationGrid::testLandscape(paths[i], habitatValue, &result.errorString);
            onResult(result);
        }
        return;
    }

    std::vector<Result> results(static_cast<size_t>(count));
    std::vector<char> done(static_cast<size_t>(count), 0);
    std::atomic<qsizetype> next{0};
    std::mutex mutex;
    std::condition_variable finished;

    auto work = [&] {
        for (qsizetype i = next++; i < count; i = next++) {
            Result result;
            result.index = i;
            result.percolates = PercolationGrid::testLandscape(paths[i], habitatValue, &result.errorString);
            std::lock_guard<std::mutex> lock(mutex);
            results[size_t(i)] = std::move(result);
            done[size_t(i)] = 1;
            finished.notify_one();
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < workers; ++t)
        threads.emplace_back(work);

    for (qsizetype i = 0; i < count; ++i) {
        Result result;
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return done[size_t(i)] != 0; });
            result = std::move(results[size_t(i)]);
        }
        onResult(result);
    }
    for (std::thread &thread : threads)
        thread.join();
}
