// amf.cpp: approximate minimum fill ordering r2hamdf4 of a symmetric graph.
//
// The elimination runs on the quotient graph of the approximate minimum degree method: elements
// absorb the elements they cover, supervariables are found by hashing, approximate external
// degrees come from |Le \ Lme|, and the storage is compacted in place when it fills. The pivot is
// not the node of least degree but the node of least approximate fill: a variable of external
// degree d that lies in the newest element beside c other variables would create about
// (d(d-1) - c(c-1))/2 new entries, since the c of them already form a clique.
//
// Keys 0..n have a bucket each; a key above n goes to bucket n + (key - n)/max(1, n/8), capped at
// nbbuck. Buckets are lists; a node enters at the head.
//
// On entry  n; nbbuck >= n, the highest bucket; row i of the graph (both triangles, no
//           self-loops) is iw(pe(i)) .. iw(pe(i)+len(i)-1); pfree: first free position of iw;
//           iwlen: length of iw, at least pfree - 1 + n.
// On exit   last(k) = node eliminated k-th, elen(i) = position of node i; ncmpa = number of
//           compactions of iw, or -1 when iwlen or nbbuck was too small (the order is then the
//           identity). pe, pfree, len, iw and the work arrays are destroyed.
// Work      nv, degree, wf, next, w: n ints each; head: nbbuck+2 ints.
#include <algorithm>
#include <climits>
#include <cstdint>

#include "common/onebased.h"
#include "preprocess/preprocess.h"

namespace {

// Bucket of a fill key.
int bucket_of(std::int64_t key, int n, int nbbuck) {
    if (key <= n) {
        return static_cast<int>(std::max<std::int64_t>(key, 0));
    }
    const std::int64_t step = std::max(1, n / 8);
    const std::int64_t b    = n + (key - n) / step;
    return static_cast<int>(std::min<std::int64_t>(b, nbbuck));
}

// Approximate fill of eliminating a variable of external degree d that shares a clique of c
// other variables.
std::int64_t fill_key(int d, int c) {
    c                     = std::min(c, d);
    const std::int64_t dd = d;
    const std::int64_t cc = std::max(c, 0);
    return (dd * (dd - 1) - cc * (cc - 1)) / 2;
}

}  // namespace

void r2hamdf4(const int* n_in, const int* nbbuck_in, const int* iwlen_in, int* pe_in, int* pfree_in,
              int* len_in, int* iw_in, int* nv_in, int* last_in, int* elen_in, int* degree_in,
              int* wf_in, int* next_in, int* w_in, int* head_in, int* ncmpa) {
    const int n      = *n_in;
    const int nbbuck = *nbbuck_in;
    const int iwlen  = *iwlen_in;
    *ncmpa           = 0;
    if (n <= 0) {
        return;
    }
    const auto pe     = trelvak::view1(pe_in, n);
    const auto len    = trelvak::view1(len_in, n);
    const auto iw     = trelvak::view1(iw_in, iwlen);
    const auto nv     = trelvak::view1(nv_in, n);
    const auto last   = trelvak::view1(last_in, n);
    const auto elen   = trelvak::view1(elen_in, n);
    const auto degree = trelvak::view1(degree_in, n);
    const auto wf     = trelvak::view1(wf_in, n);  // bucket of each variable
    const auto next   = trelvak::view1(next_in, n);
    const auto w      = trelvak::view1(w_in, n);
    int* const head   = head_in;  // buckets 0..nbbuck+1, counted from 0
    int pfree         = *pfree_in;

    if (iwlen < pfree - 1 + n || nbbuck < n) {
        *ncmpa = -1;
        for (int i = 1; i <= n; ++i) {
            last(i) = i;
            elen(i) = i;
        }
        return;
    }

    // Marker values for the sets |Le \ Lme|; reset to 1 before they could overflow.
    int wflg              = 2;
    int lemax             = 0;
    const auto clear_flag = [&]() {
        if (wflg >= INT_MAX - n - 2 || wflg < 2) {
            for (int x = 1; x <= n; ++x) {
                if (w(x) != 0) {
                    w(x) = 1;
                }
            }
            wflg = 2;
        }
    };
    const auto remove_from_bucket = [&](int i) {
        const int ilast = last(i);
        const int inext = next(i);
        if (inext != 0) {
            last(inext) = ilast;
        }
        if (ilast != 0) {
            next(ilast) = inext;
        } else {
            head[wf(i)] = inext;
        }
    };
    int mindeg        = nbbuck;
    const auto insert = [&](int i, int b) {
        const int inext = head[b];
        if (inext != 0) {
            last(inext) = i;
        }
        next(i) = inext;
        last(i) = 0;
        head[b] = i;
        wf(i)   = b;
        mindeg  = std::min(mindeg, b);
    };

    for (int b = 0; b <= nbbuck + 1; ++b) {
        head[b] = 0;
    }
    for (int i = 1; i <= n; ++i) {
        last(i)   = 0;
        next(i)   = 0;
        nv(i)     = 1;
        w(i)      = 1;
        elen(i)   = 0;
        degree(i) = len(i);
        if (len(i) == 0) {
            pe(i) = 0;
        }
    }
    for (int i = n; i >= 1; --i) {
        insert(i, bucket_of(fill_key(degree(i), 0), n, nbbuck));
    }

    // elen of an eliminated principal variable holds -(nel before it) - 2; -1 marks a variable
    // merged into another one (pe then points to it, negated).
    int nel = 0;
    while (nel < n) {
        // 1. Pivot: head of the lowest non-empty bucket.
        int deg = mindeg;
        while (deg <= nbbuck + 1 && head[deg] <= 0) {
            ++deg;
        }
        mindeg       = deg;
        const int me = head[deg];
        {
            const int inext = next(me);
            if (inext != 0) {
                last(inext) = 0;
            }
            head[deg] = inext;
        }
        const int elenme = elen(me);
        int nvpiv        = nv(me);
        const int nelme  = nel;
        nel += nvpiv;

        // 2. The new element Lme: the variables of me and of the elements adjacent to me.
        nv(me)    = -nvpiv;
        int degme = 0;
        int pme1  = 0;
        int pme2  = 0;
        if (elenme == 0) {
            // Built in place of me's own list.
            pme1 = pe(me);
            pme2 = pme1 - 1;
            for (int p = pme1; p <= pme1 + len(me) - 1; ++p) {
                const int i   = iw(p);
                const int nvi = nv(i);
                if (nvi > 0) {
                    degme += nvi;
                    nv(i)      = -nvi;
                    iw(++pme2) = i;
                    remove_from_bucket(i);
                }
            }
        } else {
            // Built at the free end of iw, compacting iw when it runs full.
            int p            = pe(me);
            pme1             = pfree;
            const int slenme = len(me) - elenme;
            for (int knt1 = 1; knt1 <= elenme + 1; ++knt1) {
                int e  = 0;
                int pj = 0;
                int ln = 0;
                if (knt1 > elenme) {
                    e  = me;
                    pj = p;
                    ln = slenme;
                } else {
                    e  = iw(p++);
                    pj = pe(e);
                    ln = len(e);
                }
                for (int knt2 = 1; knt2 <= ln; ++knt2) {
                    const int i   = iw(pj++);
                    const int nvi = nv(i);
                    if (nvi <= 0) {
                        continue;
                    }
                    if (pfree > iwlen) {
                        // Compaction: the lists being walked keep only their unread part.
                        pe(me) = p;
                        len(me) -= knt1;
                        if (len(me) == 0) {
                            pe(me) = 0;
                        }
                        pe(e)  = pj;
                        len(e) = ln - knt2;
                        if (len(e) == 0) {
                            pe(e) = 0;
                        }
                        ++*ncmpa;
                        // The first entry of every list moves to pe and is replaced by the
                        // list's owner, negated, so that a sweep can recognise list starts.
                        for (int j = 1; j <= n; ++j) {
                            const int pn = pe(j);
                            if (pn >= 1) {
                                pe(j)  = iw(pn);
                                iw(pn) = -j;
                            }
                        }
                        int psrc       = 1;
                        int pdst       = 1;
                        const int pend = pme1 - 1;
                        while (psrc <= pend) {
                            const int j = -iw(psrc++);
                            if (j > 0) {
                                iw(pdst) = pe(j);
                                pe(j)    = pdst++;
                                for (int knt3 = 0; knt3 <= len(j) - 2; ++knt3) {
                                    iw(pdst++) = iw(psrc++);
                                }
                            }
                        }
                        // Move the part of Lme built so far.
                        const int p1 = pdst;
                        for (psrc = pme1; psrc <= pfree - 1; ++psrc) {
                            iw(pdst++) = iw(psrc);
                        }
                        pme1  = p1;
                        pfree = pdst;
                        pj    = pe(e);
                        p     = pe(me);
                    }
                    degme += nvi;
                    nv(i)       = -nvi;
                    iw(pfree++) = i;
                    remove_from_bucket(i);
                }
                if (e != me) {
                    // Element e is absorbed into me.
                    pe(e) = -me;
                    w(e)  = 0;
                }
            }
            pme2 = pfree - 1;
        }
        degree(me) = degme;
        pe(me)     = pme1;
        len(me)    = pme2 - pme1 + 1;
        elen(me)   = -nelme - 2;
        clear_flag();

        // 3. w(e) - wflg = |Le \ Lme| for every element e adjacent to Lme.
        for (int pme = pme1; pme <= pme2; ++pme) {
            const int i   = iw(pme);
            const int eln = elen(i);
            if (eln <= 0) {
                continue;
            }
            const int nvi  = -nv(i);
            const int wnvi = wflg - nvi;
            for (int p = pe(i); p <= pe(i) + eln - 1; ++p) {
                const int e = iw(p);
                int we      = w(e);
                if (we >= wflg) {
                    we -= nvi;
                } else if (we != 0) {
                    we = degree(e) + wnvi;
                }
                w(e) = we;
            }
        }

        // 4. Degree update, absorption of covered elements, mass elimination, and hashing of
        // the variables of Lme for the supervariable test.
        for (int pme = pme1; pme <= pme2; ++pme) {
            const int i   = iw(pme);
            const int p1  = pe(i);
            const int p2  = p1 + elen(i) - 1;
            int pn        = p1;
            unsigned hash = 0;
            int dg        = 0;
            for (int p = p1; p <= p2; ++p) {
                const int e  = iw(p);
                const int we = w(e);
                if (we == 0) {
                    continue;
                }
                const int dext = we - wflg;
                if (dext > 0) {
                    dg += dext;
                    iw(pn++) = e;
                    hash += static_cast<unsigned>(e);
                } else {
                    // Le is covered by Lme: absorb it.
                    pe(e) = -me;
                    w(e)  = 0;
                }
            }
            elen(i)      = pn - p1 + 1;
            const int p3 = pn;
            const int p4 = p1 + len(i);
            for (int p = p2 + 1; p < p4; ++p) {
                const int j   = iw(p);
                const int nvj = nv(j);
                if (nvj > 0) {
                    dg += nvj;
                    iw(pn++) = j;
                    hash += static_cast<unsigned>(j);
                }
            }
            if (elen(i) == 1 && p3 == pn) {
                // Only adjacent to me: eliminated together with me.
                pe(i)         = -me;
                const int nvi = -nv(i);
                degme -= nvi;
                nvpiv += nvi;
                nel += nvi;
                nv(i)   = 0;
                elen(i) = -1;
            } else {
                degree(i) = std::min(degree(i), dg);
                iw(pn)    = iw(p3);
                iw(p3)    = iw(p1);
                iw(p1)    = me;
                len(i)    = pn - p1 + 1;
                // Hash chains: head[h] negated when bucket h is empty, else behind the bucket's
                // first node in last().
                const int h = static_cast<int>(hash % static_cast<unsigned>(n));
                const int j = head[h];
                if (j <= 0) {
                    next(i) = -j;
                    head[h] = -i;
                } else {
                    next(i) = last(j);
                    last(j) = i;
                }
                last(i) = h;
            }
        }
        degree(me) = degme;
        lemax      = std::max(lemax, degme);
        wflg += lemax;
        clear_flag();

        // 5. Supervariables: variables of one hash chain with identical lists are merged.
        for (int pme = pme1; pme <= pme2; ++pme) {
            int i = iw(pme);
            if (nv(i) >= 0) {
                continue;
            }
            const int h  = last(i);
            const int j0 = head[h];
            if (j0 == 0) {
                continue;
            }
            if (j0 < 0) {
                i       = -j0;
                head[h] = 0;
            } else {
                i        = last(j0);
                last(j0) = 0;
            }
            while (i != 0 && next(i) != 0) {
                const int ln  = len(i);
                const int eln = elen(i);
                for (int p = pe(i) + 1; p <= pe(i) + ln - 1; ++p) {
                    w(iw(p)) = wflg;
                }
                int jlast = i;
                int j     = next(i);
                while (j != 0) {
                    bool ok = len(j) == ln && elen(j) == eln;
                    for (int p = pe(j) + 1; ok && p <= pe(j) + ln - 1; ++p) {
                        if (w(iw(p)) != wflg) {
                            ok = false;
                        }
                    }
                    if (ok) {
                        pe(j) = -i;
                        nv(i) += nv(j);
                        nv(j)       = 0;
                        elen(j)     = -1;
                        j           = next(j);
                        next(jlast) = j;
                    } else {
                        jlast = j;
                        j     = next(j);
                    }
                }
                ++wflg;
                i = next(i);
            }
        }
        clear_flag();

        // 6. Final degrees and fill keys of the principal variables of Lme; they return to the
        // buckets, and Lme keeps only them.
        int p           = pme1;
        const int nleft = n - nel;
        for (int pme = pme1; pme <= pme2; ++pme) {
            const int i   = iw(pme);
            const int nvi = -nv(i);
            if (nvi <= 0) {
                continue;
            }
            nv(i)        = nvi;
            const int dg = std::min(degree(i) + degme - nvi, nleft - nvi);
            insert(i, bucket_of(fill_key(dg, degme - nvi), n, nbbuck));
            degree(i) = dg;
            iw(p++)   = i;
        }
        nv(me)  = nvpiv;
        len(me) = p - pme1;
        if (len(me) == 0) {
            pe(me) = 0;
            w(me)  = 0;
        }
        if (elenme != 0) {
            pfree = p;
        }
        elen(me) = -nelme - 2;
    }

    // Positions: an eliminated principal variable takes the first position of its group, the
    // variables merged into it (directly or through other merged variables) the following ones.
    const auto pos  = next;    // free now
    const auto fill = degree;  // next free position of each group
    for (int i = 1; i <= n; ++i) {
        if (elen(i) <= -2) {
            pos(i)  = -elen(i) - 2 + 1;
            fill(i) = pos(i) + 1;
        }
    }
    for (int i = 1; i <= n; ++i) {
        if (elen(i) == -1) {
            int r = i;
            while (elen(r) == -1) {
                r = -pe(r);
            }
            pos(i) = fill(r)++;
        }
    }
    for (int i = 1; i <= n; ++i) {
        elen(i)      = pos(i);
        last(pos(i)) = i;
    }
    *pfree_in = pfree;
}
