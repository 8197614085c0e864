// factor_bench.cpp: measures the factorization on Matrix Market files or generated problems.
// Not a test (it reads files); built with the tests as build/bench/factor_bench.
// Usage: factor_bench [key=value options...] file.mtx | gen:lap2d:N:shift | gen:lap3d:N:shift
//        | gen:stokes:N | gen:rand:N:seed | bench:NAME
// bench:NAME is a generated member of trelvak_bench by its name there (helm2d_200,
// lap3d_50_shift, stokes2d_mac128, kkt_rand_53333, kkt_qp_convex_14000, kkt_qp_nonconvex_14000).
// Prints: name, n, levels, level sizes, fill, SQMR iterations to 1e-6, factor and solve seconds,
// true relative residual, and the factorization's stability probe (FactorInfo::probe: sound
// factors stay far below 1) with the controls that steadied an unstable factor. write=FILE writes
// the matrix as a Matrix Market file first. profile=1 adds the factorization's phase times level by
// level (profile=md: as a Markdown table).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "cli/cli.h"
#include "common/testing.h"
#include "factor/factor.h"
#include "factor_support.h"
#include "precond/precond.h"
#include "preprocess/preprocess.h"
#include "problems.h"
#include "solver/solver.h"

using namespace trelvak;
using namespace trelvak::test;

// The package's Matrix Market reader; exits with its message on a bad file.
static Csr read_mtx(const std::string& path) {
    cli::ReadResult r = cli::read_matrix_market(path);
    if (r.error != cli::ReadError::kNone) {
        std::fprintf(stderr, "%s\n", r.message.c_str());
        std::exit(2);
    }
    Csr A;
    A.nr = A.nc = r.matrix.n;
    A.ia        = std::move(r.matrix.ia);
    A.ja        = std::move(r.matrix.ja);
    A.a         = std::move(r.matrix.a);
    return A;
}

// MAC Stokes on k x k cells: velocities u (k-1)*k, v k*(k-1), pressure k*k - 1.
static Csr stokes(int k) {
    const double h = 1.0 / k;
    std::map<std::pair<int, int>, double> e;
    auto uid     = [&](int i, int j) { return i * k + j; };  // u at (i+1, j+1/2), i<k-1
    const int nu = (k - 1) * k;
    auto vid     = [&](int i, int j) { return nu + i * (k - 1) + j; };  // v at (i+1/2, j+1), j<k-1
    const int nv = k * (k - 1);
    auto pid = [&](int i, int j) { return nu + nv + i * k + j - 1; };  // pressure, (0,0) removed
    auto add = [&](int r, int c, double v) {
        if (r > c)
            std::swap(r, c);
        e[{r + 1, c + 1}] += v;
    };
    const double s = 1.0 / (h * h);
    for (int i = 0; i < k - 1; ++i)
        for (int j = 0; j < k; ++j) {
            int r = uid(i, j);
            add(r, r, 4 * s);
            if (i > 0)
                add(r, uid(i - 1, j), -s);
            if (j > 0)
                add(r, uid(i, j - 1), -s);
            // divergence coupling: p(i+1,j) - p(i,j)
            if (!(i + 1 == 0 && j == 0))
                add(r, pid(i + 1, j), 1.0 / h);
            if (!(i == 0 && j == 0))
                add(r, pid(i, j), -1.0 / h);
        }
    for (int i = 0; i < k; ++i)
        for (int j = 0; j < k - 1; ++j) {
            int r = vid(i, j);
            add(r, r, 4 * s);
            if (i > 0)
                add(r, vid(i - 1, j), -s);
            if (j > 0)
                add(r, vid(i, j - 1), -s);
            if (!(i == 0 && j + 1 == 0))
                add(r, pid(i, j + 1), 1.0 / h);
            if (!(i == 0 && j == 0))
                add(r, pid(i, j), -1.0 / h);
        }
    const int n = nu + nv + k * k - 1;
    for (int r = nu + nv; r < n; ++r) e[{r + 1, r + 1}] += 0.0;
    Csr A;
    A.nr = A.nc = n;
    int row     = 1;
    for (auto& [ij, v] : e) {
        while (row < ij.first) {
            A.ia.push_back(static_cast<int>(A.ja.size()) + 1);
            ++row;
        }
        A.ja.push_back(ij.second);
        A.a.push_back(v);
    }
    while (row <= n) {
        A.ia.push_back(static_cast<int>(A.ja.size()) + 1);
        ++row;
    }
    return A;
}

// A generated member of trelvak_bench by its name there, with that program's parameters; exits
// with a message on an unknown name.
static Csr bench_problem(const std::string& name) {
    auto number_after = [&](const std::string& prefix) {
        return name.rfind(prefix, 0) == 0 ? std::atoi(name.c_str() + prefix.size()) : 0;
    };
    cli::UpperMatrix U;
    if (int N = number_after("helm2d_"); N > 0) {
        U = bench::helmholtz2d(N, 0.37750);
    } else if (int N3 = number_after("lap3d_"); N3 > 0) {
        U = bench::helmholtz3d(N3, 0.72881);
    } else if (int K = number_after("stokes2d_mac"); K > 0) {
        U = bench::stokes_mac(K);
    } else if (int n = number_after("kkt_rand_"); n > 0) {
        const int nx = (3 * n + 3) / 4;  // n = nx + nx / 3
        U            = bench::random_kkt(nx, nx / 3, 3, 17);
    } else if (int nc = number_after("kkt_qp_convex_"); nc > 0) {
        const int nx = 5 * nc / 7;  // n = nx + 2 nx / 5
        U            = bench::qp_kkt(nx, 2 * nx / 5, true, 23);
    } else if (int nn = number_after("kkt_qp_nonconvex_"); nn > 0) {
        const int nx = 5 * nn / 7;
        U            = bench::qp_kkt(nx, 2 * nx / 5, false, 23);
    } else {
        std::fprintf(stderr, "unknown benchmark problem %s\n", name.c_str());
        std::exit(2);
    }
    Csr A;
    A.nr = A.nc = U.n;
    A.ia        = std::move(U.ia);
    A.ja        = std::move(U.ja);
    A.a         = std::move(U.a);
    return A;
}

// The phase times of a factorization, a line per level and a total line with the shares of the
// whole call's wall time. "other" on a level is its copies, permutations, equilibration, records
// and the tries it did not keep (retries, a part of other); on the total line it also holds the
// discarded passes, the lane split and what lies outside the levels (checks, setup).
static void print_profile(const std::string& name, const FactorInfo& info, bool markdown) {
    double reorder = 0, factor = 0, schur = 0, dense = 0, levels = 0, retries = 0;
    int runs = 0;
    for (const LevelTimes& t : info.level_times) {
        reorder += t.reorder;
        factor += t.factor;
        schur += t.schur;
        dense += t.dense_factor;
        levels += t.total;
        retries += t.retries;
        runs += t.runs;
    }
    const double total = info.wall_seconds;
    const double other = total - reorder - factor - schur - dense;
    const double outside =
        total - levels - info.discarded_seconds - info.split_seconds - info.quick_seconds;
    auto share = [&](double x) { return total > 0 ? 100.0 * x / total : 0.0; };
    if (markdown) {
        std::printf("\n%s: %d pass%s, wall seconds\n\n", name.c_str(), info.passes,
                    info.passes == 1 ? "" : "es");
        std::printf(
            "| level | order | runs | reorder s | factor s | Schur s | dense s | other s "
            "| (retries s) |\n|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        int l = 0;
        for (const LevelTimes& t : info.level_times) {
            std::printf("| %d%s | %d | %d | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n", ++l,
                        t.dense ? "d" : "", t.n, t.runs, t.reorder, t.factor, t.schur,
                        t.dense_factor, t.other(), t.retries);
        }
        std::printf(
            "| total %.3f | | %d | %.3f (%.0f%%) | %.3f (%.0f%%) | %.3f (%.0f%%) | "
            "%.3f (%.0f%%) | %.3f (%.0f%%) | %.3f |\n",
            total, runs, reorder, share(reorder), factor, share(factor), schur, share(schur), dense,
            share(dense), other, share(other), retries);
        std::printf(
            "\nother: levels %.3f (retries %.3f), discarded passes %.3f (level 1's ordering "
            "%.3f), quick factor given up %.3f, lane split %.3f, outside the levels %.3f\n",
            levels - reorder - factor - schur - dense, retries, info.discarded_seconds,
            info.passes > 1 ? info.first_ordering_seconds : 0.0, info.quick_seconds,
            info.split_seconds, outside);
        return;
    }
    std::printf("phases of %s (wall seconds; %d pass%s)\n", name.c_str(), info.passes,
                info.passes == 1 ? "" : "es");
    std::printf("%5s %8s %4s %10s %10s %10s %10s %10s %12s\n", "level", "order", "runs",
                "reorder s", "factor s", "Schur s", "dense s", "other s", "(retries s)");
    int l = 0;
    for (const LevelTimes& t : info.level_times) {
        std::printf("%4d%s %8d %4d %10.4f %10.4f %10.4f %10.4f %10.4f %12.4f\n", ++l,
                    t.dense ? "d" : " ", t.n, t.runs, t.reorder, t.factor, t.schur, t.dense_factor,
                    t.other(), t.retries);
    }
    std::printf(
        "total %.4f s: reorder %.4f (%.1f%%), factor %.4f (%.1f%%), Schur %.4f (%.1f%%), "
        "dense %.4f (%.1f%%), other %.4f (%.1f%%)\n",
        total, reorder, share(reorder), factor, share(factor), schur, share(schur), dense,
        share(dense), other, share(other));
    std::printf(
        "other: levels %.4f (retries %.4f), discarded passes %.4f (level 1's ordering %.4f), "
        "quick factor given up %.4f, lane split %.4f, outside the levels %.4f\n",
        levels - reorder - factor - schur - dense, retries, info.discarded_seconds,
        info.passes > 1 ? info.first_ordering_seconds : 0.0, info.quick_seconds, info.split_seconds,
        outside);
}

// Writes A (upper triangle) as a symmetric Matrix Market file.
static bool write_matrix(const Csr& A, const std::string& path) {
    cli::UpperMatrix U;
    U.n  = A.nr;
    U.ia = A.ia;
    U.ja = A.ja;
    U.a  = A.a;
    return bench::write_matrix_market(path, U);
}

// What the command line asks for besides the options structure's keys.
struct Settings {
    std::string src;
    int maxit       = 500;
    double restol   = 1e-6;
    bool use_driver = false;
    std::string profile;  // "1": phase times, "md": as a Markdown table
    std::string write;    // a Matrix Market file to write the matrix to
};

// Reads key=value arguments into s and f's parameter record (the options structure's keys as
// the tool applies them, then the slot and flag overrides); the one other argument is the matrix.
Settings read_arguments(int argc, char** argv, Factored& f) {
    Settings st;
    cli::Arguments options;  // keys of the options structure, applied after the loop
    for (int a = 1; a < argc; ++a) {
        std::string s = argv[a];
        auto eq       = s.find('=');
        if (eq == std::string::npos) {
            st.src = s;
            continue;
        }
        std::string k = s.substr(0, eq), v = s.substr(eq + 1);
        const auto key = std::find_if(cli::option_keys().begin(), cli::option_keys().end(),
                                      [&](const cli::OptionKey& o) { return k == o.name; });
        if (key != cli::option_keys().end()) {  // a key of the options structure, as the tool
            if (key->kind == cli::OptionKey::kText)
                options.texts[k] = v;
            else
                options.numbers[k] = std::atof(v.c_str());
            if (k == "restol")
                st.restol = std::atof(v.c_str());
            if (k == "maxit")
                st.maxit = std::atoi(v.c_str());
        }
        if (k == "reduce")
            f.param->flags = std::atoi(v.c_str()) ? (f.param->flags | COARSE_REDUCE)
                                                  : (f.param->flags & ~COARSE_REDUCE);
        else if (k == "slot") {
            ReorderRoutine r = nullptr;
            if (v == "mamd")
                r = DSYMperm_matching_amd;
            else if (v == "mmetis")
                r = DSYMperm_matching_metis_n;
            else if (v == "amd")
                r = DGNLperm_amd;
            else if (v == "metis")
                r = DGNLperm_metis_n;
            else if (v == "rcm")
                r = DSPDperm_rcm;
            f.param->reorder0 = f.param->reorder1 = r;
        } else if (k == "pp")
            f.param->reorder2 = std::atoi(v.c_str()) ? DSPDperm_pp : nullptr;
        else if (k == "driver")
            st.use_driver = std::atoi(v.c_str()) != 0;
        else if (k == "profile")
            st.profile = v == "0" ? "" : v;
        else if (k == "write")
            st.write = v;
    }
    cli::apply_options(options, f.param);
    return st;
}

// The matrix the source names: gen:..., bench:NAME or a Matrix Market file.
Csr make_matrix(const std::string& src) {
    Csr A;
    if (src.rfind("gen:", 0) == 0) {
        std::vector<std::string> p;
        std::stringstream ss(src);
        std::string t;
        while (std::getline(ss, t, ':')) p.push_back(t);
        if (p[1] == "lap2d")
            A = laplace2d(std::atoi(p[2].c_str()), std::atoi(p[2].c_str()),
                          std::atof(p[3].c_str()));
        else if (p[1] == "lap3d") {
            int m = std::atoi(p[2].c_str());
            A     = laplace3d(m, m, m, std::atof(p[3].c_str()));
        } else if (p[1] == "stokes")
            A = stokes(std::atoi(p[2].c_str()));
        else if (p[1] == "rand")
            A = random_symmetric(std::atoi(p[2].c_str()), 5, std::atoi(p[3].c_str()), 0.2, 0.05,
                                 true);
    } else if (src.rfind("bench:", 0) == 0) {
        A = bench_problem(src.substr(6));
    } else {
        A = read_mtx(src);
    }
    return A;
}

// The level list in brief: per level its kept rows ("d": dense), postponed rows, 2x2 pivots,
// largest |D^-1| and stored entries.
std::string level_sizes(const LevelRecord* levels) {
    std::string sizes;
    for (const LevelRecord* R = levels; R; R = R->next) {
        sizes += std::to_string(R->nB) + (R->factor_index ? "" : "d");
        if (R->factor_index) {
            double dmax = 0.0;
            for (int i = 0; i < R->nB; ++i) {
                dmax = std::max(dmax, std::fabs(R->factor_values[i]));
            }
            char dm[32];
            std::snprintf(dm, sizeof dm, "/D%.0e/z%d", dmax, R->nnz_stored);
            sizes += "/p" + std::to_string(R->reserved_int[0]) + "/q" +
                     std::to_string(R->reserved_int[1]) + dm;
            if (R->A.ia) {
                sizes += "/a" + std::to_string(R->A.ia[R->n] - 1);
            }
        }
        if (R->next)
            sizes += " ";
    }
    return sizes;
}

// Solves A x = A*ones with the factor (the solver driver, or the tests' SQMR); the iterations
// (-1 when the driver failed), the true relative residual in *relres.
int solve_with_factor(Csr& A, Factored& f, const Settings& st, double* relres) {
    std::vector<double> xs(static_cast<size_t>(A.nr), 1.0);
    std::vector<double> b(static_cast<size_t>(A.nr), 0.0);
    DSYMmatvec(A.record(), xs.data(), b.data());
    std::vector<double> x;
    if (!st.use_driver) {
        return sqmr_solve(A, f.levels, f.param, b, &x, 1e-6, st.maxit, relres);
    }
    x.assign(b.size(), 0.0);
    f.param->maxit   = st.maxit;
    f.param->restol  = st.restol;
    SparseMatrix rec = A.record();
    int status       = DSYMAMGsolver(&rec, f.levels, f.param, b.data(), x.data());
    if (status != 0)
        std::fprintf(stderr, "status %d after %d products\n", status, f.param->ipar[6]);
    *relres = relative_residual(A, x, b);
    return status == 0 ? f.param->ipar[6] : -1;
}

int main(int argc, char** argv) {
    Factored f;
    const Settings st = read_arguments(argc, argv, f);
    Csr A             = make_matrix(st.src);
    if (!st.write.empty() && !write_matrix(A, st.write)) {
        std::fprintf(stderr, "cannot write %s\n", st.write.c_str());
        return 1;
    }
    auto t0          = std::chrono::steady_clock::now();
    int rc           = f.run(A);
    auto t1          = std::chrono::steady_clock::now();
    std::string name = st.src.substr(st.src.find_last_of('/') + 1);
    if (rc != 0) {
        std::printf("%-32s n=%7d FAILED %d: %s\n", name.c_str(), A.nr, rc, f.info.message.c_str());
        return 1;
    }
    if (!st.profile.empty()) {
        print_profile(name, f.info, st.profile == "md");
    }
    const std::string sizes = level_sizes(f.levels);
    double relres           = 0;
    const int its           = solve_with_factor(A, f, st, &relres);
    auto t2                 = std::chrono::steady_clock::now();
    std::printf(
        "%-32s n=%7d nnz=%8d nlev=%2d fill=%5.2f its=%4d tcpu=%7.3f tf=%7.3f ts=%7.3f relres=%.1e "
        "probe=%.1e%s [%s]\n",
        name.c_str(), A.nr, A.nnz(), f.info.nlev, f.info.fill, its, f.info.seconds,
        std::chrono::duration<double>(t1 - t0).count(),
        std::chrono::duration<double>(t2 - t1).count(), relres, f.info.probe,
        f.info.steadied ? (" steadied by " + f.info.steadied_by).c_str() : "", sizes.c_str());
    return 0;
}
