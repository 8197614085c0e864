// level_producer.cpp: builds exact level lists for tests (see level_producer.h).
//
// Per level, in dense arithmetic on the level's system T (order t, leading block m):
//   1. Tp = T(perm, perm) for a random permutation;
//   2. symmetric Bunch-Parlett elimination of the leading m positions, the pivot search restricted
//      to the not yet eliminated part of the leading block (swaps only reorder positions 1..m);
//   3. the pivot rows of the eliminated matrix are the rows of U = D L^T; they go into the
//      symmetric compressed factor (2x2 pairs share one column list, values interleaved);
//   4. the trailing block is the exact Schur complement S; the next level's system is
//      D S D with D its colscale (no scaling when the next level is the dense last level).
// The dense last level holds S factored by LAPACK's dsptrf ("L", packed).
#include "level_producer.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>

#include "common/blas.h"

namespace trelvak::test {

namespace {

// Dense symmetric elimination state of one level.
struct Elimination {
    Dense W;                 // working matrix, 0-based positions
    std::vector<int> order;  // position -> level unknown (0-based)
    std::vector<int> block;  // per eliminated position: 1 (1x1), 2 (first of a pair), 0 (second)

    void swap_positions(int p, int q) {
        if (p == q) {
            return;
        }
        const int t = W.n;
        for (int j = 0; j < t; ++j) {
            std::swap(W(p, j), W(q, j));
        }
        for (int i = 0; i < t; ++i) {
            std::swap(W(i, p), W(i, q));
        }
        std::swap(order[static_cast<size_t>(p)], order[static_cast<size_t>(q)]);
    }

    // Chooses the pivot of step k among positions k..m-1 and moves it to k (k, k+1 for a pair).
    // Returns the pivot size.
    int choose_pivot(int k, int m, PivotRule rule) {
        constexpr double alpha = 0.6404;  // (1 + sqrt(17)) / 8
        int p                  = k;
        double gdiag           = -1.0;
        for (int i = k; i < m; ++i) {
            if (std::abs(W(i, i)) > gdiag) {
                gdiag = std::abs(W(i, i));
                p     = i;
            }
        }
        int q = -1, r = -1;
        double goff = 0.0;
        for (int i = k; i < m; ++i) {
            for (int j = i + 1; j < m; ++j) {
                if (std::abs(W(i, j)) > goff) {
                    goff = std::abs(W(i, j));
                    q    = i;
                    r    = j;
                }
            }
        }
        bool pair = false;
        if (q >= 0) {
            const double det   = W(q, q) * W(r, r) - W(q, r) * W(q, r);
            const double big   = std::max({std::abs(W(q, q)), std::abs(W(r, r)), goff});
            const bool healthy = std::abs(det) >= 0.1 * big * big;
            switch (rule) {
                case PivotRule::kBunchParlett:
                    pair = gdiag < alpha * goff;
                    break;
                case PivotRule::kPrefer2x2:
                    pair = healthy;
                    break;
                case PivotRule::kOnly1x1:
                    pair = false;
                    break;
            }
        }
        if (pair) {
            swap_positions(k, q);
            swap_positions(k + 1, r);
            return 2;
        }
        swap_positions(k, p);
        return 1;
    }

    // Eliminates positions 0..m-1; W(m.., m..) becomes the Schur complement.
    void run(int m, PivotRule rule) {
        const int t  = W.n;
        double scale = 0.0;
        for (double v : W.v) {
            scale = std::max(scale, std::abs(v));
        }
        const double tiny = 1e-12 * std::max(scale, 1.0);
        block.assign(static_cast<size_t>(m), 1);
        int k = 0;
        while (k < m) {
            const int size = choose_pivot(k, m, rule);
            if (size == 1) {
                const double d = W(k, k);
                if (std::abs(d) <= tiny) {
                    throw std::runtime_error("level producer: singular 1x1 pivot");
                }
                for (int i = k + 1; i < t; ++i) {
                    const double l = W(i, k) / d;
                    if (l == 0.0) {
                        continue;
                    }
                    for (int j = k + 1; j < t; ++j) {
                        W(i, j) -= l * W(k, j);
                    }
                }
                block[static_cast<size_t>(k)] = 1;
                k += 1;
            } else {
                const double d1 = W(k, k), c = W(k, k + 1), d2 = W(k + 1, k + 1);
                const double det = d1 * d2 - c * c;
                if (std::abs(det) <= tiny * tiny) {
                    throw std::runtime_error("level producer: singular 2x2 pivot");
                }
                const double e11 = d2 / det, e12 = -c / det, e22 = d1 / det;
                for (int i = k + 2; i < t; ++i) {
                    const double l1 = W(i, k) * e11 + W(i, k + 1) * e12;
                    const double l2 = W(i, k) * e12 + W(i, k + 1) * e22;
                    if (l1 == 0.0 && l2 == 0.0) {
                        continue;
                    }
                    for (int j = k + 2; j < t; ++j) {
                        W(i, j) -= l1 * W(k, j) + l2 * W(k + 1, j);
                    }
                }
                block[static_cast<size_t>(k)]     = 2;
                block[static_cast<size_t>(k + 1)] = 0;
                k += 2;
            }
        }
    }
};

// Symmetric compressed factor of the pivot rows 1..m of W, columns up to cmax (1-based).
void store_factor(const Elimination& e, int m, int cmax, LevelList::Level& lev) {
    const Dense& W         = e.W;
    std::vector<int>& I    = lev.index;
    std::vector<double>& V = lev.values;
    I.assign(static_cast<size_t>(2 * m + 1), 0);
    V.assign(static_cast<size_t>(2 * m + 1), 0.0);
    auto put_i = [&I](int slot, int value) {
        if (static_cast<size_t>(slot) > I.size()) {
            I.resize(static_cast<size_t>(slot), 0);
        }
        I[static_cast<size_t>(slot - 1)] = value;
    };
    auto put_v = [&V](int slot, double value) {
        if (static_cast<size_t>(slot) > V.size()) {
            V.resize(static_cast<size_t>(slot), 0.0);
        }
        V[static_cast<size_t>(slot - 1)] = value;
    };
    int next = 2 * m + 2;
    int i    = 1;
    while (i <= m) {
        const int r = i - 1;  // 0-based row of W
        if (e.block[static_cast<size_t>(r)] == 2) {
            const double d1 = W(r, r), c = W(r, r + 1), d2 = W(r + 1, r + 1);
            const double det = d1 * d2 - c * c;
            put_v(i, d2 / det);
            put_v(i + 1, d1 / det);
            put_v(m + 1 + i, -c / det);
            put_i(m + 1 + i, 1);
            put_i(m + 2 + i, 0);
            std::vector<int> cols;
            for (int j = i + 2; j <= cmax; ++j) {
                if (W(r, j - 1) != 0.0 || W(r + 1, j - 1) != 0.0) {
                    cols.push_back(j);
                }
            }
            const int len = static_cast<int>(cols.size());
            put_i(i, next);
            put_i(i + 1, next + len);
            for (int q = 0; q < len; ++q) {
                put_i(next + q, cols[static_cast<size_t>(q)]);
                put_v(next + 2 * q, W(r, cols[static_cast<size_t>(q)] - 1));
                put_v(next + 2 * q + 1, W(r + 1, cols[static_cast<size_t>(q)] - 1));
            }
            next += 2 * len;
            i += 2;
        } else {
            put_v(i, 1.0 / W(r, r));
            put_i(m + 1 + i, 0);
            put_i(i, next);
            for (int j = i + 1; j <= cmax; ++j) {
                if (W(r, j - 1) != 0.0) {
                    put_i(next, j);
                    put_v(next, W(r, j - 1));
                    ++next;
                }
            }
            i += 1;
        }
    }
    // Both arrays reach the end pointer (the holes of pairs stay 0 in I).
    const size_t length = static_cast<size_t>(std::max(next - 1, 2 * m + 1));
    I.resize(std::max(I.size(), length), 0);
    V.resize(std::max(V.size(), length), 0.0);
    lev.rec.factor_nnz        = next - 1;
    I[static_cast<size_t>(m)] = kReservedSlotValue;  // I(m+1): the factorization's own slot
}

std::vector<double> random_scaling(int t, std::mt19937_64& rng, bool scale) {
    std::vector<double> s(static_cast<size_t>(t), 1.0);
    if (scale) {
        std::uniform_real_distribution<double> dist(0.5, 2.0);
        for (double& v : s) {
            v = dist(rng);
        }
    }
    return s;
}

Dense scaled(const Dense& S, const std::vector<double>& d) {
    Dense T(S.n);
    for (int j = 0; j < S.n; ++j) {
        for (int i = 0; i < S.n; ++i) {
            T(i, j) = d[static_cast<size_t>(i)] * S(i, j) * d[static_cast<size_t>(j)];
        }
    }
    return T;
}

// General compressed rows of the rectangular block P(0..m-1, m..t-1).
Csr coupling_block(const Dense& P, int m) {
    Csr F;
    F.nr = m;
    F.nc = P.n - m;
    for (int i = 0; i < m; ++i) {
        for (int j = m; j < P.n; ++j) {
            if (P(i, j) != 0.0) {
                F.ja.push_back(j - m + 1);
                F.a.push_back(P(i, j));
            }
        }
        F.ia.push_back(static_cast<int>(F.ja.size()) + 1);
    }
    return F;
}

bool is_marked_level(const ProducerOptions& o, int l) {
    return std::find(o.marked.begin(), o.marked.end(), l) != o.marked.end();
}

}  // namespace

std::vector<int> LevelList::guarded_slots() const {
    std::vector<int> slots;
    for (const auto& lev : levels_) {
        if (lev->rec.factor_index != nullptr) {
            slots.push_back(lev->rec.factor_index[0]);
            slots.push_back(lev->rec.factor_index[lev->rec.nB]);
        }
    }
    return slots;
}

std::unique_ptr<LevelList> produce_level_list(const Csr& upper, const ProducerOptions& options) {
    const int N    = upper.nr;
    const auto& nb = options.block_sizes;
    const int L    = static_cast<int>(nb.size());
    long total     = 0;
    for (int b : nb) {
        if (b < 1) {
            throw std::invalid_argument("level producer: block sizes must be positive");
        }
        total += b;
    }
    if (L < 1 || total != N) {
        throw std::invalid_argument("level producer: block sizes must add up to the order");
    }
    if (options.dense_last && L < 2) {
        throw std::invalid_argument("level producer: a dense last level needs two levels");
    }
    if (options.dense_last && is_marked_level(options, L)) {
        throw std::invalid_argument("level producer: a dense last level cannot be marked");
    }

    auto list    = std::make_unique<LevelList>();
    list->order_ = N;
    std::mt19937_64 rng(options.seed);

    // Level 1's system is the input scaled on both sides by its colscale (= rowscale).
    std::vector<double> scale1   = random_scaling(N, rng, options.scale);
    Dense T                      = scaled(dense_from_upper(upper), scale1);
    std::vector<double> colscale = scale1;

    int offset = 0;
    for (int l = 1; l <= L; ++l) {
        auto lev_ptr     = std::make_unique<LevelList::Level>();
        auto& lev        = *lev_ptr;
        const int t      = N - offset;
        const int m      = nb[static_cast<size_t>(l - 1)];
        const bool last  = l == L;
        const bool dense = last && options.dense_last;
        lev.offset       = offset;
        lev.system       = T;
        lev.colscale     = colscale;
        if (l == 1) {
            lev.rowscale = scale1;
        }
        if (options.keep_systems) {
            lev.A = upper_from_dense(T);
        }
        LevelRecord& R = lev.rec;
        R.nlev         = L;
        R.n            = t;
        R.nB           = m;

        Dense schur;
        if (dense) {
            // Packed lower triangle of T, factored by dsptrf.
            lev.values.assign(static_cast<size_t>(t) * (t + 1) / 2, 0.0);
            for (int j = 0; j < t; ++j) {
                for (int i = j; i < t; ++i) {
                    lev.values[static_cast<size_t>(i + j * (2 * t - j - 1) / 2)] = T(i, j);
                }
            }
            lev.ipiv.assign(static_cast<size_t>(t), 0);
            int info = 0;
            dsptrf_("L", &t, lev.values.data(), lev.ipiv.data(), &info, 1);
            if (info != 0) {
                throw std::runtime_error("level producer: singular dense last level");
            }
            lev.perm.resize(static_cast<size_t>(t));
            for (int k = 0; k < t; ++k) {
                lev.perm[static_cast<size_t>(k)] = k + 1;
            }
            lev.invperm = lev.perm;
            lev.pivot_blocks.assign(static_cast<size_t>(t), -1);
            lev.permuted = T;
        } else {
            Elimination e;
            e.order.resize(static_cast<size_t>(t));
            if (options.permute) {
                std::vector<int> p =
                    random_permutation(t, options.seed * 7919 + static_cast<unsigned>(l));
                for (int k = 0; k < t; ++k) {
                    e.order[static_cast<size_t>(k)] = p[static_cast<size_t>(k)] - 1;
                }
            } else {
                for (int k = 0; k < t; ++k) {
                    e.order[static_cast<size_t>(k)] = k;
                }
            }
            e.W = Dense(t);
            for (int j = 0; j < t; ++j) {
                for (int i = 0; i < t; ++i) {
                    e.W(i, j) = T(e.order[static_cast<size_t>(i)], e.order[static_cast<size_t>(j)]);
                }
            }
            e.run(m, options.pivots);

            lev.perm.resize(static_cast<size_t>(t));
            lev.invperm.resize(static_cast<size_t>(t));
            for (int k = 0; k < t; ++k) {
                lev.perm[static_cast<size_t>(k)] = e.order[static_cast<size_t>(k)] + 1;
                lev.invperm[static_cast<size_t>(e.order[static_cast<size_t>(k)])] = k + 1;
            }
            lev.permuted = Dense(t);
            for (int j = 0; j < t; ++j) {
                for (int i = 0; i < t; ++i) {
                    lev.permuted(i, j) =
                        T(e.order[static_cast<size_t>(i)], e.order[static_cast<size_t>(j)]);
                }
            }
            const int cmax = options.coarse_reduce ? m : t;
            store_factor(e, m, cmax, lev);
            lev.pivot_blocks.assign(static_cast<size_t>(t), -1);
            for (int k = 0; k < m; ++k) {
                if (e.block[static_cast<size_t>(k)] != 1) {
                    lev.pivot_blocks[static_cast<size_t>(k)] = 2;
                }
            }
            if (!last && options.coarse_reduce) {
                lev.F = coupling_block(lev.permuted, m);
            }
            if (is_marked_level(options, l)) {
                lev.alt.assign(lev.values.begin(), lev.values.begin() + 2 * m + 1);
                for (double& v : lev.alt) {
                    v *= options.alt_scale;
                }
                lev.index[0] = -lev.index[0];
            }
            if (!last) {
                schur = Dense(t - m);
                for (int j = 0; j < t - m; ++j) {
                    for (int i = 0; i < t - m; ++i) {
                        schur(i, j) = e.W(m + i, m + j);
                    }
                }
            }
        }

        R.A               = lev.A.record();
        R.factor_index    = dense ? nullptr : lev.index.data();
        R.factor_values   = lev.values.data();
        R.coarse_ipiv     = dense ? lev.ipiv.data() : nullptr;
        R.factor_capacity = static_cast<int>(lev.values.size());
        if (!lev.F.ja.empty() || lev.F.nr > 0) {
            R.F = lev.F.record();
        }
        R.perm         = lev.perm.data();
        R.invperm      = lev.invperm.data();
        R.rowscale     = lev.rowscale.empty() ? nullptr : lev.rowscale.data();
        R.colscale     = lev.colscale.data();
        R.alt_diag     = lev.alt.empty() ? nullptr : lev.alt.data();
        R.pivot_blocks = lev.pivot_blocks.data();
        if (!list->levels_.empty()) {
            R.prev                         = &list->levels_.back()->rec;
            list->levels_.back()->rec.next = &R;
        }
        list->levels_.push_back(std::move(lev_ptr));

        if (!last) {
            const bool next_dense = l + 1 == L && options.dense_last;
            colscale              = random_scaling(t - m, rng, options.scale && !next_dense);
            T                     = scaled(schur, colscale);
            offset += m;
        }
    }
    return list;
}

std::unique_ptr<ParameterRecord> make_parameters(const ProducerOptions& options) {
    auto param       = std::make_unique<ParameterRecord>();
    *param           = ParameterRecord{};
    const int reduce = options.coarse_reduce ? static_cast<int>(COARSE_REDUCE) : 0;
    param->ifact[6]  = reduce;
    param->ifact[16] = reduce;
    param->ifact[10] = 0;
    param->ifact[11] = 1;  // one coarse correction
    param->ifact[12] = 1;  // one smoothing step
    param->ifact[13] = 1;
    param->ifact[14] = 1;  // forward Gauss-Seidel before, backward after
    param->ifact[15] = 2;
    param->damping   = 1.0;
    return param;
}

std::vector<double> exact_solution(LevelList& list, const std::vector<double>& b) {
    return solve(list.level(1).system, b);
}

// ---- Dense reference ------------------------------------------------------------------------

namespace {

using Vec = std::vector<double>;

Dense block_of(const Dense& P, int r0, int c0, int rows, int cols) {
    // Square blocks only are needed as matrices; rectangular ones are applied through loops.
    Dense B(rows);
    (void)cols;
    for (int j = 0; j < rows; ++j) {
        for (int i = 0; i < rows; ++i) {
            B(i, j) = P(r0 + i, c0 + j);
        }
    }
    return B;
}

Dense dense_of_record(const SparseMatrix& A, std::vector<char>& has_diagonal) {
    Dense d(A.nr);
    has_diagonal.assign(static_cast<size_t>(A.nr), 0);
    for (int i = 1; i <= A.nr; ++i) {
        for (int k = A.ia[i - 1]; k < A.ia[i]; ++k) {
            const int j = A.ja[k - 1];
            d(i - 1, j - 1) += A.a[k - 1];
            if (j != i) {
                d(j - 1, i - 1) += A.a[k - 1];
            } else {
                has_diagonal[static_cast<size_t>(i - 1)] = 1;
            }
        }
    }
    return d;
}

Vec minus_product(const Vec& r, const Dense& A, const Vec& e) {
    Vec out     = r;
    const Vec y = multiply(A, e);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] -= y[i];
    }
    return out;
}

void add_into(Vec& sum, const Vec& e) {
    for (size_t i = 0; i < sum.size(); ++i) {
        sum[i] += e[i];
    }
}

}  // namespace

DenseModel::DenseModel(LevelList& list, const ProducerOptions& options)
    : list_(list), options_(options) {}

int DenseModel::steps(int l, int k) const {
    if (l == list_.nlev() - 1 && options_.dense_last && k > 0) {
        return 1;
    }
    return k;
}

std::vector<double> DenseModel::last(int l, const std::vector<double>& g) const {
    const auto& lev = list_.level(l);
    Vec x           = solve(lev.system, g);
    if (!(options_.dense_last && l == list_.nlev()) && is_marked_level(options_, l)) {
        for (double& v : x) {
            v *= options_.alt_scale;
        }
    }
    return x;
}

template <class Coarse>
std::vector<double> DenseModel::level_step(int l, const std::vector<double>& g,
                                           const Coarse& coarse) const {
    const auto& lev    = list_.level(l);
    const int t        = lev.rec.n;
    const int m        = lev.rec.nB;
    const double alpha = is_marked_level(options_, l) ? options_.alt_scale : 1.0;
    const Dense& P     = lev.permuted;
    Vec w(static_cast<size_t>(t));
    for (int k = 0; k < t; ++k) {
        w[static_cast<size_t>(k)] = g[static_cast<size_t>(lev.perm[static_cast<size_t>(k)] - 1)];
    }
    const Dense B = block_of(P, 0, 0, m, m);
    const Vec y   = solve(B, Vec(w.begin(), w.begin() + m));
    Vec g2(static_cast<size_t>(t - m));
    for (int j = 0; j < t - m; ++j) {
        double s = 0.0;
        for (int i = 0; i < m; ++i) {
            s += P(i, m + j) * y[static_cast<size_t>(i)];
        }
        g2[static_cast<size_t>(j)] = w[static_cast<size_t>(m + j)] - s;
    }
    const bool next_dense = options_.dense_last && l + 1 == list_.nlev();
    const auto& D         = list_.level(l + 1).colscale;
    if (!next_dense) {
        for (int j = 0; j < t - m; ++j) {
            g2[static_cast<size_t>(j)] *= D[static_cast<size_t>(j)];
        }
    }
    Vec x2 = coarse(g2);
    if (!next_dense) {
        for (int j = 0; j < t - m; ++j) {
            x2[static_cast<size_t>(j)] *= D[static_cast<size_t>(j)];
        }
    }
    Vec fx(static_cast<size_t>(m), 0.0);
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < t - m; ++j) {
            fx[static_cast<size_t>(i)] += P(i, m + j) * x2[static_cast<size_t>(j)];
        }
    }
    const Vec u = solve(B, fx);
    Vec x(static_cast<size_t>(t));
    for (int k = 0; k < t; ++k) {
        const double v = k < m ? alpha * y[static_cast<size_t>(k)] - u[static_cast<size_t>(k)]
                               : x2[static_cast<size_t>(k - m)];
        x[static_cast<size_t>(lev.perm[static_cast<size_t>(k)] - 1)] = v;
    }
    return x;
}

std::vector<double> DenseModel::ilu(int l, const std::vector<double>& g) const {
    if (l == list_.nlev()) {
        return last(l, g);
    }
    return level_step(l, g, [&](const Vec& h) { return ilu(l + 1, h); });
}

std::vector<double> DenseModel::amli(int l, const std::vector<double>& g, int k) const {
    if (l == list_.nlev()) {
        return last(l, g);
    }
    const int kk = std::max(1, steps(l, k));
    return level_step(l, g, [&](const Vec& h) {
        const Dense& S = list_.level(l + 1).system;
        Vec residual   = h;
        Vec c          = amli(l + 1, residual, k);
        Vec sum        = c;
        for (int j = 1; j < kk; ++j) {
            residual = minus_product(residual, S, c);
            c        = amli(l + 1, residual, k);
            add_into(sum, c);
        }
        return sum;
    });
}

std::vector<double> DenseModel::smooth(int l, const std::vector<double>& r, int kind, bool pre,
                                       double damping) const {
    const auto& lev = list_.level(l);
    const int t     = lev.rec.n;
    const int m     = lev.rec.nB;
    std::vector<char> has_diag;
    const Dense A = dense_of_record(lev.rec.A, has_diag);
    std::vector<int> p(static_cast<size_t>(t));  // 0-based level unknown of position k
    for (int k = 0; k < t; ++k) {
        p[static_cast<size_t>(k)] = lev.rec.perm[k] - 1;
    }
    Dense Ap(t);
    for (int j = 0; j < t; ++j) {
        for (int i = 0; i < t; ++i) {
            Ap(i, j) = A(p[static_cast<size_t>(i)], p[static_cast<size_t>(j)]);
        }
        if (!has_diag[static_cast<size_t>(p[static_cast<size_t>(j)])]) {
            Ap(j, j) = 1.0;
        }
    }
    Vec rp(static_cast<size_t>(t));
    for (int k = 0; k < t; ++k) {
        rp[static_cast<size_t>(k)] = r[static_cast<size_t>(p[static_cast<size_t>(k)])];
    }
    // partner[k]: the other member of k's 2x2 block, or -1.
    std::vector<int> partner(static_cast<size_t>(t), -1);
    const int* pb = lev.rec.pivot_blocks;
    for (int k = 0; k < t; ++k) {
        if (pb[k] >= 0 && k + 1 < t && partner[static_cast<size_t>(k)] < 0) {
            partner[static_cast<size_t>(k)]     = k + 1;
            partner[static_cast<size_t>(k + 1)] = k;
        }
    }
    int step = 5;
    switch (kind) {
        case 1:
            step = pre ? 1 : 2;
            break;
        case 2:
            step = pre ? 2 : 1;
            break;
        case 3:
            step = 3;
            break;
        case 4:
            step = 4;
            break;
        default:
            step = 5;
    }
    Vec e(static_cast<size_t>(t), 0.0);
    if (step == 1 || step == 2) {
        Dense M(t);
        for (int j = 0; j < t; ++j) {
            for (int i = 0; i < t; ++i) {
                const bool in_block = i == j || partner[static_cast<size_t>(i)] == j;
                if (in_block || (step == 1 ? j < i : j > i)) {
                    M(i, j) = Ap(i, j);
                }
            }
        }
        e = solve(M, rp);
    } else if (step == 3) {
        for (int i = 0; i < t; ++i) {
            const int q = partner[static_cast<size_t>(i)];
            if (q < 0) {
                e[static_cast<size_t>(i)] = rp[static_cast<size_t>(i)] / Ap(i, i);
            } else if (q > i) {
                const double d1 = Ap(i, i), d2 = Ap(q, q), c = Ap(i, q);
                const double det = d1 * d2 - c * c;
                e[static_cast<size_t>(i)] =
                    damping * (d2 * rp[static_cast<size_t>(i)] - c * rp[static_cast<size_t>(q)]) /
                    det;
                e[static_cast<size_t>(q)] =
                    damping * (d1 * rp[static_cast<size_t>(q)] - c * rp[static_cast<size_t>(i)]) /
                    det;
            }
        }
    } else if (step == 4) {
        const Dense B = block_of(lev.permuted, 0, 0, m, m);
        const Vec y   = solve(B, Vec(rp.begin(), rp.begin() + m));
        std::copy(y.begin(), y.end(), e.begin());
    } else {
        e = rp;
    }
    Vec out(static_cast<size_t>(t));
    for (int k = 0; k < t; ++k) {
        out[static_cast<size_t>(p[static_cast<size_t>(k)])] = e[static_cast<size_t>(k)];
    }
    return out;
}

std::vector<double> DenseModel::mg(int l, const std::vector<double>& g, int kind, int ns, int k,
                                   double damping) const {
    if (l == list_.nlev()) {
        return last(l, g);
    }
    int kk = steps(l, k);
    if (ns <= 0 && kk <= 0) {
        kk = 1;
    }
    std::vector<char> has_diag;
    const Dense A = dense_of_record(list_.level(l).rec.A, has_diag);
    Vec sum(g.size(), 0.0);
    Vec r = g;
    Vec e;
    bool any = false;
    for (int s = 1; s <= ns; ++s) {
        e = smooth(l, r, kind, true, damping);
        add_into(sum, e);
        any = true;
        if (s < ns) {
            r = minus_product(r, A, e);
        }
    }
    for (int j = 1; j <= kk; ++j) {
        if (any) {
            r = minus_product(r, A, e);
        }
        e = level_step(l, r, [&](const Vec& h) { return mg(l + 1, h, kind, ns, k, damping); });
        add_into(sum, e);
        any = true;
    }
    for (int s = 1; s <= ns; ++s) {
        r = minus_product(r, A, e);
        e = smooth(l, r, kind, false, damping);
        add_into(sum, e);
    }
    return sum;
}

}  // namespace trelvak::test
