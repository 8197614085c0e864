// Tests of the reorderings without matching: validity on assorted matrices, fill and bandwidth
// quality, the worked cases, buffers and the scaling failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

namespace {

using namespace trelvak::test;

// A parameter record with empty buffers and no scaling; releases what the routines grew.
struct Param {
    ParameterRecord rec{};
    std::vector<int> iaux;
    Param() {
        rec.ifact[7] = 0;
        rec.ifact[8] = 5;  // no scaling
        rec.condest  = 10.0;
    }
    void give_iaux(int n) {
        iaux.assign(static_cast<size_t>(n), 0);
        rec.iaux  = iaux.data();
        rec.niaux = n;
    }
    ~Param() {
        std::free(rec.ibuff);
        std::free(rec.dbuff);
    }
};

using Result = trelvak::test::ReorderResult;

Result run(ReorderRoutine routine, Csr a, Param& param) {
    return trelvak::test::run_reordering(routine, std::move(a), &param.rec);
}

Result run(ReorderRoutine routine, const Csr& a) {
    Param param;
    return run(routine, a, param);
}

void expect_valid(const Result& r, int n, int nB) {
    ASSERT_EQ(r.status, 0);
    ASSERT_TRUE(is_permutation(r.p.data(), n));
    for (int i = 1; i <= n; ++i) {
        ASSERT_EQ(r.invq[r.p[i - 1] - 1], i);
    }
    EXPECT_EQ(r.nB, nB);
}

std::vector<int> identity(int n) {
    std::vector<int> p(n);
    for (int i = 0; i < n; ++i) {
        p[i] = i + 1;
    }
    return p;
}

struct Named {
    const char* name;
    ReorderRoutine routine;
};

const std::vector<Named> kOrderings = {{"amd", DGNLperm_amd},         {"amf", DGNLperm_amf},
                                       {"mmd", DGNLperm_mmd},         {"metis_e", DGNLperm_metis_e},
                                       {"metis_n", DGNLperm_metis_n}, {"rcm", DSPDperm_rcm}};

TEST(PermPlain, EveryOrderingGivesAPermutationWithItsInverse) {
    const std::vector<Csr> cases = {Csr{},
                                    laplace2d(1, 1),
                                    laplace2d(2, 1),
                                    laplace2d(5, 1),
                                    laplace2d(7, 1),
                                    laplace2d(8, 1),
                                    laplace2d(9, 11),
                                    laplace3d(4, 5, 3),
                                    arrow(20),
                                    saddle_point(40, 12, 3, 5),
                                    random_symmetric(150, 4, 17, 0.1, 0.0, true),
                                    upper_from_dense(Dense(6))};
    for (const Named& o : kOrderings) {
        for (const Csr& a : cases) {
            SCOPED_TRACE(std::string(o.name) + " n = " + std::to_string(a.nr));
            const Result r = run(o.routine, a);
            // Only the reverse Cuthill-McKee routine postpones rows (the arrow's hub).
            const int nB = (o.routine == DSPDperm_rcm && a.nr == 20 && a.nnz() == 39) ? 19 : a.nr;
            expect_valid(r, a.nr, nB);
        }
    }
}

TEST(PermPlain, SpareBufferGivesTheSameOrder) {
    const Csr a = laplace2d(13, 9);
    for (const Named& o : kOrderings) {
        SCOPED_TRACE(o.name);
        Param with;
        with.give_iaux(10 * a.nnz() + 10 * a.nr);
        const Result r1 = run(o.routine, a, with);
        const Result r2 = run(o.routine, a);
        EXPECT_EQ(r1.p, r2.p);
        // Buffers grow once and are kept.
        const Result r3 = run(o.routine, a, with);
        EXPECT_EQ(r1.p, r3.p);
    }
}

TEST(PermPlain, FillOnGridLaplacians) {
    for (const Csr& a : {laplace2d(35, 35), laplace3d(11, 11, 11)}) {
        const long natural = cholesky_fill(a, identity(a.nr));
        std::vector<long> fills;
        for (const Named& o : kOrderings) {
            if (o.routine == DSPDperm_rcm) {
                continue;
            }
            const Result r = run(o.routine, a);
            ASSERT_EQ(r.status, 0);
            fills.push_back(cholesky_fill(a, r.p));
            RecordProperty(std::string(o.name) + "_fill_n" + std::to_string(a.nr),
                           std::to_string(fills.back()));
            EXPECT_LT(2 * fills.back(), natural) << o.name << " n = " << a.nr;
        }
        const long best  = *std::min_element(fills.begin(), fills.end());
        const long worst = *std::max_element(fills.begin(), fills.end());
        EXPECT_LE(2 * worst, 3 * best) << "n = " << a.nr;
    }
}

TEST(PermPlain, ExactFactorFillCountsTheFactorOfTheMinimumDegreeOrder) {
    std::vector<double> fills;
    for (Csr a : {laplace2d(35, 35), laplace3d(11, 11, 11)}) {
        const Result r = run(DGNLperm_amd, a);
        ASSERT_EQ(r.status, 0);
        const double exact =
            static_cast<double>(cholesky_fill(a, r.p) + a.nr) / static_cast<double>(a.nnz());
        SparseMatrix record = a.record();
        fills.push_back(exact_factor_fill(record));
        EXPECT_NEAR(fills.back(), exact, 1e-12 * exact) << "n = " << a.nr;
    }
    EXPECT_GT(fills[1], 2.0 * fills[0]);  // a 3D grid fills far more than a 2D one of its order
    // Nothing fills in a diagonal, a path or a dense matrix.
    Dense full(6);
    std::fill(full.v.begin(), full.v.end(), 1.0);
    for (Csr a : {laplace2d(1, 1), laplace2d(40, 1), upper_from_dense(full)}) {
        SparseMatrix record = a.record();
        EXPECT_DOUBLE_EQ(exact_factor_fill(record), 1.0) << "n = " << a.nr;
    }
}

TEST(PermPlain, RcmRecoversTheBandOfAScrambledBandedMatrix) {
    const int n = 400;
    Dense d(n);
    for (int i = 0; i < n; ++i) {
        d(i, i) = 10.0;
        for (int j = i + 1; j <= i + 2 && j < n; ++j) {
            d(i, j) = d(j, i) = -1.0;
        }
    }
    const Csr a = permute_upper(upper_from_dense(d), random_permutation(n, 3));
    ASSERT_GT(bandwidth(a, identity(n)), 50);
    const Result r = run(DSPDperm_rcm, a);
    expect_valid(r, n, n);
    EXPECT_LE(bandwidth(a, r.p), 4);
}

TEST(PermPlain, RcmPostponesTheHubOfAnArrow) {
    // deg = 20 for node 1 and 2 for the others, avg = 3.9, sigma = 4.048, T = 12.
    const Result r = run(DSPDperm_rcm, arrow(20));
    expect_valid(r, 20, 19);
    EXPECT_EQ(r.p[19], 1);
}

TEST(PermPlain, AmfBelowEightNodesIsTheIdentity) {
    for (int n : {1, 5, 7}) {
        const Result r = run(DGNLperm_amf, arrow(n));
        expect_valid(r, n, n);
        EXPECT_EQ(r.p, identity(n));
    }
    // From eight nodes on the kernel runs: the hub of the arrow is not first any more.
    const Result r = run(DGNLperm_amf, arrow(8));
    expect_valid(r, 8, 8);
    EXPECT_NE(r.p[0], 1);
}

TEST(PermPlain, NestedDissectionWithoutEdgesIsTheIdentity) {
    Dense d(9);
    for (int i = 0; i < 9; ++i) {
        d(i, i) = i + 1.0;
    }
    for (ReorderRoutine routine : {DGNLperm_metis_n, DGNLperm_metis_e}) {
        const Result r = run(routine, upper_from_dense(d));
        expect_valid(r, 9, 9);
        EXPECT_EQ(r.p, identity(9));
    }
}

TEST(PermPlain, NullOnlyScales) {
    Param param;
    param.rec.ifact[7] = 1;  // pass 1: scale rows
    param.rec.ifact[8] = 0;  // by their largest entry
    Csr a              = laplace2d(3, 3);
    std::vector<double> left(9, 1.0), right(9, 1.0);
    std::vector<int> p(9, -7), invq(9, -7);
    int nB = -7;
    EXPECT_EQ(DGNLperm_null(a.record(), left.data(), right.data(), p.data(), invq.data(), &nB,
                            &param.rec),
              0);
    EXPECT_EQ(nB, -7);
    EXPECT_EQ(p, std::vector<int>(9, -7));
    EXPECT_EQ(left[0], 0.25);  // row norm 4
    EXPECT_EQ(a.a[0], 1.0);
}

TEST(PermPlain, ZeroRowStopsBeforeAnyOrderIsWritten) {
    // Row 3 is empty: row scaling fails, -5 comes back, p and nB are untouched.
    Dense d(4);
    d(0, 0) = 2.0;
    d(1, 1) = 3.0;
    d(3, 3) = 4.0;
    d(0, 1) = d(1, 0)            = 1.0;
    const Csr a                  = upper_from_dense(d);
    const std::vector<Named> all = {{"null", DGNLperm_null}, {"amd", DGNLperm_amd},
                                    {"amf", DGNLperm_amf},   {"mmd", DGNLperm_mmd},
                                    {"e", DGNLperm_metis_e}, {"n", DGNLperm_metis_n},
                                    {"rcm", DSPDperm_rcm}};
    for (const Named& o : all) {
        Param param;
        param.rec.ifact[7] = 1;
        param.rec.ifact[8] = 0;
        testing::internal::CaptureStderr();
        const Result r        = run(o.routine, a, param);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.status, -5) << o.name;
        EXPECT_EQ(err, "ROWSCALE: a zero row...\n") << o.name;
        EXPECT_EQ(r.p, std::vector<int>(4, -7)) << o.name;
        EXPECT_EQ(r.nB, -1) << o.name;
    }
}

}  // namespace
