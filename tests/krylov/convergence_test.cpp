// Convergence of every method through reverse communication alone: an SPD, an indefinite and a
// saddle-point system, each preconditioning side, stopping tests 1, 2, -1, -2, 3 and 999.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "rc_driver.h"

namespace trelvak::test {
namespace {

const std::pair<const char*, KrylovMethod> kMethods[] = {
    {"sqmr", dsymqmr}, {"sbcg", dsymbcg}, {"bcg", dbcg}, {"gmres", dgmres}, {"fgmres", dfgmres}};
const char* kProblems[] = {"spd", "shifted", "saddle"};

Operator problem(int which) {
    if (which == 0) {
        return from_upper(laplace2d(6, 6));
    }
    if (which == 1) {
        return from_upper(laplace2d(6, 6, 1.9));  // 14 negative eigenvalues
    }
    return from_upper(saddle_point(20, 8, 2, 7));
}

std::vector<double> rhs_of(const Operator& a) {
    std::vector<double> x(static_cast<size_t>(a.dense.n));
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = 1.0 + static_cast<double>(i % 7);
    }
    return multiply(a.dense, x);
}

// No expected failures: every method, side and test converges on all three systems.
class KrylovConverges : public ::testing::TestWithParam<std::tuple<int, int, int, int>> {};

TEST_P(KrylovConverges, ToTheSolution) {
    const auto [which, method, side, test] = GetParam();
    const Operator a                       = problem(which);
    const auto b                           = rhs_of(a);
    RcOptions opt;
    opt.side      = side;
    opt.test      = test;
    opt.maxit     = 3000;
    opt.restart   = 20;
    opt.precond   = side == 0 ? Precond::none : Precond::jacobi;
    opt.user_test = [&](const double* x) {  // test 999: the caller's own residual test
        const auto ax = multiply(a.dense, std::vector<double>(x, x + b.size()));
        double s      = 0.0;
        for (size_t i = 0; i < b.size(); ++i) {
            s += (b[i] - ax[i]) * (b[i] - ax[i]);
        }
        return std::sqrt(s) <= 1e-9 * norm2(b);
    };
    const RcResult r =
        rc_solve(kMethods[method].second, a, b, std::vector<double>(b.size(), 0.0), opt);
    ASSERT_TRUE(r.slice_error.empty()) << r.slice_error;
    EXPECT_TRUE(r.guard_intact);
    EXPECT_EQ(r.status, kConverged) << status_text(r.status) << " after " << r.ipar[kProducts];
    EXPECT_LT(r.relres, test < 0 ? 1e-5 : 1e-7);
    EXPECT_EQ(r.count(kMatTVec) > 0, method == 2);  // only dbcg asks for transposes
    EXPECT_EQ(r.count(kLeftSolve) > 0, side == 1 || side == 3);
    EXPECT_EQ(r.count(kRightSolve) > 0, side >= 2);
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<int, int, int, int>>& info) {
    const auto [which, method, side, test] = info.param;
    const char* sides[]                    = {"none", "left", "right", "both"};
    return std::string(kProblems[which]) + "_" + kMethods[method].first + "_" + sides[side] +
           "_test" + (test < 0 ? "m" : "") + std::to_string(std::abs(test));
}

INSTANTIATE_TEST_SUITE_P(AllMethods, KrylovConverges,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Range(0, 5),
                                            ::testing::Values(0, 1, 2, 3),
                                            ::testing::Values(1, 2, -1, -2, 3, 999)),
                         case_name);

// The exact inverse as preconditioner: every method is done in a step or two.
TEST(KrylovConvergesWith, ExactPreconditionerOnEverySide) {
    const Operator a = from_upper(laplace2d(5, 4, 1.3));
    const auto b     = rhs_of(a);
    for (const auto& [name, method] : kMethods) {
        for (int side : {1, 2, 3}) {
            RcOptions opt;
            opt.side         = side;
            opt.precond      = Precond::exact;
            const RcResult r = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), opt);
            EXPECT_EQ(r.status, kConverged) << name << " side " << side;
            EXPECT_LT(r.relres, 1e-9) << name << " side " << side;
            EXPECT_LE(r.ipar[kProducts], method == dbcg ? 5 : 3) << name << " side " << side;
        }
    }
}

// A dense operator (rather than compressed rows) behaves the same.
TEST(KrylovConvergesWith, DenseOperator) {
    Dense d(12);
    for (int i = 0; i < 12; ++i) {
        d(i, i) = 3.0 - i;  // indefinite tridiagonal
        if (i + 1 < 12) {
            d(i, i + 1) = d(i + 1, i) = -1.0;
        }
    }
    const Operator a = from_dense(d);
    const auto b     = rhs_of(a);
    for (const auto& [name, method] : kMethods) {
        const RcResult r = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), {});
        EXPECT_EQ(r.status, kConverged) << name;
        EXPECT_LT(r.relres, 1e-8) << name;
    }
}

}  // namespace
}  // namespace trelvak::test
