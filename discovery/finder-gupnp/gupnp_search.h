// One root-device search over GUPnP, run on the calling thread.
#ifndef SEEKWELL_FINDER_GUPNP_GUPNP_SEARCH_H
#define SEEKWELL_FINDER_GUPNP_GUPNP_SEARCH_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace seekwell {

struct FoundDevice {
    std::string friendlyName;
    std::string presentationUrl;  // empty when the device names no page
    std::string description;      // the device's modelDescription
};

using FoundDeviceList = std::vector<FoundDevice>;

// Takes what the search found; must not throw.
using HandOver = std::function<void(const FoundDeviceList&)>;

// Runs GUPnP control points for target, one per IPv4 interface that is up,
// not loopback and can multicast, for window, on a private main context.
// The moment the window closes, and before any of it is torn down, gives
// handOver the devices whose description GUPnP fetched, each once, in the
// order they became available: the caller need not wait for GUPnP's
// teardown. Nothing of the search is left running when it returns.
void SearchDevices(const char* target, std::chrono::milliseconds window, const HandOver& handOver);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_GUPNP_GUPNP_SEARCH_H
