// pindfc.cpp: fine/coarse splitting in block form for the matching-based reorderings. The matrix
// is read in its current order (position i holds index p(i)); consecutive positions that form a
// good 2x2 pivot are one unit, and units are split like the nodes of DSYMindfc (indfc.cpp), so
// the two positions of a 2x2 unit always stay together.
//   DSYMpindfc    couplings by magnitude
//   DSYMpindfcv   couplings weighted by the test vector tv (given in the input numbering):
//                 the entry a(r,c) counts as |a(r,c) t(c)| in the strength test of step 7
//
// On entry A: upper triangle with diagonal, 1-based, order n; p (position -> index) and invq
// (its inverse) give the current order; tau in (0, 1).
//   1. S(i) = sum of the off-diagonal magnitudes of the full row at position i.
//   2. Units along the positions: with a = a(i,i), c = a(i+1,i+1), b = a(i,i+1), det =
//      |ac - b^2|, x = max(|a|+|b|, |c|+|b|): a 1x1 unit (d = |a|) when |b| <= 0.1 min(|a|,|c|);
//      else a 2x2 unit (d = det) when a = 0 and det != 0, or when it passes the growth test
//      det t1 > t2 |a||c| (t1 = max(|c| S(i), |a| S(i+1)), S' = max(S - |b|, 0),
//      t2 = max(S'(i+1)|a| + |b| S'(i), |b| S'(i+1) + S'(i)|c|)); else 1x1.
//   3. Coupling of a unit to a neighbouring unit: the largest row sum of magnitudes (each at
//      least 1e-30) of the entries linking one of its rows to that unit; m = largest coupling,
//      S = sum of couplings; deg(i) = entries of the full row at position i.
//   4. Z = trunc(max(avg + 3 (sigma + 1), 3 avg)) over deg, avg = 2 nnz / n.
//   5. Coarse at once: 1x1 with deg > Z or d < tau m; 2x2 with deg > Z at either position or
//      det < tau m x.
//   6. Fine at once: 1x1 with S < (1 - tau) d; 2x2 with S x < (1 - tau) det.
//   7. The rest: a coupling is strong for a unit when it is at least tau times the unit's
//      largest coupling; greedy coarsening and second pass over units (fc_greedy_split).
// On exit ibuff(1..n) = new rank of every position (fine units first, in their order, then the
// coarse ones), nB = number of fine positions. p, invq and A are not changed.
// Work: ibuff 9n+3 ints (10n+3 for the weighted form), dbuff 6n doubles (8n). The full position
// graph and the unit lists are allocated under the routine's tags and released before return.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/buffer.h"
#include "common/onebased.h"
#include "preprocess/preprocess.h"

namespace {

struct Tags {
    const char* graph_ja;
    const char* graph_a;
    const char* units;
    const char* s;
    const char* st;
};

void block_split(SparseMatrix A, const int* p_in, const int* invq_in, int* nB, double tau,
                 int* ibuff, double* dbuff, const double* tv, const Tags& tags) {
    const int n = A.nr;
    *nB         = 0;
    if (n <= 0) {
        return;
    }
    const auto ia   = trelvak::view1(A.ia, n + 1);
    const auto ja   = trelvak::view1(A.ja);
    const auto a    = trelvak::view1(A.a);
    const auto p    = trelvak::view1(p_in, n);
    const auto invq = trelvak::view1(invq_in, n);
    const int nnz   = ia(n + 1) - 1;

    // ibuff: rank (loc while coupling) | unit_of | ufirst | upos | 4n+1 work.
    const auto rank    = trelvak::view1(ibuff, n);
    const auto loc     = rank;
    const auto unit_of = trelvak::view1(ibuff + n, n);
    const auto ufirst  = trelvak::view1(ibuff + 2 * n, n);
    const auto upos    = trelvak::view1(ibuff + 3 * n, n);
    int* const work    = ibuff + 4 * n;
    // dbuff: S(i) then acc | diagonal then m | b(i,i+1) then Ssum | d | x | spare.
    const auto Spos  = trelvak::view1(dbuff, n);
    const auto acc   = Spos;
    const auto dpos  = trelvak::view1(dbuff + n, n);
    const auto m     = dpos;
    const auto bnext = trelvak::view1(dbuff + 2 * n, n);
    const auto Ssum  = bnext;
    const auto d     = trelvak::view1(dbuff + 3 * n, n);
    const auto x     = trelvak::view1(dbuff + 4 * n, n);

    // The full graph in positions, diagonal included (it counts in the degrees).
    auto gblock     = trelvak::allocate_nonempty<int>(n + 1L + 2L * nnz, tags.graph_ja);
    auto vblock     = trelvak::allocate_nonempty<double>(2L * nnz, tags.graph_a);
    const auto gptr = trelvak::view1(gblock.get(), n + 1);
    const auto gidx = trelvak::view1(gblock.get() + n + 1);
    const auto gval = trelvak::view1(vblock.get());
    for (int i = 1; i <= n + 1; ++i) {
        gptr(i) = 0;
    }
    for (int r = 1; r <= n; ++r) {
        for (int k = ia(r); k < ia(r + 1); ++k) {
            ++gptr(invq(r) + 1);
            if (ja(k) != r) {
                ++gptr(invq(ja(k)) + 1);
            }
        }
    }
    gptr(1) = 1;
    for (int i = 1; i <= n; ++i) {
        gptr(i + 1) += gptr(i);
    }
    for (int i = n; i >= 1; --i) {
        gptr(i + 1) = gptr(i);
    }
    for (int i = 1; i <= n; ++i) {
        Spos(i)  = 0.0;
        dpos(i)  = 0.0;
        bnext(i) = 0.0;
    }
    for (int r = 1; r <= n; ++r) {
        const int pr = invq(r);
        for (int k = ia(r); k < ia(r + 1); ++k) {
            const int pc         = invq(ja(k));
            gidx(gptr(pr + 1))   = pc;
            gval(gptr(pr + 1)++) = a(k);
            if (pc == pr) {
                dpos(pr) = a(k);
                continue;
            }
            gidx(gptr(pc + 1))   = pr;
            gval(gptr(pc + 1)++) = a(k);
            Spos(pr) += std::fabs(a(k));
            Spos(pc) += std::fabs(a(k));
            if (pc == pr + 1 || pr == pc + 1) {
                bnext(std::min(pr, pc)) = a(k);
            }
        }
    }

    // Step 2: units.
    int nu = 0;
    for (int i = 1; i <= n;) {
        ++nu;
        ufirst(nu) = i;
        unit_of(i) = nu;
        bool pair  = false;
        if (i < n) {
            const double aa  = dpos(i);
            const double cc  = dpos(i + 1);
            const double bb  = bnext(i);
            const double fa  = std::fabs(aa);
            const double fb  = std::fabs(bb);
            const double fc  = std::fabs(cc);
            const double det = std::fabs(aa * cc - bb * bb);
            x(nu)            = std::fmax(fa + fb, fc + fb);
            if (fb <= 0.1 * std::fmin(fa, fc)) {
                pair = false;
            } else if (aa == 0.0 && det != 0.0) {
                pair = true;
            } else {
                const double t1 = std::fmax(fc * Spos(i), fa * Spos(i + 1));
                const double s0 = std::fmax(Spos(i) - fb, 0.0);
                const double s1 = std::fmax(Spos(i + 1) - fb, 0.0);
                const double t2 = std::fmax(s1 * fa + fb * s0, fb * s1 + s0 * fc);
                pair            = det * t1 > t2 * fa * fc;
            }
            if (pair) {
                d(nu) = det;
            }
        }
        if (pair) {
            unit_of(i + 1) = nu;
            i += 2;
        } else {
            d(nu) = std::fabs(dpos(i));
            i += 1;
        }
    }
    const auto size_of = [&](int u) {
        const int f = ufirst(u);
        return (f < n && unit_of(f + 1) == u) ? 2 : 1;
    };

    // Step 3: couplings between units. Each unit's list of neighbouring units with the
    // coupling (magnitudes; weighted by tv for the strength test when given) follows uptr.
    auto ublock      = trelvak::allocate_nonempty<int>(nu + 1L + 2L * nnz, tags.units);
    auto cblock      = trelvak::allocate_nonempty<double>(2L * 2L * nnz + 1, tags.units);
    const auto uptr  = trelvak::view1(ublock.get(), nu + 1);
    const auto unbr  = trelvak::view1(ublock.get() + nu + 1);
    const auto ucpl  = trelvak::view1(cblock.get());             // coupling
    const auto ucplw = trelvak::view1(cblock.get() + 2L * nnz);  // weighted coupling
    for (int i = 1; i <= n; ++i) {
        loc(i) = 0;
        acc(i) = 0.0;
    }
    // Weighted sums use a second accumulator; the spare part of dbuff holds it.
    const auto accw = trelvak::view1(dbuff + 5 * n, n);
    for (int i = 1; i <= n; ++i) {
        accw(i) = 0.0;
    }
    int cursor = 1;
    for (int u = 1; u <= nu; ++u) {
        uptr(u)      = cursor;
        const int f  = ufirst(u);
        const int sz = size_of(u);
        for (int row = f; row < f + sz; ++row) {
            for (int k = gptr(row); k < gptr(row + 1); ++k) {
                const int v = unit_of(gidx(k));
                if (v == u) {
                    continue;
                }
                if (loc(v) == 0) {
                    loc(v)        = cursor;
                    unbr(cursor)  = v;
                    ucpl(cursor)  = 0.0;
                    ucplw(cursor) = 0.0;
                    ++cursor;
                }
                acc(v) += std::fmax(std::fabs(gval(k)), 1e-30);
                if (tv != nullptr) {
                    accw(v) += std::fabs(gval(k) * tv[p(gidx(k)) - 1]);
                }
            }
            for (int q = uptr(u); q < cursor; ++q) {
                const int v = unbr(q);
                ucpl(q)     = std::fmax(ucpl(q), acc(v));
                ucplw(q)    = std::fmax(ucplw(q), accw(v));
                acc(v)      = 0.0;
                accw(v)     = 0.0;
            }
        }
        for (int q = uptr(u); q < cursor; ++q) {
            loc(unbr(q)) = 0;
        }
    }
    uptr(nu + 1) = cursor;
    for (int u = 1; u <= nu; ++u) {
        m(u)    = 0.0;
        Ssum(u) = 0.0;
        for (int q = uptr(u); q < uptr(u + 1); ++q) {
            m(u) = std::fmax(m(u), ucpl(q));
            Ssum(u) += ucpl(q);
        }
    }

    // Step 4: degree bound over the positions.
    const double avg = 2.0 * nnz / n;
    double var       = 0.0;
    for (int i = 1; i <= n; ++i) {
        const double dg = gptr(i + 1) - gptr(i);
        var += (dg - avg) * (dg - avg);
    }
    const double sigma = std::sqrt(var / n);
    const int Z        = static_cast<int>(std::fmax(avg + 3.0 * (sigma + 1.0), 3.0 * avg));
    const auto dense   = [&](int i) { return gptr(i + 1) - gptr(i) > Z; };

    // Steps 5 and 6: units decided at once (unit positions: fine from 1, coarse from nu down).
    int nfine   = 0;
    int ncoarse = 0;
    for (int u = 1; u <= nu; ++u) {
        upos(u)      = 0;
        const int f  = ufirst(u);
        const bool c = size_of(u) == 1 ? (dense(f) || d(u) < tau * m(u))
                                       : (dense(f) || dense(f + 1) || d(u) < tau * m(u) * x(u));
        if (c) {
            upos(u) = nu - ncoarse;
            ++ncoarse;
        }
    }
    for (int u = 1; u <= nu; ++u) {
        if (upos(u) != 0) {
            continue;
        }
        const bool fine =
            size_of(u) == 1 ? Ssum(u) < (1.0 - tau) * d(u) : Ssum(u) * x(u) < (1.0 - tau) * d(u);
        if (fine) {
            upos(u) = ++nfine;
        }
    }

    // Step 7: strong lists over units, then the greedy coarsening and its second pass.
    const auto cpl = tv != nullptr ? ucplw : ucpl;
    const auto mw  = x;  // the 2x2 growth bounds are no longer needed
    for (int u = 1; u <= nu; ++u) {
        mw(u) = 0.0;
        for (int q = uptr(u); q < uptr(u + 1); ++q) {
            mw(u) = std::fmax(mw(u), cpl(q));
        }
    }
    long nstrong = 0;
    for (int u = 1; u <= nu; ++u) {
        for (int q = uptr(u); q < uptr(u + 1); ++q) {
            if (cpl(q) > 0.0 && cpl(q) >= tau * mw(u)) {
                ++nstrong;
            }
        }
    }
    auto sblock      = trelvak::allocate_nonempty<int>(nu + 1L + nstrong, tags.s);
    auto stblock     = trelvak::allocate_nonempty<int>(nu + 1L + nstrong, tags.st);
    const auto sptr  = trelvak::view1(sblock.get(), nu + 1);
    const auto S     = trelvak::view1(sblock.get() + nu + 1);
    const auto stptr = trelvak::view1(stblock.get(), nu + 1);
    const auto ST    = trelvak::view1(stblock.get() + nu + 1);
    for (int u = 1; u <= nu + 1; ++u) {
        stptr(u) = 0;
    }
    int ns = 1;
    for (int u = 1; u <= nu; ++u) {
        sptr(u) = ns;
        for (int q = uptr(u); q < uptr(u + 1); ++q) {
            if (cpl(q) > 0.0 && cpl(q) >= tau * mw(u)) {
                S(ns++) = unbr(q);
                ++stptr(unbr(q) + 1);
            }
        }
    }
    sptr(nu + 1) = ns;
    stptr(1)     = 1;
    for (int u = 1; u <= nu; ++u) {
        stptr(u + 1) += stptr(u);
    }
    for (int u = nu; u >= 1; --u) {
        stptr(u + 1) = stptr(u);
    }
    for (int u = 1; u <= nu; ++u) {
        for (int q = sptr(u); q < sptr(u + 1); ++q) {
            ST(stptr(S(q) + 1)++) = u;
        }
    }
    fc_greedy_split(nu, upos.data(), &nfine, &ncoarse, sptr.data(), S.data(), stptr.data(),
                    ST.data(), work);

    // Ranks of the positions: the units in the order of their unit positions.
    const auto at = trelvak::view1(work, nu);
    for (int u = 1; u <= nu; ++u) {
        at(upos(u)) = u;
    }
    int r = 0;
    for (int q = 1; q <= nu; ++q) {
        const int u = at(q);
        for (int i = ufirst(u); i < ufirst(u) + size_of(u); ++i) {
            rank(i) = ++r;
        }
        if (q == nfine) {
            *nB = r;
        }
    }
}

}  // namespace

void DSYMpindfc(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff, double* dbuff) {
    const Tags tags{"sympindFC:G.ja", "sympindFC:G.a", "sympindFC:units", "sympindFC:S",
                    "sympindFC:ST"};
    block_split(A, p, invq, nB, tau, ibuff, dbuff, nullptr, tags);
}

void DSYMpindfcv(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff, double* dbuff,
                 const double* tv, int /*flag*/) {
    const Tags tags{"sympindfcv:G.ja", "sympindfcv:G.a", "sympindfcv:units", "sympindfcv:S",
                    "sympindfcv:ST"};
    block_split(A, p, invq, nB, tau, ibuff, dbuff, tv, tags);
}
