// A thin wrapper of the search's one IPv4 UDP socket.
#ifndef SEEKWELL_BUILTIN_SSDP_SOCKET_H
#define SEEKWELL_BUILTIN_SSDP_SOCKET_H

#include "builtin/search_parameters.h"

namespace seekwell {

class CSsdpSocket {
public:
    // The platform's value for "no socket could be created".
    static constexpr int kInvalidSocket = -1;

    explicit CSsdpSocket(const SsdpEndpoints& endpoints = SsdpEndpoints{});
    virtual ~CSsdpSocket();
    CSsdpSocket(const CSsdpSocket&) = delete;
    CSsdpSocket& operator=(const CSsdpSocket&) = delete;

    // Creates the socket and binds it to the bind port on every address:
    // 0 on success, -1 otherwise (a socket whose bind failed stays open).
    int Open();
    // Sends the M-SEARCH datagram once; always 0.
    int SendSearch();
    // Wakes a receive blocked on the socket in another thread; later
    // receives return at once.
    void WakeReceiver();
    // Releases a held socket exactly once; always 0.
    int Close();

    int Handle() const { return m_hSocket; }

private:
    bool HoldsSocket() const { return m_hSocket > 0; }

    // 0 while none is held. A created socket is never descriptor 0 (see Open).
    int m_hSocket;
    SsdpEndpoints m_Endpoints;
};

}  // namespace seekwell

#endif  // SEEKWELL_BUILTIN_SSDP_SOCKET_H
