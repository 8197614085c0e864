// Diagonal scalings: norms, the power-of-two rule, zero rows and columns, symmetric scalings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

using trelvak::test::Csr;
using trelvak::test::Dense;

namespace {

// Diagonal matrix with the given entries, one stored entry per row.
Csr diagonal(const std::vector<double>& d) {
    Dense m(static_cast<int>(d.size()));
    for (int i = 0; i < m.n; ++i) {
        m(i, i) = d[i];
    }
    return trelvak::test::general_from_dense(m);
}

bool is_power_of_two(double x) {
    int e = 0;
    return x > 0.0 && std::frexp(x, &e) == 0.5;
}

// Largest magnitude of each full row of a symmetric matrix given by its upper triangle.
std::vector<double> full_row_max(const Csr& u) {
    std::vector<double> r(u.nr, 0.0);
    for (int i = 1; i <= u.nr; ++i) {
        for (int k = u.ia[i - 1]; k < u.ia[i]; ++k) {
            const int j = u.ja[k - 1];
            r[i - 1]    = std::max(r[i - 1], std::fabs(u.a[k - 1]));
            r[j - 1]    = std::max(r[j - 1], std::fabs(u.a[k - 1]));
        }
    }
    return r;
}

}  // namespace

TEST(Scale, PowerOfTwoRuleAtSampleNorms) {
    // Norms 3, 1.4, 0.3, 4 and 16 give 1/4, 1, 4, 1/4 and 1/16; 0.75 (log2 = -0.415) gives 1.
    Csr m         = diagonal({3.0, -1.4, 0.3, 4.0, 16.0, 0.75});
    const int n   = m.nr;
    const int job = 0;
    int ierr      = -1;
    std::vector<double> diag(n, -1.0);
    drowscale(&n, &job, m.a.data(), m.ja.data(), m.ia.data(), diag.data(), &ierr);
    ASSERT_EQ(ierr, 0);
    const std::vector<double> expected{0.25, 1.0, 4.0, 0.25, 0.0625, 1.0};
    EXPECT_EQ(diag, expected);
    const std::vector<double> scaled{0.75, -1.4, 1.2, 1.0, 1.0, 0.75};
    EXPECT_EQ(m.a, scaled);  // exact: the factors are powers of two
}

TEST(Scale, RowAndColumnNormCodes) {
    // Row 1 holds 3 and -4: max 4, sum 7, Euclidean 5; column 2 holds -4 and 1.
    Dense d(2);
    d(0, 0)                = 3.0;
    d(0, 1)                = -4.0;
    d(1, 1)                = 1.0;
    const Csr m            = trelvak::test::general_from_dense(d);
    const int n            = 2;
    const double row1[3]   = {4.0, 7.0, 5.0};
    const double col2[3]   = {4.0, 5.0, std::sqrt(17.0)};
    const double factor[3] = {0.25, 0.125, 0.25};
    for (int job = 0; job <= 2; ++job) {
        std::vector<double> r(n), c(n);
        drnrms(&n, &job, m.a.data(), m.ja.data(), m.ia.data(), r.data());
        dcnrms(&n, &job, m.a.data(), m.ja.data(), m.ia.data(), c.data());
        EXPECT_DOUBLE_EQ(r[0], row1[job]) << "job " << job;
        EXPECT_DOUBLE_EQ(r[1], 1.0);
        EXPECT_DOUBLE_EQ(c[0], 3.0);
        EXPECT_DOUBLE_EQ(c[1], col2[job]) << "job " << job;

        Csr rows = m;
        int ierr = -1;
        drowscale(&n, &job, rows.a.data(), rows.ja.data(), rows.ia.data(), r.data(), &ierr);
        ASSERT_EQ(ierr, 0);
        EXPECT_EQ(r[0], factor[job]);
        EXPECT_EQ(rows.a[1], -4.0 * factor[job]);
    }
}

TEST(Scale, ZeroRowOrColumnLeavesMatrixAlone) {
    // Row 3 and column 3 are empty: ierr = 3, the matrix unchanged, factors before it.
    Dense d(4);
    d(0, 0)        = 3.0;
    d(1, 1)        = 0.3;
    d(3, 3)        = 2.0;
    d(0, 1)        = 1.0;
    const Csr orig = trelvak::test::general_from_dense(d);
    const int n    = 4;
    for (int job = 0; job <= 2; ++job) {
        Csr m = orig;
        std::vector<double> diag(n, -7.0);
        int ierr = -1;
        drowscale(&n, &job, m.a.data(), m.ja.data(), m.ia.data(), diag.data(), &ierr);
        EXPECT_EQ(ierr, 3);
        EXPECT_EQ(m.a, orig.a);
        EXPECT_EQ(diag[2], 0.0);
        EXPECT_TRUE(is_power_of_two(diag[0]) && is_power_of_two(diag[1]));

        ierr = -1;
        dcolscale(&n, &job, m.a.data(), m.ja.data(), m.ia.data(), diag.data(), &ierr);
        EXPECT_EQ(ierr, 3);
        EXPECT_EQ(m.a, orig.a);
    }
    // Symmetric scalings: a missing diagonal entry (dspdscale) or an empty full row (dsymscale).
    Csr m = trelvak::test::upper_from_dense(d);
    std::vector<double> diag(n), work(n);
    int ierr = -1;
    dspdscale(&n, m.a.data(), m.ja.data(), m.ia.data(), diag.data(), &ierr);
    EXPECT_EQ(ierr, 3);
    ierr = -1;
    dsymscale(&n, m.a.data(), m.ja.data(), m.ia.data(), diag.data(), work.data(), &ierr);
    EXPECT_EQ(ierr, 3);
    EXPECT_EQ(m.a, trelvak::test::upper_from_dense(d).a);
}

TEST(Scale, EmptyOrderTouchesNothing) {
    double a    = 5.0;
    int ja      = 1;
    int ia[2]   = {1, 2};
    double diag = -3.0;
    double work = -3.0;
    for (int n : {0, -2}) {
        int ierr      = 9;
        const int job = 0;
        drowscale(&n, &job, &a, &ja, ia, &diag, &ierr);
        EXPECT_EQ(ierr, 0);
        ierr = 9;
        dcolscale(&n, &job, &a, &ja, ia, &diag, &ierr);
        EXPECT_EQ(ierr, 0);
        ierr = 9;
        dspdscale(&n, &a, &ja, ia, &diag, &ierr);
        EXPECT_EQ(ierr, 0);
        ierr = 9;
        dsymscale(&n, &a, &ja, ia, &diag, &work, &ierr);
        EXPECT_EQ(ierr, 0);
    }
    EXPECT_EQ(a, 5.0);
    EXPECT_EQ(diag, -3.0);
    EXPECT_EQ(work, -3.0);
}

TEST(Scale, SpdScalingMakesTheDiagonalNearOne) {
    Csr m = trelvak::test::laplace2d(6, 5);
    // Row 3 gets diagonal 16.
    m.a[m.ia[2] - 1]   = 16.0;
    const int n        = m.nr;
    const Dense before = trelvak::test::dense_from_upper(m);
    std::vector<double> diag(n);
    int ierr = -1;
    dspdscale(&n, m.a.data(), m.ja.data(), m.ia.data(), diag.data(), &ierr);
    ASSERT_EQ(ierr, 0);
    EXPECT_EQ(diag[2], 0.25);
    EXPECT_EQ(m.a[m.ia[2] - 1], 1.0);
    EXPECT_EQ(diag[0], 0.5);  // diagonal 4
    const Dense after = trelvak::test::dense_from_upper(m);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            EXPECT_EQ(after(i, j), diag[i] * before(i, j) * diag[j]);
        }
    }

    // A row that stores its diagonal twice: the last one counts.
    Csr twice;
    twice.nr = twice.nc = 2;
    twice.ja            = {1, 1, 2};  // row 1 stores its diagonal as 9, then 64
    twice.a             = {9.0, 64.0, 1.0};
    twice.ia            = {1, 3, 4};
    const int two       = 2;
    dspdscale(&two, twice.a.data(), twice.ja.data(), twice.ia.data(), diag.data(), &ierr);
    ASSERT_EQ(ierr, 0);
    EXPECT_EQ(diag[0], 0.125);
}

namespace {

// One sweep of dsymscale on a random matrix, magnitudes spread over 10^(+-spread). Checks that
// A := D A D exactly with powers of two, and returns the full row maxima of the result.
std::vector<double> symscale_row_maxima(std::uint64_t seed, double spread) {
    Csr m = trelvak::test::random_symmetric(60, 3, seed, 0.3);
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> expo(-spread, spread);
    for (double& v : m.a) {
        v *= std::pow(10.0, expo(rng));
    }
    const Dense before = trelvak::test::dense_from_upper(m);
    const int n        = m.nr;
    std::vector<double> diag(n), work(n);
    int ierr = -1;
    dsymscale(&n, m.a.data(), m.ja.data(), m.ia.data(), diag.data(), work.data(), &ierr);
    EXPECT_EQ(ierr, 0) << "seed " << seed;
    for (double f : diag) {
        EXPECT_TRUE(is_power_of_two(f));
    }
    const Dense after = trelvak::test::dense_from_upper(m);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            EXPECT_EQ(after(i, j), diag[i] * before(i, j) * diag[j]);
        }
    }
    return full_row_max(m);
}

}  // namespace

TEST(Scale, SymmetricScalingReachesRowMaximaOfOne) {
    // Random indefinite matrices with zero diagonals: every full row ends with its largest
    // magnitude within a factor 2 of 1.
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        for (double r : symscale_row_maxima(seed, 0.0)) {
            EXPECT_GE(r, 0.5) << "seed " << seed;
            EXPECT_LE(r, 2.0) << "seed " << seed;
        }
    }
    // Magnitudes over 8 orders: one sweep still bounds every entry by 2 (1 before rounding);
    // small row maxima are possible after a single sweep.
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        for (double r : symscale_row_maxima(seed, 4.0)) {
            EXPECT_GT(r, 0.0) << "seed " << seed;
            EXPECT_LE(r, 2.0) << "seed " << seed;
        }
    }
}

TEST(Scale, ExtremeNormsGiveFiniteNonZeroFactors) {
    Csr m         = diagonal({1.7e308, 1e-310, 1.0});
    const int n   = 3;
    const int job = 0;
    int ierr      = -1;
    std::vector<double> diag(n);
    drowscale(&n, &job, m.a.data(), m.ja.data(), m.ia.data(), diag.data(), &ierr);
    ASSERT_EQ(ierr, 0);
    for (double f : diag) {
        EXPECT_TRUE(std::isfinite(f) && f > 0.0);
    }
    EXPECT_GT(m.a[0], 0.0);
    EXPECT_TRUE(std::isfinite(m.a[1]));
}
