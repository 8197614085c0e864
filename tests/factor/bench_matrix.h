// bench_matrix.h: the tests' upper triangle (Csr) of a matrix made by the benchmark's generators.
#ifndef TRELVAK_TESTS_FACTOR_BENCH_MATRIX_H
#define TRELVAK_TESTS_FACTOR_BENCH_MATRIX_H

#include "common/testing.h"
#include "problems.h"

namespace trelvak::test {

inline Csr csr_of(const bench::UpperMatrix& U) {
    Csr A;
    A.nr = A.nc = U.n;
    A.ia        = U.ia;
    A.ja        = U.ja;
    A.a         = U.a;
    return A;
}

}  // namespace trelvak::test

#endif  // TRELVAK_TESTS_FACTOR_BENCH_MATRIX_H
