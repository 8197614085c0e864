// Tests of the quotient minimum degree kernel genqmd.
#include <gtest/gtest.h>

#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

namespace {

using namespace trelvak::test;

struct QmdResult {
    std::vector<int> perm, invp;
    int nofsub = 0;
};

QmdResult run_genqmd(Graph g) {
    const int n = g.n;
    QmdResult r;
    r.perm.resize(n);
    r.invp.resize(n);
    std::vector<int> deg(n), marker(n), rchset(n), nbrhd(n), qsize(n), qlink(n);
    genqmd(&n, g.xadj.data(), g.adjncy.data(), r.perm.data(), r.invp.data(), deg.data(),
           marker.data(), rchset.data(), nbrhd.data(), qsize.data(), qlink.data(), &r.nofsub);
    return r;
}

std::vector<int> identity(int n) {
    std::vector<int> p(n);
    for (int i = 0; i < n; ++i) {
        p[i] = i + 1;
    }
    return p;
}

TEST(Genqmd, PermutationInverseAndFactorCount) {
    const std::vector<Csr> cases = {laplace2d(1, 1),
                                    laplace2d(2, 1),
                                    laplace2d(9, 7),
                                    laplace3d(5, 4, 3),
                                    arrow(25),
                                    saddle_point(40, 15, 3, 3),
                                    random_symmetric(120, 4, 21),
                                    laplace2d(5, 1)};
    for (const Csr& a : cases) {
        const auto r = run_genqmd(graph_of(a));
        const int n  = a.nr;
        ASSERT_TRUE(is_permutation(r.perm.data(), n));
        for (int k = 1; k <= n; ++k) {
            EXPECT_EQ(r.invp[r.perm[k - 1] - 1], k);
        }
        // The count grows by the external degree of every eliminated supernode: the factor's
        // entries less those inside merged supernodes.
        EXPECT_LE(r.nofsub, cholesky_fill(a, r.perm)) << "n = " << n;
        EXPECT_GE(r.nofsub, cholesky_fill(a, r.perm) - n * n / 2);
    }
}

TEST(Genqmd, EmptyAndEdgelessGraphs) {
    EXPECT_TRUE(run_genqmd(graph_of(Csr{})).perm.empty());
    const auto r = run_genqmd(graph_of(laplace3d(1, 1, 1)));
    EXPECT_EQ(r.perm, std::vector<int>{1});
    EXPECT_EQ(r.nofsub, 0);
}

TEST(Genqmd, NoFillOnTreesAndPaths) {
    // The leaves go before the hub of an arrow; a path is eaten from its ends.
    const Csr arrow30 = arrow(30);
    const auto r      = run_genqmd(graph_of(arrow30));
    EXPECT_EQ(cholesky_fill(arrow30, r.perm), 29);
    EXPECT_EQ(r.nofsub, 29);
    const Csr path = laplace2d(40, 1);
    EXPECT_EQ(run_genqmd(graph_of(path)).nofsub, 39);
}

TEST(Genqmd, GridFillFarBelowNaturalOrder) {
    const Csr a        = laplace2d(30, 30);
    const long natural = cholesky_fill(a, identity(a.nr));
    const auto r       = run_genqmd(graph_of(a));
    EXPECT_LT(r.nofsub * 2, natural);
    const Csr b = laplace3d(12, 12, 12);
    EXPECT_LT(run_genqmd(graph_of(b)).nofsub * 2, cholesky_fill(b, identity(b.nr)));
}

TEST(Genqmd, RandomGraphsOfManyShapes) {
    for (int seed = 1; seed <= 40; ++seed) {
        const int n       = 1 + (seed * 53) % 160;
        const int per_row = seed % 10;
        const Csr a       = random_symmetric(n, per_row, static_cast<std::uint64_t>(seed));
        SCOPED_TRACE(seed);
        const auto r = run_genqmd(graph_of(a));
        ASSERT_TRUE(is_permutation(r.perm.data(), n));
        for (int k = 1; k <= n; ++k) {
            EXPECT_EQ(r.invp[r.perm[k - 1] - 1], k);
        }
        EXPECT_LE(r.nofsub, cholesky_fill(a, r.perm));
    }
}

}  // namespace
