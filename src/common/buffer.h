// buffer.h: owning arrays from the tagged allocator. The allocation goes through MAlloc, so an
// out-of-memory stop carries the tag; the array is released with free when the owner goes out
// of scope, also when a fatal stop unwinds.
#ifndef TRELVAK_COMMON_BUFFER_H
#define TRELVAK_COMMON_BUFFER_H

#include <cstddef>
#include <cstdlib>
#include <memory>

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

}  // namespace trelvak

#endif  // TRELVAK_COMMON_BUFFER_H
