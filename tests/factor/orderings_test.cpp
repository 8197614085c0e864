// Every ordering keyword, with and without matching, with the fine/coarse splitting and the test
// vector, both COARSE_REDUCE settings and the kept coarse systems of the "amli" and "mg" cycles:
// the factorization runs setup mode, calls the selected slots, and returns a valid level list
// that makes SQMR converge.
#include <gtest/gtest.h>

#include <string>

#include "common/level_check.h"
#include "common/testing.h"
#include "factor_support.h"

namespace trelvak::test {
namespace {

struct Setting {
    const char* ordering;
    int matching;
    const char* fcpart;
    const char* typetv;
};

std::string describe(const Setting& s, bool reduce, const char* amg) {
    return std::string(s.ordering) + " matching " + std::to_string(s.matching) + " FCpart " +
           s.fcpart + " typetv " + s.typetv + (reduce ? " reduce" : " no-reduce") + " amg " + amg;
}

void factor_and_solve(Csr& A, const Setting& s, bool reduce, const char* amg) {
    Factored f;
    f.param->matching = s.matching;
    set_text(f.param, &f.param->ordering, s.ordering);
    set_text(f.param, &f.param->FCpart, s.fcpart);
    set_text(f.param, &f.param->typetv, s.typetv);
    set_text(f.param, &f.param->amg, amg);
    std::vector<double> tv(static_cast<size_t>(A.nr), 1.0);
    f.param->tv    = tv.data();
    f.param->flags = reduce ? (f.param->flags | COARSE_REDUCE) : (f.param->flags & ~COARSE_REDUCE);
    const std::string what = describe(s, reduce, amg);
    ASSERT_EQ(f.run(A), 0) << what << ": " << f.info.message;
    EXPECT_EQ(check_level_list(f.levels, f.param), "") << what;
    std::vector<double> x(static_cast<size_t>(A.nr), 1.0);
    std::vector<double> b = multiply(dense_from_upper(A), x);
    double relres         = 1.0;
    const int its         = sqmr_solve(A, f.levels, f.param, b, &x, 1e-8, 400, &relres);
    EXPECT_GT(its, 0) << what;
    EXPECT_LT(relres, 1e-6) << what;
}

TEST(Orderings, EveryKeywordGivesAValidLevelListThatSolves) {
    const char* keywords[] = {"amd", "metisn", "metise", "rcm", "amf", "mmd", "none", "pp"};
    Csr A                  = laplace2d(14, 13, 0.9);
    for (const char* ordering : keywords) {
        for (int matching : {0, 1}) {
            factor_and_solve(A, {ordering, matching, "none", "none"}, true, "ilu");
        }
    }
}

TEST(Orderings, FineCoarseSplittingsWithAndWithoutTestVector) {
    const char* keywords[] = {"amd", "metisn", "rcm", "none"};
    Csr A                  = laplace2d(12, 12, 0.5);
    for (const char* ordering : keywords) {
        for (int matching : {0, 1}) {
            for (const char* typetv : {"none", "static"}) {
                factor_and_solve(A, {ordering, matching, "yes", typetv}, true, "ilu");
            }
        }
    }
}

TEST(Orderings, CouplingStorageAndKeptSystems) {
    Csr A = saddle_point(60, 25, 3, 9);
    for (bool reduce : {true, false}) {
        for (const char* amg : {"ilu", "amli", "mg"}) {
            factor_and_solve(A, {"amd", 1, "none", "none"}, reduce, amg);
        }
    }
}

}  // namespace
}  // namespace trelvak::test
