// factor_support.cpp: factor, apply and solve helpers of the factorization tests.
#include "factor_support.h"

#include <cmath>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "precond/precond.h"

namespace trelvak::test {

Factored::Factored() : param(create_parameters()) {}

Factored::~Factored() {
    release_levels(levels);
    release_parameters(param);
}

int Factored::run(Csr& A) {
    release_levels(levels);
    levels = nullptr;
    status = factor(A.record(), param, &levels, &info);
    return status;
}

void set_exact(ParameterRecord* param) {
    param->droptol  = 0.0;
    param->droptolS = 0.0;
    param->lfil     = 0;
    param->lfilS    = 0;
    param->elbow    = 1e6;
}

std::vector<double> apply_preconditioner(LevelRecord* levels, ParameterRecord* param,
                                         const std::vector<double>& b) {
    const int n = levels->n;
    std::vector<double> r(b), x(static_cast<size_t>(n), 0.0);
    // The cycles need 2n + 3n + 2n per level at most (driver's sizing of dbuff).
    std::vector<double> work(static_cast<size_t>((7 + 2 * levels->nlev) * n + 16), 0.0);
    for (int i = 0; i < n; ++i) {
        r[i] *= levels->colscale[i];
    }
    DSYMAMGsol(levels, param, r.data(), x.data(), work.data());
    for (int i = 0; i < n; ++i) {
        x[i] *= levels->colscale[i];
    }
    return x;
}

double relative_residual(Csr& A, const std::vector<double>& x, const std::vector<double>& b) {
    std::vector<double> y(b.size(), 0.0);
    DSYMmatvec(A.record(), x.data(), y.data());
    for (size_t i = 0; i < b.size(); ++i) {
        y[i] = b[i] - y[i];
    }
    return norm2(y) / norm2(b);
}

int sqmr_solve(Csr& A, LevelRecord* levels, ParameterRecord* param, const std::vector<double>& b,
               std::vector<double>* x, double tol, int maxit, double* relres) {
    const int n = A.nr;
    x->assign(static_cast<size_t>(n), 0.0);
    int ipar[16]    = {};
    double fpar[16] = {};
    auto ip         = view1(ipar, 16);
    auto fp         = view1(fpar, 16);
    ip(kPrecSide)   = 2;
    ip(kStopTest)   = 1;
    ip(kWorkLength) = 6 * n;
    ip(kMaxIter)    = maxit;
    fp(kRelTol)     = tol;
    std::vector<double> w(static_cast<size_t>(6 * n), 0.0);
    while (true) {
        dsymqmr(&n, b.data(), x->data(), ipar, fpar, w.data());
        const int request = ip(kRequest);
        double* in        = w.data() + ip(kOperand) - 1;
        double* out       = w.data() + ip(kResult) - 1;
        if (request == kMatVec || request == kMatTVec) {
            DSYMmatvec(A.record(), in, out);
        } else if (request >= kLeftSolve && request <= kRightTSolve) {
            std::vector<double> v(in, in + n);
            std::vector<double> y = apply_preconditioner(levels, param, v);
            std::copy(y.begin(), y.end(), out);
        } else if (request != kUserTest) {
            break;
        }
    }
    *relres = relative_residual(A, *x, b);
    return ip(kRequest) == 0 ? ip(kProducts) : -1;
}

}  // namespace trelvak::test
