// This host's interfaces as the kernel lists them, keyed by index, with their
// IPv4 addresses read over rtnetlink: an address with a label stays on its
// link, and a point-to-point address keeps the prefix it was given.
#ifndef SEEKWELL_PLATFORM_INTERFACE_LISTING_H
#define SEEKWELL_PLATFORM_INTERFACE_LISTING_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace seekwell::platform {

// One IPv4 address of an interface and the part of the network it reaches.
struct Ipv4Link {
    // This host's address on it.
    in_addr address{};
    unsigned int prefixLength = 32;
    // The other end of a point-to-point link, when it is not this host; else 0.
    in_addr peer{};

    // The subnet around the peer when there is one (a /32 peer: the peer
    // alone), else the subnet around address.
    bool Reaches(in_addr other) const;
    in_addr Netmask() const;
    bool operator==(const Ipv4Link& other) const;
    bool operator!=(const Ipv4Link& other) const { return !(*this == other); }
};

struct Ipv4Interface {
    unsigned int index = 0;
    // The link's own name, never an address label.
    std::string name;
    // IFF_UP, IFF_RUNNING (carrier), IFF_MULTICAST, IFF_LOOPBACK, IFF_POINTOPOINT...
    unsigned int flags = 0;
    // In the kernel's order; labelled addresses too.
    std::vector<Ipv4Link> links;

    // Whether other lies on any of its links.
    bool Reaches(in_addr other) const;
    bool operator==(const Ipv4Interface& other) const;
    bool operator!=(const Ipv4Interface& other) const { return !(*this == other); }
};

struct Ipv4Listing {
    // Every link, with IPv4 addresses or none, sorted by index.
    std::vector<Ipv4Interface> interfaces;

    const Ipv4Interface* ByIndex(unsigned int index) const;
    // Whether address is this host's, on any interface, up or not.
    bool IsOwn(in_addr address) const;
};

// A device the kernel knows on a link: learnt from its ARP, or set by hand.
struct Ipv4Neighbour {
    unsigned int index = 0;
    in_addr address{};
};

// What one received buffer told of the dump it belongs to.
struct DumpProgress {
    // NLMSG_DONE came: the dump is over.
    bool done = false;
    // The kernel marked a message NLM_F_DUMP_INTR: the tables changed while
    // they were dumped, so what was read may be inconsistent.
    bool interrupted = false;
    // The errno the kernel answered with instead of the dump; 0 when none.
    int error = 0;
};

// Folds the kernel's RTM_NEWLINK, RTM_NEWADDR and RTM_NEWNEIGH (AF_INET)
// messages into a listing, in any order; anything else, or anything whose
// lengths do not hold together, is left out.
class ListingBuilder {
public:
    // The messages of one received buffer, up to NLMSG_DONE or NLMSG_ERROR;
    // those of another request (their sequence number not sequence) are left
    // out. Any alignment, any length.
    DumpProgress AddMessages(const void* data, std::size_t length, std::uint32_t sequence);
    // The listing of what was folded in so far. An address whose link was not
    // among the links is left out.
    Ipv4Listing Listing() const;
    // The IPv4 neighbours folded in so far, in the kernel's order.
    const std::vector<Ipv4Neighbour>& Neighbours() const { return neighbours_; }

private:
    struct PendingLink {
        unsigned int index;
        Ipv4Link link;
    };

    std::vector<Ipv4Interface> interfaces_;
    std::vector<PendingLink> addresses_;
    std::vector<Ipv4Neighbour> neighbours_;
};

// Dumps the links and the IPv4 addresses over one NETLINK_ROUTE socket, closed
// before it returns, reading both again when the kernel marks a dump
// interrupted, a few times at most. 0, or the errno of what failed: EMFILE,
// ENOBUFS, ENOMEM..., ETIMEDOUT when the kernel does not answer within a
// second, EAGAIN when the tables kept changing. listing is left as it was
// unless it returns 0.
int ReadIpv4Listing(Ipv4Listing& listing);

// The IPv4 neighbour table, as ReadIpv4Listing reads the interfaces: every
// entry that is not failed or still being resolved, nor a multicast or
// broadcast one. 0, or the errno of what failed.
int ReadIpv4Neighbours(std::vector<Ipv4Neighbour>& neighbours);

// The name of the interface the routes send traffic for destination by:
// found without a datagram, by a UDP socket's connect. Empty when there is no
// route, or the system cannot say.
std::string InterfaceTowards(in_addr destination, const Ipv4Listing& listing);

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_INTERFACE_LISTING_H
