// What one SSDP datagram says: a search reply, or an announcement a device
// multicasts when it starts, every so often while it runs (alive, or
// update) and when it stops (byebye). Its headers are read as HTTP reads
// them (the name in any letter case, blanks around the value), but for
// LOCATION: that is read by the robot rules every search shares, exactly
// "LOCATION: http://", so that both ways in report the same robots. Pure:
// reads the text; where it came from is the intake's to judge.
#ifndef SEEKWELL_LIVE_SSDP_MESSAGE_H
#define SEEKWELL_LIVE_SSDP_MESSAGE_H

#include <cstddef>
#include <optional>
#include <string>

namespace seekwell::live {

// The most of a LOCATION, USN or boot id kept; a longer one is cut there.
constexpr std::size_t kHeaderKeptBytes = 255;

struct SsdpMessage {
    enum class Kind {
        Reply,   // anything but a NOTIFY: the answer to a search
        Alive,   // NOTIFY with ssdp:alive or ssdp:update
        Byebye,  // NOTIFY with ssdp:byebye
        Other,   // a NOTIFY of another kind, or without NTS: no news
    };
    Kind kind = Kind::Reply;
    bool marker = false;   // the robot marker anywhere in the datagram
    std::string location;  // the LOCATION URL, cut; empty when absent
    // Its host, as the robot rules read it; has_value() false when absent.
    std::optional<std::string> locationHost;
    std::string udn;     // the UDN its USN names (before any "::"); empty when absent
    std::string bootId;  // BOOTID.UPNP.ORG; empty when absent
};

// text is NUL-terminated.
SsdpMessage ReadSsdpMessage(const char* text);

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_SSDP_MESSAGE_H
