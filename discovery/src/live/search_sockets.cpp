#include "live/search_sockets.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace seekwell::live {

namespace {

bool IsChosen(const ifaddrs& entry, const std::string& name)
{
    if (entry.ifa_addr == nullptr || entry.ifa_addr->sa_family != AF_INET || (entry.ifa_flags & IFF_UP) == 0) {
        return false;
    }
    // A named interface is taken as the host names it; otherwise only those
    // on which a group search can go out.
    return name.empty() ? (entry.ifa_flags & IFF_MULTICAST) != 0 : name == entry.ifa_name;
}

bool AlreadyChosen(const std::vector<SearchInterface>& chosen, const char* name)
{
    for (const SearchInterface& each : chosen) {
        if (each.name == name) {
            return true;
        }
    }
    return false;
}

sockaddr_in Ipv4Endpoint(in_addr address, std::uint16_t port)
{
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr = address;
    endpoint.sin_port = htons(port);
    return endpoint;
}

}  // namespace

std::vector<SearchInterface> ChooseInterfaces(const std::string& name)
{
    std::vector<SearchInterface> chosen;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return chosen;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (IsChosen(*entry, name) && !AlreadyChosen(chosen, entry->ifa_name)) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            chosen.push_back(SearchInterface{entry->ifa_name, if_nametoindex(entry->ifa_name), address->sin_addr});
        }
    }
    freeifaddrs(list);
    if (chosen.empty()) {
        errno = ENETDOWN;
    }
    return chosen;
}

SearchSocket::~SearchSocket()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

int SearchSocket::Open()
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        return errno;
    }
    const int on = 1;
    ip_mreqn outgoing{};
    outgoing.imr_address = where_.address;
    outgoing.imr_ifindex = static_cast<int>(where_.index);
    // Port 0: the system's pick, so the replies to this search come here alone.
    const sockaddr_in local = Ipv4Endpoint(where_.address, 0);
    if (setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0 ||
        bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return errno;
    }
    return 0;
}

void SearchSocket::SendSearch() const
{
    in_addr group{};
    inet_aton(kSsdpMulticastGroup, &group);
    const sockaddr_in destination = Ipv4Endpoint(group, kSsdpPort);
    (void)sendto(fd_, kMSearchDatagram, kMSearchDatagramSize, MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
}

bool SearchSocket::Receive(char (&buffer)[kReceiveBufferSize], Datagram& datagram) const
{
    sockaddr_in sender{};
    iovec data{buffer, kMaxDatagramSize};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    do {
        received = recvmsg(fd_, &message, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        return false;
    }
    buffer[received] = '\0';
    datagram = Datagram{buffer, sender.sin_addr, 0};
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            datagram.arrivalIndex = static_cast<unsigned int>(info.ipi_ifindex);
        }
    }
    return true;
}

}  // namespace seekwell::live
