#include "path_choice.h"

#include "finder/helper_device_finder.h"
#include "search_constants.h"

namespace seekwell {

// The finder runs in the helper beside the library, which starts only where
// the UPnP stack it links is installed; nothing stays loaded after the probe.
bool IsUpnpLibraryLoadable() { return IsFinderHelperUsable(FinderHelperPath()); }

// Kept so the choice keeps its shape: Linux has no version record of the kind
// the probe classifies, so the answer is always "unknown" and never blocks a search.
int ProbeOsVersion() { return kProbeAnswerUnknown; }

PlatformFacts ReadPlatformFacts() { return PlatformFacts{IsUpnpLibraryLoadable(), ProbeOsVersion()}; }

DiscoveryPath ChooseDiscoveryPath(bool finderAvailable, int probeAnswer)
{
    if (finderAvailable) {
        return DiscoveryPath::Finder;
    }
    if (probeAnswer == kProbeAnswerNoSearch) {
        return DiscoveryPath::NoSearch;
    }
    return DiscoveryPath::BuiltIn;
}

}  // namespace seekwell
