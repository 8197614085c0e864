// amgsol1.cpp: DSYMAMGsol1, the AMLI-like cycle on level lev of the level list.
//
// Method: the block elimination of the multilevel ILU (amgsol.cpp), but the coarse (Schur)
// system S of the next level is treated by k steps of preconditioned Richardson iteration,
// preconditioned by the cycle of the next level and using the coarse system matrix A that the
// factorization kept there (an algebraic multilevel iteration):
//     g1 = g,  c_j = M_next^-1 g_j,  g_{j+1} = g_j - S c_j,  x2 = c_1 + ... + c_k.
// k = ncoarse (ifact[11]); it is 1 on the level above a dense last level. A level is therefore
// visited as often as the product of the k of the levels above it.
//
// ncoarse <= 0 is treated as 1: the Richardson sum must hold at least one correction, since the
// back substitution reads it (with no step it would copy memory that this call never wrote).
//
// On entry: x(a+1..N), the level's right-hand side (scaled by R.colscale, not permuted).
// On exit:  x(a+1..N), the level's approximate solution in the same numbering and scaling;
//           x(1..a) neither read nor written.
// Work:     work, at least N + 2 nn doubles: 1..N permuted copies; the Richardson sum of this
//           level at N+b+1..N+b+t' and its saved residual at N+nn+b+1..N+nn+b+t', t' = N-a-nB;
//           the next level gets b' = N + b - (a + nB), so the slices of all levels tile.
#include <algorithm>

#include "common/blas.h"
#include "common/onebased.h"
#include "precond/precond.h"

void DSYMAMGsol1(LevelRecord* R, int lev, int n, int nn, int a, int b, ParameterRecord* param,
                 double* x_in, double* work_in) {
    using namespace trelvak::level_ops;
    using trelvak::view1;

    const int N = n;
    if (lev >= R->nlev) {
        solve_last_level(*R, lev, N, a, x_in, work_in);
        return;
    }

    const int m       = R->nB;
    const int ap      = a + m;
    const int tp      = N - ap;
    const bool reduce = (static_cast<unsigned>(param->ifact[6]) & COARSE_REDUCE) != 0;
    const int k       = std::max(1, coarse_steps(*R, lev, *param));
    const auto x      = view1(x_in, N);
    const auto wk     = view1(work_in, static_cast<long>(N) + 2L * nn);
    LevelRecord* next = R->next;

    const bool scaled = restrict_to_next(*R, lev, N, a, reduce, x_in, work_in);

    // Richardson iteration on the next level's system; g lives in the saved area.
    double* sum   = wk.at(N + b + 1);
    double* saved = wk.at(N + nn + b + 1);
    std::copy(x.at(ap + 1), x.at(ap + 1) + tp, saved);
    for (int j = 0;;) {
        DSYMAMGsol1(next, lev + 1, n, nn, ap, N + b - ap, param, x_in, work_in);  // x2 = c
        if (j == 0) {
            std::copy(x.at(ap + 1), x.at(ap + 1) + tp, sum);
        } else {
            trelvak::blas::axpy(tp, 1.0, x.at(ap + 1), sum);  // sum += c
        }
        if (++j == k) {
            break;
        }
        DSYMmatvec(next->A, x.at(ap + 1), wk.at(ap + 1));  // work2 = S c
        for (int q = 0; q < tp; ++q) {
            saved[q]      = saved[q] - wk(ap + 1 + q);  // g = g - S c
            x(ap + 1 + q) = saved[q];
        }
    }

    std::copy(sum, sum + tp, wk.at(ap + 1));  // work2 = x2
    if (scaled) {
        scale(next->colscale, N, ap, work_in);
    }
    prolong_from_next(*R, N, a, reduce, x_in, work_in);
}
