// One level of the incomplete factorization: a pivot that the updates cancelled down to rounding
// level, alone or hidden in a pair beside a sound one, is postponed instead of entering D^-1 as the
// reciprocal of noise; a level is abandoned when it outgrows its budget, and only then; a large
// level's factor, couplings and Schur complement are exact without dropping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "factor/factor.h"
#include "factor_support.h"
#include "precond/precond.h"

namespace {

using trelvak::factor_detail::ildlc_level;
using trelvak::factor_detail::LevelControls;
using trelvak::factor_detail::LevelFactor;
using trelvak::factor_detail::SymmetricRows;
using trelvak::test::Dense;

SymmetricRows both_triangles(const Dense& d) {
    SymmetricRows B;
    B.n = d.n;
    for (int i = 0; i < d.n; ++i) {
        for (int j = 0; j < d.n; ++j) {
            if (d(i, j) != 0.0) {
                B.col.push_back(j);
                B.val.push_back(d(i, j));
            }
        }
        B.ptr.push_back(static_cast<int>(B.col.size()));
    }
    return B;
}

// Rows 1 and 2 repeat row 0 up to eps: after row 0 is eliminated, row 1 keeps d = eps and a
// coupling 2 eps to row 2, whose pivot is 1. The pair (1, 2) is preferred (|d| < 0.64 |b|) and
// its determinant is not small next to d e, yet it holds the collapsed pivot eps.
Dense cancelling(double eps) {
    Dense d(3);
    const double r0[3] = {1.0, 1.0, 2.0};
    for (int j = 0; j < 3; ++j) {
        d(0, j) = d(j, 0) = r0[j];
    }
    d(1, 1) = 1.0 + eps;
    d(1, 2) = d(2, 1) = 2.0 + 2.0 * eps;
    d(2, 2)           = 5.0;
    return d;
}

TEST(CollapsedPivots, APivotCancelledToRoundingIsPostponedAloneAndInAPair) {
    LevelControls c;
    c.droptol  = 0.0;
    c.droptolS = 0.0;
    c.condest  = 1e20;  // only the collapse test can refuse a pivot here
    for (double eps : {1e-12, 1e-11}) {
        LevelFactor out;
        trelvak::factor_detail::ildlc_level(both_triangles(cancelling(eps)), 3, c, &out);
        EXPECT_EQ(out.postponed, 1) << eps;
        EXPECT_EQ(out.m, 2) << eps;
        EXPECT_EQ(out.pairs, 0) << eps;
        // The postponed row is the collapsed one; its Schur complement entry is what is left.
        EXPECT_EQ(out.order[2], 1) << eps;
    }
    // A pivot well above rounding is taken.
    LevelFactor sound;
    trelvak::factor_detail::ildlc_level(both_triangles(cancelling(1e-3)), 3, c, &sound);
    EXPECT_EQ(sound.postponed, 0);
    EXPECT_EQ(sound.m, 3);
}

// The complete factor of a grid in its natural order: its rows grow to the band's width and then
// keep it. A budget that holds the factor and the Schur complement keeps the level, also while the
// first rows are factored; one that holds four fifths of them does not.
TEST(LevelBudget, ALevelThatFitsIsKeptAndOneThatDoesNotIsAbandoned) {
    const Dense grid = trelvak::test::dense_from_upper(trelvak::test::laplace2d(20, 20, -0.1));
    LevelControls c;
    c.droptol  = 0.0;
    c.droptolS = 0.0;
    c.condest  = 1e20;
    LevelFactor all;
    ildlc_level(both_triangles(grid), 300, c, &all);
    ASSERT_FALSE(all.over_budget);
    ASSERT_EQ(all.m, 300);
    const long needed = static_cast<long>(all.V.size() + all.Sja.size());

    c.budget = needed;
    LevelFactor kept;
    ildlc_level(both_triangles(grid), 300, c, &kept);
    EXPECT_FALSE(kept.over_budget);
    EXPECT_EQ(kept.V.size(), all.V.size());
    EXPECT_EQ(kept.Sja.size(), all.Sja.size());

    c.budget = needed * 4 / 5;
    LevelFactor abandoned;
    ildlc_level(both_triangles(grid), 300, c, &abandoned);
    EXPECT_TRUE(abandoned.over_budget);
}

// Banded rows in both triangles: n1 rows tridiagonal (4, -1) for 1x1 pivots, then `pairs` blocks
// [0 1; 1 2] chained by 0.1 (2x2 pivots), then `coarse` rows (3, -1) coupled to the last pair and,
// by 0.5, to row 0, so that the first block's complement part is needed to the end.
SymmetricRows banded_level(int n1, int pairs, int coarse) {
    const int n = n1 + 2 * pairs + coarse;
    std::vector<std::vector<std::pair<int, double>>> rows(static_cast<size_t>(n));
    auto add = [&](int i, int j, double v) {
        rows[i].push_back({j, v});
        if (i != j) {
            rows[j].push_back({i, v});
        }
    };
    for (int i = 0; i < n1; ++i) {
        add(i, i, 4.0);
        add(i, i + 1, -1.0);  // the last one reaches the first pair
    }
    for (int p = 0; p < pairs; ++p) {
        const int a = n1 + 2 * p;
        add(a, a + 1, 1.0);
        add(a + 1, a + 1, 2.0);
        if (p + 1 < pairs) {
            add(a + 1, a + 2, 0.1);
        }
    }
    const int c0 = n1 + 2 * pairs;
    for (int c = c0; c < n; ++c) {
        add(c, c, 3.0);
        if (c + 1 < n) {
            add(c, c + 1, -1.0);
        }
    }
    add(c0 - 2, c0, 0.1);
    add(0, c0, 0.5);
    SymmetricRows B;
    B.n = n;
    for (auto& r : rows) {
        std::sort(r.begin(), r.end());
        for (const auto& [j, v] : r) {
            B.col.push_back(j);
            B.val.push_back(v);
        }
        B.ptr.push_back(static_cast<int>(B.col.size()));
    }
    return B;
}

// y = B x over both triangles.
std::vector<double> times(const SymmetricRows& B, const std::vector<double>& x) {
    std::vector<double> y(static_cast<size_t>(B.n), 0.0);
    for (int i = 0; i < B.n; ++i) {
        for (int e = B.ptr[i]; e < B.ptr[i + 1]; ++e) {
            y[i] += B.val[e] * x[B.col[e]];
        }
    }
    return y;
}

// Thousands of 1x1 and 2x2 blocks (more than the assembly copies between two releases of the rows'
// pages) and a coarse tail: without dropping, block elimination with the level's factor, F and
// Schur complement solves B x = B ones to rounding.
TEST(LevelAssembly, ALargeLevelIsAnExactBlockElimination) {
    const int n1 = 9000, pairs = 5000, coarse = 4;
    const SymmetricRows B = banded_level(n1, pairs, coarse);
    const int n           = B.n;
    LevelControls c;
    c.droptol  = 0.0;
    c.droptolS = 0.0;
    c.condest  = 1e20;
    LevelFactor f;
    ildlc_level(B, n - coarse, c, &f);
    ASSERT_FALSE(f.over_budget);
    ASSERT_EQ(f.m, n - coarse);
    EXPECT_EQ(f.pairs, pairs);
    const int m = f.m, nc = n - m;

    // b in the new order; x2 = S^-1 (b2 - F^T B11^-1 b1), x1 = B11^-1 (b1 - F x2).
    const std::vector<double> b_in = times(B, std::vector<double>(static_cast<size_t>(n), 1.0));
    std::vector<double> b(b_in.size());
    for (int k = 0; k < n; ++k) {
        b[k] = b_in[f.order[k]];
    }
    SparseMatrix F{};
    F.nr = m;
    F.nc = nc;
    F.ia = f.Fia.data();
    F.ja = f.Fja.data();
    F.a  = f.Fa.data();
    std::vector<double> y1(static_cast<size_t>(m)), t(static_cast<size_t>(nc));
    dsympilucsol(&m, b.data(), y1.data(), f.V.data(), f.I.data());
    DGNLmattvec(F, y1.data(), t.data());
    Dense S(nc);
    for (int i = 1; i <= nc; ++i) {
        for (int k = f.Sia[i - 1]; k < f.Sia[i]; ++k) {
            S(i - 1, f.Sja[k - 1] - 1) = S(f.Sja[k - 1] - 1, i - 1) = f.Sa[k - 1];
        }
    }
    std::vector<double> r2(static_cast<size_t>(nc));
    for (int k = 0; k < nc; ++k) {
        r2[k] = b[m + k] - t[k];
    }
    const std::vector<double> x2 = trelvak::test::solve(S, r2);
    std::vector<double> r1(static_cast<size_t>(m)), x1(static_cast<size_t>(m));
    DGNLmatvec(F, x2.data(), r1.data());
    for (int k = 0; k < m; ++k) {
        r1[k] = b[k] - r1[k];
    }
    dsympilucsol(&m, r1.data(), x1.data(), f.V.data(), f.I.data());
    double worst = 0.0;
    for (double v : x1) {
        worst = std::max(worst, std::fabs(v - 1.0));
    }
    for (double v : x2) {
        worst = std::max(worst, std::fabs(v - 1.0));
    }
    EXPECT_LT(worst, 1e-10);
}

}  // namespace
