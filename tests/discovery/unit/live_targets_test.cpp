// What a live search makes of the targets a host names, when it sweeps them,
// and when it tells an interface quiet: pure pieces, without sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "live/quiet_watch.h"
#include "live/search_targets.h"
#include "live/sweep_plan.h"

namespace seekwell::live {
namespace {

using std::chrono::milliseconds;

in_addr_t Address(const char* text)
{
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

std::vector<std::string> Texts(const std::vector<in_addr_t>& addresses)
{
    std::vector<std::string> texts;
    for (const in_addr_t each : addresses) {
        char text[INET_ADDRSTRLEN];
        in_addr address{};
        address.s_addr = each;
        texts.emplace_back(inet_ntop(AF_INET, &address, text, sizeof text));
    }
    return texts;
}

TEST(SearchTargets, ReadsAddressesAndRangesAndRefusesAnythingElse)
{
    struct Case {
        std::vector<const char*> list;
        int error;
        std::size_t asked;
        std::size_t swept;
    };
    const Case cases[] = {
        {{"198.19.5.11"}, 0, 1, 0},
        {{"198.19.5.11", "198.19.5.11", "198.19.5.12"}, 0, 2, 0},
        {{"198.19.5.0/24"}, 0, 0, 254},   // without .0 and .255
        {{"198.19.5.77/24"}, 0, 0, 254},  // host bits ignored
        {{"198.19.5.8/30"}, 0, 0, 2},
        {{"198.19.5.8/31"}, 0, 0, 2},  // a point-to-point pair: both ends
        {{"198.19.5.9/32"}, 0, 0, 1},
        {{"198.19.0.0/20"}, 0, 0, 4094},  // 4096 addresses: the most
        {{"198.19.0.0/20", "198.18.0.1"}, EINVAL, 0, 0},
        {{"198.19.0.0/19"}, EINVAL, 0, 0},  // wider than /20
        {{"robot.local"}, EINVAL, 0, 0},
        {{"198.19.5"}, EINVAL, 0, 0},
        {{"198.19.5.011"}, EINVAL, 0, 0},
        {{"198.19.5.1/"}, EINVAL, 0, 0},
        {{"198.19.5.1/24x"}, EINVAL, 0, 0},
        {{"198.19.5.1/+24"}, EINVAL, 0, 0},
        {{"198.19.5.1/33"}, EINVAL, 0, 0},
        {{" 198.19.5.1"}, EINVAL, 0, 0},
        {{""}, EINVAL, 0, 0},
        {{"127.0.0.1"}, EINVAL, 0, 0},
        {{"0.0.0.0"}, EINVAL, 0, 0},
        {{"0.0.0.0/30"}, EINVAL, 0, 0},
        {{"255.255.255.255"}, EINVAL, 0, 0},
        {{"239.255.255.250"}, EINVAL, 0, 0},
        {{"224.0.0.0/24"}, EINVAL, 0, 0},
        {{"240.0.0.1"}, EINVAL, 0, 0},
        {{}, 0, 0, 0},
    };
    for (const Case& each : cases) {
        std::vector<const char*> list = each.list;
        list.push_back(nullptr);
        SearchTargets targets;
        targets.asked = {Address("192.0.2.99")};  // what a refused list leaves as it was
        const std::string what = each.list.empty() ? "(none)" : each.list.front();
        ASSERT_EQ(ReadTargets(list.data(), false, targets), each.error) << what;
        if (each.error == 0) {
            EXPECT_EQ(targets.asked.size(), each.asked) << what;
            EXPECT_EQ(targets.swept.size(), each.swept) << what;
        } else {
            EXPECT_EQ(targets.asked.size(), 1u) << what;
        }
    }
    SearchTargets none;
    EXPECT_EQ(ReadTargets(nullptr, false, none), 0);
    EXPECT_TRUE(none.Empty());
}

TEST(SearchTargets, NamesTheFirstEntryRefusedAndWhy)
{
    struct Case {
        std::vector<const char*> list;
        std::size_t index;
        seekwell_target_reason reason;
    };
    const Case cases[] = {
        {{"198.19.5.11", "198.19.6.0/24"}, 2, SEEKWELL_TARGET_ACCEPTED},
        {{"robot.local"}, 0, SEEKWELL_TARGET_HOSTNAME},
        {{"robot-1.lab/24"}, 0, SEEKWELL_TARGET_HOSTNAME},
        {{"198.19.5.1x"}, 0, SEEKWELL_TARGET_NOT_AN_ADDRESS},  // a typo, not a name
        {{"-robot"}, 0, SEEKWELL_TARGET_NOT_AN_ADDRESS},
        {{"robot..local"}, 0, SEEKWELL_TARGET_NOT_AN_ADDRESS},
        {{"300.1.1.1"}, 0, SEEKWELL_TARGET_NOT_AN_ADDRESS},
        {{" 192.0.2.10"}, 0, SEEKWELL_TARGET_NOT_AN_ADDRESS},
        {{"198.19.5.0/33"}, 0, SEEKWELL_TARGET_NOT_AN_ADDRESS},
        {{"198.19.5.0/"}, 0, SEEKWELL_TARGET_NOT_AN_ADDRESS},
        {{"198.19.5.0/024"}, 0, SEEKWELL_TARGET_NOT_AN_ADDRESS},
        {{""}, 0, SEEKWELL_TARGET_NOT_AN_ADDRESS},
        {{"198.19.0.0/19"}, 0, SEEKWELL_TARGET_PREFIX_TOO_SHORT},
        {{"127.0.0.0/8"}, 0, SEEKWELL_TARGET_PREFIX_TOO_SHORT},  // its form before its addresses
        {{"198.19.0.0/20", "198.18.0.1", "robot.local"}, 1, SEEKWELL_TARGET_TOO_MANY_ADDRESSES},
        {{"127.0.0.1"}, 0, SEEKWELL_TARGET_LOOPBACK},
        {{"239.255.255.250"}, 0, SEEKWELL_TARGET_NOT_UNICAST},
        {{"255.255.255.255"}, 0, SEEKWELL_TARGET_NOT_UNICAST},
        {{"0.0.0.0/30"}, 0, SEEKWELL_TARGET_NOT_UNICAST},
        {{"240.0.0.1"}, 0, SEEKWELL_TARGET_NOT_UNICAST},
        {{"198.19.5.11", "robot.local", "127.0.0.1"}, 1, SEEKWELL_TARGET_HOSTNAME},
        {{}, 0, SEEKWELL_TARGET_ACCEPTED},
    };
    for (const Case& each : cases) {
        std::vector<const char*> list = each.list;
        list.push_back(nullptr);
        SCOPED_TRACE(each.list.empty() ? "(none)" : each.list.back());
        const TargetVerdict verdict = CheckTargets(list.data(), false);
        EXPECT_EQ(verdict.reason, each.reason);
        EXPECT_EQ(verdict.index, each.index);
        // The search itself refuses exactly what the check refuses.
        SearchTargets targets;
        EXPECT_EQ(ReadTargets(list.data(), false, targets), each.reason == SEEKWELL_TARGET_ACCEPTED ? 0 : EINVAL);
    }
    const char* loopback[] = {"127.0.0.5", nullptr};
    EXPECT_EQ(CheckTargets(loopback, true).reason, SEEKWELL_TARGET_ACCEPTED);  // devices on loopback, in tests
    EXPECT_EQ(CheckTargets(nullptr, false).reason, SEEKWELL_TARGET_ACCEPTED);
}

TEST(SearchTargets, HoldsWhatWasNamedAndNothingElse)
{
    const char* list[] = {"198.19.6.0/30", "198.19.5.4/30", "198.19.6.20", "127.0.0.5", nullptr};
    SearchTargets targets;
    ASSERT_EQ(ReadTargets(list, true, targets), 0);  // loopback stands in for a LAN in tests
    // Swept from the first address to the last.
    EXPECT_EQ(Texts(targets.swept), (std::vector<std::string>{"198.19.5.5", "198.19.5.6", "198.19.6.1", "198.19.6.2"}));
    for (const char* held : {"198.19.5.5", "198.19.6.2", "198.19.6.20", "127.0.0.5"}) {
        in_addr address{Address(held)};
        EXPECT_TRUE(targets.Holds(address)) << held;
    }
    for (const char* stranger : {"198.19.5.4", "198.19.6.3", "198.19.6.21", "192.0.2.1"}) {
        in_addr address{Address(stranger)};
        EXPECT_FALSE(targets.Holds(address)) << stranger;
    }
}

TEST(SweepPlan, SendsEachAddressTwiceASecondApartAtAThousandDatagramsASecond)
{
    std::vector<in_addr_t> addresses;
    for (in_addr_t i = 1; i <= 2500; ++i) {
        addresses.push_back(htonl(0xC6130000u + i));
    }
    SweepPlan plan(addresses);
    const auto start = SweepPlan::Clock::now();
    EXPECT_FALSE(plan.NextDue().has_value());
    plan.StartPass(start);
    // The loop wakes every 10 ms for what is due: never more than 10 datagrams.
    std::map<in_addr_t, std::vector<int>> sentAt;
    int most = 0;
    for (int ms = 0; plan.Passing(); ms += 10) {
        const auto due = plan.TakeDue(start + milliseconds(ms));
        most = std::max(most, static_cast<int>(due.size()));
        for (const in_addr_t address : due) {
            sentAt[address].push_back(ms);
        }
        // A round that starts while a pass is under way does not begin it anew.
        if (ms == 3000) {
            plan.StartPass(start + milliseconds(ms));
        }
        ASSERT_LT(ms, 10000);
    }
    EXPECT_LE(most, 10);
    EXPECT_EQ(sentAt.size(), addresses.size());
    for (const auto& [address, times] : sentAt) {
        ASSERT_EQ(times.size(), 2u);
        EXPECT_GE(times[1] - times[0], 1000);
    }
    EXPECT_FALSE(plan.NextDue().has_value());
    plan.StartPass(start + milliseconds(20000));
    EXPECT_EQ(Texts(plan.TakeDue(start + milliseconds(20000))).front(), "198.19.0.1");
    SweepPlan empty({});
    empty.StartPass(start);
    EXPECT_FALSE(empty.Passing());
}

TEST(QuietWatch, TellsAnInterfaceThatHeardNothingOnceUntilADeviceAnswersThere)
{
    QuietWatch watch;
    const std::vector<WatchedInterface> both = {{2, "eth0"}, {3, "wlan0"}};
    watch.StartRound(both);
    watch.OnAnswer(2);
    watch.OnAnswer(9);  // an interface the round does not search on
    EXPECT_EQ(watch.TakeQuiet(), std::vector<std::string>{"wlan0"});
    EXPECT_TRUE(watch.AnyAnswer());
    watch.StartRound(both);
    EXPECT_EQ(watch.TakeQuiet(), std::vector<std::string>{"eth0"});  // wlan0 was told already
    watch.StartRound(both);
    watch.OnAnswer(3);
    EXPECT_TRUE(watch.TakeQuiet().empty());
    watch.StartRound(both);
    EXPECT_EQ(watch.TakeQuiet(), std::vector<std::string>{"wlan0"});  // answered in between: told anew
    watch.StartRound({{3, "wlan0"}});                                 // eth0 went away
    watch.StartRound(both);
    EXPECT_EQ(watch.TakeQuiet(), std::vector<std::string>{"eth0"});

    QuietWatch silent;
    silent.StartRound(both);
    EXPECT_EQ(silent.TakeQuiet(), (std::vector<std::string>{"eth0", "wlan0"}));
    EXPECT_FALSE(silent.AnyAnswer());
    silent.OnAnswerElsewhere();
    EXPECT_TRUE(silent.AnyAnswer());
}

}  // namespace
}  // namespace seekwell::live
