// krylov.h: the reverse-communication Krylov methods and the pieces they share.
//
// Every method is called again and again with the same six arguments (n, rhs, sol, ipar, fpar,
// w), all by reference. On each return ipar(1) holds a request (1..6, 10) to be answered on the
// slices of w named by ipar(8) (operand) and ipar(9) (result), or a final status (0 or negative).
// The caller sets ipar(1) = 0 to start a solve. Slot names and statuses: common/onebased.h.
// A method keeps its scalars between calls in a SolveState. The entry points without one use a
// module-wide record, so through them one solve per method runs at a time; a caller that runs
// several solves at once (nested, or on several threads) gives each solve a SolveState of its own.
#ifndef TRELVAK_KRYLOV_KRYLOV_H
#define TRELVAK_KRYLOV_KRYLOV_H

#include <functional>

#include "common/blas.h"
#include "common/onebased.h"

// Symmetric QMR (solver code 4), work 6n.
void dsymqmr(const int* n, const double* rhs, double* sol, int* ipar, double* fpar, double* w);
// Symmetric CG-type method (solver code 2), work 5n.
void dsymbcg(const int* n, const double* rhs, double* sol, int* ipar, double* fpar, double* w);
// Biconjugate gradients with products by A and A^T (solver code 3), work 7n.
void dbcg(const int* n, const double* rhs, double* sol, int* ipar, double* fpar, double* w);
// Restarted GMRES (solver code 8).
void dgmres(const int* n, const double* rhs, double* sol, int* ipar, double* fpar, double* w);
// Flexible restarted GMRES (solver code 9).
void dfgmres(const int* n, const double* rhs, double* sol, int* ipar, double* fpar, double* w);

// Start-up checks: work length, preconditioning sides, default test, tolerances.
void dbisinit(int* ipar, double* fpar, const int* need, const int* default_test, bool* lp, bool* rp,
              double* w);
// Stopping test through ipar(3); true when the solve must stop.
bool dstopbis(const int* n, int* ipar, const int* p, double* fpar, const double* r,
              const double* dx, const double* sx);
// Breakdown test of a divisor's magnitude: -3 when zero, -9 when not finite.
bool dbrkdn(const double* v, int* ipar);
// Modified Gram-Schmidt with selective reorthogonalisation of column ind of vec.
void dmgsro(const int* lda, const int* n, const int* ind, double* ops, double* vec, double* hh,
            int* ierr);
// Sum of squares of n entries of x with stride incx.
double ddot2(const int* n, const double* x, const int* incx);

// Pieces of the calling protocol that every method shares (rcomm.cpp).
namespace trelvak::krylov {

// How a method's scalars of vectors spread over several processes become global. Each process
// runs the method on its own entries; where the method forms an inner product or a norm it hands
// its local sums to `sum`, which replaces each of the `count` values by its sum over all processes
// (an all-reduce), so every process sees the same scalars and takes the same branches. Null: the
// vectors are whole (one process) and the plain BLAS values are used unchanged.
struct Reduction {
    void (*sum)(double* values, int count, void* context) = nullptr;
    void* context                                         = nullptr;
};
// x . y and ||x|| of distributed vectors (blas::dot and blas::nrm2 without a hook).
double dot(const Reduction& reduce, int n, const double* x, const double* y);
double nrm2(const Reduction& reduce, int n, const double* x);
// x . y and ||v|| together, in one sum.
void dot_and_nrm2(const Reduction& reduce, int n, const double* x, const double* y, const double* v,
                  double* xy, double* norm);
// dstopbis with its norms through reduce.
bool stopbis(const Reduction& reduce, int n, int* ipar, int p, double* fpar, const double* r,
             const double* dx, double sx);

// Work length computed in 64 bits (or as a double when its factors may overflow even that). When
// it does not fit an int, finishes the call with status -2 and ipar(4) = INT_MAX and returns true.
bool work_length_overflows(double need, int* ipar);
// Hands a request to the caller: ipar(1) = code, ipar(8) = operand, ipar(9) = result and
// ipar(10) = the point at which the method resumes.
void request(int* ipar, int code, int operand, int result, int resume);
// Closing step 1: when no failure was recorded (ipar(1) >= 0), sets the status from the final
// quantity q: 0 when test 999 was met or (unless gmres_rule and test 999) fpar(4) >= q; else -1 at
// the iteration limit; else -10.
void close_status(int* ipar, const double* fpar, double q, bool gmres_rule);
// Closing step 2: fpar(7) = log10(fpar(3)/fpar(6)) / (ipar(7) - ipar(13)) when defined, else 0.
// gmres_rule accepts any non-zero norms; otherwise both must be positive.
void close_rate(const int* ipar, double* fpar, bool gmres_rule);

// The six arguments of one call seen 1-based, with the steps every method takes on them. A method
// derives from Method<its Resume enum> and keeps its own state record in module storage.
template <class Resume>
class Method {
public:
    Method(int n, const double* rhs, double* sol, int* ipar, double* fpar, double* w)
        : n_(n),
          rhs_(rhs),
          sol_(sol),
          ipar_raw_(ipar),
          fpar_raw_(fpar),
          ipar_(view1(ipar, 16)),
          fpar_(view1(fpar, 16)),
          w_(view1(w)) {}

protected:
    // Where this call goes on: ipar(10), or the start (ipar(10) = 0) when ipar(1) <= 0.
    Resume resume_point() {
        if (ipar_(kRequest) <= 0) {
            ipar_(kResume) = 0;
            return Resume::start;
        }
        return static_cast<Resume>(ipar_(kResume));
    }
    double* at(int offset) const { return w_.at(offset); }
    void ask(Request code, int operand, int result, Resume resume) {
        request(ipar_raw_, code, operand, result, static_cast<int>(resume));
    }
    void flops(double count) { fpar_(kFlops) += count; }
    // The product count has reached the limit ipar(6) (when one is set).
    bool at_limit() const { return ipar_(kMaxIter) > 0 && ipar_(kMaxIter) <= ipar_(kProducts); }
    // Start-up for a work need of slices * n: the length guard and dbisinit. False when the call
    // ends here with a status.
    bool begin(int slices, bool* lp, bool* rp) {
        if (work_length_overflows(static_cast<double>(slices) * n_, ipar_raw_)) {
            return false;
        }
        const int need         = slices * n_;
        const int default_test = 1;
        dbisinit(ipar_raw_, fpar_raw_, &need, &default_test, lp, rp, w_.data());
        return ipar_(kRequest) >= 0;
    }
    // w(r..) = b - w(t..) from the product A x0 in t, counted as the initial product.
    void first_residual(int r, int t) {
        ipar_(kProducts) += 1;
        ipar_(kResidualProducts) += 1;
        blas::copy(n_, rhs_, at(r));
        blas::axpy(n_, -1.0, at(t), at(r));
        flops(n_);
    }
    // sol = w(x..), the iterate kept in the work array.
    void copy_out(int x) { blas::copy(n_, at(x), sol_); }
    // Both closing steps with q as the final quantity.
    void close(double q, bool gmres_rule) {
        close_status(ipar_raw_, fpar_raw_, q, gmres_rule);
        close_rate(ipar_raw_, fpar_raw_, gmres_rule);
    }

    int n_;
    const double* rhs_;
    double* sol_;
    int* ipar_raw_;
    double* fpar_raw_;
    View1<int> ipar_;
    View1<double> fpar_;
    View1<double> w_;
};

// Slice holding the preconditioned residual after the solves that are on: none, one side, both.
inline int by_sides(bool lp, bool rp, int none, int one, int both) {
    if (lp && rp) {
        return both;
    }
    return (lp || rp) ? one : none;
}

// The scalars the two conjugate-gradient-type methods (dsymbcg, dbcg) keep between calls.
struct CgScalars {
    double rho     = 0.0;  // shadow . r
    double rho_old = 0.0;
    double alpha   = 0.0;  // rho / (shadow direction . A p)
    double aalpha  = 0.0;  // |divisor| handed to dbrkdn
    double nrmb    = 0.0;  // ||b||
    bool lp        = false;
    bool rp        = false;
};

// Start-up of the CG-type methods, with s.rho already formed from r0: fpar(7) = |rho|,
// fpar(3) = fpar(5) = ||r0||, fpar(8) = 1 and the target fpar(4) of the stopping test (s.nrmb =
// ||b|| for tests 2, -2 and 3). True when r0 meets the target already (then fpar(6) = ||r0||).
bool cg_start(int n, const double* rhs, const double* sol, const double* r, CgScalars& s, int* ipar,
              double* fpar);

// What a CG-type step asks of its method next.
enum class CgNext { finish, user_test, go_on };
// One step entered with t = A p: alpha = rho / (shadow . t), x += alpha p, r -= alpha t, then the
// stopping test (user_test: the caller decides on x).
CgNext cg_step(int n, const double* shadow, const double* t, const double* p, double* x, double* r,
               CgScalars& s, int* ipar, double* fpar);

// What symmetric QMR keeps between calls.
struct SqmrState {
    double rho     = 0.0;  // z . r
    double rho_old = 0.0;
    double alpha   = 0.0;  // rho / sigma
    double theta   = 0.0;  // ||r~|| / tau
    double tau     = 0.0;  // quasi-residual norm
    double aalpha  = 0.0;  // |divisor| handed to dbrkdn
    double adjust  = 1.0;  // tau / true residual, halved (test 3)
    double nrmb    = 0.0;  // ||b||
    double nrmx    = 0.0;  // last computed ||x|| (test 3)
    double rtnorm  = 0.0;  // ||r~|| of the last smoothing step
    int delaycount = 1;    // tests since ||x|| was last computed (test 3)
    bool lp        = false;
    bool rp        = false;
};

// What (flexible) GMRES keeps between calls.
struct GmresState {
    int m         = 15;  // restart length
    int idx       = 0;   // offsets of the pieces of w
    int iz        = 0;
    int hess      = 0;
    int vc        = 0;
    int vs        = 0;
    int vrn       = 0;
    int k         = 0;    // columns in the current cycle
    double alpha0 = 0.0;  // norm of the latest unpreconditioned residual b - A x
    double adjust = 1.0;  // scales the target of the inner test (test 3)
    double nrmb   = 0.0;  // ||b||
    bool lp       = false;
    bool rp       = false;
};

// The scalars of one solve for each method, and the times of a solve through the driver
// (seconds[5]: user time of the whole solve, seconds[6]: mean time of one product). `reduce`
// makes dsymqmr's inner products and norms global when its vectors are spread over processes.
struct SolveState {
    Reduction reduce;
    SqmrState sqmr;
    CgScalars sbcg;
    CgScalars bcg;
    GmresState gmres;
    GmresState fgmres;
    float seconds[10] = {};
    // Checkpoints of the driver in a symmetric QMR solve (0: none, as for the entry points
    // without a state). Each time the first run has made another `checkpoint` products, the
    // driver computes the true relative residual of the iterate; when `off_course(products,
    // relres)` says so, it ends the solve there (status -1, the iterate in sol, no residual
    // replacement) and sets `stopped_off_course`. Otherwise the method goes on undisturbed.
    // `indefinite` tells whether SQMR's rho = r' M^-1 r has taken both signs so far (the
    // preconditioner is indefinite).
    int checkpoint = 0;
    std::function<bool(int products, double relres, bool indefinite)> off_course;
    bool stopped_off_course = false;
};

// The module-wide record of the entry points without a state.
SolveState& module_state();

// The methods with the scalars of the solve in state.
void dsymqmr(SolveState& state, const int* n, const double* rhs, double* sol, int* ipar,
             double* fpar, double* w);
void dsymbcg(SolveState& state, const int* n, const double* rhs, double* sol, int* ipar,
             double* fpar, double* w);
void dbcg(SolveState& state, const int* n, const double* rhs, double* sol, int* ipar, double* fpar,
          double* w);
void dgmres(SolveState& state, const int* n, const double* rhs, double* sol, int* ipar,
            double* fpar, double* w);
void dfgmres(SolveState& state, const int* n, const double* rhs, double* sol, int* ipar,
             double* fpar, double* w);

}  // namespace trelvak::krylov

#endif  // TRELVAK_KRYLOV_KRYLOV_H
