// One synchronous root-device search over GUPnP.
#ifndef SEEKWELL_FINDER_GUPNP_GUPNP_SEARCH_H
#define SEEKWELL_FINDER_GUPNP_GUPNP_SEARCH_H

#include <chrono>

#include "device_collection.h"

namespace seekwell {

// Runs GUPnP control points for target, one per IPv4 interface that is up,
// not loopback and can multicast, for window, on a private main context of a
// thread of its own that this call waits for. Puts the devices whose
// description GUPnP fetched in devices, each once, in the order they became
// available. Nothing of the search is left running or allocated when it returns. False,
// devices untouched, when the search thread cannot be started.
bool SearchDevices(const char* target, std::chrono::milliseconds window, DeviceList& devices);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_GUPNP_GUPNP_SEARCH_H
