// privatesptrs.cpp: dprivatesptrs, the solve A X = B with the packed Bunch-Kaufman factor
// A = U D U^T or L D L^T computed by LAPACK's dsptrf (reference algorithm: LAPACK dsptrs).
//
// Arguments, checks and results are those of dsptrs (info = -1 uplo, -2 n, -3 nrhs, -7 ldb,
// reported through xerbla under the name "DSPTRS"). One change in the "L" case: the solve with a
// 2x2 block D = [d1 c; c d2] divides by c only when |c| >= |d1|; otherwise it uses the
// determinant form, which stays defined when the block's off-diagonal entry is 0.
//
// On entry AP holds the packed factor (n(n+1)/2), ipiv its pivots, B the n x nrhs right-hand
// sides (leading dimension ldb). On exit B holds the solutions.
#include <algorithm>
#include <cctype>
#include <cmath>

#include "common/blas.h"
#include "precond/precond.h"

namespace {

// Column-major 1-based access to B.
struct Rhs {
    double* base;
    int ldb;
    double& operator()(int i, int j) const {
        return base[(i - 1) + static_cast<long>(j - 1) * ldb];
    }
    double* at(int i, int j) const { return &(*this)(i, j); }
};

void swap_rows(int nrhs, const Rhs& b, int i, int k) {
    if (i != k) {
        dswap_(&nrhs, b.at(i, 1), &b.ldb, b.at(k, 1), &b.ldb);
    }
}

// b(k) -= x * b(r)^T ... i.e. rank-one update B(rows, :) -= col * B(r, :).
void rank_one(int rows, int nrhs, const double* col, const Rhs& b, int r, int first_row) {
    if (rows > 0) {
        const double minus_one = -1.0;
        const int one          = 1;
        dger_(&rows, &nrhs, &minus_one, col, &one, b.at(r, 1), &b.ldb, b.at(first_row, 1), &b.ldb);
    }
}

// B(r, :) -= B(first_row : first_row+rows-1, :)^T col.
void transposed_update(int rows, int nrhs, const Rhs& b, int first_row, const double* col, int r) {
    if (rows > 0) {
        const double minus_one = -1.0;
        const double one_d     = 1.0;
        const int one          = 1;
        dgemv_("T", &rows, &nrhs, &minus_one, b.at(first_row, 1), &b.ldb, col, &one, &one_d,
               b.at(r, 1), &b.ldb, 1);
    }
}

void scale_row(int nrhs, double alpha, const Rhs& b, int k) {
    dscal_(&nrhs, &alpha, b.at(k, 1), &b.ldb);
}

bool same_letter(const char* c, char letter) {
    return std::toupper(static_cast<unsigned char>(*c)) == letter;
}

void solve_upper(int n, int nrhs, const double* ap, const int* ipiv, const Rhs& b) {
    auto AP = [ap](long k) { return ap[k - 1]; };
    // U D X = B, K from N down to 1.
    int k   = n;
    long kc = static_cast<long>(n) * (n + 1) / 2 + 1;
    while (k >= 1) {
        kc -= k;
        if (ipiv[k - 1] > 0) {
            swap_rows(nrhs, b, k, ipiv[k - 1]);
            rank_one(k - 1, nrhs, ap + (kc - 1), b, k, 1);
            scale_row(nrhs, 1.0 / AP(kc + k - 1), b, k);
            k -= 1;
        } else {
            swap_rows(nrhs, b, k - 1, -ipiv[k - 1]);
            rank_one(k - 2, nrhs, ap + (kc - 1), b, k, 1);
            rank_one(k - 2, nrhs, ap + (kc - (k - 1) - 1), b, k - 1, 1);
            const double akm1k = AP(kc + k - 2);
            const double akm1  = AP(kc - 1) / akm1k;
            const double ak    = AP(kc + k - 1) / akm1k;
            const double denom = akm1 * ak - 1.0;
            for (int j = 1; j <= nrhs; ++j) {
                const double bkm1 = b(k - 1, j) / akm1k;
                const double bk   = b(k, j) / akm1k;
                b(k - 1, j)       = (ak * bkm1 - bk) / denom;
                b(k, j)           = (akm1 * bk - bkm1) / denom;
            }
            kc -= k - 1;
            k -= 2;
        }
    }
    // U^T X = B, K from 1 up to N.
    k  = 1;
    kc = 1;
    while (k <= n) {
        if (ipiv[k - 1] > 0) {
            transposed_update(k - 1, nrhs, b, 1, ap + (kc - 1), k);
            swap_rows(nrhs, b, k, ipiv[k - 1]);
            kc += k;
            k += 1;
        } else {
            transposed_update(k - 1, nrhs, b, 1, ap + (kc - 1), k);
            transposed_update(k - 1, nrhs, b, 1, ap + (kc + k - 1), k + 1);
            swap_rows(nrhs, b, k, -ipiv[k - 1]);
            kc += 2 * k + 1;
            k += 2;
        }
    }
}

// The 2x2 block solve of the lower case: [d1 c; c d2] (b1, b2) for every column.
void solve_block_lower(int nrhs, double d1, double c, double d2, const Rhs& b, int k) {
    const bool determinant_form = std::fabs(d1) > std::fabs(c) || std::isnan(d1) || std::isnan(c);
    for (int j = 1; j <= nrhs; ++j) {
        const double b1 = b(k, j);
        const double b2 = b(k + 1, j);
        if (determinant_form) {
            const double det = d1 * d2 - c * c;
            b(k, j)          = (d2 * b1 - c * b2) / det;
            b(k + 1, j)      = (d1 * b2 - c * b1) / det;
        } else {
            const double s1    = d1 / c;
            const double s2    = d2 / c;
            const double denom = s1 * s2 - 1.0;
            b(k, j)            = (s2 * (b1 / c) - b2 / c) / denom;
            b(k + 1, j)        = (s1 * (b2 / c) - b1 / c) / denom;
        }
    }
}

void solve_lower(int n, int nrhs, const double* ap, const int* ipiv, const Rhs& b) {
    auto AP = [ap](long k) { return ap[k - 1]; };
    // L D X = B, K from 1 up to N.
    int k   = 1;
    long kc = 1;
    while (k <= n) {
        if (ipiv[k - 1] > 0) {
            swap_rows(nrhs, b, k, ipiv[k - 1]);
            rank_one(n - k, nrhs, ap + kc, b, k, k + 1);
            scale_row(nrhs, 1.0 / AP(kc), b, k);
            kc += n - k + 1;
            k += 1;
        } else {
            swap_rows(nrhs, b, k + 1, -ipiv[k - 1]);
            if (k < n - 1) {
                rank_one(n - k - 1, nrhs, ap + (kc + 1), b, k, k + 2);
                rank_one(n - k - 1, nrhs, ap + (kc + n - k + 1), b, k + 1, k + 2);
            }
            solve_block_lower(nrhs, AP(kc), AP(kc + 1), AP(kc + n - k + 1), b, k);
            kc += 2L * (n - k) + 1;
            k += 2;
        }
    }
    // L^T X = B, K from N down to 1.
    k  = n;
    kc = static_cast<long>(n) * (n + 1) / 2 + 1;
    while (k >= 1) {
        kc -= n - k + 1;
        if (ipiv[k - 1] > 0) {
            transposed_update(n - k, nrhs, b, k + 1, ap + kc, k);
            swap_rows(nrhs, b, k, ipiv[k - 1]);
            k -= 1;
        } else {
            if (k < n) {
                transposed_update(n - k, nrhs, b, k + 1, ap + kc, k);
                transposed_update(n - k, nrhs, b, k + 1, ap + (kc - (n - k) - 1), k - 1);
            }
            swap_rows(nrhs, b, k, -ipiv[k - 1]);
            kc -= n - k + 2;
            k -= 2;
        }
    }
}

}  // namespace

void dprivatesptrs(const char* uplo, const int* n_in, const int* nrhs_in, const double* AP,
                   const int* ipiv, double* B, const int* ldb_in, int* info) {
    const int n      = *n_in;
    const int nrhs   = *nrhs_in;
    const int ldb    = *ldb_in;
    const bool upper = same_letter(uplo, 'U');
    *info            = 0;
    if (!upper && !same_letter(uplo, 'L')) {
        *info = -1;
    } else if (n < 0) {
        *info = -2;
    } else if (nrhs < 0) {
        *info = -3;
    } else if (ldb < std::max(1, n)) {
        *info = -7;
    }
    if (*info != 0) {
        const int arg = -*info;
        xerbla_("DSPTRS", &arg, 6);
        return;
    }
    if (n == 0 || nrhs == 0) {
        return;
    }
    const Rhs b{B, ldb};
    if (upper) {
        solve_upper(n, nrhs, AP, ipiv, b);
    } else {
        solve_lower(n, nrhs, AP, ipiv, b);
    }
}
