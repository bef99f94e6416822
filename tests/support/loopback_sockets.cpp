#include "loopback_sockets.h"

#include "timing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace seekwell::test {

namespace {

constexpr std::chrono::milliseconds kDrainTimeout{2000};
constexpr std::chrono::milliseconds kDrainStep{1};
constexpr std::size_t kLargestDatagram = 65536;

int OpenSocket(int type)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("cannot open a test socket");
    }
    return fd;
}

void BindOrThrow(int fd, const char* address, std::uint16_t port)
{
    const sockaddr_in local = Address(address, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        throw std::runtime_error(std::string("cannot bind a test socket to ") + address);
    }
}

}  // namespace

int BoundSocket(int type, const char* address, std::uint16_t port)
{
    const int fd = OpenSocket(type);
    BindOrThrow(fd, address, port);
    return fd;
}

int Listener(const char* address, std::uint16_t port, int backlog)
{
    const int fd = OpenSocket(SOCK_STREAM);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    BindOrThrow(fd, address, port);
    if (listen(fd, backlog) != 0) {
        close(fd);
        throw std::runtime_error("cannot listen on a test address");
    }
    return fd;
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

bool Readable(int fd, int timeoutMs)
{
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

bool WaitUntilDrained(int fd)
{
    return WaitUntil(
        [fd] {
            int pending = 0;
            return ioctl(fd, FIONREAD, &pending) == 0 && pending == 0;
        },
        kDrainTimeout, kDrainStep);
}

UdpEndpoint::UdpEndpoint(const char* address, std::uint16_t port) : fd_(BoundSocket(SOCK_DGRAM, address, port)) {}

UdpEndpoint::~UdpEndpoint() { close(fd_); }

void UdpEndpoint::SendTo(const std::string& bytes, std::uint16_t port) const
{
    const sockaddr_in to = Address("127.0.0.1", port);
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::string UdpEndpoint::Receive(int timeoutMs, std::uint16_t* senderPort) const
{
    static thread_local char buffer[kLargestDatagram];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t n = Readable(fd_, timeoutMs)
                          ? recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length)
                          : 0;
    if (senderPort != nullptr) {
        *senderPort = ntohs(sender.sin_port);
    }
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace seekwell::test
