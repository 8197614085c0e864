// precond.h: the multilevel preconditioner. Factor solves with one level's symmetric compressed
// factor, sparse products, the packed dense solve of a coarsest level, and the three ways of
// applying the level list: multilevel ILU (DSYMAMGsol), AMLI-like cycle (DSYMAMGsol1) and
// multigrid cycle (DSYMAMGsol2).
//
// The factor kernels take scalars by reference, index from 1 and allocate nothing. At call time
// I(1) must be positive and I(m+1) must hold factor_nnz+1 (the callers patch and restore it).
// In every factor kernel rhs and sol may be the same array.
#ifndef TRELVAK_PRECOND_PRECOND_H
#define TRELVAK_PRECOND_PRECOND_H

#include "common/trelvak.h"

// sol = (L D L^T)^-1 rhs with 1x1 pivots only (2x2 markers ignored).
void dsymildlcsol(const int* m, const double* rhs, double* sol, const double* V, const int* I);
// sol = (L D L^T)^-1 rhs with 1x1 and 2x2 pivots.
void dsympilucsol(const int* m, const double* rhs, double* sol, const double* V, const int* I);
// sol = L^-1 rhs (forward part; entries hold D times the solution of U^T y = rhs).
void dsympiluclsol(const int* m, const double* rhs, double* sol, const double* V, const int* I);
// sol = L^-T rhs (backward part, unit upper).
void dsympilucusol(const int* m, const double* rhs, double* sol, const double* V, const int* I);
// Forward part over a level of order mt whose factor rows reach beyond m:
// sol(1..m) = L11^-1 rhs1, sol(m+1..mt) = -L21 L11^-1 rhs1.
void dsymppiluclsol(const int* mt, const int* m, const double* rhs, double* sol, const double* V,
                    const int* I);
// Backward part over a level of order mt: sol(1..m) = L11^-T (rhs1 - L21^T x2), x2 = rhs(m+1..mt).
void dsymppilucusol(const int* mt, const int* m, const double* rhs, double* sol, const double* V,
                    const int* I);

// y = A x, A symmetric stored as its upper triangle with diagonal.
void DSYMmatvec(SparseMatrix A, const double* x, double* y);
// y = A x for a general compressed-row matrix.
void DGNLmatvec(SparseMatrix A, const double* x, double* y);
// y = A^T x for a general compressed-row matrix (y has A.nc entries).
void DGNLmattvec(SparseMatrix A, const double* x, double* y);

// Solve with a packed Bunch-Kaufman factor; arguments and checks as LAPACK's dsptrs, with a 2x2
// solve in the lower case that stays defined when the block's off-diagonal entry is 0.
void dprivatesptrs(const char* uplo, const int* n, const int* nrhs, const double* AP,
                   const int* ipiv, double* B, const int* ldb, int* info);

// sol = M^-1 rhs for the preconditioner held in the level list (level 1's scaling excluded).
// dbuff is the parameter record's work buffer (2N doubles for the multilevel ILU; the cycles
// need the sizes the solver driver computes).
void DSYMAMGsol(LevelRecord* PRE, ParameterRecord* param, const double* rhs, double* sol,
                double* dbuff);
// AMLI-like cycle on level lev (offset a, slice offset b of the coarse work areas).
void DSYMAMGsol1(LevelRecord* R, int lev, int n, int nn, int a, int b, ParameterRecord* param,
                 double* x, double* work);
// Multigrid cycle on level lev with the smoothers selected by ifact[14].
void DSYMAMGsol2(LevelRecord* R, int lev, int n, int nn, int a, int b, ParameterRecord* param,
                 double* x, double* work);

#endif  // TRELVAK_PRECOND_PRECOND_H
