#pragma once

#include <QtGlobal>

#include <functional>

// Runs the items of a job on several threads and hands their results to the
// caller in order: the one worker pool of the batch and the sweep.
//
// work(i) is called once for each item i in [0, count), on the calling thread
// or a worker, in no particular order; deliver(i) is called on the calling
// thread, strictly in order of i, as soon as item i and all before it are
// done, so that what the caller writes from the results is the same for every
// number of jobs. Items are handed out in order, so memory for results held
// back is bounded by the items in flight.
//
// An item whose work answers RetryAlone (it failed for want of memory while
// other items held memory) is done again once every other item is done and
// no other thread works, so that its result is what a run of one job gives.
//
// Threads: at most jobs (the calling thread among them), the items and
// maxThreads(); when the system cannot start as many, the run goes on with
// those it could start. With one job everything runs on the calling thread,
// before(i) (when given) just before work(i). deliver must not throw. An
// exception from work (std::bad_alloc, say) stops the run: no item starts
// after it, the threads are joined, and the first such exception is rethrown
// to the caller; items done meanwhile may not have been delivered.
class WorkerPool
{
public:
    enum Outcome { Done, RetryAlone };

    static void run(qint64 count, int jobs, const std::function<Outcome(qint64)> &work,
                    const std::function<void(qint64)> &deliver, const std::function<void(qint64)> &before = {});

    // More threads than this never help: a few per core.
    static int maxThreads();
};
