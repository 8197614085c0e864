// kernels.cpp: solves with one level's symmetric compressed factor B ~ L D L^T, U = D L^T.
//
// Storage (factor_index I, factor_values V, order m):
//   I(1..m+1)    row pointers of the strict upper part of U; I(m+1) holds factor_nnz+1 while a
//                kernel runs (the caller patches it); I(1) is positive here
//   I(m+1+i)     non-zero when rows i, i+1 form a 2x2 pivot
//   V(1..m)      diagonal of D^-1; a 2x2 inverse block is [V(i) V(m+1+i); V(m+1+i) V(i+1)]
//   row i (1x1): columns I(k), values V(k), k = I(i)..I(i+1)-1
//   rows i, i+1 (2x2): shared columns I(k), values V(p) (row i) and V(p+1) (row i+1),
//                p = I(i) + 2 (k - I(i))
//
// Since L = U^T D^-1, the forward part (L z = rhs) subtracts (D^-1 z_block) times the row of U,
// leaving z in place; the backward parts solve U x = z (with pivots) or L^T x = z (unit upper,
// the block inverse applied to the sums). The kernels allocate nothing; rhs and sol may be the
// same array (each kernel first copies rhs into sol).
//
// Given a FactorSplit, the sweeps run the groups of rows 1..cut on the lanes: a forward sweep
// gathers each lane's updates of the rows after the cut apart and subtracts them before it
// takes those rows on one lane; a backward sweep takes the rows after the cut first.
#include <algorithm>

#include "common/lanes.h"
#include "common/onebased.h"
#include "precond/precond.h"

namespace {

using trelvak::FactorSplit;
using trelvak::View1;
using trelvak::view1;

// The factor of one block, read through 1-based views.
struct Factor {
    int m;
    View1<const int> I;
    View1<const double> V;

    bool pair_starts_at(int i) const { return I(m + 1 + i) != 0; }
    double inv_offdiag(int i) const { return V(m + 1 + i); }  // of the pair starting at i
};

void copy_in(int count, const double* rhs, double* sol) {
    if (rhs != sol && count > 0) {
        std::copy_n(rhs, count, sol);
    }
}

// The row sums below run over one row's slots k = first..first+count-1 (1-based) through plain
// pointers: cols[j] = I(first+j) and vals[j] = V(first+j), or the interleaved pair values
// vals[2j] = V(p), vals[2j+1] = V(p+1). x0[c-1] is x(c). The sums are split into independent
// partial sums, so that a row costs a few loads per slot instead of one long chain of dependent
// additions; the result differs from a left-to-right sum only by rounding.

// sum over j of vals[j] x(cols[j]). The slots run from the last to the first: the first columns
// of a row are the unknowns solved just before it, so their products come last in the chains of
// additions and the rest of the row is summed while they are still being computed.
inline double row_dot(int count, const int* __restrict cols, const double* __restrict vals,
                      const double* __restrict x0) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    int j = count;
    for (; j >= 4; j -= 4) {
        s0 += vals[j - 1] * x0[static_cast<long>(cols[j - 1]) - 1];
        s1 += vals[j - 2] * x0[static_cast<long>(cols[j - 2]) - 1];
        s2 += vals[j - 3] * x0[static_cast<long>(cols[j - 3]) - 1];
        s3 += vals[j - 4] * x0[static_cast<long>(cols[j - 4]) - 1];
    }
    for (; j > 0; --j) {
        s0 += vals[j - 1] * x0[static_cast<long>(cols[j - 1]) - 1];
    }
    return (s0 + s1) + (s2 + s3);
}

// (t1, t2) = sums over j of (vals[2j], vals[2j+1]) x(cols[j]), also from the last slot on
inline void pair_dot(int count, const int* __restrict cols, const double* __restrict vals,
                     const double* __restrict x0, double* t1, double* t2) {
    double a0 = 0.0, a1 = 0.0, b0 = 0.0, b1 = 0.0;
    int j = count;
    for (; j >= 2; j -= 2) {
        const double u = x0[static_cast<long>(cols[j - 1]) - 1];
        const double v = x0[static_cast<long>(cols[j - 2]) - 1];
        a0 += vals[2 * j - 2] * u;
        b0 += vals[2 * j - 1] * u;
        a1 += vals[2 * j - 4] * v;
        b1 += vals[2 * j - 3] * v;
    }
    if (j > 0) {
        const double u = x0[static_cast<long>(cols[0]) - 1];
        a0 += vals[0] * u;
        b0 += vals[1] * u;
    }
    *t1 = a0 + a1;
    *t2 = b0 + b1;
}

// x(cols[j]) -= y vals[j] for j < count: a row of U scattered into the solution. The columns of a
// row are distinct, so the updates are independent.
inline void row_axpy(int count, double y, const int* __restrict cols, const double* __restrict vals,
                     double* __restrict x0) {
#pragma GCC ivdep
    for (int j = 0; j < count; ++j) {
        x0[static_cast<long>(cols[j]) - 1] -= y * vals[j];
    }
}

// x(cols[j]) -= y1 vals[2j] + y2 vals[2j+1] for j < count: the rows of a 2x2 pivot.
inline void pair_axpy(int count, double y1, double y2, const int* __restrict cols,
                      const double* __restrict vals, double* __restrict x0) {
#pragma GCC ivdep
    for (int j = 0; j < count; ++j) {
        x0[static_cast<long>(cols[j]) - 1] -= y1 * vals[2 * j] + y2 * vals[2 * j + 1];
    }
}

// Four (two) updates of the above with the loads of the solution ahead of the stores.
inline void row_axpy4(double y, const int* __restrict cols, const double* __restrict vals,
                      double* __restrict x0) {
    const long c0 = cols[0] - 1L, c1 = cols[1] - 1L, c2 = cols[2] - 1L, c3 = cols[3] - 1L;
    const double u0 = x0[c0], u1 = x0[c1], u2 = x0[c2], u3 = x0[c3];
    x0[c0] = u0 - y * vals[0];
    x0[c1] = u1 - y * vals[1];
    x0[c2] = u2 - y * vals[2];
    x0[c3] = u3 - y * vals[3];
}

inline void pair_axpy2(double y1, double y2, const int* __restrict cols,
                       const double* __restrict vals, double* __restrict x0) {
    const long c0 = cols[0] - 1L, c1 = cols[1] - 1L;
    const double u0 = x0[c0], u1 = x0[c1];
    x0[c0] = u0 - (y1 * vals[0] + y2 * vals[1]);
    x0[c1] = u1 - (y1 * vals[2] + y2 * vals[3]);
}

// The same on one lane of a split sweep: the updates of columns c beyond cut are summed into
// spill(c - cut) instead, to be subtracted when all lanes are done. When the columns of each row
// ascend, the leading blocks whose last column lies before the cut skip the test per entry.
struct Spill {
    int cut;
    double* sums;
    bool ascending;
};

inline void spill_or_subtract(int c, double u, double* __restrict x0, Spill spill) {
    if (c > spill.cut) {
        spill.sums[c - spill.cut - 1] += u;
    } else {
        x0[static_cast<long>(c) - 1] -= u;
    }
}

inline void row_axpy(int count, double y, const int* __restrict cols, const double* __restrict vals,
                     double* __restrict x0, Spill spill) {
    int j = 0;
    if (spill.ascending) {
        for (; j + 4 <= count && cols[j + 3] <= spill.cut; j += 4) {
            row_axpy4(y, cols + j, vals + j, x0);
        }
    }
    for (; j < count; ++j) {
        spill_or_subtract(cols[j], y * vals[j], x0, spill);
    }
}

inline void pair_axpy(int count, double y1, double y2, const int* __restrict cols,
                      const double* __restrict vals, double* __restrict x0, Spill spill) {
    int j = 0;
    if (spill.ascending) {
        for (; j + 2 <= count && cols[j + 1] <= spill.cut; j += 2) {
            pair_axpy2(y1, y2, cols + j, vals + 2 * j, x0);
        }
    }
    for (; j < count; ++j) {
        spill_or_subtract(cols[j], y1 * vals[2 * j] + y2 * vals[2 * j + 1], x0, spill);
    }
}

// Forward part (L z = rhs) over rows lo..hi, leaving z in place; columns beyond m (coupling
// columns) receive updates too. A row whose multiplier is zero changes nothing and is skipped:
// right-hand sides such as F x2 are zero on many rows, and so are the first rows of their
// solution. `more` is empty on one lane and a lane's Spill on a split sweep.
template <class... More>
void forward_rows(const Factor& f, int lo, int hi, View1<double> sol, bool use_pairs,
                  More... more) {
    const auto& I = f.I;
    const auto& V = f.V;
    double* x0    = sol.data();
    int i         = lo;
    while (i <= hi) {
        const int first = I(i);
        if (use_pairs && f.pair_starts_at(i)) {
            // (y1, y2) = D_block^-1 (sol(i), sol(i+1))
            const double y1 = V(i) * sol(i) + f.inv_offdiag(i) * sol(i + 1);
            const double y2 = f.inv_offdiag(i) * sol(i) + V(i + 1) * sol(i + 1);
            if (y1 != 0.0 || y2 != 0.0) {
                pair_axpy(I(i + 1) - first, y1, y2, I.at(first), V.at(first), x0, more...);
            }
            i += 2;
        } else {
            const double y = V(i) * sol(i);  // y = d_i^-1 z_i
            if (y != 0.0) {
                row_axpy(I(i + 1) - first, y, I.at(first), V.at(first), x0, more...);
            }
            i += 1;
        }
    }
}

// sol := L^-1 sol over rows 1..m, or over the rows of `visit` (sol vanishes on the others and
// stays zero there). With a split, the lanes sweep their groups (whose rows touch their own rows
// and the columns beyond the cut only), the spilled sums are subtracted, and the rows after the cut
// follow.
void forward_part(const Factor& f, View1<double> sol, bool use_pairs, FactorSplit* split,
                  const trelvak::ForwardRows* visit = nullptr) {
    const auto sweep = [&](const std::vector<std::pair<int, int>>& runs, auto... more) {
        for (const auto& [lo, hi] : runs) {
            forward_rows(f, lo, hi, sol, use_pairs, more...);
        }
    };
    if (split == nullptr || split->m != f.m) {
        if (visit != nullptr) {
            sweep(visit->all);
        } else {
            forward_rows(f, 1, f.m, sol, use_pairs);
        }
        return;
    }
    const bool sparse = visit != nullptr && visit->lanes.size() == split->runs.size();
    const int cut     = split->cut;
    const int width   = split->reach - cut;
    trelvak::run_lanes(split->lanes, [&](int lane) {
        double* sums = split->spill[static_cast<size_t>(lane)].data();
        std::fill_n(sums, width, 0.0);
        const auto lane_at = static_cast<size_t>(lane);
        sweep(sparse ? visit->lanes[lane_at] : split->runs[lane_at],
              Spill{cut, sums, split->ascending});
    });
    double* beyond = sol.data() + cut;
    for (const auto& sums : split->spill) {
        for (int c = 0; c < width; ++c) {
            beyond[c] -= sums[static_cast<size_t>(c)];
        }
    }
    if (sparse) {
        sweep(visit->tail);
    } else {
        forward_rows(f, cut + 1, f.m, sol, use_pairs);
    }
}

// sol := U^-1 sol = (D L^T)^-1 sol over rows hi..lo.
void backward_rows_with_pivots(const Factor& f, int lo, int hi, View1<double> sol, bool use_pairs) {
    const auto& I    = f.I;
    const auto& V    = f.V;
    const double* x0 = sol.data();
    int i            = hi;
    while (i >= lo) {
        if (use_pairs && i >= 2 && I(f.m + i) > 0) {
            // rows i-1, i: [c; e] = z_block - U_block x, x_block = D_block^-1 [c; e]
            const int first = I(i - 1);
            double t1 = 0.0, t2 = 0.0;
            pair_dot(I(i) - first, I.at(first), V.at(first), x0, &t1, &t2);
            const double c = sol(i - 1) - t1;
            const double e = sol(i) - t2;
            sol(i - 1)     = V(i - 1) * c + f.inv_offdiag(i - 1) * e;
            sol(i)         = f.inv_offdiag(i - 1) * c + V(i) * e;
            i -= 2;
        } else {
            const int first = I(i);
            const double s  = sol(i) - row_dot(I(i + 1) - first, I.at(first), V.at(first), x0);
            sol(i)          = s * V(i);
            i -= 1;
        }
    }
}

// sol := L^-T sol over rows hi..lo, L^T = D^-1 U unit upper: the block inverse is applied to the
// row sums.
void backward_rows_unit(const Factor& f, int lo, int hi, View1<double> sol, bool /*use_pairs*/) {
    const auto& I    = f.I;
    const auto& V    = f.V;
    const double* x0 = sol.data();
    int i            = hi;
    while (i >= lo) {
        if (i >= 2 && I(f.m + i) > 0) {
            const int first = I(i - 1);
            double t1 = 0.0, t2 = 0.0;
            pair_dot(I(i) - first, I.at(first), V.at(first), x0, &t1, &t2);
            sol(i - 1) -= V(i - 1) * t1 + f.inv_offdiag(i - 1) * t2;
            sol(i) -= f.inv_offdiag(i - 1) * t1 + V(i) * t2;
            i -= 2;
        } else {
            const int first = I(i);
            const double t  = row_dot(I(i + 1) - first, I.at(first), V.at(first), x0);
            sol(i) -= V(i) * t;
            i -= 1;
        }
    }
}

// A backward sweep over rows m..1: with a split, the rows after the cut first, then the lanes
// over their groups (each row reads its own group and the rows after the cut).
template <class Rows>
void backward_part(const Factor& f, View1<double> sol, bool use_pairs, FactorSplit* split,
                   Rows rows) {
    if (split == nullptr || split->m != f.m) {
        rows(f, 1, f.m, sol, use_pairs);
        return;
    }
    rows(f, split->cut + 1, f.m, sol, use_pairs);
    trelvak::run_lanes(split->lanes, [&](int lane) {
        const auto& runs = split->runs[static_cast<size_t>(lane)];
        for (auto r = runs.rbegin(); r != runs.rend(); ++r) {
            rows(f, r->first, r->second, sol, use_pairs);
        }
    });
}

void backward_part_with_pivots(const Factor& f, View1<double> sol, bool use_pairs,
                               FactorSplit* split) {
    backward_part(f, sol, use_pairs, split, backward_rows_with_pivots);
}

void backward_part_unit(const Factor& f, View1<double> sol, FactorSplit* split) {
    backward_part(f, sol, true, split, backward_rows_unit);
}

}  // namespace

void dsymildlcsol(const int* m, const double* rhs, double* sol, const double* V, const int* I,
                  FactorSplit* split) {
    const Factor f{*m, view1(I), view1(V)};
    copy_in(f.m, rhs, sol);
    forward_part(f, view1(sol), /*use_pairs=*/false, split);
    backward_part_with_pivots(f, view1(sol), /*use_pairs=*/false, split);
}

void dsympilucsol(const int* m, const double* rhs, double* sol, const double* V, const int* I,
                  FactorSplit* split, const trelvak::ForwardRows* visit) {
    const Factor f{*m, view1(I), view1(V)};
    copy_in(f.m, rhs, sol);
    forward_part(f, view1(sol), true, split, visit);
    backward_part_with_pivots(f, view1(sol), true, split);
}

void dsympiluclsol(const int* m, const double* rhs, double* sol, const double* V, const int* I,
                   FactorSplit* split, const trelvak::ForwardRows* visit) {
    const Factor f{*m, view1(I), view1(V)};
    copy_in(f.m, rhs, sol);
    forward_part(f, view1(sol), true, split, visit);
}

void dsympilucusol(const int* m, const double* rhs, double* sol, const double* V, const int* I,
                   FactorSplit* split) {
    const Factor f{*m, view1(I), view1(V)};
    copy_in(f.m, rhs, sol);
    backward_part_unit(f, view1(sol), split);
}

void dsymppiluclsol(const int* mt, const int* m, const double* rhs, double* sol, const double* V,
                    const int* I, FactorSplit* split) {
    const Factor f{*m, view1(I), view1(V)};
    copy_in(f.m, rhs, sol);
    if (*mt > f.m) {
        std::fill(sol + f.m, sol + *mt, 0.0);
    }
    forward_part(f, view1(sol), true, split);
}

void dsymppilucusol(const int* mt, const int* m, const double* rhs, double* sol, const double* V,
                    const int* I, FactorSplit* split) {
    const Factor f{*m, view1(I), view1(V)};
    copy_in(*mt, rhs, sol);
    backward_part_unit(f, view1(sol), split);
}

// One lane.
void dsymildlcsol(const int* m, const double* rhs, double* sol, const double* V, const int* I) {
    dsymildlcsol(m, rhs, sol, V, I, nullptr);
}

void dsympilucsol(const int* m, const double* rhs, double* sol, const double* V, const int* I) {
    dsympilucsol(m, rhs, sol, V, I, nullptr);
}

void dsympiluclsol(const int* m, const double* rhs, double* sol, const double* V, const int* I) {
    dsympiluclsol(m, rhs, sol, V, I, nullptr);
}

void dsympilucusol(const int* m, const double* rhs, double* sol, const double* V, const int* I) {
    dsympilucusol(m, rhs, sol, V, I, nullptr);
}

void dsymppiluclsol(const int* mt, const int* m, const double* rhs, double* sol, const double* V,
                    const int* I) {
    dsymppiluclsol(mt, m, rhs, sol, V, I, nullptr);
}

void dsymppilucusol(const int* mt, const int* m, const double* rhs, double* sol, const double* V,
                    const int* I) {
    dsymppilucusol(mt, m, rhs, sol, V, I, nullptr);
}
