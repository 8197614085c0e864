// What a solve reports besides its status: ipar(7), ipar(13), the rate; dbcg against dsymbcg;
// the default test; the GMRES restart lengths; sound request slices at the exact work length.
#include <gtest/gtest.h>

#include <cmath>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "rc_driver.h"

namespace trelvak::test {
namespace {

const KrylovMethod kAll[] = {dsymqmr, dsymbcg, dbcg, dgmres, dfgmres};

std::vector<double> rhs_of(const Operator& a) {
    std::vector<double> x(static_cast<size_t>(a.dense.n));
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = std::cos(0.3 * static_cast<double>(i));
    }
    return multiply(a.dense, x);
}

// Products with A whose (operand, result) match; 0 matches anything.
int products(const RcResult& r, int operand, int result) {
    int k = 0;
    for (const auto& [code, op, out] : r.slices) {
        k += code == kMatVec && (operand == 0 || op == operand) && (result == 0 || out == result);
    }
    return k;
}

TEST(KrylovAccounting, ProductCountsAndRate) {
    const Operator a = from_upper(laplace2d(7, 6, 1.7));
    const int n      = 42;
    const auto b     = rhs_of(a);
    for (KrylovMethod method : kAll) {
        for (int side : {0, 1, 2}) {
            RcOptions opt;
            opt.side         = side;
            opt.precond      = Precond::jacobi;
            opt.rtol         = 1e-9;
            opt.restart      = 8;
            const RcResult r = rc_solve(method, a, b, std::vector<double>(n, 0.0), opt);
            ASSERT_EQ(r.status, kConverged);
            const int all = r.count(kMatVec) + r.count(kMatTVec);
            if (method == dsymqmr) {  // k steps A d: ipar(7) = k + 1; the final check is free
                EXPECT_EQ(r.ipar[kProducts], products(r, n + 1, 0) + 1);
                EXPECT_EQ(r.ipar[kProducts], all - 1);
                EXPECT_EQ(r.ipar[kResidualProducts], 1);
            } else if (method == dsymbcg || method == dbcg) {
                EXPECT_EQ(r.ipar[kProducts], all);
                EXPECT_EQ(r.ipar[kResidualProducts], 1);
            } else {  // every restart and check product writes into w(1..)
                EXPECT_EQ(r.ipar[kProducts], all);
                EXPECT_EQ(r.ipar[kResidualProducts], products(r, 0, 1));
            }
            if (method != dsymqmr) {  // SQMR replaces fpar(6) by the true residual afterwards
                EXPECT_NEAR(r.fpar[kRate],
                            std::log10(r.fpar[kInitNorm] / r.fpar[kTested]) /
                                (r.ipar[kProducts] - r.ipar[kResidualProducts]),
                            1e-12);
            }
            EXPECT_GT(r.fpar[kRate], 0.0);
            EXPECT_GT(r.fpar[kFlops], 0.0);
        }
    }
}

// On a symmetric system without preconditioning the shadow sequence of dbcg is the primary one:
// the iterates of dsymbcg at twice the products. Test 0 is test 1.
TEST(KrylovAccounting, BcgRepeatsSymmetricBcgAndTestZeroIsTestOne) {
    const Operator a = from_upper(laplace2d(7, 6, 1.7));
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
    ASSERT_EQ(iterates[0].size(), iterates[1].size());
    for (size_t k = 0; k < iterates[0].size(); ++k) {
        for (size_t i = 0; i < b.size(); ++i) {
            EXPECT_NEAR(iterates[0][k][i], iterates[1][k][i],
                        1e-9 * (1 + std::fabs(iterates[0][k][i])));
        }
    }
    // the initial product, then two per iteration, but the last stops before A^T
    EXPECT_EQ(gen.ipar[kProducts], 2 * (sym.ipar[kProducts] - 1));

    for (KrylovMethod method : kAll) {
        RcOptions one, zero;
        one.test                = 1;
        const RcResult with_one = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), one);
        const RcResult dflt     = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), zero);
        EXPECT_EQ(dflt.ipar[kStopTest], 1);
        EXPECT_EQ(dflt.sequence, with_one.sequence);
        EXPECT_EQ(dflt.x, with_one.x);
    }
}

TEST(KrylovAccounting, RestartLengths) {
    const Operator a = from_upper(laplace2d(12, 12, 0.3));
    const auto b     = rhs_of(a);
    for (KrylovMethod method : {dgmres, dfgmres}) {
        for (int restart : {0, 1, 2, 5}) {
            RcOptions opt;
            opt.restart      = restart;
            opt.rtol         = 1e-8;
            opt.maxit        = 400;
            const RcResult r = rc_solve(method, a, b, std::vector<double>(b.size(), 0.0), opt);
            std::vector<int> cycles;  // Arnoldi steps between restart products
            for (const auto& [code, op, out] : r.slices) {
                if (code == kMatVec && out == 1) {
                    cycles.push_back(0);
                } else if (code == kMatVec) {
                    ++cycles.back();
                }
            }
            const int m = restart < 2 ? 15 : restart;
            ASSERT_GE(cycles.size(), 3u);
            for (size_t c = 0; c + 1 < cycles.size(); ++c) {
                EXPECT_EQ(cycles[c], m) << "restart " << restart << " cycle " << c;
            }
            EXPECT_LE(cycles.back(), m);
        }
    }
}

// The driver stops at the first slice outside the work length or overlapping, and checks the
// guard entries beyond it; here every method runs at exactly the length it asks for.
TEST(KrylovAccounting, RequestSlicesAreSound) {
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
                opt.work         = work_length(method, a.dense.n, 3);
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
