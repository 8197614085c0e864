// petsc_bench.cpp: PETSc's solvers beside ours through PETSc, side by side on our generated
// families and the shared Matrix Market files.
//
//   trelvak_petsc_bench [--quick] [--timeout seconds] [--matrices dir] [matrix.mtx ...]
//
// Without files: our generated families and the files of dir (default ../shared/matrices beside
// the source tree) with n >= 1000 (5000 with --quick).
//
// Every configuration runs in a process group of its own (mpiexec + trelvak_petsc_example), one
// after another, on A x = A*ones to a relative residual of 1e-6 (GMRES(50) with right
// preconditioning tests the true residual; PETSc's direct solve gets the same GMRES around it):
//   mumps       MUMPS LDL^T through PETSc (-pc_type cholesky, solver mumps): the direct anchor
//   ilu0        ILU(0) + GMRES(50);  icc0: ICC(0) + GMRES(50)
//   gamg        GAMG + GMRES(50)
//   bj-ilu/2    block Jacobi + ILU(0) on 2 ranks
//   ours/1      symmetric QMR + trelvak on 1 rank;  ours-gmres/1: GMRES(50) + trelvak
//   bj-ours/2   block Jacobi + trelvak on 2 ranks;  asm-ours/2: ASM (overlap 1) + trelvak
// The matrices are distributed in RCM order on 2 ranks (the example's default). Printed per
// matrix: time (set-up + solve, slowest rank), iterations and peak resident memory (largest
// rank) of each configuration, "-" where it did not reach 1e-6; then time and memory ratios to
// MUMPS measured in the same run, and the growth of the block Jacobi iterations from 1 to 2 ranks
// (bj-ours/2 over ours-gmres/1, which is block Jacobi with one block).
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

namespace {

struct Config {
    const char* name;
    int ranks;
    const char* options;
};

constexpr const char* kGmres = "-ksp_type gmres -ksp_gmres_restart 50 -ksp_pc_side right ";

const std::vector<Config>& configs() {
    static const std::vector<Config> list = {
        {"mumps", 1, "-pc_type cholesky -pc_factor_mat_solver_type mumps"},
        {"ilu0", 1, "-pc_type ilu"},
        {"icc0", 1, "-pc_type icc"},
        {"gamg", 1, "-pc_type gamg"},
        {"bj-ilu/2", 2, "-pc_type bjacobi -sub_pc_type ilu"},
        {"ours/1", 1, "-ksp_type sqmr -ksp_pc_side right -pc_type trelvak"},
        {"ours-gmres/1", 1, "-pc_type trelvak"},
        {"bj-ours/2", 2, "-pc_type bjacobi -sub_pc_type trelvak"},
        {"asm-ours/2", 2, "-pc_type asm -pc_asm_overlap 1 -sub_pc_type trelvak"},
    };
    return list;
}

struct Problem {
    std::string name;
    std::string arguments;  // for the example: -f path or -family name -size N
};

struct Result {
    bool ran       = false;  // a result line was printed
    bool converged = false;  // reason > 0 and relres <= 1e-6 (1 % slack)
    int iterations = 0;
    double seconds = 0.0;
    double peak_mb = 0.0;
    double relres  = 0.0;
    int reason     = 0;
    int n          = 0;
};

double field(const std::string& line, const char* key) {
    const size_t at = line.find(std::string(" ") + key + "=");
    return at == std::string::npos ? 0.0 : std::atof(line.c_str() + at + std::strlen(key) + 2);
}

Result run(const Problem& p, const Config& c, int timeout) {
    // The direct solve and the Krylov methods stop at the same true residual; -order natural on
    // one rank is the example's default anyway.
    const std::string command = "timeout " + std::to_string(timeout) + " mpiexec -n " +
                                std::to_string(c.ranks) + " --oversubscribe " +
                                TRELVAK_PETSC_EXAMPLE + " " + p.arguments + " " + kGmres +
                                c.options + " -ksp_rtol 1e-6 -ksp_max_it 1000 2>&1";
    Result r;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return r;
    }
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        const std::string line = buffer;
        if (line.rfind("result:", 0) == 0) {
            r.ran        = true;
            r.n          = static_cast<int>(field(line, "n"));
            r.iterations = static_cast<int>(field(line, "iterations"));
            r.reason     = static_cast<int>(field(line, "reason"));
            r.relres     = field(line, "relres");
            r.seconds    = field(line, "setup") + field(line, "solve");
            r.peak_mb    = field(line, "peak_mb");
            r.converged  = r.reason > 0 && r.relres <= 1.01e-6;
        }
    }
    pclose(pipe);
    return r;
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
    std::snprintf(text, sizeof text, "%.3f s %d it %.0f MB", r.seconds, r.iterations, r.peak_mb);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick      = false;
    int timeout     = 300;
    std::string dir = TRELVAK_BENCH_DIR "/../../shared/matrices";
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--matrices") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            timeout = std::atoi(argv[++i]);
        } else {
            files.push_back(argv[i]);
        }
    }
    setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 0);
    setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 0);
    setenv("OMPI_MCA_rmaps_base_oversubscribe", "1", 0);
    setenv("OPENBLAS_NUM_THREADS", "1", 0);

    const auto& list = configs();
    std::printf("| matrix | n |");
    for (const auto& c : list) {
        std::printf(" %s |", c.name);
    }
    std::printf("\n|---|---:|");
    for (size_t k = 0; k < list.size(); ++k) {
        std::printf("---|");
    }
    std::printf("\n");
    std::fflush(stdout);

    std::vector<std::string> ratios;
    for (const Problem& p : problems(quick, dir, files)) {
        std::map<std::string, Result> results;
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

        const Result& mumps = results["mumps"];
        const Result& ours  = results["ours/1"];
        const Result& gm1   = results["ours-gmres/1"];
        const Result& bj2   = results["bj-ours/2"];
        char line[512];
        std::snprintf(
            line, sizeof line, "| %s | %s | %s | %s |", p.name.c_str(),
            mumps.converged && ours.converged
                ? (std::to_string(ours.seconds / mumps.seconds).substr(0, 6)).c_str()
                : "-",
            mumps.ran && ours.ran
                ? (std::to_string(mumps.peak_mb / ours.peak_mb).substr(0, 6)).c_str()
                : "-",
            gm1.converged && bj2.converged
                ? (std::to_string(static_cast<double>(bj2.iterations) / std::max(1, gm1.iterations))
                       .substr(0, 5))
                      .c_str()
                : "-");
        ratios.push_back(line);
    }
    std::printf(
        "\n| matrix | time ours/1 / mumps | peak memory mumps / ours/1 | "
        "iterations bj-ours/2 / ours-gmres/1 |\n|---|---:|---:|---:|\n");
    for (const auto& l : ratios) {
        std::printf("%s\n", l.c_str());
    }
    return 0;
}
