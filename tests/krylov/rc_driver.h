// rc_driver.h: the one reverse-communication loop of the Krylov tests. It answers every request
// of a method with a dense or compressed-row A and a preconditioner the test chooses, counts and
// logs the requests, checks that each request's slices lie inside the work length and apart, and
// checks guard entries placed beyond the work length.
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

struct Operator {
    Dense dense;                                        // reference copy
    std::function<void(const double*, double*)> apply;  // y = A x
};
Operator from_dense(const Dense& a);
Operator from_upper(const Csr& upper);  // products through the stored upper triangle

// none: copies; jacobi: 1/|a_ii| (1/sqrt|a_ii| on each side when both are on); exact: A^{-1}
// (with both sides on: on the left, identity on the right); varying: Jacobi times a factor that
// changes with every call.
enum class Precond { none, jacobi, exact, varying };

struct RcOptions {
    int start = 0, side = 0, test = 0, restart = 0, maxit = 0;  // ipar(1), (2), (3), (5), (6)
    double rtol = 1e-10, atol = 0.0;
    double norm_a    = 0.0;  // fpar(12); 0 means ||A||_inf
    long work        = -1;   // ipar(4); -1 means the method's length plus 7
    Precond precond  = Precond::none;
    int max_requests = 200000;
    std::function<bool(const double* x)> user_test;              // request 10: true to stop
    std::function<void(int code, int count, double* y)> tamper;  // after each answer
};

struct RcResult {
    int status = 1;
    bool hung  = false;  // max_requests ran out
    std::vector<double> x;
    std::array<int, 17> ipar{};  // 1-based copies
    std::array<double, 17> fpar{};
    std::map<int, int> requests;             // count per code
    std::vector<int> sequence;               // codes in order
    std::vector<std::array<int, 3>> slices;  // (code, operand, result)
    std::string slice_error;                 // empty when every slice was sound
    bool guard_intact = true;
    double relres     = 0.0;  // ||b - A x|| / ||b||
    int count(int code) const { return requests.count(code) ? requests.at(code) : 0; }
};

RcResult rc_solve(KrylovMethod method, const Operator& a, const std::vector<double>& b,
                  const std::vector<double>& x0, const RcOptions& opt);

// Work length of a method for order n and restart length m (15 when below 2).
long work_length(KrylovMethod method, int n, int restart = 0);

}  // namespace trelvak::test

#endif  // TRELVAK_TESTS_KRYLOV_RC_DRIVER_H
