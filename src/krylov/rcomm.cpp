// rcomm.cpp: the calling-protocol pieces shared by the reverse-communication methods: the work
// length guard, the request hand-over and the two closing steps (status and convergence rate);
// and the start-up target and the step with its stopping test that the two conjugate-gradient-type
// methods (dsymbcg, dbcg) share: they differ only in the shadow direction of the divisor
// ps . A p (ps = p for dsymbcg).
//
// On entry ipar and fpar are the methods' 16-entry control arrays (1-based through view1).
// On exit only the slots named in each routine's comment in krylov.h are changed; cg_step also
//   updates x and r (n entries each) and the scalars alpha, aalpha of its CgScalars.
#include <climits>
#include <cmath>

#include "common/blas.h"
#include "common/onebased.h"
#include "krylov/krylov.h"

namespace trelvak::krylov {

SolveState& module_state() {
    static SolveState state;
    return state;
}

bool work_length_overflows(double need, int* ipar_in) {
    if (!(need > static_cast<double>(INT_MAX))) {
        return false;
    }
    auto ipar         = view1(ipar_in, 16);
    ipar(kRequest)    = kWorkTooShort;
    ipar(kWorkLength) = INT_MAX;
    return true;
}

void request(int* ipar_in, int code, int operand, int result, int resume) {
    auto ipar      = view1(ipar_in, 16);
    ipar(kRequest) = code;
    ipar(kOperand) = operand;
    ipar(kResult)  = result;
    ipar(kResume)  = resume;
}

void close_status(int* ipar_in, const double* fpar_in, double q, bool gmres_rule) {
    auto ipar = view1(ipar_in, 16);
    auto fpar = view1(fpar_in, 16);
    if (ipar(kRequest) < 0) {
        return;  // a failure is already recorded
    }
    const bool user_test = ipar(kStopTest) == 999;
    if ((user_test && ipar(kStopFlag) == 1) ||
        ((!gmres_rule || !user_test) && fpar(kTarget) >= q)) {
        ipar(kRequest) = kConverged;
    } else if (ipar(kMaxIter) > 0 && ipar(kMaxIter) <= ipar(kProducts)) {
        ipar(kRequest) = kIterLimit;
    } else {
        ipar(kRequest) = kNoConvergence;
    }
}

void close_rate(const int* ipar_in, double* fpar_in, bool gmres_rule) {
    auto ipar          = view1(ipar_in, 16);
    auto fpar          = view1(fpar_in, 16);
    const double a     = fpar(kInitNorm);
    const double b     = fpar(kTested);
    const bool defined = gmres_rule ? (a != 0.0 && b != 0.0) : (a > 0.0 && b > 0.0);
    const int steps    = ipar(kProducts) - ipar(kResidualProducts);
    fpar(kRate)        = (defined && steps > 0) ? std::log10(a / b) / steps : 0.0;
}

bool cg_start(int n, const double* rhs, const double* sol, const double* r, CgScalars& s,
              int* ipar_in, double* fpar_in) {
    auto ipar       = view1(ipar_in, 16);
    auto fpar       = view1(fpar_in, 16);
    fpar(kRate)     = std::fabs(s.rho);
    fpar(kInitNorm) = fpar(kResNorm) = blas::nrm2(n, r);
    fpar(kPrevRate)                  = 1.0;
    fpar(kFlops) += 4.0 * n;

    const int test    = ipar(kStopTest);
    const double rtol = fpar(kRelTol);
    if (test == 2 || test == -2) {
        s.nrmb        = blas::nrm2(n, rhs);
        fpar(kTarget) = rtol * s.nrmb + fpar(kAbsTol);
    } else if (test == 999) {
        // the caller decides; no target
    } else if (test == 3) {
        s.nrmb        = blas::nrm2(n, rhs);
        fpar(kTarget) = rtol * (fpar(kNormA) * blas::nrm2(n, sol) + s.nrmb);
    } else {
        fpar(kTarget) = rtol * fpar(kInitNorm) + fpar(kAbsTol);
    }
    if (test >= 0 && fpar(kTarget) >= fpar(kResNorm)) {
        fpar(kTested) = fpar(kResNorm);
        return true;
    }
    return false;
}

CgNext cg_step(int n, const double* shadow, const double* t, const double* p, double* x, double* r,
               CgScalars& s, int* ipar_in, double* fpar_in) {
    auto ipar = view1(ipar_in, 16);
    auto fpar = view1(fpar_in, 16);
    ipar(kProducts) += 1;
    const double sigma = blas::dot(n, shadow, t);
    fpar(kFlops) += 2.0 * n;
    s.aalpha = std::fabs(sigma);
    if (dbrkdn(&s.aalpha, ipar_in)) {
        return CgNext::finish;
    }
    s.alpha = s.rho / sigma;
    blas::axpy(n, s.alpha, p, x);   // x = x + alpha p
    blas::axpy(n, -s.alpha, t, r);  // r = r - alpha A p
    fpar(kFlops) += 4.0 * n;

    const int test = ipar(kStopTest);
    const int one  = 1;
    if (test == 999) {
        return CgNext::user_test;
    }
    if (test == 3) {
        fpar(kTarget) = fpar(kRelTol) * (fpar(kNormA) * blas::nrm2(n, x) + s.nrmb);
        fpar(kFlops) += 2.0 * n;
    }
    if (test <= 3 && dstopbis(&n, ipar_in, &one, fpar_in, r, p, &s.alpha)) {
        return CgNext::finish;
    }
    return CgNext::go_on;
}

}  // namespace trelvak::krylov
