// GMRES and flexible GMRES: an invariant Krylov space ends the solve with status 0 and the exact
// solution under every stopping test and side; flexible GMRES copes with a changing right
// preconditioner; under test 3 fpar(6) is the true residual norm.
#include <gtest/gtest.h>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "rc_driver.h"

namespace trelvak::test {
namespace {

const KrylovMethod kGmres[] = {dgmres, dfgmres};

Dense diagonal(int n, double step) {
    Dense d(n);
    for (int i = 0; i < n; ++i) {
        d(i, i) = 1.0 + step * i;
    }
    return d;
}

void expect_solved(const Dense& a, const std::vector<double>& b, const std::vector<double>& x,
                   double tol) {
    for (KrylovMethod method : kGmres) {
        for (int side : {0, 1, 2}) {
            for (int test : {1, 2, 3, -1, -2}) {
                RcOptions opt;
                opt.side = side;
                opt.test = test;
                opt.rtol = 1e-12;
                const RcResult r =
                    rc_solve(method, from_dense(a), b, std::vector<double>(b.size(), 0.0), opt);
                EXPECT_EQ(r.status, kConverged) << "side " << side << " test " << test;
                EXPECT_EQ(r.ipar[kOrthoError], 0);
                for (size_t i = 0; i < b.size(); ++i) {
                    EXPECT_NEAR(r.x[i], x[i], tol) << "side " << side << " test " << test;
                }
            }
        }
    }
}

TEST(KrylovGmresInvariantSpace, Identity) {
    std::vector<double> b(8, 0.0);
    b[2] = 2.0;  // v_1 = e_3: A v_1 - v_1 vanishes exactly after one step
    expect_solved(diagonal(8, 0.0), b, b, 0.0);
    for (KrylovMethod method : kGmres) {
        const RcResult r =
            rc_solve(method, from_dense(diagonal(8, 0.0)), b, std::vector<double>(8, 0.0), {});
        EXPECT_EQ(r.ipar[kProducts], 2);  // the residual and one Arnoldi step
        EXPECT_EQ(r.fpar[kTested], 0.0);
        // Under a change test the first cycle ends unconverged; the next residual is exactly 0.
        RcOptions change;
        change.test = -1;
        EXPECT_EQ(
            rc_solve(method, from_dense(diagonal(8, 0.0)), b, std::vector<double>(8, 0.0), change)
                .status,
            kConverged);
    }
}

TEST(KrylovGmresInvariantSpace, DiagonalWithTwoNonzerosAndTheSwapMatrix) {
    std::vector<double> b(10, 0.0), x(10, 0.0);
    b[1] = 3.0;
    b[6] = -4.0;
    x[1] = 3.0 / 2.0;
    x[6] = -4.0 / 7.0;
    expect_solved(diagonal(10, 1.0), b, x, 1e-13);

    Dense swap(2);
    swap(0, 1) = swap(1, 0) = 1.0;
    expect_solved(swap, {1.0, 0.0}, {0.0, 1.0}, 0.0);
}

TEST(KrylovFlexibleGmres, ChangingPreconditionerAndTrueResidualUnderTestThree) {
    const Operator a = from_upper(laplace2d(9, 9, 1.2));
    const auto b     = multiply(a.dense, std::vector<double>(81, 1.0));
    RcOptions opt;
    opt.side         = 2;
    opt.precond      = Precond::varying;
    opt.restart      = 30;
    opt.maxit        = 1000;
    const RcResult r = rc_solve(dfgmres, a, b, std::vector<double>(81, 0.0), opt);
    EXPECT_EQ(r.status, kConverged);
    EXPECT_LT(r.relres, 1e-8);
    // z_k is kept for every step, so there is no right solve at the end of a cycle.
    EXPECT_EQ(r.count(kRightSolve), r.ipar[kProducts] - r.ipar[kResidualProducts]);

    opt.test = 3;
    for (KrylovMethod method : kGmres) {
        const RcResult t = rc_solve(method, a, b, std::vector<double>(81, 0.0), opt);
        ASSERT_EQ(t.status, kConverged);
        EXPECT_NEAR(t.fpar[kTested], t.relres * norm2(b), 1e-12 * norm2(b));
        EXPECT_LE(t.fpar[kTested], t.fpar[kTarget]);
    }
}

}  // namespace
}  // namespace trelvak::test
