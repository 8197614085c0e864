// The pieces the methods share: start-up checks, stopping test, breakdown test, the sum of
// squares and the Gram-Schmidt step.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/onebased.h"
#include "krylov/krylov.h"

namespace trelvak {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Controls {
    int ipar[16]    = {};
    double fpar[16] = {};
    int& i(int k) { return ipar[k - 1]; }
    double& f(int k) { return fpar[k - 1]; }
};

TEST(Bisinit, ChecksInOrder) {
    Controls c;
    c.i(kWorkLength) = 9;
    c.i(kPrecSide)   = 5;
    c.f(kRelTol)     = 2.0;  // unusable, but the length is checked first
    std::vector<double> w(10, 7.0);
    bool lp = false, rp = false;
    const int need = 10, dflt = 1;
    dbisinit(c.ipar, c.fpar, &need, &dflt, &lp, &rp, w.data());
    EXPECT_EQ(c.i(kRequest), kWorkTooShort);
    EXPECT_EQ(c.i(kWorkLength), 10);
    EXPECT_EQ(w[0], 7.0);  // nothing else changed

    c.i(kRequest) = 0;
    dbisinit(c.ipar, c.fpar, &need, &dflt, &lp, &rp, w.data());
    EXPECT_EQ(c.i(kRequest), kBadTolerance);
    EXPECT_TRUE(lp && rp);
    EXPECT_EQ(c.i(kStopTest), 1);

    c.i(kRequest)  = -1;
    c.i(kProducts) = c.i(kResidualProducts) = 5;
    c.f(kFlops)                             = -3.0;
    c.f(9)                                  = 4.0;
    dbisinit(c.ipar, c.fpar, &need, &dflt, &lp, &rp, w.data());
    EXPECT_EQ(c.i(kRequest), 0);
    EXPECT_EQ(c.f(kRelTol), 1e-6);
    EXPECT_EQ(c.f(kAbsTol), 1e-16);
    EXPECT_EQ(c.i(kProducts), 0);
    EXPECT_EQ(c.i(kResidualProducts), 0);
    EXPECT_EQ(c.f(kFlops), 0.0);
    EXPECT_EQ(c.f(9), 0.0);
    EXPECT_EQ(w, std::vector<double>(10, 0.0));
}

TEST(Bisinit, PreconditioningSides) {
    const int need = 0, dflt = 1;
    const int sides[]  = {-1, 0, 1, 2, 3, 4};
    const bool left[]  = {false, false, true, false, true, true};
    const bool right[] = {false, false, false, true, true, true};
    for (int k = 0; k < 6; ++k) {
        Controls c;
        c.i(kPrecSide) = sides[k];
        c.f(kRelTol)   = 1e-6;
        bool lp = false, rp = false;
        dbisinit(c.ipar, c.fpar, &need, &dflt, &lp, &rp, nullptr);
        EXPECT_EQ(lp, left[k]) << sides[k];
        EXPECT_EQ(rp, right[k]) << sides[k];
    }
    Controls nan_tol;
    nan_tol.f(kRelTol) = kNaN;
    bool lp = false, rp = false;
    dbisinit(nan_tol.ipar, nan_tol.fpar, &need, &dflt, &lp, &rp, nullptr);
    EXPECT_EQ(nan_tol.i(kRequest), kBadTolerance);
}

TEST(Stopbis, ResidualAndChangeTests) {
    const int n = 2, p = 1;
    const double r[]   = {3.0, 4.0};
    const double dx[]  = {0.6, 0.8};
    const double scale = -2.0;

    Controls c;  // test 1: ||r|| = 5 against the target
    c.i(kStopTest) = 1;
    c.i(kProducts) = 2;
    c.f(kTarget)   = 4.9;
    EXPECT_FALSE(dstopbis(&n, c.ipar, &p, c.fpar, r, dx, &scale));
    EXPECT_EQ(c.f(kResNorm), 5.0);
    EXPECT_EQ(c.f(kTested), 5.0);
    c.f(kTarget) = 5.0;
    EXPECT_TRUE(dstopbis(&n, c.ipar, &p, c.fpar, r, dx, &scale));
    EXPECT_EQ(c.i(kStopFlag), 1);
    c.f(kTarget) = 0.0;  // a set flag stops without looking
    EXPECT_TRUE(dstopbis(&n, c.ipar, &p, c.fpar, r, dx, &scale));

    Controls d;  // test -1: the first call sets the initial norm and the target
    d.i(kStopTest) = -1;
    d.i(kProducts) = 2;
    d.f(kRelTol)   = 0.5;
    d.f(kAbsTol)   = 0.25;
    EXPECT_FALSE(dstopbis(&n, d.ipar, &p, d.fpar, r, dx, &scale));
    EXPECT_EQ(d.f(kTested), 2.0);  // |scale| ||dx||
    EXPECT_EQ(d.f(kInitNorm), 2.0);
    EXPECT_EQ(d.f(kTarget), 1.25);
    d.i(kProducts)       = 3;
    const double smaller = 0.5;
    EXPECT_TRUE(dstopbis(&n, d.ipar, &p, d.fpar, r, dx, &smaller));
    EXPECT_EQ(d.f(kInitNorm), 2.0);

    Controls e;  // the iteration limit
    e.i(kStopTest) = 1;
    e.i(kMaxIter)  = 3;
    e.i(kProducts) = 3;
    e.f(kTarget)   = 100.0;
    EXPECT_TRUE(dstopbis(&n, e.ipar, &p, e.fpar, r, dx, &scale));
    EXPECT_EQ(e.i(kRequest), kIterLimit);
    EXPECT_EQ(e.f(kResNorm), 0.0);

    Controls f;  // a norm that is not a number counts as met
    f.i(kStopTest)     = 1;
    const double bad[] = {kNaN, 1.0};
    EXPECT_TRUE(dstopbis(&n, f.ipar, &p, f.fpar, bad, dx, &scale));
}

TEST(Brkdn, ZeroInfiniteAndNotANumber) {
    const double values[] = {0.0, -0.0, kInf, -kInf, kNaN, 1e-300, -2.0, 5e307};
    const int statuses[]  = {kBreakdown, kBreakdown, kNonFinite, kNonFinite, kNonFinite, 0, 0, 0};
    for (int k = 0; k < 8; ++k) {
        int ipar[16]     = {1};
        const bool broke = dbrkdn(&values[k], ipar);
        EXPECT_EQ(broke, statuses[k] != 0) << values[k];
        EXPECT_EQ(ipar[0], statuses[k] != 0 ? statuses[k] : 1) << values[k];
    }
}

TEST(Ddot2, StridesAndEmpty) {
    const double x[] = {1, 2, 3, 4, 5};
    const int five = 5, three = 3, zero = 0, one = 1, two = 2, minus_two = -2;
    EXPECT_EQ(ddot2(&five, x, &one), 55.0);
    EXPECT_EQ(ddot2(&three, x, &two), 35.0);        // 1, 3, 5
    EXPECT_EQ(ddot2(&three, x, &minus_two), 35.0);  // 5, 3, 1
    EXPECT_EQ(ddot2(&zero, x, &one), 0.0);
    EXPECT_EQ(ddot2(&three, x, &zero), 3.0);
}

TEST(Mgsro, OrthonormalisesAndReportsFailures) {
    const int lda = 4, n = 3, ind = 3;
    // Two orthonormal columns and a third to orthogonalise, in a leading dimension of 4.
    std::vector<double> v = {1, 0, 0, 99, 0, 1, 0, 99, 2, -3, 5, 99};
    double hh[3]          = {};
    double ops            = 0.0;
    int ierr              = 1;
    dmgsro(&lda, &n, &ind, &ops, v.data(), hh, &ierr);
    EXPECT_EQ(ierr, 0);
    EXPECT_EQ(hh[0], 2.0);
    EXPECT_EQ(hh[1], -3.0);
    EXPECT_EQ(hh[2], 5.0);
    EXPECT_EQ(v[8], 0.0);
    EXPECT_EQ(v[9], 0.0);
    EXPECT_EQ(v[10], 1.0);
    EXPECT_EQ(v[11], 99.0);
    EXPECT_GT(ops, 0.0);

    std::vector<double> in_span = {1, 0, 0, 0, 0, 1, 0, 0, 4, -1, 0, 0};
    dmgsro(&lda, &n, &ind, &ops, in_span.data(), hh, &ierr);
    EXPECT_EQ(ierr, -3);
    EXPECT_EQ(hh[2], 0.0);

    std::vector<double> zero = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    hh[0]                    = 7.0;
    dmgsro(&lda, &n, &ind, &ops, zero.data(), hh, &ierr);
    EXPECT_EQ(ierr, -1);
    EXPECT_EQ(hh[0], 7.0);

    std::vector<double> infinite = {1, 0, 0, 0, 0, 1, 0, 0, kInf, 0, 0, 0};
    dmgsro(&lda, &n, &ind, &ops, infinite.data(), hh, &ierr);
    EXPECT_EQ(ierr, -2);
}

TEST(Mgsro, ReorthogonalisesANearlyDependentColumn) {
    // The third column is almost in the span of the first: one pass leaves rounding noise that
    // the second pass removes.
    const int lda = 3, n = 3, ind = 2;
    const double eps      = 1e-10;
    const double s        = 1.0 / std::sqrt(3.0);
    std::vector<double> v = {s, s, s, 1.0 + eps, 1.0, 1.0 - eps};
    double hh[2]          = {};
    double ops            = 0.0;
    int ierr              = 1;
    dmgsro(&lda, &n, &ind, &ops, v.data(), hh, &ierr);
    ASSERT_EQ(ierr, 0);
    const double dot = s * (v[3] + v[4] + v[5]);
    EXPECT_LT(std::fabs(dot), 1e-15);
    EXPECT_NEAR(v[3] * v[3] + v[4] * v[4] + v[5] * v[5], 1.0, 1e-14);
}

}  // namespace
}  // namespace trelvak
