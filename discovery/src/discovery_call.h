// One discovery call: the path choice and the chosen search, one call at a time.
#ifndef SEEKWELL_DISCOVERY_CALL_H
#define SEEKWELL_DISCOVERY_CALL_H

#include <seekwell/seekwell.h>

#include "builtin/search_parameters.h"
#include "path_choice.h"

namespace seekwell {

// Learns the facts the choice of path rests on (the product's: ReadPlatformFacts).
using PlatformFactsReader = PlatformFacts (*)();

// -1 when results is null or no search took place, else the number of
// records written. Overlapping calls run one after the other. The facts are
// read only for a call that may search, so a null array starts nothing.
int RunDiscoveryCall(DISCOVERY_RESULT* results, const SearchParameters& params, PlatformFactsReader readFacts);

}  // namespace seekwell

#endif  // SEEKWELL_DISCOVERY_CALL_H
