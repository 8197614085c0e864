// Tests of the fine/coarse splittings DSYMindfc, DSYMindfcv (node form) and DSYMpindfc,
// DSYMpindfcv (block form with 2x2 units).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

namespace {

using namespace trelvak::test;

struct Split {
    std::vector<int> pos;
    int nB = -1;
};

Split run_indfc(Csr a, double tau, const std::vector<double>* tv = nullptr) {
    const int n = a.nr;
    Split s;
    s.pos.assign(n, 0);
    std::vector<int> ibuff(7 * n + 3);
    std::vector<double> dbuff(3 * n);
    if (tv == nullptr) {
        DSYMindfc(a.record(), s.pos.data(), &s.nB, tau, ibuff.data(), dbuff.data());
    } else {
        DSYMindfcv(a.record(), s.pos.data(), &s.nB, tau, ibuff.data(), dbuff.data(), tv->data(), 1);
    }
    return s;
}

// strong(i, j): node i strongly depends on node j (0-based).
using Strong = std::function<bool(int, int)>;

Strong magnitude_strength(const Dense& d, double tau) {
    std::vector<double> m(d.n, 0.0);
    for (int i = 0; i < d.n; ++i) {
        for (int j = 0; j < d.n; ++j) {
            if (j != i) {
                m[i] = std::fmax(m[i], std::fabs(d(i, j)));
            }
        }
    }
    return [d, m, tau](int i, int j) {
        const double v = std::fabs(d(i, j));
        return i != j && v > 0.0 && v >= tau * m[i];
    };
}

Strong weighted_strength(const Dense& d, const std::vector<double>& t, double tau) {
    std::vector<double> m(d.n, 0.0), s(d.n, 0.0);
    for (int i = 0; i < d.n; ++i) {
        for (int j = 0; j < d.n; ++j) {
            if (j != i) {
                m[i] = std::fmax(m[i], std::fabs(d(i, j) * t[j]));
                s[i] += d(i, j) * t[j];
            }
        }
    }
    return [d, t, m, s, tau](int i, int j) {
        const double w = d(i, j) * t[j];
        return i != j && std::fabs(w) > 0.0 && std::fabs(w) >= tau * m[i] &&
               std::fabs(s[i]) > std::fabs(s[i] - w);
    };
}

// The splitting is a permutation of positions with the fine block leading, and every strong
// dependency between two fine nodes is covered by a coarse node both strongly depend on.
void expect_sound_split(const Split& s, int n, const Strong& strong) {
    ASSERT_TRUE(is_permutation(s.pos.data(), n));
    ASSERT_GE(s.nB, 0);
    ASSERT_LE(s.nB, n);
    const auto fine = [&](int i) { return s.pos[i] <= s.nB; };
    for (int i = 0; i < n; ++i) {
        if (!fine(i)) {
            continue;
        }
        for (int j = 0; j < n; ++j) {
            if (!fine(j) || !strong(i, j)) {
                continue;
            }
            bool covered = false;
            for (int c = 0; c < n && !covered; ++c) {
                covered = !fine(c) && strong(i, c) && strong(j, c);
            }
            EXPECT_TRUE(covered) << "fine " << i + 1 << " depends on fine " << j + 1;
        }
    }
}

TEST(Indfc, DiagonalMatrixIsAllFine) {
    Dense d(6);
    for (int i = 0; i < 6; ++i) {
        d(i, i) = 1.0 + i;
    }
    const Split s = run_indfc(upper_from_dense(d), 0.25);
    EXPECT_EQ(s.nB, 6);
    EXPECT_EQ(s.pos, (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

TEST(Indfc, ZeroDiagonalWithCouplingIsCoarse) {
    Dense d(3);
    d(0, 0) = 1.0;
    d(2, 2) = 1.0;
    d(0, 1) = d(1, 0) = 0.5;
    const Split s     = run_indfc(upper_from_dense(d), 0.25);
    EXPECT_EQ(s.nB, 2);
    EXPECT_EQ(s.pos, (std::vector<int>{1, 3, 2}));
}

TEST(Indfc, DenseRowsAreCoarse) {
    // The hub of a large arrow exceeds the degree bound.
    const Split s = run_indfc(arrow(60, 100.0, 1.0), 0.25);
    EXPECT_EQ(s.pos[0], 60);
    EXPECT_EQ(s.nB, 59);
}

TEST(Indfc, SecondPassPropertyOnAssortedMatrices) {
    const std::vector<Csr> cases = {laplace2d(12, 12), laplace3d(5, 5, 5),
                                    random_symmetric(80, 4, 5), saddle_point(40, 10, 3, 2),
                                    laplace2d(30, 1)};
    for (const Csr& a : cases) {
        for (double tau : {0.25, 0.1, 0.5}) {
            SCOPED_TRACE("n = " + std::to_string(a.nr) + " tau = " + std::to_string(tau));
            const Dense d = dense_from_upper(a);
            const Split s = run_indfc(a, tau);
            expect_sound_split(s, a.nr, magnitude_strength(d, tau));
        }
    }
    // A Laplacian splits into a proper coarse grid.
    const Split s = run_indfc(laplace2d(20, 20), 0.25);
    EXPECT_GT(s.nB, 400 / 3);
    EXPECT_LT(s.nB, 400);
}

TEST(Indfc, WeightedSplittingRespectsItsStrength) {
    const Csr a   = laplace2d(10, 10);
    const Dense d = dense_from_upper(a);
    std::vector<double> ones(100, 1.0), alternating(100), smooth(100);
    for (int i = 0; i < 100; ++i) {
        alternating[i] = (i % 2 == 0) ? 1.0 : -1.0;
        smooth[i]      = 1.0 + 0.1 * (i % 10);
    }
    for (const auto* t : {&ones, &alternating, &smooth}) {
        const Split s = run_indfc(a, 0.25, t);
        expect_sound_split(s, 100, weighted_strength(d, *t, 0.25));
    }
    // With a constant test vector the weighted rule is the plain one on an M-matrix.
    EXPECT_EQ(run_indfc(a, 0.25, &ones).pos, run_indfc(a, 0.25).pos);
}

// ---- Block form ---------------------------------------------------------------------------

struct Ranks {
    std::vector<int> rank;
    int nB = -1;
};

Ranks run_pindfc(Csr a, const std::vector<int>& p, double tau,
                 const std::vector<double>* tv = nullptr) {
    const int n = a.nr;
    std::vector<int> invq(n);
    for (int i = 0; i < n; ++i) {
        invq[p[i] - 1] = i + 1;
    }
    std::vector<int> pp = p;
    std::vector<int> ibuff(10 * n + 3, -1);
    std::vector<double> dbuff(8 * n);
    Ranks r;
    if (tv == nullptr) {
        DSYMpindfc(a.record(), pp.data(), invq.data(), &r.nB, tau, ibuff.data(), dbuff.data());
    } else {
        DSYMpindfcv(a.record(), pp.data(), invq.data(), &r.nB, tau, ibuff.data(), dbuff.data(),
                    tv->data(), 1);
    }
    EXPECT_EQ(pp, p);
    r.rank.assign(ibuff.begin(), ibuff.begin() + n);
    return r;
}

// k pairs [0 1; 1 0] (zero diagonal: each pair must be a 2x2 unit), pair t coupled to pair t+1
// with strength c, plus diagonal 1x1 nodes in between when singles > 0.
Csr pairs_chain(int k, double c) {
    const int n = 2 * k;
    Dense d(n);
    for (int t = 0; t < k; ++t) {
        d(2 * t, 2 * t + 1) = d(2 * t + 1, 2 * t) = 1.0;
        if (t + 1 < k) {
            d(2 * t + 1, 2 * t + 2) = d(2 * t + 2, 2 * t + 1) = c;
        }
    }
    return upper_from_dense(d);
}

std::vector<int> identity(int n) {
    std::vector<int> p(n);
    for (int i = 0; i < n; ++i) {
        p[i] = i + 1;
    }
    return p;
}

TEST(Pindfc, PairsStayTogetherAndFineLeads) {
    for (double c : {0.0, 0.01, 1.0}) {
        const Csr a   = pairs_chain(20, c);
        const Ranks r = run_pindfc(a, identity(40), 0.1);
        SCOPED_TRACE(c);
        ASSERT_TRUE(is_permutation(r.rank.data(), 40));
        ASSERT_EQ(r.nB % 2, 0);
        for (int t = 0; t < 20; ++t) {
            EXPECT_EQ(r.rank[2 * t + 1], r.rank[2 * t] + 1);
        }
        if (c == 0.0) {
            // Uncoupled pairs: all fine at once.
            EXPECT_EQ(r.nB, 40);
        } else {
            // Coupled pairs depend strongly on each other: the second pass makes every other
            // pair coarse, however weak the coupling is against the pivots.
            EXPECT_EQ(r.nB, 20);
        }
    }
}

TEST(Pindfc, ReadsTheMatrixThroughTheCurrentOrder) {
    // The pairs of a scrambled matrix are consecutive in the order that unscrambles it.
    const Csr chain     = pairs_chain(10, 0.5);
    const auto scramble = random_permutation(20, 4);
    const Csr a         = permute_upper(chain, scramble);
    // Position i of the current order holds index p(i) of a: the original chain order.
    std::vector<int> where(21);
    for (int k = 1; k <= 20; ++k) {
        where[scramble[k - 1]] = k;
    }
    std::vector<int> p(20);
    for (int i = 1; i <= 20; ++i) {
        p[i - 1] = where[i];
    }
    const Ranks r = run_pindfc(a, p, 0.1);
    const Ranks s = run_pindfc(chain, identity(20), 0.1);
    EXPECT_EQ(r.rank, s.rank);
    EXPECT_EQ(r.nB, s.nB);
}

TEST(Pindfc, DiagonalAndGeneralMatrices) {
    Dense d(5);
    for (int i = 0; i < 5; ++i) {
        d(i, i) = 2.0;
    }
    const Ranks r = run_pindfc(upper_from_dense(d), identity(5), 0.1);
    EXPECT_EQ(r.nB, 5);
    EXPECT_EQ(r.rank, identity(5));
    for (const Csr& a : {laplace2d(9, 9), saddle_point(30, 10, 3, 6), random_symmetric(70, 5, 8)}) {
        const auto p  = random_permutation(a.nr, 12);
        const Ranks q = run_pindfc(a, p, 0.1);
        ASSERT_TRUE(is_permutation(q.rank.data(), a.nr));
        EXPECT_GE(q.nB, 0);
        EXPECT_LE(q.nB, a.nr);
        std::vector<double> tv(a.nr, 1.0);
        for (int i = 0; i < a.nr; i += 3) {
            tv[i] = -0.5;
        }
        const Ranks w = run_pindfc(a, p, 0.1, &tv);
        ASSERT_TRUE(is_permutation(w.rank.data(), a.nr));
    }
    EXPECT_EQ(run_pindfc(Csr{}, {}, 0.1).nB, 0);
}

}  // namespace
