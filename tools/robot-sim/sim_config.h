// What one simulator run pretends to be: how many devices, where, and which robots misbehave.
#ifndef ROBOT_SIM_SIM_CONFIG_H
#define ROBOT_SIM_SIM_CONFIG_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <string>

namespace robotsim {

constexpr std::uint16_t kSsdpPort = 1900;
constexpr std::uint16_t kHttpPort = 80;
constexpr const char kSsdpGroup[] = "239.255.255.250";
constexpr const char kDefaultFirstAddress[] = "192.0.2.10";
// Devices of one simulator, robots and others: a /21 holds them all.
constexpr int kMaxDevices = 1024;

// Ways a simulated robot can misbehave or stand out (fault_kinds.def describes each).
enum class DeviceFault {
    None,
#define ROBOT_SIM_FAULT(enumerator, kind, description) enumerator,
#include "fault_kinds.def"
#undef ROBOT_SIM_FAULT
};

// The group as an address, to compare with where a datagram was sent.
inline in_addr SsdpGroupAddress()
{
    in_addr group{};
    inet_pton(AF_INET, kSsdpGroup, &group);
    return group;
}

// How long a robot with kSlowDescription holds back its answer (fault_kinds.def says 2 s).
constexpr int kSlowDescriptionDelayMs = 2000;
// How long a robot with kLateReply waits before it answers a search (fault_kinds.def says 3 s).
constexpr int kLateReplyDelayMs = 3000;
// How often an announcing device repeats its ssdp:alive, unless told otherwise.
constexpr int kDefaultAnnounceEveryMs = 30 * 1000;

struct SimConfig {
    int robotCount = 1;
    int otherCount = 0;
    in_addr firstAddress{};
    std::string interfaceName;               // where to join the SSDP group; empty: kernel's choice
    std::map<int, DeviceFault> robotFaults;  // robot number (1-based) -> fault
    std::map<int, std::string> robotUdns;    // robot number -> UDN in place of its own; may be shared
    std::map<int, std::string> robotNames;   // robot number -> friendly name in place of its own, as bytes
    std::uint16_t ssdpPort = kSsdpPort;      // 0 picks a free port (tests)
    std::uint16_t httpPort = kHttpPort;      // 0 picks a free port per device (tests)
    bool joinGroup = true;
    // A search sent here is multicast and every device answers it; one sent to a device's own
    // address only that device answers. Announcements go here too, to announcePort. Loopback
    // tests, which cannot multicast, name a loopback address in the group's stead.
    in_addr searchGroup = SsdpGroupAddress();
    std::uint16_t announcePort = kSsdpPort;
    // Whether the devices announce themselves (ssdp:alive, then ssdp:byebye at the end).
    bool announce = false;
    int announceEveryMs = kDefaultAnnounceEveryMs;
    int bootId = 1;  // BOOTID.UPNP.ORG of every announcement; a renames robot's counts up from it
    std::string logPath;
    std::string readyPath;
    int durationSeconds = 0;  // 0: until SIGTERM or SIGINT
};

}  // namespace robotsim

#endif  // ROBOT_SIM_SIM_CONFIG_H
