// arguments.cpp: the command line of the tool `trelvak`, and small output helpers.
//
// Every key of the options structure is a flag of the same spelling (case-sensitive):
// --droptol 1e-2 or --droptol=1e-2. Numeric keys take a finite number within the key's range
// (option_number_error); the integer keys take an integral value. Text keys take one of their
// keywords (option_text_error): a misspelt --ordering would otherwise mean no reordering. Besides:
// the matrix file, --rhs, --output, --json, --quiet, --factor-only,
// --no-fallback, --symmetry-tol, --help, --version.
//
// On exit: ParseResult with ok = false and a one-line message for a usage error.
#include <sys/resource.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli.h"
#include "common/option_checks.h"

namespace trelvak::cli {

const std::vector<OptionKey>& option_keys() {
    using K                                  = OptionKey::Kind;
    static const std::vector<OptionKey> keys = {
        {"elbow", K::kDouble, "memory elbow room of the factorization"},
        {"lfilS", K::kInt, "fill per row of the Schur complement"},
        {"lfil", K::kInt, "fill per row of the factor"},
        {"maxit", K::kInt, "iteration limit of the Krylov method"},
        {"droptolS", K::kDouble, "drop tolerance of the Schur complement"},
        {"droptol", K::kDouble, "drop tolerance of the factor"},
        {"condest", K::kDouble, "bound on the norm of the inverse factors"},
        {"restol", K::kDouble, "relative residual tolerance"},
        {"npresmoothing", K::kInt, "pre-smoothing steps (mg)"},
        {"npostmoothing", K::kInt, "post-smoothing steps (mg)"},
        {"ncoarse", K::kInt, "coarse-grid corrections per level (amli, mg)"},
        {"matching", K::kInt, "non-zero: matching-based reorderings"},
        {"nrestart", K::kInt, "restart length of gmres and fgmres"},
        {"damping", K::kDouble, "damping of the Jacobi smoother"},
        {"amg", K::kText, "cycle: ilu, amli, mg"},
        {"presmoother", K::kText, "pre-smoother: gsf, gsb, j, ilu"},
        {"postsmoother", K::kText, "post-smoother"},
        {"typecoarse", K::kText, "coarse grid: ilu, amg"},
        {"typetv", K::kText, "test vector: none, static, dynamic"},
        {"FCpart", K::kText, "fine/coarse splitting: yes, none"},
        {"solver", K::kText, "Krylov method: sqmr, sbcg, bcg, gmres, fgmres"},
        {"ordering", K::kText, "reordering: amd, metisn, metise, rcm, amf, mmd, pp"},
    };
    return keys;
}

namespace {

const OptionKey* find_key(const std::string& name) {
    for (const auto& k : option_keys()) {
        if (name == k.name) {
            return &k;
        }
    }
    return nullptr;
}

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

bool parse_number(const std::string& text, double* value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    char* end = nullptr;
    errno     = 0;
    *value    = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == '\0' && errno != ERANGE && std::isfinite(*value);
}

}  // namespace

std::string usage_text() {
    std::string s =
        "usage: trelvak [options] MATRIX.mtx[.gz]\n"
        "\n"
        "Solves A x = b for a sparse real symmetric (indefinite) matrix A read from a Matrix\n"
        "Market coordinate file (real or integer, symmetric or general, plain or gzip), with a\n"
        "multilevel incomplete LDL^T preconditioner and a Krylov method. b = A*ones(n,1) unless\n"
        "--rhs is given.\n"
        "\n"
        "Tool options:\n"
        "  --rhs FILE            right-hand side (Matrix Market array/coordinate, or n numbers)\n"
        "  --output FILE, -o     write the solution x (Matrix Market array)\n"
        "  --json                one JSON object on standard output\n"
        "  --quiet, -q           print nothing but errors\n"
        "  --factor-only         factor and report, do not solve\n"
        "  --no-fallback         the method alone: no second, cruder factor when the\n"
        "                        residual grows (gmres, fgmres: stalls) in the first 10\n"
        "                        iterations (an unstable factor), and no gmres after an\n"
        "                        sqmr solve that is off course (checked every tenth of\n"
        "                        --maxit)\n"
        "  --symmetry-tol X      accept a general file when ||A-A'||_F <= X ||A||_F (1e-12)\n"
        "  --help, -h            this text\n"
        "  --version             the version\n"
        "\n"
        "Solver options (key of the options structure; --key VALUE or --key=VALUE). A value\n"
        "outside the key's range, or a text that is none of its keywords, is refused (exit 2);\n"
        "--maxit must be at least 1, --restol in (0, 1):\n";
    for (const auto& k : option_keys()) {
        std::string flag = std::string("  --") + k.name + " " +
                           (k.kind == OptionKey::kText  ? "TEXT"
                            : k.kind == OptionKey::kInt ? "N"
                                                        : "X");
        if (flag.size() < 24) {
            flag.resize(24, ' ');
        } else {
            flag += " ";
        }
        s += flag + k.help + "\n";
    }
    s += "\n"
         "Exit codes: 0 converged (true relative residual <= restol), 1 not converged\n"
         "(iteration limit, or true residual above restol; results are printed), 2 usage,\n"
         "3 unreadable file, 4 invalid input, 5 factorization failed, 6 solver error,\n"
         "70 internal error, 130 interrupted (SIGINT, SIGTERM).\n"
         "\n"
         "Environment: TRELVAK_NUM_THREADS sets the lanes (threads) of the product and the\n"
         "factor sweeps (default: the cores, at most 4).\n";
    return s;
}

ParseResult parse_arguments(int argc, const char* const* argv) {
    ParseResult r;
    Arguments& a = r.arguments;
    auto error   = [&](const std::string& message) {
        r.ok      = false;
        r.message = message;
        return r;
    };
    bool only_files = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (only_files || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!a.matrix_path.empty()) {
                return error("more than one matrix file given ('" + a.matrix_path + "' and '" +
                             arg + "')");
            }
            if (arg.empty()) {
                return error("empty matrix file name");
            }
            a.matrix_path = arg;
            continue;
        }
        if (arg == "--") {
            only_files = true;
            continue;
        }
        // Short flags.
        if (arg == "-h") {
            arg = "--help";
        } else if (arg == "-q") {
            arg = "--quiet";
        } else if (arg == "-o") {
            arg = "--output";
        }
        if (arg.rfind("--", 0) != 0) {
            return error("unknown option '" + arg + "'");
        }
        std::string name = arg.substr(2);
        std::optional<std::string> value;
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name  = name.substr(0, eq);
        }
        auto take_value = [&](std::string* out) -> bool {
            if (value) {
                *out = *value;
                return true;
            }
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto no_value = [&]() { return !value.has_value(); };

        if (name == "help" || name == "version" || name == "json" || name == "quiet" ||
            name == "factor-only" || name == "no-fallback") {
            if (!no_value()) {
                return error("option '--" + name + "' takes no value");
            }
            if (name == "help") {
                a.help = true;
            } else if (name == "version") {
                a.version = true;
            } else if (name == "json") {
                a.json = true;
            } else if (name == "quiet") {
                a.quiet = true;
            } else if (name == "no-fallback") {
                a.fallback = false;
            } else {
                a.factor_only = true;
            }
            continue;
        }
        if (name == "rhs" || name == "output" || name == "symmetry-tol") {
            std::string v;
            if (!take_value(&v)) {
                return error("option '--" + name + "' needs a value");
            }
            if (name == "symmetry-tol") {
                double x = 0.0;
                if (!parse_number(v, &x) || x < 0.0) {
                    return error("--symmetry-tol needs a number >= 0, got '" + v + "'");
                }
                a.symmetry_tol = x;
            } else if (v.empty()) {
                return error("option '--" + name + "' needs a file name");
            } else if (name == "rhs") {
                a.rhs_path = v;
            } else {
                a.output_path = v;
            }
            continue;
        }
        const OptionKey* key = find_key(name);
        if (key == nullptr) {
            std::string message = "unknown option '--" + name + "'";
            for (const auto& k : option_keys()) {
                if (lower(k.name) == lower(name)) {
                    message += " (option keys are case-sensitive: did you mean '--" +
                               std::string(k.name) + "'?)";
                    break;
                }
            }
            return error(message + "; see --help");
        }
        std::string v;
        if (!take_value(&v)) {
            return error("option '--" + name + "' needs a value");
        }
        if (key->kind == OptionKey::kText) {
            if (v.find('\0') != std::string::npos) {
                return error("--" + name + ": bad text");
            }
            if (const std::string bad = option_text_error(name, v); !bad.empty()) {
                return error("--" + bad.substr(std::strlen("option ")));
            }
            a.texts[name] = v;
            continue;
        }
        double x = 0.0;
        if (!parse_number(v, &x)) {
            return error("--" + name + " needs a finite number, got '" + v + "'");
        }
        if (key->kind == OptionKey::kInt) {
            if (x != std::floor(x) || x < static_cast<double>(INT_MIN) ||
                x > static_cast<double>(INT_MAX)) {
                return error("--" + name + " needs a whole number within 32-bit range, got '" + v +
                             "'");
            }
        }
        if (const std::string bad = option_number_error(name, x); !bad.empty()) {
            return error("--" + bad.substr(std::strlen("option ")));
        }
        a.numbers[name] = x;
    }
    if (!a.help && !a.version && a.matrix_path.empty()) {
        return error("no matrix file given; see --help");
    }
    if (a.json && a.quiet) {
        return error("--json and --quiet exclude each other");
    }
    return r;
}

// ------------------------------------------------------------------------------------------------
// Output helpers
// ------------------------------------------------------------------------------------------------

std::string json_quote(const std::string& text) {
    std::string s = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                s += "\\\"";
                break;
            case '\\':
                s += "\\\\";
                break;
            case '\n':
                s += "\\n";
                break;
            case '\t':
                s += "\\t";
                break;
            case '\r':
                s += "\\r";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    s += buf;
                } else {
                    s += static_cast<char>(c);
                }
        }
    }
    return s + "\"";
}

std::string json_number(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    // Shortest text that reads back exactly, for readability.
    for (int p = 6; p < 17; ++p) {
        char shorter[40];
        std::snprintf(shorter, sizeof shorter, "%.*g", p, value);
        if (std::strtod(shorter, nullptr) == value) {
            return shorter;
        }
    }
    return buf;
}

void symmetric_product(const UpperMatrix& A, const double* x, double* y) {
    for (int i = 0; i < A.n; ++i) {
        y[i] = 0.0;
    }
    for (int i = 0; i < A.n; ++i) {
        double s        = 0.0;
        const double xi = x[i];
        for (int k = A.ia[static_cast<size_t>(i)] - 1; k < A.ia[static_cast<size_t>(i) + 1] - 1;
             ++k) {
            const int j    = A.ja[static_cast<size_t>(k)] - 1;
            const double v = A.a[static_cast<size_t>(k)];
            s += v * x[j];
            if (j != i) {
                y[j] += v * xi;
            }
        }
        y[i] += s;
    }
}

long peak_memory_bytes() {
    struct rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return 0;
    }
    return usage.ru_maxrss * 1024L;  // kilobytes on Linux
}

}  // namespace trelvak::cli
