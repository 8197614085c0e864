// trelvak_course_mex.cpp: entry of the Octave module
//     [x, options, stopped] = trelvak_course_mex(A, PREC, options, b, x0)
// used by trelvak.m: DSYMtrelvaksolver with the course of a symmetric QMR solve judged at
// checkpoints (course_module, solver_module.cpp, in libtrelvak_octave.so).
#include "gateway/gateway.h"

namespace {
bool module_locked = false;  // this module's lock while preconditioner handles are alive
}

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    trelvak::gateway::run_module(trelvak::gateway::course_module, module_locked, nlhs, plhs, nrhs,
                                 prhs);
}

extern "C" const char* mexVersion(void) {
    return "MATLAB R14 native";
}
