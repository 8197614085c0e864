// Adjacency graphs of symmetric matrices: full pattern, dropping of small entries, marked nodes,
// who owns the graph's column array.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

using trelvak::test::Csr;
using trelvak::test::Dense;

namespace {

// Graph rows as vectors; takes ownership of an allocated ja (restoring the sign).
std::vector<std::vector<int>> rows_of(SparseMatrix& B, int n, bool expect_allocated) {
    const bool allocated = B.ia[n] < 0;
    EXPECT_EQ(allocated, expect_allocated);
    B.ia[n] = std::abs(B.ia[n]);
    std::vector<std::vector<int>> rows(n);
    for (int i = 0; i < n; ++i) {
        rows[i].assign(B.ja + B.ia[i] - 1, B.ja + B.ia[i + 1] - 1);
    }
    if (allocated) {
        std::free(B.ja);
    }
    return rows;
}

// Expected sorted neighbour lists: j in row i iff d(i,j) != 0 (or a stored zero diagonal).
std::vector<std::vector<int>> dense_rows(const Dense& d, const Csr& upper) {
    std::vector<std::vector<int>> rows(d.n);
    for (int i = 0; i < d.n; ++i) {
        for (int j = 0; j < d.n; ++j) {
            if (d(i, j) != 0.0) {
                rows[i].push_back(j + 1);
            }
        }
    }
    // Stored zero diagonals are still entries of the pattern.
    for (int i = 1; i <= upper.nr; ++i) {
        for (int k = upper.ia[i - 1]; k < upper.ia[i]; ++k) {
            if (upper.ja[k - 1] == i && upper.a[k - 1] == 0.0) {
                auto& r = rows[i - 1];
                r.insert(std::lower_bound(r.begin(), r.end(), i), i);
            }
        }
    }
    return rows;
}

// Per row, the multiset of (column, value) pairs.
std::vector<std::multiset<std::pair<int, double>>> entries_of(const Csr& m) {
    std::vector<std::multiset<std::pair<int, double>>> e(m.nr);
    for (int i = 0; i < m.nr; ++i) {
        for (int k = m.ia[i]; k < m.ia[i + 1]; ++k) {
            e[i].insert({m.ja[k - 1], m.a[k - 1]});
        }
    }
    return e;
}

// Largest magnitude of every full row.
std::vector<double> full_row_max(const Dense& d) {
    std::vector<double> r(d.n, 0.0);
    for (int i = 0; i < d.n; ++i) {
        for (int j = 0; j < d.n; ++j) {
            r[i] = std::max(r[i], std::fabs(d(i, j)));
        }
    }
    return r;
}

}  // namespace

TEST(Graph, FullPatternOfRandomMatrices) {
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
        Csr m       = trelvak::test::random_symmetric(50, 4, seed, 0.2, 0.0, seed % 2 == 0);
        const int n = m.nr;
        std::vector<int> ibuff(n + 1);
        std::vector<int> iaux(2 * m.nnz());
        SparseMatrix B{};
        Dsetupgraph(m.record(), &B, ibuff.data(), iaux.data(), static_cast<int>(iaux.size()));
        EXPECT_EQ(B.nr, n);
        EXPECT_EQ(B.nc, n);
        EXPECT_EQ(B.ia, ibuff.data());
        EXPECT_EQ(B.ja, iaux.data());
        // Sorted upper rows give sorted graph rows: lower neighbours, then the row's own.
        EXPECT_EQ(rows_of(B, n, false), dense_rows(trelvak::test::dense_from_upper(m), m))
            << "seed " << seed;
    }
}

TEST(Graph, RepeatsAndEmptyRows) {
    // Row 1 stores (1,3) twice and its diagonal after an off-diagonal entry; row 2 is empty.
    Csr m;
    m.nr = m.nc = 4;
    m.ia        = {1, 5, 5, 6, 7};
    m.ja        = {3, 1, 3, 4, 3, 4};
    m.a         = {1.0, 2.0, 5.0, 1.0, 1.0, 1.0};
    std::vector<int> ibuff(5), iaux(12);
    SparseMatrix B{};
    Dsetupgraph(m.record(), &B, ibuff.data(), iaux.data(), 12);
    const std::vector<std::vector<int>> expected{{3, 1, 4}, {}, {1, 3}, {1, 4}};
    EXPECT_EQ(rows_of(B, 4, false), expected);
}

TEST(Graph, SmallSpareBufferAllocatesAndNegatesLastPointer) {
    Csr m       = trelvak::test::laplace2d(5, 4);
    const int n = m.nr;
    std::vector<int> ibuff(n + 1);
    std::vector<int> iaux(2 * m.nnz() - 1);
    SparseMatrix B{};
    Dsetupgraph(m.record(), &B, ibuff.data(), iaux.data(), static_cast<int>(iaux.size()));
    ASSERT_LT(B.ia[n], 0);
    EXPECT_NE(B.ja, iaux.data());
    // Graph of the Laplacian: 5-point stencil with self-loops; n + 2 * (off-diagonal) entries.
    const int off = m.nnz() - n;
    EXPECT_EQ(-B.ia[n], n + 2 * off + 1);
    EXPECT_EQ(rows_of(B, n, true), dense_rows(trelvak::test::dense_from_upper(m), m));

    // No spare buffer at all.
    SparseMatrix C{};
    Dsetupgraph(m.record(), &C, ibuff.data(), nullptr, 0);
    EXPECT_EQ(rows_of(C, n, true).size(), static_cast<size_t>(n));
}

TEST(Graph, EpsilonDropsAtAndBelowThreshold) {
    // Full row maxima 1, 1, 2, 2. Entry (1,2) = 0.01 * min(1, 1) stays; (2,3) = 0.005 * min(1, 2)
    // and (1,4) = 0.0099 (just below 0.01 * min(1, 2)) go; the tiny diagonal of row 3 stays.
    Dense d(4);
    d(0, 0) = 1.0;
    d(1, 1) = -1.0;
    d(2, 2) = 1e-8;
    d(3, 3) = 2.0;
    d(0, 1) = d(1, 0) = 0.01;
    d(1, 2) = d(2, 1) = 0.005;
    d(2, 3) = d(3, 2) = 2.0;
    d(0, 3) = d(3, 0) = 0.0099;
    Csr m             = trelvak::test::upper_from_dense(d);
    const auto before = entries_of(m);
    const int n       = 4;
    std::vector<double> rbuff(n);
    std::vector<int> ibuff(2 * n + 1), iaux(100);
    SparseMatrix B{};
    Dsetupgraph_epsilon(m.record(), &B, 0.01, rbuff.data(), ibuff.data(), iaux.data(), 100);
    EXPECT_EQ(B.ia, ibuff.data() + n);
    EXPECT_EQ(rbuff, (std::vector<double>{1.0, 1.0, 2.0, 2.0}));
    const std::vector<std::vector<int>> expected{{1, 2}, {1, 2}, {3, 4}, {3, 4}};
    EXPECT_EQ(rows_of(B, n, false), expected);
    // Row 1 keeps (1,1), (1,2); row 2 keeps (2,2), its (2,3) sits behind the kept part.
    EXPECT_EQ(ibuff[0], m.ia[0] + 2);
    EXPECT_EQ(ibuff[1], m.ia[2] - 1);
    EXPECT_EQ(m.ja[m.ia[2] - 2], 3);
    EXPECT_EQ(entries_of(m), before);  // entries only move within their rows
}

TEST(Graph, EpsilonOnRandomMatricesAndValueAlignment) {
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
        Csr m = trelvak::test::random_symmetric(60, 5, seed, 0.3);
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> expo(-3.0, 3.0);
        for (double& v : m.a) {
            v *= std::pow(10.0, expo(rng));
        }
        const Dense d     = trelvak::test::dense_from_upper(m);
        const auto before = entries_of(m);
        const auto r      = full_row_max(d);
        const int n       = m.nr;
        const double eps  = 0.01;
        std::vector<double> rbuff(n);
        std::vector<int> ibuff(2 * n + 1);
        SparseMatrix B{};
        Dsetupgraph_epsilon(m.record(), &B, eps, rbuff.data(), ibuff.data(), nullptr, 0);
        ASSERT_LT(B.ia[n], 0);
        // Kept parts hold exactly the large entries and all diagonals.
        for (int i = 1; i <= n; ++i) {
            ASSERT_GE(ibuff[i - 1], m.ia[i - 1]);
            ASSERT_LE(ibuff[i - 1], m.ia[i]);
            for (int k = m.ia[i - 1]; k < m.ia[i]; ++k) {
                const int j = m.ja[k - 1];
                const bool large =
                    j == i || std::fabs(m.a[k - 1]) >= eps * std::min(r[i - 1], r[j - 1]);
                EXPECT_EQ(k < ibuff[i - 1], large) << "seed " << seed << " row " << i;
            }
        }
        EXPECT_EQ(entries_of(m), before);
        // Repeating the fill attaches values that line up with the graph.
        B.ia[n] = -B.ia[n];
        std::vector<double> values(B.ia[n] - 1);
        std::vector<int> next(B.ia, B.ia + n);
        for (int i = 1; i <= n; ++i) {
            for (int k = m.ia[i - 1]; k < ibuff[i - 1]; ++k) {
                const int j               = m.ja[k - 1];
                values[next[i - 1]++ - 1] = std::fabs(m.a[k - 1]);
                if (j != i) {
                    values[next[j - 1]++ - 1] = std::fabs(m.a[k - 1]);
                }
            }
        }
        for (int i = 1; i <= n; ++i) {
            EXPECT_EQ(next[i - 1], B.ia[i]);
            for (int k = B.ia[i - 1]; k < B.ia[i]; ++k) {
                EXPECT_EQ(values[k - 1], std::fabs(d(i - 1, B.ja[k - 1] - 1)));
            }
        }
        std::free(B.ja);
    }
}

TEST(Graph, EpsilonSpLeavesMarkedNodesOut) {
    const Csr base = trelvak::test::saddle_point(30, 10, 3, 7);
    const int n    = base.nr;
    std::vector<int> ind(n, 1);
    for (int i = 30; i < n; ++i) {
        ind[i] = -1;  // the constraint rows
    }
    ind[4]            = -2;
    Csr m             = base;
    const auto before = entries_of(m);
    std::vector<double> rbuff(n);
    std::vector<int> ibuff(2 * n + 1), iaux(4 * m.nnz());
    SparseMatrix B{};
    Dsetupgraph_epsilon_sp(m.record(), &B, 0.01, rbuff.data(), ibuff.data(), iaux.data(),
                           static_cast<int>(iaux.size()), ind.data());
    const auto rows = rows_of(B, n, false);
    for (int i = 0; i < n; ++i) {
        if (ind[i] < 0) {
            EXPECT_TRUE(rows[i].empty()) << "row " << i + 1;
            EXPECT_EQ(ibuff[i], m.ia[i]);  // nothing kept, diagonal included
        }
        for (int j : rows[i]) {
            EXPECT_GE(ind[j - 1], 0);
        }
    }
    // Unmarked nodes keep their large couplings: the K block is diagonally dominant with
    // off-diagonal -1 against diagonals of at most 4, far above 1%.
    for (int i = 0; i < 30; ++i) {
        if (ind[i] < 0) {
            continue;
        }
        EXPECT_TRUE(std::find(rows[i].begin(), rows[i].end(), i + 1) != rows[i].end());
        if (i + 1 < 30 && ind[i + 1] >= 0) {
            EXPECT_TRUE(std::find(rows[i].begin(), rows[i].end(), i + 2) != rows[i].end());
        }
    }
    EXPECT_EQ(entries_of(m), before);

    // Without marks it is the plain epsilon graph.
    std::vector<int> none(n, 0);
    Csr m2 = base, m3 = base;
    SparseMatrix B2{}, B3{};
    std::vector<int> ibuff2(2 * n + 1), ibuff3(2 * n + 1);
    Dsetupgraph_epsilon_sp(m2.record(), &B2, 0.01, rbuff.data(), ibuff2.data(), nullptr, 0,
                           none.data());
    Dsetupgraph_epsilon(m3.record(), &B3, 0.01, rbuff.data(), ibuff3.data(), nullptr, 0);
    EXPECT_EQ(rows_of(B2, n, true), rows_of(B3, n, true));
    EXPECT_EQ(m2.ja, m3.ja);
}
