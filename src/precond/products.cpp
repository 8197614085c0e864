// products.cpp: products of a compressed-row matrix (1-based) with a vector.
//   DSYMmatvec   y = A x, A symmetric stored as its upper triangle with diagonal
//   DGNLmatvec   y = A x, general
//   DGNLmattvec  y = A^T x, general (y has nc entries)
// Each runs in one pass over the stored entries.
#include <algorithm>

#include "common/onebased.h"
#include "precond/precond.h"

using trelvak::view1;

void DSYMmatvec(SparseMatrix A, const double* x_in, double* y_in) {
    const int n   = A.nr;
    const auto ia = view1(A.ia);
    const auto ja = view1(A.ja);
    const auto a  = view1(A.a);
    const auto x  = view1(x_in);
    const auto y  = view1(y_in);
    if (n > 0) {
        std::fill(y_in, y_in + n, 0.0);
    }
    // Row i contributes a(i,j) x(j) to y(i) and, mirrored, a(i,j) x(i) to y(j); the diagonal once.
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
