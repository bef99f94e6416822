#include "live/reply_check.h"

#include <arpa/inet.h>

#include <optional>

#include "platform/ipv4_text.h"
#include "robot_rules.h"

namespace seekwell::live {

namespace {

bool IsLoopback(in_addr address) { return (ntohl(address.s_addr) >> IN_CLASSA_NSHIFT) == IN_LOOPBACKNET; }

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

ReplyVerdict Skip(seekwell_skip_reason why, std::string words, std::string location)
{
    return ReplyVerdict{why, std::move(words), std::move(location)};
}

// A device on the link can forge any sender; one it cannot forge from the
// link is a sender beyond it. So a reply counts only from the subnet of the
// interface it came in by, or from a target the host named, and never from
// this host itself.
std::optional<ReplyVerdict> CheckOrigin(const ReplyOrigin& origin, std::string& location)
{
    if (origin.target && !origin.ownAddress) {
        return std::nullopt;
    }
    if (origin.arrival == nullptr) {
        return Skip(SEEKWELL_SKIP_OTHER_INTERFACE, "reply arrived on an interface this search does not search on",
                    std::move(location));
    }
    if (!origin.arrival->Reaches(origin.sender)) {
        return Skip(SEEKWELL_SKIP_OFF_SUBNET,
                    "sender " + platform::AddressText(origin.sender) + " is not on the subnet of " +
                        origin.arrival->name + ", the interface its reply arrived on",
                    std::move(location));
    }
    if (origin.ownAddress) {
        return Skip(SEEKWELL_SKIP_OWN_ADDRESS, "sender is one of this host's own addresses", std::move(location));
    }
    return std::nullopt;
}

}  // namespace

bool Believed(const ReplyOrigin& origin)
{
    std::string none;
    return !CheckOrigin(origin, none).has_value();
}

ReplyOrigin OriginOf(in_addr sender, unsigned int arrivalIndex, const platform::Ipv4Interfaces& interfaces,
                     bool loopbackDevices)
{
    const bool loopback = IsLoopback(sender) && !loopbackDevices;
    return ReplyOrigin{sender, interfaces.ByIndex(arrivalIndex), loopback || interfaces.IsOwn(sender)};
}

ReplyVerdict CheckReply(const char* text, const ReplyOrigin& origin, bool loopbackDevices)
{
    std::string location(LocationUrl(text).substr(0, kLocationKeptBytes));
    if (std::optional<ReplyVerdict> refused = CheckOrigin(origin, location)) {
        return std::move(*refused);
    }
    if (!CarriesRobotMarker(text)) {
        return Skip(SEEKWELL_SKIP_NO_MARKER, "no robot marker in the reply", std::move(location));
    }
    const std::string_view hostText = LocationHostText(text);
    in_addr named{};
    if (hostText.data() == nullptr || !ReadIpv4(std::string(hostText).c_str(), named)) {
        return Skip(SEEKWELL_SKIP_BAD_LOCATION, "LOCATION is not http://<IPv4 address>/", std::move(location));
    }
    if (const char* words = NotUnicastWords(named, loopbackDevices)) {
        return Skip(SEEKWELL_SKIP_LOCATION_NOT_UNICAST, words, std::move(location));
    }
    if (named.s_addr != origin.sender.s_addr) {
        return Skip(SEEKWELL_SKIP_LOCATION_ELSEWHERE,
                    "LOCATION names another host (" + platform::AddressText(named) + ")", std::move(location));
    }
    return ReplyVerdict{SEEKWELL_SKIP_NONE, std::string(), std::move(location)};
}

}  // namespace seekwell::live
