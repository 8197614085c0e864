// GMRES and flexible GMRES: an invariant Krylov space ends the solve with status 0 and the exact
// solution, whatever the stopping test and preconditioning side; flexible GMRES copes with a
// preconditioner that changes from step to step.
#include <gtest/gtest.h>

#include <cmath>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "rc_driver.h"

namespace trelvak::test {
namespace {

struct Named {
    const char* name;
    KrylovMethod method;
};
const Named kGmres[] = {{"gmres", dgmres}, {"fgmres", dfgmres}};

Dense diagonal(int n) {
    Dense d(n);
    for (int i = 0; i < n; ++i) {
        d(i, i) = 1.0 + i;
    }
    return d;
}

// Solves with every test and side; expects status 0 and x within tol of the solution.
void expect_exact(const Dense& a, const std::vector<double>& b, const std::vector<double>& x,
                  double tol, const char* what) {
    for (const auto& m : kGmres) {
        for (int side : {0, 1, 2}) {
            for (int test : {1, 2, 3, -1, -2}) {
                RcOptions opt;
                opt.side = side;
                opt.test = test;
                opt.rtol = 1e-12;
                const RcResult r =
                    rc_solve(m.method, from_dense(a), b, std::vector<double>(b.size(), 0.0), opt);
                EXPECT_EQ(r.status, kConverged)
                    << what << " " << m.name << " side " << side << " test " << test;
                EXPECT_EQ(r.ipar[kOrthoError], 0);
                for (size_t i = 0; i < b.size(); ++i) {
                    EXPECT_NEAR(r.x[i], x[i], tol) << what << " " << m.name << " test " << test;
                }
            }
        }
    }
}

TEST(GmresInvariantSpace, IdentityEndsAfterOneStep) {
    Dense eye(8);
    for (int i = 0; i < 8; ++i) {
        eye(i, i) = 1.0;
    }
    std::vector<double> b(8, 0.0);
    b[2] = 2.0;  // v_1 = e_3 exactly: A v_1 - v_1 vanishes exactly
    expect_exact(eye, b, b, 0.0, "identity");

    for (const auto& m : kGmres) {  // one Arnoldi step after the residual product
        const RcResult r = rc_solve(m.method, from_dense(eye), b, std::vector<double>(8, 0.0), {});
        EXPECT_EQ(r.ipar[kProducts], 2) << m.name;
        EXPECT_EQ(r.fpar[kTested], 0.0) << m.name;
    }
}

TEST(GmresInvariantSpace, DiagonalWithTwoNonzerosInTheRightHandSide) {
    const Dense a = diagonal(10);
    std::vector<double> b(10, 0.0);
    b[1] = 3.0;
    b[6] = -4.0;
    std::vector<double> x(10, 0.0);
    x[1] = 3.0 / a(1, 1);
    x[6] = -4.0 / a(6, 6);
    expect_exact(a, b, x, 1e-13, "diagonal");
}

TEST(GmresInvariantSpace, SwapMatrixClosesAfterTwoSteps) {
    Dense swap(2);
    swap(0, 1) = swap(1, 0) = 1.0;
    expect_exact(swap, {1.0, 0.0}, {0.0, 1.0}, 0.0, "swap");
}

TEST(GmresInvariantSpace, ZeroResidualAtARestartIsSolved) {
    // Under the change tests the first cycle ends unconverged; the next residual is exactly zero.
    Dense eye(4);
    for (int i = 0; i < 4; ++i) {
        eye(i, i) = 1.0;
    }
    for (const auto& m : kGmres) {
        RcOptions opt;
        opt.test = -1;
        const RcResult r =
            rc_solve(m.method, from_dense(eye), {0, 0, 0, 0.5}, std::vector<double>(4, 0.0), opt);
        EXPECT_EQ(r.status, kConverged) << m.name;
        EXPECT_EQ(r.x[3], 0.5);
    }
}

TEST(FlexibleGmres, ToleratesAPreconditionerThatChanges) {
    const Operator a = from_upper(laplace2d(9, 9, 1.2));
    const auto b     = multiply(a.dense, std::vector<double>(81, 1.0));
    RcOptions opt;
    opt.side         = 2;
    opt.precond      = Precond::varying;
    opt.rtol         = 1e-10;
    opt.restart      = 30;
    opt.maxit        = 1000;
    const RcResult r = rc_solve(dfgmres, a, b, std::vector<double>(81, 0.0), opt);
    EXPECT_EQ(r.status, kConverged);
    EXPECT_LT(r.relres, 1e-8);
    // The flexible method keeps every z_k and needs no right solve at the end of a cycle: one
    // right solve per Arnoldi step.
    EXPECT_EQ(r.requests.at(kRightSolve), r.ipar[kProducts] - r.ipar[kResidualProducts]);
}

TEST(FlexibleGmres, UnderTestThreeReportsTheTrueResidual) {
    const Operator a = from_upper(saddle_point(30, 10, 3, 11));
    const auto b     = multiply(a.dense, std::vector<double>(40, -1.0));
    for (const auto& m : kGmres) {
        RcOptions opt;
        opt.test         = 3;
        opt.rtol         = 1e-10;
        opt.restart      = 10;
        opt.maxit        = 2000;
        const RcResult r = rc_solve(m.method, a, b, std::vector<double>(40, 0.0), opt);
        ASSERT_EQ(r.status, kConverged) << m.name;
        EXPECT_NEAR(r.fpar[kTested], r.relres * norm2(b), 1e-12 * norm2(b)) << m.name;
        EXPECT_LE(r.fpar[kTested], r.fpar[kTarget]);
    }
}

}  // namespace
}  // namespace trelvak::test
