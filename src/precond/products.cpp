// products.cpp: products of a compressed-row matrix (1-based) with a vector.
//   DSYMmatvec   y = A x, A symmetric stored as its upper triangle with diagonal
//   DGNLmatvec   y = A x, general
//   DGNLmattvec  y = A^T x, general (y has nc entries)
// Each runs in one pass over the stored entries (DSYMmatvec in two when entries lie below the
// diagonal). DSYMmatvec splits a large matrix's rows between the lanes.
#include <algorithm>
#include <vector>

#include "common/lanes.h"
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

// The mirrored entries a(i,j) x(i) of one lane that belong to rows j beyond its own (j > hi):
// summed into sums[j - hi - 1]; first..last is the range of j met.
struct Spill {
    double* sums = nullptr;
    int first    = 0;
    int last     = -1;
};

// Rows lo+1..hi (1-based) of the product from the last to the first: row i adds a(i,j) x(i)
// into y(j) for i < j <= hi, which its own row has already set, and then sets y(i) to its row
// sum (the diagonal counted there). So y needs no clearing pass and every entry of y is written
// once and updated in cache. The mirrored entries in columns beyond hi go to the spill, to be
// added when every lane is done; an entry below the diagonal would be mirrored into a y(j) set
// later, so it is only reported.
bool product_rows(SparseMatrix A, const double* __restrict x, double* __restrict y, int lo, int hi,
                  Spill* spill) {
    const int* __restrict ia   = A.ia;
    const int* __restrict ja   = A.ja;
    const double* __restrict a = A.a;
    bool below_diagonal        = false;
    int end                    = ia[hi] - 1;  // 0-based end of row i
    for (int i = hi; i > lo; --i) {
        const double xi = x[i - 1];
        int k           = ia[i - 1] - 1;
        double s        = 0.0;
        if (k < end && ja[k] == i) {  // the diagonal, stored first
            s = a[k] * xi;
            ++k;
        }
        const auto reach = static_cast<unsigned>(hi - i);
        for (; k < end; ++k) {
            const int j = ja[k];
            s += a[k] * x[j - 1];
            if (static_cast<unsigned>(j - i) <= reach) {
                y[j - 1] += a[k] * xi;  // for j == i overwritten below
            } else if (j < i) {
                below_diagonal = true;
            } else if (spill->sums != nullptr) {
                spill->sums[j - hi - 1] += a[k] * xi;
                spill->first = spill->last < spill->first ? j : std::min(spill->first, j);
                spill->last  = std::max(spill->last, j);
            }
        }
        y[i - 1] = s;
        end      = ia[i - 1] - 1;
    }
    return below_diagonal;
}

}  // namespace

// One lane runs the rows in one piece. With several lanes each takes a run of rows holding an
// equal share of the entries; the mirrored entries that reach into a later lane's rows are summed
// apart and added after all lanes are done. A matrix with entries below the diagonal is
// multiplied again in the stated order.
void DSYMmatvec(SparseMatrix A, const double* x, double* y) {
    const int n       = A.nr;
    const int entries = n > 0 ? A.ia[n] - A.ia[0] : 0;
    const int lanes   = entries >= trelvak::kLaneWork ? std::min(trelvak::lane_count(), n) : 1;
    if (lanes <= 1) {
        Spill none;  // the last rows reach no further than n
        if (n > 0 && product_rows(A, x, y, 0, n, &none)) {
            symmetric_product_in_order(A, x, y);
        }
        return;
    }
    std::vector<int> bounds(static_cast<size_t>(lanes) + 1, n);
    for (int t = 0; t < lanes; ++t) {
        const long share = A.ia[0] + static_cast<long>(entries) * t / lanes;
        bounds[static_cast<size_t>(t)] =
            static_cast<int>(std::lower_bound(A.ia, A.ia + n, share) - A.ia);
    }
    bounds[0] = 0;
    // Lane t sums into sums[t](1..n - bounds[t+1]). The sums are kept from call to call (one set
    // per calling thread) and are all zero between calls: what a call touches it clears again.
    thread_local std::vector<std::vector<double>> kept;
    std::vector<std::vector<double>>& sums = kept;  // the caller's, also inside the lanes
    if (sums.size() < static_cast<size_t>(lanes)) {
        sums.resize(static_cast<size_t>(lanes));
    }
    std::vector<Spill> spill(static_cast<size_t>(lanes));
    for (int t = 0; t + 1 < lanes; ++t) {
        auto& s = sums[static_cast<size_t>(t)];
        if (s.size() < static_cast<size_t>(n - bounds[static_cast<size_t>(t) + 1])) {
            s.resize(static_cast<size_t>(n - bounds[static_cast<size_t>(t) + 1]), 0.0);
        }
        spill[static_cast<size_t>(t)].sums = s.data();
    }
    std::vector<char> lane_below(static_cast<size_t>(lanes), 0);
    trelvak::run_lanes(lanes, [&](int t) {
        const auto u = static_cast<size_t>(t);
        if (bounds[u] < bounds[u + 1]) {
            lane_below[u] = product_rows(A, x, y, bounds[u], bounds[u + 1], &spill[u]);
        }
    });
    const bool below = std::find(lane_below.begin(), lane_below.end(), 1) != lane_below.end();
    for (int t = 0; t + 1 < lanes; ++t) {
        const Spill& s = spill[static_cast<size_t>(t)];
        const int hi   = bounds[static_cast<size_t>(t) + 1];
        for (int j = s.first; j <= s.last; ++j) {
            y[j - 1] += s.sums[j - hi - 1];
            s.sums[j - hi - 1] = 0.0;
        }
    }
    if (below) {
        symmetric_product_in_order(A, x, y);
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
