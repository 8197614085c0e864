// Solver mode of the parameter routine: method codes and work lengths, keyword fallbacks,
// smoothing counts and smoother codes, the cycle kind.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "solver/solver.h"

namespace {

struct SolverModeTest : ::testing::Test {
    ParameterRecord param{};
    SparseMatrix A{};

    void SetUp() override {
        A.nr = A.nc    = 1000;
        param.nrestart = 30;
        param.maxit    = 500;
        param.restol   = 1e-8;
        param.solver   = "sqmr";
        param.amg      = "ilu";
    }
    void run() { DSYMAMGsetupparameters(&A, &param, 1); }
    int ipar(int k) const { return param.ipar[k - 1]; }
};

TEST_F(SolverModeTest, MethodCodesAndWorkLengthsForOrder1000AndRestart30) {
    const struct {
        const char* solver;
        int code;
        int work;
    } table[] = {{"gmres", 8, 32561}, {"fgmres", 9, 62557},  {"sqmr", 4, 6000},   {"sbcg", 2, 5000},
                 {"bcg", 3, 7000},    {"gmres20", 8, 32561}, {"bcgstab", 3, 7000}};
    for (const auto& row : table) {
        param.solver = row.solver;
        run();
        EXPECT_EQ(param.ifact[5], row.code) << row.solver;
        EXPECT_EQ(ipar(4), row.work) << row.solver;
    }
    EXPECT_EQ(ipar(5), 30);
    EXPECT_EQ(ipar(6), 500);
    EXPECT_EQ(param.fpar[0], 1e-8);
}

TEST_F(SolverModeTest, UnrecognisedSolverFallsBackToSymmetricQmr) {
    for (const char* name : {"GMRES", "", "minres", static_cast<const char*>(nullptr)}) {
        param.solver = name;
        run();
        EXPECT_EQ(param.ifact[5], 4);
        EXPECT_STREQ(param.solver, "sqmr");
        EXPECT_EQ(ipar(4), 6000);
    }
}

TEST_F(SolverModeTest, WorkLengthThatDoesNotFitAnIntIsReportedNegative) {
    A.nr = 400000000;  // 6n overflows a 32-bit int
    run();
    EXPECT_LT(ipar(4), 0);
    A.nr           = 100000;
    param.solver   = "gmres";
    param.nrestart = 100000;  // m*m alone exceeds INT_MAX
    run();
    EXPECT_LT(ipar(4), 0);
}

TEST_F(SolverModeTest, SmoothingCountsTakeTheLargerOfTheTwo) {
    param.npresmoothing = 1;
    param.npostmoothing = 3;
    run();
    EXPECT_EQ(param.npresmoothing, 3);
    EXPECT_EQ(param.npostmoothing, 3);
    EXPECT_EQ(param.ifact[12], 3);
    EXPECT_EQ(param.ifact[13], 3);
}

TEST_F(SolverModeTest, SmootherCodes) {
    const struct {
        const char* text;
        int pre, post;
    } table[] = {{"gsf", 1, 2}, {"gsfx", 1, 2}, {"gsb", 2, 1}, {"jacobi", 3, 3},
                 {"j", 3, 3},   {"ilu", 4, 4},  {"sor", 5, 5}, {"GSF", 5, 5}};
    for (const auto& row : table) {
        param.presmoother = row.text;
        run();
        EXPECT_EQ(param.ifact[14], row.pre) << row.text;
        EXPECT_EQ(param.ifact[15], row.post) << row.text;
    }
    param.ifact[14] = param.ifact[15] = 77;
    for (const char* empty : {"", static_cast<const char*>(nullptr)}) {
        param.presmoother = empty;
        run();
        EXPECT_EQ(param.ifact[14], 77);
        EXPECT_EQ(param.ifact[15], 77);
    }
}

TEST_F(SolverModeTest, CycleKindAndCoarseDiscardedFallback) {
    param.amg = "amli";
    run();
    EXPECT_EQ(param.ifact[10], 1);
    param.amg = "mg";
    run();
    EXPECT_EQ(param.ifact[10], 2);
    param.ifact[16] = static_cast<int>(COARSE_DISCARDED);
    param.amg       = "mg";
    run();
    EXPECT_EQ(param.ifact[10], 0);
    EXPECT_STREQ(param.amg, "ilu");
    param.ifact[16] = 0;
    param.amg       = "AMLI";
    run();
    EXPECT_EQ(param.ifact[10], 0);
    EXPECT_STREQ(param.amg, "ilu");
}

TEST_F(SolverModeTest, RunningTwiceEqualsRunningOnce) {
    param.solver        = "fgmres";
    param.amg           = "mg";
    param.presmoother   = "gsb";
    param.npresmoothing = 2;
    run();
    ParameterRecord once = param;
    run();
    EXPECT_EQ(std::memcmp(&once, &param, sizeof param), 0);
}

TEST(KeywordMatches, ComparesExactlyTheKeywordsLength) {
    EXPECT_TRUE(keyword_matches("gmres20", "gmres"));
    EXPECT_FALSE(keyword_matches("gmre", "gmres"));
    EXPECT_FALSE(keyword_matches("Gmres", "gmres"));
    EXPECT_FALSE(keyword_matches(nullptr, "j"));
    EXPECT_TRUE(keyword_matches("jacobi", "j"));
}

}  // namespace
