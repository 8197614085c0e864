// ildlc.cpp: one level of the multilevel incomplete L D L^T factorization.
//
// Crout-form incomplete L D L^T with 1x1 and 2x2 pivots, inverse-based dropping and
// postponement of bad pivots, followed by the approximate Schur complement of the accepted block.
// Crout order: each accepted block keeps its row of U in a list walked column by column, so row
// k is updated only by the blocks with an entry in column k. Dropping is judged against a running
// estimate of ||L^-1|| (x_k = -sign(v_k) - v_k, v = L x so far, so |x_k| = 1 + |v_k|), which the
// pivoting keeps below condest by postponing the candidates that would grow it.
//
// On entry
//   B        the level's reordered and scaled matrix, both triangles, 0-based rows.
//   nB       candidates are the positions 0..nB-1, in this order; positions nB..n-1 are coarse.
//   controls droptol, droptolS, condest, lfil, lfilS and COARSE_REDUCE.
// On exit
//   out      the accepted block (m rows) in the symmetric compressed factor layout of a level
//            (row pointers, 2x2 markers, inverse pivot blocks, interleaved values of pairs), the
//            new order (accepted first, then postponed, then coarse), pivot blocks, F when
//            COARSE_REDUCE is set, and the Schur complement (upper triangle, 1-based).
//
// The factor is computed by rows of U = D L^T. Row k of U is
//     U(k, j) = B(k, j) - sum over accepted blocks b with U(b, k) != 0 of U(b, k)^T Dinv_b U(b, j)
// for every column j that is not accepted (later candidates, postponed and coarse positions).
// Each accepted block keeps its columns in two parts: candidate columns in increasing order,
// then complement columns. A pointer per block walks its candidate part and a list per column
// (head) holds the blocks whose pointer stands at that column, so the blocks with an entry in
// column k are found without a scan. When a candidate is postponed, its entries move from the
// candidate parts of those blocks to their complement parts.
//
// Pivot choice at candidate k: the 1x1 pivot d = U(k, k) is taken unless |d| < 0.64 |U(k, k+1)|,
// in which case the pair (k, k+1) is tried first (the Bunch-Kaufman alpha). A pivot is accepted
// when it is finite and has not collapsed (see kCollapsed), the estimate |x_k| of the inverse
// factor's norm stays within condest and no entry of its column of L exceeds condest; otherwise
// the candidate is postponed.
// After acceptance, L(j, k) is dropped when |L(j, k)| |x_k| <= droptol; at most lfil entries
// beyond the length of row k of B stay (largest |L(j, k)| first). The Schur complement
// S = B22 - U2^T Dinv U2 is formed row by row from the complement parts; entries below droptolS
// times the row's largest magnitude are dropped, at most lfilS off-diagonals stay, the diagonal
// always does. A level whose factor and S exceed controls.budget entries, or whose first rows
// show that they will, is abandoned (out->over_budget), and so is one that postpones
// controls.postpone_limit rows (out->over_limit) or whose Schur complement outgrows
// controls.crowd_limit (out->crowded). Work: two sparse accumulators of n doubles, about 10 n
// integers, and the factor rows.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "common/interrupt.h"
#include "factor/factor.h"

namespace trelvak::factor_detail {

namespace {

enum Status : unsigned char { kPending = 0, kAccepted = 1, kPostponed = 2, kCoarse = 3 };

constexpr double kPairAlpha = 0.64;

// A pivot below this share of the largest entry of its row in B has collapsed: the updates
// cancelled what the row held (as they do on the null space of a singular block), and what is
// left is rounding and dropping error. It is postponed like a pivot that would grow the inverse
// factor; a smaller pivot would enter D^-1 with the reciprocal of noise.
constexpr double kCollapsed = 1.4901161193847656e-08;

// Rows between two polls of a stop asked for by the user (a power of two): the poll reads one
// flag, a few thousand rows take well below a millisecond.
constexpr int kRowsPerPoll = 512;

// Blocks between two releases of the rows' pages while the factor is assembled (a power of two).
constexpr int kBlocksPerRelease = 4096;

// A level whose factor rows, spread evenly over all its rows, would already take this many times
// the budget once kForesightShare of the rows are done is abandoned there instead of at the end
// of the budget. The rows' entries hardly fall along the elimination order (the last rows, with
// the fill of the earlier ones, are the longest), and the Schur complement still comes on top:
// such a try ran out of the budget at 72 to 90 % of its rows (MAC Stokes, shifted 3D grids),
// after most of its cost. Tries that fit projected at most 0.9 of the budget.
constexpr double kForesightShare = 0.1;
constexpr double kOvershoot      = 1.1;

// w(j) += x in a stamped sparse accumulator (w, stamp, slots[0, count)) at time `now`.
inline void accumulate(double* __restrict w, int* __restrict stamp, int* __restrict slots, int now,
                       int& count, int j, double x) {
    if (stamp[j] != now) {
        stamp[j]       = now;
        w[j]           = x;
        slots[count++] = j;
    } else {
        w[j] += x;
    }
}

// Sparse accumulator: a dense array with a stamp per entry and the list of touched columns.
struct Accumulator {
    std::vector<double> w;
    std::vector<int> stamp;
    std::vector<int> slots;  // the touched columns in slots[0, count)
    int count   = 0;
    int now     = 0;
    double diag = 0.0;

    explicit Accumulator(int n)
        : w(static_cast<size_t>(n), 0.0),
          stamp(static_cast<size_t>(n), -1),
          slots(static_cast<size_t>(n)) {}
    void start() {
        ++now;
        count = 0;
        diag  = 0.0;
    }
    void add(int j, double x) {
        accumulate(w.data(), stamp.data(), slots.data(), now, count, j, x);
    }
    std::span<const int> list() const { return {slots.data(), static_cast<size_t>(count)}; }
    bool has(int j) const { return stamp[j] == now; }
    double get(int j) const { return stamp[j] == now ? w[j] : 0.0; }
};

// acc += -(f0 u0[e] + f1 u1[e - shift]) in column col[e] for e in [lo, hi) (f1, u1 and shift
// unused for a 1x1 block). The hot loop of the factorization: it works on local copies of the
// accumulator's arrays, which the stores into w and stamp could otherwise be taken to change.
template <bool kPair>
void add_update(Accumulator& acc, const int* __restrict col, const double* __restrict u0,
                const double* __restrict u1, long shift, int lo, int hi, double f0, double f1) {
    double* __restrict w  = acc.w.data();
    int* __restrict stamp = acc.stamp.data();
    int* __restrict slots = acc.slots.data();
    const int now         = acc.now;
    int count             = acc.count;
    for (int e = lo; e < hi; ++e) {
        accumulate(w, stamp, slots, now, count, col[e],
                   kPair ? -(f0 * u0[e] + f1 * u1[e - shift]) : -f0 * u0[e]);
    }
    acc.count = count;
}

// Accepted pivot blocks with their rows of U.
struct Blocks {
    std::vector<int> row;  // first row (position) of the block
    std::vector<unsigned char> size;
    std::vector<double> dinv;  // 3 per block: inverse block [d0 d1; d1 d2] (d0 for a 1x1)
    std::vector<int> start, cand_end, end, ptr, next;
    LargeVector<int> col;    // column positions
    LargeVector<double> u0;  // U(row, col)
    // U(row+1, col) of the pairs only: entry e of pair b is u1[e - shift[b]]
    LargeVector<double> u1;
    std::vector<long> shift;

    // The entries of `parts` (their rows' positions, values and per-block bounds) in place of
    // these; the blocks' pivots stay.
    void keep_parts(Blocks&& parts) {
        col      = std::move(parts.col);
        u0       = std::move(parts.u0);
        u1       = std::move(parts.u1);
        start    = std::move(parts.start);
        cand_end = std::move(parts.cand_end);
        end      = std::move(parts.end);
        shift    = std::move(parts.shift);
    }
    double& second(int b, int e) { return u1[static_cast<size_t>(e - shift[b])]; }
    double second(int b, int e) const { return u1[static_cast<size_t>(e - shift[b])]; }
};

struct Kept {
    int col;
    double weight;
};

class LevelFactorizer {
public:
    LevelFactorizer(const SymmetricRows& B, int nB, const LevelControls& c)
        : B_(B),
          n_(B.n),
          nB_(nB),
          c_(c),
          status_(static_cast<size_t>(B.n), kPending),
          v_(static_cast<size_t>(B.n), 0.0),
          head_(static_cast<size_t>(B.n), -1),
          acc1_(B.n),
          acc2_(B.n),
          rowmax_(static_cast<size_t>(B.n), 0.0) {
        for (int j = nB_; j < n_; ++j) {
            status_[j] = kCoarse;
        }
        for (int i = 0; i < n_; ++i) {
            for (int e = B_.ptr[i]; e < B_.ptr[i + 1]; ++e) {
                rowmax_[i] = std::max(rowmax_[i], std::fabs(B_.val[static_cast<size_t>(e)]));
            }
        }
        reserve();
    }

    void run(LevelFactor* out);
    bool will_outgrow_budget(int k) const;

    // When forming the Schur complement began (unset when the level stopped before it).
    std::optional<std::chrono::steady_clock::time_point> schur_start;

private:
    void reserve();
    void compute_row(int r, int prev, Accumulator& acc) const;
    void apply_block(int b, int q, int from, Accumulator& acc) const;
    void finalize_column(int k, bool postponed);
    void move_to_complement(int b);
    bool test_1x1(int k, double* x) const;
    bool test_2x2(int k, double dinv[3], double x[2]) const;
    void accept_1x1(int k, double x);
    void accept_2x2(int k, const double dinv[3], const double x[2]);
    void store_block(int k, int size, const double dinv[3], std::vector<Kept>& kept,
                     const Accumulator& a1, const Accumulator* a2);
    void limit(std::vector<Kept>& kept, int k) const;
    void assemble(LevelFactor* out);
    Blocks complement_parts() const;
    void couplings_to_complement(LevelFactor* out, const std::vector<int>& newpos, int m) const;
    void release_rows_before(int b, long u1_used);
    void schur_complement(LevelFactor* out, const std::vector<int>& newpos, int m);
    // Entries (block, slot) of the complement parts by complement column, compressed.
    struct ComplementColumns {
        std::vector<int> ptr, block, slot;
    };
    void sort_complement_parts(const std::vector<int>& newpos);
    ComplementColumns complement_columns(const std::vector<int>& newpos, int m) const;
    void accumulate_schur_row(int c, int o, const std::vector<int>& newpos, int m,
                              const ComplementColumns& cols, Accumulator& acc) const;
    void keep_schur_row(int c, int o, const std::vector<int>& newpos, int m, const Accumulator& acc,
                        std::vector<Kept>& row, LevelFactor* out) const;

    static double estimate(double v) { return (v >= 0.0 ? -1.0 : 1.0) - v; }

    const SymmetricRows& B_;
    const int n_;
    const int nB_;
    const LevelControls c_;
    std::vector<unsigned char> status_;
    std::vector<double> v_;  // running L x for the estimate of ||L^-1||
    std::vector<int> head_;
    Blocks blk_;
    Accumulator acc1_, acc2_;
    std::vector<Kept> kept_;
    int postponed_ = 0;
    int pairs_     = 0;
    long entries_  = 0;           // values stored in the factor rows so far
    std::vector<double> rowmax_;  // largest magnitude in each row of B
};

// Room for the factor rows up front: grown by doubling, they would be copied about twice and
// touch fresh pages at every step. Five times the entries of B (within the budget) covers most
// levels; beyond that the vectors grow as usual. Reserving commits no memory until it is written.
void LevelFactorizer::reserve() {
    long entries = 5L * static_cast<long>(B_.col.size()) + n_;
    if (c_.budget > 0) {
        entries = std::min(entries, c_.budget + n_);
    }
    const auto e = static_cast<size_t>(entries);
    blk_.col.reserve(e);
    blk_.u0.reserve(e);
    blk_.u1.reserve(e);
    const auto rows = static_cast<size_t>(nB_);
    for (auto* v : {&blk_.row, &blk_.start, &blk_.cand_end, &blk_.end, &blk_.ptr, &blk_.next}) {
        v->reserve(rows);
    }
    blk_.size.reserve(rows);
    blk_.shift.reserve(rows);
    blk_.dinv.reserve(3 * rows);
}

// Adds the update of block b to row r: q is the block's entry in column r, entries from `from`
// on (q excluded) are updated.
void LevelFactorizer::apply_block(int b, int q, int from, Accumulator& acc) const {
    const int e_end = blk_.end[b];
    const double* d = &blk_.dinv[3 * static_cast<size_t>(b)];
    const bool pair = blk_.size[b] != 1;
    const double c0 = blk_.u0[q];
    const double c1 = pair ? blk_.second(b, q) : 0.0;
    const double f0 = pair ? d[0] * c0 + d[1] * c1 : d[0] * c0;
    const double f1 = pair ? d[1] * c0 + d[2] * c1 : 0.0;
    acc.diag -= f0 * c0 + f1 * c1;
    // The entries from `from` on, q left out.
    const int ranges[2][2] = {{from, from <= q ? q : e_end}, {from <= q ? q + 1 : e_end, e_end}};
    for (const auto& r : ranges) {
        if (pair) {
            add_update<true>(acc, blk_.col.data(), blk_.u0.data(), blk_.u1.data(), blk_.shift[b],
                             r[0], r[1], f0, f1);
        } else {
            add_update<false>(acc, blk_.col.data(), blk_.u0.data(), nullptr, 0, r[0], r[1], f0,
                              0.0);
        }
    }
}

// Row r of U over the columns that are not accepted. With prev >= 0 (r = prev + 1, prev not yet
// finalized), the blocks that stand at column prev and carry column r next contribute too.
void LevelFactorizer::compute_row(int r, int prev, Accumulator& acc) const {
    acc.start();
    for (int e = B_.ptr[r]; e < B_.ptr[r + 1]; ++e) {
        const int j = B_.col[e];
        if (j == r) {
            acc.diag += B_.val[e];
        } else if (status_[j] != kAccepted) {
            acc.add(j, B_.val[e]);
        }
    }
    for (int b = head_[r]; b >= 0; b = blk_.next[b]) {
        apply_block(b, blk_.ptr[b], blk_.ptr[b] + 1, acc);
    }
    if (prev >= 0) {
        for (int b = head_[prev]; b >= 0; b = blk_.next[b]) {
            const int p = blk_.ptr[b];
            if (p + 1 < blk_.cand_end[b] && blk_.col[p + 1] == r) {
                apply_block(b, p + 1, p, acc);
            }
        }
    }
}

// Moves the entry at the pointer of block b (a postponed column) to the complement part.
void LevelFactorizer::move_to_complement(int b) {
    const int p     = blk_.ptr[b];
    const int last  = blk_.cand_end[b] - 1;
    const int col   = blk_.col[p];
    const bool pair = blk_.size[b] != 1;
    const double x0 = blk_.u0[p];
    const double x1 = pair ? blk_.second(b, p) : 0.0;
    for (int e = p; e < last; ++e) {
        blk_.col[e] = blk_.col[e + 1];
        blk_.u0[e]  = blk_.u0[e + 1];
        if (pair) {
            blk_.second(b, e) = blk_.second(b, e + 1);
        }
    }
    blk_.col[last] = col;
    blk_.u0[last]  = x0;
    if (pair) {
        blk_.second(b, last) = x1;
    }
    blk_.cand_end[b] = last;
}

// Column k is done: every block standing at k moves on to its next candidate column.
void LevelFactorizer::finalize_column(int k, bool postponed) {
    int b    = head_[k];
    head_[k] = -1;
    while (b >= 0) {
        const int following = blk_.next[b];
        if (postponed) {
            move_to_complement(b);
        } else {
            ++blk_.ptr[b];
        }
        if (blk_.ptr[b] < blk_.cand_end[b]) {
            const int j  = blk_.col[blk_.ptr[b]];
            blk_.next[b] = head_[j];
            head_[j]     = b;
        }
        b = following;
    }
}

bool LevelFactorizer::test_1x1(int k, double* x) const {
    const double d = acc1_.diag;
    *x             = estimate(v_[k]);
    if (!(d != 0.0) || !std::isfinite(d) || !(std::fabs(*x) <= c_.condest)) {
        return false;
    }
    if (std::fabs(d) < kCollapsed * rowmax_[k]) {
        return false;
    }
    const double bound = c_.condest * std::fabs(d);
    for (int j : acc1_.list()) {
        const double w = acc1_.w[j];
        if (!(std::fabs(w) <= bound)) {  // also catches NaN
            return false;
        }
    }
    return true;
}

bool LevelFactorizer::test_2x2(int k, double dinv[3], double x[2]) const {
    const double d   = acc1_.diag;
    const double e   = acc2_.diag;
    const double b   = acc1_.get(k + 1);
    const double det = d * e - b * b;
    x[0]             = estimate(v_[k]);
    x[1]             = estimate(v_[k + 1]);
    if (!(det != 0.0) || !std::isfinite(det) ||
        !(std::max(std::fabs(x[0]), std::fabs(x[1])) <= c_.condest)) {
        return false;
    }
    // A nearly singular pair is no better than its 1x1 pivots.
    if (std::fabs(det) <= 1e-14 * std::max(b * b, std::fabs(d * e))) {
        return false;
    }
    // |det| / (largest entry) estimates the smaller eigenvalue of the pair: a pair that hides a
    // collapsed pivot beside a sound one is no pair.
    const double largest = std::max({std::fabs(d), std::fabs(e), std::fabs(b)});
    if (std::fabs(det) < kCollapsed * std::max(rowmax_[k], rowmax_[k + 1]) * largest) {
        return false;
    }
    dinv[0]    = e / det;
    dinv[1]    = -b / det;
    dinv[2]    = d / det;
    auto check = [&](int j) {
        if (j == k || j == k + 1) {
            return true;
        }
        const double w1 = acc1_.get(j);
        const double w2 = acc2_.get(j);
        const double l0 = dinv[0] * w1 + dinv[1] * w2;
        const double l1 = dinv[1] * w1 + dinv[2] * w2;
        return std::fabs(l0) <= c_.condest && std::fabs(l1) <= c_.condest;
    };
    for (int j : acc1_.list()) {
        if (!check(j)) {
            return false;
        }
    }
    for (int j : acc2_.list()) {
        if (!acc1_.has(j) && !check(j)) {
            return false;
        }
    }
    return true;
}

// Keeps the lfil entries of largest weight.
void LevelFactorizer::limit(std::vector<Kept>& kept, int k) const {
    if (c_.lfil <= 0) {
        return;
    }
    // lfil entries beyond the length of the row in B (ILUT's p + nnz(row) rule): rows that are
    // long in the matrix keep their length, short ones gain at most lfil fill entries.
    const long cap = static_cast<long>(c_.lfil) + (B_.ptr[k + 1] - B_.ptr[k]);
    if (static_cast<long>(kept.size()) > cap) {
        std::nth_element(kept.begin(), kept.begin() + cap, kept.end(),
                         [](const Kept& a, const Kept& b) { return a.weight > b.weight; });
        kept.resize(static_cast<size_t>(cap));
    }
}

void LevelFactorizer::store_block(int k, int size, const double dinv[3], std::vector<Kept>& kept,
                                  const Accumulator& a1, const Accumulator* a2) {
    const int b = static_cast<int>(blk_.row.size());
    blk_.row.push_back(k);
    blk_.size.push_back(static_cast<unsigned char>(size));
    blk_.dinv.insert(blk_.dinv.end(), dinv, dinv + 3);
    // Candidate columns first, in increasing order, then the complement columns.
    auto mid = std::partition(kept.begin(), kept.end(),
                              [&](const Kept& x) { return status_[x.col] == kPending; });
    std::sort(kept.begin(), mid, [](const Kept& x, const Kept& y) { return x.col < y.col; });
    const int start = static_cast<int>(blk_.col.size());
    blk_.shift.push_back(static_cast<long>(start) - static_cast<long>(blk_.u1.size()));
    for (const Kept& x : kept) {
        blk_.col.push_back(x.col);
        blk_.u0.push_back(a1.get(x.col));
        if (a2 != nullptr) {
            blk_.u1.push_back(a2->get(x.col));
        }
    }
    blk_.start.push_back(start);
    blk_.cand_end.push_back(start + static_cast<int>(mid - kept.begin()));
    blk_.end.push_back(static_cast<int>(blk_.col.size()));
    entries_ += static_cast<long>(size) * static_cast<long>(kept.size());
    blk_.ptr.push_back(start);
    blk_.next.push_back(-1);
    if (blk_.cand_end[b] > start) {
        const int j  = blk_.col[start];
        blk_.next[b] = head_[j];
        head_[j]     = b;
    }
}

void LevelFactorizer::accept_1x1(int k, double x) {
    const double d     = acc1_.diag;
    const double kappa = std::fabs(x);
    kept_.clear();
    for (int j : acc1_.list()) {
        const double l = std::fabs(acc1_.w[j] / d);
        if (l * kappa > c_.droptol) {
            kept_.push_back({j, l});
        }
    }
    limit(kept_, k);
    for (const Kept& e : kept_) {
        v_[e.col] += (acc1_.w[e.col] / d) * x;
    }
    status_[k]           = kAccepted;
    const double dinv[3] = {1.0 / d, 0.0, 0.0};
    finalize_column(k, false);
    store_block(k, 1, dinv, kept_, acc1_, nullptr);
}

void LevelFactorizer::accept_2x2(int k, const double dinv[3], const double x[2]) {
    const double kappa = std::max(std::fabs(x[0]), std::fabs(x[1]));
    kept_.clear();
    auto consider = [&](int j) {
        if (j == k || j == k + 1) {
            return;
        }
        const double w1 = acc1_.get(j);
        const double w2 = acc2_.get(j);
        const double l0 = dinv[0] * w1 + dinv[1] * w2;
        const double l1 = dinv[1] * w1 + dinv[2] * w2;
        const double l  = std::max(std::fabs(l0), std::fabs(l1));
        if (l * kappa > c_.droptol) {
            kept_.push_back({j, l});
        }
    };
    for (int j : acc1_.list()) {
        consider(j);
    }
    for (int j : acc2_.list()) {
        if (!acc1_.has(j)) {
            consider(j);
        }
    }
    limit(kept_, k);
    for (const Kept& e : kept_) {
        const double w1 = acc1_.get(e.col);
        const double w2 = acc2_.get(e.col);
        v_[e.col] += (dinv[0] * w1 + dinv[1] * w2) * x[0] + (dinv[1] * w1 + dinv[2] * w2) * x[1];
    }
    status_[k]     = kAccepted;
    status_[k + 1] = kAccepted;
    finalize_column(k, false);
    finalize_column(k + 1, false);
    store_block(k, 2, dinv, kept_, acc1_, &acc2_);
    ++pairs_;
}

// Whether the entries of the first k rows, spread over all rows, overshoot the budget (see
// kOvershoot).
bool LevelFactorizer::will_outgrow_budget(int k) const {
    return k >= kForesightShare * nB_ &&
           static_cast<double>(entries_) * nB_ > kOvershoot * static_cast<double>(c_.budget) * k;
}

void LevelFactorizer::run(LevelFactor* out) {
    int k = 0;
    while (k < nB_) {
        if ((k & (kRowsPerPoll - 1)) == 0) {
            poll_interrupt();
        }
        compute_row(k, -1, acc1_);
        const bool pair_possible = k + 1 < nB_;
        const double b           = pair_possible ? acc1_.get(k + 1) : 0.0;
        const bool prefer_pair =
            pair_possible && b != 0.0 && !(std::fabs(acc1_.diag) >= kPairAlpha * std::fabs(b));
        double x1      = 0.0;
        const bool ok1 = test_1x1(k, &x1);
        if (prefer_pair) {
            compute_row(k + 1, k, acc2_);
            double dinv[3];
            double x2[2];
            if (test_2x2(k, dinv, x2)) {
                accept_2x2(k, dinv, x2);
                k += 2;
                continue;
            }
        }
        if (ok1) {
            accept_1x1(k, x1);
        } else {
            status_[k] = kPostponed;
            finalize_column(k, true);
            ++postponed_;
            if (c_.postpone_limit > 0 && postponed_ >= c_.postpone_limit) {
                out->over_limit = true;
                out->postponed  = postponed_;
                return;
            }
        }
        ++k;
        if (c_.budget > 0 && (entries_ > c_.budget || will_outgrow_budget(k))) {
            out->over_budget = true;
            return;
        }
    }
    assemble(out);
}

void LevelFactorizer::assemble(LevelFactor* out) {
    const int nblocks = static_cast<int>(blk_.row.size());
    int m             = 0;
    for (int b = 0; b < nblocks; ++b) {
        m += blk_.size[b];
    }
    out->over_budget = false;
    out->over_limit  = false;
    out->crowded     = false;
    out->n           = n_;
    out->m           = m;
    out->postponed   = postponed_;
    out->pairs       = pairs_;

    // New order: accepted blocks in the order of acceptance, then postponed, then coarse.
    out->order.assign(static_cast<size_t>(n_), 0);
    std::vector<int> newpos(static_cast<size_t>(n_), -1);
    int next = 0;
    for (int b = 0; b < nblocks; ++b) {
        for (int t = 0; t < blk_.size[b]; ++t) {
            out->order[next]        = blk_.row[b] + t;
            newpos[blk_.row[b] + t] = next++;
        }
    }
    for (int j = 0; j < nB_; ++j) {
        if (status_[j] == kPostponed) {
            out->order[next] = j;
            newpos[j]        = next++;
        }
    }
    for (int j = nB_; j < n_; ++j) {
        out->order[next] = j;
        newpos[j]        = next++;
    }

    // Symmetric compressed factor: header of 2m+1 slots, then the rows.
    const bool reduce = c_.coarse_reduce;
    long total        = 2L * m + 1;
    for (int b = 0; b < nblocks; ++b) {
        const long len = (reduce ? blk_.cand_end[b] : blk_.end[b]) - blk_.start[b];
        total += blk_.size[b] * len;
    }
    if (total > std::numeric_limits<int>::max() - 2) {
        throw std::bad_alloc();
    }
    // The complement parts go aside for the Schur complement; the factor is then written row by
    // row while the rows it was copied from give their pages back, so that the two are not both
    // resident (they were the factorization's peak).
    Blocks complement = complement_parts();
    out->I.allocate(static_cast<size_t>(total));  // written row by row: not touched before
    out->V.allocate(static_cast<size_t>(total));
    auto& I = out->I;
    auto& V = out->V;
    std::fill_n(I.data(), 2 * m + 1, 0);
    std::fill_n(V.data(), 2 * m + 1, 0.0);
    out->pivot_blocks.assign(static_cast<size_t>(n_), -1);
    int slot     = 2 * m + 2;  // 1-based slot of the next row entry
    int i        = 1;          // 1-based row of the factor
    long u1_used = 0;          // u1 holds the pairs' entries in block order
    for (int b = 0; b < nblocks; ++b) {
        if ((b & (kBlocksPerRelease - 1)) == 0) {
            release_rows_before(b, u1_used);
        }
        const int s     = blk_.start[b];
        const int len   = (reduce ? blk_.cand_end[b] : blk_.end[b]) - s;
        const double* d = &blk_.dinv[3 * static_cast<size_t>(b)];
        if (blk_.size[b] == 1) {
            I[i - 1] = slot;
            V[i - 1] = d[0];
            for (int t = 0; t < len; ++t) {
                I[slot - 1 + t] = newpos[blk_.col[s + t]] + 1;
                V[slot - 1 + t] = blk_.u0[s + t];
            }
            slot += len;
            i += 1;
        } else {
            I[i - 1]                 = slot;
            I[i]                     = slot + len;
            I[m + i]                 = 1;  // marker I(m+1+i)
            V[i - 1]                 = d[0];
            V[i]                     = d[2];
            V[m + i]                 = d[1];  // V(m+1+i)
            out->pivot_blocks[i - 1] = 1;
            out->pivot_blocks[i]     = 1;
            for (int t = 0; t < len; ++t) {
                const int c             = newpos[blk_.col[s + t]] + 1;
                I[slot - 1 + t]         = c;
                I[slot - 1 + len + t]   = c;  // slots of the pair's second half repeat the list
                V[slot - 1 + 2 * t]     = blk_.u0[s + t];
                V[slot - 1 + 2 * t + 1] = blk_.second(b, s + t);
            }
            slot += 2 * len;
            i += 2;
            u1_used = blk_.end[b] - blk_.shift[b];
        }
    }
    I[m] = slot;  // I(m+1): end pointer of row m
    blk_.keep_parts(std::move(complement));

    couplings_to_complement(out, newpos, m);
    schur_start = std::chrono::steady_clock::now();
    schur_complement(out, newpos, m);
}

// F: couplings of the accepted rows to the complement, taken from B (COARSE_REDUCE only).
void LevelFactorizer::couplings_to_complement(LevelFactor* out, const std::vector<int>& newpos,
                                              int m) const {
    const bool reduce = c_.coarse_reduce;
    out->Fia.clear();
    out->Fja.clear();
    out->Fa.clear();
    if (reduce) {
        out->Fia.push_back(1);
        for (int r = 0; r < m; ++r) {
            const int o = out->order[r];
            for (int e = B_.ptr[o]; e < B_.ptr[o + 1]; ++e) {
                const int np = newpos[B_.col[e]];
                if (np >= m) {
                    out->Fja.push_back(np - m + 1);
                    out->Fa.push_back(B_.val[e]);
                }
            }
            out->Fia.push_back(static_cast<int>(out->Fja.size()) + 1);
        }
    }
}

// The blocks' complement parts (what the Schur complement reads) in arrays of their own: the
// columns and values of block b at [start[b], end[b]) (cand_end = start), u1 of a pair through
// its shift as in the rows.
Blocks LevelFactorizer::complement_parts() const {
    const int nblocks = static_cast<int>(blk_.row.size());
    size_t total = 0, pair_total = 0;
    for (int b = 0; b < nblocks; ++b) {
        const auto len = static_cast<size_t>(blk_.end[b] - blk_.cand_end[b]);
        total += len;
        pair_total += blk_.size[b] == 1 ? 0 : len;
    }
    Blocks parts;
    parts.col.resize(total);
    parts.u0.resize(total);
    parts.u1.resize(pair_total);
    parts.start.resize(static_cast<size_t>(nblocks));
    parts.end.resize(static_cast<size_t>(nblocks));
    parts.shift.assign(static_cast<size_t>(nblocks), 0);
    int to   = 0;  // next slot in col and u0
    long to1 = 0;  // next slot in u1
    for (int b = 0; b < nblocks; ++b) {
        const int first = blk_.cand_end[b];
        const int len   = blk_.end[b] - first;
        std::copy_n(blk_.col.begin() + first, len, parts.col.begin() + to);
        std::copy_n(blk_.u0.begin() + first, len, parts.u0.begin() + to);
        if (blk_.size[b] != 1) {
            std::copy_n(blk_.u1.begin() + (first - blk_.shift[b]), len, parts.u1.begin() + to1);
            parts.shift[b] = to - to1;  // entry e of the part: u1[e - shift]
            to1 += len;
        }
        parts.start[b] = to;
        parts.end[b]   = to + len;
        to += len;
    }
    parts.cand_end = parts.start;
    return parts;
}

// Gives back the pages of the rows' arrays that hold only blocks before b (already copied into
// the factor), and of u1 up to u1_used. The arrays keep their size; those entries are not read
// again.
void LevelFactorizer::release_rows_before(int b, long u1_used) {
    if (b == 0) {
        return;
    }
    const int used = blk_.end[b - 1];
    release_pages(blk_.col.data(), blk_.col.data() + used);
    release_pages(blk_.u0.data(), blk_.u0.data() + used);
    release_pages(blk_.u1.data(), blk_.u1.data() + u1_used);
}

// S = B22 - U2^T Dinv U2 over the complement, upper triangle in the complement's order, with
// entries below droptolS times the row's largest magnitude dropped (the diagonal always stays).
// Each block's complement part in increasing new position, so that the part of a block from its
// entry in column c on is exactly its contribution to row c of the upper triangle.
void LevelFactorizer::sort_complement_parts(const std::vector<int>& newpos) {
    struct Entry {
        int key, col;
        double u0, u1;
    };
    std::vector<Entry> part;
    const int nblocks = static_cast<int>(blk_.row.size());
    for (int b = 0; b < nblocks; ++b) {
        const int first = blk_.cand_end[b];
        const int last  = blk_.end[b];
        const bool pair = blk_.size[b] != 1;
        part.clear();
        for (int e = first; e < last; ++e) {
            part.push_back(
                {newpos[blk_.col[e]], blk_.col[e], blk_.u0[e], pair ? blk_.second(b, e) : 0.0});
        }
        std::sort(part.begin(), part.end(),
                  [](const Entry& x, const Entry& y) { return x.key < y.key; });
        for (int e = first; e < last; ++e) {
            const Entry& x = part[static_cast<size_t>(e - first)];
            blk_.col[e]    = x.col;
            blk_.u0[e]     = x.u0;
            if (pair) {
                blk_.second(b, e) = x.u1;
            }
        }
    }
}

LevelFactorizer::ComplementColumns LevelFactorizer::complement_columns(
    const std::vector<int>& newpos, int m) const {
    const int nc      = n_ - m;
    const int nblocks = static_cast<int>(blk_.row.size());
    ComplementColumns cols;
    cols.ptr.assign(static_cast<size_t>(nc) + 1, 0);
    for (int b = 0; b < nblocks; ++b) {
        for (int e = blk_.cand_end[b]; e < blk_.end[b]; ++e) {
            ++cols.ptr[newpos[blk_.col[e]] - m + 1];
        }
    }
    for (int c = 0; c < nc; ++c) {
        cols.ptr[c + 1] += cols.ptr[c];
    }
    cols.block.resize(static_cast<size_t>(cols.ptr[nc]));
    cols.slot.resize(static_cast<size_t>(cols.ptr[nc]));
    std::vector<int> fill(cols.ptr.begin(), cols.ptr.end() - 1);
    for (int b = 0; b < nblocks; ++b) {
        for (int e = blk_.cand_end[b]; e < blk_.end[b]; ++e) {
            const int c          = newpos[blk_.col[e]] - m;
            cols.block[fill[c]]  = b;
            cols.slot[fill[c]++] = e;
        }
    }
    return cols;
}

// Row c of S = B22 - U2^T Dinv U2 (level row o) into acc: the row of B from column c on, less the
// updates of the blocks whose complement part starts in column c or before.
void LevelFactorizer::accumulate_schur_row(int c, int o, const std::vector<int>& newpos, int m,
                                           const ComplementColumns& cols, Accumulator& acc) const {
    acc.start();
    acc.add(o, 0.0);
    for (int e = B_.ptr[o]; e < B_.ptr[o + 1]; ++e) {
        const int j = B_.col[e];
        if (newpos[j] >= m + c) {
            acc.add(j, B_.val[e]);
        }
    }
    for (int t = cols.ptr[c]; t < cols.ptr[c + 1]; ++t) {
        const int b     = cols.block[t];
        const int q     = cols.slot[t];
        const double* d = &blk_.dinv[3 * static_cast<size_t>(b)];
        const double c0 = blk_.u0[q];
        const double c1 = blk_.size[b] == 1 ? 0.0 : blk_.second(b, q);
        const double f0 = d[0] * c0 + d[1] * c1;
        const double f1 = d[1] * c0 + d[2] * c1;
        if (blk_.size[b] == 1) {
            add_update<false>(acc, blk_.col.data(), blk_.u0.data(), nullptr, 0, q, blk_.end[b], f0,
                              0.0);
        } else {
            add_update<true>(acc, blk_.col.data(), blk_.u0.data(), blk_.u1.data(), blk_.shift[b], q,
                             blk_.end[b], f0, f1);
        }
    }
}

// Appends row c of S to out->S*: the diagonal, and the entries above droptolS times the row's
// largest magnitude, at most lfilS of them (the largest), in increasing column.
void LevelFactorizer::keep_schur_row(int c, int o, const std::vector<int>& newpos, int m,
                                     const Accumulator& acc, std::vector<Kept>& row,
                                     LevelFactor* out) const {
    double rowmax = 0.0;
    for (int j : acc.list()) {
        rowmax = std::max(rowmax, std::fabs(acc.w[j]));
    }
    const double threshold = c_.droptolS * rowmax;
    row.clear();
    for (int j : acc.list()) {
        if (j != o && !(std::fabs(acc.w[j]) > threshold)) {
            continue;
        }
        row.push_back({newpos[j] - m, std::fabs(acc.w[j])});
    }
    if (c_.lfilS > 0 && static_cast<int>(row.size()) > c_.lfilS + 1) {
        // Keep the diagonal and the lfilS largest off-diagonal entries.
        std::nth_element(row.begin(), row.begin() + c_.lfilS + 1, row.end(),
                         [c](const Kept& x, const Kept& y) {
                             if ((x.col == c) != (y.col == c)) {
                                 return x.col == c;
                             }
                             return x.weight > y.weight;
                         });
        row.resize(static_cast<size_t>(c_.lfilS) + 1);
    }
    std::sort(row.begin(), row.end(), [](const Kept& x, const Kept& y) { return x.col < y.col; });
    for (const Kept& x : row) {
        out->Sja.push_back(x.col + 1);
        out->Sa.push_back(acc.w[out->order[m + x.col]]);
    }
    out->Sia.push_back(static_cast<int>(out->Sja.size()) + 1);
}

void LevelFactorizer::schur_complement(LevelFactor* out, const std::vector<int>& newpos, int m) {
    const int nc = n_ - m;
    const bool crowding =
        c_.crowd_limit > 0 && postponed_ >= c_.crowd_postponed && m >= c_.crowd_accepted;
    sort_complement_parts(newpos);
    const ComplementColumns cols = complement_columns(newpos, m);
    out->Sia.assign(1, 1);
    out->Sja.clear();
    out->Sa.clear();
    std::vector<Kept> row;
    for (int c = 0; c < nc; ++c) {
        if ((c & (kRowsPerPoll - 1)) == 0) {
            poll_interrupt();
        }
        const int o = out->order[m + c];
        accumulate_schur_row(c, o, newpos, m, cols, acc1_);
        keep_schur_row(c, o, newpos, m, acc1_, row, out);
        if (c_.budget > 0 && entries_ + static_cast<long>(out->Sja.size()) > c_.budget) {
            out->over_budget = true;
            return;
        }
        if (crowding && static_cast<long>(out->Sja.size()) > c_.crowd_limit) {
            out->crowded = true;
            return;
        }
    }
}

}  // namespace

void ildlc_level(const SymmetricRows& B, int nB, const LevelControls& controls, LevelFactor* out) {
    using Clock      = std::chrono::steady_clock;
    const auto start = Clock::now();
    LevelFactorizer f(B, std::clamp(nB, 0, B.n), controls);
    f.run(out);
    const auto end      = Clock::now();
    const auto between  = f.schur_start ? *f.schur_start : end;  // no Schur complement begun
    out->factor_seconds = std::chrono::duration<double>(between - start).count();
    out->schur_seconds  = std::chrono::duration<double>(end - between).count();
}

}  // namespace trelvak::factor_detail
