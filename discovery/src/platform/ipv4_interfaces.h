// This host's IPv4 interfaces as a search sees them: which it searches on,
// the subnets each one reaches, and every address that is this host's own.
#ifndef SEEKWELL_PLATFORM_IPV4_INTERFACES_H
#define SEEKWELL_PLATFORM_IPV4_INTERFACES_H

#include <netinet/in.h>

#include <string>
#include <vector>

namespace seekwell::platform {

// One address of an interface and the part of the network it reaches: the
// subnet, or on a point-to-point link the one address at its other end.
struct Ipv4Link {
    in_addr address{};
    in_addr netmask{};
    bool pointToPoint = false;
    in_addr peer{};
};

struct Ipv4Interface {
    std::string name;
    unsigned int index = 0;
    // The first is the one a search binds to.
    std::vector<Ipv4Link> links;

    in_addr Address() const { return links.front().address; }
    // Whether sender lies on one of this interface's links.
    bool Reaches(in_addr sender) const;
};

struct Ipv4Interfaces {
    std::vector<Ipv4Interface> chosen;
    // Every IPv4 address of this host, on any interface, up or not.
    std::vector<in_addr_t> own;
    // The interfaces that have one, up or not: one that is down is still
    // there; one missing here has gone away.
    std::vector<std::string> present;

    const Ipv4Interface* ByIndex(unsigned int index) const;
    bool IsOwn(in_addr address) const;
};

// Reads the interfaces and chooses those a search runs on: the one named,
// when it is up with an IPv4 address; with no name, every interface that is
// up, can multicast and is not loopback. 0, or the errno of the listing that
// failed (descriptors or memory short), which is not the same as none.
int ReadIpv4Interfaces(const std::string& name, Ipv4Interfaces& interfaces);

// The name of the interface with that index; empty when it has gone or the
// system cannot say (no descriptor left, say).
std::string InterfaceName(unsigned int index);
// The interface the routes send traffic for destination by: found without a
// datagram, by a UDP socket's connect. Empty when there is no route, or the
// system cannot say.
std::string InterfaceTowards(in_addr destination);

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_IPV4_INTERFACES_H
