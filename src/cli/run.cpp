// run.cpp: the tool `trelvak`: read, factor, solve, report.
//
// On entry: parsed arguments. On exit: the report on `out` (text, or one JSON object with
// --json), diagnostics on `err`, and an ExitCode. The right-hand side is b = A*ones(n,1) unless
// --rhs names a file; the initial guess is zero. The relative residual reported is the true
// ||b - A x|| / ||b||, recomputed with the matrix as read (the driver scales and unscales A in
// place, so a pristine copy of the values is kept for this). Fatal errors of the package (out of
// memory, an inconsistent level list) are turned into exit code 70 by a throwing handler.
// Work space: the matrix, one copy of its values, four vectors of length n.
//
// run() goes through the steps in order: read_matrix, read_rhs, factor_matrix, solve_system,
// write_solution; in text mode each step's lines follow it, and the JSON object (print_json) and
// the warnings on `err` (print_warnings) close the run. A step that cannot go on returns a
// Failure, which run() reports with its exit code.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/interrupt.h"
#include "common/lanes.h"
#include "common/onebased.h"
#include "factor/factor.h"
#include "solver/solver.h"

namespace trelvak::cli {

namespace {

// A final relative residual at or above this after the iteration limit: the hint on unstable
// factors follows the warning.
constexpr double kHardlyFell = 0.1;

class FatalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void throwing_handler(FatalChannel, const char* message) {
    throw FatalError(message != nullptr ? message : "fatal error");
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string base_name(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string strip(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

const char* kind_name(int code) {
    switch (code) {
        case kExitUsage:
            return "usage";
        case kExitUnreadable:
            return "unreadable_file";
        case kExitInvalidMatrix:
            return "invalid_input";
        case kExitFactorFailed:
            return "factorization_failed";
        case kExitSolveFailed:
            return "solver_error";
        case kExitInterrupted:
            return "interrupted";
        default:
            return "internal_error";
    }
}

// Restores the default fatal handler and releases the package's records on every exit path.
struct Session {
    FatalHandler previous  = nullptr;
    ParameterRecord* param = nullptr;
    LevelRecord* levels    = nullptr;
    Session() { previous = trelvak_set_fatal_handler(&throwing_handler); }
    ~Session() {
        release_levels(levels);
        if (param != nullptr) {
            release_parameters(param);
        }
        trelvak_set_fatal_handler(previous);
    }
    Session(const Session&)            = delete;
    Session& operator=(const Session&) = delete;
};

struct LevelLine {
    int n, nB;
    long stored;
    bool dense;
};

std::vector<LevelLine> describe_levels(const LevelRecord* levels) {
    std::vector<LevelLine> lines;
    for (const LevelRecord* l = levels; l != nullptr; l = l->next) {
        lines.push_back(
            {l->n, l->nB, static_cast<long>(l->nnz_stored), l->factor_index == nullptr});
    }
    return lines;
}

}  // namespace

std::string option_json(const ParameterRecord& p, const OptionKey& key) {
    const std::string name = key.name;
    auto text = [](const char* t) { return t == nullptr ? std::string("null") : json_quote(t); };
    if (name == "elbow")
        return json_number(p.elbow);
    if (name == "lfilS")
        return std::to_string(p.lfilS);
    if (name == "lfil")
        return std::to_string(p.lfil);
    if (name == "maxit")
        return std::to_string(p.maxit);
    if (name == "droptolS")
        return json_number(p.droptolS);
    if (name == "droptol")
        return json_number(p.droptol);
    if (name == "condest")
        return json_number(p.condest);
    if (name == "restol")
        return json_number(p.restol);
    if (name == "npresmoothing")
        return std::to_string(p.npresmoothing);
    if (name == "npostmoothing")
        return std::to_string(p.npostmoothing);
    if (name == "ncoarse")
        return std::to_string(p.ncoarse);
    if (name == "matching")
        return std::to_string(p.matching);
    if (name == "nrestart")
        return std::to_string(p.nrestart);
    if (name == "damping")
        return json_number(p.damping);
    if (name == "amg")
        return text(p.amg);
    if (name == "presmoother")
        return text(p.presmoother);
    if (name == "postsmoother")
        return text(p.postsmoother);
    if (name == "typecoarse")
        return text(p.typecoarse);
    if (name == "typetv")
        return text(p.typetv);
    if (name == "FCpart")
        return text(p.FCpart);
    if (name == "solver")
        return text(p.solver);
    if (name == "ordering")
        return text(p.ordering);
    return "null";
}

void apply_options(const Arguments& arguments, ParameterRecord* p) {
    for (const auto& [name, x] : arguments.numbers) {
        const int i = static_cast<int>(x);  // parse_arguments admits integral values only
        if (name == "elbow")
            p->elbow = x;
        else if (name == "lfilS")
            p->lfilS = i;
        else if (name == "lfil")
            p->lfil = i;
        else if (name == "maxit")
            p->maxit = i;
        else if (name == "droptolS")
            p->droptolS = x;
        else if (name == "droptol")
            p->droptol = x;
        else if (name == "condest")
            p->condest = x;
        else if (name == "restol")
            p->restol = x;
        else if (name == "npresmoothing")
            p->npresmoothing = i;
        else if (name == "npostmoothing")
            p->npostmoothing = i;
        else if (name == "ncoarse")
            p->ncoarse = i;
        else if (name == "matching")
            p->matching = i;
        else if (name == "nrestart")
            p->nrestart = i;
        else if (name == "damping")
            p->damping = x;
    }
    for (const auto& [name, t] : arguments.texts) {
        const char** field = nullptr;
        if (name == "amg")
            field = &p->amg;
        else if (name == "presmoother")
            field = &p->presmoother;
        else if (name == "postsmoother")
            field = &p->postsmoother;
        else if (name == "typecoarse")
            field = &p->typecoarse;
        else if (name == "typetv")
            field = &p->typetv;
        else if (name == "FCpart")
            field = &p->FCpart;
        else if (name == "solver")
            field = &p->solver;
        else if (name == "ordering")
            field = &p->ordering;
        if (field != nullptr) {
            set_text(p, field, t.c_str());
        }
    }
}

namespace {

bool text_mode(const Arguments& args) {
    return !args.json && !args.quiet;
}

// A step that cannot go on: the exit code and the one-line message for report_error.
struct Failure {
    int code;
    std::string message;
};

int report_error(const Arguments& args, std::FILE* out, std::FILE* err, int code,
                 const std::string& message) {
    std::fprintf(err, "trelvak: error: %s\n", message.c_str());
    if (args.json) {
        std::fprintf(out, "{\"error\": {\"exit_code\": %d, \"kind\": \"%s\", \"message\": %s}}\n",
                     code, kind_name(code), json_quote(message).c_str());
    }
    std::fflush(out);
    return code;
}

int read_error_code(ReadError error) {
    return error == ReadError::kUnreadable ? kExitUnreadable : kExitInvalidMatrix;
}

// The system as read: the matrix (read.matrix, A), a copy of its values as read (the driver
// scales A in place) and the right-hand side.
struct Input {
    ReadResult read;
    double seconds = 0.0;
    std::vector<double> pristine;
    std::vector<double> b;
};

std::optional<Failure> read_matrix(const Arguments& args, Input* input) {
    const auto start = std::chrono::steady_clock::now();
    ReadOptions options;
    options.symmetry_tol = args.symmetry_tol;
    input->read          = read_matrix_market(args.matrix_path, options);
    if (input->read.error != ReadError::kNone) {
        return Failure{read_error_code(input->read.error), input->read.message};
    }
    input->seconds  = seconds_since(start);
    input->pristine = input->read.matrix.a;
    return std::nullopt;
}

// b from --rhs, else b = A*ones(n,1).
std::optional<Failure> read_rhs(const Arguments& args, Input* input) {
    const UpperMatrix& A = input->read.matrix;
    if (!args.rhs_path.empty()) {
        VectorResult rhs = read_vector(args.rhs_path, A.n);
        if (rhs.error != ReadError::kNone) {
            return Failure{read_error_code(rhs.error), rhs.message};
        }
        input->b = std::move(rhs.values);
    } else {
        input->b.assign(static_cast<size_t>(A.n), 0.0);
        const std::vector<double> ones(static_cast<size_t>(A.n), 1.0);
        symmetric_product(A, ones.data(), input->b.data());
    }
    return std::nullopt;
}

void print_matrix_lines(std::FILE* out, const Arguments& args, const Input& input) {
    const ReadResult& r = input.read;
    std::fprintf(out, "matrix    %s: n = %d, nnz = %d (upper triangle), %s%s, read in %.3f s\n",
                 base_name(args.matrix_path).c_str(), r.matrix.n, r.matrix.nnz(),
                 r.general ? "general storage" : "symmetric storage", r.compressed ? ", gzip" : "",
                 input.seconds);
    if (r.general && r.asymmetry > 0.0) {
        std::fprintf(out, "          asymmetry ||A-A'||_F/||A||_F = %.3g, triangles averaged\n",
                     r.asymmetry);
    }
    if (r.zero_diagonal > 0 || r.duplicates > 0) {
        std::fprintf(out,
                     "          %ld rows without a nonzero diagonal entry, %ld duplicates summed\n",
                     r.zero_diagonal, r.duplicates);
    }
}

// The factorization as reported; the level list itself is in the session.
struct Factored {
    FactorInfo info;
    double seconds = 0.0;
    std::vector<LevelLine> levels;
    TrialSystem trial;  // the system to solve, for the quick attempt's trial
};

// Creates the option record from the flags and factors A into the session's level list.
std::optional<Failure> factor_matrix(const Arguments& args, Input* input, Session* session,
                                     Factored* factored) {
    session->param = create_parameters();
    apply_options(args, session->param);
    SparseMatrix record = input->read.matrix.record();
    const auto start    = std::chrono::steady_clock::now();
    // A progress line per level on standard error, once the factorization has run for a second
    // (short ones stay quiet).
    const ProgressCallback progress = [&](const LevelProgress& p) {
        if (text_mode(args) && seconds_since(start) >= 1.0) {
            std::fprintf(stderr, "  level %d%s: order %d, %s %d, %.1f s\n", p.level,
                         p.pass == 0  ? " (quick)"
                         : p.pass > 1 ? (" (pass " + std::to_string(p.pass) + ")").c_str()
                                      : "",
                         p.n, p.dense ? "dense" : "eliminated", p.eliminated, seconds_since(start));
            std::fflush(stderr);
        }
    };
    if (!args.factor_only) {
        factored->trial.b = input->b.data();
    }
    const int code    = factor(record, session->param, &session->levels, &factored->info, progress,
                               &factored->trial);
    factored->seconds = seconds_since(start);
    if (code != 0) {
        const std::string& why = factored->info.message;
        return Failure{kExitFactorFailed,
                       "factorization failed (code " + std::to_string(code) +
                           "): " + (why.empty() ? "no reason given" : strip(why))};
    }
    factored->levels = describe_levels(session->levels);
    return std::nullopt;
}

void print_factor_lines(std::FILE* out, const ParameterRecord& param, const Factored& factored) {
    const FactorInfo& info = factored.info;
    std::fprintf(out, "factor    %d level%s, fill %.2f (%ld stored / %ld input), %.3f s\n",
                 info.nlev, info.nlev == 1 ? "" : "s", info.fill, info.nnz_stored, info.nnz_input,
                 factored.seconds);
    if (info.perturbed > 0) {
        std::fprintf(out,
                     "  %d pivot%s of the singular last level raised to a small share of its "
                     "largest entry\n",
                     info.perturbed, info.perturbed == 1 ? "" : "s");
    }
    if (info.steadied) {
        std::fprintf(out,
                     "  the first factor was unstable (A M^-1 moved a residual farther than its "
                     "norm); the one made with %s did better (probe %.1e) and is used\n",
                     info.steadied_by.c_str(), info.probe);
    }
    if (info.quick) {
        std::fprintf(out,
                     "  quick factor: level 1 in the given order (no matching, no fill-reducing "
                     "ordering), sound and within restol in a short trial solve\n");
    }
    if (info.droptol != param.droptol || info.droptolS != param.droptolS ||
        info.condest != param.condest) {
        std::fprintf(out, "  level 1 factored with droptol %g, droptolS %g, condest %g\n",
                     info.droptol, info.droptolS, info.condest);
    }
    const auto& levels = factored.levels;
    for (size_t l = 0; l < levels.size(); ++l) {
        if (levels[l].dense) {
            std::fprintf(out, "  level %zu  n %9d  dense factor of the last system\n", l + 1,
                         levels[l].n);
        } else {
            std::fprintf(out, "  level %zu  n %9d  eliminated %9d  stored %10ld\n", l + 1,
                         levels[l].n, levels[l].nB, levels[l].stored);
        }
    }
}

// The solve as reported, with one verdict for the exit code, the text and the JSON status.
struct Solved {
    SolveResult result;  // all zero with --factor-only
    std::vector<double> x;
    double refactor_seconds = 0.0;  // the cruder factor's, when one was made
    double restol           = 0.0;
    const char* solver      = "?";  // the method the option record names after the solve
    int code                = kExitConverged;
    std::string verdict     = "converged";
};

// Solves from x = 0 (watched, with a cruder factor as fallback, unless --no-fallback), then
// judges the result; with --factor-only only the verdict "converged" is left.
Solved solve_system(const Arguments& args, Input* input, const Session& session,
                    const Factored& factored, Fallback* fallback) {
    Solved s;
    UpperMatrix& A = input->read.matrix;
    s.x.assign(static_cast<size_t>(A.n), 0.0);
    if (factored.trial.solved) {
        s.result = trial_solve(A, factored.trial, input->b, &s.x, session.param->restol);
    } else if (!args.factor_only) {
        s.result = args.fallback ? solve_with_fallback(A, input->pristine, session.levels,
                                                       session.param, input->b, &s.x, fallback)
                                 : solve_once(A, input->pristine, session.levels, session.param,
                                              input->b, &s.x);
    }
    s.refactor_seconds = fallback->tried ? fallback->seconds : 0.0;
    s.restol           = session.param->restol;
    s.solver           = session.param->solver != nullptr ? session.param->solver : "?";
    // The solve's status is 0 exactly when the true relative residual meets restol (solve_once).
    if (!args.factor_only) {
        const int status = s.result.status;
        if (status != kConverged && status != kIterLimit) {
            s.code    = kExitSolveFailed;
            s.verdict = std::string("solver error: ") + status_text(status);
        } else if (!std::isfinite(s.result.relres)) {
            s.code    = kExitSolveFailed;
            s.verdict = "solution is not finite";
        } else if (status == kIterLimit) {
            s.code    = kExitNotConverged;
            s.verdict = "iteration limit reached";
        }
    }
    return s;
}

std::optional<Failure> write_solution(const Arguments& args, const Solved& solved) {
    std::string message;
    if (!args.output_path.empty() && !args.factor_only &&
        !write_vector(args.output_path, solved.x, &message)) {
        return Failure{kExitUnreadable, message};
    }
    return std::nullopt;
}

double total_seconds(const Factored& factored, const Solved& solved) {
    return factored.seconds + solved.refactor_seconds + solved.result.seconds;
}

// The watch's findings, the solve, the residual and the times (unless --factor-only), then the
// peak memory.
void print_result_lines(std::FILE* out, const Arguments& args, const Factored& factored,
                        const Solved& solved, const Fallback& fallback, long peak) {
    const SolveResult& r = solved.result;
    if (!args.factor_only) {
        if (r.grew) {
            std::fprintf(out,
                         "watch     the residual %s in the first %d iterations: the factor is "
                         "unstable\n",
                         watch_verdict(r), kWatchIterations);
            if (fallback.code != 0 || fallback.levels == nullptr) {
                std::fprintf(out, "          factoring again with droptol %g failed: %s\n",
                             kCruderDroptol, strip(fallback.info.message).c_str());
            } else {
                std::fprintf(out,
                             "          factored again with droptol %g: %d level%s, fill %.2f, "
                             "%.3f s; %s\n",
                             kCruderDroptol, fallback.info.nlev, fallback.info.nlev == 1 ? "" : "s",
                             fallback.info.fill, solved.refactor_seconds,
                             r.fallback_used ? "its solution is reported"
                                             : "it did no better, the first stands");
            }
        }
        if (r.switched_at > 0) {
            std::fprintf(out,
                         "course    %s was off course after %d iterations: gmres (restart %d) "
                         "went on from its iterate\n",
                         solved.solver, r.switched_at, r.restart);
        }
        const int threads = trelvak::lane_count();
        if (r.in_trial) {
            std::fprintf(out,
                         "solve     %s, %s: %d iterations in the quick factor's trial (timed with "
                         "the factorization)\n",
                         solved.solver, solved.verdict.c_str(), r.iterations);
        } else {
            std::fprintf(
                out, "solve     %s, %s: %d iterations%s, %.3f s (%d thread%s)\n", solved.solver,
                solved.verdict.c_str(), r.iterations,
                r.watched > 0 ? (" (and " + std::to_string(r.watched) + " watched)").c_str() : "",
                r.seconds, threads, threads == 1 ? "" : "s");
        }
        std::fprintf(out, "residual  ||b - A x|| / ||b|| = %.3e (restol %.1e)\n", r.relres,
                     solved.restol);
        std::fprintf(out, "total     %.3f s (factorization%s + solve)\n",
                     total_seconds(factored, solved), fallback.tried ? "s" : "");
    }
    std::fprintf(out, "memory    peak %.1f MB\n", static_cast<double>(peak) / 1048576.0);
}

std::string json_matrix(const Arguments& args, const Input& input) {
    const ReadResult& r = input.read;
    return "{\"file\": " + json_quote(args.matrix_path) + ", \"n\": " + std::to_string(r.matrix.n) +
           ", \"nnz_upper\": " + std::to_string(r.matrix.nnz()) + ", \"storage\": \"" +
           (r.general ? "general" : "symmetric") +
           "\", \"asymmetry\": " + json_number(r.asymmetry) +
           ", \"zero_diagonal\": " + std::to_string(r.zero_diagonal) +
           ", \"duplicates\": " + std::to_string(r.duplicates) +
           ", \"compressed\": " + (r.compressed ? "true" : "false") +
           ", \"read_seconds\": " + json_number(input.seconds) + "}";
}

std::string json_options(const ParameterRecord& param) {
    std::string s = "{";
    bool first    = true;
    for (const auto& key : option_keys()) {
        s += std::string(first ? "" : ", ") + "\"" + key.name + "\": " + option_json(param, key);
        first = false;
    }
    return s + "}";
}

std::string json_factor(const Factored& factored) {
    const FactorInfo& info = factored.info;
    std::string s          = "{\"levels\": " + std::to_string(info.nlev) +
                    ", \"fill\": " + json_number(info.fill) +
                    ", \"nnz_stored\": " + std::to_string(info.nnz_stored) +
                    ", \"nnz_input\": " + std::to_string(info.nnz_input) +
                    ", \"seconds\": " + json_number(factored.seconds) +
                    ", \"cpu_seconds\": " + json_number(info.seconds) +
                    ", \"droptol_used\": " + json_number(info.droptol) +
                    ", \"droptolS_used\": " + json_number(info.droptolS) +
                    ", \"condest_used\": " + json_number(info.condest) +
                    ", \"perturbed_pivots\": " + std::to_string(info.perturbed) +
                    ", \"probe\": " + json_number(info.probe) +
                    ", \"steadied\": " + (info.steadied ? "true" : "false") +
                    ", \"quick\": " + (info.quick ? "true" : "false") + ", \"steadied_by\": \"" +
                    info.steadied_by + "\", \"level_list\": [";
    const auto& levels = factored.levels;
    for (size_t l = 0; l < levels.size(); ++l) {
        s += std::string(l ? ", " : "") + "{\"n\": " + std::to_string(levels[l].n) +
             ", \"eliminated\": " + std::to_string(levels[l].nB) +
             ", \"stored\": " + std::to_string(levels[l].stored) +
             ", \"dense\": " + (levels[l].dense ? "true" : "false") + "}";
    }
    return s + "]}";
}

std::string json_solve(const Solved& solved, const Fallback& fallback) {
    const SolveResult& r = solved.result;
    std::string s =
        "{\"solver\": " + json_quote(solved.solver) + ", \"status\": " + std::to_string(r.status) +
        ", \"status_text\": " + json_quote(status_text(r.status)) +
        ", \"iterations\": " + std::to_string(r.iterations) +
        ", \"seconds\": " + json_number(r.seconds) +
        ", \"threads\": " + std::to_string(trelvak::lane_count()) +
        ", \"relres\": " + json_number(r.relres) + ", \"restol\": " + json_number(solved.restol) +
        ", \"converged\": " + (solved.code == kExitConverged ? "true" : "false") +
        ", \"in_trial\": " + (r.in_trial ? "true" : "false") +
        ", \"watch\": {\"iterations\": " + std::to_string(r.watched) +
        ", \"grew\": " + (r.grew ? "true" : "false");
    if (r.switched_at > 0) {
        s += ", \"switched\": {\"at\": " + std::to_string(r.switched_at) +
             ", \"solver\": \"gmres\", \"restart\": " + std::to_string(r.restart) + "}";
    }
    if (fallback.tried) {
        s += ", \"fallback\": {\"droptol\": " + json_number(kCruderDroptol) +
             ", \"code\": " + std::to_string(fallback.code) +
             ", \"levels\": " + std::to_string(fallback.info.nlev) +
             ", \"fill\": " + json_number(fallback.info.fill) +
             ", \"seconds\": " + json_number(solved.refactor_seconds) +
             ", \"used\": " + (r.fallback_used ? "true" : "false") + "}";
    }
    return s + "}}";
}

// The whole report as one JSON object: matrix, options, factor, solve, times, memory, exit code.
void print_json(std::FILE* out, const Arguments& args, const Input& input,
                const ParameterRecord& param, const Factored& factored, const Solved& solved,
                const Fallback& fallback, long peak) {
    std::string s = "{\n  \"matrix\": " + json_matrix(args, input) + ",\n";
    s += "  \"options\": " + json_options(param) + ",\n";
    s += "  \"factor\": " + json_factor(factored) + ",\n";
    if (!args.factor_only) {
        s += "  \"solve\": " + json_solve(solved, fallback) + ",\n";
        s += "  \"total_seconds\": " + json_number(total_seconds(factored, solved)) + ",\n";
    }
    s += "  \"peak_memory_bytes\": " + std::to_string(peak) + ",\n";
    s += "  \"exit_code\": " + std::to_string(solved.code) + "\n}\n";
    std::fputs(s.c_str(), out);
}

// On err: an --amg cycle that could not be used, advice when the iteration limit was reached,
// the error of a failed solve.
void print_warnings(std::FILE* err, const Arguments& args, const ParameterRecord& param,
                    const Solved& solved, const Fallback& fallback) {
    // An amli or mg cycle falls back to ilu when the factor kept no coarse systems; say so.
    const std::string requested_amg = args.texts.count("amg") ? args.texts.at("amg") : "";
    if (!args.quiet && !requested_amg.empty() && param.amg != nullptr &&
        !keyword_matches(requested_amg.c_str(), param.amg)) {
        std::fprintf(err, "trelvak: warning: --amg '%s' not used, used '%s'\n",
                     requested_amg.c_str(), param.amg);
    }
    const SolveResult& r = solved.result;
    if (solved.code == kExitNotConverged && !args.quiet) {
        if (r.status == kIterLimit) {
            std::fprintf(err,
                         "trelvak: warning: no convergence within %d iterations; increase "
                         "--maxit or refactor with a smaller --droptol\n",
                         param.maxit);
            // A residual that never fell tenfold points to the preconditioner rather than to the
            // iteration limit: incomplete factors of strongly indefinite problems (shifted
            // Laplacians in 3D, large ones in 2D) can be unstable.
            if (!(r.relres < kHardlyFell) && r.grew && fallback.tried) {
                std::fprintf(err,
                             "trelvak: hint: the incomplete factors were unstable, and the "
                             "cruder factor (droptol %g) did no better; try a larger "
                             "--condest (1e6) with more --elbow\n",
                             kCruderDroptol);
            } else if (!(r.relres < kHardlyFell)) {
                std::fprintf(err,
                             "trelvak: hint: the residual hardly fell (%.1e); the incomplete "
                             "factors may be unstable: try --droptol 0.3 (only the dominant "
                             "entries), or a larger --condest (1e6) with more --elbow\n",
                             r.relres);
            }
        }
    } else if (solved.code == kExitSolveFailed) {
        std::fprintf(err, "trelvak: error: %s; try a smaller --droptol or another --solver\n",
                     solved.verdict.c_str());
    }
}

}  // namespace

int run(const Arguments& args, std::FILE* out, std::FILE* err) {
    if (args.help) {
        std::fputs(usage_text().c_str(), out);
        return kExitConverged;
    }
    if (args.version) {
        std::fprintf(out, "trelvak 0.1\n");
        return kExitConverged;
    }
    auto fail = [&](int code, const std::string& message) {
        return report_error(args, out, err, code, message);
    };
    try {
        Session session;
        Input input;
        if (auto failure = read_matrix(args, &input)) {
            return fail(failure->code, failure->message);
        }
        if (text_mode(args)) {
            print_matrix_lines(out, args, input);
        }
        if (auto failure = read_rhs(args, &input)) {
            return fail(failure->code, failure->message);
        }
        Factored factored;
        if (auto failure = factor_matrix(args, &input, &session, &factored)) {
            return fail(failure->code, failure->message);
        }
        if (text_mode(args)) {
            print_factor_lines(out, *session.param, factored);
        }
        Fallback fallback;
        const Solved solved = solve_system(args, &input, session, factored, &fallback);
        if (auto failure = write_solution(args, solved)) {
            return fail(failure->code, failure->message);
        }
        const long peak = peak_memory_bytes();
        if (text_mode(args)) {
            print_result_lines(out, args, factored, solved, fallback, peak);
        }
        if (args.json) {
            print_json(out, args, input, *session.param, factored, solved, fallback, peak);
        }
        print_warnings(err, args, *session.param, solved, fallback);
        std::fflush(out);
        return solved.code;
    } catch (const Interrupted&) {
        return fail(kExitInterrupted, "interrupted by a signal; nothing was written");
    } catch (const FatalError& e) {
        return fail(kExitInternal, strip(e.what()));
    } catch (const std::bad_alloc&) {
        return fail(kExitInternal, "out of memory");
    } catch (const std::exception& e) {
        return fail(kExitInternal, e.what());
    }
}

namespace {

volatile std::sig_atomic_t stop_signal = 0;

extern "C" void on_stop_signal(int signal) {
    if (stop_signal != 0) {
        // The work did not reach a poll since the first signal: give up at once.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    stop_signal = signal;
}

bool stop_requested() {
    return stop_signal != 0;
}

}  // namespace

void install_signal_stop() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    set_interrupt_check(stop_requested);
}

int main_entry(int argc, const char* const* argv) {
    const ParseResult parsed = parse_arguments(argc, argv);
    if (!parsed.ok) {
        std::fprintf(stderr, "trelvak: %s\n", parsed.message.c_str());
        bool json = false;
        for (int i = 1; i < argc; ++i) {
            json = json || (argv[i] != nullptr && std::strcmp(argv[i], "--json") == 0);
        }
        if (json) {
            std::fprintf(stdout,
                         "{\"error\": {\"exit_code\": %d, \"kind\": \"usage\", \"message\": %s}}\n",
                         kExitUsage, json_quote(parsed.message).c_str());
        }
        return kExitUsage;
    }
    use_single_thread_blas();
    install_signal_stop();
    int code = run(parsed.arguments, stdout, stderr);
    // From here on a signal ends the process at once; one that came while the work could not
    // poll (a blocking read) still ends the run as interrupted.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (stop_signal != 0 && code != kExitInterrupted) {
        std::fprintf(stderr, "trelvak: interrupted by a signal\n");
        code = kExitInterrupted;
    }
    return code;
}

}  // namespace trelvak::cli
