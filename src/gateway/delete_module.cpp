// delete_module.cpp: the work of the Octave module DSYMtrelvakdelete(PREC).
//
// Releases the level list and the parameter record behind a live handle made by
// DSYMtrelvakfactor. Every copy of PREC is invalid afterwards: the other modules refuse it.
//
// On entry: PREC a live handle. On exit: nothing; a handle that is not live is an error.
#include <string>

#include "gateway/gateway.h"

namespace trelvak::gateway {

void delete_module(int nlhs, mxArray* /*plhs*/[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 1) {
        throw HostError("one input argument required.");
    }
    if (nlhs > 0) {
        throw HostError("Too many output arguments.");
    }
    release_handle(resolve_handle(prhs[0], "First"));
}

}  // namespace trelvak::gateway
