// precond.h: the multilevel preconditioner. Factor solves with one level's symmetric compressed
// factor, sparse products, the packed dense solve of a coarsest level, and the three ways of
// applying the level list: multilevel ILU (DSYMAMGsol), AMLI-like cycle (DSYMAMGsol1) and
// multigrid cycle (DSYMAMGsol2).
//
// The factor kernels take scalars by reference, index from 1 and allocate nothing. At call time
// I(1) must be positive and I(m+1) must hold factor_nnz+1 (the callers patch and restore it).
// In every factor kernel rhs and sol may be the same array.
#ifndef TRELVAK_PRECOND_PRECOND_H
#define TRELVAK_PRECOND_PRECOND_H

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "common/lanes.h"
#include "common/trelvak.h"

namespace trelvak {

// Rows of one level's factor dealt to lanes (splits.cpp): rows 1..cut form groups that share no
// entry, each lane sweeps the runs of rows of its groups, and rows cut+1..m follow on one lane.
// spill holds each lane's updates of columns cut+1..reach during a forward sweep (reach: the
// last column of any row, m or beyond).
struct FactorSplit {
    int m          = 0;
    int cut        = 0;
    int reach      = 0;
    int lanes      = 1;
    bool ascending = false;  // every row's columns ascend: a run of slots ends with its largest
    std::vector<std::vector<std::pair<int, int>>> runs;  // per lane: row runs, ascending
    std::vector<std::vector<double>> spill;              // per lane: columns cut+1..
};

// Factors with fewer entries are swept on one lane.
constexpr long kSplitEntries = kLaneWork;

// The grouping of a factor of order m, or null when one lane would do as well (fewer than
// min_entries entries, no useful cut).
std::unique_ptr<FactorSplit> split_factor(int m, const int* I, int factor_nnz, int lanes,
                                          long min_entries = kSplitEntries);

// The rows a forward sweep must visit when the right-hand side vanishes outside a set S of rows:
// S, every row that a visited row updates, and both rows of a visited 2x2 pivot. For rhs = F x2
// (the way up through a level) S is the set of rows of F with entries, and on grids and Stokes
// problems the visited rows hold a third to three quarters of the factor's entries. Runs of rows,
// ascending: `all` over rows 1..m; with a grouping, `lanes` within each lane's runs and `tail`
// after the cut.
struct ForwardRows {
    std::vector<std::pair<int, int>> all;
    std::vector<std::vector<std::pair<int, int>>> lanes;
    std::vector<std::pair<int, int>> tail;
};

// The rows visited from the rows of F (F.nr = m), or null when they hold more than max_share of
// the factor's entries (or F does not fit the factor). The lane lists follow `split` if given.
std::unique_ptr<ForwardRows> forward_rows_from(int m, const int* I, int factor_nnz,
                                               const SparseMatrix& F, const FactorSplit* split,
                                               double max_share = 0.9);

// Groups R's factor for the lanes and finds the rows reached from its coupling block, and
// remembers both for R (done by the factorization).
void attach_factor_split(const LevelRecord& R);
// Drops what is kept for R; called before R is freed.
void forget_factor_split(const LevelRecord* R);
// The grouping kept for R, or null (none kept, R's factor changed since, or one lane in use).
FactorSplit* factor_split(const LevelRecord& R);
// The rows reached from R's coupling block, or null (none kept, R's factor or F changed since).
const ForwardRows* coupling_rows(const LevelRecord& R);

}  // namespace trelvak

// sol = (L D L^T)^-1 rhs with 1x1 pivots only (2x2 markers ignored).
void dsymildlcsol(const int* m, const double* rhs, double* sol, const double* V, const int* I);
// sol = (L D L^T)^-1 rhs with 1x1 and 2x2 pivots.
void dsympilucsol(const int* m, const double* rhs, double* sol, const double* V, const int* I);
// sol = L^-1 rhs (forward part; entries hold D times the solution of U^T y = rhs).
void dsympiluclsol(const int* m, const double* rhs, double* sol, const double* V, const int* I);
// sol = L^-T rhs (backward part, unit upper).
void dsympilucusol(const int* m, const double* rhs, double* sol, const double* V, const int* I);
// Forward part over a level of order mt whose factor rows reach beyond m:
// sol(1..m) = L11^-1 rhs1, sol(m+1..mt) = -L21 L11^-1 rhs1.
void dsymppiluclsol(const int* mt, const int* m, const double* rhs, double* sol, const double* V,
                    const int* I);
// Backward part over a level of order mt: sol(1..m) = L11^-T (rhs1 - L21^T x2), x2 = rhs(m+1..mt).
void dsymppilucusol(const int* mt, const int* m, const double* rhs, double* sol, const double* V,
                    const int* I);

// The same solves with the rows dealt to lanes as `split` says (null: one lane). Given `visit`,
// the forward part sweeps only its rows (its lane lists when they were made for `split`): rhs
// must vanish outside the rows they were found from.
void dsymildlcsol(const int* m, const double* rhs, double* sol, const double* V, const int* I,
                  trelvak::FactorSplit* split);
void dsympilucsol(const int* m, const double* rhs, double* sol, const double* V, const int* I,
                  trelvak::FactorSplit* split, const trelvak::ForwardRows* visit = nullptr);
void dsympiluclsol(const int* m, const double* rhs, double* sol, const double* V, const int* I,
                   trelvak::FactorSplit* split, const trelvak::ForwardRows* visit = nullptr);
void dsympilucusol(const int* m, const double* rhs, double* sol, const double* V, const int* I,
                   trelvak::FactorSplit* split);
void dsymppiluclsol(const int* mt, const int* m, const double* rhs, double* sol, const double* V,
                    const int* I, trelvak::FactorSplit* split);
void dsymppilucusol(const int* mt, const int* m, const double* rhs, double* sol, const double* V,
                    const int* I, trelvak::FactorSplit* split);

// y = A x, A symmetric stored as its upper triangle with diagonal; split between lanes when
// large.
void DSYMmatvec(SparseMatrix A, const double* x, double* y);
// y = A x for a general compressed-row matrix.
void DGNLmatvec(SparseMatrix A, const double* x, double* y);
// y = A^T x for a general compressed-row matrix (y has A.nc entries).
void DGNLmattvec(SparseMatrix A, const double* x, double* y);

// Solve with a packed Bunch-Kaufman factor; arguments and checks as LAPACK's dsptrs, with a 2x2
// solve in the lower case that stays defined when the block's off-diagonal entry is 0.
void dprivatesptrs(const char* uplo, const int* n, const int* nrhs, const double* AP,
                   const int* ipiv, double* B, const int* ldb, int* info);

// sol = M^-1 rhs for the preconditioner held in the level list (level 1's scaling excluded).
// dbuff is the parameter record's work buffer, of at least preconditioner_scratch doubles.
// Doubles of scratch one application of the level list needs for the cycle kind (ifact[10]):
// 2n + max(E, n), E = 0 (multilevel ILU), sum_l 2(n - S_l) (AMLI-like), 3n + sum_l 2(n - S_l)
// (multigrid), S_l = nB_1 + ... + nB_l. Computed in 64 bits.
std::int64_t preconditioner_scratch(const LevelRecord* PRE, int cycle, std::int64_t n);
void DSYMAMGsol(LevelRecord* PRE, ParameterRecord* param, const double* rhs, double* sol,
                double* dbuff);
// AMLI-like cycle on level lev (offset a, slice offset b of the coarse work areas).
void DSYMAMGsol1(LevelRecord* R, int lev, int n, int nn, int a, int b, ParameterRecord* param,
                 double* x, double* work);
// Multigrid cycle on level lev with the smoothers selected by ifact[14].
void DSYMAMGsol2(LevelRecord* R, int lev, int n, int nn, int a, int b, ParameterRecord* param,
                 double* x, double* work);

// ---- Steps shared by the three applications (amgsol.cpp) ------------------------------------
// Vectors are whole work vectors of length N (1-based positions); a is the level's offset, so the
// level owns positions a+1..N and its leading block a+1..a+nB.
namespace trelvak::level_ops {

// Saves I(m+1) of a sparse factor and stores factor_nnz+1 there; the destructor restores it.
class FactorPatch {
public:
    explicit FactorPatch(const LevelRecord& R) : slot_(R.factor_index + R.nB), saved_(*slot_) {
        *slot_ = R.factor_nnz + 1;
    }
    ~FactorPatch() { *slot_ = saved_; }
    FactorPatch(const FactorPatch&)            = delete;
    FactorPatch& operator=(const FactorPatch&) = delete;

private:
    int* slot_;
    int saved_;
};

// Makes I(1) positive for the kernels; the destructor puts the conversion mark back.
class MarkLift {
public:
    explicit MarkLift(const LevelRecord& R) : first_(R.factor_index), marked_(*first_ < 0) {
        if (marked_) {
            *first_ = -*first_;
        }
    }
    ~MarkLift() {
        if (marked_ && *first_ > 0) {
            *first_ = -*first_;
        }
    }
    bool marked() const { return marked_; }
    MarkLift(const MarkLift&)            = delete;
    MarkLift& operator=(const MarkLift&) = delete;

private:
    int* first_;
    bool marked_;
};

// True when R exists and is a dense last level (null factor_index).
bool is_dense(const LevelRecord* R);
// y(a+1..a+m) = Dinv(D) x(a+1..a+m) with the 2x2 markers of R's factor; D is factor_values or
// alt_diag; x and y may be the same array.
void apply_pivots(const LevelRecord& R, const double* D, int a, const double* x, double* y);
// w(a+k) = x(a + perm(k)) and x(a+k) = w(a + invperm(k)), k = 1..N-a.
void permute(const LevelRecord& R, int N, int a, const double* x, double* w);
void unpermute(const LevelRecord& R, int N, int a, const double* w, double* x);
// x(from+k) *= s(k), k = 1..N-from.
void scale(const double* s, int N, int from, double* x);
// Ends the process: a converted factor met while COARSE_REDUCE is clear.
[[noreturn]] void reject_marked_without_reduce();
// Coarse corrections per visit of level lev: ifact[11], forced to 1 (when positive) on the level
// above a dense last level.
int coarse_steps(const LevelRecord& R, int lev, const ParameterRecord& param);
// Last level of the cycles: dense packed solve in place on x(a+1..N), or the (marked) sparse
// factor solve between permutations; no scaling. work(a+1..N) is scratch.
void solve_last_level(LevelRecord& R, int lev, int N, int a, double* x, double* work);
// Restriction of the cycles: permutes x(a+1..N) into work, leaves L11^-1 w1 (Dinv(alt) of it on
// a marked level) in x1 and the next level's right-hand side in x2, multiplied by the next
// record's colscale unless the next level is dense. Returns whether it was scaled.
bool restrict_to_next(LevelRecord& R, int lev, int N, int a, bool reduce, double* x, double* work);
// Prolongation of the cycles: with the coarse solution in work2 (already scaled back) and x1 as
// restrict_to_next left it, x(a+1..N) receives the level's solution in the level's numbering.
void prolong_from_next(LevelRecord& R, int N, int a, bool reduce, double* x, double* work);

}  // namespace trelvak::level_ops

#endif  // TRELVAK_PRECOND_PRECOND_H
