// Stand-in for loading the platform's UPnP library to test its presence.
#ifndef SEEKWELL_PLATFORM_UPNP_LIBRARY_H
#define SEEKWELL_PLATFORM_UPNP_LIBRARY_H

namespace seekwell::platform {

// True when the device finder could be used; nothing stays loaded.
bool IsUpnpLibraryLoadable();

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_UPNP_LIBRARY_H
