#include "platform/interface_listing.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

namespace seekwell {
namespace {

using platform::Ipv4Interface;
using platform::Ipv4Link;

constexpr std::uint32_t kSequence = 7;

std::string Bytes(const void* data, std::size_t length) { return std::string(static_cast<const char*>(data), length); }

// "" for none.
in_addr Ip(const char* text)
{
    in_addr address{};
    EXPECT_TRUE(*text == '\0' || inet_pton(AF_INET, text, &address) == 1) << text;
    return address;
}

// One message as the kernel lays it out: header, fixed part, attributes padded to 4 bytes.
std::string Message(std::uint16_t type, const std::string& fixed,
                    const std::vector<std::pair<std::uint16_t, std::string>>& attributes = {}, std::uint16_t flags = 0)
{
    std::string body = fixed;
    for (const auto& [attributeType, value] : attributes) {
        const rtattr header{static_cast<unsigned short>(RTA_LENGTH(value.size())), attributeType};
        body += Bytes(&header, sizeof header) + value;
        body.resize(RTA_ALIGN(body.size()), '\0');
    }
    const nlmsghdr header{static_cast<std::uint32_t>(NLMSG_LENGTH(body.size())), type, flags, kSequence, 0};
    return Bytes(&header, sizeof header) + body;
}

std::string Link(int index, const char* name, unsigned int flags)
{
    ifinfomsg link{};
    link.ifi_index = index;
    link.ifi_flags = flags;
    return Message(RTM_NEWLINK, Bytes(&link, sizeof link), {{IFLA_IFNAME, std::string(name) + '\0'}});
}

// Labelled, as a label must not move an address off its link; local "": no IFA_LOCAL.
std::string Address(unsigned int index, unsigned char prefix, const char* local, const char* address)
{
    const ifaddrmsg header{AF_INET, prefix, 0, 0, index};
    const in_addr values[] = {Ip(address), Ip(local)};
    std::vector<std::pair<std::uint16_t, std::string>> attributes = {{IFA_LABEL, "lic:1"},
                                                                     {IFA_ADDRESS, Bytes(&values[0], 4)}};
    if (*local != '\0') {
        attributes.emplace_back(IFA_LOCAL, Bytes(&values[1], 4));
    }
    return Message(RTM_NEWADDR, Bytes(&header, sizeof header), attributes);
}

// A neighbour in that state (NUD_*) on link index.
std::string Neighbour(int index, const char* address, std::uint16_t state)
{
    ndmsg header{};
    header.ndm_family = AF_INET;
    header.ndm_ifindex = index;
    header.ndm_state = state;
    const in_addr value = Ip(address);
    return Message(RTM_NEWNEIGH, Bytes(&header, sizeof header), {{NDA_DST, Bytes(&value, 4)}});
}

std::string Code(int code) { return Bytes(&code, sizeof code); }
std::string Patched(std::string message, std::size_t offset, char byte) { return message.replace(offset, 1, 1, byte); }

// Fed from a copy of its exact length, so that a sanitizer sees any read past the end.
platform::DumpProgress Fold(platform::ListingBuilder& builder, const std::string& buffer)
{
    const std::vector<unsigned char> exact(buffer.begin(), buffer.end());
    return builder.AddMessages(exact.data(), exact.size(), kSequence);
}

TEST(InterfaceListing, AddressesLandOnTheirLinkAndReachTheirSubnet)
{
    struct Case {
        const char* what;
        unsigned char prefix;
        const char* local;
        const char* address;
        const char* peer;
        const char* reached;
        const char* notReached;
    };
    const Case cases[] = {
        {"labelled", 24, "198.18.9.1", "198.18.9.1", "", "198.18.9.200", "198.18.10.1"},
        {"point-to-point, no peer", 24, "10.9.0.1", "10.9.0.1", "", "10.9.0.77", "10.9.1.1"},
        {"/32 peer", 32, "10.0.0.1", "10.0.0.2", "10.0.0.2", "10.0.0.2", "10.0.0.3"},
        {"peer's /24", 24, "10.0.0.1", "10.1.2.3", "10.1.2.3", "10.1.2.200", "10.0.0.5"},
        {"IFA_ADDRESS alone", 16, "", "172.16.0.1", "", "172.16.200.1", "172.17.0.1"},
    };
    for (const Case& each : cases) {
        platform::ListingBuilder builder;
        const std::string dump = Link(3, "lic", IFF_POINTOPOINT) + Address(3, each.prefix, each.local, each.address);
        EXPECT_TRUE(Fold(builder, dump + Message(NLMSG_DONE, Code(0))).done) << each.what;
        const platform::Ipv4Listing listing = builder.Listing();
        const Ipv4Link expected{Ip(*each.local != '\0' ? each.local : each.address), each.prefix, Ip(each.peer)};
        ASSERT_EQ(listing.interfaces.size(), 1U) << each.what;
        EXPECT_EQ(listing.interfaces[0], (Ipv4Interface{3, "lic", IFF_POINTOPOINT, {expected}})) << each.what;
        EXPECT_TRUE(listing.interfaces[0].Reaches(Ip(each.reached))) << each.what;
        EXPECT_FALSE(listing.interfaces[0].Reaches(Ip(each.notReached))) << each.what;
        EXPECT_TRUE(listing.IsOwn(expected.address)) << each.what;
        EXPECT_FALSE(listing.IsOwn(Ip(each.reached))) << each.what;
    }
}

// Each link's name and how many addresses it has, in order: "lo/1 eth0/0 ".
std::string Summary(const platform::Ipv4Listing& listing)
{
    std::string summary;
    for (const Ipv4Interface& each : listing.interfaces) {
        summary += each.name + "/" + std::to_string(each.links.size()) + " ";
    }
    return summary;
}

TEST(InterfaceListing, WhatABufferHolds)
{
    struct Case {
        const char* what;
        std::string buffer;
        bool done;
        int error;
        bool interrupted;
        const char* summary;
    };
    const std::string lo = Link(1, "lo", 0);
    const std::string eth0 = Link(2, "eth0", 0);
    const std::string address = Address(1, 8, "127.0.0.1", "127.0.0.1");
    const nlmsghdr tooShort{8, RTM_NEWLINK, 0, kSequence, 0};
    const Case cases[] = {
        {"every link, sorted by index; an address of one not listed left out",
         Link(5, "eth1", 0) + lo + address + Link(2, "ifb0", 0) + Address(4, 24, "192.0.2.1", "192.0.2.1"), false, 0,
         false, "lo/1 ifb0/0 eth1/0 "},
        {"DONE ends", lo + Message(NLMSG_DONE, Code(0)) + eth0, true, 0, false, "lo/0 "},
        {"more to come", lo + address, false, 0, false, "lo/1 "},
        {"an error", Message(NLMSG_ERROR, Code(-EPERM)) + lo, true, EPERM, false, ""},
        {"an error beyond any errno", Message(NLMSG_ERROR, Code(INT_MIN)), true, EPROTO, false, ""},
        {"an acknowledgement", Message(NLMSG_ERROR, Code(0)) + lo, false, 0, false, "lo/0 "},
        {"DONE with an error", Message(NLMSG_DONE, Code(-EMSGSIZE)), true, EMSGSIZE, false, ""},
        {"interrupted", lo + Message(NLMSG_DONE, Code(0), {}, NLM_F_DUMP_INTR), true, 0, true, "lo/0 "},
        {"another request's", Patched(eth0, 8, 99) + lo, false, 0, false, "lo/0 "},
        {"another type", Patched(eth0, 4, RTM_NEWROUTE) + lo, false, 0, false, "lo/0 "},
        {"a bridge's link", Patched(eth0, 16, AF_BRIDGE) + lo, false, 0, false, "lo/0 "},
        {"an IPv6 address", lo + Patched(address, 16, AF_INET6), false, 0, false, "lo/0 "},
        {"prefix over 32", lo + Patched(address, 17, 33), false, 0, false, "lo/0 "},
        {"address of two bytes", lo + Message(RTM_NEWADDR, Address(1, 8, "", "").substr(16, 8), {{IFA_LOCAL, "ab"}}),
         false, 0, false, "lo/0 "},
        {"name running past the end", Patched(eth0, 32, 100) + lo, false, 0, false, "lo/0 "},
        {"link header cut short", Message(RTM_NEWLINK, "abcd") + lo, false, 0, false, "lo/0 "},
        {"message cut short", lo + eth0.substr(0, 20), false, 0, false, "lo/0 "},
        {"header shorter than itself", lo + Bytes(&tooShort, sizeof tooShort) + eth0, false, 0, false, "lo/0 "},
        {"nothing", "", false, 0, false, ""},
    };
    for (const Case& each : cases) {
        platform::ListingBuilder builder;
        const platform::DumpProgress progress = Fold(builder, each.buffer);
        EXPECT_EQ(progress.done, each.done) << each.what;
        EXPECT_EQ(progress.error, each.error) << each.what;
        EXPECT_EQ(progress.interrupted, each.interrupted) << each.what;
        EXPECT_EQ(Summary(builder.Listing()), each.summary) << each.what;
    }
}

// The neighbours a search may ask again: those that answer or may, not those failed, being resolved or of
// multicast; each on its link.
TEST(InterfaceListing, NeighboursThatMayAnswer)
{
    platform::ListingBuilder builder;
    Fold(builder, Neighbour(2, "192.0.2.10", NUD_REACHABLE) + Neighbour(2, "192.0.2.11", NUD_STALE) +
                      Neighbour(3, "198.18.8.5", NUD_PERMANENT) + Neighbour(2, "192.0.2.12", NUD_FAILED) +
                      Neighbour(2, "192.0.2.13", NUD_INCOMPLETE) + Neighbour(2, "239.255.255.250", NUD_NOARP) +
                      Message(NLMSG_DONE, Code(0)));
    std::string kept;
    for (const platform::Ipv4Neighbour& each : builder.Neighbours()) {
        kept += std::to_string(each.index) + ":" + inet_ntoa(each.address) + " ";
    }
    EXPECT_EQ(kept, "2:192.0.2.10 2:192.0.2.11 3:198.18.8.5 ");
    std::vector<platform::Ipv4Neighbour> neighbours;
    EXPECT_EQ(platform::ReadIpv4Neighbours(neighbours), 0);
}

TEST(InterfaceListing, ReadsLoopbackFromTheKernel)
{
    platform::Ipv4Listing listing;
    ASSERT_EQ(platform::ReadIpv4Listing(listing), 0);
    const auto lo = std::find_if(listing.interfaces.begin(), listing.interfaces.end(),
                                 [](const Ipv4Interface& each) { return each.name == "lo"; });
    ASSERT_NE(lo, listing.interfaces.end());
    EXPECT_EQ(lo->flags & (IFF_UP | IFF_LOOPBACK), static_cast<unsigned int>(IFF_UP | IFF_LOOPBACK));
    const Ipv4Link loopback{Ip("127.0.0.1"), 8, {}};
    EXPECT_NE(std::find(lo->links.begin(), lo->links.end(), loopback), lo->links.end());
    EXPECT_EQ(listing.ByIndex(lo->index), &*lo);
}

}  // namespace
}  // namespace seekwell
