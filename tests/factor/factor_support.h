// factor_support.h: helpers of the factorization tests. Factor a generated matrix, apply the
// level list as the solver driver does (scaling by level 1's colscale around DSYMAMGsol), and
// run preconditioned SQMR in reverse communication.
#ifndef TRELVAK_TESTS_FACTOR_FACTOR_SUPPORT_H
#define TRELVAK_TESTS_FACTOR_FACTOR_SUPPORT_H

#include <vector>

#include "common/testing.h"
#include "factor/factor.h"

namespace trelvak::test {

// A parameter record, a level list and what the factorization reported; released on scope exit.
struct Factored {
    ParameterRecord* param = nullptr;
    LevelRecord* levels    = nullptr;
    FactorInfo info;
    int status = 0;
    Factored();
    ~Factored();
    Factored(const Factored&)            = delete;
    Factored& operator=(const Factored&) = delete;
    // Factors A under the options now in param.
    int run(Csr& A);
};

// Options for an exact factorization: no dropping, no limits.
void set_exact(ParameterRecord* param);

// x = M^-1 b for the unscaled matrix: x = D1 sol(D1 b), D1 = level 1's colscale.
std::vector<double> apply_preconditioner(LevelRecord* levels, ParameterRecord* param,
                                         const std::vector<double>& b);

// Right-preconditioned SQMR on A x = b (x0 = 0) with the level list; returns the iteration count
// or -1 without convergence; *relres receives the true relative residual ||b - A x|| / ||b||.
int sqmr_solve(Csr& A, LevelRecord* levels, ParameterRecord* param, const std::vector<double>& b,
               std::vector<double>* x, double tol, int maxit, double* relres);

// ||b - A x|| / ||b|| with A given by its upper triangle.
double relative_residual(Csr& A, const std::vector<double>& x, const std::vector<double>& b);

}  // namespace trelvak::test

#endif  // TRELVAK_TESTS_FACTOR_FACTOR_SUPPORT_H
