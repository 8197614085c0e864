// Tests of DSYMAMGsolver: every method with every cycle solves a system whose level list the test
// producer built; unpreconditioned runs; data come back unscaled after early failures and after a
// fatal stop; the norm estimate of stopping test 3; work lengths beyond the int range; reuse of
// the work buffer; the status follows the true residual of the unscaled system (a method's
// success that the true residual belies, a good answer at the iteration limit, a tolerance below
// the attainable accuracy without a limit).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/onebased.h"
#include "common/testing.h"
#include "krylov/krylov.h"
#include "precond/level_producer.h"
#include "solver/alloc_testing.h"
#include "solver/solver.h"

namespace {

using trelvak::test::Csr;
using trelvak::test::ProducerOptions;

struct FatalStop {
    std::string message;
};

[[noreturn]] void throwing_handler(FatalChannel, const char* message) {
    throw FatalStop{message};
}

// Sane options for the solves below: SQMR, multilevel ILU, left preconditioning, test 1.
void set_solve_options(ParameterRecord& p) {
    p.restol        = 1e-10;
    p.maxit         = 300;
    p.nrestart      = 20;
    p.solver        = "sqmr";
    p.amg           = "ilu";
    p.npresmoothing = 1;
    p.npostmoothing = 1;
    p.ncoarse       = 1;
    p.presmoother   = "gsf";
    p.damping       = 0.8;
    p.ipar[1]       = 1;  // ipar(2): left preconditioning
    p.ipar[2]       = 0;  // ipar(3): the method's default test
    p.fpar[1]       = 0.0;
}

// ||b - A x|| for A given by its upper triangle.
double residual_norm(const Csr& A, const std::vector<double>& b, const std::vector<double>& x) {
    const auto Ax = trelvak::test::multiply(trelvak::test::dense_from_upper(A), x);
    double r      = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        r += (Ax[i] - b[i]) * (Ax[i] - b[i]);
    }
    return std::sqrt(r);
}

// A solve set-up: matrix, level list and parameter record with sane options.
struct Problem {
    Csr A;
    ProducerOptions options;
    std::unique_ptr<trelvak::test::LevelList> list;
    std::unique_ptr<ParameterRecord> param;
    std::vector<double> b;

    Problem(Csr matrix, ProducerOptions o) : A(std::move(matrix)), options(std::move(o)) {
        list  = produce_level_list(A, options);
        param = trelvak::test::make_parameters(options);
        set_solve_options(*param);
        b.resize(static_cast<size_t>(A.nr));
        for (int i = 0; i < A.nr; ++i) {
            b[static_cast<size_t>(i)] = 1.0 + std::sin(0.3 * i);
        }
    }
    ~Problem() { std::free(param->dbuff); }
    Problem(const Problem&)            = delete;
    Problem& operator=(const Problem&) = delete;

    // Runs the driver from the initial guess x0 (zero by default); returns the status.
    int solve(std::vector<double>& x) {
        if (x.empty()) {
            x.assign(b.size(), 0.0);
        }
        SparseMatrix record = A.record();
        rhs                 = b;
        return DSYMAMGsolver(&record, list->first(), param.get(), rhs.data(), x.data());
    }
    double residual(const std::vector<double>& x) const {
        const auto Ax = trelvak::test::multiply(trelvak::test::dense_from_upper(A), x);
        double r = 0.0, nb = 0.0;
        for (size_t i = 0; i < x.size(); ++i) {
            r += (Ax[i] - b[i]) * (Ax[i] - b[i]);
            nb += b[i] * b[i];
        }
        return std::sqrt(r / nb);
    }
    std::vector<double> rhs;
};

ProducerOptions three_levels() {
    ProducerOptions o;
    o.block_sizes = {16, 12, 12};
    o.pivots      = trelvak::test::PivotRule::kPrefer2x2;
    o.seed        = 5;
    return o;
}

Csr indefinite(int n, std::uint64_t seed) {
    return trelvak::test::random_symmetric(n, 4, seed, 0.1);
}

void expect_close(const std::vector<double>& x, const std::vector<double>& ref, const char* what) {
    ASSERT_EQ(x.size(), ref.size());
    for (size_t i = 0; i < x.size(); ++i) {
        EXPECT_NEAR(x[i], ref[i], 1e-14 * std::max(1.0, std::abs(ref[i]))) << what << " " << i;
    }
}

TEST(SolverDriver, EveryMethodAndCycleSolves) {
    for (const char* solver : {"sqmr", "sbcg", "bcg", "gmres", "fgmres"}) {
        for (const char* amg : {"ilu", "amli", "mg"}) {
            for (int side : {1, 2}) {
                Problem p(indefinite(40, 3), three_levels());
                p.param->solver    = solver;
                p.param->amg       = amg;
                p.param->ncoarse   = 2;
                p.param->ipar[1]   = side;
                const Csr original = p.A;
                std::vector<double> x;
                const int status = p.solve(x);
                EXPECT_EQ(status, 0) << solver << "/" << amg << "/side " << side << ": "
                                     << trelvak::status_text(status);
                EXPECT_LT(p.residual(x), 1e-8) << solver << "/" << amg << "/side " << side;
                EXPECT_GT(p.param->ipar[6], 0) << "ipar(7) counts the products";
                expect_close(p.A.a, original.a, "A");
                expect_close(p.rhs, p.b, "rhs");
            }
        }
    }
}

// Checkpoints of a state: every `checkpoint` products of an SQMR run the judge sees the true
// relative residual of the iterate. A judge that lets it go changes nothing; one that says "off
// course" ends the solve there with that iterate and the limit status, and no replacement run
// follows. Other methods are not judged.
TEST(SolverDriver, CheckpointsJudgeSqmrsIterateAndEndTheSolveOnlyWhenTold) {
    // Preconditioned by the exact factor of a neighbouring matrix, so that SQMR iterates.
    Problem p(indefinite(40, 11), three_levels());
    Csr poor = p.A;
    for (int i = 0; i < poor.nr; ++i) {
        const auto first = static_cast<size_t>(poor.ia[static_cast<size_t>(i)] - 1);
        poor.a[first] += 0.5 * std::sin(3.0 * i);  // the diagonal, where the row stores it
    }
    p.list = produce_level_list(poor, p.options);
    std::vector<double> plain;
    ASSERT_EQ(p.solve(plain), 0);
    const int products = p.param->ipar[trelvak::kProducts - 1];
    ASSERT_GT(products, 9);
    for (const int stop_at : {0, 2}) {
        trelvak::krylov::SolveState state;
        state.checkpoint = 3;
        std::vector<std::pair<int, double>> seen;
        state.off_course = [&](int k, double relres, bool) {
            seen.push_back({k, relres});
            return static_cast<int>(seen.size()) == stop_at;
        };
        std::vector<double> x(p.b.size(), 0.0);
        SparseMatrix record = p.A.record();
        p.rhs               = p.b;
        const int status =
            DSYMAMGsolver(&record, p.list->first(), p.param.get(), p.rhs.data(), x.data(), &state);
        ASSERT_FALSE(seen.empty());
        for (size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].first, 3 * static_cast<int>(i + 1));
        }
        EXPECT_EQ(state.stopped_off_course, stop_at > 0);
        if (stop_at == 0) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(p.param->ipar[trelvak::kProducts - 1], products);
            expect_close(x, plain, "x");
        } else {
            EXPECT_EQ(status, trelvak::kIterLimit);
            EXPECT_EQ(seen.size(), 2u);
            EXPECT_EQ(p.param->ipar[trelvak::kProducts - 1], 6);
            EXPECT_NEAR(p.residual(x), seen.back().second, 1e-9 * seen.back().second);
            expect_close(p.rhs, p.b, "rhs");
        }
    }
    p.param->solver = "gmres";
    trelvak::krylov::SolveState state;
    state.checkpoint = 3;
    int calls        = 0;
    state.off_course = [&](int, double, bool) { return ++calls > 0; };
    std::vector<double> x(p.b.size(), 0.0);
    SparseMatrix record = p.A.record();
    p.rhs               = p.b;
    EXPECT_EQ(
        DSYMAMGsolver(&record, p.list->first(), p.param.get(), p.rhs.data(), x.data(), &state), 0);
    EXPECT_EQ(calls, 0);
}

// The level list below would stop the process if it were applied (a marked level without
// COARSE_REDUCE); with ipar(2) = 0 or >= 3 every preconditioner request is a copy.
TEST(SolverDriver, NoPreconditionedSideRunsUnpreconditioned) {
    ProducerOptions o           = three_levels();
    o.block_sizes               = {8, 6, 6};
    o.coarse_reduce             = false;
    o.marked                    = {1};
    const FatalHandler previous = trelvak_set_fatal_handler(throwing_handler);
    for (int side : {0, 3}) {
        Problem p(trelvak::test::laplace2d(4, 5, 1.3), o);
        p.param->ipar[1] = side;
        p.param->restol  = 1e-9;
        std::vector<double> x;
        try {
            EXPECT_EQ(p.solve(x), 0) << "side " << side;
            EXPECT_LT(p.residual(x), 1e-7);
        } catch (const FatalStop&) {
            ADD_FAILURE() << "the preconditioner was applied with ipar(2) = " << side;
        }
    }
    trelvak_set_fatal_handler(previous);
}

TEST(SolverDriver, FailureOnTheFirstCallLeavesEverythingUnscaled) {
    struct Case {
        const char* solver;
        int nrestart;
        double restol;
        int status;
    };
    for (const Case& c : {Case{"sqmr", 20, 1.0, trelvak::kBadTolerance},
                          Case{"gmres", 1, 1e-8, trelvak::kWorkTooShort}}) {
        Problem p(indefinite(40, 7), three_levels());
        p.param->solver    = c.solver;
        p.param->nrestart  = c.nrestart;
        p.param->restol    = c.restol;
        const Csr original = p.A;
        std::vector<double> x(40, 0.5), x0 = x;
        EXPECT_EQ(p.solve(x), c.status) << c.solver;
        EXPECT_EQ(p.param->ipar[6], 0) << "no product was made";
        expect_close(p.A.a, original.a, "A");
        expect_close(p.rhs, p.b, "rhs");
        expect_close(x, x0, "sol");
    }
}

TEST(SolverDriver, FatalStopInsideTheSolveLeavesEverythingUnscaled) {
    ProducerOptions o = three_levels();
    o.coarse_reduce   = false;
    o.marked          = {2};
    Problem p(indefinite(40, 9), o);
    const Csr original = p.A;
    std::vector<double> x(40, 0.25), x0 = x;
    const FatalHandler previous = trelvak_set_fatal_handler(throwing_handler);
    EXPECT_THROW(p.solve(x), FatalStop);
    trelvak_set_fatal_handler(previous);
    expect_close(p.A.a, original.a, "A");
    expect_close(p.rhs, p.b, "rhs");
    // sol holds the method's iterate, unscaled; here still the initial guess (no step was made).
    expect_close(x, x0, "sol");
}

TEST(SolverDriver, NormEstimateOfStoppingTestThree) {
    Csr A;
    A.nr = A.nc = 2;
    A.ia        = {1, 3, 4};
    A.ja        = {1, 2, 2};
    A.a         = {1.0, -3.0, 2.0};
    ProducerOptions o;
    o.block_sizes = {2};
    o.scale       = false;
    o.permute     = false;
    Problem p(A, o);
    p.param->ipar[2] = 3;  // ipar(3): stopping test 3
    std::vector<double> x;
    EXPECT_EQ(p.solve(x), 0);
    EXPECT_EQ(p.param->fpar[11], 5.0);  // fpar(12)
    EXPECT_LT(p.residual(x), 1e-12);
}

TEST(SolverDriver, WorkLengthBeyondTheIntRangeIsTooShort) {
    // A work length near INT_MAX for GMRES on a large diagonal system: the driver's total
    // P + ipar(4) + 2n no longer fits. The level list is not read before the length check.
    const int n = 20000;
    Csr A;
    A.nr = A.nc = n;
    A.ia.resize(static_cast<size_t>(n) + 1);
    for (int i = 0; i < n; ++i) {
        A.ia[static_cast<size_t>(i)] = i + 1;
        A.ja.push_back(i + 1);
        A.a.push_back(2.0);
    }
    A.ia[static_cast<size_t>(n)] = n + 1;
    auto gmres_length            = [n](long long m) { return (m * m + m) / 2 + (m + 2) * (n + 3); };
    long long m                  = 1;
    while (gmres_length(m + 1) <= INT_MAX) {
        ++m;
    }
    ASSERT_GT(gmres_length(m) + 5LL * n, static_cast<long long>(INT_MAX));

    LevelRecord level{};
    level.nlev = 1;
    level.n    = n;
    level.nB   = n;
    ParameterRecord param{};
    param.solver = "gmres";
    param.amg    = "ilu";
    param.restol = 1e-8;
    param.maxit  = 10;
    std::vector<double> rhs(static_cast<size_t>(n), 1.0), x(static_cast<size_t>(n), 3.0);
    const std::vector<double> a0 = A.a;
    SparseMatrix record          = A.record();
    for (long long restart : {m, 100000LL}) {  // the total, then ipar(4) itself, too long
        param.nrestart = static_cast<int>(restart);
        EXPECT_EQ(DSYMAMGsolver(&record, &level, &param, rhs.data(), x.data()),
                  trelvak::kWorkTooShort);
        EXPECT_EQ(param.ipar[0], trelvak::kWorkTooShort);
        EXPECT_EQ(param.dbuff, nullptr) << "nothing may be allocated";
        EXPECT_EQ(param.ndbuff, 0);
    }
    EXPECT_EQ(A.a, a0);
    EXPECT_EQ(rhs, std::vector<double>(static_cast<size_t>(n), 1.0));
    EXPECT_EQ(x, std::vector<double>(static_cast<size_t>(n), 3.0));
}

TEST(SolverDriver, SecondIdenticalSolveReusesTheBuffer) {
    for (const char* amg : {"ilu", "amli", "mg"}) {
        Problem p(indefinite(40, 11), three_levels());
        p.param->amg = amg;
        std::vector<double> x1, x2;
        ASSERT_EQ(p.solve(x1), 0);
        const double* buffer = p.param->dbuff;
        const int capacity   = p.param->ndbuff;
        ASSERT_NE(buffer, nullptr);
        const FatalHandler previous = trelvak_set_fatal_handler(throwing_handler);
        trelvak::testing::fail_allocation(1);  // any allocation now fails
        try {
            EXPECT_EQ(p.solve(x2), 0) << amg;
        } catch (const FatalStop& stop) {
            ADD_FAILURE() << "the second solve allocated: " << stop.message;
        }
        trelvak::testing::fail_allocation(0);
        trelvak_set_fatal_handler(previous);
        EXPECT_EQ(p.param->dbuff, buffer);
        EXPECT_EQ(p.param->ndbuff, capacity);
        EXPECT_EQ(x1, x2) << "identical solves give identical results";
    }
}

TEST(SolverDriver, BufferGrowsForALongerMethodAndKeepsItsCapacity) {
    Problem p(indefinite(40, 11), three_levels());
    std::vector<double> x;
    ASSERT_EQ(p.solve(x), 0);
    const int sqmr_capacity = p.param->ndbuff;
    EXPECT_GE(sqmr_capacity, 3 * 40 + 6 * 40 + 2 * 40);
    p.param->solver = "fgmres";
    x.clear();
    ASSERT_EQ(p.solve(x), 0);
    const int fgmres_capacity = p.param->ndbuff;
    EXPECT_GT(fgmres_capacity, sqmr_capacity);
    p.param->solver = "sqmr";
    x.clear();
    ASSERT_EQ(p.solve(x), 0);
    EXPECT_EQ(p.param->ndbuff, fgmres_capacity) << "the buffer never shrinks";
}

// A negative definite matrix whose diagonal is graded over fourteen decades: A = -(G S G), S the
// 5-point Laplacian on a 12 x 12 grid, G = diag(g) with g from 1 down to 1e-7 scattered over the
// rows, so cond(A) is about 1e16. Level 1's scaling is 1/g: the scaled system the method sees is
// the well-conditioned -S, and the level list is the exact factor of -S with its diagonal
// perturbed (a poor preconditioner). The right-hand side is the unit vector of the row with the
// smallest g: after the scaling it dominates the rows where the unscaled residual weighs least,
// so a residual the method finds small relative to its own b can be large relative to ||b||.
struct GradedProblem {
    Csr A;
    std::vector<double> scaling, b;
    std::unique_ptr<trelvak::test::LevelList> list;
    std::unique_ptr<ParameterRecord> param;

    GradedProblem() {
        const Csr S         = trelvak::test::laplace2d(12, 12);
        const int n         = S.nr;
        const auto position = trelvak::test::random_permutation(n, 3);
        std::vector<double> g(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            g[static_cast<size_t>(position[static_cast<size_t>(i)] - 1)] =
                std::pow(1e-7, static_cast<double>(i) / (n - 1));
        }
        A        = S;
        Csr poor = S;
        for (int i = 0; i < n; ++i) {
            for (int k = S.ia[static_cast<size_t>(i)] - 1; k < S.ia[static_cast<size_t>(i) + 1] - 1;
                 ++k) {
                const auto j  = static_cast<size_t>(S.ja[static_cast<size_t>(k)] - 1);
                const auto kk = static_cast<size_t>(k);
                A.a[kk]       = -g[static_cast<size_t>(i)] * g[j] * S.a[kk];
                poor.a[kk] =
                    -(S.a[kk] + (j == static_cast<size_t>(i) ? 2.0 * std::sin(3.0 * i) : 0.0));
            }
        }
        ProducerOptions o;
        o.block_sizes = {n};
        o.scale       = false;
        list          = produce_level_list(poor, o);
        param         = trelvak::test::make_parameters(o);
        set_solve_options(*param);
        param->restol  = 1e-6;
        param->maxit   = 500;
        param->ipar[1] = 2;  // ipar(2): right preconditioning, as the factorization sets it
        scaling.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            scaling[static_cast<size_t>(i)] = 1.0 / g[static_cast<size_t>(i)];
        }
        list->first()->rowscale = scaling.data();
        list->first()->colscale = scaling.data();
        b.assign(static_cast<size_t>(n), 0.0);
        b[static_cast<size_t>(std::min_element(g.begin(), g.end()) - g.begin())] = 1.0;
    }
    ~GradedProblem() { std::free(param->dbuff); }
    GradedProblem(const GradedProblem&)            = delete;
    GradedProblem& operator=(const GradedProblem&) = delete;

    // Solves from x = 0 with a fresh copy of A (the scaling's rounding changes A in place).
    int solve(std::vector<double>& x) {
        x.assign(b.size(), 0.0);
        Csr copy                = A;
        std::vector<double> rhs = b;
        SparseMatrix record     = copy.record();
        return DSYMAMGsolver(&record, list->first(), param.get(), rhs.data(), x.data());
    }
};

// Each method meets its stopping test here with a true relative residual between 0.1 and 4 (in
// its scaled norms the residual is small); the driver must not call that converged.
TEST(SolverDriverVerdict, SuccessOfTheMethodIsCheckedAgainstTheTrueResidual) {
    for (const char* solver : {"sqmr", "sbcg", "bcg", "gmres", "fgmres"}) {
        GradedProblem p;
        p.param->solver = solver;
        std::vector<double> x;
        const int status    = p.solve(x);
        const double relres = residual_norm(p.A, p.b, x) / trelvak::test::norm2(p.b);
        if (status == trelvak::kConverged) {
            EXPECT_LE(relres, 1e-6)
                << solver << ": converged, but the true residual is above restol";
        } else {
            EXPECT_EQ(status, trelvak::kIterLimit)
                << solver << ": " << trelvak::status_text(status);
        }
        EXPECT_EQ(p.param->fpar[0], 1e-6) << solver << ": fpar(1) is restored";
        EXPECT_EQ(p.param->ipar[5], 500) << solver << ": ipar(6) is restored";
        EXPECT_LE(p.param->ipar[6], 500 + 1) << solver << ": ipar(7) counts every run";
        EXPECT_EQ(p.param->ipar[0], status) << solver << ": ipar(1) holds the status";
    }
}

// A limit that lets SQMR meet its own test (after about 31 products) but cuts the run from the
// current iterate short: the true residual still misses, so the solve ends at the limit.
TEST(SolverDriverVerdict, LimitThatCutsTheReplacementShortEndsAtTheLimit) {
    GradedProblem p;
    p.param->maxit = 40;
    std::vector<double> x;
    EXPECT_EQ(p.solve(x), trelvak::kIterLimit);
    EXPECT_GT(residual_norm(p.A, p.b, x) / trelvak::test::norm2(p.b), 1e-6);
    EXPECT_LE(p.param->ipar[6], 40 + 1);
}

// At the iteration limit the answer may already be good: a starting guess within 1e-12 of the
// solution and a limit of two products. The methods' test is relative to the initial residual,
// which they cannot reduce a billionfold in one step; the true relative residual
// ||b - A x|| / ||b|| is far below restol, and that is what the status reports.
TEST(SolverDriverVerdict, GoodAnswerAtTheIterationLimitIsConverged) {
    for (const char* solver : {"sqmr", "sbcg", "bcg", "gmres", "fgmres"}) {
        Problem p(indefinite(40, 11), three_levels());
        p.param->solver = solver;
        p.param->maxit  = 2;
        std::vector<double> solution(40);
        for (size_t i = 0; i < solution.size(); ++i) {
            solution[i] = std::cos(0.7 * static_cast<double>(i));
        }
        p.b = trelvak::test::multiply(trelvak::test::dense_from_upper(p.A), solution);
        std::vector<double> x = solution;
        for (size_t i = 0; i < x.size(); ++i) {
            x[i] += 1e-12 * std::sin(1.9 * static_cast<double>(i));
        }
        EXPECT_EQ(p.solve(x), trelvak::kConverged) << solver;
        EXPECT_LE(p.residual(x), 1e-10) << solver;
        EXPECT_LE(p.param->ipar[6], 2 + 1) << solver;
    }
}

// Without an iteration limit, a tolerance below what rounding allows cannot be met: the runs from
// the current iterate stop once one fails to halve the true residual, and the status says so.
TEST(SolverDriverVerdict, UnattainableToleranceWithoutLimitEndsAtTheLimitStatus) {
    for (const char* solver : {"sqmr", "sbcg", "bcg", "gmres", "fgmres"}) {
        ProducerOptions o = three_levels();
        o.block_sizes     = {16, 12, 8};
        Problem p(trelvak::test::laplace2d(6, 6, 0.5), o);
        p.param->solver = solver;
        p.param->restol = 1e-17;
        p.param->maxit  = 0;
        std::vector<double> x;
        EXPECT_EQ(p.solve(x), trelvak::kIterLimit) << solver;
        EXPECT_LT(p.residual(x), 1e-12) << solver << ": the best the runs reached";
        EXPECT_LT(p.param->ipar[6], 1000) << solver;
        EXPECT_EQ(p.param->ipar[5], 0) << solver << ": ipar(6) is restored";
    }
}

// b = 0: the reference is the initial residual; x0 = 0 is already exact.
TEST(SolverDriverVerdict, ZeroRightHandSideIsMeasuredAgainstTheInitialResidual) {
    Problem p(indefinite(40, 7), three_levels());
    std::fill(p.b.begin(), p.b.end(), 0.0);
    std::vector<double> x(40, 0.0);
    EXPECT_EQ(p.solve(x), trelvak::kConverged);
    EXPECT_EQ(x, std::vector<double>(40, 0.0));
    std::vector<double> x0(40);
    for (size_t i = 0; i < x0.size(); ++i) {
        x0[i] = 1.0 + std::sin(0.4 * static_cast<double>(i));
    }
    x = x0;
    EXPECT_EQ(p.solve(x), trelvak::kConverged);
    EXPECT_LE(residual_norm(p.A, p.b, x), 1e-10 * residual_norm(p.A, p.b, x0));
}

}  // namespace
