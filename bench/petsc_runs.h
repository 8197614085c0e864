// petsc_runs.h: one run of the PETSc example program (examples/petsc) under mpiexec, read back
// from its last line ("result: key=value ..."). The benchmarks that set PETSc's solvers beside
// ours use it: trelvak_petsc_bench for its whole table, trelvak_bench for PETSc's direct solver
// and its ILU(0).
#ifndef TRELVAK_BENCH_PETSC_RUNS_H
#define TRELVAK_BENCH_PETSC_RUNS_H

#include <string>

namespace trelvak::bench {

struct PetscRun {
    bool ran       = false;  // a result line was printed
    double setup   = 0.0;    // first set-up, wall seconds (slowest rank)
    double solve   = 0.0;
    double setup2  = 0.0;    // set-up after new values (the example's -refactor)
    bool reused    = false;  // ... with level 1's ordering taken over
    bool converged = false;  // reason > 0 and relres <= 1e-6 (1 % slack)
    int iterations = 0;
    double peak_mb = 0.0;  // largest resident memory of a rank
    double relres  = 0.0;  // true relative residual
    int reason     = 0;    // PETSc's convergence reason
    int n          = 0;
    double seconds() const { return setup + solve; }
};

// GMRES(50), right preconditioning (its residual is the true one), the stopping test that
// every configuration shares.
inline constexpr const char* kPetscGmres =
    "-ksp_type gmres -ksp_gmres_restart 50 -ksp_pc_side right ";

// Runs `example` on `ranks` processes with the problem `arguments` (-f file, or -family name
// -size N) and the solver `options`, stopped after `timeout` seconds: A x = A*ones to a relative
// residual of 1e-6, at most 1000 iterations.
PetscRun run_petsc_example(const std::string& example, int ranks, const std::string& arguments,
                           const std::string& options, int timeout);

}  // namespace trelvak::bench

#endif  // TRELVAK_BENCH_PETSC_RUNS_H
