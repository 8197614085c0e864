// products.cpp: products of a compressed-row matrix (1-based) with a vector.
//   DSYMmatvec   y = A x, A symmetric stored as its upper triangle with diagonal
//   DGNLmatvec   y = A x, general
//   DGNLmattvec  y = A^T x, general (y has nc entries)
// Each runs in one pass over the stored entries (DSYMmatvec in two when entries lie below the
// diagonal).
#include <algorithm>

#include "common/onebased.h"
#include "precond/precond.h"

using trelvak::view1;

namespace {

// The product in the stated order: y(i) = the row's off-diagonal sum, then every entry, the
// diagonal included, mirrored into y(ja(k)). Correct for any pattern, entries below the
// diagonal included.
void symmetric_product_in_order(SparseMatrix A, const double* x_in, double* y_in) {
    const int n   = A.nr;
    const auto ia = view1(A.ia);
    const auto ja = view1(A.ja);
    const auto a  = view1(A.a);
    const auto x  = view1(x_in);
    const auto y  = view1(y_in);
    if (n > 0) {
        std::fill(y_in, y_in + n, 0.0);
    }
    for (int i = 1; i <= n; ++i) {
        const double xi = x(i);
        double s        = 0.0;
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const int j = ja(k);
            if (j != i) {
                s += a(k) * x(j);
            }
            y(j) += a(k) * xi;
        }
        y(i) += s;
    }
}

}  // namespace

// Rows from the last to the first: row i adds a(i,j) x(i) into y(j) for j > i, which its own
// row has already set, and then sets y(i) to its row sum (the diagonal counted there). So y needs
// no clearing pass and every entry of y is written once and updated in cache. An entry below the
// diagonal would be mirrored into a y(j) that is set later; such a matrix is detected on the way
// and multiplied again in the stated order.
void DSYMmatvec(SparseMatrix A, const double* x_in, double* y_in) {
    const int n                = A.nr;
    const int* __restrict ia   = A.ia;
    const int* __restrict ja   = A.ja;
    const double* __restrict a = A.a;
    const double* __restrict x = x_in;
    double* __restrict y       = y_in;
    bool below_diagonal        = false;
    int end                    = n > 0 ? ia[n] - 1 : 0;  // 0-based end of row i + 1
    for (int i = n; i >= 1; --i) {
        const double xi = x[i - 1];
        int k           = ia[i - 1] - 1;
        double s        = 0.0;
        if (k < end && ja[k] == i) {  // the diagonal, stored first
            s = a[k] * xi;
            ++k;
        }
        for (; k < end; ++k) {
            const int j = ja[k];
            below_diagonal |= j < i;
            s += a[k] * x[j - 1];
            y[j - 1] += a[k] * xi;  // for j == i overwritten below; the diagonal is counted in s
        }
        y[i - 1] = s;
        end      = ia[i - 1] - 1;
    }
    if (below_diagonal) {
        symmetric_product_in_order(A, x_in, y_in);
    }
}

void DGNLmatvec(SparseMatrix A, const double* x_in, double* y_in) {
    const auto ia = view1(A.ia);
    const auto ja = view1(A.ja);
    const auto a  = view1(A.a);
    const auto x  = view1(x_in);
    const auto y  = view1(y_in);
    for (int i = 1; i <= A.nr; ++i) {
        double s = 0.0;
        for (int k = ia(i); k < ia(i + 1); ++k) {
            s += a(k) * x(ja(k));
        }
        y(i) = s;
    }
}

void DGNLmattvec(SparseMatrix A, const double* x_in, double* y_in) {
    const auto ia = view1(A.ia);
    const auto ja = view1(A.ja);
    const auto a  = view1(A.a);
    const auto x  = view1(x_in);
    const auto y  = view1(y_in);
    if (A.nc > 0) {
        std::fill(y_in, y_in + A.nc, 0.0);
    }
    for (int i = 1; i <= A.nr; ++i) {
        const double xi = x(i);
        for (int k = ia(i); k < ia(i + 1); ++k) {
            y(ja(k)) += a(k) * xi;
        }
    }
}
