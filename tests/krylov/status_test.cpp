// Every final status of a solve, produced through the shared driver: -2 (including a length that
// does not fit an int), -4 and the fallback tolerances, -1, -3, -9, -10, and 0 for an initial
// guess that already solves the system.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "rc_driver.h"

namespace trelvak::test {
namespace {

struct Named {
    const char* name;
    KrylovMethod method;
};
const Named kAll[] = {
    {"sqmr", dsymqmr}, {"sbcg", dsymbcg}, {"bcg", dbcg}, {"gmres", dgmres}, {"fgmres", dfgmres}};
const Named kDivisors[] = {{"sqmr", dsymqmr}, {"sbcg", dsymbcg}, {"bcg", dbcg}};

std::vector<double> ones_rhs(const Operator& a) {
    return multiply(a.dense, std::vector<double>(static_cast<size_t>(a.dense.n), 1.0));
}

TEST(StatusWorkTooShort, OneEntryShortIssuesNoRequest) {
    const Operator a = from_upper(laplace2d(4, 3));
    const auto b     = ones_rhs(a);
    for (const auto& m : kAll) {
        for (int restart : {0, 2, 7}) {
            RcOptions opt;
            opt.restart = restart;
            opt.work    = work_length(m.method, a.dense.n, restart) - 1;
            const std::vector<double> x0(b.size(), 0.5);
            const RcResult r = rc_solve(m.method, a, b, x0, opt);
            EXPECT_EQ(r.status, kWorkTooShort) << m.name;
            EXPECT_EQ(r.ipar[kWorkLength], opt.work + 1) << m.name;
            EXPECT_TRUE(r.sequence.empty()) << m.name;
            EXPECT_EQ(r.x, x0) << m.name;
        }
    }
}

TEST(StatusWorkTooShort, RestartBelowTwoNeedsRoomForFifteen) {
    const Operator a = from_upper(laplace2d(4, 3));
    const auto b     = ones_rhs(a);
    for (KrylovMethod method : {dgmres, dfgmres}) {
        RcOptions opt;
        opt.restart      = 1;
        opt.work         = work_length(method, a.dense.n, 2);
        const RcResult r = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), opt);
        EXPECT_EQ(r.status, kWorkTooShort);
        EXPECT_EQ(r.ipar[kWorkLength], work_length(method, a.dense.n, 15));
    }
}

TEST(StatusWorkTooShort, LengthBeyondIntIsCappedNotWrapped) {
    // 6n, 5n, 7n and n(m+2) exceed INT_MAX here; nothing is read or written.
    struct Case {
        KrylovMethod method;
        int n;
        int restart;
    };
    const Case cases[] = {{dsymqmr, 400000000, 0},
                          {dsymbcg, 500000000, 0},
                          {dbcg, 400000000, 0},
                          {dgmres, 1000000, 5000},
                          {dfgmres, 2000000000, INT_MAX}};
    for (const auto& c : cases) {
        int ipar[16]    = {0, 0, 0, INT_MAX, c.restart};
        double fpar[16] = {1e-6};
        double dummy[1] = {0.0};
        c.method(&c.n, dummy, dummy, ipar, fpar, dummy);
        EXPECT_EQ(ipar[0], kWorkTooShort);
        EXPECT_EQ(ipar[3], INT_MAX);
    }
}

TEST(StatusTolerances, UnusableGiveMinusFourOrTheFallback) {
    const Operator a                      = from_upper(laplace2d(4, 4));
    const auto b                          = ones_rhs(a);
    const std::pair<double, double> bad[] = {{1.0, 0.0}, {0.0, 0.0}, {-1e-3, 1e-9}, {1e-6, -1.0}};
    for (const auto& m : kAll) {
        for (const auto& [rtol, atol] : bad) {
            RcOptions opt;
            opt.rtol         = rtol;
            opt.atol         = atol;
            const RcResult r = rc_solve(m.method, a, b, std::vector<double>(b.size(), 0.0), opt);
            EXPECT_EQ(r.status, kBadTolerance) << m.name << " " << rtol << " " << atol;
            EXPECT_TRUE(r.sequence.empty());

            opt.start = -1;
            const RcResult forced =
                rc_solve(m.method, a, b, std::vector<double>(b.size(), 0.0), opt);
            EXPECT_EQ(forced.status, kConverged) << m.name;
            EXPECT_EQ(forced.fpar[kRelTol], 1e-6);
            EXPECT_EQ(forced.fpar[kAbsTol], 1e-16);
            EXPECT_LT(forced.relres, 1e-5) << m.name;
        }
    }
}

TEST(StatusIterationLimit, StopsAtTheLimit) {
    const Operator a = from_upper(laplace2d(10, 10, 0.5));
    const auto b     = ones_rhs(a);
    for (const auto& m : kAll) {
        for (int limit : {1, 6}) {
            RcOptions opt;
            opt.rtol         = 1e-14;
            opt.maxit        = limit;
            const RcResult r = rc_solve(m.method, a, b, std::vector<double>(b.size(), 0.0), opt);
            EXPECT_EQ(r.status, kIterLimit) << m.name << " limit " << limit;
            EXPECT_GE(r.ipar[kProducts], limit);
            EXPECT_LE(r.ipar[kProducts], limit + 2) << m.name;
        }
    }
}

TEST(StatusIterationLimit, LimitOneWinsEvenWhenTheFirstStepSolves) {
    Dense eye(6);
    for (int i = 0; i < 6; ++i) {
        eye(i, i) = 1.0;
    }
    const Operator a = from_dense(eye);
    const std::vector<double> b{1, 2, 3, 4, 5, 6};
    for (const auto& m : kDivisors) {
        RcOptions opt;
        opt.maxit        = 1;
        const RcResult r = rc_solve(m.method, a, b, std::vector<double>(6, 0.0), opt);
        EXPECT_EQ(r.status, kIterLimit) << m.name;
        // An initial guess that solves is found before the first iteration: status 0.
        const RcResult done = rc_solve(m.method, a, b, b, opt);
        EXPECT_EQ(done.status, kConverged) << m.name;
    }
}

TEST(StatusBreakdown, ZeroDivisorGivesMinusThree) {
    Dense swap(2);
    swap(0, 1) = swap(1, 0) = 1.0;  // d . A d = 0 for d = e1
    for (const auto& m : kDivisors) {
        const RcResult r = rc_solve(m.method, from_dense(swap), {1.0, 0.0}, {0.0, 0.0}, {});
        EXPECT_EQ(r.status, kBreakdown) << m.name;
    }
    Dense singular(2);
    singular(1, 1) = 1.0;  // A e1 = 0: the new basis vector is zero before orthogonalisation
    for (KrylovMethod method : {dgmres, dfgmres}) {
        const RcResult r = rc_solve(method, from_dense(singular), {1.0, 0.0}, {0.0, 0.0}, {});
        EXPECT_EQ(r.status, kBreakdown);
        EXPECT_EQ(r.ipar[kOrthoError], -1);
        EXPECT_TRUE(std::isfinite(r.x[0]) && std::isfinite(r.x[1]));
    }
}

TEST(StatusBreakdown, ZeroInitialResidualUnderChangeTestIsABreakdownForSqmr) {
    const Operator a = from_upper(laplace2d(3, 3));
    const auto b     = ones_rhs(a);
    RcOptions opt;
    opt.test         = -1;
    const RcResult r = rc_solve(dsymqmr, a, b, std::vector<double>(b.size(), 1.0), opt);
    EXPECT_EQ(r.status, kBreakdown);
    EXPECT_EQ(r.x, std::vector<double>(b.size(), 1.0));
}

TEST(StatusNonFinite, InfiniteDivisorGivesMinusNine) {
    const Operator a = from_upper(laplace2d(4, 4));
    const auto b     = ones_rhs(a);
    for (const auto& m : kDivisors) {
        RcOptions opt;
        opt.tamper = [](int code, int count, double* y) {
            if (code == kMatVec && count == 2) {
                y[0] = std::numeric_limits<double>::infinity();
            }
        };
        const RcResult r = rc_solve(m.method, a, b, std::vector<double>(b.size(), 0.0), opt);
        EXPECT_EQ(r.status, kNonFinite) << m.name;
    }
}

TEST(StatusNoConvergence, NotANumberMeetsTheTestButNotTheTarget) {
    const Operator a = from_upper(laplace2d(4, 4));
    const auto b     = ones_rhs(a);
    RcOptions opt;
    opt.test    = -1;
    opt.side    = 1;
    opt.precond = Precond::jacobi;
    opt.tamper  = [](int code, int count, double* y) {
        if (code == kLeftSolve && count == 2) {
            y[0] = std::numeric_limits<double>::quiet_NaN();
        }
    };
    const RcResult r = rc_solve(dsymqmr, a, b, std::vector<double>(b.size(), 0.0), opt);
    EXPECT_EQ(r.status, kNoConvergence);
}

TEST(StatusConverged, ExactInitialGuessStopsBeforeIterating) {
    const Operator a = from_upper(laplace2d(4, 5, 1.1));
    const std::vector<double> x(20, 0.25);
    const auto b = multiply(a.dense, x);
    for (const auto& m : kAll) {
        for (int test : {1, 2, 3}) {
            RcOptions opt;
            opt.test         = test;
            const RcResult r = rc_solve(m.method, a, b, x, opt);
            EXPECT_EQ(r.status, kConverged) << m.name << " test " << test;
            EXPECT_EQ(r.ipar[kProducts], 1) << m.name;
            EXPECT_EQ(r.fpar[kRate], 0.0) << m.name;
            EXPECT_EQ(r.x, x) << m.name;
        }
    }
}

}  // namespace
}  // namespace trelvak::test
