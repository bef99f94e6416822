// Replies this host dropped, on the test's own clock: the devices asked again, paced, and what the
// host is told when that cannot learn them all.
#include "live/loss_recovery.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace seekwell::live {
namespace {

using std::chrono::milliseconds;
using Clock = LossRecovery::Clock;

std::vector<in_addr_t> Addresses(in_addr_t count)
{
    std::vector<in_addr_t> addresses(count);
    std::iota(addresses.begin(), addresses.end(), 1);
    return addresses;
}

// "index:dropped:why" for each loss of the round.
std::string Said(LossRecovery& recovery)
{
    std::string said;
    for (const LossRecovery::Loss& loss : recovery.EndRound()) {
        said += (said.empty() ? "" : " ") + std::to_string(loss.index) + ":" + std::to_string(loss.dropped) + ":" +
                loss.why.substr(0, loss.why.find(' '));
    }
    return said;
}

TEST(LossRecovery, AsksAgainWhatWasDroppedAtAThousandASecondAndTellsWhatItCannot)
{
    const Clock::time_point start = Clock::time_point() + std::chrono::hours(1);
    const Clock::time_point roundEnd = start + milliseconds(10000);
    struct Case {
        const char* what;
        std::uint64_t dropped;
        int neighbours;  // -1: the table could not be read
        std::uint64_t droppedAfter;
        int runMs;  // how long due asks are taken
        const char* said;
    };
    const Case cases[] = {
        {"nothing dropped: nothing asked, nothing told", 0, 0, 0, 0, ""},
        {"dropped, and every neighbour asked again", 40, 300, 0, 400, ""},
        {"dropped again while asking", 40, 300, 3, 400, "2:43:more"},
        {"more neighbours than the round has time for", 900, 12000, 0, 10000, "2:900:12000"},
        {"the neighbour table could not be read", 7, -1, 0, 0, "2:7:the"},
        {"the round ended before every one was asked", 40, 300, 0, 100, "2:40:the"},
    };
    for (const Case& each : cases) {
        LossRecovery recovery;
        recovery.OnDropped(2, each.dropped);
        ASSERT_EQ(recovery.Wanting(), each.dropped != 0 ? std::vector<unsigned int>{2} : std::vector<unsigned int>{})
            << each.what;
        if (each.dropped != 0 && each.neighbours < 0) {
            recovery.CannotAsk(2, "the neighbour table could not be read");
        } else if (each.dropped != 0) {
            recovery.Ask(2, Addresses(static_cast<in_addr_t>(each.neighbours)), start, roundEnd);
            EXPECT_TRUE(recovery.Wanting().empty()) << each.what;
        }
        recovery.OnDropped(2, each.droppedAfter);
        std::size_t asked = 0;
        for (int ms = 0; ms < each.runMs; ms += 10) {
            const auto due = recovery.TakeDue(start + milliseconds(ms));
            // A batch every 10 ms, one a millisecond: a thousand a second.
            EXPECT_LE(due.size(), 11u) << each.what;
            asked += due.size();
        }
        if (each.runMs >= each.neighbours && each.neighbours >= 0) {
            EXPECT_EQ(asked, static_cast<std::size_t>(std::min(each.neighbours, 10000))) << each.what;
        }
        EXPECT_EQ(Said(recovery), each.said) << each.what;
        EXPECT_TRUE(recovery.Wanting().empty()) << each.what;
    }
}

TEST(LossRecovery, DropsTooLateToAskAndGoneInterfacesAndTheTotal)
{
    const Clock::time_point start = Clock::time_point() + std::chrono::hours(1);
    LossRecovery recovery;
    recovery.OnDropped(3, 5);  // after the round's look: told
    recovery.OnDropped(4, 9);
    recovery.Ask(4, Addresses(50), start, start + milliseconds(5000));
    recovery.Forget(4);  // its interface went: nothing more asked, nothing told
    EXPECT_TRUE(recovery.TakeDue(start + milliseconds(100)).empty());
    EXPECT_FALSE(recovery.NextDue().has_value());
    EXPECT_EQ(Said(recovery), "3:5:they");
    recovery.OnDropped(3, 2);
    EXPECT_EQ(Said(recovery), "3:2:they");
    EXPECT_EQ(recovery.Unrecovered(), 7u);
}

}  // namespace
}  // namespace seekwell::live
