// Tests of the multilevel factorization: exact factors reproduce A^-1 b, indefinite and
// saddle-point systems factor and solve, failures are reported and leave no level list.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/level_check.h"
#include "common/testing.h"
#include "factor_support.h"
#include "precond/precond.h"
#include "preprocess/preprocess.h"
#include "solver/alloc_testing.h"

namespace trelvak::test {
namespace {

std::vector<double> ones_times(Csr& A) {
    std::vector<double> x(static_cast<size_t>(A.nr), 1.0);
    return multiply(dense_from_upper(A), x);
}

// A * ones through the sparse product, for matrices too large for a dense copy.
std::vector<double> sparse_ones_times(Csr& A) {
    std::vector<double> x(static_cast<size_t>(A.nr), 1.0);
    std::vector<double> y(static_cast<size_t>(A.nr), 0.0);
    DSYMmatvec(A.record(), x.data(), y.data());
    return y;
}

// SQMR on A x = A * ones with the level list reaches a true relative residual below 1e-6 within
// maxit iterations.
void expect_sqmr_converges(Csr& A, LevelRecord* levels, ParameterRecord* param, int maxit) {
    std::vector<double> b = sparse_ones_times(A);
    std::vector<double> x;
    double relres = 1.0;
    EXPECT_GT(sqmr_solve(A, levels, param, b, &x, 1e-8, maxit, &relres), 0);
    EXPECT_LT(relres, 1e-6);
}

// ||x - A^-1 b|| / ||A^-1 b|| against a dense solve.
double solve_error(Csr& A, const std::vector<double>& x, const std::vector<double>& b) {
    std::vector<double> ref = solve(dense_from_upper(A), b);
    double num              = 0.0;
    for (size_t i = 0; i < ref.size(); ++i) {
        num += (x[i] - ref[i]) * (x[i] - ref[i]);
    }
    return std::sqrt(num) / norm2(ref);
}

// Factors A and returns the levels reported on the way; a failure fails the test.
std::vector<LevelProgress> factor_watching(Csr& A, ParameterRecord* param, LevelRecord** levels,
                                           FactorInfo* info) {
    std::vector<LevelProgress> seen;
    EXPECT_EQ(
        factor(A.record(), param, levels, info, [&](const LevelProgress& p) { seen.push_back(p); }),
        0)
        << info->message;
    return seen;
}

struct ExactCase {
    const char* name;
    Csr (*make)();
    double condest;
};

Csr shifted_laplace() {
    return laplace2d(9, 7, 1.3);
}
Csr random_indefinite() {
    return random_symmetric(60, 4, 7);
}
Csr zero_diagonal() {
    return random_symmetric(50, 4, 11, 0.3, 0.0, true);
}
Csr saddle() {
    return saddle_point(30, 12, 3, 5);
}

class ExactFactor : public ::testing::TestWithParam<std::tuple<int, bool>> {};

// With droptol = droptolS = 0 the level list is an exact factorization, with or without
// postponement, so one application solves the system to rounding.
TEST_P(ExactFactor, ReproducesTheSolution) {
    const ExactCase cases[] = {
        {"laplace", shifted_laplace, 1e300},   {"laplace-postponing", shifted_laplace, 1.5},
        {"random", random_indefinite, 1e300},  {"random-postponing", random_indefinite, 2.0},
        {"zero-diagonal", zero_diagonal, 3.0}, {"saddle", saddle, 5.0}};
    const auto [which, reduce] = GetParam();
    const ExactCase& c         = cases[which];
    Csr A                      = c.make();
    Factored f;
    set_exact(f.param);
    f.param->condest = c.condest;
    f.param->flags   = reduce ? COARSE_REDUCE : 0u;
    ASSERT_EQ(f.run(A), 0) << c.name << ": " << f.info.message;
    ASSERT_NE(f.levels, nullptr);
    EXPECT_EQ(f.info.nlev, f.levels->nlev);
    EXPECT_EQ(check_level_list(f.levels, f.param), "") << c.name;
    std::vector<double> b = ones_times(A);
    std::vector<double> x = apply_preconditioner(f.levels, f.param, b);
    EXPECT_LT(solve_error(A, x, b), 1e-8) << c.name << " levels " << f.info.nlev;
}

INSTANTIATE_TEST_SUITE_P(Cases, ExactFactor,
                         ::testing::Combine(::testing::Range(0, 6), ::testing::Bool()));

TEST(Multilevel, PostponementMakesLevels) {
    Csr A = laplace2d(12, 12, 1.9);
    Factored f;
    set_exact(f.param);
    f.param->condest = 1.5;
    ASSERT_EQ(f.run(A), 0) << f.info.message;
    EXPECT_GE(f.info.nlev, 2);
    int total = 0;
    for (LevelRecord* R = f.levels; R; R = R->next) {
        total += R->nB;
    }
    EXPECT_EQ(total, A.nr);
}

TEST(Multilevel, ProgressReportsEveryLevelOfTheResult) {
    Csr A                  = laplace2d(12, 12, 1.9);
    ParameterRecord* param = create_parameters();
    set_exact(param);
    param->condest      = 1.5;
    LevelRecord* levels = nullptr;
    FactorInfo info;
    const auto seen = factor_watching(A, param, &levels, &info);
    ASSERT_NE(levels, nullptr);
    ASSERT_EQ(static_cast<int>(seen.size()), info.nlev);
    const LevelRecord* R = levels;
    for (int l = 0; l < info.nlev; ++l, R = R->next) {
        EXPECT_EQ(seen[l].level, l + 1);
        EXPECT_EQ(seen[l].n, R->n);
        EXPECT_EQ(seen[l].eliminated, R->factor_index ? R->nB : R->n);
        EXPECT_EQ(seen[l].dense, R->factor_index == nullptr);
    }
    EXPECT_EQ(seen.back().stored, info.nnz_stored);
    release_levels(levels);
    release_parameters(param);
}

TEST(Multilevel, SaddlePointUsesPairsOrPostponesAndSqmrConverges) {
    Csr A = saddle_point(200, 80, 3, 3);
    Factored f;
    ASSERT_EQ(f.run(A), 0) << f.info.message;
    std::vector<double> b = ones_times(A);
    std::vector<double> x;
    double relres = 1.0;
    const int its = sqmr_solve(A, f.levels, f.param, b, &x, 1e-8, 300, &relres);
    EXPECT_GT(its, 0);
    EXPECT_LT(relres, 1e-6);
    // The zero (2,2) block cannot be pivoted 1x1 in place.
    int pairs = 0;
    for (LevelRecord* R = f.levels; R; R = R->next) {
        pairs += R->factor_index ? R->reserved_int[1] : 0;
    }
    EXPECT_TRUE(pairs > 0 || f.info.nlev > 1);
}

TEST(Multilevel, IndefiniteProblemsConvergeWithDefaults) {
    Csr problems[] = {laplace2d(40, 40, 0.3), random_symmetric(300, 2, 3, 0.2, 0.05, true),
                      laplace3d(10, 10, 10, 0.7)};
    for (Csr& A : problems) {
        for (bool reduce : {true, false}) {
            Factored f;
            f.param->flags = reduce ? COARSE_REDUCE : 0u;
            ASSERT_EQ(f.run(A), 0) << f.info.message;
            EXPECT_EQ(check_level_list(f.levels, f.param), "");
            EXPECT_LT(f.info.fill, 10.0);
            std::vector<double> b = ones_times(A);
            std::vector<double> x;
            double relres = 1.0;
            const int its = sqmr_solve(A, f.levels, f.param, b, &x, 1e-8, 500, &relres);
            EXPECT_GT(its, 0) << "n " << A.nr << " reduce " << reduce;
            EXPECT_LT(relres, 1e-6);
        }
    }
}

TEST(Multilevel, KeptSystemsFollowTheCycle) {
    Csr A = laplace2d(10, 10, 1.9);
    for (const char* amg : {"ilu", "amli", "mg"}) {
        Factored f;
        f.param->condest = 1.5;
        set_text(f.param, &f.param->amg, amg);
        ASSERT_EQ(f.run(A), 0) << f.info.message;
        const bool kept = std::string(amg) != "ilu";
        EXPECT_EQ((f.param->ifact[16] & COARSE_DISCARDED) != 0, !kept) << amg;
        for (LevelRecord* R = f.levels; R; R = R->next) {
            EXPECT_EQ(R->A.ia != nullptr, kept) << amg;
        }
    }
}

TEST(Failures, BadInputIsReportedAndLeavesNoLevels) {
    struct Case {
        Csr A;
        int expected;
    };
    Csr nan                   = laplace2d(4, 4);
    nan.a[3]                  = std::numeric_limits<double>::quiet_NaN();
    Csr inf                   = laplace2d(4, 4);
    inf.a[0]                  = std::numeric_limits<double>::infinity();
    Csr lower                 = laplace2d(4, 4);
    lower.ja[1]               = 1;  // row 1 is fine; make row 2 reach below the diagonal
    lower.ja[lower.ia[1] - 1] = 1;
    Dense z(4);
    z(0, 0)      = 1;
    z(1, 1)      = 2;
    z(3, 3)      = 1;
    Case cases[] = {{nan, kFactorNonFinite},
                    {inf, kFactorNonFinite},
                    {lower, kFactorBadInput},
                    {upper_from_dense(z), kFactorZeroRow}};
    for (Case& c : cases) {
        Factored f;
        set_exact(f.param);  // no dropping: a singular matrix stays singular
        EXPECT_EQ(f.run(c.A), c.expected) << f.info.message;
        EXPECT_EQ(f.levels, nullptr);
        EXPECT_FALSE(f.info.message.empty());
    }
}

TEST(Failures, MissingTextsAndTestVectorAreHandled) {
    Csr A = laplace2d(6, 6, 0.5);
    {
        Factored f;
        set_text(f.param, &f.param->typetv, "static");  // asks for the caller's vector
        f.param->tv = nullptr;
        EXPECT_EQ(f.run(A), kFactorBadInput);
        EXPECT_NE(f.info.message.find("test vector"), std::string::npos);
    }
    {
        Factored f;
        f.param->FCpart = nullptr;
        f.param->amg    = nullptr;
        f.param->solver = nullptr;
        EXPECT_EQ(f.run(A), 0) << f.info.message;
        EXPECT_STREQ(f.param->FCpart, "none");
        EXPECT_STREQ(f.param->amg, "ilu");
    }
}

// A level that runs out of memory is factored again with tighter dropping: the result stays
// within elbow and still solves.
TEST(Multilevel, TighterDroppingKeepsTheFactorWithinElbow) {
    Csr A = laplace3d(14, 14, 14, 0.1);
    Factored f;
    f.param->droptol  = 1e-4;
    f.param->droptolS = 1e-5;
    f.param->elbow    = 5.0;
    ASSERT_EQ(f.run(A), 0) << f.info.message;
    EXPECT_LE(f.info.fill, 5.0);
    EXPECT_EQ(check_level_list(f.levels, f.param), "");
    expect_sqmr_converges(A, f.levels, f.param, 500);
}

// A shifted Laplacian with 3 % negative eigenvalues (an eigenvalue 8e-5 from zero): the bound
// of 10 on the inverse factor postpones a sixth of the rows, the Schur complements outgrow
// elbow, and a factor whose dropping was tightened to fit leaves SQMR diverging. Started again
// with a larger bound, the factorization keeps nearly all rows on level 1 and SQMR converges.
// With too little elbow for that, the caller's bound and tighter dropping give a level list; it
// is unstable, and the factorization made again with condest 100 is kept (steadier by the probe,
// though SQMR does not converge with either).
TEST(Multilevel, ShiftedLaplacianBeyondElbowStartsAgainWithALargerBound) {
    Csr A = laplace2d(70, 70, 0.3891382);
    {
        Factored f;
        f.param->elbow = 6.0;
        ASSERT_EQ(f.run(A), 0) << f.info.message;
        EXPECT_EQ(check_level_list(f.levels, f.param), "");
        EXPECT_LE(f.info.fill, 6.0);
        EXPECT_LE(f.info.nlev, 2);
        expect_sqmr_converges(A, f.levels, f.param, 100);
    }
    {
        Factored f;
        f.param->elbow = 4.0;
        ASSERT_EQ(f.run(A), 0) << f.info.message;
        EXPECT_EQ(check_level_list(f.levels, f.param), "");
        EXPECT_LE(f.info.fill, 4.0);
        // Squeezed into elbow 4 the accurate factors are far from sound (condest 100 was the
        // steadiest of them); the crude one converges.
        EXPECT_TRUE(f.info.steadied);
        EXPECT_EQ(f.info.steadied_by, "droptol 0.3");
        expect_sqmr_converges(A, f.levels, f.param, 500);
    }
}

// A level 1 that postpones many rows and leaves too little of elbow for its Schur complement
// starts the factorization again with the larger bound. It is given up while its Schur
// complement forms (so no level of the first pass is reported), and the result is the factor
// that the larger bound gives from the start: one or two levels that converge.
TEST(Multilevel, CrowdedFirstLevelStartsAgainWithALargerBound) {
    Csr A                  = laplace2d(100, 100, 0.3775);
    ParameterRecord* param = create_parameters();
    LevelRecord* levels    = nullptr;
    FactorInfo info;
    const auto seen = factor_watching(A, param, &levels, &info);
    ASSERT_NE(levels, nullptr);
    ASSERT_FALSE(seen.empty());
    for (const LevelProgress& p : seen) {
        EXPECT_EQ(p.pass, 2);
    }
    EXPECT_LE(info.nlev, 2);
    EXPECT_EQ(check_level_list(levels, param), "");
    expect_sqmr_converges(A, levels, param, 100);

    Factored direct;
    direct.param->condest = info.condest;
    ASSERT_EQ(direct.run(A), 0) << direct.info.message;
    EXPECT_EQ(direct.info.nlev, info.nlev);
    EXPECT_EQ(direct.info.nnz_stored, info.nnz_stored);
    release_levels(levels);
    release_parameters(param);
}

// Below elbow too: when the second level keeps fewer than 60 % of its rows, the levels hardly
// shrink (seven levels here, and SQMR diverges on a 200 x 200 grid); the factorization starts
// again with a larger bound and ends with at most two levels.
TEST(Multilevel, SlowlyShrinkingLevelsStartAgainWithALargerBound) {
    Csr A = laplace2d(120, 120, 0.1);
    Factored f;
    ASSERT_EQ(f.run(A), 0) << f.info.message;
    EXPECT_EQ(check_level_list(f.levels, f.param), "");
    EXPECT_LE(f.info.nlev, 2);
    expect_sqmr_converges(A, f.levels, f.param, 100);
}

TEST(Failures, ElbowLimitsTheMemory) {
    Csr A = laplace2d(20, 20, 0.5);
    Factored f;
    set_exact(f.param);
    f.param->elbow = 1.0;
    EXPECT_EQ(f.run(A), kFactorElbow);
    EXPECT_EQ(f.levels, nullptr);
    EXPECT_NE(f.info.message.find("elbow"), std::string::npos);
}

}  // namespace
}  // namespace trelvak::test

namespace trelvak::test {
namespace {

struct AllocationStop {};

[[noreturn]] void throwing_handler(FatalChannel, const char*) {
    throw AllocationStop{};
}

// An allocation that fails inside the factorization ends in the fatal handler; a host handler
// raises an error instead of ending the process. Whatever allocation fails, the error reaches the
// caller, no level list is returned, and (under LeakSanitizer) nothing is leaked.
TEST(Failures, AllocationFailureAtAnyPointLeavesNothingBehind) {
    Csr A                 = laplace2d(8, 8, 1.9);
    FatalHandler previous = trelvak_set_fatal_handler(throwing_handler);
    int stopped           = 0;
    for (long k = 1; k < 400; ++k) {
        Factored f;
        f.param->matching = 0;
        f.param->condest  = 1.5;
        set_text(f.param, &f.param->ordering, "none");
        testing::fail_allocation(k);
        bool threw = false;
        try {
            f.run(A);
        } catch (const AllocationStop&) {
            threw = true;
        }
        testing::fail_allocation(0);
        if (!threw) {
            EXPECT_EQ(f.status, 0);
            break;
        }
        ++stopped;
        EXPECT_EQ(f.levels, nullptr);
    }
    trelvak_set_fatal_handler(previous);
    EXPECT_GT(stopped, 10);
}

}  // namespace
}  // namespace trelvak::test

namespace trelvak::test {
namespace {

int slot_calls[3] = {0, 0, 0};

// Reverse order, every unknown scaled by 2, all rows candidates.
int reverse_slot(SparseMatrix A, double*, double* right, int* p, int* invq, int* nB,
                 ParameterRecord*) {
    const int n = A.nr;
    for (int k = 0; k < A.ia[n] - 1; ++k) {
        A.a[k] *= 4.0;
    }
    for (int i = 0; i < n; ++i) {
        right[i] *= 2.0;
        p[i]            = n - i;
        invq[n - i - 1] = i + 1;
    }
    *nB = n;
    return 0;
}
int level1_slot(SparseMatrix A, double* l, double* r, int* p, int* q, int* nB,
                ParameterRecord* prm) {
    ++slot_calls[0];
    return reverse_slot(A, l, r, p, q, nB, prm);
}
int later_slot(SparseMatrix A, double* l, double* r, int* p, int* q, int* nB,
               ParameterRecord* prm) {
    ++slot_calls[1];
    return reverse_slot(A, l, r, p, q, nB, prm);
}
int failing_slot(SparseMatrix, double*, double*, int*, int*, int*, ParameterRecord*) {
    return -5;
}
int no_permutation_slot(SparseMatrix A, double*, double*, int* p, int*, int*, ParameterRecord*) {
    p[0] = A.nr > 1 ? 2 : 1;  // position 1 and 2 both take unknown 2
    return 0;
}
int row_scaling_slot(SparseMatrix, double* left, double*, int*, int*, int*, ParameterRecord*) {
    left[0] = 2.0;
    return 0;
}

// With an ordering keyword setup mode does not know, the slots keep what the caller put there:
// reorder0 serves level 1, reorder1 the later levels; their permutation and scaling enter the
// level list, which still solves exactly.
TEST(Slots, CallerSlotsServeTheirLevels) {
    Csr A = laplace2d(30, 30, 1.9);
    Factored f;
    set_exact(f.param);
    f.param->condest = 1.5;
    set_text(f.param, &f.param->ordering, "caller");
    f.param->reorder0 = level1_slot;
    f.param->reorder1 = later_slot;
    f.param->reorder2 = nullptr;
    slot_calls[0] = slot_calls[1] = 0;
    ASSERT_EQ(f.run(A), 0) << f.info.message;
    EXPECT_EQ(slot_calls[0], 1);
    EXPECT_GE(f.info.nlev, 2);
    EXPECT_GE(slot_calls[1], 1);
    EXPECT_EQ(check_level_list(f.levels, f.param), "");
    std::vector<double> b = ones_times(A);
    std::vector<double> x = apply_preconditioner(f.levels, f.param, b);
    EXPECT_LT(solve_error(A, x, b), 1e-8);
}

TEST(Slots, RejectedOrderingsAreReported) {
    struct Case {
        ReorderRoutine slot;
        int expected;
    };
    const Case cases[] = {{failing_slot, kFactorZeroRow},
                          {no_permutation_slot, kFactorBadOrdering},
                          {row_scaling_slot, kFactorBadOrdering}};
    Csr A              = laplace2d(5, 5, 0.5);
    for (const Case& c : cases) {
        Factored f;
        set_text(f.param, &f.param->ordering, "caller");
        f.param->reorder0 = c.slot;
        EXPECT_EQ(f.run(A), c.expected) << f.info.message;
        EXPECT_EQ(f.levels, nullptr);
        EXPECT_FALSE(f.info.message.empty());
    }
}

// A small dense last level also counts against elbow: tiny systems whose coarse level would
// be factored densely either fit, or the factorization finds another way or reports -7.
// A small coarse level whose matrix is a fifth full or more is factored densely even when its
// packed factor is large next to the input: a sparse factor of it would pass part of it to yet
// another level. Here level 1 eliminates a path and postpones all rows of a second block, whose
// pivots are tiny next to their rows; that block, three tenths full, is the second level.
TEST(Multilevel, FilledCoarseLevelIsFactoredDensely) {
    const int path = 400;
    const int n    = path + 120;
    Dense d(n);
    std::uint64_t state = 12345;
    auto uniform        = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
    };
    for (int i = 0; i < path; ++i) {
        d(i, i) = 2.0;
        if (i > 0)
            d(i, i - 1) = d(i - 1, i) = -1.0;
    }
    for (int i = path; i < n; ++i) {
        d(i, i) = 1e-4 * (1.0 + uniform());
        for (int j = path; j < i; ++j) {
            if (uniform() < -0.2) {  // three tenths of the block's off-diagonal entries
                d(i, j) = d(j, i) = uniform();
            }
        }
    }
    Csr A = upper_from_dense(d);
    Factored f;
    f.param->matching = 0;
    ASSERT_EQ(f.run(A), 0) << f.info.message;
    EXPECT_EQ(check_level_list(f.levels, f.param), "");
    ASSERT_GE(f.info.nlev, 2);
    const LevelRecord* second = f.levels->next;
    EXPECT_GT(second->n, 60) << "enough rows postponed that the size rule alone keeps them sparse";
    EXPECT_EQ(second->factor_index, nullptr) << "the filled second level is dense";
    EXPECT_EQ(f.info.nlev, 2);
    expect_sqmr_converges(A, f.levels, f.param, 300);
}

TEST(Multilevel, DenseLastLevelStaysWithinElbow) {
    int checked = 0;
    for (int n = 6; n <= 60; n += 3) {
        for (int elbow : {1, 2, 3}) {
            for (double condest : {1.2, 2.0, 5.0}) {
                Csr A = random_symmetric(n, 2, 1000 + n, 0.3, 0.2);
                Factored f;
                f.param->elbow   = elbow;
                f.param->condest = condest;
                const int status = f.run(A);
                if (status != 0) {
                    EXPECT_EQ(status, kFactorElbow) << f.info.message;
                    continue;
                }
                ++checked;
                EXPECT_LE(f.info.fill, elbow)
                    << "n " << n << " elbow " << elbow << " condest " << condest;
            }
        }
    }
    EXPECT_GT(checked, 50);
}

// A first level that postpones a fifth of its rows (random matrix, half of the diagonal tiny) is
// factored again with tighter dropping, and info reports the controls used; a Laplacian keeps
// the options (a droptol below the default: no quick attempt).
TEST(Multilevel, FirstLevelPostponingManyRowsTightensTheDropping) {
    Csr hard = random_symmetric(150, 5, 3, 0.0, 0.5);
    Factored f;
    ASSERT_EQ(f.run(hard), 0) << f.info.message;
    EXPECT_EQ(check_level_list(f.levels, f.param), "");
    EXPECT_DOUBLE_EQ(f.info.droptol, 1e-5);
    EXPECT_DOUBLE_EQ(f.info.droptolS, 1e-5);
    std::vector<double> b = ones_times(hard);
    std::vector<double> x;
    double relres = 1.0;
    const int its = sqmr_solve(hard, f.levels, f.param, b, &x, 1e-8, 500, &relres);
    EXPECT_GT(its, 0);
    EXPECT_LE(its, 10);

    Csr easy = laplace2d(20, 20);
    Factored g;
    g.param->droptol = 5e-4;
    ASSERT_EQ(g.run(easy), 0) << g.info.message;
    EXPECT_DOUBLE_EQ(g.info.droptol, g.param->droptol);
    EXPECT_DOUBLE_EQ(g.info.droptolS, g.param->droptolS);
    EXPECT_DOUBLE_EQ(g.info.condest, g.param->condest);
}

// When the tighter dropping does not fit into elbow, the first level is factored whole with the
// caller's options (the first attempt stopped when it had postponed a fifth of its rows), and
// that factor fits by the usual tightening.
TEST(Multilevel, TighterFirstLevelBeyondElbowKeepsTheOptions) {
    Csr hard = random_symmetric(150, 5, 3, 0.0, 0.5);
    Factored f;
    f.param->elbow = 5.0;
    ASSERT_EQ(f.run(hard), 0) << f.info.message;
    EXPECT_EQ(check_level_list(f.levels, f.param), "");
    EXPECT_DOUBLE_EQ(f.info.droptol, f.param->droptol);
    EXPECT_LE(f.info.fill, 5.0);
    std::vector<double> b = ones_times(hard);
    std::vector<double> x;
    double relres = 1.0;
    sqmr_solve(hard, f.levels, f.param, b, &x, 1e-8, 100, &relres);
    EXPECT_LT(relres, 1e-2) << "a poorer preconditioner than the tighter one, but one";
}

}  // namespace
}  // namespace trelvak::test
