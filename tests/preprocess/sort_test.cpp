// Sorting helpers: ascending integer quicksort with its stack bound, descending sort of doubles
// that carries two integer arrays along, swaps.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "preprocess/preprocess.h"

namespace {

constexpr int kCanary = 0x5a5a5a5a;

// Sorts with qqsorti using a stack of exactly max(n, 2) ints followed by a canary region.
std::vector<int> sorted_by_qqsorti(std::vector<int> x) {
    const int n          = static_cast<int>(x.size());
    const int stack_size = std::max(n, 2);
    std::vector<int> stack(stack_size + 16, kCanary);
    qqsorti(x.data(), stack.data(), n);
    for (int k = stack_size; k < stack_size + 16; ++k) {
        EXPECT_EQ(stack[k], kCanary) << "stack overrun at n = " << n;
    }
    return x;
}

}  // namespace

TEST(Sort, QqsortiAgreesWithStdSort) {
    std::mt19937_64 rng(3);
    std::vector<std::vector<int>> inputs{{}, {5}, {2, 1}, {1, 2}, {3, 3, 3}, {3, 1, 2}};
    for (int n : {7, 64, 1000, 4097}) {
        std::uniform_int_distribution<int> narrow(0, 5), wide(-1000000, 1000000);
        std::vector<int> a(n), b(n), c(n), d(n);
        for (int i = 0; i < n; ++i) {
            a[i] = narrow(rng);
            b[i] = wide(rng);
            c[i] = i;      // sorted
            d[i] = n - i;  // reversed
        }
        std::vector<int> e(n, 9);  // all equal
        std::vector<int> f(n);     // organ pipe
        for (int i = 0; i < n; ++i) {
            f[i] = std::min(i, n - i);
        }
        inputs.insert(inputs.end(), {a, b, c, d, e, f});
    }
    for (const auto& x : inputs) {
        std::vector<int> expected = x;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(sorted_by_qqsorti(x), expected) << "n = " << x.size();
    }
}

TEST(Sort, QqsortiOnLargeSortedRowIsFast) {
    // A dense row that arrives sorted must not cost n^2.
    std::vector<int> x(500000);
    std::iota(x.begin(), x.end(), 1);
    std::vector<int> stack(x.size());
    const auto start = std::chrono::steady_clock::now();
    qqsorti(x.data(), stack.data(), static_cast<int>(x.size()));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(std::is_sorted(x.begin(), x.end()));
    EXPECT_LT(seconds, 2.0);
}

TEST(Sort, Dqsortr2iSortsDescendingAndCarriesIndices) {
    std::mt19937_64 rng(5);
    for (int n : {1, 2, 3, 10, 100, 5000}) {
        std::uniform_int_distribution<int> value(0, n / 3 + 1);  // many ties
        std::vector<double> x(n + 2);
        std::vector<int> i1(n + 2), i2(n + 2);
        for (int k = 0; k < n + 2; ++k) {
            x[k]  = 0.5 * value(rng);
            i1[k] = k;
            i2[k] = 3 * k + 1;
        }
        std::vector<std::tuple<double, int, int>> before;
        for (int k = 1; k <= n; ++k) {
            before.emplace_back(x[k], i1[k], i2[k]);
        }
        const double first = x[0], last = x[n + 1];
        dqsortr2i(x.data(), i1.data(), i2.data(), 1, n);  // sorts x[1..n] only
        EXPECT_EQ(x[0], first);
        EXPECT_EQ(x[n + 1], last);
        EXPECT_EQ(i1[0], 0);
        EXPECT_EQ(i1[n + 1], n + 1);
        std::vector<std::tuple<double, int, int>> after;
        for (int k = 1; k <= n; ++k) {
            if (k > 1) {
                EXPECT_GE(x[k - 1], x[k]) << "n = " << n;
            }
            EXPECT_EQ(i2[k], 3 * i1[k] + 1);  // the two arrays move together with x
            after.emplace_back(x[k], i1[k], i2[k]);
        }
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, before);
    }
    // An empty or single range is left alone.
    double x[2] = {1.0, 2.0};
    int i1[2] = {1, 2}, i2[2] = {3, 4};
    dqsortr2i(x, i1, i2, 1, 0);
    dqsortr2i(x, i1, i2, 0, 0);
    EXPECT_EQ(x[0], 1.0);
    EXPECT_EQ(i2[1], 4);
}
