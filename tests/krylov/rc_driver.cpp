// rc_driver.cpp: the shared reverse-communication loop of the Krylov tests (see rc_driver.h).
#include "rc_driver.h"

#include <cmath>

#include "krylov/krylov.h"

namespace trelvak::test {

Operator from_dense(const Dense& a) {
    return {a, [a](const double* x, double* y) {
                const auto v = multiply(a, std::vector<double>(x, x + a.n));
                std::copy(v.begin(), v.end(), y);
            }};
}

Operator from_upper(const Csr& m) {
    return {dense_from_upper(m), [m](const double* x, double* y) {
                std::fill(y, y + m.nr, 0.0);
                for (int i = 1; i <= m.nr; ++i) {
                    for (int k = m.ia[i - 1]; k < m.ia[i]; ++k) {
                        const int j = m.ja[k - 1];
                        y[i - 1] += m.a[k - 1] * x[j - 1];
                        if (j != i) {
                            y[j - 1] += m.a[k - 1] * x[i - 1];
                        }
                    }
                }
            }};
}

long work_length(KrylovMethod method, int n, int restart) {
    const long m = restart >= 2 ? restart : 15, nn = n;
    if (method == dsymqmr || method == dsymbcg || method == dbcg) {
        return (method == dsymqmr ? 6 : method == dsymbcg ? 5 : 7) * nn;
    }
    return (method == dgmres ? nn * (m + 2) : 2 * nn * (m + 1)) + m * (m + 1) / 2 + 3 * m + 2;
}

namespace {

constexpr int kGuard         = 64;
constexpr double kGuardValue = 12345.678;

void precondition(Precond kind, bool left, bool both, const Dense& a, const Dense& inverse,
                  int call, const double* x, double* y) {
    const int n = a.n;
    if (kind == Precond::none || (kind == Precond::exact && both && !left)) {
        std::copy(x, x + n, y);
    } else if (kind == Precond::exact) {
        const auto v = multiply(inverse, std::vector<double>(x, x + n));
        std::copy(v.begin(), v.end(), y);
    } else {
        const double factor = kind == Precond::varying ? 1.0 + 0.5 * std::sin(1.7 * call) : 1.0;
        for (int i = 0; i < n; ++i) {
            const double d = a(i, i) != 0.0 ? std::fabs(a(i, i)) : 1.0;
            y[i]           = factor * x[i] / (both ? std::sqrt(d) : d);
        }
    }
}

Dense invert(const Dense& a) {
    Dense inv(a.n);
    for (int j = 0; j < a.n; ++j) {
        std::vector<double> e(static_cast<size_t>(a.n), 0.0);
        e[static_cast<size_t>(j)] = 1.0;
        const auto col            = solve(a, e);
        for (int i = 0; i < a.n; ++i) {
            inv(i, j) = col[static_cast<size_t>(i)];
        }
    }
    return inv;
}

}  // namespace

RcResult rc_solve(KrylovMethod method, const Operator& a, const std::vector<double>& b,
                  const std::vector<double>& x0, const RcOptions& opt) {
    const int n     = a.dense.n;
    const long work = opt.work >= 0 ? opt.work : work_length(method, n, opt.restart) + 7;
    std::vector<double> w(static_cast<size_t>(work + kGuard), kGuardValue);
    const Dense inverse = opt.precond == Precond::exact ? invert(a.dense) : Dense();
    const bool both     = opt.side >= 3;

    RcResult res;
    res.x        = x0;
    int ipar[16] = {opt.start, opt.side, opt.test, static_cast<int>(work), opt.restart, opt.maxit};
    double fpar[16] = {opt.rtol, opt.atol};
    fpar[11]        = opt.norm_a > 0.0 ? opt.norm_a : norm_inf(a.dense);

    auto inside = [&](int offset) { return offset >= 1 && offset + n - 1 <= work; };
    for (int round = 0;; ++round) {
        if (round >= opt.max_requests) {
            res.hung = true;
            break;
        }
        method(&n, b.data(), res.x.data(), ipar, fpar, w.data());
        const int code = ipar[0];
        if (!((code >= 1 && code <= 6) || code == 10)) {
            break;
        }
        const int calls = ++res.requests[code];
        const int op = ipar[7], out = ipar[8];
        res.sequence.push_back(code);
        res.slices.push_back({code, op, out});
        const bool in_sol = code == 10 && op == -1;  // the GMRES iterate lives in sol
        if (!(in_sol || inside(op)) || !inside(out) || (!in_sol && std::abs(op - out) < n)) {
            res.slice_error = "request " + std::to_string(code) + ": operand " +
                              std::to_string(op) + ", result " + std::to_string(out);
            break;  // never write outside w
        }
        const double* x = in_sol ? res.x.data() : &w[static_cast<size_t>(op - 1)];
        double* y       = &w[static_cast<size_t>(out - 1)];
        if (code <= 2) {
            a.apply(x, y);
        } else if (code <= 6) {
            precondition(opt.precond, code <= 4, both, a.dense, inverse, calls, x, y);
        } else {
            ipar[10] = opt.user_test && opt.user_test(x) ? 1 : 0;
            std::fill(y, y + n, -1.0);  // the scratch slice is the caller's to use
        }
        if (opt.tamper) {
            opt.tamper(code, calls, y);
        }
    }

    res.status = ipar[0];
    for (int k = 1; k <= 16; ++k) {
        res.ipar[static_cast<size_t>(k)] = ipar[k - 1];
        res.fpar[static_cast<size_t>(k)] = fpar[k - 1];
    }
    for (long i = work; i < work + kGuard; ++i) {
        res.guard_intact = res.guard_intact && w[static_cast<size_t>(i)] == kGuardValue;
    }
    std::vector<double> r = multiply(a.dense, res.x);
    for (size_t i = 0; i < r.size(); ++i) {
        r[i] = b[i] - r[i];
    }
    res.relres = norm2(r) / (norm2(b) > 0.0 ? norm2(b) : 1.0);
    return res;
}

}  // namespace trelvak::test
