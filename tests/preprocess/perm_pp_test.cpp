// Tests of the diagonal-dominance ordering (DSPDperm_pp, DPPpermF, DSPDwDiagRF).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

namespace {

using namespace trelvak::test;

struct PpResult {
    int status = 0;
    std::vector<int> p, invq;
    int nB = -1;
};

PpResult run_pp(Csr a, int flags = 0, int norm = 5) {
    ParameterRecord param{};
    param.ifact[7] = flags;
    param.ifact[8] = norm;
    const int n    = a.nr;
    std::vector<double> left(n, 1.0), right(n, 1.0);
    PpResult r;
    r.p.assign(n, -7);
    r.invq.assign(n, -7);
    r.status = DSPDperm_pp(a.record(), left.data(), right.data(), r.p.data(), r.invq.data(), &r.nB,
                           &param);
    std::free(param.ibuff);
    std::free(param.dbuff);
    return r;
}

// Tridiagonal 4 x 4 with diagonal 10, 4, 1, 0 and off-diagonal 1. Ratios d/S: 10/11, 4/6, 1/3, 0.
// Row 4 is weak; without it row 3 has 1/2 and stays a candidate. Scores 0.413, 0.089, 0.05.
Csr graded() {
    Dense d(4);
    d(0, 0) = 10.0;
    d(1, 1) = 4.0;
    d(2, 2) = 1.0;
    for (int i = 0; i < 3; ++i) {
        d(i, i + 1) = d(i + 1, i) = 1.0;
    }
    return upper_from_dense(d);
}

TEST(PermPp, StrictlyDominantMatrixSelectsEveryRow) {
    for (int n : {1, 2, 10, 200}) {
        Csr a = random_symmetric(n, 4, 100 + n);
        // Make every row strictly dominant.
        Dense d = dense_from_upper(a);
        for (int i = 0; i < n; ++i) {
            double s = 0.0;
            for (int j = 0; j < n; ++j) {
                s += j == i ? 0.0 : std::abs(d(i, j));
            }
            d(i, i) = s + 1.0;
        }
        const PpResult r = run_pp(upper_from_dense(d));
        ASSERT_EQ(r.status, 0);
        ASSERT_TRUE(is_permutation(r.p.data(), n));
        EXPECT_EQ(r.nB, n);
    }
}

TEST(PermPp, OrderByDecreasingScoreThenTheRest) {
    const PpResult r = run_pp(graded());
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.p, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(r.nB, 3);
    // The same matrix renumbered: new position k holds old row perm[k-1].
    const PpResult s = run_pp(permute_upper(graded(), {2, 4, 1, 3}));
    EXPECT_EQ(s.p, (std::vector<int>{3, 1, 4, 2}));
    EXPECT_EQ(s.invq, (std::vector<int>{2, 4, 1, 3}));
    EXPECT_EQ(s.nB, 3);
}

TEST(PermPp, BothNamesGiveTheSameOrder) {
    Csr a       = saddle_point(30, 10, 3, 8);
    const int n = a.nr;
    std::vector<int> p1(n), q1(n), p2(n), q2(n), ib(2 * n);
    std::vector<double> db(3 * n);
    int nb1 = 0, nb2 = 0;
    EXPECT_EQ(DPPpermF(a.record(), p1.data(), q1.data(), &nb1, 0.5, ib.data(), db.data(), 50), 0);
    EXPECT_EQ(DSPDwDiagRF(a.record(), p2.data(), q2.data(), &nb2, 0.5, ib.data(), db.data(), 50),
              0);
    EXPECT_EQ(p1, p2);
    EXPECT_EQ(nb1, nb2);
    // The constraint rows (zero diagonal) are never selected.
    for (int k = 0; k < nb1; ++k) {
        EXPECT_LE(p1[k], 30);
    }
}

TEST(PermPp, ZeroRowIsReportedOnStandardOutput) {
    Dense d(3);
    d(0, 0) = 1.0;
    d(2, 2) = 1.0;
    testing::internal::CaptureStdout();
    const PpResult r = run_pp(upper_from_dense(d), 1, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ROWSCALE: a zero row...\n");
    EXPECT_EQ(r.status, -5);
    EXPECT_EQ(r.p, std::vector<int>(3, -7));
}

TEST(PermPp, EmptyMatrix) {
    const PpResult r = run_pp(Csr{});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.nB, 0);
}

}  // namespace
