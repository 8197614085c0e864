// dll_test.cpp: a PETSc program that does not link libtrelvak_petsc.so reaches the types through
// -dll_append alone (the path comes first on the command line, as ctest passes it): symmetric
// QMR with the trelvak preconditioner on the KKT matrix of the tests. Exit code 0 when the solve
// converged to a true relative residual below 1e-6.
#include <petscksp.h>

#include <cstdio>

#include "problems.h"

int main(int argc, char** argv) {
    if (PetscInitialize(&argc, &argv, nullptr, nullptr) != 0) {
        return 1;
    }
    using namespace trelvak::petsc::test;
    const Upper upper = optimal_control(20);
    Mat A             = to_petsc(PETSC_COMM_SELF, upper, MATSEQAIJ);
    Vec x = nullptr, b = nullptr;
    KSP ksp = nullptr;
    MatCreateVecs(A, &x, &b);
    VecSet(x, 1.0);
    MatMult(A, x, b);
    VecSet(x, 0.0);
    KSPCreate(PETSC_COMM_SELF, &ksp);
    KSPSetOperators(ksp, A, A);
    KSPSetTolerances(ksp, 1e-7, 0.0, PETSC_DEFAULT, 200);
    PetscOptionsInsertString(nullptr, "-ksp_type sqmr -pc_type trelvak");
    PetscErrorCode code = KSPSetFromOptions(ksp);
    if (code == 0) {
        code = KSPSolve(ksp, b, x);
    }
    KSPConvergedReason reason = KSP_CONVERGED_ITERATING;
    KSPGetConvergedReason(ksp, &reason);
    Vec r = nullptr;
    VecDuplicate(b, &r);
    MatMult(A, x, r);
    VecAYPX(r, -1.0, b);
    PetscReal nr = 0, nb = 0;
    VecNorm(r, NORM_2, &nr);
    VecNorm(b, NORM_2, &nb);
    KSPType type = nullptr;
    KSPGetType(ksp, &type);
    std::printf("code %d, type %s, reason %d, relres %.2e\n", static_cast<int>(code),
                type != nullptr ? type : "?", static_cast<int>(reason),
                static_cast<double>(nr / nb));
    const bool ok = code == 0 && reason > 0 && nr <= 1e-6 * nb;
    VecDestroy(&r);
    KSPDestroy(&ksp);
    VecDestroy(&b);
    VecDestroy(&x);
    MatDestroy(&A);
    PetscFinalize();
    return ok ? 0 : 1;
}
