// Factor kernels against dense references: random block L D L^T factors with mixed 1x1 and 2x2
// pivots, stored in the symmetric compressed format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "common/testing.h"
#include "precond/precond.h"

namespace {

using trelvak::test::Dense;

// A random factor B = L D L^T of order m whose rows may also couple to columns m+1..mt.
struct RandomFactor {
    int m  = 0;
    int mt = 0;
    Dense L;             // mt x mt, unit lower; columns 1..m hold the factor, the rest identity
    Dense D;             // m x m block diagonal
    std::vector<int> I;  // symmetric compressed factor
    std::vector<double> V;

    // With group > 0 the rows 1..m-separator fall into runs of `group` rows that share no
    // entry: L couples a pivot only to rows of its own run, the last `separator` rows and the
    // columns beyond m.
    RandomFactor(int order, int total, std::uint64_t seed, double pair_fraction,
                 bool last_two_paired = false, int group = 0, int separator = 0)
        : m(order), mt(total), L(total), D(order) {
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> value(-1.0, 1.0);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::vector<int> pair_start(m + 2, 0);
        for (int i = 1; i <= m;) {
            const bool forced = last_two_paired && i == m - 1;
            if (i < m && (forced || unit(rng) < pair_fraction) &&
                !(last_two_paired && i == m - 2)) {
                pair_start[i] = 1;
                i += 2;
            } else {
                i += 1;
            }
        }
        for (int i = 0; i < mt; ++i) L(i, i) = 1.0;
        for (int i = 1; i <= m;) {
            const int width = pair_start[i] ? 2 : 1;
            if (width == 1) {
                D(i - 1, i - 1) = (unit(rng) < 0.5 ? -1.0 : 1.0) * (0.5 + unit(rng));
            } else {
                D(i - 1, i - 1) = value(rng);
                D(i, i)         = value(rng);
                D(i - 1, i) = D(i, i - 1) = 1.5 + unit(rng);  // |det| bounded away from 0
            }
            // Sparse entries of L below the block, in rows i+width..mt.
            const int open = m - separator;
            for (int r = i + width; r <= mt; ++r) {
                const bool allowed = group == 0 || r > open || (r - 1) / group == (i - 1) / group;
                if (allowed && unit(rng) < 0.3) {
                    for (int b = 0; b < width; ++b) {
                        if (width == 1 || unit(rng) < 0.7)
                            L(r - 1, i - 1 + b) = 0.5 * value(rng);
                    }
                }
            }
            i += width;
        }
        store(pair_start);
    }

    // U = D L^T in the compressed format of the level list.
    void store(const std::vector<int>& pair_start) {
        I.assign(2 * m + 1, 0);
        V.assign(2 * m + 1, 0.0);
        int next = 2 * m + 2;
        for (int i = 1; i <= m;) {
            const int width = pair_start[i] ? 2 : 1;
            Dense block(2);
            for (int a = 0; a < width; ++a)
                for (int b = 0; b < width; ++b) block(a, b) = D(i - 1 + a, i - 1 + b);
            if (width == 1) {
                V[i - 1] = 1.0 / block(0, 0);
            } else {
                const double det = block(0, 0) * block(1, 1) - block(0, 1) * block(1, 0);
                V[i - 1]         = block(1, 1) / det;
                V[i]             = block(0, 0) / det;
                V[m + i]         = -block(0, 1) / det;  // V(m+1+i)
                I[m + i]         = 1;                   // I(m+1+i): pair marker
            }
            std::vector<int> cols;
            for (int c = i + width; c <= mt; ++c) {
                bool used = false;
                for (int b = 0; b < width; ++b) used = used || L(c - 1, i - 1 + b) != 0.0;
                if (used)
                    cols.push_back(c);
            }
            I[i - 1] = next;
            if (width == 2)
                I[i] = next + static_cast<int>(cols.size());
            I.resize(next - 1 + width * cols.size(), 0);
            V.resize(I.size(), 0.0);
            for (size_t t = 0; t < cols.size(); ++t) {
                const int c     = cols[t];
                I[next - 1 + t] = c;
                for (int a = 0; a < width; ++a) {
                    double u = 0.0;  // U(i+a, c) = sum_b D(i+a, i+b) L(c, i+b)
                    for (int b = 0; b < width; ++b)
                        u += D(i - 1 + a, i - 1 + b) * L(c - 1, i - 1 + b);
                    if (width == 1) {
                        V[next - 1 + t] = u;
                    } else {
                        V[next - 1 + 2 * t + a] = u;
                    }
                }
            }
            next += width * static_cast<int>(cols.size());
            i += width;
        }
        I[m] = next;  // I(m+1) = factor_nnz + 1
    }

    int factor_nnz() const { return I[m] - 1; }

    // The same factor with the columns of each row stored in descending order.
    void reverse_rows() {
        for (int i = 1; i <= m;) {
            const int width = i < m && I[m + i] != 0 ? 2 : 1;
            const int first = I[i - 1], cols = I[i] - first;  // a pair's rows share the columns
            std::reverse(I.begin() + first - 1, I.begin() + first - 1 + cols);
            for (int t = 0; t < cols / 2; ++t) {
                for (int a = 0; a < width; ++a) {
                    std::swap(V[first - 1 + width * t + a],
                              V[first - 1 + width * (cols - 1 - t) + a]);
                }
            }
            i += width;
        }
    }

    // Dense pieces of order m (or mt).
    Dense L11() const {
        Dense l(m);
        for (int i = 0; i < m; ++i)
            for (int j = 0; j < m; ++j) l(i, j) = L(i, j);
        return l;
    }
    Dense B() const {
        Dense l = L11();
        Dense b(m);
        for (int i = 0; i < m; ++i)
            for (int j = 0; j < m; ++j) {
                double s = 0.0;
                for (int p = 0; p < m; ++p)
                    for (int q = 0; q < m; ++q) s += l(i, p) * D(p, q) * l(j, q);
                b(i, j) = s;
            }
        return b;
    }
};

Dense transpose(const Dense& a) {
    Dense t(a.n);
    for (int i = 0; i < a.n; ++i)
        for (int j = 0; j < a.n; ++j) t(i, j) = a(j, i);
    return t;
}

std::vector<double> random_vector(int n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = value(rng);
    return v;
}

void expect_near(const std::vector<double>& got, const std::vector<double>& want, double scale) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i], want[i], 1e-10 * scale) << "entry " << i + 1;
    }
}

double scale_of(const std::vector<double>& v) {
    return 1.0 + trelvak::test::norm2(v);
}

class FactorKernels : public ::testing::TestWithParam<int> {};

TEST_P(FactorKernels, FullForwardAndBackwardSolvesMatchDenseReference) {
    const int m = GetParam();
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        const RandomFactor f(m, m, seed * 100 + m, 0.4);
        const auto rhs = random_vector(m, seed);
        std::vector<double> sol(m);

        dsympilucsol(&f.m, rhs.data(), sol.data(), f.V.data(), f.I.data());
        const auto x = trelvak::test::solve(f.B(), rhs);
        expect_near(sol, x, scale_of(x));

        dsympiluclsol(&f.m, rhs.data(), sol.data(), f.V.data(), f.I.data());
        const auto z = trelvak::test::solve(f.L11(), rhs);
        expect_near(sol, z, scale_of(z));

        dsympilucusol(&f.m, rhs.data(), sol.data(), f.V.data(), f.I.data());
        const auto y = trelvak::test::solve(transpose(f.L11()), rhs);
        expect_near(sol, y, scale_of(y));
    }
}

TEST_P(FactorKernels, OneByOneKernelMatchesWhenThereAreNoPairs) {
    const int m = GetParam();
    const RandomFactor f(m, m, 7 + m, 0.0);
    const auto rhs = random_vector(m, 11);
    std::vector<double> a(m), b(m);
    dsymildlcsol(&f.m, rhs.data(), a.data(), f.V.data(), f.I.data());
    dsympilucsol(&f.m, rhs.data(), b.data(), f.V.data(), f.I.data());
    expect_near(a, b, scale_of(b));
}

TEST_P(FactorKernels, RhsAndSolMayBeTheSameArray) {
    const int m = GetParam();
    const RandomFactor f(m, m, 3 + m, 0.5);
    const auto rhs = random_vector(m, 5);
    std::vector<double> separate(m);
    std::vector<double> in_place = rhs;
    dsympilucsol(&f.m, rhs.data(), separate.data(), f.V.data(), f.I.data());
    dsympilucsol(&f.m, in_place.data(), in_place.data(), f.V.data(), f.I.data());
    EXPECT_EQ(separate, in_place);
}

TEST_P(FactorKernels, PartialKernelsSolveTheBlockEliminationWithCouplingColumns) {
    const int m = GetParam();
    for (int extra : {0, 1, 9}) {
        const int mt = m + extra;
        const RandomFactor f(m, mt, 31 * m + extra, 0.4);
        const auto rhs = random_vector(mt, 77);
        std::vector<double> rhs1(rhs.begin(), rhs.begin() + m);
        const auto z1 = trelvak::test::solve(f.L11(), rhs1);

        // Forward: sol1 = L11^-1 rhs1, sol2 = -L21 z1.
        std::vector<double> sol(mt, 99.0);
        dsymppiluclsol(&f.mt, &f.m, rhs.data(), sol.data(), f.V.data(), f.I.data());
        std::vector<double> want = z1;
        for (int r = m; r < mt; ++r) {
            double s = 0.0;
            for (int c = 0; c < m; ++c) s -= f.L(r, c) * z1[c];
            want.push_back(s);
        }
        expect_near(sol, want, scale_of(want));

        // Backward: sol1 = L11^-T (rhs1 - L21^T x2), sol2 = x2.
        dsymppilucusol(&f.mt, &f.m, rhs.data(), sol.data(), f.V.data(), f.I.data());
        std::vector<double> t = rhs1;
        for (int c = 0; c < m; ++c)
            for (int r = m; r < mt; ++r) t[c] -= f.L(r, c) * rhs[r];
        want = trelvak::test::solve(transpose(f.L11()), t);
        want.insert(want.end(), rhs.begin() + m, rhs.end());
        expect_near(sol, want, scale_of(want));
    }
}

// Right-hand sides with few non-zeros (such as F x2 on the way up a level) leave most rows with a
// zero multiplier in the forward part; the rows that are reached must still see every update.
TEST_P(FactorKernels, SparseRightHandSidesMatchDenseReference) {
    const int m = GetParam();
    const RandomFactor f(m, m, 31 + m, 0.4);
    const auto B = f.B();
    for (int k : {1, (m + 1) / 2, m}) {
        for (int extra : {0, 1}) {
            std::vector<double> rhs(m, 0.0);
            rhs[k - 1] = 1.0;
            if (extra == 1 && k + 2 <= m) {
                rhs[k + 1] = -0.5;
            }
            std::vector<double> sol(m);
            dsympilucsol(&f.m, rhs.data(), sol.data(), f.V.data(), f.I.data());
            const auto x = trelvak::test::solve(B, rhs);
            expect_near(sol, x, scale_of(x));

            dsympiluclsol(&f.m, rhs.data(), sol.data(), f.V.data(), f.I.data());
            const auto z = trelvak::test::solve(f.L11(), rhs);
            expect_near(sol, z, scale_of(z));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, FactorKernels, ::testing::Values(1, 2, 3, 5, 10, 33, 60));

TEST(FactorKernelsEdge, PairOnTheLastTwoRows) {
    for (int m : {2, 3, 8, 21}) {
        const RandomFactor f(m, m, 500 + m, 0.3, /*last_two_paired=*/true);
        ASSERT_NE(f.I[2 * m - 1], 0) << "marker of row m-1";  // I(m+1+(m-1)) = I(2m)
        const auto rhs = random_vector(m, 9);
        std::vector<double> sol(m);
        dsympilucsol(&f.m, rhs.data(), sol.data(), f.V.data(), f.I.data());
        const auto x = trelvak::test::solve(f.B(), rhs);
        expect_near(sol, x, scale_of(x));
    }
}

TEST(FactorKernelsEdge, OrderZeroTouchesNothing) {
    const int m       = 0;
    const int I[1]    = {2};
    const double V[1] = {0.0};
    double sol        = 42.0;
    const double rhs  = 1.0;
    dsympilucsol(&m, &rhs, &sol, V, I);
    dsymildlcsol(&m, &rhs, &sol, V, I);
    dsympiluclsol(&m, &rhs, &sol, V, I);
    dsympilucusol(&m, &rhs, &sol, V, I);
    dsymppiluclsol(&m, &m, &rhs, &sol, V, I);
    dsymppilucusol(&m, &m, &rhs, &sol, V, I);
    EXPECT_EQ(sol, 42.0);
}

// Rows dealt to lanes: the grouping covers rows 1..cut once, no lane's row reaches another
// lane's row, pairs stay whole, and every kernel gives the one-lane result up to rounding.
TEST(FactorKernelsSplit, LanesSweepIndependentGroupsAndMatchOneLane) {
    for (const int lanes : {2, 3}) {
        for (const std::uint64_t seed : {1u, 2u, 3u}) {
            const int m = 130, mt = 140;
            RandomFactor f(m, mt, 900 + seed, 0.3, false, /*group=*/12, /*separator=*/10);
            auto split = trelvak::split_factor(m, f.I.data(), f.factor_nnz(), lanes, 0);
            ASSERT_TRUE(split) << lanes << " lanes, seed " << seed;
            EXPECT_LE(split->cut, m - 10);
            std::vector<int> lane_of(m + 1, -1);
            for (int lane = 0; lane < lanes; ++lane) {
                for (const auto& [lo, hi] : split->runs[lane]) {
                    for (int i = lo; i <= hi; ++i) {
                        EXPECT_EQ(lane_of[i], -1) << "row " << i << " dealt twice";
                        lane_of[i] = lane;
                    }
                }
            }
            for (int i = 1; i <= split->cut;) {  // blocks: a 1x1 pivot or a pair i, i+1
                const int width = i < m && f.I[m + i] != 0 ? 2 : 1;
                ASSERT_LE(i + width - 1, split->cut) << "a pair cut apart";
                for (int b = 0; b < width; ++b) {
                    ASSERT_GE(lane_of[i + b], 0) << "row " << i + b << " dealt to no lane";
                    EXPECT_EQ(lane_of[i + b], lane_of[i]);
                }
                for (int k = f.I[i - 1]; k < f.I[i]; ++k) {
                    const int j = f.I[k - 1];
                    if (j <= split->cut) {
                        EXPECT_EQ(lane_of[j], lane_of[i]) << "rows " << i << ", " << j;
                    }
                }
                i += width;
            }

            const auto rhs = random_vector(mt, seed);
            const auto one = [&](auto kernel) {
                std::vector<double> a(rhs), b(rhs);
                kernel(a.data(), nullptr);
                kernel(b.data(), split.get());
                expect_near(b, a, scale_of(a));
            };
            const int* I    = f.I.data();
            const double* V = f.V.data();
            one([&](double* x, trelvak::FactorSplit* s) { dsympilucsol(&m, x, x, V, I, s); });
            one([&](double* x, trelvak::FactorSplit* s) { dsympiluclsol(&m, x, x, V, I, s); });
            one([&](double* x, trelvak::FactorSplit* s) { dsympilucusol(&m, x, x, V, I, s); });
            one([&](double* x, trelvak::FactorSplit* s) {
                dsymppiluclsol(&mt, &m, x, x, V, I, s);
            });
            one([&](double* x, trelvak::FactorSplit* s) {
                dsymppilucusol(&mt, &m, x, x, V, I, s);
            });

            // Rows whose columns descend: the same groups, and the lanes test every column.
            RandomFactor r = f;
            r.reverse_rows();
            auto unsorted = trelvak::split_factor(m, r.I.data(), r.factor_nnz(), lanes, 0);
            ASSERT_TRUE(unsorted);
            EXPECT_TRUE(split->ascending);
            EXPECT_FALSE(unsorted->ascending);
            EXPECT_EQ(unsorted->runs, split->runs);
            for (const bool whole : {false, true}) {
                std::vector<double> a(rhs), b(rhs);
                const auto solve = [&](double* x, const double* v, const int* i,
                                       trelvak::FactorSplit* s) {
                    if (whole) {
                        dsympilucsol(&m, x, x, v, i, s);
                    } else {
                        dsympiluclsol(&m, x, x, v, i, s);
                    }
                };
                solve(a.data(), V, I, nullptr);
                solve(b.data(), r.V.data(), r.I.data(), unsorted.get());
                expect_near(b, a, scale_of(a));
            }

            // The kernel for factors without pairs.
            RandomFactor g(m, m, 950 + seed, 0.0, false, 12, 10);
            auto plain = trelvak::split_factor(m, g.I.data(), g.factor_nnz(), lanes, 0);
            ASSERT_TRUE(plain);
            std::vector<double> a(rhs.begin(), rhs.begin() + m), b(a);
            dsymildlcsol(&m, a.data(), a.data(), g.V.data(), g.I.data(), nullptr);
            dsymildlcsol(&m, b.data(), b.data(), g.V.data(), g.I.data(), plain.get());
            expect_near(b, a, scale_of(a));
        }
    }
}

// Right-hand sides F x2 vanish outside the rows of F. The rows they reach are closed under the
// updates of the forward sweep, each lane's list lies within its groups, and a sweep over them
// alone gives the full sweep's result exactly, on one lane and on the lanes of a grouping.
TEST(FactorKernelsSplit, ForwardSweepVisitsTheRowsReachedFromTheCouplingBlock) {
    for (const int lanes : {2, 3}) {
        for (const std::uint64_t seed : {1u, 2u, 3u}) {
            const int m = 130, mt = 140;
            const RandomFactor f(m, mt, 970 + seed, 0.3, false, /*group=*/12, /*separator=*/10);
            const int* I    = f.I.data();
            const double* V = f.V.data();
            std::mt19937_64 rng(seed);
            std::vector<int> ia(1, 1), ja;  // F: one entry in about every twelfth row
            std::vector<double> fa;
            for (int i = 1; i <= m; ++i) {
                if (rng() % 12 == 0) {
                    ja.push_back(1);
                    fa.push_back(1.0);
                }
                ia.push_back(static_cast<int>(ja.size()) + 1);
            }
            SparseMatrix F{};
            F.nr = m;
            F.nc = 1;
            F.ia = ia.data();
            F.ja = ja.data();
            F.a  = fa.data();

            auto split = trelvak::split_factor(m, I, f.factor_nnz(), lanes, 0);
            ASSERT_TRUE(split);
            auto visit = trelvak::forward_rows_from(m, I, f.factor_nnz(), F, split.get(), 1.0);
            ASSERT_TRUE(visit);
            std::vector<char> seen(m + 2, 0);
            for (const auto& [lo, hi] : visit->all) {
                for (int i = lo; i <= hi; ++i) seen[i] = 1;
            }
            for (int i = 1; i <= m;) {
                const int width = i < m && I[m + i] != 0 ? 2 : 1;
                if (ia[i] > ia[i - 1]) {
                    EXPECT_TRUE(seen[i]) << "row " << i << " of F";
                }
                EXPECT_EQ(seen[i], seen[i + width - 1]) << "pair " << i;
                for (int k = I[i - 1]; seen[i] && k < I[i]; ++k) {
                    if (I[k - 1] <= m) {
                        EXPECT_TRUE(seen[I[k - 1]]) << "row " << I[k - 1] << " from " << i;
                    }
                }
                i += width;
            }
            ASSERT_EQ(visit->lanes.size(), static_cast<size_t>(lanes));
            for (int lane = 0; lane < lanes; ++lane) {
                std::vector<char> own(m + 1, 0);
                for (const auto& [lo, hi] : split->runs[lane]) {
                    for (int i = lo; i <= hi; ++i) own[i] = 1;
                }
                for (const auto& [lo, hi] : visit->lanes[lane]) {
                    for (int i = lo; i <= hi; ++i) {
                        EXPECT_TRUE(own[i] && seen[i]) << "lane " << lane << ", row " << i;
                    }
                }
            }

            std::vector<double> rhs(mt, 0.0);
            for (int i = 1; i <= m; ++i) {
                if (ia[i] > ia[i - 1])
                    rhs[i - 1] = std::ldexp(1.0, static_cast<int>(rng() % 7));
            }
            for (trelvak::FactorSplit* s :
                 {static_cast<trelvak::FactorSplit*>(nullptr), split.get()}) {
                std::vector<double> a(rhs), b(rhs), c(rhs), d(rhs);
                dsympilucsol(&m, a.data(), a.data(), V, I, s);
                dsympilucsol(&m, b.data(), b.data(), V, I, s, visit.get());
                EXPECT_EQ(b, a);
                dsympiluclsol(&m, c.data(), c.data(), V, I, s);
                dsympiluclsol(&m, d.data(), d.data(), V, I, s, visit.get());
                EXPECT_EQ(d, c);
            }
        }
    }
    // Nothing is kept when the rows reach too much of the factor or F does not fit it.
    const RandomFactor f(40, 40, 5, 0.3);
    std::vector<int> ia(41, 1), ja;
    ia[40] = 1;
    SparseMatrix F{};
    F.nr = 40;
    F.ia = ia.data();
    F.ja = ja.data();
    EXPECT_TRUE(trelvak::forward_rows_from(40, f.I.data(), f.factor_nnz(), F, nullptr, 0.0));
    ia.assign(41, 1);
    for (int i = 1; i <= 40; ++i) ia[i] = i + 1;  // every row
    ja.assign(40, 1);
    EXPECT_FALSE(trelvak::forward_rows_from(40, f.I.data(), f.factor_nnz(), F, nullptr, 0.9));
    F.nr = 39;
    EXPECT_FALSE(trelvak::forward_rows_from(40, f.I.data(), f.factor_nnz(), F, nullptr, 1.0));
}

TEST(FactorKernelsSplit, NoSplitForOneLaneSmallOrCoupledFactors) {
    const RandomFactor grouped(130, 130, 7, 0.3, false, 12, 10);
    const RandomFactor coupled(130, 130, 7, 0.3);
    EXPECT_FALSE(trelvak::split_factor(130, grouped.I.data(), grouped.factor_nnz(), 1, 0));
    EXPECT_FALSE(trelvak::split_factor(130, grouped.I.data(), grouped.factor_nnz(), 2));
    EXPECT_FALSE(trelvak::split_factor(130, coupled.I.data(), coupled.factor_nnz(), 2, 0));
}

}  // namespace
