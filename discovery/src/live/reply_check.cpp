#include "live/reply_check.h"

#include <arpa/inet.h>

#include "robot_rules.h"

namespace seekwell::live {

namespace {

// A description may be fetched only from an ordinary unicast address: not
// from this host (loopback, and 0.0.0.0, which connects here), nor from a
// group or the broadcast address. nullptr when the address is fine.
const char* NotUnicastWords(in_addr address)
{
    const in_addr_t host = ntohl(address.s_addr);
    if (host == INADDR_ANY) {
        return "LOCATION names the unspecified address";
    }
    if (host == INADDR_BROADCAST) {
        return "LOCATION names the broadcast address";
    }
    if ((host >> IN_CLASSA_NSHIFT) == IN_LOOPBACKNET) {
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

std::string AddressText(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

}  // namespace

ReplyVerdict CheckReply(const char* text, in_addr sender, bool onSearchInterface)
{
    std::string location(LocationUrl(text));
    if (!CarriesRobotMarker(text)) {
        return Skip(SEEKWELL_SKIP_NO_MARKER, "no robot marker in the reply", std::move(location));
    }
    if (!onSearchInterface) {
        return Skip(SEEKWELL_SKIP_OTHER_INTERFACE, "reply arrived on another interface than its search left by",
                    std::move(location));
    }
    const std::string_view hostText = LocationHostText(text);
    in_addr named{};
    if (hostText.data() == nullptr || !ReadIpv4(std::string(hostText).c_str(), named)) {
        return Skip(SEEKWELL_SKIP_BAD_LOCATION, "LOCATION is not http://<IPv4 address>/", std::move(location));
    }
    if (const char* words = NotUnicastWords(named)) {
        return Skip(SEEKWELL_SKIP_LOCATION_NOT_UNICAST, words, std::move(location));
    }
    if (named.s_addr != sender.s_addr) {
        return Skip(SEEKWELL_SKIP_LOCATION_ELSEWHERE, "LOCATION names another host (" + AddressText(named) + ")",
                    std::move(location));
    }
    return ReplyVerdict{SEEKWELL_SKIP_NONE, std::string(), std::move(location)};
}

}  // namespace seekwell::live
