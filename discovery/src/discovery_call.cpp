#include "discovery_call.h"

#include <mutex>

#include "finder_path.h"
#include "path_choice.h"
#include "platform/upnp_library.h"
#include "upnp_search_wnd.h"

namespace seekwell {

namespace {

// The finder path keeps its state in the one application object, so calls
// must not overlap; nothing in a host enforces that, so this lock does.
std::mutex g_CallMutex;

int RunBuiltInSearch(DISCOVERY_RESULT* results, const SearchParameters& params)
{
    CUpnpSearchWnd search(params);
    return search.Search(results);
}

}  // namespace

PlatformFacts ReadPlatformFacts()
{
    return PlatformFacts{platform::IsUpnpLibraryLoadable(), ProbeOsVersion()};
}

int RunDiscoveryCall(DISCOVERY_RESULT* results, const SearchParameters& params,
                     const PlatformFacts& facts)
{
    if (results == nullptr) {
        return kNoSearch;
    }
    const std::lock_guard<std::mutex> lock(g_CallMutex);
    switch (ChooseDiscoveryPath(facts.finderAvailable, facts.probeAnswer)) {
    case DiscoveryPath::Finder:
        return RunFinderPath(results);
    case DiscoveryPath::BuiltIn:
        return RunBuiltInSearch(results, params);
    case DiscoveryPath::NoSearch:
        break;
    }
    return kNoSearch;
}

}  // namespace seekwell
