// alloc_testing.h: a hook that makes the k-th following MAlloc/ReAlloc fail, so tests can prove
// that an out-of-memory stop loses nothing and leaks nothing. fail_allocation(0) disarms it.
#ifndef TRELVAK_SOLVER_ALLOC_TESTING_H
#define TRELVAK_SOLVER_ALLOC_TESTING_H

namespace trelvak::testing {
void fail_allocation(long k);
}

#endif
