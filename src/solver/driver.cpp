// driver.cpp: DSYMAMGsolver, the solve of A x = b with a Krylov method in reverse communication,
// preconditioned by the multilevel level list, with its answer checked against A itself.
//
// Steps: derive the method's controls from the options (solver mode of DSYMAMGsetupparameters),
// size the work buffer dbuff, scale the system with level 1's scaling vectors,
//     A <- Dr A Dc,  b <- Dc b,  x <- Dc^-1 x,
// run the method, answering its requests with y = A x (DSYMmatvec), y = M^-1 x (DSYMAMGsol) or a
// copy for a side that is not preconditioned, then undo the scaling and return the final status.
// The times record (the solve state's, or the module-wide TRELVAK_secnds) receives the user time
// of the solve [5] and the mean user time of one product with A [6].
//
// The answer is checked. The method tests a residual it updates by recurrence, in the norms of
// the scaled system; on ill-conditioned problems that residual drifts from the true one and can
// report success while ||b - A x|| is orders of magnitude larger. So whenever the method ends
// converged (0) or at its iteration limit (-1), the driver computes the true residual of the
// system it was given, unscaled, with one product,
//     b - A x = bs ./ cs - (As xs) ./ rs      (As = Dr A Dc, bs = Dc b, xs = Dc^-1 x),
// and relates it to ||b|| (to ||b - A x0|| when b = 0). Within restol (fpar(1)) the status is 0,
// whatever the method said; otherwise the method is started afresh from the current x (the
// residual is replaced by the true one) with the iterations left and a relative tolerance aimed
// at restol ||b||, min(0.5, restol ||b|| / ||r||). Replacement stops when the limit leaves no
// room for a step, or when one fails to reduce the true residual (without a limit: to halve it,
// which bounds their number); the status is then -1. ipar(7) returns the products of all runs;
// fpar(1) and ipar(6) return as they came. Statuses other than 0 and -1 are returned unchecked.
// A caller with a state of its own may set checkpoints in it (SolveState::checkpoint): an SQMR
// solve then has its iterate's true residual computed every so many products, and ends there
// when the caller's judge finds it off course (the command-line tool goes on with GMRES).
//
// On entry: A (upper triangle, 1-based rows), rhs, sol = initial guess, the level list PRE,
//           param with its options, ipar(2), ipar(3) and fpar(2).
// On exit:  sol = solution; A and rhs as on entry (up to the rounding of the unscaling, also
//           when a fatal stop unwinds through the call); ipar, fpar, dbuff/ndbuff updated.
// Work:     dbuff, grown (never shrunk) to L = P + ipar(4) + 2n doubles, P = 2n + max(E, n),
//           E = 0 (multilevel ILU), sum_l 2(n - S_l) (AMLI-like), 3n + sum_l 2(n - S_l)
//           (multigrid), S_l = nB_1 + ... + nB_l. The preconditioner scratch is dbuff(1..P), the
//           method's work array w = dbuff(P+1..). The lengths are computed in 64 bits; a length
//           beyond the int range (or a negative ipar(4)) ends the solve with status -2 before
//           anything is allocated or scaled. The true residual uses dbuff(1..n), which is free
//           between requests.
// A stop asked for by the user (common/interrupt.h) is polled before each call of the method and
// ends the solve with Interrupted, the scaling undone and the records as after a finished solve.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>

#include "common/blas.h"
#include "common/interrupt.h"
#include "common/onebased.h"
#include "krylov/krylov.h"
#include "precond/precond.h"
#include "solver/solver.h"

float TRELVAK_secnds[10];

namespace {

using trelvak::View1;
using trelvak::view1;

using trelvak::krylov::SolveState;
using Method = void (*)(SolveState&, const int*, const double*, double*, int*, double*, double*);

Method method_of(int code) {
    switch (code) {
        case 2:
            return trelvak::krylov::dsymbcg;
        case 3:
            return trelvak::krylov::dbcg;
        case 8:
            return trelvak::krylov::dgmres;
        case 9:
            return trelvak::krylov::dfgmres;
        default:
            return trelvak::krylov::dsymqmr;
    }
}

// Scales A, b and x with level 1's vectors on construction and undoes it on destruction, so the
// caller's data come back unscaled on every exit, including an unwinding fatal stop.
class SystemScaling {
public:
    SystemScaling(SparseMatrix& A, const double* rowscale, const double* colscale, double* rhs,
                  double* sol)
        : A_(A), rs_(rowscale), cs_(colscale), rhs_(rhs), sol_(sol) {
        const auto a  = view1(A_.a);
        const auto ja = view1(static_cast<const int*>(A_.ja));
        const auto ia = view1(static_cast<const int*>(A_.ia));
        for (int i = 1; i <= A_.nr; ++i) {
            for (int k = ia(i); k < ia(i + 1); ++k) {
                a(k) = rs_(i) * cs_(ja(k)) * a(k);
            }
        }
        for (int i = 1; i <= A_.nr; ++i) {
            sol_(i) = sol_(i) / cs_(i);
            rhs_(i) = rhs_(i) * cs_(i);
        }
    }
    ~SystemScaling() {
        const auto a  = view1(A_.a);
        const auto ja = view1(static_cast<const int*>(A_.ja));
        const auto ia = view1(static_cast<const int*>(A_.ia));
        for (int i = 1; i <= A_.nr; ++i) {
            sol_(i) = sol_(i) * cs_(i);
            rhs_(i) = rhs_(i) / cs_(i);
        }
        for (int i = 1; i <= A_.nr; ++i) {
            for (int k = ia(i); k < ia(i + 1); ++k) {
                a(k) = a(k) / (rs_(i) * cs_(ja(k)));
            }
        }
    }
    SystemScaling(const SystemScaling&)            = delete;
    SystemScaling& operator=(const SystemScaling&) = delete;

private:
    SparseMatrix& A_;
    View1<const double> rs_, cs_;
    View1<double> rhs_, sol_;
};

// Products with the scaled A, timed for TRELVAK_secnds[6].
struct TimedProducts {
    float seconds = 0.0f;
    int count     = 0;
    void apply(const SparseMatrix& A, const double* x, double* y) {
        float before = 0.0f, after = 0.0f, unused = 0.0f;
        evaluate_time(&before, &unused);
        DSYMmatvec(A, x, y);
        evaluate_time(&after, &unused);
        seconds += after - before;
        ++count;
    }
};

// The checkpoints of a state (SolveState::checkpoint) in the first run of an SQMR solve: each
// time `due` products are made, `stops` judges the iterate of the scaled system, and the next
// checkpoint is `every` products later.
struct Checkpoint {
    int due   = 0;  // 0: none
    int every = 0;
    // The signs rho = z . r = r' M^-1 r has taken: both, and the preconditioner is indefinite.
    bool positive = false;
    bool negative = false;
    std::function<bool(const double* xs, bool indefinite)> stops;
};

// Runs the method from ipar(1) = 0 until it reports a final status, answering each request; the
// preconditioner's scratch is dbuff, the method's work array w. Returns the status. At a
// checkpoint that stops the run, SQMR's iterate (w(4n+1..5n), current whenever it asks for a
// product) goes to sol and the status is -1, with state.stopped_off_course set.
int run_method(Method method, SolveState& state, const SparseMatrix& A, LevelRecord* PRE,
               ParameterRecord* param, const double* rhs, double* sol, double* dbuff, double* w,
               TimedProducts& products, Checkpoint* checkpoint = nullptr) {
    using namespace trelvak;
    const int n     = A.nr;
    const auto ipar = view1(param->ipar, 16);
    ipar(kRequest)  = 0;
    for (;;) {
        // Between requests nothing is half done; the caller's SystemScaling undoes the scaling
        // as Interrupted passes.
        poll_interrupt();
        method(state, &n, rhs, sol, param->ipar, param->fpar, w);
        const int request = ipar(kRequest);
        if (request == kUserTest) {
            continue;  // no test of our own: ipar(11) stays as the method left it
        }
        if (request < kMatVec || request > kRightTSolve) {
            return request;
        }
        if (request == kMatVec && checkpoint != nullptr && checkpoint->due > 0) {
            checkpoint->positive = checkpoint->positive || state.sqmr.rho > 0.0;
            checkpoint->negative = checkpoint->negative || state.sqmr.rho < 0.0;
        }
        if (request == kMatVec && checkpoint != nullptr && checkpoint->due > 0 &&
            ipar(kProducts) >= checkpoint->due) {
            checkpoint->due += checkpoint->every;
            const double* xs = w + 4 * static_cast<std::ptrdiff_t>(n);
            if (checkpoint->stops(xs, checkpoint->positive && checkpoint->negative)) {
                std::copy(xs, xs + n, sol);
                state.stopped_off_course = true;
                ipar(kRequest)           = kIterLimit;
                return kIterLimit;
            }
        }
        const double* x = w + (ipar(kOperand) - 1);
        double* y       = w + (ipar(kResult) - 1);
        switch (request) {
            case kMatVec:
            case kMatTVec:
                products.apply(A, x, y);
                break;
            case kLeftSolve:
            case kLeftTSolve:
                if (ipar(kPrecSide) == 1) {
                    DSYMAMGsol(PRE, param, x, y, dbuff);
                } else {
                    std::copy(x, x + n, y);
                }
                break;
            default:  // kRightSolve, kRightTSolve
                if (ipar(kPrecSide) == 2) {
                    DSYMAMGsol(PRE, param, x, y, dbuff);
                } else {
                    std::copy(x, x + n, y);
                }
                break;
        }
    }
}

// ||bs ./ cs||: the norm of the unscaled right-hand side, summed relative to its largest entry
// so that entries near the ends of the double range neither underflow nor overflow.
double unscaled_norm(int n, const double* bs, const double* cs) {
    double largest = 0.0;
    for (int i = 0; i < n; ++i) {
        largest = std::max(largest, std::abs(bs[i] / cs[i]));
    }
    if (largest == 0.0 || !std::isfinite(largest)) {
        return largest;
    }
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const double v = (bs[i] / cs[i]) / largest;
        sum += v * v;
    }
    return largest * std::sqrt(sum);
}

// ||b - A x|| of the unscaled system from the scaled one: b - A x = bs ./ cs - (As xs) ./ rs.
// r (n entries) is scratch and receives b - A x.
double true_residual_norm(const SparseMatrix& As, const double* rs, const double* cs,
                          const double* bs, const double* xs, double* r, TimedProducts& products) {
    const int n = As.nr;
    if (n == 0) {
        return 0.0;
    }
    products.apply(As, xs, r);
    for (int i = 0; i < n; ++i) {
        r[i] = bs[i] / cs[i] - r[i] / rs[i];
    }
    return trelvak::blas::nrm2(n, r);
}

// Whether one more run from the current iterate may follow a check that failed: the limit (when
// there is one, limit > 0) must leave room for the residual's product and a step, the last run
// must have made a product, and the true residual must have fallen since the last check (by half
// at least without a limit, so that the number of runs is bounded).
bool may_replace(int limit, int used, int last_run, double residual, double previous) {
    if (!std::isfinite(residual) || last_run <= 0) {
        return false;
    }
    if (limit > 0) {
        return limit - used >= 2 && residual < previous;
    }
    return residual <= 0.5 * previous;
}

// The loop "run the method, check the true residual, replace it": runs the method on the scaled
// system (A, rhs, sol) until the true residual of the unscaled one meets restol = fpar(1)
// relative to ||b|| (to ||b - A x0|| when b = 0), or may_replace says no more. Returns 0 or -1
// after a check, any other status of the method as it came; ipar(7) = the products of all runs,
// fpar(1) and ipar(6) as on entry. dbuff(1..n) holds the true residual.
int solve_checked(Method method, SolveState& state, const SparseMatrix& A, LevelRecord* PRE,
                  ParameterRecord* param, const double* rhs, double* sol, double* dbuff, double* w,
                  TimedProducts& products) {
    using namespace trelvak;
    const auto ipar     = view1(param->ipar, 16);
    const auto fpar     = view1(param->fpar, 16);
    const double restol = fpar(kRelTol);
    const int limit     = ipar(kMaxIter);
    const double* rs    = PRE->rowscale;
    const double* cs    = PRE->colscale;

    double reference = unscaled_norm(A.nr, rhs, cs);
    if (reference == 0.0) {
        reference = true_residual_norm(A, rs, cs, rhs, sol, dbuff, products);
    }
    Checkpoint checkpoint;
    state.stopped_off_course = false;
    if (state.checkpoint > 0 && state.off_course &&
        method == static_cast<Method>(krylov::dsymqmr)) {
        checkpoint.due   = state.checkpoint;
        checkpoint.every = state.checkpoint;
        checkpoint.stops = [&](const double* xs, bool indefinite) {
            const double r = true_residual_norm(A, rs, cs, rhs, xs, dbuff, products);
            return state.off_course(ipar(kProducts), r / reference, indefinite);
        };
    }
    double previous = HUGE_VAL;
    int used        = 0;
    int status      = 0;
    for (;;) {
        status =
            run_method(method, state, A, PRE, param, rhs, sol, dbuff, w, products, &checkpoint);
        const int last_run = ipar(kProducts);
        used += last_run;
        checkpoint.due = 0;  // the first run only
        if (state.stopped_off_course) {
            break;  // dbuff(1..n) holds the iterate's true residual
        }
        if (status != kConverged && status != kIterLimit) {
            break;
        }
        const double residual = true_residual_norm(A, rs, cs, rhs, sol, dbuff, products);
        if (residual <= restol * reference) {
            status = kConverged;
            break;
        }
        status = kIterLimit;
        if (!may_replace(limit, used, last_run, residual, previous)) {
            break;
        }
        // Start afresh from x: the method computes its residual anew and aims at restol ||b||.
        previous       = residual;
        fpar(kRelTol)  = std::min(0.5, restol * reference / residual);
        ipar(kMaxIter) = limit > 0 ? limit - used : limit;
    }
    fpar(kRelTol)   = restol;
    ipar(kMaxIter)  = limit;
    ipar(kProducts) = used;
    ipar(kRequest)  = status;
    return status;
}

}  // namespace

double symmetric_norm_inf(const SparseMatrix& A, double* s_in) {
    const int n   = A.nr;
    const auto s  = view1(s_in, n);
    const auto ia = view1(static_cast<const int*>(A.ia));
    const auto ja = view1(static_cast<const int*>(A.ja));
    const auto a  = view1(static_cast<const double*>(A.a));
    std::fill(s.at(1), s.at(1) + n, 0.0);
    for (int i = 1; i <= n; ++i) {
        const int count = ia(i + 1) - ia(i);
        if (count > 0) {
            s(i) += trelvak::blas::asum(count, a.at(ia(i)));
        }
        for (int k = ia(i); k < ia(i + 1); ++k) {
            if (ja(k) != i) {
                s(ja(k)) += std::abs(a(k));
            }
        }
    }
    return n > 0 ? *std::max_element(s.at(1), s.at(1) + n) : 0.0;
}

int DSYMAMGsolver(SparseMatrix* A, LevelRecord* PRE, ParameterRecord* param, double* rhs,
                  double* sol, SolveState* state) {
    using namespace trelvak;
    const int n      = A->nr;
    float user_start = 0.0f, system_time = 0.0f;
    evaluate_time(&user_start, &system_time);

    // Solver mode reads only the pattern's order; it runs before the scaling so that a length
    // failure leaves everything as it came.
    SparseMatrix pattern = *A;
    pattern.a            = nullptr;
    DSYMAMGsetupparameters(&pattern, param, 1);

    const auto ipar = view1(param->ipar, 16);
    const auto fpar = view1(param->fpar, 16);

    const std::int64_t P      = preconditioner_scratch(PRE, param->ifact[10], n);
    const std::int64_t method = ipar(kWorkLength);
    const std::int64_t need   = P + method + 2 * static_cast<std::int64_t>(n);
    if (method < 0 || need > INT_MAX) {
        ipar(kRequest)  = kWorkTooShort;
        ipar(kProducts) = 0;
        return kWorkTooShort;
    }
    if (param->ndbuff < need || param->dbuff == nullptr) {
        param->ndbuff = std::max(param->ndbuff, static_cast<int>(need));
        param->dbuff  = static_cast<double*>(
            ReAlloc(param->dbuff, sizeof(double) * static_cast<size_t>(param->ndbuff),
                     "symAMGsolver:dbuff"));
    }
    double no_work = 0.0;  // stands in for an empty buffer (n = 0 with a zero method length)
    double* dbuff  = param->dbuff != nullptr ? param->dbuff : &no_work;
    double* w      = dbuff + (param->dbuff != nullptr ? P : 0);

    int status = 0;
    {
        const SystemScaling scaling(*A, PRE->rowscale, PRE->colscale, rhs, sol);

        for (int k = 3; k <= 16; ++k) {
            fpar(k) = 0.0;
        }
        for (int k = 7; k <= 16; ++k) {
            ipar(k) = 0;
        }
        if (ipar(kStopTest) == 3) {
            fpar(kNormA) = symmetric_norm_inf(*A, dbuff);
        }

        TimedProducts products;
        SolveState& scalars = state != nullptr ? *state : krylov::module_state();
        status = solve_checked(method_of(param->ifact[5]), scalars, *A, PRE, param, rhs, sol, dbuff,
                               w, products);

        float user_end = 0.0f;
        evaluate_time(&user_end, &system_time);
        float* seconds = state != nullptr ? state->seconds : TRELVAK_secnds;
        seconds[5]     = user_end - user_start;
        if (products.count > 0) {
            seconds[6] = products.seconds / static_cast<float>(products.count);
        }
    }
    return status;
}
