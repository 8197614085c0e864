// Every final status of a solve, produced through the shared driver: -2 (also for a length beyond
// an int), -4 and the fallback tolerances, -1, -3, -9, -10, and 0 for an exact initial guess.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "rc_driver.h"

namespace trelvak::test {
namespace {

const KrylovMethod kAll[]      = {dsymqmr, dsymbcg, dbcg, dgmres, dfgmres};
const KrylovMethod kDivisors[] = {dsymqmr, dsymbcg, dbcg};  // methods that use dbrkdn

std::vector<double> zeros(const std::vector<double>& b) {
    return std::vector<double>(b.size(), 0.0);
}

TEST(KrylovStatus, WorkTooShortIssuesNoRequest) {
    const Operator a = from_upper(laplace2d(4, 3));
    const auto b     = multiply(a.dense, std::vector<double>(12, 1.0));
    for (KrylovMethod method : kAll) {
        for (int restart : {0, 7}) {
            RcOptions opt;
            opt.restart = restart;
            opt.work    = work_length(method, 12, restart) - 1;
            const std::vector<double> x0(12, 0.5);
            const RcResult r = rc_solve(method, a, b, x0, opt);
            EXPECT_EQ(r.status, kWorkTooShort);
            EXPECT_EQ(r.ipar[kWorkLength], opt.work + 1);
            EXPECT_TRUE(r.sequence.empty());
            EXPECT_EQ(r.x, x0);
        }
    }
    for (KrylovMethod method : {dgmres, dfgmres}) {  // ipar(5) < 2 means 15, not 2
        RcOptions opt;
        opt.restart      = 1;
        opt.work         = work_length(method, 12, 2);
        const RcResult r = rc_solve(method, a, b, zeros(b), opt);
        EXPECT_EQ(r.status, kWorkTooShort);
        EXPECT_EQ(r.ipar[kWorkLength], work_length(method, 12, 15));
    }
    // Lengths beyond INT_MAX come back as INT_MAX, never wrapped; nothing is touched.
    const std::tuple<KrylovMethod, int, int> huge[] = {{dsymqmr, 400000000, 0},
                                                       {dsymbcg, 500000000, 0},
                                                       {dbcg, 400000000, 0},
                                                       {dgmres, 1000000, 5000},
                                                       {dfgmres, 2000000000, INT_MAX}};
    for (const auto& [method, n, restart] : huge) {
        int ipar[16]    = {0, 0, 0, INT_MAX, restart};
        double fpar[16] = {1e-6};
        method(&n, nullptr, nullptr, ipar, fpar, nullptr);
        EXPECT_EQ(ipar[0], kWorkTooShort);
        EXPECT_EQ(ipar[3], INT_MAX);
    }
}

TEST(KrylovStatus, UnusableTolerancesOrTheirFallback) {
    const Operator a = from_upper(laplace2d(4, 4));
    const auto b     = multiply(a.dense, std::vector<double>(16, 1.0));
    for (KrylovMethod method : kAll) {
        for (const auto& [rtol, atol] : {std::pair{1.0, 0.0}, {0.0, 0.0}, {1e-6, -1.0}}) {
            RcOptions opt;
            opt.rtol         = rtol;
            opt.atol         = atol;
            const RcResult r = rc_solve(method, a, b, zeros(b), opt);
            EXPECT_EQ(r.status, kBadTolerance);
            EXPECT_TRUE(r.sequence.empty());
            opt.start             = -1;  // replaced by 1e-6 and 1e-16, and the solve runs
            const RcResult forced = rc_solve(method, a, b, zeros(b), opt);
            EXPECT_EQ(forced.status, kConverged);
            EXPECT_EQ(forced.fpar[kRelTol], 1e-6);
            EXPECT_EQ(forced.fpar[kAbsTol], 1e-16);
            EXPECT_LT(forced.relres, 1e-5);
        }
    }
}

TEST(KrylovStatus, IterationLimit) {
    const Operator a = from_upper(laplace2d(10, 10, 0.5));
    const auto b     = multiply(a.dense, std::vector<double>(100, 1.0));
    for (KrylovMethod method : kAll) {
        for (int limit : {1, 6}) {
            RcOptions opt;
            opt.rtol         = 1e-14;
            opt.maxit        = limit;
            const RcResult r = rc_solve(method, a, b, zeros(b), opt);
            EXPECT_EQ(r.status, kIterLimit);
            EXPECT_GE(r.ipar[kProducts], limit);
            EXPECT_LE(r.ipar[kProducts], limit + 2);
        }
    }
    // ipar(6) = 1 ends at the first test even when the first step solves; only convergence found
    // before the first iteration gives 0.
    Dense eye(6);
    for (int i = 0; i < 6; ++i) {
        eye(i, i) = 1.0;
    }
    const std::vector<double> rhs{1, 2, 3, 4, 5, 6};
    RcOptions once;
    once.maxit = 1;
    for (KrylovMethod method : kDivisors) {
        EXPECT_EQ(rc_solve(method, from_dense(eye), rhs, zeros(rhs), once).status, kIterLimit);
        EXPECT_EQ(rc_solve(method, from_dense(eye), rhs, rhs, once).status, kConverged);
    }
}

TEST(KrylovStatus, ZeroDivisorIsABreakdown) {
    Dense swap(2);
    swap(0, 1) = swap(1, 0) = 1.0;  // d . A d = 0 for d = e1
    for (KrylovMethod method : kDivisors) {
        EXPECT_EQ(rc_solve(method, from_dense(swap), {1.0, 0.0}, {0.0, 0.0}, {}).status,
                  kBreakdown);
    }
    Dense singular(2);
    singular(1, 1) = 1.0;  // A v_1 = 0: nothing to orthogonalise
    for (KrylovMethod method : {dgmres, dfgmres}) {
        const RcResult r = rc_solve(method, from_dense(singular), {1.0, 0.0}, {0.0, 0.0}, {});
        EXPECT_EQ(r.status, kBreakdown);
        EXPECT_EQ(r.ipar[kOrthoError], -1);
        EXPECT_TRUE(std::isfinite(r.x[0]) && std::isfinite(r.x[1]));
    }
    // SQMR: a zero initial residual is no convergence under a change test; sigma = 0 follows.
    const Operator a = from_upper(laplace2d(3, 3));
    RcOptions change;
    change.test = -1;
    const std::vector<double> x(9, 1.0);
    const RcResult r = rc_solve(dsymqmr, a, multiply(a.dense, x), x, change);
    EXPECT_EQ(r.status, kBreakdown);
    EXPECT_EQ(r.x, x);
}

TEST(KrylovStatus, InfiniteOrUndefinedQuantities) {
    const Operator a = from_upper(laplace2d(4, 4));
    const auto b     = multiply(a.dense, std::vector<double>(16, 1.0));
    RcOptions opt;
    opt.tamper = [](int code, int count, double* y) {  // sigma = d . A d becomes infinite
        if (code == kMatVec && count == 2) {
            y[0] = std::numeric_limits<double>::infinity();
        }
    };
    for (KrylovMethod method : kDivisors) {
        EXPECT_EQ(rc_solve(method, a, b, zeros(b), opt).status, kNonFinite);
    }
    // A NaN in the change satisfies the stopping test but not the target: -10.
    opt.test    = -1;
    opt.side    = 1;
    opt.precond = Precond::jacobi;
    opt.tamper  = [](int code, int count, double* y) {
        if (code == kLeftSolve && count == 2) {
            y[0] = std::numeric_limits<double>::quiet_NaN();
        }
    };
    EXPECT_EQ(rc_solve(dsymqmr, a, b, zeros(b), opt).status, kNoConvergence);
}

TEST(KrylovStatus, ExactInitialGuessStopsBeforeIterating) {
    const Operator a = from_upper(laplace2d(4, 5, 1.1));
    const std::vector<double> x(20, 0.25);
    const auto b = multiply(a.dense, x);
    for (KrylovMethod method : kAll) {
        for (int test : {1, 2, 3}) {
            RcOptions opt;
            opt.test         = test;
            const RcResult r = rc_solve(method, a, b, x, opt);
            EXPECT_EQ(r.status, kConverged);
            EXPECT_EQ(r.ipar[kProducts], 1);
            EXPECT_EQ(r.fpar[kRate], 0.0);
            EXPECT_EQ(r.x, x);
        }
    }
}

}  // namespace
}  // namespace trelvak::test
