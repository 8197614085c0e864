// rc_driver.cpp: the shared reverse-communication loop of the Krylov tests (see rc_driver.h).
#include "rc_driver.h"

#include <cmath>
#include <sstream>

#include "krylov/krylov.h"

namespace trelvak::test {

Operator from_dense(const Dense& a) {
    Operator op;
    op.dense = a;
    op.apply = [a](const double* x, double* y) {
        for (int i = 0; i < a.n; ++i) {
            double s = 0.0;
            for (int j = 0; j < a.n; ++j) {
                s += a(i, j) * x[j];
            }
            y[i] = s;
        }
    };
    return op;
}

Operator from_upper(const Csr& upper) {
    Operator op;
    op.dense = dense_from_upper(upper);
    op.apply = [upper](const double* x, double* y) {
        for (int i = 0; i < upper.nr; ++i) {
            y[i] = 0.0;
        }
        for (int i = 1; i <= upper.nr; ++i) {
            for (int k = upper.ia[i - 1]; k < upper.ia[i]; ++k) {
                const int j    = upper.ja[k - 1];
                const double v = upper.a[k - 1];
                y[i - 1] += v * x[j - 1];
                if (j != i) {
                    y[j - 1] += v * x[i - 1];
                }
            }
        }
    };
    return op;
}

long work_length(KrylovMethod method, int n, int restart) {
    const long m  = restart >= 2 ? restart : 15;
    const long nn = n;
    if (method == dsymqmr) {
        return 6 * nn;
    }
    if (method == dsymbcg) {
        return 5 * nn;
    }
    if (method == dbcg) {
        return 7 * nn;
    }
    if (method == dgmres) {
        return nn * (m + 2) + m * (m + 1) / 2 + 3 * m + 2;
    }
    return 2 * nn * (m + 1) + m * (m + 1) / 2 + 3 * m + 2;
}

namespace {

constexpr int kGuard         = 64;
constexpr double kGuardValue = 12345.678;

// Applies the chosen preconditioner for one side; `both` when both sides are on.
void precondition(Precond kind, bool left, bool both, const Dense& a, const Dense& inverse,
                  int call, const double* x, double* y) {
    const int n = a.n;
    switch (kind) {
        case Precond::none:
            for (int i = 0; i < n; ++i) {
                y[i] = x[i];
            }
            return;
        case Precond::jacobi:
        case Precond::varying: {
            const double factor = kind == Precond::varying ? 1.0 + 0.5 * std::sin(1.7 * call) : 1.0;
            for (int i = 0; i < n; ++i) {
                const double d = std::fabs(a(i, i)) > 0.0 ? std::fabs(a(i, i)) : 1.0;
                y[i]           = factor * x[i] / (both ? std::sqrt(d) : d);
            }
            return;
        }
        case Precond::exact:
            if (both && !left) {
                for (int i = 0; i < n; ++i) {
                    y[i] = x[i];
                }
                return;
            }
            for (int i = 0; i < n; ++i) {
                double s = 0.0;
                for (int j = 0; j < n; ++j) {
                    s += inverse(i, j) * x[j];
                }
                y[i] = s;
            }
            return;
    }
}

Dense invert(const Dense& a) {
    Dense inv(a.n);
    for (int j = 0; j < a.n; ++j) {
        std::vector<double> e(static_cast<size_t>(a.n), 0.0);
        e[static_cast<size_t>(j)]     = 1.0;
        const std::vector<double> col = solve(a, e);
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

    RcResult res;
    res.x = x0;
    std::array<int, 16> ipar{};
    std::array<double, 16> fpar{};
    ipar[0]         = opt.start;
    ipar[1]         = opt.side;
    ipar[2]         = opt.test;
    ipar[3]         = static_cast<int>(work);
    ipar[4]         = opt.restart;
    ipar[5]         = opt.maxit;
    fpar[0]         = opt.rtol;
    fpar[1]         = opt.atol;
    fpar[11]        = opt.norm_a > 0.0 ? opt.norm_a : norm_inf(a.dense);
    const bool both = opt.side >= 3;

    auto slice_ok = [&](int offset, const char* what, int code) {
        if (offset < 1 || offset + n - 1 > work) {
            std::ostringstream msg;
            msg << "request " << code << ": " << what << " offset " << offset << " outside 1.."
                << work;
            res.slice_error = msg.str();
            return false;
        }
        return true;
    };

    for (int count = 0;; ++count) {
        if (count >= opt.max_requests) {
            res.hung = true;
            break;
        }
        method(&n, b.data(), res.x.data(), ipar.data(), fpar.data(), w.data());
        const int code = ipar[0];
        if (!((code >= 1 && code <= 6) || code == 10)) {
            break;
        }
        res.sequence.push_back(code);
        res.slices.push_back({code, ipar[7], ipar[8]});
        const int calls           = ++res.requests[code];
        const int op              = ipar[7];
        const int out             = ipar[8];
        const bool iterate_in_sol = code == 10 && op == -1;
        if (res.slice_error.empty()) {
            bool ok = iterate_in_sol || slice_ok(op, "operand", code);
            ok      = ok && slice_ok(out, "result", code);
            if (ok && !iterate_in_sol && std::abs(op - out) < n) {
                res.slice_error = "request " + std::to_string(code) + ": slices overlap";
            }
        }
        if (!res.slice_error.empty()) {
            break;  // never write outside w
        }
        const double* x = iterate_in_sol ? res.x.data() : &w[static_cast<size_t>(op - 1)];
        double* y       = &w[static_cast<size_t>(out - 1)];
        switch (code) {
            case 1:
            case 2:
                a.apply(x, y);
                break;
            case 3:
            case 4:
                precondition(opt.precond, true, both, a.dense, inverse, calls, x, y);
                break;
            case 5:
            case 6:
                precondition(opt.precond, false, both, a.dense, inverse, calls, x, y);
                break;
            case 10: {
                const bool stop = opt.user_test ? opt.user_test(x) : false;
                if (stop) {
                    ipar[10] = 1;
                }
                for (int i = 0; i < n; ++i) {
                    y[i] = -1.0;  // the scratch slice is the caller's to use
                }
                break;
            }
            default:
                break;
        }
        if (opt.tamper) {
            opt.tamper(code, calls, y);
        }
    }

    res.status = ipar[0];
    for (int k = 1; k <= 16; ++k) {
        res.ipar[static_cast<size_t>(k)] = ipar[static_cast<size_t>(k - 1)];
        res.fpar[static_cast<size_t>(k)] = fpar[static_cast<size_t>(k - 1)];
    }
    for (int i = 0; i < kGuard; ++i) {
        if (w[static_cast<size_t>(work + i)] != kGuardValue) {
            res.guard_intact = false;
        }
    }
    std::vector<double> ax(static_cast<size_t>(n));
    a.apply(res.x.data(), ax.data());
    for (int i = 0; i < n; ++i) {
        ax[static_cast<size_t>(i)] = b[static_cast<size_t>(i)] - ax[static_cast<size_t>(i)];
    }
    const double nb = norm2(b);
    res.relres      = nb > 0.0 ? norm2(ax) / nb : norm2(ax);
    return res;
}

}  // namespace trelvak::test
