// scale.cpp: diagonal scalings of a sparse matrix in 1-based compressed rows, with factors that
// are exact powers of two so that scaling rounds no matrix entry.
//
//   dcnrms, drnrms        column / row norms (0 largest magnitude, 1 sum of magnitudes,
//                         anything else Euclidean) over the stored entries
//   damultdiag            A := A D          ddiagmulta   A := D A
//   dcolscale, drowscale  D = power of two nearest to 1/norm, then A := A D or D A
//   dspdscale             D(i) ~ 1/sqrt|a(i,i)|, A := D A D   (upper triangle stored)
//   dsymscale             one sweep of symmetric max-norm equilibration (Ruiz-type), A := D A D
//                         (upper triangle stored)
//
// Method: the power-of-two rule takes t = log2|norm|, rounds it half away from zero to k and uses
// 2^-k, so each row or column norm lands in [1/sqrt2, sqrt2). dsymscale first scales by 1/r(i)
// (r(i) = largest magnitude of the full row i) and then by the square root of the ratio with the
// row maxima of |A| D, as in symmetric Ruiz equilibration, before rounding to powers of two.
//
// On entry n, a, ja, ia hold the matrix (row i in positions ia(i)..ia(i+1)-1); the symmetric
// routines expect the upper triangle with the diagonal. On exit diag holds the factors and a the
// scaled values, ierr = 0; or ierr = i, the first zero norm: then a is unchanged, diag(1..i-1)
// hold factors and the rest still norms (dsymscale: intermediate values).
// Work: dsymscale needs work(n).
#include <algorithm>
#include <cmath>

#include "common/onebased.h"
#include "preprocess/preprocess.h"

using trelvak::view1;

namespace {

constexpr double kInvLn2 = 1.4426950408889634;

// Nearest integer to t, halves rounded away from zero; clamped so that 2^k and 2^-k stay finite
// and non-zero (NaN counts as 0).
int round_half_away(double t) {
    if (!(t == t)) {
        return 0;
    }
    t = std::clamp(t, -1023.0, 1023.0);
    return static_cast<int>(t >= 0.0 ? t + 0.5 : t - 0.5);
}

// Power-of-two rule over diag(1..n): factor 2^-k with k = round(log2 diag(i)). Returns 0, or the
// first index whose norm is exactly 0 (the remaining entries keep their norms).
int power_of_two_rule(int n, double* diag_in) {
    auto diag = view1(diag_in, n);
    for (int i = 1; i <= n; ++i) {
        if (diag(i) == 0.0) {
            return i;
        }
        const int k = round_half_away(std::log(std::fabs(diag(i))) * kInvLn2);
        diag(i)     = std::ldexp(1.0, -k);
    }
    return 0;
}

enum class Norm { kMax, kSum, kEuclid };

Norm norm_of(int nrm) {
    if (nrm == 0) {
        return Norm::kMax;
    }
    return nrm == 1 ? Norm::kSum : Norm::kEuclid;
}

}  // namespace

void dcnrms(const int* n_in, const int* nrm, const double* a_in, const int* ja_in, const int* ia_in,
            double* diag_in) {
    const int n = *n_in;
    if (n <= 0) {
        return;
    }
    const Norm norm = norm_of(*nrm);
    auto a          = view1(a_in);
    auto ja         = view1(ja_in);
    auto ia         = view1(ia_in, n + 1);
    auto diag       = view1(diag_in, n);
    for (int j = 1; j <= n; ++j) {
        diag(j) = 0.0;
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const double t = std::fabs(a(k));
            double& d      = diag(ja(k));
            if (norm == Norm::kMax) {
                d = std::max(d, t);
            } else if (norm == Norm::kSum) {
                d += t;
            } else {
                d += t * t;
            }
        }
    }
    if (norm == Norm::kEuclid) {
        for (int j = 1; j <= n; ++j) {
            diag(j) = std::sqrt(diag(j));
        }
    }
}

void drnrms(const int* n_in, const int* nrm, const double* a_in, const int* /*ja*/,
            const int* ia_in, double* diag_in) {
    const int n = *n_in;
    if (n <= 0) {
        return;
    }
    const Norm norm = norm_of(*nrm);
    auto a          = view1(a_in);
    auto ia         = view1(ia_in, n + 1);
    auto diag       = view1(diag_in, n);
    for (int i = 1; i <= n; ++i) {
        double s = 0.0;
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const double t = std::fabs(a(k));
            if (norm == Norm::kMax) {
                s = std::max(s, t);
            } else if (norm == Norm::kSum) {
                s += t;
            } else {
                s += t * t;
            }
        }
        diag(i) = norm == Norm::kEuclid ? std::sqrt(s) : s;
    }
}

void damultdiag(const int* n_in, double* a_in, const int* ja_in, const int* ia_in,
                const double* diag_in) {
    const int n = *n_in;
    if (n <= 0) {
        return;
    }
    auto a    = view1(a_in);
    auto ja   = view1(ja_in);
    auto ia   = view1(ia_in, n + 1);
    auto diag = view1(diag_in, n);
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            a(k) *= diag(ja(k));
        }
    }
}

void ddiagmulta(const int* n_in, double* a_in, const int* /*ja*/, const int* ia_in,
                const double* diag_in) {
    const int n = *n_in;
    if (n <= 0) {
        return;
    }
    auto a    = view1(a_in);
    auto ia   = view1(ia_in, n + 1);
    auto diag = view1(diag_in, n);
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            a(k) *= diag(i);
        }
    }
}

void dcolscale(const int* n, const int* job, double* a, const int* ja, const int* ia, double* diag,
               int* ierr) {
    *ierr = 0;
    if (*n <= 0) {
        return;
    }
    dcnrms(n, job, a, ja, ia, diag);
    *ierr = power_of_two_rule(*n, diag);
    if (*ierr == 0) {
        damultdiag(n, a, ja, ia, diag);
    }
}

void drowscale(const int* n, const int* job, double* a, const int* ja, const int* ia, double* diag,
               int* ierr) {
    *ierr = 0;
    if (*n <= 0) {
        return;
    }
    drnrms(n, job, a, ja, ia, diag);
    *ierr = power_of_two_rule(*n, diag);
    if (*ierr == 0) {
        ddiagmulta(n, a, ja, ia, diag);
    }
}

void dspdscale(const int* n_in, double* a_in, const int* ja_in, const int* ia_in, double* diag_in,
               int* ierr) {
    const int n = *n_in;
    *ierr       = 0;
    if (n <= 0) {
        return;
    }
    auto a    = view1(a_in);
    auto ja   = view1(ja_in);
    auto ia   = view1(ia_in, n + 1);
    auto diag = view1(diag_in, n);
    // diag(i) = sqrt|a(i,i)|; the last stored diagonal entry of a row counts, none gives 0.
    for (int i = 1; i <= n; ++i) {
        diag(i) = 0.0;
        for (int k = ia(i); k < ia(i + 1); ++k) {
            if (ja(k) == i) {
                diag(i) = std::sqrt(std::fabs(a(k)));
            }
        }
    }
    *ierr = power_of_two_rule(n, diag_in);
    if (*ierr == 0) {
        ddiagmulta(n_in, a_in, ja_in, ia_in, diag_in);
        damultdiag(n_in, a_in, ja_in, ia_in, diag_in);
    }
}

void dsymscale(const int* n_in, double* a_in, const int* ja_in, const int* ia_in, double* diag_in,
               double* work_in, int* ierr) {
    const int n = *n_in;
    *ierr       = 0;
    if (n <= 0) {
        return;
    }
    auto a    = view1(a_in);
    auto ja   = view1(ja_in);
    auto ia   = view1(ia_in, n + 1);
    auto d    = view1(diag_in, n);
    auto work = view1(work_in, n);

    // r(i) = largest magnitude of the full row i, kept in d.
    for (int i = 1; i <= n; ++i) {
        d(i)    = 0.0;
        work(i) = 0.0;
    }
    for (int j = 1; j <= n; ++j) {
        double rowmax = 0.0;
        for (int k = ia(j); k < ia(j + 1); ++k) {
            rowmax = std::max(rowmax, std::fabs(a(k)));
        }
        d(j) = std::max(d(j), rowmax);
        for (int k = ia(j); k < ia(j + 1); ++k) {
            d(ja(k)) = std::max(d(ja(k)), std::fabs(a(k)));
        }
    }
    // d(i) = 1 / r(i).
    for (int i = 1; i <= n; ++i) {
        if (d(i) == 0.0) {
            *ierr = i;
            return;
        }
        d(i) = 1.0 / d(i);
    }
    // work(i) = largest entry of the full row i of |A| D.
    for (int j = 1; j <= n; ++j) {
        for (int k = ia(j); k < ia(j + 1); ++k) {
            const int l    = ja(k);
            const double t = std::fabs(a(k));
            work(l)        = std::max(work(l), d(j) * t);
            work(j)        = std::max(work(j), t * d(l));
        }
    }
    // d(i) = sqrt(d(i) / work(i)), so that d(i) |a(i,j)| d(j) <= 1 and each row reaches about 1.
    for (int i = 1; i <= n; ++i) {
        if (work(i) == 0.0) {
            *ierr = i;
            return;
        }
        d(i) = std::sqrt(d(i) / work(i));
    }
    // Round to the nearest power of two (no inversion here: d is already the factor).
    for (int i = 1; i <= n; ++i) {
        d(i) = std::ldexp(1.0, round_half_away(std::log(d(i)) * kInvLn2));
    }
    ddiagmulta(n_in, a_in, ja_in, ia_in, diag_in);
    damultdiag(n_in, a_in, ja_in, ia_in, diag_in);
}
