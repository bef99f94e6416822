#include "upnp_library.h"

#include "finder/platform/finder_plugin.h"

namespace seekwell::platform {

// The finder lives in the plugin beside the library; the plugin opens only
// where the UPnP stack it links is installed.
bool IsUpnpLibraryLoadable()
{
    return IsFinderPluginLoadable(FinderPluginPath());
}

}  // namespace seekwell::platform
