// The live search's sockets: one per chosen interface, each on a port the
// system picks, so UDP 1900 stays free for every other SSDP program.
#ifndef SEEKWELL_LIVE_SEARCH_SOCKETS_H
#define SEEKWELL_LIVE_SEARCH_SOCKETS_H

#include <netinet/in.h>

#include <string>
#include <vector>

#include "search_constants.h"

namespace seekwell::live {

struct SearchInterface {
    std::string name;
    unsigned int index = 0;
    in_addr address{};
};

// The named interface when it is up with an IPv4 address (empty name: every
// IPv4 interface that is up and can multicast), one address each. Empty when
// there is none, with errno set.
std::vector<SearchInterface> ChooseInterfaces(const std::string& name);

struct Datagram {
    const char* text = nullptr;  // NUL-terminated, in the caller's buffer
    in_addr sender{};
    unsigned int arrivalIndex = 0;  // the interface it arrived on
};

class SearchSocket {
public:
    explicit SearchSocket(SearchInterface where) : where_(std::move(where)) {}
    ~SearchSocket();
    SearchSocket(const SearchSocket&) = delete;
    SearchSocket& operator=(const SearchSocket&) = delete;

    // 0, or the errno of what failed.
    int Open();
    // Sends the M-SEARCH to the group on this interface; a failed send only
    // means nobody answers this time.
    void SendSearch() const;
    // One waiting datagram; false when none waits or the receive failed.
    bool Receive(char (&buffer)[kReceiveBufferSize], Datagram& datagram) const;

    int Fd() const { return fd_; }
    const SearchInterface& Where() const { return where_; }

private:
    SearchInterface where_;
    int fd_ = -1;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_SEARCH_SOCKETS_H
