#pragma once

#include <QtGlobal>

#include <cstddef>

// How much memory this process may use: the machine's physical memory, and
// the limits set on the process (ulimit -v, ulimit -d), whichever is least.
// 0 where nothing is known. For refusing, before they start, what cannot fit.
namespace SystemMemory {

qint64 physical();
// The least of the physical memory and the address-space and data limits.
qint64 limit();
// limit() less what the process already uses of the limits (its address
// space), so the most one more allocation may still get.
qint64 available();

// Under an address-space or data limit (ulimit -v, ulimit -d), has every
// thread allocate from the process's one heap. Otherwise glibc gives a
// thread a heap of its own at its first allocation (up to eight per core,
// reusing those of threads that have ended), each reserving 64 MB of the
// limit whether it holds anything or not, so that what fits under a limit
// would vary from run to run with which threads happen to live at once.
// Call once, before threads start; without a limit it does nothing.
void oneHeapUnderLimits();

// Memory for a large array that is written whole once it is had (a map of
// every cell): aligned to 2 MiB and advised as huge pages, so that its first
// writes fault once per 2 MiB rather than once per 4 KiB page (on virtual
// machines a fault costs microseconds: 0.19 s for 64 MB against 0.006 s).
// nullptr when it cannot be had; freed with std::free().
void *allocateLarge(size_t bytes);

} // namespace SystemMemory
