// The live search's sockets: on each interface it searches, one that sends
// the search from a port the system picks, so UDP 1900 stays free for every
// other SSDP program, and one that hears the announcements multicast there;
// and one bound to no interface, that sweeps the host's target ranges by
// unicast.
#ifndef SEEKWELL_LIVE_SEARCH_SOCKETS_H
#define SEEKWELL_LIVE_SEARCH_SOCKETS_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace seekwell::live {

struct Datagram {
    const char* text = nullptr;  // NUL-terminated, in the batch's buffer
    std::size_t length = 0;
    in_addr sender{};
    unsigned int arrivalIndex = 0;  // the interface it arrived on
};

// Datagrams read with one system call. A datagram is read up to its first
// kBytesEach bytes: no device's SSDP datagram comes near that.
class DatagramBatch {
public:
    static constexpr std::size_t kDatagrams = 16;
    static constexpr std::size_t kBytesEach = 8192;

    DatagramBatch();
    std::size_t Size() const { return size_; }
    const Datagram& operator[](std::size_t at) const { return datagrams_[at]; }

private:
    friend class SearchSocket;
    struct Control {
        alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
    };

    std::unique_ptr<char[]> text_;
    sockaddr_in senders_[kDatagrams];
    Control controls_[kDatagrams];
    iovec data_[kDatagrams];
    mmsghdr messages_[kDatagrams];
    Datagram datagrams_[kDatagrams];
    std::size_t size_ = 0;
};

class SearchSocket {
public:
    // A search socket on that interface.
    explicit SearchSocket(unsigned int index) : index_(index) {}
    // The sweeping socket: any interface.
    SearchSocket() = default;
    // Leaves the epoll set before closing: a forked child may hold a copy of
    // the socket, which would keep it in the set and waking the search.
    ~SearchSocket();
    SearchSocket(const SearchSocket&) = delete;
    SearchSocket& operator=(const SearchSocket&) = delete;

    // Opens the socket from the interface's first address (any address for
    // the sweeping one) and adds it to epollFd: 0, or the errno of what
    // failed.
    int Open(int epollFd, in_addr from);
    // Opens it bound to the announcements' group and port, shared with every
    // other SSDP program (address reuse), hearing the group on this
    // interface alone: one socket an interface, as the system lets a socket
    // join a group on few (igmp_max_memberships). 0, or the errno of what
    // failed (EADDRINUSE: a program holds the port alone).
    int OpenAnnouncements(int epollFd, const sockaddr_in& group);
    // Sends the M-SEARCH to destination on this interface; a failed send
    // only means nobody answers this time.
    void SendSearch(const sockaddr_in& destination) const;
    // Sends a unicast M-SEARCH, as UPnP 1.1 devices answer them: to one
    // device, its HOST that device's address, no MX.
    void SendUnicastSearch(const sockaddr_in& destination) const;
    // Reads what waits, a batch at most: false when nothing was read.
    bool Receive(DatagramBatch& batch);
    // The datagrams the system dropped for want of room since the last ask
    // (the socket's drop counter, SO_MEMINFO; 0 where it cannot be read).
    std::uint64_t TakeDropped();

    int Fd() const { return fd_; }
    unsigned int Index() const { return index_; }

private:
    int Create();
    int Watch(int epollFd);

    unsigned int index_ = 0;
    int fd_ = -1;
    int epollFd_ = -1;
    std::uint32_t droppedSoFar_ = 0;  // the system's count at the last ask
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_SEARCH_SOCKETS_H
