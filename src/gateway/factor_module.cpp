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
//
// trial_factor_module: [PREC, options, x, niter] = trelvak_factor_mex(A, options, b), for
// trelvak.m's one-call solve of one right-hand side from x = 0: the same factorization, whose
// quick attempt solves A x = b in its trial (TrialSystem). x is that solution (n x 1, it met
// restol on the true residual within maxit) and niter its iterations when the quick factor was
// kept; otherwise x = [] and niter = 0, and the caller solves as usual.
#include <algorithm>
#include <string>
#include <utility>

#include "factor/factor.h"
#include "gateway/gateway.h"

namespace trelvak::gateway {

namespace {

// The factorization of both modules; with trial (trelvak_factor_mex), b = prhs[2] is handed to
// the quick attempt's trial.
void factor_with_handle(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                        TrialSystem* trial) {
    if (nrhs >= 2 && !mxIsStruct(prhs[1])) {
        throw HostError("Second input must be a structure.");
    }
    const int n = check_matrix_input(prhs[0]);
    if (trial != nullptr) {
        check_vector_input(prhs[2], n, "Third");
    }
    check_matrix_values(prhs[0]);

    ParametersPtr param(trelvak::create_parameters());
    TextCache texts;
    if (nrhs >= 2) {
        options_to_record(prhs[1], param.get(), texts);
    }
    ConvertedMatrix A = convert_upper(prhs[0], "DSYMtrelvakfactor");
    if (trial != nullptr) {
        check_solve_magnitudes(A.record, mxGetPr(prhs[2]), nullptr, "Third");
        trial->b = mxGetPr(prhs[2]);
    }

    LevelRecord* raw_levels = nullptr;
    trelvak::FactorInfo info;
    const int code = trelvak::factor(A.record, param.get(), &raw_levels, &info, {}, trial);
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
    if (nlhs >= 2) {
        plhs[1] = nrhs >= 2 ? options_from_record(prhs[1], param.get(), false)
                            : options_from_defaults(param.get());
    }
    if (trial != nullptr && nlhs >= 3) {
        plhs[2] = mxCreateDoubleMatrix(trial->solved ? n : 0, trial->solved ? 1 : 0, mxREAL);
        if (trial->solved) {
            std::copy(trial->x.begin(), trial->x.end(), mxGetPr(plhs[2]));
        }
    }
    if (trial != nullptr && nlhs >= 4) {
        plhs[3] = mxCreateDoubleScalar(trial->solved ? trial->iterations : 0);
    }
    register_handle(std::move(handle));
    levels.release();
    param.release();
}

}  // namespace

void factor_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs < 1 || nrhs > 2) {
        throw HostError("one or two input arguments required.");
    }
    if (nlhs > 2) {
        throw HostError("Too many output arguments.");
    }
    factor_with_handle(nlhs, plhs, nrhs, prhs, nullptr);
}

void trial_factor_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 3) {
        throw HostError("three input arguments required.");
    }
    if (nlhs > 4) {
        throw HostError("Too many output arguments.");
    }
    TrialSystem trial;
    factor_with_handle(nlhs, plhs, nrhs, prhs, &trial);
}

}  // namespace trelvak::gateway
