// A scaling folded into the factors: the dense Bunch-Kaufman factor of E M E and a factored first
// level solve M itself, and the solver driver then iterates on the system as given.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/blas.h"
#include "common/level_check.h"
#include "common/testing.h"
#include "factor_support.h"
#include "solver/solver.h"

namespace trelvak::test {
namespace {

// Scales row and column i of a symmetric upper triangle by 2^k_i, k_i in [-spread, spread].
Csr badly_scaled(Csr A, int spread, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<double> s(static_cast<size_t>(A.nr));
    for (double& x : s) {
        x = std::ldexp(1.0, static_cast<int>(rng() % (2 * spread + 1)) - spread);
    }
    for (int i = 1; i <= A.nr; ++i) {
        for (int k = A.ia[i - 1]; k < A.ia[i]; ++k) {
            A.a[k - 1] *= s[i - 1] * s[A.ja[k - 1] - 1];
        }
    }
    return A;
}

TEST(Fold, DenseFactorOfTheScaledMatrixSolvesTheMatrix) {
    const int n = 40;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Dense M(n);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) {
            M(i, j) = M(j, i) = (i == j && i % 3 == 0) ? 0.0 : u(rng);  // indefinite, zeros
        }
    }
    std::vector<double> e(n);
    for (int i = 0; i < n; ++i) {
        e[i] = std::ldexp(1.0, static_cast<int>(rng() % 41) - 20);
    }
    // Bunch-Kaufman of E M E in packed lower form, then folded.
    std::vector<double> AP;
    for (int c = 0; c < n; ++c) {
        for (int r = c; r < n; ++r) {
            AP.push_back(e[r] * M(r, c) * e[c]);
        }
    }
    std::vector<int> ipiv(n);
    int info = 0;
    dsptrf_("L", &n, AP.data(), ipiv.data(), &info, 1);
    ASSERT_EQ(info, 0);
    bool pairs = false;
    for (int p : ipiv) {
        pairs = pairs || p < 0;
    }
    EXPECT_TRUE(pairs);  // both pivot kinds and row interchanges are exercised
    ASSERT_TRUE(factor_detail::fold_dense_scaling(n, AP, ipiv, e));
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i) {
        x[i] = 1.0 + i;
    }
    std::vector<double> b = multiply(M, x);
    const int one         = 1;
    dsptrs_("L", &n, &one, AP.data(), ipiv.data(), b.data(), &n, &info, 1);
    EXPECT_LT(rel_error(b, x), 1e-9);

    // A folded value that would overflow leaves the factor as it was.
    std::vector<double> huge(n, 1e300);
    huge[0]                    = 1e-300;
    std::vector<double> before = AP;
    EXPECT_FALSE(factor_detail::fold_dense_scaling(n, AP, ipiv, huge));
    EXPECT_EQ(AP, before);
}

// An exact factorization of a badly scaled matrix (scales 2^-12 .. 2^12) keeps no scaling on
// level 1 and still reproduces the solution through the level list; the driver then stops on
// the true residual.
TEST(Fold, FirstLevelCarriesNoScaling) {
    for (bool reduce : {true, false}) {
        Csr A = badly_scaled(random_symmetric(120, 4, 11, 0.2, 0.1), 12, 5);
        Factored f;
        set_exact(f.param);
        f.param->flags = reduce ? COARSE_REDUCE : 0u;
        ASSERT_EQ(f.run(A), 0) << f.info.message;
        ASSERT_EQ(check_level_list(f.levels, f.param), "");
        ASSERT_GE(f.info.nlev, 2);
        for (int i = 0; i < A.nr; ++i) {
            ASSERT_EQ(f.levels->rowscale[i], 1.0);
            ASSERT_EQ(f.levels->colscale[i], 1.0);
        }
        std::vector<double> x(static_cast<size_t>(A.nr));
        for (int i = 0; i < A.nr; ++i) {
            x[i] = std::cos(i);
        }
        const std::vector<double> b = multiply(dense_from_upper(A), x);
        const std::vector<double> y = apply_preconditioner(f.levels, f.param, b);
        EXPECT_LT(relative_residual(A, y, b), 1e-12) << reduce;
    }
}

// On a system scaled by 2^-12 .. 2^12 a residual weighted by the equilibration says little about
// the true one (iterating on the equilibrated system, a solve could stop at a true residual of
// 1e-3). The driver iterates on the system as given, so that success means a true residual
// below restol.
TEST(Fold, DriverStopsOnTheTrueResidualOfABadlyScaledSystem) {
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        Csr A = badly_scaled(saddle_point(300, 100, 3, seed), 12, seed);
        Factored f;
        ASSERT_EQ(f.run(A), 0) << f.info.message;
        std::vector<double> b(static_cast<size_t>(A.nr), 1.0);
        std::vector<double> x(static_cast<size_t>(A.nr), 0.0);
        f.param->restol  = 1e-6;
        f.param->maxit   = 300;
        SparseMatrix rec = A.record();
        ASSERT_EQ(DSYMAMGsolver(&rec, f.levels, f.param, b.data(), x.data()), 0) << seed;
        EXPECT_LT(relative_residual(A, x, b), 1e-6) << seed;
    }
}

}  // namespace
}  // namespace trelvak::test
