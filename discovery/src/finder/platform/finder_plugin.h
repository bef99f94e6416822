// Stand-in for the platform's component creation and library probing: the
// device finder lives in a plugin beside the library, which links the
// platform's UPnP stack and therefore loads only where that stack is installed.
#ifndef SEEKWELL_FINDER_PLATFORM_FINDER_PLUGIN_H
#define SEEKWELL_FINDER_PLATFORM_FINDER_PLUGIN_H

#include <string>

#include "finder/upnp_interfaces.h"

namespace seekwell {

// <directory of the module holding this code>/seekwell/seekwell-finder-gupnp.so
std::string FinderPluginPath();

// The UPnP stack's HTTP library aborts the process at load when the older
// major version of it is already loaded; the plugin is never opened then.
bool IsConflictingHttpLibraryLoaded();

// Opens the plugin and closes it again at once.
bool IsFinderPluginLoadable(const std::string& pluginPath);

// Opens the plugin for good and calls its factory. Any failure leaves
// *ppFinder null and gives a negative result.
HRESULT CreateDeviceFinderFromPlugin(const std::string& pluginPath, IUPnPDeviceFinder** ppFinder);

// The product's creation: the plugin at FinderPluginPath().
HRESULT CreateDeviceFinder(IUPnPDeviceFinder** ppFinder);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_PLATFORM_FINDER_PLUGIN_H
