// sqmr.cpp: dsymqmr, the symmetric quasi-minimal residual method in reverse communication, for
// symmetric, possibly indefinite A and a symmetric preconditioner; products with A only.
//
// On entry (first call, ipar(1) <= 0): n, rhs = b, sol = x0, ipar(2..6), fpar(1), fpar(2),
//   fpar(11), fpar(12) (test 3). Later calls: the answer to the last request in w(ipar(9)..).
// On exit: a request 1, 3, 5 or 10 on the slices w(ipar(8)..) -> w(ipar(9)..), or a final status in
//   ipar(1) with the iterate in sol. ipar(7) counts the products with A (the initial one included,
//   the final check not); fpar(3) = ||r0||, fpar(5) = tau (or ||r|| from the stopping test),
//   fpar(6) = the tested quantity and, after a successful end, ||b - A x||; fpar(7) the rate.
// Work array w, 6n:
//   r  = w(1..n)      residual b - A x of the unpreconditioned system (by recurrence)
//   d  = w(n+1..2n)   search direction
//   t  = w(2n+1..3n)  A d; between products the one-sided preconditioned residual; finally b - A x
//   z2 = w(3n+1..4n)  M_R^{-1} M_L^{-1} r when both sides are on
//   x  = w(4n+1..5n)  the iterate
//   dx = w(5n+1..6n)  the smoothed correction added to x in each iteration
// The vectors may be one process's part of vectors spread over several: every inner product and
// norm then goes through the state's reduction hook, so all processes see the same scalars.
#include <cmath>

#include "common/blas.h"
#include "common/onebased.h"
#include "krylov/krylov.h"

using namespace trelvak;

namespace {

enum class Resume : int {
    start = 0,
    after_initial_product,  // A x0 in t
    after_initial_left,     // M_L^{-1} r0 in t
    after_initial_right,    // M_R^{-1} r~0 in d
    after_product,          // A d in t
    after_left,             // M_L^{-1} r in t
    after_user_test,        // the caller's verdict in ipar(11)
    after_right,            // M_R^{-1} r~ in t or z2
    after_final_product,    // A x in t
    after_resumed_left,     // M_L^{-1} r in t, before the iteration goes on after the final check
};

class Sqmr : krylov::Method<Resume> {
    krylov::SqmrState& s_;
    const krylov::Reduction& reduce_;

public:
    Sqmr(krylov::SolveState& state, int n, const double* rhs, double* sol, int* ipar, double* fpar,
         double* w)
        : Method(n, rhs, sol, ipar, fpar, w), s_(state.sqmr), reduce_(state.reduce) {}

    void run() {
        switch (resume_point()) {
            case Resume::after_initial_product:
                return initial_residual();
            case Resume::after_initial_left:
                return initial_direction();
            case Resume::after_initial_right:
                return initial_target();
            case Resume::after_product:
                return iteration_start();
            case Resume::after_left:
                return iteration_update();
            case Resume::after_user_test:
                return after_user_test();
            case Resume::after_right:
                return iteration_direction();
            case Resume::after_final_product:
                return final_check();
            case Resume::after_resumed_left:
                return iteration_continue();
            default:
                return start();
        }
    }

private:
    // Offsets of the slices (1-based positions of their first entries).
    int r() const { return 1; }
    int d() const { return n_ + 1; }
    int t() const { return 2 * n_ + 1; }
    int z2() const { return 3 * n_ + 1; }
    int x() const { return 4 * n_ + 1; }
    int dx() const { return 5 * n_ + 1; }
    // The preconditioned residual r~: the one-sided result in t when left is on, else r.
    int rtilde() const { return s_.lp ? t() : r(); }
    // z after the right solve: z2 with both sides, t with one side, r with none.
    int zvec() const { return krylov::by_sides(s_.lp, s_.rp, r(), t(), z2()); }
    double rtol() const { return fpar_(kRelTol); }
    double atol() const { return fpar_(kAbsTol); }
    // Inner product and norm over all parts of the vectors.
    double dot(const double* x, const double* y) const { return krylov::dot(reduce_, n_, x, y); }
    double nrm2(const double* x) const { return krylov::nrm2(reduce_, n_, x); }
    // w(target..) = b - w(product..); target and product may be the same slice.
    void residual_into(int target, int product) {
        if (target != product) {
            blas::copy(n_, at(product), at(target));
        }
        blas::scal(n_, -1.0, at(target));
        blas::axpy(n_, 1.0, rhs_, at(target));
        flops(n_);
    }

    void start() {
        if (!begin(6, &s_.lp, &s_.rp)) {
            return;
        }
        s_.adjust = 1.0;
        blas::copy(n_, sol_, at(x()));
        ask(kMatVec, x(), t(), Resume::after_initial_product);  // t = A x0
    }

    void initial_residual() {
        ipar_(kProducts) += 1;
        ipar_(kResidualProducts) += 1;
        residual_into(r(), t());  // r = b - A x0
        if (s_.lp) {
            return ask(kLeftSolve, r(), t(), Resume::after_initial_left);  // t = M_L^{-1} r
        }
        initial_direction();
    }

    void initial_direction() {
        s_.theta = 0.0;
        s_.tau   = nrm2(at(rtilde()));  // tau = ||r~||
        flops(2.0 * n_);
        if (s_.rp) {
            return ask(kRightSolve, rtilde(), d(), Resume::after_initial_right);  // d = M_R^{-1} r~
        }
        blas::copy(n_, at(rtilde()), at(d()));  // d = r~
        initial_target();
    }

    void initial_target() {
        double rnorm = 0.0;  // rho = d . r and ||r||, in one sum
        krylov::dot_and_nrm2(reduce_, n_, at(d()), at(r()), at(r()), &s_.rho, &rnorm);
        fpar_(kRate) = std::fabs(s_.rho);
        flops(4.0 * n_);
        fpar_(kInitNorm) = rnorm;
        fpar_(kResNorm)  = s_.tau;
        if (rnorm != 0.0) {
            s_.adjust = 0.5 * s_.tau / rnorm;
        }
        fpar_(kPrevRate) = 1.0;

        const int test = ipar_(kStopTest);
        if (test == 2 || test == -2) {
            s_.nrmb        = nrm2(rhs_);
            fpar_(kTarget) = rtol() * s_.nrmb + atol();
        } else if (test == 999) {
            // the caller decides; no target
        } else if (test == 3) {
            s_.nrmb        = nrm2(rhs_);
            s_.nrmx        = nrm2(sol_);
            fpar_(kTarget) = s_.adjust * rtol() * (fpar_(kNormA) * s_.nrmx + s_.nrmb);
            s_.delaycount  = 1;
        } else {
            fpar_(kTarget) = rtol() * fpar_(kInitNorm) + atol();
        }

        if (test >= 0 && fpar_(kTarget) >= fpar_(kResNorm)) {
            fpar_(kTested) = fpar_(kInitNorm);
            return finish();  // converged before iterating
        }
        ask(kMatVec, d(), t(), Resume::after_product);  // t = A d
    }

    // Iteration steps 1-2, entered with t = A d.
    void iteration_start() {
        ipar_(kProducts) += 1;
        const double sigma = dot(at(d()), at(t()));  // sigma = d . A d
        flops(2.0 * n_);
        s_.aalpha = std::fabs(sigma);
        if (dbrkdn(&s_.aalpha, ipar_raw_)) {
            return finish();
        }
        s_.alpha = s_.rho / sigma;
        blas::axpy(n_, -s_.alpha, at(t()), at(r()));  // r = r - alpha A d
        flops(2.0 * n_);
        if (s_.lp) {
            return ask(kLeftSolve, r(), t(), Resume::after_left);  // t = M_L^{-1} r
        }
        iteration_update();
    }

    // Steps 3-6: the QMR smoothing of the iterate and the stopping test.
    void iteration_update() {
        const double theta_old = s_.theta;
        s_.aalpha              = std::fabs(s_.tau);
        if (dbrkdn(&s_.aalpha, ipar_raw_)) {
            return finish();
        }
        s_.rtnorm       = nrm2(at(rtilde()));
        s_.theta        = s_.rtnorm / s_.tau;  // theta = ||r~|| / tau
        const double c  = 1.0 / (1.0 + s_.theta * s_.theta);
        s_.tau          = s_.tau * s_.theta * std::sqrt(c);  // tau = tau theta c^(1/2)
        fpar_(kResNorm) = s_.tau;
        blas::scal(n_, c * theta_old * theta_old, at(dx()));  // dx = c theta_old^2 dx + c alpha d
        blas::axpy(n_, c * s_.alpha, at(d()), at(dx()));
        blas::axpy(n_, 1.0, at(dx()), at(x()));  // x = x + dx
        flops(8.0 * n_);

        const int test = ipar_(kStopTest);
        if (test <= 2) {
            const int p        = 1;
            const double scale = 1.0;
            if (krylov::stopbis(reduce_, n_, ipar_raw_, p, fpar_raw_, at(r()), at(dx()), scale)) {
                return finish();
            }
        } else if (test == 3) {
            if (s_.delaycount >= 4) {
                s_.delaycount = 1;
                s_.nrmx       = nrm2(at(x()));
                flops(2.0 * n_);
            } else {
                s_.delaycount += 1;
            }
            fpar_(kTarget) = s_.adjust * rtol() * (fpar_(kNormA) * s_.nrmx + s_.nrmb);
            if (at_limit() || fpar_(kTarget) >= fpar_(kResNorm)) {
                return finish();
            }
        } else if (test == 999) {
            // The scratch slice must not hold live data: with left preconditioning t holds
            // M_L^{-1} r, still needed below, so the caller gets z2 (unused until the right solve).
            return ask(kUserTest, x(), s_.lp ? z2() : t(), Resume::after_user_test);
        }
        iteration_continue();
    }

    void after_user_test() {
        if (ipar_(kStopFlag) == 1) {
            return finish();
        }
        iteration_continue();
    }

    // Steps 7-8.
    void iteration_continue() {
        s_.rho_old       = s_.rho;
        fpar_(kPrevRate) = fpar_(kRate);
        if (s_.rp) {
            // z = M_R^{-1} r~
            return ask(kRightSolve, rtilde(), s_.lp ? z2() : t(), Resume::after_right);
        }
        iteration_direction();
    }

    // Steps 9-10.
    void iteration_direction() {
        s_.rho       = dot(at(zvec()), at(r()));  // rho = z . r
        fpar_(kRate) = std::fabs(s_.rho);
        flops(2.0 * n_);
        if (dbrkdn(&fpar_(kRate), ipar_raw_)) {
            return finish();
        }
        const double beta = s_.rho / s_.rho_old;
        blas::scal(n_, beta, at(d()));  // d = z + beta d
        blas::axpy(n_, 1.0, at(zvec()), at(d()));
        flops(3.0 * n_);
        ask(kMatVec, d(), t(), Resume::after_product);  // t = A d
    }

    // Closing steps; a successful end first checks the true residual with one more product.
    void finish() {
        close(closing_quantity(), false);
        if (ipar_(kRequest) < 0) {
            return deliver();
        }
        ask(kMatVec, x(), t(), Resume::after_final_product);  // t = A x, not counted
    }

    // The quantity compared with the target at the end: tau (test 3 and 999) or ||r|| (tests 1 and
    // 2, written into fpar(5) by the stopping test). Under the change tests -1 and -2 the target
    // bounds ||dx||, so the change itself is compared.
    double closing_quantity() const {
        return ipar_(kStopTest) < 0 ? fpar_(kTested) : fpar_(kResNorm);
    }

    void final_check() {
        ipar_(kRequest) = kConverged;
        residual_into(t(), t());  // t = b - A x
        fpar_(kTested) = nrm2(at(t()));
        flops(2.0 * n_);
        if (ipar_(kStopTest) != 3) {
            // Tests 1, 2, -1, -2 and 999 only learn the true residual norm here.
            return deliver();
        }
        if (fpar_(kTested) != 0.0) {
            s_.adjust = 0.5 * fpar_(kResNorm) / fpar_(kTested);
        }
        s_.nrmx        = nrm2(at(x()));
        fpar_(kTarget) = s_.adjust * rtol() * (fpar_(kNormA) * s_.nrmx + s_.nrmb);
        if (rtol() * (fpar_(kNormA) * s_.nrmx + s_.nrmb) >= fpar_(kTested) || at_limit() ||
            !(fpar_(kResNorm) > fpar_(kTarget))) {
            return deliver();
        }
        // tau exceeds the recalibrated target: iterate on. The true residual overwrote the left-
        // preconditioned residual in t, so it is made again first.
        if (s_.lp) {
            return ask(kLeftSolve, r(), t(), Resume::after_resumed_left);
        }
        iteration_continue();
    }

    void deliver() { copy_out(x()); }
};

}  // namespace

void krylov::dsymqmr(krylov::SolveState& state, const int* n, const double* rhs, double* sol,
                     int* ipar, double* fpar, double* w) {
    Sqmr(state, *n, rhs, sol, ipar, fpar, w).run();
}

void dsymqmr(const int* n, const double* rhs, double* sol, int* ipar, double* fpar, double* w) {
    krylov::dsymqmr(krylov::module_state(), n, rhs, sol, ipar, fpar, w);
}
