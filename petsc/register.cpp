// register.cpp: registration of the PC "trelvak" and the KSP "sqmr" with PETSc, for programs
// that link the library and for PETSc's loading of dynamic libraries (-dll_append).
#include "trelvak_petsc.h"

namespace trelvak::petsc {
extern "C" PetscErrorCode PCCreate_Trelvak(PC pc);
extern "C" PetscErrorCode KSPCreate_Sqmr(KSP ksp);
}  // namespace trelvak::petsc

PetscErrorCode TrelvakPetscRegister(void) {
    PetscFunctionBeginUser;
    // A second registration replaces the first (PETSc's lists are emptied by PetscFinalize).
    PetscCall(PCRegister(PCTRELVAK, trelvak::petsc::PCCreate_Trelvak));
    PetscCall(KSPRegister(KSPSQMR, trelvak::petsc::KSPCreate_Sqmr));
    PetscFunctionReturn(0);
}

// Run by PETSc when it opens libtrelvak_petsc.so.
PetscErrorCode PetscDLLibraryRegister_trelvak_petsc(void) {
    return TrelvakPetscRegister();
}
