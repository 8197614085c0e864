// perm_plain.cpp: reorderings of a symmetric matrix without a matching. Each one runs the scaling
// step, builds the adjacency graph of the pattern and orders it:
//   DGNLperm_null     scaling only; p, invq and nB are left alone
//   DGNLperm_amd      approximate minimum degree (SuiteSparse AMD, default controls)
//   DGNLperm_amf      approximate minimum fill, r2hamdf4 (identity below 8 nodes)
//   DGNLperm_mmd      quotient minimum degree, genqmd
//   DGNLperm_metis_e  nested dissection standing in for the former edge-separator routine
//   DGNLperm_metis_n  nested dissection by node separators (METIS_NodeND)
//   DSPDperm_rcm      reverse Cuthill-McKee, genrcm, with dense rows postponed
//
// On entry A is the upper triangle with diagonal, 1-based, order A.nr; left and right hold the
// caller's scaling vectors (normally ones); param carries the scaling words ifact[7], ifact[8]
// and the work buffers.
// On exit A is scaled in place, p(i) is the index at position i, invq its inverse, nB the leading
// block (n, or the non-postponed part for DSPDperm_rcm). Returns 0, -5 when the scaling meets a
// zero row or column (nothing else written), and for DGNLperm_amd a negative library status.
// Buffers: param->ibuff grows as each routine states below (never shrinks); the graph's index
// array is param->iaux when niaux is large enough, else it is allocated and released here.
#include <amd.h>
#include <metis.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/onebased.h"
#include "preprocess/preprocess.h"

namespace {

int* grow_ibuff(ParameterRecord* param, long need, const char* tag) {
    if (param->nibuff < need) {
        param->ibuff =
            static_cast<int*>(ReAlloc(param->ibuff, sizeof(int) * static_cast<size_t>(need), tag));
        param->nibuff = static_cast<int>(need);
    }
    return param->ibuff;
}

void set_identity(int n, int* p, int* invq) {
    for (int i = 0; i < n; ++i) {
        p[i]    = i + 1;
        invq[i] = i + 1;
    }
}

void invert(int n, const int* p, int* invq) {
    for (int i = 0; i < n; ++i) {
        invq[p[i] - 1] = i + 1;
    }
}

// The graph of A + A^T with its row pointer at ia_buffer (n+1 ints). Its index array is the
// spare buffer when that holds 2 nnz(A) entries, else an allocation released by the destructor.
class Graph {
public:
    Graph(SparseMatrix A, int* ia_buffer, int* spare, int nspare) {
        Dsetupgraph(A, &g_, ia_buffer, spare, nspare);
        const int n = A.nr;
        if (g_.ia[n] < 0) {
            g_.ia[n] = -g_.ia[n];
            owned_   = g_.ja;
        }
    }
    ~Graph() { std::free(owned_); }
    Graph(const Graph&)            = delete;
    Graph& operator=(const Graph&) = delete;

    int* ia() const { return g_.ia; }
    int* ja() const { return g_.ja; }

    // Removes self-loops in place: every row is compacted and the row pointers are lowered by
    // the number of entries removed before them.
    void remove_self_loops(int n) {
        const auto ia = trelvak::view1(g_.ia, n + 1);
        const auto ja = trelvak::view1(g_.ja);
        int removed   = 0;
        int start     = ia(1);
        for (int i = 1; i <= n; ++i) {
            const int end = ia(i + 1);
            for (int k = start; k < end; ++k) {
                if (ja(k) == i) {
                    ++removed;
                } else {
                    ja(k - removed) = ja(k);
                }
            }
            start     = end;
            ia(i + 1) = end - removed;
        }
    }

private:
    SparseMatrix g_{};
    int* owned_ = nullptr;
};

// Degree-based postponement of dense rows after an ordering: deg(i) = stored entries of row i
// plus stored off-diagonal entries of column i; T = trunc(max(avg + 2 (sigma + 0.5), 2 avg)),
// avg = 2 nnz / n, sigma the deviation of deg around avg. Walking the order p, nodes with
// deg > T move behind all others in their order. deg: n ints of work; tmp: n ints of work.
// Returns the number of nodes kept in front.
int postpone_dense_rows(SparseMatrix A, int* p_in, int* deg_in, int* tmp_in) {
    const int n    = A.nr;
    const auto ia  = trelvak::view1(A.ia, n + 1);
    const auto ja  = trelvak::view1(A.ja);
    const auto p   = trelvak::view1(p_in, n);
    const auto deg = trelvak::view1(deg_in, n);
    const auto tmp = trelvak::view1(tmp_in, n);
    for (int i = 1; i <= n; ++i) {
        deg(i) = ia(i + 1) - ia(i);
    }
    for (int i = 1; i <= n; ++i) {
        for (int k = ia(i); k < ia(i + 1); ++k) {
            if (ja(k) != i) {
                ++deg(ja(k));
            }
        }
    }
    const double nnz = ia(n + 1) - 1;
    const double avg = 2.0 * nnz / n;
    double var       = 0.0;
    for (int i = 1; i <= n; ++i) {
        var += (deg(i) - avg) * (deg(i) - avg);
    }
    const double sigma = std::sqrt(var / n);
    const int T        = static_cast<int>(std::fmax(avg + 2.0 * (sigma + 0.5), 2.0 * avg));
    int front          = 0;
    for (int k = 1; k <= n; ++k) {
        if (deg(p(k)) <= T) {
            tmp(++front) = p(k);
        }
    }
    int back = front;
    for (int k = 1; k <= n; ++k) {
        if (deg(p(k)) > T) {
            tmp(++back) = p(k);
        }
    }
    for (int k = 1; k <= n; ++k) {
        p(k) = tmp(k);
    }
    return front;
}

}  // namespace

int rcm_reordering(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                   ParameterRecord* param, bool postpone_dense) {
    if (scaling_step(A, left, right, param, "permrcm:param->dbuff") != 0) {
        return -5;
    }
    const int n = A.nr;
    if (n <= 0) {
        *nB = 0;
        return 0;
    }
    // ibuff: level pointers (n+1) | unused | graph pointer at 2n (n+1). invq is the mask.
    int* ibuff = grow_ibuff(param, 3L * n + 1, "permrcm:ibuff");
    {
        // The graph keeps its self-loops: a stored diagonal counts in the degrees.
        Graph g(A, ibuff + 2 * n, param->iaux, param->niaux);
        genrcm(&n, g.ia(), g.ja(), p, invq, ibuff);
    }
    *nB = postpone_dense ? postpone_dense_rows(A, p, ibuff, invq) : n;
    invert(n, p, invq);
    return 0;
}

int DGNLperm_null(SparseMatrix A, double* left, double* right, int*, int*, int*,
                  ParameterRecord* param) {
    return scaling_step(A, left, right, param, "perm_null:param->dbuff") != 0 ? -5 : 0;
}

namespace {

// AMD with its defaults on the pattern of A (upper triangle, 1-based), copied 0-based into ap
// (n+1) and ai (nnz): the upper triangle by rows is the lower triangle by columns, and AMD
// orders A + A^T, ignores the diagonal, and sorts and merges unsorted or repeated entries itself
// (AMD_OK_BUT_JUMBLED, a success). p gets the 0-based order; returns AMD's status.
int amd_of_upper(const SparseMatrix& A, int* ap, int* ai, int* p, double* info) {
    const int n   = A.nr;
    const int nnz = A.ia[n] - 1;
    for (int i = 0; i <= n; ++i) {
        ap[i] = A.ia[i] - 1;
    }
    for (int k = 0; k < nnz; ++k) {
        ai[k] = A.ja[k] - 1;
    }
    double control[AMD_CONTROL];
    amd_defaults(control);
    return amd_order(n, ap, ai, p, control, info);
}

}  // namespace

int DGNLperm_amd(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                 ParameterRecord* param) {
    if (scaling_step(A, left, right, param, "perm_amd:param->dbuff") != 0) {
        return -5;
    }
    const int n = A.nr;
    *nB         = n;
    if (n <= 0) {
        return 0;
    }
    // 0-based copy of the pattern (amd_of_upper): row pointer in ibuff, column indices in iaux
    // or allocated.
    const int nnz = A.ia[n] - 1;
    int* ap       = grow_ibuff(param, n + 1L, "perm_amd:ibuff");
    int* ai       = param->iaux;
    int* owned    = nullptr;
    if (param->niaux < nnz || ai == nullptr) {
        owned = static_cast<int*>(
            MAlloc(sizeof(int) * static_cast<size_t>(nnz > 0 ? nnz : 1), "perm_amd:ja"));
        ai = owned;
    }
    double info[AMD_INFO];
    const int status = amd_of_upper(A, ap, ai, p, info);
    std::free(owned);
    if (status < AMD_OK) {
        // No order came back; leave a valid one behind.
        set_identity(n, p, invq);
        return status;
    }
    for (int i = 0; i < n; ++i) {
        ++p[i];
    }
    invert(n, p, invq);
    return 0;
}

double exact_factor_fill(const SparseMatrix& A) {
    const int n   = A.nr;
    const int nnz = n > 0 ? A.ia[n] - 1 : 0;
    if (nnz <= n) {
        return 1.0;
    }
    // AMD counts the factor's entries below the diagonal (AMD_LNZ) for the order it makes.
    std::vector<int> ap(static_cast<size_t>(n) + 1), ai(static_cast<size_t>(nnz)), order(ap.size());
    double info[AMD_INFO];
    if (amd_of_upper(A, ap.data(), ai.data(), order.data(), info) < AMD_OK) {
        return HUGE_VAL;
    }
    return (info[AMD_LNZ] + n) / nnz;
}

int DGNLperm_amf(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                 ParameterRecord* param) {
    if (scaling_step(A, left, right, param, "permamf:param->dbuff") != 0) {
        return -5;
    }
    const int n = A.nr;
    *nB         = n;
    if (n < 8) {
        set_identity(n, p, invq);
        return 0;
    }
    // ibuff: nv | degree | wf | next | w | len | head (n+2) | unused | graph pointer at 8n+2.
    // p and invq receive the order and its inverse directly.
    int* ibuff  = grow_ibuff(param, 9L * n + 3, "permamf:ibuff");
    int* nv     = ibuff;
    int* degree = nv + n;
    int* wf     = degree + n;
    int* next   = wf + n;
    int* w      = next + n;
    int* len    = w + n;
    int* head   = len + n;
    int* pe     = ibuff + 8 * n + 2;

    // The kernel needs n free entries behind the graph in its index array to build elements,
    // and some more to compact less often; the graph is built into that array directly.
    const int nnz   = A.ia[n] - 1;
    const int iwcap = 2 * nnz + 2 * n + 1;
    int* iw         = param->iaux;
    int iwlen       = param->niaux;
    int* owned      = nullptr;
    if (iw == nullptr || iwlen < iwcap) {
        owned = static_cast<int*>(MAlloc(sizeof(int) * static_cast<size_t>(iwcap), "permamf:iw"));
        iw    = owned;
        iwlen = iwcap;
    }
    {
        Graph g(A, pe, iw, iwlen);
        g.remove_self_loops(n);
        for (int i = 0; i < n; ++i) {
            len[i] = pe[i + 1] - pe[i];
        }
        int pfree       = pe[n];
        int ncmpa       = 0;
        const int nbuck = n;
        r2hamdf4(&n, &nbuck, &iwlen, pe, &pfree, len, iw, nv, p, invq, degree, wf, next, w, head,
                 &ncmpa);
    }
    std::free(owned);
    return 0;
}

int DGNLperm_mmd(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                 ParameterRecord* param) {
    if (scaling_step(A, left, right, param, "permmmd:param->dbuff") != 0) {
        return -5;
    }
    const int n = A.nr;
    *nB         = n;
    if (n <= 0) {
        return 0;
    }
    // ibuff: deg | marker | rchset | nbrhd | qsize | qlink | graph pointer at 6n (n+1).
    int* ibuff = grow_ibuff(param, 7L * n + 1, "permmmd:ibuff");
    Graph g(A, ibuff + 6 * n, param->iaux, param->niaux);
    g.remove_self_loops(n);
    int nofsub = 0;
    genqmd(&n, g.ia(), g.ja(), p, invq, ibuff, ibuff + n, ibuff + 2 * n, ibuff + 3 * n,
           ibuff + 4 * n, ibuff + 5 * n, &nofsub);
    return 0;
}

namespace {

// Nested dissection of the graph without self-loops; identity when it has no edge.
int metis_reordering(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                     ParameterRecord* param, bool by_edges) {
    const char* dbuff_tag = by_edges ? "perm_metis_E:param->dbuff" : "perm_metis_N:param->dbuff";
    if (scaling_step(A, left, right, param, dbuff_tag) != 0) {
        return -5;
    }
    const int n = A.nr;
    *nB         = n;
    if (n <= 0) {
        return 0;
    }
    int* ibuff = grow_ibuff(param, n + 1L, by_edges ? "perm_metis_E:ibuff" : "perm_metis_N:ibuff");
    // METIS 5 corrupts its heap on self-loops, so they go before the call.
    Graph g(A, ibuff, param->iaux, param->niaux);
    g.remove_self_loops(n);
    if (g.ia()[n] < 2) {
        set_identity(n, p, invq);
        return 0;
    }
    idx_t options[METIS_NOPTIONS];
    METIS_SetDefaultOptions(options);
    if (by_edges) {
        // The former edge-separator routine (METIS 4 METIS_EdgeND, called with options[0] = 0:
        // SHEM matching, edge-based initial bisection, edge refinement, separators from a
        // minimum vertex cover of the edge cut, no compression, no pruning, one separator per
        // level) no longer exists. Its closest equivalent:
        //   CTYPE    = SHEM           heavy-edge matching, as before
        //   IPTYPE   = EDGE           the initial bisection is an edge bisection turned into a
        //                             separator
        //   RTYPE    = SEP2SIDED      separators refined from both sides
        //   COMPRESS = 0, CCORDER = 0, PFACTOR = 0, NSEPS = 1   as before
        //   UFACTOR  = 100            imbalance 1.10, as the former ordering code used
        // The separators are node separators refined as such, so the orders differ from the
        // former routine's.
        options[METIS_OPTION_CTYPE]    = METIS_CTYPE_SHEM;
        options[METIS_OPTION_IPTYPE]   = METIS_IPTYPE_EDGE;
        options[METIS_OPTION_RTYPE]    = METIS_RTYPE_SEP2SIDED;
        options[METIS_OPTION_COMPRESS] = 0;
        options[METIS_OPTION_CCORDER]  = 0;
        options[METIS_OPTION_PFACTOR]  = 0;
        options[METIS_OPTION_NSEPS]    = 1;
        options[METIS_OPTION_UFACTOR]  = 100;
    } else {
        // METIS 4 METIS_NodeND options (1, 3, 1, 2, 0, 1, 200, 1), field by field:
        //   [0] 1   use the fields below     -> start from METIS_SetDefaultOptions
        //   [1] 3   CType  MATCH_SHEM        -> CTYPE    = METIS_CTYPE_SHEM
        //   [2] 1   IType  edge-based growth -> IPTYPE   = METIS_IPTYPE_EDGE
        //   [3] 2   RType  one-sided sep.    -> RTYPE    = METIS_RTYPE_SEP1SIDED
        //   [4] 0   DbgLvl                   -> DBGLVL   = 0
        //   [5] 1   OFlags: compress only    -> COMPRESS = 1, CCORDER = 0
        //   [6] 200 PFactor                  -> PFACTOR  = 200 (same 0.1 x avg-degree rule)
        //   [7] 1   NSeps                    -> NSEPS    = 1
        // numflag 1 -> NUMBERING = 1 (xadj, adjncy, perm and iperm 1-based).
        options[METIS_OPTION_CTYPE]    = METIS_CTYPE_SHEM;
        options[METIS_OPTION_IPTYPE]   = METIS_IPTYPE_EDGE;
        options[METIS_OPTION_RTYPE]    = METIS_RTYPE_SEP1SIDED;
        options[METIS_OPTION_DBGLVL]   = 0;
        options[METIS_OPTION_COMPRESS] = 1;
        options[METIS_OPTION_CCORDER]  = 0;
        options[METIS_OPTION_PFACTOR]  = 200;
        options[METIS_OPTION_NSEPS]    = 1;
    }
    options[METIS_OPTION_NUMBERING] = 1;
    idx_t nvtxs                     = n;
    // perm[k] is the vertex placed at position k: exactly p; iperm is invq.
    const int status = METIS_NodeND(&nvtxs, g.ia(), g.ja(), nullptr, options, p, invq);
    if (status != METIS_OK) {
        std::fprintf(stderr, "%s: METIS_NodeND failed (%d), natural order kept\n",
                     by_edges ? "perm_metis_E" : "perm_metis_N", status);
        std::fflush(stderr);
        set_identity(n, p, invq);
    }
    return 0;
}

}  // namespace

int DGNLperm_metis_e(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                     ParameterRecord* param) {
    return metis_reordering(A, left, right, p, invq, nB, param, true);
}

int DGNLperm_metis_n(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                     ParameterRecord* param) {
    return metis_reordering(A, left, right, p, invq, nB, param, false);
}

int DSPDperm_rcm(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                 ParameterRecord* param) {
    return rcm_reordering(A, left, right, p, invq, nB, param, true);
}
