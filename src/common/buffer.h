// buffer.h: owning arrays.
//
// Buffer: arrays from the tagged allocator. The allocation goes through MAlloc, so an
// out-of-memory stop carries the tag; the array is released with free when the owner goes out
// of scope, also when a fatal stop unwinds.
//
// LargeVector: a std::vector whose large blocks (from 1 MiB) are aligned to 2 MiB and marked for
// transparent huge pages. A factorization writes hundreds of megabytes into freshly allocated
// arrays; with 4 KiB pages every first write to a page is a fault, and on virtual machines the
// faults took about a third of the factorization time. Smaller blocks come from operator new.
#ifndef TRELVAK_COMMON_BUFFER_H
#define TRELVAK_COMMON_BUFFER_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "common/trelvak.h"

namespace trelvak {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

template <class T>
using Buffer = std::unique_ptr<T[], FreeDeleter>;

// count entries under tag; a count of 0 gives a null buffer, as MAlloc does.
template <class T>
Buffer<T> allocate(std::size_t count, const char* tag) {
    return Buffer<T>(static_cast<T*>(MAlloc(count * sizeof(T), tag)));
}

// At least one entry, so that the buffer is never null.
template <class T>
Buffer<T> allocate_nonempty(long count, const char* tag) {
    return allocate<T>(count > 0 ? static_cast<std::size_t>(count) : 1, tag);
}

// Marks the 2 MiB pages inside [p, p + bytes) for transparent huge pages, before the first write
// to a large block that came from elsewhere (malloc, MAlloc). Advice only.
inline void advise_huge_pages(void* p, std::size_t bytes) {
    constexpr std::uintptr_t kPage = std::uintptr_t{2} << 20;
    const auto begin               = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first     = (begin + kPage - 1) / kPage * kPage;
    const std::uintptr_t last      = (begin + bytes) / kPage * kPage;
    if (p != nullptr && last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
}

template <class T>
struct LargePageAllocator {
    using value_type = T;

    static constexpr std::size_t kLarge = std::size_t{1} << 20;
    static constexpr std::size_t kPage  = std::size_t{2} << 20;

    LargePageAllocator() = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U>&) {}  // NOLINT: converting, as allocators do

    T* allocate(std::size_t count) {
        constexpr auto kMaxBytes = static_cast<std::size_t>(PTRDIFF_MAX) - kPage;
        if (count > kMaxBytes / sizeof(T)) {
            throw std::bad_alloc();
        }
        const std::size_t bytes = count * sizeof(T);
        if (bytes < kLarge) {
            return std::allocator<T>().allocate(count);
        }
        const std::size_t rounded = (bytes + kPage - 1) / kPage * kPage;
        void* p                   = std::aligned_alloc(kPage, rounded);
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        madvise(p, rounded, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t count) {
        if (count * sizeof(T) < kLarge) {
            std::allocator<T>().deallocate(p, count);
        } else {
            std::free(p);
        }
    }
    template <class U>
    bool operator==(const LargePageAllocator<U>&) const {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargePageAllocator<T>>;

}  // namespace trelvak

#endif  // TRELVAK_COMMON_BUFFER_H
