// The phase times a factorization reports (FactorInfo::level_times and the pass totals): one
// entry per level of the level list it returned, each level's phases within its own time, the
// levels, discarded passes and lane split within the whole call, and the dense phase on a dense
// last level only. Checked on generated matrices that make one pass or several, with and without
// a dense last level.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "factor_support.h"

namespace trelvak::test {
namespace {

struct PhaseCase {
    const char* name;
    Csr A;
    double elbow;  // <= 0: the default
};

TEST(PhaseTimes, AreConsistentWithTheLevelListAndTheWholeCall) {
    // Rounding of the clock's differences, nothing more: every part is measured inside the
    // interval it is compared with.
    constexpr double kTolerance = 1e-6;
    PhaseCase cases[]           = {
                  {"laplacian, one pass", laplace2d(30, 30), 0.0},
                  {"shifted laplacian, level 1 crowds the first pass", laplace2d(100, 100, 0.3775), 0.0},
                  {"tiny diagonals, crowded after level 1", random_symmetric(150, 5, 3, 0.0, 0.5), 5.0},
                  {"saddle point", saddle_point(600, 200, 3, 7), 0.0},
    };
    bool saw_dense = false, saw_restart = false, saw_sparse_last = false;
    for (PhaseCase& c : cases) {
        SCOPED_TRACE(c.name);
        Factored f;
        if (c.elbow > 0.0) {
            f.param->ifact[0] = static_cast<int>(c.elbow);
        }
        std::set<int> passes;
        const int status = factor(c.A.record(), f.param, &f.levels, &f.info,
                                  [&](const LevelProgress& p) { passes.insert(p.pass); });
        ASSERT_EQ(status, 0) << f.info.message;
        const FactorInfo& info = f.info;

        // One entry per level of the list, in order, of the level's order.
        std::vector<const LevelRecord*> list;
        for (const LevelRecord* R = f.levels; R != nullptr; R = R->next) list.push_back(R);
        ASSERT_EQ(info.level_times.size(), list.size());
        ASSERT_EQ(static_cast<int>(list.size()), info.nlev);

        // The passes: the last one reported is the one whose levels were kept (pass 0 for a
        // quick factor); the time of the others is the discarded time.
        ASSERT_FALSE(passes.empty());
        EXPECT_EQ(info.quick ? 0 : info.passes, *passes.rbegin());
        EXPECT_GE(info.discarded_seconds, 0.0);
        if (info.passes == 1) {
            EXPECT_EQ(info.discarded_seconds, 0.0);
        } else {
            EXPECT_GT(info.discarded_seconds, 0.0);
            saw_restart = true;
        }

        double levels = 0.0;
        for (size_t l = 0; l < list.size(); ++l) {
            SCOPED_TRACE("level " + std::to_string(l + 1));
            const LevelTimes& t = info.level_times[l];
            const bool dense    = list[l]->factor_index == nullptr;
            EXPECT_EQ(t.n, list[l]->n);
            EXPECT_EQ(t.dense, dense);
            for (double x : {t.reorder, t.factor, t.schur, t.dense_factor, t.retries}) {
                EXPECT_GE(x, 0.0);
            }
            EXPECT_LE(t.reorder + t.factor + t.schur + t.dense_factor, t.total + kTolerance);
            // The retries are part of what is left besides the phases.
            EXPECT_LE(t.retries, t.other() + kTolerance);
            if (dense) {
                EXPECT_EQ(l + 1, list.size()) << "a dense level that is not the last";
                EXPECT_GT(t.dense_factor, 0.0);
                EXPECT_EQ(t.reorder + t.factor + t.schur, 0.0);
                saw_dense = true;
            } else {
                EXPECT_EQ(t.dense_factor, 0.0);
                EXPECT_GE(t.runs, 1);
                EXPECT_GT(t.factor, 0.0);
                if (l + 1 == list.size()) {
                    saw_sparse_last = true;
                }
            }
            levels += t.total;
        }
        EXPECT_GE(info.split_seconds, 0.0);
        EXPECT_LE(levels + info.discarded_seconds + info.split_seconds + info.quick_seconds,
                  info.wall_seconds + kTolerance);
    }
    // The cases reach every kind of entry checked above.
    EXPECT_TRUE(saw_dense);
    EXPECT_TRUE(saw_restart);
    EXPECT_TRUE(saw_sparse_last);
}

}  // namespace
}  // namespace trelvak::test
