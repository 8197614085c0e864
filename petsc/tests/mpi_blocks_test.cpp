// mpi_blocks_test.cpp: the PC "trelvak" as the block solver of block Jacobi and additive Schwarz
// on several processes (run under mpiexec -n 2), on the optimal-control KKT matrix whose blocks
// start with a zero diagonal entry: PETSc's own ILU blocks fail there, ours converge. Also the
// errors for the types used directly on a matrix spread over several processes. Prints one line
// per case; the exit code is the number of failed checks.
#include <petscksp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "problems.h"
#include "trelvak_petsc.h"

namespace {

using namespace trelvak::petsc::test;

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
    }
    PetscPrintf(PETSC_COMM_WORLD, "%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
}

struct Outcome {
    PetscErrorCode code       = 0;
    KSPConvergedReason reason = KSP_CONVERGED_ITERATING;
    PetscInt iterations       = 0;
    double relres             = 1.0;
    std::string message;
};

// Solves A x = A*ones from x = 0 with the options given.
Outcome solve(Mat A, const char* options) {
    Outcome o;
    Vec x = nullptr, b = nullptr, r = nullptr;
    KSP ksp = nullptr;
    MatCreateVecs(A, &x, &b);
    VecDuplicate(b, &r);
    VecSet(x, 1.0);
    MatMult(A, x, b);
    VecSet(x, 0.0);
    KSPCreate(PETSC_COMM_WORLD, &ksp);
    KSPSetOperators(ksp, A, A);
    KSPSetTolerances(ksp, 1e-6, 0.0, PETSC_DEFAULT, 300);
    PetscOptionsClear(nullptr);
    o.code = PetscOptionsInsertString(nullptr, options);
    if (o.code == 0) {
        o.code = KSPSetFromOptions(ksp);
    }
    if (o.code == 0) {
        o.code = KSPSolve(ksp, b, x);
    }
    if (o.code != 0) {
        const char* text = nullptr;
        char* specific   = nullptr;
        PetscErrorMessage(o.code, &text, &specific);
        o.message = specific != nullptr ? specific : "";
    } else {
        KSPGetConvergedReason(ksp, &o.reason);
        KSPGetIterationNumber(ksp, &o.iterations);
        MatMult(A, x, r);
        VecAYPX(r, -1.0, b);
        PetscReal nr = 0, nb = 0;
        VecNorm(r, NORM_2, &nr);
        VecNorm(b, NORM_2, &nb);
        o.relres = nr / nb;
    }
    KSPDestroy(&ksp);
    VecDestroy(&r);
    VecDestroy(&b);
    VecDestroy(&x);
    return o;
}

std::string describe(const char* options, const Outcome& o) {
    char line[512];
    std::snprintf(line, sizeof line, "%s: code %d, %s, %d iterations, relres %.2e", options,
                  static_cast<int>(o.code), KSPConvergedReasons[o.reason],
                  static_cast<int>(o.iterations), o.relres);
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    if (PetscInitialize(&argc, &argv, nullptr, nullptr) != 0) {
        return 1;
    }
    TrelvakPetscRegister();
    PetscMPIInt size = 1;
    MPI_Comm_size(PETSC_COMM_WORLD, &size);
    check(size == 2, "runs on 2 processes");

    const Upper upper = optimal_control(30);  // 2700 unknowns, 1350 per process
    Mat A             = to_petsc(PETSC_COMM_WORLD, upper, MATMPIAIJ);

    for (const char* options : {
             "-ksp_type gmres -ksp_pc_side right -pc_type bjacobi -sub_pc_type trelvak",
             "-ksp_type gmres -ksp_pc_side right -pc_type asm -pc_asm_overlap 1 -sub_pc_type "
             "trelvak",
             "-ksp_type fgmres -pc_type bjacobi -sub_ksp_type sqmr -sub_pc_type trelvak "
             "-sub_ksp_rtol 1e-3",
         }) {
        const Outcome o = solve(A, options);
        check(o.code == 0 && o.reason > 0 && o.relres < 1.01e-6 && o.iterations < 100,
              describe(options, o));
    }

    {
        // The same matrix stored as SBAIJ (upper triangle): the blocks are SBAIJ as well.
        Mat S = to_petsc(PETSC_COMM_WORLD, upper, MATMPISBAIJ);
        const char* options =
            "-ksp_type gmres -ksp_pc_side right -pc_type bjacobi "
            "-sub_pc_type trelvak";
        const Outcome o = solve(S, options);
        check(o.code == 0 && o.reason > 0 && o.relres < 1.01e-6,
              std::string("SBAIJ: ") + describe(options, o));
        MatDestroy(&S);
    }

    PetscPushErrorHandler(PetscReturnErrorHandler, nullptr);
    // Plain ILU(0) meets the zero pivot; shifted, it runs into the iteration limit.
    for (const char* options :
         {"-ksp_type gmres -ksp_pc_side right -pc_type bjacobi -sub_pc_type ilu",
          "-ksp_type gmres -ksp_pc_side right -pc_type bjacobi -sub_pc_type ilu "
          "-sub_pc_factor_shift_type nonzero"}) {
        const Outcome o = solve(A, options);
        check(o.code != 0 || o.reason < 0 || o.relres > 1e-6,
              std::string("PETSc's ILU blocks fail: ") + describe(options, o));
    }
    {
        const Outcome o = solve(A, "-ksp_type gmres -pc_type trelvak");
        check(
            o.code == PETSC_ERR_SUP && o.message.find("-sub_pc_type trelvak") != std::string::npos,
            "PC trelvak on a matrix of 2 processes is refused: " + o.message);
    }
    {
        const Outcome o = solve(A, "-ksp_type sqmr -pc_type bjacobi -sub_pc_type trelvak");
        check(o.code == PETSC_ERR_SUP && o.message.find("one process") != std::string::npos,
              "KSP sqmr on 2 processes is refused: " + o.message);
    }
    {
        const Outcome o =
            solve(A, "-pc_type bjacobi -sub_pc_type trelvak -sub_pc_trelvak_condest 0.5");
        check(o.code == PETSC_ERR_ARG_OUTOFRANGE &&
                  o.message.find("-sub_pc_trelvak_condest: option condest = 0.5 is not accepted") !=
                      std::string::npos,
              "a refused sub-option is a PETSc error: " + o.message);
    }
    PetscPopErrorHandler();

    MatDestroy(&A);
    PetscFinalize();
    return failures;
}
