// Tests of the approximate minimum fill kernel r2hamdf4.
#include <gtest/gtest.h>

#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

namespace {

using namespace trelvak::test;

struct AmfResult {
    std::vector<int> last, elen;
    int ncmpa = 0;
};

// Runs r2hamdf4 on the graph of a with `spare` free entries behind the graph in iw.
AmfResult run_amf(const Csr& a, int spare, int extra_buckets = 0) {
    const Graph g = graph_of(a);
    const int n   = g.n;
    const int ne  = static_cast<int>(g.adjncy.size());
    int iwlen     = ne + spare;
    std::vector<int> iw(static_cast<size_t>(iwlen) + 1, 0);
    std::copy(g.adjncy.begin(), g.adjncy.end(), iw.begin());
    std::vector<int> pe(n + 1), len(n + 1);
    for (int i = 0; i < n; ++i) {
        pe[i]  = g.xadj[i];
        len[i] = g.xadj[i + 1] - g.xadj[i];
    }
    int pfree = ne + 1;
    AmfResult r;
    r.last.resize(n);
    r.elen.resize(n);
    const int nbbuck = n + extra_buckets;
    std::vector<int> nv(n + 1), degree(n + 1), wf(n + 1), next(n + 1), w(n + 1), head(nbbuck + 2);
    r2hamdf4(&n, &nbbuck, &iwlen, pe.data(), &pfree, len.data(), iw.data(), nv.data(),
             r.last.data(), r.elen.data(), degree.data(), wf.data(), next.data(), w.data(),
             head.data(), &r.ncmpa);
    return r;
}

void expect_valid(const AmfResult& r, int n) {
    ASSERT_TRUE(is_permutation(r.last.data(), n));
    for (int k = 1; k <= n; ++k) {
        EXPECT_EQ(r.elen[r.last[k - 1] - 1], k);
    }
}

std::vector<int> identity(int n) {
    std::vector<int> p(n);
    for (int i = 0; i < n; ++i) {
        p[i] = i + 1;
    }
    return p;
}

TEST(Amf, PermutationOnAssortedGraphs) {
    const std::vector<Csr> cases = {laplace2d(1, 1),
                                    laplace2d(3, 2),
                                    laplace2d(12, 9),
                                    laplace3d(5, 6, 4),
                                    arrow(40),
                                    saddle_point(60, 20, 3, 4),
                                    random_symmetric(200, 5, 2),
                                    laplace2d(7, 1)};
    for (const Csr& a : cases) {
        SCOPED_TRACE(a.nr);
        expect_valid(run_amf(a, a.nr + 1), a.nr);
    }
}

TEST(Amf, TightStorageCompactsAndStaysCorrect) {
    // With only n spare entries the quotient graph has to be compacted, repeatedly.
    const Csr a      = laplace2d(25, 25);
    const auto tight = run_amf(a, a.nr);
    const auto roomy = run_amf(a, 20 * a.nr);
    expect_valid(tight, a.nr);
    EXPECT_GT(tight.ncmpa, 0);
    EXPECT_EQ(roomy.ncmpa, 0);
    // Compaction moves lists but changes no decision.
    EXPECT_EQ(tight.last, roomy.last);
}

TEST(Amf, StorageTooShortReportsAndReturnsIdentity) {
    const Csr a  = laplace2d(4, 4);
    const auto r = run_amf(a, 3);
    EXPECT_EQ(r.ncmpa, -1);
    EXPECT_EQ(r.last, identity(a.nr));
}

TEST(Amf, IsolatedNodesAndHub) {
    // The hub of an arrow would fill everything: the leaves go first (the hub is one of the
    // last two) and nothing fills.
    const Csr arrow50 = arrow(50);
    const auto r      = run_amf(arrow50, 60);
    expect_valid(r, 50);
    EXPECT_GE(r.elen[0], 49);
    EXPECT_EQ(cholesky_fill(arrow50, r.last), 49);
    // Nodes without neighbours, and the empty graph.
    const Csr empty9 = upper_from_dense(Dense(9));
    ASSERT_EQ(empty9.nr, 9);
    expect_valid(run_amf(empty9, 10), 9);
    expect_valid(run_amf(Csr{}, 1), 0);
}

TEST(Amf, GridFillFarBelowNaturalOrder) {
    for (const Csr& a : {laplace2d(40, 40), laplace3d(12, 12, 12)}) {
        const auto r       = run_amf(a, a.nr + 1);
        const long natural = cholesky_fill(a, identity(a.nr));
        const long amf     = cholesky_fill(a, r.last);
        EXPECT_LT(2 * amf, natural) << "n = " << a.nr;
    }
}

TEST(Amf, RandomGraphsOfManyShapes) {
    // Sparse and dense, connected or not, with isolated nodes; tight and roomy storage.
    for (int seed = 1; seed <= 40; ++seed) {
        const int n       = 8 + (seed * 37) % 150;
        const int per_row = 1 + seed % 9;
        const Csr a       = random_symmetric(n, per_row, static_cast<std::uint64_t>(seed));
        SCOPED_TRACE(seed);
        const auto tight = run_amf(a, n);
        const auto roomy = run_amf(a, 10 * n + 2 * a.nnz());
        expect_valid(tight, n);
        EXPECT_EQ(tight.last, roomy.last);
    }
}

TEST(Amf, BucketsAboveNKeepLargeKeysApart) {
    // With nbbuck = n every key above n shares the last bucket; more buckets separate them,
    // which matters once fill keys exceed n (late in a 3D grid).
    const Csr a       = laplace3d(14, 14, 14);
    const auto capped = run_amf(a, a.nr + 1);
    const auto spread = run_amf(a, a.nr + 1, a.nr);
    expect_valid(spread, a.nr);
    EXPECT_LT(cholesky_fill(a, spread.last), cholesky_fill(a, capped.last));
    // Fewer buckets than nodes is refused.
    const auto refused = run_amf(a, a.nr + 1, -1);
    EXPECT_EQ(refused.ncmpa, -1);
}

}  // namespace
