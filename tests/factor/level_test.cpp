// One level of the incomplete factorization: a pivot that the updates cancelled down to rounding
// level, alone or hidden in a pair beside a sound one, is postponed instead of entering D^-1 as the
// reciprocal of noise; a level is abandoned when it outgrows its budget, and only then.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "factor/factor.h"
#include "factor_support.h"

namespace {

using trelvak::factor_detail::ildlc_level;
using trelvak::factor_detail::LevelControls;
using trelvak::factor_detail::LevelFactor;
using trelvak::factor_detail::SymmetricRows;
using trelvak::test::Dense;

SymmetricRows both_triangles(const Dense& d) {
    SymmetricRows B;
    B.n = d.n;
    for (int i = 0; i < d.n; ++i) {
        for (int j = 0; j < d.n; ++j) {
            if (d(i, j) != 0.0) {
                B.col.push_back(j);
                B.val.push_back(d(i, j));
            }
        }
        B.ptr.push_back(static_cast<int>(B.col.size()));
    }
    return B;
}

// Rows 1 and 2 repeat row 0 up to eps: after row 0 is eliminated, row 1 keeps d = eps and a
// coupling 2 eps to row 2, whose pivot is 1. The pair (1, 2) is preferred (|d| < 0.64 |b|) and
// its determinant is not small next to d e, yet it holds the collapsed pivot eps.
Dense cancelling(double eps) {
    Dense d(3);
    const double r0[3] = {1.0, 1.0, 2.0};
    for (int j = 0; j < 3; ++j) {
        d(0, j) = d(j, 0) = r0[j];
    }
    d(1, 1) = 1.0 + eps;
    d(1, 2) = d(2, 1) = 2.0 + 2.0 * eps;
    d(2, 2)           = 5.0;
    return d;
}

TEST(CollapsedPivots, APivotCancelledToRoundingIsPostponedAloneAndInAPair) {
    LevelControls c;
    c.droptol  = 0.0;
    c.droptolS = 0.0;
    c.condest  = 1e20;  // only the collapse test can refuse a pivot here
    for (double eps : {1e-12, 1e-11}) {
        LevelFactor out;
        trelvak::factor_detail::ildlc_level(both_triangles(cancelling(eps)), 3, c, &out);
        EXPECT_EQ(out.postponed, 1) << eps;
        EXPECT_EQ(out.m, 2) << eps;
        EXPECT_EQ(out.pairs, 0) << eps;
        // The postponed row is the collapsed one; its Schur complement entry is what is left.
        EXPECT_EQ(out.order[2], 1) << eps;
    }
    // A pivot well above rounding is taken.
    LevelFactor sound;
    trelvak::factor_detail::ildlc_level(both_triangles(cancelling(1e-3)), 3, c, &sound);
    EXPECT_EQ(sound.postponed, 0);
    EXPECT_EQ(sound.m, 3);
}

// The complete factor of a grid in its natural order: its rows grow to the band's width and then
// keep it. A budget that holds the factor and the Schur complement keeps the level, also while the
// first rows are factored; one that holds four fifths of them does not.
TEST(LevelBudget, ALevelThatFitsIsKeptAndOneThatDoesNotIsAbandoned) {
    const Dense grid = trelvak::test::dense_from_upper(trelvak::test::laplace2d(20, 20, -0.1));
    LevelControls c;
    c.droptol  = 0.0;
    c.droptolS = 0.0;
    c.condest  = 1e20;
    LevelFactor all;
    ildlc_level(both_triangles(grid), 300, c, &all);
    ASSERT_FALSE(all.over_budget);
    ASSERT_EQ(all.m, 300);
    const long needed = static_cast<long>(all.V.size() + all.Sja.size());

    c.budget = needed;
    LevelFactor kept;
    ildlc_level(both_triangles(grid), 300, c, &kept);
    EXPECT_FALSE(kept.over_budget);
    EXPECT_EQ(kept.V.size(), all.V.size());
    EXPECT_EQ(kept.Sja.size(), all.Sja.size());

    c.budget = needed * 4 / 5;
    LevelFactor abandoned;
    ildlc_level(both_triangles(grid), 300, c, &abandoned);
    EXPECT_TRUE(abandoned.over_budget);
}

}  // namespace
