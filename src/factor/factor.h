// factor.h: the multilevel incomplete L D L^T factorization that produces a level list, and the
// life cycle of the parameter record that goes with it. Used by the Octave modules and by the
// command-line tool.
//
//   ParameterRecord* param = trelvak::create_parameters();        // package defaults
//   ... change options in *param (the texts through trelvak::set_text) ...
//   LevelRecord* levels = nullptr;
//   trelvak::FactorInfo info;
//   if (trelvak::factor(A, param, &levels, &info) == 0) {
//       DSYMAMGsolver(&A, levels, param, rhs, sol);
//   }
//   trelvak::release_levels(levels);
//   trelvak::release_parameters(param);
#ifndef TRELVAK_FACTOR_FACTOR_H
#define TRELVAK_FACTOR_FACTOR_H

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/buffer.h"
#include "common/trelvak.h"

namespace trelvak {

// The drop tolerance of the crude factor that replaces an unstable one (the factorization's last
// steadying entry, the tool's fallback): in the equilibrated matrix (entries at most 1 in
// magnitude) it keeps only the dominant couplings.
inline constexpr double kCruderDroptol = 0.3;

// Where the time of one level of a factorization went, in wall seconds (steady clock).
struct LevelTimes {
    int n               = 0;      // order of the level
    bool dense          = false;  // the dense last level
    int runs            = 0;      // sparse factorizations made on the level, tries included
    double reorder      = 0.0;    // the ordering routine of the slot (scaling, matching, ordering)
    double factor       = 0.0;    // incomplete factorization of the leading block, F included
    double schur        = 0.0;    // forming the Schur complement of the leading block
    double dense_factor = 0.0;    // dense last level: equilibration, dsptrf, folding
    // Orderings and factorizations of this level that were not kept (tighter dropping, a
    // first level factored again, reorder2, a relaxed bound); part of other().
    double retries = 0.0;
    double total   = 0.0;  // the whole level, from its matrix to its record
    // Copies, permutations, the equilibration of the level matrix, the records, retries.
    double other() const { return total - reorder - factor - schur - dense_factor; }
};

// What a factorization reports besides its level list.
struct FactorInfo {
    int n           = 0;    // order
    int nlev        = 0;    // number of levels
    long nnz_input  = 0;    // stored entries of the input triangle
    long nnz_stored = 0;    // stored entries of all levels (factors, couplings, kept systems)
    double fill     = 0.0;  // nnz_stored / nnz_input
    double seconds  = 0.0;  // processor time of the factorization
    // The controls level 1 was factored with. They differ from the options when the
    // factorization started again with a larger condest, tightened the dropping on a first
    // level that postponed many rows, or loosened it to stay within elbow.
    double droptol  = 0.0;
    double droptolS = 0.0;
    double condest  = 0.0;
    // Pivots of a singular dense last level raised to a small share of its largest entry
    // (static pivoting); the Krylov method corrects the difference.
    int perturbed = 0;
    // The stability probe of the factor kept: max ||A M^-1 r - r|| / ||r|| over a few r = A v.
    // Above 1 the factor counts as unstable and is made again under other controls (condest
    // 100, then nearly exact with nested dissection, then, for matrices with zero diagonal
    // entries, of a regularized matrix, and last, unless the factor kept meets restol in a short
    // trial solve, with droptol kCruderDroptol, kept when it does better in that trial);
    // steadied says that one of those was kept, steadied_by which.
    double probe  = 0.0;
    bool steadied = false;
    std::string steadied_by;
    // The quick attempt's factor was kept: level 1 in the given order with droptol 0.1 (no
    // matching, no fill-reducing ordering), made first under the default cycle, ordering and
    // dropping, and kept when it is sound and a short trial solve meets restol.
    bool quick = false;
    std::string message;  // why a factorization failed (empty on success)
    // Phase times of a successful factorization, wall seconds: one entry per level of the level
    // list (the final pass), the passes made, the time of the passes that were discarded, of
    // grouping the factor rows into lane sets at the end, and of the whole call. Measured with
    // a steady clock around each phase; what the factorization computes does not depend on it.
    std::vector<LevelTimes> level_times;
    int passes = 0;
    // Wall time of a quick attempt that was not kept (see quick), part of wall_seconds only.
    double quick_seconds     = 0.0;
    double discarded_seconds = 0.0;
    double split_seconds     = 0.0;
    // Level 1's ordering is made once, in the first pass; a later pass reuses it (its level 1
    // then shows no reorder time, and this time is part of the discarded passes).
    double first_ordering_seconds = 0.0;
    double wall_seconds           = 0.0;
};

// A level the factorization has finished, for progress reports. A pass that outgrows its budget
// starts again from level 1 with other controls, so level numbers may repeat with a new pass.
struct LevelProgress {
    int pass  = 1;  // 1-based position in factor_detail::factor_attempts(), 0: the quick attempt
    int level = 0;  // 1-based level number
    int n     = 0;  // order of the level's system
    int eliminated = 0;      // rows of its leading block (n for a dense last level)
    bool dense     = false;  // the last level, factored densely
    long stored    = 0;      // entries stored by all levels so far in this pass
    double seconds = 0.0;    // processor time since the factorization started
    // The level belongs to the second factorization of an unstable factor (FactorInfo::steadied);
    // its passes count from 1 again.
    bool steadying = false;
};
using ProgressCallback = std::function<void(const LevelProgress&)>;

// A new parameter record with the package's option defaults; release with release_parameters.
ParameterRecord* create_parameters();
// Replaces a text option of the record by a copy the record owns (field is e.g. &param->solver).
void set_text(ParameterRecord* param, const char** field, const char* text);
// Hands a block allocated with MAlloc to the record, which frees it on release.
void adopt_text(ParameterRecord* param, const char* text);
// Releases the record, its work buffers and every text it owns.
void release_parameters(ParameterRecord* param);

// Factors the symmetric matrix A (upper triangle with diagonal, 1-based rows; not modified)
// under the options of param. Returns 0 and the level list on success; on failure a negative
// code (FactorStatus), *levels = nullptr and a message in info->message, with nothing leaked.
// Runs setup mode first and then reads its controls: droptol (dfact[0]), condest (dfact[1]),
// droptolS (dfact[7]), lfil (ifact[3]: fill entries per factor row beyond the row's own length,
// <= 0 no limit), lfilS (ifact[9]: off-diagonal entries per Schur complement row, <= 0 no
// limit), elbow (ifact[0]: stored entries of all levels at most elbow times those of A, <= 0
// no limit) and COARSE_REDUCE (ifact[6]). Slot reorder0 orders level 1, reorder1 the later
// levels, reorder2 is tried when a level keeps fewer than a tenth of its rows; an empty slot
// means symmetric scaling with the identity order. The systems are kept in each level's `A`
// when `amg` is "amli" or "mg"; ifact[16] receives COARSE_REDUCE and COARSE_DISCARDED.
// An allocation failure goes to the fatal handler; a handler that throws leaves nothing behind.
// progress, when set, is called once for every finished level.
int factor(const SparseMatrix& A, ParameterRecord* param, LevelRecord** levels, FactorInfo* info,
           const ProgressCallback& progress = {});

// The system a one-call solve factors A for: it will solve A x = b from x = 0 with the record's
// method and restol. Given to factor, the quick attempt's trial solve (FactorInfo::quick) is this
// system rather than A*ones; when the quick factor is kept, that trial met restol on the true
// residual b - A x within the caller's maxit, and x is the caller's solution (solved, after
// `iterations` of the method).
// Otherwise solved is false and the caller solves as usual.
struct TrialSystem {
    const double* b = nullptr;  // n entries
    std::vector<double> x;
    bool solved    = false;
    int iterations = 0;
};
int factor(const SparseMatrix& A, ParameterRecord* param, LevelRecord** levels, FactorInfo* info,
           const ProgressCallback& progress, TrialSystem* system);
// Releases a level list made by factor (null is harmless).
void release_levels(LevelRecord* levels);

// Return codes of factor().
enum FactorStatus : int {
    kFactorOk          = 0,
    kFactorBadInput    = -1,  // not a square upper triangle in 1-based compressed rows
    kFactorNonFinite   = -2,  // NaN or Inf among the entries
    kFactorNoPivots    = -3,  // a level could accept no pivot and is too large to factor densely
    kFactorSingular    = -4,  // the coarsest system is singular or not finite
    kFactorZeroRow     = -5,  // zero row or column (rejected by the ordering's scaling step)
    kFactorBadOrdering = -6,  // the ordering failed, returned no permutation, or scaled
                              // rows and columns differently
    kFactorElbow       = -7,  // stored entries would exceed elbow times the input entries
    kFactorOutOfMemory = -8   // a work array could not be allocated
};

// ---- The factorization of one level (reordered and scaled matrix in, level out) ------------
namespace factor_detail {

// Controls of one level, read from the parameter record after setup mode.
struct LevelControls {
    double droptol     = 1e-3;  // dfact[0]: inverse-based dropping in the factor
    double droptolS    = 1e-4;  // dfact[7]: dropping in the Schur complement
    double condest     = 10.0;  // dfact[1]: bound on the inverse factor's norm estimate
    int lfil           = 0;     // ifact[3]: fill entries per factor row beyond its length in B
    int lfilS          = 0;     // ifact[9]: off-diagonals per Schur complement row (<= 0: all)
    bool coarse_reduce = true;  // COARSE_REDUCE: couplings in F instead of the factor rows
    long budget        = 0;     // entries the factor rows and the Schur complement may take
                                // together (0: no limit); beyond it the level is abandoned
    int postpone_limit = 0;     // > 0: the level is abandoned once it has postponed this many
    // > 0: the level is abandoned once its Schur complement holds more than crowd_limit entries,
    // provided it postponed at least crowd_postponed rows and accepted at least crowd_accepted
    long crowd_limit    = 0;
    int crowd_postponed = 0;
    int crowd_accepted  = 0;
};

// How a pass of factor() over the levels can end without a level list. Each attempt lists the
// outcomes that end it and start the next attempt from level 1.
enum PassOutcome : unsigned {
    kPassCrowded = 1u,      // level 1 postponed a tenth of its rows or more, and the levels do not
                            // fit into elbow (or its Schur complement leaves too little of it)
    kPassSlow        = 2u,  // level 2, of order 1000 or more, kept less than 60 % of its rows
    kPassBeyondElbow = 4u,  // the levels need more than elbow (a level that ran out of it also
                            // with tighter dropping)
};
// One pass of factor() over the levels.
struct FactorAttempt {
    const char* name;
    LevelControls (*controls)(LevelControls options);  // its controls, from the caller's
    bool (*applies)(const LevelControls& options);     // whether it is made at all
    unsigned moves_on;  // the PassOutcome bits that end it and start the next attempt
};
// The attempts in the order factor() makes them; LevelProgress::pass is the 1-based position.
std::span<const FactorAttempt> factor_attempts();

// Symmetric matrix with both triangles stored, 0-based compressed rows (diagonal included when
// present). Row i holds ptr[i] .. ptr[i+1]-1 of col and val.
struct SymmetricRows {
    int n = 0;
    std::vector<int> ptr{0};
    LargeVector<int> col;
    LargeVector<double> val;
};

// Result of one level. Positions are those of the level matrix handed in (0-based); the new
// order puts the m accepted rows first (pivot blocks adjacent), the postponed and the coarse
// rows behind them.
struct LevelFactor {
    int n            = 0;           // order of the level
    int m            = 0;           // accepted rows: the leading block
    int postponed    = 0;           // candidates moved behind the block
    int pairs        = 0;           // 2x2 pivots among the accepted rows
    bool over_budget = false;       // the budget ran out: nothing else is filled in
    bool over_limit  = false;       // postpone_limit was reached: only postponed is filled in
    bool crowded     = false;       // crowd_limit was passed: only m and postponed are filled in
    std::vector<int> order;         // new position (0-based) -> position of the input (0-based)
    HandoverArray<int> I;           // factor_index, I(k) = I[k-1]
    HandoverArray<double> V;        // factor_values, V(k) = V[k-1]
    std::vector<int> pivot_blocks;  // n entries, new order: -1 for a 1x1, 1 for 2x2 members
    std::vector<int> Fia;           // F: m rows, n-m columns, 1-based (COARSE_REDUCE only)
    LargeVector<int> Fja;
    LargeVector<double> Fa;
    std::vector<int> Sia;  // Schur complement, order n-m, upper triangle, 1-based
    LargeVector<int> Sja;
    LargeVector<double> Sa;
    double factor_seconds = 0.0;  // wall time of the leading block's factorization (F included)
    double schur_seconds  = 0.0;  // wall time of forming the Schur complement
};

// Incomplete L D L^T in Crout form of the leading nB rows of B (positions nB.. are coarse from
// the start), with 1x1/2x2 pivots, inverse-based dropping and postponement, followed by the
// approximate Schur complement of the accepted block. Never fails; m may be 0.
void ildlc_level(const SymmetricRows& B, int nB, const LevelControls& controls, LevelFactor* out);

// Folds the scaling s (by new position, n entries) of a level factored as S M S into its factor
// rows, inverse pivots and F, so that they factor M itself. Returns false, changing nothing,
// when a folded value would not be finite.
bool fold_scaling(LevelFactor& lf, const std::vector<double>& s);
// The same for LAPACK's packed lower Bunch-Kaufman factor (dsptrf "L") of E M E, e by the
// unknowns of M (n entries).
// Raises the pivots of a packed lower Bunch-Kaufman factor (dsptrf "L") that are below delta in
// magnitude to delta (keeping their sign; a zero becomes +delta); a 2x2 block whose determinant
// is below delta times its largest entry gets both diagonal entries moved away from zero by
// delta. Returns the number of pivots changed.
int perturb_small_pivots(int n, std::vector<double>& AP, const std::vector<int>& ipiv,
                         double delta);
bool fold_dense_scaling(int n, std::vector<double>& AP, const std::vector<int>& ipiv,
                        const std::vector<double>& e);

// The ordering used when a slot is empty: symmetric max-norm scaling into right (left is left
// alone), identity order, nB = n. Returns 0, or -5 on a zero row.
int factor_default_ordering(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                            ParameterRecord* param);

}  // namespace factor_detail

}  // namespace trelvak

#endif  // TRELVAK_FACTOR_FACTOR_H
