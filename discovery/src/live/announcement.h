// What a device's SSDP announcement says: a NOTIFY to the group when it
// starts, every so often while it runs (alive, or update), and when it stops
// (byebye). Pure: reads the datagram's text; where it came from is judged
// as for a reply.
#ifndef SEEKWELL_LIVE_ANNOUNCEMENT_H
#define SEEKWELL_LIVE_ANNOUNCEMENT_H

#include <optional>
#include <string>
#include <string_view>

namespace seekwell::live {

struct Announcement {
    enum class Kind { Alive, Byebye };
    Kind kind = Kind::Alive;  // ssdp:update counts as alive
    std::string usn;          // USN, which names the device in a byebye
    std::string bootId;       // BOOTID.UPNP.ORG; empty when absent
};

// None when text (NUL-terminated) is no NOTIFY with a known NTS.
std::optional<Announcement> ReadAnnouncement(const char* text);

// Whether a USN names the device with that UDN: the UDN itself, or the UDN
// followed by "::" and a type.
bool UsnNames(std::string_view usn, std::string_view udn);

// The BOOTID.UPNP.ORG of a search reply or an announcement; empty when absent.
std::string BootIdOf(const char* text);

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_ANNOUNCEMENT_H
