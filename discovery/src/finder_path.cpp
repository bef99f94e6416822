#include "finder_path.h"

#include "finder/seekwell_app.h"

namespace seekwell {

// The finder's objects need no per-thread initialisation here: they keep
// all of their work on the calling thread.
int RunFinderPath(DISCOVERY_RESULT* results)
{
    return theApp.DiscoverByDeviceFinder(results);
}

}  // namespace seekwell
