// malloc.cpp: MAlloc and ReAlloc, the tagged allocation helpers.
//
// A size of 0 returns null without allocating; ReAlloc then hands ptr back unchanged (the block
// is not released). ReAlloc with a null ptr allocates afresh, otherwise it resizes and keeps the
// contents. On failure the fatal handler receives
//     "Mem. alloc. ERROR in <tag>. Requested bytes: <size> bytes\n"
// so for a non-zero size neither routine ever returns empty-handed. Blocks from 8 MiB on are
// taken on transparent huge pages (see common/buffer.h); every block is released with free.
#include <cstdio>
#include <cstdlib>

#include "common/buffer.h"
#include "common/trelvak.h"
#include "solver/alloc_testing.h"

namespace {

long allocations_until_failure = 0;  // 0: never fail; k > 0: the k-th allocation from now fails

bool injected_failure() {
    if (allocations_until_failure <= 0) {
        return false;
    }
    return --allocations_until_failure == 0;
}

[[noreturn]] void out_of_memory(const char* tag, size_t nbytes) {
    char message[512];
    std::snprintf(message, sizeof message, "Mem. alloc. ERROR in %s. Requested bytes: %ld bytes\n",
                  tag ? tag : "", static_cast<long>(nbytes));
    trelvak_fatal(FATAL_STDERR, message);
}

}  // namespace

namespace trelvak::testing {
void fail_allocation(long k) {
    allocations_until_failure = k;
}
}  // namespace trelvak::testing

extern "C" void* MAlloc(size_t nbytes, const char* tag) {
    if (nbytes == 0) {
        return nullptr;
    }
    void* p = injected_failure()               ? nullptr
              : nbytes >= trelvak::kLargeBlock ? trelvak::huge_page_block(nbytes)
                                               : std::malloc(nbytes);
    if (!p) {
        out_of_memory(tag, nbytes);
    }
    return p;
}

extern "C" void* ReAlloc(void* ptr, size_t nbytes, const char* tag) {
    if (nbytes == 0) {
        return ptr;
    }
    void* p = injected_failure() ? nullptr : std::realloc(ptr, nbytes);
    if (!p) {
        out_of_memory(tag, nbytes);
    }
    return p;
}
