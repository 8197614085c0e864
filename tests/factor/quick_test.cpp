// The quick attempt: under the default cycle, ordering and dropping, a sparse factor of level 1
// in the given order is made first and kept when it is sound and solves a short trial system;
// otherwise the full factorization follows, as if the quick attempt had not been made.
#include <gtest/gtest.h>

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
