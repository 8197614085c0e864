// indfc.cpp: fine/coarse splitting of the nodes of a symmetric matrix, the choice of the leading
// block that the next level of the multilevel factorization eliminates. The greedy coarsening
// and its second pass follow the classical algebraic multigrid splitting, preceded by a test
// that keeps diagonally dominant nodes fine and poorly dominated or dense nodes coarse.
//   DSYMindfc    strength of an entry by its magnitude
//   DSYMindfcv   strength by the entry weighted with a test vector
//
// On entry A: upper triangle with diagonal, 1-based, order n = A.nr; tau in (0, 1).
//   1. d(i) = |a(i,i)|, m(i) = largest off-diagonal |a| of the full row i, deg(i) = its entries.
//   2. Z = trunc(max(avg + 3 (sigma + 1), 3 avg)), avg = 2 nnz/n, sigma the deviation of deg.
//   3. deg(i) > Z or tau m(i) > d(i): coarse at once (positions n, n-1, ... in index order).
//   4. Sum of |a(i,j)| over the off-diagonal entries with j not coarse below (1 - tau) d(i): fine
//      at once (positions 1, 2, ... in index order).
//   5. (i,j) is strong for i when |a(i,j)| >= tau m(i); the weighted form uses |a(i,j) t(j)|
//      against the weighted maximum and asks that a(i,j) t(j) have the sign of the weighted row
//      sum s(i) (|s(i)| > |s(i) - a(i,j) t(j)|).
//   6. Greedy coarsening of the rest by measures (the number of nodes a node strongly
//      influences), bucket lists with the newest node at the head.
//   7. Second pass: a fine node with two fine strong dependencies that share no coarse node with
//      it becomes coarse; with one, that dependency becomes coarse (or the node itself when the
//      dependency was examined before it).
// On exit perm(i) = new position of node i (fine nodes 1..nB, coarse nodes nB+1..n), nB the
// number of fine nodes.
// Work: ibuff 7n+3 ints; dbuff 3n doubles. The strong lists and their transposes are allocated
// ("indFC:S", "indFC:ST"); DSYMindfcv also allocates the weighted row sums ("symindFCv:sumtv").
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "common/buffer.h"
#include "common/onebased.h"
#include "preprocess/preprocess.h"

namespace {

using trelvak::View1;

// Bucket lists of the undecided nodes by measure; a node enters at the head.
struct Buckets {
    View1<int> head;  // head(m + 1) = first node of measure m, 0 when empty
    View1<int> next;
    View1<int> prev;
    View1<int> measure;
    int top = 0;  // no bucket above top is non-empty

    void insert(int i) {
        const int m = measure(i);
        const int h = head(m + 1);
        next(i)     = h;
        prev(i)     = 0;
        if (h != 0) {
            prev(h) = i;
        }
        head(m + 1) = i;
        top         = std::max(top, m);
    }
    void remove(int i) {
        const int m = measure(i);
        if (prev(i) != 0) {
            next(prev(i)) = next(i);
        } else {
            head(m + 1) = next(i);
        }
        if (next(i) != 0) {
            prev(next(i)) = prev(i);
        }
    }
    // Head of the highest non-empty bucket, or 0.
    int pop_highest() {
        while (top >= 0 && head(top + 1) == 0) {
            --top;
        }
        if (top < 0) {
            return 0;
        }
        const int i = head(top + 1);
        remove(i);
        return i;
    }
};

// strong(k, i, j) tells for the stored entry k = (i, j) whether it is strong for i (first) and
// for j (second).
// reweigh(m) may replace the maxima m after step 4 (the weighted form).
template <class Reweigh, class Strength>
void split(SparseMatrix A, int* perm_in, int* nB, double tau, int* ibuff, double* dbuff,
           Reweigh reweigh, Strength strong_for) {
    const int n = A.nr;
    *nB         = 0;
    if (n <= 0) {
        return;
    }
    const auto ia    = trelvak::view1(A.ia, n + 1);
    const auto ja    = trelvak::view1(A.ja);
    const auto a     = trelvak::view1(A.a);
    const auto pos   = trelvak::view1(perm_in, n);  // 0 while undecided
    const auto sptr  = trelvak::view1(ibuff, n + 1);
    const auto stptr = trelvak::view1(ibuff + n + 1, n + 1);
    const auto deg   = trelvak::view1(ibuff + 2 * n + 2, n);  // then 4n+1 ints for steps 6, 7
    const auto d     = trelvak::view1(dbuff, n);
    const auto m     = trelvak::view1(dbuff + n, n);
    const auto rsum  = trelvak::view1(dbuff + 2 * n, n);

    // Step 1.
    for (int i = 1; i <= n; ++i) {
        d(i)   = 0.0;
        m(i)   = 0.0;
        deg(i) = 0;
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const int j    = ja(k);
            const double v = std::fabs(a(k));
            ++deg(i);
            if (j == i) {
                d(i) = v;
            } else {
                ++deg(j);
                m(i) = std::fmax(m(i), v);
                m(j) = std::fmax(m(j), v);
            }
        }
    }

    // Step 2.
    const double nnz = ia(n + 1) - 1;
    const double avg = 2.0 * nnz / n;
    double var       = 0.0;
    for (int i = 1; i <= n; ++i) {
        var += (deg(i) - avg) * (deg(i) - avg);
    }
    const double sigma = std::sqrt(var / n);
    const int Z        = static_cast<int>(std::fmax(avg + 3.0 * (sigma + 1.0), 3.0 * avg));

    // Step 3: coarse from the end.
    int nfine   = 0;
    int ncoarse = 0;
    for (int i = 1; i <= n; ++i) {
        pos(i) = 0;
        if (deg(i) > Z || tau * m(i) > d(i)) {
            pos(i) = n - ncoarse;
            ++ncoarse;
        }
    }

    // Step 4: fine from the front, judged against the entries to nodes that are not coarse.
    for (int i = 1; i <= n; ++i) {
        rsum(i) = 0.0;
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const int j = ja(k);
            if (j == i) {
                continue;
            }
            const double v = std::fabs(a(k));
            if (pos(j) == 0) {
                rsum(i) += v;
            }
            if (pos(i) == 0) {
                rsum(j) += v;
            }
        }
    }
    for (int i = 1; i <= n; ++i) {
        if (pos(i) == 0 && rsum(i) < (1.0 - tau) * d(i)) {
            pos(i) = ++nfine;
        }
    }
    // The weighted form judges strength against its own maxima.
    reweigh(m);

    // Step 5: strong lists. S(i): the nodes i strongly depends on; ST(j): the nodes that
    // strongly depend on j (that j strongly influences).
    for (int i = 1; i <= n + 1; ++i) {
        sptr(i)  = 0;
        stptr(i) = 0;
    }
    long nstrong = 0;
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const int j = ja(k);
            if (j == i) {
                continue;
            }
            const auto [for_i, for_j] = strong_for(k, i, j, m);
            if (for_i) {
                ++sptr(i + 1);
                ++stptr(j + 1);
                ++nstrong;
            }
            if (for_j) {
                ++sptr(j + 1);
                ++stptr(i + 1);
                ++nstrong;
            }
        }
    }
    sptr(1)  = 1;
    stptr(1) = 1;
    for (int i = 1; i <= n; ++i) {
        sptr(i + 1) += sptr(i);
        stptr(i + 1) += stptr(i);
    }
    auto s_block  = trelvak::allocate_nonempty<int>(nstrong, "indFC:S");
    auto st_block = trelvak::allocate_nonempty<int>(nstrong, "indFC:ST");
    const auto S  = trelvak::view1(s_block.get());
    const auto ST = trelvak::view1(st_block.get());
    // Fill using the row pointers as cursors (shifted back afterwards).
    for (int i = n; i >= 1; --i) {
        sptr(i + 1)  = sptr(i);
        stptr(i + 1) = stptr(i);
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const int j = ja(k);
            if (j == i) {
                continue;
            }
            const auto [for_i, for_j] = strong_for(k, i, j, m);
            if (for_i) {
                S(sptr(i + 1)++)   = j;
                ST(stptr(j + 1)++) = i;
            }
            if (for_j) {
                S(sptr(j + 1)++)   = i;
                ST(stptr(i + 1)++) = j;
            }
        }
    }

    // Steps 6 and 7.
    fc_greedy_split(n, pos.data(), &nfine, &ncoarse, sptr.data(), S.data(), stptr.data(), ST.data(),
                    ibuff + 2 * n + 2);
    *nB = nfine;
}

}  // namespace

void fc_greedy_split(int n, int* pos_in, int* nfine_io, int* ncoarse_io, const int* sptr_in,
                     const int* s_in, const int* stptr_in, const int* st_in, int* work) {
    if (n <= 0) {
        return;
    }
    const auto pos   = trelvak::view1(pos_in, n);
    const auto sptr  = trelvak::view1(sptr_in, n + 1);
    const auto S     = trelvak::view1(s_in);
    const auto stptr = trelvak::view1(stptr_in, n + 1);
    const auto ST    = trelvak::view1(st_in);
    const auto meas  = trelvak::view1(work, n);
    const auto bnext = trelvak::view1(work + n, n);
    const auto bprev = trelvak::view1(work + 2 * n, n);
    const auto bhead = trelvak::view1(work + 3 * n, n + 1);
    int nfine        = *nfine_io;
    int ncoarse      = *ncoarse_io;

    // Greedy coarsening: the undecided node of highest measure becomes coarse, the undecided
    // nodes it strongly influences become fine, and the measures follow.
    Buckets b{bhead, bnext, bprev, meas};
    for (int x = 1; x <= n + 1; ++x) {
        bhead(x) = 0;
    }
    for (int i = 1; i <= n; ++i) {
        if (pos(i) == 0) {
            meas(i) = std::min(stptr(i + 1) - stptr(i), n);
            b.insert(i);
        }
    }
    while (true) {
        const int c = b.pop_highest();
        if (c == 0) {
            break;
        }
        pos(c) = n - ncoarse;
        ++ncoarse;
        for (int q = stptr(c); q < stptr(c + 1); ++q) {
            const int f = ST(q);
            if (pos(f) != 0) {
                continue;
            }
            b.remove(f);
            pos(f) = ++nfine;
            for (int r = sptr(f); r < sptr(f + 1); ++r) {
                const int k = S(r);
                if (pos(k) == 0 && meas(k) < n) {
                    b.remove(k);
                    ++meas(k);
                    b.insert(k);
                }
            }
        }
        for (int r = sptr(c); r < sptr(c + 1); ++r) {
            const int k = S(r);
            if (pos(k) == 0 && meas(k) > 0) {
                b.remove(k);
                --meas(k);
                b.insert(k);
            }
        }
    }

    // Second pass over the fine positions. at(q) is the node at position q; mark(x) == i flags
    // the coarse dependencies of the fine node i, its tentative coarse node included.
    const auto at   = bnext;
    const auto mark = bprev;
    for (int i = 1; i <= n; ++i) {
        at(pos(i)) = i;
        mark(i)    = 0;
    }
    // A node turning coarse trades places with the last fine node; the fine block shrinks.
    const auto make_coarse = [&](int x) {
        const int q    = pos(x);
        const int last = at(nfine);
        at(q)          = last;
        pos(last)      = q;
        at(nfine)      = x;
        pos(x)         = nfine;
        --nfine;
    };
    int q = 1;
    while (q <= nfine) {
        const int i = at(q);
        for (int r = sptr(i); r < sptr(i + 1); ++r) {
            if (pos(S(r)) > nfine) {
                mark(S(r)) = i;
            }
        }
        int tentative = 0;
        bool i_turns  = false;
        for (int r = sptr(i); r < sptr(i + 1) && !i_turns; ++r) {
            const int j = S(r);
            if (pos(j) > nfine || mark(j) == i) {
                continue;  // coarse, or the tentative coarse node
            }
            bool covered = false;
            for (int t = sptr(j); t < sptr(j + 1); ++t) {
                if (mark(S(t)) == i) {
                    covered = true;
                    break;
                }
            }
            if (covered) {
                continue;
            }
            // A conflict: j shares no coarse node with i.
            if (tentative != 0 || pos(j) < pos(i)) {
                i_turns = true;
            } else {
                tentative = j;
                mark(j)   = i;
            }
        }
        if (i_turns) {
            // The node moved into position q is examined next.
            make_coarse(i);
            continue;
        }
        if (tentative != 0) {
            make_coarse(tentative);
        }
        ++q;
    }
    *nfine_io   = nfine;
    *ncoarse_io = n - nfine;
}

void DSYMindfc(SparseMatrix A, int* perm, int* nB, double tau, int* ibuff, double* dbuff) {
    const auto a = trelvak::view1(A.a);
    split(
        A, perm, nB, tau, ibuff, dbuff, [](View1<double>) {},
        [&](int k, int i, int j, View1<double> m) {
            const double v = std::fabs(a(k));
            return std::pair<bool, bool>{v > 0.0 && v >= tau * m(i), v > 0.0 && v >= tau * m(j)};
        });
}

void DSYMindfcv(SparseMatrix A, int* perm, int* nB, double tau, int* ibuff, double* dbuff,
                const double* tv_in, int /*flag*/) {
    const int n = A.nr;
    if (n <= 0) {
        *nB = 0;
        return;
    }
    const auto ia  = trelvak::view1(A.ia, n + 1);
    const auto ja  = trelvak::view1(A.ja);
    const auto a   = trelvak::view1(A.a);
    const auto t   = trelvak::view1(tv_in, n);
    auto sum_block = trelvak::allocate_nonempty<double>(n, "symindFCv:sumtv");
    const auto s   = trelvak::view1(sum_block.get(), n);
    // Weighted maxima m(i) = max |a(i,j) t(j)| and signed sums s(i) = sum a(i,j) t(j) over the
    // off-diagonal entries of the full rows.
    const auto reweigh = [&](View1<double> m) {
        for (int i = 1; i <= n; ++i) {
            m(i) = 0.0;
            s(i) = 0.0;
        }
        for (int i = 1; i <= n; ++i) {
            for (int k = ia(i); k < ia(i + 1); ++k) {
                const int j = ja(k);
                if (j == i) {
                    continue;
                }
                m(i) = std::fmax(m(i), std::fabs(a(k) * t(j)));
                m(j) = std::fmax(m(j), std::fabs(a(k) * t(i)));
                s(i) += a(k) * t(j);
                s(j) += a(k) * t(i);
            }
        }
    };
    const auto strong = [&](double w, double m, double sum) {
        return std::fabs(w) > 0.0 && std::fabs(w) >= tau * m && std::fabs(sum) > std::fabs(sum - w);
    };
    split(A, perm, nB, tau, ibuff, dbuff, reweigh, [&](int k, int i, int j, View1<double> m) {
        return std::pair<bool, bool>{strong(a(k) * t(j), m(i), s(i)),
                                     strong(a(k) * t(i), m(j), s(j))};
    });
}
