// multilevel.cpp: the multilevel incomplete L D L^T factorization, level by level, and the release
// of the level list it builds.
//
// factor(A, param, levels, info)
//   On entry: A is a symmetric matrix, upper triangle with diagonal, 1-based rows (not changed);
//             param holds the options (create_parameters gives the defaults).
//   On exit:  *levels is the first record of the level list, param's factorization controls,
//             slots and ifact[16] are filled; info tells the order, levels, fill and time.
//   Per level l (matrix S_l, S_1 = A):
//     1. a copy of S_l is reordered and scaled by a slot of param: reorder0 on level 1, reorder1
//        on the later levels, and reorder2 (diagonal dominance) when the first choice leaves
//        fewer than a tenth of the rows in the accepted block; an empty slot means the default
//        ordering (symmetric scaling, identity order);
//     2. ildlc_level factors the leading block with 1x1/2x2 pivots, postpones bad pivots and
//        forms the Schur complement S_{l+1} over the postponed and coarse rows;
//     3. the level record gets perm = p(order), colscale (and rowscale on level 1), the factor,
//        F (COARSE_REDUCE) and, for the "amli" and "mg" cycles, the scaled S_l in `A`. Level 1
//        is stored for A as given: its scaling is folded into the factor, F, `A` and S_2, and
//        its scaling vectors are ones (fold.cpp), so that the solver driver iterates on A x = b
//        itself and its stopping test is the true residual.
//   The recursion stops when every row was accepted (a sparse last level), or with a dense last
//   level (LAPACK dsptrf, packed "L", of the equilibrated S_l with the scaling folded in) once
//   S_l is small, no longer shrinks, or too many levels were made.
//   The levels are made in passes from level 1, each under the controls of an attempt of the
//   list kAttempts: "options" (the caller's controls), "condest raised" (condest 1000 times
//   larger, at most 1e4) and "fallback" (the caller's controls once more). A pass ends with the
//   level list, or with an outcome (PassOutcome) that its attempt lists, which starts the next
//   attempt: the first when level 1 postponed a tenth of its rows and they crowd elbow, or when
//   level 2 (order 1000 or more) kept less than 60 % of its rows; the second when its levels do
//   not fit into elbow. Within a pass, a level that accepts no pivot is retried with a relaxed
//   condest; a level that would take more than elbow leaves is retried with tighter dropping
//   (lfil/lfilS caps, then droptol and droptolS ten times larger) before the pass gives up with
//   -7; a level 1 that postpones a fifth of its rows is factored again with droptol / 100 and
//   droptolS / 10 (kHardPostponed).
//   Before the passes, under the "ilu" cycle, the "amd" ordering, a droptol of at least 1e-3 and
//   no fine/coarse split, a quick attempt: level 1 in the given order (symmetric scaling, no
//   matching) with droptol 0.1 and at most twice the input's entries, its few postponed rows the
//   dense last level. It is kept when its stability probe is below 1 and a trial solve of at most
//   30 iterations meets restol; otherwise the passes follow as if it had not been made
//   (kQuickDroptol). The ordering's permutation and leading block are kept, but its scaling is
//   replaced by a symmetric equilibration of the level matrix (see attempt_level). Returns 0, or a
//   negative FactorStatus with a message in info->message; then *levels is null and everything
//   allocated on the way has been released.
// Allocation: every array of the level list comes from MAlloc and is released by release_levels.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "common/blas.h"
#include "common/interrupt.h"
#include "common/onebased.h"
#include "factor/factor.h"
#include "krylov/krylov.h"
#include "precond/precond.h"
#include "preprocess/preprocess.h"
#include "solver/solver.h"

namespace trelvak {

namespace {

using factor_detail::FactorAttempt;
using factor_detail::kPassBeyondElbow;
using factor_detail::kPassCrowded;
using factor_detail::kPassSlow;
using factor_detail::LevelControls;
using factor_detail::LevelFactor;
using factor_detail::SymmetricRows;

// Orders at or below which a level beyond the first is factored densely, provided its packed
// factor takes at most a quarter of the entries of the input (or 200), or its matrix already
// holds kDenseShare of a full triangle.
constexpr int kDenseOrder = 300;
// Such a matrix fills up as it is factored: a sparse factor keeps part of its rows and leaves the
// rest, denser still, to another level, each level with its own matching, ordering and Schur
// complement, while the dense factor of order 300 is 45150 entries and a few milliseconds.
// (spaceStation_7: its third level, 152 rows, is a third full; sparse, it kept 32 rows and left a
// dense fourth level of 120, and its matching alone took 1.4 ms. Factored densely from the
// second level on: fill 6.4 instead of 5.0, 17 instead of 38 iterations, 17 instead of 21 ms.)
constexpr double kDenseShare = 0.2;
// A level that no longer shrinks is factored densely up to this order.
constexpr int kDenseMax  = 4000;
constexpr int kMaxLevels = 25;
// When the levels outgrow elbow and level 1 postponed at least kRestartPostponed of its rows, the
// factorization starts again with condest kRestartCondest times larger, at most
// kMaxRestartCondest. On shifted Laplacians (Helmholtz-type problems) a bound of
// 10 postpones a sixth of the rows of level 1 (the growth of the inverse factor is that of the
// Laplacian, not a sign of instability), the Schur complements of those rows fill up and turn
// ever more indefinite (the third level of a 200 x 200 grid keeps 13 % of its rows, half of its
// matrix dense), and the dropping that elbow then forces leaves SQMR diverging. With the bound
// raised to 1e4 the same grid postpones 35 rows, stores 8.9 times the entries of A and SQMR
// needs 5 iterations; 1e3 still leaves 940 rows and a dense second level beyond elbow.
// A saddle-point problem that outgrows elbow postpones few rows on level 1 (MAC Stokes on 128 x
// 128 cells: 4 %) and is better served by tighter dropping (fill 4.9, 75 iterations, against 5.7
// and 102 after a restart).
constexpr double kRestartPostponed = 0.1;
// The same restart serves a second level of order kSlowOrder or more that keeps less than
// kSlowShare of its rows: the levels then hardly shrink, as on shifted Laplacians below elbow
// (200 x 200 grid shifted by 0.1: 53 % on level 2, seven levels, SQMR diverges; after the restart
// 2 levels, 5 iterations). No matrix of the regression set has such a second level.
constexpr int kSlowOrder = 1000;
// Both restarts are usually found out only on level 2, after its factorization has filled the
// rest of elbow: on a 100 x 100 grid shifted by 0.3775 that took three quarters of the first pass.
// A level 1 that postponed kRestartPostponed of its rows and leaves less than kCrowded times the
// entries of its Schur complement for all coarser levels therefore restarts at once. The
// shifted Laplacians that restart (2D and 3D grids, random KKT) leave 2.9 to 4.8 times; the
// matrices of the regression set that postpone as many rows and fit leave 6.5 (plat362, tuma2)
// and more.
constexpr double kCrowded        = 5.5;
constexpr double kSlowShare      = 0.6;
constexpr double kRestartCondest = 1000.0;

// The stability probe (stability_probe): a factor whose A M^-1 moves a residual r = A v farther
// than ||r|| from itself does worse on it than no preconditioner; such a factor is unstable (its
// inverse factors grew beyond what the running estimate saw). Sound factors of the 30 public test
// matrices and of the generated families stay below 0.06; unstable ones (shifted 3D Laplacians,
// KKT matrices of QPs whose Hessian block is nearly singular) reach 1e3 to 1e18.
constexpr double kUnstableProbe = 1.0;
constexpr int kProbeVectors     = 2;
constexpr double kProbeGain     = 10.0;
// Iterations of the short trial solve that decides between the kept factor and the crude one.
constexpr int kTrialIterations = 60;
// The kept factor's trial stops when its first kHopelessIterations have not reduced the residual
// at all, and otherwise goes on from there: on the shifted 3D grids the unsound factor that the
// crude one replaces left it at 1.4 to 2.2 after 60 iterations, a sixth of their setup (0.11 s
// on lap3d_30_shift, 0.47 s on lap3d_50_shift).
constexpr int kHopelessIterations = 20;
// condest of the first steadying entry (kSteadying).
constexpr double kSteadyCondest = 100.0;
// Controls of the nested-dissection steadying entry: a nearly exact factor.
constexpr double kNearExactCondest  = 1e4;
constexpr double kNearExactDroptol  = 1e-4;
constexpr double kNearExactDroptolS = 1e-5;
// The entry is made only when an exact factor (minimum-degree count) would fill at most
// kNearExactReach times elbow: beyond, a factor within elbow drops most of the exact one and is
// not nearly exact. The exact fill on the 2D Helmholtz grids helm2d_100 to 500 is 6.9 to 12.3,
// where the entry serves; on the shifted 3D grids 20^3, 30^3 and 50^3 it is 27, 53 and 125,
// where its factor (fill 5.1 to 5.3) was unstable (probes 3e5, 4e6 and 2e12) and took 0.06,
// 0.36 and 1.6 s before the crude factor was chosen anyway; on the QP KKT family 40 to 190.
constexpr double kNearExactReach = 2.0;
// delta of the regularizing steadying entries (regularized), and the factor by which the second
// of them loosens droptolS.
constexpr double kRegularization = 1e-4;
constexpr double kLooserSchur    = 10.0;
// Level 1 postponing at least kHardPostponed of its rows is factored again with tighter
// dropping (droptol / 100, droptolS / 10, neither below kHardDroptol). Of the regression set,
// plat362 (26 % postponed) and spaceStation_7 (21 %) are such matrices: with the defaults SQMR
// stalled at 2.5e-5 and needed about 500 iterations; with the tighter dropping 33 and 42, at
// fill 2.8 and 5.0 instead of 2.7 and 4.0. The next most postponing ones (Lshape_matrices2 17 %,
// kineticBatchReactor_5 16 %) converge in 3 and 35 iterations with the defaults.
constexpr double kHardPostponed     = 0.2;
constexpr double kHardDroptol       = 1e-6;
constexpr double kMaxRestartCondest = 1e4;

// The quick attempt (quick_factor), made first under the default cycle, dropping and ordering:
// level 1 in the order given, without matching or fill-reducing ordering, with droptol
// kQuickDroptol, within kQuickFill times the input's entries; its postponed rows (at most
// kQuickPostponed of them, and kDenseOrder) form a dense last level. It is kept when its probe
// is below kUnstableProbe and a trial solve meets restol within kQuickIterations; otherwise the
// full factorization follows. Where a factor in the given order already serves, the full one
// costs far more than the solve needs: on the random KKT family (dominant Hessian block, n =
// 13,333 and 53,333) the full factor (matching, minimum degree, fill 6.3) took 0.23 and 1.19 s
// for 6 to 7 iterations, the quick one 0.02 and 0.10 s for 11. Where it does not serve, it is
// given up at a small cost: a level that outgrows the budget or postpones too much stops early
// (MAC Stokes: its pressure rows), an unstable one fails the probe (shifted Laplacians), and a
// slow one (the QP family) the trial.
constexpr double kQuickDroptol   = 0.1;
constexpr double kQuickFill      = 2.0;
constexpr double kQuickPostponed = 0.05;
constexpr int kQuickIterations   = 30;
// The package's default droptol: a caller who asks for tighter dropping wants an accurate
// factor, and the quick attempt is not made.
constexpr double kDefaultDroptol = 1e-3;

struct FactorError {
    int code;
    std::string message;
};

// A value as a person would write it (10, 2.5, 1e+06), for messages.
std::string number_text(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", x);
    return text;
}

[[noreturn]] void fail(int code, std::string message) {
    throw FactorError{code, std::move(message)};
}

void free_matrix(SparseMatrix& M) {
    std::free(M.ia);
    std::free(M.ja);
    std::free(M.a);
    M = SparseMatrix{};
}

void free_level(LevelRecord* R) {
    if (R == nullptr) {
        return;
    }
    forget_factor_split(R);
    free_matrix(R->A);
    free_matrix(R->F);
    std::free(R->coarse_ipiv);
    std::free(R->factor_index);
    std::free(R->factor_values);
    std::free(R->perm);
    std::free(R->invperm);
    std::free(R->rowscale);
    std::free(R->colscale);
    std::free(R->alt_diag);
    std::free(R->pivot_blocks);
    std::free(R);
}

struct LevelFree {
    void operator()(LevelRecord* R) const noexcept { free_level(R); }
};
using LevelPtr = std::unique_ptr<LevelRecord, LevelFree>;

struct MatrixFree {
    void operator()(SparseMatrix* M) const noexcept {
        free_matrix(*M);
        delete M;
    }
};
using MatrixPtr = std::unique_ptr<SparseMatrix, MatrixFree>;

// A block of at least one element holding a copy of v.
template <class Vector, class T = typename Vector::value_type>
T* copy_block(const Vector& v, const char* tag) {
    const size_t count = std::max<size_t>(v.size(), 1);
    auto* p            = static_cast<T*>(MAlloc(count * sizeof(T), tag));
    if (!v.empty()) {
        std::memcpy(p, v.data(), v.size() * sizeof(T));
    } else {
        std::memset(p, 0, sizeof(T));
    }
    return p;
}

// The array of a (never null: an empty one becomes one zero entry, as copy_block gives).
template <class T>
T* handed_over(HandoverArray<T>& a, const char* tag) {
    return a.empty() ? copy_block(std::vector<T>{}, tag) : a.release();
}

// Symmetric matrix as owned vectors: upper triangle, 1-based rows.
struct Upper {
    int n = 0;
    std::vector<int> ia{1};
    LargeVector<int> ja;
    LargeVector<double> a;
    long nnz() const { return static_cast<long>(ja.size()); }
};

MatrixPtr to_record(const Upper& U, const char* tag_ia, const char* tag_ja, const char* tag_a) {
    MatrixPtr M(new SparseMatrix{});
    M->nr = M->nc = U.n;
    M->ia         = copy_block(U.ia, tag_ia);
    M->ja         = copy_block(U.ja, tag_ja);
    M->a          = copy_block(U.a, tag_a);
    return M;
}

bool begins_with(const char* text, const char* keyword) {
    return text != nullptr && std::strncmp(text, keyword, std::strlen(keyword)) == 0;
}

// Multigrid-type methods keep the first level's matrix for their smoothing steps.
bool keeps_matrix(const ParameterRecord& p) {
    return begins_with(p.amg, "amli") || begins_with(p.amg, "mg");
}

// Checks the input record and copies it; the message names the first fault.
Upper checked_copy(const SparseMatrix& A) {
    const int n = A.nr;
    if (n < 1 || A.nc != n) {
        fail(kFactorBadInput, "the matrix must be square with at least one row");
    }
    if (A.ia == nullptr || A.ia[0] != 1 || (A.ia[n] > 1 && (A.ja == nullptr || A.a == nullptr))) {
        fail(kFactorBadInput, "the matrix record has no valid 1-based row pointers or entries");
    }
    Upper U;
    U.n = n;
    U.ia.assign(A.ia, A.ia + n + 1);
    for (int i = 0; i < n; ++i) {
        if (U.ia[i + 1] < U.ia[i]) {
            fail(kFactorBadInput, "row pointers decrease at row " + std::to_string(i + 1));
        }
    }
    const long nnz = U.ia[n] - 1;
    U.ja.assign(A.ja, A.ja + nnz);
    U.a.assign(A.a, A.a + nnz);
    std::vector<double> rowmax(static_cast<size_t>(n), 0.0);
    for (int i = 1; i <= n; ++i) {
        for (int k = U.ia[i - 1]; k < U.ia[i]; ++k) {
            const int j = U.ja[k - 1];
            if (j < i || j > n) {
                fail(kFactorBadInput, "row " + std::to_string(i) + " holds column " +
                                          std::to_string(j) + " outside the upper triangle");
            }
            const double x = U.a[k - 1];
            if (!std::isfinite(x)) {
                fail(kFactorNonFinite,
                     "entry (" + std::to_string(i) + ", " + std::to_string(j) + ") is not finite");
            }
            rowmax[i - 1] = std::max(rowmax[i - 1], std::fabs(x));
            rowmax[j - 1] = std::max(rowmax[j - 1], std::fabs(x));
        }
    }
    for (int i = 0; i < n; ++i) {
        if (rowmax[i] == 0.0) {
            fail(kFactorZeroRow, "row and column " + std::to_string(i + 1) + " are zero");
        }
    }
    return U;
}

LevelControls read_controls(const ParameterRecord* param) {
    LevelControls c;
    c.droptol  = std::isfinite(param->dfact[0]) ? std::max(param->dfact[0], 0.0) : 0.0;
    c.droptolS = std::isfinite(param->dfact[7]) ? std::max(param->dfact[7], 0.0) : 0.0;
    // The estimate of the inverse factor's norm is at least 1, so a smaller bound accepts nothing.
    c.condest       = std::isnan(param->dfact[1]) ? 10.0 : std::max(param->dfact[1], 1.0);
    c.lfil          = param->ifact[3];
    c.lfilS         = param->ifact[9];
    c.coarse_reduce = (static_cast<unsigned>(param->ifact[6]) & COARSE_REDUCE) != 0;
    return c;
}

// Symmetric Ruiz equilibration in powers of two: while some full row of M has its largest
// magnitude outside [1/2, 2], scale row and column i by 1/sqrt of it (rounded to a power of two),
// at most 20 sweeps. right collects the factors.
void equilibrate(SparseMatrix& M, std::vector<double>& right) {
    const int n = M.nr;
    std::vector<double> rowmax(static_cast<size_t>(n));
    std::vector<double> s(static_cast<size_t>(n));
    for (int sweep = 0; sweep < 20; ++sweep) {
        std::fill(rowmax.begin(), rowmax.end(), 0.0);
        for (int i = 1; i <= n; ++i) {
            for (int k = M.ia[i - 1]; k < M.ia[i]; ++k) {
                const double x = std::fabs(M.a[k - 1]);
                const int j    = M.ja[k - 1];
                rowmax[i - 1]  = std::max(rowmax[i - 1], x);
                rowmax[j - 1]  = std::max(rowmax[j - 1], x);
            }
        }
        bool changed = false;
        for (int i = 0; i < n; ++i) {
            s[i] = 1.0;
            if (rowmax[i] > 2.0 || (rowmax[i] > 0.0 && rowmax[i] < 0.5)) {
                s[i] = std::ldexp(1.0, static_cast<int>(std::lround(-0.5 * std::log2(rowmax[i]))));
                changed = changed || s[i] != 1.0;
            }
        }
        if (!changed) {
            return;
        }
        for (int i = 1; i <= n; ++i) {
            right[i - 1] *= s[i - 1];
            for (int k = M.ia[i - 1]; k < M.ia[i]; ++k) {
                M.a[k - 1] *= s[i - 1] * s[M.ja[k - 1] - 1];
            }
        }
    }
}

// Controls for a retry of a level that ran out of memory.
LevelControls tightened(LevelControls c) {
    constexpr int kLfil  = 30;
    constexpr int kLfilS = 60;
    if (c.lfil <= 0 || c.lfil > kLfil || c.lfilS <= 0 || c.lfilS > kLfilS) {
        c.lfil  = (c.lfil <= 0 || c.lfil > kLfil) ? kLfil : c.lfil;
        c.lfilS = (c.lfilS <= 0 || c.lfilS > kLfilS) ? kLfilS : c.lfilS;
    } else {
        c.droptol  = std::max(10.0 * c.droptol, 1e-4);
        c.droptolS = std::max(10.0 * c.droptolS, 1e-5);
    }
    return c;
}

// One try at a level: reorder and scale a copy of S, then factor it.
struct Attempt {
    MatrixPtr scaled;           // S scaled in place by the ordering (level numbering)
    std::vector<double> right;  // the scaling
    std::vector<int> p;         // position -> level unknown, 1-based
    int nB = 0;
    SymmetricRows B;  // both triangles of the scaled matrix in the new positions
    LevelFactor lf;
    // Wall seconds of its ordering routine and of all its factorizations, and how many ran.
    double reorder_seconds = 0.0;
    double factor_seconds  = 0.0;
    int runs               = 0;
};

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Factors the attempt's matrix (again) under other controls; the ordering stays.
void refactor(Attempt& at, const LevelControls& controls) {
    at.lf = LevelFactor{};
    release_free_memory();  // what earlier runs freed, before this one grows its arrays
    factor_detail::ildlc_level(at.B, at.nB, controls, &at.lf);
    at.factor_seconds += at.lf.factor_seconds + at.lf.schur_seconds;
    ++at.runs;
}

// The permutation and leading block an ordering chose for a level matrix.
struct LevelOrdering {
    std::vector<int> p;
    int nB         = 0;
    double seconds = 0.0;  // wall time of the routine that made it
};

// Orders, scales and factors the level matrix S. With `kept` holding an ordering, that one is
// used and the routine is not called; an empty `kept` receives the routine's ordering.
Attempt attempt_level(const Upper& S, ReorderRoutine reorder, const LevelControls& controls,
                      ParameterRecord* param, int level,
                      std::optional<LevelOrdering>* kept = nullptr) {
    const int n = S.n;
    release_free_memory();  // before the ordering's copies of the level matrix
    Attempt at;
    at.scaled = to_record(S, "factor:A.ia", "factor:A.ja", "factor:A.a");
    std::vector<double> left(static_cast<size_t>(n), 1.0);
    at.right.assign(static_cast<size_t>(n), 1.0);
    at.p.resize(static_cast<size_t>(n));
    std::vector<int> invq(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        at.p[i] = invq[i] = i + 1;
    }
    at.nB = n;
    if (reorder == nullptr) {
        reorder = factor_detail::factor_default_ordering;
    }
    int rc = 0;
    if (kept != nullptr && kept->has_value()) {
        at.p  = (*kept)->p;
        at.nB = (*kept)->nB;
    } else {
        const Clock::time_point start = Clock::now();
        rc = reorder(*at.scaled, left.data(), at.right.data(), at.p.data(), invq.data(), &at.nB,
                     param);
        at.reorder_seconds = seconds_since(start);
    }
    const std::string where = " on level " + std::to_string(level);
    if (rc == -5) {
        fail(kFactorZeroRow, "the ordering met a zero row or column" + where);
    }
    if (rc != 0) {
        fail(kFactorBadOrdering, "the ordering failed with status " + std::to_string(rc) + where);
    }
    for (int i = 0; i < n; ++i) {
        if (left[i] != 1.0) {
            fail(kFactorBadOrdering, "the ordering scaled rows and columns differently" + where +
                                         "; select a symmetric scaling (ifact[8])");
        }
        if (!(at.right[i] > 0.0) || !std::isfinite(at.right[i])) {
            fail(kFactorBadOrdering, "the ordering returned an invalid scaling" + where);
        }
    }
    std::vector<int> pos(static_cast<size_t>(n), -1);
    for (int k = 0; k < n; ++k) {
        const int i = at.p[k];
        if (i < 1 || i > n || pos[i - 1] >= 0) {
            fail(kFactorBadOrdering, "the ordering returned no permutation" + where);
        }
        pos[i - 1] = k;
    }
    if (at.nB < 0 || at.nB > n) {
        fail(kFactorBadOrdering, "the ordering returned a leading block outside 0..n" + where);
    }
    if (kept != nullptr && !kept->has_value()) {
        *kept = LevelOrdering{at.p, at.nB, at.reorder_seconds};
    }
    // Keep the ordering's permutation but not its scaling: undo it (its factors are powers of
    // two, so exactly) and equilibrate the level matrix afresh. A matching scaling bounds only
    // the entries of its graph; the others can end up near 1e22 and the scaling vector spans
    // 50 orders of magnitude, which ruins both the factor and the residual of the scaled solve.
    {
        SparseMatrix& M0 = *at.scaled;
        for (int i = 1; i <= n; ++i) {
            for (int k = M0.ia[i - 1]; k < M0.ia[i]; ++k) {
                M0.a[k - 1] /= at.right[i - 1] * at.right[M0.ja[k - 1] - 1];
            }
        }
        std::fill(at.right.begin(), at.right.end(), 1.0);
    }
    equilibrate(*at.scaled, at.right);
    // Both triangles of the scaled matrix in the new positions.
    const SparseMatrix& M = *at.scaled;
    SymmetricRows& B      = at.B;
    B.n                   = n;
    B.ptr.assign(static_cast<size_t>(n) + 1, 0);
    for (int i = 1; i <= n; ++i) {
        for (int k = M.ia[i - 1]; k < M.ia[i]; ++k) {
            const int j = M.ja[k - 1];
            ++B.ptr[pos[i - 1] + 1];
            if (j != i) {
                ++B.ptr[pos[j - 1] + 1];
            }
        }
    }
    for (int r = 0; r < n; ++r) {
        B.ptr[r + 1] += B.ptr[r];
    }
    B.col.resize(static_cast<size_t>(B.ptr[n]));
    B.val.resize(static_cast<size_t>(B.ptr[n]));
    std::vector<int> fill(B.ptr.begin(), B.ptr.end() - 1);
    for (int i = 1; i <= n; ++i) {
        const int pi = pos[i - 1];
        for (int k = M.ia[i - 1]; k < M.ia[i]; ++k) {
            const int pj      = pos[M.ja[k - 1] - 1];
            const double x    = M.a[k - 1];
            B.col[fill[pi]]   = pj;
            B.val[fill[pi]++] = x;
            if (pj != pi) {
                B.col[fill[pj]]   = pi;
                B.val[fill[pj]++] = x;
            }
        }
    }
    refactor(at, controls);
    return at;
}

// Level 1 stored for the matrix as given: its scaling folded into the factor and F, the next
// level's matrix and the kept system (amli, mg) unscaled. Nothing changes when a folded value
// would not be finite; then level 1 keeps its scaling vectors.
bool unscale_first_level(Attempt& at, Upper& next, bool keep_A) {
    const LevelFactor& lf = at.lf;
    std::vector<double> s(static_cast<size_t>(lf.n));
    for (int k = 0; k < lf.n; ++k) {
        s[static_cast<size_t>(k)] = at.right[static_cast<size_t>(at.p[lf.order[k]] - 1)];
    }
    LargeVector<double> next_a(next.a);
    for (int i = 1; i <= next.n; ++i) {
        for (int k = next.ia[i - 1]; k < next.ia[i]; ++k) {
            const int j = next.ja[k - 1];
            next_a[k - 1] /=
                s[static_cast<size_t>(lf.m + i - 1)] * s[static_cast<size_t>(lf.m + j - 1)];
            if (!std::isfinite(next_a[k - 1])) {
                return false;
            }
        }
    }
    if (!factor_detail::fold_scaling(at.lf, s)) {
        return false;
    }
    next.a = std::move(next_a);
    if (keep_A) {
        SparseMatrix& M = *at.scaled;  // the scaled level matrix, level numbering
        for (int i = 1; i <= M.nr; ++i) {
            for (int k = M.ia[i - 1]; k < M.ia[i]; ++k) {
                M.a[k - 1] /= at.right[static_cast<size_t>(i - 1)] *
                              at.right[static_cast<size_t>(M.ja[k - 1] - 1)];
            }
        }
    }
    return true;
}

// The sparse level record of an attempt.
LevelPtr make_level(Attempt& at, bool first, bool keep_A, bool coarse_reduce, bool folded) {
    at.B                  = SymmetricRows{};  // not needed any more
    const LevelFactor& lf = at.lf;
    const int n           = lf.n;
    const int m           = lf.m;
    LevelPtr R(static_cast<LevelRecord*>(MAlloc(sizeof(LevelRecord), "factor:level")));
    std::memset(R.get(), 0, sizeof(LevelRecord));
    R->n  = n;
    R->nB = m;
    std::vector<int> perm(static_cast<size_t>(n));
    std::vector<int> invperm(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) {
        perm[k]              = at.p[lf.order[k]];
        invperm[perm[k] - 1] = k + 1;
    }
    R->perm    = copy_block(perm, "factor:perm");
    R->invperm = copy_block(invperm, "factor:invperm");
    if (folded) {
        std::fill(at.right.begin(), at.right.end(), 1.0);
    }
    R->colscale        = copy_block(at.right, "factor:colscale");
    R->rowscale        = first ? copy_block(at.right, "factor:rowscale") : nullptr;
    R->pivot_blocks    = copy_block(lf.pivot_blocks, "factor:pivot_blocks");
    R->factor_nnz      = lf.I[static_cast<size_t>(m)] - 1;
    R->factor_capacity = static_cast<int>(lf.V.size());
    long stored        = static_cast<long>(lf.V.size()) - (m + 1);
    R->factor_index    = handed_over(at.lf.I, "factor:factor_index");
    R->factor_values   = handed_over(at.lf.V, "factor:factor_values");
    if (coarse_reduce) {
        R->F.nr = m;
        R->F.nc = n - m;
        R->F.ia = copy_block(lf.Fia, "factor:F.ia");
        R->F.ja = copy_block(lf.Fja, "factor:F.ja");
        R->F.a  = copy_block(lf.Fa, "factor:F.a");
        stored += static_cast<long>(lf.Fa.size());
    }
    R->reserved_int[0] = lf.postponed;
    R->reserved_int[1] = lf.pairs;
    R->nnz_stored      = static_cast<int>(std::min<long>(stored, std::numeric_limits<int>::max()));
    if (keep_A) {
        R->A       = *at.scaled;
        *at.scaled = SparseMatrix{};  // the record owns the arrays now
    }
    return R;
}

// Pivots of a singular dense last level are raised to this share of its largest entry
// (sqrt of the rounding unit): small enough that the preconditioner stays close to the level's
// system, large enough that its inverse does not swamp the Krylov method.
constexpr double kStaticPivot = 1.4901161193847656e-08;

// Dense last level: Bunch-Kaufman factor of S in packed lower form.
// The matrix is equilibrated for the pivoting, and the scaling folded into the factor; should a
// folded value not be finite, the matrix is factored as it is.
LevelPtr make_dense_level(const Upper& S, bool keep_A, int level) {
    const int n       = S.n;
    const long packed = static_cast<long>(n) * (n + 1) / 2;
    auto pack         = [&](const LargeVector<double>& a) {
        std::vector<double> AP(static_cast<size_t>(packed), 0.0);
        for (int i = 1; i <= n; ++i) {
            for (int k = S.ia[i - 1]; k < S.ia[i]; ++k) {
                const long r = S.ja[k - 1] - 1;  // row of the lower triangle
                const long c = i - 1;            // its column
                AP[static_cast<size_t>(r + c * (2L * n - c - 1) / 2)] += a[k - 1];
            }
        }
        return AP;
    };
    Upper E = S;
    std::vector<double> e(static_cast<size_t>(n), 1.0);
    {
        SparseMatrix M{};
        M.nr = M.nc = n;
        M.ia        = E.ia.data();
        M.ja        = E.ja.data();
        M.a         = E.a.data();
        equilibrate(M, e);
    }
    std::vector<double> AP = pack(E.a);
    std::vector<int> ipiv(static_cast<size_t>(n), 0);
    int info = 0;
    dsptrf_("L", &n, AP.data(), ipiv.data(), &info, 1);
    // A zero pivot: the factor is complete but D singular. Its pivots of magnitude below
    // sqrt(eps) times the largest entry (at least 1, the scale of the equilibrated matrix that
    // the levels come from: a level may vanish entirely) are pushed out to that size (static
    // pivoting); the Krylov method then corrects the difference to the matrix.
    const auto largest = [](const LargeVector<double>& a) {
        double m = 1.0;
        for (double v : a) m = std::max(m, std::abs(v));
        return m;
    };
    int perturbed = 0;
    if (info > 0) {
        perturbed = factor_detail::perturb_small_pivots(n, AP, ipiv, kStaticPivot * largest(E.a));
        info      = 0;
    }
    if (info == 0 && !factor_detail::fold_dense_scaling(n, AP, ipiv, e)) {
        AP = pack(S.a);
        dsptrf_("L", &n, AP.data(), ipiv.data(), &info, 1);
        if (info > 0) {
            perturbed =
                factor_detail::perturb_small_pivots(n, AP, ipiv, kStaticPivot * largest(S.a));
            info = 0;
        }
    }
    const std::string where =
        " (order " + std::to_string(n) + ", level " + std::to_string(level) + ")";
    if (info != 0) {
        fail(kFactorSingular, "the coarsest system is singular" + where);
    }
    for (double x : AP) {
        if (!std::isfinite(x)) {
            fail(kFactorSingular, "the factor of the coarsest system is not finite" + where);
        }
    }
    LevelPtr R(static_cast<LevelRecord*>(MAlloc(sizeof(LevelRecord), "factor:level")));
    std::memset(R.get(), 0, sizeof(LevelRecord));
    R->n               = n;
    R->nB              = n;
    R->reserved_int[2] = perturbed;
    std::vector<int> identity(static_cast<size_t>(n));
    std::vector<int> blocks(static_cast<size_t>(n), -1);
    for (int k = 0; k < n; ++k) {
        identity[k] = k + 1;
        if (ipiv[k] < 0 && k + 1 < n && blocks[k] < 0) {
            blocks[k] = blocks[k + 1] = 1;  // 2x2 pivot on rows k+1, k+2
            ++k;
            identity[k] = k + 1;
        }
    }
    R->perm     = copy_block(identity, "factor:perm");
    R->invperm  = copy_block(identity, "factor:invperm");
    R->colscale = copy_block(std::vector<double>(static_cast<size_t>(n), 1.0), "factor:colscale");
    R->pivot_blocks    = copy_block(blocks, "factor:pivot_blocks");
    R->coarse_ipiv     = copy_block(ipiv, "factor:coarse_ipiv");
    R->factor_values   = copy_block(AP, "factor:factor_values");
    R->factor_capacity = static_cast<int>(std::min<long>(packed, std::numeric_limits<int>::max()));
    R->nnz_stored      = R->factor_capacity;
    if (keep_A) {
        MatrixPtr M = to_record(S, "factor:A.ia", "factor:A.ja", "factor:A.a");
        R->A        = *M;
        *M          = SparseMatrix{};
    }
    return R;
}

// The next level's matrix. In an incomplete factorization a row that vanished entirely (every
// entry dropped, or cancellation after dropping) makes the matrix singular although the input
// need not be; such a row gets a diagonal entry of droptol times the largest magnitude of S,
// which only affects the preconditioner. Without dropping a zero row is kept: the matrix is
// singular.
Upper schur_of(LevelFactor& lf, const LevelControls& controls) {
    Upper S;
    S.n  = lf.n - lf.m;
    S.ia = std::move(lf.Sia);  // the level factor's copy is not read again
    S.ja = std::move(lf.Sja);
    S.a  = std::move(lf.Sa);
    std::vector<double> rowmax(static_cast<size_t>(S.n), 0.0);
    double largest = 0.0;
    for (int i = 1; i <= S.n; ++i) {
        for (int k = S.ia[i - 1]; k < S.ia[i]; ++k) {
            const double x = std::fabs(S.a[k - 1]);
            const int j    = S.ja[k - 1];
            rowmax[i - 1]  = std::max(rowmax[i - 1], x);
            rowmax[j - 1]  = std::max(rowmax[j - 1], x);
            largest        = std::max(largest, x);
        }
    }
    if (controls.droptol == 0.0 && controls.droptolS == 0.0) {
        return S;
    }
    const double shift = largest > 0.0 ? std::max(controls.droptol, 1e-8) * largest : 1.0;
    for (int i = 1; i <= S.n; ++i) {
        // every row of S stores its diagonal first
        if (rowmax[i - 1] == 0.0 && S.ia[i] > S.ia[i - 1] && S.ja[S.ia[i - 1] - 1] == i) {
            S.a[S.ia[i - 1] - 1] = shift;
        }
    }
    return S;
}

double processor_seconds() {
    float user = 0.0f;
    float sys  = 0.0f;
    evaluate_time(&user, &sys);
    return static_cast<double>(user) + static_cast<double>(sys);
}

// ---- The strategy: passes over the levels ---------------------------------------------------
// A pass factors level after level from level 1 under the controls of its attempt. Within a
// pass, a level that outgrows what elbow leaves is factored again with tighter dropping (lfil
// and lfilS caps, then droptol and droptolS ten times larger, which hold for the coarser levels
// too), a level 1 that postpones kHardPostponed of its rows again with droptol / 100 and
// droptolS / 10, a level that keeps fewer than a tenth of its rows with reorder2 (or densely),
// and a level that accepts no pivot with a relaxed, then without a bound on the inverse factor.
// A pass that ends in an outcome its attempt lists starts the next attempt from level 1.

constexpr unsigned kPassFinished = 0;  // the pass ended with a level list

LevelControls as_given(LevelControls options) {
    return options;
}
LevelControls condest_raised(LevelControls options) {
    options.condest = std::min(options.condest * kRestartCondest, kMaxRestartCondest);
    return options;
}
bool always(const LevelControls&) {
    return true;
}
bool condest_can_rise(const LevelControls& options) {
    return options.condest < kMaxRestartCondest;
}

constexpr FactorAttempt kAttempts[] = {
    // The caller's controls. Rows that level 1 postpones for a small bound on the inverse factor
    // may crowd elbow, or leave levels that hardly shrink: then the bound is raised.
    {"options", as_given, always, kPassCrowded | kPassSlow},
    // The bound kRestartCondest times larger (at most kMaxRestartCondest). When even these
    // levels do not fit into elbow, the caller's bound comes back.
    {"condest raised", condest_raised, condest_can_rise, kPassBeyondElbow},
    // The caller's controls once more, the dropping tightened level by level to fit into elbow.
    {"fallback", as_given, always, 0},
};

// What the passes share.
struct PassContext {
    ParameterRecord* param;
    bool keep_A;
    double elbow;
    long nnz_in;
    double start;
    const ProgressCallback& progress;
    FactorInfo& out;
    std::optional<LevelOrdering> first_ordering;  // level 1's ordering depends on A alone
};

// The levels of a pass, the entries they store and where their time went.
struct PassLevels {
    std::vector<LevelPtr> built;
    long stored = 0;
    std::vector<LevelTimes> times;
};

// One level of a pass while it is made: its matrix and what its discarded tries cost.
struct LevelState {
    const Upper& current;  // the level's matrix
    int level;
    int n;
    Clock::time_point level_start;
    ReorderRoutine first;  // the slot tried first: reorder0 on level 1, reorder1 later
    // The orderings and factorizations of this level that were not kept.
    double dropped        = 0.0;
    int dropped_runs      = 0;
    double failed_droptol = 0.0;  // of a stricter attempt that did not fit

    void drop(const Attempt& a) {
        dropped += a.reorder_seconds + a.factor_seconds;
        dropped_runs += a.runs;
    }
};

// One pass over the levels under kAttempts[index]; the levels go to `result`.
struct Pass {
    Pass(PassContext& c, size_t i, PassLevels& r)
        : ctx(c),
          index(i),
          attempt(kAttempts[i]),
          options(read_controls(c.param)),
          controls(attempt.controls(options)),
          next_applies(i + 1 < std::size(kAttempts) && kAttempts[i + 1].applies(options)),
          param(c.param),
          keep_A(c.keep_A),
          elbow(c.elbow),
          nnz_in(c.nnz_in),
          out(c.out),
          result(r),
          built(r.built),
          stored(r.stored) {}

    unsigned run(Upper current);

    // An outcome ends the pass when the attempt lists it and the next attempt applies.
    bool moves_on(unsigned outcome) const {
        return (attempt.moves_on & outcome) != 0 && next_applies;
    }
    unsigned postponing() const {
        return postponed_on_first >= kRestartPostponed ? kPassCrowded : kPassFinished;
    }
    void report(int level, int eliminated, bool dense) const {
        if (ctx.progress) {
            ctx.progress(LevelProgress{quick ? 0 : static_cast<int>(index) + 1, level,
                                       built.back()->n, eliminated, dense, stored,
                                       processor_seconds() - ctx.start});
        }
    }
    void finish_dense(LevelState& lv, const Attempt* tried);
    std::optional<unsigned> dense_when_small(LevelState& lv);
    bool harden(LevelState& lv, Attempt& a);
    std::optional<unsigned> factor_within_elbow(LevelState& lv, Attempt& at);
    std::optional<unsigned> remedy_few_pivots(LevelState& lv, Attempt& at);
    void record_level(LevelState& lv, Attempt& at, Upper& next);
    std::optional<unsigned> outcome_after_level(const LevelState& lv, const Attempt& at,
                                                const Upper& next) const;

    PassContext& ctx;
    const size_t index;
    const FactorAttempt& attempt;
    const LevelControls options;  // the caller's controls
    LevelControls controls;       // the attempt's controls, tightened on the way
    const bool next_applies;
    ParameterRecord* const param;
    const bool keep_A;
    const double elbow;
    const long nnz_in;
    FactorInfo& out;
    PassLevels& result;
    std::vector<LevelPtr>& built;
    long& stored;
    bool quick = false;  // the quick pass (run_quick_pass)
    // Once level 1 has postponed kRestartPostponed of its rows, a pass that outgrows elbow is
    // crowded by them.
    double postponed_on_first = 0.0;  // share of level 1's rows it postponed
};

// A dense last level after `tried` (the sparse try it replaces, if any).
void Pass::finish_dense(LevelState& lv, const Attempt* tried) {
    if (tried != nullptr) {
        lv.drop(*tried);
    }
    const Clock::time_point start = Clock::now();
    built.push_back(make_dense_level(lv.current, keep_A, lv.level));
    LevelTimes t;
    t.dense_factor = seconds_since(start);
    stored += built.back()->nnz_stored;
    t.n       = lv.n;
    t.dense   = true;
    t.runs    = lv.dropped_runs;
    t.retries = lv.dropped;
    t.total   = seconds_since(lv.level_start);
    result.times.push_back(t);
    report(lv.level, lv.n, /*dense=*/true);
}

// A level beyond the first that is small, or one level too many, is the dense last level.
// Returns the outcome of the pass then, nothing when the level is factored sparsely.
std::optional<unsigned> Pass::dense_when_small(LevelState& lv) {
    const int level = lv.level;
    const int n     = lv.n;
    // A dense last level counts against elbow like every other level.
    const double full = 0.5 * n * (n + 1.0);  // entries of a packed triangle
    const bool dense_within_elbow =
        elbow <= 0.0 || static_cast<double>(stored) + full <= elbow * static_cast<double>(nnz_in);
    const bool small =
        n <= kDenseOrder && (full <= std::max(0.25 * static_cast<double>(nnz_in), 200.0) ||
                             static_cast<double>(lv.current.nnz()) >= kDenseShare * full);
    if (level >= 2 && ((small && dense_within_elbow) || level > kMaxLevels)) {
        if (n > kDenseMax && level > kMaxLevels) {
            fail(kFactorNoPivots, "the levels stopped shrinking at order " + std::to_string(n));
        }
        if (!dense_within_elbow) {
            if (moves_on(kPassBeyondElbow | postponing())) {
                return kPassBeyondElbow | postponing();
            }
            fail(kFactorElbow, "the factorization needs more than elbow = " + number_text(elbow) +
                                   " times the entries of the matrix (dense level " +
                                   std::to_string(level) + " of order " + std::to_string(n) + ")");
        }
        finish_dense(lv, nullptr);
        return kPassFinished;
    }
    return std::nullopt;
}

// Factors `a` again with droptol a hundred and droptolS ten times smaller; when that fits and
// accepts a pivot, these controls stay (for the coarser levels too). A droptol that did not fit
// on this level is not tried twice.
bool Pass::harden(LevelState& lv, Attempt& a) {
    LevelControls strict = controls;
    strict.droptol       = std::max(controls.droptol / 100.0, kHardDroptol);
    strict.droptolS      = std::max(controls.droptolS / 10.0, kHardDroptol);
    if (strict.droptol == lv.failed_droptol) {
        return false;
    }
    refactor(a, strict);
    if (!a.lf.over_budget && a.lf.m > 0) {
        controls = strict;
        return true;
    }
    lv.failed_droptol = strict.droptol;
    return false;
}

// The first try at a level and its retries until it fits into elbow. Returns the outcome that
// ends the pass, or nothing with the level's factor in `at`.
std::optional<unsigned> Pass::factor_within_elbow(LevelState& lv, Attempt& at) {
    const int level = lv.level;
    const int n     = lv.n;
    // The level may use what elbow leaves; when it runs out, the level is factored
    // again with tighter dropping (first lfil/lfilS caps, then droptol and droptolS ten
    // times larger), which then holds for the coarser levels too.
    controls.budget =
        elbow > 0.0 ? std::max(1L, static_cast<long>(elbow * static_cast<double>(nnz_in)) - stored)
                    : 0L;
    // A first level that postpones a fifth of its rows or more leaves a large part of
    // the problem to the coarse levels, and the accuracy of the whole preconditioner
    // then hinges on the dropping: factored again with droptol a hundred and droptolS
    // ten times smaller (which hold for the coarser levels too), if that fits. The first
    // attempt stops as soon as it has postponed that many rows.
    const bool may_harden = level == 1 && controls.droptol > kHardDroptol;
    LevelControls limited = controls;
    if (may_harden) {
        limited.postpone_limit = std::max(1, static_cast<int>(std::ceil(kHardPostponed * n)));
    }
    // A first level that will start the pass again for crowding (below) is recognised
    // while its Schur complement is formed: once that holds more than elbow / kCrowded
    // times the input's entries, the rest of it is not needed.
    if (level == 1 && elbow > 0.0 && moves_on(kPassCrowded)) {
        limited.crowd_limit     = static_cast<long>(elbow * static_cast<double>(nnz_in) / kCrowded);
        limited.crowd_postponed = static_cast<int>(std::ceil(kRestartPostponed * n));
        limited.crowd_accepted  = std::max(1, n / 10);
    }
    at = attempt_level(lv.current, lv.first, limited, param, level,
                       level == 1 ? &ctx.first_ordering : nullptr);
    if (at.lf.crowded) {
        return kPassCrowded;
    }
    bool hardened = false;
    if (at.lf.over_limit) {
        hardened = harden(lv, at);
        if (!hardened) {
            refactor(at, controls);
        }
    }
    if (at.lf.over_budget && moves_on(postponing())) {
        return postponing();
    }
    for (int tighter = 0; at.lf.over_budget && tighter < 3; ++tighter) {
        controls = tightened(controls);
        refactor(at, controls);
    }
    if (at.lf.over_budget) {
        if (moves_on(kPassBeyondElbow)) {
            return kPassBeyondElbow;
        }
        fail(kFactorElbow, "the factorization needs more than elbow = " + number_text(elbow) +
                               " times the entries of the matrix, also with tighter "
                               "dropping (level " +
                               std::to_string(level) + ")");
    }
    // The same for a first level that reached the share only after tighter dropping.
    if (may_harden && !hardened && at.lf.postponed >= kHardPostponed * n &&
        controls.droptol > kHardDroptol) {
        LevelFactor loose = std::move(at.lf);
        if (!harden(lv, at)) {
            at.lf = std::move(loose);
        }
    }
    return std::nullopt;
}

// A level that kept fewer than a tenth of its rows: reorder2, else (beyond level 1) the dense
// last level, and with no pivot at all a relaxed bound. Returns kPassFinished after a dense
// last level, nothing when `at` is the level's factor; a level without a pivot throws.
std::optional<unsigned> Pass::remedy_few_pivots(LevelState& lv, Attempt& at) {
    const int level  = lv.level;
    const int n      = lv.n;
    const int enough = std::max(1, n / 10);
    if (at.lf.m < enough && param->reorder2 != nullptr && param->reorder2 != lv.first) {
        Attempt alt = attempt_level(lv.current, param->reorder2, controls, param, level);
        if (!alt.lf.over_budget && alt.lf.m > at.lf.m) {
            lv.drop(at);
            at = std::move(alt);
        } else {
            lv.drop(alt);
        }
    }
    const double dense_size = 0.5 * n * (n + 1.0);
    const bool dense_fits   = elbow <= 0.0 || static_cast<double>(stored) + dense_size <=
                                                elbow * static_cast<double>(nnz_in);
    if (at.lf.m < enough && level >= 2 && n <= kDenseMax && dense_fits) {
        finish_dense(lv, &at);
        return kPassFinished;
    }
    // No pivot at all: relax the bound on the inverse factor, then drop it. An ordering
    // that offered no candidate (nB = 0) is replaced by the default one, which offers all.
    for (double relax : {100.0, std::numeric_limits<double>::infinity()}) {
        if (at.lf.m > 0) {
            break;
        }
        LevelControls relaxed = controls;
        relaxed.condest       = controls.condest * relax;
        if (at.nB == 0) {
            lv.drop(at);
            at = attempt_level(lv.current, nullptr, relaxed, param, level);
        } else {
            refactor(at, relaxed);
        }
    }
    if (at.lf.m == 0) {
        fail(at.lf.over_budget ? kFactorElbow : kFactorNoPivots,
             "no pivot could be accepted on level " + std::to_string(level) + " (order " +
                 std::to_string(n) + ")");
    }
    return std::nullopt;
}

// Stores the sparse level `at` (level 1 for the matrix as given, its scaling folded into
// `next` too) with its entries and times, and reports it.
void Pass::record_level(LevelState& lv, Attempt& at, Upper& next) {
    const int level = lv.level;
    const int n     = lv.n;
    if (level == 1) {
        out.droptol  = controls.droptol;
        out.droptolS = controls.droptolS;
        out.condest  = controls.condest;
    }
    const bool folded = level == 1 && unscale_first_level(at, next, keep_A);
    built.push_back(make_level(at, level == 1, keep_A, controls.coarse_reduce, folded));
    stored += built.back()->nnz_stored;
    if (keep_A) {
        stored += built.back()->A.ia ? built.back()->A.ia[n] - 1 : 0;
    }
    {
        LevelTimes t;
        t.n       = n;
        t.runs    = at.runs + lv.dropped_runs;
        t.reorder = at.reorder_seconds;
        t.factor  = at.lf.factor_seconds;
        t.schur   = at.lf.schur_seconds;
        t.retries = std::max(0.0, lv.dropped + at.factor_seconds - t.factor - t.schur);
        t.total   = seconds_since(lv.level_start);
        result.times.push_back(t);
    }
    report(level, at.lf.m, /*dense=*/false);
}

// Whether the pass moves on after a stored sparse level whose Schur complement is `next`: a
// first level that leaves too little of elbow to the coarse levels, or levels beyond elbow.
// Returns that outcome, nothing when the pass goes on; beyond elbow without a next attempt throws.
std::optional<unsigned> Pass::outcome_after_level(const LevelState& lv, const Attempt& at,
                                                  const Upper& next) const {
    const int level = lv.level;
    const int n     = lv.n;
    if (level == 1 && elbow > 0.0 && at.lf.m < n &&
        elbow * static_cast<double>(nnz_in) - static_cast<double>(stored) <
            kCrowded * static_cast<double>(next.nnz()) &&
        moves_on(postponing())) {
        return postponing();
    }
    if (elbow > 0.0 &&
        static_cast<double>(stored + next.nnz()) > elbow * static_cast<double>(nnz_in)) {
        if (moves_on(kPassBeyondElbow | postponing())) {
            return kPassBeyondElbow | postponing();
        }
        fail(kFactorElbow, "the factorization needs more than elbow = " + number_text(elbow) +
                               " times the entries of the matrix (level " + std::to_string(level) +
                               ")");
    }
    return std::nullopt;
}

// The levels from `current` (level 1) on, until the pass finishes or moves on.
unsigned Pass::run(Upper current) {
    for (int level = 1;; ++level) {
        poll_interrupt();
        LevelState lv{current, level, current.n, Clock::now(),
                      level == 1 ? param->reorder0 : param->reorder1};
        if (std::optional<unsigned> end = dense_when_small(lv)) {
            return *end;
        }
        Attempt at;
        if (std::optional<unsigned> end = factor_within_elbow(lv, at)) {
            return *end;
        }
        if (std::optional<unsigned> end = remedy_few_pivots(lv, at)) {
            return *end;
        }
        const int n = lv.n;
        Upper next  = at.lf.m < n ? schur_of(at.lf, controls) : Upper{};
        if (level == 1) {
            postponed_on_first = static_cast<double>(at.lf.postponed) / n;
        }
        if (level == 2 && n >= kSlowOrder && at.lf.m < kSlowShare * n && moves_on(kPassSlow)) {
            return kPassSlow;
        }
        record_level(lv, at, next);
        if (std::optional<unsigned> end = outcome_after_level(lv, at, next)) {
            return *end;
        }
        if (at.lf.m == n) {
            return kPassFinished;
        }
        current = std::move(next);
    }
}

// One pass over the levels under kAttempts[index], from level 1 (the matrix `current`). Returns
// kPassFinished with the levels in `result`, or the outcome that ends the pass and starts the
// next attempt; a failure that no later attempt serves throws.
unsigned run_pass(PassContext& ctx, size_t index, Upper current, PassLevels& result) {
    Pass pass(ctx, index, result);
    return pass.run(std::move(current));
}

// The quick pass (see kQuick...): level 1 in the given order with droptol kQuickDroptol, its
// postponed rows, if any, the dense last level. Returns false, with nothing in `result`, when
// the level outgrows kQuickFill or postpones more than the dense level may hold.
bool run_quick_pass(PassContext& ctx, Upper current, PassLevels& result) {
    Pass pass(ctx, 0, result);
    pass.quick            = true;
    const int n           = current.n;
    pass.controls.droptol = std::max(pass.controls.droptol, kQuickDroptol);
    pass.controls.budget =
        std::max(1L, static_cast<long>(kQuickFill * static_cast<double>(ctx.nnz_in)));
    const int dense_rows         = std::min(kDenseOrder, static_cast<int>(kQuickPostponed * n));
    pass.controls.postpone_limit = dense_rows + 1;
    LevelState lv{current, 1, n, Clock::now(), nullptr};
    Attempt at = attempt_level(current, nullptr, pass.controls, ctx.param, 1);
    if (at.lf.over_budget || at.lf.over_limit || at.lf.m == 0) {
        result = PassLevels{};
        return false;
    }
    Upper next = at.lf.m < n ? schur_of(at.lf, pass.controls) : Upper{};
    pass.record_level(lv, at, next);
    if (at.lf.m < n) {
        LevelState last{next, 2, next.n, Clock::now(), nullptr};
        pass.finish_dense(last, nullptr);
    }
    return true;
}

}  // namespace

namespace factor_detail {
std::span<const FactorAttempt> factor_attempts() {
    return kAttempts;
}
}  // namespace factor_detail

void release_levels(LevelRecord* levels) {
    while (levels != nullptr) {
        LevelRecord* next = levels->next;
        free_level(levels);
        levels = next;
    }
}

namespace {

// What factor_once returns when the quick pass did not fit (not a FactorStatus: the caller
// goes on with the full factorization).
constexpr int kQuickDeclined = 1;

// One factorization: the passes of kAttempts until one ends with a level list, or with `quick`
// the quick pass alone.
int factor_once(const SparseMatrix& A, ParameterRecord* param, LevelRecord** levels,
                FactorInfo* info, const ProgressCallback& progress, bool quick = false) {
    FactorInfo local;
    FactorInfo& out = info ? *info : local;
    out             = FactorInfo{};
    if (levels == nullptr) {
        out.message = "no place for the level list";
        return kFactorBadInput;
    }
    *levels = nullptr;
    if (param == nullptr) {
        out.message = "no parameter record";
        return kFactorBadInput;
    }
    const double start                 = processor_seconds();
    const Clock::time_point wall_start = Clock::now();
    try {
        Upper current     = checked_copy(A);
        const long nnz_in = current.nnz();
        out.n             = current.n;
        out.nnz_input     = nnz_in;

        // Setup mode and the solver mode that follows compare these texts before testing them
        // for emptiness, and setup mode copies the caller's test vector when typetv asks for one.
        if (param->FCpart == nullptr) {
            param->FCpart = "none";
        }
        if (param->amg == nullptr) {
            param->amg = "ilu";
        }
        if (param->solver == nullptr) {
            param->solver = "sqmr";
        }
        if (param->typetv != nullptr && param->typetv[0] != '\0' &&
            !begins_with(param->typetv, "none") && param->tv == nullptr) {
            fail(kFactorBadInput, "typetv \"" + std::string(param->typetv) +
                                      "\" asks for a test vector, but none was given (tv)");
        }
        SparseMatrix pattern = A;
        DSYMAMGsetupparameters(&pattern, param, 0);
        const bool keep_A  = keeps_matrix(*param);
        const double elbow = param->ifact[0] > 0 ? param->ifact[0] : 0.0;

        PassContext ctx{param, keep_A, elbow, nnz_in, start, progress, out, {}};
        PassLevels result;
        if (quick && !run_quick_pass(ctx, std::move(current), result)) {
            out.message      = "the quick pass did not fit";
            out.seconds      = processor_seconds() - start;
            out.wall_seconds = seconds_since(wall_start);
            return kQuickDeclined;
        }
        // Walk the attempts: a pass that ends in an outcome its attempt lists (and for which the
        // next attempt applies) starts the next attempt from level 1.
        double discarded = 0.0;
        int passes       = 1;
        for (size_t index = 0; !quick; ++index, ++passes) {
            const Clock::time_point pass_start = Clock::now();
            if (run_pass(ctx, index, index == 0 ? std::move(current) : checked_copy(A), result) ==
                kPassFinished) {
                break;
            }
            result = PassLevels{};
            discarded += seconds_since(pass_start);
        }
        std::vector<LevelPtr>& built = result.built;
        const long stored            = result.stored;

        // Link the records and hand them over.
        const int nlev = static_cast<int>(built.size());
        for (int l = 0; l < nlev; ++l) {
            built[l]->nlev = nlev;
            built[l]->prev = l > 0 ? built[l - 1].get() : nullptr;
            built[l]->next = l + 1 < nlev ? built[l + 1].get() : nullptr;
        }
        built[0]->nnzA_input =
            static_cast<int>(std::min<long>(nnz_in, std::numeric_limits<int>::max()));
        unsigned word = static_cast<unsigned>(param->ifact[6]) & COARSE_REDUCE;
        if (!keep_A) {
            word |= COARSE_DISCARDED;
        }
        param->ifact[16] = static_cast<int>(word);
        out.nlev         = nlev;
        out.nnz_stored   = stored;
        out.perturbed    = 0;
        for (const LevelPtr& R : built) {
            out.perturbed += R->factor_index == nullptr ? R->reserved_int[2] : 0;
        }
        out.fill = nnz_in > 0 ? static_cast<double>(stored) / static_cast<double>(nnz_in) : 0.0;
        const Clock::time_point split_start = Clock::now();
        for (const LevelPtr& R : built) {
            attach_factor_split(*R);
        }
        out.split_seconds     = seconds_since(split_start);
        out.level_times       = std::move(result.times);
        out.passes            = passes;
        out.discarded_seconds = discarded;
        out.first_ordering_seconds =
            ctx.first_ordering.has_value() ? ctx.first_ordering->seconds : 0.0;
        LevelRecord* first_level = built[0].get();
        for (LevelPtr& R : built) {
            (void)R.release();
        }
        *levels          = first_level;
        out.seconds      = processor_seconds() - start;
        out.wall_seconds = seconds_since(wall_start);
        return kFactorOk;
    } catch (const FactorError& e) {
        out.message = e.message;
        out.seconds = processor_seconds() - start;
        return e.code;
    } catch (const std::bad_alloc&) {
        out.message = "out of memory in the factorization";
        out.seconds = processor_seconds() - start;
        return kFactorOutOfMemory;
    }
}

// max over kProbeVectors residuals r = A v (v pseudo-random, fixed) of ||A M^-1 r - r|| / ||r||:
// how far the operator the Krylov method sees is from the identity. M^-1 is applied as the
// solver driver does, between level 1's column scalings.
double stability_probe(const SparseMatrix& A, LevelRecord* levels, ParameterRecord* param) {
    const int n = A.nr;
    if (n == 0) {
        return 0.0;
    }
    const auto N = static_cast<size_t>(n);
    std::vector<double> v(N), r(N), z(N), y(N);
    std::vector<double> work(
        static_cast<size_t>(preconditioner_scratch(levels, param->ifact[10], n)));
    double worst = 0.0;
    for (int t = 1; t <= kProbeVectors; ++t) {
        for (int i = 0; i < n; ++i) {
            v[static_cast<size_t>(i)] = std::sin(1.0 + 7.3 * t * i);
        }
        DSYMmatvec(A, v.data(), r.data());
        for (int i = 0; i < n; ++i) {
            y[static_cast<size_t>(i)] = r[static_cast<size_t>(i)] * levels->colscale[i];
        }
        DSYMAMGsol(levels, param, y.data(), z.data(), work.data());
        for (int i = 0; i < n; ++i) {
            z[static_cast<size_t>(i)] *= levels->colscale[i];
        }
        DSYMmatvec(A, z.data(), y.data());
        blas::axpy(n, -1.0, r.data(), y.data());
        const double rn = blas::nrm2(n, r.data());
        if (rn > 0.0) {
            worst = std::max(worst, blas::nrm2(n, y.data()) / rn);
        }
        if (!std::isfinite(worst)) {
            return HUGE_VAL;
        }
    }
    return worst;
}

// A regularized copy of A (upper triangle, 1-based): delta times the largest entry of row i is
// added to a_ii when a_ii > 0 and subtracted otherwise (zero diagonals, absent ones inserted).
// On a KKT matrix this pushes the Hessian block up and the constraint block down: the sum is
// quasi-definite, and the directions in which both blocks are (nearly) singular, which spoil an
// incomplete factor of A, get pivots of size delta. The Krylov method then corrects the
// difference, which is small except on those few directions.
struct RegularizedMatrix {
    std::vector<int> ia, ja;
    std::vector<double> a;
    SparseMatrix view() {
        SparseMatrix M{};
        M.nr = M.nc = static_cast<int>(ia.size()) - 1;
        M.ia        = ia.data();
        M.ja        = ja.data();
        M.a         = a.data();
        return M;
    }
};

// Whether some diagonal entry of A (upper triangle, 1-based) is zero or absent.
bool has_zero_diagonal(const SparseMatrix& A) {
    for (int i = 1; i <= A.nr; ++i) {
        double d = 0.0;
        for (int k = A.ia[i - 1]; k < A.ia[i]; ++k) {
            if (A.ja[k - 1] == i) {
                d += A.a[k - 1];
            }
        }
        if (d == 0.0) {
            return true;
        }
    }
    return false;
}

RegularizedMatrix regularized(const SparseMatrix& A, double delta) {
    const int n = A.nr;
    std::vector<double> rowmax(static_cast<size_t>(n), 0.0), diag(static_cast<size_t>(n), 0.0);
    std::vector<char> has_diag(static_cast<size_t>(n), 0);
    for (int i = 1; i <= n; ++i) {
        for (int k = A.ia[i - 1]; k < A.ia[i]; ++k) {
            const int j    = A.ja[k - 1];
            const double x = std::fabs(A.a[k - 1]);
            rowmax[i - 1]  = std::max(rowmax[i - 1], x);
            rowmax[j - 1]  = std::max(rowmax[j - 1], x);
            if (j == i) {
                diag[i - 1] += A.a[k - 1];
                has_diag[i - 1] = 1;
            }
        }
    }
    RegularizedMatrix R;
    R.ia.reserve(static_cast<size_t>(n) + 1);
    R.ia.push_back(1);
    for (int i = 1; i <= n; ++i) {
        const double e = diag[i - 1] > 0.0 ? delta * rowmax[i - 1] : -delta * rowmax[i - 1];
        if (!has_diag[i - 1]) {
            R.ja.push_back(i);
            R.a.push_back(e);
        }
        bool added = false;
        for (int k = A.ia[i - 1]; k < A.ia[i]; ++k) {
            R.ja.push_back(A.ja[k - 1]);
            R.a.push_back(A.a[k - 1]);
            if (A.ja[k - 1] == i && !added) {
                R.a.back() += e;
                added = true;
            }
        }
        R.ia.push_back(static_cast<int>(R.ja.size()) + 1);
    }
    return R;
}

// True relative residual after at most `iterations` iterations of the caller's method with the
// factor, on b = rhs (null: A*ones) from x = 0, or from *from when given (then the iterate is left
// there; the driver works on a copy of A's values: it scales them); it stops earlier when it
// meets the caller's restol. *used, when given, receives the iterations run. The record's
// controls come back as they were.
double trial_residual(const SparseMatrix& A, LevelRecord* levels, ParameterRecord* param,
                      int iterations = kTrialIterations, std::vector<double>* from = nullptr,
                      const double* rhs = nullptr, int* used = nullptr) {
    const int n = A.nr;
    std::vector<double> values(A.a, A.a + (A.ia[n] - 1));
    SparseMatrix copy = A;
    copy.a            = values.data();
    std::vector<double> ones(static_cast<size_t>(n), 1.0), b(ones.size()), start;
    std::vector<double>& x = from != nullptr ? *from : start;
    x.resize(ones.size(), 0.0);
    if (rhs != nullptr) {
        std::copy(rhs, rhs + n, b.begin());
    } else {
        DSYMmatvec(A, ones.data(), b.data());
    }
    // The driver derives the method's and the cycle's controls into the record (solver mode of
    // setup): they come back as the factorization left them, with the iteration limit.
    struct Controls {
        ParameterRecord* param;
        ParameterRecord saved;
        ~Controls() {
            std::copy(std::begin(saved.ifact), std::end(saved.ifact), param->ifact);
            std::copy(std::begin(saved.ipar), std::end(saved.ipar), param->ipar);
            std::copy(std::begin(saved.dfact), std::end(saved.dfact), param->dfact);
            std::copy(std::begin(saved.fpar), std::end(saved.fpar), param->fpar);
            param->solver = saved.solver;
            param->maxit  = saved.maxit;
        }
    } controls{param, *param};
    param->maxit = iterations;
    krylov::SolveState state;
    std::vector<double> scaled = b;  // the driver scales its right-hand side in place
    (void)DSYMAMGsolver(&copy, levels, param, scaled.data(), x.data(), &state);
    if (used != nullptr) {
        *used = param->ipar[kProducts - 1];
    }
    DSYMmatvec(A, x.data(), ones.data());
    blas::axpy(n, -1.0, b.data(), ones.data());
    const double residual = blas::nrm2(n, ones.data()) / blas::nrm2(n, b.data());
    return std::isfinite(residual) ? residual : HUGE_VAL;
}

// ---- Unstable factors: other controls, and the steadiest factor is kept -----------------------
// A factor whose probe exceeds kUnstableProbe is made again under each entry of kSteadying that
// would change the caller's controls, in order, until one is sound. A new factor replaces the one
// kept when it is sound, or when its probe is the entry's gain times smaller (kProbeGain): between
// two unstable factors a smaller probe means little (on a shifted 15^3 Laplacian a factor with
// probe 2.9 converged in 484 iterations, one with probe 1.4 missed in 500). Each entry changes
// the record for its factorization only.
struct Steadying {
    const char* name;
    // Whether the entry would change anything for A under the caller's controls.
    bool (*changes)(const ParameterRecord&, const SparseMatrix&);
    void (*apply)(ParameterRecord&);
    // When positive, the factor is made of regularized(A, regularization) instead of A.
    double regularization = 0.0;
    // How many times smaller than the kept one an unsound factor's probe must be to replace it.
    double gain = kProbeGain;
    // A factor the entry makes must also do better than the kept one in a trial solve.
    bool trial = false;
    // Not made when level 1 of the kept factor already had a bound of kSteadyCondest or more.
    bool skips_bound_of_kept = false;
};

// The regularizing entries serve matrices with zero diagonal entries (saddle-point and KKT
// systems) under the incomplete factorization; multigrid-type methods would smooth with the
// regularized matrix instead of A.
bool regularizes(const ParameterRecord& p, const SparseMatrix& A) {
    return !keeps_matrix(p) && has_zero_diagonal(A);
}

const Steadying kSteadying[] = {
    // A larger bound on the inverse factors: fewer rows postponed into Schur complements that
    // the dropping has spoiled. Measured on the QP KKT family (n = 4,200 and 14,000): the probe
    // fell from 6e15 to 51, and SQMR converged where it diverged. Not made when the kept factor's
    // level 1 already had such a bound (a pass that raised it): it made the same factor again
    // (3 to 7 s on helm2d_300 to 500, half the setup of the shifted 3D grids).
    {"condest 100",
     [](const ParameterRecord& p, const SparseMatrix&) { return p.condest < kSteadyCondest; },
     [](ParameterRecord& p) { p.condest = kSteadyCondest; }, 0.0, kProbeGain, false, true},
    // Nested dissection, nearly exact (condest 1e4, droptol 1e-4, droptolS 1e-5, within the
    // caller's elbow): on 2D Helmholtz grids the minimum-degree factor is unstable whatever the
    // bound (probe 1e7 on helm2d_300), the nested-dissection one nearly exact at fill 8 to 10.
    // With the caller's dropping it was erratic from one grid to the next (helm2d_300: 4
    // iterations, helm2d_400: probe 14 and 48 iterations); nearly exact, 3 iterations on
    // helm2d_250 to 400 (probes near 1e-6) at the same fill, in less time. helm2d_500 needs a
    // fill of 10.3, beyond the default elbow.
    {"nested dissection",
     [](const ParameterRecord& p, const SparseMatrix& A) {
         return (p.ordering == nullptr || std::strncmp(p.ordering, "metisn", 6) != 0) &&
                (p.ifact[0] <= 0 || exact_factor_fill(A) <= kNearExactReach * p.ifact[0]);
     },
     [](ParameterRecord& p) {
         p.ordering = "metisn";
         p.condest  = std::max(p.condest, kNearExactCondest);
         p.droptol  = std::min(p.droptol, kNearExactDroptol);
         p.droptolS = std::min(p.droptolS, kNearExactDroptolS);
     }},
    // The factor of a regularized matrix (see regularized), first under the caller's controls,
    // then with the Schur complements' dropping ten times looser. Measured on the QP KKT family
    // (n = 4,200 to 21,000, bench/README): with the first, every nonconvex member converges (32
    // to 166 iterations) where all but the smallest diverged, and kineticBatchReactor_5 needs 2
    // iterations instead of 35 (probe 1e-4 instead of 3e5); the second then serves four of the
    // five convex members (39 to 218 iterations) that the first leaves unstable. Either entry
    // alone, delta 1e-5, or tighter factor dropping solved fewer members.
    // A regularized factor replaces an unsound one whenever its probe is smaller: on the convex
    // member of order 14,000 the looser one (probe 2.3, 218 iterations) replaces the condest
    // 100 factor (probe 17, no convergence) only so.
    {"regularization", regularizes, [](ParameterRecord&) {}, kRegularization, 1.0},
    {"regularization, looser Schur dropping", regularizes,
     [](ParameterRecord& p) { p.droptolS *= kLooserSchur; }, kRegularization, 1.0},
    // The last resort for a factor that is still unsound: droptol kCruderDroptol keeps only the
    // dominant couplings of the equilibrated matrix (fill 0.25 to 0.35), a factor that cannot
    // grow much. On shifted 3D Laplacians, where every other factor is unsound, it converges
    // (lap3d_30_shift: 192 iterations, 15^3 to 20^3 grids: 56 to 88; they diverged before, but
    // for 15^3: 484). Here the probe does not tell an accurate unsound factor from a useless
    // one (helm2d_400, before the nested-dissection entry was nearly exact: its factor, probe
    // 14, converged in 48 iterations, the crude one, probe 0.8, missed in 500), so a short trial
    // solve with each decides. The trial also judges a factor that an earlier entry made and
    // the probe passes: on an 18^3 grid shifted by 0.72881 the nested-dissection factor (probe
    // 0.98) left SQMR at 6e-4 after 500 iterations, the crude one converges in 69. A kept factor
    // that meets restol within the trial stays without a crude factor made (helm2d_300 and 400).
    {"droptol 0.3",
     [](const ParameterRecord& p, const SparseMatrix&) { return p.droptol < kCruderDroptol; },
     [](ParameterRecord& p) { p.droptol = kCruderDroptol; }, 0.0, kProbeGain, true},
};

// Probes the factor in *levels and, when it is unstable, walks kSteadying (see above); out is
// the report of the factor kept. The caller's record comes back as it was, also when a
// factorization on the way throws (its slots made again by setup mode).
void steady(const SparseMatrix& A, ParameterRecord* param, LevelRecord** levels, FactorInfo& out,
            const ProgressCallback& progress) {
    out.probe = stability_probe(A, *levels, param);
    if (!(out.probe > kUnstableProbe)) {
        return;
    }
    ProgressCallback steadying;
    if (progress) {
        steadying = [&progress](const LevelProgress& p) {
            LevelProgress q = p;
            q.steadying     = true;
            progress(q);
        };
    }
    // Puts back the controls the entries change after each factorization, and at the end (also
    // when a factorization throws) the slots setup mode derived from them.
    const ParameterRecord given = *param;
    struct Restore {
        const SparseMatrix& A;
        ParameterRecord* param;
        const ParameterRecord& given;
        bool changed = false;
        void controls() const {
            param->condest  = given.condest;
            param->ordering = given.ordering;
            param->droptol  = given.droptol;
            param->droptolS = given.droptolS;
        }
        ~Restore() {
            controls();
            if (changed) {
                SparseMatrix pattern = A;
                pattern.a            = nullptr;
                DSYMAMGsetupparameters(&pattern, param, 0);
            }
        }
    } restore{A, param, given};
    double extra     = 0.0;  // wall time of the factors not kept
    double extra_cpu = 0.0;
    int extra_passes = 0;
    for (const Steadying& s : kSteadying) {
        // An entry with a trial also serves a factor that the probe passes after the first one
        // failed it: the probe does not see every unstable factor (see kSteadying).
        if (!(out.probe > kUnstableProbe) && !s.trial) {
            continue;
        }
        if (!s.changes(given, A) || (s.skips_bound_of_kept && out.condest >= kSteadyCondest)) {
            continue;
        }
        double kept_trial = HUGE_VAL;
        if (s.trial) {
            std::vector<double> x;
            kept_trial = trial_residual(A, *levels, param, kHopelessIterations, &x);
            if (kept_trial > param->restol && kept_trial < 1.0) {
                kept_trial =
                    trial_residual(A, *levels, param, kTrialIterations - kHopelessIterations, &x);
            }
            if (kept_trial <= param->restol) {
                continue;  // the kept factor solves the trial system
            }
        }
        s.apply(*param);
        restore.changed = true;
        std::unique_ptr<LevelRecord, void (*)(LevelRecord*)> other(nullptr, release_levels);
        LevelRecord* made = nullptr;
        FactorInfo again;
        int code = 0;
        if (s.regularization > 0.0) {
            RegularizedMatrix R = regularized(A, s.regularization);
            code                = factor_once(R.view(), param, &made, &again, steadying);
            again.nnz_input     = out.nnz_input;
            again.fill          = static_cast<double>(again.nnz_stored) /
                         static_cast<double>(std::max<long>(out.nnz_input, 1));
        } else {
            code = factor_once(A, param, &made, &again, steadying);
        }
        other.reset(made);
        restore.controls();
        if (code == kFactorOk) {
            again.probe = stability_probe(A, other.get(), param);
        }
        if (code == kFactorOk &&
            (again.probe <= kUnstableProbe || again.probe * s.gain < out.probe) &&
            (!s.trial || trial_residual(A, other.get(), param) < kept_trial)) {
            LevelRecord* kept = *levels;
            *levels           = other.release();
            other.reset(kept);
            extra += out.wall_seconds;
            extra_cpu += out.seconds;
            extra_passes += out.passes;
            out             = std::move(again);
            out.steadied_by = s.name;
        } else {
            extra += again.wall_seconds;
            extra_cpu += again.seconds;
            extra_passes += again.passes;
        }
    }
    out.steadied = !out.steadied_by.empty();
    out.passes += extra_passes;
    out.discarded_seconds += extra;
    out.wall_seconds += extra;
    out.seconds += extra_cpu;
}

// Whether the quick attempt is made: the "ilu" cycle (the others smooth with the level systems),
// the default ordering, at least the default droptol, and no fine/coarse split or indicator
// of the caller's (which the given order would ignore).
bool quick_applies(const ParameterRecord& p) {
    return !keeps_matrix(p) && p.ordering != nullptr && std::strcmp(p.ordering, "amd") == 0 &&
           p.droptol >= kDefaultDroptol && !keyword_matches(p.FCpart, "yes") &&
           (p.flags & NEGATIVE_INDICATOR) == 0;
}

// Wall and processor seconds: what a factorization that was not kept cost.
struct Spent {
    double wall = 0.0;
    double cpu  = 0.0;
};

// The quick attempt (see kQuickDroptol). Returns true with its factor in *levels and its report
// in out; otherwise what it cost goes to `spent` and *levels is untouched.
// The trial solves the caller's system when one is given (TrialSystem), and its iterate then
// goes back as the caller's solution.
bool quick_factor(const SparseMatrix& A, ParameterRecord* param, LevelRecord** levels,
                  FactorInfo& out, const ProgressCallback& progress, Spent& spent,
                  TrialSystem* system) {
    LevelRecord* made = nullptr;
    FactorInfo info;
    const int code = factor_once(A, param, &made, &info, progress, /*quick=*/true);
    std::unique_ptr<LevelRecord, void (*)(LevelRecord*)> quick(made, release_levels);
    bool kept = false;
    std::vector<double> x;
    int iterations = 0;
    bool own_trial = false;  // the trial solved the caller's system
    if (code == kFactorOk) {
        const Clock::time_point start = Clock::now();
        const double cpu              = processor_seconds();
        info.probe                    = stability_probe(A, quick.get(), param);
        // A zero right-hand side says nothing about the factor: the trial then solves for
        // A*ones, as without a system.
        const bool own =
            system != nullptr && system->b != nullptr &&
            std::any_of(system->b, system->b + A.nr, [](double v) { return v != 0.0; });
        kept = info.probe <= kUnstableProbe &&
               trial_residual(A, quick.get(), param, kQuickIterations, &x,
                              own ? system->b : nullptr, &iterations) <= param->restol;
        own_trial = own;
        info.wall_seconds += seconds_since(start);
        info.seconds += processor_seconds() - cpu;
    }
    if (!kept) {
        spent.wall += info.wall_seconds;
        spent.cpu += info.seconds;
        return false;
    }
    // Within the caller's iteration limit only: a solve never reports more iterations than maxit.
    if (own_trial && (param->maxit <= 0 || iterations <= param->maxit)) {
        system->x          = std::move(x);
        system->solved     = true;
        system->iterations = iterations;
    }
    info.quick = true;
    out        = std::move(info);
    *levels    = quick.release();
    return true;
}

}  // namespace

int factor(const SparseMatrix& A, ParameterRecord* param, LevelRecord** levels, FactorInfo* info,
           const ProgressCallback& progress) {
    return factor(A, param, levels, info, progress, nullptr);
}

int factor(const SparseMatrix& A, ParameterRecord* param, LevelRecord** levels, FactorInfo* info,
           const ProgressCallback& progress, TrialSystem* system) {
    FactorInfo local;
    FactorInfo& out = info ? *info : local;
    if (system != nullptr) {
        system->x.clear();
        system->solved     = false;
        system->iterations = 0;
    }
    Spent quick;  // a quick attempt that was not kept
    try {
        if (levels != nullptr && param != nullptr && quick_applies(*param) &&
            quick_factor(A, param, levels, out, progress, quick, system)) {
            return kFactorOk;
        }
    } catch (const std::bad_alloc&) {
        // the full factorization below needs more memory still and reports it
    }
    const auto add_quick = [&] {
        out.quick_seconds = quick.wall;
        out.wall_seconds += quick.wall;
        out.seconds += quick.cpu;
    };
    const int code = factor_once(A, param, levels, &out, progress);
    if (code != kFactorOk) {
        add_quick();
        return code;
    }
    try {
        steady(A, param, levels, out, progress);
    } catch (const std::bad_alloc&) {
        release_levels(*levels);
        *levels     = nullptr;
        out.message = "out of memory in the factorization";
        add_quick();
        return kFactorOutOfMemory;
    } catch (...) {  // a stop asked for by the user, a fatal stop that a host turned into a throw
        release_levels(*levels);
        *levels = nullptr;
        throw;
    }
    add_quick();
    release_free_memory();  // the working arrays, before the solves
    return kFactorOk;
}

}  // namespace trelvak
