// trelvak_mmread_mex.cpp: the Octave module A = trelvak_mmread_mex(file [, symmetry_tol]), the
// reader behind trelvak_mmread.m.
//
// Reads the file with the command-line tool's Matrix Market reader (read_matrix_market), so that
// Octave accepts and refuses exactly what the tool does, with the same messages, and returns the
// full symmetric matrix: the reader's upper triangle by rows is the lower triangle by columns,
// and each column of the result joins the mirrored upper part above the diagonal with it. Values
// that are exactly zero after duplicates were summed are not stored, as sparse() does.
//
// On entry: file, a character row vector; symmetry_tol, a finite scalar >= 0 (default 1e-12):
// a "general" file is accepted when ||A - A'||_F <= symmetry_tol ||A||_F and its triangles are
// averaged. On exit: A, an n x n sparse double matrix; every fault is an error with the
// identifier "trelvak:mmread" whose message is the reader's (file, line, entry).
#include <cmath>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "gateway/gateway.h"

namespace {

using trelvak::cli::ReadError;
using trelvak::cli::UpperMatrix;
using trelvak::gateway::HostError;

std::string file_argument(const mxArray* file) {
    if (!mxIsChar(file) || mxGetM(file) > 1 || mxGetNumberOfDimensions(file) > 2) {
        throw HostError("FILE must be a file name (a character string).");
    }
    char* text = mxArrayToString(file);
    if (text == nullptr) {
        throw HostError("FILE must be a file name (a character string).");
    }
    std::string path(text);
    mxFree(text);
    if (path.empty()) {
        throw HostError("FILE is empty.");
    }
    return path;
}

double tolerance_argument(const mxArray* tol) {
    if (!mxIsDouble(tol) || mxIsComplex(tol) || mxIsSparse(tol) ||
        mxGetNumberOfElements(tol) != 1 || !std::isfinite(mxGetScalar(tol)) ||
        mxGetScalar(tol) < 0.0) {
        throw HostError("SYMMETRY_TOL must be a finite real scalar >= 0.");
    }
    return mxGetScalar(tol);
}

// The full symmetric matrix of the upper triangle m, as a host sparse matrix (columns sorted).
mxArray* full_symmetric(const UpperMatrix& m) {
    const size_t n = static_cast<size_t>(m.n);
    // Column c holds first the rows r < c (entry (r,c) of the upper triangle, mirrored), then
    // row c of the upper triangle itself, which starts at the diagonal.
    std::vector<size_t> above(n, 0), own(n, 0);
    for (size_t i = 0; i < n; ++i) {
        for (int k = m.ia[i] - 1; k < m.ia[i + 1] - 1; ++k) {
            if (m.a[static_cast<size_t>(k)] == 0.0) {
                continue;
            }
            const size_t j = static_cast<size_t>(m.ja[static_cast<size_t>(k)] - 1);
            ++own[i];
            if (j != i) {
                ++above[j];
            }
        }
    }
    std::vector<size_t> start(n + 1, 0);
    for (size_t c = 0; c < n; ++c) {
        start[c + 1] = start[c] + above[c] + own[c];
    }
    mxArray* A = mxCreateSparse(n, n, start[n] > 0 ? start[n] : 1, mxREAL);
    if (A == nullptr) {
        throw HostError("out of memory.");
    }
    mwIndex* jc = mxGetJc(A);
    mwIndex* ir = mxGetIr(A);
    double* pr  = mxGetPr(A);
    std::vector<size_t> next_above(n), next_own(n);
    for (size_t c = 0; c < n; ++c) {
        jc[c]         = static_cast<mwIndex>(start[c]);
        next_above[c] = start[c];
        next_own[c]   = start[c] + above[c];
    }
    jc[n] = static_cast<mwIndex>(start[n]);
    for (size_t i = 0; i < n; ++i) {
        for (int k = m.ia[i] - 1; k < m.ia[i + 1] - 1; ++k) {
            const double v = m.a[static_cast<size_t>(k)];
            if (v == 0.0) {
                continue;
            }
            const size_t j    = static_cast<size_t>(m.ja[static_cast<size_t>(k)] - 1);
            ir[next_own[i]]   = static_cast<mwIndex>(j);
            pr[next_own[i]++] = v;
            if (j != i) {
                ir[next_above[j]]   = static_cast<mwIndex>(i);
                pr[next_above[j]++] = v;
            }
        }
    }
    return A;
}

void read_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs < 1 || nrhs > 2) {
        throw HostError("one or two input arguments required: FILE [, SYMMETRY_TOL].");
    }
    if (nlhs > 1) {
        throw HostError("Too many output arguments.");
    }
    const std::string path = file_argument(prhs[0]);
    trelvak::cli::ReadOptions options;
    if (nrhs == 2) {
        options.symmetry_tol = tolerance_argument(prhs[1]);
    }
    const auto result = trelvak::cli::read_matrix_market(path, options);
    if (result.error != ReadError::kNone) {
        throw HostError(result.message);
    }
    plhs[0] = full_symmetric(result.matrix);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    const std::string error =
        trelvak::gateway::guarded([&] { read_module(nlhs, plhs, nrhs, prhs); });
    if (!error.empty()) {
        // Outside every try block: the host's error exit unwinds through this frame. The host
        // puts the module's name in front; trelvak_mmread.m gives the message its own.
        mexErrMsgIdAndTxt("trelvak:mmread", "%s", error.c_str());
    }
}
