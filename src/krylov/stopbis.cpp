// stopbis.cpp: dstopbis, the stopping test of SQMR and the CG-type methods for tests 1, 2, -1, -2
// (and 3, whose target the method sets itself). krylov::stopbis takes the norms through a
// reduction hook (krylov.h) for vectors spread over processes.
//
// On entry: ipar(3) test, ipar(6) limit, ipar(7) products so far, ipar(11) stop flag; p products
// per
//   iteration; fpar(3), fpar(4) (target); r the current residual (n), dx the last direction (n) and
//   sx its scale, so that the change of the iterate is sx*dx.
// On exit: true when the solve must stop. At the iteration limit ipar(1) = -1 and nothing else is
//   touched. Otherwise fpar(5) = ||r||, fpar(6) = the tested quantity, ipar(11) = 1 when it does
//   not exceed fpar(4) (a NaN counts as met); under test -1 the first call also sets fpar(3) and
//   fpar(4).
#include <cmath>

#include "common/onebased.h"
#include "krylov/krylov.h"

using namespace trelvak;

bool dstopbis(const int* n, int* ipar, const int* p, double* fpar, const double* r,
              const double* dx, const double* sx) {
    return krylov::stopbis(krylov::Reduction{}, *n, ipar, *p, fpar, r, dx, *sx);
}

bool krylov::stopbis(const Reduction& reduce, int n, int* ipar_in, int p, double* fpar_in,
                     const double* r, const double* dx, double sx) {
    auto ipar = view1(ipar_in, 16);
    auto fpar = view1(fpar_in, 16);

    bool stop = ipar(kStopFlag) == 1;
    if (ipar(kMaxIter) > 0 && ipar(kProducts) >= ipar(kMaxIter)) {
        ipar(kRequest) = kIterLimit;
        stop           = true;
    }
    if (stop) {
        return true;
    }

    const double rnorm = krylov::nrm2(reduce, n, r);
    fpar(kResNorm)     = rnorm;
    fpar(kFlops) += 2.0 * n;
    if (ipar(kStopTest) >= 0) {
        fpar(kTested) = rnorm;
    } else {
        fpar(kTested) = std::fabs(sx) * krylov::nrm2(reduce, n, dx);  // ||sx * dx||
        fpar(kFlops) += 2.0 * n;
        if (ipar(kProducts) <= 2 * p) {
            fpar(kInitNorm) = fpar(kTested);
            if (ipar(kStopTest) == -1) {
                fpar(kTarget) = fpar(kRelTol) * fpar(kInitNorm) + fpar(kAbsTol);
            }
        }
    }

    if (fpar(kTested) > fpar(kTarget)) {
        ipar(kStopFlag) = 0;
        return false;
    }
    ipar(kStopFlag) = 1;  // met, or the tested quantity is not a number
    return true;
}
