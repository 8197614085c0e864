// SQMR's last product: it yields the true residual, and under test 3 a check that misses the
// recalibrated target resumes the iteration.
#include <gtest/gtest.h>

#include <cmath>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "rc_driver.h"

namespace trelvak::test {
namespace {

// Products with A whose operand is the iterate x = w(4n+1..): the initial one and every final
// check.
int products_of_x(const RcResult& r, int n) {
    int k = 0;
    for (const auto& s : r.slices) {
        k += s[0] == kMatVec && s[1] == 4 * n + 1;
    }
    return k;
}

TEST(KrylovSqmr, FinalProductGivesTheTrueResidual) {
    const Operator a = from_upper(laplace2d(8, 8, 2.3));
    const auto b     = multiply(a.dense, std::vector<double>(64, 1.0));
    for (int test : {1, 2, -1, -2}) {
        RcOptions opt;
        opt.test         = test;
        opt.rtol         = 1e-9;
        const RcResult r = rc_solve(dsymqmr, a, b, std::vector<double>(64, 0.0), opt);
        ASSERT_EQ(r.status, kConverged) << test;
        EXPECT_EQ(products_of_x(r, 64), 2) << test;  // tests other than 3 never resume
        const double true_norm = r.relres * norm2(b);
        EXPECT_GT(r.fpar[kTested], 0.0);
        EXPECT_NEAR(r.fpar[kTested], true_norm, 1e-3 * true_norm);
    }
}

// Under test 3 a final check that misses the target resumes the iteration with a recalibrated
// ADJUST. The first final check is made to miss by perturbing its product; the solve must go on,
// with its left-preconditioned residual made again, and end with a sound iterate.
TEST(KrylovSqmr, TestThreeResumesAfterAFailedFinalCheck) {
    const Operator a = from_upper(laplace2d(8, 7, 1.3));
    const int n      = 56;
    const auto b     = multiply(a.dense, std::vector<double>(n, 1.0));
    for (int side : {0, 1, 2, 3}) {
        RcOptions opt;
        opt.test             = 3;
        opt.side             = side;
        opt.precond          = Precond::jacobi;
        opt.rtol             = 1e-8;
        opt.maxit            = 2000;
        const RcResult plain = rc_solve(dsymqmr, a, b, std::vector<double>(n, 0.0), opt);
        ASSERT_EQ(plain.status, kConverged);
        ASSERT_EQ(products_of_x(plain, n), 2);

        const int final_check = plain.requests.at(kMatVec);
        opt.tamper            = [&](int code, int count, double* y) {
            if (code == kMatVec && count == final_check) {
                y[n / 2] += 1e-3;  // the true residual looks far too large
            }
        };
        const RcResult r = rc_solve(dsymqmr, a, b, std::vector<double>(n, 0.0), opt);
        EXPECT_EQ(r.status, kConverged) << side;
        EXPECT_EQ(products_of_x(r, n), 3) << side;
        EXPECT_GT(r.ipar[kProducts], plain.ipar[kProducts]) << side;
        const double target = opt.rtol * (r.fpar[kNormA] * norm2(r.x) + norm2(b));
        EXPECT_LE(r.fpar[kTested], target) << side;
        EXPECT_LE(r.relres * norm2(b), target) << side;
        if (side == 1 || side >= 3) {  // the left solve of r follows the failed check at once
            const size_t at = plain.sequence.size();
            ASSERT_GT(r.sequence.size(), at);
            EXPECT_EQ(r.sequence[at], kLeftSolve);
        }
    }
}

TEST(KrylovSqmr, ExactInitialGuessHasZeroTrueResidual) {
    const Operator a = from_upper(laplace2d(3, 4));
    const std::vector<double> x(12, 2.0);
    const RcResult r = rc_solve(dsymqmr, a, multiply(a.dense, x), x, {});
    EXPECT_EQ(r.status, kConverged);
    EXPECT_EQ(r.fpar[kTested], 0.0);
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(products_of_x(r, 12), 2);
}

}  // namespace
}  // namespace trelvak::test
