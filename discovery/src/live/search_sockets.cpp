#include "live/search_sockets.h"

#include <linux/sock_diag.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "live/epoll_tags.h"
#include "platform/ipv4_text.h"
#include "platform/owned_descriptors.h"
#include "platform/retrying_io.h"
#include "search_constants.h"

namespace seekwell::live {

namespace {

// What a search socket asks its receive buffer to be; the system keeps it to
// net.core.rmem_max (208 KiB unless raised), which holds some 160 replies.
constexpr int kReceiveBufferWanted = 16 * 1024 * 1024;

}  // namespace

SearchSocket::~SearchSocket()
{
    if (epollFd_ >= 0) {
        (void)epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd_, nullptr);
    }
    if (fd_ >= 0) {
        (void)platform::CloseNoted(fd_);
    }
}

// A datagram socket of the search's, close-on-exec and non-blocking: 0, or
// the errno of what failed. Its receive buffer is as large as the system
// lets it be, to hold a burst of replies from a LAN of many robots.
int SearchSocket::Create()
{
    fd_ = platform::OpenSocket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        return errno;
    }
    // The system keeps it to net.core.rmem_max; asking more is no error.
    const int wanted = kReceiveBufferWanted;
    (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    droppedSoFar_ = 0;
    return 0;
}

// Asked, not told with the next datagram: drops of a burst's end must count
// before the devices are asked again, whatever comes after.
std::uint64_t SearchSocket::TakeDropped()
{
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
        length <= SK_MEMINFO_DROPS * sizeof memory[0]) {
        return 0;
    }
    // The system's count wraps at 2^32; the difference does not.
    const std::uint32_t dropped = memory[SK_MEMINFO_DROPS] - droppedSoFar_;
    droppedSoFar_ = memory[SK_MEMINFO_DROPS];
    return dropped;
}

// Bound as configured: into the search's epoll set.
int SearchSocket::Watch(int epollFd)
{
    epoll_event watched{};
    watched.events = EPOLLIN;
    watched.data.u64 = EpollData(EpollTag::SearchSocket, fd_);
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd_, &watched) != 0) {
        return errno;
    }
    epollFd_ = epollFd;
    return 0;
}

int SearchSocket::Open(int epollFd, in_addr from)
{
    if (const int error = Create(); error != 0) {
        return error;
    }
    const int on = 1;
    ip_mreqn outgoing{};
    outgoing.imr_address = from;
    outgoing.imr_ifindex = static_cast<int>(index_);
    // Port 0: the system's pick, so the replies to this search come here alone.
    const sockaddr_in local = platform::Ipv4Endpoint(from, 0);
    if (setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0 ||
        bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return errno;
    }
    return Watch(epollFd);
}

int SearchSocket::OpenAnnouncements(int epollFd, const sockaddr_in& group)
{
    if (const int error = Create(); error != 0) {
        return error;
    }
    const int on = 1;
    const int off = 0;
    // Bound to the group itself: datagrams sent to this host's own
    // addresses on the port stay with whoever else listens there. Without
    // IP_MULTICAST_ALL the socket hears the group only where it joined it.
    if (setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
        bind(fd_, reinterpret_cast<const sockaddr*>(&group), sizeof group) != 0) {
        return errno;
    }
    // A stand-in group on loopback, in tests, is no group to join.
    if (IN_MULTICAST(ntohl(group.sin_addr.s_addr))) {
        ip_mreqn membership{};
        membership.imr_multiaddr = group.sin_addr;
        membership.imr_ifindex = static_cast<int>(index_);
        if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
            return errno;
        }
    }
    return Watch(epollFd);
}

void SearchSocket::SendSearch(const sockaddr_in& destination) const
{
    (void)sendto(fd_, kMSearchDatagram, kMSearchDatagramSize, MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
}

namespace {

// The multicast search, addressed to one device: HOST names it, and MX,
// which spreads the answers of a group, goes.
std::string UnicastSearchDatagram(const sockaddr_in& destination)
{
    constexpr std::string_view kDelayLine = "MX:10\r\n";
    const std::string groupHost = std::string(kSsdpMulticastGroup) + ":" + std::to_string(kSsdpPort);
    std::string datagram(kMSearchDatagram, kMSearchDatagramSize);
    datagram.erase(datagram.find(kDelayLine), kDelayLine.size());
    datagram.replace(datagram.find(groupHost), groupHost.size(),
                     platform::AddressText(destination.sin_addr) + ":" + std::to_string(ntohs(destination.sin_port)));
    return datagram;
}

}  // namespace

void SearchSocket::SendUnicastSearch(const sockaddr_in& destination) const
{
    const std::string datagram = UnicastSearchDatagram(destination);
    (void)sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&destination),
                 sizeof destination);
}

DatagramBatch::DatagramBatch() : text_(new char[kDatagrams * (kBytesEach + 1)]) {}

bool SearchSocket::Receive(DatagramBatch& batch)
{
    for (std::size_t at = 0; at < DatagramBatch::kDatagrams; ++at) {
        batch.data_[at] = iovec{batch.text_.get() + at * (DatagramBatch::kBytesEach + 1), DatagramBatch::kBytesEach};
        msghdr& message = batch.messages_[at].msg_hdr;
        message = msghdr{};
        message.msg_name = &batch.senders_[at];
        message.msg_namelen = sizeof batch.senders_[at];
        message.msg_iov = &batch.data_[at];
        message.msg_iovlen = 1;
        message.msg_control = batch.controls_[at].bytes;
        message.msg_controllen = sizeof batch.controls_[at].bytes;
    }
    const int received = platform::ReceiveMessages(fd_, batch.messages_, DatagramBatch::kDatagrams);
    batch.size_ = received > 0 ? static_cast<std::size_t>(received) : 0;
    for (std::size_t at = 0; at < batch.size_; ++at) {
        char* text = static_cast<char*>(batch.data_[at].iov_base);
        text[batch.messages_[at].msg_len] = '\0';
        Datagram& datagram = batch.datagrams_[at];
        datagram = Datagram{text, batch.messages_[at].msg_len, batch.senders_[at].sin_addr, 0};
        msghdr& message = batch.messages_[at].msg_hdr;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(header), sizeof info);
                datagram.arrivalIndex = static_cast<unsigned int>(info.ipi_ifindex);
            }
        }
    }
    return batch.size_ != 0;
}

}  // namespace seekwell::live
