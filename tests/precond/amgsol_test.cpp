// Tests of DSYMAMGsol (multilevel ILU application) and of the test producer and level checker it
// relies on: exactness with exact level factors, converted levels, the dense last level, the
// dispatch, the fatal stop and the restoration of the patched slots.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/level_check.h"
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

std::vector<double> ramp(int n) {
    std::vector<double> b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        b[static_cast<size_t>(i)] = 1.0 + 0.25 * i * (i % 3 == 0 ? -1.0 : 1.0);
    }
    return b;
}

// Applies DSYMAMGsol once and checks that rhs and the guarded slots come back unchanged.
std::vector<double> apply(LevelList& list, ParameterRecord& param, const std::vector<double>& b,
                          size_t work = 0) {
    const int N             = list.order();
    std::vector<double> rhs = b, sol(static_cast<size_t>(N), -99.0);
    std::vector<double> dbuff(std::max<size_t>(work, 2 * static_cast<size_t>(N)), 1e300);
    const std::vector<int> slots = list.guarded_slots();
    DSYMAMGsol(list.first(), &param, rhs.data(), sol.data(), dbuff.data());
    EXPECT_EQ(rhs, b) << "the right-hand side changed";
    EXPECT_EQ(list.guarded_slots(), slots) << "I(1) or I(m+1) not restored";
    return sol;
}

struct Shape {
    std::vector<int> blocks;
    bool reduce;
    bool dense;
    PivotRule rule;
};

std::string name_of(const Shape& s) {
    std::string n = std::to_string(s.blocks.size()) + " levels";
    n += s.reduce ? ", F" : ", coupling in rows";
    n += s.dense ? ", dense last" : ", sparse last";
    n += s.rule == PivotRule::kPrefer2x2 ? ", 2x2 pivots" : "";
    return n;
}

std::vector<Shape> all_shapes() {
    std::vector<Shape> shapes;
    const std::vector<std::vector<int>> blocks = {{24}, {10, 14}, {6, 6, 6, 6}};
    for (const auto& b : blocks) {
        for (bool reduce : {true, false}) {
            for (bool dense : {false, true}) {
                if (dense && b.size() < 2) {
                    continue;
                }
                for (PivotRule rule : {PivotRule::kBunchParlett, PivotRule::kPrefer2x2}) {
                    shapes.push_back({b, reduce, dense, rule});
                }
            }
        }
    }
    return shapes;
}

Csr test_matrix(int n, std::uint64_t seed) {
    return trelvak::test::random_symmetric(n, 4, seed, 0.15, 0.0, false);
}

ProducerOptions options_for(const Shape& s, std::uint64_t seed) {
    ProducerOptions o;
    o.block_sizes   = s.blocks;
    o.coarse_reduce = s.reduce;
    o.dense_last    = s.dense;
    o.pivots        = s.rule;
    o.seed          = seed;
    return o;
}

// ---- producer and checker ----------------------------------------------------------------

TEST(LevelProducer, ProducesValidListsWithBothPivotKinds) {
    bool saw_pair = false;
    for (const Shape& s : all_shapes()) {
        const ProducerOptions o = options_for(s, 3);
        auto list               = produce_level_list(test_matrix(24, 11), o);
        auto param              = trelvak::test::make_parameters(o);
        EXPECT_EQ(trelvak::test::check_level_list(list->first(), param.get()), "") << name_of(s);
        for (int l = 1; l <= list->nlev(); ++l) {
            for (int v : list->level(l).pivot_blocks) {
                saw_pair = saw_pair || v >= 0;
            }
        }
    }
    EXPECT_TRUE(saw_pair) << "no 2x2 pivot was produced";
}

TEST(LevelProducer, RejectsInconsistentOptions) {
    ProducerOptions o;
    o.block_sizes = {5, 5};
    EXPECT_THROW(produce_level_list(test_matrix(12, 1), o), std::invalid_argument);
    o.block_sizes = {12};
    o.dense_last  = true;
    EXPECT_THROW(produce_level_list(test_matrix(12, 1), o), std::invalid_argument);
}

TEST(LevelCheck, FindsBrokenInvariants) {
    ProducerOptions o;
    o.block_sizes = {8, 8, 8};
    auto list     = produce_level_list(test_matrix(24, 5), o);
    auto param    = trelvak::test::make_parameters(o);
    ASSERT_EQ(trelvak::test::check_level_list(list->first(), param.get()), "");

    auto& l2 = list->level(2);
    std::swap(l2.invperm[0], l2.invperm[1]);
    EXPECT_NE(trelvak::test::check_level_list(list->first(), param.get()), "");
    std::swap(l2.invperm[0], l2.invperm[1]);

    l2.index[0] = -l2.index[0];  // marked without alt_diag
    EXPECT_NE(trelvak::test::check_level_list(list->first(), param.get()), "");
    l2.index[0] = -l2.index[0];

    const int nB = l2.rec.nB;
    l2.rec.nB    = nB + 1;  // the nB no longer add up
    EXPECT_NE(trelvak::test::check_level_list(list->first(), param.get()), "");
    l2.rec.nB = nB;

    l2.index[static_cast<size_t>(nB + nB)] = 1;  // 2x2 marker on the last row
    EXPECT_NE(trelvak::test::check_level_list(list->first(), param.get()), "");
    l2.index[static_cast<size_t>(nB + nB)] = 0;

    list->level(3).rec.prev = nullptr;
    EXPECT_NE(trelvak::test::check_level_list(list->first(), param.get()), "");
    list->level(3).rec.prev = &l2.rec;

    param->ifact[6]  = 0;  // the factor holds no coupling columns, so F must be used
    param->ifact[16] = 0;
    EXPECT_EQ(trelvak::test::check_level_list(list->first(), param.get()), "");
    list->level(1).rec.A = SparseMatrix{};
    EXPECT_NE(trelvak::test::check_level_list(list->first(), param.get()), "");
    EXPECT_NE(trelvak::test::check_level_list(nullptr, param.get()), "");
}

// ---- exactness -----------------------------------------------------------------------------

TEST(MultilevelIlu, ExactFactorsGiveTheSolution) {
    const std::vector<double> b = ramp(24);
    for (const Shape& s : all_shapes()) {
        const ProducerOptions o = options_for(s, 7);
        auto list               = produce_level_list(test_matrix(24, 21), o);
        auto param              = trelvak::test::make_parameters(o);
        const auto x            = apply(*list, *param, b);
        EXPECT_LT(rel_error(x, exact_solution(*list, b)), 1e-10) << name_of(s);
    }
}

TEST(MultilevelIlu, SaddlePointWithTwoByTwoPivots) {
    const Csr A = trelvak::test::saddle_point(14, 6, 2, 4);
    for (bool reduce : {true, false}) {
        ProducerOptions o;
        o.block_sizes   = {12, 8};
        o.coarse_reduce = reduce;
        o.pivots        = PivotRule::kPrefer2x2;
        o.seed          = 9;
        auto list       = produce_level_list(A, o);
        auto param      = trelvak::test::make_parameters(o);
        const auto b    = ramp(20);
        EXPECT_LT(rel_error(apply(*list, *param, b), exact_solution(*list, b)), 1e-10);
    }
}

TEST(MultilevelIlu, OneLevelIsAPermutedFactorSolveWithoutScaling) {
    ProducerOptions o;
    o.block_sizes        = {9};
    o.scale              = false;
    auto list            = produce_level_list(test_matrix(9, 2), o);
    auto param           = trelvak::test::make_parameters(o);
    list->level(1).rec.F = SparseMatrix{};   // not read
    list->level(1).colscale.assign(9, 1e6);  // not applied on level 1
    const auto b = ramp(9);
    EXPECT_LT(rel_error(apply(*list, *param, b), exact_solution(*list, b)), 1e-12);
}

// ---- converted (marked) levels ---------------------------------------------------------------

TEST(MultilevelIlu, MarkedLevelsCombineAltDiagAndFactor) {
    const auto b = ramp(24);
    for (const std::vector<int>& marked : std::vector<std::vector<int>>{{1}, {2}, {1, 3}}) {
        for (bool dense : {false, true}) {
            if (dense && marked.back() == 3) {
                continue;
            }
            ProducerOptions o;
            o.block_sizes = {8, 8, 8};
            o.dense_last  = dense;
            o.marked      = marked;
            o.alt_scale   = 0.5;
            o.pivots      = PivotRule::kPrefer2x2;
            auto list     = produce_level_list(test_matrix(24, 31), o);
            auto param    = trelvak::test::make_parameters(o);
            const DenseModel model(*list, o);
            const auto x = apply(*list, *param, b);
            EXPECT_LT(rel_error(x, model.ilu(1, b)), 1e-10)
                << "marked level " << marked.front() << (dense ? ", dense last" : "");
            // alt_diag differs from the pivots, so the result is not the exact solution.
            EXPECT_GT(rel_error(x, exact_solution(*list, b)), 1e-3);
        }
    }
}

TEST(MultilevelIlu, MarkedWithAltEqualToPivotsIsExact) {
    ProducerOptions o;
    o.block_sizes = {24};
    o.marked      = {1};
    o.alt_scale   = 1.0;
    auto list     = produce_level_list(test_matrix(24, 8), o);
    auto param    = trelvak::test::make_parameters(o);
    const auto b  = ramp(24);
    EXPECT_LT(rel_error(apply(*list, *param, b), exact_solution(*list, b)), 1e-10);
    EXPECT_LT(list->level(1).rec.factor_index[0], 0) << "the mark must be put back";
}

// A dense last level whose packed factor has a 2x2 block with a zero off-diagonal entry: only the
// modified packed solve handles it, and it is used once an earlier level carries the mark.
TEST(MultilevelIlu, DenseLastLevelUsesModifiedSolveAfterAMarkedLevel) {
    // Two decoupled parts: the coarse system is diag(3, -2).
    trelvak::test::Dense d(5);
    for (int i = 0; i < 3; ++i) {
        d(i, i) = 4.0;
    }
    d(0, 1) = d(1, 0) = 1.0;
    d(1, 2) = d(2, 1) = -1.0;
    d(3, 3)           = 3.0;
    d(4, 4)           = -2.0;
    const Csr A       = trelvak::test::upper_from_dense(d);
    const auto b      = ramp(5);
    for (bool marked : {true, false}) {
        ProducerOptions o;
        o.block_sizes = {3, 2};
        o.dense_last  = true;
        o.permute     = false;
        o.scale       = false;
        if (marked) {
            o.marked = {1};
        }
        auto list            = produce_level_list(A, o);
        auto& dl             = list->level(2);
        dl.values            = {3.0, 0.0, -2.0};  // packed lower, one 2x2 block without coupling
        dl.ipiv              = {-2, -2};
        dl.rec.factor_values = dl.values.data();
        dl.rec.coarse_ipiv   = dl.ipiv.data();
        auto param           = trelvak::test::make_parameters(o);
        const auto x         = apply(*list, *param, b);
        if (marked) {
            EXPECT_LT(rel_error(x, exact_solution(*list, b)), 1e-12);
        } else {
            EXPECT_FALSE(std::isfinite(x[3]) && std::isfinite(x[4]))
                << "the plain packed solve divides by the zero coupling";
        }
    }
}

// ---- fatal stop, dispatch and warning ---------------------------------------------------------

struct FatalStop {
    int channel;
    std::string message;
};

[[noreturn]] void throwing_handler(FatalChannel channel, const char* message) {
    throw FatalStop{static_cast<int>(channel), message};
}

TEST(MultilevelIlu, MarkedLevelWithoutCoarseReduceStopsThroughTheHandler) {
    ProducerOptions o;
    o.block_sizes               = {8, 8, 8};
    o.coarse_reduce             = false;
    o.marked                    = {2};
    auto list                   = produce_level_list(test_matrix(24, 41), o);
    auto param                  = trelvak::test::make_parameters(o);
    const auto slots            = list->guarded_slots();
    std::vector<double> rhs     = ramp(24), sol(24), dbuff(48);
    const FatalHandler previous = trelvak_set_fatal_handler(throwing_handler);
    try {
        DSYMAMGsol(list->first(), param.get(), rhs.data(), sol.data(), dbuff.data());
        ADD_FAILURE() << "no fatal stop";
    } catch (const FatalStop& stop) {
        EXPECT_EQ(stop.channel, FATAL_STDOUT);
        EXPECT_EQ(stop.message,
                  "TRELVAK error: _SYMSPDAMGconvert requires that COARSE_REDUCE is set\n");
    }
    trelvak_set_fatal_handler(previous);
    EXPECT_EQ(list->guarded_slots(), slots);
}

TEST(MultilevelIlu, UnknownCycleKindCopiesTheRightHandSide) {
    ProducerOptions o;
    o.block_sizes    = {12, 12};
    auto list        = produce_level_list(test_matrix(24, 3), o);
    auto param       = trelvak::test::make_parameters(o);
    param->ifact[10] = 3;
    const auto b     = ramp(24);
    EXPECT_EQ(apply(*list, *param, b, 8 * 24), b);
}

TEST(MultilevelIlu, DiscardedCoarseSystemsWarnOnceAndFallBack) {
    ProducerOptions o;
    o.block_sizes  = {12, 12};
    o.keep_systems = false;
    auto list      = produce_level_list(test_matrix(24, 13), o);
    auto param     = trelvak::test::make_parameters(o);
    param->ifact[16] |= static_cast<int>(COARSE_DISCARDED);
    const auto b = ramp(24);
    const std::string warning =
        "TRELVAK WARNING!\nAMLI-like AMG or classical multigrid need to selected prior to\n"
        "factorization in order to maintain coarse grid systems.\nWill use multilevel ILU "
        "instead.\n";
    for (int kind : {1, 2}) {
        param->ifact[10] = kind;
        testing::internal::CaptureStdout();
        const auto x          = apply(*list, *param, b);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, kind == 1 ? warning : "");
        EXPECT_LT(rel_error(x, exact_solution(*list, b)), 1e-10);
    }
}

}  // namespace
