// buffer.h: owning arrays.
//
// Buffer: arrays from the tagged allocator. The allocation goes through MAlloc, so an
// out-of-memory stop carries the tag; the array is released with free when the owner goes out
// of scope, also when a fatal stop unwinds.
//
// LargeVector: a std::vector whose large blocks (from 8 MiB) are aligned to 2 MiB, their whole
// huge pages marked for transparent huge pages. A factorization writes hundreds of megabytes into
// freshly allocated arrays; with 4 KiB pages every first write to a page is a fault, and on
// virtual machines the faults took about a third of the factorization time. Smaller blocks come
// from operator new.
//
// HandoverArray: an array the level list can take over as it is (release_levels frees it).
#ifndef TRELVAK_COMMON_BUFFER_H
#define TRELVAK_COMMON_BUFFER_H

#include <sys/mman.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
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

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Blocks from this size on are taken on huge pages. A huge page is resident as a whole once a
// byte of it is touched, and a factorization's working arrays are reserved larger than they are
// filled: for blocks of a few huge pages that cost more memory than the faults it saved time
// (MAC Stokes, n = 12,159, through PETSc: 53.5 MB at the peak with 2 MiB, 51.2 MB with 8 MiB).
constexpr std::size_t kLargeBlock = 4 * kHugePage;

// A block of at least bytes (>= 1) aligned to a huge page, its whole huge pages marked for
// transparent huge pages, released with free; null when it cannot be had. The madvise call is
// advice only. The tail beyond the last whole huge page stays on small pages: a huge page is
// resident as a whole once touched, and blocks rounded up to them (as they were) held up to
// 2 MiB more each; a Schur complement grown by doubling left 10 MB of such pages behind (MAC
// Stokes, n = 48,895).
inline void* huge_page_block(std::size_t bytes) {
    if (bytes == 0 || bytes > static_cast<std::size_t>(PTRDIFF_MAX) - kHugePage) {
        return nullptr;
    }
    void* p = nullptr;
    if (posix_memalign(&p, kHugePage, bytes) != 0) {
        return nullptr;
    }
    const std::size_t whole = bytes / kHugePage * kHugePage;
    if (whole > 0) {
        madvise(p, whole, MADV_HUGEPAGE);
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

// Gives the whole pages within [begin, end) back to the system at once; they read as zeros when
// touched again. For the parts of a live array that are no longer read.
template <class T>
void release_pages(T* begin, T* end) {
    static_assert(std::is_trivially_copyable_v<T>);
    const auto page  = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) / page * page;
    const auto last  = reinterpret_cast<std::uintptr_t>(end) / page * page;
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }
}

// An array whose storage can be handed over to a record that is released with free (the level
// list): large blocks on huge pages as LargeVector's, smaller ones from malloc. The factorization
// assembles a level's factor in it and the level record takes the array as it is; copying it
// there held the factor twice at the factorization's peak (10 MB of 123 MB for MAC Stokes,
// n = 48,895, through PETSc).
template <class T>
class HandoverArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    HandoverArray() = default;
    HandoverArray(HandoverArray&& other) noexcept
        : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
    HandoverArray& operator=(HandoverArray&& other) noexcept {
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    // count copies of value; the old contents are released first. Throws std::bad_alloc.
    void assign(std::size_t count, T value) {
        allocate(count);
        std::fill_n(data_.get(), count, value);
    }
    // count entries left as they come (untouched pages cost no memory until written); the old
    // contents are released first. Throws std::bad_alloc.
    void allocate(std::size_t count) {
        data_.reset();
        size_ = 0;
        if (count == 0) {
            return;
        }
        if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
            throw std::bad_alloc();
        }
        const std::size_t bytes = count * sizeof(T);
        void* p = bytes >= kLargeBlock ? huge_page_block(bytes) : std::malloc(bytes);
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        data_.reset(static_cast<T*>(p));
        size_ = count;
    }
    // Gives up the array (null when empty): the caller releases it with free.
    T* release() {
        size_ = 0;
        return data_.release();
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* begin() { return data_.get(); }
    T* end() { return data_.get() + size_; }
    const T* begin() const { return data_.get(); }
    const T* end() const { return data_.get() + size_; }

private:
    Buffer<T> data_;
    std::size_t size_ = 0;
};

// Gives the free pages of the heap back to the system. The allocator keeps what a program frees
// for its next requests, and a block that does not fit into the holes comes from fresh pages: a
// factorization that discards a try and makes a larger one, level after level, leaves the
// process holding the sum of its working arrays (MAC Stokes n = 48,895: 97 MB at the peak, 67 MB
// when the free pages go back before each run; a QP KKT matrix of order 14,000: 86 and 32 MB).
// Only a hint to glibc's allocator; elsewhere nothing. Below kTrimAbove bytes of free heap it
// does nothing: the pages given back are faulted in again by the next run, which cost small
// factorizations more than they saved (helm2d_100: 42 -> 48 to 64 ms of setup when every call
// trimmed, and 0.07 s against 0.06 s with 4 MB; with 8 MB as without trimming). With 16 MB the
// ordering's 10 MB of freed work arrays stayed resident under MAC Stokes of order 12,159 (its
// peak 53.5 MB through PETSc, 51.2 MB with 8 MB).
constexpr std::size_t kTrimAbove = std::size_t{8} << 20;
inline void release_free_memory() {
#if defined(__GLIBC__)
    if (mallinfo2().fordblks > kTrimAbove) {
        malloc_trim(0);
    }
#endif
}

}  // namespace trelvak

#endif  // TRELVAK_COMMON_BUFFER_H
