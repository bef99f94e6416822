// IPv4 addresses as the library writes them and the socket addresses it
// sends to and binds: one way, for every search.
#ifndef SEEKWELL_PLATFORM_IPV4_TEXT_H
#define SEEKWELL_PLATFORM_IPV4_TEXT_H

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace seekwell::platform {

// The dotted quad of an address in network order.
std::string AddressText(in_addr address);

// An IPv4 socket address of address and port (host order).
sockaddr_in Ipv4Endpoint(in_addr address, std::uint16_t port);

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_IPV4_TEXT_H
