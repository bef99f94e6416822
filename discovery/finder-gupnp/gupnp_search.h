// One root-device search over GUPnP, run on the calling thread.
#ifndef SEEKWELL_FINDER_GUPNP_GUPNP_SEARCH_H
#define SEEKWELL_FINDER_GUPNP_GUPNP_SEARCH_H

#include <chrono>
#include <string>
#include <vector>

namespace seekwell {

struct FoundDevice {
    std::string friendlyName;
    std::string presentationUrl;  // empty when the device names no page
    std::string description;      // the device's modelDescription
};

using FoundDeviceList = std::vector<FoundDevice>;

// Runs GUPnP control points for target, one per IPv4 interface that is up,
// not loopback and can multicast, for window, on a private main context.
// Returns the devices whose description GUPnP fetched, each once, in the
// order they became available. Nothing of the search is left running when it
// returns.
FoundDeviceList SearchDevices(const char* target, std::chrono::milliseconds window);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_GUPNP_GUPNP_SEARCH_H
