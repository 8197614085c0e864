// mumps_match.cpp: maximum product matching with scaling of a symmetric sparse matrix, through
// the maximum weighted transversal of Debian's sequential MUMPS library (5.5.1:
// dmumps_mtrans_driver_, job 5: shortest augmenting paths on the costs
// log(max_i |a_ij|) - log|a_ij|, whose dual variables give the scaling).
//
// On entry n, nnz and the graph with values: ia (n+1 row pointers), ja (nnz neighbours, 1-based,
// both triangles) and values aligned with ja. Since the matrix is symmetric its rows serve as the
// columns the library reads. Magnitudes are used; a neighbour repeated within a row counts once
// with its largest magnitude; indices outside 1..n are ignored.
// On exit p(i) = node matched with row i, always a permutation of 1..n. u(i) = exp(dual of row
// i), v(j) = exp(dual of column j): |u(i) a(i,j) v(j)| <= 1 for every entry, = 1 on the matched
// ones. If the pattern admits no complete matching (structurally singular), the rows the library
// leaves unmatched take the free columns in increasing order, u comes from the row duals and v is
// recomputed as v(j) = 1 / max_i |u(i) a(i,j)| (1 for an empty column), which keeps the bound.
// ia, ja and values are not changed.
// Work (allocated here and released before return): n+1 + n 64-bit ints, nnz + 5n ints,
// nnz + 3n doubles.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "common/buffer.h"
#include "common/onebased.h"
#include "preprocess/preprocess.h"

extern "C" {
// MUMPS 5.5.1 internals (no CHARACTER arguments; default INTEGER is 32-bit in Debian's build).
void dmumps_mtransi_(int* icntl, double* cntl);
void dmumps_mtrans_driver_(const int* job, const int* m, const int* n, const std::int64_t* ne,
                           std::int64_t* ip, int* irn, double* a, const std::int64_t* la, int* num,
                           int* perm, const std::int64_t* liw, int* iw, const std::int64_t* ldw,
                           double* dw, std::int64_t* ipq8, int* icntl, double* cntl, int* info,
                           int* infomumps);
}

using trelvak::view1;

namespace {

template <class T>
trelvak::Buffer<T> allocate(std::size_t count, const char* tag) {
    return trelvak::allocate<T>(count == 0 ? 1 : count, tag);
}

// exp(x) kept finite and non-zero.
double safe_exp(double x) {
    if (!(x == x)) {
        return 1.0;
    }
    return std::exp(std::fmax(-700.0, std::fmin(700.0, x)));
}

}  // namespace

void dmumps_match(int n, int nnz, int* p_in, int* ia_in, int* ja_in, double* values_in,
                  double* u_in, double* v_in) {
    if (n <= 0) {
        return;
    }
    auto p      = view1(p_in, n);
    auto u      = view1(u_in, n);
    auto v      = view1(v_in, n);
    auto ia     = view1(ia_in, n + 1);
    auto ja     = view1(ja_in);
    auto values = view1(values_in);
    for (int i = 1; i <= n; ++i) {
        p(i) = i;
        u(i) = 1.0;
        v(i) = 1.0;
    }
    const std::size_t nn = static_cast<std::size_t>(n);
    // The row pointers decide what is read; nnz only has to agree with them.
    const long stored    = std::max<long>(std::max(nnz, 0), static_cast<long>(ia(n + 1)) - ia(1));
    const std::size_t ne = static_cast<std::size_t>(stored);

    // Columns for the library: the rows of the symmetric graph, repeats merged, magnitudes.
    auto ip    = allocate<std::int64_t>(nn + 1, "dmumps_match:ip");
    auto irn   = allocate<int>(ne, "dmumps_match:irn");
    auto cost  = allocate<double>(ne, "dmumps_match:a");
    auto where = allocate<int>(nn, "dmumps_match:iw");  // position of row i in the current column
    for (int i = 0; i < n; ++i) {
        where[i] = 0;
    }
    std::int64_t count = 0;
    ip[0]              = 1;
    for (int j = 1; j <= n; ++j) {
        const std::int64_t start = count;
        for (int k = ia(j); k < ia(j + 1); ++k) {
            const int i = ja(k);
            if (i < 1 || i > n) {
                continue;
            }
            const double t = std::fabs(values(k));
            if (where[i - 1] > start) {  // repeated row in this column: keep the largest
                cost[where[i - 1] - 1] = std::fmax(cost[where[i - 1] - 1], t);
                continue;
            }
            irn[count]  = i;
            cost[count] = t;
            ++count;
            where[i - 1] = static_cast<int>(count);
        }
        ip[j] = count + 1;
    }
    where.reset();

    const int job          = 5;
    const std::int64_t nz  = count;
    const std::int64_t la  = count > 0 ? count : 1;
    const std::int64_t liw = 5 * static_cast<std::int64_t>(n);  // 3N + 2M
    const std::int64_t ldw = 3 * static_cast<std::int64_t>(n);  // N + 2M
    auto iw                = allocate<int>(static_cast<std::size_t>(liw), "dmumps_match:iw");
    auto dw                = allocate<double>(static_cast<std::size_t>(ldw), "dmumps_match:dw");
    auto ipq8              = allocate<std::int64_t>(nn, "dmumps_match:ipq8");
    auto perm              = allocate<int>(nn, "dmumps_match:perm");
    int icntl[10]          = {};
    double cntl[10]        = {};
    int info[10]           = {};
    int infomumps[80]      = {};
    int num                = 0;
    dmumps_mtransi_(icntl, cntl);
    icntl[0] = -1;  // no output on the Fortran units (it would bypass the host's output)
    icntl[1] = -1;
    icntl[2] = -1;
    icntl[4] = 0;        // check the input
    cntl[1]  = DBL_MAX;  // cost of an explicitly stored zero: use it only when unavoidable
    dmumps_mtrans_driver_(&job, &n, &n, &nz, ip.get(), irn.get(), cost.get(), &la, &num, perm.get(),
                          &liw, iw.get(), &ldw, dw.get(), ipq8.get(), icntl, cntl, info, infomumps);

    if (info[0] < 0 || infomumps[0] < 0) {
        // The library refused (it does not for a valid graph): keep the identity and plain
        // column maxima as scaling, which still bounds every entry by 1.
        num = 0;
        for (int i = 0; i < n; ++i) {
            perm[i] = 0;
            dw[i]   = 0.0;
        }
    }

    // Matching: take the library's matched pairs, then give the free columns to the unmatched
    // rows in increasing order.
    auto taken = view1(iw.get(), n);  // reuse: column j already matched
    for (int j = 1; j <= n; ++j) {
        taken(j) = 0;
    }
    for (int i = 1; i <= n; ++i) {
        const int j = perm[i - 1];
        if (j >= 1 && j <= n && taken(j) == 0) {
            p(i)     = j;
            taken(j) = 1;
        } else {
            p(i) = 0;
        }
    }
    bool complete = true;
    int free_col  = 1;
    for (int i = 1; i <= n; ++i) {
        if (p(i) != 0) {
            continue;
        }
        complete = false;
        while (taken(free_col) != 0) {
            ++free_col;
        }
        p(i)            = free_col;
        taken(free_col) = 1;
    }

    // Scaling from the dual variables (natural logarithms).
    for (int i = 1; i <= n; ++i) {
        u(i) = safe_exp(dw[i - 1]);
    }
    if (complete && num == n) {
        for (int j = 1; j <= n; ++j) {
            v(j) = safe_exp(dw[n + j - 1]);
        }
        return;
    }
    // Column factors that keep every scaled entry at most 1 in magnitude.
    // The values are read from the caller's arrays: the library overwrote its copy with costs.
    for (int j = 1; j <= n; ++j) {
        double colmax = 0.0;
        for (int k = ia(j); k < ia(j + 1); ++k) {
            const int i = ja(k);
            if (i >= 1 && i <= n) {
                colmax = std::fmax(colmax, u(i) * std::fabs(values(k)));
            }
        }
        v(j) = (colmax > 0.0 && std::isfinite(colmax)) ? 1.0 / colmax : 1.0;
    }
}
