// DSYMsmwm: cutting the cycles of a matching into 1x1 pivots and 2x2 pairs.
#include <gtest/gtest.h>

#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

using trelvak::test::Csr;
using trelvak::test::Dense;

namespace {

struct Split {
    int nsingle;
    std::vector<int> p;
};

Split split(const Dense& d, std::vector<int> p) {
    Csr m       = trelvak::test::upper_from_dense(d);
    const int n = d.n;
    std::vector<int> iwork(n, -5);
    std::vector<double> dwork(2 * n, -5.0);
    const int nsingle = DSYMsmwm(m.record(), p.data(), iwork.data(), dwork.data());
    return {nsingle, p};
}

// Symmetric matrix with the given diagonal and off-diagonal entries (1-based pairs).
Dense matrix(const std::vector<double>& diag,
             const std::vector<std::pair<std::pair<int, int>, double>>& off) {
    Dense d(static_cast<int>(diag.size()));
    for (int i = 0; i < d.n; ++i) {
        d(i, i) = diag[i];
    }
    for (const auto& [ij, v] : off) {
        d(ij.first - 1, ij.second - 1) = d(ij.second - 1, ij.first - 1) = v;
    }
    return d;
}

}  // namespace

TEST(Symwm, DiagonalMatrixGivesSingles) {
    const Dense d = matrix({1.0, -2.0, 3.0, 0.5}, {});
    const Split s = split(d, {1, 2, 3, 4});
    EXPECT_EQ(s.nsingle, 4);
    EXPECT_EQ(s.p, (std::vector<int>{1, 2, 3, 4}));
}

TEST(Symwm, TranspositionOfZeroDiagonalPair) {
    const Dense d = matrix({0.0, 0.0}, {{{1, 2}, 1.0}});
    const Split s = split(d, {2, 1});
    EXPECT_EQ(s.nsingle, 0);
    EXPECT_EQ(s.p, (std::vector<int>{2, 1}));
}

TEST(Symwm, FourCycles) {
    // Cycle 1 -> 2 -> 3 -> 4 -> 1 with equal couplings: even and odd scores tie, so the pairs are
    // (1,2) and (3,4), starting at the smallest node.
    const Dense tie =
        matrix({0.0, 0.0, 0.0, 0.0}, {{{1, 2}, 1.0}, {{2, 3}, 1.0}, {{3, 4}, 1.0}, {{1, 4}, 1.0}});
    Split s = split(tie, {2, 3, 4, 1});
    EXPECT_EQ(s.nsingle, 0);
    EXPECT_EQ(s.p, (std::vector<int>{2, 1, 4, 3}));
    // Weak couplings on the even edges (1,2), (3,4) make their scores large: the odd edges
    // (2,3), (4,1) become the pairs.
    const Dense odd =
        matrix({0.0, 0.0, 0.0, 0.0}, {{{1, 2}, 0.1}, {{2, 3}, 1.0}, {{3, 4}, 0.1}, {{1, 4}, 1.0}});
    s = split(odd, {2, 3, 4, 1});
    EXPECT_EQ(s.nsingle, 0);
    EXPECT_EQ(s.p, (std::vector<int>{4, 1, 3, 2}));
}

TEST(Symwm, ThreeCycles) {
    // Zero diagonal: no 1x1 candidate. Edge (1,2) scores 0.5, edge (2,3) 10: even <= odd, so
    // (1,2) is the pair and 3 the single.
    Dense d = matrix({0.0, 0.0, 0.0}, {{{1, 2}, 1.0}, {{2, 3}, 0.1}, {{1, 3}, 0.5}});
    Split s = split(d, {2, 3, 1});
    EXPECT_EQ(s.nsingle, 1);
    EXPECT_EQ(s.p, (std::vector<int>{3, 2, 1}));
    // Mirrored weights: the pairing starts at node 2, node 1 stays single.
    d = matrix({0.0, 0.0, 0.0}, {{{1, 2}, 0.1}, {{2, 3}, 1.0}, {{1, 3}, 0.5}});
    s = split(d, {2, 3, 1});
    EXPECT_EQ(s.nsingle, 1);
    EXPECT_EQ(s.p, (std::vector<int>{1, 3, 2}));
    // With diagonals the node of smallest s/|d| stays single (node 1: 2/4), the rest pair up.
    d = matrix({4.0, 0.0, 1.0}, {{{1, 2}, 1.0}, {{2, 3}, 1.0}, {{1, 3}, 1.0}});
    s = split(d, {3, 1, 2});
    EXPECT_EQ(s.nsingle, 1);
    EXPECT_EQ(s.p, (std::vector<int>{1, 3, 2}));
}

TEST(Symwm, RandomPermutationsPairNeighboursOnTheirCycles) {
    for (std::uint64_t seed = 1; seed <= 30; ++seed) {
        const int n = 10 + static_cast<int>(seed) * 5;
        const Dense d =
            trelvak::test::dense_from_upper(trelvak::test::random_symmetric(n, 3, seed, 0.3));
        const std::vector<int> q = trelvak::test::random_permutation(n, seed);
        // Expected count: fixed points plus one per odd cycle longer than 1.
        std::vector<char> seen(n + 1, 0);
        int expected = 0;
        for (int v = 1; v <= n; ++v) {
            if (seen[v]) {
                continue;
            }
            int c = 0;
            for (int x = v; !seen[x]; x = q[x - 1]) {
                seen[x] = 1;
                ++c;
            }
            expected += c % 2;
        }
        const Split s = split(d, q);
        ASSERT_EQ(s.nsingle, expected) << "seed " << seed;
        ASSERT_TRUE(trelvak::test::is_permutation(s.p.data(), n));
        for (int k = 1; k < s.nsingle; ++k) {
            EXPECT_LT(s.p[k - 1], s.p[k]);  // singles in increasing order
        }
        for (int k = s.nsingle; k + 1 < n; k += 2) {
            const int big = s.p[k], small = s.p[k + 1];
            EXPECT_GT(big, small);
            EXPECT_TRUE(q[big - 1] == small || q[small - 1] == big)
                << "seed " << seed << ": pair (" << big << "," << small << ") not adjacent";
            if (k > s.nsingle) {
                EXPECT_LT(s.p[k - 1], small);  // pairs by increasing smaller index
            }
        }
        EXPECT_EQ((n - s.nsingle) % 2, 0);
    }
}

TEST(Symwm, NonPermutationIsTakenAsIdentity) {
    const Dense d = matrix({1.0, 2.0, 3.0}, {{{1, 2}, 1.0}});
    const Split s = split(d, {2, 2, 1});
    EXPECT_EQ(s.nsingle, 3);
    EXPECT_EQ(s.p, (std::vector<int>{1, 2, 3}));
}
