// problems.h: the test problems of the PETSc tests, generated in the test, and their PETSc
// matrices.
//
// The optimal-control KKT matrix on an N x N grid, three unknowns per grid node in the order
// (lambda, y, u) and the nodes by rows:
//     [ 0   K   -M  ]   lambda: the constraint K y - M u = f (5-point stiffness K, lumped mass
//     [ K   M    0  ]           M = h^2 I), its diagonal zero
//     [ -M  0  beta M]  y, u:   state and control
// Indefinite, nonsingular, with a zero diagonal entry (stored) in the first row of every node: an
// incomplete factorization without pivoting meets a zero pivot at once. A block of consecutive
// whole nodes is again such a system (of the subgrid).
#ifndef TRELVAK_PETSC_TESTS_PROBLEMS_H
#define TRELVAK_PETSC_TESTS_PROBLEMS_H

#include <petscmat.h>

#include <vector>

#include "common/trelvak.h"

namespace trelvak::petsc::test {

// Upper triangle with the diagonal, 0-based rows, columns ascending.
struct Upper {
    int n = 0;
    std::vector<int> ptr{0};
    std::vector<int> col;
    std::vector<double> val;
    // The package's record: 1-based copies held in `one_based`.
    SparseMatrix record();
    std::vector<int> ia1, ja1;
    std::vector<double> a1;
};

Upper optimal_control(int N, double beta = 1e-2);

// The matrix as PETSc's AIJ (both triangles) or SBAIJ (upper triangle) on comm, rows spread
// over the processes in blocks of whole nodes of `unit` rows.
Mat to_petsc(MPI_Comm comm, const Upper& A, MatType type, int unit = 3);

// y = A x with the full symmetric matrix.
std::vector<double> multiply(const Upper& A, const std::vector<double>& x);

}  // namespace trelvak::petsc::test

#endif  // TRELVAK_PETSC_TESTS_PROBLEMS_H
