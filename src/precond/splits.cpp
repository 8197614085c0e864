// splits.cpp: the rows of a factor grouped for lanes, the rows a forward sweep reaches from the
// coupling block, and the registry that ties both to the level record whose factor they describe.
//
// Rows i < j are coupled when row i of U holds column j (or i, j form a 2x2 pivot). For a cut h,
// the rows 1..h fall into connected groups; a forward or backward sweep over one group reads and
// writes its own rows and the rows beyond h only, so groups may run at the same time. Orderings
// that eliminate subtrees one after another (minimum degree, nested dissection) leave large
// groups up to a small last set of rows: on 2D and 3D grids and Stokes problems the cut lay at
// 96 to 99.6 % of the rows with no group above half of them.
//
// The cut is chosen by a model of the sweep time: with W(h) the entries of rows 1..h, G(h) those
// of the largest group and P lanes, a sweep takes about max(G(h), W(h) / P) + W(m) - W(h). The
// groups of the best cut are dealt to the lanes largest first, each to the lane with the least
// work so far.
//
// On the way up through a level the forward sweep solves L z = F x2, whose right-hand side
// vanishes outside the rows of F. A row of z is non-zero only if that row of F is, or a row with
// a non-zero z updates it; one pass down the rows finds these rows, and the sweep visits them
// alone instead of testing every row's multiplier.
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

#include "common/lanes.h"
#include "precond/precond.h"

namespace trelvak {
namespace {

// The first slot of row i of a stored factor (I(1) may carry a sign mark; row m ends at
// factor_nnz + 1, whatever I(m+1) holds between kernel calls).
int row_start(int m, const int* I, int factor_nnz, int i) {
    return i == 1 ? std::abs(I[0]) : i == m + 1 ? factor_nnz + 1 : I[i - 1];
}

// Union-find over rows 1..m with the entries of each group.
class Groups {
public:
    explicit Groups(int m) : parent_(static_cast<size_t>(m) + 1), weight_(parent_.size(), 0) {
        std::iota(parent_.begin(), parent_.end(), 0);
    }
    int find(int x) {
        while (parent_[static_cast<size_t>(x)] != x) {
            auto& p = parent_[static_cast<size_t>(x)];
            p       = parent_[static_cast<size_t>(p)];
            x       = p;
        }
        return x;
    }
    // Joins the groups of a and b; returns the weight of the joined group.
    long join(int a, int b) {
        a = find(a);
        b = find(b);
        if (a != b) {
            if (weight_[static_cast<size_t>(a)] < weight_[static_cast<size_t>(b)]) {
                std::swap(a, b);
            }
            parent_[static_cast<size_t>(b)] = a;
            weight_[static_cast<size_t>(a)] += weight_[static_cast<size_t>(b)];
        }
        return weight_[static_cast<size_t>(a)];
    }
    void add(int x, long w) { weight_[static_cast<size_t>(x)] += w; }
    long weight_of(int x) { return weight_[static_cast<size_t>(find(x))]; }

private:
    std::vector<int> parent_;
    std::vector<long> weight_;
};

}  // namespace

std::unique_ptr<FactorSplit> split_factor(int m, const int* I_in, int factor_nnz, int lanes,
                                          long min_entries) {
    if (lanes < 2 || m < 2 * lanes || factor_nnz < min_entries) {
        return nullptr;
    }
    // Row i holds slots first(i)..first(i+1)-1; the rows i, i+1 of a 2x2 pivot share the
    // columns in the slots of row i.
    const auto first = [&](int i) { return row_start(m, I_in, factor_nnz, i); };
    std::vector<char> second(static_cast<size_t>(m) + 2, 0);  // second row of a pair
    for (int i = 1; i <= m;) {
        if (i < m && I_in[m + i] != 0) {
            second[static_cast<size_t>(i) + 1] = 1;
            i += 2;
        } else {
            i += 1;
        }
    }
    const auto pair_starts = [&](int i) { return i < m && second[static_cast<size_t>(i) + 1]; };
    const auto slots       = [&](int i) {
        const int r = second[static_cast<size_t>(i)] ? i - 1 : i;
        return std::pair<int, int>(first(r), first(r + 1));
    };

    // Rows i < j with j in row i, listed by j (columns beyond m couple nothing).
    std::vector<int> start(static_cast<size_t>(m) + 2, 0);
    int reach      = m;
    bool ascending = true;
    for (int i = 1; i <= m; ++i) {
        const auto [lo, hi] = slots(i);
        for (int k = lo; k < hi; ++k) {
            const int j = I_in[k - 1];
            reach       = std::max(reach, j);
            ascending   = ascending && (k == lo || I_in[k - 2] < j);
            if (j > i && j <= m) {
                ++start[static_cast<size_t>(j) + 1];
            }
        }
    }
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<int> rows_of(static_cast<size_t>(start.back()));
    {
        std::vector<int> next(start.begin(), start.end() - 1);
        for (int i = 1; i <= m; ++i) {
            const auto [lo, hi] = slots(i);
            for (int k = lo; k < hi; ++k) {
                const int j = I_in[k - 1];
                if (j > i && j <= m) {
                    rows_of[static_cast<size_t>(next[static_cast<size_t>(j)]++)] = i;
                }
            }
        }
    }
    const auto weight = [&](int i) {
        const auto [lo, hi] = slots(i);
        return static_cast<long>(hi - lo) + 1;
    };
    // Adds row h to the groups of rows 1..h-1; returns the weight of its group.
    const auto add_row = [&](Groups& groups, int h) {
        groups.add(h, weight(h));
        long g = groups.weight_of(h);
        for (int k = start[static_cast<size_t>(h)]; k < start[static_cast<size_t>(h) + 1]; ++k) {
            g = groups.join(rows_of[static_cast<size_t>(k)], h);
        }
        if (h >= 2 && pair_starts(h - 1)) {
            g = groups.join(h - 1, h);
        }
        return g;
    };

    // Rows added in order: after row h, `largest` is G(h) and `before` is W(h).
    Groups groups(m);
    const long total = static_cast<long>(factor_nnz) + m;
    long before = 0, largest = 0;
    long best_time = total;
    int cut        = 0;
    for (int h = 1; h <= m; ++h) {
        before += weight(h);
        largest         = std::max(largest, add_row(groups, h));
        const long time = std::max(largest, before / lanes) + (total - before);
        if (time < best_time && !pair_starts(h)) {
            best_time = time;
            cut       = h;
        }
    }
    if (cut == 0 || best_time > total * 4 / 5) {
        return nullptr;  // not worth the hand-over
    }

    // The groups of rows 1..cut, dealt to the lanes.
    Groups at_cut(m);
    for (int h = 1; h <= cut; ++h) {
        add_row(at_cut, h);
    }
    std::vector<int> roots;
    for (int h = 1; h <= cut; ++h) {
        if (at_cut.find(h) == h) {
            roots.push_back(h);
        }
    }
    std::sort(roots.begin(), roots.end(), [&](int a, int b) {
        const long wa = at_cut.weight_of(a), wb = at_cut.weight_of(b);
        return wa != wb ? wa > wb : a < b;
    });
    std::vector<long> load(static_cast<size_t>(lanes), 0);
    std::vector<int> lane_of_root(static_cast<size_t>(m) + 1, 0);
    for (const int r : roots) {
        const auto lane =
            static_cast<size_t>(std::min_element(load.begin(), load.end()) - load.begin());
        lane_of_root[static_cast<size_t>(r)] = static_cast<int>(lane);
        load[lane] += at_cut.weight_of(r);
    }

    auto split       = std::make_unique<FactorSplit>();
    split->m         = m;
    split->cut       = cut;
    split->lanes     = lanes;
    split->reach     = reach;
    split->ascending = ascending;
    split->runs.resize(static_cast<size_t>(lanes));
    split->spill.assign(static_cast<size_t>(lanes),
                        std::vector<double>(static_cast<size_t>(reach - cut)));
    for (int h = 1; h <= cut; ++h) {
        auto& runs =
            split->runs[static_cast<size_t>(lane_of_root[static_cast<size_t>(at_cut.find(h))])];
        if (!runs.empty() && runs.back().second == h - 1) {
            runs.back().second = h;
        } else {
            runs.emplace_back(h, h);
        }
    }
    return split;
}

// ---- Rows reached from the coupling block -------------------------------------------------------

std::unique_ptr<ForwardRows> forward_rows_from(int m, const int* I_in, int factor_nnz,
                                               const SparseMatrix& F, const FactorSplit* split,
                                               double max_share) {
    if (m <= 0 || F.nr != m || F.ia == nullptr) {
        return nullptr;
    }
    const auto first = [&](int i) { return row_start(m, I_in, factor_nnz, i); };
    // One pass down the rows suffices: a row updates later rows only.
    std::vector<char> visited(static_cast<size_t>(m) + 2, 0);
    for (int i = 1; i <= m; ++i) {
        visited[static_cast<size_t>(i)] = F.ia[i] > F.ia[i - 1] ? 1 : 0;
    }
    long entries = 0;
    for (int i = 1; i <= m;) {
        const int width = i < m && I_in[m + i] != 0 ? 2 : 1;
        auto* v         = &visited[static_cast<size_t>(i)];
        if (v[0] != 0 || (width == 2 && v[1] != 0)) {
            v[0]         = 1;
            v[width - 1] = 1;
            const int lo = first(i), hi = first(i + 1);
            entries += static_cast<long>(width) * (hi - lo);
            for (int k = lo; k < hi; ++k) {
                const int j = I_in[k - 1];
                if (j > i && j <= m) {
                    visited[static_cast<size_t>(j)] = 1;
                }
            }
        }
        i += width;
    }
    if (static_cast<double>(entries) > max_share * (first(m + 1) - first(1))) {
        return nullptr;
    }
    // The visited rows of lo..hi as runs.
    const auto runs_within = [&](int lo, int hi, std::vector<std::pair<int, int>>& out) {
        for (int i = lo; i <= hi; ++i) {
            if (visited[static_cast<size_t>(i)] == 0) {
                continue;
            }
            if (!out.empty() && out.back().second == i - 1) {
                out.back().second = i;
            } else {
                out.emplace_back(i, i);
            }
        }
    };
    auto rows = std::make_unique<ForwardRows>();
    runs_within(1, m, rows->all);
    if (split != nullptr && split->m == m) {
        rows->lanes.resize(split->runs.size());
        for (size_t lane = 0; lane < split->runs.size(); ++lane) {
            for (const auto& [lo, hi] : split->runs[lane]) {
                runs_within(lo, hi, rows->lanes[lane]);
            }
        }
        runs_within(split->cut + 1, m, rows->tail);
    }
    return rows;
}

// ---- Registry ----------------------------------------------------------------------------------
namespace {

struct Entry {
    const int* factor_index;
    int nB;
    int factor_nnz;
    const int* F_ia;
    std::unique_ptr<FactorSplit> split;
    std::unique_ptr<ForwardRows> coupling;

    bool describes(const LevelRecord& R) const {
        return factor_index == R.factor_index && nB == R.nB && factor_nnz == R.factor_nnz;
    }
};

std::mutex registry_lock;

std::map<const LevelRecord*, Entry>& registry() {
    static std::map<const LevelRecord*, Entry> entries;
    return entries;
}

}  // namespace

void attach_factor_split(const LevelRecord& R) {
    if (R.factor_index == nullptr || R.nB <= 0) {
        return;
    }
    try {
        auto split    = split_factor(R.nB, R.factor_index, R.factor_nnz, lane_count());
        auto coupling = forward_rows_from(R.nB, R.factor_index, R.factor_nnz, R.F, split.get());
        const std::lock_guard<std::mutex> hold(registry_lock);
        if (split || coupling) {
            registry()[&R] = Entry{.factor_index = R.factor_index,
                                   .nB           = R.nB,
                                   .factor_nnz   = R.factor_nnz,
                                   .F_ia         = R.F.ia,
                                   .split        = std::move(split),
                                   .coupling     = std::move(coupling)};
        } else {
            registry().erase(&R);
        }
    } catch (const std::bad_alloc&) {
        // Without a grouping the sweeps run on one lane, and over all rows.
    }
}

void forget_factor_split(const LevelRecord* R) {
    const std::lock_guard<std::mutex> hold(registry_lock);
    registry().erase(R);
}

FactorSplit* factor_split(const LevelRecord& R) {
    if (lane_count() < 2) {
        return nullptr;
    }
    const std::lock_guard<std::mutex> hold(registry_lock);
    const auto it = registry().find(&R);
    return it != registry().end() && it->second.describes(R) ? it->second.split.get() : nullptr;
}

const ForwardRows* coupling_rows(const LevelRecord& R) {
    const std::lock_guard<std::mutex> hold(registry_lock);
    const auto it = registry().find(&R);
    return it != registry().end() && it->second.describes(R) && it->second.F_ia == R.F.ia
               ? it->second.coupling.get()
               : nullptr;
}

}  // namespace trelvak
