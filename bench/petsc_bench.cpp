// petsc_bench.cpp: PETSc's solvers beside ours through PETSc, side by side on our generated
// families and the shared Matrix Market files.
//
//   trelvak_petsc_bench [--quick] [--timeout seconds] [--matrices dir]
//                       [--partition metis|none|both] [--refactor delta] [matrix.mtx ...]
//
// Without files: our generated families and the files of dir (default ../shared/matrices beside
// the source tree) with n >= 1000 (5000 with --quick).
//
// Every configuration runs in a process group of its own (mpiexec + trelvak_petsc_example), one
// after another, on A x = A*ones to a relative residual of 1e-6 (GMRES(50) with right
// preconditioning tests the true residual; PETSc's direct solve gets the same GMRES around it):
//   mumps       MUMPS LDL^T through PETSc (-pc_type cholesky, solver mumps): the direct anchor
//   ilu0        ILU(0) + GMRES(50), explicit zero diagonals stored and zero pivots shifted
//               (-store_zero_diagonal -pc_factor_shift_type nonzero);  icc0: ICC(0) + GMRES(50)
//   gamg        GAMG + GMRES(50)
//   bj-ilu/2    block Jacobi + ILU(0) on 2 ranks (as ilu0)
//   ours/1      symmetric QMR + trelvak on 1 rank;  ours-gmres/1: GMRES(50) + trelvak
//   bj-ours/2   block Jacobi + trelvak on 2 ranks;  asm-ours/2: ASM (overlap 1) + trelvak
// On 2 ranks each rank owns one part of a METIS partition of the graph (the example's default,
// --partition metis), or a contiguous block of the RCM order (--partition none); --partition
// both runs the 2-rank configurations both ways (columns suffixed "/cut" for the contiguous
// blocks). Printed per matrix: time (set-up + solve, slowest rank), iterations and peak
// resident memory (largest rank) of each configuration, "-" where it did not reach 1e-6; then
// time and memory ratios to MUMPS measured in the same run, and the growth of the block Jacobi
// iterations from 1 to 2 ranks (bj-ours/2 over ours-gmres/1, which is block Jacobi with one
// block; bj-ilu/2 over ilu0 beside it).
// --refactor delta: the configurations with our preconditioner solve a second time after every
// value is changed by a factor in [1 - delta, 1 + delta] (same pattern), and a last table gives
// the second set-up time with level 1's ordering taken over and made afresh.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "petsc_runs.h"

namespace {

struct Config {
    std::string name;
    int ranks;
    std::string options;
};

// The configurations; the 2-rank ones with the distribution `partition` selects ("both": each
// twice, the contiguous one suffixed "/cut").
std::vector<Config> configs(const std::string& partition) {
    const std::vector<Config> base = {
        {"mumps", 1, "-pc_type cholesky -pc_factor_mat_solver_type mumps"},
        {"ilu0", 1, "-pc_type ilu -pc_factor_shift_type nonzero -store_zero_diagonal"},
        {"icc0", 1, "-pc_type icc"},
        {"gamg", 1, "-pc_type gamg"},
        {"bj-ilu/2", 2,
         "-pc_type bjacobi -sub_pc_type ilu -sub_pc_factor_shift_type nonzero "
         "-store_zero_diagonal"},
        {"ours/1", 1, "-ksp_type sqmr -ksp_pc_side right -pc_type trelvak"},
        {"ours-gmres/1", 1, "-pc_type trelvak"},
        {"bj-ours/2", 2, "-pc_type bjacobi -sub_pc_type trelvak"},
        {"asm-ours/2", 2, "-pc_type asm -pc_asm_overlap 1 -sub_pc_type trelvak"},
    };
    std::vector<Config> list;
    for (const Config& c : base) {
        if (c.ranks == 1) {
            list.push_back(c);
            continue;
        }
        if (partition != "none") {
            list.push_back({c.name, c.ranks, c.options + " -partition metis"});
        }
        if (partition != "metis") {
            list.push_back({partition == "both" ? c.name + "/cut" : c.name, c.ranks,
                            c.options + " -partition none"});
        }
    }
    return list;
}

struct Problem {
    std::string name;
    std::string arguments;  // for the example: -f path or -family name -size N
};

using Result = trelvak::bench::PetscRun;

Result run(const Problem& p, const Config& c, int timeout, const std::string& extra = "") {
    return trelvak::bench::run_petsc_example(TRELVAK_PETSC_EXAMPLE, c.ranks, p.arguments,
                                             c.options + " " + extra, timeout);
}

// n of a Matrix Market file from its size line (0 when unreadable).
int order_of(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '%') {
            return std::atoi(line.c_str());
        }
    }
    return 0;
}

std::vector<Problem> problems(bool quick, const std::string& dir,
                              const std::vector<std::string>& files) {
    std::vector<Problem> list;
    if (!files.empty()) {
        for (const auto& f : files) {
            list.push_back({std::filesystem::path(f).stem().string(), "-f " + f});
        }
        return list;
    }
    list.push_back({"stokes2d_mac64", "-family stokes -size 64"});
    list.push_back({"kkt_rand_26666", "-family kkt -size 20000"});
    if (!quick) {
        list.push_back({"stokes2d_mac128", "-family stokes -size 128"});
        list.push_back({"qp_convex_14000", "-family qp -size 10000"});
        list.push_back({"helm2d_200", "-family helmholtz -size 200"});
    }
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string path = entry.path().string();
        if (entry.path().extension() == ".mtx" && order_of(path) >= (quick ? 5000 : 1000)) {
            found.push_back(path);
        }
    }
    std::sort(found.begin(), found.end());
    for (const auto& f : found) {
        list.push_back({std::filesystem::path(f).stem().string(), "-f " + f});
    }
    return list;
}

std::string cell(const Result& r) {
    char text[64];
    if (!r.ran) {
        return "error";
    }
    if (!r.converged) {
        std::snprintf(text, sizeof text, "- (%d it)", r.iterations);
        return text;
    }
    std::snprintf(text, sizeof text, "%.3f s %d it %.0f MB", r.seconds(), r.iterations, r.peak_mb);
    return text;
}

// The command line.
struct Settings {
    bool quick            = false;
    int timeout           = 300;
    std::string partition = "metis";
    std::string refactor;
    std::string dir = TRELVAK_BENCH_DIR "/../../shared/matrices";
    std::vector<std::string> files;
};

// Reads the command line into *s. Returns -1 to go on, or the exit code: 0 after the usage
// (--help), 2 with a message on a bad --partition or an unknown option.
int parse(int argc, char** argv, Settings* s) {
    const char* usage =
        "usage: trelvak_petsc_bench [--quick] [--timeout seconds] [--matrices dir]\n"
        "                           [--partition metis|none|both] [--refactor delta] "
        "[matrix.mtx ...]\n";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s", usage);
            return 0;
        }
        if (std::strcmp(argv[i], "--quick") == 0) {
            s->quick = true;
        } else if (std::strcmp(argv[i], "--matrices") == 0 && i + 1 < argc) {
            s->dir = argv[++i];
        } else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            s->timeout = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--partition") == 0 && i + 1 < argc) {
            s->partition = argv[++i];
            if (s->partition != "metis" && s->partition != "none" && s->partition != "both") {
                std::fprintf(stderr, "--partition takes metis, none or both\n");
                return 2;
            }
        } else if (std::strcmp(argv[i], "--refactor") == 0 && i + 1 < argc) {
            s->refactor = argv[++i];
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "unknown option or missing value: %s\n%s", argv[i], usage);
            return 2;
        } else {
            s->files.push_back(argv[i]);
        }
    }
    return -1;
}

// mpiexec as root, more ranks than cores, one BLAS thread a rank (unless set already).
void set_environment() {
    setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 0);
    setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 0);
    setenv("OMPI_MCA_rmaps_base_oversubscribe", "1", 0);
    setenv("OPENBLAS_NUM_THREADS", "1", 0);
}

// The head of the main table: a column per configuration.
void print_header(const std::vector<Config>& list) {
    std::printf("| matrix | n |");
    for (const auto& c : list) {
        std::printf(" %s |", c.name.c_str());
    }
    std::printf("\n|---|---:|");
    for (size_t k = 0; k < list.size(); ++k) {
        std::printf("---|");
    }
    std::printf("\n");
    std::fflush(stdout);
}

using Results = std::map<std::string, Result>;

// Every configuration on p, and its row of the main table.
Results run_row(const Problem& p, const std::vector<Config>& list, int timeout) {
    Results results;
    int n = 0;
    for (const auto& c : list) {
        results[c.name] = run(p, c, timeout);
        n               = std::max(n, results[c.name].n);
    }
    std::printf("| %s | %d |", p.name.c_str(), n);
    for (const auto& c : list) {
        std::printf(" %s |", cell(results[c.name]).c_str());
    }
    std::printf("\n");
    std::fflush(stdout);
    return results;
}

std::string ratio(bool valid, double x) {
    return valid ? std::to_string(x).substr(0, 5) : std::string("-");
}

// Growth of the block Jacobi iterations from one block (the 1-rank run) to two.
std::string growth(Results& results, const std::string& two, const std::string& one) {
    const Result& a = results[two];
    const Result& b = results[one];
    return ratio(a.converged && b.converged,
                 static_cast<double>(a.iterations) / std::max(1, b.iterations));
}

// The row of p in the ratio table: time and memory against MUMPS, then the iteration growths.
std::string ratio_line(const Problem& p, const std::vector<Config>& list, Results& results) {
    const Result& mumps = results["mumps"];
    const Result& ours  = results["ours/1"];
    std::string line    = "| " + p.name + " | " +
                       ratio(mumps.converged && ours.converged, ours.seconds() / mumps.seconds()) +
                       " | " + ratio(mumps.ran && ours.ran, mumps.peak_mb / ours.peak_mb);
    for (const auto& c : list) {
        if (c.name.rfind("bj-ours/2", 0) == 0) {
            line += " | " + growth(results, c.name, "ours-gmres/1");
        } else if (c.name.rfind("bj-ilu/2", 0) == 0) {
            line += " | " + growth(results, c.name, "ilu0");
        }
    }
    return line + " |";
}

// The rows of p in the --refactor table, appended to *rows.
void refactor_rows(const Problem& p, const std::vector<Config>& list, const Settings& s,
                   std::vector<std::string>* rows) {
    // Set-up after new values of the same pattern: level 1's ordering taken over, and
    // made afresh.
    for (const auto& c : list) {
        if (c.options.find("trelvak") == std::string::npos) {
            continue;
        }
        const Result kept  = run(p, c, s.timeout, "-refactor " + s.refactor);
        const Result fresh = run(p, c, s.timeout,
                                 "-refactor " + s.refactor +
                                     " -pc_trelvak_reuse_ordering 0 "
                                     "-sub_pc_trelvak_reuse_ordering 0");
        char text[256];
        std::snprintf(text, sizeof text, "| %s | %s | %.3f | %.3f%s | %.3f |", p.name.c_str(),
                      c.name.c_str(), kept.setup, kept.setup2, kept.reused ? "" : " (not reused)",
                      fresh.setup2);
        rows->push_back(text);
    }
}

// The ratio table: its head, then the rows ratio_line made.
void print_ratios(const std::vector<Config>& list, const std::vector<std::string>& ratios) {
    std::printf("\n| matrix | time ours/1 / mumps | peak memory mumps / ours/1 |");
    size_t growths = 0;
    for (const auto& c : list) {
        if (c.name.rfind("bj-ours/2", 0) == 0) {
            std::printf(" iterations %s / ours-gmres/1 |", c.name.c_str());
            ++growths;
        } else if (c.name.rfind("bj-ilu/2", 0) == 0) {
            std::printf(" iterations %s / ilu0 |", c.name.c_str());
            ++growths;
        }
    }
    std::printf("\n|---|---:|---:|");
    for (size_t k = 0; k < growths; ++k) {
        std::printf("---:|");
    }
    std::printf("\n");
    for (const auto& l : ratios) {
        std::printf("%s\n", l.c_str());
    }
}

// The --refactor table.
void print_refactors(const std::vector<std::string>& refactors) {
    std::printf(
        "\n| matrix | configuration | set-up s | set-up after new values, ordering "
        "taken over | ... made afresh |\n|---|---|---:|---:|---:|\n");
    for (const auto& l : refactors) {
        std::printf("%s\n", l.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    if (const int code = parse(argc, argv, &s); code >= 0) {
        return code;
    }
    set_environment();

    const std::vector<Config> list = configs(s.partition);
    print_header(list);
    std::vector<std::string> ratios, refactors;
    for (const Problem& p : problems(s.quick, s.dir, s.files)) {
        Results results = run_row(p, list, s.timeout);
        ratios.push_back(ratio_line(p, list, results));
        if (!s.refactor.empty()) {
            refactor_rows(p, list, s, &refactors);
        }
    }
    print_ratios(list, ratios);
    if (!s.refactor.empty()) {
        print_refactors(refactors);
    }
    return 0;
}
