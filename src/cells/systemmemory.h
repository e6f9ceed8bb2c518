#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>

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

// Memory for a large array that is written whole once it is had (a map of
// every cell): aligned to 2 MiB and advised as huge pages, so that its first
// writes fault once per 2 MiB rather than once per 4 KiB page (on virtual
// machines a fault costs microseconds: 0.19 s for 64 MB against 0.006 s).
// nullptr when it cannot be had; freed with std::free().
void *allocateLarge(size_t bytes);

// An allocator for containers that may grow large (millions of results):
// arrays of 2 MiB or more from allocateLarge(), smaller ones from malloc.
template <typename T>
struct LargeAllocator
{
    using value_type = T;
    LargeAllocator() = default;
    template <typename U>
    LargeAllocator(const LargeAllocator<U> &) noexcept
    {
    }
    T *allocate(size_t n)
    {
        const size_t bytes = n * sizeof(T);
        if (n > size_t(-1) / sizeof(T))
            throw std::bad_alloc();
        void *memory = bytes >= (size_t(2) << 20) ? allocateLarge(bytes) : std::malloc(std::max<size_t>(bytes, 1));
        if (!memory)
            throw std::bad_alloc();
        return static_cast<T *>(memory);
    }
    void deallocate(T *memory, size_t) noexcept { std::free(memory); }
    template <typename U>
    bool operator==(const LargeAllocator<U> &) const noexcept
    {
        return true;
    }
    template <typename U>
    bool operator!=(const LargeAllocator<U> &) const noexcept
    {
        return false;
    }
};

} // namespace SystemMemory
