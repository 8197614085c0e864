// preprocess.h: preprocessing before a factorization. Diagonal scalings, adjacency graphs,
// the maximum weight matching with its scaling, the split into 1x1/2x2 pivots, elimination trees,
// sorting, the ordering kernels, and the reordering routines that the parameter record's slots
// name. Numeric kernels take scalars by reference and index from 1.
//
// Every reordering routine has the signature ReorderRoutine (common/trelvak.h): it runs the
// scaling step first (the flags and norm words ifact[7], ifact[8] choose the scaling), then
// writes p (position -> index, 1-based), invq (its inverse) and nB, and returns 0, or -5 on a
// zero row or column.
#ifndef TRELVAK_PREPROCESS_PREPROCESS_H
#define TRELVAK_PREPROCESS_PREPROCESS_H

#include "common/trelvak.h"

// ---- Diagonal scalings ---------------------------------------------------------------------
// Norm codes: 0 max, 1 sum of absolute values, 2 Euclidean.
void dcnrms(const int* n, const int* nrm, const double* a, const int* ja, const int* ia,
            double* diag);
void drnrms(const int* n, const int* nrm, const double* a, const int* ja, const int* ia,
            double* diag);
void damultdiag(const int* n, double* a, const int* ja, const int* ia, const double* diag);
void ddiagmulta(const int* n, double* a, const int* ja, const int* ia, const double* diag);
void dcolscale(const int* n, const int* job, double* a, const int* ja, const int* ia,
               double* diag, int* ierr);
void drowscale(const int* n, const int* job, double* a, const int* ja, const int* ia,
               double* diag, int* ierr);
void dspdscale(const int* n, double* a, const int* ja, const int* ia, double* diag, int* ierr);
void dsymscale(const int* n, double* a, const int* ja, const int* ia, double* diag, double* work,
               int* ierr);

// ---- Graphs, matching, elimination tree, sorting ---------------------------------------------

// ---- Ordering kernels ------------------------------------------------------------------------
// All 1-based; the graph holds both triangles. perm maps position -> node.

// Reverse Cuthill-McKee by connected components with pseudo-peripheral roots. The graph may hold
// self-loops (they count in the degrees). mask: n ints of work; xls: n+1 ints of work.
void genrcm(const int* n, const int* xadj, const int* adjncy, int* perm, int* mask, int* xls);

// Quotient minimum degree (threshold search, indistinguishable nodes merged, quotient-graph
// transformation). The graph must have no self-loops; adjncy is destroyed. deg, marker, rchset,
// nbrhd, qsize, qlink: n ints of work each. nofsub receives the number of off-diagonal entries of
// the Cholesky factor.
void genqmd(const int* n, int* xadj, int* adjncy, int* perm, int* invp, int* deg, int* marker,
            int* rchset, int* nbrhd, int* qsize, int* qlink, int* nofsub);

// Approximate minimum fill. On entry row i of the graph (no self-loops) is iw(pe(i)) ..
// iw(pe(i)+len(i)-1), pfree the first free position of iw (length iwlen, at least 1.2 times the
// graph's entries plus n is comfortable; the quotient graph is compacted in place when it fills).
// nbbuck: number of buckets beyond the first n (keys above n are compressed into them); head
// holds nbbuck+2 ints. nv, next, degree, wf, w, elen: n ints of work each. On exit last(k) is the
// node eliminated k-th, elen(i) the position of node i; pe, len, iw are destroyed. ncmpa counts
// the compactions.
void r2hamdf4(const int* n, const int* nbbuck, const int* iwlen, int* pe, int* pfree, int* len,
              int* iw, int* nv, int* last, int* elen, int* degree, int* wf, int* next, int* w,
              int* head, int* ncmpa);

// ---- Fine/coarse splittings ------------------------------------------------------------------
// Split the nodes of the symmetric matrix A (upper triangle, 1-based) into fine and coarse nodes.
// On exit perm(i) is the new position of node i (fine nodes 1..nB, coarse nodes nB+1..n).
// ibuff: at least 7n+3 ints, dbuff: at least 3n doubles. DSYMindfcv weighs the entries by the
// test vector tv.
void DSYMindfc(SparseMatrix A, int* perm, int* nB, double tau, int* ibuff, double* dbuff);
void DSYMindfcv(SparseMatrix A, int* perm, int* nB, double tau, int* ibuff, double* dbuff,
                const double* tv, int flag);

// Block form used by the matching-based reorderings: A is read through p (position -> index) and
// invq (its inverse), so in the current order; a 2x2 pivot is one unit. On exit ibuff(1..n) is the
// new rank of every position (fine 1..nB, coarse nB+1..n) and nB the number of fine positions.
// ibuff: at least 9n+3 ints (10n+3 for the test-vector form); dbuff: 6n doubles (8n).
void DSYMpindfc(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff,
                double* dbuff);
void DSYMpindfcv(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff,
                 double* dbuff, const double* tv, int flag);

// Diagonal-dominance ordering behind DSPDperm_pp: rows that are dominant enough lead, in order of
// decreasing score. p (position -> row), invq its inverse, nB the number of selected rows.
// ibuff: 2n ints, dbuff: 3n doubles. Returns 0, or 1 on a counting error.
int DPPpermF(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff, double* dbuff,
             int unused);
int DSPDwDiagRF(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff,
                double* dbuff, int unused);

#define TRELVAK_DECLARE_REORDERING(name)                                                          \
    int name(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,             \
             ParameterRecord* param)

// ---- Reordering routines without matching --------------------------------------------------
TRELVAK_DECLARE_REORDERING(DGNLperm_null);
TRELVAK_DECLARE_REORDERING(DGNLperm_amd);
TRELVAK_DECLARE_REORDERING(DGNLperm_amf);
TRELVAK_DECLARE_REORDERING(DGNLperm_mmd);
TRELVAK_DECLARE_REORDERING(DGNLperm_metis_e);
TRELVAK_DECLARE_REORDERING(DGNLperm_metis_n);
TRELVAK_DECLARE_REORDERING(DSPDperm_rcm);
TRELVAK_DECLARE_REORDERING(DSPDperm_pp);
TRELVAK_DECLARE_REORDERING(DSYMperm_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_fcv);

// Plain orderings followed by a fine/coarse splitting.
TRELVAK_DECLARE_REORDERING(DSYMperm_rcm_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_amf_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_mmd_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_metis_e_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_metis_n_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_amd_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_rcm_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_amf_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_mmd_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_metis_e_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_metis_n_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_amd_fcv);

// ---- Matching-based reorderings ------------------------------------------------------------
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amd);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amd_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amd_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amd_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_n);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_n_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_n_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_n_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_e);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_e_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_e_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_e_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amf);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amf_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amf_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amf_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_mmd);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_mmd_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_mmd_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_mmd_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_rcm);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_rcm_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_rcm_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_rcm_fcv);

#endif  // TRELVAK_PREPROCESS_PREPROCESS_H
