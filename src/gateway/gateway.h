// gateway.h: what the Octave modules share. It is compiled into libtrelvak_octave.so, which every
// module links, so there is one registry of live preconditioner handles per process.
//
//   guarded(body)            runs a module's work with the throwing fatal-error handler installed
//                            and BLAS on one thread; returns the error text instead of raising it
//   check_matrix_input(...)  the first input: numeric, square, sparse, real, within 32-bit sizes
//   convert_upper(A)         the one-triangle compressed-row record of a host sparse matrix
//   resolve_handle(PREC)     the registered handle behind PREC, or an error; never dereferences
//   options_to_record / options_from_record / options_from_defaults   the options exchange
//
// Every error inside guarded() is thrown as HostError; the module raises it with mexErrMsgTxt
// after guarded() has returned, when its buffers are already released.
#ifndef TRELVAK_GATEWAY_GATEWAY_H
#define TRELVAK_GATEWAY_GATEWAY_H

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/buffer.h"
#include "common/fatal_stop.h"
#include "common/trelvak.h"
#include "mex.h"

namespace trelvak::gateway {

// An error to be raised in the host with this message.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Fatal stops reach the module as trelvak::FatalStop (common/fatal_stop.h): guarded() installs
// the throwing handler.

// Runs body with the throwing fatal handler and single-threaded BLAS (both restored afterwards).
// Returns "" on success, else the message of whatever body threw.
std::string guarded(const std::function<void()>& body);

// Buffers from MAlloc, released with free.
using trelvak::allocate;
using trelvak::Buffer;

// A host sparse matrix converted to the upper triangle by rows; owns its arrays.
struct ConvertedMatrix {
    SparseMatrix record{};
    Buffer<int> ia;
    Buffer<int> ja;
    Buffer<double> a;
};

// Checks the first input in the order numeric, square, sparse, real, size (messages as the
// solver module gives them); returns the order n.
int check_matrix_input(const mxArray* A);
// Keeps the diagonal and the entries below it of every column j as row j of the record.
ConvertedMatrix convert_upper(const mxArray* A, const char* tag);

// Checks that v is a full real double vector of n finite elements; `which` names the input in
// the message ("Fourth input (b)", ...).
void check_vector_input(const mxArray* v, int n, const char* which);
// Checks that the stored entries of a matrix that passed check_matrix_input are finite.
void check_matrix_values(const mxArray* A);
// Checks that b and A x0 (n values each, A the symmetric record) are small enough for the
// method's inner products not to overflow (x0 null: the zero guess); b_input names b's position
// in the message.
void check_solve_magnitudes(const SparseMatrix& A, const double* b, const double* x0,
                            const char* b_input = "Fourth");

// ---- Handle registry ------------------------------------------------------------------------

// Text copies a record already owns, by content: a text option that comes back to an earlier
// value reuses its copy, so alternating texts do not make the record grow call after call.
using TextCache = std::map<std::string, const char*>;

struct Handle {
    LevelRecord* levels    = nullptr;
    ParameterRecord* param = nullptr;
    int n                  = 0;      // order of the factored matrix
    int nlev               = 0;      // number of levels
    bool usable            = true;   // false after a fatal stop inside a solve with this handle
    std::uint64_t id       = 0;      // serial number, never reused in a session
    int perturbed          = 0;      // pivots raised by static pivoting
    double probe           = 0.0;    // stability probe of the factor (FactorInfo::probe)
    bool steadied          = false;  // an unstable first factor was replaced (FactorInfo)
    bool quick             = false;  // the quick attempt's factor was kept (FactorInfo)
    TextCache texts;                 // text copies owned by param
};

// A serial number for a new handle, never given out before in this process.
std::uint64_t next_handle_id();
// Registers a new handle (the registry takes ownership of levels and param).
void register_handle(Handle handle);
// The live handle behind PREC; throws HostError for anything else. Reads no address.
Handle& resolve_handle(const mxArray* prec, const char* which);
// Releases the level list and the record of a live handle and forgets it.
void release_handle(Handle& handle);
// Number of live handles.
size_t live_handles();
// Locks the calling module while handles are alive (so the registry stays loaded); `locked` is
// the calling module's own flag.
void keep_loaded(bool& locked);

// The handle structure returned to the host: ptr and param as uint64 addresses, plus the order,
// levels, fill, stored entries, factorization time, the serial number id (uint64), the
// number of pivots raised by static pivoting (perturbed), the stability probe of the factor
// (probe), whether an unstable first factor was replaced (steadied, logical) and whether the
// quick attempt's factor was kept (quick, logical).
mxArray* make_handle_struct(const Handle& handle, double fill, double nnz, double seconds);

// Owners of a parameter record and a level list until they are handed over.
struct ParametersDeleter {
    void operator()(ParameterRecord* p) const;
};
struct LevelsDeleter {
    void operator()(LevelRecord* p) const;
};
using ParametersPtr = std::unique_ptr<ParameterRecord, ParametersDeleter>;
using LevelsPtr     = std::unique_ptr<LevelRecord, LevelsDeleter>;

// ---- The modules ------------------------------------------------------------------------------
// The work of each module, with the module's own arguments; errors are thrown as HostError.
// run_module runs one of them guarded, keeps the module loaded while handles are alive (with
// the module's own flag `locked`), and raises the error, if any, as a host error.

using ModuleBody = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void solver_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
// trelvak_course_mex, for trelvak.m: DSYMtrelvaksolver with the course of SQMR judged.
void course_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void factor_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
// trelvak_factor_mex, for trelvak.m: DSYMtrelvakfactor whose quick trial solves A x = b.
void trial_factor_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void delete_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void init_module(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void run_module(ModuleBody body, bool& locked, int nlhs, mxArray* plhs[], int nrhs,
                const mxArray* prhs[]);

// ---- Options exchange -----------------------------------------------------------------------

// Copies the recognised fields of options(1) into the record; texts is the record's cache.
void options_to_record(const mxArray* options, ParameterRecord* param, TextCache& texts);
// The options output: every field of options(1) in order, recognised ones showing the record's
// values; with_niter adds (or replaces) "niter" = ipar(7).
mxArray* options_from_record(const mxArray* options, const ParameterRecord* param, bool with_niter);
// A structure holding every option key with the record's values.
mxArray* options_from_defaults(const ParameterRecord* param);

}  // namespace trelvak::gateway

#endif  // TRELVAK_GATEWAY_GATEWAY_H
