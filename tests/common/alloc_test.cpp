// Tagged allocation, large vectors and the fatal-error handler.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/buffer.h"
#include "common/trelvak.h"
#include "solver/alloc_testing.h"

namespace {

struct Fatal : std::runtime_error {
    FatalChannel channel;
    Fatal(FatalChannel c, const char* m) : std::runtime_error(m), channel(c) {}
};

[[noreturn]] void throwing_handler(FatalChannel channel, const char* message) {
    throw Fatal(channel, message);
}

// Installs the throwing handler for the length of a test.
struct ThrowingHandler {
    FatalHandler previous = trelvak_set_fatal_handler(throwing_handler);
    ~ThrowingHandler() {
        trelvak_set_fatal_handler(previous);
        trelvak::testing::fail_allocation(0);
    }
};

}  // namespace

TEST(Alloc, SizeZeroAllocatesNothing) {
    EXPECT_EQ(MAlloc(0, "test:zero"), nullptr);
    int marker = 7;
    EXPECT_EQ(ReAlloc(&marker, 0, "test:zero"), &marker);  // left as it is, not released
    EXPECT_EQ(ReAlloc(nullptr, 0, "test:zero"), nullptr);
}

TEST(Alloc, ReAllocOfNullAllocatesAndGrowthKeepsContents) {
    auto* p = static_cast<int*>(ReAlloc(nullptr, 4 * sizeof(int), "test:grow"));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 4; ++i) p[i] = 10 + i;
    p = static_cast<int*>(ReAlloc(p, 1000 * sizeof(int), "test:grow"));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(p[i], 10 + i);
    std::free(p);
}

TEST(Alloc, FailureReachesTheHandlerWithTheTagAndSize) {
    ThrowingHandler guard;
    trelvak::testing::fail_allocation(1);
    try {
        (void)MAlloc(123, "DSYMtrelvaksolver:rhs");
        FAIL() << "MAlloc returned after a failure";
    } catch (const Fatal& e) {
        EXPECT_EQ(e.channel, FATAL_STDERR);
        EXPECT_STREQ(e.what(),
                     "Mem. alloc. ERROR in DSYMtrelvaksolver:rhs. Requested bytes: 123 bytes\n");
    }
    // The hook fires once: the next allocation succeeds.
    void* p = MAlloc(8, "test:after");
    EXPECT_NE(p, nullptr);
    std::free(p);
}

TEST(Alloc, ReAllocFailureKeepsTheOldBlock) {
    ThrowingHandler guard;
    auto* p = static_cast<double*>(MAlloc(2 * sizeof(double), "test:old"));
    p[0]    = 1.5;
    trelvak::testing::fail_allocation(1);
    EXPECT_THROW((void)ReAlloc(p, 1 << 20, "symAMGsolver:dbuff"), Fatal);
    EXPECT_EQ(p[0], 1.5);  // still owned by the caller
    std::free(p);
}

TEST(AllocDeathTest, DefaultHandlerEndsTheProcessWithStatusMinusOne) {
    EXPECT_EXIT(
        {
            trelvak::testing::fail_allocation(1);
            (void)MAlloc(64, "test:death");
        },
        ::testing::ExitedWithCode(255),
        "Mem. alloc. ERROR in test:death. Requested bytes: 64 bytes");
}

TEST(Timing, EvaluateTimeReportsNonNegativeTimes) {
    float user        = -1.0f;
    float system      = -1.0f;
    const int elapsed = evaluate_time(&user, &system);
    EXPECT_GE(user, 0.0f);
    EXPECT_GE(system, 0.0f);
    EXPECT_GE(elapsed, 0);
}

// Large vectors: blocks from 8 MiB on are 2 MiB aligned; growing across the threshold in both
// directions keeps the contents, and an impossible size is refused with bad_alloc.
TEST(LargeVector, KeepsContentsAcrossTheLargeBlockThreshold) {
    trelvak::LargeVector<double> v;
    for (int k = 0; k < (1 << 20); ++k) {  // 8 MiB of doubles, through every growth step
        v.push_back(0.5 * k);
    }
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % (std::uintptr_t{2} << 20), 0u);
    EXPECT_EQ(v[12345], 0.5 * 12345);
    v.resize(10);
    v.shrink_to_fit();
    EXPECT_EQ(v[9], 4.5);
    trelvak::LargeVector<int> w(1000, 3);
    EXPECT_EQ(w.back(), 3);
    trelvak::LargePageAllocator<double> a;
    EXPECT_THROW((void)a.allocate(static_cast<std::size_t>(-1) / 4), std::bad_alloc);
}

// Released pages read as zeros afterwards; the entries outside them keep their values, and the
// vector grows on as before.
TEST(LargeVector, ReleasedPagesReadAsZerosAndTheRestIsKept) {
    trelvak::LargeVector<double> v(std::size_t{1} << 20);  // 8 MiB from a 2 MiB boundary
    for (std::size_t k = 0; k < v.size(); ++k) {
        v[k] = static_cast<double>(k);
    }
    trelvak::release_pages(v.data() + 1000, v.data() + v.size());
    EXPECT_EQ(v[999], 999.0);
    EXPECT_EQ(v[1000], 1000.0);  // on the page that also holds kept entries
    EXPECT_EQ(v.back(), 0.0);
    v.push_back(2.5);
    EXPECT_EQ(v.back(), 2.5);
    trelvak::release_pages(v.data() + 5, v.data() + 10);  // no whole page: nothing happens
    EXPECT_EQ(v[9], 9.0);
}

// A handed-over array is the caller's, to be released with free; the owner is empty after it,
// and an empty owner hands over null. Large arrays are 2 MiB aligned as large vectors are.
TEST(HandoverArray, HandsOverItsStorageAndIsEmptyAfterwards) {
    trelvak::HandoverArray<int> a;
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.release(), nullptr);
    a.assign(5, 7);
    trelvak::HandoverArray<int> b = std::move(a);
    EXPECT_TRUE(a.empty());
    ASSERT_EQ(b.size(), 5u);
    b[4]   = 9;
    int* p = b.release();
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(p[0], 7);
    EXPECT_EQ(p[4], 9);
    std::free(p);

    trelvak::HandoverArray<double> large;
    large.assign(std::size_t{1} << 20, 1.5);  // 8 MiB
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(large.data()) % (std::uintptr_t{2} << 20), 0u);
    EXPECT_EQ(large[(std::size_t{1} << 20) - 1], 1.5);
    large.assign(0, 0.0);
    EXPECT_TRUE(large.empty());
    EXPECT_THROW(large.assign(static_cast<std::size_t>(-1) / 4, 0.0), std::bad_alloc);
}
