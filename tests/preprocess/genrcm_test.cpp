// Tests of the reverse Cuthill-McKee kernel genrcm.
#include <gtest/gtest.h>

#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

namespace {

using namespace trelvak::test;

std::vector<int> run_genrcm(const Graph& g) {
    std::vector<int> perm(g.n), mask(g.n), xls(g.n + 1);
    genrcm(&g.n, g.xadj.data(), g.adjncy.data(), perm.data(), mask.data(), xls.data());
    return perm;
}

// Banded matrix of half bandwidth w (every entry inside the band).
Csr banded(int n, int w) {
    Dense d(n);
    for (int i = 0; i < n; ++i) {
        d(i, i) = 2.0 * w + 1.0;
        for (int j = i + 1; j <= i + w && j < n; ++j) {
            d(i, j) = d(j, i) = -1.0;
        }
    }
    return upper_from_dense(d);
}

TEST(Genrcm, PermutationOnAssortedGraphs) {
    const std::vector<Csr> cases = {laplace2d(1, 1),
                                    laplace2d(7, 5),
                                    laplace3d(4, 3, 5),
                                    arrow(20),
                                    saddle_point(30, 10, 3, 7),
                                    random_symmetric(60, 3, 11),
                                    Csr{}};
    for (const Csr& a : cases) {
        const Graph g   = graph_of(a);
        const auto perm = run_genrcm(g);
        EXPECT_TRUE(is_permutation(perm.data(), g.n)) << "n = " << g.n;
    }
}

TEST(Genrcm, RecoversBandOfRandomlyPermutedBandedMatrix) {
    const int n         = 300;
    const int w         = 3;
    const Csr band      = banded(n, w);
    const Csr scrambled = permute_upper(band, random_permutation(n, 5));
    std::vector<int> identity(n);
    for (int i = 0; i < n; ++i) {
        identity[i] = i + 1;
    }
    ASSERT_GT(bandwidth(scrambled, identity), 10 * w);
    const auto perm = run_genrcm(graph_of(scrambled));
    ASSERT_TRUE(is_permutation(perm.data(), n));
    EXPECT_LE(bandwidth(scrambled, perm), 2 * w);
}

TEST(Genrcm, GridBandwidthNearItsSmallerSide) {
    // A 30 x 8 grid numbered the long way has bandwidth 30; RCM should find about 8-9.
    const Csr a     = permute_upper(laplace2d(30, 8), random_permutation(240, 9));
    const auto perm = run_genrcm(graph_of(a));
    EXPECT_LE(bandwidth(a, perm), 10);
}

TEST(Genrcm, ComponentsAreContiguousAndStartAtLowestNode) {
    // Two paths 1-3-5 and 2-4-6 plus the isolated node 7.
    Dense d(7);
    for (int i = 0; i < 7; ++i) {
        d(i, i) = 1.0;
    }
    d(0, 2) = d(2, 0) = d(2, 4) = d(4, 2) = 1.0;
    d(1, 3) = d(3, 1) = d(3, 5) = d(5, 3) = 1.0;
    const auto perm                       = run_genrcm(graph_of(upper_from_dense(d)));
    // The component of node 1 is numbered first and reversed: it ends where node 1's walk began.
    const std::vector<int> expected = {5, 3, 1, 6, 4, 2, 7};
    EXPECT_EQ(perm, expected);
}

TEST(Genrcm, SelfLoopsAllowed) {
    // Graph of an arrow matrix including its self-loops.
    const Csr a = arrow(10);
    Graph g;
    g.n = a.nr;
    std::vector<std::vector<int>> rows(a.nr);
    for (int i = 1; i <= a.nr; ++i) {
        for (int k = a.ia[i - 1]; k < a.ia[i]; ++k) {
            const int j = a.ja[k - 1];
            rows[i - 1].push_back(j);
            if (j != i) {
                rows[j - 1].push_back(i);
            }
        }
    }
    for (auto& r : rows) {
        g.adjncy.insert(g.adjncy.end(), r.begin(), r.end());
        g.xadj.push_back(static_cast<int>(g.adjncy.size()) + 1);
    }
    const auto perm = run_genrcm(g);
    EXPECT_TRUE(is_permutation(perm.data(), g.n));
}

}  // namespace
