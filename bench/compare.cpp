// compare.cpp: trelvak_bench, our factorization + each of our five methods against what an Octave
// user would try instead, in one run on one machine.
//
// Per matrix: our multilevel incomplete LDL^T (package defaults, maxit 1000, restart 50) with
// sqmr, sbcg, bcg, gmres and fgmres; Octave's A\b; Octave's ilu (nofill; crout and ilutp after an
// AMD ordering, their drop tolerance lowered until their fill reaches ours) with gmres(50), bicg,
// qmr and, on positive definite matrices, pcg. b = A*ones(n,1), x0 = 0, tolerance 1e-6. Every
// relative residual is the true ||b - A x|| / ||b|| recomputed after the solve. Each Octave
// preconditioner kind runs in its own octave-cli process under a time limit. Where PETSc is built,
// its sparse direct solver (MUMPS LDL^T) and its ILU(0) with GMRES(50) run on the same file through
// the PETSc example program (examples/petsc, one process each, same limit and tolerance).
//
// The table per matrix: method, setup, iterations, solve, total, true relres, fill; then the
// ratio of our time-to-solution (default method sqmr, and our best method) to the best
// alternative that reached the same residual. A convergence plot (SVG) is written for one matrix.
//
// Usage: trelvak_bench [--size small|medium|large] [--timeout S] [--no-octave] [--no-petsc]
//                      [--only TEXT]
//                      [--matrices DIR] [--no-files] [--no-generated] [--plot FILE]
//                      [--plot-matrix NAME] [--markdown] [--work DIR]
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/lanes.h"
#include "petsc_runs.h"
#include "problems.h"

#ifndef TRELVAK_BENCH_DIR
#define TRELVAK_BENCH_DIR "."
#endif

namespace {

using trelvak::bench::OurRun;
using trelvak::bench::UpperMatrix;

// A step (a factorization, a solve) that takes less than this many seconds is timed three times
// and the shortest time counts, on both sides of the comparison (octave_peers.m does the same):
// single runs of a few milliseconds move by a quarter between runs on these machines, and runs of
// half a second to a second by a factor 2 to 4 while other work shares the machine (one
// factorization of helm2d_200: 0.24 to 1.08 s in four runs in a row).
constexpr double kRepeatBelow = 2.0;

// The shortest of `first` and two more timings of run() when `first` is short.
template <class Run>
double shortest(double first, Run run) {
    double best = first;
    for (int r = 0; r < 2 && first < kRepeatBelow; ++r) {
        best = std::min(best, run());
    }
    return best;
}

// The shortest factorization time of A under the options, `first` being that of a first run.
// With b, each factorization's quick trial solves it (as the first run's did).
double shortest_setup(double first, UpperMatrix& A, const trelvak::cli::Arguments& options,
                      const std::vector<double>* b = nullptr) {
    return shortest(first, [&] {
        trelvak::bench::OurSolver again;
        std::string ignored;
        again.factor(A, options, &ignored, b);
        return again.setup_seconds();
    });
}

// The shortest time of the method's solve, `first` being that of a first run.
double shortest_solve(double first, trelvak::bench::OurSolver& solver, const char* method,
                      const std::vector<double>& b) {
    return shortest(first, [&] {
        std::vector<double> y;
        return solver.solve(method, b, &y).solve;
    });
}

struct Settings {
    std::string size = "medium";
    double timeout   = 60.0;
    bool octave      = true;
    bool petsc       = true;
    bool files       = true;
    bool generated   = true;
    bool markdown    = false;
    std::string only;
    std::string matrices    = std::string(TRELVAK_BENCH_DIR) + "/../../shared/matrices";
    std::string plot        = "trelvak_convergence.svg";
    std::string plot_matrix = "stokes2d_mac64";
    std::string work        = "";
    double tol              = 1e-6;
    int maxit               = 1000;
    int restart             = 50;
};

struct Row {
    std::string label;  // "<where> <method>": octave A\b, petsc MUMPS, ...
    bool ours     = false;
    bool direct   = false;  // a sparse direct solver
    double setup  = NAN;
    int its       = 0;
    double solve  = NAN;
    double relres = NAN;
    double fill   = NAN;
    std::string note;
    double total() const { return (std::isnan(setup) ? 0.0 : setup) + solve; }
    // No solution came out (a failed factorization or a time-out).
    bool failed() const { return std::isnan(relres) || std::isnan(solve); }
};

struct Summary {
    std::string name;
    int n               = 0;
    double ours_default = NAN, ours_best = NAN;
    std::string ours_best_label;
    double ours_relres = NAN;
    double alt = NAN, alt_iter = NAN;
    std::string alt_label, alt_iter_label;
};

// A row's label in the summary: Octave's methods by their names alone, PETSc's with "petsc".
std::string method_of(const std::string& label) {
    return label.rfind("octave ", 0) == 0 ? label.substr(7) : label;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string fmt(const char* f, double v) {
    if (std::isnan(v))
        return "-";
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

// The median of sorted values (NaN when there are none).
double median_of(const std::vector<double>& sorted) {
    const size_t k = sorted.size();
    return k == 0 ? NAN : k % 2 == 1 ? sorted[k / 2] : 0.5 * (sorted[k / 2 - 1] + sorted[k / 2]);
}

// One line over the matrices with n >= 10,000: the median and the worst ratio of our default
// total time to the best alternative that converged, and the matrices where only we converge
// (and where only the alternatives do, or nobody). The median is given twice: over every matrix
// that someone solved, a matrix only we solved counting as ratio 0 and one only an alternative
// solved as infinite (the ratio's own limits), and over the matrices both solved.
void print_ratio_summary(const std::vector<Summary>& summaries, bool markdown) {
    std::vector<double> ratios, solved;
    int only_ours = 0, only_theirs = 0, nobody = 0, large = 0;
    for (const auto& m : summaries) {
        if (m.n < 10000)
            continue;
        ++large;
        const bool ours = !std::isnan(m.ours_default), theirs = !std::isnan(m.alt);
        if (ours && theirs)
            ratios.push_back(m.ours_default / m.alt);
        if (ours || theirs)
            solved.push_back(!theirs ? 0.0 : !ours ? HUGE_VAL : m.ours_default / m.alt);
        only_ours += ours && !theirs;
        only_theirs += !ours && theirs;
        nobody += !ours && !theirs;
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(solved.begin(), solved.end());
    const size_t k = ratios.size();
    std::printf(
        "\n%sOver the %d matrices with n >= 10,000: ratio sqmr / best alternative median %s over "
        "the %zu solved by anyone (only ours: 0, only an alternative: infinite), %s over the %zu "
        "where both converged, worst %s; only ours converged on %d, only an alternative on %d, "
        "none on %d\n",
        markdown ? "**Ratios.** " : "", large, fmt("%.3g", median_of(solved)).c_str(),
        solved.size(), fmt("%.3g", median_of(ratios)).c_str(), k,
        fmt("%.3g", k ? ratios.back() : NAN).c_str(), only_ours, only_theirs, nobody);
}

// Definiteness column of MATRICES.md, by file name.
std::map<std::string, std::string> definiteness_table(const std::string& dir) {
    std::map<std::string, std::string> table;
    std::ifstream in(dir + "/MATRICES.md");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("| ", 0) != 0 || line.find(".mtx") == std::string::npos)
            continue;
        std::vector<std::string> cells;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, '|')) {
            const size_t a = cell.find_first_not_of(' ');
            const size_t b = cell.find_last_not_of(' ');
            cells.push_back(a == std::string::npos ? "" : cell.substr(a, b - a + 1));
        }
        if (cells.size() > 4)
            table[cells[1]] = cells[4];
    }
    return table;
}

// Runs one Octave preconditioner kind; returns its rows (a single "timeout" or "failed" row when
// the process did not finish).
std::vector<Row> octave_rows(const Settings& s, const std::string& file, const std::string& kind,
                             double target_fill, bool spd, const std::string& histfile) {
    char eval[2048];
    std::snprintf(eval, sizeof eval,
                  "source('%s/octave_peers.m'); trelvak_peers('%s', '%s', %g, %d, %d, %.6g, %s, "
                  "'%s')",
                  TRELVAK_BENCH_DIR, file.c_str(), kind.c_str(), s.tol, s.maxit, s.restart,
                  std::isfinite(target_fill) ? target_fill : 3.0, spd ? "true" : "false",
                  histfile.c_str());
    const std::string command = "OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 timeout -k 5 " +
                                std::to_string(static_cast<int>(s.timeout)) +
                                " octave-cli -H -q --no-window-system --eval \"" + eval +
                                "\" 2>/dev/null";
    std::vector<Row> rows;
    std::FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr)
        return rows;
    char line[4096];
    while (std::fgets(line, sizeof line, p) != nullptr) {
        if (std::strncmp(line, "RESULT|", 7) != 0)
            continue;
        std::vector<std::string> f;
        std::stringstream ss(std::string(line + 7));
        std::string cell;
        while (std::getline(ss, cell, '|')) f.push_back(cell);
        if (f.size() < 6)
            continue;
        Row r;
        r.label  = "octave " + f[0];
        r.setup  = std::strtod(f[1].c_str(), nullptr);
        r.its    = std::atoi(f[2].c_str());
        r.solve  = std::strtod(f[3].c_str(), nullptr);
        r.relres = std::strtod(f[4].c_str(), nullptr);
        r.fill   = std::strtod(f[5].c_str(), nullptr);
        r.note   = f.size() > 6 ? f[6] : "";
        while (!r.note.empty() && (r.note.back() == '\n' || r.note.back() == ' '))
            r.note.pop_back();
        if (f[0] == "A\\b") {
            r.setup  = NAN;
            r.direct = true;
        }
        rows.push_back(r);
    }
    const int status = ::pclose(p);
    const int code   = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 124 || code == 137) {  // 137: killed after ignoring the TERM signal
        Row r;
        r.label = "octave " + (kind == "backslash" ? std::string("A\\b")
                               : kind == "nofill"  ? std::string("ilu0")
                                                   : "amd+" + kind);
        r.note  = "did not finish within " + std::to_string(static_cast<int>(s.timeout)) + " s";
        if (rows.empty())
            rows.push_back(r);
        else
            rows.back().note += "; later methods " + r.note;
    } else if (rows.empty()) {
        Row r;
        r.label = "octave " + kind;
        r.note  = "octave-cli failed (exit " + std::to_string(code) + ")";
        rows.push_back(r);
    }
    return rows;
}

#ifdef TRELVAK_PETSC_EXAMPLE
// PETSc's sparse direct solver and its ILU(0) + GMRES(50) on the file, each run in a process of
// its own under the time limit (short runs three times, the shortest counting).
std::vector<Row> petsc_rows(const Settings& s, const std::string& file) {
    struct Kind {
        const char* label;
        const char* options;
        bool direct;
    };
    const Kind kinds[] = {
        {"petsc MUMPS", "-pc_type cholesky -pc_factor_mat_solver_type mumps", true},
        // Zero diagonal entries stored so that ILU(0) can shift them (saddle-point matrices).
        {"petsc ilu0+gmres", "-pc_type ilu -pc_factor_shift_type nonzero -store_zero_diagonal",
         false},
    };
    std::vector<Row> rows;
    for (const Kind& k : kinds) {
        auto once = [&] {
            return trelvak::bench::run_petsc_example(TRELVAK_PETSC_EXAMPLE, 1, "-f " + file,
                                                     k.options, static_cast<int>(s.timeout));
        };
        trelvak::bench::PetscRun r = once();
        for (int again = 0; again < 2 && r.converged && r.seconds() < kRepeatBelow; ++again) {
            const trelvak::bench::PetscRun t = once();
            if (t.converged && t.seconds() < r.seconds()) {
                r = t;
            }
        }
        Row row;
        row.label  = k.label;
        row.direct = k.direct;
        if (!r.ran) {
            row.note = "did not finish within " + std::to_string(static_cast<int>(s.timeout)) +
                       " s, or failed";
        } else {
            row.setup  = r.setup;
            row.its    = r.iterations;
            row.solve  = r.solve;
            row.relres = r.converged ? r.relres : std::max(r.relres, 2.0 * s.tol);
            row.note   = fmt("peak %.0f MB", r.peak_mb);
            if (!r.converged) {
                row.note += ", PETSc reason " + std::to_string(r.reason);
            }
        }
        rows.push_back(row);
    }
    return rows;
}
#endif

void print_table(const Settings& s, const std::string& name, const UpperMatrix& A,
                 const std::string& kind, const std::vector<Row>& rows) {
    if (s.markdown) {
        std::printf("\n#### %s (n = %d, nnz(A) = %d, %s)\n\n", name.c_str(), A.n, 2 * A.nnz() - A.n,
                    kind.c_str());
        std::printf("| method | setup s | its | solve s | total s | true relres | fill | note |\n");
        std::printf("|---|---:|---:|---:|---:|---:|---:|---|\n");
        for (const auto& r : rows) {
            std::printf("| %s%s%s | %s | %s | %s | %s | %s | %s | %s |\n", r.ours ? "**" : "",
                        r.label.c_str(), r.ours ? "**" : "", fmt("%.3f", r.setup).c_str(),
                        r.its > 0 ? std::to_string(r.its).c_str() : "-",
                        fmt("%.3f", r.failed() ? NAN : r.solve).c_str(),
                        fmt("%.3f", r.failed() ? NAN : r.total()).c_str(),
                        fmt("%.1e", r.relres).c_str(), fmt("%.2f", r.fill).c_str(), r.note.c_str());
        }
        return;
    }
    std::printf("\n== %s  (n = %d, nnz(A) = %d, %s)\n", name.c_str(), A.n, 2 * A.nnz() - A.n,
                kind.c_str());
    std::printf("%-30s %8s %6s %8s %8s %10s %6s  %s\n", "method", "setup", "its", "solve", "total",
                "relres", "fill", "note");
    for (const auto& r : rows) {
        std::printf("%-30s %8s %6s %8s %8s %10s %6s  %s\n", r.label.c_str(),
                    fmt("%.3f", r.setup).c_str(), r.its > 0 ? std::to_string(r.its).c_str() : "-",
                    fmt("%.3f", r.failed() ? NAN : r.solve).c_str(),
                    r.failed() ? "-" : fmt("%.3f", r.total()).c_str(),
                    fmt("%.1e", r.relres).c_str(), fmt("%.2f", r.fill).c_str(), r.note.c_str());
    }
}

// History of true residuals of one of our methods: the solve is repeated with growing iteration
// limits (the driver gives no per-iteration callback), each from x0 = 0 with the default factor.
trelvak::bench::Series our_history(trelvak::bench::OurSolver& solver, const UpperMatrix& A,
                                   const std::vector<double>& b, const std::string& method,
                                   int final_its) {
    trelvak::bench::Series s;
    s.label = "trelvak " + method + " (true)";
    s.points.emplace_back(0.0, 1.0);
    const int last = std::min(std::max(final_its, 2), 400);
    const int step = std::max(1, last / 40);
    std::vector<double> x;
    for (int k = 1; k <= last; k += step) {
        const OurRun r = solver.solve(method, b, &x, k, 1e-15, false);
        s.points.emplace_back(r.iterations, trelvak::cli::relative_residual(A, b, x));
        if (r.status == 0)
            break;
    }
    (void)A;
    return s;
}

// The command line: fills s, or prints why not and returns false.
bool read_settings(int argc, char** argv, Settings* s) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value          = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "trelvak_bench: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--size")
            s->size = value();
        else if (a == "--timeout")
            s->timeout = std::atof(value().c_str());
        else if (a == "--no-octave")
            s->octave = false;
        else if (a == "--no-petsc")
            s->petsc = false;
        else if (a == "--no-files")
            s->files = false;
        else if (a == "--no-generated")
            s->generated = false;
        else if (a == "--only")
            s->only = value();
        else if (a == "--matrices")
            s->matrices = value();
        else if (a == "--plot")
            s->plot = value();
        else if (a == "--plot-matrix")
            s->plot_matrix = value();
        else if (a == "--markdown")
            s->markdown = true;
        else if (a == "--work")
            s->work = value();
        else {
            std::fprintf(stderr,
                         "usage: trelvak_bench [--size small|medium|large] [--timeout S] "
                         "[--no-octave] [--no-petsc] [--only TEXT] [--matrices DIR] [--no-files] "
                         "[--no-generated] [--plot FILE] [--plot-matrix NAME] [--markdown] "
                         "[--work DIR]\n");
            return false;
        }
    }
    return true;
}

// Turns off the alternatives whose programs are missing (saying so).
void skip_missing_alternatives(Settings* s) {
    if (s->octave && std::system("command -v octave-cli >/dev/null 2>&1") != 0) {
        std::printf("octave-cli not found: the Octave alternatives are skipped\n");
        s->octave = false;
    }
#ifdef TRELVAK_PETSC_EXAMPLE
    if (s->petsc && (!exists(TRELVAK_PETSC_EXAMPLE) ||
                     std::system("command -v mpiexec >/dev/null 2>&1") != 0)) {
        std::printf("the PETSc example or mpiexec not found: PETSc's solvers are skipped\n");
        s->petsc = false;
    }
#else
    if (s->petsc) {
        std::printf("built without PETSc: PETSc's solvers are skipped\n");
        s->petsc = false;
    }
#endif
}

// The Octave side calls each function once before timing (octave_peers.m, warm_up); the
// same for ours: the first factorization and solve of a process load and set up the
// libraries (matching, ordering, BLAS), which a session pays once.
void warm_up() {
    UpperMatrix W = trelvak::bench::random_kkt(60, 20, 2, 1);
    trelvak::bench::OurSolver warm;
    std::string message;
    if (warm.factor(W, trelvak::cli::Arguments{}, &message)) {
        std::vector<double> x;
        (void)warm.solve("sqmr", trelvak::bench::ones_rhs(W), &x);
    }
}

// ---- The problems -----------------------------------------------------------------------
struct Problem {
    std::string name, kind, path;
    bool spd   = false;
    int family = 0;  // 0 file, 1 helm2d, 2 helm3d, 3 stokes, 4 kkt, 5/6 convex/nonconvex QP
    int size   = 0;
};

// The Matrix Market files of the matrices folder, by name.
std::vector<Problem> file_problems(const Settings& s) {
    std::vector<Problem> items;
    if (!exists(s.matrices)) {
        std::printf("matrices folder %s not found: its matrices are skipped\n", s.matrices.c_str());
        return items;
    }
    const auto table = definiteness_table(s.matrices);
    std::vector<std::string> names;
    if (DIR* d = ::opendir(s.matrices.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string f = e->d_name;
            if (f.size() > 4 && (f.substr(f.size() - 4) == ".mtx" ||
                                 (f.size() > 7 && f.substr(f.size() - 7) == ".mtx.gz"))) {
                names.push_back(f);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const auto& f : names) {
        Problem it;
        it.name = f.substr(0, f.find(".mtx"));
        it.path = s.matrices + "/" + f;
        auto t  = table.find(f);
        it.kind = t != table.end() ? t->second : "definiteness unknown";
        it.spd  = it.kind == "SPD";
        items.push_back(it);
    }
    return items;
}

// The generated families, their sizes set by --size.
std::vector<Problem> generated_problems(const Settings& s) {
    std::vector<Problem> items;
    std::vector<int> h2 = {100, 200}, h3 = {30, 50}, st = {64, 128}, kk = {10000, 40000};
    if (s.size == "small")
        h2 = {50, 100}, h3 = {20, 30}, st = {32, 64}, kk = {3000, 10000};
    if (s.size == "large")
        h2 = {100, 200, 400}, h3 = {30, 50, 70}, st = {64, 128, 256}, kk = {10000, 40000, 160000};
    for (int N : h2)
        items.push_back({"helm2d_" + std::to_string(N), "indefinite, 3% negative eigenvalues", "",
                         false, 1, N});
    for (int N : st)
        items.push_back({"stokes2d_mac" + std::to_string(N), "saddle point, zero (2,2) block", "",
                         false, 3, N});
    for (int N : kk)
        items.push_back({"kkt_rand_" + std::to_string(N + N / 3), "random KKT, zero (2,2) block",
                         "", false, 4, N});
    // Quadratic programs with a singular or indefinite Hessian block and nearly dependent
    // constraints (nx = N, ny = 0.4 N).
    for (int N : kk) {
        const int n = N + 2 * N / 5;
        items.push_back({"kkt_qp_convex_" + std::to_string(n),
                         "KKT of a convex QP, rank-deficient H, near-dependent rows", "", false, 5,
                         N});
        items.push_back({"kkt_qp_nonconvex_" + std::to_string(n),
                         "KKT of a nonconvex QP, near-dependent rows", "", false, 6, N});
    }
    for (int N : h3)
        items.push_back({"lap3d_" + std::to_string(N) + "_shift",
                         "indefinite, 1% negative eigenvalues", "", false, 2, N});
    return items;
}

// The problems of the run: the files, then the generated families (as the settings ask).
std::vector<Problem> problem_list(const Settings& s) {
    std::vector<Problem> items;
    if (s.files)
        items = file_problems(s);
    if (s.generated) {
        for (auto& it : generated_problems(s)) items.push_back(it);
    }
    return items;
}

// The problem's matrix, read or generated; false (having said why) when a file cannot be read.
bool make_matrix(const Problem& it, UpperMatrix* A) {
    switch (it.family) {
        case 0: {
            const auto r = trelvak::cli::read_matrix_market(it.path);
            if (r.error != trelvak::cli::ReadError::kNone) {
                std::printf("\n== %s: cannot read: %s\n", it.name.c_str(), r.message.c_str());
                return false;
            }
            *A = r.matrix;
            break;
        }
        case 1:
            *A = trelvak::bench::helmholtz2d(it.size, 0.37750);
            break;
        case 2:
            *A = trelvak::bench::helmholtz3d(it.size, 0.72881);
            break;
        case 3:
            *A = trelvak::bench::stokes_mac(it.size);
            break;
        case 5:
        case 6:
            *A = trelvak::bench::qp_kkt(it.size, 2 * it.size / 5, it.family == 5, 23);
            break;
        default:
            *A = trelvak::bench::random_kkt(it.size, it.size / 3, 3, 17);
            break;
    }
    return true;
}

// ---- Our rows -----------------------------------------------------------------------------
constexpr const char* kMethods[] = {"sqmr", "sbcg", "bcg", "gmres", "fgmres"};

// A row of ours from a run of one method with a factor of `levels` levels.
Row our_row(const std::string& label, const OurRun& o, int levels) {
    Row r;
    r.label  = label;
    r.ours   = true;
    r.setup  = o.setup;
    r.its    = o.iterations;
    r.solve  = o.solve;
    r.relres = o.relres;
    r.fill   = o.fill;
    r.note   = std::to_string(levels) + (levels == 1 ? " level" : " levels") +
             (o.note.empty() ? "" : ", " + o.note);
    return r;
}

// Our row for a factorization that failed: its time and message.
Row failed_factorization(const char* label, const trelvak::bench::OurSolver& solver,
                         const std::string& message) {
    Row r;
    r.label = label;
    r.ours  = true;
    r.setup = solver.setup_seconds();
    r.note  = message;
    return r;
}

// After a failed factorization, what a user would do next: more elbow room; symmetric QMR only.
// Returns the fill of the retry's factor (NaN when it fails too).
double elbow_retry_rows(const Settings& s, UpperMatrix& A, const std::vector<double>& b,
                        const trelvak::cli::Arguments& options, std::vector<Row>* rows,
                        Summary* sum) {
    trelvak::cli::Arguments roomier = options;
    roomier.numbers["elbow"]        = 30.0;
    trelvak::bench::OurSolver retry;
    std::string message;
    if (!retry.factor(A, roomier, &message)) {
        rows->push_back(failed_factorization("trelvak, elbow 30", retry, message));
        return NAN;
    }
    std::vector<double> x;
    OurRun o = retry.solve("sqmr", b, &x);
    o.setup  = shortest_setup(retry.setup_seconds(), A, roomier) +
              (o.grew ? retry.fallback_seconds() : 0.0);
    o.solve     = shortest_solve(o.solve, retry, "sqmr", b);
    const Row e = our_row("trelvak sqmr, elbow 30", o, retry.info().nlev);
    rows->push_back(e);
    if (o.relres <= s.tol) {
        sum->ours_best       = e.total();
        sum->ours_best_label = "sqmr elbow 30";
    }
    return o.fill;
}

// Each of our methods with the solver's factor; their final iteration counts go to final_its.
void method_rows(const Settings& s, UpperMatrix& A, const std::vector<double>& b,
                 const trelvak::cli::Arguments& options, trelvak::bench::OurSolver& solver,
                 std::vector<Row>* rows, Summary* sum, std::map<std::string, int>* final_its) {
    const double best_setup = shortest_setup(solver.setup_seconds(), A, options, &b);
    std::vector<double> x;
    for (const char* m : kMethods) {
        // The default method's solve is the quick factor's trial when that solved b (the tool's
        // one-call solve); the other methods solve with the factor as usual.
        const bool in_trial = std::strcmp(m, "sqmr") == 0 && solver.trial_solved();
        OurRun o            = in_trial ? solver.trial_run(b, &x) : solver.solve(m, b, &x);
        o.setup             = best_setup + (o.grew ? solver.fallback_seconds() : 0.0);
        if (!in_trial) {
            o.solve = shortest_solve(o.solve, solver, m, b);
        }
        const Row r =
            our_row(std::string("trelvak ") + m + (std::strcmp(m, "sqmr") == 0 ? " (default)" : ""),
                    o, solver.info().nlev);
        (*final_its)[m] = o.iterations;
        rows->push_back(r);
        if (std::strcmp(m, "sqmr") == 0) {
            sum->ours_relres = o.relres;
            if (o.relres <= s.tol)
                sum->ours_default = r.total();
        }
        if (o.relres <= s.tol && !(r.total() >= sum->ours_best)) {
            sum->ours_best       = r.total();
            sum->ours_best_label = m;
        }
    }
}

// Ours: the factorization (retried with more elbow room when it fails) and the methods on it.
// Returns the fill of our factor (NaN when there is none).
double our_rows(const Settings& s, UpperMatrix& A, const std::vector<double>& b,
                trelvak::bench::OurSolver& solver, std::vector<Row>* rows, Summary* sum,
                std::map<std::string, int>* final_its) {
    trelvak::cli::Arguments options;
    options.numbers["maxit"]    = s.maxit;
    options.numbers["nrestart"] = s.restart;
    options.numbers["restol"]   = s.tol;
    std::string message;
    if (!solver.factor(A, options, &message, &b)) {
        rows->push_back(failed_factorization("trelvak", solver, message));
        return elbow_retry_rows(s, A, b, options, rows, sum);
    }
    const double fill = solver.info().fill;
    method_rows(s, A, b, options, solver, rows, sum, final_its);
    return fill;
}

// ---- The alternatives' rows ---------------------------------------------------------------
// Octave's and PETSc's runs on the matrix, written to a file for them; the Octave runs write
// their residual histories to histfile when it is not empty.
void alternative_rows(const Settings& s, const Problem& it, const UpperMatrix& A, double our_fill,
                      const std::string& histfile, std::vector<Row>* rows) {
    if (!s.octave && !s.petsc)
        return;
    const std::string file = s.work + "/" + it.name + ".mtx";
    trelvak::bench::write_matrix_market(file, A);
    for (const char* kind : {"backslash", "nofill", "crout", "ilutp"}) {
        if (!s.octave)
            break;
        for (auto& r : octave_rows(s, file, kind, our_fill, it.spd, histfile)) {
            rows->push_back(r);
        }
    }
#ifdef TRELVAK_PETSC_EXAMPLE
    if (s.petsc) {
        for (auto& r : petsc_rows(s, file)) {
            rows->push_back(r);
        }
    }
#endif
    std::remove(file.c_str());
}

// Our time-to-solution is compared with alternatives that reached the same tolerance: the
// fastest of them, and the fastest iterative one, go to the summary.
void best_alternatives(const Settings& s, const std::vector<Row>& rows, Summary* sum) {
    const double target = s.tol;
    for (const auto& r : rows) {
        if (r.ours || !(r.relres <= target) || std::isnan(r.solve))
            continue;
        if (!(r.total() >= sum->alt)) {
            sum->alt       = r.total();
            sum->alt_label = method_of(r.label);
        }
        if (!r.direct && !(r.total() >= sum->alt_iter)) {
            sum->alt_iter       = r.total();
            sum->alt_iter_label = method_of(r.label);
        }
    }
}

// The line under a matrix's table: our times over the best alternatives'.
void print_ratio_line(const Settings& s, const Summary& sum) {
    auto ratio = [](double ours, double theirs) {
        return (std::isnan(ours) || std::isnan(theirs)) ? std::string("-")
                                                        : fmt("%.3g", ours / theirs);
    };
    std::printf(
        "%sratio ours/best alternative: default sqmr %s, best of ours (%s) %s  [best "
        "alternative: %s %s s]; vs best iterative alternative (%s %s s): %s\n",
        s.markdown ? "\n" : "", ratio(sum.ours_default, sum.alt).c_str(),
        sum.ours_best_label.empty() ? "-" : sum.ours_best_label.c_str(),
        ratio(sum.ours_best, sum.alt).c_str(),
        sum.alt_label.empty() ? "none reached it" : sum.alt_label.c_str(),
        fmt("%.3f", sum.alt).c_str(),
        sum.alt_iter_label.empty() ? "none" : sum.alt_iter_label.c_str(),
        fmt("%.3f", sum.alt_iter).c_str(), ratio(sum.ours_default, sum.alt_iter).c_str());
}

// Convergence plot: our methods' true residual histories and Octave's Krylov methods' (read
// from histfile), written to s.plot.
void plot_convergence(const Settings& s, const std::string& name, trelvak::bench::OurSolver& solver,
                      const UpperMatrix& A, const std::vector<double>& b,
                      std::map<std::string, int>& final_its, const std::string& histfile) {
    std::vector<trelvak::bench::Series> series;
    for (const char* m : kMethods) {
        series.push_back(our_history(solver, A, b, m, final_its[m]));
    }
    std::ifstream hist(histfile);
    std::string line;
    while (std::getline(hist, line)) {
        if (line.rfind("HIST|", 0) != 0)
            continue;
        std::stringstream ss(line.substr(5));
        trelvak::bench::Series o;
        o.dashed = true;
        std::getline(ss, o.label, '|');
        o.label = "octave " + o.label;
        std::string v;
        int k = 0;
        while (std::getline(ss, v, '|'))
            o.points.emplace_back(k++, std::strtod(v.c_str(), nullptr));
        if (o.label.find("gmres") != std::string::npos ||
            o.label.find("qmr") != std::string::npos || o.label.find("bicg") != std::string::npos) {
            series.push_back(o);
        }
    }
    if (trelvak::bench::write_svg_plot(s.plot, "Convergence on " + name + " (b = A*ones)",
                                       "iterations", "relative residual", series)) {
        std::printf("convergence plot written to %s\n", s.plot.c_str());
    }
}

// One problem: its matrix, our rows and the alternatives', the table, the ratio line and (on the
// plot matrix) the convergence plot; its summary goes to summaries.
void run_problem(const Settings& s, const Problem& it, std::vector<Summary>* summaries) {
    UpperMatrix A;
    if (!make_matrix(it, &A))
        return;
    const auto b = trelvak::bench::ones_rhs(A);
    std::vector<Row> rows;
    Summary sum;
    sum.name = it.name;
    sum.n    = A.n;

    // Ours.
    trelvak::bench::OurSolver solver;
    std::map<std::string, int> final_its;
    const double our_fill = our_rows(s, A, b, solver, &rows, &sum, &final_its);

    // The alternatives.
    const bool plot_here       = !s.plot.empty() && it.name == s.plot_matrix;
    const std::string histfile = plot_here ? s.work + "/history.txt" : "";
    if (plot_here)
        std::remove(histfile.c_str());
    alternative_rows(s, it, A, our_fill, histfile, &rows);
    best_alternatives(s, rows, &sum);
    print_table(s, it.name, A, it.kind, rows);
    print_ratio_line(s, sum);
    std::fflush(stdout);
    summaries->push_back(sum);

    // Convergence plot.
    if (plot_here && solver.levels() != nullptr)
        plot_convergence(s, it.name, solver, A, b, final_its, histfile);
}

// ---- Summary -------------------------------------------------------------------------------
// One line per matrix: our default and best times, the best alternatives', the ratio.
void print_summary_table(const Settings& s, const std::vector<Summary>& summaries) {
    std::printf("\n%sSummary (total = setup + solve seconds; '-' = did not reach tol 1e-6)\n",
                s.markdown ? "### " : "");
    if (s.markdown) {
        std::printf(
            "\n| matrix | n | ours (sqmr) | best of ours | best alternative | best iterative "
            "alternative | ratio sqmr / best alt. |\n|---|---:|---:|---:|---|---|---:|\n");
    } else {
        std::printf("%-28s %8s %10s %16s %28s %28s %8s\n", "matrix", "n", "ours sqmr", "best ours",
                    "best alternative", "best iterative alternative", "ratio");
    }
    for (const auto& m : summaries) {
        const std::string best =
            m.ours_best_label.empty() ? "-" : m.ours_best_label + " " + fmt("%.3f", m.ours_best);
        const std::string alt =
            m.alt_label.empty() ? "none" : m.alt_label + " " + fmt("%.3f", m.alt);
        const std::string alti =
            m.alt_iter_label.empty() ? "none" : m.alt_iter_label + " " + fmt("%.3f", m.alt_iter);
        const std::string ratio = (std::isnan(m.ours_default) || std::isnan(m.alt))
                                      ? "-"
                                      : fmt("%.3g", m.ours_default / m.alt);
        if (s.markdown) {
            std::printf("| %s | %d | %s | %s | %s | %s | %s |\n", m.name.c_str(), m.n,
                        fmt("%.3f", m.ours_default).c_str(), best.c_str(), alt.c_str(),
                        alti.c_str(), ratio.c_str());
        } else {
            std::printf("%-28s %8d %10s %16s %28s %28s %8s\n", m.name.c_str(), m.n,
                        fmt("%.3f", m.ours_default).c_str(), best.c_str(), alt.c_str(),
                        alti.c_str(), ratio.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    if (!read_settings(argc, argv, &s))
        return 2;
    skip_missing_alternatives(&s);
    if (s.work.empty()) {
        char tmpl[] = "/tmp/trelvak_bench_XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        s.work = tmpl;
    }
    warm_up();
    const std::vector<Problem> items = problem_list(s);

    std::vector<Summary> summaries;
    std::printf(
        "trelvak_bench: b = A*ones(n,1), x0 = 0, tol %.0e, maxit %d, gmres restart %d; "
        "times in wall seconds, ours on %d lane%s (TRELVAK_NUM_THREADS), Octave on one thread; "
        "relres = true ||b-Ax||/||b||; %s at the start\n",
        s.tol, s.maxit, s.restart, trelvak::lane_count(), trelvak::lane_count() == 1 ? "" : "s",
        trelvak::bench::load_average().c_str());
    for (const auto& it : items) {
        if (!s.only.empty() && it.name.find(s.only) == std::string::npos)
            continue;
        run_problem(s, it, &summaries);
    }
    print_summary_table(s, summaries);
    print_ratio_summary(summaries, s.markdown);
    ::rmdir(s.work.c_str());
    return 0;
}
