// symwm.cpp: DSYMsmwm, the split of a maximum weight matching of a symmetric matrix into 1x1
// pivots and 2x2 pivot pairs (cycles of the matching permutation are cut into pairs of
// neighbours).
//
// The matching p is a permutation; its cycles i -> p(i) are taken from their smallest node v.
// A fixed point stays a 1x1 pivot and a 2-cycle a pair. A longer cycle x0 = v, x1 = p(v), ...
// is cut into pairs of neighbours along the cycle, guided by edge scores: edge t joins
// x = x_t and y = x_{t+1} and scores
//     max(m - |g|, 0) * (|g| + td) / (1e-30 + |d(x) d(y) - g^2|)
// with g = a(x,y), d the signed diagonal, s the off-diagonal row sums of magnitudes,
// m = max(s(x), s(y)) and td = max(|d(x)|, |d(y)|). An even cycle takes the edges of even t,
// unless their score sum exceeds that of the odd ones. An odd cycle keeps one 1x1 pivot: the
// node with the smallest s(x)/|d(x)| (d(x) != 0, ratio below 1e30; the first one on the walk),
// and pairs the rest from its successor on; if no node qualifies, the first c-1 edges are scored
// and the leftover node becomes the 1x1 pivot.
//
// On entry A is the upper triangle with the diagonal (1-based), p the matching (a p that is not
// a permutation of 1..n is treated as the identity).
// On exit p lists the 1x1 pivots in increasing order, then every pair as (larger, smaller) in
// increasing order of the smaller index; the result is the number of 1x1 pivots.
// Work: iwork(n) ints (the partner of each node), dwork(2n) doubles (d, then s).
#include <algorithm>
#include <cmath>

#include "common/onebased.h"
#include "preprocess/preprocess.h"

using trelvak::View1;
using trelvak::view1;

namespace {

struct CycleScores {
    View1<const int> ia, ja;
    View1<const double> a;
    View1<double> d, s;

    // a(x,y) from row x, else row y; 0 when not stored.
    double entry(int x, int y) const {
        for (int k = ia(x); k < ia(x + 1); ++k) {
            if (ja(k) == y) {
                return a(k);
            }
        }
        for (int k = ia(y); k < ia(y + 1); ++k) {
            if (ja(k) == x) {
                return a(k);
            }
        }
        return 0.0;
    }

    double score(int x, int y) const {
        const double g  = std::fabs(entry(x, y));
        const double m  = std::max(s(x), s(y));
        const double td = std::max(std::fabs(d(x)), std::fabs(d(y)));
        return std::max(m - g, 0.0) * (g + td) / (1e-30 + std::fabs(d(x) * d(y) - g * g));
    }

    // Sums of the scores of the even- and odd-numbered edges among the first `edges` edges of
    // the cycle that starts at v.
    void sums(View1<const int> p, int v, int edges, double* even, double* odd) const {
        *even = 0.0;
        *odd  = 0.0;
        int x = v;
        for (int t = 0; t < edges; ++t) {
            const int y = p(x);
            (t % 2 == 0 ? *even : *odd) += score(x, y);
            x = y;
        }
    }
};

// Pairs `pairs` consecutive couples along the cycle from x on; returns the node after them.
int pair_along(View1<const int> p, View1<int> partner, int x, int pairs) {
    for (int t = 0; t < pairs; ++t) {
        const int y = p(x);
        partner(x)  = y;
        partner(y)  = x;
        x           = p(y);
    }
    return x;
}

}  // namespace

int DSYMsmwm(SparseMatrix A, int* p_in, int* iwork, double* dwork) {
    const int n = A.nr;
    if (n <= 0) {
        return 0;
    }
    auto p       = view1(p_in, n);
    auto cp      = view1(static_cast<const int*>(p_in), n);
    auto partner = view1(iwork, n);  // 0 = cycle not visited yet
    CycleScores sc{view1(static_cast<const int*>(A.ia), n + 1),
                   view1(static_cast<const int*>(A.ja)), view1(static_cast<const double*>(A.a)),
                   view1(dwork, n), view1(dwork + n, n)};

    // d(i) = a(i,i), s(i) = sum of |a(i,j)|, j != i, over the full row i.
    for (int i = 1; i <= n; ++i) {
        sc.d(i)    = 0.0;
        sc.s(i)    = 0.0;
        partner(i) = 0;
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = sc.ia(i); k < sc.ia(i + 1); ++k) {
            const int j = sc.ja(k);
            if (j == i) {
                sc.d(i) = sc.a(k);
            } else {
                sc.s(i) += std::fabs(sc.a(k));
                sc.s(j) += std::fabs(sc.a(k));
            }
        }
    }

    // A p that is not a permutation of 1..n would send the cycle walks astray: take the identity.
    bool valid = true;
    for (int i = 1; i <= n && valid; ++i) {
        const int j = p(i);
        valid       = j >= 1 && j <= n && partner(j) == 0;
        if (valid) {
            partner(j) = 1;
        }
    }
    for (int i = 1; i <= n; ++i) {
        partner(i) = 0;
        if (!valid) {
            p(i) = i;
        }
    }

    for (int v = 1; v <= n; ++v) {
        if (partner(v) != 0) {
            continue;
        }
        int c = 1;
        for (int x = p(v); x != v; x = p(x)) {
            ++c;
        }
        if (c == 1) {
            partner(v) = v;
        } else if (c % 2 == 0) {
            double even = 0.0;
            double odd  = 0.0;
            if (c > 2) {
                sc.sums(cp, v, c, &even, &odd);
            }
            // Ties take the even edges, starting at v.
            pair_along(cp, partner, even > odd ? p(v) : v, c / 2);
        } else {
            // One 1x1 pivot: the node with the smallest ratio s/|d|.
            int single  = 0;
            double best = 1e30;
            int x       = v;
            for (int t = 0; t < c; ++t) {
                if (sc.d(x) != 0.0) {
                    const double ratio = sc.s(x) / std::fabs(sc.d(x));
                    if (ratio < best) {
                        best   = ratio;
                        single = x;
                    }
                }
                x = p(x);
            }
            if (single != 0) {
                partner(single) = single;
                pair_along(cp, partner, p(single), (c - 1) / 2);
            } else {
                double even = 0.0;
                double odd  = 0.0;
                sc.sums(cp, v, c - 1, &even, &odd);
                const int last = pair_along(cp, partner, even > odd ? p(v) : v, (c - 1) / 2);
                partner(last)  = last;
            }
        }
    }

    // Rewrite p: the 1x1 pivots, then the pairs, larger index first.
    int k = 0;
    for (int i = 1; i <= n; ++i) {
        if (partner(i) == i) {
            p(++k) = i;
        }
    }
    const int nsingle = k;
    for (int i = 1; i <= n; ++i) {
        if (partner(i) > i) {
            p(++k) = partner(i);
            p(++k) = i;
        }
    }
    return nsingle;
}
