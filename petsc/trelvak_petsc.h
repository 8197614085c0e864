// trelvak_petsc.h: the package inside PETSc. libtrelvak_petsc.so adds two types to PETSc:
//
//   PC  "trelvak"  the multilevel incomplete L D L^T preconditioner of a sequential symmetric
//                  matrix (AIJ, SBAIJ, or any matrix on one process that gives its rows), alone
//                  or as the block solver of block Jacobi and additive Schwarz
//                  (-pc_type bjacobi -sub_pc_type trelvak)
//   KSP "sqmr"     the package's symmetric QMR on one process, driven through its reverse-
//                  communication interface by PETSc's operator, preconditioner, monitors and
//                  convergence test
//
// A program that links the library calls TrelvakPetscRegister() once after PetscInitialize; any
// other PETSc program loads it with -dll_append <path>/libtrelvak_petsc.so, which runs
// PetscDLLibraryRegister_trelvak_petsc(). Options of the PC: -pc_trelvak_<key> for the keys of
// the package's options record that concern the preconditioner (droptol, droptolS, condest,
// elbow, lfil, lfilS, ordering, matching, amg, ...), checked as the command-line tool checks
// them; a refused value is a PETSc error carrying the check's message. -pc_trelvak_unit_empty_rows
// (default true) gives rows without a nonzero entry, which a block of a saddle-point matrix may
// hold, a diagonal entry instead of failing. -pc_trelvak_reuse_ordering (default true): a
// set-up for new values of the same pattern takes level 1's ordering from the last
// factorization; the scaling, pivots and coarser levels come from the new values.
#ifndef TRELVAK_PETSC_TRELVAK_PETSC_H
#define TRELVAK_PETSC_TRELVAK_PETSC_H

#include <petscksp.h>

#define PCTRELVAK "trelvak"
#define KSPSQMR "sqmr"

PETSC_EXTERN PetscErrorCode TrelvakPetscRegister(void);
PETSC_EXTERN PetscErrorCode PetscDLLibraryRegister_trelvak_petsc(void);

// What the last factorization of a PC of type trelvak produced (an error for another type).
typedef struct {
    PetscInt n;                // order of the factored block
    PetscInt levels;           // number of levels
    PetscReal fill;            // stored entries of all levels / entries of the input triangle
    PetscInt perturbed;        // pivots raised by static pivoting on the last level
    PetscInt factorizations;   // factorizations made by this PC so far
    PetscReal factor_seconds;  // wall time of the last factorization
    PetscInt applications;     // applications of the preconditioner so far
    PetscReal apply_seconds;   // their wall time
    PetscInt empty_rows;       // rows without a nonzero entry given a diagonal entry
    // Level 1's ordering: the last factorization took it over from an earlier one (same
    // pattern, new values); how many set-ups did so; the time it took to make when it was made
    // (0 when none is kept).
    PetscBool ordering_reused;
    PetscInt ordering_reuses;
    PetscReal ordering_seconds;
} PCTrelvakInfo;
PETSC_EXTERN PetscErrorCode PCTrelvakGetInfo(PC pc, PCTrelvakInfo* info);

#endif  // TRELVAK_PETSC_TRELVAK_PETSC_H
