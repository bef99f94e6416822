// One discovery call: the path choice and the chosen search, one call at a time.
#ifndef SEEKWELL_DISCOVERY_CALL_H
#define SEEKWELL_DISCOVERY_CALL_H

#include <seekwell/seekwell.h>

#include "search_parameters.h"

namespace seekwell {

// The two facts the choice of path rests on.
struct PlatformFacts {
    bool finderAvailable;
    int probeAnswer;
};

PlatformFacts ReadPlatformFacts();

// -1 when results is null or no search took place, else the number of
// records written. Overlapping calls run one after the other.
int RunDiscoveryCall(DISCOVERY_RESULT* results, const SearchParameters& params,
                     const PlatformFacts& facts);

}  // namespace seekwell

#endif  // SEEKWELL_DISCOVERY_CALL_H
