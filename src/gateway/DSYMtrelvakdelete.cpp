// DSYMtrelvakdelete.cpp: entry of the Octave module DSYMtrelvakdelete(PREC).
// The work is delete_module (delete_module.cpp) in libtrelvak_octave.so.
#include "gateway/gateway.h"

namespace {
bool module_locked = false;  // this module's lock while preconditioner handles are alive
}

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    trelvak::gateway::run_module(trelvak::gateway::delete_module, module_locked, nlhs, plhs, nrhs,
                                 prhs);
}
