// sbcg.cpp: dsymbcg, the biconjugate gradient method in the form it takes for a symmetric matrix
// and a symmetric preconditioner (shadow sequence = primary one), i.e. preconditioned conjugate
// gradients, in reverse communication; products with A only.
//
// On entry (first call, ipar(1) <= 0): n, rhs = b, sol = x0, ipar(2..6), fpar(1), fpar(2),
//   fpar(11), fpar(12) (test 3). Later calls: the answer to the last request in w(ipar(9)..).
// On exit: a request 1, 3, 5 or 10, or a final status in ipar(1) with the iterate in sol (after a
//   breakdown of rho sol keeps x0). ipar(7) counts the products with A, the initial one included;
//   fpar(3) = ||r0||, fpar(5) = ||r||, fpar(6) the tested quantity, fpar(7) the rate.
// Work array w, 5n:
//   r  = w(1..n)      residual b - A x
//   p  = w(n+1..2n)   search direction
//   t  = w(2n+1..3n)  A p; between products the residual preconditioned on one side
//   z2 = w(3n+1..4n)  M_R^{-1} M_L^{-1} r when both sides are on
//   x  = w(4n+1..5n)  the iterate
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
    after_initial_right,    // M_R^{-1} (...) in p
    after_product,          // A p in t
    after_user_test,        // the caller's verdict in ipar(11)
    after_left,             // M_L^{-1} r in t
    after_right,            // M_R^{-1} (...) in t or z2
};

// What survives between calls: one solve at a time. rho = z . r, alpha = rho / (p . A p).
class Sbcg : krylov::Method<Resume> {
    krylov::CgScalars& s_;

public:
    Sbcg(krylov::CgScalars& state, int n, const double* rhs, double* sol, int* ipar, double* fpar,
         double* w)
        : Method(n, rhs, sol, ipar, fpar, w), s_(state) {}

    void run() {
        switch (resume_point()) {
            case Resume::after_initial_product:
                return initial_residual();
            case Resume::after_initial_left:
                return initial_direction();
            case Resume::after_initial_right:
                return initial_target();
            case Resume::after_product:
                return iteration_step();
            case Resume::after_user_test:
                return after_user_test();
            case Resume::after_left:
                return right_solve();
            case Resume::after_right:
                return new_direction();
            default:
                return start();
        }
    }

private:
    int r() const { return 1; }
    int p() const { return n_ + 1; }
    int t() const { return 2 * n_ + 1; }
    int z2() const { return 3 * n_ + 1; }
    int x() const { return 4 * n_ + 1; }
    // The residual after the left solve (t) or r itself.
    int left_result() const { return s_.lp ? t() : r(); }
    // z after both solves: z2 with both sides, t with one, r with none.
    int zvec() const { return krylov::by_sides(s_.lp, s_.rp, r(), t(), z2()); }

    void start() {
        if (!begin(5, &s_.lp, &s_.rp)) {
            return;
        }
        blas::copy(n_, sol_, at(x()));
        ask(kMatVec, x(), t(), Resume::after_initial_product);  // t = A x0
    }

    void initial_residual() {
        first_residual(r(), t());  // r = b - A x0
        if (s_.lp) {
            return ask(kLeftSolve, r(), t(), Resume::after_initial_left);
        }
        initial_direction();
    }

    void initial_direction() {
        if (s_.rp) {
            return ask(kRightSolve, left_result(), p(), Resume::after_initial_right);
        }
        blas::copy(n_, at(left_result()), at(p()));  // p = z
        initial_target();
    }

    void initial_target() {
        s_.rho = blas::dot(n_, at(p()), at(r()));  // rho = p . r
        if (krylov::cg_start(n_, rhs_, sol_, at(r()), s_, ipar_raw_, fpar_raw_)) {
            return finish();  // converged before iterating
        }
        ask(kMatVec, p(), t(), Resume::after_product);  // t = A p
    }

    // Entered with t = A p: the step along p and the stopping test.
    void iteration_step() {
        switch (krylov::cg_step(n_, at(p()), at(t()), at(p()), at(x()), at(r()), s_, ipar_raw_,
                                fpar_raw_)) {
            case krylov::CgNext::finish:
                return finish();
            case krylov::CgNext::user_test:
                return ask(kUserTest, x(), t(), Resume::after_user_test);
            case krylov::CgNext::go_on:
                break;
        }
        left_solve();
    }

    void after_user_test() {
        if (ipar_(kStopFlag) == 1) {
            return finish();
        }
        left_solve();
    }

    void left_solve() {
        s_.rho_old       = s_.rho;
        fpar_(kPrevRate) = fpar_(kRate);
        if (s_.lp) {
            return ask(kLeftSolve, r(), t(), Resume::after_left);  // t = M_L^{-1} r
        }
        right_solve();
    }

    void right_solve() {
        if (s_.rp) {
            return ask(kRightSolve, left_result(), s_.lp ? z2() : t(), Resume::after_right);
        }
        new_direction();
    }

    void new_direction() {
        s_.rho       = blas::dot(n_, at(zvec()), at(r()));  // rho = z . r
        fpar_(kRate) = std::fabs(s_.rho);
        flops(2.0 * n_);
        if (dbrkdn(&fpar_(kRate), ipar_raw_)) {
            return;  // rho broke down: no closing steps, sol keeps x0
        }
        const double beta = s_.rho / s_.rho_old;
        blas::scal(n_, beta, at(p()));  // p = z + beta p
        blas::axpy(n_, 1.0, at(zvec()), at(p()));
        flops(3.0 * n_);
        ask(kMatVec, p(), t(), Resume::after_product);  // t = A p
    }

    void finish() {
        close(fpar_(kTested), false);
        copy_out(x());
    }
};

}  // namespace

void krylov::dsymbcg(krylov::SolveState& state, const int* n, const double* rhs, double* sol,
                     int* ipar, double* fpar, double* w) {
    Sbcg(state.sbcg, *n, rhs, sol, ipar, fpar, w).run();
}

void dsymbcg(const int* n, const double* rhs, double* sol, int* ipar, double* fpar, double* w) {
    krylov::dsymbcg(krylov::module_state(), n, rhs, sol, ipar, fpar, w);
}
