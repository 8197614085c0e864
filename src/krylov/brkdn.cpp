// brkdn.cpp: dbrkdn, the breakdown test of a divisor's magnitude v before a method divides by it.
//
// On exit: true with ipar(1) = -3 when v is exactly zero, true with ipar(1) = -9 when v is infinite
//   or not a number (1/v then lacks the strict sign of v), false otherwise (ipar untouched).
#include "common/onebased.h"
#include "krylov/krylov.h"

using namespace trelvak;

bool dbrkdn(const double* v_in, int* ipar_in) {
    const double v = *v_in;
    auto ipar      = view1(ipar_in, 16);
    if (v == 0.0) {
        ipar(kRequest) = kBreakdown;
        return true;
    }
    const double inv     = 1.0 / v;
    const bool same_sign = (v > 0.0 && inv > 0.0) || (v < 0.0 && inv < 0.0);
    if (!same_sign) {
        ipar(kRequest) = kNonFinite;
        return true;
    }
    return false;
}
