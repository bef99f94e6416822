#include "loopback.h"

#include "socket_address.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace seekwell::test {

namespace {

constexpr int kPeerTimeoutMs = 2000;
constexpr int kPollStepMs = 10;

int BoundSocket(int type, const char* address, std::uint16_t port)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const sockaddr_in local = Address(address, port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        throw std::runtime_error("cannot bind a loopback test socket");
    }
    return fd;
}

bool Readable(int fd, int timeoutMs)
{
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

bool SendAll(int fd, const std::string& bytes)
{
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;  // the client stopped reading
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::uint16_t LocalPort(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

bool WaitUntilDrained(int fd)
{
    int pending = 1;
    for (int waited = 0; waited < kPeerTimeoutMs && pending != 0; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ioctl(fd, FIONREAD, &pending);
    }
    return pending == 0;
}

UdpEndpoint::UdpEndpoint(const char* address, std::uint16_t port)
    : m_Fd(BoundSocket(SOCK_DGRAM, address, port)) {}

UdpEndpoint::~UdpEndpoint() { close(m_Fd); }

void UdpEndpoint::SendTo(const std::string& bytes, std::uint16_t port) const
{
    const sockaddr_in to = Address("127.0.0.1", port);
    sendto(m_Fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::string UdpEndpoint::Receive(int timeoutMs, std::uint16_t* senderPort) const
{
    static thread_local char buffer[65536];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t n = Readable(m_Fd, timeoutMs)
        ? recvfrom(m_Fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length)
        : 0;
    if (senderPort != nullptr) {
        *senderPort = ntohs(sender.sin_port);
    }
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

LoopbackHttpServer::LoopbackHttpServer(const char* address, std::uint16_t port, std::string response)
    : m_Listener(BoundSocket(SOCK_STREAM, address, port)), m_Response(std::move(response))
{
    listen(m_Listener, SOMAXCONN);
    m_Thread = std::thread(&LoopbackHttpServer::Serve, this);
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    m_Stopping = true;
    m_Thread.join();
    close(m_Listener);
}

std::vector<std::string> LoopbackHttpServer::Requests() const
{
    const std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Requests;
}

void LoopbackHttpServer::Serve()
{
    while (!m_Stopping) {
        const int connection = Readable(m_Listener, kPollStepMs) ? accept(m_Listener, nullptr, nullptr) : -1;
        if (connection >= 0) {
            Answer(connection);
            close(connection);
        }
    }
}

void LoopbackHttpServer::Answer(int connection)
{
    std::string head;
    char chunk[1024];
    while (head.find("\r\n\r\n") == std::string::npos && Readable(connection, kPeerTimeoutMs)) {
        const ssize_t n = recv(connection, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        head.append(chunk, static_cast<std::size_t>(n));
    }
    {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        m_Requests.push_back(head);
    }
    while (m_Response.empty() && !m_Stopping) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
    m_CompleteAnswers += SendAll(connection, m_Response) ? 1 : 0;
    shutdown(connection, SHUT_WR);
    Readable(connection, kPeerTimeoutMs);  // let the client read before closing
}

std::string HttpResponse(const std::string& body, const std::string& status)
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string Description(const std::string& udn, const std::string& friendlyName,
                        const std::string& presentationUrl)
{
    return "<?xml version=\"1.0\"?>\n<root><device><friendlyName>" + friendlyName +
           "</friendlyName><manufacturer>Maker</manufacturer><modelName>Model 7</modelName>"
           "<modelDescription>Walking robot</modelDescription><UDN>" + udn +
           "</UDN><presentationURL>" + presentationUrl + "</presentationURL></device></root>\n";
}

}  // namespace seekwell::test
