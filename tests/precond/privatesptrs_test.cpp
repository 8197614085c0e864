// The packed Bunch-Kaufman solve against LAPACK's own solve and against a dense reference.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/blas.h"
#include "common/testing.h"
#include "precond/precond.h"

namespace {

using trelvak::test::Dense;

// Packed triangle of a symmetric dense matrix, column by column.
std::vector<double> pack(const Dense& d, char uplo) {
    std::vector<double> ap;
    for (int j = 0; j < d.n; ++j) {
        if (uplo == 'L') {
            for (int i = j; i < d.n; ++i) ap.push_back(d(i, j));
        } else {
            for (int i = 0; i <= j; ++i) ap.push_back(d(i, j));
        }
    }
    return ap;
}

Dense random_indefinite(int n, std::uint64_t seed, bool zero_diagonal) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Dense d(n);
    for (int j = 0; j < n; ++j)
        for (int i = j; i < n; ++i) d(i, j) = d(j, i) = value(rng);
    if (zero_diagonal)
        for (int i = 0; i < n; ++i) d(i, i) = 0.0;
    return d;
}

TEST(PrivateSptrs, AgreesWithLapackOnRandomBunchKaufmanFactors) {
    for (char uplo : {'L', 'U'}) {
        for (int n : {1, 2, 3, 7, 20, 45}) {
            for (bool zero_diagonal : {false, true}) {
                const Dense d          = random_indefinite(n, 1000 + n, zero_diagonal && n > 1);
                std::vector<double> ap = pack(d, uplo);
                std::vector<int> ipiv(n);
                int info = 0;
                dsptrf_(&uplo, &n, ap.data(), ipiv.data(), &info, 1);
                ASSERT_EQ(info, 0);
                const int nrhs = 3;
                std::vector<double> b(static_cast<size_t>(n) * nrhs);
                for (size_t i = 0; i < b.size(); ++i) b[i] = std::sin(1.0 + static_cast<double>(i));
                std::vector<double> ours = b, theirs = b;
                dprivatesptrs(&uplo, &n, &nrhs, ap.data(), ipiv.data(), ours.data(), &n, &info);
                EXPECT_EQ(info, 0);
                dsptrs_(&uplo, &n, &nrhs, ap.data(), ipiv.data(), theirs.data(), &n, &info, 1);
                for (size_t i = 0; i < b.size(); ++i) {
                    EXPECT_NEAR(ours[i], theirs[i], 1e-9 * (1.0 + std::fabs(theirs[i])))
                        << uplo << " n=" << n << " entry " << i;
                }
                // and the first column really solves the system
                std::vector<double> x(ours.begin(), ours.begin() + n);
                const auto r = trelvak::test::multiply(d, x);
                for (int i = 0; i < n; ++i) EXPECT_NEAR(r[i], b[i], 1e-8);
            }
        }
    }
}

TEST(PrivateSptrs, TwoByTwoBlockWithZeroOffDiagonalIsSolvedWithoutDividingByZero) {
    // Packed lower factor of a 2x2 pivot block [2 0; 0 4] without interchange (ipiv = -2 -2).
    const int n = 2, nrhs = 1;
    const std::vector<double> ap{2.0, 0.0, 4.0};
    const std::vector<int> ipiv{-2, -2};
    std::vector<double> b{2.0, 8.0};
    int info = -99;
    dprivatesptrs("L", &n, &nrhs, ap.data(), ipiv.data(), b.data(), &n, &info);
    EXPECT_EQ(info, 0);
    EXPECT_DOUBLE_EQ(b[0], 1.0);
    EXPECT_DOUBLE_EQ(b[1], 2.0);
}

TEST(PrivateSptrs, ArgumentChecksSetInfoInOrder) {
    const int n = 2, nrhs = 1, bad_n = -1, bad_nrhs = -1, small_ldb = 1;
    const std::vector<double> ap{2.0, 0.0, 4.0};
    const std::vector<int> ipiv{1, 2};
    std::vector<double> b{1.0, 1.0};
    int info = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    dprivatesptrs("X", &n, &nrhs, ap.data(), ipiv.data(), b.data(), &n, &info);
    EXPECT_EQ(info, -1);
    dprivatesptrs("L", &bad_n, &nrhs, ap.data(), ipiv.data(), b.data(), &n, &info);
    EXPECT_EQ(info, -2);
    dprivatesptrs("L", &n, &bad_nrhs, ap.data(), ipiv.data(), b.data(), &n, &info);
    EXPECT_EQ(info, -3);
    dprivatesptrs("L", &n, &nrhs, ap.data(), ipiv.data(), b.data(), &small_ldb, &info);
    EXPECT_EQ(info, -7);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(b, (std::vector<double>{1.0, 1.0}));
}

}  // namespace
