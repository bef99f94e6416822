// Which interfaces a live search searches on as the kernel's listing of them
// changes, look after look: sockets closed and opened, and the robots of an
// interface that went away forgotten.
#include "live/interface_plan.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <string>
#include <vector>

namespace seekwell::live {
namespace {

constexpr unsigned int kUp = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
constexpr unsigned int kNoCarrier = IFF_UP | IFF_MULTICAST;
constexpr unsigned int kDown = IFF_MULTICAST;

platform::Ipv4Link Link(const char* address)
{
    platform::Ipv4Link link;
    inet_aton(address, &link.address);
    link.prefixLength = 24;
    return link;
}

platform::Ipv4Interface Interface(unsigned int index, unsigned int flags, std::vector<const char*> addresses,
                                  const char* name = nullptr)
{
    platform::Ipv4Interface each{index, name != nullptr ? name : "if" + std::to_string(index), flags, {}};
    for (const char* address : addresses) {
        each.links.push_back(Link(address));
    }
    return each;
}

// "close 2 open 3 forget 4", in that order.
std::string Said(const InterfaceChanges& changes)
{
    std::string said;
    auto add = [&said](const char* what, unsigned int index) {
        said += (said.empty() ? "" : " ") + std::string(what) + " " + std::to_string(index);
    };
    for (const unsigned int index : changes.close) {
        add("close", index);
    }
    for (const platform::Ipv4Interface& each : changes.open) {
        add("open", each.index);
    }
    for (const unsigned int index : changes.forget) {
        add("forget", index);
    }
    for (const unsigned int index : changes.carrierBack) {
        add("carrier", index);
    }
    return said;
}

TEST(InterfacePlan, FollowsEachInterfaceByIndexAndByValue)
{
    struct Look {
        std::vector<platform::Ipv4Interface> listing;
        const char* said;
    };
    struct Case {
        const char* what;
        std::vector<Look> looks;
    };
    const auto lo = Interface(1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK, {"127.0.0.1"}, "lo");
    const auto eth = Interface(2, kUp, {"192.0.2.1"});
    const Case cases[] = {
        {"loopback is never chosen; a second interface comes and goes",
         {{{lo, eth}, "open 2"},
          {{lo, eth, Interface(3, kUp, {"198.18.7.1"})}, "open 3"},
          {{lo, eth}, "close 3 forget 3"}}},
        {"down, then removed: its robots go all the same",
         {{{eth}, "open 2"}, {{Interface(2, kDown, {"192.0.2.1"})}, "close 2"}, {{}, "forget 2"}}},
        {"without carrier for a while keeps its sockets and robots, and is searched again when it is back",
         {{{eth}, "open 2"}, {{Interface(2, kNoCarrier, {"192.0.2.1"})}, ""}, {{eth}, "carrier 2"}}},
        {"up before its carrier: searched at once, and again when the carrier comes",
         {{{Interface(2, kNoCarrier, {"192.0.2.1"})}, "open 2"}, {{eth}, "carrier 2"}, {{eth}, ""}}},
        {"an address replaced in one burst is searched anew",
         {{{eth}, "open 2"}, {{Interface(2, kUp, {"192.0.2.77"})}, "close 2 open 2"}}},
        {"a labelled address added: the interface is searched anew",
         {{{eth}, "open 2"}, {{Interface(2, kUp, {"192.0.2.1", "198.18.9.1"})}, "close 2 open 2"}}},
        {"its last address gone: its robots go",
         {{{eth}, "open 2"}, {{Interface(2, kUp, {})}, "close 2 forget 2"}, {{eth}, "open 2"}}},
        {"a flag that does not matter changes nothing",
         {{{eth}, "open 2"}, {{Interface(2, kUp | IFF_PROMISC, {"192.0.2.1"})}, ""}}},
        {"an interface that cannot multicast is not chosen",
         {{{Interface(4, IFF_UP | IFF_RUNNING, {"10.0.0.1"})}, ""}}},
    };
    for (const Case& each : cases) {
        InterfacePlan plan("");
        for (std::size_t i = 0; i < each.looks.size(); ++i) {
            platform::Ipv4Listing listing;
            listing.interfaces = each.looks[i].listing;
            EXPECT_EQ(Said(plan.Follow(listing)), each.looks[i].said) << each.what << ", look " << i;
        }
    }
}

TEST(InterfacePlan, ANamedInterfaceIsTakenAsTheHostNamesIt)
{
    InterfacePlan plan("lo");
    platform::Ipv4Listing listing;
    listing.interfaces = {Interface(1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK, {"127.0.0.1"}, "lo"),
                          Interface(2, kUp, {"192.0.2.1"})};
    EXPECT_EQ(Said(plan.Follow(listing)), "open 1");
    ASSERT_NE(plan.Searched(1), nullptr);
    EXPECT_EQ(plan.Searched(2), nullptr);
    plan.Unsearch(1);
    EXPECT_EQ(Said(plan.Follow(listing)), "open 1");
}

}  // namespace
}  // namespace seekwell::live
