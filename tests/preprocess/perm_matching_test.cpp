// Tests of the matching-based symmetric reorderings (the DSYMperm_matching_*
// family): every member on random indefinite matrices with zero and tiny
// diagonals, on matrices whose 2x2 pairs are forced, and on saddle-point
// systems; the small worked cases; the scaling bookkeeping; the spare-buffer
// paths; the zero-row failure.
#include <gtest/gtest.h>
#include <suitesparse/amd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"
#include "solver/alloc_testing.h"

namespace {

using trelvak::test::Csr;
using trelvak::test::Dense;

enum class Kind { plain, rcm, fc, sp };

struct MemberCase {
    const char* name;
    ReorderRoutine routine;
    Kind kind;
};

const std::vector<MemberCase>& members() {
    static const std::vector<MemberCase> all = {
        {"amd", DSYMperm_matching_amd, Kind::plain},
        {"amd_sp", DSYMperm_matching_amd_sp, Kind::sp},
        {"amd_fc", DSYMperm_matching_amd_fc, Kind::fc},
        {"amd_fcv", DSYMperm_matching_amd_fcv, Kind::fc},
        {"metis_n", DSYMperm_matching_metis_n, Kind::plain},
        {"metis_n_sp", DSYMperm_matching_metis_n_sp, Kind::sp},
        {"metis_n_fc", DSYMperm_matching_metis_n_fc, Kind::fc},
        {"metis_n_fcv", DSYMperm_matching_metis_n_fcv, Kind::fc},
        {"metis_e", DSYMperm_matching_metis_e, Kind::plain},
        {"metis_e_sp", DSYMperm_matching_metis_e_sp, Kind::sp},
        {"metis_e_fc", DSYMperm_matching_metis_e_fc, Kind::fc},
        {"metis_e_fcv", DSYMperm_matching_metis_e_fcv, Kind::fc},
        {"amf", DSYMperm_matching_amf, Kind::plain},
        {"amf_sp", DSYMperm_matching_amf_sp, Kind::sp},
        {"amf_fc", DSYMperm_matching_amf_fc, Kind::fc},
        {"amf_fcv", DSYMperm_matching_amf_fcv, Kind::fc},
        {"mmd", DSYMperm_matching_mmd, Kind::plain},
        {"mmd_sp", DSYMperm_matching_mmd_sp, Kind::sp},
        {"mmd_fc", DSYMperm_matching_mmd_fc, Kind::fc},
        {"mmd_fcv", DSYMperm_matching_mmd_fcv, Kind::fc},
        {"rcm", DSYMperm_matching_rcm, Kind::rcm},
        {"rcm_sp", DSYMperm_matching_rcm_sp, Kind::sp},
        {"rcm_fc", DSYMperm_matching_rcm_fc, Kind::fc},
        {"rcm_fcv", DSYMperm_matching_rcm_fcv, Kind::fc},
    };
    return all;
}

// One call of a member on a copy of a matrix, with a record of its own.
struct Call {
    Csr input;
    Csr A;  // scaled (and row-reordered) by the call
    ParameterRecord param{};
    std::vector<double> left, right;
    std::vector<int> p, invq, indicator, iaux;
    std::vector<double> testvector, daux;
    int nB     = -1;
    int status = 0;

    // norm_code: the scaling step's norm code of pass 1 (>= 5: no scaling; 4:
    // symmetric).
    explicit Call(const Csr& m, int norm_code = 5, int spare = 0) : input(m), A(m) {
        const int n = m.nr;
        std::memset(&param, 0, sizeof param);
        param.ifact[7] = 0;
        param.ifact[8] = norm_code;
        param.condest  = 5.0;
        left.assign(n, 1.0);
        right.assign(n, 1.0);
        p.assign(n, -7);
        invq.assign(n, -7);
        testvector.assign(n, 1.0);
        param.testvector  = testvector.data();
        param.ntestvector = static_cast<unsigned>(n);
        if (spare > 0) {  // spare buffers long enough for every slice
            iaux.assign(static_cast<size_t>(spare), 0);
            daux.assign(static_cast<size_t>(spare), 0.0);
            param.iaux  = iaux.data();
            param.niaux = spare;
            param.daux  = daux.data();
            param.ndaux = spare;
        }
    }
    ~Call() {
        std::free(param.ibuff);
        std::free(param.dbuff);
    }
    Call(const Call&)            = delete;
    Call& operator=(const Call&) = delete;

    void constraints(const std::vector<bool>& is_constraint) {
        indicator.assign(is_constraint.size(), 1);
        for (size_t i = 0; i < is_constraint.size(); ++i) {
            if (is_constraint[i]) {
                indicator[i] = -1;
            }
        }
        param.indicator  = indicator.data();
        param.nindicator = static_cast<int>(indicator.size());
    }
    int call(ReorderRoutine routine) {
        status = routine(A.record(), left.data(), right.data(), p.data(), invq.data(), &nB, &param);
        return status;
    }
    int n() const { return input.nr; }
};

// Entries (i, j), i <= j, 1-based, of an upper-triangle matrix.
std::map<std::pair<int, int>, double> entries(const Csr& m) {
    std::map<std::pair<int, int>, double> e;
    for (int i = 1; i <= m.nr; ++i) {
        for (int k = m.ia[i - 1]; k < m.ia[i]; ++k) {
            const int j                         = m.ja[k - 1];
            e[{std::min(i, j), std::max(i, j)}] = m.a[k - 1];
        }
    }
    return e;
}

bool power_of_two(double x) {
    int e = 0;
    return x > 0.0 && std::frexp(x, &e) == 0.5;
}

// p is a permutation and invq its inverse.
void expect_permutation(const Call& r) {
    ASSERT_TRUE(trelvak::test::is_permutation(r.p.data(), r.n()));
    for (int i = 1; i <= r.n(); ++i) {
        ASSERT_EQ(r.invq[r.p[i - 1] - 1], i);
    }
}

// The output matrix is D A D with D = diag(right) over the same entries (the
// order within rows may change); every factor is a power of two unless
// constraint rows were normalised.
void expect_scaled_consistently(const Call& r, bool powers) {
    const auto before = entries(r.input);
    const auto after  = entries(r.A);
    ASSERT_EQ(before.size(), after.size());
    for (const auto& [ij, value] : before) {
        const auto it = after.find(ij);
        ASSERT_NE(it, after.end());
        const double expected = r.right[ij.first - 1] * value * r.right[ij.second - 1];
        EXPECT_NEAR(it->second, expected, 1e-14 * std::fabs(expected));
    }
    for (int i = 0; i < r.n() && powers; ++i) {
        EXPECT_TRUE(power_of_two(r.right[i])) << "right(" << i + 1 << ") = " << r.right[i];
    }
}

// Largest magnitude of the full row of every node.
std::vector<double> row_maxima(const Csr& m) {
    std::vector<double> r(m.nr, 0.0);
    for (const auto& [ij, value] : entries(m)) {
        r[ij.first - 1]  = std::max(r[ij.first - 1], std::fabs(value));
        r[ij.second - 1] = std::max(r[ij.second - 1], std::fabs(value));
    }
    return r;
}

// A matrix whose matching is forced: `pairs` 2x2 blocks [0 b; b 0] and
// `singles` nodes with a dominant diagonal, coupled by entries far below the
// 0.01 threshold, then symmetrically permuted. partner[i] is the other member
// of i's pair, 0 for a single (1-based).
Csr forced_pairs(int pairs, int singles, std::uint64_t seed, std::vector<int>& partner) {
    const int n = 2 * pairs + singles;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> big(2.0, 8.0);
    std::uniform_int_distribution<int> node(0, n - 1);
    Dense d(n);
    for (int t = 0; t < pairs; ++t) {
        const double b      = big(rng);
        d(2 * t, 2 * t + 1) = b;
        d(2 * t + 1, 2 * t) = b;
    }
    for (int s = 2 * pairs; s < n; ++s) {
        d(s, s) = big(rng);
    }
    for (int k = 0; k < 3 * n; ++k) {
        const int i = node(rng);
        const int j = node(rng);
        if (i != j && d(i, j) == 0.0) {
            d(i, j) = d(j, i) = 1e-4;
        }
    }
    const std::vector<int> perm = trelvak::test::random_permutation(n, seed + 1);
    Dense q(n);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            q(i, j) = d(perm[i] - 1, perm[j] - 1);
        }
    }
    // New index of old node x is the position of x in perm.
    std::vector<int> where(n);
    for (int i = 0; i < n; ++i) {
        where[perm[i] - 1] = i + 1;
    }
    partner.assign(n, 0);
    for (int t = 0; t < pairs; ++t) {
        const int x    = where[2 * t];
        const int y    = where[2 * t + 1];
        partner[x - 1] = y;
        partner[y - 1] = x;
    }
    return trelvak::test::upper_from_dense(q);
}

// ---- Every member on random indefinite matrices
// ------------------------------------------------

struct RandomCase {
    int n;
    std::uint64_t seed;
    double zero_diagonal;
    double tiny_diagonal;
    bool keep_zeros;
    int norm_code;
};

TEST(MatchingReorderings, EveryMemberGivesAPermutationAndAConsistentScaling) {
    const RandomCase cases[] = {
        {1, 1, 0.0, 0.0, false, 5}, {2, 2, 0.5, 0.0, true, 5},    {9, 3, 0.3, 0.2, false, 5},
        {40, 4, 0.4, 0.2, true, 4}, {120, 5, 0.5, 0.1, false, 4}, {300, 6, 0.2, 0.2, true, 5},
    };
    for (const RandomCase& c : cases) {
        const Csr m = trelvak::test::random_symmetric(c.n, 4, c.seed, c.zero_diagonal,
                                                      c.tiny_diagonal, c.keep_zeros);
        for (const MemberCase& member : members()) {
            SCOPED_TRACE(std::string(member.name) + " n=" + std::to_string(c.n));
            Call r(m, c.norm_code);
            if (member.kind == Kind::sp && c.seed % 2 == 0) {  // odd seeds: no indicator
                std::vector<bool> con(c.n, false);
                for (int i = 0; i < c.n; i += 3) {
                    con[i] = true;
                }
                r.constraints(con);
            }
            ASSERT_EQ(r.call(member.routine), 0);
            expect_permutation(r);
            if (member.kind == Kind::plain || member.kind == Kind::sp) {
                EXPECT_EQ(r.nB, c.n);
            } else {
                EXPECT_GE(r.nB, 0);
                EXPECT_LE(r.nB, c.n);
            }
            if (c.norm_code >= 5) {
                expect_scaled_consistently(r, member.kind != Kind::sp);
            }
            // The dual scaling bounds every entry by 1 before rounding to powers of
            // two.
            for (const auto& [ij, value] : entries(r.A)) {
                EXPECT_LE(std::fabs(value), 2.0 + 1e-12);
            }
        }
    }
}

TEST(MatchingReorderings, EntriesLeftOutOfTheGraphStayBoundedAfterScaling) {
    // Magnitudes spread over twelve orders and many zero diagonals: the dual scaling alone bounds
    // only the entries of the graph of large entries; every scaled entry must stay within 2 and
    // no row be scaled down to nothing.
    for (std::uint64_t seed = 101; seed < 111; ++seed) {
        Csr m = trelvak::test::random_symmetric(60, 4, seed, 0.5, 0.0, false);
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> exponent(-6.0, 6.0);
        for (double& x : m.a) {
            x *= std::pow(10.0, exponent(rng));
        }
        for (const MemberCase& member : members()) {
            SCOPED_TRACE(std::string(member.name) + " seed=" + std::to_string(seed));
            Call r(m);
            ASSERT_EQ(r.call(member.routine), 0);
            for (const auto& [ij, value] : entries(r.A)) {
                ASSERT_LE(std::fabs(value), 2.0) << ij.first << "," << ij.second;
            }
            if (member.kind != Kind::sp) {  // and not scaled down to nothing either
                for (double rmax : row_maxima(r.A)) {
                    EXPECT_GE(rmax, 0.1);
                }
                expect_scaled_consistently(r, true);
            }
        }
    }
}

TEST(MatchingReorderings, RightHoldsTheScalingStepFactorsTimesTheMatchingScaling) {
    const Csr m = trelvak::test::random_symmetric(60, 4, 11, 0.3, 0.1, false);
    // The scaling step alone (symmetric scaling, norm code 4).
    Csr alone = m;
    std::vector<double> l0(60, 1.0), r0(60, 1.0);
    ParameterRecord p0{};
    std::memset(&p0, 0, sizeof p0);
    p0.ifact[8] = 4;
    ASSERT_EQ(scaling_step(alone.record(), l0.data(), r0.data(), &p0, "test:dbuff"), 0);
    std::free(p0.dbuff);
    for (const MemberCase& member : members()) {
        if (member.kind == Kind::sp) {
            continue;
        }
        SCOPED_TRACE(member.name);
        Call r(m, 4);
        ASSERT_EQ(r.call(member.routine), 0);
        for (int i = 0; i < 60; ++i) {
            EXPECT_TRUE(power_of_two(r.right[i] / r0[i]));
            EXPECT_EQ(r.left[i], 1.0);
        }
        // The output is S (scaling-step matrix) S with S = right / r0.
        r.input                   = alone;
        std::vector<double> saved = r.right;
        for (int i = 0; i < 60; ++i) {
            r.right[i] = saved[i] / r0[i];
        }
        expect_scaled_consistently(r, true);
    }
}

// ---- Pairs
// ------------------------------------------------------------------------------------

TEST(MatchingReorderings, ForcedPairsStayAdjacentAndMatchedEntriesAreAboutOne) {
    for (std::uint64_t seed : {21u, 22u, 23u}) {
        std::vector<int> partner;
        const Csr m = forced_pairs(25, 14, seed, partner);
        for (const MemberCase& member : members()) {
            if (member.kind == Kind::sp) {
                continue;
            }
            SCOPED_TRACE(std::string(member.name) + " seed=" + std::to_string(seed));
            Call r(m);
            ASSERT_EQ(r.call(member.routine), 0);
            expect_permutation(r);
            const auto e = entries(r.A);
            for (int i = 1; i <= r.n(); ++i) {
                const int j = partner[i - 1];
                if (j == 0) {
                    const double d = std::fabs(e.at({i, i}));
                    EXPECT_TRUE(d >= 0.5 && d <= 2.0) << "diagonal " << i << ": " << d;
                    continue;
                }
                EXPECT_EQ(std::abs(r.invq[i - 1] - r.invq[j - 1]), 1) << i << " and " << j;
                const double b = std::fabs(e.at({std::min(i, j), std::max(i, j)}));
                EXPECT_TRUE(b >= 0.5 && b <= 2.0) << "pair entry " << i << "," << j << ": " << b;
            }
            // The plain members keep each pair larger index first.
            if (member.kind == Kind::plain) {
                for (int pos = 1; pos < r.n(); ++pos) {
                    const int x = r.p[pos - 1];
                    if (partner[x - 1] == r.p[pos]) {
                        EXPECT_GT(x, r.p[pos]);
                        ++pos;
                    }
                }
            }
        }
    }
}

TEST(MatchingReorderings, TwoByTwoZeroDiagonalKeepsThePairLargerIndexFirst) {
    Dense d(2);
    d(0, 1) = d(1, 0) = 3.0;
    const Csr m       = trelvak::test::upper_from_dense(d, true);
    for (const MemberCase& member : members()) {
        if (member.kind == Kind::sp) {
            continue;
        }
        SCOPED_TRACE(member.name);
        Call r(m);
        ASSERT_EQ(r.call(member.routine), 0);
        if (member.kind != Kind::fc) {
            EXPECT_EQ(r.p, (std::vector<int>{2, 1}));
            EXPECT_EQ(r.invq, (std::vector<int>{2, 1}));
            EXPECT_EQ(r.nB, 2);
        }
        expect_permutation(r);
        EXPECT_EQ(std::abs(r.invq[0] - r.invq[1]), 1);
    }
}

// ---- Worked cases
// ------------------------------------------------------------------------------

TEST(MatchingReorderings, DiagonalMatrixIsOrderedAsItsPattern) {
    Dense d(12);
    for (int i = 0; i < 12; ++i) {
        d(i, i) = (i % 2 ? -1.0 : 1.0) * (1.0 + i);
    }
    const Csr m = trelvak::test::upper_from_dense(d);
    for (const MemberCase& member : members()) {
        SCOPED_TRACE(member.name);
        Call r(m);
        ASSERT_EQ(r.call(member.routine), 0);
        expect_permutation(r);
        EXPECT_EQ(r.nB, 12);
        // No edges: the orderings that skip edgeless graphs return the identity.
        std::vector<int> identity(12);
        std::iota(identity.begin(), identity.end(), 1);
        if (std::string(member.name).rfind("metis", 0) == 0 ||
            std::string(member.name).rfind("amd", 0) == 0) {
            EXPECT_EQ(r.p, identity);
        }
        // Every diagonal entry is scaled to magnitude 1 up to the rounding to
        // powers of two.
        for (const auto& [ij, value] : entries(r.A)) {
            EXPECT_GE(std::fabs(value), 0.5);
            EXPECT_LE(std::fabs(value), 2.0);
        }
    }
}

TEST(MatchingReorderings, DominantDiagonalGivesTheMinimumDegreeOrderOfThePattern) {
    // Every node is matched with itself, so the compressed pattern is the pattern
    // of A.
    const Csr m = trelvak::test::laplace2d(9, 7);
    Call r(m);
    ASSERT_EQ(r.call(DSYMperm_matching_amd), 0);
    Csr pattern = m;
    for (int& i : pattern.ia) {
        --i;
    }
    for (int& j : pattern.ja) {
        --j;
    }
    std::vector<int> order(m.nr);
    double control[AMD_CONTROL];
    amd_defaults(control);
    ASSERT_GE(amd_order(m.nr, pattern.ia.data(), pattern.ja.data(), order.data(), control, nullptr),
              AMD_OK);
    for (int k = 0; k < m.nr; ++k) {
        EXPECT_EQ(r.p[k], order[k] + 1);
    }
}

TEST(MatchingReorderings, SmallEntriesStayInTheScaledMatrix) {
    // Entry (1,3) = 0.005 * min(row maxima) is left out of the graph but not out
    // of A.
    Dense d(3);
    d(0, 0) = 2.0;
    d(1, 1) = 2.0;
    d(2, 2) = 2.0;
    d(0, 1) = d(1, 0) = 1.0;
    d(0, 2) = d(2, 0) = 0.01;
    const Csr m       = trelvak::test::upper_from_dense(d);
    for (const MemberCase& member : members()) {
        if (member.kind == Kind::sp) {
            continue;
        }
        SCOPED_TRACE(member.name);
        Call r(m);
        ASSERT_EQ(r.call(member.routine), 0);
        const auto e = entries(r.A);
        ASSERT_EQ(e.size(), 5u);
        EXPECT_DOUBLE_EQ(e.at({1, 3}), r.right[0] * 0.01 * r.right[2]);
    }
}

TEST(MatchingReorderings, AllFineSplittingLeavesTheOrderUnchanged) {
    // Diagonal matrix: every unit is fine at once, so _fc/_fcv keep the order of
    // the plain member.
    Dense d(10);
    for (int i = 0; i < 10; ++i) {
        d(i, i) = 3.0 + i;
    }
    const Csr m                                             = trelvak::test::upper_from_dense(d);
    const std::pair<ReorderRoutine, ReorderRoutine> pairs[] = {
        {DSYMperm_matching_amd, DSYMperm_matching_amd_fc},
        {DSYMperm_matching_amd, DSYMperm_matching_amd_fcv},
        {DSYMperm_matching_rcm, DSYMperm_matching_rcm_fc},
        {DSYMperm_matching_mmd, DSYMperm_matching_mmd_fcv},
    };
    for (const auto& [plain, split] : pairs) {
        Call a(m);
        Call b(m);
        ASSERT_EQ(a.call(plain), 0);
        ASSERT_EQ(b.call(split), 0);
        EXPECT_EQ(b.nB, 10);
        EXPECT_EQ(a.p, b.p);
    }
}

TEST(MatchingReorderings, FineCoarseMembersSplitThePlainOrderStably) {
    // The fine block and the coarse block each keep the order of the plain member.
    const Csr m = trelvak::test::random_symmetric(80, 5, 31, 0.2, 0.1, false);
    const std::pair<ReorderRoutine, ReorderRoutine> pairs[] = {
        {DSYMperm_matching_amd, DSYMperm_matching_amd_fc},
        {DSYMperm_matching_amd, DSYMperm_matching_amd_fcv},
        {DSYMperm_matching_metis_n, DSYMperm_matching_metis_n_fc},
        {DSYMperm_matching_metis_e, DSYMperm_matching_metis_e_fcv},
        {DSYMperm_matching_amf, DSYMperm_matching_amf_fc},
        {DSYMperm_matching_mmd, DSYMperm_matching_mmd_fcv},
        {DSYMperm_matching_rcm, DSYMperm_matching_rcm_fc},
    };
    int split = 0;
    for (const auto& [plain, fine_coarse] : pairs) {
        Call a(m);
        Call b(m);
        std::vector<double> tv(80);
        for (int i = 0; i < 80; ++i) {
            tv[i] = b.testvector[i] = 1.0 + 0.01 * i;
        }
        ASSERT_EQ(a.call(plain), 0);
        ASSERT_EQ(b.call(fine_coarse), 0);
        expect_permutation(b);
        EXPECT_EQ(b.testvector, tv);  // handed back as it was
        std::vector<int> rank(81);
        for (int i = 0; i < 80; ++i) {
            rank[a.p[i]] = i;
        }
        for (int i = 1; i < 80; ++i) {
            if (i != b.nB) {
                EXPECT_LT(rank[b.p[i - 1]], rank[b.p[i]]) << "position " << i;
            }
        }
        split += b.nB > 0 && b.nB < 80;
        if (fine_coarse == DSYMperm_matching_amd_fcv || fine_coarse == DSYMperm_matching_mmd_fcv ||
            fine_coarse == DSYMperm_matching_metis_e_fcv) {
            continue;
        }
        // The splitting of the plain member's output, fine positions moved to the front.
        std::vector<int> ibuff(9 * 80 + 3);
        std::vector<double> dbuff(6 * 80);
        int nB = a.nB;
        DSYMpindfc(a.A.record(), a.p.data(), a.invq.data(), &nB, 1.0 / 5.0, ibuff.data(),
                   dbuff.data());
        std::vector<int> expected;
        for (int fine : {1, 0}) {
            for (int i = 0; i < 80; ++i) {
                if ((ibuff[i] <= nB) == (fine == 1)) {
                    expected.push_back(a.p[i]);
                }
            }
        }
        EXPECT_EQ(b.nB, nB);
        EXPECT_EQ(b.p, expected);
    }
    EXPECT_GT(split, 0);  // the matrix does split
}

TEST(MatchingReorderings, ReverseCuthillMcKeePostponesDenseNodes) {
    // An arrow matrix: node 1 is coupled to all others and goes to the end; nB =
    // n - 1.
    const Csr m = trelvak::test::arrow(30, 4.0, 1.0);
    Call r(m);
    ASSERT_EQ(r.call(DSYMperm_matching_rcm), 0);
    expect_permutation(r);
    EXPECT_EQ(r.p.back(), 1);
    EXPECT_EQ(r.nB, 29);
}

// ---- Saddle-point members
// ----------------------------------------------------------------------

TEST(MatchingReorderings, ConstraintNodesFollowAnUnconstrainedNeighbourOrComeLast) {
    for (std::uint64_t seed : {41u, 42u}) {
        const int nu = 60;
        const int np = 25;
        const Csr m  = trelvak::test::saddle_point(nu, np, 3, seed);
        std::set<std::pair<int, int>> adjacent;
        for (const auto& [ij, value] : entries(m)) {
            adjacent.insert(ij);
            adjacent.insert({ij.second, ij.first});
        }
        std::vector<bool> con(nu + np, false);
        for (int i = nu; i < nu + np; ++i) {
            con[i] = true;
        }
        for (const MemberCase& member : members()) {
            if (member.kind != Kind::sp) {
                continue;
            }
            SCOPED_TRACE(std::string(member.name) + " seed=" + std::to_string(seed));
            Call r(m);
            r.constraints(con);
            ASSERT_EQ(r.call(member.routine), 0);
            expect_permutation(r);
            EXPECT_EQ(r.nB, nu + np);
            // Trailing block: constraint nodes in increasing order.
            int tail = nu + np;
            while (tail > 0 && con[r.p[tail - 1] - 1] &&
                   (tail == nu + np || r.p[tail - 1] < r.p[tail])) {
                --tail;
            }
            int placed = 0;
            for (int pos = 1; pos <= tail; ++pos) {
                const int c = r.p[pos - 1];
                if (!con[c - 1]) {
                    continue;
                }
                ASSERT_GT(pos, 1);
                const int u = r.p[pos - 2];
                EXPECT_FALSE(con[u - 1]) << "constraint " << c << " behind constraint " << u;
                EXPECT_TRUE(adjacent.count({u, c})) << c << " behind non-neighbour " << u;
                ++placed;
            }
            EXPECT_GT(placed, np / 2);
            // Every constraint row is normalised to largest magnitude 1.
            const std::vector<double> rmax = row_maxima(r.A);
            for (int i = nu; i < nu + np; ++i) {
                EXPECT_DOUBLE_EQ(rmax[i], 1.0);
            }
            expect_scaled_consistently(r, false);
        }
    }
}

// ---- Buffers and failures
// ----------------------------------------------------------------------

TEST(MatchingReorderings, SpareBuffersGiveTheSameResult) {
    const Csr m = trelvak::test::saddle_point(40, 15, 3, 61);
    std::vector<bool> con(55, false);
    for (int i = 40; i < 55; ++i) {
        con[i] = true;
    }
    for (const MemberCase& member : members()) {
        SCOPED_TRACE(member.name);
        Call without(m);
        Call with(m, 5, 20000);
        without.constraints(con);
        with.constraints(con);
        ASSERT_EQ(without.call(member.routine), 0);
        ASSERT_EQ(with.call(member.routine), 0);
        EXPECT_EQ(without.p, with.p);
        EXPECT_EQ(without.nB, with.nB);
        EXPECT_EQ(without.right, with.right);
    }
}

TEST(MatchingReorderings, ZeroRowReturnsMinusFiveAndWritesNoPermutation) {
    // Row 2 is empty; the symmetric scaling of the scaling step fails.
    Dense d(3);
    d(0, 0) = 1.0;
    d(2, 2) = 1.0;
    d(0, 2) = d(2, 0) = 0.5;
    const Csr m       = trelvak::test::upper_from_dense(d);
    for (const MemberCase& member : members()) {
        SCOPED_TRACE(member.name);
        Call r(m, 4);
        r.constraints({false, false, true});
        testing::internal::CaptureStderr();
        EXPECT_EQ(r.call(member.routine), -5);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "SYMSCALE: a zero row/column...\n");
        EXPECT_EQ(r.p, (std::vector<int>{-7, -7, -7}));
        EXPECT_EQ(r.invq, (std::vector<int>{-7, -7, -7}));
        EXPECT_EQ(r.nB, -1);
    }
}

TEST(MatchingReorderings, ZeroRowWithoutScalingIsAnOrdinaryNode) {
    // Without a scaling step nothing stops an empty row; it stays a 1x1 node with factor 1.
    Dense d(4);
    d(0, 0) = 1.0;
    d(3, 3) = 2.0;
    d(0, 3) = d(3, 0) = 0.5;
    d(1, 2) = d(2, 1) = 3.0;
    d(1, 1)           = 0.0;
    const Csr m       = trelvak::test::upper_from_dense(d);
    Dense e(4);
    e(0, 0)         = 1.0;
    e(3, 3)         = 2.0;
    const Csr empty = trelvak::test::upper_from_dense(e);  // rows 2 and 3 empty
    for (const Csr* input : {&m, &empty}) {
        for (const MemberCase& member : members()) {
            SCOPED_TRACE(member.name);
            Call r(*input);
            r.constraints({false, false, false, true});
            ASSERT_EQ(r.call(member.routine), 0);
            expect_permutation(r);
            for (double f : r.right) {
                EXPECT_TRUE(std::isfinite(f) && f > 0.0);
            }
        }
    }
}

TEST(MatchingReorderings, ShortTestVectorIsNotRead) {
    const Csr m = trelvak::test::random_symmetric(40, 4, 81, 0.2, 0.0, false);
    Call r(m);
    std::vector<double> short_tv(10, 2.0);
    r.param.testvector  = short_tv.data();
    r.param.ntestvector = 10;
    ASSERT_EQ(r.call(DSYMperm_matching_amd_fcv), 0);
    expect_permutation(r);
    EXPECT_EQ(short_tv, std::vector<double>(10, 2.0));
}

struct Fatal : std::runtime_error {
    using std::runtime_error::runtime_error;
};
[[noreturn]] void throwing_handler(FatalChannel, const char* message) {
    throw Fatal(message);
}

TEST(MatchingReorderings, FailedAllocationStopsWithItsTagAndLosesNothing) {
    // The k-th allocation fails; the fatal stop (a throw here, a host error in Octave) must free
    // every work block (checked by the sanitizer build) and leave the record usable.
    const Csr m = trelvak::test::saddle_point(30, 12, 3, 91);
    std::vector<bool> con(42, false);
    for (int i = 30; i < 42; ++i) {
        con[i] = true;
    }
    const FatalHandler previous = trelvak_set_fatal_handler(throwing_handler);
    for (ReorderRoutine routine : {DSYMperm_matching_amf_fc, DSYMperm_matching_metis_n_sp}) {
        int stops = 0;
        for (long k = 1; k <= 30; ++k) {
            Call r(m);
            r.constraints(con);
            trelvak::testing::fail_allocation(k);
            try {
                r.call(routine);
            } catch (const Fatal& e) {
                ++stops;
                EXPECT_NE(std::string(e.what()).find("Mem. alloc. ERROR in "), std::string::npos);
            }
            trelvak::testing::fail_allocation(0);
            EXPECT_EQ(r.call(routine), 0) << "after failing allocation " << k;
            expect_permutation(r);
        }
        EXPECT_GT(stops, 3);
    }
    trelvak_set_fatal_handler(previous);
}

}  // namespace
