// The factorization groups each large factor's rows for the lanes; the preconditioner applied on
// several lanes gives the one-lane result up to rounding, and SQMR converges the same way. The
// rows reached from each coupling block are kept too, and sweeping them alone changes nothing.
#include "common/lanes.h"

#include <gtest/gtest.h>

#include <vector>

#include "factor_support.h"
#include "precond/precond.h"

namespace {

using trelvak::test::Factored;

class LanesGuard {
public:
    explicit LanesGuard(int lanes) { trelvak::set_lane_count(lanes); }
    ~LanesGuard() { trelvak::set_lane_count(0); }
};

TEST(FactorLanes, LargeFactorsAreGroupedAndApplyLikeOneLane) {
    const LanesGuard two(2);
    auto A = trelvak::test::laplace2d(260, 260, 0.02);  // indefinite, above the lanes' thresholds
    Factored f;
    ASSERT_EQ(f.run(A), 0) << f.info.message;
    ASSERT_NE(f.levels->factor_index, nullptr);
    ASSERT_GE(f.levels->factor_nnz, trelvak::kSplitEntries);
    const trelvak::FactorSplit* split = trelvak::factor_split(*f.levels);
    ASSERT_NE(split, nullptr);
    EXPECT_GT(split->cut, f.levels->nB / 2);

    // A copy of the record is not the record the grouping belongs to.
    const LevelRecord copy = *f.levels;
    EXPECT_EQ(trelvak::factor_split(copy), nullptr);

    std::vector<double> b(static_cast<size_t>(A.nr));
    for (size_t i = 0; i < b.size(); ++i) b[i] = 1.0 + static_cast<double>(i % 7);
    const auto on_two = trelvak::test::apply_preconditioner(f.levels, f.param, b);
    trelvak::set_lane_count(1);
    EXPECT_EQ(trelvak::factor_split(*f.levels), nullptr) << "one lane: no grouping in use";
    const auto on_one = trelvak::test::apply_preconditioner(f.levels, f.param, b);
    // The lanes sum in another order: the results differ by rounding, which the inverse factor
    // of this indefinite grid (a nearly exact nested-dissection factor, pivots spread over four
    // orders of magnitude) amplifies to a few 1e-12 of the result's norm.
    const double scale = 1.0 + trelvak::test::norm2(on_one);
    for (size_t i = 0; i < b.size(); ++i) {
        ASSERT_NEAR(on_two[i], on_one[i], 1e-11 * scale) << "entry " << i + 1;
    }

    std::vector<double> x;
    double relres_one = 0.0, relres_two = 0.0;
    const int its_one =
        trelvak::test::sqmr_solve(A, f.levels, f.param, b, &x, 1e-8, 300, &relres_one);
    trelvak::set_lane_count(2);
    const int its_two =
        trelvak::test::sqmr_solve(A, f.levels, f.param, b, &x, 1e-8, 300, &relres_two);
    ASSERT_GT(its_one, 0);
    EXPECT_NEAR(its_two, its_one, 2);
    EXPECT_LT(relres_two, 1e-7);

    // On the way up, the forward sweeps visit the rows reached from F alone; with that list
    // dropped they visit every row, to the same result.
    trelvak::set_lane_count(1);
    const trelvak::ForwardRows* visit = trelvak::coupling_rows(*f.levels);
    ASSERT_NE(visit, nullptr);
    EXPECT_LT(visit->all.size(), static_cast<size_t>(f.levels->nB));
    for (const LevelRecord* l = f.levels; l != nullptr; l = l->next) {
        trelvak::forget_factor_split(l);
    }
    EXPECT_EQ(trelvak::coupling_rows(*f.levels), nullptr);
    EXPECT_EQ(trelvak::test::apply_preconditioner(f.levels, f.param, b), on_one);
}

}  // namespace
