// engine.h: the work behind the Python module, free of Python: option records from checked
// key/value lists, a factorization object that applies the multilevel preconditioner to the
// unscaled system, and the one-call solve with the watch and the fallback factor of the tool.
//
// Nothing here touches the interpreter, so the bindings call it with the GIL released. Errors are
// thrown as the exception classes below; the bindings translate them.
#ifndef TRELVAK_PYTHON_ENGINE_H
#define TRELVAK_PYTHON_ENGINE_H

#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "cli/cli.h"
#include "common/fatal_stop.h"
#include "common/option_keys.h"
#include "common/trelvak.h"
#include "factor/factor.h"

namespace trelvak::python {

// A value the user gave for an option key that is not acceptable (ValueError).
class OptionError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The factorization failed (code of factor(), message).
class FactorError : public std::runtime_error {
public:
    FactorError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// The Krylov method ended with a status other than converged or the iteration limit.
class SolveError : public std::runtime_error {
public:
    SolveError(int status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

// Makes every fatal stop of the system throw FatalStop (once for the process).
void install_fatal_handler();

// ---- Options ----------------------------------------------------------------------------------

using OptionValue = std::variant<double, std::string>;
using OptionList  = std::vector<std::pair<std::string, OptionValue>>;

// Checks one key and value: the key must be an option key, a text key needs a text that is one
// of its keywords, a number key a finite number in its range, an int key a whole number.
// Throws OptionError naming the key.
void check_option(const std::string& key, const OptionValue& value);
// Checks every entry, then writes them into the record (texts as copies the record owns).
void apply_options(const OptionList& options, ParameterRecord* param);
// Every option key with the record's value, in the order of the defaults structure.
OptionList options_of(const ParameterRecord& param);

// ---- Factorization ---------------------------------------------------------------------------

// The multilevel preconditioner of one matrix with the parameter record it was made with.
// Not safe for use by two threads at once: the application patches the level list around its
// kernel calls and shares the record's controls, so callers hold lock() (the bindings do).
class Factorization {
public:
    // Factors A (upper triangle, 1-based rows, columns ascending) under the options.
    Factorization(const cli::UpperMatrix& A, const OptionList& options);
    ~Factorization();
    Factorization(const Factorization&)            = delete;
    Factorization& operator=(const Factorization&) = delete;

    int n() const { return n_; }
    const FactorInfo& info() const { return info_; }
    const ParameterRecord& param() const { return *param_; }
    bool released() const { return levels_ == nullptr; }
    // False after a fatal stop inside an application left the level list in doubt.
    bool usable() const { return usable_; }
    std::mutex& lock() { return lock_; }

    // y = M^-1 x for the unscaled matrix, for `columns` vectors of n entries stored one after
    // the other in x and y. M^-1 = Dc Ms^-1 Dr with Ms the factored scaled matrix Dr A Dc.
    void apply(const double* x, double* y, int columns);
    // Frees the level list and the record (later calls of apply throw std::logic_error).
    void release();

private:
    int n_                  = 0;
    ParameterRecord* param_ = nullptr;
    LevelRecord* levels_    = nullptr;
    FactorInfo info_;
    bool usable_ = true;
    std::vector<double> scratch_;
    std::mutex lock_;
};

// ---- The one-call solve ----------------------------------------------------------------------

struct SolveReport {
    std::vector<int> niter;           // iterations per column
    std::vector<double> relres;       // true relative residual per column
    std::vector<int> watched;         // iterations spent in the watch and in solves not kept
    std::vector<bool> fallback_used;  // the column's solution comes from the cruder factor
    std::vector<int> switched_at;     // SQMR iterations before GMRES went on (0: none)
    int nlev             = 0;
    double fill          = 0.0;
    int perturbed        = 0;
    double fallback_fill = -1.0;  // < 0: no cruder factor was made
    double setup_seconds = 0.0;   // wall time of the factorizations
    double solve_seconds = 0.0;   // wall time of the solves
    FactorInfo factor_info;
    OptionList options;  // every option with the value the solves used
};

// Factors A, solves A x = b for each of the m columns of B (n x m, column after column, as X and
// X0), then releases the factors, as octave/trelvak.m does: each column is watched for its first
// iterations and, when the factor proves unstable, solved with a cruder factor (fallback). X0
// may be null (x0 = 0). Throws FactorError, SolveError, FatalStop or Interrupted.
SolveReport solve(const cli::UpperMatrix& A, const OptionList& options, bool fallback,
                  const double* B, const double* X0, int m, double* X);

}  // namespace trelvak::python

#endif  // TRELVAK_PYTHON_ENGINE_H
