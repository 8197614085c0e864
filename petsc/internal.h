// internal.h: what the PC and the KSP of libtrelvak_petsc share: a guard that turns the package's
// fatal stops and C++ exceptions into PETSc errors, and the conversion of a PETSc matrix into the
// package's upper triangle.
#ifndef TRELVAK_PETSC_INTERNAL_H
#define TRELVAK_PETSC_INTERNAL_H

#include <petscmat.h>

#include <functional>
#include <vector>

#include "common/trelvak.h"

namespace trelvak::petsc {

// Runs body with a fatal-error handler that throws; an exception leaving body becomes a PETSc
// error on comm with its message (PETSC_ERR_MEM for an allocation failure, PETSC_ERR_LIB else).
// Nothing thrown crosses into PETSc.
PetscErrorCode guarded(MPI_Comm comm, const std::function<void()>& body);

// A symmetric matrix as the factorization takes it: upper triangle with the diagonal, 1-based
// compressed rows, columns ascending.
struct UpperTriangle {
    int n = 0;
    std::vector<int> ia{1};
    std::vector<int> ja;
    std::vector<double> a;
    // A record viewing the arrays.
    SparseMatrix record();
};

// The upper triangle of A, a square matrix on one process: SBAIJ with block size 1, or any type
// that gives its rows (AIJ, dense, ...). The lower triangle is not read: A is taken to be
// symmetric. Errors: a matrix on several processes, not square, or too
// large for 32-bit indices.
PetscErrorCode upper_triangle(Mat A, UpperTriangle* out);

// Gives every row without a nonzero entry (in either triangle) the diagonal entry `value`;
// returns their number. A block of a saddle-point matrix cut out by block Jacobi can hold
// multiplier rows whose every coupling lies in other blocks: the block is then singular, and
// the preconditioner acts on those unknowns as value^-1 times the identity instead.
int unit_empty_rows(UpperTriangle* A, double value);

}  // namespace trelvak::petsc

#endif  // TRELVAK_PETSC_INTERNAL_H
