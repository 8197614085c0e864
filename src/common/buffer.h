// buffer.h: owning arrays.
//
// Buffer: arrays from the tagged allocator. The allocation goes through MAlloc, so an
// out-of-memory stop carries the tag; the array is released with free when the owner goes out
// of scope, also when a fatal stop unwinds.
//
// LargeVector: a std::vector whose large blocks (from 512 KiB) are aligned to 2 MiB and marked for
// transparent huge pages. A factorization writes hundreds of megabytes into freshly allocated
// arrays; with 4 KiB pages every first write to a page is a fault, and on virtual machines the
// faults took about a third of the factorization time. Smaller blocks come from operator new.
#ifndef TRELVAK_COMMON_BUFFER_H
#define TRELVAK_COMMON_BUFFER_H

#include <sys/mman.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

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

constexpr std::size_t kHugePage   = std::size_t{2} << 20;
constexpr std::size_t kLargeBlock = std::size_t{1} << 19;  // 512 KiB

// A block of at least bytes (>= 1) aligned to a huge page and marked for transparent huge pages,
// released with free; null when it cannot be had. The madvise call is advice only.
inline void* huge_page_block(std::size_t bytes) {
    if (bytes == 0 || bytes > static_cast<std::size_t>(PTRDIFF_MAX) - kHugePage) {
        return nullptr;
    }
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p                   = std::aligned_alloc(kHugePage, rounded);
    if (p != nullptr) {
        madvise(p, rounded, MADV_HUGEPAGE);
    }
    return p;
}

template <class T>
struct LargePageAllocator {
    using value_type = T;

    LargePageAllocator() = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U>&) {}  // NOLINT: converting, as allocators do

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
            throw std::bad_alloc();
        }
        if (count * sizeof(T) < kLargeBlock) {
            return std::allocator<T>().allocate(count);
        }
        void* p = huge_page_block(count * sizeof(T));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t count) {
        if (count * sizeof(T) < kLargeBlock) {
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

// Gives the free pages of the heap back to the system. The allocator keeps what a program frees
// for its next requests, and a block that does not fit into the holes comes from fresh pages: a
// factorization that discards a try and makes a larger one, level after level, leaves the
// process holding the sum of its working arrays (MAC Stokes n = 48,895: 97 MB at the peak, 67 MB
// when the free pages go back before each run; a QP KKT matrix of order 14,000: 86 and 32 MB).
// Only a hint to glibc's allocator; elsewhere nothing. Below kTrimAbove bytes of free heap it
// does nothing: the pages given back are faulted in again by the next run, which cost small
// factorizations more than they saved (helm2d_100: 42 -> 48 to 64 ms of setup when every call
// trimmed; with the threshold as before, and the peaks above unchanged).
constexpr std::size_t kTrimAbove = std::size_t{16} << 20;
inline void release_free_memory() {
#if defined(__GLIBC__)
    if (mallinfo2().fordblks > kTrimAbove) {
        malloc_trim(0);
    }
#endif
}

}  // namespace trelvak

#endif  // TRELVAK_COMMON_BUFFER_H
