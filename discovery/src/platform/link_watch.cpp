#include "platform/link_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/owned_descriptors.h"
#include "platform/retrying_io.h"

namespace seekwell::platform {

namespace {

// Messages are read and dropped: any of them means "look again".
constexpr std::size_t kReadBufferBytes = 8192;
// At most this many reads a turn: a burst of changes is one look.
constexpr int kReadsPerDrain = 16;

}  // namespace

LinkWatch::~LinkWatch()
{
    if (epollFd_ >= 0) {
        (void)epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd_, nullptr);
    }
    if (fd_ >= 0) {
        (void)CloseNoted(fd_);
    }
}

int LinkWatch::Open(int epollFd, std::uint64_t data)
{
    fd_ = OpenSocket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd_ < 0) {
        return errno;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return errno;
    }
    epoll_event watched{};
    watched.events = EPOLLIN;
    watched.data.u64 = data;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd_, &watched) != 0) {
        return errno;
    }
    epollFd_ = epollFd;
    return 0;
}

bool LinkWatch::Drain() const
{
    bool changed = false;
    alignas(nlmsghdr) char buffer[kReadBufferBytes];
    for (int read = 0; read < kReadsPerDrain; ++read) {
        sockaddr_nl sender{};
        iovec data{buffer, sizeof buffer};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        const ssize_t received = ReceiveMessage(fd_, message, 0);
        if (received < 0) {
            // ENOBUFS: changes came faster than read, so some were lost: look again.
            return changed || errno == ENOBUFS;
        }
        // Only the kernel speaks for the interfaces.
        changed = changed || (sender.nl_pid == 0 && received > 0);
    }
    return changed;
}

}  // namespace seekwell::platform
