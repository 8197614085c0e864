// problems.cpp: generated problems, Matrix Market output, our solves and the SVG writer of the
// benchmark programs (see problems.h).
#include "problems.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <random>

#include "common/onebased.h"
#include "solver/solver.h"

namespace trelvak::bench {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string load_average() {
    std::FILE* f = std::fopen("/proc/loadavg", "r");
    double a = 0, b = 0, c = 0;
    const bool ok = f != nullptr && std::fscanf(f, "%lf %lf %lf", &a, &b, &c) == 3;
    if (f != nullptr)
        std::fclose(f);
    if (!ok)
        return "load average unknown";
    char buf[64];
    std::snprintf(buf, sizeof buf, "load average %.2f %.2f %.2f", a, b, c);
    return buf;
}

namespace {

struct Triplets {
    int n = 0;
    std::vector<int> i, j;
    std::vector<double> v;
    // Adds a(r, c) = value for r <= c (0-based); entries below the diagonal are mirrored.
    void add(int r, int c, double value) {
        if (r > c)
            std::swap(r, c);
        i.push_back(r);
        j.push_back(c);
        v.push_back(value);
    }
    UpperMatrix build() const {
        UpperMatrix m;
        m.n = n;
        std::vector<size_t> order(v.size());
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return i[a] != i[b] ? i[a] < i[b] : j[a] < j[b]; });
        m.ia.assign(static_cast<size_t>(n) + 1, 0);
        int last_i = -1, last_j = -1;
        for (size_t k : order) {
            if (i[k] == last_i && j[k] == last_j) {
                m.a.back() += v[k];  // same position again: sum
                continue;
            }
            last_i = i[k];
            last_j = j[k];
            m.ja.push_back(j[k] + 1);
            m.a.push_back(v[k]);
            ++m.ia[static_cast<size_t>(i[k]) + 1];
        }
        m.ia[0] = 1;
        for (int r = 0; r < n; ++r)
            m.ia[static_cast<size_t>(r) + 1] += m.ia[static_cast<size_t>(r)];
        return m;
    }
};

}  // namespace

UpperMatrix helmholtz2d(int N, double shift) {
    Triplets t;
    t.n     = N * N;
    auto id = [N](int x, int y) { return y * N + x; };
    for (int y = 0; y < N; ++y) {
        for (int x = 0; x < N; ++x) {
            t.add(id(x, y), id(x, y), 4.0 - shift);
            if (x + 1 < N)
                t.add(id(x, y), id(x + 1, y), -1.0);
            if (y + 1 < N)
                t.add(id(x, y), id(x, y + 1), -1.0);
        }
    }
    return t.build();
}

UpperMatrix helmholtz3d(int N, double shift) {
    Triplets t;
    t.n     = N * N * N;
    auto id = [N](int x, int y, int z) { return (z * N + y) * N + x; };
    for (int z = 0; z < N; ++z) {
        for (int y = 0; y < N; ++y) {
            for (int x = 0; x < N; ++x) {
                t.add(id(x, y, z), id(x, y, z), 6.0 - shift);
                if (x + 1 < N)
                    t.add(id(x, y, z), id(x + 1, y, z), -1.0);
                if (y + 1 < N)
                    t.add(id(x, y, z), id(x, y + 1, z), -1.0);
                if (z + 1 < N)
                    t.add(id(x, y, z), id(x, y, z + 1), -1.0);
            }
        }
    }
    return t.build();
}

UpperMatrix stokes_mac(int N) {
    // Unknowns: u on the interior vertical faces (i = 1..N-1, j = 1..N), v on the interior
    // horizontal faces (i = 1..N, j = 1..N-1), p in the cells, the last one left out.
    const int nu = (N - 1) * N;
    const int nv = N * (N - 1);
    auto u       = [N](int i, int j) { return (j - 1) * (N - 1) + (i - 1); };
    auto v       = [N, nu](int i, int j) { return nu + (j - 1) * N + (i - 1); };
    auto p       = [N, nu, nv](int i, int j) { return nu + nv + (j - 1) * N + (i - 1); };
    Triplets t;
    t.n = nu + nv + N * N - 1;
    for (int j = 1; j <= N; ++j) {
        for (int i = 1; i <= N - 1; ++i) {
            // A wall parallel to u (bottom, top) mirrors a ghost value: one more on the diagonal.
            t.add(u(i, j), u(i, j), 4.0 + (j == 1) + (j == N));
            if (i + 1 <= N - 1)
                t.add(u(i, j), u(i + 1, j), -1.0);
            if (j + 1 <= N)
                t.add(u(i, j), u(i, j + 1), -1.0);
        }
    }
    for (int j = 1; j <= N - 1; ++j) {
        for (int i = 1; i <= N; ++i) {
            t.add(v(i, j), v(i, j), 4.0 + (i == 1) + (i == N));
            if (i + 1 <= N)
                t.add(v(i, j), v(i + 1, j), -1.0);
            if (j + 1 <= N - 1)
                t.add(v(i, j), v(i, j + 1), -1.0);
        }
    }
    for (int j = 1; j <= N; ++j) {
        for (int i = 1; i <= N; ++i) {
            if (i == N && j == N)
                continue;
            const int row = p(i, j);
            if (i <= N - 1)
                t.add(u(i, j), row, 1.0);
            if (i >= 2)
                t.add(u(i - 1, j), row, -1.0);
            if (j <= N - 1)
                t.add(v(i, j), row, 1.0);
            if (j >= 2)
                t.add(v(i, j - 1), row, -1.0);
        }
    }
    return t.build();
}

UpperMatrix random_kkt(int nx, int ny, int per_row, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> col(0, nx - 1);
    Triplets t;
    t.n = nx + ny;
    std::vector<double> rowsum(static_cast<size_t>(nx), 0.0);
    for (int r = 0; r < nx; ++r) {
        for (int k = 0; k < per_row; ++k) {
            const int c = col(rng);
            if (c == r)
                continue;
            const double a = unit(rng);
            t.add(r, c, a);
            rowsum[static_cast<size_t>(r)] += std::fabs(a);
            rowsum[static_cast<size_t>(c)] += std::fabs(a);
        }
    }
    for (int r = 0; r < nx; ++r) {
        t.add(r, r, rowsum[static_cast<size_t>(r)] + 0.1 + 0.9 * std::fabs(unit(rng)));
    }
    std::vector<int> distinct(static_cast<size_t>(nx));
    std::iota(distinct.begin(), distinct.end(), 0);
    std::shuffle(distinct.begin(), distinct.end(), rng);
    for (int r = 0; r < ny; ++r) {
        t.add(distinct[static_cast<size_t>(r)], nx + r, 1.0 + std::fabs(unit(rng)));
        for (int k = 0; k < per_row; ++k) t.add(col(rng), nx + r, unit(rng));
    }
    return t.build();
}

UpperMatrix qp_kkt(int nx, int ny, bool convex, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> col(0, nx - 1);
    Triplets t;
    t.n = nx + ny;
    // Constraint row r owns column distinct[r]. The columns owned by the odd rows form Z: H is
    // zero on them (its rank is nx - |Z|), and only J reaches them.
    std::vector<int> distinct(static_cast<size_t>(nx));
    std::iota(distinct.begin(), distinct.end(), 0);
    std::shuffle(distinct.begin(), distinct.end(), rng);
    std::vector<char> in_z(static_cast<size_t>(nx), 0);
    for (int r = 1; r < ny; r += 2) {
        in_z[static_cast<size_t>(distinct[static_cast<size_t>(r)])] = 1;
    }
    std::vector<int> rest;  // the columns outside Z
    for (int c = 0; c < nx; ++c) {
        if (!in_z[static_cast<size_t>(c)]) {
            rest.push_back(c);
        }
    }
    const int m = static_cast<int>(rest.size());
    std::uniform_int_distribution<int> rest_col(0, m - 1);
    // Outside Z: H = B^T B + D, B with m/2 rows of three entries (rank at most m/2) that together
    // reach every column, D positive: of order 1 on a third of the columns, 1e-6 to 1e-3 on the
    // others, so that H is positive definite there but nearly singular.
    for (int r = 0; r + 1 < m; r += 2) {
        const int c[3]    = {rest[static_cast<size_t>(r)], rest[static_cast<size_t>(r + 1)],
                             rest[static_cast<size_t>(rest_col(rng))]};
        const double v[3] = {unit(rng), unit(rng), unit(rng)};
        for (int p = 0; p < 3; ++p) {
            for (int q = p; q < 3; ++q) {
                t.add(c[p], c[q], (p == q ? 1.0 : (c[p] == c[q] ? 2.0 : 1.0)) * v[p] * v[q]);
            }
        }
    }
    for (int k = 0; k < m; ++k) {
        const double scale = k % 3 == 0 ? 1.0 : std::pow(10.0, -6.0 + 3.0 * std::fabs(unit(rng)));
        t.add(rest[static_cast<size_t>(k)], rest[static_cast<size_t>(k)],
              scale * (0.1 + 0.9 * std::fabs(unit(rng))));
    }
    if (!convex) {
        // A tenth of the diagonal outside Z negated: an indefinite Hessian block.
        for (int k = 0; k < m; k += 10) {
            const int c = rest[static_cast<size_t>(k)];
            t.add(c, c, -2.0 - std::fabs(unit(rng)));
        }
    }
    // J: three random entries per row and one on the row's own column (full row rank, and the
    // rows that own Z are independent on Z, so that K is nonsingular); every hundredth row
    // repeats an earlier one up to a relative 1e-8.
    std::vector<std::vector<std::pair<int, double>>> rows(static_cast<size_t>(ny));
    for (int r = 0; r < ny; ++r) {
        auto& row = rows[static_cast<size_t>(r)];
        if (r >= 100 && r % 100 == 0) {
            row = rows[static_cast<size_t>(r - 37)];
            for (auto& [c, v] : row) v *= 1.0 + 1e-8 * unit(rng);
            row.push_back({distinct[static_cast<size_t>(r)], 1e-8});
        } else {
            row.push_back({distinct[static_cast<size_t>(r)], 1.0 + std::fabs(unit(rng))});
            for (int k = 0; k < 3; ++k) row.push_back({col(rng), unit(rng)});
        }
        for (const auto& [c, v] : row) t.add(c, nx + r, v);
    }
    return t.build();
}

bool write_matrix_market(const std::string& path, const UpperMatrix& A) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    std::fprintf(f, "%%%%MatrixMarket matrix coordinate real symmetric\n%d %d %d\n", A.n, A.n,
                 A.nnz());
    for (int i = 1; i <= A.n; ++i) {
        for (int k = A.ia[static_cast<size_t>(i) - 1]; k < A.ia[static_cast<size_t>(i)]; ++k) {
            std::fprintf(f, "%d %d %.17g\n", A.ja[static_cast<size_t>(k) - 1], i,
                         A.a[static_cast<size_t>(k) - 1]);
        }
    }
    return std::fclose(f) == 0;
}

std::vector<double> ones_rhs(const UpperMatrix& A) {
    std::vector<double> ones(static_cast<size_t>(A.n), 1.0), b(static_cast<size_t>(A.n));
    cli::symmetric_product(A, ones.data(), b.data());
    return b;
}

// ------------------------------------------------------------------------------------------------

OurSolver::~OurSolver() {
    release_levels(levels_);
    if (param_ != nullptr)
        release_parameters(param_);
}

bool OurSolver::factor(UpperMatrix& A, const cli::Arguments& options, std::string* message,
                       const std::vector<double>* b) {
    A_        = &A;
    pristine_ = A.a;
    param_    = create_parameters();
    cli::apply_options(options, param_);
    const SparseMatrix record = A.record();
    trial_.b                  = b != nullptr ? b->data() : nullptr;
    const double t0           = now();
    const int code            = trelvak::factor(record, param_, &levels_, &info_, {}, &trial_);
    setup_                    = now() - t0;
    A.a                       = pristine_;
    if (code != 0) {
        *message = "factorization failed (" + std::to_string(code) + "): " + info_.message;
        while (!message->empty() && message->back() == '\n') message->pop_back();
        return false;
    }
    return true;
}

OurRun OurSolver::trial_run(const std::vector<double>& b, std::vector<double>* x) const {
    const cli::SolveResult r = cli::trial_solve(*A_, trial_, b, x, param_->restol);
    OurRun run;
    run.method     = param_->solver;
    run.setup      = setup_;
    run.fill       = info_.fill;
    run.iterations = r.iterations;
    run.status     = r.status;
    run.relres     = r.relres;
    run.note       = "solved in the quick factor's trial";
    return run;
}

OurRun OurSolver::solve(const std::string& method, const std::vector<double>& b,
                        std::vector<double>* x, int max_iterations, double restol, bool watch) {
    OurRun run;
    run.method = method;
    run.setup  = setup_;
    run.fill   = info_.fill;
    set_text(param_, &param_->solver, method.c_str());
    const int saved_maxit     = param_->maxit;
    const double saved_restol = param_->restol;
    if (max_iterations > 0)
        param_->maxit = max_iterations;
    if (restol > 0.0)
        param_->restol = restol;
    const cli::SolveResult r =
        watch ? cli::solve_with_fallback(*A_, pristine_, levels_, param_, b, x, &fallback_)
              : cli::solve_once(*A_, pristine_, levels_, param_, b, x);
    run.solve      = r.seconds;
    run.iterations = r.iterations;
    run.status     = r.status;
    run.relres     = std::isfinite(r.relres) ? r.relres : NAN;
    run.grew       = r.grew;
    if (r.grew) {
        run.setup += fallback_.seconds;
        run.note = std::string("the residual ") + cli::watch_verdict(r) + " in the watch; ";
        if (r.fallback_used) {
            run.fill = fallback_.info.fill;
            run.note += "solved with the droptol " + cli::json_number(cli::kCruderDroptol) +
                        " factor (" + std::to_string(fallback_.info.nlev) + " level" +
                        (fallback_.info.nlev == 1 ? ")" : "s)");
        } else {
            run.note +=
                "the droptol " + cli::json_number(cli::kCruderDroptol) + " factor did no better";
        }
    }
    if (run.status != 0)
        run.note += (run.note.empty() ? "" : "; ") + std::string(status_text(run.status));
    param_->maxit  = saved_maxit;
    param_->restol = saved_restol;
    return run;
}

// ------------------------------------------------------------------------------------------------

namespace {

std::string xml(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

}  // namespace

bool write_svg_plot(const std::string& path, const std::string& title, const std::string& xlabel,
                    const std::string& ylabel, const std::vector<Series>& series) {
    const double W = 960, H = 600, left = 80, right = 300, top = 50, bottom = 60;
    const double pw = W - left - right, ph = H - top - bottom;
    double xmax = 1.0, ymin = 1.0, ymax = 1.0;
    for (const auto& s : series) {
        for (const auto& [x, y] : s.points) {
            if (!(y > 0.0) || !std::isfinite(y))
                continue;
            xmax = std::max(xmax, x);
            ymin = std::min(ymin, y);
            ymax = std::max(ymax, y);
        }
    }
    const double lo = std::floor(std::log10(std::max(ymin, 1e-16)));
    const double hi = std::ceil(std::log10(ymax));
    auto px         = [&](double x) { return left + pw * x / xmax; };
    auto py         = [&](double y) {
        const double l = std::log10(std::max(y, std::pow(10.0, lo)));
        return top + ph * (hi - l) / (hi - lo);
    };
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    std::fprintf(f,
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" "
                 "font-family=\"sans-serif\" font-size=\"12\">\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                 W, H);
    std::fprintf(f, "<text x=\"%g\" y=\"28\" font-size=\"16\">%s</text>\n", left,
                 xml(title).c_str());
    // Grid and ticks: decades on y, about eight steps on x.
    for (double e = lo; e <= hi; e += 1.0) {
        const double y = py(std::pow(10.0, e));
        std::fprintf(f,
                     "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#ddd\"/>\n"
                     "<text x=\"%g\" y=\"%g\" text-anchor=\"end\">1e%d</text>\n",
                     left, y, left + pw, y, left - 6, y + 4, static_cast<int>(e));
    }
    const double raw  = xmax / 8.0;
    const double mag  = std::pow(10.0, std::floor(std::log10(raw)));
    const double step = raw / mag < 2 ? 2 * mag : raw / mag < 5 ? 5 * mag : 10 * mag;
    for (double x = 0; x <= xmax + 1e-9; x += step) {
        std::fprintf(f,
                     "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#eee\"/>\n"
                     "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">%g</text>\n",
                     px(x), top, px(x), top + ph, px(x), top + ph + 18, x);
    }
    std::fprintf(
        f, "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"none\" stroke=\"black\"/>\n",
        left, top, pw, ph);
    std::fprintf(f, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">%s</text>\n", left + pw / 2,
                 H - 15, xml(xlabel).c_str());
    std::fprintf(f,
                 "<text x=\"20\" y=\"%g\" text-anchor=\"middle\" transform=\"rotate(-90 20 "
                 "%g)\">%s</text>\n",
                 top + ph / 2, top + ph / 2, xml(ylabel).c_str());
    static const char* colors[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e",
                                   "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
    for (size_t s = 0; s < series.size(); ++s) {
        const char* color = colors[s % 10];
        std::string pts;
        for (const auto& [x, y] : series[s].points) {
            if (!(y > 0.0) || !std::isfinite(y))
                continue;
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.1f,%.1f ", px(x), py(y));
            pts += buf;
        }
        std::fprintf(
            f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"%s\"%s points=\"%s\"/>\n",
            color, series[s].dashed ? "1.5" : "2.2",
            series[s].dashed ? " stroke-dasharray=\"6,3\"" : "", pts.c_str());
        const double ly = top + 14 + 18.0 * static_cast<double>(s);
        std::fprintf(
            f,
            "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"%s\" stroke-width=\"2.2\"%s/>\n"
            "<text x=\"%g\" y=\"%g\">%s</text>\n",
            left + pw + 12, ly - 4, left + pw + 40, ly - 4, color,
            series[s].dashed ? " stroke-dasharray=\"6,3\"" : "", left + pw + 46, ly,
            xml(series[s].label).c_str());
    }
    std::fprintf(f, "</svg>\n");
    return std::fclose(f) == 0;
}

}  // namespace trelvak::bench
