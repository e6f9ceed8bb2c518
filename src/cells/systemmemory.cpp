#include "systemmemory.h"

#include <algorithm>
#include <cstdio>

#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace SystemMemory {

namespace {

qint64 rlimitOf(int resource)
{
    rlimit limit;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    return qint64(std::min<rlim_t>(limit.rlim_cur, rlim_t(1) << 62));
}

// The process's address space in bytes, from /proc/self/statm.
qint64 addressSpaceUsed()
{
    std::FILE *statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    long long pages = 0;
    const int read = std::fscanf(statm, "%lld", &pages);
    std::fclose(statm);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    return read == 1 && pageSize > 0 ? qint64(pages) * pageSize : 0;
}

qint64 leastKnown(qint64 a, qint64 b)
{
    if (a <= 0)
        return b;
    if (b <= 0)
        return a;
    return std::min(a, b);
}

} // namespace

qint64 physical()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && pageSize > 0 ? qint64(pages) * qint64(pageSize) : 0;
}

qint64 limit()
{
    return leastKnown(physical(), leastKnown(rlimitOf(RLIMIT_AS), rlimitOf(RLIMIT_DATA)));
}

qint64 available()
{
    qint64 least = physical();
    const qint64 used = addressSpaceUsed();
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        if (const qint64 cap = rlimitOf(resource); cap > 0)
            least = leastKnown(least, std::max<qint64>(1, cap - used));
    }
    return least;
}

void oneHeapUnderLimits()
{
#ifdef __GLIBC__
    if (rlimitOf(RLIMIT_AS) > 0 || rlimitOf(RLIMIT_DATA) > 0)
        mallopt(M_ARENA_MAX, 1);
#endif
}

void *allocateLarge(size_t bytes)
{
    constexpr size_t Huge = size_t(2) << 20;
    const size_t rounded = (std::max<size_t>(bytes, 1) + Huge - 1) / Huge * Huge;
    if (rounded < bytes)
        return nullptr;
    void *memory = std::aligned_alloc(Huge, rounded);
    if (memory)
        ::madvise(memory, rounded, MADV_HUGEPAGE); // advice only: without it, 4 KiB pages
    return memory;
}

} // namespace SystemMemory
