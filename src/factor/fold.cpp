// fold.cpp: a symmetric diagonal scaling folded into the factors of a level.
//
// A level is factored as the scaled matrix Ms = S M S (S = diag(s), s > 0), which is what the
// dropping and pivoting should see. The factors of M itself follow without another
// factorization: with T = S^-1,
//     M = T Ms T = (T L T^-1) (T D T) (T^-1 L^T T),
// so in the stored form U = D L^T an entry U(i, j) becomes t_i U(i, j) t_j, an inverse pivot
// block entry Dinv(i, j) becomes s_i Dinv(i, j) s_j, and the coupling F(i, j) becomes
// t_i F(i, j) t_j. The first level is stored this way: its scaling vectors are then ones, and the
// solver driver iterates on the system as given, so that its stopping test measures the true
// residual instead of one weighted by scale factors that can span 16 orders of magnitude.
//
// For the dense last level the same holds for LAPACK's packed Bunch-Kaufman factor
// A = P(1) L(1) P(2) L(2) ... D (...)^T, whose solve (dsptrs) swaps rows step by step: a
// multiplier of column k, row r becomes l e(k) / e(r) and a pivot block entry D(a, b) becomes
// D(a, b) / (e(a) e(b)), where e(.) is the scale of the unknown standing in that row at step k.
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "factor/factor.h"

namespace trelvak::factor_detail {

namespace {

// Applies f(slot, factor) to every value of the level's factor rows and inverse pivots.
template <class F>
void visit_factor(const LevelFactor& lf, const std::vector<double>& s, F&& f) {
    const int m   = lf.m;
    const auto& I = lf.I;  // I(k) = I[k-1]
    int i         = 1;
    while (i <= m) {
        const bool pair = i < m && I[static_cast<size_t>(m + i)] != 0;  // marker I(m+1+i)
        const int first = I[static_cast<size_t>(i - 1)];
        const double ti = 1.0 / s[static_cast<size_t>(i - 1)];
        if (!pair) {
            f(i, s[static_cast<size_t>(i - 1)] * s[static_cast<size_t>(i - 1)]);
            for (int k = first; k < I[static_cast<size_t>(i)]; ++k) {
                f(k, ti / s[static_cast<size_t>(I[static_cast<size_t>(k - 1)] - 1)]);
            }
            i += 1;
            continue;
        }
        // Rows i, i+1 share their columns: I(i)..I(i+1)-1 lists them, values interleaved.
        const double si  = s[static_cast<size_t>(i - 1)];
        const double si1 = s[static_cast<size_t>(i)];
        const double ti1 = 1.0 / si1;
        f(i, si * si);
        f(i + 1, si1 * si1);
        f(m + 1 + i, si * si1);
        const int count = I[static_cast<size_t>(i)] - first;
        for (int t = 0; t < count; ++t) {
            const double tc =
                1.0 / s[static_cast<size_t>(I[static_cast<size_t>(first - 1 + t)] - 1)];
            f(first + 2 * t, ti * tc);
            f(first + 2 * t + 1, ti1 * tc);
        }
        i += 2;
    }
    for (int r = 0; r < static_cast<int>(lf.Fia.size()) - 1; ++r) {
        const double tr = 1.0 / s[static_cast<size_t>(r)];
        for (int k = lf.Fia[static_cast<size_t>(r)]; k < lf.Fia[static_cast<size_t>(r) + 1]; ++k) {
            const int c = m + lf.Fja[static_cast<size_t>(k - 1)];  // new position, 1-based
            f(-k, tr / s[static_cast<size_t>(c - 1)]);             // negative: a slot of F
        }
    }
}

}  // namespace

bool fold_scaling(LevelFactor& lf, const std::vector<double>& s) {
    auto value = [&](int slot) -> double& {
        return slot > 0 ? lf.V[static_cast<size_t>(slot - 1)]
                        : lf.Fa[static_cast<size_t>(-slot - 1)];
    };
    bool finite = true;
    visit_factor(lf, s, [&](int slot, double factor) {
        finite = finite && std::isfinite(value(slot) * factor);
    });
    if (!finite) {
        return false;
    }
    visit_factor(lf, s, [&](int slot, double factor) { value(slot) *= factor; });
    return true;
}

int perturb_small_pivots(int n, std::vector<double>& AP, const std::vector<int>& ipiv,
                         double delta) {
    const auto away = [delta](double d) { return d < 0.0 ? d - delta : d + delta; };
    int changed     = 0;
    long kc         = 0;  // diagonal of column k in the packed lower triangle
    int k           = 0;
    while (k < n) {
        double& d11 = AP[static_cast<size_t>(kc)];
        if (ipiv[static_cast<size_t>(k)] > 0 || k + 1 == n) {
            if (!(std::abs(d11) >= delta)) {
                d11 = d11 < 0.0 ? -delta : delta;
                ++changed;
            }
            kc += n - k;
            k += 1;
            continue;
        }
        const long kc2    = kc + n - k;  // diagonal of column k+1
        double& d21       = AP[static_cast<size_t>(kc + 1)];
        double& d22       = AP[static_cast<size_t>(kc2)];
        const double size = std::max({std::abs(d11), std::abs(d21), std::abs(d22)});
        if (!(std::abs(d11 * d22 - d21 * d21) >= delta * size)) {
            d11 = away(d11);
            d22 = away(d22);
            changed += 2;
        }
        kc = kc2 + n - k - 1;
        k += 2;
    }
    return changed;
}

bool fold_dense_scaling(int n, std::vector<double>& AP, const std::vector<int>& ipiv,
                        const std::vector<double>& e) {
    std::vector<double> folded(AP);
    std::vector<int> id(static_cast<size_t>(n));
    for (int r = 0; r < n; ++r) {
        id[static_cast<size_t>(r)] = r;
    }
    auto scale = [&](int r) { return e[static_cast<size_t>(id[static_cast<size_t>(r)])]; };
    long kc    = 0;  // diagonal of column k in the packed lower triangle
    int k      = 0;
    while (k < n) {
        if (ipiv[static_cast<size_t>(k)] > 0) {
            std::swap(id[static_cast<size_t>(k)],
                      id[static_cast<size_t>(ipiv[static_cast<size_t>(k)] - 1)]);
            for (int r = k + 1; r < n; ++r) {
                folded[static_cast<size_t>(kc + r - k)] *= scale(k) / scale(r);
            }
            folded[static_cast<size_t>(kc)] /= scale(k) * scale(k);
            kc += n - k;
            k += 1;
        } else {
            std::swap(id[static_cast<size_t>(k) + 1],
                      id[static_cast<size_t>(-ipiv[static_cast<size_t>(k)] - 1)]);
            const long kc2 = kc + n - k;  // diagonal of column k+1
            for (int r = k + 2; r < n; ++r) {
                folded[static_cast<size_t>(kc + r - k)] *= scale(k) / scale(r);
                folded[static_cast<size_t>(kc2 + r - k - 1)] *= scale(k + 1) / scale(r);
            }
            folded[static_cast<size_t>(kc)] /= scale(k) * scale(k);
            folded[static_cast<size_t>(kc + 1)] /= scale(k) * scale(k + 1);
            folded[static_cast<size_t>(kc2)] /= scale(k + 1) * scale(k + 1);
            kc = kc2 + n - k - 1;
            k += 2;
        }
    }
    for (double x : folded) {
        if (!std::isfinite(x)) {
            return false;
        }
    }
    AP = std::move(folded);
    return true;
}

}  // namespace trelvak::factor_detail
