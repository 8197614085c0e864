// amgsol2.cpp: DSYMAMGsol2, the multigrid cycle with smoothers on level lev of the level list.
//
// Method: a classical multigrid cycle (V-cycle for ncoarse = 1, W-cycle for 2, ...) over the
// levels: ns pre-smoothing steps with the level's system matrix A, k coarse-grid corrections
// through the restriction and prolongation of the block elimination (amgsol.cpp) with the cycle
// of the next level, and ns post-smoothing steps with the reversed sweep. Every step computes a
// correction e from the current residual r; the next residual is r - A e, and the level returns
// the sum of all corrections (a zero start).
//
// Smoother kinds (ifact[14]): 1 forward block Gauss-Seidel before, backward after; 2 the reverse;
// 3 damped block Jacobi (2x2 blocks damped by `damping`, 1x1 blocks not); 4 the level's own
// factor (dsympilucsol before, dsymildlcsol after); any other value no smoothing (e = r). The
// sweeps solve with the block lower (forward) or upper (backward) triangle of A in the level's
// permuted order, blocks from pivot_blocks; a row without a stored diagonal divides by 1.0.
//
// Defined here beyond the basic cycle:
//   - ns <= 0 and ncoarse <= 0 together: one coarse correction is made (k = 1), so the result is
//     always written (otherwise the correction sum would be read unwritten).
//   - the factor smoother on a converted (marked) level makes I(1) positive around the kernel
//     call (the kernels need a positive row pointer); the stored factor V is used.
//   - the post-smoothing factor step uses dsympilucsol when the factor has 2x2 pivots: the 1x1
//     kernel would read the pairs' interleaved storage as separate rows.
//
// On entry: x(a+1..N), the level's residual (scaled by R.colscale, not permuted).
// On exit:  x(a+1..N), the level's correction in the same numbering; x(1..a) untouched.
// Work:     work, at least 2N + 2 nn doubles: 1..N permuted vectors; N+a+1..2N the saved
//           residual; 2N+b+1..2N+b+t the coarse right-hand side and 2N+nn+b+1..2N+nn+b+t the
//           correction sum of this level, t = N - a; the next level gets b' = N + b - a.
#include <algorithm>
#include <cstdio>

#include "common/blas.h"
#include "common/onebased.h"
#include "precond/precond.h"

namespace {

using trelvak::View1;
using trelvak::view1;

enum class Step { kForward, kBackward, kJacobi, kFactorPre, kFactorPost, kNone };

Step step_of(int kind, bool pre) {
    switch (kind) {
        case 1:
            return pre ? Step::kForward : Step::kBackward;
        case 2:
            return pre ? Step::kBackward : Step::kForward;
        case 3:
            return Step::kJacobi;
        case 4:
            return pre ? Step::kFactorPre : Step::kFactorPost;
        default:
            return Step::kNone;
    }
}

// The level's matrix A read in permuted order: permuted position i (1..t) is row perm(i) of A,
// and column q stands for position invperm(q).
struct PermutedRows {
    int t;
    View1<const int> perm, invperm, blocks, ia, ja;
    View1<const double> val;

    PermutedRows(const LevelRecord& R, int t_in)
        : t(t_in),
          perm(R.perm),
          invperm(R.invperm),
          blocks(R.pivot_blocks),
          ia(R.A.ia),
          ja(R.A.ja),
          val(R.A.a) {}

    // Position i starts a 2x2 block in an increasing (decreasing: ends one) scan.
    bool paired(int i) const { return blocks && blocks(i) >= 0; }

    // Diagonal value of position i (1.0 when not stored) and its coupling with position partner.
    void block_entries(int i, int partner, double& d, double& c) const {
        const int row = perm(i);
        for (int k = ia(row); k < ia(row + 1); ++k) {
            const int j = invperm(ja(k));
            if (j == i) {
                d = val(k);
            } else if (j == partner) {
                c = val(k);
            }
        }
    }
    // Sum of a(k) w(j) over the entries of position i with j < lo or j > hi (below: j < lo).
    double sum_below(int i, int lo, View1<double> w) const {
        double s      = 0.0;
        const int row = perm(i);
        for (int k = ia(row); k < ia(row + 1); ++k) {
            const int j = invperm(ja(k));
            if (j < lo) {
                s += val(k) * w(j);
            }
        }
        return s;
    }
    double sum_above(int i, int hi, View1<double> w) const {
        double s      = 0.0;
        const int row = perm(i);
        for (int k = ia(row); k < ia(row + 1); ++k) {
            const int j = invperm(ja(k));
            if (j > hi) {
                s += val(k) * w(j);
            }
        }
        return s;
    }
    // w(j) -= a(k) w(i) for the entries of position i with j > hi (push_above) or j < lo.
    void push_above(int i, int hi, View1<double> w) const {
        const int row = perm(i);
        for (int k = ia(row); k < ia(row + 1); ++k) {
            const int j = invperm(ja(k));
            if (j > hi) {
                w(j) -= val(k) * w(i);
            }
        }
    }
    void push_below(int i, int lo, View1<double> w) const {
        const int row = perm(i);
        for (int k = ia(row); k < ia(row + 1); ++k) {
            const int j = invperm(ja(k));
            if (j < lo) {
                w(j) -= val(k) * w(i);
            }
        }
    }
    // Diagonals and coupling of the 2x2 block (i, i+1).
    void pair_entries(int i, double& d1, double& d2, double& c) const {
        d1 = d2 = 1.0;
        c       = 0.0;
        block_entries(i, i + 1, d1, c);
        block_entries(i + 1, i, d2, c);
    }
};

// (r1, r2) <- [d1 c; c d2]^-1 (r1, r2), times factor.
void solve_pair(double d1, double d2, double c, double factor, double& r1, double& r2) {
    const double q  = 1.0 / (d1 * d2 - c * c);
    const double y1 = (d2 * r1 - c * r2) * q * factor;
    const double y2 = (d1 * r2 - c * r1) * q * factor;
    r1              = y1;
    r2              = y2;
}

// Solves (block lower triangle of A) e = r in place, positions increasing.
void forward_sweep(const PermutedRows& A, View1<double> w) {
    int i = 1;
    while (i <= A.t) {
        if (A.paired(i) && i < A.t) {
            double d1, d2, c;
            A.pair_entries(i, d1, d2, c);
            double r1 = w(i) - A.sum_below(i, i, w);
            double r2 = w(i + 1) - A.sum_below(i + 1, i, w);
            solve_pair(d1, d2, c, 1.0, r1, r2);
            w(i)     = r1;
            w(i + 1) = r2;
            A.push_above(i, i + 1, w);
            A.push_above(i + 1, i + 1, w);
            i += 2;
        } else {
            double d = 1.0, unused = 0.0;
            A.block_entries(i, 0, d, unused);
            w(i) = (w(i) - A.sum_below(i, i, w)) / d;
            A.push_above(i, i, w);
            i += 1;
        }
    }
}

// Solves (block upper triangle of A) e = r in place, positions decreasing.
void backward_sweep(const PermutedRows& A, View1<double> w) {
    int i = A.t;
    while (i >= 1) {
        if (A.paired(i) && i > 1) {
            double d1, d2, c;
            A.pair_entries(i - 1, d1, d2, c);
            double r1 = w(i - 1) - A.sum_above(i - 1, i, w);
            double r2 = w(i) - A.sum_above(i, i, w);
            solve_pair(d1, d2, c, 1.0, r1, r2);
            w(i - 1) = r1;
            w(i)     = r2;
            A.push_below(i - 1, i - 1, w);
            A.push_below(i, i - 1, w);
            i -= 2;
        } else {
            double d = 1.0, unused = 0.0;
            A.block_entries(i, 0, d, unused);
            w(i) = (w(i) - A.sum_above(i, i, w)) / d;
            A.push_below(i, i, w);
            i -= 1;
        }
    }
}

// Block Jacobi: 1x1 blocks divide by the diagonal, 2x2 blocks solve and damp.
void jacobi_step(const PermutedRows& A, double damping, View1<double> w) {
    int i = 1;
    while (i <= A.t) {
        if (A.paired(i) && i < A.t) {
            double d1, d2, c;
            A.pair_entries(i, d1, d2, c);
            double r1 = w(i);
            double r2 = w(i + 1);
            solve_pair(d1, d2, c, damping, r1, r2);
            w(i)     = r1;
            w(i + 1) = r2;
            i += 2;
        } else {
            double d = 1.0, unused = 0.0;
            A.block_entries(i, 0, d, unused);
            w(i) /= d;
            i += 1;
        }
    }
}

bool has_pairs(const LevelRecord& R) {
    const int m = R.nB;
    for (int i = 1; i <= m; ++i) {
        if (R.factor_index[m + i] != 0) {
            return true;
        }
    }
    return false;
}

// The level's factor on the leading block, zero on the rest; w holds positions 1..t.
void factor_step(LevelRecord& R, bool pre, View1<double> w, int t) {
    using namespace trelvak::level_ops;
    const int m     = R.nB;
    const int* I    = R.factor_index;
    const double* V = R.factor_values;
    {
        const MarkLift lift(R);
        const FactorPatch patch(R);
        if (pre || has_pairs(R)) {
            dsympilucsol(&m, w.at(1), w.at(1), V, I);
        } else {
            dsymildlcsol(&m, w.at(1), w.at(1), V, I);
        }
    }
    std::fill(w.at(m + 1), w.at(t) + 1, 0.0);
}

// One cycle level: state shared by its smoothing steps.
struct Cycle {
    LevelRecord& R;
    ParameterRecord& param;
    int N, a, t;
    View1<double> x, wk;  // whole vectors, 1-based global positions
    double* saved;        // saved residual, t entries
    double* sum;          // correction sum, t entries
    bool sum_written = false;

    void add_to_sum() {
        if (!sum_written) {
            std::copy(x.at(a + 1), x.at(a + 1) + t, sum);
            sum_written = true;
        } else {
            trelvak::blas::axpy(t, 1.0, x.at(a + 1), sum);
        }
    }

    // r (in x) -> e (in x); e is added into the correction sum.
    void smoothing_step(bool pre) {
        using namespace trelvak::level_ops;
        std::copy(x.at(a + 1), x.at(a + 1) + t, saved);
        permute(R, N, a, x.data(), wk.data());
        const View1<double> w(wk.at(a + 1));
        switch (step_of(param.ifact[14], pre)) {
            case Step::kForward:
                forward_sweep(PermutedRows(R, t), w);
                break;
            case Step::kBackward:
                backward_sweep(PermutedRows(R, t), w);
                break;
            case Step::kJacobi:
                jacobi_step(PermutedRows(R, t), param.damping, w);
                break;
            case Step::kFactorPre:
                factor_step(R, true, w, t);
                break;
            case Step::kFactorPost:
                factor_step(R, false, w, t);
                break;
            case Step::kNone:
                break;
        }
        unpermute(R, N, a, wk.data(), x.data());
        add_to_sum();
    }

    // x = base - A x (the residual after the latest correction); base has t entries.
    void next_residual(const double* base) {
        DSYMmatvec(R.A, x.at(a + 1), wk.at(a + 1));
        for (int q = 1; q <= t; ++q) {
            x(a + q) = base[q - 1] - wk(a + q);
        }
    }
};

}  // namespace

void DSYMAMGsol2(LevelRecord* R, int lev, int n, int nn, int a, int b, ParameterRecord* param,
                 double* x_in, double* work_in) {
    using namespace trelvak::level_ops;

    const int N = n;
    if (lev >= R->nlev) {
        solve_last_level(*R, lev, N, a, x_in, work_in);
        return;
    }
    const int kind = param->ifact[14];
    if (kind == 4 && (static_cast<unsigned>(param->ifact[16]) & COARSE_REDUCE) == 0) {
        std::printf(
            "Error! Multigrid AMG solver. For ILU smoother option the switch `COARSE_REDUCE' "
            "must be set before factorizing the matrix\n");
        std::fflush(stdout);
        return;
    }

    const int t       = N - a;
    const int ap      = a + R->nB;
    const bool reduce = (static_cast<unsigned>(param->ifact[6]) & COARSE_REDUCE) != 0;
    const int ns      = param->ifact[12];
    int k             = coarse_steps(*R, lev, *param);
    if (ns <= 0 && k <= 0) {
        k = 1;  // see the header: the cycle always makes at least one correction
    }
    const auto wk = view1(work_in, 2L * N + 2L * nn);
    Cycle cyc{*R, *param, N, a, t, view1(x_in, N), wk, wk.at(N + a + 1), wk.at(2 * N + nn + b + 1)};
    double* coarse_rhs = wk.at(2 * N + b + 1);
    LevelRecord* next  = R->next;

    // Pre-smoothing.
    for (int s = 1; s <= ns; ++s) {
        cyc.smoothing_step(true);
        if (s < ns) {
            cyc.next_residual(cyc.saved);
        }
    }
    if (ns >= 1) {
        std::copy(cyc.saved, cyc.saved + t, coarse_rhs);
    }

    // Coarse-grid corrections.
    for (int j = 1; j <= k; ++j) {
        if (cyc.sum_written) {
            cyc.next_residual(coarse_rhs);
        }
        std::copy(cyc.x.at(a + 1), cyc.x.at(a + 1) + t, coarse_rhs);
        const bool scaled = restrict_to_next(*R, lev, N, a, reduce, x_in, work_in);
        DSYMAMGsol2(next, lev + 1, n, nn, ap, N + b - a, param, x_in, work_in);
        if (scaled) {
            scale(next->colscale, N, ap, x_in);
        }
        std::copy(cyc.x.at(ap + 1), cyc.x.at(N) + 1, wk.at(ap + 1));  // work2 = x2
        prolong_from_next(*R, N, a, reduce, x_in, work_in);
        cyc.add_to_sum();
    }
    if (k >= 1) {
        std::copy(coarse_rhs, coarse_rhs + t, cyc.saved);
    }

    // Post-smoothing.
    for (int s = 1; s <= ns; ++s) {
        cyc.next_residual(cyc.saved);
        cyc.smoothing_step(false);
    }

    std::copy(cyc.sum, cyc.sum + t, cyc.x.at(a + 1));
}
