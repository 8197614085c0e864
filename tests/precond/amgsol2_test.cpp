// Tests of DSYMAMGsol2, the multigrid cycle: the plain coarse correction (ns = 0, k = 1) equals
// the AMLI-like cycle, every smoother kind against a dense solve of its splitting (through the
// whole cycle, with an inexact coarse level so the smoothing shows), rows without a diagonal and
// pairs without coupling, the ILU smoother check, and the defined result for ns, k <= 0.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/testing.h"
#include "level_producer.h"
#include "precond/precond.h"

namespace {

using trelvak::test::Csr;
using trelvak::test::DenseModel;
using trelvak::test::LevelList;
using trelvak::test::PivotRule;
using trelvak::test::ProducerOptions;
using trelvak::test::rel_error;

std::vector<double> wave(int n) {
    std::vector<double> b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        b[static_cast<size_t>(i)] = std::cos(0.7 * i) + 0.1 * i;
    }
    return b;
}

// Work length of the multigrid cycle as the driver sizes it: 2N + 2 nn, nn = N + sum (N - S_l).
size_t mg_work(LevelList& list) {
    const long N = list.order();
    long nn = N, s = 0;
    for (int l = 1; l <= list.nlev(); ++l) {
        s += list.level(l).rec.nB;
        nn += N - s;
    }
    return static_cast<size_t>(2 * N + 2 * nn);
}

struct Cycle {
    int kind       = 1;
    int ns         = 1;
    int k          = 1;
    double damping = 0.7;
};

std::vector<double> run(LevelList& list, ParameterRecord& param, const std::vector<double>& b,
                        const Cycle& c, int cycle_kind = 2) {
    const int N             = list.order();
    std::vector<double> rhs = b, sol(static_cast<size_t>(N), 0.0);
    std::vector<double> dbuff(mg_work(list), 1e300);
    const auto slots = list.guarded_slots();
    param.ifact[10]  = cycle_kind;
    param.ifact[11]  = c.k;
    param.ifact[12]  = c.ns;
    param.ifact[13]  = c.ns;
    param.ifact[14]  = c.kind;
    param.damping    = c.damping;
    DSYMAMGsol(list.first(), &param, rhs.data(), sol.data(), dbuff.data());
    EXPECT_EQ(rhs, b);
    EXPECT_EQ(list.guarded_slots(), slots);
    return sol;
}

// A list whose coarsest level is inexact (alt_diag = 0.5 D^-1): no coarse correction is exact,
// so the smoothing steps change the result.
ProducerOptions inexact(std::vector<int> blocks, bool dense, std::uint64_t seed) {
    ProducerOptions o;
    o.block_sizes = std::move(blocks);
    o.dense_last  = dense;
    o.pivots      = PivotRule::kPrefer2x2;
    o.seed        = seed;
    o.marked      = {dense ? 1 : static_cast<int>(o.block_sizes.size())};
    if (dense) {
        o.marked.push_back(2);
    }
    o.alt_scale = 0.5;
    return o;
}

const auto kMatrix = [] { return trelvak::test::random_symmetric(24, 4, 53, 0.0, 0.0); };

// Diagonally heavier matrix for the smoothers (keeps the sweeps' blocks well conditioned).
Csr smoother_matrix() {
    Csr A = trelvak::test::random_symmetric(24, 3, 61, 0.0, 0.0);
    for (int i = 1; i <= A.nr; ++i) {
        for (int k = A.ia[static_cast<size_t>(i - 1)]; k < A.ia[static_cast<size_t>(i)]; ++k) {
            if (A.ja[static_cast<size_t>(k - 1)] == i) {
                A.a[static_cast<size_t>(k - 1)] += A.a[static_cast<size_t>(k - 1)] > 0 ? 4.0 : -4.0;
            }
        }
    }
    return A;
}

TEST(MultigridCycle, PlainCoarseCorrectionEqualsAmliWithOneStep) {
    for (bool dense : {false, true}) {
        for (bool reduce : {true, false}) {
            ProducerOptions o = inexact({8, 8, 8}, dense, 3);
            o.coarse_reduce   = reduce;
            if (!reduce) {
                o.marked = {};  // marks need COARSE_REDUCE; the levels stay exact
            }
            auto list    = produce_level_list(kMatrix(), o);
            auto param   = trelvak::test::make_parameters(o);
            const auto b = wave(24);
            Cycle plain;
            plain.ns        = 0;
            plain.k         = 1;
            const auto mg   = run(*list, *param, b, plain, 2);
            const auto amli = run(*list, *param, b, plain, 1);
            EXPECT_LT(rel_error(mg, amli), 1e-12) << "dense " << dense << ", reduce " << reduce;
        }
    }
}

TEST(MultigridCycle, EverySmootherKindMatchesItsDenseSplitting) {
    const auto b = wave(24);
    for (bool dense : {false, true}) {
        const ProducerOptions o = inexact({10, 6, 8}, dense, 7);
        auto list               = produce_level_list(smoother_matrix(), o);
        auto param              = trelvak::test::make_parameters(o);
        const DenseModel model(*list, o);
        for (int kind : {1, 2, 3, 4, 5, 0}) {
            for (int ns : {1, 2}) {
                for (int k : {1, 2}) {
                    Cycle c;
                    c.kind       = kind;
                    c.ns         = ns;
                    c.k          = k;
                    const auto x = run(*list, *param, b, c);
                    EXPECT_LT(rel_error(x, model.mg(1, b, kind, ns, k, c.damping)), 1e-10)
                        << "kind " << kind << ", ns " << ns << ", k " << k << ", dense " << dense;
                }
            }
        }
    }
}

TEST(MultigridCycle, ForwardAndBackwardSweepsAreOrderedAndDiffer) {
    const ProducerOptions o = inexact({12, 12}, false, 11);
    auto list               = produce_level_list(smoother_matrix(), o);
    auto param              = trelvak::test::make_parameters(o);
    const auto b            = wave(24);
    Cycle gsf, gsb, none;
    gsf.kind      = 1;
    gsb.kind      = 2;
    none.kind     = 5;
    const auto xf = run(*list, *param, b, gsf);
    const auto xb = run(*list, *param, b, gsb);
    const auto xn = run(*list, *param, b, none);
    EXPECT_GT(rel_error(xf, xb), 1e-6);
    EXPECT_GT(rel_error(xf, xn), 1e-6);
    // Kind 5 adds the residual itself: with ns = 1 its result is g + C(g - A g) + (r - A c).
    const DenseModel model(*list, o);
    EXPECT_LT(rel_error(xn, model.mg(1, b, 5, 1, 1, 1.0)), 1e-10);
}

// Level 1's system record with one row lacking its diagonal and a 2x2 pair (of pivot_blocks)
// whose rows hold no coupling: the sweeps divide by 1.0 and solve the pair as two 1x1 blocks.
TEST(MultigridCycle, MissingDiagonalAndUncoupledPair) {
    ProducerOptions o = inexact({12, 12}, false, 19);
    auto list         = produce_level_list(smoother_matrix(), o);
    auto param        = trelvak::test::make_parameters(o);
    auto& l1          = list->level(1);
    const int* perm   = l1.rec.perm;
    // Pair permuted positions 1 and 2 and remove their coupling; drop the diagonal of position 5.
    const int u = perm[0], v = perm[1], w = perm[4];
    Csr& A = l1.A;
    Csr edited;
    edited.nr = edited.nc = A.nr;
    for (int i = 1; i <= A.nr; ++i) {
        for (int k = A.ia[static_cast<size_t>(i - 1)]; k < A.ia[static_cast<size_t>(i)]; ++k) {
            const int j         = A.ja[static_cast<size_t>(k - 1)];
            const bool coupling = (i == std::min(u, v) && j == std::max(u, v));
            if (coupling || (i == w && j == w)) {
                continue;
            }
            edited.ja.push_back(j);
            edited.a.push_back(A.a[static_cast<size_t>(k - 1)]);
        }
        edited.ia.push_back(static_cast<int>(edited.ja.size()) + 1);
    }
    A        = edited;
    l1.rec.A = A.record();
    l1.pivot_blocks.assign(l1.pivot_blocks.size(), -1);
    l1.pivot_blocks[0] = l1.pivot_blocks[1] = 2;
    const DenseModel model(*list, o);
    const auto b = wave(24);
    for (int kind : {1, 2, 3}) {
        Cycle c;
        c.kind = kind;
        EXPECT_LT(rel_error(run(*list, *param, b, c), model.mg(1, b, kind, 1, 1, c.damping)), 1e-10)
            << "kind " << kind;
    }
}

TEST(MultigridCycle, IluSmootherWithoutCoarseReduceReportsAndReturnsTheInput) {
    ProducerOptions o;
    o.block_sizes   = {12, 12};
    o.coarse_reduce = false;
    auto list       = produce_level_list(kMatrix(), o);
    auto param      = trelvak::test::make_parameters(o);
    const auto b    = wave(24);
    Cycle c;
    c.kind = 4;
    for (int call = 0; call < 2; ++call) {
        testing::internal::CaptureStdout();
        const auto x = run(*list, *param, b, c);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Error! Multigrid AMG solver. For ILU smoother option the switch "
                  "`COARSE_REDUCE' must be set before factorizing the matrix\n");
        EXPECT_EQ(x, b);
    }
}

TEST(MultigridCycle, NoSmoothingAndNoCoarseStepMakesOneCoarseCorrection) {
    const ProducerOptions o = inexact({8, 8, 8}, false, 31);
    auto list               = produce_level_list(kMatrix(), o);
    auto param              = trelvak::test::make_parameters(o);
    const auto b            = wave(24);
    Cycle one;
    one.ns         = 0;
    one.k          = 1;
    const auto ref = run(*list, *param, b, one);
    for (int k : {0, -1}) {
        Cycle c;
        c.ns = 0;
        c.k  = k;
        EXPECT_EQ(run(*list, *param, b, c), ref) << "k " << k;
    }
    // Smoothing without coarse steps is defined as it stands: the smoothers alone.
    const DenseModel model(*list, o);
    Cycle smooth_only;
    smooth_only.k = 0;
    EXPECT_LT(rel_error(run(*list, *param, b, smooth_only), model.mg(1, b, 1, 1, 0, 0.7)), 1e-10);
}

TEST(MultigridCycle, IluSmootherOnAConvertedLevelKeepsItsMark) {
    ProducerOptions o = inexact({12, 12}, false, 43);
    o.marked          = {1, 2};
    auto list         = produce_level_list(smoother_matrix(), o);
    auto param        = trelvak::test::make_parameters(o);
    const DenseModel model(*list, o);
    const auto b = wave(24);
    Cycle c;
    c.kind = 4;
    EXPECT_LT(rel_error(run(*list, *param, b, c), model.mg(1, b, 4, 1, 1, 0.7)), 1e-10);
    EXPECT_LT(list->level(1).rec.factor_index[0], 0);
}

}  // namespace
