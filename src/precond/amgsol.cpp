// amgsol.cpp: DSYMAMGsol, one application sol = M^-1 rhs of the multilevel preconditioner held in
// the level list, and the level steps that the AMLI-like and multigrid cycles share.
//
// Method: multilevel ILU, a block forward and backward substitution through the levels. On level
// l the permuted system [B F; F^T C] is reduced with the leading block's factor B ~ L D L^T:
//     forward:   x2 <- w2 - F^T B^-1 w1               (the next level's right-hand side)
//     backward:  x1 <- B^-1 (w1 - F x2)
// with F held in the record (COARSE_REDUCE set) or in the factor rows (clear; partial kernels).
// The coarsest system is solved with its sparse factor or, when stored dense, with the packed
// Bunch-Kaufman solve. A converted (marked) level uses alt_diag for the right-hand side part of
// x1: x1 = L^-T Dinv(alt) L^-1 w1 - L^-T Dinv(V) L^-1 F x2. Levels 2.. are scaled by colscale on
// the way down and back up; level 1's scaling is the driver's.
//
// On entry: rhs (N), the level list, ifact[6], ifact[10], ifact[16] of the parameter record.
// On exit:  sol (N) = M^-1 rhs; rhs and the level list unchanged (the slots I(1) and I(m+1) that
//           are patched around kernel calls are restored, also when a fatal stop unwinds).
// Work:     dbuff, 2N doubles for the multilevel ILU (w = 1..N, r = N+1..2N); the cycles get
//           the sizes the driver computes (N + 2nn, and 2N + 2nn for the multigrid cycle).
#include <algorithm>
#include <cstdio>

#include "common/blas.h"
#include "common/lanes.h"
#include "common/onebased.h"
#include "precond/precond.h"

namespace trelvak::level_ops {

bool is_dense(const LevelRecord* R) {
    return R != nullptr && R->factor_index == nullptr;
}

void apply_pivots(const LevelRecord& R, const double* D_in, int a, const double* x_in,
                  double* y_in) {
    const int m  = R.nB;
    const auto I = view1(static_cast<const int*>(R.factor_index));
    const auto D = view1(D_in);
    const auto x = view1(x_in);
    const auto y = view1(y_in);
    int i        = 1;
    while (i <= m) {
        if (i < m && I(m + 1 + i) != 0) {
            const double x1 = x(a + i);
            const double x2 = x(a + i + 1);
            y(a + i)        = D(i) * x1 + D(m + 1 + i) * x2;
            y(a + i + 1)    = D(m + 1 + i) * x1 + D(i + 1) * x2;
            i += 2;
        } else {
            y(a + i) = D(i) * x(a + i);
            i += 1;
        }
    }
}

void permute(const LevelRecord& R, int N, int a, const double* x_in, double* w_in) {
    const int* __restrict perm = R.perm;
    const double* __restrict x = x_in + a;  // x[q-1] is x(a+q)
    double* __restrict w       = w_in + a;  // w[k-1] is w(a+k)
    trelvak::run_slices(N - a, [&](long lo, long hi) {
        for (long k = lo; k < hi; ++k) {
            w[k] = x[perm[k] - 1];
        }
    });
}

void unpermute(const LevelRecord& R, int N, int a, const double* w_in, double* x_in) {
    const int* __restrict invperm = R.invperm;
    const double* __restrict w    = w_in + a;
    double* __restrict x          = x_in + a;
    trelvak::run_slices(N - a, [&](long lo, long hi) {
        for (long k = lo; k < hi; ++k) {
            x[k] = w[invperm[k] - 1];
        }
    });
}

namespace {

// permute and unpermute with the level's colscale fused in (x and w must not overlap):
//     w(a+k) = x(a + perm(k)) colscale(perm(k)),   x(a+k) = w(a + invperm(k)) colscale(k)
void permute_scaled(const LevelRecord& R, int N, int a, const double* x_in, double* w_in) {
    const int* __restrict perm = R.perm;
    const double* __restrict s = R.colscale;
    const double* __restrict x = x_in + a;
    double* __restrict w       = w_in + a;
    trelvak::run_slices(N - a, [&](long lo, long hi) {
        for (long k = lo; k < hi; ++k) {
            const int q = perm[k];
            w[k]        = x[q - 1] * s[q - 1];
        }
    });
}

void unpermute_scaled(const LevelRecord& R, int N, int a, const double* w_in, double* x_in) {
    const int* __restrict invperm = R.invperm;
    const double* __restrict s    = R.colscale;
    const double* __restrict w    = w_in + a;
    double* __restrict x          = x_in + a;
    trelvak::run_slices(N - a, [&](long lo, long hi) {
        for (long k = lo; k < hi; ++k) {
            x[k] = w[invperm[k] - 1] * s[k];
        }
    });
}

}  // namespace

void scale(const double* s_in, int N, int from, double* x_in) {
    const auto s = view1(s_in);
    const auto x = view1(x_in);
    for (int k = 1; k <= N - from; ++k) {
        x(from + k) *= s(k);
    }
}

void reject_marked_without_reduce() {
    trelvak_fatal(FATAL_STDOUT,
                  "TRELVAK error: _SYMSPDAMGconvert requires that COARSE_REDUCE is set\n");
}

int coarse_steps(const LevelRecord& R, int lev, const ParameterRecord& param) {
    int k = param.ifact[11];
    if (lev == R.nlev - 1 && is_dense(R.next) && k > 0) {
        k = 1;
    }
    return k;
}

void solve_last_level(LevelRecord& R, int lev, int N, int a, double* x_in, double* work_in) {
    (void)lev;  // a null factor_index alone selects the dense solve (a one-level list is sparse)
    const int m     = R.nB;
    const auto x    = view1(x_in);
    const auto wk   = view1(work_in);
    const int* I    = R.factor_index;
    const double* V = R.factor_values;
    if (I == nullptr) {
        std::copy(x.at(a + 1), x.at(N) + 1, wk.at(a + 1));
        const int one = 1;
        const int ldb = std::max(1, m);
        int info      = 0;  // not examined
        dsptrs_("L", &m, &one, V, R.coarse_ipiv, x.at(a + 1), &ldb, &info, 1);
        return;
    }
    permute(R, N, a, x_in, work_in);
    {
        const MarkLift lift(R);
        const FactorPatch patch(R);
        if (!lift.marked()) {
            dsympilucsol(&m, wk.at(a + 1), x.at(a + 1), V, I);
        } else {
            dsympiluclsol(&m, wk.at(a + 1), x.at(a + 1), V, I);
            apply_pivots(R, R.alt_diag, a, x_in, x_in);
            dsympilucusol(&m, x.at(a + 1), x.at(a + 1), V, I);
        }
    }
    std::copy(x.at(a + 1), x.at(N) + 1, wk.at(a + 1));
    unpermute(R, N, a, work_in, x_in);
}

bool restrict_to_next(LevelRecord& R, int lev, int N, int a, bool reduce, double* x_in,
                      double* work_in) {
    const int m     = R.nB;
    const int t     = N - a;
    const int ap    = a + m;
    const auto x    = view1(x_in);
    const auto wk   = view1(work_in);
    const int* I    = R.factor_index;
    const double* V = R.factor_values;

    permute(R, N, a, x_in, work_in);
    if (!reduce) {
        // The partial kernels need a positive I(1); a converted factor requires COARSE_REDUCE.
        if (I[0] < 0) {
            reject_marked_without_reduce();
        }
        {
            const FactorPatch patch(R);
            dsymppiluclsol(&t, &m, wk.at(a + 1), x.at(a + 1), V, I);  // x1 = L11^-1 w1
        }
        for (int k = ap + 1; k <= N; ++k) {
            x(k) += wk(k);  // x2 = w2 - L21 L11^-1 w1
        }
    } else {
        const MarkLift lift(R);
        if (!lift.marked()) {
            {
                const FactorPatch patch(R);
                dsympilucsol(&m, wk.at(a + 1), x.at(a + 1), V, I);  // x1 = B^-1 w1
            }
            DGNLmattvec(R.F, x.at(a + 1), x.at(ap + 1));  // x2 = F^T x1
        } else {
            {
                const FactorPatch patch(R);
                dsympiluclsol(&m, wk.at(a + 1), x.at(a + 1), V, I);  // x1 = L^-1 w1
            }
            apply_pivots(R, V, a, x_in, work_in);        // work1 = Dinv(V) x1
            apply_pivots(R, R.alt_diag, a, x_in, x_in);  // x1 = Dinv(alt) x1
            {
                const FactorPatch patch(R);
                dsympilucusol(&m, wk.at(a + 1), wk.at(a + 1), V, I);  // work1 = B^-1 w1
            }
            DGNLmattvec(R.F, wk.at(a + 1), x.at(ap + 1));
        }
        for (int k = ap + 1; k <= N; ++k) {
            x(k) = wk(k) - x(k);  // x2 = w2 - F^T B^-1 w1
        }
    }
    const bool scaled = !(lev == R.nlev - 1 && is_dense(R.next));
    if (scaled) {
        scale(R.next->colscale, N, ap, x_in);
    }
    return scaled;
}

void prolong_from_next(LevelRecord& R, int N, int a, bool reduce, double* x_in, double* work_in) {
    const int m     = R.nB;
    const int t     = N - a;
    const int ap    = a + m;
    const auto x    = view1(x_in);
    const auto wk   = view1(work_in);
    const int* I    = R.factor_index;
    const double* V = R.factor_values;

    if (!reduce) {
        std::copy(x.at(a + 1), x.at(ap) + 1, wk.at(a + 1));  // work1 = L11^-1 w1
        apply_pivots(R, V, a, work_in, work_in);             // work1 = D^-1 L11^-1 w1
        {
            const FactorPatch patch(R);
            dsymppilucusol(&t, &m, wk.at(a + 1), wk.at(a + 1), V, I);  // L11^-T (. - L21^T x2)
        }
    } else {
        DGNLmatvec(R.F, wk.at(ap + 1), wk.at(a + 1));  // work1 = F x2
        const MarkLift lift(R);
        {
            const FactorPatch patch(R);
            if (!lift.marked()) {
                dsympilucsol(&m, wk.at(a + 1), wk.at(a + 1), V, I);
            } else {
                dsympiluclsol(&m, wk.at(a + 1), wk.at(a + 1), V, I);
                apply_pivots(R, V, a, work_in, work_in);
            }
        }
        for (int k = a + 1; k <= ap; ++k) {
            wk(k) = x(k) - wk(k);  // work1 = B^-1 (w1 - F x2)
        }
        if (lift.marked()) {
            const FactorPatch patch(R);
            dsympilucusol(&m, wk.at(a + 1), wk.at(a + 1), V, I);
        }
    }
    unpermute(R, N, a, work_in, x_in);
}

}  // namespace trelvak::level_ops

namespace {

// Once per loaded module: a cycle was requested but the coarse systems were not kept.
bool warn_discarded_systems = true;

// The unpermutation of the backward sweep; levels 2.. multiply by their colscale on the way.
void unpermute_level(const LevelRecord& R, int N, int a, const double* w, double* x, bool scaled) {
    if (scaled) {
        trelvak::level_ops::unpermute_scaled(R, N, a, w, x);
    } else {
        trelvak::level_ops::unpermute(R, N, a, w, x);
    }
}

// The vectors of one application of the multilevel ILU: w and r the two halves of dbuff, sol the
// caller's result; any_marked says that a converted level was met on the way down.
struct Sweep {
    int N;
    bool reduce;  // COARSE_REDUCE: F held in the record
    trelvak::View1<double> w, r, sol;
    bool any_marked = false;
};

// What the sweeps of level R (rows a+1..N) read: the order m of its leading block, t = N - a rows
// in all, the first row ap = a + m behind the block, the factor (I, V) and its grouping in lanes.
struct LevelPart {
    int m, t, ap;
    const int* I;
    const double* V;
    trelvak::FactorSplit* split;
    LevelPart(const LevelRecord& R, int N, int a)
        : m(R.nB),
          t(N - a),
          ap(a + R.nB),
          I(R.factor_index),
          V(R.factor_values),
          split(trelvak::factor_split(R)) {}
};

// Level l of the forward sweep, rows a+1..N: r2 <- w2 - F^T B^-1 w1 (or with the couplings in
// the factor rows, r2 <- w2 - L21 L11^-1 w1) on the level's permuted, scaled copy w of r.
void forward_level(const LevelRecord& R, int l, int a, Sweep& s) {
    using namespace trelvak::level_ops;
    auto& [N, reduce, w, r, sol, any_marked] = s;

    const auto [m, t, ap, I, V, split] = LevelPart(R, N, a);
    if (l >= 2) {
        permute_scaled(R, N, a, r.data(), w.data());
    } else {
        permute(R, N, a, r.data(), w.data());
    }
    if (!reduce) {
        if (I[0] < 0) {
            reject_marked_without_reduce();
        }
        {
            const FactorPatch patch(R);
            dsymppiluclsol(&t, &m, w.at(a + 1), r.at(a + 1), V, I, split);  // r1 = L11^-1 w1
        }
        for (int k = ap + 1; k <= N; ++k) {
            r(k) = w(k) + r(k);  // r2 = w2 - L21 L11^-1 w1
        }
        return;
    }
    const MarkLift lift(R);
    if (!lift.marked()) {
        {
            const FactorPatch patch(R);
            dsympilucsol(&m, w.at(a + 1), r.at(a + 1), V, I, split);  // r1 = B^-1 w1
        }
        DGNLmattvec(R.F, r.at(a + 1), sol.at(ap + 1));  // sol2 = F^T r1
    } else {
        any_marked = true;
        {
            const FactorPatch patch(R);
            dsympiluclsol(&m, w.at(a + 1), r.at(a + 1), V, I, split);  // r1 = L^-1 w1
        }
        apply_pivots(R, V, a, r.data(), sol.data());         // sol1 = Dinv(V) r1
        apply_pivots(R, R.alt_diag, a, r.data(), r.data());  // r1 = Dinv(alt) r1
        {
            const FactorPatch patch(R);
            dsympilucusol(&m, sol.at(a + 1), sol.at(a + 1), V, I, split);  // sol1 = B^-1 w1
        }
        DGNLmattvec(R.F, sol.at(a + 1), sol.at(ap + 1));
    }
    for (int k = ap + 1; k <= N; ++k) {
        r(k) = w(k) - sol(k);  // r2 = w2 - F^T B^-1 w1
    }
}

// The coarsest level (rows a+1..N of L levels): sol2 = C^-1 r2 with its packed dense factor or
// its sparse one.
void solve_coarsest(const LevelRecord& R, int L, int a, Sweep& s) {
    using namespace trelvak::level_ops;
    auto& [N, reduce, w, r, sol, any_marked] = s;

    const int m     = R.nB;
    const int* I    = R.factor_index;
    const double* V = R.factor_values;
    if (I == nullptr) {
        std::copy(r.at(a + 1), r.at(N) + 1, sol.at(a + 1));
        const int one = 1;
        const int ldb = std::max(1, m);
        int info      = 0;  // not examined
        if (any_marked) {
            dprivatesptrs("L", &m, &one, V, R.coarse_ipiv, sol.at(a + 1), &ldb, &info);
        } else {
            dsptrs_("L", &m, &one, V, R.coarse_ipiv, sol.at(a + 1), &ldb, &info, 1);
        }
        return;
    }
    auto* split = trelvak::factor_split(R);
    if (L >= 2) {
        permute_scaled(R, N, a, r.data(), w.data());
    } else {
        permute(R, N, a, r.data(), w.data());
    }
    {
        const MarkLift lift(R);
        const FactorPatch patch(R);
        if (!lift.marked()) {
            dsympilucsol(&m, w.at(a + 1), r.at(a + 1), V, I, split);
        } else {
            dsympiluclsol(&m, w.at(a + 1), r.at(a + 1), V, I, split);
            apply_pivots(R, R.alt_diag, a, r.data(), r.data());
            dsympilucusol(&m, r.at(a + 1), r.at(a + 1), V, I, split);
        }
    }
    unpermute_level(R, N, a, r.data(), sol.data(), L >= 2);
}

// Level l of the backward sweep, rows a+1..N, with x2 = sol2 known: x1 = B^-1 (w1 - F x2) (or
// with the couplings in the factor rows, x1 = L11^-T D^-1 (L11^-1 w1 - L21^T x2)).
void backward_level(const LevelRecord& R, int l, int a, Sweep& s) {
    using namespace trelvak::level_ops;
    auto& [N, reduce, w, r, sol, any_marked] = s;

    const auto [m, t, ap, I, V, split] = LevelPart(R, N, a);
    if (!reduce) {
        std::copy(sol.at(ap + 1), sol.at(N) + 1, r.at(ap + 1));  // r2 = x2
        apply_pivots(R, V, a, r.data(), r.data());               // r1 = D^-1 L11^-1 w1
        {
            const FactorPatch patch(R);
            dsymppilucusol(&t, &m, r.at(a + 1), r.at(a + 1), V, I, split);
        }
        unpermute_level(R, N, a, r.data(), sol.data(), l >= 2);
        return;
    }
    std::copy(sol.at(ap + 1), sol.at(N) + 1, w.at(ap + 1));  // w2 = x2
    DGNLmatvec(R.F, sol.at(ap + 1), w.at(a + 1));            // w1 = F x2
    // F x2 vanishes outside the rows of F: the forward part visits the rows they reach.
    const auto* visit = trelvak::coupling_rows(R);
    {
        const MarkLift lift(R);
        {
            const FactorPatch patch(R);
            if (!lift.marked()) {
                dsympilucsol(&m, w.at(a + 1), sol.at(a + 1), V, I, split, visit);
            } else {
                dsympiluclsol(&m, w.at(a + 1), w.at(a + 1), V, I, split, visit);
                apply_pivots(R, V, a, w.data(), sol.data());
            }
        }
        for (int k = a + 1; k <= ap; ++k) {
            w(k) = r(k) - sol(k);  // w1 = r1 - (B^-1 F x2 or its unfinished part)
        }
        if (lift.marked()) {
            const FactorPatch patch(R);
            dsympilucusol(&m, w.at(a + 1), w.at(a + 1), V, I, split);
        }
    }
    unpermute_level(R, N, a, w.data(), sol.data(), l >= 2);
}

// The AMLI-like (kind 1) or multigrid (kind 2) cycle over the kept coarse systems.
void run_cycle(LevelRecord* PRE, ParameterRecord* param, int kind, const double* rhs, double* sol,
               double* dbuff) {
    const int N = PRE->n;
    long nn     = kind == 2 ? N : 0;
    long s      = 0;
    int l       = 1;
    for (const LevelRecord* R = PRE; R != nullptr && l <= PRE->nlev; R = R->next, ++l) {
        s += R->nB;
        nn += N - s;
    }
    std::copy(rhs, rhs + N, sol);
    if (kind == 1) {
        DSYMAMGsol1(PRE, 1, N, static_cast<int>(nn), 0, 0, param, sol, dbuff);
    } else if (kind == 2) {
        DSYMAMGsol2(PRE, 1, N, static_cast<int>(nn), 0, 0, param, sol, dbuff);
    }
}

}  // namespace

void DSYMAMGsol(LevelRecord* PRE, ParameterRecord* param, const double* rhs_in, double* sol_in,
                double* dbuff) {
    const int N          = PRE->n;
    const int L          = PRE->nlev;
    const int kind       = param->ifact[10];
    const bool discarded = (static_cast<unsigned>(param->ifact[16]) & COARSE_DISCARDED) != 0;
    const bool reduce    = (static_cast<unsigned>(param->ifact[6]) & COARSE_REDUCE) != 0;

    if (kind != 0 && !discarded) {
        run_cycle(PRE, param, kind, rhs_in, sol_in, dbuff);
        return;
    }
    if (kind != 0 && warn_discarded_systems) {
        std::printf("TRELVAK WARNING!\n");
        std::printf("AMLI-like AMG or classical multigrid need to selected prior to\n");
        std::printf("factorization in order to maintain coarse grid systems.\n");
        std::printf("Will use multilevel ILU instead.\n");
        std::fflush(stdout);
        warn_discarded_systems = false;
    }

    Sweep s{N, reduce, trelvak::view1(dbuff, N), trelvak::view1(dbuff + N, N),
            trelvak::view1(sol_in, N)};
    // r = rhs first: a sequential copy, after which the permutations gather from cached data.
    std::copy(rhs_in, rhs_in + N, s.r.at(1));
    LevelRecord* R = PRE;
    int a          = 0;
    for (int l = 1; l < L; ++l, R = R->next) {
        forward_level(*R, l, a, s);
        a += R->nB;
    }
    solve_coarsest(*R, L, a, s);
    for (int l = L - 1; l >= 1; --l) {
        R = R->prev;
        a -= R->nB;
        backward_level(*R, l, a, s);
    }
}

std::int64_t preconditioner_scratch(const LevelRecord* PRE, int cycle, std::int64_t n) {
    std::int64_t E = 0;
    if (cycle != 0) {
        std::int64_t s = 0, coarse = 0;
        int l = 1;
        for (const LevelRecord* R = PRE; R != nullptr && l <= PRE->nlev; R = R->next, ++l) {
            s += R->nB;
            coarse += 2 * (n - s);
        }
        E = cycle == 2 ? 3 * n + coarse : coarse;
    }
    return 2 * n + std::max(E, n);
}
