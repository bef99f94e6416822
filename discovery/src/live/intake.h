// Everything a live search hears, and every address it asks, passes here
// first: the one home of the rules on where a datagram may come from (the
// interface it came in by, that interface's subnet, never this host), on
// what a reply must say to be fetched (the marker, a unicast LOCATION at the
// sender), and of the interface and route a responder is then known by.
// Pure: judges against a listing of the interfaces, the ones searched and
// the host's targets.
#ifndef SEEKWELL_LIVE_INTAKE_H
#define SEEKWELL_LIVE_INTAKE_H

#include <netinet/in.h>
#include <seekwell/seekwell.h>

#include <string>
#include <unordered_map>

#include "fetch/description_fetch.h"
#include "live/interface_plan.h"
#include "live/search_targets.h"
#include "platform/interface_listing.h"

namespace seekwell::live {

// A datagram as a socket gave it.
struct Arrival {
    const char* text = nullptr;  // NUL-terminated
    in_addr sender{};
    unsigned int arrivalIndex = 0;  // the interface it came in by
    bool multicast = false;         // sent to the group (heard on an announcement socket)
};

// What the intake judges against.
struct IntakeScene {
    const platform::Ipv4Listing& listing;
    const InterfacePlan& plan;
    const SearchTargets& targets;
    // Devices on 127/8 stand in for a LAN (tests only): neither a sender
    // nor a LOCATION is then refused for being loopback.
    bool loopbackDevices = false;
};

// What a responder said, as far as it counts.
struct Heard {
    std::string location;  // LOCATION, cut; an asked target's description URL
    std::string udn;       // the UDN its USN names; empty when none
    std::string bootId;
    // The searched interface whose subnet it is on; 0: beyond them all (a
    // target), reached as the routes say.
    unsigned int interfaceIndex = 0;
    std::string interfaceName;  // as events name it; empty: the route's, told later
    FetchRoute route;
};

struct Judged {
    enum class Kind {
        Nothing,    // no news: not told, nothing done
        Responder,  // a reply or ssdp:alive that may be fetched
        Skipped,    // a reply left out: skip and reason say why
        Byebye,     // a believed ssdp:byebye
    };
    Kind kind = Kind::Nothing;
    seekwell_skip_reason skip = SEEKWELL_SKIP_NONE;
    std::string reason;
    Heard heard;
    // A device, not this host, spoke on the interface it came in by.
    bool deviceAnswered = false;
};

Judged JudgeArrival(const Arrival& arrival, const IntakeScene& scene);

// A datagram that repeats, byte for byte, the last one its sender sent this
// round by the same socket tells nothing new: a storm of repeats costs a
// hash each, not a judgement. Holds a bounded number of senders.
class RepeatFilter {
public:
    // Whether the datagram repeats; remembers it otherwise.
    bool Repeats(const Arrival& arrival, std::size_t length, int round);
    // The interfaces changed: a datagram judged before may be judged
    // otherwise now.
    void Forget() { last_.clear(); }

private:
    struct Last {
        std::size_t hash = 0;
        unsigned int arrivalIndex = 0;
        bool multicast = false;
        int round = -1;
    };
    std::unordered_map<in_addr_t, Last> last_;
};
// An asked target's turn: its description is fetched, unless it is this host.
Judged JudgeAsked(in_addr target, const IntakeScene& scene);

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_INTAKE_H
