// What a solve reports besides its status: the product counts ipar(7) and ipar(13), the rate in
// fpar(7), the equivalence of dbcg and dsymbcg on a symmetric system, the default test, the GMRES
// restart lengths and the soundness of every request's slices.
#include <gtest/gtest.h>

#include <cmath>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "rc_driver.h"

namespace trelvak::test {
namespace {

const KrylovMethod kAll[] = {dsymqmr, dsymbcg, dbcg, dgmres, dfgmres};

Operator indefinite() {
    return from_upper(laplace2d(7, 6, 1.7));
}

std::vector<double> rhs_of(const Operator& a) {
    std::vector<double> x(static_cast<size_t>(a.dense.n));
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = std::cos(0.3 * static_cast<double>(i));
    }
    return multiply(a.dense, x);
}

int count(const RcResult& r, int code) {
    const auto it = r.requests.find(code);
    return it == r.requests.end() ? 0 : it->second;
}

TEST(Accounting, ProductCountsAndRate) {
    const Operator a = indefinite();
    const auto b     = rhs_of(a);
    for (KrylovMethod method : kAll) {
        for (int side : {0, 1, 2}) {
            RcOptions opt;
            opt.side         = side;
            opt.precond      = Precond::jacobi;
            opt.rtol         = 1e-9;
            opt.restart      = 8;
            const RcResult r = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), opt);
            ASSERT_EQ(r.status, kConverged);
            const int products = count(r, kMatVec) + count(r, kMatTVec);
            if (method == dsymqmr) {
                // k iterations: one initial product, k steps, one uncounted final check.
                EXPECT_EQ(r.ipar[kProducts], products - 1);
                EXPECT_EQ(r.ipar[kResidualProducts], 1);
                // ipar(7) = k + 1 where k counts the products A d
                int steps = 0;
                for (const auto& s : r.slices) {
                    steps += s[0] == kMatVec && s[1] == a.dense.n + 1;
                }
                EXPECT_EQ(r.ipar[kProducts], steps + 1);
                EXPECT_LT(r.fpar[kTested], 1e-8 * norm2(b));  // true residual after the end
            } else if (method == dsymbcg || method == dbcg) {
                EXPECT_EQ(r.ipar[kProducts], products);
                EXPECT_EQ(r.ipar[kResidualProducts], 1);
            } else {
                EXPECT_EQ(r.ipar[kProducts], products);
                int restarts = 0;  // every restart and check product writes into w(1..)
                for (const auto& s : r.slices) {
                    restarts += s[0] == kMatVec && s[2] == 1;
                }
                EXPECT_EQ(r.ipar[kResidualProducts], restarts);
            }
            const double expected = std::log10(r.fpar[kInitNorm] / r.fpar[kTested]) /
                                    (r.ipar[kProducts] - r.ipar[kResidualProducts]);
            if (method != dsymqmr) {  // SQMR's fpar(6) is replaced by the true residual later
                EXPECT_NEAR(r.fpar[kRate], expected, 1e-12);
            }
            EXPECT_GT(r.fpar[kRate], 0.0);
            EXPECT_GT(r.fpar[kFlops], 0.0);
        }
    }
}

// Without preconditioning on a symmetric system the shadow sequence of dbcg equals the primary
// one: the same iterates as dsymbcg, at twice the products.
TEST(Accounting, BcgRepeatsSymmetricBcgAtTwiceTheProducts) {
    const Operator a = indefinite();
    const auto b     = rhs_of(a);
    std::vector<std::vector<double>> iterates[2];
    int which = 0;
    RcOptions opt;
    opt.test      = 999;
    opt.user_test = [&](const double* x) {
        iterates[which].emplace_back(x, x + b.size());
        return iterates[which].size() == 25;
    };
    const RcResult sym = rc_solve(dsymbcg, a, b, std::vector<double>(b.size(), 0.0), opt);
    which              = 1;
    const RcResult gen = rc_solve(dbcg, a, b, std::vector<double>(b.size(), 0.0), opt);
    ASSERT_EQ(sym.status, kConverged);
    ASSERT_EQ(gen.status, kConverged);
    ASSERT_EQ(iterates[0].size(), iterates[1].size());
    for (size_t k = 0; k < iterates[0].size(); ++k) {
        for (size_t i = 0; i < b.size(); ++i) {
            EXPECT_NEAR(iterates[0][k][i], iterates[1][k][i],
                        1e-9 * (1.0 + std::fabs(iterates[0][k][i])));
        }
    }
    // The initial product, then two per iteration, except that the last one stops before A^T.
    EXPECT_EQ(gen.ipar[kProducts], 2 * (sym.ipar[kProducts] - 1));
}

TEST(Accounting, TestZeroIsTestOne) {
    const Operator a = indefinite();
    const auto b     = rhs_of(a);
    for (KrylovMethod method : kAll) {
        RcOptions opt;
        opt.test            = 0;
        const RcResult dflt = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), opt);
        opt.test            = 1;
        const RcResult one  = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), opt);
        EXPECT_EQ(dflt.ipar[kStopTest], 1);
        EXPECT_EQ(dflt.sequence, one.sequence);
        EXPECT_EQ(dflt.x, one.x);
    }
}

// Arnoldi steps between consecutive restart (or check) products.
std::vector<int> cycle_lengths(const RcResult& r) {
    std::vector<int> cycles;
    for (const auto& s : r.slices) {
        if (s[0] != kMatVec) {
            continue;
        }
        if (s[2] == 1) {
            cycles.push_back(0);
        } else {
            ++cycles.back();
        }
    }
    return cycles;
}

TEST(Accounting, RestartLengths) {
    const Operator a = from_upper(laplace2d(12, 12, 0.3));
    const auto b     = rhs_of(a);
    for (KrylovMethod method : {dgmres, dfgmres}) {
        for (int restart : {0, 1, 2, 5}) {
            RcOptions opt;
            opt.restart       = restart;
            opt.rtol          = 1e-8;
            opt.maxit         = 400;
            const RcResult r  = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), opt);
            const int m       = restart < 2 ? 15 : restart;
            const auto cycles = cycle_lengths(r);
            ASSERT_GE(cycles.size(), 3u);
            for (size_t c = 0; c + 1 < cycles.size(); ++c) {
                EXPECT_EQ(cycles[c], m) << "restart " << restart << " cycle " << c;
            }
            EXPECT_LE(cycles.back(), m);
        }
    }
}

// Slices inside the work length and apart, for every side, restart and method; the driver stops
// at the first unsound slice and checks guard entries beyond the work length.
TEST(Accounting, RequestSlicesAreSound) {
    const Operator a = from_upper(saddle_point(9, 4, 2, 3));
    const auto b     = rhs_of(a);
    for (KrylovMethod method : kAll) {
        for (int side : {0, 1, 2, 3}) {
            for (int test : {1, -2, 3, 999}) {
                RcOptions opt;
                opt.side         = side;
                opt.test         = test;
                opt.restart      = 3;
                opt.maxit        = 60;
                opt.precond      = Precond::jacobi;
                opt.work         = work_length(method, a.dense.n, 3);  // exactly the length needed
                opt.user_test    = [](const double*) { return false; };
                const RcResult r = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), opt);
                EXPECT_TRUE(r.slice_error.empty()) << r.slice_error;
                EXPECT_TRUE(r.guard_intact);
                EXPECT_FALSE(r.hung);
            }
        }
    }
}

}  // namespace
}  // namespace trelvak::test
