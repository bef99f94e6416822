#include "multicast_route.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace seekwell_discover {
namespace {

bool MeansNoRoute(int error) { return error == ENETUNREACH || error == EHOSTUNREACH || error == ENETDOWN; }

}  // namespace

RouteState MulticastRouteState(const char* group, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, group, &address.sin_addr) != 1) {
        return RouteState::Unknown;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return RouteState::Unknown;
    }
    int result = 0;
    do {
        result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    const int error = errno;
    close(fd);
    if (result == 0) {
        return RouteState::Routed;
    }
    return MeansNoRoute(error) ? RouteState::NoRoute : RouteState::Unknown;
}

}  // namespace seekwell_discover
