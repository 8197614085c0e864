// run.cpp: the tool `trelvak`: read, factor, solve, report.
//
// On entry: parsed arguments. On exit: the report on `out` (text, or one JSON object with
// --json), diagnostics on `err`, and an ExitCode. The right-hand side is b = A*ones(n,1) unless
// --rhs names a file; the initial guess is zero. The relative residual reported is the true
// ||b - A x|| / ||b||, recomputed with the matrix as read (the driver scales and unscales A in
// place, so a pristine copy of the values is kept for this). Fatal errors of the package (out of
// memory, an inconsistent level list) are turned into exit code 70 by a throwing handler.
// Work space: the matrix, one copy of its values, four vectors of length n.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <exception>
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

int run(const Arguments& args, std::FILE* out, std::FILE* err) {
    const bool text_mode = !args.json && !args.quiet;
    auto report_error    = [&](int code, const std::string& message) {
        std::fprintf(err, "trelvak: error: %s\n", message.c_str());
        if (args.json) {
            std::fprintf(out,
                            "{\"error\": {\"exit_code\": %d, \"kind\": \"%s\", \"message\": %s}}\n",
                            code, kind_name(code), json_quote(message).c_str());
        }
        std::fflush(out);
        return code;
    };

    if (args.help) {
        std::fputs(usage_text().c_str(), out);
        return kExitConverged;
    }
    if (args.version) {
        std::fprintf(out, "trelvak 0.1\n");
        return kExitConverged;
    }

    try {
        Session session;

        // ---- Matrix ---------------------------------------------------------------------------
        const auto t_read = std::chrono::steady_clock::now();
        ReadOptions read_options;
        read_options.symmetry_tol = args.symmetry_tol;
        ReadResult input          = read_matrix_market(args.matrix_path, read_options);
        if (input.error != ReadError::kNone) {
            return report_error(
                input.error == ReadError::kUnreadable ? kExitUnreadable : kExitInvalidMatrix,
                input.message);
        }
        const double read_seconds          = seconds_since(t_read);
        UpperMatrix& A                     = input.matrix;
        const int n                        = A.n;
        const std::vector<double> pristine = A.a;

        if (text_mode) {
            std::fprintf(out,
                         "matrix    %s: n = %d, nnz = %d (upper triangle), %s%s, read in %.3f s\n",
                         base_name(args.matrix_path).c_str(), n, A.nnz(),
                         input.general ? "general storage" : "symmetric storage",
                         input.compressed ? ", gzip" : "", read_seconds);
            if (input.general && input.asymmetry > 0.0) {
                std::fprintf(out,
                             "          asymmetry ||A-A'||_F/||A||_F = %.3g, triangles averaged\n",
                             input.asymmetry);
            }
            if (input.zero_diagonal > 0 || input.duplicates > 0) {
                std::fprintf(
                    out,
                    "          %ld rows without a nonzero diagonal entry, %ld duplicates summed\n",
                    input.zero_diagonal, input.duplicates);
            }
        }

        // ---- Right-hand side ------------------------------------------------------------------
        std::vector<double> b(static_cast<size_t>(n));
        if (!args.rhs_path.empty()) {
            VectorResult rhs = read_vector(args.rhs_path, n);
            if (rhs.error != ReadError::kNone) {
                return report_error(
                    rhs.error == ReadError::kUnreadable ? kExitUnreadable : kExitInvalidMatrix,
                    rhs.message);
            }
            b = std::move(rhs.values);
        } else {
            const std::vector<double> ones(static_cast<size_t>(n), 1.0);
            symmetric_product(A, ones.data(), b.data());
        }

        // ---- Factorization --------------------------------------------------------------------
        session.param = create_parameters();
        apply_options(args, session.param);
        SparseMatrix record = A.record();
        FactorInfo info;
        const auto t_factor = std::chrono::steady_clock::now();
        // A progress line per level on standard error, once the factorization has run for a
        // second (short ones stay quiet).
        const ProgressCallback progress = [&](const LevelProgress& p) {
            if (text_mode && seconds_since(t_factor) >= 1.0) {
                std::fprintf(stderr, "  level %d%s: order %d, %s %d, %.1f s\n", p.level,
                             p.pass > 1 ? (" (pass " + std::to_string(p.pass) + ")").c_str() : "",
                             p.n, p.dense ? "dense" : "eliminated", p.eliminated,
                             seconds_since(t_factor));
                std::fflush(stderr);
            }
        };
        const int factor_code = factor(record, session.param, &session.levels, &info, progress);
        const double factor_seconds = seconds_since(t_factor);
        if (factor_code != 0) {
            return report_error(
                kExitFactorFailed,
                "factorization failed (code " + std::to_string(factor_code) +
                    "): " + (info.message.empty() ? "no reason given" : strip(info.message)));
        }
        const auto levels = describe_levels(session.levels);
        if (text_mode) {
            std::fprintf(out, "factor    %d level%s, fill %.2f (%ld stored / %ld input), %.3f s\n",
                         info.nlev, info.nlev == 1 ? "" : "s", info.fill, info.nnz_stored,
                         info.nnz_input, factor_seconds);
            if (info.droptol != session.param->droptol ||
                info.droptolS != session.param->droptolS ||
                info.condest != session.param->condest) {
                std::fprintf(out, "  level 1 factored with droptol %g, droptolS %g, condest %g\n",
                             info.droptol, info.droptolS, info.condest);
            }
            for (size_t l = 0; l < levels.size(); ++l) {
                if (levels[l].dense) {
                    std::fprintf(out, "  level %zu  n %9d  dense factor of the last system\n",
                                 l + 1, levels[l].n);
                } else {
                    std::fprintf(out, "  level %zu  n %9d  eliminated %9d  stored %10ld\n", l + 1,
                                 levels[l].n, levels[l].nB, levels[l].stored);
                }
            }
        }

        // ---- Solve ----------------------------------------------------------------------------
        std::vector<double> x(static_cast<size_t>(n), 0.0);
        const std::string requested_solver =
            args.texts.count("solver") ? args.texts.at("solver") : "";
        const std::string requested_amg = args.texts.count("amg") ? args.texts.at("amg") : "";
        Fallback fallback;
        SolveResult solved;
        if (!args.factor_only) {
            solved = args.fallback ? solve_with_fallback(A, pristine, session.levels, session.param,
                                                         b, &x, &fallback)
                                   : solve_once(A, pristine, session.levels, session.param, b, &x);
        }
        const int status           = solved.status;
        const int iterations       = solved.iterations;
        const double relres        = solved.relres;
        const double solve_secs    = solved.seconds;
        const double refactor_secs = fallback.tried ? fallback.seconds : 0.0;
        const double restol        = session.param->restol;
        const bool finite          = std::isfinite(relres);
        int code                   = kExitConverged;
        std::string verdict        = "converged";
        // One verdict for the exit code, the text and the JSON status: the solve's status is 0
        // exactly when the true relative residual meets restol (solve_once).
        if (!args.factor_only) {
            if (status != kConverged && status != kIterLimit) {
                code    = kExitSolveFailed;
                verdict = std::string("solver error: ") + status_text(status);
            } else if (!finite) {
                code    = kExitSolveFailed;
                verdict = "solution is not finite";
            } else if (status == kIterLimit) {
                code    = kExitNotConverged;
                verdict = "iteration limit reached";
            }
        }

        if (!args.output_path.empty() && !args.factor_only) {
            std::string message;
            if (!write_vector(args.output_path, x, &message)) {
                return report_error(kExitUnreadable, message);
            }
        }
        const long peak         = peak_memory_bytes();
        const char* solver_used = session.param->solver != nullptr ? session.param->solver : "?";

        if (text_mode) {
            if (!args.factor_only) {
                if (solved.grew) {
                    std::fprintf(out,
                                 "watch     the residual %s in the first %d iterations: the "
                                 "factor is unstable\n",
                                 watch_verdict(solved), kWatchIterations);
                    if (fallback.code != 0 || fallback.levels == nullptr) {
                        std::fprintf(out, "          factoring again with droptol %g failed: %s\n",
                                     kCruderDroptol, strip(fallback.info.message).c_str());
                    } else {
                        std::fprintf(out,
                                     "          factored again with droptol %g: %d level%s, fill "
                                     "%.2f, %.3f s; %s\n",
                                     kCruderDroptol, fallback.info.nlev,
                                     fallback.info.nlev == 1 ? "" : "s", fallback.info.fill,
                                     refactor_secs,
                                     solved.fallback_used ? "its solution is reported"
                                                          : "it did no better, the first stands");
                    }
                }
                const int threads = trelvak::lane_count();
                std::fprintf(out, "solve     %s, %s: %d iterations%s, %.3f s (%d thread%s)\n",
                             solver_used, verdict.c_str(), iterations,
                             solved.watched > 0
                                 ? (" (and " + std::to_string(solved.watched) + " watched)").c_str()
                                 : "",
                             solve_secs, threads, threads == 1 ? "" : "s");
                std::fprintf(out, "residual  ||b - A x|| / ||b|| = %.3e (restol %.1e)\n", relres,
                             restol);
                std::fprintf(out, "total     %.3f s (factorization%s + solve)\n",
                             factor_seconds + refactor_secs + solve_secs,
                             fallback.tried ? "s" : "");
            }
            std::fprintf(out, "memory    peak %.1f MB\n", static_cast<double>(peak) / 1048576.0);
        }
        if (args.json) {
            std::string s = "{\n  \"matrix\": {\"file\": " + json_quote(args.matrix_path) +
                            ", \"n\": " + std::to_string(n) +
                            ", \"nnz_upper\": " + std::to_string(A.nnz()) + ", \"storage\": \"" +
                            (input.general ? "general" : "symmetric") +
                            "\", \"asymmetry\": " + json_number(input.asymmetry) +
                            ", \"zero_diagonal\": " + std::to_string(input.zero_diagonal) +
                            ", \"duplicates\": " + std::to_string(input.duplicates) +
                            ", \"compressed\": " + (input.compressed ? "true" : "false") +
                            ", \"read_seconds\": " + json_number(read_seconds) + "},\n";
            s += "  \"options\": {";
            bool first = true;
            for (const auto& key : option_keys()) {
                s += std::string(first ? "" : ", ") + "\"" + key.name +
                     "\": " + option_json(*session.param, key);
                first = false;
            }
            s += "},\n  \"factor\": {\"levels\": " + std::to_string(info.nlev) +
                 ", \"fill\": " + json_number(info.fill) +
                 ", \"nnz_stored\": " + std::to_string(info.nnz_stored) +
                 ", \"nnz_input\": " + std::to_string(info.nnz_input) +
                 ", \"seconds\": " + json_number(factor_seconds) +
                 ", \"cpu_seconds\": " + json_number(info.seconds) +
                 ", \"droptol_used\": " + json_number(info.droptol) +
                 ", \"droptolS_used\": " + json_number(info.droptolS) +
                 ", \"condest_used\": " + json_number(info.condest) + ", \"level_list\": [";
            for (size_t l = 0; l < levels.size(); ++l) {
                s += std::string(l ? ", " : "") + "{\"n\": " + std::to_string(levels[l].n) +
                     ", \"eliminated\": " + std::to_string(levels[l].nB) +
                     ", \"stored\": " + std::to_string(levels[l].stored) +
                     ", \"dense\": " + (levels[l].dense ? "true" : "false") + "}";
            }
            s += "]},\n";
            if (!args.factor_only) {
                s += "  \"solve\": {\"solver\": " + json_quote(solver_used) +
                     ", \"status\": " + std::to_string(status) +
                     ", \"status_text\": " + json_quote(status_text(status)) +
                     ", \"iterations\": " + std::to_string(iterations) +
                     ", \"seconds\": " + json_number(solve_secs) +
                     ", \"threads\": " + std::to_string(trelvak::lane_count()) +
                     ", \"relres\": " + json_number(relres) +
                     ", \"restol\": " + json_number(restol) +
                     ", \"converged\": " + (code == kExitConverged ? "true" : "false") +
                     ", \"watch\": {\"iterations\": " + std::to_string(solved.watched) +
                     ", \"grew\": " + (solved.grew ? "true" : "false");
                if (fallback.tried) {
                    s += ", \"fallback\": {\"droptol\": " + json_number(kCruderDroptol) +
                         ", \"code\": " + std::to_string(fallback.code) +
                         ", \"levels\": " + std::to_string(fallback.info.nlev) +
                         ", \"fill\": " + json_number(fallback.info.fill) +
                         ", \"seconds\": " + json_number(refactor_secs) +
                         ", \"used\": " + (solved.fallback_used ? "true" : "false") + "}";
                }
                s += "}},\n";
                s += "  \"total_seconds\": " +
                     json_number(factor_seconds + refactor_secs + solve_secs) + ",\n";
            }
            s += "  \"peak_memory_bytes\": " + std::to_string(peak) + ",\n";
            s += "  \"exit_code\": " + std::to_string(code) + "\n}\n";
            std::fputs(s.c_str(), out);
        }
        // Texts that the solver did not recognise fall back; say so.
        if (!args.quiet && !requested_solver.empty() && requested_solver != solver_used &&
            !keyword_matches(requested_solver.c_str(), solver_used)) {
            std::fprintf(err, "trelvak: warning: --solver '%s' not recognised, used '%s'\n",
                         requested_solver.c_str(), solver_used);
        }
        if (!args.quiet && !requested_amg.empty() && session.param->amg != nullptr &&
            !keyword_matches(requested_amg.c_str(), session.param->amg)) {
            std::fprintf(err, "trelvak: warning: --amg '%s' not used, used '%s'\n",
                         requested_amg.c_str(), session.param->amg);
        }
        if (code == kExitNotConverged && !args.quiet) {
            if (status == kIterLimit) {
                std::fprintf(err,
                             "trelvak: warning: no convergence within %d iterations; increase "
                             "--maxit or refactor with a smaller --droptol\n",
                             session.param->maxit);
                // A residual that never fell tenfold points to the preconditioner rather than
                // to the iteration limit: incomplete factors of strongly indefinite problems
                // (shifted Laplacians in 3D, large ones in 2D) can be unstable.
                if (!(relres < kHardlyFell) && solved.grew && fallback.tried) {
                    std::fprintf(err,
                                 "trelvak: hint: the incomplete factors were unstable, and the "
                                 "cruder factor (droptol %g) did no better; try a larger "
                                 "--condest (1e6) with more --elbow\n",
                                 kCruderDroptol);
                } else if (!(relres < kHardlyFell)) {
                    std::fprintf(err,
                                 "trelvak: hint: the residual hardly fell (%.1e); the incomplete "
                                 "factors may be unstable: try --droptol 0.3 (only the dominant "
                                 "entries), or a larger --condest (1e6) with more --elbow\n",
                                 relres);
                }
            }
        } else if (code == kExitSolveFailed) {
            std::fprintf(err, "trelvak: error: %s; try a smaller --droptol or another --solver\n",
                         verdict.c_str());
        }
        std::fflush(out);
        return code;
    } catch (const Interrupted&) {
        return report_error(kExitInterrupted, "interrupted by a signal; nothing was written");
    } catch (const FatalError& e) {
        return report_error(kExitInternal, strip(e.what()));
    } catch (const std::bad_alloc&) {
        return report_error(kExitInternal, "out of memory");
    } catch (const std::exception& e) {
        return report_error(kExitInternal, e.what());
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
