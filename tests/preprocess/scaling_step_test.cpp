// The scaling step of the reordering routines: pass selection, order of row and column scaling,
// the symmetric scalings, zero rows and columns with their messages, growth of dbuff.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"
#include "solver/alloc_testing.h"

using trelvak::test::Csr;
using trelvak::test::Dense;

namespace {

struct StepCase {
    Csr m;
    std::vector<double> left, right;
    ParameterRecord param{};
    explicit StepCase(Csr matrix, int flags_word, int norm_word)
        : m(std::move(matrix)), left(m.nr, 1.0), right(m.nr, 1.0) {
        param.ifact[7] = flags_word;
        param.ifact[8] = norm_word;
    }
    ~StepCase() { std::free(param.dbuff); }
    int run(bool to_stdout = false) {
        return scaling_step(m.record(), left.data(), right.data(), &param, "permtest:param->dbuff",
                            to_stdout);
    }
};

// A general matrix where the order of row and column scaling changes the result.
Csr lopsided() {
    Dense d(3);
    d(0, 0) = 100.0;
    d(0, 1) = 3.0;
    d(1, 0) = 0.2;
    d(1, 1) = 1.0;
    d(2, 2) = 7.0;
    d(2, 0) = 50.0;
    return trelvak::test::general_from_dense(d);
}

// Row (then column) or column (then row) scaling done by hand with the kernels.
void reference(Csr& m, std::vector<double>& left, std::vector<double>& right, int job, bool rows,
               bool cols, bool columns_first) {
    const int n  = m.nr;
    int ierr     = 0;
    auto do_rows = [&] {
        drowscale(&n, &job, m.a.data(), m.ja.data(), m.ia.data(), left.data(), &ierr);
    };
    auto do_cols = [&] {
        dcolscale(&n, &job, m.a.data(), m.ja.data(), m.ia.data(), right.data(), &ierr);
    };
    if (columns_first) {
        if (cols)
            do_cols();
        if (rows)
            do_rows();
    } else {
        if (rows)
            do_rows();
        if (cols)
            do_cols();
    }
}

struct Fatal : std::runtime_error {
    using std::runtime_error::runtime_error;
};
[[noreturn]] void throwing_handler(FatalChannel, const char* message) {
    throw Fatal(message);
}

}  // namespace

TEST(ScalingStep, PassesFlagsAndNormCodes) {
    struct Case {
        int flags_word, norm_word;
        int job;
        bool rows, cols, columns_first;
    };
    const Case cases[] = {
        {0x0, 0x0, 0, false, false, false},  // pass 1, no flags
        {0x3, 0x5, 5, false, false, false},  // norm code 5 and above: nothing
        {0x3, 0x1f, 31, false, false, false},
        {0x1, 0x0, 0, true, false, false},                           // pass 1 rows, max norm
        {0x2, 0x1, 1, false, true, false},                           // pass 1 columns, sum norm
        {0x3, 0x2, 2, true, true, false},                            // rows then columns, Euclidean
        {0x7, 0x2, 2, true, true, true},                             // flags 7: columns first
        {0x200 | 0x3, 0x1, 1, true, true, false},                    // 0x200 also selects pass 1
        {0x400 | (0x3 << 3) | 0x1, 0x2 << 5, 2, true, true, false},  // pass 2
        {0x400 | (0x6 << 3), (0x1 << 5) | 0x2, 1, false, true, true},            // pass 2 columns
        {0x600 | (0x5 << 6) | 0x2, 0x0, 0, true, false, true},                   // pass 3 rows
        {0x600 | (0x3 << 6), (0x3 << 10) | (0x1 << 5), 3, false, false, false},  // pass 3 SPD
    };
    for (const Case& c : cases) {
        StepCase s(lopsided(), c.flags_word, c.norm_word);
        ASSERT_EQ(s.run(), 0);
        Csr expected = lopsided();
        std::vector<double> left(3, 1.0), right(3, 1.0);
        if (c.job <= 2 || c.job >= 5) {
            reference(expected, left, right, c.job, c.rows, c.cols, c.columns_first);
        } else {
            int ierr    = 0;
            const int n = 3;
            dspdscale(&n, expected.a.data(), expected.ja.data(), expected.ia.data(), right.data(),
                      &ierr);
        }
        EXPECT_EQ(s.m.a, expected.a) << "flags " << c.flags_word << " norm " << c.norm_word;
        EXPECT_EQ(s.left, left) << "flags " << c.flags_word;
        EXPECT_EQ(s.right, right) << "flags " << c.flags_word;
    }
    // The order matters for this matrix: flags 7 differ from flags 3.
    StepCase rows_first(lopsided(), 0x3, 0x2);
    StepCase cols_first(lopsided(), 0x7, 0x2);
    rows_first.run();
    cols_first.run();
    EXPECT_NE(rows_first.m.a, cols_first.m.a);
}

TEST(ScalingStep, SymmetricScalingGrowsDbuffOnly) {
    const Csr upper = trelvak::test::random_symmetric(40, 3, 5, 0.2);
    StepCase s(upper, 0x0, 0x4);
    s.left.assign(40, 3.0);  // not touched
    ASSERT_EQ(s.run(), 0);
    EXPECT_GE(s.param.ndbuff, 80);
    ASSERT_NE(s.param.dbuff, nullptr);
    Csr expected = upper;
    std::vector<double> diag(40), work(40);
    int ierr    = 0;
    const int n = 40;
    dsymscale(&n, expected.a.data(), expected.ja.data(), expected.ia.data(), diag.data(),
              work.data(), &ierr);
    EXPECT_EQ(s.m.a, expected.a);
    EXPECT_EQ(s.right, diag);
    EXPECT_EQ(s.left, std::vector<double>(40, 3.0));

    // A larger buffer is kept as it is.
    StepCase big(upper, 0x0, 0x4);
    big.param.dbuff  = static_cast<double*>(std::malloc(500 * sizeof(double)));
    big.param.ndbuff = 500;
    double* before   = big.param.dbuff;
    ASSERT_EQ(big.run(), 0);
    EXPECT_EQ(big.param.dbuff, before);
    EXPECT_EQ(big.param.ndbuff, 500);
}

TEST(ScalingStep, ZeroRowOrColumnPrintsAndReturnsMinusFive) {
    // Third row and column empty.
    Dense d(3);
    d(0, 0)           = 2.0;
    d(0, 1)           = 1.0;
    d(1, 1)           = -3.0;
    const Csr general = trelvak::test::general_from_dense(d);
    const Csr upper   = trelvak::test::upper_from_dense(d);
    struct Case {
        Csr m;
        int flags_word, norm_word;
        const char* message;
    };
    const Case cases[] = {
        {general, 0x1, 0x0, "ROWSCALE: a zero row...\n"},
        {general, 0x2, 0x1, "COLSCALE: a zero col...\n"},
        {general, 0x6, 0x2, "COLSCALE: a zero col...\n"},
        {upper, 0x0, 0x3, "SPDCALE: a zero row/column...\n"},
        {upper, 0x0, 0x4, "SYMSCALE: a zero row/column...\n"},
    };
    for (const Case& c : cases) {
        StepCase s(c.m, c.flags_word, c.norm_word);
        testing::internal::CaptureStderr();
        const int status = s.run();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(status, -5);
        EXPECT_EQ(s.m.a, c.m.a);  // the failing scaling does not touch the matrix
    }
    // The positive-definite reordering prints on standard output.
    StepCase s(general, 0x1, 0x0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(s.run(true), -5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ROWSCALE: a zero row...\n");
}

TEST(ScalingStep, FailedGrowthOfDbuffLosesNothing) {
    const Csr upper = trelvak::test::laplace2d(4, 4);
    StepCase s(upper, 0x0, 0x4);
    s.param.dbuff               = static_cast<double*>(std::malloc(3 * sizeof(double)));
    s.param.dbuff[2]            = 42.0;
    s.param.ndbuff              = 3;
    const FatalHandler previous = trelvak_set_fatal_handler(throwing_handler);
    trelvak::testing::fail_allocation(1);
    std::string message;
    try {
        s.run();
    } catch (const Fatal& e) {
        message = e.what();
    }
    trelvak::testing::fail_allocation(0);
    trelvak_set_fatal_handler(previous);
    EXPECT_NE(message.find("permtest:param->dbuff"), std::string::npos) << message;
    EXPECT_EQ(s.param.ndbuff, 3);
    EXPECT_EQ(s.param.dbuff[2], 42.0);
    EXPECT_EQ(s.m.a, upper.a);
}
