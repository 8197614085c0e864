// main.cpp: entry of the command-line tool `trelvak` (see cli.h for the exit codes).
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "cli/cli.h"

int main(int argc, char** argv) {
    // BLAS runs on one thread by policy (our lanes are the threads). OpenBLAS starts its workers
    // while the process loads, sized by OPENBLAS_NUM_THREADS, and under a memory limit such as
    // `ulimit -v` an idle worker that cannot get its buffer spins in the allocator for ever, so
    // the process never exits. Setting the variable now is too late for this process: it starts
    // itself again with it (and goes on as it is when that fails).
    const char* threads = std::getenv("OPENBLAS_NUM_THREADS");
    if (threads == nullptr || std::strcmp(threads, "1") != 0) {
        if (setenv("OPENBLAS_NUM_THREADS", "1", 1) == 0) {
            execv("/proc/self/exe", argv);
        }
    }
    return trelvak::cli::main_entry(argc, argv);
}
