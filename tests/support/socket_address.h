// An IPv4 socket address from its dotted text and a port.
#ifndef SEEKWELL_TESTS_SOCKET_ADDRESS_H
#define SEEKWELL_TESTS_SOCKET_ADDRESS_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace seekwell::test {

inline sockaddr_in Address(const char* address, std::uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_SOCKET_ADDRESS_H
