// The default options on problems of the benchmark's sizes: every level list passes the checker,
// stays within elbow and leads SQMR to a true relative residual of 1e-6 through the solver
// driver, as from Octave and the tool. Guards the rules that choose between passes and between
// sparse and dense levels, which the small problems of the other tests do not reach.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/level_check.h"
#include "common/onebased.h"
#include "factor_support.h"
#include "precond/precond.h"
#include "solver/solver.h"

namespace trelvak::test {
namespace {

// ||b - A x|| / ||b|| after the solver driver with the level list (b = A * ones).
double driver_relres(Csr& A, Factored& f, int* iterations) {
    const int n = A.nr;
    std::vector<double> ones(static_cast<size_t>(n), 1.0), b(static_cast<size_t>(n), 0.0);
    DSYMmatvec(A.record(), ones.data(), b.data());
    std::vector<double> rhs            = b, x(static_cast<size_t>(n), 0.0);
    const std::vector<double> pristine = A.a;
    SparseMatrix record                = A.record();
    const int status = DSYMAMGsolver(&record, f.levels, f.param, rhs.data(), x.data());
    A.a              = pristine;  // the driver scales A in place and back; keep it exact
    EXPECT_EQ(status, 0);
    *iterations = f.param->ipar[kProducts - 1];
    return relative_residual(A, x, b);
}

// Factors A with the defaults and solves through the driver; max_iterations leaves some room over
// what the defaults need now.
void expect_defaults_converge(Csr A, int max_iterations) {
    Factored f;
    ASSERT_EQ(f.run(A), 0) << f.info.message;
    EXPECT_EQ(check_level_list(f.levels, f.param), "");
    EXPECT_LE(f.info.fill, f.param->elbow);
    int its             = 0;
    const double relres = driver_relres(A, f, &its);
    EXPECT_LT(relres, 1e-6);
    EXPECT_LE(its, max_iterations) << "fill " << f.info.fill << ", levels " << f.info.nlev;
}

// 2D Helmholtz-type, 3 % negative eigenvalues: restarts with the larger bound.
TEST(Families, Helmholtz2d200) {
    expect_defaults_converge(laplace2d(200, 200, 0.3775), 20);
}

// 3D Laplacian, positive definite: two levels.
TEST(Families, Laplace3d30) {
    expect_defaults_converge(laplace3d(30, 30, 30, 0.0), 40);
}

// Saddle point with a zero (2,2) block.
TEST(Families, SaddlePoint20000) {
    expect_defaults_converge(saddle_point(15000, 5000, 3, 11), 20);
}

}  // namespace
}  // namespace trelvak::test
