// Randomised runs of the factorization: random matrices (indefinite, zero and tiny diagonals,
// saddle points) under random options. Every run either fails with a documented code and a
// message, or returns a level list that passes the checker, stays within elbow and whose
// application is finite.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/level_check.h"
#include "common/testing.h"
#include "factor_support.h"

namespace trelvak::test {
namespace {

TEST(Random, FactorizationsAreValidOrReportedFailures) {
    std::mt19937_64 rng(20261208);
    const char* orderings[] = {"amd", "metisn", "metise", "rcm", "amf", "mmd", "none", "pp"};
    const char* cycles[]    = {"ilu", "amli", "mg"};
    int succeeded           = 0;
    for (int run = 0; run < 150; ++run) {
        const int kind = static_cast<int>(rng() % 3);
        const int n    = 20 + static_cast<int>(rng() % 300);
        Csr A = kind == 0 ? random_symmetric(n, 1 + static_cast<int>(rng() % 5), rng(), 0.3, 0.1,
                                             rng() % 2 == 0)
                : kind == 1
                    ? saddle_point(n, n / 3 + 1, 3, rng())
                    : laplace2d(4 + n / 20, 5 + n / 30, 0.02 * static_cast<double>(rng() % 100));
        Factored f;
        std::uniform_real_distribution<double> u(0.0, 1.0);
        f.param->droptol  = std::pow(10.0, -1.0 - 4.0 * u(rng));
        f.param->droptolS = std::pow(10.0, -1.0 - 5.0 * u(rng));
        f.param->condest  = 1.5 + 50.0 * u(rng);
        f.param->lfil     = static_cast<int>(rng() % 40) - 5;
        f.param->lfilS    = static_cast<int>(rng() % 60) - 5;
        f.param->elbow    = 2.0 + 15.0 * u(rng);
        f.param->matching = static_cast<int>(rng() % 2);
        f.param->flags    = rng() % 2 ? COARSE_REDUCE : 0u;
        set_text(f.param, &f.param->ordering, orderings[rng() % 8]);
        set_text(f.param, &f.param->amg, cycles[rng() % 3]);
        const int status = f.run(A);
        if (status != 0) {
            EXPECT_TRUE(status == kFactorElbow || status == kFactorSingular ||
                        status == kFactorNoPivots || status == kFactorZeroRow)
                << "run " << run << ": " << status << " " << f.info.message;
            EXPECT_EQ(f.levels, nullptr);
            EXPECT_FALSE(f.info.message.empty());
            continue;
        }
        ++succeeded;
        ASSERT_EQ(check_level_list(f.levels, f.param), "") << "run " << run;
        // The factorization's memory limit is the option rounded up (its copy in ifact[0]).
        EXPECT_LE(f.info.fill, std::ceil(f.param->elbow)) << "run " << run;
        std::vector<double> b(static_cast<size_t>(A.nr), 1.0);
        std::vector<double> x = apply_preconditioner(f.levels, f.param, b);
        for (double v : x) {
            ASSERT_TRUE(std::isfinite(v)) << "run " << run;
        }
    }
    EXPECT_GT(succeeded, 100);
}

}  // namespace
}  // namespace trelvak::test
