// Where and how long one built-in search looks. The product always uses the
// defaults; tests point a search at loopback ports with a short window.
#ifndef SEEKWELL_BUILTIN_SEARCH_PARAMETERS_H
#define SEEKWELL_BUILTIN_SEARCH_PARAMETERS_H

#include <cstddef>
#include <cstdint>

#include "fetch/description_fetch.h"
#include "search_constants.h"

namespace seekwell {

// Where the M-SEARCH goes and which local port the search listens on.
struct SsdpEndpoints {
    const char* destinationAddress = kSsdpMulticastGroup;
    std::uint16_t destinationPort = kSsdpPort;
    std::uint16_t bindPort = kSsdpPort;
};

struct SearchParameters {
    SsdpEndpoints ssdp;
    unsigned int windowMs = kSearchWindowMs;
    HttpFetchLimits http;
};

}  // namespace seekwell

#endif  // SEEKWELL_BUILTIN_SEARCH_PARAMETERS_H
