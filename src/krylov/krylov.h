// krylov.h: the reverse-communication Krylov methods and the pieces they share.
//
// Every method is called again and again with the same six arguments (n, rhs, sol, ipar, fpar,
// w), all by reference. On each return ipar(1) holds a request (1..6, 10) to be answered on the
// slices of w named by ipar(8) (operand) and ipar(9) (result), or a final status (0 or negative).
// The caller sets ipar(1) = 0 to start a solve. Slot names and statuses: common/onebased.h.
// The methods keep their scalars between calls in module storage, so one solve per method runs
// at a time.
#ifndef TRELVAK_KRYLOV_KRYLOV_H
#define TRELVAK_KRYLOV_KRYLOV_H

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

}  // namespace trelvak::krylov

#endif  // TRELVAK_KRYLOV_KRYLOV_H
