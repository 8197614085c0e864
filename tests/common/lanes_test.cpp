// The worker lanes: every lane runs once per call, on its own thread, and calls from a second
// thread or from inside a lane still run every lane.
#include "common/lanes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

namespace {

TEST(Lanes, EveryLaneRunsOnceOnItsOwnThreadAndIsDoneOnReturn) {
    for (int count : {1, 2, 3, 5}) {
        for (int call = 0; call < 50; ++call) {
            std::vector<int> runs(static_cast<size_t>(count), 0);
            std::vector<std::thread::id> ids(static_cast<size_t>(count));
            trelvak::run_lanes(count, [&](int lane) {
                runs[static_cast<size_t>(lane)] += 1;
                ids[static_cast<size_t>(lane)] = std::this_thread::get_id();
            });
            EXPECT_EQ(runs, std::vector<int>(static_cast<size_t>(count), 1)) << count;
            EXPECT_EQ(ids[0], std::this_thread::get_id());
            EXPECT_EQ(std::set<std::thread::id>(ids.begin(), ids.end()).size(),
                      static_cast<size_t>(count));
        }
    }
}

TEST(Lanes, CallsFromTwoThreadsAndNestedCallsRunEveryLane) {
    std::atomic<long> sum{0};
    auto many = [&] {
        for (int call = 0; call < 200; ++call) {
            trelvak::run_lanes(3, [&](int lane) {
                sum += lane + 1;
                if (lane == 1) {  // lanes asked for from inside a lane
                    trelvak::run_lanes(2, [&](int inner) { sum += 10 * (inner + 1); });
                }
            });
        }
    };
    std::thread other(many);
    many();
    other.join();
    EXPECT_EQ(sum.load(), 2 * 200 * (6 + 30));
}

TEST(Lanes, CountFollowsTheOverrideAndItsReset) {
    const int initial = trelvak::lane_count();
    EXPECT_GE(initial, 1);
    trelvak::set_lane_count(3);
    EXPECT_EQ(trelvak::lane_count(), 3);
    trelvak::set_lane_count(1000);
    EXPECT_EQ(trelvak::lane_count(), trelvak::kMaxLanes);
    trelvak::set_lane_count(0);
    EXPECT_EQ(trelvak::lane_count(), initial);
}

}  // namespace
