// testing.h: matrices and dense references for the unit tests. Every test makes its own matrices
// here; nothing is read from files.
#ifndef TRELVAK_TESTS_COMMON_TESTING_H
#define TRELVAK_TESTS_COMMON_TESTING_H

#include <cstdint>
#include <random>
#include <vector>

#include "common/trelvak.h"

namespace trelvak::test {

// Dense n x n matrix, 0-based, column-major.
struct Dense {
    int n = 0;
    std::vector<double> v;
    explicit Dense(int order = 0) : n(order), v(static_cast<size_t>(order) * order, 0.0) {}
    double& operator()(int i, int j) { return v[static_cast<size_t>(j) * n + i]; }
    double operator()(int i, int j) const { return v[static_cast<size_t>(j) * n + i]; }
};

// A sparse matrix in 1-based compressed rows that owns its arrays. For symmetric matrices it holds
// the upper triangle with the diagonal, as the solver expects.
struct Csr {
    int nr = 0;
    int nc = 0;
    std::vector<int> ia{1};
    std::vector<int> ja;
    std::vector<double> a;
    int nnz() const { return ia.back() - 1; }
    // A record that views (does not own) the arrays.
    SparseMatrix record();
};

// Upper triangle (diagonal included) of a symmetric dense matrix; entries with |a| == 0 dropped
// unless keep_zero_diagonal and i == j.
Csr upper_from_dense(const Dense& d, bool keep_zero_diagonal = false);
// General compressed rows (all nonzero entries) of a dense square matrix.
Csr general_from_dense(const Dense& d);
// Full symmetric dense matrix from a stored upper triangle.
Dense dense_from_upper(const Csr& upper);
// Dense matrix of a general compressed-row matrix (square, order nr; nc must equal nr).
Dense dense_from_general(const Csr& m);

// y = A x for a dense matrix.
std::vector<double> multiply(const Dense& d, const std::vector<double>& x);
// Solves d x = b by Gaussian elimination with partial pivoting (d copied).
std::vector<double> solve(Dense d, std::vector<double> b);
// Euclidean norm, and the infinity norm of a dense matrix.
double norm2(const std::vector<double>& x);
// ||x - ref|| / ||ref||.
double rel_error(const std::vector<double>& x, const std::vector<double>& ref);
double norm_inf(const Dense& d);

// Generators. All return the upper triangle with the diagonal.
// 5-point Laplacian (4 on the diagonal, -1 off) on an nx x ny grid minus shift*I.
Csr laplace2d(int nx, int ny, double shift = 0.0);
// 7-point Laplacian on an nx x ny x nz grid minus shift*I.
Csr laplace3d(int nx, int ny, int nz, double shift = 0.0);
// Random symmetric matrix: about `per_row` off-diagonal entries per row in [-1, 1], diagonal in
// [-2, 2]; a fraction of the diagonal entries set to zero (stored as explicit zeros when
// keep_zeros, else left out) and a fraction made tiny (1e-10).
Csr random_symmetric(int n, int per_row, std::uint64_t seed, double zero_diagonal = 0.0,
                     double tiny_diagonal = 0.0, bool keep_zeros = false);
// Saddle-point matrix [K B^T; B 0] with K (nu x nu) SPD (shifted random Laplacian-like) and B
// (np x nu) of full row rank with `per_row` entries per row.
Csr saddle_point(int nu, int np, int per_row, std::uint64_t seed);
// Arrow matrix: diagonal d, first row full with value c.
Csr arrow(int n, double d = 4.0, double c = 1.0);

// What a reordering routine returned.
struct ReorderResult {
    int status = 0;
    std::vector<int> p, invq;
    int nB = -1;
};
// Runs a reordering routine on a (scaled in place; a is a copy) with unit scaling vectors; p and
// invq start filled with -7 so that unwritten entries show.
ReorderResult run_reordering(ReorderRoutine routine, Csr a, ParameterRecord* param);

// A random permutation of 1..n (1-based), and a check that p is one.
std::vector<int> random_permutation(int n, std::uint64_t seed);
bool is_permutation(const int* p, int n);

// Orderings (appended by the preprocessing tests).
// Adjacency graph of a stored upper triangle: both triangles, 1-based, sorted rows, no self-loops.
struct Graph {
    int n = 0;
    std::vector<int> xadj{1};
    std::vector<int> adjncy;
};
Graph graph_of(const Csr& upper);
// Upper triangle of P^T A P for the ordering perm (perm[k-1] = old index at new position k).
Csr permute_upper(const Csr& upper, const std::vector<int>& perm);
// Number of off-diagonal entries of the Cholesky factor of A(perm, perm) (symbolic, exact).
long cholesky_fill(const Csr& upper, const std::vector<int>& perm);
// Bandwidth max |pos(i) - pos(j)| over the entries of A(perm, perm).
int bandwidth(const Csr& upper, const std::vector<int>& perm);

}  // namespace trelvak::test

#endif  // TRELVAK_TESTS_COMMON_TESTING_H
