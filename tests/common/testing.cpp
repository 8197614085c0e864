// testing.cpp: generators of test matrices and small dense references.
#include "common/testing.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <numeric>
#include <utility>

namespace trelvak::test {

SparseMatrix Csr::record() {
    SparseMatrix m{};
    m.nr = nr;
    m.nc = nc;
    m.ia = ia.data();
    m.ja = ja.empty() ? nullptr : ja.data();
    m.a  = a.empty() ? nullptr : a.data();
    return m;
}

Csr upper_from_dense(const Dense& d, bool keep_zero_diagonal) {
    Csr m;
    m.nr = m.nc = d.n;
    for (int i = 0; i < d.n; ++i) {
        for (int j = i; j < d.n; ++j) {
            if (d(i, j) != 0.0 || (keep_zero_diagonal && i == j)) {
                m.ja.push_back(j + 1);
                m.a.push_back(d(i, j));
            }
        }
        m.ia.push_back(static_cast<int>(m.ja.size()) + 1);
    }
    return m;
}

Csr general_from_dense(const Dense& d) {
    Csr m;
    m.nr = m.nc = d.n;
    for (int i = 0; i < d.n; ++i) {
        for (int j = 0; j < d.n; ++j) {
            if (d(i, j) != 0.0) {
                m.ja.push_back(j + 1);
                m.a.push_back(d(i, j));
            }
        }
        m.ia.push_back(static_cast<int>(m.ja.size()) + 1);
    }
    return m;
}

Dense dense_from_upper(const Csr& upper) {
    Dense d(upper.nr);
    for (int i = 1; i <= upper.nr; ++i) {
        for (int k = upper.ia[i - 1]; k < upper.ia[i]; ++k) {
            const int j = upper.ja[k - 1];
            d(i - 1, j - 1) += upper.a[k - 1];
            if (j != i) {
                d(j - 1, i - 1) += upper.a[k - 1];
            }
        }
    }
    return d;
}

Dense dense_from_general(const Csr& m) {
    Dense d(m.nr);
    for (int i = 1; i <= m.nr; ++i) {
        for (int k = m.ia[i - 1]; k < m.ia[i]; ++k) {
            d(i - 1, m.ja[k - 1] - 1) += m.a[k - 1];
        }
    }
    return d;
}

std::vector<double> multiply(const Dense& d, const std::vector<double>& x) {
    std::vector<double> y(d.n, 0.0);
    for (int j = 0; j < d.n; ++j) {
        for (int i = 0; i < d.n; ++i) {
            y[i] += d(i, j) * x[j];
        }
    }
    return y;
}

std::vector<double> solve(Dense d, std::vector<double> b) {
    const int n = d.n;
    for (int k = 0; k < n; ++k) {
        int piv = k;
        for (int i = k + 1; i < n; ++i) {
            if (std::fabs(d(i, k)) > std::fabs(d(piv, k))) {
                piv = i;
            }
        }
        if (piv != k) {
            for (int j = 0; j < n; ++j) {
                std::swap(d(k, j), d(piv, j));
            }
            std::swap(b[k], b[piv]);
        }
        for (int i = k + 1; i < n; ++i) {
            const double l = d(i, k) / d(k, k);
            for (int j = k; j < n; ++j) {
                d(i, j) -= l * d(k, j);
            }
            b[i] -= l * b[k];
        }
    }
    for (int i = n - 1; i >= 0; --i) {
        double s = b[i];
        for (int j = i + 1; j < n; ++j) {
            s -= d(i, j) * b[j];
        }
        b[i] = s / d(i, i);
    }
    return b;
}

double norm2(const std::vector<double>& x) {
    double s = 0.0;
    for (double v : x) {
        s += v * v;
    }
    return std::sqrt(s);
}

double rel_error(const std::vector<double>& x, const std::vector<double>& ref) {
    double num = 0.0;
    double den = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        num += (x[i] - ref[i]) * (x[i] - ref[i]);
        den += ref[i] * ref[i];
    }
    return std::sqrt(num / den);
}

double norm_inf(const Dense& d) {
    double best = 0.0;
    for (int i = 0; i < d.n; ++i) {
        double s = 0.0;
        for (int j = 0; j < d.n; ++j) {
            s += std::fabs(d(i, j));
        }
        best = std::max(best, s);
    }
    return best;
}

namespace {

// Builds the upper triangle from a map of (row, col) -> value with row <= col (0-based).
Csr from_entries(int n, const std::map<std::pair<int, int>, double>& entries) {
    Csr m;
    m.nr = m.nc = n;
    int row     = 0;
    for (const auto& [ij, value] : entries) {
        while (row < ij.first) {
            m.ia.push_back(static_cast<int>(m.ja.size()) + 1);
            ++row;
        }
        m.ja.push_back(ij.second + 1);
        m.a.push_back(value);
    }
    while (row < n) {
        m.ia.push_back(static_cast<int>(m.ja.size()) + 1);
        ++row;
    }
    return m;
}

}  // namespace

Csr laplace2d(int nx, int ny, double shift) {
    std::map<std::pair<int, int>, double> e;
    auto id = [nx](int x, int y) { return y * nx + x; };
    for (int y = 0; y < ny; ++y) {
        for (int x = 0; x < nx; ++x) {
            const int i = id(x, y);
            e[{i, i}]   = 4.0 - shift;
            if (x + 1 < nx)
                e[{i, id(x + 1, y)}] = -1.0;
            if (y + 1 < ny)
                e[{i, id(x, y + 1)}] = -1.0;
        }
    }
    return from_entries(nx * ny, e);
}

Csr laplace3d(int nx, int ny, int nz, double shift) {
    std::map<std::pair<int, int>, double> e;
    auto id = [nx, ny](int x, int y, int z) { return (z * ny + y) * nx + x; };
    for (int z = 0; z < nz; ++z) {
        for (int y = 0; y < ny; ++y) {
            for (int x = 0; x < nx; ++x) {
                const int i = id(x, y, z);
                e[{i, i}]   = 6.0 - shift;
                if (x + 1 < nx)
                    e[{i, id(x + 1, y, z)}] = -1.0;
                if (y + 1 < ny)
                    e[{i, id(x, y + 1, z)}] = -1.0;
                if (z + 1 < nz)
                    e[{i, id(x, y, z + 1)}] = -1.0;
            }
        }
    }
    return from_entries(nx * ny * nz, e);
}

Csr random_symmetric(int n, int per_row, std::uint64_t seed, double zero_diagonal,
                     double tiny_diagonal, bool keep_zeros) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> column(0, std::max(n - 1, 0));
    std::map<std::pair<int, int>, double> e;
    for (int i = 0; i < n; ++i) {
        const double u = unit(rng);
        double d       = 2.0 * value(rng);
        if (u < zero_diagonal) {
            d = 0.0;
        } else if (u < zero_diagonal + tiny_diagonal) {
            d = 1e-10;
        }
        if (d != 0.0 || keep_zeros) {
            e[{i, i}] = d;
        }
        for (int k = 0; k < per_row; ++k) {
            const int j = column(rng);
            if (j != i) {
                e[{std::min(i, j), std::max(i, j)}] = value(rng);
            }
        }
    }
    return from_entries(n, e);
}

Csr saddle_point(int nu, int np, int per_row, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::uniform_int_distribution<int> column(0, std::max(nu - 1, 0));
    std::map<std::pair<int, int>, double> e;
    // K: a 1D Laplacian plus random symmetric couplings, made diagonally dominant.
    std::vector<double> rowsum(nu, 0.0);
    for (int i = 0; i < nu; ++i) {
        if (i + 1 < nu) {
            e[{i, i + 1}] = -1.0;
            rowsum[i] += 1.0;
            rowsum[i + 1] += 1.0;
        }
    }
    for (int i = 0; i < nu; ++i) {
        e[{i, i}] = rowsum[i] + 1.0;
    }
    // B: row r couples pressure nu+r to `per_row` velocities, one of them r mod nu (full rank).
    for (int r = 0; r < np; ++r) {
        e[{r % nu, nu + r}] = 1.0 + std::fabs(value(rng));
        for (int k = 1; k < per_row; ++k) {
            e[{column(rng), nu + r}] = value(rng);
        }
    }
    return from_entries(nu + np, e);
}

Csr arrow(int n, double d, double c) {
    std::map<std::pair<int, int>, double> e;
    for (int i = 0; i < n; ++i) {
        e[{i, i}] = d;
        if (i > 0)
            e[{0, i}] = c;
    }
    return from_entries(n, e);
}

ReorderResult run_reordering(ReorderRoutine routine, Csr a, ParameterRecord* param) {
    const int n = a.nr;
    std::vector<double> left(n, 1.0), right(n, 1.0);
    ReorderResult r;
    r.p.assign(n, -7);
    r.invq.assign(n, -7);
    r.status =
        routine(a.record(), left.data(), right.data(), r.p.data(), r.invq.data(), &r.nB, param);
    return r;
}

std::vector<int> random_permutation(int n, std::uint64_t seed) {
    std::vector<int> p(n);
    std::iota(p.begin(), p.end(), 1);
    std::mt19937_64 rng(seed);
    std::shuffle(p.begin(), p.end(), rng);
    return p;
}

bool is_permutation(const int* p, int n) {
    std::vector<char> seen(n + 1, 0);
    for (int i = 0; i < n; ++i) {
        if (p[i] < 1 || p[i] > n || seen[p[i]]) {
            return false;
        }
        seen[p[i]] = 1;
    }
    return true;
}

Graph graph_of(const Csr& upper) {
    Graph g;
    g.n = upper.nr;
    std::vector<std::vector<int>> rows(upper.nr);
    for (int i = 1; i <= upper.nr; ++i) {
        for (int k = upper.ia[i - 1]; k < upper.ia[i]; ++k) {
            const int j = upper.ja[k - 1];
            if (j != i) {
                rows[i - 1].push_back(j);
                rows[j - 1].push_back(i);
            }
        }
    }
    for (auto& r : rows) {
        std::sort(r.begin(), r.end());
        r.erase(std::unique(r.begin(), r.end()), r.end());
        g.adjncy.insert(g.adjncy.end(), r.begin(), r.end());
        g.xadj.push_back(static_cast<int>(g.adjncy.size()) + 1);
    }
    return g;
}

Csr permute_upper(const Csr& upper, const std::vector<int>& perm) {
    const int n = upper.nr;
    std::vector<int> pos(n + 1);
    for (int k = 1; k <= n; ++k) {
        pos[perm[k - 1]] = k;
    }
    std::map<std::pair<int, int>, double> e;
    for (int i = 1; i <= n; ++i) {
        for (int k = upper.ia[i - 1]; k < upper.ia[i]; ++k) {
            const int a                         = pos[i] - 1;
            const int b                         = pos[upper.ja[k - 1]] - 1;
            e[{std::min(a, b), std::max(a, b)}] = upper.a.empty() ? 1.0 : upper.a[k - 1];
        }
    }
    Csr c;
    c.nr = c.nc = n;
    c.ia.assign(1, 1);
    int row = 0;
    for (const auto& [ij, v] : e) {
        while (row < ij.first) {
            c.ia.push_back(static_cast<int>(c.ja.size()) + 1);
            ++row;
        }
        c.ja.push_back(ij.second + 1);
        c.a.push_back(v);
    }
    while (row < n) {
        c.ia.push_back(static_cast<int>(c.ja.size()) + 1);
        ++row;
    }
    return c;
}

long cholesky_fill(const Csr& upper, const std::vector<int>& perm) {
    // Column structures of L merged along the elimination tree.
    const Csr b = permute_upper(upper, perm);
    const int n = b.nr;
    std::vector<std::vector<int>> cols(n);
    std::vector<int> parent(n, -1);
    std::vector<char> mark(n, 0);
    long fill = 0;
    for (int j = 0; j < n; ++j) {
        std::vector<int> s;
        for (int k = b.ia[j]; k < b.ia[j + 1]; ++k) {
            const int i = b.ja[k - 1] - 1;
            if (i > j && !mark[i]) {
                mark[i] = 1;
                s.push_back(i);
            }
        }
        for (int c = 0; c < j; ++c) {
            if (parent[c] == j) {
                for (int i : cols[c]) {
                    if (i > j && !mark[i]) {
                        mark[i] = 1;
                        s.push_back(i);
                    }
                }
                cols[c].clear();
                cols[c].shrink_to_fit();
            }
        }
        for (int i : s) {
            mark[i] = 0;
        }
        fill += static_cast<long>(s.size());
        if (!s.empty()) {
            parent[j] = *std::min_element(s.begin(), s.end());
        }
        cols[j] = std::move(s);
    }
    return fill;
}

int bandwidth(const Csr& upper, const std::vector<int>& perm) {
    std::vector<int> pos(upper.nr + 1);
    for (int k = 1; k <= upper.nr; ++k) {
        pos[perm[k - 1]] = k;
    }
    int bw = 0;
    for (int i = 1; i <= upper.nr; ++i) {
        for (int k = upper.ia[i - 1]; k < upper.ia[i]; ++k) {
            bw = std::max(bw, std::abs(pos[i] - pos[upper.ja[k - 1]]));
        }
    }
    return bw;
}

}  // namespace trelvak::test
