#include "builtin/ssdp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/ipv4_text.h"

namespace seekwell {

namespace {

// 0 means "no socket held", so a socket that came back as descriptor 0 (the
// host closed its standard input) is moved to a higher descriptor.
int AvoidDescriptorZero(int fd)
{
    if (fd != 0) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved < 0 ? CSsdpSocket::kInvalidSocket : moved;
}

}  // namespace

CSsdpSocket::CSsdpSocket(const SsdpEndpoints& endpoints) : m_hSocket(0), m_Endpoints(endpoints) {}

CSsdpSocket::~CSsdpSocket() { Close(); }

int CSsdpSocket::Open()
{
    // Close-on-exec keeps port 1900 from leaking into programs the host starts.
    m_hSocket = AvoidDescriptorZero(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (m_hSocket == kInvalidSocket) {
        return -1;
    }
    const sockaddr_in local = platform::Ipv4Endpoint(in_addr{htonl(INADDR_ANY)}, m_Endpoints.bindPort);
    if (bind(m_hSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return -1;
    }
    return 0;
}

int CSsdpSocket::SendSearch()
{
    const sockaddr_in destination =
        platform::Ipv4Endpoint(in_addr{inet_addr(m_Endpoints.destinationAddress)}, m_Endpoints.destinationPort);
    // A failed send only means nobody answers; the window runs all the same.
    (void)sendto(m_hSocket, kMSearchDatagram, kMSearchDatagramSize, 0, reinterpret_cast<const sockaddr*>(&destination),
                 sizeof destination);
    return 0;
}

void CSsdpSocket::WakeReceiver()
{
    // Closing a descriptor does not wake a receive blocked on it in another
    // thread on Linux; shutting it down does (the receive then returns 0).
    if (HoldsSocket()) {
        shutdown(m_hSocket, SHUT_RDWR);
    }
}

int CSsdpSocket::Close()
{
    if (HoldsSocket()) {
        close(m_hSocket);
        m_hSocket = 0;
    }
    return 0;
}

}  // namespace seekwell
