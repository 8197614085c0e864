// gmres.cpp: dgmres and dfgmres, restarted GMRES and its flexible form, in reverse communication.
// The Arnoldi basis comes from dmgsro (modified Gram-Schmidt with selective reorthogonalisation);
// the Hessenberg matrix is reduced column by column with Givens rotations, so the least-squares
// residual |g(K+1)| is known after every step; y and the update of sol follow once per cycle.
// dfgmres keeps z_k = M_R^{-1} v_k for every k, so the right preconditioner may change between
// steps; dgmres applies M_R^{-1} once to V y instead. Both keep the iterate in sol.
//
// On entry (first call, ipar(1) <= 0): n, rhs = b, sol = x0, ipar(2..6), fpar(1), fpar(2),
//   fpar(11), fpar(12) (test 3). Later calls: the answer to the last request in w(ipar(9)..).
// On exit: a request 1, 3, 5 or 10, or a final status in ipar(1); sol holds the iterate throughout.
//   ipar(7) counts every product with A (Arnoldi steps, restarts and true-residual checks; the
//   latter two also in ipar(13)); ipar(12) the last orthogonalisation error; fpar(3) the initial
//   norm, fpar(5) the least-squares residual, fpar(6) the tested quantity, fpar(7) the rate.
// Work array w, with m = ipar(5) (15 when below 2) and offsets o meaning "starts at w(o+1)":
//   V     w(1 .. n(m+1))               basis v_1 .. v_{m+1}
//   IDX   n(m+1)                        n scratch values
//   IZ    n(m+2)  (dfgmres only)        z_1 .. z_m
//   HESS  n(m+2) | n(2m+2)              R packed by columns, column k at HESS + k(k-1)/2 + (1..k)
//   VC    HESS + m(m+1)/2 + 1           cosines c_1 .. c_m
//   VS    VC + m                        sines s_1 .. s_m
//   VRN   VS + m                        g (m+1 entries), y after the back substitution
//   length: n(m+2) + m(m+1)/2 + 3m + 2 (dgmres), 2n(m+1) + m(m+1)/2 + 3m + 2 (dfgmres).
#include <cmath>

#include "common/blas.h"
#include "common/onebased.h"
#include "krylov/krylov.h"

using namespace trelvak;

namespace {

enum class Resume : int {
    start = 0,
    after_restart_product,   // A x in V(:,1)
    after_restart_left,      // M_L^{-1} (b - A x) in V(:,1)
    after_right,             // M_R^{-1} v_K
    after_product,           // A (z or v_K)
    after_left,              // M_L^{-1} of the product in v_{K+1}
    after_correction_right,  // M_R^{-1} V y in IDX (dgmres only)
    after_user_test,         // the caller's verdict in ipar(11)
    after_check_product,     // A x for the true-residual check
};

class Gmres : krylov::Method<Resume> {
public:
    Gmres(bool flexible, krylov::GmresState& state, int n, const double* rhs, double* sol,
          int* ipar, double* fpar, double* w)
        : Method(n, rhs, sol, ipar, fpar, w), flexible_(flexible), s_(state) {}

    void run() {
        switch (resume_point()) {
            case Resume::after_restart_product:
                return restart_residual();
            case Resume::after_restart_left:
                return cycle_start();
            case Resume::after_right:
                return product();
            case Resume::after_product:
                return after_product();
            case Resume::after_left:
                return orthogonalise();
            case Resume::after_correction_right:
                blas::axpy(n_, 1.0, at(s_.idx + 1), sol_);  // x = x + M_R^{-1} V y
                flops(2.0 * n_);
                return stopping_branch();
            case Resume::after_user_test:
                return decide();
            case Resume::after_check_product:
                return check_residual();
            default:
                return start();
        }
    }

private:
    // v_k, z_k, R(i,k), c_k, s_k and g(i) as positions in w.
    int v(int k) const { return (k - 1) * n_ + 1; }
    int z(int k) const { return s_.iz + (k - 1) * n_ + 1; }
    double& rr(int i, int k) const { return w_(s_.hess + k * (k - 1) / 2 + i); }
    double& cs(int k) const { return w_(s_.vc + k); }
    double& sn(int k) const { return w_(s_.vs + k); }
    double& g(int i) const { return w_(s_.vrn + i); }
    double norm(const double* x) const {
        if (flexible_) {
            const int one = 1;
            return std::sqrt(ddot2(&n_, x, &one));
        }
        return blas::nrm2(n_, x);
    }
    // Slot of M_R^{-1} v_K: dgmres uses v_{K+1} when the left solve will refill it, else IDX.
    int right_result() const {
        if (flexible_) {
            return z(s_.k);
        }
        return s_.lp ? v(s_.k + 1) : s_.idx + 1;
    }

    void start() {
        const double nn = n_;
        const double mm = ipar_(kRestart) >= 2 ? ipar_(kRestart) : 15;
        const double need =
            nn * (flexible_ ? 2.0 * (mm + 1.0) : mm + 2.0) + mm * (mm + 1.0) / 2.0 + 3.0 * mm + 2.0;
        if (krylov::work_length_overflows(need, ipar_raw_)) {
            return;
        }
        s_.m    = static_cast<int>(mm);
        s_.idx  = n_ * (s_.m + 1);
        s_.iz   = flexible_ ? n_ * (s_.m + 2) : 0;
        s_.hess = flexible_ ? n_ * (2 * s_.m + 2) : n_ * (s_.m + 2);
        s_.vc   = s_.hess + s_.m * (s_.m + 1) / 2 + 1;
        s_.vs   = s_.vc + s_.m;
        s_.vrn  = s_.vs + s_.m;

        const int need_i       = s_.vrn + s_.m + 1;
        const int default_test = 1;
        dbisinit(ipar_raw_, fpar_raw_, &need_i, &default_test, &s_.lp, &s_.rp, w_.data());
        if (ipar_(kRequest) < 0) {
            return;
        }
        s_.adjust = 1.0;
        restart();
    }

    void restart() {
        s_.k = 0;
        blas::copy(n_, sol_, at(n_ + 1));
        ask(kMatVec, n_ + 1, 1, Resume::after_restart_product);  // w(1..) = A x
    }

    // b - A x into w(n+1..) (left on) or w(1..), and its norm into alpha0. True when the left
    // solve is still to come.
    bool form_residual() {
        const int target = s_.lp ? n_ + 1 : 1;
        blas::scal(n_, -1.0, at(1));  // -A x
        blas::axpy(n_, 1.0, rhs_, at(1));
        if (target != 1) {
            blas::copy(n_, at(1), at(target));
        }
        s_.alpha0 = norm(at(target));
        flops(3.0 * n_);
        return s_.lp;
    }

    void restart_residual() {
        ipar_(kProducts) += 1;
        ipar_(kResidualProducts) += 1;
        if (form_residual()) {
            return ask(kLeftSolve, n_ + 1, 1, Resume::after_restart_left);
        }
        cycle_start();
    }

    void cycle_start() {
        const int test    = ipar_(kStopTest);
        const double rtol = fpar_(kRelTol);
        const double t    = s_.lp ? norm(at(1)) : s_.alpha0;
        if (ipar_(kProducts) == 1) {
            if (test == 2 || test == -2) {
                s_.nrmb        = norm(rhs_);
                fpar_(kTarget) = rtol * s_.nrmb + fpar_(kAbsTol);
            } else if (test == 1 || test == -1) {
                fpar_(kTarget) = rtol * t + fpar_(kAbsTol);
            } else if (test != 999) {
                s_.nrmb        = norm(rhs_);
                fpar_(kTarget) = rtol * (fpar_(kNormA) * norm(sol_) + s_.nrmb);
            }
            if (test != 999) {
                fpar_(kInitNorm) = t;
            }
        }
        fpar_(kResNorm) = t;
        g(1)            = t;

        if (test >= 0 && test != 999 && test != 3 && fpar_(kTarget) >= t) {
            fpar_(kTested) = t;
            return converged();
        }
        if (test == 3 && fpar_(kTarget) >= s_.alpha0) {
            fpar_(kTested) = s_.alpha0;
            return converged();
        }
        if (t == 0.0) {
            // Nothing to build a basis from. A vanishing residual b - A x means sol solves the
            // system (whatever the test); otherwise the left preconditioner annihilated it.
            fpar_(kTested) = 0.0;
            if (s_.alpha0 == 0.0) {
                return converged();
            }
            return fail(0);
        }
        blas::scal(n_, 1.0 / t, at(v(1)));  // v_1 = r / t
        flops(n_);
        s_.k = 1;
        step();
    }

    void converged() {
        ipar_(kRequest) = kConverged;
        krylov::close_rate(ipar_raw_, fpar_raw_, true);
    }

    // Status -3 with ipar(12) = code (unless 0), rate, return.
    void fail(int code) {
        ipar_(kRequest) = kBreakdown;
        if (code != 0) {
            ipar_(kOrthoError) = code;
        }
        krylov::close_rate(ipar_raw_, fpar_raw_, true);
    }

    // Step K: z = M_R^{-1} v_K (or v_K), then A z, then M_L^{-1} A z into v_{K+1}.
    void step() {
        if (s_.rp) {
            return ask(kRightSolve, v(s_.k), right_result(), Resume::after_right);
        }
        if (flexible_) {
            blas::copy(n_, at(v(s_.k)), at(z(s_.k)));
        }
        product();
    }

    void product() {
        const int operand = s_.rp ? right_result() : v(s_.k);
        ask(kMatVec, operand, s_.lp ? s_.idx + 1 : v(s_.k + 1), Resume::after_product);
    }

    void after_product() {
        if (s_.lp) {
            return ask(kLeftSolve, s_.idx + 1, v(s_.k + 1), Resume::after_left);
        }
        orthogonalise();
    }

    void orthogonalise() {
        ipar_(kProducts) += 1;
        const int k  = s_.k;
        const int k1 = k + 1;
        dmgsro(&n_, &n_, &k1, &fpar_(kFlops), w_.data(), &rr(1, k), &ipar_(kOrthoError));
        const int ierr = ipar_(kOrthoError);
        if (ierr < 0 && ierr != -3) {
            return end_cycle();  // failed: the column stays unfinished
        }

        // Apply the stored rotations to the new column, then annihilate h_{K+1} (which sits in
        // the element after R(K,K)); update g.
        const int one = 1;
        for (int i = 1; i < k; ++i) {
            drot_(&one, &rr(i, k), &one, &rr(i + 1, k), &one, &cs(i), &sn(i));
        }
        drotg_(&rr(k, k), &rr(k + 1, k), &cs(k), &sn(k));
        g(k + 1)        = -sn(k) * g(k);
        g(k)            = cs(k) * g(k);
        fpar_(kResNorm) = std::fabs(g(k + 1));
        flops(6.0 * k);

        if (ierr == -3) {
            // v_{K+1} vanished: the Krylov space is invariant and (h_{K+1} = 0) the least-squares
            // residual is exactly zero, so the cycle's correction solves the system, unless
            // R(K,K) = 0 too, which is a true breakdown.
            if (rr(k, k) != 0.0) {
                ipar_(kOrthoError) = 0;
            }
            return end_cycle();
        }
        const bool go_on = !(
            k >= s_.m || (ipar_(kStopTest) >= 0 && fpar_(kResNorm) <= s_.adjust * fpar_(kTarget)) ||
            at_limit());
        if (go_on) {
            s_.k += 1;
            return step();
        }
        end_cycle();
    }

    // Back substitution R y = g, the update of sol, then the stopping branch.
    void end_cycle() {
        int k = s_.k;
        if (ipar_(kOrthoError) < 0) {
            k -= 1;  // the last column was never finished; use the ones before it
        }
        while (k >= 1 && rr(k, k) == 0.0) {
            --k;
        }
        if (k == 0 && ipar_(kOrthoError) == 0) {
            return fail(-4);  // all of R's diagonal is zero; sol unchanged
        }
        s_.k = k;
        if (k == 0) {
            return stopping_branch();
        }
        for (int j = k; j >= 1; --j) {  // y overwrites g(1..k)
            g(j) /= rr(j, j);
            blas::axpy(j - 1, -g(j), &rr(1, j), &g(1));
        }
        flops(static_cast<double>(k) * k);

        if (flexible_) {
            for (int i = 1; i <= k; ++i) {  // x = x + Z y
                blas::axpy(n_, g(i), at(z(i)), sol_);
            }
            flops(2.0 * n_ * k);
            return stopping_branch();
        }
        blas::scal(n_, g(1), at(v(1)));  // u = V y in w(1..)
        for (int i = 2; i <= k; ++i) {
            blas::axpy(n_, g(i), at(v(i)), at(v(1)));
        }
        flops(2.0 * n_ * k);
        if (s_.rp) {
            return ask(kRightSolve, 1, s_.idx + 1, Resume::after_correction_right);
        }
        blas::axpy(n_, 1.0, at(v(1)), sol_);  // x = x + u
        flops(2.0 * n_);
        stopping_branch();
    }

    void stopping_branch() {
        const int test    = ipar_(kStopTest);
        const double rtol = fpar_(kRelTol);
        if (test == 999) {
            return ask(kUserTest, -1, s_.idx + 1, Resume::after_user_test);
        }
        if (test < 0) {
            if (s_.k >= 1) {
                if (ipar_(kProducts) <= s_.m + 1) {
                    fpar_(kInitNorm) = std::fabs(g(1));
                    if (test == -1) {
                        fpar_(kTarget) = rtol * fpar_(kInitNorm) + fpar_(kAbsTol);
                    }
                }
                fpar_(kTested) = std::fabs(g(s_.k));
            }
            return decide();
        }
        if (test == 1 || test == 2) {
            fpar_(kTested) = fpar_(kResNorm);
            return decide();
        }
        fpar_(kTarget) = rtol * (fpar_(kNormA) * norm(sol_) + s_.nrmb);
        s_.k           = 0;
        blas::copy(n_, sol_, at(n_ + 1));
        ask(kMatVec, n_ + 1, 1, Resume::after_check_product);  // w(1..) = A x
    }

    void decide() {
        if (ipar_(kOrthoError) != 0) {
            return fail(0);
        }
        if (at_limit()) {
            return finish();
        }
        const bool stop =
            ipar_(kStopTest) == 999 ? ipar_(kStopFlag) != 0 : fpar_(kTested) <= fpar_(kTarget);
        if (stop) {
            return finish();
        }
        restart();
    }

    // Entered with A x in w(1..) after a cycle under test 3 (or another test number).
    void check_residual() {
        const bool left_pending = form_residual();
        if (ipar_(kOrthoError) != 0) {
            return fail(0);
        }
        if (s_.alpha0 != 0.0) {
            s_.adjust = 0.5 * fpar_(kResNorm) / s_.alpha0;
        }
        fpar_(kTested) = s_.alpha0;
        if (at_limit() || s_.alpha0 <= fpar_(kTarget)) {
            return finish();
        }
        ipar_(kProducts) += 1;
        ipar_(kResidualProducts) += 1;
        if (left_pending) {
            return ask(kLeftSolve, n_ + 1, 1, Resume::after_restart_left);
        }
        cycle_start();
    }

    void finish() { close(fpar_(kTested), true); }

    bool flexible_;
    krylov::GmresState& s_;
};

}  // namespace

void krylov::dgmres(krylov::SolveState& state, const int* n, const double* rhs, double* sol,
                    int* ipar, double* fpar, double* w) {
    Gmres(false, state.gmres, *n, rhs, sol, ipar, fpar, w).run();
}

void krylov::dfgmres(krylov::SolveState& state, const int* n, const double* rhs, double* sol,
                     int* ipar, double* fpar, double* w) {
    Gmres(true, state.fgmres, *n, rhs, sol, ipar, fpar, w).run();
}

void dgmres(const int* n, const double* rhs, double* sol, int* ipar, double* fpar, double* w) {
    krylov::dgmres(krylov::module_state(), n, rhs, sol, ipar, fpar, w);
}

void dfgmres(const int* n, const double* rhs, double* sol, int* ipar, double* fpar, double* w) {
    krylov::dfgmres(krylov::module_state(), n, rhs, sol, ipar, fpar, w);
}
