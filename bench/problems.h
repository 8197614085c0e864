// problems.h: what the benchmark programs share. Generated problem families (2D/3D Helmholtz-type
// shifted Laplacians, MAC-scheme Stokes, random KKT), Matrix Market output for the Octave side,
// our factorization + solve with true residuals, a wall clock, and a small SVG line-plot writer.
#ifndef TRELVAK_BENCH_PROBLEMS_H
#define TRELVAK_BENCH_PROBLEMS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "factor/factor.h"

namespace trelvak::bench {

using cli::UpperMatrix;

// Wall-clock seconds since an arbitrary origin.
double now();
// "load average 1.23 0.98 0.70" from /proc/loadavg ("load average unknown" elsewhere).
std::string load_average();

// 5-point Laplacian (4, -1) on an N x N interior grid minus shift*I.
UpperMatrix helmholtz2d(int N, double shift);
// 7-point Laplacian (6, -1) on an N^3 grid minus shift*I.
UpperMatrix helmholtz3d(int N, double shift);
// MAC-scheme Stokes [A B^T; B 0] on N x N cells (A: 5-point Laplacians of the two velocity
// components, Dirichlet walls; B: cell divergence), the last pressure unknown removed.
// n = 2 N (N - 1) + N^2 - 1.
UpperMatrix stokes_mac(int N);
// Random KKT matrix [H J^T; J 0]: H (nx x nx) sparse symmetric with a dominant positive diagonal,
// J (ny x nx) with `per_row` random entries per row plus one on a distinct column (full rank).
UpperMatrix random_kkt(int nx, int ny, int per_row, std::uint64_t seed);

// KKT matrix [H J^T; J 0] of a quadratic program that is hard to factor: H (nx x nx) is positive
// semidefinite of rank nx - ny/2, nearly singular on its range (convex), or has a tenth of its
// diagonal made negative (nonconvex); J (ny x nx) has full row rank, but every hundredth row
// repeats an earlier one up to 1e-8. Nonsingular (J is independent on H's null space), with a
// condition number far beyond 1e12.
UpperMatrix qp_kkt(int nx, int ny, bool convex, std::uint64_t seed);

// Writes the lower triangle as a symmetric Matrix Market file (%.17g).
bool write_matrix_market(const std::string& path, const UpperMatrix& A);

// b = A * ones(n, 1).
std::vector<double> ones_rhs(const UpperMatrix& A);

// One of our solves.
struct OurRun {
    std::string method;
    double setup = 0.0;    // factorization, wall seconds (shared by the methods), the second
                           // factor's included when the watch asked for it
    double solve   = 0.0;  // wall seconds, the watch's included
    int iterations = 0;
    double relres  = 0.0;  // true relative residual
    int status     = 0;
    double fill    = 0.0;    // of the factor whose solution is reported
    bool grew      = false;  // the watch found the first factor unstable
    std::string note;
};

// A factorization held for several solves.
class OurSolver {
public:
    OurSolver() = default;
    ~OurSolver();
    OurSolver(const OurSolver&)            = delete;
    OurSolver& operator=(const OurSolver&) = delete;

    // Factors A (kept by address: it must outlive this object) under the default options with
    // the given overrides. Returns false and a message on failure. With b (kept by address, it
    // must outlive the call), the quick attempt's trial solves A x = b itself (TrialSystem): the
    // one-call solve of the tool.
    bool factor(UpperMatrix& A, const cli::Arguments& options, std::string* message,
                const std::vector<double>* b = nullptr);
    // Whether the trial of the factorization solved the b given to factor, with the record's
    // method; then trial_run reports that solve (no time of its own: setup holds it).
    bool trial_solved() const { return trial_.solved; }
    OurRun trial_run(const std::vector<double>& b, std::vector<double>* x) const;
    // Solves A x = b with the method as the tool does (watching the first iterations, with the
    // cruder factor made once for all methods), or with this factor alone when watch is false;
    // max_iterations > 0 overrides maxit, restol > 0 restol.
    OurRun solve(const std::string& method, const std::vector<double>& b, std::vector<double>* x,
                 int max_iterations = 0, double restol = 0.0, bool watch = true);

    double setup_seconds() const { return setup_; }
    const FactorInfo& info() const { return info_; }
    // Wall seconds of the cruder factor (0 until a watch asked for it).
    double fallback_seconds() const { return fallback_.tried ? fallback_.seconds : 0.0; }
    LevelRecord* levels() const { return levels_; }
    ParameterRecord* param() const { return param_; }

private:
    UpperMatrix* A_ = nullptr;
    std::vector<double> pristine_;
    ParameterRecord* param_ = nullptr;
    LevelRecord* levels_    = nullptr;
    FactorInfo info_;
    double setup_ = 0.0;
    TrialSystem trial_;
    cli::Fallback fallback_;
};

// A line plot with a logarithmic y axis: one polyline per series.
struct Series {
    std::string label;
    std::vector<std::pair<double, double>> points;  // (x, y > 0)
    bool dashed = false;
};
bool write_svg_plot(const std::string& path, const std::string& title, const std::string& xlabel,
                    const std::string& ylabel, const std::vector<Series>& series);

}  // namespace trelvak::bench

#endif  // TRELVAK_BENCH_PROBLEMS_H
