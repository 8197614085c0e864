// cli.h: the command-line tool `trelvak`. Reads a sparse symmetric matrix from a Matrix Market
// file, factors it with the multilevel incomplete L D L^T, solves A x = b with the selected Krylov
// method and reports levels, fill, iterations, true relative residual, times and peak memory.
//
//   read_matrix_market(path, opts)  file -> upper triangle by rows (1-based), or a located error
//   read_vector(path, n)            right-hand side: Matrix Market array/coordinate or plain
//   numbers parse_arguments(argc, argv)     command line -> Arguments, or a usage error
//   run(arguments, out, err)        the whole tool; returns its exit code
//
// Exit codes (ExitCode) are stable so that scripts can test them.
#ifndef TRELVAK_CLI_CLI_H
#define TRELVAK_CLI_CLI_H

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/trelvak.h"
#include "factor/factor.h"

namespace trelvak::krylov {
struct SolveState;
}

namespace trelvak::cli {

enum ExitCode : int {
    kExitConverged     = 0,  // solved to the requested tolerance (or factored, with --factor-only)
    kExitNotConverged  = 1,  // true residual above restol (iteration limit); a result was printed
    kExitUsage         = 2,  // bad command line
    kExitUnreadable    = 3,  // the file cannot be opened, decompressed or read
    kExitInvalidMatrix = 4,  // malformed file, unsupported kind, non-square, asymmetric, NaN/Inf
    kExitFactorFailed  = 5,  // the factorization failed
    kExitSolveFailed   = 6,  // breakdown, workspace or another solver error
    kExitInterrupted   = 130,  // stopped by SIGINT or SIGTERM (the shell's code for SIGINT)
    kExitInternal      = 70    // fatal error inside the package (for example out of memory)
};

// ------------------------------------------------------------------------------------------------
// Matrix Market input
// ------------------------------------------------------------------------------------------------

// A symmetric matrix in the solver's layout: upper triangle with the diagonal, 1-based rows,
// columns ascending within each row (so a stored diagonal entry comes first).
struct UpperMatrix {
    int n = 0;
    std::vector<int> ia{1};
    std::vector<int> ja;
    std::vector<double> a;
    int nnz() const { return ia.back() - 1; }
    // A record that views (does not own) the arrays.
    SparseMatrix record();
};

struct ReadOptions {
    // A general file is accepted as symmetric when ||A - A^T||_F <= symmetry_tol * ||A||_F; the
    // two triangles are then averaged.
    double symmetry_tol = 1e-12;
};

// What went wrong, for the exit code: kUnreadable (I/O) or kInvalid (contents).
enum class ReadError { kNone, kUnreadable, kInvalid };

struct ReadResult {
    ReadError error = ReadError::kNone;
    std::string message;          // one line, names the file and the line where that applies
    UpperMatrix matrix;           // valid when error == kNone
    bool general        = false;  // the file declared "general" storage
    bool integer_field  = false;  // the file declared an "integer" field
    bool compressed     = false;  // the file was gzip-compressed
    long entries_read   = 0;      // entry lines in the file
    long duplicates     = 0;      // entries that repeated a position and were summed
    long explicit_zeros = 0;      // stored entries equal to zero
    long zero_diagonal  = 0;      // rows without a nonzero diagonal entry
    double asymmetry    = 0.0;    // ||A - A^T||_F / ||A||_F of a general file
    ReadResult()        = default;
};

ReadResult read_matrix_market(const std::string& path, const ReadOptions& options = {});

struct VectorResult {
    ReadError error = ReadError::kNone;
    std::string message;
    std::vector<double> values;
};

// Reads a vector of length n: a Matrix Market "array" (n x 1) or "coordinate" (n x 1) file, or a
// plain text file of n numbers separated by white space. Plain or gzip-compressed.
VectorResult read_vector(const std::string& path, int n);

// Writes x as a Matrix Market array file (n x 1, %.17g). Returns false with a message on failure.
bool write_vector(const std::string& path, const std::vector<double>& x, std::string* message);

// ------------------------------------------------------------------------------------------------
// Command line
// ------------------------------------------------------------------------------------------------

// One option key of the options structure, its record field and its kind.
struct OptionKey {
    const char* name;  // flag name without the dashes, exactly as the key is spelled
    enum Kind { kDouble, kInt, kText } kind;
    const char* help;
};
// The twenty-two option keys, in the order of the options structure.
const std::vector<OptionKey>& option_keys();

struct Arguments {
    std::string matrix_path;
    std::string rhs_path;     // empty: b = A * ones(n, 1)
    std::string output_path;  // empty: the solution is not written
    bool quiet          = false;
    bool json           = false;
    bool factor_only    = false;
    bool fallback       = true;  // a cruder factor when the first proves unstable
    bool help           = false;
    bool version        = false;
    double symmetry_tol = 1e-12;
    // Option keys given on the command line, by key: the number or the text as typed.
    std::map<std::string, double> numbers;
    std::map<std::string, std::string> texts;
};

struct ParseResult {
    bool ok = true;
    std::string message;  // usage error
    Arguments arguments;
};

ParseResult parse_arguments(int argc, const char* const* argv);
std::string usage_text();

// Writes the given option values into the record (texts through trelvak::set_text). Int fields
// receive the value as given (parse_arguments accepts integral values only).
void apply_options(const Arguments& arguments, ParameterRecord* param);

// The record's value of an option key, as JSON (number or quoted string; null for a null text).
std::string option_json(const ParameterRecord& param, const OptionKey& key);

// ------------------------------------------------------------------------------------------------
// Output helpers
// ------------------------------------------------------------------------------------------------

// A JSON string literal (quotes included) with control characters escaped.
std::string json_quote(const std::string& text);
// A JSON number; NaN and infinities become null.
std::string json_number(double value);

// y = A x for the upper-triangle record (the lower triangle mirrored); x, y 0-based, length n.
void symmetric_product(const UpperMatrix& A, const double* x, double* y);

// ||b - A x|| / ||b|| (||b - A x|| when b = 0) with A as stored.
double relative_residual(const UpperMatrix& A, const std::vector<double>& b,
                         const std::vector<double>& x);

// ------------------------------------------------------------------------------------------------
// Solving, with a watch on the first iterations
// ------------------------------------------------------------------------------------------------

// The watch's length; the factor that replaces an unstable one has droptol kCruderDroptol.
constexpr int kWatchIterations = 10;
using trelvak::kCruderDroptol;
// GMRES and FGMRES minimise the residual, so under an unstable factor theirs stalls instead of
// growing: a true residual still above this share of ||b|| after the watch marks the factor.
constexpr double kStalledRelres = 0.9;
// Whether a solve goes on from the watch's iterate instead of starting over: when the watch has
// gained half the digits that restol asks for, the rest is a few iterations, and a restarted
// method loses less than the watch's iterations again (random KKT, quick factor: SQMR converges
// in 11 iterations; starting over cost 10 + 11).
bool continues_watch(double relres, double restol);
// A symmetric QMR solve after the watch has its true residual computed at checkpoints, every
// tenth of the iteration limit (at least kMinSpacing apart). At a checkpoint it is off course when
// at the pace since the previous one (digits per iteration) it would not meet restol within the
// limit. It goes on with GMRES from its iterate when it is off course at two checkpoints in a row,
// after at least kFirstJudged iterations and within the first half of the limit; GMRES gets the
// iterations left, restarted after as many of them as a basis of kSwitchBasisBytes holds (at
// least nrestart). On long runs of KKT systems SQMR's recurrences lose their accuracy where
// GMRES's orthogonal basis does not: the QP family of order 21,000 to 56,000 needs 652 to more
// than 1000 SQMR iterations and 134 to 282 of GMRES, and SQMR's pace there is slow from the
// start. Krylov methods also speed up as they go: on indefinite problems the residual can stall
// for tens of iterations before it falls (shifted Laplacians under a crude factor: a tenth of a
// digit per ten iterations for the first 75, then converged by 112), so the pace is taken over
// a tenth of the limit, SQMR is not judged before kFirstJudged, and GMRES, which starts afresh,
// is left at least half the limit.
constexpr int kCheckpoints         = 10;
constexpr int kMinSpacing          = 25;
constexpr int kFirstJudged         = 100;
constexpr double kSwitchBasisBytes = 256.0 * 1024 * 1024;
int checkpoint_spacing(int maxit);
// Whether a solve whose true relative residual went from r0 after k0 iterations to r after k is
// off course for restol within maxit iterations.
bool off_course(int k0, double r0, int k, double r, int maxit, double restol);
// GMRES's restart length after a switch: the iterations left, at most what kSwitchBasisBytes
// hold for order n, at least nrestart.
int switch_restart(int left, int nrestart, size_t n);

// The judge of an SQMR solve's course: arm() sets the checkpoints in a solve state (none when
// the limit is too short for them, see applies) and keeps the pace between them; the judge must
// outlive the solve, and disarm() clears the state after it.
class Course {
public:
    Course(int maxit, double restol);
    static bool applies(int maxit);
    void arm(krylov::SolveState& state);
    static void disarm(krylov::SolveState& state);

private:
    bool judge(int k, double relres, bool indefinite);
    int maxit_;
    double restol_;
    int k0_       = 0;
    double r0_    = 0.0;
    bool was_off_ = false;
};

struct SolveResult {
    int status          = 0;      // status_verdict of the solve whose x is returned
    int iterations      = 0;      // iterations of that solve
    int watched         = 0;      // iterations of the other solves run (the watch's)
    double relres       = 0.0;    // true relative residual of x
    double seconds      = 0.0;    // wall time of all solves run (refactoring excluded)
    bool grew           = false;  // the watch found the factor unstable (unstable_after_watch)
    double watch_relres = 0.0;    // then: the true relative residual after the watch
    bool fallback_used  = false;  // x comes from the cruder factor
    int switched_at     = 0;      // SQMR's iterations before the rest went to GMRES (0: none)
    int restart         = 0;      // then: GMRES's restart length
    bool in_trial       = false;  // x is the factorization's trial iterate (trial_solve)
};

// What a solve may bring besides the system: a state of its own for the Krylov method (so that
// solves on several threads do not share the methods' module-wide record; null: that record),
// and an initial guess (n values; null: x = 0), from which every run of the solve starts.
struct SolveSetup {
    krylov::SolveState* state     = nullptr;
    const std::vector<double>* x0 = nullptr;
};

// The cruder factor, made at most once for several solves; its owner releases it.
struct Fallback {
    bool tried          = false;
    int code            = 0;  // of factor()
    LevelRecord* levels = nullptr;
    FactorInfo info;
    double seconds                       = 0.0;  // wall time of its factorization
    Fallback()                           = default;
    Fallback(const Fallback&)            = delete;
    Fallback& operator=(const Fallback&) = delete;
    ~Fallback();
};

// The status of a solve as the tool reports it: 0 (converged) or -1 (iteration limit) follow the
// true relative residual alone, converged exactly when relres <= restol (a NaN is not converged);
// any other status stands.
int status_verdict(int status, double relres, double restol);

// The solve that the factorization's trial already made (TrialSystem::solved): x is its
// iterate, the status the verdict on its true relative residual; it takes no time of its own (the
// factorization's time holds it).
SolveResult trial_solve(const UpperMatrix& A, const TrialSystem& trial,
                        const std::vector<double>& b, std::vector<double>* x, double restol);

// Solves A x = b from x = 0 (setup.x0 when given) with the level list (the driver with param's
// options). A's values are restored from pristine after each call of the driver (it scales them in
// place). The status is the verdict on the true relative residual.
SolveResult solve_once(UpperMatrix& A, const std::vector<double>& pristine, LevelRecord* levels,
                       ParameterRecord* param, const std::vector<double>& b, std::vector<double>* x,
                       const SolveSetup& setup = {});
// Whether the true relative residual after the watch marks the factor as unstable: not below 1
// (it grew), or with GMRES and FGMRES not below kStalledRelres (it stalled).
bool unstable_after_watch(const char* solver, double relres);
// "grew" or "stalled", for a result whose watch found the factor unstable.
const char* watch_verdict(const SolveResult& r);
// The same, stopped after kWatchIterations first: a residual that marks the factor as unstable
// sets grew; otherwise, unless the watch converged, the solve starts over and runs as
// solve_once.
SolveResult solve_watched(UpperMatrix& A, const std::vector<double>& pristine, LevelRecord* levels,
                          ParameterRecord* param, const std::vector<double>& b,
                          std::vector<double>* x, const SolveSetup& setup = {});
// solve_watched; when the factor proves unstable, A is factored again with droptol
// kCruderDroptol into *fallback (unless an earlier call did) and solved from x = 0; the result
// with the smaller true residual is returned.
SolveResult solve_with_fallback(UpperMatrix& A, const std::vector<double>& pristine,
                                LevelRecord* levels, ParameterRecord* param,
                                const std::vector<double>& b, std::vector<double>* x,
                                Fallback* fallback, const SolveSetup& setup = {});

// Peak resident memory of the process in bytes (0 when unknown).
long peak_memory_bytes();

// ------------------------------------------------------------------------------------------------
// The tool
// ------------------------------------------------------------------------------------------------

// Runs the tool: parses nothing (arguments are given), writes results to out and diagnostics to
// err, and returns an ExitCode. Never throws; fatal errors of the package are caught.
int run(const Arguments& arguments, std::FILE* out, std::FILE* err);

// Makes SIGINT and SIGTERM stop the work at its next poll (run then ends with
// kExitInterrupted); a second signal ends the process at once.
void install_signal_stop();

// parse_arguments + run, for main().
int main_entry(int argc, const char* const* argv);

}  // namespace trelvak::cli

#endif  // TRELVAK_CLI_CLI_H
