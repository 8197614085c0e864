// bcg.cpp: dbcg, the biconjugate gradient method with a separate shadow residual, in reverse
// communication; asks for products with A and A^T and for plain and transposed preconditioner
// solves.
//
// On entry (first call, ipar(1) <= 0): n, rhs = b, sol = x0, ipar(2..6), fpar(1), fpar(2),
//   fpar(11), fpar(12) (test 3). Later calls: the answer to the last request in w(ipar(9)..).
// On exit: a request 1-6 or 10, or a final status in ipar(1) with the iterate in sol (after a
//   breakdown of rho sol keeps x0). ipar(7) counts the products with A and A^T (two per
//   iteration), the initial one included; fpar(3) = ||r0||, fpar(5) = ||r||, fpar(6) the tested
//   quantity, fpar(7) the rate.
// Work array w, 7n:
//   r  = w(1..n)       residual b - A x         rs = w(n+1..2n)   shadow residual
//   p  = w(2n+1..3n)   direction                ps = w(3n+1..4n)  shadow direction
//   t  = w(4n+1..5n)   A p, A^T ps, first-stage preconditioner results
//   u  = w(5n+1..6n)   second-stage preconditioner results
//   x  = w(6n+1..7n)   the iterate
#include <cmath>

#include "common/blas.h"
#include "common/onebased.h"
#include "krylov/krylov.h"

using namespace trelvak;

namespace {

enum class Resume : int {
    start = 0,
    after_initial_product,    // A x0 in t
    after_initial_left,       // M_L^{-1} r0 in t
    after_initial_left_t,     // M_L^{-T} M_L^{-1} r0 in rs
    after_initial_right,      // M_R^{-1} (...) in p
    after_product,            // A p in t
    after_user_test,          // the caller's verdict in ipar(11)
    after_transpose_product,  // A^T ps in t
    after_right_t,            // M_R^{-T} A^T ps in u
    after_left_t,             // M_L^{-T} (...) in t or u
    after_left,               // M_L^{-1} r in t
    after_right,              // M_R^{-1} (...) in u or t
};

// What survives between calls: one solve at a time. rho = rs . r, alpha = rho / (ps . A p).
class Bcg : krylov::Method<Resume> {
    krylov::CgScalars& s_;

public:
    Bcg(krylov::CgScalars& state, int n, const double* rhs, double* sol, int* ipar, double* fpar,
        double* w)
        : Method(n, rhs, sol, ipar, fpar, w), s_(state) {}

    void run() {
        switch (resume_point()) {
            case Resume::after_initial_product:
                return initial_residual();
            case Resume::after_initial_left:
                // rs0 = M_L^{-T} M_L^{-1} r0
                return ask(kLeftTSolve, t(), rs(), Resume::after_initial_left_t);
            case Resume::after_initial_left_t:
                return initial_direction();
            case Resume::after_initial_right:
                return initial_target();
            case Resume::after_product:
                return iteration_step();
            case Resume::after_user_test:
                return after_user_test();
            case Resume::after_transpose_product:
                return transposed_right();
            case Resume::after_right_t:
                return transposed_left();
            case Resume::after_left_t:
                return shadow_update();
            case Resume::after_left:
                return right_solve();
            case Resume::after_right:
                return new_directions();
            default:
                return start();
        }
    }

private:
    int r() const { return 1; }
    int rs() const { return n_ + 1; }
    int p() const { return 2 * n_ + 1; }
    int ps() const { return 3 * n_ + 1; }
    int t() const { return 4 * n_ + 1; }
    int u() const { return 5 * n_ + 1; }
    int x() const { return 6 * n_ + 1; }
    bool one_side() const { return s_.lp != s_.rp; }

    void start() {
        if (!begin(7, &s_.lp, &s_.rp)) {
            return;
        }
        blas::copy(n_, sol_, at(x()));
        ask(kMatVec, x(), t(), Resume::after_initial_product);  // t = A x0
    }

    // r = b - A x0; the shadow residual starts as r0, or as M_L^{-T} M_L^{-1} r0 with a left side.
    void initial_residual() {
        first_residual(r(), t());  // r = b - A x0
        if (s_.lp) {
            return ask(kLeftSolve, r(), t(), Resume::after_initial_left);  // t = M_L^{-1} r0
        }
        blas::copy(n_, at(r()), at(rs()));  // rs0 = r0
        initial_direction();
    }

    void initial_direction() {
        const int z = s_.lp ? t() : r();
        if (s_.rp) {
            return ask(kRightSolve, z, p(), Resume::after_initial_right);  // p0 = M_R^{-1} z
        }
        blas::copy(n_, at(z), at(p()));
        initial_target();
    }

    void initial_target() {
        blas::copy(n_, at(rs()), at(ps()));         // ps0 = rs0
        s_.rho = blas::dot(n_, at(rs()), at(r()));  // rho = rs . r
        if (krylov::cg_start(n_, rhs_, sol_, at(r()), s_, ipar_raw_, fpar_raw_)) {
            return finish();  // converged before iterating
        }
        ask(kMatVec, p(), t(), Resume::after_product);  // t = A p
    }

    // Entered with t = A p: the step along p with the shadow direction ps, and the stopping test.
    void iteration_step() {
        const auto next = krylov::cg_step(n_, at(ps()), at(t()), at(p()), at(x()), at(r()), s_,
                                          ipar_raw_, fpar_raw_);
        if (next == krylov::CgNext::finish) {
            return finish();
        }
        if (next == krylov::CgNext::user_test) {
            return ask(kUserTest, x(), u(), Resume::after_user_test);
        }
        transposed_product();
    }

    void after_user_test() {
        if (ipar_(kStopFlag) == 1) {
            return finish();
        }
        transposed_product();
    }

    void transposed_product() {
        ask(kMatTVec, ps(), t(), Resume::after_transpose_product);  // t = A^T ps
    }

    void transposed_right() {
        if (s_.rp) {
            return ask(kRightTSolve, t(), u(), Resume::after_right_t);  // u = M_R^{-T} t
        }
        transposed_left();
    }

    void transposed_left() {
        if (s_.lp) {
            // M_L^{-T} of the latest result: u -> t after a right solve, else t -> u
            return s_.rp ? ask(kLeftTSolve, u(), t(), Resume::after_left_t)
                         : ask(kLeftTSolve, t(), u(), Resume::after_left_t);
        }
        shadow_update();
    }

    void shadow_update() {
        ipar_(kProducts) += 1;  // the product with A^T
        const int s = one_side() ? u() : t();
        blas::axpy(n_, -s_.alpha, at(s), at(rs()));  // rs = rs - alpha M^{-T} A^T ps
        fpar_(kPrevRate) = fpar_(kRate);
        s_.rho_old       = s_.rho;
        s_.rho           = blas::dot(n_, at(rs()), at(r()));  // rho = rs . r
        fpar_(kRate)     = std::fabs(s_.rho);
        flops(4.0 * n_);
        if (dbrkdn(&fpar_(kRate), ipar_raw_)) {
            return;  // rho broke down: no closing steps, sol keeps x0
        }
        if (s_.lp) {
            return ask(kLeftSolve, r(), t(), Resume::after_left);  // t = M_L^{-1} r
        }
        right_solve();
    }

    void right_solve() {
        if (s_.rp) {
            return s_.lp ? ask(kRightSolve, t(), u(), Resume::after_right)
                         : ask(kRightSolve, r(), t(), Resume::after_right);
        }
        new_directions();
    }

    void new_directions() {
        const int z       = krylov::by_sides(s_.lp, s_.rp, r(), t(), u());
        const double beta = s_.rho / s_.rho_old;
        blas::scal(n_, beta, at(p()));  // p = z + beta p
        blas::axpy(n_, 1.0, at(z), at(p()));
        blas::scal(n_, beta, at(ps()));  // ps = rs + beta ps
        blas::axpy(n_, 1.0, at(rs()), at(ps()));
        flops(6.0 * n_);
        ask(kMatVec, p(), t(), Resume::after_product);  // t = A p
    }

    void finish() {
        close(fpar_(kTested), false);
        copy_out(x());
    }
};

}  // namespace

void krylov::dbcg(krylov::SolveState& state, const int* n, const double* rhs, double* sol,
                  int* ipar, double* fpar, double* w) {
    Bcg(state.bcg, *n, rhs, sol, ipar, fpar, w).run();
}

void dbcg(const int* n, const double* rhs, double* sol, int* ipar, double* fpar, double* w) {
    krylov::dbcg(krylov::module_state(), n, rhs, sol, ipar, fpar, w);
}
