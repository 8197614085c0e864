// DSYMtrelvakdelete.cpp: the Octave module DSYMtrelvakdelete(PREC).
//
// Releases the level list and the parameter record behind a live handle made by
// DSYMtrelvakfactor. Every copy of PREC is invalid afterwards: the other modules refuse it.
//
// On entry: PREC a live handle. On exit: nothing; a handle that is not live is an error.
#include <string>

#include "gateway/gateway.h"

namespace {

using namespace trelvak::gateway;

bool module_locked = false;

void release(int nlhs, int nrhs, const mxArray* prhs[]) {
    if (nrhs != 1) {
        throw HostError("one input argument required.");
    }
    if (nlhs > 0) {
        throw HostError("Too many output arguments.");
    }
    release_handle(resolve_handle(prhs[0], "First"));
}

}  // namespace

void mexFunction(int nlhs, mxArray* /*plhs*/[], int nrhs, const mxArray* prhs[]) {
    const std::string error = guarded([&] { release(nlhs, nrhs, prhs); });
    keep_loaded(module_locked);
    if (!error.empty()) {
        mexErrMsgTxt(error.c_str());
    }
}
