// Solves with states of their own: two solves of one method advanced request by request in turn
// end exactly as each does alone through the module-wide entry point.
#include <gtest/gtest.h>

#include <vector>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "rc_driver.h"

namespace trelvak::test {
namespace {

using StateMethod = void (*)(krylov::SolveState&, const int*, const double*, double*, int*, double*,
                             double*);

// One solve driven a request at a time, unpreconditioned (preconditioner requests are copies).
struct Stepper {
    const Operator& a;
    std::vector<double> b, x, w;
    int ipar[16]    = {};
    double fpar[16] = {};
    krylov::SolveState state;

    Stepper(const Operator& op, long work) : a(op), w(static_cast<size_t>(work), 0.0) {
        const int n = op.dense.n;
        x.assign(static_cast<size_t>(n), 0.0);
        b                   = multiply(op.dense, std::vector<double>(static_cast<size_t>(n), 1.0));
        ipar[kStopTest - 1] = 2;
        ipar[kWorkLength - 1] = static_cast<int>(work);
        ipar[kMaxIter - 1]    = 400;
        fpar[kRelTol - 1]     = 1e-8;
    }
    // One call of the method and the answer to its request; false once it reports a status.
    bool step(StateMethod method) {
        const int n = a.dense.n;
        method(state, &n, b.data(), x.data(), ipar, fpar, w.data());
        const int code = ipar[kRequest - 1];
        if (!((code >= kMatVec && code <= kRightTSolve) || code == kUserTest)) {
            return false;
        }
        const double* in = &w[static_cast<size_t>(ipar[kOperand - 1] - 1)];
        double* out      = &w[static_cast<size_t>(ipar[kResult - 1] - 1)];
        if (code <= 2) {
            a.apply(in, out);
        } else if (code <= kRightTSolve) {
            std::copy(in, in + n, out);
        }
        return true;
    }
};

TEST(KrylovState, InterleavedSolvesMatchSolvesAlone) {
    const Operator first  = from_upper(laplace2d(9, 7, 1.3));   // indefinite
    const Operator second = from_upper(laplace2d(6, 11, 0.4));  // another order and spectrum
    const std::pair<StateMethod, KrylovMethod> methods[] = {{krylov::dsymqmr, dsymqmr},
                                                            {krylov::dsymbcg, dsymbcg},
                                                            {krylov::dbcg, dbcg},
                                                            {krylov::dgmres, dgmres},
                                                            {krylov::dfgmres, dfgmres}};
    for (const auto& [with_state, module_wide] : methods) {
        Stepper one(first, work_length(module_wide, first.dense.n) + 7);
        Stepper two(second, work_length(module_wide, second.dense.n) + 7);
        bool going_one = true, going_two = true;
        for (int round = 0; round < 5000 && (going_one || going_two); ++round) {
            going_one = going_one && one.step(with_state);
            going_two = going_two && two.step(with_state);
        }
        ASSERT_FALSE(going_one || going_two);
        for (const Stepper* s : {&one, &two}) {
            RcOptions opt;
            opt.test  = 2;
            opt.rtol  = 1e-8;
            opt.maxit = 400;
            opt.work  = s->ipar[kWorkLength - 1];
            const RcResult r =
                rc_solve(module_wide, s->a, s->b, std::vector<double>(s->x.size()), opt);
            EXPECT_EQ(s->ipar[kRequest - 1], r.status);
            EXPECT_EQ(s->ipar[kProducts - 1], r.ipar[kProducts]);
            EXPECT_EQ(s->x, r.x);  // the same operations in the same order
        }
    }
}

}  // namespace
}  // namespace trelvak::test
