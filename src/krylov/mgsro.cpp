// mgsro.cpp: dmgsro, modified Gram-Schmidt with selective reorthogonalisation: orthogonalises
// column ind of vec against columns 1..ind-1 (assumed orthonormal) and normalises it, as used to
// build the Arnoldi basis of the GMRES variants (a column is orthogonalised twice against v_i
// when the removed part h^2 exceeds 98% of what was left of its squared norm).
//
// On entry: lda leading dimension, n column length, vec columns 1..ind; ops an operation count.
// On exit: hh(1..ind-1) the coefficients, hh(ind) the remaining norm; column ind normalised; ops
//   increased; ierr = 0 success, -1 zero column on entry, -2 infinite or NaN column on entry (for
//   -1 and -2 nothing else is written), -3 zero column after orthogonalisation (hh(ind) = 0).
#include <algorithm>
#include <cmath>

#include "common/blas.h"
#include "common/onebased.h"
#include "krylov/krylov.h"

using namespace trelvak;

void dmgsro(const int* lda_in, const int* n_in, const int* ind_in, double* ops, double* vec_in,
            double* hh_in, int* ierr) {
    const long lda = *lda_in;
    const int n    = *n_in;
    const int ind  = *ind_in;
    const int one  = 1;
    auto vec       = view1(vec_in);
    auto hh        = view1(hh_in, ind);
    double* v      = vec.at((ind - 1) * lda + 1);  // the column being orthogonalised

    double s = ddot2(&n, v, &one);
    *ops += 2.0 * n;
    if (s <= 0.0) {
        *ierr = -1;
        return;
    }
    if (!(1.0 / s > 0.0)) {
        *ierr = -2;
        return;
    }

    double theta = 0.98 * s;
    for (int i = 1; i < ind; ++i) {
        const double* vi = vec.at((i - 1) * lda + 1);
        double h         = blas::dot(n, vi, v);  // h = v_i . v
        blas::axpy(n, -h, vi, v);                // v = v - h v_i
        *ops += 4.0 * n;
        if (h * h > theta) {
            const double h2 = blas::dot(n, vi, v);
            h += h2;
            blas::axpy(n, -h2, vi, v);
            *ops += 4.0 * n;
        }
        hh(i) = h;
        s     = std::max(s - h * h, 0.0);
        theta = 0.98 * s;
    }

    const double nu = std::sqrt(ddot2(&n, v, &one));
    *ops += 2.0 * n;
    hh(ind) = nu;
    if (nu <= 0.0) {
        *ierr = -3;
        return;
    }
    blas::scal(n, 1.0 / nu, v);
    *ops += n;
    *ierr = 0;
}
