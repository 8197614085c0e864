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
// On entry: A passed check_matrix_input. On exit: ia (n+1), ja and a (nzmax entries each, the
// host's storage capacity) from MAlloc under `tag`; the record views them.
#include <climits>
#include <string>

#include "gateway/gateway.h"

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
    const bool ok = mxIsDouble(v) && !mxIsComplex(v) && !mxIsSparse(v) &&
                    mxGetNumberOfElements(v) >= static_cast<size_t>(n);
    if (!ok) {
        throw HostError(std::string(which) +
                        " input must be a real full double vector with at least " +
                        std::to_string(n) + " elements.");
    }
}

}  // namespace trelvak::gateway
