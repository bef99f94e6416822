// Which network interfaces a search goes out on when the host names none:
// one rule for the library's searches and for the finder helper, which
// includes this header alone.
#ifndef SEEKWELL_PLATFORM_INTERFACE_RULE_H
#define SEEKWELL_PLATFORM_INTERFACE_RULE_H

#include <net/if.h>

namespace seekwell::platform {

// Up, able to send to a multicast group, and not loopback: a search there can
// reach a robot. flags: an interface's ifa_flags, as getifaddrs gives them.
inline bool IsSearchableInterface(unsigned int flags)
{
    return (flags & IFF_UP) != 0 && (flags & IFF_MULTICAST) != 0 && (flags & IFF_LOOPBACK) == 0;
}

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_INTERFACE_RULE_H
