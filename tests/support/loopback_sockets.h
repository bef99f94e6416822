// Sockets of the test peers, on loopback or a private namespace's addresses:
// bound sockets, listeners, and a UDP endpoint that plays SSDP responders.
#ifndef SEEKWELL_TESTS_LOOPBACK_SOCKETS_H
#define SEEKWELL_TESTS_LOOPBACK_SOCKETS_H

#include <cstdint>
#include <string>

#include "socket_address.h"

namespace seekwell::test {

// A close-on-exec socket of type bound to address:port; throws std::runtime_error when it cannot.
int BoundSocket(int type, const char* address, std::uint16_t port);
// A TCP listener on address:port (reusable at once after a test); throws like BoundSocket.
int Listener(const char* address, std::uint16_t port, int backlog);
std::uint16_t LocalPort(int fd);
bool Readable(int fd, int timeoutMs);
// Waits until no datagram is pending on fd; false on time-out.
bool WaitUntilDrained(int fd);

class UdpEndpoint {
public:
    explicit UdpEndpoint(const char* address = "127.0.0.1", std::uint16_t port = 0);
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    int Fd() const { return fd_; }
    std::uint16_t Port() const { return LocalPort(fd_); }
    void SendTo(const std::string& bytes, std::uint16_t port) const;
    // One datagram within the time-out (empty if none), and its sender's port.
    std::string Receive(int timeoutMs, std::uint16_t* senderPort = nullptr) const;

private:
    int fd_;
};

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_LOOPBACK_SOCKETS_H
