#include "platform/ipv4_text.h"

#include <arpa/inet.h>

namespace seekwell::platform {

std::string AddressText(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

sockaddr_in Ipv4Endpoint(in_addr address, std::uint16_t port)
{
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr = address;
    endpoint.sin_port = htons(port);
    return endpoint;
}

}  // namespace seekwell::platform
