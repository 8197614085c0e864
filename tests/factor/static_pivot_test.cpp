// Static pivoting of a singular dense last level: its zero and tiny pivots are raised to a small
// share of the level's largest entry and counted, instead of ending the factorization; the
// Krylov method then works with the nearby preconditioner, and a singular system still never
// reports success without a true residual within restol.
#include <gtest/gtest.h>

#include <vector>

#include "factor_support.h"
#include "solver/solver.h"

namespace {

using trelvak::test::Csr;
using trelvak::test::Dense;
using trelvak::test::Factored;

TEST(StaticPivot, SmallPivotsOfAPackedFactorAreRaisedAndCounted) {
    // Order 4, packed lower: a zero 1x1 pivot, a singular 2x2 block [1 1; 1 1], a sound 1x1.
    const int n                 = 4;
    std::vector<double> AP      = {0.0, 0.5, 0.5, 0.5,  // column 1: pivot 0
                                   1.0, 1.0, 0.2,       // column 2: block (2,3) begins
                                   1.0, 0.3,            // column 3
                                   -2.0};               // column 4: pivot -2
    const std::vector<int> ipiv = {1, -3, -3, 4};
    const double delta          = 1e-8;
    EXPECT_EQ(trelvak::factor_detail::perturb_small_pivots(n, AP, ipiv, delta), 3);
    EXPECT_EQ(AP[0], delta);
    EXPECT_EQ(AP[4], 1.0 + delta);
    EXPECT_EQ(AP[7], 1.0 + delta);
    EXPECT_EQ(AP[9], -2.0);
    // Off-diagonal entries are never touched; a second pass finds nothing left to raise.
    EXPECT_EQ(AP[5], 1.0);
    EXPECT_EQ(trelvak::factor_detail::perturb_small_pivots(n, AP, ipiv, delta), 0);
}

TEST(StaticPivot, SingularSystemFactorsAndNeverReportsAFalseSuccess) {
    Dense d(2);
    d(0, 0) = d(0, 1) = d(1, 0) = d(1, 1) = 1.0;
    Csr A                                 = trelvak::test::upper_from_dense(d);
    Factored f;
    trelvak::test::set_exact(f.param);
    ASSERT_EQ(f.run(A), 0) << f.info.message;
    EXPECT_EQ(f.info.perturbed, 1);
    SparseMatrix record = A.record();
    // Consistent: b in the range of A, solved to restol.
    std::vector<double> b = {2.0, 2.0}, x = {0.0, 0.0};
    EXPECT_EQ(DSYMAMGsolver(&record, f.levels, f.param, b.data(), x.data()), 0);
    EXPECT_LT(trelvak::test::relative_residual(A, x, b), 1e-6);
    // Inconsistent: no x meets restol, and the solve must say so.
    b = {1.0, -1.0};
    x = {0.0, 0.0};
    EXPECT_NE(DSYMAMGsolver(&record, f.levels, f.param, b.data(), x.data()), 0);
}

}  // namespace
