// Maximum product matching with scaling through MUMPS: a permutation in every case, the scaling
// bounds, optimality on small matrices, structurally singular and degenerate input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

using trelvak::test::Csr;
using trelvak::test::Dense;

namespace {

// Symmetric graph with values (both triangles, 1-based rows) of a dense matrix; `stored` marks
// entries that exist even when their value is 0.
struct Graph {
    int n = 0;
    std::vector<int> ia{1}, ja;
    std::vector<double> values;
    int nnz() const { return static_cast<int>(ja.size()); }
};

Graph graph_of(const Dense& d, const Dense* stored = nullptr) {
    Graph g;
    g.n = d.n;
    for (int i = 0; i < d.n; ++i) {
        for (int j = 0; j < d.n; ++j) {
            if (d(i, j) != 0.0 || (stored && (*stored)(i, j) != 0.0)) {
                g.ja.push_back(j + 1);
                g.values.push_back(d(i, j));
            }
        }
        g.ia.push_back(g.nnz() + 1);
    }
    return g;
}

struct Result {
    std::vector<int> p;
    std::vector<double> u, v;
};

Result match(Graph& g) {
    Result r{std::vector<int>(g.n, -1), std::vector<double>(g.n, -1.0),
             std::vector<double>(g.n, -1.0)};
    dmumps_match(g.n, g.nnz(), r.p.data(), g.ia.data(), g.ja.data(), g.values.data(), r.u.data(),
                 r.v.data());
    return r;
}

// Largest |u(i) a(i,j) v(j)| over the entries, and the same for the symmetric factors
// sqrt(u v) that the reorderings use.
double max_scaled(const Dense& d, const Result& r, bool symmetric) {
    double best = 0.0;
    for (int i = 0; i < d.n; ++i) {
        for (int j = 0; j < d.n; ++j) {
            const double si = symmetric ? std::sqrt(r.u[i] * r.v[i]) : r.u[i];
            const double sj = symmetric ? std::sqrt(r.u[j] * r.v[j]) : r.v[j];
            best            = std::max(best, std::fabs(si * d(i, j) * sj));
        }
    }
    return best;
}

// Random symmetric matrix with magnitudes over 10^(+-spread) and a structurally nonsingular
// pattern (a random perfect matching of off-diagonal pairs is added when zero_diagonal > 0).
Dense random_matrix(int n, std::uint64_t seed, double zero_diagonal, double spread) {
    Dense d =
        trelvak::test::dense_from_upper(trelvak::test::random_symmetric(n, 3, seed, zero_diagonal));
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> expo(-spread, spread);
    const std::vector<int> q = trelvak::test::random_permutation(n, seed + 100);
    for (int t = 0; t + 1 < n; t += 2) {
        const int i = q[t] - 1, j = q[t + 1] - 1;
        d(i, j) = d(j, i) = 0.5;
    }
    for (int i = 0; i < n; ++i) {
        for (int j = i; j < n; ++j) {
            if (d(i, j) != 0.0) {
                d(i, j) = d(j, i) = d(i, j) * std::pow(10.0, expo(rng));
            }
        }
    }
    if (n % 2 == 1 && d(q[n - 1] - 1, q[n - 1] - 1) == 0.0) {
        d(q[n - 1] - 1, q[n - 1] - 1) = 1.0;
    }
    return d;
}

}  // namespace

TEST(Matching, TwoByTwoZeroDiagonal) {
    Dense d(2);
    d(0, 1) = d(1, 0) = 3.0;
    Graph g           = graph_of(d);
    Result r          = match(g);
    EXPECT_EQ(r.p, (std::vector<int>{2, 1}));
    EXPECT_NEAR(r.u[0] * 3.0 * r.v[1], 1.0, 1e-14);
    EXPECT_NEAR(r.u[1] * 3.0 * r.v[0], 1.0, 1e-14);
}

TEST(Matching, RandomMatricesScaleMatchedEntriesToOne) {
    for (std::uint64_t seed = 1; seed <= 15; ++seed) {
        const int n    = 40 + static_cast<int>(seed) * 7;
        const Dense d  = random_matrix(n, seed, 0.4, 4.0);
        Graph g        = graph_of(d);
        const Graph g0 = g;
        Result r       = match(g);
        ASSERT_TRUE(trelvak::test::is_permutation(r.p.data(), n)) << "seed " << seed;
        for (int i = 0; i < n; ++i) {
            const double m = std::fabs(r.u[i] * d(i, r.p[i] - 1) * r.v[r.p[i] - 1]);
            EXPECT_NEAR(m, 1.0, 1e-12) << "seed " << seed << " row " << i + 1;
        }
        EXPECT_LE(max_scaled(d, r, false), 1.0 + 1e-12) << "seed " << seed;
        EXPECT_LE(max_scaled(d, r, true), 1.0 + 1e-12) << "seed " << seed;
        // The inputs are left as they were.
        EXPECT_EQ(g.ia, g0.ia);
        EXPECT_EQ(g.ja, g0.ja);
        EXPECT_EQ(g.values, g0.values);
    }
}

TEST(Matching, ProductIsMaximalOnSmallMatrices) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        const int n   = 6;
        const Dense d = random_matrix(n, seed, 0.5, 2.0);
        Graph g       = graph_of(d);
        Result r      = match(g);
        ASSERT_TRUE(trelvak::test::is_permutation(r.p.data(), n));
        double matched = 0.0;
        for (int i = 0; i < n; ++i) {
            matched += std::log(std::fabs(d(i, r.p[i] - 1)));
        }
        std::vector<int> q(n);
        std::iota(q.begin(), q.end(), 0);
        double best = -INFINITY;
        do {
            double s = 0.0;
            for (int i = 0; i < n && s > -INFINITY; ++i) {
                s += std::log(std::fabs(d(i, q[i])));
            }
            best = std::max(best, s);
        } while (std::next_permutation(q.begin(), q.end()));
        EXPECT_NEAR(matched, best, 1e-10) << "seed " << seed;
    }
}

TEST(Matching, StructurallySingularStillGivesPermutation) {
    // Nodes 4 and 5 touch only node 1, so no complete matching exists; row 6 is empty.
    Dense d(6);
    d(0, 0) = 2.0;
    d(1, 1) = 1.0;
    d(1, 2) = d(2, 1) = 4.0;
    d(0, 3) = d(3, 0) = 1e3;
    d(0, 4) = d(4, 0) = 1e-3;
    Graph g           = graph_of(d);
    testing::internal::CaptureStdout();
    Result r = match(g);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the library stays silent
    ASSERT_TRUE(trelvak::test::is_permutation(r.p.data(), 6));
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(std::isfinite(r.u[i]) && r.u[i] > 0.0);
        EXPECT_TRUE(std::isfinite(r.v[i]) && r.v[i] > 0.0);
    }
    EXPECT_LE(max_scaled(d, r, false), 1.0 + 1e-12);
    EXPECT_LE(max_scaled(d, r, true), 1.0 + 1e-12);

    // Random singular patterns: half of the nodes couple only to two hub nodes.
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
        const int n = 30;
        Dense s     = random_matrix(n, seed, 0.0, 1.0);
        for (int i = 10; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                s(i, j) = s(j, i) = 0.0;
            }
            s(i, static_cast<int>(seed % 2)) = s(static_cast<int>(seed % 2), i) = 1.0 + i;
        }
        Graph gs  = graph_of(s);
        Result rs = match(gs);
        ASSERT_TRUE(trelvak::test::is_permutation(rs.p.data(), n)) << "seed " << seed;
        EXPECT_LE(max_scaled(s, rs, false), 1.0 + 1e-12) << "seed " << seed;
    }
}

TEST(Matching, DegenerateInput) {
    // A single node without entries, and an empty graph of order 3.
    for (int n : {1, 3}) {
        Graph g;
        g.n = n;
        g.ia.assign(n + 1, 1);
        Result r = match(g);
        std::vector<int> identity(n);
        std::iota(identity.begin(), identity.end(), 1);
        EXPECT_EQ(r.p, identity);
        EXPECT_EQ(r.u, std::vector<double>(n, 1.0));
        EXPECT_EQ(r.v, std::vector<double>(n, 1.0));
    }
    // Order 0 writes nothing.
    int p    = -3;
    double u = -3.0;
    int ia   = 1;
    dmumps_match(0, 0, &p, &ia, nullptr, nullptr, &u, &u);
    EXPECT_EQ(p, -3);
    EXPECT_EQ(u, -3.0);
}

TEST(Matching, RepeatedNeighboursAndStoredZeros) {
    // Row 1 lists neighbour 2 twice (values 0.1 and 5): the larger one counts. Stored zero
    // diagonals are entries of cost "never, if avoidable".
    Dense d(3);
    d(0, 1) = d(1, 0) = 5.0;
    d(2, 2)           = 1.0;
    Dense stored(3);
    stored(0, 0) = stored(1, 1) = 1.0;
    Graph g                     = graph_of(d, &stored);
    // Insert the repeat into row 1: columns 1, 2, 2.
    g.ja.insert(g.ja.begin() + 1, 2);
    g.values.insert(g.values.begin() + 1, 0.1);
    for (size_t i = 1; i < g.ia.size(); ++i) {
        ++g.ia[i];
    }
    Result r = match(g);
    EXPECT_EQ(r.p, (std::vector<int>{2, 1, 3}));
    EXPECT_NEAR(r.u[0] * 5.0 * r.v[1], 1.0, 1e-14);
    EXPECT_NEAR(r.u[2] * 1.0 * r.v[2], 1.0, 1e-14);
}
