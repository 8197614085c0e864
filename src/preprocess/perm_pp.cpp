// perm_pp.cpp: diagonal-dominance ordering. Rows whose diagonal dominates their row (after the
// weakest rows are discounted) lead, the most dominant first; the rest follow in index order.
//   DSPDperm_pp   reordering routine: scaling step, then DPPpermF with tau = 0.5
//   DPPpermF      the ordering itself
//   DSPDwDiagRF   the same ordering under its other name
//
// DPPpermF, on entry: A the upper triangle with diagonal (1-based), tau the weakness threshold.
// With S(i) the sum and c(i) the count of the nonzero entries of the full row i, d(i) = |a(i,i)|
// and r(i) = d(i)/S(i) (0 for an empty row):
//   a row is weak when tau*rmax > 2 r(i), r(i) < mean(r) and r(i) <= 0.51;
//   the weak rows' entries are taken out of the other rows' sums, r'(i) = d(i)/S(i);
//   a row that is not weak is selected unless tau*rmax > r'(i), r'(i) < mean(r) and
//   r'(i) <= 0.51 all hold; its score is r'(i)^2 / ((c(i)-1)^2 + 1).
// On exit p lists the selected rows by decreasing score, then the others in increasing order;
// invq is the inverse, nB the number of selected rows. Returns 0, or 1 after printing a counting
// error (standard output) when the rows placed do not add up to n.
// Work: ibuff 2n ints, dbuff 3n doubles.
#include <cmath>
#include <cstdio>

#include "common/onebased.h"
#include "preprocess/preprocess.h"

int DPPpermF(SparseMatrix A, int* p_in, int* invq_in, int* nB, double tau, int* ibuff,
             double* dbuff, int /*unused*/) {
    const int n = A.nr;
    *nB         = 0;
    if (n <= 0) {
        return 0;
    }
    const auto ia    = trelvak::view1(A.ia, n + 1);
    const auto ja    = trelvak::view1(A.ja);
    const auto a     = trelvak::view1(A.a);
    const auto p     = trelvak::view1(p_in, n);
    const auto invq  = trelvak::view1(invq_in, n);
    const auto cand  = trelvak::view1(ibuff, n);      // candidates, sorted by score
    const auto count = trelvak::view1(ibuff + n, n);  // c(i), then a copy of the candidates
    const auto S     = trelvak::view1(dbuff, n);
    const auto r     = trelvak::view1(dbuff + n, n);      // r(i), then the candidates' scores
    const auto d     = trelvak::view1(dbuff + 2 * n, n);  // |a(i,i)|

    // Step 1: sums, counts and diagonals over the nonzero entries of the full rows.
    for (int i = 1; i <= n; ++i) {
        S(i)     = 0.0;
        count(i) = 0;
        d(i)     = 0.0;
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const double v = std::fabs(a(k));
            if (v == 0.0) {
                continue;
            }
            const int j = ja(k);
            S(i) += v;
            ++count(i);
            if (j == i) {
                d(i) = v;
            } else {
                S(j) += v;
                ++count(j);
            }
        }
    }

    // Step 2: dominance ratios, their largest value and mean.
    double rmax = 0.0;
    double mean = 0.0;
    for (int i = 1; i <= n; ++i) {
        r(i) = S(i) > 0.0 ? d(i) / S(i) : 0.0;
        rmax = std::fmax(rmax, r(i));
        mean += r(i);
    }
    mean /= n;

    // Step 3: weak rows, marked in invq.
    for (int i = 1; i <= n; ++i) {
        invq(i) = (tau * rmax > 2.0 * r(i) && r(i) < mean && r(i) <= 0.51) ? 1 : 0;
    }

    // Step 4: the weak rows' entries leave the other rows' sums.
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const double v = std::fabs(a(k));
            if (v == 0.0) {
                continue;
            }
            const int j = ja(k);
            if (invq(i) != 0) {
                S(j) -= v;
            }
            if (invq(j) != 0) {
                S(i) -= v;
            }
        }
    }

    // Step 5: candidates and their scores.
    int ncand = 0;
    for (int i = 1; i <= n; ++i) {
        if (invq(i) != 0) {
            continue;
        }
        const double rp = S(i) > 0.0 ? d(i) / S(i) : 0.0;
        if (tau * rmax > rp && rp < mean && rp <= 0.51) {
            continue;
        }
        ++ncand;
        cand(ncand)     = i;
        const double c1 = count(i) - 1.0;
        r(ncand)        = rp * rp / (c1 * c1 + 1.0);
    }

    // Step 6: candidates by decreasing score, then every other row in increasing order.
    for (int k = 1; k <= ncand; ++k) {
        count(k) = cand(k);
    }
    if (ncand > 1) {
        dqsortr2i(r.data(), cand.data(), count.data(), 0, ncand - 1);
    }
    for (int i = 1; i <= n; ++i) {
        invq(i) = 0;
    }
    int placed = 0;
    for (int k = 1; k <= ncand; ++k) {
        p(++placed)   = cand(k);
        invq(cand(k)) = placed;
    }
    *nB = ncand;
    for (int i = 1; i <= n; ++i) {
        if (invq(i) == 0) {
            p(++placed) = i;
            invq(i)     = placed;
        }
    }
    if (placed != n) {
        std::printf("  ** counting error - type 1 \n");
        std::fflush(stdout);
        return 1;
    }
    return 0;
}

int DSPDwDiagRF(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff, double* dbuff,
                int unused) {
    return DPPpermF(A, p, invq, nB, tau, ibuff, dbuff, unused);
}

int DSPDperm_pp(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                ParameterRecord* param) {
    // This routine reports a zero row or column on standard output.
    if (scaling_step(A, left, right, param, "permPP:param->dbuff", true) != 0) {
        return -5;
    }
    const int n = A.nr;
    if (n <= 0) {
        *nB = 0;
        return 0;
    }
    if (param->nibuff < 2 * n) {
        param->ibuff = static_cast<int*>(
            ReAlloc(param->ibuff, sizeof(int) * 2 * static_cast<size_t>(n), "permPP:ibuff"));
        param->nibuff = 2 * n;
    }
    if (param->ndbuff < 3 * n) {
        param->dbuff = static_cast<double*>(
            ReAlloc(param->dbuff, sizeof(double) * 3 * static_cast<size_t>(n), "permPP:dbuff"));
        param->ndbuff = 3 * n;
    }
    // The counting check's result is not needed here: p is a permutation either way.
    (void)DPPpermF(A, p, invq, nB, 0.5, param->ibuff, param->dbuff, 50);
    return 0;
}
