// Sparse products against dense products.
#include <gtest/gtest.h>

#include <vector>

#include "common/lanes.h"
#include "common/testing.h"
#include "precond/precond.h"

namespace {

using trelvak::test::Csr;
using trelvak::test::Dense;

std::vector<double> ramp(int n) {
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i) x[i] = 1.0 + 0.25 * i;
    return x;
}

TEST(Products, SymmetricProductCountsTheDiagonalOnceAndMirrorsTheRest) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        Csr upper    = trelvak::test::random_symmetric(40, 3, seed, 0.2);
        const auto x = ramp(40);
        std::vector<double> y(40, -7.0);
        DSYMmatvec(upper.record(), x.data(), y.data());
        const auto want = trelvak::test::multiply(trelvak::test::dense_from_upper(upper), x);
        for (int i = 0; i < 40; ++i) EXPECT_NEAR(y[i], want[i], 1e-12);
    }
}

TEST(Products, SymmetricProductWithAnEmptyRow) {
    // Upper triangle of [2 1 3; 1 0 0; 3 0 0]: rows 2 and 3 store nothing.
    Csr m;
    m.nr = m.nc = 3;
    m.ia        = {1, 4, 4, 4};
    m.ja        = {1, 2, 3};
    m.a         = {2.0, 1.0, 3.0};
    const std::vector<double> x{1.0, 10.0, 100.0};
    std::vector<double> y(3, -1.0);
    DSYMmatvec(m.record(), x.data(), y.data());
    EXPECT_EQ(y, (std::vector<double>{2.0 + 10.0 + 300.0, 1.0, 3.0}));
}

TEST(Products, SymmetricProductTakesAnyOrderOfTheStoredEntries) {
    // The symmetric [4 1 0 2; 1 5 3 0; 0 3 6 0; 2 0 0 7], once with the diagonal stored last in
    // its rows and once with rows 2 and 4 holding their coupling below the diagonal.
    const std::vector<double> x{1.0, 10.0, 100.0, 1000.0};
    const std::vector<double> want{4.0 + 10.0 + 2000.0, 1.0 + 50.0 + 300.0, 30.0 + 600.0,
                                   2.0 + 7000.0};
    Csr last;
    last.nr = last.nc = 4;
    last.ia           = {1, 4, 6, 7, 8};
    last.ja           = {4, 2, 1, 3, 2, 3, 4};
    last.a            = {2.0, 1.0, 4.0, 3.0, 5.0, 6.0, 7.0};
    Csr below;
    below.nr = below.nc = 4;
    below.ia            = {1, 2, 5, 6, 8};
    below.ja            = {1, 1, 2, 3, 3, 1, 4};
    below.a             = {4.0, 1.0, 5.0, 3.0, 6.0, 2.0, 7.0};
    for (Csr* m : {&last, &below}) {
        std::vector<double> y(4, -1.0);
        DSYMmatvec(m->record(), x.data(), y.data());
        EXPECT_EQ(y, want);
    }
}

TEST(Products, GeneralProductAndTransposedProduct) {
    Dense d(5);
    d(0, 1)      = 2.0;
    d(1, 0)      = -1.0;
    d(1, 4)      = 3.0;
    d(3, 3)      = 4.0;  // rows 3 and 5 (1-based) stay empty
    Csr g        = trelvak::test::general_from_dense(d);
    const auto x = ramp(5);
    std::vector<double> y(5, 9.0);
    DGNLmatvec(g.record(), x.data(), y.data());
    EXPECT_EQ(y, trelvak::test::multiply(d, x));

    Dense t(5);
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) t(i, j) = d(j, i);
    DGNLmattvec(g.record(), x.data(), y.data());
    EXPECT_EQ(y, trelvak::test::multiply(t, x));
}

TEST(Products, TransposedProductClearsColumnsBeyondTheLastUsedIndex) {
    // 2 x 6 block whose entries reach column 3 only: y(4..6) must come back 0.
    Csr f;
    f.nr = 2;
    f.nc = 6;
    f.ia = {1, 3, 4};
    f.ja = {1, 3, 2};
    f.a  = {1.0, 2.0, 5.0};
    const std::vector<double> x{1.0, 2.0};
    std::vector<double> y(6, 8.0);
    DGNLmattvec(f.record(), x.data(), y.data());
    EXPECT_EQ(y, (std::vector<double>{1.0, 10.0, 2.0, 0.0, 0.0, 0.0}));
}

// A large random pattern (entries reaching far into later rows) multiplied on several lanes
// gives the one-lane product up to rounding, also with entries stored below the diagonal.
TEST(Products, SymmetricProductOnLanesMatchesOneLane) {
    const int n = 30000;
    Csr upper   = trelvak::test::random_symmetric(n, 4, 11);
    ASSERT_GE(upper.ia[n] - 1, 1 << 16) << "large enough to be split";
    // The same matrix with every third off-diagonal entry stored in the row of its column.
    Csr mixed;
    mixed.nr = mixed.nc = n;
    {
        std::vector<std::vector<std::pair<int, double>>> rows(n + 1);
        for (int i = 1; i <= n; ++i) {
            for (int k = upper.ia[i - 1]; k < upper.ia[i]; ++k) {
                const int j     = upper.ja[k - 1];
                const bool flip = j != i && k % 3 == 0;
                rows[flip ? j : i].emplace_back(flip ? i : j, upper.a[k - 1]);
            }
        }
        mixed.ia = {1};
        for (int i = 1; i <= n; ++i) {
            for (const auto& [j, v] : rows[i]) {
                mixed.ja.push_back(j);
                mixed.a.push_back(v);
            }
            mixed.ia.push_back(static_cast<int>(mixed.ja.size()) + 1);
        }
    }
    const auto x = ramp(n);
    std::vector<double> want(n);
    trelvak::set_lane_count(1);
    DSYMmatvec(upper.record(), x.data(), want.data());
    const double scale = 1.0 + trelvak::test::norm2(want);
    for (const int lanes : {2, 3}) {
        trelvak::set_lane_count(lanes);
        for (Csr* m : {&upper, &mixed}) {
            std::vector<double> y(n, -7.0);
            DSYMmatvec(m->record(), x.data(), y.data());
            for (int i = 0; i < n; ++i) {
                ASSERT_NEAR(y[i], want[i], 1e-13 * scale) << lanes << " lanes, row " << i + 1;
            }
        }
    }
    trelvak::set_lane_count(0);
}

}  // namespace
