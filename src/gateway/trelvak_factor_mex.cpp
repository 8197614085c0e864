// trelvak_factor_mex.cpp: entry of the Octave module
//     [PREC, options, x, niter] = trelvak_factor_mex(A, options, b)
// used by trelvak.m: DSYMtrelvakfactor whose quick trial solves A x = b (trial_factor_module,
// factor_module.cpp, in libtrelvak_octave.so).
#include "gateway/gateway.h"

namespace {
bool module_locked = false;  // this module's lock while preconditioner handles are alive
}

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    trelvak::gateway::run_module(trelvak::gateway::trial_factor_module, module_locked, nlhs, plhs,
                                 nrhs, prhs);
}

extern "C" const char* mexVersion(void) {
    return "MATLAB R14 native";
}
