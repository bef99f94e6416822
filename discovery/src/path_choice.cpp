#include "path_choice.h"

#include "search_constants.h"

namespace seekwell {

// Linux keeps no platform version record of the kind the probe classifies.
int ProbeOsVersion()
{
    return kProbeAnswerUnknown;
}

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
