#include "workerpool.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

int WorkerPool::maxThreads()
{
    return 4 * std::max(1, QThread::idealThreadCount());
}

void WorkerPool::run(qint64 count, int jobs, const std::function<Outcome(qint64)> &work,
                     const std::function<void(qint64)> &deliver, const std::function<void(qint64)> &before)
{
    const qint64 wanted = std::max<qint64>(1, std::min<qint64>({qint64(jobs), count, qint64(maxThreads())}));
    if (wanted == 1) {
        for (qint64 i = 0; i < count; ++i) {
            if (before)
                before(i);
            work(i);
            deliver(i);
        }
        return;
    }

    enum State : char { Pending, Finished, Deferred };
    std::vector<char> state(size_t(count), Pending);
    std::atomic<qint64> next{0};
    int active = 0; // threads working on an item, under mutex
    std::mutex mutex;
    std::condition_variable changed;
    // The first exception thrown by work (std::bad_alloc, say), under mutex:
    // no item starts after it, and it is rethrown once every thread is joined,
    // since an exception leaving this function with threads still running
    // would end the process.
    std::exception_ptr failure;

    auto workOne = [&](qint64 i) {
        Outcome outcome = Done;
        try {
            outcome = work(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!failure)
                failure = std::current_exception();
            --active;
            changed.notify_all();
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        state[size_t(i)] = outcome == RetryAlone ? Deferred : Finished;
        --active;
        changed.notify_all();
    };
    auto take = [&]() {
        std::lock_guard<std::mutex> lock(mutex);
        if (failure)
            return count;
        const qint64 i = next++;
        if (i < count)
            ++active;
        return i;
    };
    std::vector<std::thread> threads;
    for (qint64 t = 1; t < wanted; ++t) {
        try {
            threads.emplace_back([&] {
                for (qint64 i = take(); i < count; i = take())
                    workOne(i);
            });
        } catch (const std::system_error &) {
            break; // no more threads to be had: carry on with those started
        }
    }

    // The calling thread works too, and between its own items hands on
    // whatever has become ready in order.
    qint64 delivered = 0;
    auto deliverReady = [&](bool wait) {
        while (delivered < count) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (wait) {
                    changed.wait(lock, [&] {
                        return failure || state[size_t(delivered)] == Finished
                                || (state[size_t(delivered)] == Deferred && active == 0 && next >= count);
                    });
                } else if (state[size_t(delivered)] != Finished) {
                    return;
                }
                if (failure)
                    return;
                if (state[size_t(delivered)] == Deferred) {
                    // Every other item is done and no thread works: do it again, alone.
                    lock.unlock();
                    try {
                        work(delivered);
                    } catch (...) {
                        lock.lock();
                        failure = std::current_exception();
                        return;
                    }
                    lock.lock();
                    state[size_t(delivered)] = Finished;
                }
            }
            deliver(delivered);
            ++delivered;
        }
    };
    for (qint64 i = take(); i < count; i = take()) {
        workOne(i);
        deliverReady(false);
    }
    deliverReady(true);
    for (std::thread &thread : threads)
        thread.join();
    if (failure)
        std::rethrow_exception(failure);
}
