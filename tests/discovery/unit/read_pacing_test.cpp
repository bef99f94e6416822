// When the search loop pauses before it waits: only in a storm, and only
// after a wake that found too few datagrams to be worth it.
#include "live/read_pacing.h"

#include <gtest/gtest.h>

namespace seekwell::live {
namespace {

using std::chrono::milliseconds;

TEST(ReadPacing, PausesOnlyInAStormAfterAThinWake)
{
    struct Wake {
        int atMs;
        std::size_t datagrams;
        bool pauses;
    };
    const ReadPacing::Clock::time_point start{};
    const struct {
        const char* what;
        std::vector<Wake> wakes;
    } cases[] = {
        {"a robot's reply now and then", {{0, 1, false}, {5, 1, false}, {12, 2, false}}},
        {"a burst at the storm's rate, wakes of one", {{0, 150, false}, {5, 49, false}, {6, 1, true}}},
        {"a storm into the next slot", {{0, 150, false}, {9, 60, false}, {11, 1, true}, {15, 3, true}}},
        {"a wake that read a batch needs no pause", {{0, 250, false}, {11, 16, false}, {12, 15, true}}},
        {"quiet after a storm", {{0, 250, false}, {11, 1, true}, {21, 1, false}}},
        {"a slot with no wake between is a quiet one", {{0, 250, false}, {25, 1, false}}},
    };
    for (const auto& each : cases) {
        ReadPacing pacing;
        for (const Wake& wake : each.wakes) {
            pacing.OnWake(start + milliseconds(wake.atMs), wake.datagrams);
            EXPECT_EQ(pacing.PauseBeforeWait() > ReadPacing::Clock::duration::zero(), wake.pauses)
                << each.what << ", at " << wake.atMs << " ms";
        }
    }
}

}  // namespace
}  // namespace seekwell::live
