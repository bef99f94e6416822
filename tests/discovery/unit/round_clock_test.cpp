// When a live search does what, on a clock of the test's own: rounds and
// their two sends, the look for quiet interfaces, the window's end, and the
// interfaces looked at once a burst of changes has settled.
#include "live/round_clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace seekwell::live {
namespace {

using std::chrono::milliseconds;

// "quiet over round follow send2", as Take gives them.
std::string Said(const RoundClock::Due& due)
{
    std::string said;
    auto add = [&said](bool is, const std::string& what) {
        if (is) {
            said += (said.empty() ? "" : " ") + what;
        }
    };
    add(due.quietCheck, "quiet");
    add(due.listeningOver, "over");
    add(due.roundOver, "round");
    add(due.followInterfaces, "follow");
    add(due.sends != 0, "send" + std::to_string(due.sends));
    add(due.lossCheck, "loss");
    return said;
}

TEST(RoundClock, TellsWhatIsDueAndWhenToWake)
{
    struct Tick {
        int atMs;
        const char* said;
        int nextMs;  // -1: nothing more is due
        int changeMs = -1;
    };
    struct Case {
        const char* what;
        unsigned int windowMs;
        unsigned int periodMs;
        std::vector<Tick> ticks;
    };
    const Case cases[] = {
        {"a window of 10 s, rounds of 15",
         10000,
         15000,
         {{0, "send1", 1000},
          {999, "", 1000},
          {1000, "send1", 1250},
          {1250, "loss", 2000},
          {2000, "quiet", 10000},
          {10000, "over", -1},
          {16000, "", -1}}},
        {"a watch: rounds go on, each searched twice, its losses and quiet looked at each",
         0,
         3000,
         {{0, "send1", 1000},
          {1000, "send1", 1250},
          {1250, "loss", 2000},
          {2000, "quiet", 3000},
          {3000, "round send1", 4000},
          {4100, "send1", 4250},
          {4300, "loss", 5000},
          {5000, "quiet", 6000},
          {9500, "round send1", 10500}}},
        {"a round shorter than the quiet look: looked at as it ends; resent after half the period, its losses between",
         0,
         400,
         {{0, "send1", 200}, {200, "send1", 300}, {300, "loss", 400}, {400, "quiet round send1", 600}}},
        {"a window shorter than a round's sends", 500, 15000, {{0, "send1", 500}, {500, "quiet over", -1}}},
        {"interfaces looked at once a burst settles",
         0,
         15000,
         {{0, "send1", 1000}, {10, "", 110, 10}, {50, "", 110, 50}, {110, "follow", 1000}}},
    };
    for (const Case& each : cases) {
        const auto start = RoundClock::Clock::time_point() + std::chrono::hours(1);
        RoundClock clock(each.windowMs, each.periodMs, start);
        for (const Tick& tick : each.ticks) {
            if (tick.changeMs >= 0) {
                clock.NoteInterfaceChange(start + milliseconds(tick.changeMs));
            }
            EXPECT_EQ(Said(clock.Take(start + milliseconds(tick.atMs))), tick.said) << each.what << " at " << tick.atMs;
            const auto next = clock.NextDue();
            EXPECT_EQ(next ? (*next - start) / milliseconds(1) : -1, tick.nextMs) << each.what << " at " << tick.atMs;
        }
    }
}

}  // namespace
}  // namespace seekwell::live
