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
    std::vector<Result> results(static_cast<size_t>(count));
    std::vector<char> done(static_cast<size_t>(count), 0);
    std::atomic<qsizetype> next{0};
    std::mutex mutex;
    std::condition_variable finished;

    auto testOne = [&](qsizetype i) {
        Result result;
        result.index = i;
        result.percolates = PercolationGrid::testLandscape(paths[i], habitatValue, &result.errorString);
        std::lock_guard<std::mutex> lock(mutex);
        results[size_t(i)] = std::move(result);
        done[size_t(i)] = 1;
        finished.notify_one();
    };
    // The calling thread tests files too, and between its own files hands on
    // whatever has become ready in order; it waits only at the end.
    std::vector<std::thread> threads;
    for (int t = 1; t < workers; ++t) {
        threads.emplace_back([&] {
            for (qsizetype i = next++; i < count; i = next++)
                testOne(i);
        });
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
