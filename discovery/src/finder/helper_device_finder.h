// Stand-in for creating the platform's device finder: the finder the library
// makes runs each search in the finder helper, a program beside the library
// that links the platform's UPnP stack, so that nothing a device sends is
// parsed in the host's process.
#ifndef SEEKWELL_FINDER_HELPER_DEVICE_FINDER_H
#define SEEKWELL_FINDER_HELPER_DEVICE_FINDER_H

#include <string>

#include "finder/upnp_interfaces.h"

namespace seekwell {

// <folder the library was loaded from>/seekwell/seekwell-finder-gupnp, or
// empty when that folder is not known.
std::string FinderHelperPath();

// Runs the helper's probe: true when it starts here and answers in time.
bool IsFinderHelperUsable(const std::string& helperPath);

// A new finder with one reference, whose helper at helperPath has been
// started for one search; *finder is null and the result negative when the
// helper could not be started or memory ran out.
HRESULT CreateHelperDeviceFinder(const std::string& helperPath, IUPnPDeviceFinder** finder);

// The product's creation: the helper at FinderHelperPath().
HRESULT CreateDeviceFinder(IUPnPDeviceFinder** finder);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_HELPER_DEVICE_FINDER_H
