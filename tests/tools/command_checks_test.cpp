// What seekwell-discover refuses of its command line before anything is sent, and how it says so.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "command_checks.h"

namespace seekwell_discover {
namespace {

TEST(CommandChecksTest, SecondsAreReadToTheMillisecondWithinTheLibrarysBounds)
{
    EXPECT_EQ(ReadSeconds("30", 1), 30000u);
    EXPECT_EQ(ReadSeconds("2.5", 1), 2500u);
    EXPECT_EQ(ReadSeconds("0.001", 1), 1u);
    EXPECT_EQ(ReadSeconds("4294967", 1), 4294967000u);
    EXPECT_EQ(ReadSeconds("0.2", SEEKWELL_MIN_SEARCH_PERIOD_MS), 200u);
    EXPECT_FALSE(ReadSeconds("0.199", SEEKWELL_MIN_SEARCH_PERIOD_MS));
    // Below the least, finer than a millisecond, beyond the most, and what is no plain decimal.
    for (const char* refused : {"0", "0.0001", "4294967.001", "99999999", "2.", ".5", "-1", "+1", "1e3", " 1", ""}) {
        EXPECT_FALSE(ReadSeconds(refused, 1)) << refused;
    }
}

TEST(CommandChecksTest, EachRefusedProbeIsNamedWithItsReasonInItsPlace)
{
    EXPECT_TRUE(RefusedProbes({"198.19.5.11", "198.19.6.0/24"}).empty());
    const std::vector<std::string> refused = RefusedProbes({"robot.local", "198.19.0.0/20", "127.0.0.1", " 192.0.2.10",
                                                            "10.0.0.0/8", "239.1.1.1", "198.18.0.1", "\x1b[2J"});
    const std::vector<std::string> expected = {
        "--probe 'robot.local': a hostname: names are not looked up, give the robot's IPv4 address",
        "--probe '127.0.0.1': a loopback address: this host itself, never a robot",
        "--probe ' 192.0.2.10': not an IPv4 address or CIDR range, such as 192.0.2.10 or 192.0.2.0/24",
        "--probe '10.0.0.0/8': a range wider than /20, which holds 4096 addresses",
        "--probe '239.1.1.1': not a unicast address: multicast, broadcast, 0.0.0.0/8 or 240.0.0.0/4",
        // The /20 holds the most: the next address taken is one too many, whatever was refused between.
        "--probe '198.18.0.1': more than 4096 addresses with the entries before it",
        "--probe '?[2J': not an IPv4 address or CIDR range, such as 192.0.2.10 or 192.0.2.0/24",
    };
    EXPECT_EQ(refused, expected);
}

TEST(CommandChecksTest, EveryTargetReasonHasWordsOfItsOwn)
{
    EXPECT_EQ(TargetReasonText(static_cast<seekwell_target_reason>(99)), "refused by the library (reason 99)");
    std::vector<std::string> seen;
    for (int reason = SEEKWELL_TARGET_NOT_AN_ADDRESS; reason <= SEEKWELL_TARGET_NOT_UNICAST; ++reason) {
        const std::string text = TargetReasonText(static_cast<seekwell_target_reason>(reason));
        EXPECT_EQ(text.find("refused by the library"), std::string::npos) << reason;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), text), 0) << text;
        seen.push_back(text);
    }
}

TEST(CommandChecksTest, AnInterfaceThatCannotBeSearchedIsToldWithThoseThatCan)
{
    EXPECT_EQ(InterfaceRefusal("lo", InterfaceKind::Loopback, {"eth0", "wlan0"}),
              "'lo' is the loopback interface, where no robot answers; interfaces here: eth0, wlan0");
    EXPECT_EQ(InterfaceRefusal("nosuch0", InterfaceKind::Unknown, {"eth0"}),
              "no interface named 'nosuch0'; interfaces here: eth0");
    EXPECT_EQ(InterfaceRefusal("eth\x1b", InterfaceKind::Unknown, {}),
              "no interface named 'eth?'; this host has none but loopback");
}

TEST(CommandChecksTest, LoopbackAndMissingInterfacesAreToldApart)
{
    EXPECT_EQ(JudgeInterface("lo"), InterfaceKind::Loopback);
    EXPECT_EQ(JudgeInterface("nosuch0"), InterfaceKind::Unknown);
    EXPECT_EQ(JudgeInterface("a-name-longer-than-any"), InterfaceKind::Unknown);
    for (const std::string& name : SearchableInterfaces()) {
        EXPECT_EQ(JudgeInterface(name), InterfaceKind::Searchable) << name;
    }
}

}  // namespace
}  // namespace seekwell_discover
