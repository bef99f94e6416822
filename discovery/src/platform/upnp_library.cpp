#include "upnp_library.h"

#include "finder/helper_device_finder.h"

namespace seekwell::platform {

// The finder runs in the helper beside the library, which starts only where
// the UPnP stack it links is installed.
bool IsUpnpLibraryLoadable()
{
    return IsFinderHelperUsable(FinderHelperPath());
}

}  // namespace seekwell::platform
