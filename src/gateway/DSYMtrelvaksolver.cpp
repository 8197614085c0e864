// DSYMtrelvaksolver.cpp: entry of the Octave module
//     [x, options] = DSYMtrelvaksolver(A, PREC, options, b, x0)
// The work is solver_module (solver_module.cpp) in libtrelvak_octave.so, which every module
// links so that all of them share one registry of live preconditioner handles.
#include "gateway/gateway.h"

namespace {
bool module_locked = false;  // this module's lock while preconditioner handles are alive
}

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    trelvak::gateway::run_module(trelvak::gateway::solver_module, module_locked, nlhs, plhs, nrhs,
                                 prhs);
}

extern "C" const char* mexVersion(void) {
    return "MATLAB R14 native";
}
