// A stop asked for by the user, polled by the factorization and the solver driver: it ends the
// work with Interrupted wherever it comes, leaves nothing allocated (the sanitizer build checks),
// hands the caller's matrix, right-hand side and guess back unscaled, and leaves a level list and
// a parameter record that solve as before.
#include "common/interrupt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "factor_support.h"
#include "solver/solver.h"

namespace {

using trelvak::Interrupted;
using trelvak::test::Csr;
using trelvak::test::Factored;

// A check that says "stop" at its n-th poll; polls counts every call.
int polls     = 0;
int stop_from = 0;
bool stop_at_poll() {
    return ++polls >= stop_from;
}

struct CheckInstalled {
    explicit CheckInstalled(int from) {
        polls     = 0;
        stop_from = from;
        trelvak::set_interrupt_check(stop_at_poll);
    }
    ~CheckInstalled() { trelvak::set_interrupt_check(nullptr); }
    CheckInstalled(const CheckInstalled&)            = delete;
    CheckInstalled& operator=(const CheckInstalled&) = delete;
};

TEST(Interrupt, FactorizationStopsAtEveryPollAndLeavesNothing) {
    Csr A     = trelvak::test::laplace3d(14, 14, 14, 0.5);
    int total = 0;
    {
        CheckInstalled count(1 << 30);
        Factored f;
        ASSERT_EQ(f.run(A), 0);
        total = polls;
    }
    ASSERT_GT(total, 3);
    for (int from = 1; from <= total; from += std::max(1, total / 7)) {
        CheckInstalled stop(from);
        Factored f;
        EXPECT_THROW(f.run(A), Interrupted) << "poll " << from;
        EXPECT_EQ(f.levels, nullptr);
    }
}

// An unstable first factor is made again under other controls; a stop in one of those
// factorizations releases the factor already made and gives the caller's record back unchanged,
// so that the next factorization with it is the one it would have been.
TEST(Interrupt, StopWhileAnUnstableFactorIsMadeAgainLeavesTheRecordAsItWas) {
    Csr A = trelvak::test::laplace3d(12, 12, 12, 1.0);  // steadied by nested dissection
    Factored reference;
    ASSERT_EQ(reference.run(A), 0);
    ASSERT_TRUE(reference.info.steadied);
    int total = 0;
    {
        CheckInstalled count(1 << 30);
        Factored f;
        ASSERT_EQ(f.run(A), 0);
        total = polls;
    }
    for (int from = total / 2; from <= total; from += std::max(1, total / 8)) {
        CheckInstalled stop(from);
        Factored f;
        EXPECT_THROW(f.run(A), Interrupted) << "poll " << from;
        EXPECT_EQ(f.levels, nullptr);
        EXPECT_EQ(f.param->condest, 10.0);
        EXPECT_STREQ(f.param->ordering, "amd");
        trelvak::set_interrupt_check(nullptr);
        ASSERT_EQ(f.run(A), 0) << "poll " << from;
        EXPECT_EQ(f.info.probe, reference.info.probe) << "poll " << from;
        EXPECT_EQ(f.info.nnz_stored, reference.info.nnz_stored) << "poll " << from;
    }
}

TEST(Interrupt, SolveStopsWithTheSystemUnscaledAndTheHandleUsable) {
    Csr A = trelvak::test::laplace2d(30, 30, 0.3);
    Factored f;
    ASSERT_EQ(f.run(A), 0);
    const int n = A.nr;
    std::vector<double> b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) b[static_cast<size_t>(i)] = 1.0 + i % 7;
    const std::vector<double> a0 = A.a, b0 = b;
    std::vector<double> x(static_cast<size_t>(n), 0.25);
    SparseMatrix record = A.record();
    {
        CheckInstalled stop(5);
        EXPECT_THROW(DSYMAMGsolver(&record, f.levels, f.param, b.data(), x.data()), Interrupted);
    }
    // Scaled and unscaled again: equal up to the rounding of the two operations.
    for (size_t k = 0; k < a0.size(); ++k) {
        EXPECT_NEAR(A.a[k], a0[k], 1e-14 * std::abs(a0[k]));
    }
    for (size_t i = 0; i < b0.size(); ++i) {
        EXPECT_NEAR(b[i], b0[i], 1e-14 * b0[i]);
    }
    std::fill(x.begin(), x.end(), 0.0);
    ASSERT_EQ(DSYMAMGsolver(&record, f.levels, f.param, b.data(), x.data()), 0);
    EXPECT_LT(trelvak::test::relative_residual(A, x, b), 1e-6);
}

}  // namespace
