// bisinit.cpp: dbisinit, the start-up checks every reverse-communication method runs first.
//
// On entry: ipar(1) (0, or negative to ask for fallback tolerances), ipar(2) (preconditioning
//   side), ipar(3) (stopping test, 0 = default), ipar(4) (length of w), fpar(1) = rtol,
//   fpar(2) = atol, fpar(11); need = the work length the method requires; default_test.
// On exit: either ipar(1) = -2 with ipar(4) = need (nothing else touched), or ipar(1) = -4
//   (unusable tolerances), or ipar(1) = 0 with lp/rp set, ipar(3) defaulted, ipar(7..13) = 0,
//   fpar(3..10) = 0, fpar(11) >= 0 and w(1..need) = 0.
// A start with ipar(1) < 0 replaces unusable tolerances by rtol = 1e-6, atol = 1e-16; the solve
// then runs like any other, so ipar(1) is cleared once the checks have passed.
#include "common/onebased.h"
#include "krylov/krylov.h"

using namespace trelvak;

void dbisinit(int* ipar_in, double* fpar_in, const int* need_in, const int* default_test, bool* lp,
              bool* rp, double* w_in) {
    auto ipar      = view1(ipar_in, 16);
    auto fpar      = view1(fpar_in, 16);
    const int need = *need_in;
    auto w         = view1(w_in, need);

    if (need > ipar(kWorkLength)) {
        ipar(kRequest)    = kWorkTooShort;
        ipar(kWorkLength) = need;
        return;
    }

    const int side = ipar(kPrecSide);
    *lp            = side == 1 || side >= 3;
    *rp            = side >= 2;

    if (ipar(kStopTest) == 0) {
        ipar(kStopTest) = *default_test;
    }
    for (int k = kProducts; k <= kResidualProducts; ++k) {
        ipar(k) = 0;
    }

    const double rtol = fpar(kRelTol);
    const double atol = fpar(kAbsTol);
    // Written so that a NaN tolerance counts as unusable too.
    const bool usable = rtol >= 0.0 && rtol < 1.0 && atol >= 0.0 && (rtol != 0.0 || atol != 0.0);
    if (!usable) {
        if (ipar(kRequest) == 0) {
            ipar(kRequest) = kBadTolerance;
            return;
        }
        fpar(kRelTol) = 1.0e-6;
        fpar(kAbsTol) = 1.0e-16;
    }
    ipar(kRequest) = 0;

    for (int k = kInitNorm; k <= 10; ++k) {
        fpar(k) = 0.0;
    }
    if (!(fpar(kFlops) >= 0.0)) {
        fpar(kFlops) = 0.0;
    }
    for (int i = 1; i <= need; ++i) {
        w(i) = 0.0;
    }
}
