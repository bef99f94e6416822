// What the live search makes of one search reply before it fetches anything:
// first where it came from (the interface it arrived on, a sender on that
// interface's subnet that is not this host), then the robot rules every
// search shares, then its own rule that a description is fetched only from
// the device that answered.
#ifndef SEEKWELL_LIVE_REPLY_CHECK_H
#define SEEKWELL_LIVE_REPLY_CHECK_H

#include <netinet/in.h>
#include <seekwell/seekwell.h>

#include <cstddef>
#include <string>

#include "platform/ipv4_interfaces.h"

namespace seekwell::live {

// The most of a LOCATION an event carries; a longer one is cut there.
constexpr std::size_t kLocationKeptBytes = 255;

struct ReplyVerdict {
    seekwell_skip_reason skip = SEEKWELL_SKIP_NONE;  // NONE: fetch the description
    std::string reason;                              // words for a skip
    std::string location;                            // the LOCATION URL, when the reply has one (cut)
};

struct ReplyOrigin {
    in_addr sender{};
    // The chosen interface the reply arrived on; nullptr when it came in by
    // one the search does not search on.
    const platform::Ipv4Interface* arrival = nullptr;
    // Whether sender is one of this host's own addresses.
    bool ownAddress = false;
    // Whether the host named sender as a target: then it counts from beyond
    // the interface's subnet, and by any interface.
    bool target = false;
};

// Whether a datagram from there is believed at all: the first checks of
// CheckReply, for a byebye, which carries no LOCATION.
bool Believed(const ReplyOrigin& origin);

// text is the NUL-terminated datagram. loopbackDevices lets devices on
// 127/8 stand in for a LAN (tests only): neither the sender nor LOCATION is
// then refused for being loopback.
ReplyVerdict CheckReply(const char* text, const ReplyOrigin& origin, bool loopbackDevices = false);

// The origin of a reply from sender that arrived on arrivalIndex.
ReplyOrigin OriginOf(in_addr sender, unsigned int arrivalIndex, const platform::Ipv4Interfaces& interfaces,
                     bool loopbackDevices = false);

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_REPLY_CHECK_H
