// level_producer.h: exact level lists for the tests of the preconditioner application.
//
// From a small symmetric (indefinite) matrix, given by its upper triangle, produce_level_list
// builds a complete level list: per level a random symmetric permutation, an exact block L D L^T
// factor of the leading block with 1x1 and 2x2 pivots (dense elimination with symmetric
// Bunch-Parlett pivoting restricted to the leading block) stored in the symmetric compressed
// format, the off-diagonal block F or the coupling columns in the factor rows (by COARSE_REDUCE),
// the level's system matrix A (exact Schur complement, scaled by the level's colscale),
// pivot_blocks, and on request a dense last level (LAPACK packed Bunch-Kaufman factor) and
// conversion marks with alt_diag. The result meets every invariant the application relies on, so
// with alt_diag equal to the inverse pivots the multilevel ILU returns the exact solution of the
// scaled system D1 A D1 (D1 = level 1's colscale = rowscale).
#ifndef TRELVAK_TESTS_PRECOND_LEVEL_PRODUCER_H
#define TRELVAK_TESTS_PRECOND_LEVEL_PRODUCER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "common/testing.h"
#include "common/trelvak.h"

namespace trelvak::test {

enum class PivotRule {
    kBunchParlett,  // 1x1 unless the largest diagonal is small against the largest coupling
    kPrefer2x2,     // 2x2 blocks wherever a well-conditioned pair exists, 1x1 otherwise
    kOnly1x1        // the largest diagonal entry each step (no 2x2 blocks)
};

struct ProducerOptions {
    std::vector<int> block_sizes;  // nB of every level, each >= 1, adding up to the order
    bool coarse_reduce = true;     // coupling in F (set) or in the factor rows (clear)
    bool dense_last    = false;    // last level stored as a packed dense factor (>= 2 levels)
    bool permute       = true;     // random permutation per level (else the identity)
    bool scale         = true;     // random colscale in [0.5, 2] (level 1: rowscale = colscale)
    PivotRule pivots   = PivotRule::kBunchParlett;
    std::vector<int> marked;    // 1-based levels that carry the conversion mark
    double alt_scale   = 1.0;   // alt_diag = alt_scale times the inverse pivot blocks
    bool keep_systems  = true;  // store each level's A (else A is an empty record)
    std::uint64_t seed = 1;
};

// The stored value of slot I(m+1) of every sparse factor: something other than factor_nnz+1, so
// that a kernel call without patching, or a missing restore, shows.
constexpr int kReservedSlotValue = -7777;

// Owns every array of a produced level list and the dense data the tests compare against.
class LevelList {
public:
    struct Level {
        LevelRecord rec{};
        Csr A, F;
        std::vector<int> perm, invperm, index, ipiv, pivot_blocks;
        std::vector<double> values, colscale, rowscale, alt;
        Dense system;    // the level's system in its own numbering (what A stores)
        Dense permuted;  // system(perm, perm) after pivoting
        int offset = 0;  // a(l)
    };

    LevelRecord* first() { return &levels_.front()->rec; }
    int nlev() const { return static_cast<int>(levels_.size()); }
    int order() const { return order_; }
    Level& level(int l) { return *levels_[static_cast<size_t>(l - 1)]; }  // 1-based
    // I(1) and I(m+1) of every sparse factor, in level order (for before/after comparisons).
    std::vector<int> guarded_slots() const;

    std::vector<std::unique_ptr<Level>> levels_;
    int order_ = 0;
};

// Builds the level list of the symmetric matrix `upper` (upper triangle with diagonal). Throws
// std::invalid_argument on inconsistent options and std::runtime_error on a singular pivot.
std::unique_ptr<LevelList> produce_level_list(const Csr& upper, const ProducerOptions& options);

// A parameter record (zero-filled) whose COARSE_REDUCE bits (ifact[6] and ifact[16]) match the
// options; the cycle kind ifact[10] = 0.
std::unique_ptr<ParameterRecord> make_parameters(const ProducerOptions& options);

// x (order N, level 1 numbering) of the scaled system produced for level 1: solves
// level(1).system x = b with a dense elimination.
std::vector<double> exact_solution(LevelList& list, const std::vector<double>& b);

// Dense reference of the three applications, built from a produced list (COARSE_REDUCE set or
// clear; the marked levels' alt_diag = alt_scale times the inverse pivots). Vectors are 0-based
// and hold one level's unknowns in the level's own numbering and scaling.
class DenseModel {
public:
    DenseModel(LevelList& list, const ProducerOptions& options);
    // One application on level l (1-based) with the coarse corrections of the cycle:
    // k = 1 everywhere (multilevel ILU), Richardson with k steps (AMLI-like), multigrid.
    std::vector<double> ilu(int l, const std::vector<double>& g) const;
    std::vector<double> amli(int l, const std::vector<double>& g, int k) const;
    // Multigrid with smoother kind, ns steps, k coarse corrections, damping; A is the level's
    // stored system record (a row without a diagonal entry divides by 1.0 in the smoother).
    std::vector<double> mg(int l, const std::vector<double>& g, int kind, int ns, int k,
                           double damping) const;
    // The smoothing step of kind (pre or post column) on level l: e = M^-1 r.
    std::vector<double> smooth(int l, const std::vector<double>& r, int kind, bool pre,
                               double damping) const;

private:
    template <class Coarse>
    std::vector<double> level_step(int l, const std::vector<double>& g, const Coarse& coarse) const;
    std::vector<double> last(int l, const std::vector<double>& g) const;
    int steps(int l, int k) const;  // k forced to 1 above a dense last level

    LevelList& list_;
    ProducerOptions options_;
};

}  // namespace trelvak::test

#endif  // TRELVAK_TESTS_PRECOND_LEVEL_PRODUCER_H
