#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace seekwell::test {

namespace {

constexpr int kRequestReadTimeoutMs = 2000;
constexpr int kPollStepMs = 10;

sockaddr_in Address(const char* address, std::uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

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

void SendAll(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;  // the client stopped reading, which some tests expect
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::string ReadRequestHead(int fd)
{
    std::string head;
    char chunk[1024];
    while (head.find("\r\n\r\n") == std::string::npos && Readable(fd, kRequestReadTimeoutMs)) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        head.append(chunk, static_cast<std::size_t>(n));
    }
    return head;
}

}  // namespace

std::uint16_t LocalPort(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

bool WaitUntilDrained(int fd, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 1) {
        int pending = 0;
        ioctl(fd, FIONREAD, &pending);
        if (pending == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

UdpEndpoint::UdpEndpoint(const char* address, std::uint16_t port)
    : m_Fd(BoundSocket(SOCK_DGRAM, address, port)), m_Port(LocalPort(m_Fd))
{
}

UdpEndpoint::~UdpEndpoint()
{
    close(m_Fd);
}

void UdpEndpoint::SendTo(const std::string& bytes, std::uint16_t port, const char* address) const
{
    const sockaddr_in destination = Address(address, port);
    sendto(m_Fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&destination),
           sizeof destination);
}

std::string UdpEndpoint::Receive(int timeoutMs, std::uint16_t* senderPort) const
{
    if (!Readable(m_Fd, timeoutMs)) {
        return std::string();
    }
    char buffer[65536];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t n = recvfrom(m_Fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender),
                               &length);
    if (senderPort != nullptr) {
        *senderPort = ntohs(sender.sin_port);
    }
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

LoopbackHttpServer::LoopbackHttpServer(const char* address, std::uint16_t port,
                                       std::string response, bool silent)
    : m_Listener(BoundSocket(SOCK_STREAM, address, port)),
      m_Port(LocalPort(m_Listener)),
      m_Response(std::move(response)),
      m_Silent(silent)
{
    listen(m_Listener, SOMAXCONN);
    m_Thread = std::thread(&LoopbackHttpServer::Serve, this);
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    m_Stopping.store(true);
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
    while (!m_Stopping.load()) {
        if (!Readable(m_Listener, kPollStepMs)) {
            continue;
        }
        const int connection = accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            Answer(connection);
            close(connection);
        }
    }
}

void LoopbackHttpServer::Answer(int connection)
{
    const std::string head = ReadRequestHead(connection);
    {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        m_Requests.push_back(head);
    }
    if (m_Silent) {
        while (!m_Stopping.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
        }
        return;
    }
    SendAll(connection, m_Response);
    shutdown(connection, SHUT_WR);
    // Let the client finish reading before the close can reset the connection.
    Readable(connection, kRequestReadTimeoutMs);
}

std::string HttpResponse(const std::string& body, const std::string& status)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string Description(const std::string& udn, const std::string& friendlyName,
                        const std::string& presentationUrl)
{
    return "<?xml version=\"1.0\"?>\n<root><device>"
           "<friendlyName>" + friendlyName + "</friendlyName>"
           "<manufacturer>Maker</manufacturer><modelName>Model 7</modelName>"
           "<modelDescription>Walking robot</modelDescription>"
           "<UDN>" + udn + "</UDN>"
           "<presentationURL>" + presentationUrl + "</presentationURL>"
           "</device></root>\n";
}

}  // namespace seekwell::test
