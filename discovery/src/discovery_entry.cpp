#include <seekwell/seekwell.h>

#include <cxxabi.h>

#include "cancel_deferred.h"
#include "discovery_call.h"
#include "path_choice.h"
#include "search_constants.h"

namespace {

// Nothing of the built-in path throws; whatever else may is stopped here, as
// no exception may reach the host through a C function.
int DiscoverWithoutExceptions(DISCOVERY_RESULT* results)
{
    try {
        return seekwell::RunDiscoveryCall(results, seekwell::SearchParameters{}, &seekwell::ReadPlatformFacts);
    } catch (const abi::__forced_unwind&) {
        throw;  // a thread that exits must unwind
    } catch (...) {
        return seekwell::kNoSearch;
    }
}

int PathCode(seekwell::DiscoveryPath path)
{
    switch (path) {
        case seekwell::DiscoveryPath::Finder:
            return SEEKWELL_PATH_FINDER;
        case seekwell::DiscoveryPath::NoSearch:
            return SEEKWELL_PATH_NONE;
        case seekwell::DiscoveryPath::BuiltIn:
            break;
    }
    return SEEKWELL_PATH_BUILT_IN;
}

// The finder probe only fails to allocate by throwing; a probe that cannot
// run is a finder that cannot be used.
int BlockingPathWithoutExceptions()
{
    try {
        const seekwell::PlatformFacts facts = seekwell::ReadPlatformFacts();
        return PathCode(seekwell::ChooseDiscoveryPath(facts.finderAvailable, facts.probeAnswer));
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return PathCode(seekwell::ChooseDiscoveryPath(false, seekwell::ProbeOsVersion()));
    }
}

}  // namespace

// Always the product's own constants: nothing at run time changes them.
extern "C" SEEKWELL_API int DiscoveryROVAByUPnP(DISCOVERY_RESULT* results)
{
    const seekwell::CancelDeferred deferred;
    return DiscoverWithoutExceptions(results);
}

extern "C" SEEKWELL_API int seekwell_blocking_search_path(void)
{
    const seekwell::CancelDeferred deferred;
    return BlockingPathWithoutExceptions();
}
