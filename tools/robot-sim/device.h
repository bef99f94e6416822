// The simulated devices and everything they say: search replies and description documents.
#ifndef ROBOT_SIM_DEVICE_H
#define ROBOT_SIM_DEVICE_H

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim_config.h"

namespace robotsim {

struct SimDevice {
    bool isRobot = false;
    int number = 0;  // 1-based within its kind
    in_addr address{};
    // What a location-other-device robot names: the next device's address, the first one's for the last.
    in_addr nextAddress{};
    DeviceFault fault = DeviceFault::None;
    std::string udn;                  // given on the command line; empty: one made from the address
    std::optional<std::string> name;  // given on the command line, any bytes; none: one of its own
    int reads = 0;                    // descriptions asked for so far, which a renames robot's name counts
};

// Robots first, then the other devices, at consecutive addresses from the first one.
std::vector<SimDevice> PlanDevices(const SimConfig& config);

std::string AddressText(in_addr address);
std::string DeviceUdn(const SimDevice& device);
// The name as the device means it; its description carries it XML-escaped.
std::string FriendlyName(const SimDevice& device);
bool ServesHttp(const SimDevice& device);
bool AnswersSearches(const SimDevice& device);

// Reply to an M-SEARCH for `searchTarget`, or nothing when the device does not match it.
std::optional<std::string> BuildSearchReply(const SimDevice& device, const std::string& searchTarget,
                                            std::uint16_t httpPort);

// The two announcements a device multicasts: that it is there, and that it leaves.
enum class Announcement { Alive, Byebye };

const char* AnnouncementNts(Announcement kind);

// NOTIFY for upnp:rootdevice, with the LOCATION, SERVER and USN of the device's reply to a search
// for it; nothing from a device that answers no search.
std::optional<std::string> BuildAnnouncement(const SimDevice& device, Announcement kind, std::uint16_t httpPort,
                                             int bootId);

std::string BuildDescription(const SimDevice& device);
std::string BuildHttpResponse(const SimDevice& device);

}  // namespace robotsim

#endif  // ROBOT_SIM_DEVICE_H
