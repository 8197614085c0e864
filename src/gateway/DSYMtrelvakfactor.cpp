// DSYMtrelvakfactor.cpp: entry of the Octave module [PREC, options] = DSYMtrelvakfactor(A,
// options). The work is factor_module (factor_module.cpp) in libtrelvak_octave.so.
#include "gateway/gateway.h"

namespace {
bool module_locked = false;  // this module's lock while preconditioner handles are alive
}

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    trelvak::gateway::run_module(trelvak::gateway::factor_module, module_locked, nlhs, plhs, nrhs,
                                 prhs);
}
