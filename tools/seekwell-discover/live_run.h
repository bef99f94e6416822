// seekwell-discover's live modes: the live search, each event printed the moment it is dispatched,
// stopped cleanly by SIGINT or SIGTERM.
#ifndef SEEKWELL_DISCOVER_LIVE_RUN_H
#define SEEKWELL_DISCOVER_LIVE_RUN_H

#include <ostream>
#include <string>
#include <vector>

#include "live_output.h"

namespace seekwell_discover {

struct LiveRequest {
    unsigned int windowMs = 0;         // 0: until a signal stops it
    unsigned int periodMs = 0;         // between searches; 0: the library's
    std::string interfaceName;         // empty: every interface that can multicast
    std::vector<std::string> targets;  // robot addresses and ranges asked beside the multicast
    bool explain = false;              // also the blocking call's path and every responder left out
    LiveFormat format = LiveFormat::Text;
};

// Runs the search to its end and returns the tool's exit status.
int RunLiveSearch(const char* program, const LiveRequest& request, std::ostream& out);

}  // namespace seekwell_discover

#endif  // SEEKWELL_DISCOVER_LIVE_RUN_H
