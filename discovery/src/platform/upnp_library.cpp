#include "upnp_library.h"

namespace seekwell::platform {

// No device finder is wired in yet, so the built-in search always runs.
bool IsUpnpLibraryLoadable()
{
    return false;
}

}  // namespace seekwell::platform
