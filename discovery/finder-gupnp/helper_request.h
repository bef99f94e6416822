// The search a helper is given: one request line on kHelperRequestFd
// (finder_wire.h), read and checked.
#ifndef SEEKWELL_FINDER_GUPNP_HELPER_REQUEST_H
#define SEEKWELL_FINDER_GUPNP_HELPER_REQUEST_H

#include <chrono>
#include <optional>
#include <string>

namespace seekwell {

struct SearchRequest {
    std::string deviceType;
    std::chrono::milliseconds window;
};

// Blocks until the request line is whole. nullopt for one the helper does
// not take: no end before the library closed its side or within
// kMaxRequestBytes, an empty device type, or a window that is not a plain
// decimal number of milliseconds up to 60000 (no sign, space or suffix).
std::optional<SearchRequest> ReadSearchRequest();

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_GUPNP_HELPER_REQUEST_H
