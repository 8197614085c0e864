// solver_module.cpp: the work of the Octave modules
//     [x, options] = DSYMtrelvaksolver(A, PREC, options, b, x0)
//     [x, options, stopped] = trelvak_course_mex(A, PREC, options, b, x0)
// The second is the first with the course of a symmetric QMR solve judged at checkpoints, as
// the command-line tool judges it (cli::Course): off course, the solve ends there with its
// iterate, no warning, and `stopped` = the iterations made (0 otherwise); trelvak.m then goes
// on with GMRES.
//
// Solves A x = b with the Krylov method and the multilevel preconditioner behind PREC (made by
// DSYMtrelvakfactor). Only the lower triangle of A by columns is read. The options reach the
// handle's parameter record (and stay there for later calls with the same handle); the second
// output shows the values the solve used and the iteration count "niter".
//
// On entry: A real square sparse double with finite entries; PREC a live handle of the same
// order; options a structure whose recognised fields hold acceptable values; b and x0 full real
// double vectors of n finite elements (x0 small enough that A x0 does not overflow).
// On exit: x (n x 1) and the options output. Iteration limit: a printed warning, both outputs.
// Breakdown, too little workspace, any other status: a host error that names its cause (the
// status is printed before it). A stop asked for by the user (Ctrl-C) ends the call with an
// error after the scaling is undone; the handle stays usable. Work copies: ia (n+1), ja and
// a (nzmax), rhs and sol (n), all released before the module returns or raises an error.
#include <algorithm>
#include <functional>
#include <optional>
#include <string>

#include "cli/cli.h"
#include "gateway/gateway.h"
#include "krylov/krylov.h"
#include "solver/solver.h"

namespace trelvak::gateway {
namespace {

// The cause of a final status that ends the call with an error, for its message.
std::string status_cause(int status) {
    switch (status) {
        case -4:
            return "The tolerances are unusable: restol must lie in (0, 1).";
        case -9:
            return "A quantity the method divides by became infinite or NaN: the system may be "
                   "singular and inconsistent, or the preconditioner unstable; try another "
                   "solver (gmres) or a smaller droptol.";
        case -10:
            return "The method stopped without meeting its stopping test and before its "
                   "iteration limit.";
        default:
            return "Unknown status of the iterative method.";
    }
}

}  // namespace

namespace {

// The solve behind both modules: checks the five inputs, moves the options into the handle's
// record, calls `prepare` with it, runs the driver (with `state` when given) and makes the
// outputs x and options. Returns the driver's status.
int solve_with_handle(mxArray* plhs[], const mxArray* prhs[], krylov::SolveState* state,
                      const std::function<void(const ParameterRecord&)>& prepare) {
    if (!mxIsStruct(prhs[2])) {
        throw HostError("Third input must be a structure.");
    }
    const int n    = check_matrix_input(prhs[0]);
    Handle& handle = resolve_handle(prhs[1], "Second");
    if (!handle.usable) {
        throw HostError(
            "Second input can no longer be used: a fatal error stopped an earlier solve with it. "
            "Release it with DSYMtrelvakdelete and factor again.");
    }
    if (handle.n != n) {
        throw HostError("Second input was computed for a matrix of order " +
                        std::to_string(handle.n) + ", but the first input has order " +
                        std::to_string(n) + ".");
    }
    check_vector_input(prhs[3], n, "Fourth");
    check_vector_input(prhs[4], n, "Fifth");
    check_matrix_values(prhs[0]);

    ConvertedMatrix A = convert_upper(prhs[0], "DSYMtrelvaksolver");
    check_solve_magnitudes(A.record, mxGetPr(prhs[3]), mxGetPr(prhs[4]));
    options_to_record(prhs[2], handle.param, handle.texts);
    if (prepare) {
        prepare(*handle.param);
    }

    auto rhs = allocate<double>(static_cast<size_t>(n), "DSYMtrelvaksolver:rhs");
    auto sol = allocate<double>(static_cast<size_t>(n), "DSYMtrelvaksolver:sol");
    std::copy_n(mxGetPr(prhs[3]), n, rhs.get());
    std::copy_n(mxGetPr(prhs[4]), n, sol.get());

    int status = 0;
    try {
        status = DSYMAMGsolver(&A.record, handle.levels, handle.param, rhs.get(), sol.get(), state);
    } catch (const FatalStop& stop) {
        // The preconditioner's own fatal stop may leave its level list patched in the middle of
        // a kernel call; an allocation failure leaves the record as it was.
        if (stop.channel() == FATAL_STDOUT) {
            handle.usable = false;
        }
        throw;
    }

    plhs[1] = options_from_record(prhs[2], handle.param, true);
    plhs[0] = mxCreateDoubleMatrix(n, 1, mxREAL);
    std::copy_n(sol.get(), n, mxGetPr(plhs[0]));
    return status;
}

// Nothing for success, the warning for the iteration limit, an error for any other status.
void report_status(int status) {
    switch (status) {
        case 0:
            break;
        case -1:
            mexPrintf("!!! TRELVAK Warning !!!\n");
            mexPrintf(
                "number of iteration steps exceeded its limit.\nEither increase `options.maxit'\n "
                "or recompute TRELVAK preconditioner using a smaller `options.droptol'");
            break;
        case -2:
            throw HostError("not enough workspace provided.");
        case -3:
            throw HostError(
                "iterative solver breaks down.\nMost likely you need to recompute TRELVAK "
                "preconditioner using a smaller `options.droptol'");
        default:
            mexPrintf("iterative solver exited with error code %d", status);
            throw HostError(status_cause(status));
    }
}

}  // namespace

void solver_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    // Argument checks, in this order; nothing is allocated before they pass.
    if (nrhs != 5) {
        throw HostError("five input arguments required.");
    }
    if (nlhs != 2) {
        throw HostError("Too many output arguments.");
    }
    report_status(solve_with_handle(plhs, prhs, nullptr, nullptr));
}

void course_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 5) {
        throw HostError("five input arguments required.");
    }
    if (nlhs != 3) {
        throw HostError("three output arguments required.");
    }
    krylov::SolveState state;
    std::optional<cli::Course> course;
    const int status   = solve_with_handle(plhs, prhs, &state, [&](const ParameterRecord& p) {
        course.emplace(p.maxit, p.restol);
        course->arm(state);
    });
    const bool stopped = state.stopped_off_course;
    plhs[2] = mxCreateDoubleScalar(stopped ? mxGetScalar(mxGetField(plhs[1], 0, "niter")) : 0.0);
    if (!stopped) {
        report_status(status);
    }
}

}  // namespace trelvak::gateway
