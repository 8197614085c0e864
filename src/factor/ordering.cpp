// ordering.cpp: the ordering the factorization uses when a reordering slot of the parameter record
// is empty (setup mode leaves the slots as they are for an unrecognised `ordering`).
//
// factor_default_ordering has the reordering routine signature: it scales A in place with one
// sweep of symmetric max-norm equilibration (d(i) = 1/sqrt(largest |a| of the full row i),
// rounded to a power of two, A := D A D), writes d into right, leaves left untouched, and keeps
// the identity order with nB = n. Returns 0, or -5 when a full row is zero (nothing scaled).
#include <algorithm>
#include <cmath>
#include <vector>

#include "common/onebased.h"
#include "factor/factor.h"

namespace trelvak::factor_detail {

int factor_default_ordering(SparseMatrix A, double* /*left*/, double* right, int* p, int* invq,
                            int* nB, ParameterRecord* /*param*/) {
    const int n = A.nr;
    auto ia     = view1(A.ia, n + 1);
    auto ja     = view1(A.ja);
    auto a      = view1(A.a);
    auto d      = view1(right, n);
    std::vector<double> rmax(static_cast<size_t>(n) + 1, 0.0);
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const double x = std::fabs(a(k));
            const int j    = ja(k);
            rmax[i]        = std::max(rmax[i], x);
            rmax[j]        = std::max(rmax[j], x);
        }
    }
    for (int i = 1; i <= n; ++i) {
        if (rmax[i] == 0.0) {
            return -5;
        }
    }
    std::vector<double> s(static_cast<size_t>(n) + 1, 1.0);
    for (int i = 1; i <= n; ++i) {
        // power of two nearest to 1/sqrt(rmax) in the logarithmic sense
        s[i] = std::ldexp(1.0, static_cast<int>(std::lround(-0.5 * std::log2(rmax[i]))));
        d(i) *= s[i];
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            a(k) *= s[i] * s[ja(k)];
        }
    }
    auto perm = view1(p, n);
    auto inv  = view1(invq, n);
    for (int i = 1; i <= n; ++i) {
        perm(i) = i;
        inv(i)  = i;
    }
    *nB = n;
    return 0;
}

}  // namespace trelvak::factor_detail
