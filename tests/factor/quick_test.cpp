// The quick attempt: under the default cycle, ordering and dropping, a sparse factor of level 1
// in the given order is made first and kept when it is sound and solves a short trial system;
// otherwise the full factorization follows, as if the quick attempt had not been made.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_matrix.h"
#include "factor_support.h"
#include "precond/precond.h"
#include "problems.h"
#include "solver/solver.h"

namespace {

using trelvak::test::Csr;
using trelvak::test::csr_of;
using trelvak::test::Factored;

// The driver's iterations and true relative residual on b = A*ones with the factor in f.
struct Solved {
    int status    = -1;
    int its       = 0;
    double relres = 1.0;
};
Solved drive(Csr& A, Factored& f) {
    std::vector<double> ones(static_cast<size_t>(A.nr), 1.0), b(ones.size()), x(ones.size(), 0.0);
    SparseMatrix record = A.record();
    DSYMmatvec(record, ones.data(), b.data());
    Solved s;
    s.status = DSYMAMGsolver(&record, f.levels, f.param, b.data(), x.data());
    s.its    = f.param->ipar[6];
    s.relres = trelvak::test::relative_residual(A, x, b);
    return s;
}

TEST(Quick, RandomKktWithADominantHessianBlockGetsTheQuickFactor) {
    Csr A = csr_of(trelvak::bench::random_kkt(3000, 1000, 3, 17));
    Factored f;
    ASSERT_EQ(f.run(A), 0) << f.info.message;
    EXPECT_TRUE(f.info.quick);
    EXPECT_FALSE(f.info.steadied);
    EXPECT_EQ(f.info.droptol, 0.1);
    EXPECT_LE(f.info.fill, 2.0);
    EXPECT_LE(f.info.probe, 1.0);
    EXPECT_EQ(f.info.quick_seconds, 0.0);
    // The caller's record is as it was, and the driver converges with the factor as the trial did.
    EXPECT_EQ(f.param->droptol, 1e-3);
    EXPECT_STREQ(f.param->ordering, "amd");
    EXPECT_STREQ(f.param->solver, "sqmr");
    const int maxit = f.param->maxit;
    const Solved s  = drive(A, f);
    EXPECT_EQ(s.status, 0);
    EXPECT_LE(s.its, 30);
    EXPECT_LE(s.relres, f.param->restol);
    EXPECT_EQ(f.param->maxit, maxit);
}

TEST(Quick, ItsTrialSolvesTheCallersSystemWhenGivenOne) {
    Csr A = csr_of(trelvak::bench::random_kkt(3000, 1000, 3, 17));
    std::vector<double> b(static_cast<size_t>(A.nr));
    for (size_t i = 0; i < b.size(); ++i) {
        b[i] = std::sin(0.37 * static_cast<double>(i)) + (i % 7 == 0 ? 5.0 : 0.0);
    }
    Factored plain;
    ASSERT_EQ(plain.run(A), 0) << plain.info.message;
    Factored f;
    SparseMatrix record = A.record();
    trelvak::TrialSystem trial;
    trial.b = b.data();
    ASSERT_EQ(trelvak::factor(record, f.param, &f.levels, &f.info, {}, &trial), 0);
    // The same factor, and the trial's iterate solves A x = b for the caller's b.
    EXPECT_TRUE(f.info.quick);
    EXPECT_EQ(f.info.nnz_stored, plain.info.nnz_stored);
    ASSERT_TRUE(trial.solved);
    EXPECT_GT(trial.iterations, 0);
    EXPECT_LE(trial.iterations, 30);
    ASSERT_EQ(trial.x.size(), b.size());
    EXPECT_LE(trelvak::test::relative_residual(A, trial.x, b), f.param->restol);

    // A zero right-hand side tells nothing about the factor: the trial solves for A*ones, and
    // the caller solves (x = 0).
    std::vector<double> zero(b.size(), 0.0);
    trial.b = zero.data();
    Factored z;
    ASSERT_EQ(trelvak::factor(record, z.param, &z.levels, &z.info, {}, &trial), 0);
    EXPECT_TRUE(z.info.quick);
    EXPECT_FALSE(trial.solved);

    // A factor that is not the quick one leaves the caller to solve; a system given again is
    // cleared first.
    Csr S = csr_of(trelvak::bench::stokes_mac(24));
    std::vector<double> c(static_cast<size_t>(S.nr), 1.0);
    trial.b = c.data();
    Factored g;
    record = S.record();
    ASSERT_EQ(trelvak::factor(record, g.param, &g.levels, &g.info, {}, &trial), 0);
    EXPECT_FALSE(g.info.quick);
    EXPECT_FALSE(trial.solved);
    EXPECT_TRUE(trial.x.empty());
}

TEST(Quick, CallersWhoChoseOtherControlsDoNotGetIt) {
    Csr A = csr_of(trelvak::bench::random_kkt(3000, 1000, 3, 17));
    const std::pair<const char*, std::function<void(ParameterRecord*)>> choices[] = {
        {"tighter droptol", [](ParameterRecord* p) { p->droptol = 1e-4; }},
        {"nested dissection",
         [](ParameterRecord* p) { trelvak::set_text(p, &p->ordering, "metisn"); }},
        {"amli cycle", [](ParameterRecord* p) { trelvak::set_text(p, &p->amg, "amli"); }},
        {"fine/coarse split", [](ParameterRecord* p) { trelvak::set_text(p, &p->FCpart, "yes"); }},
    };
    for (const auto& [name, choose] : choices) {
        SCOPED_TRACE(name);
        Factored f;
        choose(f.param);
        ASSERT_EQ(f.run(A), 0) << f.info.message;
        EXPECT_FALSE(f.info.quick);
        EXPECT_EQ(f.info.quick_seconds, 0.0);
        EXPECT_NE(f.info.droptol, 0.1);
    }
}

TEST(Quick, MatricesItDoesNotServeGetTheFullFactor) {
    // MAC Stokes postpones its pressure rows in the given order, a shifted 3D Laplacian's sparse
    // factor is unstable or slow: both are given up, and the full factorization serves.
    struct Case {
        const char* name;
        Csr A;
    } cases[] = {{"stokes", csr_of(trelvak::bench::stokes_mac(24))},
                 {"shifted 3D laplacian", trelvak::test::laplace3d(12, 12, 12, 1.0)}};
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Factored f;
        ASSERT_EQ(f.run(c.A), 0) << f.info.message;
        EXPECT_FALSE(f.info.quick);
        EXPECT_GT(f.info.quick_seconds, 0.0);
        EXPECT_LE(f.info.quick_seconds, f.info.wall_seconds);
        EXPECT_NE(f.info.droptol, 0.1);
        const Solved s = drive(c.A, f);
        EXPECT_EQ(s.status, 0);
        EXPECT_LE(s.relres, f.param->restol);
    }
}

}  // namespace
