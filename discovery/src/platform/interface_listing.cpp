#include "platform/interface_listing.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <new>

#include "platform/ipv4_text.h"
#include "platform/owned_descriptors.h"
#include "platform/retrying_io.h"

namespace seekwell::platform {

namespace {

// Messages and attributes start on 4-byte boundaries; the fixed headers need
// no padding before what follows them.
constexpr std::size_t kAlignment = 4;
static_assert(sizeof(nlmsghdr) == NLMSG_HDRLEN && sizeof(rtattr) == RTA_LENGTH(0), "unpadded headers");
static_assert(sizeof(ifinfomsg) % kAlignment == 0 && sizeof(ifaddrmsg) % kAlignment == 0, "unpadded headers");

// Both dumps again, at most this many times, while the kernel says the tables changed under them.
constexpr int kListingAttempts = 4;
// The kernel fills a dump's datagrams up to the reader's buffer, 32 KiB at most; one message larger than
// that comes alone, and the buffer grows to it.
constexpr std::size_t kFirstBufferBytes = 32768;
// The kernel answers a dump at once; a sandbox that swallows the request must not hang the caller.
constexpr timeval kAnswerWait{1, 0};
// The kernel's errors are small negative numbers; anything else in an error message is garbage.
constexpr int kLargestErrno = 4095;

std::size_t Aligned(std::size_t length) { return (length + kAlignment - 1) & ~(kAlignment - 1); }

// A header copied out, as the bytes may be short or unaligned: false when too few remain.
template <typename Header>
bool CopyHeader(const unsigned char* bytes, std::size_t length, Header& header)
{
    if (length < sizeof header) {
        return false;
    }
    std::memcpy(&header, bytes, sizeof header);
    return true;
}

// visit(type, value, valueLength) for each attribute, up to the first whose length runs short or past the end.
template <typename Visit>
void ForEachAttribute(const unsigned char* bytes, std::size_t length, Visit visit)
{
    rtattr attribute{};
    std::size_t offset = 0;
    while (CopyHeader(bytes + offset, length - offset, attribute) && attribute.rta_len >= sizeof attribute &&
           attribute.rta_len <= length - offset) {
        visit(attribute.rta_type & NLA_TYPE_MASK, bytes + offset + sizeof attribute,
              attribute.rta_len - sizeof attribute);
        offset = std::min(length, offset + Aligned(attribute.rta_len));
    }
}

bool CopyAddress(const unsigned char* value, std::size_t length, in_addr& address)
{
    if (length != sizeof address) {
        return false;
    }
    std::memcpy(&address, value, sizeof address);
    return true;
}

// An RTM_NEWLINK's index, name and flags. A link without a name is not one the kernel sent.
bool ReadLink(const unsigned char* payload, std::size_t length, Ipv4Interface& read)
{
    ifinfomsg header{};
    if (!CopyHeader(payload, length, header) || header.ifi_family != AF_UNSPEC || header.ifi_index <= 0) {
        return false;
    }
    ForEachAttribute(payload + sizeof header, length - sizeof header,
                     [&read](unsigned int type, const unsigned char* value, std::size_t valueLength) {
                         if (type == IFLA_IFNAME) {
                             const char* name = reinterpret_cast<const char*>(value);
                             read.name.assign(name, strnlen(name, valueLength));
                         }
                     });
    read.index = static_cast<unsigned int>(header.ifi_index);
    read.flags = header.ifi_flags;
    return !read.name.empty();
}

// An RTM_NEWADDR of an IPv4 address and the index of its link. IFA_LOCAL is this host's address; IFA_ADDRESS
// is the same but on a point-to-point link given a peer, where it is the peer.
bool ReadAddress(const unsigned char* payload, std::size_t length, unsigned int& index, Ipv4Link& link)
{
    ifaddrmsg header{};
    if (!CopyHeader(payload, length, header) || header.ifa_family != AF_INET || header.ifa_index == 0 ||
        header.ifa_prefixlen > 32) {
        return false;
    }
    bool hasLocal = false;
    bool hasAddress = false;
    in_addr local{};
    in_addr address{};
    ForEachAttribute(payload + sizeof header, length - sizeof header,
                     [&](unsigned int type, const unsigned char* value, std::size_t valueLength) {
                         if (type == IFA_LOCAL) {
                             hasLocal = CopyAddress(value, valueLength, local);
                         } else if (type == IFA_ADDRESS) {
                             hasAddress = CopyAddress(value, valueLength, address);
                         }
                     });
    if (!hasLocal && !hasAddress) {
        return false;
    }
    index = header.ifa_index;
    link.address = hasLocal ? local : address;
    link.prefixLength = header.ifa_prefixlen;
    link.peer = hasLocal && hasAddress && local.s_addr != address.s_addr ? address : in_addr{};
    return true;
}

// An RTM_NEWNEIGH of an IPv4 neighbour that answers, or may: not one that failed or is still being resolved,
// nor a multicast or broadcast entry (NOARP).
bool ReadNeighbour(const unsigned char* payload, std::size_t length, Ipv4Neighbour& neighbour)
{
    ndmsg header{};
    if (!CopyHeader(payload, length, header) || header.ndm_family != AF_INET || header.ndm_ifindex <= 0 ||
        (header.ndm_state & (NUD_FAILED | NUD_INCOMPLETE | NUD_NOARP | NUD_NONE)) != 0 || header.ndm_state == 0) {
        return false;
    }
    bool hasAddress = false;
    ForEachAttribute(payload + sizeof header, length - sizeof header,
                     [&](unsigned int type, const unsigned char* value, std::size_t valueLength) {
                         if (type == NDA_DST) {
                             hasAddress = CopyAddress(value, valueLength, neighbour.address);
                         }
                     });
    neighbour.index = static_cast<unsigned int>(header.ndm_ifindex);
    return hasAddress;
}

// The errno in the code at the start of an NLMSG_ERROR or NLMSG_DONE: 0 for none, -1 when there is no code
// or it is not an errno.
int ErrnoIn(const unsigned char* payload, std::size_t length)
{
    int code = 0;
    if (!CopyHeader(payload, length, code) || code > 0 || code < -kLargestErrno) {
        return -1;
    }
    return -code;
}

struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0) {
            (void)CloseNoted(fd);
        }
    }
};

int RequestDump(int fd, std::uint16_t type, std::uint32_t sequence)
{
    struct {
        nlmsghdr header;
        union {
            ifinfomsg link;
            ifaddrmsg address;
            ndmsg neighbour;
        } body;
    } request{};
    // Every link, of any family; every address and neighbour of IPv4.
    request.header.nlmsg_len = NLMSG_LENGTH(type == RTM_GETLINK   ? sizeof(ifinfomsg)
                                            : type == RTM_GETADDR ? sizeof(ifaddrmsg)
                                                                  : sizeof(ndmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    if (type == RTM_GETADDR) {
        request.body.address.ifa_family = AF_INET;
    } else if (type == RTM_GETNEIGH) {
        request.body.neighbour.ndm_family = AF_INET;
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<const sockaddr*>(&kernel),
                      sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? errno : 0;
}

ssize_t Receive(int fd, std::vector<unsigned char>& buffer, int flags, sockaddr_nl& sender)
{
    iovec data{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    return ReceiveMessage(fd, message, flags);
}

// Reads one dump to its end into builder; interrupted: whether the kernel marked it so.
int ReadDump(int fd, std::uint32_t sequence, std::vector<unsigned char>& buffer, ListingBuilder& builder,
             bool& interrupted)
{
    for (;;) {
        sockaddr_nl sender{};
        // The datagram's length first, so that the buffer grows to one larger than it rather than lose its end.
        ssize_t received = Receive(fd, buffer, MSG_PEEK | MSG_TRUNC, sender);
        if (received > 0 && static_cast<std::size_t>(received) > buffer.size()) {
            buffer.resize(static_cast<std::size_t>(received));
        }
        if (received >= 0) {
            received = Receive(fd, buffer, 0, sender);
        }
        if (received < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno;
        }
        // Only the kernel answers for the tables.
        if (sender.nl_pid != 0) {
            continue;
        }
        const DumpProgress progress = builder.AddMessages(buffer.data(), static_cast<std::size_t>(received), sequence);
        interrupted = interrupted || progress.interrupted;
        if (progress.done) {
            return progress.error;
        }
    }
}

// Reads the dumps of these types into builder, all of them again while the kernel marks one interrupted.
int ReadDumps(std::initializer_list<std::uint16_t> types, ListingBuilder& builder)
{
    const Descriptor socketFd{OpenSocket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE)};
    if (socketFd.fd < 0) {
        return errno;
    }
    if (setsockopt(socketFd.fd, SOL_SOCKET, SO_RCVTIMEO, &kAnswerWait, sizeof kAnswerWait) != 0) {
        return errno;
    }
    std::vector<unsigned char> buffer(kFirstBufferBytes);
    std::uint32_t sequence = 0;
    for (int attempt = 0; attempt < kListingAttempts; ++attempt) {
        builder = ListingBuilder();
        bool interrupted = false;
        for (const std::uint16_t type : types) {
            ++sequence;
            int error = RequestDump(socketFd.fd, type, sequence);
            if (error == 0) {
                error = ReadDump(socketFd.fd, sequence, buffer, builder, interrupted);
            }
            if (error != 0) {
                return error;
            }
        }
        if (!interrupted) {
            return 0;
        }
    }
    return EAGAIN;
}

}  // namespace

in_addr Ipv4Link::Netmask() const
{
    const unsigned int bits = std::min(prefixLength, 32U);
    in_addr mask{};
    mask.s_addr = bits == 0 ? 0 : htonl(~std::uint32_t{0} << (32 - bits));
    return mask;
}

bool Ipv4Link::Reaches(in_addr other) const
{
    const in_addr_t mask = Netmask().s_addr;
    const in_addr_t around = peer.s_addr != 0 ? peer.s_addr : address.s_addr;
    return (other.s_addr & mask) == (around & mask);
}

bool Ipv4Link::operator==(const Ipv4Link& other) const
{
    return address.s_addr == other.address.s_addr && prefixLength == other.prefixLength &&
           peer.s_addr == other.peer.s_addr;
}

bool Ipv4Interface::Reaches(in_addr other) const
{
    return std::any_of(links.begin(), links.end(), [other](const Ipv4Link& link) { return link.Reaches(other); });
}

bool Ipv4Interface::operator==(const Ipv4Interface& other) const
{
    return index == other.index && name == other.name && flags == other.flags && links == other.links;
}

const Ipv4Interface* Ipv4Listing::ByIndex(unsigned int index) const
{
    const auto found = std::find_if(interfaces.begin(), interfaces.end(),
                                    [index](const Ipv4Interface& each) { return each.index == index; });
    return found != interfaces.end() ? &*found : nullptr;
}

bool Ipv4Listing::IsOwn(in_addr address) const
{
    return std::any_of(interfaces.begin(), interfaces.end(), [address](const Ipv4Interface& each) {
        return std::any_of(each.links.begin(), each.links.end(),
                           [address](const Ipv4Link& link) { return link.address.s_addr == address.s_addr; });
    });
}

DumpProgress ListingBuilder::AddMessages(const void* data, std::size_t length, std::uint32_t sequence)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    DumpProgress progress;
    nlmsghdr header{};
    std::size_t offset = 0;
    // A message whose length does not fit leaves nothing after it to frame.
    while (!progress.done && CopyHeader(bytes + offset, length - offset, header) && header.nlmsg_len >= sizeof header &&
           header.nlmsg_len <= length - offset) {
        const unsigned char* payload = bytes + offset + sizeof header;
        const std::size_t payloadLength = header.nlmsg_len - sizeof header;
        offset = std::min(length, offset + Aligned(header.nlmsg_len));
        if (header.nlmsg_seq != sequence) {
            continue;
        }
        progress.interrupted = progress.interrupted || (header.nlmsg_flags & NLM_F_DUMP_INTR) != 0;
        if (header.nlmsg_type == NLMSG_DONE) {
            // Newer kernels end a dump that failed part way with its error here.
            progress.done = true;
            progress.error = std::max(ErrnoIn(payload, payloadLength), 0);
        } else if (header.nlmsg_type == NLMSG_ERROR) {
            // 0 is an acknowledgement, which a dump does not end with.
            const int error = ErrnoIn(payload, payloadLength);
            progress.done = error != 0;
            progress.error = error < 0 ? EPROTO : error;
        } else if (header.nlmsg_type == RTM_NEWLINK) {
            Ipv4Interface read;
            if (ReadLink(payload, payloadLength, read)) {
                interfaces_.push_back(std::move(read));
            }
        } else if (header.nlmsg_type == RTM_NEWADDR) {
            PendingLink read{};
            if (ReadAddress(payload, payloadLength, read.index, read.link)) {
                addresses_.push_back(read);
            }
        } else if (header.nlmsg_type == RTM_NEWNEIGH) {
            Ipv4Neighbour read;
            if (ReadNeighbour(payload, payloadLength, read)) {
                neighbours_.push_back(read);
            }
        }
    }
    return progress;
}

Ipv4Listing ListingBuilder::Listing() const
{
    std::vector<Ipv4Interface> sorted = interfaces_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Ipv4Interface& one, const Ipv4Interface& other) { return one.index < other.index; });
    Ipv4Listing listing;
    // A link told twice is as it was told last.
    for (Ipv4Interface& each : sorted) {
        if (!listing.interfaces.empty() && listing.interfaces.back().index == each.index) {
            listing.interfaces.back() = std::move(each);
        } else {
            listing.interfaces.push_back(std::move(each));
        }
    }
    for (const PendingLink& address : addresses_) {
        const auto found =
            std::lower_bound(listing.interfaces.begin(), listing.interfaces.end(), address.index,
                             [](const Ipv4Interface& each, unsigned int index) { return each.index < index; });
        // An address of a link that came between the two dumps is left out, as its name and flags are unknown:
        // the next listing has the link whole.
        if (found != listing.interfaces.end() && found->index == address.index) {
            found->links.push_back(address.link);
        }
    }
    return listing;
}

int ReadIpv4Listing(Ipv4Listing& listing)
{
    try {
        ListingBuilder builder;
        const int error = ReadDumps({RTM_GETLINK, RTM_GETADDR}, builder);
        if (error == 0) {
            listing = builder.Listing();
        }
        return error;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int ReadIpv4Neighbours(std::vector<Ipv4Neighbour>& neighbours)
{
    try {
        ListingBuilder builder;
        const int error = ReadDumps({RTM_GETNEIGH}, builder);
        if (error == 0) {
            neighbours = builder.Neighbours();
        }
        return error;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

std::string InterfaceTowards(in_addr destination, const Ipv4Listing& listing)
{
    const Descriptor probe{OpenSocket(AF_INET, SOCK_DGRAM, 0)};
    if (probe.fd < 0) {
        return std::string();
    }
    // Any port: a UDP connect only picks the route and the source address.
    const sockaddr_in remote = Ipv4Endpoint(destination, 9);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (connect(probe.fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 ||
        getsockname(probe.fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return std::string();
    }
    for (const Ipv4Interface& each : listing.interfaces) {
        for (const Ipv4Link& link : each.links) {
            if (link.address.s_addr == local.sin_addr.s_addr) {
                return each.name;
            }
        }
    }
    return std::string();
}

}  // namespace seekwell::platform
