// Whether a search could leave this host at all: a multicast search with no route to its group
// fails at once and would look like an empty network.
#ifndef SEEKWELL_DISCOVER_MULTICAST_ROUTE_H
#define SEEKWELL_DISCOVER_MULTICAST_ROUTE_H

#include <cstdint>

namespace seekwell_discover {

enum class RouteState {
    Routed,
    NoRoute,
    Unknown,  // the check itself failed (e.g. no socket); the search is left to decide
};

// Asks the kernel for its route to group:port by connecting a UDP socket, which sends nothing.
RouteState MulticastRouteState(const char* group, std::uint16_t port);

}  // namespace seekwell_discover

#endif  // SEEKWELL_DISCOVER_MULTICAST_ROUTE_H
