// perm_fc.cpp: reorderings that choose the leading block by a fine/coarse splitting.
//   DSYMperm_fc, DSYMperm_fcv      the splitting's own order (DSYMindfc / DSYMindfcv, tau = 0.25)
//   DSYMperm_<ordering>_fc         a plain ordering, then DSYMindfc with tau = 1/condest
//   DSYMperm_<ordering>_fcv        a plain ordering, then DSYMindfcv with tau = 1/condest
// with <ordering> one of rcm (reverse Cuthill-McKee, no postponement), amf, mmd, metis_e,
// metis_n, amd. After the splitting the fill-reducing order is walked twice: first the fine
// nodes, then the coarse ones, each group keeping the fill-reducing order.
//
// On entry and exit as every reordering routine (preprocess.h): A is scaled in place, p/invq
// the permutation and its inverse, nB the number of fine nodes. Returns 0, -5 after a zero row or
// column in the scaling step, or the failing status of the minimum degree library for amd.
// The test-vector forms work in the scaled numbering: param->testvector is divided by right for
// the splitting and multiplied back afterwards. Without a test vector (null, or shorter than n)
// they fall back to the unweighted splitting.
// Buffers: ibuff >= 7n+3 and dbuff >= 3n for DSYMperm_fc/_fcv; ibuff >= 9n+3 and dbuff >= 3n
// after the plain orderings (the splitting's positions go to ibuff(7n+4 .. 8n+3)).
#include "common/onebased.h"
#include "preprocess/preprocess.h"

namespace {

void grow_ibuff(ParameterRecord* param, long need, const char* tag) {
    if (param->nibuff < need) {
        param->ibuff =
            static_cast<int*>(ReAlloc(param->ibuff, sizeof(int) * static_cast<size_t>(need), tag));
        param->nibuff = static_cast<int>(need);
    }
}

void grow_dbuff(ParameterRecord* param, long need, const char* tag) {
    if (param->ndbuff < need) {
        param->dbuff = static_cast<double*>(
            ReAlloc(param->dbuff, sizeof(double) * static_cast<size_t>(need), tag));
        param->ndbuff = static_cast<int>(need);
    }
}

bool has_testvector(const ParameterRecord* param, int n) {
    return param->testvector != nullptr && param->ntestvector >= static_cast<unsigned>(n);
}

// Runs DSYMindfc, or DSYMindfcv on the test vector in the scaled numbering (tv / right).
void run_split(SparseMatrix A, const double* right, int* position, int* nB, double tau,
               ParameterRecord* param, bool weighted) {
    const int n = A.nr;
    if (!weighted || !has_testvector(param, n)) {
        DSYMindfc(A, position, nB, tau, param->ibuff, param->dbuff);
        return;
    }
    double* tv = param->testvector;
    for (int i = 0; i < n; ++i) {
        tv[i] /= right[i];
    }
    DSYMindfcv(A, position, nB, tau, param->ibuff, param->dbuff, tv, 1);
    for (int i = 0; i < n; ++i) {
        tv[i] *= right[i];
    }
}

enum class Plain { rcm, amf, mmd, metis_e, metis_n, amd };

int run_ordering(Plain kind, SparseMatrix A, double* left, double* right, int* p, int* invq,
                 int* nB, ParameterRecord* param) {
    switch (kind) {
        case Plain::rcm:
            return rcm_reordering(A, left, right, p, invq, nB, param, false);
        case Plain::amf:
            return DGNLperm_amf(A, left, right, p, invq, nB, param);
        case Plain::mmd:
            return DGNLperm_mmd(A, left, right, p, invq, nB, param);
        case Plain::metis_e:
            return DGNLperm_metis_e(A, left, right, p, invq, nB, param);
        case Plain::metis_n:
            return DGNLperm_metis_n(A, left, right, p, invq, nB, param);
        case Plain::amd:
            return DGNLperm_amd(A, left, right, p, invq, nB, param);
    }
    return 0;
}

// A plain ordering followed by the splitting; fine nodes first, each group in the plain order.
int ordered_split(Plain kind, bool weighted, SparseMatrix A, double* left, double* right, int* p_in,
                  int* invq_in, int* nB, ParameterRecord* param) {
    const int status = run_ordering(kind, A, left, right, p_in, invq_in, nB, param);
    if (status != 0) {
        return status;
    }
    const int n = A.nr;
    if (n <= 0) {
        return 0;
    }
    const bool amf   = kind == Plain::amf;
    const char* itag = weighted || amf ? "permFC:ibuff" : "sympermFC:ibuff";
    const char* dtag = weighted || amf ? "permFC:dbuff" : "sympermFC:dbuff";
    grow_ibuff(param, 9L * n + 3, itag);
    grow_dbuff(param, 3L * n, dtag);
    int* position    = param->ibuff + 7 * n + 3;
    const double tau = 1.0 / param->condest;
    run_split(A, right, position, nB, tau, param, weighted);

    const auto p    = trelvak::view1(p_in, n);
    const auto invq = trelvak::view1(invq_in, n);
    const auto pos  = trelvak::view1(position, n);
    int k           = 0;
    for (int i = 1; i <= n; ++i) {
        if (pos(p(i)) <= *nB) {
            invq(++k) = p(i);
        }
    }
    for (int i = 1; i <= n; ++i) {
        if (pos(p(i)) > *nB) {
            invq(++k) = p(i);
        }
    }
    for (int i = 1; i <= n; ++i) {
        p(i) = invq(i);
    }
    for (int i = 1; i <= n; ++i) {
        invq(p(i)) = i;
    }
    return 0;
}

// The splitting's own order.
int own_split(bool weighted, SparseMatrix A, double* left, double* right, int* p_in, int* invq_in,
              int* nB, ParameterRecord* param) {
    if (scaling_step(A, left, right, param, "sympermFC:param->dbuff") != 0) {
        return -5;
    }
    const int n = A.nr;
    if (n <= 0) {
        *nB = 0;
        return 0;
    }
    grow_ibuff(param, 7L * n + 3, "sympermFC:ibuff");
    grow_dbuff(param, 3L * n, "sympermFC:dbuff");
    run_split(A, right, invq_in, nB, 0.25, param, weighted);
    const auto p    = trelvak::view1(p_in, n);
    const auto invq = trelvak::view1(invq_in, n);
    for (int i = 1; i <= n; ++i) {
        p(invq(i)) = i;
    }
    return 0;
}

}  // namespace

#define TRELVAK_DEFINE_FC(name, kind, weighted)                                       \
    int name(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB, \
             ParameterRecord* param) {                                                \
        return ordered_split(kind, weighted, A, left, right, p, invq, nB, param);     \
    }

TRELVAK_DEFINE_FC(DSYMperm_rcm_fc, Plain::rcm, false)
TRELVAK_DEFINE_FC(DSYMperm_amf_fc, Plain::amf, false)
TRELVAK_DEFINE_FC(DSYMperm_mmd_fc, Plain::mmd, false)
TRELVAK_DEFINE_FC(DSYMperm_metis_e_fc, Plain::metis_e, false)
TRELVAK_DEFINE_FC(DSYMperm_metis_n_fc, Plain::metis_n, false)
TRELVAK_DEFINE_FC(DSYMperm_amd_fc, Plain::amd, false)
TRELVAK_DEFINE_FC(DSYMperm_rcm_fcv, Plain::rcm, true)
TRELVAK_DEFINE_FC(DSYMperm_amf_fcv, Plain::amf, true)
TRELVAK_DEFINE_FC(DSYMperm_mmd_fcv, Plain::mmd, true)
TRELVAK_DEFINE_FC(DSYMperm_metis_e_fcv, Plain::metis_e, true)
TRELVAK_DEFINE_FC(DSYMperm_metis_n_fcv, Plain::metis_n, true)
TRELVAK_DEFINE_FC(DSYMperm_amd_fcv, Plain::amd, true)

int DSYMperm_fc(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                ParameterRecord* param) {
    return own_split(false, A, left, right, p, invq, nB, param);
}

int DSYMperm_fcv(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                 ParameterRecord* param) {
    return own_split(true, A, left, right, p, invq, nB, param);
}
