// The pieces the methods share: start-up checks, stopping test, breakdown test, sum of squares
// and the Gram-Schmidt step.
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

TEST(KrylovKernels, BisinitChecksInOrder) {
    int ipar[16]    = {0, 5, 0, 9};
    double fpar[16] = {2.0};  // unusable, but the length is checked first
    std::vector<double> w(10, 7.0);
    bool lp = false, rp = false;
    const int need = 10, dflt = 1;
    dbisinit(ipar, fpar, &need, &dflt, &lp, &rp, w.data());
    EXPECT_EQ(ipar[0], kWorkTooShort);
    EXPECT_EQ(ipar[3], 10);
    EXPECT_EQ(w[0], 7.0);  // nothing else changed

    ipar[0] = 0;
    dbisinit(ipar, fpar, &need, &dflt, &lp, &rp, w.data());
    EXPECT_EQ(ipar[0], kBadTolerance);
    EXPECT_TRUE(lp && rp);
    EXPECT_EQ(ipar[2], 1);

    ipar[0] = -1;
    ipar[6] = ipar[12] = 5;
    fpar[10]           = -3.0;
    fpar[8]            = 4.0;
    dbisinit(ipar, fpar, &need, &dflt, &lp, &rp, w.data());
    EXPECT_EQ(ipar[0], 0);
    EXPECT_EQ(fpar[0], 1e-6);
    EXPECT_EQ(fpar[1], 1e-16);
    EXPECT_EQ(ipar[6] + ipar[12], 0);
    EXPECT_EQ(fpar[10] + fpar[8], 0.0);
    EXPECT_EQ(w, std::vector<double>(10, 0.0));

    const int sides[] = {-1, 0, 1, 2, 3, 4};
    const int zero    = 0;
    for (int k = 0; k < 6; ++k) {
        int p[16]    = {0, sides[k]};
        double f[16] = {kNaN};  // a NaN tolerance is unusable too
        dbisinit(p, f, &zero, &dflt, &lp, &rp, nullptr);
        EXPECT_EQ(p[0], kBadTolerance);
        EXPECT_EQ(lp, sides[k] == 1 || sides[k] >= 3);
        EXPECT_EQ(rp, sides[k] >= 2);
    }
}

TEST(KrylovKernels, StopbisResidualChangeAndLimit) {
    const int n = 2, p = 1;
    const double r[] = {3.0, 4.0}, dx[] = {0.6, 0.8}, bad[] = {kNaN, 1.0};
    const double scale = -2.0, smaller = 0.5;

    int ipar[16]    = {1, 0, 1, 0, 0, 0, 2};
    double fpar[16] = {0, 0, 0, 4.9};
    EXPECT_FALSE(dstopbis(&n, ipar, &p, fpar, r, dx, &scale));
    EXPECT_EQ(fpar[4], 5.0);
    EXPECT_EQ(fpar[5], 5.0);
    fpar[3] = 5.0;
    EXPECT_TRUE(dstopbis(&n, ipar, &p, fpar, r, dx, &scale));
    EXPECT_EQ(ipar[10], 1);
    EXPECT_TRUE(dstopbis(&n, ipar, &p, fpar, bad, dx, &scale));  // flag set: stops at once
    ipar[10] = 0;
    EXPECT_TRUE(dstopbis(&n, ipar, &p, fpar, bad, dx, &scale));  // NaN counts as met

    int ic[16]    = {1, 0, -1, 0, 0, 0, 2};  // test -1: the first call sets fpar(3), fpar(4)
    double fc[16] = {0.5, 0.25};
    EXPECT_FALSE(dstopbis(&n, ic, &p, fc, r, dx, &scale));
    EXPECT_EQ(fc[5], 2.0);  // |scale| ||dx||
    EXPECT_EQ(fc[2], 2.0);
    EXPECT_EQ(fc[3], 1.25);
    ic[6] = 3;
    EXPECT_TRUE(dstopbis(&n, ic, &p, fc, r, dx, &smaller));
    EXPECT_EQ(fc[2], 2.0);

    int il[16]    = {1, 0, 1, 0, 0, 3, 3};  // at the limit: -1, nothing computed
    double fl[16] = {0, 0, 0, 100.0};
    EXPECT_TRUE(dstopbis(&n, il, &p, fl, r, dx, &scale));
    EXPECT_EQ(il[0], kIterLimit);
    EXPECT_EQ(fl[4], 0.0);
}

TEST(KrylovKernels, BrkdnAndDdot2) {
    const double values[] = {0.0, -0.0, kInf, -kInf, kNaN, 1e-300, -2.0};
    const int statuses[]  = {kBreakdown, kBreakdown, kNonFinite, kNonFinite, kNonFinite, 1, 1};
    for (int k = 0; k < 7; ++k) {
        int ipar[16] = {1};
        EXPECT_EQ(dbrkdn(&values[k], ipar), statuses[k] != 1) << values[k];
        EXPECT_EQ(ipar[0], statuses[k]) << values[k];
    }
    const double x[] = {1, 2, 3, 4, 5};
    const int five = 5, three = 3, zero = 0, one = 1, two = 2, back = -2;
    EXPECT_EQ(ddot2(&five, x, &one), 55.0);
    EXPECT_EQ(ddot2(&three, x, &two), 35.0);   // 1, 3, 5
    EXPECT_EQ(ddot2(&three, x, &back), 35.0);  // 5, 3, 1
    EXPECT_EQ(ddot2(&zero, x, &one), 0.0);
}

TEST(KrylovKernels, MgsroOrthonormalisesAndReportsFailures) {
    const int lda = 4, n = 3, ind = 3;
    double hh[3] = {}, ops = 0.0;
    int ierr = 1;
    // Two orthonormal columns and a third, leading dimension 4 (the 99s lie outside).
    std::vector<double> v = {1, 0, 0, 99, 0, 1, 0, 99, 2, -3, 5, 99};
    dmgsro(&lda, &n, &ind, &ops, v.data(), hh, &ierr);
    EXPECT_EQ(ierr, 0);
    EXPECT_EQ(std::vector<double>(hh, hh + 3), (std::vector<double>{2, -3, 5}));
    EXPECT_EQ(std::vector<double>(v.begin() + 8, v.end()), (std::vector<double>{0, 0, 1, 99}));
    EXPECT_GT(ops, 0.0);

    const std::pair<double, int> cases[] = {{0.0, -1}, {kInf, -2}};
    for (const auto& [value, code] : cases) {
        std::vector<double> u = {1, 0, 0, 0, 0, 1, 0, 0, value, 0, 0, 0};
        hh[0]                 = 7.0;
        dmgsro(&lda, &n, &ind, &ops, u.data(), hh, &ierr);
        EXPECT_EQ(ierr, code);
        EXPECT_EQ(hh[0], 7.0);  // nothing written
    }
    std::vector<double> in_span = {1, 0, 0, 0, 0, 1, 0, 0, 4, -1, 0, 0};
    dmgsro(&lda, &n, &ind, &ops, in_span.data(), hh, &ierr);
    EXPECT_EQ(ierr, -3);
    EXPECT_EQ(hh[2], 0.0);

    // Nearly dependent on v_1: the second pass removes what the first left.
    const int two            = 2;
    const double s           = 1.0 / std::sqrt(3.0);
    std::vector<double> near = {s, s, s, 0, 1.0 + 1e-10, 1.0, 1.0 - 1e-10, 0};
    dmgsro(&lda, &n, &two, &ops, near.data(), hh, &ierr);
    ASSERT_EQ(ierr, 0);
    EXPECT_LT(std::fabs(s * (near[4] + near[5] + near[6])), 1e-15);
    EXPECT_NEAR(near[4] * near[4] + near[5] * near[5] + near[6] * near[6], 1.0, 1e-14);
}

}  // namespace
}  // namespace trelvak
