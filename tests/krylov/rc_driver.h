// rc_driver.h: one reverse-communication loop for the Krylov tests. It serves every request of a
// method with a dense or compressed-row A and a preconditioner chosen by the test, counts the
// requests, and checks each request's slices: inside the work length, never overlapping. The
// work array carries guard entries beyond its declared length that must come back untouched.
#ifndef TRELVAK_TESTS_KRYLOV_RC_DRIVER_H
#define TRELVAK_TESTS_KRYLOV_RC_DRIVER_H

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/testing.h"

namespace trelvak::test {

using KrylovMethod = void (*)(const int*, const double*, double*, int*, double*, double*);

// A symmetric operator with a dense copy for references.
struct Operator {
    Dense dense;
    std::function<void(const double*, double*)> apply;  // y = A x
};
Operator from_dense(const Dense& a);
Operator from_upper(const Csr& upper);  // product through the stored upper triangle

enum class Precond {
    none,     // copies
    jacobi,   // 1/|a_ii| on one side; 1/sqrt|a_ii| on each side when both are on
    exact,    // A^{-1} (both sides on: A^{-1} on the left, identity on the right)
    varying,  // Jacobi times a factor that changes with every call (flexible GMRES)
};

struct RcOptions {
    int start        = 0;  // ipar(1) at the start
    int side         = 0;  // ipar(2)
    int test         = 0;  // ipar(3)
    int restart      = 0;  // ipar(5)
    int maxit        = 0;  // ipar(6)
    double rtol      = 1e-10;
    double atol      = 0.0;
    double norm_a    = 0.0;  // fpar(12); 0 means the infinity norm of A
    long work        = -1;   // ipar(4); -1 means large enough for every method
    Precond precond  = Precond::none;
    int max_requests = 200000;
    // Answer to request 10: return true to stop (x = the iterate, n entries).
    std::function<bool(const double* x)> user_test;
    // Called after each answer (code, how many of that code so far, the result slice).
    std::function<void(int code, int count, double* y)> tamper;
};

struct RcResult {
    int status = 1;
    bool hung  = false;  // the request limit ran out
    std::vector<double> x;
    std::array<int, 17> ipar{};  // 1-based copies
    std::array<double, 17> fpar{};
    std::map<int, int> requests;  // per code
    std::vector<int> sequence;    // codes in order
    std::vector<std::array<int, 3>> slices;  // (code, operand, result) of every request
    std::string slice_error;      // empty when every slice was sound
    bool guard_intact = true;
    // ||b - A x|| / ||b||
    double relres = 0.0;
};

RcResult rc_solve(KrylovMethod method, const Operator& a, const std::vector<double>& b,
                  const std::vector<double>& x0, const RcOptions& opt);

// Work length needed by each method for order n and restart m (15 when below 2).
long work_length(KrylovMethod method, int n, int restart = 0);

}  // namespace trelvak::test

#endif  // TRELVAK_TESTS_KRYLOV_RC_DRIVER_H
