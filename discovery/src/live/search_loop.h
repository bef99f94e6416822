// The body of one live search, run on its own thread: the event loop that
// does the I/O and keeps the time, while the pure units decide (the round
// clock, the interface plan, the intake and the robot book).
#ifndef SEEKWELL_LIVE_SEARCH_LOOP_H
#define SEEKWELL_LIVE_SEARCH_LOOP_H

#include <atomic>
#include <string>

#include "fetch/description_fetch.h"
#include "live/event_queue.h"
#include "live/fetch_pool.h"
#include "live/robot_book.h"
#include "live/search_targets.h"
#include "platform/wake_event.h"
#include "search_constants.h"

namespace seekwell::live {

struct LiveParameters {
    unsigned int windowMs = SEEKWELL_SEARCH_WINDOW_MS;  // 0: until cancelled
    unsigned int periodMs = SEEKWELL_SEARCH_PERIOD_MS;
    std::string interfaceName;  // empty: every interface up, able to multicast, not loopback
    SearchTargets targets;      // asked and swept beside the multicast search
    // The product always uses the defaults below; tests point a search at
    // loopback ports, with devices on 127/8 standing in for a LAN.
    const char* destinationAddress = kSsdpMulticastGroup;
    std::uint16_t destinationPort = kSsdpPort;
    // Where devices announce themselves; port 0: announcements are not heard.
    const char* announcementAddress = kSsdpMulticastGroup;
    std::uint16_t announcementPort = kSsdpPort;
    HttpFetchLimits http{kHttpPort, kConnectTimeoutMs, kReceiveTimeoutMs, kWholeFetchCapMs, kLiveDescriptionMaxBytes};
    BookLimits book;
    FetchLanes lanes;
    bool loopbackDevices = false;
};

// Runs a search until its window is over and its fetches are done, or until
// cancelled is found set after wake became readable (it drains wake itself);
// the last event it pushes is DONE, once every socket and fetch of the
// search is released.
void RunSearch(const LiveParameters& params, EventQueue& events, const std::atomic<bool>& cancelled,
               const platform::WakeEvent& wake);

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_SEARCH_LOOP_H
