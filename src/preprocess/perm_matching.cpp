// perm_matching.cpp: matching-based symmetric reorderings, the DSYMperm_matching_* family.
//
// A symmetric indefinite matrix may carry small or zero diagonal entries, so a plain fill-reducing
// order would put bad pivots on the diagonal. The steps of a plain member:
//    1. the scaling step (left, right, chosen by ifact[7] and ifact[8]);
//    2. the graph of the large entries: |a(i,j)| >= 0.01 min(r(i), r(j)), r the row maxima;
//    3. the magnitudes of the kept entries, aligned with the graph;
//    4. a maximum product matching with its dual scaling u, v, through MUMPS;
//    5. the symmetric scaling s(i) = sqrt(u(i) v(i)) rounded to a power of two:
//       A := S A S, right := right * s; when entries left out of the graph end up above 2, the
//       scaled matrix is equilibrated afresh (powers of two) so that every entry is bounded by 2;
//    6. the split of the matching into 1x1 pivots and 2x2 pairs (DSYMsmwm);
//    7. the compressed pattern: every pair becomes one node;
//    8. one ordering call on it: approximate minimum degree, nested dissection by nodes or by
//       edges, approximate minimum fill, quotient minimum degree, or reverse Cuthill-McKee with
//       dense nodes postponed;
//    9. the expansion of that order, the two members of a pair adjacent;
//   10. the composition with the order of step 6, invq and nB.
// _fc/_fcv then move the fine units of a fine/coarse splitting (DSYMpindfc/DSYMpindfcv) to the
// leading block, both blocks keeping their order.
// The _sp members treat the nodes whose indicator entry is negative as constraint nodes:
//    1. the scaling step, then the graph of the large entries among the unconstrained nodes;
//    2. its matching, renumbered to the unconstrained nodes; constraint nodes get factors 1;
//    3. the matching scaling, then every constraint row and column divided by its largest
//       magnitude;
//    4. no pairs; the patterns C (unconstrained part), Bc, Br (the couplings both ways) and D (C
//       plus the fill that eliminating the constraint nodes would create);
//    5. the member's ordering of D, replaced by the post-order of its elimination tree;
//    6. each constraint node placed directly behind an unconstrained neighbour, grouped by a
//       union-find structure;
//    7. the others at the end in increasing order; nB = n.
//
// On entry A (by value): upper triangle with diagonal, 1-based; left, right: n doubles (callers
//           set them to ones); param: scaling words ifact[7], ifact[8], condest, testvector,
//           indicator and the work buffers.
// On exit   A holds the scaled matrix (entries possibly reordered within rows); right the product
//           of the scaling step's factors and the matching scaling (for _sp, divided by the
//           constraint rows' maxima); p (position -> index, 1-based), invq (inverse of p),
//           nB (n; the fine positions for _fc/_fcv; the positions not postponed for _rcm).
//           Returns 0, -5 on a zero row or column in the scaling step (nothing else written),
//           or the failing status of the minimum degree library (_amd members).
//
// Work      ibuff grows to 3n+2 plus the ordering's work (8n+5 plus at most 11n+3 for _sp, 9n+3 /
// 10n+3 for the fine/coarse step), dbuff to 2n (6n / 8n for _fc / _fcv). iaux and daux are used
// when long enough (graph indices beyond iaux's first 5n entries; compressed pattern; matching
// values), else the routine allocates under the member's tags and frees before it returns.
#include <amd.h>
#include <metis.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "common/onebased.h"
#include "preprocess/preprocess.h"

namespace {

using trelvak::view1;

static_assert(sizeof(idx_t) == sizeof(int), "METIS must be built with 32-bit indices");

constexpr double kLargeEntry = 0.01;                // threshold of the graph of large entries
constexpr double kInvLn2     = 1.4426950408889634;  // 1 / ln 2

enum class Ordering { amd, metis_nodes, metis_edges, amf, mmd, rcm };
enum class Variant { plain, fc, fcv, sp };

// One member of the family: its ordering, its variant and its allocation tags.
struct Member {
    Ordering ordering;
    Variant variant;
    const char* dbuff;     // growth of param->dbuff
    const char* ibuff;     // growth of param->ibuff
    const char* values;    // matching values: ":dw" (u, v and values) or, for _fc/_fcv, ":b"
    const char* cja;       // compressed pattern's column array
    const char* fc_ibuff;  // _fc/_fcv: growth of ibuff and dbuff for the splitting
    const char* fc_dbuff;
    const char* bcja;  // _sp: patterns Bc, Br, D and the renumbering work
    const char* brja;
    const char* dja;
    const char* iw;
};

// ---- Buffers -----------------------------------------------------------------------------------

void grow_ibuff(ParameterRecord* param, long need, const char* tag) {
    if (param->nibuff < need) {
        param->ibuff  = static_cast<int*>(ReAlloc(param->ibuff, sizeof(int) * need, tag));
        param->nibuff = static_cast<int>(need);
    }
}

void grow_dbuff(ParameterRecord* param, long need, const char* tag) {
    if (param->ndbuff < need) {
        param->dbuff  = static_cast<double*>(ReAlloc(param->dbuff, sizeof(double) * need, tag));
        param->ndbuff = static_cast<int>(need);
    }
}

// Consecutive slices of a spare buffer of the record (iaux or daux); a request that does not fit
// gets nothing.
template <class T>
class SparePool {
public:
    SparePool(T* base, long capacity, long offset = 0)
        : base_(base), capacity_(base != nullptr ? capacity : 0), used_(offset) {}
    T* take(long need) {
        if (used_ + need > capacity_) {
            return nullptr;
        }
        T* slice = base_ + used_;
        used_ += need;
        return slice;
    }
    T* rest() const { return left() > 0 ? base_ + used_ : nullptr; }
    long left() const { return std::max(0L, capacity_ - used_); }

private:
    T* base_;
    long capacity_;
    long used_;
};

// Work of `need` entries: a slice of the pool when it fits, else a fresh tagged allocation that
// is released with the object.
template <class T>
class Scratch {
public:
    Scratch(SparePool<T>& pool, long need, const char* tag) {
        need  = std::max(need, 1L);
        data_ = pool.take(need);
        if (data_ == nullptr) {
            data_  = static_cast<T*>(MAlloc(sizeof(T) * need, tag));
            owned_ = true;
        }
    }
    ~Scratch() {
        if (owned_) {
            std::free(data_);
        }
    }
    Scratch(const Scratch&)            = delete;
    Scratch& operator=(const Scratch&) = delete;
    T* get() const { return data_; }

private:
    T* data_    = nullptr;
    bool owned_ = false;
};

// A graph whose column array a builder may have allocated (told by a negative last row pointer):
// restores the sign at once and frees the array when released or destroyed.
class BuiltGraph {
public:
    explicit BuiltGraph(SparseMatrix& g) : g_(g) {
        int& last = g_.ia[g_.nr];
        if (last < 0) {
            last   = -last;
            owned_ = true;
        }
    }
    ~BuiltGraph() { release(); }
    BuiltGraph(const BuiltGraph&)            = delete;
    BuiltGraph& operator=(const BuiltGraph&) = delete;
    void release() {
        if (owned_) {
            std::free(g_.ja);
            owned_ = false;
        }
        g_.ja = nullptr;
    }
    int nnz() const { return g_.ia[g_.nr] - 1; }

private:
    SparseMatrix& g_;
    bool owned_ = false;
};

SparseMatrix pattern_record(int n, int* ia, int* ja) {
    SparseMatrix g{};
    g.nr = n;
    g.nc = n;
    g.ia = ia;
    g.ja = ja;
    return g;
}

void set_identity(int n, int* order) {
    for (int i = 0; i < n; ++i) {
        order[i] = i + 1;
    }
}

void invert(int n, const int* p_in, int* invq_out) {
    auto p    = view1(p_in);
    auto invq = view1(invq_out);
    for (int i = 1; i <= n; ++i) {
        invq(p(i)) = i;
    }
}

// ---- Matching and its scaling -------------------------------------------------------------------

// |a(i,j)| of every kept entry at its graph positions: own row first, then the mirror entry unless
// j = i, in the order the graph builder filled the rows. ends(i): end of row i's kept part;
// cursor: n ints of work.
void attach_values(SparseMatrix A, const SparseMatrix& G, const int* ends_in, int* cursor_in,
                   double* values_in) {
    const int n = A.nr;
    auto ia     = view1(A.ia);
    auto ja     = view1(A.ja);
    auto a      = view1(A.a);
    auto gia    = view1(G.ia);
    auto ends   = view1(ends_in);
    auto cursor = view1(cursor_in);
    auto values = view1(values_in);
    for (int i = 1; i <= n; ++i) {
        cursor(i) = gia(i);
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ends(i); ++k) {
            const int j         = ja(k);
            values(cursor(i)++) = std::fabs(a(k));
            if (j != i) {
                values(cursor(j)++) = std::fabs(a(k));
            }
        }
    }
}

// rowmax(i) = the largest magnitude in the full row i (stored row and column).
void full_row_maxima(SparseMatrix A, double* rowmax_in) {
    const int n = A.nr;
    auto ia     = view1(A.ia);
    auto ja     = view1(A.ja);
    auto a      = view1(A.a);
    auto rowmax = view1(rowmax_in);
    for (int i = 1; i <= n; ++i) {
        rowmax(i) = 0.0;
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const double x = std::fabs(a(k));
            rowmax(i)      = std::max(rowmax(i), x);
            rowmax(ja(k))  = std::max(rowmax(ja(k)), x);
        }
    }
}

// A := D A D and right := right * d.
void scale_symmetric(SparseMatrix A, double* right_in, const double* d_in) {
    const int n = A.nr;
    auto ia     = view1(A.ia);
    auto ja     = view1(A.ja);
    auto a      = view1(A.a);
    auto d      = view1(d_in);
    auto right  = view1(right_in);
    for (int i = 1; i <= n; ++i) {
        right(i) *= d(i);
        for (int k = ia(i); k < ia(i + 1); ++k) {
            a(k) *= d(i) * d(ja(k));
        }
    }
}

// Symmetric matching scaling: s(i) = sqrt(u(i) v(i)) rounded to the nearest power of two (in the
// logarithmic sense, halves away from zero), right := right * s, A := S A S. A factor that is not
// a positive finite number (a node the matching could not reach) is taken as 1. On exit u holds s.
void apply_matching_scaling(SparseMatrix A, double* right, double* u_in, const double* v_in) {
    const int n = A.nr;
    auto u      = view1(u_in);
    auto v      = view1(v_in);
    auto s      = view1(u_in);
    for (int i = 1; i <= n; ++i) {
        const double uv = u(i) * v(i);
        double t        = 0.0;
        if (uv > 0.0 && std::isfinite(uv)) {
            t = std::log(std::sqrt(uv)) * kInvLn2;
        } else if (u(i) > 0.0 && v(i) > 0.0 && std::isfinite(u(i)) && std::isfinite(v(i))) {
            t = 0.5 * (std::log(u(i)) + std::log(v(i))) * kInvLn2;
        }
        const double k = t >= 0.0 ? std::trunc(t + 0.5) : std::trunc(t - 0.5);
        s(i)           = std::ldexp(1.0, static_cast<int>(k));
    }
    scale_symmetric(A, right, u_in);
}

// Sweeps of symmetric max-norm equilibration in powers of two (Ruiz): a full row whose largest
// magnitude m lies above 2 (or, when grow, below 1/2 but above 0) is scaled, with its column and
// right, by the power of two nearest to 1/sqrt(m). Returns false when a sweep changed nothing.
bool equilibration_sweep(SparseMatrix A, double* right, double* rowmax_in, double* f_in,
                         bool grow) {
    const int n = A.nr;
    auto rowmax = view1(rowmax_in);
    auto f      = view1(f_in);
    full_row_maxima(A, rowmax_in);
    bool changed = false;
    for (int i = 1; i <= n; ++i) {
        f(i)           = 1.0;
        const double m = rowmax(i);
        if (m > 2.0 || (grow && m > 0.0 && m < 0.5)) {
            const double t = std::isfinite(m) ? 0.5 * std::log2(m) : 512.0;
            f(i)           = std::ldexp(1.0, -static_cast<int>(std::lround(t)));
            changed        = true;
        }
    }
    if (changed) {
        scale_symmetric(A, right, f_in);
    }
    return changed;
}

// The dual scaling bounds only the entries of the graph of large entries: an entry the graph left
// out can end up many orders of magnitude above 1. When some scaled entry exceeds 2 (the bound up
// to the rounding to powers of two), the scaled matrix is equilibrated afresh from where it stands
// (at most 20 two-sided sweeps), then rows still above 2 are shrunk (at most 20 more sweeps), and
// right follows. A matrix the matching scaled properly is not changed. rowmax, f: n doubles.
void bound_scaled_rows(SparseMatrix A, double* right, double* rowmax, double* f) {
    bool repair = false;
    for (int k = 0; k < A.ia[A.nr] - 1 && !repair; ++k) {
        repair = !(std::fabs(A.a[k]) <= 2.0);
    }
    if (!repair) {
        return;
    }
    for (int sweep = 0; sweep < 20 && equilibration_sweep(A, right, rowmax, f, true); ++sweep) {
    }
    for (int sweep = 0; sweep < 20 && equilibration_sweep(A, right, rowmax, f, false); ++sweep) {
    }
}

// Steps 2 to 5 of the plain members: graph of the large entries, matching p, matching scaling.
void match_large_entries(SparseMatrix A, double* right, int* p, ParameterRecord* param,
                         const Member& m) {
    const long n = A.nr;
    int* ibuff   = param->ibuff;  // [0,n) ends of kept parts, [n,2n+1) graph row pointer,
                                  // [2n+1,3n+1) fill cursor
    SparePool<int> graph_spare(param->iaux, param->niaux, 5 * n);
    SparseMatrix G{};
    Dsetupgraph_epsilon(A, &G, kLargeEntry, param->dbuff, ibuff, graph_spare.rest(),
                        static_cast<int>(graph_spare.left()));
    BuiltGraph graph(G);

    const bool apart = m.variant == Variant::fc || m.variant == Variant::fcv;
    SparePool<double> daux(param->daux, param->ndaux);
    Scratch<double> work(daux, (apart ? 0 : 3 * n) + graph.nnz(), m.values);
    double* values = work.get() + (apart ? 0 : 3 * n);
    double* u      = apart ? param->dbuff : work.get();
    double* v      = u + n;
    attach_values(A, G, ibuff, ibuff + 2 * n + 1, values);

    dmumps_match(A.nr, graph.nnz(), p, G.ia, G.ja, values, u, v);
    graph.release();
    apply_matching_scaling(A, right, u, v);
    bound_scaled_rows(A, right, u, u + n);
}

// ---- Compression of pairs -----------------------------------------------------------------------

// Node of the compressed pattern that holds position r: 1x1 pivots keep their numbers, the pair
// at positions nsingle+2t-1, nsingle+2t becomes node nsingle+t.
int block_of(int r, int nsingle) {
    return r <= nsingle ? r : nsingle + (r - nsingle + 1) / 2;
}

// Step 7: row c of C is the union, over the positions r of node c, of the stored row p(r) of A
// with every column j renamed block_of(pinv(j)); repeated entries dropped, the diagonal kept.
// cia: nc+1 ints; cja: nnz(A) ints; pinv, marker: n ints of work.
SparseMatrix compress_pairs(SparseMatrix A, const int* p_in, int nsingle, int* pinv_in,
                            int* marker_in, int* cia_in, int* cja_in) {
    const int n  = A.nr;
    const int nc = nsingle + (n - nsingle) / 2;
    auto p       = view1(p_in);
    auto pinv    = view1(pinv_in);
    auto marker  = view1(marker_in);
    auto ia      = view1(A.ia);
    auto ja      = view1(A.ja);
    auto cia     = view1(cia_in);
    auto cja     = view1(cja_in);
    invert(n, p_in, pinv_in);
    for (int c = 1; c <= nc; ++c) {
        marker(c) = 0;
    }
    int k = 1;
    for (int c = 1; c <= nc; ++c) {
        cia(c)          = k;
        const int first = c <= nsingle ? c : 2 * c - nsingle - 1;
        const int last  = c <= nsingle ? c : 2 * c - nsingle;
        for (int r = first; r <= last; ++r) {
            const int i = p(r);
            for (int l = ia(i); l < ia(i + 1); ++l) {
                const int col = block_of(pinv(ja(l)), nsingle);
                if (marker(col) != c) {
                    marker(col) = c;
                    cja(k++)    = col;
                }
            }
        }
    }
    cia(nc + 1) = k;
    return pattern_record(nc, cia_in, cja_in);
}

// ---- One ordering call
// ----------------------------------------------------------------------------

struct OrderOutcome {
    int status    = 0;  // library status (AMD), 0 otherwise
    int postponed = 0;  // trailing nodes moved behind the others (reverse Cuthill-McKee)
};

// Integer work of order_pattern for a pattern of m nodes.
long ordering_work(Ordering kind, long m) {
    switch (kind) {
        case Ordering::amd:
            return m + 2;  // sort stack
        case Ordering::metis_nodes:
        case Ordering::metis_edges:
            return (m + 1) + m;  // graph pointer, iperm
        case Ordering::rcm:
            return (m + 1) + m + (m + 1) + m;  // pointer, mask, levels, tail
        case Ordering::mmd:
            return (m + 1) + 7 * m;  // pointer, invp, 6 work arrays
        case Ordering::amf:
            return (m + 1) + 8 * m + (m + 2);  // pointer, 8 arrays, buckets
    }
    return 0;
}

// Removes self-loops from a graph in place (rows compacted, pointers lowered).
void strip_self_loops(int m, int* xadj_in, int* adjncy_in) {
    auto xadj   = view1(xadj_in);
    auto adjncy = view1(adjncy_in);
    int k       = 1;
    int start   = xadj(1);
    for (int i = 1; i <= m; ++i) {
        const int end = xadj(i + 1);
        xadj(i)       = k;
        for (int l = start; l < end; ++l) {
            if (adjncy(l) != i) {
                adjncy(k++) = adjncy(l);
            }
        }
        start = end;
    }
    xadj(m + 1) = k;
}

// Approximate minimum degree of the pattern C (sorted rows, 0-based copy handed to the library
// and shifted back). On failure the order is the identity and the status is returned.
int order_amd(SparseMatrix C, int* order, int* stack) {
    const int m   = C.nr;
    const int nnz = C.ia[m] - 1;
    for (int i = 0; i < m; ++i) {
        qqsorti(C.ja + C.ia[i] - 1, stack, C.ia[i + 1] - C.ia[i]);
    }
    for (int i = 0; i <= m; ++i) {
        --C.ia[i];
    }
    for (int k = 0; k < nnz; ++k) {
        --C.ja[k];
    }
    double control[AMD_CONTROL];
    double info[AMD_INFO];
    amd_defaults(control);
    const int status = amd_order(m, C.ia, C.ja, order, control, info);
    for (int i = 0; i <= m; ++i) {
        ++C.ia[i];
    }
    for (int k = 0; k < nnz; ++k) {
        ++C.ja[k];
    }
    if (status < AMD_OK) {
        set_identity(m, order);
        return status;
    }
    for (int i = 0; i < m; ++i) {
        ++order[i];
    }
    return 0;
}

// Nested dissection of a graph without self-loops (1-based), METIS 5. By nodes, the METIS 4
// options (1, 3, 1, 2, 0, 1, 200, 1) become: CTYPE SHEM, IPTYPE EDGE (edge-based region growing),
// RTYPE SEP1SIDED, DBGLVL 0, COMPRESS 1 and CCORDER 0 (oflags 1), PFACTOR 200, NSEPS 1. METIS 5
// has no edge-based dissection; by edges we take its closest documented form: an edge-based
// initial bisection refined as a two-sided node separator, without compression or pruning, with
// the balance 1.10 of the former edge routine (UFACTOR 100). A graph without edges, or a library
// failure, gives the identity.
void order_metis(int m, int* xadj, int* adjncy, int* order, int* iperm, bool by_edges) {
    if (xadj[m] < 2) {
        set_identity(m, order);
        return;
    }
    idx_t options[METIS_NOPTIONS];
    METIS_SetDefaultOptions(options);
    options[METIS_OPTION_CTYPE]   = METIS_CTYPE_SHEM;
    options[METIS_OPTION_IPTYPE]  = METIS_IPTYPE_EDGE;
    options[METIS_OPTION_DBGLVL]  = 0;
    options[METIS_OPTION_NSEPS]   = 1;
    options[METIS_OPTION_CCORDER] = 0;
    if (by_edges) {
        options[METIS_OPTION_RTYPE]    = METIS_RTYPE_SEP2SIDED;
        options[METIS_OPTION_COMPRESS] = 0;
        options[METIS_OPTION_PFACTOR]  = 0;
        options[METIS_OPTION_UFACTOR]  = 100;
    } else {
        options[METIS_OPTION_RTYPE]    = METIS_RTYPE_SEP1SIDED;
        options[METIS_OPTION_COMPRESS] = 1;
        options[METIS_OPTION_PFACTOR]  = 200;
    }
    options[METIS_OPTION_NUMBERING] = 1;
    idx_t nvtxs                     = m;
    if (METIS_NodeND(&nvtxs, xadj, adjncy, nullptr, options, order, iperm) != METIS_OK) {
        set_identity(m, order);
    }
}

// Approximate minimum fill (r2hamdf4) of a graph without self-loops; the identity below 8 nodes.
// work: 8m + m+2 ints; the index array (1.2 nnz + m + 1 entries) comes from iaux or is allocated.
void order_amf(int m, const int* xadj, const int* adjncy, int* order, int* work,
               SparePool<int>& iaux, const char* tag) {
    if (m < 8) {
        set_identity(m, order);
        return;
    }
    const int nnz   = xadj[m] - 1;
    const int iwlen = nnz + nnz / 5 + m + 1;
    Scratch<int> iw(iaux, iwlen, tag);
    int* pe     = work;
    int* len    = pe + m;
    int* nv     = len + m;
    int* elen   = nv + m;
    int* degree = elen + m;
    int* wf     = degree + m;
    int* next   = wf + m;
    int* w      = next + m;
    int* head   = w + m;
    for (int i = 0; i < m; ++i) {
        pe[i]  = xadj[i];
        len[i] = xadj[i + 1] - xadj[i];
    }
    std::copy(adjncy, adjncy + nnz, iw.get());
    int pfree = nnz + 1;
    int ncmpa = 0;
    r2hamdf4(&m, &m, &iwlen, pe, &pfree, len, iw.get(), nv, order, elen, degree, wf, next, w, head,
             &ncmpa);
}

// Reverse Cuthill-McKee order whose dense nodes are moved behind all others in their order: the
// degree of node i is its number of neighbours plus 1, avg = (nnz + m)/m, sigma the deviation of
// the degrees around avg, and a node is dense when its degree exceeds
// T = trunc(max(avg + 2 (sigma + 0.5), 2 avg)). Returns the number of nodes moved.
int postpone_dense(int m, const int* xadj_in, int* order_in, int* tail_in) {
    auto xadj        = view1(xadj_in);
    auto order       = view1(order_in);
    auto tail        = view1(tail_in);
    auto degree      = [&](int i) { return xadj(i + 1) - xadj(i) + 1; };
    const double avg = static_cast<double>(xadj(m + 1) - 1 + m) / m;
    double var       = 0.0;
    for (int i = 1; i <= m; ++i) {
        var += (degree(i) - avg) * (degree(i) - avg);
    }
    const double sigma = std::sqrt(var / m);
    const int bound    = static_cast<int>(std::max(avg + 2.0 * (sigma + 0.5), 2.0 * avg));
    int kept           = 0;
    int moved          = 0;
    for (int t = 1; t <= m; ++t) {
        const int i = order(t);
        if (degree(i) > bound) {
            tail(++moved) = i;
        } else {
            order(++kept) = i;
        }
    }
    for (int t = 1; t <= moved; ++t) {
        order(kept + t) = tail(t);
    }
    return moved;
}

// Step 8: one ordering call on the pattern C (m nodes, 1-based, one triangle or both; C itself is
// left as it was). order(1..m) receives the nodes, position -> node. work: ordering_work ints.
OrderOutcome order_pattern(Ordering kind, SparseMatrix C, int* order, int* work,
                           SparePool<int>& iaux, const char* tag) {
    OrderOutcome outcome;
    int m = C.nr;
    if (m == 0) {
        return outcome;
    }
    if (kind == Ordering::amd) {
        outcome.status = order_amd(C, order, work);
        return outcome;
    }
    // Full graph (both triangles) without self-loops.
    SparseMatrix G{};
    Dsetupgraph(C, &G, work, iaux.rest(), static_cast<int>(iaux.left()));
    BuiltGraph graph(G);
    strip_self_loops(m, G.ia, G.ja);
    int* w = work + m + 1;
    switch (kind) {
        case Ordering::metis_nodes:
        case Ordering::metis_edges:
            order_metis(m, G.ia, G.ja, order, w, kind == Ordering::metis_edges);
            break;
        case Ordering::amf:
            order_amf(m, G.ia, G.ja, order, w, iaux, tag);
            break;
        case Ordering::mmd: {
            int nofsub = 0;
            genqmd(&m, G.ia, G.ja, order, w, w + m, w + 2 * m, w + 3 * m, w + 4 * m, w + 5 * m,
                   w + 6 * m, &nofsub);
            break;
        }
        case Ordering::rcm:
            genrcm(&m, G.ia, G.ja, order, w, w + m);
            outcome.postponed = postpone_dense(m, G.ia, order, w + 2 * m + 1);
            break;
        case Ordering::amd:
            break;
    }
    return outcome;
}

// Steps 9 and 10: expand the compressed order (a pair gives both its positions, in this order),
// compose it with p and rebuild invq. Returns the positions held by all but the last `postponed`
// compressed nodes. order may share storage with invq. e, newp: n ints of work.
int expand_order(int n, int nsingle, const int* order_in, int postponed, int* p_in, int* invq_in,
                 int* e_in, int* newp_in) {
    const int nc = nsingle + (n - nsingle) / 2;
    auto order   = view1(order_in);
    auto p       = view1(p_in);
    auto e       = view1(e_in);
    auto newp    = view1(newp_in);
    int k        = 0;
    int nB       = n;
    for (int t = 1; t <= nc; ++t) {
        const int c = order(t);
        if (c <= nsingle) {
            e(++k) = c;
        } else {
            e(++k) = 2 * c - nsingle - 1;
            e(++k) = 2 * c - nsingle;
        }
        if (t > nc - postponed) {
            nB -= c <= nsingle ? 1 : 2;
        }
    }
    for (int i = 1; i <= n; ++i) {
        newp(i) = p(e(i));
    }
    std::copy(newp_in, newp_in + n, p_in);
    invert(n, p_in, invq_in);
    return nB;
}

// ---- Fine/coarse post-step
// ------------------------------------------------------------------------

// Splits the current order into fine and coarse units (DSYMpindfc, or DSYMpindfcv with the
// record's test vector divided by right for the call) with tau = 1/condest, then moves the fine
// positions to the front, both groups keeping their order.
void split_fine_coarse(SparseMatrix A, const double* right, int* p, int* invq, int* nB,
                       ParameterRecord* param, const Member& m) {
    const int n         = A.nr;
    const bool weighted = m.variant == Variant::fcv;
    grow_ibuff(param, (weighted ? 10L : 9L) * n + 3, m.fc_ibuff);
    grow_dbuff(param, (weighted ? 8L : 6L) * n, m.fc_dbuff);
    const double tau = 1.0 / param->condest;
    if (!weighted) {
        DSYMpindfc(A, p, invq, nB, tau, param->ibuff, param->dbuff);
    } else {
        std::vector<double> ones;
        double* tv = param->testvector;
        if (tv == nullptr || param->ntestvector < static_cast<unsigned>(n)) {
            // no test vector of this order kept: weigh with ones
            ones.assign(static_cast<size_t>(n), 1.0);
            tv = ones.data();
        }
        for (int i = 0; i < n; ++i) {
            tv[i] /= right[i];
        }
        DSYMpindfcv(A, p, invq, nB, tau, param->ibuff, param->dbuff, tv, 1);
        for (int i = 0; i < n; ++i) {
            tv[i] *= right[i];
        }
    }
    auto rank = view1(param->ibuff);
    auto newp = view1(param->ibuff + n);
    auto perm = view1(p);
    int k     = 0;
    for (int i = 1; i <= n; ++i) {
        if (rank(i) <= *nB) {
            newp(++k) = perm(i);
        }
    }
    for (int i = 1; i <= n; ++i) {
        if (rank(i) > *nB) {
            newp(++k) = perm(i);
        }
    }
    std::copy(newp.data(), newp.data() + n, p);
    invert(n, p, invq);
}

// ---- Plain, _fc and _fcv members ----------------------------------------------------------------

// Steps 2 to 10, then the fine/coarse step of _fc/_fcv.
int matching_reordering(const Member& m, SparseMatrix A, double* right, int* p, int* invq, int* nB,
                        ParameterRecord* param) {
    const long n = A.nr;
    // ibuff: [0,n) marker, expansion list; [n,2n+1) graph pointer, pinv, new p;
    //        [2n+1,3n+2) fill cursor, compressed row pointer; then the ordering's work.
    grow_ibuff(param, 3 * n + 2 + ordering_work(m.ordering, n), m.ibuff);
    // 2.-5. Matching of the large entries and its symmetric scaling.
    match_large_entries(A, right, p, param, m);
    // 6. 1x1 pivots first, then the pairs.
    const int nsingle = DSYMsmwm(A, p, param->ibuff, param->dbuff);
    // 7. Compressed pattern.
    int* ibuff = param->ibuff;
    SparePool<int> iaux(param->iaux, param->niaux);
    Scratch<int> cja(iaux, A.ia[n] - 1, m.cja);
    SparseMatrix C = compress_pairs(A, p, nsingle, ibuff + n, ibuff, ibuff + 2 * n + 1, cja.get());
    // 8. One ordering call, the order in invq.
    const OrderOutcome outcome = order_pattern(m.ordering, C, invq, ibuff + 3 * n + 2, iaux, m.cja);
    // 9.-10. Expansion and composition.
    *nB = expand_order(A.nr, nsingle, invq, outcome.postponed, p, invq, ibuff, ibuff + n);
    if (outcome.status != 0) {
        return outcome.status;
    }
    if (m.variant == Variant::fc || m.variant == Variant::fcv) {
        split_fine_coarse(A, right, p, invq, nB, param, m);
    }
    return 0;
}

// ---- Saddle-point members -----------------------------------------------------------------------

// Row pointer (n+1 ints) of {(r, c), (c, r) : (r, c) stored off the diagonal, keep(r, c)};
// returns the number of entries.
template <class Keep>
int count_pattern(SparseMatrix A, int* ia_out, Keep keep) {
    const int n = A.nr;
    auto ia     = view1(A.ia);
    auto ja     = view1(A.ja);
    auto out    = view1(ia_out);
    for (int i = 1; i <= n + 1; ++i) {
        out(i) = 0;
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const int j = ja(k);
            if (j != i && keep(i, j)) {
                ++out(i + 1);
            }
            if (j != i && keep(j, i)) {
                ++out(j + 1);
            }
        }
    }
    out(1) = 1;
    for (int i = 1; i <= n; ++i) {
        out(i + 1) += out(i);
    }
    return out(n + 1) - 1;
}

// Fills the entries counted by count_pattern into ja_out. cursor: n ints of work.
template <class Keep>
void scatter_pattern(SparseMatrix A, const int* ia_out, int* ja_out, int* cursor_in, Keep keep) {
    const int n = A.nr;
    auto ia     = view1(A.ia);
    auto ja     = view1(A.ja);
    auto out    = view1(ia_out);
    auto cursor = view1(cursor_in);
    auto col    = view1(ja_out);
    for (int i = 1; i <= n; ++i) {
        cursor(i) = out(i);
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            const int j = ja(k);
            if (j != i && keep(i, j)) {
                col(cursor(i)++) = j;
            }
            if (j != i && keep(j, i)) {
                col(cursor(j)++) = i;
            }
        }
    }
}

// Pattern over A's stored entries with the rows that keep(r, c) selects, in a buffer from iaux
// or allocated under tag.
class SidePattern {
public:
    template <class Keep>
    SidePattern(SparseMatrix A, int* ia, int* cursor, SparePool<int>& iaux, const char* tag,
                Keep keep)
        : ia_(ia), ja_(iaux, count_pattern(A, ia, keep), tag) {
        scatter_pattern(A, ia, ja_.get(), cursor, keep);
    }
    int begin(int i) const { return ia_[i - 1]; }
    int end(int i) const { return ia_[i]; }
    int col(int k) const { return ja_.get()[k - 1]; }
    int count(int i) const { return end(i) - begin(i); }

private:
    int* ia_;
    Scratch<int> ja_;
};

// Spreads a matching of the unconstrained nodes (renumbered by map, 0 for constraint nodes) back:
// constraint nodes match themselves with factors 1. Runs downwards so it works in place.
void spread_matching(int n, const int* map_in, const int* unmap_in, int* p_in, double* u_in,
                     double* v_in) {
    auto map   = view1(map_in);
    auto unmap = view1(unmap_in);
    auto p     = view1(p_in);
    auto u     = view1(u_in);
    auto v     = view1(v_in);
    for (int i = n; i >= 1; --i) {
        const int c = map(i);
        if (c == 0) {
            p(i) = i;
            u(i) = 1.0;
            v(i) = 1.0;
        } else {
            p(i) = unmap(p(c));
            u(i) = u(c);
            v(i) = v(c);
        }
    }
}

// Divides every row and column i of a constraint node by w(i), the largest magnitude of its full
// row, and right(i) by w(i). An empty constraint row is left alone. w: n doubles of work.
void scale_constraint_rows(SparseMatrix A, double* right, const int* map_in, double* w_in) {
    const int n = A.nr;
    auto map    = view1(map_in);
    auto w      = view1(w_in);
    full_row_maxima(A, w_in);
    for (int i = 1; i <= n; ++i) {
        w(i) = map(i) == 0 && w(i) > 0.0 ? 1.0 / w(i) : 1.0;
    }
    scale_symmetric(A, right, w_in);
}

// Places the constraint nodes behind the unconstrained order (see the file header). A constraint
// node goes directly behind the node u just placed when its group is reached through exactly one
// constraint neighbour of u and it is itself a constraint neighbour of u; among such candidates
// the smallest count wins. The others' counts become count(chosen) + count(other) - 2 (at most n)
// and the chosen group joins the other group of smallest count, or is closed. Constraint nodes
// never placed follow at the end in increasing order. work: 7n ints.
void place_constraints(int n, const int* map_in, const int* unmap_in, const int* order_in, int nu,
                       const SidePattern& Bc, const SidePattern& Br, int* p_in, int* invq_in,
                       int* work) {
    auto map     = view1(map_in);
    auto unmap   = view1(unmap_in);
    auto order   = view1(order_in);
    auto p       = view1(p_in);
    auto placed  = view1(invq_in);
    auto group   = view1(work);          // union-find parent (constraint nodes)
    auto rep     = view1(work + n);      // representative of a root, 0 when closed
    auto count   = view1(work + 2 * n);  // count of a root
    auto seen    = view1(work + 3 * n);  // root reached while placing position t: t
    auto reached = view1(work + 4 * n);  // how often that root was reached
    auto is_nb   = view1(work + 5 * n);  // constraint neighbour of the node placed at t: t
    auto cand    = view1(work + 6 * n);  // candidate roots
    auto find    = [&](int c) {
        int r = c;
        while (group(r) != r) {
            r = group(r);
        }
        while (group(c) != r) {
            const int next = group(c);
            group(c)       = r;
            c              = next;
        }
        return r;
    };
    for (int i = 1; i <= n; ++i) {
        placed(i) = 0;
        seen(i)   = 0;
        is_nb(i)  = 0;
        group(i)  = i;
        rep(i)    = map(i) == 0 ? i : 0;
        count(i)  = map(i) == 0 ? Bc.count(i) : 0;
    }
    int pos = 0;
    for (int t = 1; t <= nu; ++t) {
        const int u = unmap(order(t));
        p(++pos)    = u;
        placed(u)   = pos;
        int ncand   = 0;
        for (int k = Br.begin(u); k < Br.end(u); ++k) {
            const int c = Br.col(k);
            is_nb(c)    = t;
            const int g = find(c);
            if (rep(g) == 0) {
                continue;
            }
            if (seen(g) != t) {
                seen(g)       = t;
                reached(g)    = 0;
                cand(++ncand) = g;
            }
            ++reached(g);
        }
        // Candidates: reached once and themselves constraint neighbours of u.
        int kept = 0;
        for (int l = 1; l <= ncand; ++l) {
            const int g = cand(l);
            if (reached(g) == 1 && is_nb(rep(g)) == t) {
                cand(++kept) = g;
            }
        }
        if (kept == 0) {
            continue;
        }
        int chosen = cand(1);
        for (int l = 2; l <= kept; ++l) {
            if (count(cand(l)) < count(chosen)) {
                chosen = cand(l);
            }
        }
        const int c = rep(chosen);
        p(++pos)    = c;
        placed(c)   = pos;
        int join    = 0;
        for (int l = 1; l <= kept; ++l) {
            const int g = cand(l);
            if (g == chosen) {
                continue;
            }
            if (join == 0 || count(g) < count(join)) {
                join = g;
            }
        }
        for (int l = 1; l <= kept; ++l) {
            const int g = cand(l);
            if (g != chosen) {
                count(g) = std::min(count(chosen) + count(g) - 2, n);
            }
        }
        if (join != 0) {
            group(chosen) = join;
        } else {
            rep(chosen) = 0;
        }
    }
    for (int i = 1; i <= n; ++i) {
        if (placed(i) == 0) {
            p(++pos) = i;
        }
    }
    invert(n, p_in, invq_in);
}

// Steps 1 to 7 of the saddle-point members after the scaling step.
int saddle_point_reordering(const Member& m, SparseMatrix A, double* right, int* p, int* invq,
                            int* nB, ParameterRecord* param) {
    const long n = A.nr;
    *nB          = A.nr;
    // ibuff: [0,n) ends, [n,2n+1) graph pointer, [2n+1,3n+1) cursor, [3n+1,4n+1) unmap,
    // [4n+1,8n+5) pointers of C, Bc, Br, D; then order (n) and work.
    const long work_ints = n + std::max(ordering_work(m.ordering, n), 8 * n);
    grow_ibuff(param, 8 * n + 5 + work_ints, m.ibuff);
    int* ibuff  = param->ibuff;
    int* cursor = ibuff + 2 * n + 1;
    int* unmap  = ibuff + 3 * n + 1;
    int* work   = ibuff + 8 * n + 5;

    // Renumbering of the unconstrained nodes: map(i) = new number, 0 for a constraint node.
    SparePool<int> iaux(param->iaux, param->niaux);
    Scratch<int> map(iaux, n, m.iw);
    const int* ind = param->indicator;
    int nu         = 0;
    for (int i = 0; i < n; ++i) {
        map.get()[i] = ind != nullptr && ind[i] < 0 ? 0 : ++nu;
        if (map.get()[i] != 0) {
            unmap[nu - 1] = i + 1;
        }
    }

    // Graph of the large entries between unconstrained nodes, renumbered, and its matching.
    {
        SparePool<int> graph_spare(param->iaux, param->niaux, 5 * n);
        SparseMatrix G{};
        if (ind != nullptr) {
            Dsetupgraph_epsilon_sp(A, &G, kLargeEntry, param->dbuff, ibuff, graph_spare.rest(),
                                   static_cast<int>(graph_spare.left()), ind);
        } else {
            Dsetupgraph_epsilon(A, &G, kLargeEntry, param->dbuff, ibuff, graph_spare.rest(),
                                static_cast<int>(graph_spare.left()));
        }
        BuiltGraph graph(G);
        SparePool<double> daux(param->daux, param->ndaux);
        Scratch<double> dw(daux, 3 * n + graph.nnz(), m.values);
        double* u      = dw.get();
        double* v      = u + n;
        double* values = u + 3 * n;
        attach_values(A, G, ibuff, cursor, values);
        // Constraint rows are empty: compact the row pointer, rename the columns.
        auto gia       = view1(G.ia);
        auto gja       = view1(G.ja);
        auto mapv      = view1(map.get());
        const int last = gia(n + 1);
        for (int i = 1; i <= n; ++i) {
            if (mapv(i) != 0) {
                gia(mapv(i)) = gia(i);
            }
        }
        gia(nu + 1) = last;
        for (int k = 1; k < last; ++k) {
            gja(k) = mapv(gja(k));
        }
        G.nr = G.nc = nu;
        if (nu > 0) {
            dmumps_match(nu, last - 1, p, G.ia, G.ja, values, u, v);
        }
        graph.release();
        spread_matching(static_cast<int>(n), map.get(), unmap, p, u, v);
        apply_matching_scaling(A, right, u, v);
        bound_scaled_rows(A, right, u, v);
    }
    scale_constraint_rows(A, right, map.get(), param->dbuff);

    // Patterns over the stored entries: C (unconstrained part), Bc (unconstrained neighbours of
    // the constraint nodes), Br (constraint neighbours of the unconstrained nodes).
    const int* con     = map.get();
    auto unconstrained = [con](int i) { return con[i - 1] != 0; };
    SidePattern Cp(A, ibuff + 4 * n + 1, cursor, iaux, m.cja,
                   [&](int r, int c) { return unconstrained(r) && unconstrained(c); });
    SidePattern Bc(A, ibuff + 5 * n + 2, cursor, iaux, m.bcja,
                   [&](int r, int c) { return !unconstrained(r) && unconstrained(c); });
    SidePattern Br(A, ibuff + 6 * n + 3, cursor, iaux, m.brja,
                   [&](int r, int c) { return unconstrained(r) && !unconstrained(c); });

    // D: for each unconstrained node its neighbours in C and the unconstrained neighbours of its
    // constraint neighbours, itself excluded, renumbered; counted, then filled.
    auto dia    = view1(ibuff + 7 * n + 4);
    auto marker = view1(cursor);
    auto mapv   = view1(map.get());
    auto unmapv = view1(unmap);
    auto each_d = [&](int r, auto&& emit) {
        const int i = unmapv(r);
        marker(i)   = r;
        for (int k = Cp.begin(i); k < Cp.end(i); ++k) {
            const int j = Cp.col(k);
            if (marker(j) != r) {
                marker(j) = r;
                emit(mapv(j));
            }
        }
        for (int k = Br.begin(i); k < Br.end(i); ++k) {
            const int c = Br.col(k);
            for (int l = Bc.begin(c); l < Bc.end(c); ++l) {
                const int j = Bc.col(l);
                if (marker(j) != r) {
                    marker(j) = r;
                    emit(mapv(j));
                }
            }
        }
    };
    for (int i = 1; i <= n; ++i) {
        marker(i) = 0;
    }
    dia(1) = 1;
    for (int r = 1; r <= nu; ++r) {
        int len = 0;
        each_d(r, [&](int) { ++len; });
        dia(r + 1) = dia(r) + len;
    }
    for (int i = 1; i <= n; ++i) {
        marker(i) = 0;
    }
    Scratch<int> dja(iaux, dia(nu + 1) - 1, m.dja);
    auto djav = view1(dja.get());
    for (int r = 1; r <= nu; ++r) {
        int k = dia(r);
        each_d(r, [&](int j) { djav(k++) = j; });
        qqsorti(dja.get() + dia(r) - 1, work, dia(r + 1) - dia(r));
    }
    SparseMatrix D = pattern_record(nu, dia.data(), dja.get());

    // Fill-reducing order of D, replaced by the post-order of its elimination tree.
    int* order                 = work;
    int* w                     = work + n;
    const OrderOutcome outcome = order_pattern(m.ordering, D, order, w, iaux, m.dja);
    int* parent                = w;
    int* invperm               = w + n;
    int* post                  = w + 2 * n;
    invert(nu, order, invperm);
    IP_etree(D.ia, D.ja, nu, order, invperm, parent, w + 3 * n);
    IP_post_order(parent, nu, post, w + 3 * n);
    for (int k = 0; k < nu; ++k) {
        invperm[k] = order[post[k]];
    }
    std::copy(invperm, invperm + nu, order);

    place_constraints(static_cast<int>(n), map.get(), unmap, order, nu, Bc, Br, p, invq, w);
    return outcome.status;
}

// Scaling step first (dbuff grown to 2n beforehand); a zero row or column ends the call with -5
// before anything else is written.
int run_member(const Member& m, SparseMatrix A, double* left, double* right, int* p, int* invq,
               int* nB, ParameterRecord* param) {
    grow_dbuff(param, 2L * A.nr, m.dbuff);
    if (scaling_step(A, left, right, param, m.dbuff) != 0) {
        return -5;
    }
    if (A.nr == 0) {
        *nB = 0;
        return 0;
    }
    if (m.variant == Variant::sp) {
        return saddle_point_reordering(m, A, right, p, invq, nB, param);
    }
    return matching_reordering(m, A, right, p, invq, nB, param);
}

// ---- The members --------------------------------------------------------------------------------
// clang-format off
#define SP_TAGS(prefix) prefix "C.ja", nullptr, nullptr, prefix "Bc.ja", prefix "Br.ja", prefix "D.ja"
constexpr Member kMetisN     {Ordering::metis_nodes, Variant::plain, "symperm_matching_metis_n:dbuff", "symperm_matching_metis_n:ibuff", "symperm_matching_metis_n:dw", "symperm_matching_metis_n:C.ja", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr Member kMetisNSp   {Ordering::metis_nodes, Variant::sp, "symperm_matching_metis_n_sp:dbuff", "symperm_matching_metis_n_sp:ibuff", "symperm_matching_metis_n_sp:dw", SP_TAGS("symperm_matching_metis_n_sp:"), "symperm_MATCHING_metis_n:iw"};
constexpr Member kMetisNFc   {Ordering::metis_nodes, Variant::fc, "symperm_matching_metis_n_fc:dbuff", "symperm_matching_metis_n_fc:ibuff", "symperm_matching_metis_n_fc:b", "symperm_matching_metis_n_fc:C.ja", "sympermFC:ibuff", "sympermFC:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kMetisNFcv  {Ordering::metis_nodes, Variant::fcv, "symperm_matching_metis_n:dbuff", "symperm_matching_metis_n:ibuff", "symperm_matching_metis_n:b", "symperm_matching_metis_n:C.ja", "symperm_matching_metis_n_FCv:ibuff", "symperm_matching_metis_n_FCv:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kMetisE     {Ordering::metis_edges, Variant::plain, "symperm_matching_metis_e:dbuff", "symperm_matching_metis_e:ibuff", "symperm_matching_metis_e:dw", "sympermmwm_metis_e:C.ja", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr Member kMetisESp   {Ordering::metis_edges, Variant::sp, "symperm_matching_metis_e_sp:dbuff", "symperm_matching_metis_e_sp:ibuff", "symperm_matching_metis_e_sp:dw", SP_TAGS("symperm_matching_metis_e_sp:"), "symperm_MATCHING_metis_e_sp:iw"};
constexpr Member kMetisEFc   {Ordering::metis_edges, Variant::fc, "symperm_matching_metis_e_fc:dbuff", "symperm_matching_metis_e_fc:ibuff", "symperm_matching_metis_e_fc:b", "symperm_matching_metis_e_fc:C.ja", "sympermFC:ibuff", "sympermFC:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kMetisEFcv  {Ordering::metis_edges, Variant::fcv, "symperm_matching_metis_e_FCv:dbuff", "symperm_matching_metis_e_FCv:ibuff", "symperm_matching_metis_e_FCv:b", "symperm_matching_metis_e_FCv:C.ja", "symperm_matching_metis_e_FCv:ibuff", "symperm_matching_metis_e_FCv:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kAmf        {Ordering::amf, Variant::plain, "symperm_matching_amf:dbuff", "symperm_matching_amf:ibuff", "symperm_matchingamf:dw", "symperm_matching_amf:C.ja", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr Member kAmfSp      {Ordering::amf, Variant::sp, "symperm_matching_amf_sp:dbuff", "symperm_matching_amf_sp:ibuff", "symperm_matching_amf_sp:dw", SP_TAGS("symperm_matching_amf_sp:"), "symperm_MATCHING_amf_sp:iw"};
constexpr Member kAmfFc      {Ordering::amf, Variant::fc, "symperm_matching_amf_fc:dbuff", "symperm_matching_amf_fc:ibuff", "symperm_matching_amf_fc:b", "symperm_matching_amf_fc:C.ja", "sympermFC:ibuff", "sympermFC:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kAmfFcv     {Ordering::amf, Variant::fcv, "symperm_matching_amf_FCv:dbuff", "symperm_matching_amf_FCv:ibuff", "symperm_matching_amf_FCv:b", "symperm_matching_amf_FCv:C.ja", "symperm_matching_amf_FCv:ibuff", "symperm_matching_amf_FCv:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kAmd        {Ordering::amd, Variant::plain, "symperm_matching_amd:dbuff", "symperm_matching_amd:ibuff", "symperm_matchingamd:dw", "symperm_matching_amd:C.ja", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr Member kAmdSp      {Ordering::amd, Variant::sp, "symperm_matching_amd_sp:dbuff", "symperm_matching_amd_sp:ibuff", "symperm_matching_amd_sp:dw", SP_TAGS("symperm_matching_amd_sp:"), "symperm_mumps_amd_sp:iw"};
constexpr Member kAmdFc      {Ordering::amd, Variant::fc, "symperm_matching_amd_fc:dbuff", "symperm_matching_amd_fc:ibuff", "symperm_matching_amd_fc:b", "symperm_matching_amd_fc:C.ja", "symperm_matching_amd_FC:ibuff", "symperm_matching_amd_FC:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kAmdFcv     {Ordering::amd, Variant::fcv, "symperm_matching_amd:dbuff", "symperm_matching_amd:ibuff", "symperm_matching_amd:b", "symperm_matching_amd:C.ja", "symperm_matching_amd_FCv:ibuff", "symperm_matching_amd_FCv:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kMmd        {Ordering::mmd, Variant::plain, "symperm_matching_mmd:dbuff", "symperm_matching_mmd:ibuff", "symperm_matching_mmd:dw", "symperm_matching_mmd:C.ja", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr Member kMmdSp      {Ordering::mmd, Variant::sp, "symperm_matching_mmd_sp:dbuff", "symperm_matching_mmd_sp:ibuff", "symperm_matching_mmd_sp:dw", SP_TAGS("symperm_matching_mmd_sp:"), "symperm_MATCHING_mmd_sp:iw"};
constexpr Member kMmdFc      {Ordering::mmd, Variant::fc, "symperm_matching_mmd_fc:dbuff", "symperm_matching_mmd_fc:ibuff", "symperm_matching_mmd_fc:b", "symperm_matching_mmd_fc:C.ja", "sympermFC:ibuff", "sympermFC:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kMmdFcv     {Ordering::mmd, Variant::fcv, "symperm_matching_mmd_FCv:dbuff", "symperm_matching_mmd_FCv:ibuff", "symperm_matching_mmd_FCv:b", "symperm_matching_mmd_FCv:C.ja", "symperm_matching_mmd_FCv:ibuff", "symperm_matching_mmd_FCv:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kRcm        {Ordering::rcm, Variant::plain, "symperm_matching_rcm:dbuff", "symperm_matching_rcm:ibuff", "symperm_matching_rcm:dw", "symperm_matching_rcm:C.ja", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr Member kRcmSp      {Ordering::rcm, Variant::sp, "symperm_matching_rcm_sp:dbuff", "symperm_matching_rcm_sp:ibuff", "symperm_matching_rcm_sp:dw", SP_TAGS("symperm_matching_rcm_sp:"), "symperm_MATCHING_rcm_sp:iw"};
constexpr Member kRcmFc      {Ordering::rcm, Variant::fc, "symperm_matching_rcm_fc:dbuff", "symperm_matching_rcm_fc:ibuff", "symperm_matching_rcm_fc:b", "symperm_matching_rcm_fc:C.ja", "sympermFC:ibuff", "sympermFC:dbuff", nullptr, nullptr, nullptr, nullptr};
constexpr Member kRcmFcv     {Ordering::rcm, Variant::fcv, "symperm_matching_rcm_FCv:dbuff", "symperm_matching_rcm_FCv:ibuff", "symperm_matching_rcm_FCv:b", "symperm_matching_rcm_FCv:C.ja", "symperm_matching_rcm_FCv:ibuff", "symperm_matching_rcm_FCv:dbuff", nullptr, nullptr, nullptr, nullptr};
#undef SP_TAGS
// clang-format on

}  // namespace

#define TRELVAK_MEMBER(name, member)                                   \
    TRELVAK_DECLARE_REORDERING(name) {                                 \
        return run_member(member, A, left, right, p, invq, nB, param); \
    }

TRELVAK_MEMBER(DSYMperm_matching_metis_n, kMetisN)
TRELVAK_MEMBER(DSYMperm_matching_metis_n_sp, kMetisNSp)
TRELVAK_MEMBER(DSYMperm_matching_metis_n_fc, kMetisNFc)
TRELVAK_MEMBER(DSYMperm_matching_metis_n_fcv, kMetisNFcv)
TRELVAK_MEMBER(DSYMperm_matching_metis_e, kMetisE)
TRELVAK_MEMBER(DSYMperm_matching_metis_e_sp, kMetisESp)
TRELVAK_MEMBER(DSYMperm_matching_metis_e_fc, kMetisEFc)
TRELVAK_MEMBER(DSYMperm_matching_metis_e_fcv, kMetisEFcv)
TRELVAK_MEMBER(DSYMperm_matching_amf, kAmf)
TRELVAK_MEMBER(DSYMperm_matching_amf_sp, kAmfSp)
TRELVAK_MEMBER(DSYMperm_matching_amf_fc, kAmfFc)
TRELVAK_MEMBER(DSYMperm_matching_amf_fcv, kAmfFcv)
TRELVAK_MEMBER(DSYMperm_matching_amd, kAmd)
TRELVAK_MEMBER(DSYMperm_matching_amd_sp, kAmdSp)
TRELVAK_MEMBER(DSYMperm_matching_amd_fc, kAmdFc)
TRELVAK_MEMBER(DSYMperm_matching_amd_fcv, kAmdFcv)
TRELVAK_MEMBER(DSYMperm_matching_mmd, kMmd)
TRELVAK_MEMBER(DSYMperm_matching_mmd_sp, kMmdSp)
TRELVAK_MEMBER(DSYMperm_matching_mmd_fc, kMmdFc)
TRELVAK_MEMBER(DSYMperm_matching_mmd_fcv, kMmdFcv)
TRELVAK_MEMBER(DSYMperm_matching_rcm, kRcm)
TRELVAK_MEMBER(DSYMperm_matching_rcm_sp, kRcmSp)
TRELVAK_MEMBER(DSYMperm_matching_rcm_fc, kRcmFc)
TRELVAK_MEMBER(DSYMperm_matching_rcm_fcv, kRcmFcv)

#undef TRELVAK_MEMBER
