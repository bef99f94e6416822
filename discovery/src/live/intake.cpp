#include "live/intake.h"

#include <arpa/inet.h>

#include <functional>
#include <optional>
#include <string_view>

#include "live/ssdp_message.h"
#include "platform/ipv4_text.h"
#include "robot_rules.h"

namespace seekwell::live {

namespace {

constexpr std::size_t kSendersHeld = 8192;

struct Verdict {
    seekwell_skip_reason skip;
    std::string reason;
};

bool IsLoopback(in_addr address) { return (ntohl(address.s_addr) >> IN_CLASSA_NSHIFT) == IN_LOOPBACKNET; }

bool IsOwn(in_addr address, const IntakeScene& scene)
{
    return (IsLoopback(address) && !scene.loopbackDevices) || scene.listing.IsOwn(address);
}

std::string NameOf(unsigned int index, const IntakeScene& scene)
{
    const platform::Ipv4Interface* known = scene.listing.ByIndex(index);
    return known != nullptr ? known->name : std::string();
}

// A device on the link can forge any sender; one it cannot forge from the
// link is a sender beyond it. So a datagram counts only from the subnet of
// the interface it came in by, and never from this host. A reply from a
// target the host named, to the search it was sent, counts from beyond the
// subnet, by any interface; announcements get no such leave, as multicast
// never crosses a router.
std::optional<Verdict> CheckOrigin(const Arrival& arrival, bool reply, const IntakeScene& scene)
{
    const bool own = IsOwn(arrival.sender, scene);
    if (reply && !arrival.multicast && !own && scene.targets.Holds(arrival.sender)) {
        return std::nullopt;
    }
    const platform::Ipv4Interface* where = scene.plan.Searched(arrival.arrivalIndex);
    if (where == nullptr) {
        return Verdict{SEEKWELL_SKIP_OTHER_INTERFACE, "reply arrived on an interface this search does not search on"};
    }
    if (!where->Reaches(arrival.sender)) {
        return Verdict{SEEKWELL_SKIP_OFF_SUBNET, "sender " + platform::AddressText(arrival.sender) +
                                                     " is not on the subnet of " + where->name +
                                                     ", the interface its reply arrived on"};
    }
    if (own) {
        return Verdict{SEEKWELL_SKIP_OWN_ADDRESS, "sender is one of this host's own addresses"};
    }
    return std::nullopt;
}

// A description may be fetched only from an ordinary unicast address: not
// from this host (loopback, and 0.0.0.0, which connects here), nor from a
// group or the broadcast address. nullptr when the address is fine.
const char* NotUnicastWords(in_addr address, bool loopbackDevices)
{
    const in_addr_t host = ntohl(address.s_addr);
    if (host == INADDR_ANY) {
        return "LOCATION names the unspecified address";
    }
    if (host == INADDR_BROADCAST) {
        return "LOCATION names the broadcast address";
    }
    if (IsLoopback(address) && !loopbackDevices) {
        return "LOCATION names a loopback address";
    }
    if (IN_MULTICAST(host)) {
        return "LOCATION names a multicast address";
    }
    return nullptr;
}

// The robot rules of a reply, once its origin is believed.
std::optional<Verdict> CheckSaying(const SsdpMessage& message, in_addr sender, bool loopbackDevices)
{
    if (!message.marker) {
        return Verdict{SEEKWELL_SKIP_NO_MARKER, "no robot marker in the reply"};
    }
    in_addr named{};
    if (!message.locationHost || !ReadIpv4(message.locationHost->c_str(), named)) {
        return Verdict{SEEKWELL_SKIP_BAD_LOCATION, "LOCATION is not http://<IPv4 address>/"};
    }
    if (const char* words = NotUnicastWords(named, loopbackDevices)) {
        return Verdict{SEEKWELL_SKIP_LOCATION_NOT_UNICAST, words};
    }
    if (named.s_addr != sender.s_addr) {
        return Verdict{SEEKWELL_SKIP_LOCATION_ELSEWHERE,
                       "LOCATION names another host (" + platform::AddressText(named) + ")"};
    }
    return std::nullopt;
}

// Where a believed responder is known: on the subnet of the searched
// interface it came in by, fetched over that interface; beyond it, as the
// routes say.
void Place(Heard& heard, in_addr sender, unsigned int arrivalIndex, const IntakeScene& scene)
{
    heard.interfaceName = NameOf(arrivalIndex, scene);
    const platform::Ipv4Interface* where = scene.plan.Searched(arrivalIndex);
    if (where != nullptr && where->Reaches(sender)) {
        heard.interfaceIndex = where->index;
        heard.route = FetchRoute{where->name, where->links.front().address};
    }
}

}  // namespace

Judged JudgeArrival(const Arrival& arrival, const IntakeScene& scene)
{
    const SsdpMessage message = ReadSsdpMessage(arrival.text);
    Judged judged;
    // A group hears every program's searches too: only announcements are news there.
    const bool announcement = message.kind == SsdpMessage::Kind::Alive || message.kind == SsdpMessage::Kind::Byebye;
    if (message.kind == SsdpMessage::Kind::Other || (arrival.multicast && !announcement)) {
        return judged;
    }
    // Whatever it says, a device heard the search there.
    judged.deviceAnswered = !IsOwn(arrival.sender, scene);
    judged.heard.location = message.location;
    judged.heard.udn = message.udn;
    judged.heard.bootId = message.bootId;
    std::optional<Verdict> refused = CheckOrigin(arrival, message.kind == SsdpMessage::Kind::Reply, scene);
    if (!refused && message.kind == SsdpMessage::Kind::Byebye) {
        judged.kind = Judged::Kind::Byebye;
        return judged;
    }
    if (!refused) {
        refused = CheckSaying(message, arrival.sender, scene.loopbackDevices);
    }
    if (refused) {
        // Every device on a LAN announces: one that fails a check is no news.
        if (arrival.multicast || message.kind != SsdpMessage::Kind::Reply) {
            return Judged{Judged::Kind::Nothing, SEEKWELL_SKIP_NONE, {}, {}, judged.deviceAnswered};
        }
        judged.kind = Judged::Kind::Skipped;
        judged.skip = refused->skip;
        judged.reason = std::move(refused->reason);
        judged.heard.interfaceName = NameOf(arrival.arrivalIndex, scene);
        return judged;
    }
    judged.kind = Judged::Kind::Responder;
    Place(judged.heard, arrival.sender, arrival.arrivalIndex, scene);
    return judged;
}

bool RepeatFilter::Repeats(const Arrival& arrival, std::size_t length, int round)
{
    const std::size_t hash = std::hash<std::string_view>()(std::string_view(arrival.text, length));
    const Last now{hash, arrival.arrivalIndex, arrival.multicast, round};
    const auto found = last_.find(arrival.sender.s_addr);
    if (found != last_.end()) {
        const Last& last = found->second;
        const bool repeats = last.hash == hash && last.arrivalIndex == now.arrivalIndex &&
                             last.multicast == now.multicast && last.round == round;
        found->second = now;
        return repeats;
    }
    // A flood of new senders empties it now and then: their repeats are
    // judged again, no harm done.
    if (last_.size() >= kSendersHeld) {
        last_.clear();
    }
    last_.emplace(arrival.sender.s_addr, now);
    return false;
}

Judged JudgeAsked(in_addr target, const IntakeScene& scene)
{
    Judged judged;
    judged.heard.location = DescriptionUrl(platform::AddressText(target).c_str()).substr(0, kHeaderKeptBytes);
    if (IsOwn(target, scene)) {
        judged.kind = Judged::Kind::Skipped;
        judged.skip = SEEKWELL_SKIP_OWN_ADDRESS;
        judged.reason = "target is one of this host's own addresses";
        return judged;
    }
    judged.kind = Judged::Kind::Responder;
    for (const auto& [index, searched] : scene.plan.AllSearched()) {
        if (searched.Reaches(target)) {
            Place(judged.heard, target, index, scene);
            break;
        }
    }
    return judged;
}

}  // namespace seekwell::live
