// kernels.cpp: trelvak_kernels, three kernels timed against a memory-bandwidth bound measured in
// the same run.
//
// Bandwidth: the single-thread triad a(i) = b(i) + s c(i) over three arrays of 2^24 doubles (far
// beyond the last-level cache), best of ten, 24 bytes per element (McCalpin's STREAM convention).
// The kernels run on the lanes the package uses (TRELVAK_NUM_THREADS, by default the cores, at
// most 4); the triad on as many lanes is printed beside the bound for comparison.
// Kernels, per matrix (the largest generated problems), with the bytes each must move:
//   product      y = A x with the stored upper triangle (DSYMmatvec): 12 nnz(triu A) (value +
//                column index) + 4 n (row pointers) + 16 n (x read, y written)
//   precond      one application of the multilevel ILU (DSYMAMGsol): each sweep over a level's
//                factor reads its entries (12 bytes each), the coupling block F is read twice
//                (F^T on the way down, F on the way up), and 16 n for the vectors. With
//                COARSE_REDUCE set (the default) every level solves with its factor twice, on
//                the way down and on the way up, so the factors are swept four times:
//                48 nnz(factors) + 24 nnz(F) + 16 n; clear, twice. The fraction against two
//                sweeps (an application that solved once per level) is printed beside.
//   sqmr step    one SQMR iteration (product, preconditioner, vector updates), timed as
//                (t(2k) - t(k)) / k over two solves: 12 nnz(A) + the preconditioner's bytes +
//                160 n
// The machine may be shared and its speed drifts. Each kernel is therefore timed in rounds: a
// triad, then the kernel (median of a few calls), and the round's fraction is bound / time with
// the bound taken from that round's triad. A line reports the medians over the rounds and the
// range of the fractions. Matrices larger than the last-level cache (found from the read rate
// over growing arrays) are marked, and the summary gives the lowest fraction per kernel over them.
//
// Usage: trelvak_kernels [--quick] [--only NAME] [--files A.mtx ...] (Matrix Market files instead
// of the generated problems)
#include <algorithm>
#include <cmath>
#include <cstdint>
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
double triad_bandwidth(int lanes = 1, int tries = 10) {
    const size_t n = size_t{1} << 24;
    std::vector<double> a(n, 0.0), b(n, 1.0), c(n, 2.0);
    double best    = 1e30;
    const double s = 3.0;
    for (int rep = 0; rep < tries; ++rep) {
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

// The last-level cache as one thread sees it: arrays of growing size are summed several times,
// and the first whose read rate falls below 0.75 of the best so far lies beyond the cache. Returns
// the size before it and the first beyond (bytes) and the read rates over both (bytes / s).
struct Cache {
    double bytes = 0.0, inside = 0.0, next = 0.0, beyond = 0.0;
};

Cache last_level_cache() {
    const size_t most = size_t{256} << 20;
    std::vector<std::uint64_t> a(most / 8, 1);
    Cache c;
    double best = 0.0, previous = 0.0;
    for (const size_t mb : {1, 2, 4, 8, 12, 16, 24, 32, 48, 64, 96, 128, 256}) {
        const size_t n    = (mb << 20) / 8;
        const int reps    = static_cast<int>(std::max<size_t>(4, 1024 / mb));
        double fastest    = 1e30;
        std::uint64_t sum = 0;
        for (int r = 0; r < reps; ++r) {
            const double t0       = now();
            std::uint64_t part[8] = {};  // eight sums, so that the loads are not serialised
            for (size_t i = 0; i < n; i += 8) {
                for (size_t k = 0; k < 8; ++k) part[k] += a[i + k];
            }
            for (const std::uint64_t p : part) sum += p;
            fastest = std::min(fastest, now() - t0);
        }
        volatile std::uint64_t sink = sum;
        (void)sink;
        const double rate = 8.0 * static_cast<double>(n) / fastest;
        if (rate < 0.75 * best) {
            c.inside = previous;
            c.next   = 8.0 * static_cast<double>(n);
            c.beyond = rate;
            return c;
        }
        best     = std::max(best, rate);
        previous = rate;
        c.bytes  = 8.0 * static_cast<double>(n);
    }
    return c;  // no drop seen: the cache is at least the largest array
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A kernel timed in rounds, each a triad (best of five) and then the kernel (median of reps
// calls); the medians over the rounds and the range of the rounds' fractions of the bound.
struct Timing {
    double seconds = 0.0, bandwidth = 0.0, lanes_bandwidth = 0.0, fraction = 0.0, low = 0.0,
           high = 0.0;
};

// One round's triads: on one lane (the bound's) and on the kernels' lanes, which shows whether
// the machine gave the run its other cores at that moment.
struct Triads {
    std::vector<double> one, all;
    void measure() {
        one.push_back(triad_bandwidth(1, 5));
        all.push_back(trelvak::lane_count() > 1 ? triad_bandwidth(trelvak::lane_count(), 5)
                                                : one.back());
    }
};

Timing summarise(const std::vector<double>& t, const Triads& triads,
                 const std::vector<double>& fr) {
    return {median(t),
            median(triads.one),
            median(triads.all),
            median(fr),
            *std::min_element(fr.begin(), fr.end()),
            *std::max_element(fr.begin(), fr.end())};
}

template <class F>
Timing timed_rounds(int rounds, int reps, double bytes, F&& f) {
    std::vector<double> t, fr;
    Triads triads;
    for (int r = 0; r < rounds; ++r) {
        triads.measure();
        t.push_back(median_time(reps, f));
        fr.push_back(bytes / triads.one.back() / t.back());
    }
    return summarise(t, triads, fr);
}

void line(const char* what, const Timing& m, double bytes) {
    std::printf(
        "  %-10s %9.3f ms   bytes %7.1f MB   triad %4.1f GB/s (on the lanes %4.1f)   "
        "bound %8.3f ms   fraction of bound %4.2f (%4.2f to %4.2f)\n",
        what, 1e3 * m.seconds, bytes / 1e6, m.bandwidth / 1e9, m.lanes_bandwidth / 1e9,
        1e3 * bytes / m.bandwidth, m.fraction, m.low, m.high);
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
    const double bw   = triad_bandwidth();
    const int lanes   = trelvak::lane_count();
    const Cache cache = last_level_cache();
    std::printf("single-thread triad bandwidth: %.1f GB/s (3 x 2^24 doubles, best of 10); %s\n",
                bw / 1e9, trelvak::bench::load_average().c_str());
    if (cache.beyond > 0.0) {
        std::printf(
            "last-level cache: about %.0f MB (one thread reads %.0f GB/s over %.0f MB, %.0f GB/s "
            "over %.0f MB)\n",
            cache.bytes / 1048576.0, cache.inside / 1e9, cache.bytes / 1048576.0,
            cache.beyond / 1e9, cache.next / 1048576.0);
    } else {
        std::printf("last-level cache: no drop of the read rate up to %.0f MB\n",
                    cache.bytes / 1048576.0);
    }
    if (lanes > 1) {
        std::printf("kernels on %d lanes (TRELVAK_NUM_THREADS); triad on %d lanes: %.1f GB/s\n",
                    lanes, lanes, triad_bandwidth(lanes) / 1e9);
    } else {
        std::printf("kernels on 1 lane (TRELVAK_NUM_THREADS)\n");
    }

    const int rounds = quick ? 3 : 7;
    const int reps   = quick ? 3 : 5;
    struct {
        std::string matrices;
        double product = 1e30, precond = 1e30, precond_two = 1e30, step = 1e30;
    } summary;

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
        const int n       = A.n;
        const double nnzU = A.nnz();
        const double nnzA = 2.0 * nnzU - n;
        const auto b      = trelvak::bench::ones_rhs(A);
        const double size = 12.0 * nnzU + 4.0 * n;
        const bool beyond = cache.beyond > 0.0 && size > cache.bytes;
        std::printf("\n%s: n = %d, nnz(A) = %.0f, matrix %.1f MB (upper triangle, CSR), %s; %s\n",
                    c.name.c_str(), n, nnzA, size / 1e6,
                    beyond ? "beyond the last-level cache" : "within the last-level cache",
                    trelvak::bench::load_average().c_str());
        if (beyond) {
            summary.matrices += (summary.matrices.empty() ? "" : ", ") + c.name;
        }
        const auto keep = [&](double& lowest, double fraction) {
            if (beyond) {
                lowest = std::min(lowest, fraction);
            }
        };

        // Product with A.
        std::vector<double> x(static_cast<size_t>(n), 1.0), y(static_cast<size_t>(n));
        SparseMatrix record   = A.record();
        const double mv_bytes = 12.0 * nnzU + 20.0 * n;
        const Timing mv =
            timed_rounds(rounds, reps, mv_bytes, [&] { DSYMmatvec(record, x.data(), y.data()); });
        line("product", mv, mv_bytes);
        keep(summary.product, mv.fraction);
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
        // Bytes of one sweep over each level's factor (a sparse entry is a value and a column
        // index; the dense last level is packed) and of the coupling blocks. With COARSE_REDUCE
        // every level but the last solves with its factor on the way down and on the way up.
        const bool reduce = (static_cast<unsigned>(solver.param()->ifact[6]) & COARSE_REDUCE) != 0;
        double entries = 0.0, swept = 0.0, once = 0.0, coupling = 0.0;
        int levels = 0;
        for (const LevelRecord* l = solver.levels(); l != nullptr; l = l->next) {
            ++levels;
            const bool sparse  = l->factor_index != nullptr;
            const double count = sparse ? l->factor_nnz : 0.5 * l->n * (l->n + 1.0);
            const double bytes = (sparse ? 12.0 : 8.0) * count;
            entries += count;
            once += 2.0 * bytes;
            swept += (reduce && l->next != nullptr ? 4.0 : 2.0) * bytes;
            if (l->F.ia != nullptr && l->F.nr > 0) {
                const double f = l->F.ia[l->F.nr] - 1;
                entries += f;
                coupling += 24.0 * f;
            }
        }
        const double pc_bytes  = swept + coupling + 16.0 * n;
        const double two_sweep = once + coupling + 16.0 * n;
        std::printf("  factorization: %d levels, fill %.2f, %.2f s; factor + F entries %.0f\n",
                    levels, solver.info().fill, solver.setup_seconds(), entries);
        // One solve sizes the work buffer and derives the cycle controls. The solves here use
        // this factor alone (no watch and no second factor).
        std::vector<double> sol;
        const auto run1 = solver.solve("sqmr", b, &sol, 0, 0.0, false);
        std::vector<double> z(static_cast<size_t>(n));
        const Timing pc = timed_rounds(rounds, reps, pc_bytes, [&] {
            DSYMAMGsol(solver.levels(), solver.param(), x.data(), z.data(), solver.param()->dbuff);
        });
        line("precond", pc, pc_bytes);
        keep(summary.precond, pc.fraction);
        keep(summary.precond_two, pc.fraction * two_sweep / pc_bytes);
        std::printf(
            "  (COARSE_REDUCE %s: %s; against two sweeps per level, %.1f MB, the "
            "fraction is %.2f)\n",
            reduce ? "set" : "clear",
            reduce ? "four sweeps over each factor but the last" : "two sweeps per factor",
            two_sweep / 1e6, pc.fraction * two_sweep / pc_bytes);

        // One SQMR iteration from two solves of k and 2k steps, in rounds as above.
        const int k           = quick ? 10 : 20;
        const double it_bytes = 12.0 * nnzA + pc_bytes + 160.0 * n;
        std::vector<double> t_it, fr_it;
        Triads triads;
        for (int r = 0; r < (quick ? 1 : 3); ++r) {
            triads.measure();
            const auto r1 = solver.solve("sqmr", b, &sol, k, 1e-15, false);
            const auto r2 = solver.solve("sqmr", b, &sol, 2 * k, 1e-15, false);
            const int dk  = r2.iterations - r1.iterations;
            if (dk <= 0) {
                break;
            }
            t_it.push_back((r2.solve - r1.solve) / dk);
            fr_it.push_back(it_bytes / triads.one.back() / t_it.back());
        }
        if (!t_it.empty()) {
            const Timing it = summarise(t_it, triads, fr_it);
            line("sqmr step", it, it_bytes);
            keep(summary.step, it.fraction);
        }
        std::printf("  (sqmr to 1e-6: %d iterations, %.3f s, true relres %.1e)\n", run1.iterations,
                    run1.solve, run1.relres);
    }
    if (!summary.matrices.empty()) {
        const auto shown = [](double f) {
            return f < 1e29 ? std::to_string(std::lround(100 * f)) + " %" : std::string("-");
        };
        std::printf(
            "\nbeyond the last-level cache (%s), the lowest fraction of the bound:\n"
            "  product %s, precond %s (against two sweeps per level %s), sqmr step %s\n",
            summary.matrices.c_str(), shown(summary.product).c_str(),
            shown(summary.precond).c_str(), shown(summary.precond_two).c_str(),
            shown(summary.step).c_str());
    }
    return 0;
}
