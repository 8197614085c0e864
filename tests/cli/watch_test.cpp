// The watch on the first iterations and the cruder factor that replaces an unstable one.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/onebased.h"
#include "common/testing.h"
#include "factor/factor.h"
#include "problems.h"

namespace {

using trelvak::cli::Fallback;
using trelvak::cli::SolveResult;
using trelvak::cli::UpperMatrix;

UpperMatrix upper(const trelvak::test::Csr& c) {
    UpperMatrix m;
    m.n  = c.nr;
    m.ia = c.ia;
    m.ja = c.ja;
    m.a  = c.a;
    return m;
}

// A matrix with its default factor, b = A * ones.
struct Problem {
    UpperMatrix A;
    std::vector<double> pristine, b;
    ParameterRecord* param = nullptr;
    LevelRecord* levels    = nullptr;

    explicit Problem(const trelvak::test::Csr& c, double droptol = 0.0)
        : A(upper(c)), pristine(A.a) {
        const std::vector<double> ones(static_cast<size_t>(A.n), 1.0);
        b.resize(ones.size());
        trelvak::cli::symmetric_product(A, ones.data(), b.data());
        param = trelvak::create_parameters();
        if (droptol > 0.0) {
            param->droptol = droptol;
        }
        trelvak::FactorInfo info;
        EXPECT_EQ(trelvak::factor(A.record(), param, &levels, &info), 0);
        A.a = pristine;
    }
    ~Problem() {
        trelvak::release_levels(levels);
        trelvak::release_parameters(param);
    }
    Problem(const Problem&)            = delete;
    Problem& operator=(const Problem&) = delete;
};

// On this shifted 3D grid the default factor passes the factorization's stability probe (0.99)
// but is unstable: every method's residual grows or stalls from the start. The factor that keeps
// only the dominant entries converges.
TEST(Watch, UnstableFactorIsReplacedByTheCruderOne) {
    Problem p(trelvak::test::laplace3d(14, 14, 14, 1.0));
    const double droptol = p.param->droptol;
    const int maxit      = p.param->maxit;
    std::vector<double> x;
    const SolveResult watched =
        trelvak::cli::solve_watched(p.A, p.pristine, p.levels, p.param, p.b, &x);
    EXPECT_TRUE(watched.grew);
    EXPECT_EQ(watched.iterations, trelvak::cli::kWatchIterations);
    EXPECT_GE(watched.relres, 1.0);

    Fallback fallback;
    const SolveResult r =
        trelvak::cli::solve_with_fallback(p.A, p.pristine, p.levels, p.param, p.b, &x, &fallback);
    EXPECT_TRUE(r.grew);
    EXPECT_TRUE(r.fallback_used);
    EXPECT_EQ(r.status, 0);
    EXPECT_LE(r.relres, 1e-6);
    EXPECT_EQ(r.watched, trelvak::cli::kWatchIterations);
    EXPECT_EQ(trelvak::cli::relative_residual(p.A, p.b, x), r.relres);
    ASSERT_TRUE(fallback.tried);
    EXPECT_LT(fallback.info.fill, 1.0);
    // The options are the caller's again, and A's values are as they came.
    EXPECT_EQ(p.param->droptol, droptol);
    EXPECT_EQ(p.param->maxit, maxit);
    EXPECT_EQ(p.A.a, p.pristine);

    // A second solve reuses the cruder factor.
    LevelRecord* const made = fallback.levels;
    const SolveResult again =
        trelvak::cli::solve_with_fallback(p.A, p.pristine, p.levels, p.param, p.b, &x, &fallback);
    EXPECT_EQ(fallback.levels, made);
    EXPECT_EQ(again.iterations, r.iterations);
}

// GMRES and FGMRES never let the residual grow: under the same unstable factor theirs stalls,
// which marks the factor too, and the cruder factor solves the system.
TEST(Watch, StalledResidualOfGmresAndFgmresAlsoMarksTheFactor) {
    Problem p(trelvak::test::laplace3d(14, 14, 14, 1.0));
    const char* const solver = p.param->solver;
    p.param->nrestart        = 200;
    for (const char* method : {"gmres", "fgmres"}) {
        p.param->solver = method;
        std::vector<double> x;
        const SolveResult w =
            trelvak::cli::solve_watched(p.A, p.pristine, p.levels, p.param, p.b, &x);
        EXPECT_TRUE(w.grew) << method;
        EXPECT_LT(w.relres, 1.0) << method;
        EXPECT_STREQ(trelvak::cli::watch_verdict(w), "stalled");
        Fallback fallback;
        const SolveResult r = trelvak::cli::solve_with_fallback(p.A, p.pristine, p.levels, p.param,
                                                                p.b, &x, &fallback);
        EXPECT_TRUE(r.fallback_used) << method;
        EXPECT_EQ(r.status, 0) << method;
        EXPECT_LE(r.relres, 1e-6) << method;
        EXPECT_EQ(r.watch_relres, w.relres);
    }
    p.param->solver = solver;

    using trelvak::cli::unstable_after_watch;
    EXPECT_FALSE(unstable_after_watch("sqmr", 0.95));
    EXPECT_TRUE(unstable_after_watch("sqmr", 1.0));
    EXPECT_TRUE(unstable_after_watch("GMRES", 0.95));
    EXPECT_FALSE(unstable_after_watch("fgmres", 0.89));
    EXPECT_FALSE(unstable_after_watch(nullptr, 0.95));
    EXPECT_TRUE(unstable_after_watch("bcg", std::nan("")));
}

// A sound factor: the watch changes nothing but the time. Within the watch the solve is the plain
// one; beyond it (here close to the end: see the next test) it goes on from the watch's result
// and converges in about as many iterations as the plain solve.
TEST(Watch, SoundFactorGivesThePlainSolve) {
    Problem p(trelvak::test::saddle_point(300, 100, 3, 5), 0.05);
    for (const double restol : {1e-6, 1e-13}) {
        p.param->restol = restol;
        std::vector<double> plain, watched;
        const SolveResult a =
            trelvak::cli::solve_once(p.A, p.pristine, p.levels, p.param, p.b, &plain);
        Fallback fallback;
        const SolveResult w = trelvak::cli::solve_with_fallback(p.A, p.pristine, p.levels, p.param,
                                                                p.b, &watched, &fallback);
        EXPECT_EQ(w.status, a.status);
        EXPECT_FALSE(w.grew);
        EXPECT_FALSE(fallback.tried);
        EXPECT_EQ(w.watched, 0);
        // The loose tolerance is met within the watch, the tight one beyond it.
        const bool beyond = restol < 1e-10;
        EXPECT_EQ(a.iterations > trelvak::cli::kWatchIterations, beyond) << a.iterations;
        if (beyond) {
            EXPECT_LE(w.relres, restol);
            EXPECT_LE(w.iterations, a.iterations + 2);
        } else {
            EXPECT_EQ(w.iterations, a.iterations);
            EXPECT_EQ(watched, plain);
        }
    }
    // GMRES under the sound factor: no fallback either.
    const char* const solver = p.param->solver;
    p.param->solver          = "gmres";
    p.param->restol          = 1e-13;
    {
        std::vector<double> x;
        Fallback fallback;
        const SolveResult g = trelvak::cli::solve_with_fallback(p.A, p.pristine, p.levels, p.param,
                                                                p.b, &x, &fallback);
        EXPECT_FALSE(g.grew);
        EXPECT_FALSE(fallback.tried);
        EXPECT_GT(g.iterations, trelvak::cli::kWatchIterations);
    }
    p.param->solver = solver;
    // An iteration limit within the watch's length: no watch at all.
    p.param->maxit = 3;
    std::vector<double> x;
    const SolveResult s = trelvak::cli::solve_watched(p.A, p.pristine, p.levels, p.param, p.b, &x);
    EXPECT_EQ(s.status, trelvak::kIterLimit);
    EXPECT_EQ(s.watched, 0);
    EXPECT_FALSE(s.grew);
}

// Beyond the watch the solve starts over, unless the watch already reached sqrt(restol): then the
// rest is solved from the watch's result, its iterations counted with the watch's, and the answer
// is judged on b as always. The record's controls come back as they were.
TEST(Watch, CloseToTheEndTheSolveGoesOnFromTheWatch) {
    Problem p(trelvak::test::saddle_point(300, 100, 3, 5), 0.05);
    const int K = trelvak::cli::kWatchIterations;
    std::vector<double> x;
    p.param->maxit        = K;
    p.param->restol       = 1e-14;
    const SolveResult ten = trelvak::cli::solve_once(p.A, p.pristine, p.levels, p.param, p.b, &x);
    ASSERT_EQ(ten.status, trelvak::kIterLimit);
    ASSERT_LT(ten.relres, 0.1);
    p.param->maxit = 500;

    const double close = ten.relres / 10.0;  // sqrt(close) > ten.relres
    p.param->restol    = close;
    Fallback fallback;
    const SolveResult on =
        trelvak::cli::solve_with_fallback(p.A, p.pristine, p.levels, p.param, p.b, &x, &fallback);
    EXPECT_EQ(on.status, trelvak::kConverged);
    EXPECT_EQ(on.watched, 0);
    EXPECT_GT(on.iterations, K);
    EXPECT_LE(on.relres, close);
    EXPECT_EQ(on.relres, trelvak::cli::relative_residual(p.A, p.b, x));
    EXPECT_EQ(p.param->restol, close);
    EXPECT_EQ(p.param->maxit, 500);
    EXPECT_FALSE(on.grew);

    const double far = ten.relres * ten.relres / 10.0;  // sqrt(far) < ten.relres
    p.param->restol  = far;
    std::vector<double> plain;
    const SolveResult a = trelvak::cli::solve_once(p.A, p.pristine, p.levels, p.param, p.b, &plain);
    const SolveResult over =
        trelvak::cli::solve_with_fallback(p.A, p.pristine, p.levels, p.param, p.b, &x, &fallback);
    EXPECT_EQ(over.watched, K);
    EXPECT_EQ(over.iterations, a.iterations);
    EXPECT_EQ(x, plain);
}

}  // namespace

namespace {

// On course: at the pace since the last checkpoint, restol is met within the limit.
TEST(Watch, OnCourseMeansRestolWithinTheLimitAtTheLatestPace) {
    using trelvak::cli::off_course;
    EXPECT_EQ(trelvak::cli::checkpoint_spacing(500), 50);
    EXPECT_EQ(trelvak::cli::checkpoint_spacing(60), trelvak::cli::kMinSpacing);
    // From 1e-2 after 50 to 1e-3 after 100: a digit per 50 iterations, 1e-6 after 250.
    EXPECT_FALSE(off_course(50, 1e-2, 100, 1e-3, 250, 1e-6));
    EXPECT_TRUE(off_course(50, 1e-2, 100, 1e-3, 249, 1e-6));
    EXPECT_FALSE(off_course(50, 1e-2, 100, 1e-7, 101, 1e-6));  // already there
    EXPECT_TRUE(off_course(50, 1e-2, 100, 1e-2, 1000, 1e-6));  // no progress
    EXPECT_TRUE(off_course(50, 1e-2, 100, 2e-2, 1000, 1e-6));
    EXPECT_TRUE(off_course(50, 1e-2, 100, NAN, 1000, 1e-6));
}

// An SQMR solve that is off course at two checkpoints in a row, under an indefinite factor, goes
// on with GMRES from its iterate: the iterations of both count, the answer is judged on b, and
// the record comes back as it was. Under a positive definite factor it is never switched. A
// tolerance below rounding keeps both solves off course.
// The KKT matrix of a convex quadratic program with a rank-deficient Hessian block and nearly
// dependent constraints (the benchmark's family, order 21,000): under its regularized factor SQMR
// alone misses restol within 500 iterations. Its pace is off course at the checkpoints of 100 and
// 150 iterations, and GMRES, going on from its iterate, meets restol within the limit. The
// iterations of both count, the answer is judged on b, and the record comes back as it was.
TEST(Watch, SqmrOffCourseUnderAnIndefiniteFactorGoesOnWithGmres) {
    const trelvak::cli::UpperMatrix A = trelvak::bench::qp_kkt(15000, 6000, true, 23);
    Problem p(trelvak::test::Csr{A.n, A.n, A.ia, A.ja, A.a});
    ASSERT_EQ(p.param->maxit, 500);
    std::vector<double> plain, x;
    const SolveResult a = trelvak::cli::solve_once(p.A, p.pristine, p.levels, p.param, p.b, &plain);
    EXPECT_EQ(a.status, trelvak::kIterLimit);
    const char* const solver = p.param->solver;
    const int nrestart       = p.param->nrestart;
    Fallback fallback;
    const SolveResult s =
        trelvak::cli::solve_with_fallback(p.A, p.pristine, p.levels, p.param, p.b, &x, &fallback);
    EXPECT_EQ(s.status, trelvak::kConverged);
    EXPECT_EQ(s.switched_at, 150);
    EXPECT_EQ(s.restart, 500 - 150);
    EXPECT_LE(s.iterations, 500);
    EXPECT_EQ(s.relres, trelvak::cli::relative_residual(p.A, p.b, x));
    EXPECT_LE(s.relres, p.param->restol);
    EXPECT_EQ(p.param->solver, solver);
    EXPECT_EQ(p.param->nrestart, nrestart);
    EXPECT_EQ(p.param->maxit, 500);
    EXPECT_FALSE(fallback.tried);
}

// Under a positive definite factor (a shifted 3D grid with the crude factor: a diagonal) SQMR is
// never switched, though its residual stalls for the first 75 iterations.
TEST(Watch, SqmrUnderADefiniteFactorIsNotSwitched) {
    Problem p(trelvak::test::laplace3d(30, 30, 30, 0.72881), 0.3);
    p.param->maxit = 200;
    std::vector<double> plain, x;
    const SolveResult a = trelvak::cli::solve_once(p.A, p.pristine, p.levels, p.param, p.b, &plain);
    Fallback fallback;
    const SolveResult s =
        trelvak::cli::solve_with_fallback(p.A, p.pristine, p.levels, p.param, p.b, &x, &fallback);
    EXPECT_EQ(s.switched_at, 0);
    EXPECT_EQ(s.status, trelvak::kConverged);
    EXPECT_EQ(s.iterations, a.iterations);
}

}  // namespace
