// kernels.cpp: trelvak_kernels, three kernels timed against a memory-bandwidth bound measured in
// the same run.
//
// Bandwidth: the single-thread triad a(i) = b(i) + s c(i) over three arrays of 2^24 doubles (far
// beyond the last-level cache), best of ten, 24 bytes per element (McCalpin's STREAM convention).
// The kernels run on the lanes the package uses (TRELVAK_NUM_THREADS, by default the cores, at
// most 4); the triad on as many lanes is printed beside the bound for comparison.
// Kernels, per matrix (the largest generated problems):
//   product      y = A x with the stored upper triangle (DSYMmatvec); bytes >= 12 nnz(triu A)
//                (value + column index) + 4 n (row pointers) + 16 n (x read, y written)
//   precond      one application of the multilevel ILU (DSYMAMGsol); each level's factor and
//                coupling block F are read twice (forward and backward sweep): bytes >=
//                24 (nnz(factors) + nnz(F)) + 16 n; with COARSE_REDUCE set the application solves
//                with every factor twice per level, so it streams 48 nnz(factors) + 24 nnz(F)
//                + 16 n bytes, printed beside
//   sqmr step    one SQMR iteration (product, preconditioner, vector updates), timed as
//                (t(2k) - t(k)) / k over two solves; bytes >= 12 nnz(A) + 24 (nnz(factors) +
//                nnz(F)) + 160 n
// Each line reports the time, the bound (bytes / triad bandwidth) and bound / time, the fraction
// of the bandwidth bound reached.
//
// Usage: trelvak_kernels [--quick] [--only NAME] [--files A.mtx ...] (Matrix Market files instead
// of the generated problems)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/lanes.h"
#include "precond/precond.h"
#include "problems.h"

namespace {

using trelvak::bench::now;
using trelvak::bench::UpperMatrix;

// The triad on `lanes` lanes, each over its own slice of the arrays.
double triad_bandwidth(int lanes = 1) {
    const size_t n = size_t{1} << 24;
    std::vector<double> a(n, 0.0), b(n, 1.0), c(n, 2.0);
    double best    = 1e30;
    const double s = 3.0;
    for (int rep = 0; rep < 10; ++rep) {
        const double t0 = now();
        trelvak::run_lanes(lanes, [&](int lane) {
            const size_t lo             = n * static_cast<size_t>(lane) / lanes;
            const size_t hi             = n * static_cast<size_t>(lane + 1) / lanes;
            double* __restrict pa       = a.data();
            const double* __restrict pb = b.data();
            const double* __restrict pc = c.data();
            for (size_t i = lo; i < hi; ++i) pa[i] = pb[i] + s * pc[i];
        });
        best = std::min(best, now() - t0);
    }
    // Keep the stores observable.
    volatile double sink = a[n / 2];
    (void)sink;
    return 24.0 * static_cast<double>(n) / best;
}

// Median of reps timings of f after one warm-up call.
template <class F>
double median_time(int reps, F&& f) {
    f();
    std::vector<double> t;
    for (int r = 0; r < reps; ++r) {
        const double t0 = now();
        f();
        t.push_back(now() - t0);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void line(const char* what, double seconds, double bytes, double bandwidth) {
    const double bound = bytes / bandwidth;
    std::printf("  %-10s %10.3f ms   bytes %8.1f MB   bound %8.3f ms   fraction of bound %5.2f\n",
                what, 1e3 * seconds, bytes / 1e6, 1e3 * bound, bound / seconds);
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const bool files = argc > 2 && std::strcmp(argv[1], "--files") == 0;
    if (argc > 1 && !quick && !files && !(argc == 3 && std::strcmp(argv[1], "--only") == 0)) {
        std::fprintf(stderr,
                     "usage: trelvak_kernels [--quick | --only NAME | --files A.mtx ...]\n");
        return 2;
    }
    // The machine may be shared: the bound uses the best triad seen in this run, re-measured
    // before each matrix, and the load average is printed beside it.
    double bw       = triad_bandwidth();
    const int lanes = trelvak::lane_count();
    std::printf("single-thread triad bandwidth: %.1f GB/s (3 x 2^24 doubles, best of 10); %s\n",
                bw / 1e9, trelvak::bench::load_average().c_str());
    if (lanes > 1) {
        std::printf("kernels on %d lanes (TRELVAK_NUM_THREADS); triad on %d lanes: %.1f GB/s\n",
                    lanes, lanes, triad_bandwidth(lanes) / 1e9);
    } else {
        std::printf("kernels on 1 lane (TRELVAK_NUM_THREADS)\n");
    }

    struct Case {
        std::string name;
        int family, size;     // family 0: size is the argv index of the Matrix Market file
        bool factor;          // false: the product only (the factorization would take too long)
        double shift = -1.0;  // family 2: the shift (default: 1% negative eigenvalues)
    };
    std::vector<Case> cases = {{"stokes2d_mac256", 3, 256, true},
                               {"helm2d_1000", 1, 1000, true},
                               {"lap3d_50", 2, 50, true, 0.0},
                               {"lap3d_50_shift", 2, 50, true},
                               {"lap3d_100_shift", 2, 100, true}};
    if (quick)
        cases = {{"lap3d_30_shift", 2, 30, true}, {"stokes2d_mac128", 3, 128, true}};
    if (files) {
        cases.clear();
        for (int k = 2; k < argc; ++k) {
            const std::string path = argv[k];
            cases.push_back({path.substr(path.find_last_of('/') + 1), 0, k, true});
        }
    }
    const std::string only =
        !files && argc > 2 && std::strcmp(argv[1], "--only") == 0 ? argv[2] : "";
    for (const auto& c : cases) {
        if (!only.empty() && c.name != only)
            continue;
        UpperMatrix A;
        if (c.family == 0) {
            auto read = trelvak::cli::read_matrix_market(argv[c.size]);  // family 0: argv index
            if (read.error != trelvak::cli::ReadError::kNone) {
                std::printf("\n%s: %s\n", c.name.c_str(), read.message.c_str());
                continue;
            }
            A = std::move(read.matrix);
        } else {
            A = c.family == 1 ? trelvak::bench::helmholtz2d(c.size, 0.37750)
                : c.family == 2
                    ? trelvak::bench::helmholtz3d(c.size, c.shift >= 0.0 ? c.shift : 0.72881)
                    : trelvak::bench::stokes_mac(c.size);
        }
        const double bw_now = triad_bandwidth();
        bw                  = std::max(bw, bw_now);
        std::printf("\ntriad now %.1f GB/s, best in this run %.1f GB/s; %s\n", bw_now / 1e9,
                    bw / 1e9, trelvak::bench::load_average().c_str());
        const int n       = A.n;
        const double nnzU = A.nnz();
        const double nnzA = 2.0 * nnzU - n;
        const auto b      = trelvak::bench::ones_rhs(A);
        std::printf("%s: n = %d, nnz(A) = %.0f, matrix %.1f MB (upper triangle, CSR)\n",
                    c.name.c_str(), n, nnzA, (12.0 * nnzU + 4.0 * n) / 1e6);

        // Product with A.
        std::vector<double> x(static_cast<size_t>(n), 1.0), y(static_cast<size_t>(n));
        SparseMatrix record = A.record();
        const double t_mv =
            median_time(quick ? 5 : 21, [&] { DSYMmatvec(record, x.data(), y.data()); });
        line("product", t_mv, 12.0 * nnzU + 20.0 * n, bw);
        if (!c.factor)
            continue;

        // The preconditioner; a larger elbow room when the default does not suffice.
        auto holder = std::make_unique<trelvak::bench::OurSolver>();
        trelvak::cli::Arguments options;
        std::string message;
        bool ok = holder->factor(A, options, &message);
        for (double elbow : {30.0, 100.0}) {
            if (ok)
                break;
            std::printf("  (%s; retried with elbow %g)\n", message.c_str(), elbow);
            holder                   = std::make_unique<trelvak::bench::OurSolver>();
            options.numbers["elbow"] = elbow;
            ok                       = holder->factor(A, options, &message);
        }
        trelvak::bench::OurSolver& solver = *holder;
        if (!ok) {
            std::printf("  precond    skipped: %s\n", message.c_str());
            continue;
        }
        double stored = 0.0, factors = 0.0, couplings = 0.0;
        int levels = 0;
        for (const LevelRecord* l = solver.levels(); l != nullptr; l = l->next) {
            ++levels;
            factors += l->factor_index != nullptr ? l->factor_nnz : 0.5 * l->n * (l->n + 1.0);
            if (l->F.ia != nullptr && l->F.nr > 0)
                couplings += l->F.ia[l->F.nr] - 1;
        }
        stored = factors + couplings;
        // With COARSE_REDUCE the application solves with each level's factor twice (B^-1 w1 on
        // the way down, B^-1 F x2 on the way up), so it streams the factors four times.
        const bool reduce = (static_cast<unsigned>(solver.param()->ifact[6]) & COARSE_REDUCE) != 0;
        const double streamed =
            12.0 * ((reduce ? 4.0 : 2.0) * factors + 2.0 * couplings) + 16.0 * n;
        std::printf("  factorization: %d levels, fill %.2f, %.2f s; factor + F entries %.0f\n",
                    levels, solver.info().fill, solver.setup_seconds(), stored);
        // One solve sizes the work buffer and derives the cycle controls. The solves here use
        // this factor alone (no watch and no second factor).
        std::vector<double> sol;
        const auto run1 = solver.solve("sqmr", b, &sol, 0, 0.0, false);
        std::vector<double> z(static_cast<size_t>(n));
        const double t_pc = median_time(quick ? 5 : 21, [&] {
            DSYMAMGsol(solver.levels(), solver.param(), x.data(), z.data(), solver.param()->dbuff);
        });
        line("precond", t_pc, 24.0 * stored + 16.0 * n, bw);
        std::printf(
            "  (COARSE_REDUCE %s: the application streams %.1f MB, %.3f ms at the triad rate,"
            " fraction %.2f)\n",
            reduce ? "set" : "clear", streamed / 1e6, 1e3 * streamed / bw, streamed / bw / t_pc);

        const int k   = quick ? 10 : 20;
        const auto r1 = solver.solve("sqmr", b, &sol, k, 1e-15, false);
        const auto r2 = solver.solve("sqmr", b, &sol, 2 * k, 1e-15, false);
        const int dk  = r2.iterations - r1.iterations;
        if (dk > 0) {
            line("sqmr step", (r2.solve - r1.solve) / dk, 12.0 * nnzA + 24.0 * stored + 160.0 * n,
                 bw);
        }
        std::printf("  (sqmr to 1e-6: %d iterations, %.3f s, true relres %.1e)\n", run1.iterations,
                    run1.solve, run1.relres);
    }
    return 0;
}
