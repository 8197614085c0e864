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

// ---- Fine/coarse splittings ------------------------------------------------------------------

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
