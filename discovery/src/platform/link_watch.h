// Word from the kernel that this host's interfaces or their IPv4 addresses
// changed (rtnetlink), so that a search follows them at once rather than at
// its next round. Where a sandbox refuses the socket, nothing is heard and
// the rounds alone follow the interfaces.
#ifndef SEEKWELL_PLATFORM_LINK_WATCH_H
#define SEEKWELL_PLATFORM_LINK_WATCH_H

#include <cstdint>

namespace seekwell::platform {

class LinkWatch {
public:
    LinkWatch() = default;
    // Leaves the epoll set before closing, as a forked child may hold a copy.
    ~LinkWatch();
    LinkWatch(const LinkWatch&) = delete;
    LinkWatch& operator=(const LinkWatch&) = delete;

    // Opens the socket and adds it to epollFd with data: 0, or the errno of
    // what failed.
    int Open(int epollFd, std::uint64_t data);
    // Reads what waits: true when the kernel told of a change.
    bool Drain() const;
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
    int epollFd_ = -1;
};

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_LINK_WATCH_H
