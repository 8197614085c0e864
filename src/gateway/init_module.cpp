// init_module.cpp: the work of the Octave module options = DSYMtrelvakinit(A).
//
// Returns the package's default options: a structure with every option key, holding the values
// a new parameter record starts with. A, when given, must be a square numeric matrix; the
// defaults do not depend on it.
#include <string>

#include "factor/factor.h"
#include "gateway/gateway.h"

namespace trelvak::gateway {

void init_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs > 1) {
        throw HostError("at most one input argument allowed.");
    }
    if (nlhs > 1) {
        throw HostError("Too many output arguments.");
    }
    if (nrhs == 1) {
        if (!mxIsNumeric(prhs[0])) {
            throw HostError("First input must be a matrix.");
        }
        if (mxGetM(prhs[0]) != mxGetN(prhs[0])) {
            throw HostError("First input must be a square matrix.");
        }
    }
    ParametersPtr param(trelvak::create_parameters());
    plhs[0] = options_from_defaults(param.get());
}

}  // namespace trelvak::gateway
