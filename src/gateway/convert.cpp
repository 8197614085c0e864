// convert.cpp: checks of the host's matrix and vector inputs, and the conversion of a host sparse
// matrix (0-based compressed columns jc/ir/pr) into the one-triangle record the solver reads
// (1-based compressed rows, upper triangle with diagonal).
//
// Conversion: row j+1 of the record receives, in stored order, the entries of column j+1 of A
// whose row index is >= j+1, with the row number as column index. For a symmetric A this is its
// upper triangle by rows; entries above the diagonal of A are never read, so an unsymmetric A is
// taken as the symmetric matrix formed from its lower triangle. A missing diagonal stays missing;
// explicit zeros are copied.
//
// Vectors b and x0 must hold exactly n finite values in one row or column, and A finite entries:
// a NaN or Inf would only surface as a breakdown of the method many products later.
//
// On entry: A passed check_matrix_input. On exit: ia (n+1), ja and a (nzmax entries each, the
// host's storage capacity) from MAlloc under `tag`; the record views them.
#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "gateway/gateway.h"
#include "solver/solver.h"

namespace trelvak::gateway {

int check_matrix_input(const mxArray* A) {
    if (!mxIsNumeric(A)) {
        throw HostError("First input must be a matrix.");
    }
    const auto m = static_cast<long long>(mxGetM(A));
    const auto n = static_cast<long long>(mxGetN(A));
    if (m != n) {
        throw HostError("First input must be a square matrix.");
    }
    if (!mxIsSparse(A)) {
        throw HostError("TRELVAK: input matrix must be in sparse format.");
    }
    if (mxIsComplex(A) || !mxIsDouble(A)) {
        throw HostError("First input must be a real matrix.");
    }
    // Row pointers hold nnz+1 in a 32-bit int.
    if (n >= INT_MAX || static_cast<long long>(mxGetJc(A)[n]) >= INT_MAX) {
        throw HostError("First input is too large: order and entries must stay below 2^31-1.");
    }
    return static_cast<int>(n);
}

ConvertedMatrix convert_upper(const mxArray* A, const char* tag) {
    const int n       = static_cast<int>(mxGetN(A));
    const mwIndex* jc = mxGetJc(A);
    const mwIndex* ir = mxGetIr(A);
    const double* pr  = mxGetPr(A);
    const auto nzmax  = static_cast<size_t>(mxGetNzmax(A));

    ConvertedMatrix c;
    c.ia = allocate<int>(static_cast<size_t>(n) + 1, tag);
    c.ja = allocate<int>(nzmax, tag);
    c.a  = allocate<double>(nzmax, tag);

    int* ia   = c.ia.get();
    int* ja   = c.ja.get();
    double* a = c.a.get();
    ia[0]     = 1;
    for (int j = 0; j < n; ++j) {
        ia[j + 1] = ia[j];
        for (mwIndex k = jc[j]; k < jc[j + 1]; ++k) {
            const auto r = static_cast<int>(ir[k]);
            if (r >= j) {
                const int p = ia[j + 1]++;
                ja[p - 1]   = r + 1;
                a[p - 1]    = pr[k];
            }
        }
    }
    c.record.nr = n;
    c.record.nc = n;
    c.record.ia = ia;
    c.record.ja = ja;
    c.record.a  = a;
    return c;
}

void check_vector_input(const mxArray* v, int n, const char* which) {
    const size_t count = mxGetNumberOfElements(v);
    const bool vector  = mxGetNumberOfDimensions(v) == 2 && (mxGetM(v) == 1 || mxGetN(v) == 1);
    const bool ok      = mxIsDouble(v) && !mxIsComplex(v) && !mxIsSparse(v) &&
                    count == static_cast<size_t>(n) && (vector || n == 0);
    if (!ok) {
        throw HostError(std::string(which) + " input must be a real full double vector of " +
                        std::to_string(n) + " elements, one for each row of the matrix.");
    }
    const double* x = mxGetPr(v);
    for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(x[i])) {
            throw HostError(std::string(which) + " input holds " +
                            (std::isnan(x[i]) ? "NaN" : "Inf") + " in element " +
                            std::to_string(i + 1) + ": every element must be finite.");
        }
    }
}

void check_matrix_values(const mxArray* A) {
    const size_t count = mxGetJc(A)[mxGetN(A)];
    const double* a    = mxGetPr(A);
    for (size_t k = 0; k < count; ++k) {
        if (!std::isfinite(a[k])) {
            throw HostError(std::string("First input holds ") + (std::isnan(a[k]) ? "NaN" : "Inf") +
                            " entries: every entry must be finite.");
        }
    }
}

namespace {

// The methods square what they measure (inner products, norms): vectors whose entries reach this
// bound, times sqrt(n), would overflow them on the way.
constexpr double kLargestMagnitude = 1e150;

double largest_magnitude(const double* x, int n) {
    double m = 0.0;
    for (int i = 0; i < n; ++i) {
        m = std::max(m, std::abs(x[i]));
    }
    return m;
}

}  // namespace

void check_solve_magnitudes(const SparseMatrix& A, const double* b, const double* x0,
                            const char* b_input) {
    if (A.nr == 0) {
        return;
    }
    const double root_n = std::sqrt(static_cast<double>(A.nr));
    if (!(largest_magnitude(b, A.nr) * root_n <= kLargestMagnitude)) {
        throw HostError(std::string(b_input) +
                        " input is too large: entries beyond about 1e150 would overflow the "
                        "method's inner products; scale the system.");
    }
    if (x0 == nullptr) {
        return;  // the zero guess
    }
    std::vector<double> scratch(static_cast<size_t>(A.nr));
    const double norm_a = symmetric_norm_inf(A, scratch.data());
    if (!(norm_a * largest_magnitude(x0, A.nr) * root_n <= kLargestMagnitude)) {
        throw HostError(
            "Fifth input is too large for this matrix: the entries of A*x0 would "
            "overflow the method's inner products; start from a smaller guess.");
    }
}

}  // namespace trelvak::gateway
