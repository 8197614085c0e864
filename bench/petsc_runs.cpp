// petsc_runs.cpp: see petsc_runs.h.
#include "petsc_runs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace trelvak::bench {

namespace {

// The number after " key=" in line (0 when absent).
double field(const std::string& line, const char* key) {
    const size_t at = line.find(std::string(" ") + key + "=");
    return at == std::string::npos ? 0.0 : std::atof(line.c_str() + at + std::strlen(key) + 2);
}

}  // namespace

PetscRun run_petsc_example(const std::string& example, int ranks, const std::string& arguments,
                           const std::string& options, int timeout) {
    // One thread per rank (BLAS inside MUMPS too), as everywhere in the benchmarks; Open MPI
    // refuses to start as root unless told twice that it may (our CI runs as root).
    const std::string command =
        "OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 "
        "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
        "timeout " +
        std::to_string(timeout) + " mpiexec -n " + std::to_string(ranks) + " --oversubscribe " +
        example + " " + arguments + " " + kPetscGmres + options +
        " -ksp_rtol 1e-6 -ksp_max_it 1000 2>&1";
    PetscRun r;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return r;
    }
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        const std::string line = buffer;
        if (line.rfind("result:", 0) == 0) {
            r.ran        = true;
            r.n          = static_cast<int>(field(line, "n"));
            r.iterations = static_cast<int>(field(line, "iterations"));
            r.reason     = static_cast<int>(field(line, "reason"));
            r.relres     = field(line, "relres");
            r.setup      = field(line, "setup");
            r.solve      = field(line, "solve");
            r.setup2     = field(line, "setup2");
            r.reused     = field(line, "reused") > 0.0;
            r.peak_mb    = field(line, "peak_mb");
            r.converged  = r.reason > 0 && r.relres <= 1.01e-6;
        }
    }
    pclose(pipe);
    return r;
}

}  // namespace trelvak::bench
