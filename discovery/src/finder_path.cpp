#include "finder_path.h"

#include "search_constants.h"

namespace seekwell {

// Not reached while no finder is available (see IsUpnpLibraryLoadable).
int RunFinderPath(DISCOVERY_RESULT* /*results*/)
{
    return kNoSearch;
}

}  // namespace seekwell
