// Reading an incoming SSDP datagram.
#ifndef ROBOT_SIM_SSDP_REQUEST_H
#define ROBOT_SIM_SSDP_REQUEST_H

#include <optional>
#include <string>
#include <string_view>

namespace robotsim {

// The search target of an M-SEARCH request, or nothing for any other datagram.
// Header names match in any letter case and the value may or may not follow a space, as clients
// differ.
std::optional<std::string> SearchTargetOf(std::string_view datagram);

}  // namespace robotsim

#endif  // ROBOT_SIM_SSDP_REQUEST_H
