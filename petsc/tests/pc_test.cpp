// pc_test.cpp: the PC "trelvak" and the KSP "sqmr" on one process, against the package's own
// solver driver on the same KKT matrix; option errors; factoring again after a change of values
// (level 1's ordering taken over for the same pattern);
// sqmr nested inside sqmr.
#include <gtest/gtest.h>
#include <petscksp.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "factor/factor.h"
#include "krylov/krylov.h"
#include "problems.h"
#include "solver/solver.h"
#include "trelvak_petsc.h"

namespace trelvak::petsc::test {
namespace {

constexpr int kGrid = 24;  // 1728 unknowns

// The package's own driver: factor with the defaults but droptol and solve b = A*ones with
// `method`.
int driver_iterations(const char* method, double droptol) {
    Upper A            = optimal_control(kGrid);
    SparseMatrix rec   = A.record();
    ParameterRecord* p = create_parameters();
    set_text(p, &p->solver, method);
    p->droptol          = droptol;
    LevelRecord* levels = nullptr;
    FactorInfo info;
    EXPECT_EQ(factor(rec, p, &levels, &info), 0) << info.message;
    std::vector<double> b = multiply(A, std::vector<double>(static_cast<size_t>(A.n), 1.0));
    std::vector<double> x(static_cast<size_t>(A.n), 0.0);
    krylov::SolveState state;
    const int status = DSYMAMGsolver(&rec, levels, p, b.data(), x.data(), &state);
    EXPECT_EQ(status, 0);
    const int products = p->ipar[kProducts - 1];
    release_levels(levels);
    release_parameters(p);
    return products;
}

// A PETSc solve of A x = A*ones on one process, options from a string.
struct Solve {
    Mat A = nullptr;
    Vec b = nullptr, x = nullptr;
    KSP ksp = nullptr;
    Upper upper;

    explicit Solve(MatType type = MATSEQAIJ) : upper(optimal_control(kGrid)) {
        A = to_petsc(PETSC_COMM_SELF, upper, type);
        MatCreateVecs(A, &x, &b);
        VecSet(x, 1.0);
        MatMult(A, x, b);
        VecSet(x, 0.0);
        KSPCreate(PETSC_COMM_SELF, &ksp);
        KSPSetOperators(ksp, A, A);
        KSPSetTolerances(ksp, 1e-6, 0.0, PETSC_DEFAULT, 500);
    }
    ~Solve() {
        KSPDestroy(&ksp);
        VecDestroy(&x);
        VecDestroy(&b);
        MatDestroy(&A);
        PetscOptionsClear(nullptr);
    }
    // Sets the options and solves; returns PETSc's error code.
    PetscErrorCode run(const char* options) {
        PetscOptionsClear(nullptr);
        PetscErrorCode code = PetscOptionsInsertString(nullptr, options);
        if (code == 0) {
            code = KSPSetFromOptions(ksp);
        }
        if (code == 0) {
            code = KSPSolve(ksp, b, x);
        }
        return code;
    }
    PetscInt iterations() {
        PetscInt its = 0;
        KSPGetIterationNumber(ksp, &its);
        return its;
    }
    KSPConvergedReason reason() {
        KSPConvergedReason r;
        KSPGetConvergedReason(ksp, &r);
        return r;
    }
    // ||b - A x|| / ||b||.
    double relres() {
        Vec r = nullptr;
        VecDuplicate(b, &r);
        MatMult(A, x, r);
        VecAYPX(r, -1.0, b);
        PetscReal nr = 0, nb = 0;
        VecNorm(r, NORM_2, &nr);
        VecNorm(b, NORM_2, &nb);
        VecDestroy(&r);
        return nr / nb;
    }
    PCTrelvakInfo info(PC pc = nullptr) {
        if (pc == nullptr) {
            KSPGetPC(ksp, &pc);
        }
        PCTrelvakInfo i{};
        EXPECT_EQ(PCTrelvakGetInfo(pc, &i), 0);
        return i;
    }
};

// The message of the last PETSc error.
std::string last_error(PetscErrorCode code) {
    const char* text = nullptr;
    char* specific   = nullptr;
    PetscErrorMessage(code, &text, &specific);
    return specific != nullptr ? specific : "";
}

TEST(PcTrelvak, SameIterationsAsTheDriverWithGmresAndSqmr) {
    // The driver counts the products with A, the first residual's included; PETSc counts
    // iterations. Both test ||b - A x|| <= 1e-6 ||b|| (GMRES) or the method's residual (SQMR).
    // A crude factor, so that the methods take some iterations.
    const int gmres = driver_iterations("gmres", 0.1);
    const int sqmr  = driver_iterations("sqmr", 0.1);
    EXPECT_GT(sqmr, 8);
    {
        Solve s;
        ASSERT_EQ(s.run("-ksp_type gmres -ksp_gmres_restart 30 -ksp_pc_side right "
                        "-ksp_norm_type unpreconditioned -pc_type trelvak -pc_trelvak_droptol 0.1"),
                  0);
        EXPECT_GT(s.reason(), 0);
        EXPECT_EQ(s.iterations() + 1, gmres);
        EXPECT_LT(s.relres(), 1.01e-6);
        EXPECT_GT(s.info().levels, 1);
    }
    {
        Solve s;
        ASSERT_EQ(s.run("-ksp_type sqmr -pc_type trelvak -pc_trelvak_droptol 0.1"), 0);
        EXPECT_GT(s.reason(), 0);
        EXPECT_EQ(s.iterations() + 1, sqmr);
        EXPECT_LT(s.relres(), 1e-5);
    }
}

TEST(PcTrelvak, SbaijAndAijGiveTheSameSolve) {
    Solve aij(MATSEQAIJ), sbaij(MATSEQSBAIJ);
    ASSERT_EQ(aij.run("-ksp_type sqmr -pc_type trelvak"), 0);
    ASSERT_EQ(sbaij.run("-ksp_type sqmr -pc_type trelvak"), 0);
    EXPECT_EQ(aij.iterations(), sbaij.iterations());
    EXPECT_NEAR(aij.info().fill, sbaij.info().fill, 1e-12);
}

TEST(PcTrelvak, OptionsReachTheFactorizationAndBadValuesAreRefused) {
    Solve tight, loose;
    ASSERT_EQ(tight.run("-ksp_type sqmr -pc_type trelvak -pc_trelvak_droptol 1e-4"), 0);
    ASSERT_EQ(loose.run("-ksp_type sqmr -pc_type trelvak -pc_trelvak_droptol 1e-1 "
                        "-pc_trelvak_droptolS 1e-2 -pc_trelvak_ordering rcm"),
              0);
    EXPECT_GT(tight.info().fill, loose.info().fill);
    EXPECT_LT(tight.iterations(), loose.iterations());

    PetscPushErrorHandler(PetscReturnErrorHandler, nullptr);
    const struct {
        const char* options;
        const char* message;
    } bad[] = {
        {"-pc_type trelvak -pc_trelvak_droptol -1", "option droptol = -1 is not accepted"},
        {"-pc_type trelvak -pc_trelvak_ordering nested",
         "option ordering = \"nested\" is not known"},
        {"-pc_type trelvak -pc_trelvak_amg vcycle", "option amg = \"vcycle\" is not known"},
        {"-pc_type trelvak -pc_trelvak_lfil 2.5", "lfil takes a whole number"},
        {"-pc_type trelvak -pc_trelvak_matching 3", "option matching = 3 is not accepted"},
    };
    for (const auto& b : bad) {
        Solve s;
        const PetscErrorCode code = s.run(b.options);
        EXPECT_EQ(code, PETSC_ERR_ARG_OUTOFRANGE) << b.options;
        EXPECT_NE(last_error(code).find(b.message), std::string::npos)
            << b.options << ": " << last_error(code);
    }
    PetscPopErrorHandler();
}

TEST(PcTrelvak, NewValuesAreFactoredAgainAndViewShowsTheLevels) {
    Solve s;
    ASSERT_EQ(s.run("-ksp_type sqmr -pc_type trelvak"), 0);
    const PetscInt first = s.iterations();
    // The same pattern with other values: the operator is factored again, the solve (of the
    // scaled system, same solution) takes the same path.
    MatScale(s.A, 3.0);
    MatMult(s.A, s.x, s.b);  // keep b consistent: any b will do
    VecSet(s.x, 0.0);
    ASSERT_EQ(KSPSolve(s.ksp, s.b, s.x), 0);
    EXPECT_EQ(s.info().factorizations, 2);
    EXPECT_GT(s.reason(), 0);
    EXPECT_NEAR(static_cast<double>(s.iterations()), static_cast<double>(first), 2.0);

    const std::string path = ::testing::TempDir() + "petsc_pc_test_view.txt";
    PetscViewer viewer     = nullptr;
    PetscViewerASCIIOpen(PETSC_COMM_SELF, path.c_str(), &viewer);
    KSPView(s.ksp, viewer);
    PetscViewerDestroy(&viewer);
    std::ifstream in(path);
    const std::string view((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    for (const char* expected :
         {"symmetric QMR", "TRELVAK multilevel incomplete LDL^T", "levels, fill", "perturbed pivot",
          "stability probe", "level 1  n", "factorizations 2", "level 1 ordering taken over",
          "applications"}) {
        EXPECT_NE(view.find(expected), std::string::npos) << expected << "\n" << view;
    }
}

// Puts the values of `values` (same pattern as the matrix) into A, both triangles.
void set_values(Mat A, const Upper& values) {
    for (int i = 0; i < values.n; ++i) {
        for (int k = values.ptr[static_cast<size_t>(i)]; k < values.ptr[static_cast<size_t>(i) + 1];
             ++k) {
            const PetscInt j = values.col[static_cast<size_t>(k)];
            MatSetValue(A, i, j, values.val[static_cast<size_t>(k)], INSERT_VALUES);
            MatSetValue(A, j, i, values.val[static_cast<size_t>(k)], INSERT_VALUES);
        }
    }
    MatAssemblyBegin(A, MAT_FINAL_ASSEMBLY);
    MatAssemblyEnd(A, MAT_FINAL_ASSEMBLY);
}

TEST(PcTrelvak, NewValuesOfTheSamePatternReuseLevelOnesOrdering) {
    const char* gmres = "-ksp_type gmres -ksp_gmres_restart 50 -ksp_pc_side right -pc_type trelvak";
    Solve s;
    ASSERT_EQ(s.run(gmres), 0);
    const PCTrelvakInfo first = s.info();
    const PetscInt first_its  = s.iterations();
    EXPECT_FALSE(first.ordering_reused);
    EXPECT_GT(first.ordering_seconds, 0.0);

    // A x 4: equilibration absorbs a power of two exactly, so a replayed ordering must give the
    // very factor of the first set-up.
    MatScale(s.A, 4.0);
    VecSet(s.x, 0.0);
    ASSERT_EQ(KSPSolve(s.ksp, s.b, s.x), 0);
    PCTrelvakInfo again = s.info();
    EXPECT_EQ(again.factorizations, 2);
    EXPECT_TRUE(again.ordering_reused);
    EXPECT_EQ(again.ordering_reuses, 1);
    EXPECT_EQ(again.fill, first.fill);
    EXPECT_EQ(again.levels, first.levels);
    EXPECT_EQ(s.iterations(), first_its);

    // Other values (a hundred times the control cost): the matching of the old values is
    // replayed, the scaling and pivots are new; the true residual must still reach the tolerance,
    // in about the iterations of a factorization ordered afresh.
    const Upper changed = optimal_control(kGrid, 1.0);
    set_values(s.A, changed);
    VecSet(s.x, 0.0);
    ASSERT_EQ(KSPSolve(s.ksp, s.b, s.x), 0);
    again = s.info();
    EXPECT_GT(s.reason(), 0);
    EXPECT_LT(s.relres(), 1.01e-6);
    EXPECT_TRUE(again.ordering_reused);
    EXPECT_EQ(again.ordering_reuses, 2);
    Solve fresh;
    set_values(fresh.A, changed);
    VecCopy(s.b, fresh.b);
    ASSERT_EQ(fresh.run(gmres), 0);
    EXPECT_FALSE(fresh.info().ordering_reused);
    EXPECT_LE(s.iterations(), fresh.iterations() + 5);

    // A new entry changes the pattern: ordered afresh, and that ordering is kept instead.
    MatSetOption(s.A, MAT_NEW_NONZERO_ALLOCATION_ERR, PETSC_FALSE);
    MatSetValue(s.A, 0, changed.n - 1, 1e-3, INSERT_VALUES);
    MatSetValue(s.A, changed.n - 1, 0, 1e-3, INSERT_VALUES);
    MatAssemblyBegin(s.A, MAT_FINAL_ASSEMBLY);
    MatAssemblyEnd(s.A, MAT_FINAL_ASSEMBLY);
    VecSet(s.x, 0.0);
    ASSERT_EQ(KSPSolve(s.ksp, s.b, s.x), 0);
    again = s.info();
    EXPECT_EQ(again.factorizations, 4);
    EXPECT_FALSE(again.ordering_reused);
    EXPECT_EQ(again.ordering_reuses, 2);
    EXPECT_LT(s.relres(), 1.01e-6);
    MatScale(s.A, 0.5);
    VecSet(s.x, 0.0);
    ASSERT_EQ(KSPSolve(s.ksp, s.b, s.x), 0);
    EXPECT_TRUE(s.info().ordering_reused);

    // Turned off: every set-up orders afresh.
    Solve off;
    ASSERT_EQ(off.run("-ksp_type sqmr -pc_type trelvak -pc_trelvak_reuse_ordering 0"), 0);
    MatScale(off.A, 4.0);
    VecSet(off.x, 0.0);
    ASSERT_EQ(KSPSolve(off.ksp, off.b, off.x), 0);
    EXPECT_EQ(off.info().factorizations, 2);
    EXPECT_FALSE(off.info().ordering_reused);
    EXPECT_EQ(off.info().ordering_seconds, 0.0);
}

TEST(PcTrelvak, EmptyRowsGetADiagonalEntryUnlessTold) {
    // Row and column 5 emptied (an explicit zero diagonal stays): singular as it stands.
    for (const bool unit : {true, false}) {
        Solve s;
        const PetscInt row = 5;
        MatZeroRowsColumns(s.A, 1, &row, 0.0, nullptr, nullptr);
        PC pc = nullptr;
        KSPGetPC(s.ksp, &pc);
        PetscOptionsClear(nullptr);
        PetscOptionsInsertString(
            nullptr, unit ? "-pc_type trelvak" : "-pc_type trelvak -pc_trelvak_unit_empty_rows 0");
        KSPSetFromOptions(s.ksp);
        PetscPushErrorHandler(PetscReturnErrorHandler, nullptr);
        const PetscErrorCode code = KSPSetUp(s.ksp);
        PetscPopErrorHandler();
        if (unit) {
            EXPECT_EQ(code, 0);
            EXPECT_EQ(s.info().empty_rows, 1);
        } else {
            EXPECT_EQ(code, PETSC_ERR_LIB);
            EXPECT_NE(last_error(code).find("row and column 6 are zero"), std::string::npos)
                << last_error(code);
        }
    }
}

TEST(PcTrelvak, AFailedFactorizationIsAPetscErrorWithTheReason) {
    Solve s;
    MatSetValue(s.A, 7, 7, std::nan(""), INSERT_VALUES);
    MatAssemblyBegin(s.A, MAT_FINAL_ASSEMBLY);
    MatAssemblyEnd(s.A, MAT_FINAL_ASSEMBLY);
    PetscPushErrorHandler(PetscReturnErrorHandler, nullptr);
    const PetscErrorCode code = s.run("-ksp_type sqmr -pc_type trelvak");
    PetscPopErrorHandler();
    EXPECT_EQ(code, PETSC_ERR_LIB);
    EXPECT_NE(last_error(code).find("the factorization failed (code -2)"), std::string::npos)
        << last_error(code);
}

// A monitor that asks for the current iterate each iteration, as -ksp_monitor_true_residual
// does: its true residual must fall to that of the final solution.
PetscErrorCode record_true_residual(KSP ksp, PetscInt, PetscReal, void* context) {
    auto* residuals = static_cast<std::vector<double>*>(context);
    Vec r           = nullptr;
    PetscCall(KSPBuildResidual(ksp, nullptr, nullptr, &r));
    PetscReal norm = 0;
    PetscCall(VecNorm(r, NORM_2, &norm));
    residuals->push_back(norm);
    PetscCall(VecDestroy(&r));
    return 0;
}

TEST(KspSqmr, TheIterateIsBuiltFromTheMethodsWorkArray) {
    Solve s;
    std::vector<double> residuals;
    KSPMonitorSet(s.ksp, record_true_residual, &residuals, nullptr);
    ASSERT_EQ(s.run("-ksp_type sqmr -pc_type trelvak -pc_trelvak_droptol 0.1"), 0);
    ASSERT_EQ(residuals.size(), static_cast<size_t>(s.iterations() + 1));
    PetscReal nb = 0;
    VecNorm(s.b, NORM_2, &nb);
    EXPECT_NEAR(residuals.front(), nb, 1e-12 * nb);  // x0 = 0
    EXPECT_NEAR(residuals.back() / nb, s.relres(), 1e-3 * s.relres() + 1e-14);
    EXPECT_LT(residuals.back(), 1e-3 * residuals[residuals.size() / 2]);
}

TEST(KspSqmr, MonitorsLimitsAndSides) {
    Solve s;
    PetscReal history[600];
    PetscInt count = 0;
    KSPSetResidualHistory(s.ksp, history, 600, PETSC_TRUE);
    ASSERT_EQ(s.run("-ksp_type sqmr -pc_type trelvak"), 0);
    KSPGetResidualHistory(s.ksp, nullptr, &count);
    EXPECT_EQ(count, s.iterations() + 1);
    EXPECT_LE(history[count - 1], 1e-6 * history[0]);
    EXPECT_EQ(s.reason(), KSP_CONVERGED_RTOL);

    ASSERT_EQ(s.run("-ksp_type sqmr -pc_type trelvak -ksp_rtol 1e-14 -ksp_max_it 2"), 0);
    EXPECT_EQ(s.reason(), KSP_DIVERGED_ITS);
    EXPECT_EQ(s.iterations(), 2);

    Solve left;
    ASSERT_EQ(left.run("-ksp_type sqmr -pc_type trelvak -ksp_pc_side left"), 0);
    EXPECT_GT(left.reason(), 0);
    EXPECT_LT(left.relres(), 1e-4);

    Solve zero;  // b = 0 from x = 0: converged at iteration 0
    VecSet(zero.b, 0.0);
    ASSERT_EQ(zero.run("-ksp_type sqmr -pc_type trelvak"), 0);
    EXPECT_EQ(zero.iterations(), 0);
    EXPECT_GT(zero.reason(), 0);
}

TEST(KspSqmr, NestedInsideSqmr) {
    // Through a PC of type ksp: the inner solve runs to completion within each outer request.
    Solve through_ksp;
    ASSERT_EQ(through_ksp.run("-ksp_type sqmr -pc_type ksp -ksp_ksp_type sqmr "
                              "-ksp_pc_type trelvak -ksp_ksp_rtol 1e-10"),
              0);
    EXPECT_GT(through_ksp.reason(), 0);
    EXPECT_LE(through_ksp.iterations(), 3);
    EXPECT_LT(through_ksp.relres(), 1e-5);

    // Through block Jacobi with four blocks on this process, each its own sqmr and trelvak.
    Solve blocks;
    ASSERT_EQ(blocks.run("-ksp_type sqmr -pc_type bjacobi -pc_bjacobi_blocks 4 "
                         "-sub_ksp_type sqmr -sub_pc_type trelvak -sub_ksp_rtol 1e-8"),
              0);
    EXPECT_GT(blocks.reason(), 0);
    EXPECT_LT(blocks.relres(), 1e-5);
    PC pc          = nullptr;
    KSP* sub       = nullptr;
    PetscInt local = 0;
    KSPGetPC(blocks.ksp, &pc);
    PCBJacobiGetSubKSP(pc, &local, nullptr, &sub);
    ASSERT_EQ(local, 4);
    for (PetscInt k = 0; k < local; ++k) {
        PC subpc = nullptr;
        KSPGetPC(sub[k], &subpc);
        EXPECT_EQ(blocks.info(subpc).factorizations, 1);
    }
}

}  // namespace
}  // namespace trelvak::petsc::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (PetscInitialize(&argc, &argv, nullptr, nullptr) != 0) {
        return 1;
    }
    TrelvakPetscRegister();
    const int result = RUN_ALL_TESTS();
    PetscFinalize();
    return result;
}
