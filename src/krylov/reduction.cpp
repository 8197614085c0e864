// reduction.cpp: inner products and norms of vectors whose entries may be spread over several
// processes (krylov::Reduction). Without a hook these are the BLAS values themselves, so a method
// on one process computes exactly what it computed before the hook existed. With one, each
// process contributes its local dot product or its local squared norm (the local norm squared,
// so the BLAS scaling still guards the local sum), the hook sums them, and a norm is the square
// root of the sum.
#include <cmath>

#include "common/blas.h"
#include "krylov/krylov.h"

namespace trelvak::krylov {

double dot(const Reduction& reduce, int n, const double* x, const double* y) {
    double xy = blas::dot(n, x, y);
    if (reduce.sum != nullptr) {
        reduce.sum(&xy, 1, reduce.context);
    }
    return xy;
}

double nrm2(const Reduction& reduce, int n, const double* x) {
    const double local = blas::nrm2(n, x);
    if (reduce.sum == nullptr) {
        return local;
    }
    double squares = local * local;
    reduce.sum(&squares, 1, reduce.context);
    return std::sqrt(squares);
}

void dot_and_nrm2(const Reduction& reduce, int n, const double* x, const double* y, const double* v,
                  double* xy, double* norm) {
    if (reduce.sum == nullptr) {
        *xy   = blas::dot(n, x, y);
        *norm = blas::nrm2(n, v);
        return;
    }
    const double local = blas::nrm2(n, v);
    double sums[2]     = {blas::dot(n, x, y), local * local};
    reduce.sum(sums, 2, reduce.context);
    *xy   = sums[0];
    *norm = std::sqrt(sums[1]);
}

}  // namespace trelvak::krylov
