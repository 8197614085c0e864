// Tests of the reorderings with a fine/coarse splitting: DSYMperm_fc, DSYMperm_fcv and the
// plain orderings followed by a splitting.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

namespace {

using namespace trelvak::test;

struct Param {
    ParameterRecord rec{};
    std::vector<double> tv;
    explicit Param(int flags = 0, int norm = 5) {
        rec.ifact[7] = flags;
        rec.ifact[8] = norm;
        rec.condest  = 4.0;  // tau = 0.25
    }
    void give_testvector(std::vector<double> t) {
        tv              = std::move(t);
        rec.testvector  = tv.data();
        rec.ntestvector = static_cast<unsigned>(tv.size());
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

void expect_valid(const Result& r, int n) {
    ASSERT_EQ(r.status, 0);
    ASSERT_TRUE(is_permutation(r.p.data(), n));
    for (int i = 1; i <= n; ++i) {
        ASSERT_EQ(r.invq[r.p[i - 1] - 1], i);
    }
    ASSERT_GE(r.nB, 0);
    ASSERT_LE(r.nB, n);
}

struct Driver {
    const char* name;
    ReorderRoutine split;
    ReorderRoutine plain;
    bool weighted;
};

const std::vector<Driver> kDrivers = {{"rcm_fc", DSYMperm_rcm_fc, DSPDperm_rcm, false},
                                      {"amf_fc", DSYMperm_amf_fc, DGNLperm_amf, false},
                                      {"mmd_fc", DSYMperm_mmd_fc, DGNLperm_mmd, false},
                                      {"metis_e_fc", DSYMperm_metis_e_fc, DGNLperm_metis_e, false},
                                      {"metis_n_fc", DSYMperm_metis_n_fc, DGNLperm_metis_n, false},
                                      {"amd_fc", DSYMperm_amd_fc, DGNLperm_amd, false},
                                      {"rcm_fcv", DSYMperm_rcm_fcv, DSPDperm_rcm, true},
                                      {"amf_fcv", DSYMperm_amf_fcv, DGNLperm_amf, true},
                                      {"mmd_fcv", DSYMperm_mmd_fcv, DGNLperm_mmd, true},
                                      {"metis_e_fcv", DSYMperm_metis_e_fcv, DGNLperm_metis_e, true},
                                      {"metis_n_fcv", DSYMperm_metis_n_fcv, DGNLperm_metis_n, true},
                                      {"amd_fcv", DSYMperm_amd_fcv, DGNLperm_amd, true}};

std::vector<double> test_vector(int n) {
    std::vector<double> t(n);
    for (int i = 0; i < n; ++i) {
        t[i] = 1.0 + 0.25 * (i % 5);
    }
    return t;
}

// Expected result of a driver: the plain order, fine nodes of the splitting first.
std::vector<int> expected_order(const Driver& d, const Csr& a, const std::vector<double>& t) {
    Param plain_param;
    const Result plain = run(d.plain, a, plain_param);
    const int n        = a.nr;
    std::vector<int> pos(n), ibuff(7 * n + 3);
    std::vector<double> dbuff(3 * n);
    int nB   = 0;
    Csr copy = a;
    if (d.weighted) {
        DSYMindfcv(copy.record(), pos.data(), &nB, 0.25, ibuff.data(), dbuff.data(), t.data(), 1);
    } else {
        DSYMindfc(copy.record(), pos.data(), &nB, 0.25, ibuff.data(), dbuff.data());
    }
    std::vector<int> order;
    for (int pass = 0; pass < 2; ++pass) {
        for (int k = 0; k < n; ++k) {
            const int node = plain.p[k];
            if ((pos[node - 1] <= nB) == (pass == 0)) {
                order.push_back(node);
            }
        }
    }
    return order;
}

TEST(PermFc, DriversPutTheFineNodesFirstInTheirPlainOrder) {
    for (const Csr& a : {laplace2d(11, 9), laplace3d(4, 4, 5), random_symmetric(90, 4, 31)}) {
        for (const Driver& d : kDrivers) {
            SCOPED_TRACE(std::string(d.name) + " n = " + std::to_string(a.nr));
            Param param;
            param.give_testvector(test_vector(a.nr));
            const Result r = run(d.split, a, param);
            expect_valid(r, a.nr);
            EXPECT_EQ(r.p, expected_order(d, a, test_vector(a.nr)));
            EXPECT_LT(r.nB, a.nr);
            // The test vector comes back as it was.
            EXPECT_EQ(param.tv, test_vector(a.nr));
        }
    }
}

TEST(PermFc, DriversOnSmallAndStructuredMatrices) {
    const std::vector<Csr> cases = {Csr{}, laplace2d(1, 1), laplace2d(3, 1), arrow(20),
                                    saddle_point(25, 8, 3, 9)};
    for (const Csr& a : cases) {
        for (const Driver& d : kDrivers) {
            SCOPED_TRACE(std::string(d.name) + " n = " + std::to_string(a.nr));
            Param param;
            param.give_testvector(test_vector(a.nr));
            expect_valid(run(d.split, a, param), a.nr);
        }
        for (ReorderRoutine own : {DSYMperm_fc, DSYMperm_fcv}) {
            Param param;
            param.give_testvector(test_vector(a.nr));
            expect_valid(run(own, a, param), a.nr);
        }
    }
}

TEST(PermFc, DiagonalMatrixIsAllFine) {
    // Every off-diagonal sum (0) is below 0.75 |d(i)|, whatever the signs.
    Dense d(7);
    for (int i = 0; i < 7; ++i) {
        d(i, i) = (i % 2 == 0 ? 1.0 : -1.0) * (1.0 + i);
    }
    for (ReorderRoutine own : {DSYMperm_fc, DSYMperm_fcv}) {
        Param param;
        const Result r = run(own, upper_from_dense(d), param);
        expect_valid(r, 7);
        EXPECT_EQ(r.nB, 7);
        EXPECT_EQ(r.p, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
    }
}

TEST(PermFc, ZeroDiagonalWithCouplingGoesCoarse) {
    Dense d(4);
    d(0, 0) = 2.0;
    d(2, 2) = 2.0;
    d(3, 3) = 2.0;
    d(0, 1) = d(1, 0) = 1.0;  // row 2 has no diagonal
    Param param;
    const Result r = run(DSYMperm_fc, upper_from_dense(d), param);
    expect_valid(r, 4);
    EXPECT_EQ(r.nB, 3);
    EXPECT_EQ(r.p, (std::vector<int>{1, 3, 4, 2}));
}

TEST(PermFc, WeightedFormWithoutTestVectorFallsBackToThePlainSplitting) {
    const Csr a = laplace2d(8, 8);
    Param plain;
    Param none;  // no test vector given
    const Result r1 = run(DSYMperm_fc, a, plain);
    const Result r2 = run(DSYMperm_fcv, a, none);
    EXPECT_EQ(r1.p, r2.p);
    EXPECT_EQ(r1.nB, r2.nB);
}

TEST(PermFc, TestVectorRestoredAfterScaling) {
    // Symmetric scaling (norm code 4) makes right a vector of powers of two.
    Csr a = laplace2d(6, 6);
    for (double& v : a.a) {
        v *= 3.0;
    }
    Param param(0, 4);
    param.give_testvector(test_vector(36));
    const Result r = run(DSYMperm_amd_fcv, a, param);
    expect_valid(r, 36);
    EXPECT_EQ(param.tv, test_vector(36));
}

TEST(PermFc, ZeroRowStopsEveryDriver) {
    Dense d(3);
    d(0, 0)                         = 1.0;
    d(2, 2)                         = 1.0;
    const Csr a                     = upper_from_dense(d);
    std::vector<ReorderRoutine> all = {DSYMperm_fc, DSYMperm_fcv};
    for (const Driver& dr : kDrivers) {
        all.push_back(dr.split);
    }
    for (ReorderRoutine routine : all) {
        Param param(1, 0);
        testing::internal::CaptureStderr();
        const Result r = run(routine, a, param);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "ROWSCALE: a zero row...\n");
        EXPECT_EQ(r.status, -5);
        EXPECT_EQ(r.p, std::vector<int>(3, -7));
    }
}

}  // namespace
