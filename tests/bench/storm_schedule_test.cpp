#include "storm_schedule.h"

#include <gtest/gtest.h>

#include <set>

namespace stormbench {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

TEST(StormPacer, SpreadsTheRateEvenlyAndStopsAtTheTotal)
{
    const StormPacer pacer(100000, seconds(10));
    EXPECT_EQ(pacer.Total(), 1000000u);
    EXPECT_EQ(pacer.DueBy(nanoseconds(-1)), 0u);
    EXPECT_EQ(pacer.DueBy(nanoseconds(0)), 1u);  // the first datagram goes at once
    EXPECT_EQ(pacer.DueBy(milliseconds(1)), 101u);
    EXPECT_EQ(pacer.DueBy(seconds(5)), 500001u);
    EXPECT_EQ(pacer.DueBy(seconds(11)), pacer.Total());
    // DueAt is the inverse: datagram n is due at its time and not a moment before.
    for (std::uint64_t index : {1u, 99u, 12345u, 999999u}) {
        EXPECT_EQ(pacer.DueBy(pacer.DueAt(index)), index + 1) << index;
        EXPECT_EQ(pacer.DueBy(pacer.DueAt(index) - nanoseconds(1)), index) << index;
    }
}

TEST(StormPacer, KeepsFractionalRatesAndShortStorms)
{
    const StormPacer slow(2.5, seconds(2));
    EXPECT_EQ(slow.Total(), 5u);
    EXPECT_EQ(slow.DueBy(milliseconds(399)), 1u);
    EXPECT_EQ(slow.DueBy(milliseconds(400)), 2u);
    EXPECT_EQ(StormPacer(1000, milliseconds(0)).DueBy(seconds(1)), 0u);
}

TEST(PlanRobotReplies, EveryRobotOnceInsideTheSpreadInTimeOrder)
{
    std::mt19937 random(7);
    const Clock::time_point search = Clock::now();
    const auto replies = PlanRobotReplies(search, 16, milliseconds(500), milliseconds(3000), random);
    ASSERT_EQ(replies.size(), 16u);
    std::set<std::size_t> robots;
    for (std::size_t i = 0; i < replies.size(); ++i) {
        robots.insert(replies[i].robot);
        EXPECT_GE(replies[i].due, search + milliseconds(500));
        EXPECT_LE(replies[i].due, search + milliseconds(3000));
        if (i > 0) {
            EXPECT_LE(replies[i - 1].due, replies[i].due);
        }
    }
    EXPECT_EQ(robots.size(), 16u);
    EXPECT_EQ(*robots.rbegin(), 15u);
    // Not all at one moment: a burst would not test the receiver inside the storm.
    EXPECT_LT(replies.front().due, replies.back().due);
}

}  // namespace
}  // namespace stormbench
