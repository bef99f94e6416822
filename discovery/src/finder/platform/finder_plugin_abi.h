// What the library and its finder plugin agree on: where the plugin lies and
// the one C function it exports.
#ifndef SEEKWELL_FINDER_PLATFORM_FINDER_PLUGIN_ABI_H
#define SEEKWELL_FINDER_PLATFORM_FINDER_PLUGIN_ABI_H

#include "finder/upnp_interfaces.h"

namespace seekwell {

// Relative to the directory of the module that holds the library's code.
constexpr const char kFinderPluginRelativePath[] = "seekwell/seekwell-finder-gupnp.so";
constexpr const char kFinderFactorySymbol[] = "SeekwellCreateDeviceFinder";

}  // namespace seekwell

extern "C" {
// On success *ppFinder holds a new reference; on failure it is null.
using SeekwellCreateDeviceFinderFn = seekwell::HRESULT (*)(seekwell::IUPnPDeviceFinder** ppFinder);
}

#endif  // SEEKWELL_FINDER_PLATFORM_FINDER_PLUGIN_ABI_H
