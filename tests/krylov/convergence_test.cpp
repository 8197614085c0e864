// Convergence of every method through reverse communication alone: SPD, indefinite and
// saddle-point systems, every preconditioning side, stopping tests 1, 2, -1, -2 and 3.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "rc_driver.h"

namespace trelvak::test {
namespace {

struct Named {
    const char* name;
    KrylovMethod method;
};
const Named kMethods[] = {
    {"sqmr", dsymqmr}, {"sbcg", dsymbcg}, {"bcg", dbcg}, {"gmres", dgmres}, {"fgmres", dfgmres}};

Operator problem(int which) {
    switch (which) {
        case 0:
            return from_upper(laplace2d(6, 6));  // SPD
        case 1:
            return from_upper(laplace2d(6, 6, 1.9));  // indefinite, 14 negative eigenvalues
        default:
            return from_upper(saddle_point(20, 8, 2, 7));  // saddle point
    }
}
const char* kProblemNames[] = {"spd", "shifted", "saddle"};

std::vector<double> rhs_of(const Operator& a) {
    std::vector<double> x(static_cast<size_t>(a.dense.n));
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = 1.0 + static_cast<double>(i % 7);
    }
    return multiply(a.dense, x);
}

// (problem, method, side, test)
class Converges : public ::testing::TestWithParam<std::tuple<int, int, int, int>> {};

TEST_P(Converges, ToTheSolution) {
    const auto [which, method, side, test] = GetParam();
    const Operator a                       = problem(which);
    const auto b                           = rhs_of(a);
    RcOptions opt;
    opt.side    = side;
    opt.test    = test;
    opt.rtol    = 1e-10;
    opt.maxit   = 3000;
    opt.restart = 20;
    opt.precond = side == 0 ? Precond::none : Precond::jacobi;
    const RcResult r =
        rc_solve(kMethods[method].method, a, b, std::vector<double>(b.size(), 0.0), opt);
    ASSERT_TRUE(r.slice_error.empty()) << r.slice_error;
    EXPECT_TRUE(r.guard_intact);
    EXPECT_EQ(r.status, 0) << status_text(r.status) << " after " << r.ipar[7] << " products";
    const double bound = test < 0 ? 1e-5 : 1e-7;
    EXPECT_LT(r.relres, bound);
    EXPECT_EQ(r.requests.count(2) + r.requests.count(4) + r.requests.count(6) > 0, method == 2);
    if (side == 0) {
        EXPECT_EQ(r.requests.count(3) + r.requests.count(5), 0u);
    }
    if (side == 1) {
        EXPECT_EQ(r.requests.count(5), 0u);
    }
    if (side == 2) {
        EXPECT_EQ(r.requests.count(3), 0u);
    }
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<int, int, int, int>>& info) {
    const int which     = std::get<0>(info.param);
    const int method    = std::get<1>(info.param);
    const int side      = std::get<2>(info.param);
    const int test      = std::get<3>(info.param);
    const char* sides[] = {"none", "left", "right", "both"};
    return std::string(kProblemNames[which]) + "_" + kMethods[method].name + "_" + sides[side] +
           "_test" + (test < 0 ? "m" : "") + std::to_string(test < 0 ? -test : test);
}

INSTANTIATE_TEST_SUITE_P(AllMethods, Converges,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Range(0, 5),
                                            ::testing::Values(0, 1, 2, 3),
                                            ::testing::Values(1, 2, -1, -2, 3)),
                         case_name);

// The exact inverse as preconditioner: every method is done in a step or two.
TEST(ConvergesWith, ExactPreconditionerOnEitherSide) {
    const Operator a = from_upper(laplace2d(5, 4, 1.3));
    const auto b     = rhs_of(a);
    for (const auto& m : kMethods) {
        for (int side : {1, 2, 3}) {
            RcOptions opt;
            opt.side         = side;
            opt.precond      = Precond::exact;
            const RcResult r = rc_solve(m.method, a, b, std::vector<double>(b.size(), 0.0), opt);
            EXPECT_EQ(r.status, 0) << m.name << " side " << side;
            EXPECT_LT(r.relres, 1e-9) << m.name << " side " << side;
            EXPECT_LE(r.ipar[7], m.method == dbcg ? 5 : 3) << m.name << " side " << side;
        }
    }
}

// A dense operator works the same way; test 999 answered by the caller.
TEST(ConvergesWith, CallerDecidesUnderTest999) {
    Dense d(12);
    for (int i = 0; i < 12; ++i) {
        d(i, i) = 3.0 + i;
        if (i + 1 < 12) {
            d(i, i + 1) = d(i + 1, i) = -1.0;
        }
    }
    const Operator a = from_dense(d);
    const auto b     = rhs_of(a);
    for (const auto& m : kMethods) {
        for (int side : {0, 1, 3}) {
            RcOptions opt;
            opt.test      = 999;
            opt.side      = side;
            opt.precond   = Precond::jacobi;
            opt.user_test = [&](const double* x) {
                std::vector<double> ax(b.size());
                a.apply(x, ax.data());
                double s = 0.0;
                for (size_t i = 0; i < b.size(); ++i) {
                    s += (b[i] - ax[i]) * (b[i] - ax[i]);
                }
                return std::sqrt(s) <= 1e-9 * norm2(b);
            };
            const RcResult r = rc_solve(m.method, a, b, std::vector<double>(b.size(), 0.0), opt);
            EXPECT_EQ(r.status, 0) << m.name << " side " << side;
            EXPECT_LE(r.relres, 1e-9) << m.name << " side " << side;
            EXPECT_GT(r.requests.count(10), 0u) << m.name;
        }
    }
}

}  // namespace
}  // namespace trelvak::test
