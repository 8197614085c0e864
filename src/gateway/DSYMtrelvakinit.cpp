// DSYMtrelvakinit.cpp: the Octave module options = DSYMtrelvakinit(A).
//
// Returns the package's default options: a structure with every option key, holding the values
// a new parameter record starts with. A, when given, must be a square numeric matrix; the
// defaults do not depend on it.
#include <memory>
#include <string>

#include "factor/factor.h"
#include "gateway/gateway.h"

namespace {

using namespace trelvak::gateway;

struct ParametersDeleter {
    void operator()(ParameterRecord* p) const { trelvak::release_parameters(p); }
};

void defaults(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
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
    std::unique_ptr<ParameterRecord, ParametersDeleter> param(trelvak::create_parameters());
    plhs[0] = options_from_defaults(param.get());
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    const std::string error = guarded([&] { defaults(nlhs, plhs, nrhs, prhs); });
    if (!error.empty()) {
        mexErrMsgTxt(error.c_str());
    }
}
