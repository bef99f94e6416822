// One datagram, as a socket gives it, through both readers of replies: the
// built-in search's rules into an address table that already holds some
// addresses, and the live search's intake, as a unicast reply and as a
// multicast datagram, against two searched interfaces and a few targets.
//
// Input: a first byte (its value modulo 17: the table's slots taken; divided
// by 17: the sender and the interface it came in by), then the datagram.
#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "builtin/ssdp_receive.h"
#include "live/intake.h"
#include "live/ssdp_message.h"
#include "robot_rules.h"

namespace {

using seekwell::AddressTable;
using seekwell::live::Judged;
using seekwell::live::SsdpMessage;

constexpr std::size_t kSlots = seekwell::kMaxResults;
constexpr std::size_t kMaxAddressLength = INET_ADDRSTRLEN - 1;

// Fills the first count slots with distinct addresses that a reply may repeat.
void Prefill(AddressTable& table, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(table[i], sizeof table[i], "10.0.0.%zu", i);
    }
}

bool IsDottedQuad(const char* slot)
{
    in_addr parsed{};
    return std::strlen(slot) <= kMaxAddressLength && inet_pton(AF_INET, slot, &parsed) == 1;
}

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// Filled from the front, each slot terminated, a dotted quad and unique; at
// most one slot more than before, and the earlier slots unchanged.
void CheckTable(const AddressTable& before, const AddressTable& after, std::size_t prefilled)
{
    std::size_t used = 0;
    while (used < kSlots && after[used][0] != '\0') {
        Require(std::memchr(after[used], '\0', sizeof after[used]) != nullptr);
        Require(IsDottedQuad(after[used]));
        for (std::size_t earlier = 0; earlier < used; ++earlier) {
            Require(std::strcmp(after[earlier], after[used]) != 0);
        }
        ++used;
    }
    for (std::size_t i = used; i < kSlots; ++i) {
        Require(after[i][0] == '\0');
    }
    Require(used == prefilled || used == prefilled + 1);
    Require(std::memcmp(before, after, prefilled * sizeof before[0]) == 0);
}

in_addr AddressOf(const char* text)
{
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address;
}

bool IsLoopback(in_addr address) { return (ntohl(address.s_addr) >> IN_CLASSA_NSHIFT) == IN_LOOPBACKNET; }

// eth0 192.0.2.1/24 and eth1 198.51.100.1/24 with 10.1.0.1/16 are searched;
// nothing is on index 4. Targets: 203.0.113.7 asked, 198.19.5.0/28 swept.
struct Scene {
    seekwell::platform::Ipv4Listing listing;
    seekwell::live::InterfacePlan plan{""};
    seekwell::live::SearchTargets targets;

    Scene()
    {
        const unsigned int up = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
        listing.interfaces = {
            {2, "eth0", up, {{AddressOf("192.0.2.1"), 24, {}}}},
            {3, "eth1", up, {{AddressOf("198.51.100.1"), 24, {}}, {AddressOf("10.1.0.1"), 16, {}}}},
        };
        (void)plan.Follow(listing);
        const char* const named[] = {"203.0.113.7", "198.19.5.0/28", nullptr};
        Require(seekwell::live::ReadTargets(named, false, targets) == 0);
    }
};

// What was read is what the datagram says: a header's value on its line,
// without the blanks around it; the LOCATION as the robot rules find it; both
// cut. Only a NOTIFY is an announcement.
void CheckMessage(const SsdpMessage& message, const char* text)
{
    for (const std::string* value : {&message.location, &message.udn, &message.bootId}) {
        Require(value->size() <= seekwell::live::kHeaderKeptBytes && value->find('\n') == std::string::npos);
    }
    for (const std::string* value : {&message.udn, &message.bootId}) {
        Require(value->empty() || (value->front() != ' ' && value->front() != '\t'));
    }
    Require(message.udn.find("::") == std::string::npos && message.location.find('\r') == std::string::npos);
    Require(message.locationHost.has_value() == !message.location.empty());
    Require(message.location.empty() || message.location.compare(0, 7, "http://") == 0);
    Require(!message.locationHost || message.locationHost->find('/') == std::string::npos);
    Require(message.kind == SsdpMessage::Kind::Reply || std::strncmp(text, "NOTIFY * HTTP/1.1", 17) == 0);
    Require(message.marker == seekwell::CarriesRobotMarker(text));
}

void CheckJudged(const Judged& judged, const seekwell::live::Arrival& arrival, const SsdpMessage& message,
                 const Scene& scene)
{
    const seekwell::platform::Ipv4Interface* where = scene.plan.Searched(arrival.arrivalIndex);
    const bool onSubnet = where != nullptr && where->Reaches(arrival.sender);
    const bool own = IsLoopback(arrival.sender) || scene.listing.IsOwn(arrival.sender);
    Require(!judged.deviceAnswered || !own);
    Require((judged.kind == Judged::Kind::Skipped) == (judged.skip != SEEKWELL_SKIP_NONE));
    Require((judged.kind == Judged::Kind::Skipped) == !judged.reason.empty());
    if (judged.kind == Judged::Kind::Nothing) {
        return;
    }
    Require(judged.heard.location == message.location && judged.heard.udn == message.udn &&
            judged.heard.bootId == message.bootId);
    if (judged.kind == Judged::Kind::Skipped) {
        // Only a unicast reply is told as left out, by the interface it came in by.
        Require(!arrival.multicast && message.kind == SsdpMessage::Kind::Reply && judged.heard.interfaceIndex == 0);
        const auto* named = scene.listing.ByIndex(arrival.arrivalIndex);
        Require(judged.heard.interfaceName == (named != nullptr ? named->name : std::string()));
        return;
    }
    // Believed only from the arrival interface's subnet, never from this
    // host; a unicast reply, not an announcement, also from a target.
    Require(!own && (onSubnet || (!arrival.multicast && message.kind == SsdpMessage::Kind::Reply &&
                                  scene.targets.Holds(arrival.sender))));
    if (judged.kind == Judged::Kind::Byebye) {
        Require(message.kind == SsdpMessage::Kind::Byebye);
        return;
    }
    Require(message.kind == SsdpMessage::Kind::Alive ||
            (!arrival.multicast && message.kind == SsdpMessage::Kind::Reply));
    // A robot's reply whose LOCATION is the sender, fetched over the
    // interface whose subnet it is on.
    in_addr named{};
    Require(message.marker && message.locationHost && seekwell::ReadIpv4(message.locationHost->c_str(), named));
    Require(named.s_addr == arrival.sender.s_addr);
    const in_addr_t order = ntohl(named.s_addr);
    Require(order != INADDR_ANY && order != INADDR_BROADCAST && !IN_MULTICAST(order));
    Require(judged.heard.interfaceIndex == (onSubnet ? arrival.arrivalIndex : 0));
    if (onSubnet) {
        Require(judged.heard.route.interfaceName == where->name &&
                judged.heard.route.localAddress.s_addr == where->links.front().address.s_addr);
    }
}

// The live search's intake, as a unicast reply and as a multicast datagram.
void JudgeBoth(const char* text, std::uint8_t choice)
{
    static const Scene scene;
    const SsdpMessage message = seekwell::live::ReadSsdpMessage(text);
    CheckMessage(message, text);
    // The sender: the LOCATION's host (a robot's own reply), one on each
    // subnet, the asked target, this host.
    const char* const senders[] = {nullptr, "192.0.2.10", "10.1.7.7", "203.0.113.7", "192.0.2.1"};
    const unsigned int arrivals[] = {2, 3, 4, 2};
    in_addr sender{};
    if (const char* named = senders[choice % 5]) {
        sender = AddressOf(named);
    } else if (message.locationHost) {
        seekwell::ReadIpv4(message.locationHost->c_str(), sender);
    }
    for (const bool multicast : {false, true}) {
        const seekwell::live::Arrival arrival{text, sender, arrivals[choice / 5 % 4], multicast};
        CheckJudged(seekwell::live::JudgeArrival(arrival,
                                                 seekwell::live::IntakeScene{scene.listing, scene.plan, scene.targets}),
                    arrival, message, scene);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t prefilled = data[0] % (kSlots + 1);
    const std::uint8_t* datagram = data + 1;
    // The worker receives at most this much and terminates it with a NUL;
    // the exact-size copy lets ASan see any read past that NUL.
    const std::size_t length = std::min(size - 1, seekwell::kMaxDatagramSize);
    const auto text = std::make_unique<char[]>(length + 1);
    std::memcpy(text.get(), datagram, length);
    text[length] = '\0';

    AddressTable table{};
    Prefill(table, prefilled);
    AddressTable before;
    std::memcpy(before, table, sizeof table);
    const auto scratch = std::make_unique<seekwell::ReplyScratch>();
    seekwell::HandleSsdpReply(text.get(), table, *scratch);
    CheckTable(before, table, prefilled);
    JudgeBoth(text.get(), static_cast<std::uint8_t>(data[0] / (kSlots + 1)));
    return 0;
}
