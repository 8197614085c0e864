// Tests of DSYMAMGsol1, the AMLI-like cycle: equal to the multilevel ILU with exact levels, the
// Richardson recursion (and so the visits of each level) against a dense model, the treatment of
// ncoarse <= 0, and the caller's positions outside the level.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/testing.h"
#include "level_producer.h"
#include "precond/precond.h"

namespace {

using trelvak::test::DenseModel;
using trelvak::test::LevelList;
using trelvak::test::PivotRule;
using trelvak::test::ProducerOptions;
using trelvak::test::rel_error;

std::vector<double> ramp(int n) {
    std::vector<double> b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        b[static_cast<size_t>(i)] = std::sin(1.0 + i);
    }
    return b;
}

// Work length of the AMLI-like cycle as the driver sizes it: N + 2 nn.
size_t amli_work(LevelList& list) {
    const long N = list.order();
    long nn = 0, s = 0;
    for (int l = 1; l <= list.nlev(); ++l) {
        s += list.level(l).rec.nB;
        nn += N - s;
    }
    return static_cast<size_t>(N + 2 * nn);
}

std::vector<double> apply(LevelList& list, ParameterRecord& param, const std::vector<double>& b,
                          int kind) {
    const int N             = list.order();
    std::vector<double> rhs = b, sol(static_cast<size_t>(N), 0.0);
    std::vector<double> dbuff(amli_work(list) + static_cast<size_t>(2 * N), 1e300);
    const auto slots = list.guarded_slots();
    param.ifact[10]  = kind;
    DSYMAMGsol(list.first(), &param, rhs.data(), sol.data(), dbuff.data());
    EXPECT_EQ(rhs, b);
    EXPECT_EQ(list.guarded_slots(), slots);
    return sol;
}

ProducerOptions options(std::vector<int> blocks, bool reduce, bool dense, std::uint64_t seed) {
    ProducerOptions o;
    o.block_sizes   = std::move(blocks);
    o.coarse_reduce = reduce;
    o.dense_last    = dense;
    o.pivots        = PivotRule::kPrefer2x2;
    o.seed          = seed;
    return o;
}

const auto kMatrix = [] { return trelvak::test::random_symmetric(24, 4, 17, 0.1); };

TEST(AmliCycle, ExactLevelsGiveTheMultilevelIluResult) {
    const auto b = ramp(24);
    for (const std::vector<int>& blocks :
         std::vector<std::vector<int>>{{24}, {10, 14}, {6, 6, 6, 6}}) {
        for (bool reduce : {true, false}) {
            for (bool dense : {false, true}) {
                if (dense && blocks.size() < 2) {
                    continue;
                }
                const ProducerOptions o = options(blocks, reduce, dense, 5);
                auto list               = produce_level_list(kMatrix(), o);
                auto param              = trelvak::test::make_parameters(o);
                const auto ilu          = apply(*list, *param, b, 0);
                for (int k : {1, 2, 3}) {
                    param->ifact[11] = k;
                    EXPECT_LT(rel_error(apply(*list, *param, b, 1), ilu), 1e-10)
                        << blocks.size() << " levels, reduce " << reduce << ", dense " << dense
                        << ", ncoarse " << k;
                }
            }
        }
    }
}

// With an inexact coarsest level (alt_diag = 0.5 D^-1) each Richardson step changes the result,
// so only the right number of visits per level reproduces the dense model.
TEST(AmliCycle, RichardsonStepsFollowNcoarseOnEveryLevel) {
    const auto b = ramp(24);
    for (bool dense : {false, true}) {
        for (bool marked_middle : {false, true}) {
            ProducerOptions o = options({8, 8, 8}, true, dense, 23);
            o.marked          = dense ? std::vector<int>{1} : std::vector<int>{3};
            if (marked_middle) {
                o.marked.push_back(2);
            }
            o.alt_scale = 0.5;
            auto list   = produce_level_list(kMatrix(), o);
            auto param  = trelvak::test::make_parameters(o);
            const DenseModel model(*list, o);
            std::vector<std::vector<double>> results;
            for (int k : {1, 2, 3}) {
                param->ifact[11] = k;
                const auto x     = apply(*list, *param, b, 1);
                EXPECT_LT(rel_error(x, model.amli(1, b, k)), 1e-10)
                    << "ncoarse " << k << (dense ? ", dense last" : "");
                results.push_back(x);
            }
            if (!dense || marked_middle) {  // some coarse operator is inexact
                EXPECT_GT(rel_error(results[0], results[1]), 1e-6);
            }
        }
    }
}

TEST(AmliCycle, NcoarseZeroOrNegativeActsAsOne) {
    const ProducerOptions base = options({8, 8, 8}, true, false, 29);
    ProducerOptions o          = base;
    o.marked                   = {3};
    o.alt_scale                = 0.25;
    auto list                  = produce_level_list(kMatrix(), o);
    auto param                 = trelvak::test::make_parameters(o);
    const auto b               = ramp(24);
    param->ifact[11]           = 1;
    const auto one             = apply(*list, *param, b, 1);
    for (int k : {0, -3}) {
        param->ifact[11] = k;
        EXPECT_EQ(apply(*list, *param, b, 1), one) << "ncoarse " << k;
    }
}

TEST(AmliCycle, DeeperLevelLeavesTheCallersPositionsAlone) {
    const ProducerOptions o = options({6, 8, 10}, true, false, 37);
    auto list               = produce_level_list(kMatrix(), o);
    auto param              = trelvak::test::make_parameters(o);
    param->ifact[11]        = 2;
    const int N             = 24;
    const int a             = 6;
    // The level's right-hand side is already scaled by its colscale.
    std::vector<double> g = ramp(N - a);
    std::vector<double> x(static_cast<size_t>(N), 0.0);
    for (int i = 0; i < a; ++i) {
        x[static_cast<size_t>(i)] = 1000.0 + i;
    }
    std::copy(g.begin(), g.end(), x.begin() + a);
    std::vector<double> work(amli_work(*list), 0.0);
    long nn = 0, s = 0;
    for (int l = 1; l <= 3; ++l) {
        s += list->level(l).rec.nB;
        nn += N - s;
    }
    DSYMAMGsol1(&list->level(2).rec, 2, N, static_cast<int>(nn), a, N - a, param.get(), x.data(),
                work.data());
    for (int i = 0; i < a; ++i) {
        EXPECT_EQ(x[static_cast<size_t>(i)], 1000.0 + i);
    }
    // Exact levels: the level's solution solves the level's own system.
    const std::vector<double> level_x(x.begin() + a, x.end());
    EXPECT_LT(rel_error(level_x, trelvak::test::solve(list->level(2).system, g)), 1e-10);
}

struct FatalStop {
    std::string message;
};

[[noreturn]] void throwing_handler(FatalChannel, const char* message) {
    throw FatalStop{message};
}

// The cycles restrict with the partial kernels when COARSE_REDUCE is clear; a converted factor
// there stops through the fatal handler as in the multilevel ILU, with every slot restored.
TEST(AmliCycle, MarkedLevelWithoutCoarseReduceStops) {
    for (int kind : {1, 2}) {
        ProducerOptions o           = options({8, 8, 8}, false, false, 47);
        o.marked                    = {2};
        auto list                   = produce_level_list(kMatrix(), o);
        auto param                  = trelvak::test::make_parameters(o);
        param->ifact[10]            = kind;
        param->ifact[12]            = 1;
        const auto slots            = list->guarded_slots();
        std::vector<double> rhs     = ramp(24), sol(24), dbuff(400);
        const FatalHandler previous = trelvak_set_fatal_handler(throwing_handler);
        try {
            DSYMAMGsol(list->first(), param.get(), rhs.data(), sol.data(), dbuff.data());
            ADD_FAILURE() << "no fatal stop in cycle kind " << kind;
        } catch (const FatalStop& stop) {
            EXPECT_EQ(stop.message,
                      "TRELVAK error: _SYMSPDAMGconvert requires that COARSE_REDUCE is set\n");
        }
        trelvak_set_fatal_handler(previous);
        EXPECT_EQ(list->guarded_slots(), slots);
    }
}

}  // namespace
