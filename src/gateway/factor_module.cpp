// factor_module.cpp: the work of the Octave module [PREC, options] = DSYMtrelvakfactor(A, options).
//
// Computes the multilevel incomplete L D L^T preconditioner of the symmetric matrix whose lower
// triangle (by columns) A holds, under the package defaults changed by the given options, and
// returns a handle to it. The handle stays valid until DSYMtrelvakdelete releases it; its record
// keeps the options for later solves.
//
// On entry: A real square sparse double; options (optional) a structure.
// On exit: PREC with fields ptr and param (uint64 keys of the live handle), n, nlev, fill
// (stored entries relative to the triangle of A), nnz, time (processor seconds) and id (its
// serial number, never reused in a session: a copy of a released handle stays refused) and
// perturbed (pivots of a singular last level raised by static pivoting), probe and steadied
// (the factor's stability probe; an unstable first factor replaced by one made under other
// controls) and quick (the quick attempt's factor kept); options
// with the values the factorization used (every key when no options were given). Work copies:
// ia (n+1), ja and a (nzmax), released before the module returns.
#include <string>
#include <utility>

#include "factor/factor.h"
#include "gateway/gateway.h"

namespace trelvak::gateway {

void factor_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs < 1 || nrhs > 2) {
        throw HostError("one or two input arguments required.");
    }
    if (nlhs > 2) {
        throw HostError("Too many output arguments.");
    }
    if (nrhs == 2 && !mxIsStruct(prhs[1])) {
        throw HostError("Second input must be a structure.");
    }
    check_matrix_input(prhs[0]);
    check_matrix_values(prhs[0]);

    ParametersPtr param(trelvak::create_parameters());
    TextCache texts;
    if (nrhs == 2) {
        options_to_record(prhs[1], param.get(), texts);
    }
    ConvertedMatrix A = convert_upper(prhs[0], "DSYMtrelvakfactor");

    LevelRecord* raw_levels = nullptr;
    trelvak::FactorInfo info;
    const int code = trelvak::factor(A.record, param.get(), &raw_levels, &info);
    LevelsPtr levels(raw_levels);
    if (code != 0) {
        throw HostError(info.message.empty()
                            ? "factorization failed with code " + std::to_string(code) + "."
                            : info.message);
    }

    Handle handle;
    handle.levels    = levels.get();
    handle.param     = param.get();
    handle.n         = A.record.nr;
    handle.nlev      = info.nlev;
    handle.id        = next_handle_id();
    handle.perturbed = info.perturbed;
    handle.probe     = info.probe;
    handle.steadied  = info.steadied;
    handle.quick     = info.quick;
    handle.texts     = std::move(texts);
    plhs[0] =
        make_handle_struct(handle, info.fill, static_cast<double>(info.nnz_stored), info.seconds);
    if (nlhs == 2) {
        plhs[1] = nrhs == 2 ? options_from_record(prhs[1], param.get(), false)
                            : options_from_defaults(param.get());
    }
    register_handle(std::move(handle));
    levels.release();
    param.release();
}

}  // namespace trelvak::gateway
