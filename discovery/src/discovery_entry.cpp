#include <seekwell/seekwell.h>

#include "discovery_call.h"
#include "search_constants.h"

// Always the product's own constants: nothing at run time changes them.
extern "C" SEEKWELL_API int DiscoveryROVAByUPnP(DISCOVERY_RESULT* results)
{
    try {
        return seekwell::RunDiscoveryCall(results, seekwell::SearchParameters{},
                                          seekwell::ReadPlatformFacts());
    } catch (...) {
        // Only taking the call lock can throw, before anything is searched.
        return seekwell::kNoSearch;
    }
}
