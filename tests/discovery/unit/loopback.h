// Loopback helpers for the discovery tests: UDP endpoints and a tiny HTTP
// server with canned answers. Everything stays on 127.0.0.0/8.
#ifndef SEEKWELL_TESTS_LOOPBACK_H
#define SEEKWELL_TESTS_LOOPBACK_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace seekwell::test {

// A UDP socket bound to address:port (0 = any free port).
class UdpEndpoint {
public:
    explicit UdpEndpoint(const char* address = "127.0.0.1", std::uint16_t port = 0);
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    std::uint16_t Port() const { return m_Port; }
    int Fd() const { return m_Fd; }
    void SendTo(const std::string& bytes, std::uint16_t port, const char* address = "127.0.0.1") const;
    // One datagram within the time-out, with its sender's port; empty on time-out.
    std::string Receive(int timeoutMs, std::uint16_t* senderPort = nullptr) const;

private:
    int m_Fd;
    std::uint16_t m_Port;
};

// Port of a bound socket.
std::uint16_t LocalPort(int fd);

// Waits until no datagram is pending on fd; false on time-out.
bool WaitUntilDrained(int fd, int timeoutMs);

// Answers every connection with the same raw response after reading the
// request head, or, when silent, holds the connection open without a word.
class LoopbackHttpServer {
public:
    LoopbackHttpServer(const char* address, std::uint16_t port, std::string response,
                       bool silent = false);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    std::uint16_t Port() const { return m_Port; }
    std::vector<std::string> Requests() const;

private:
    void Serve();
    void Answer(int connection);

    int m_Listener;
    std::uint16_t m_Port;
    std::string m_Response;
    bool m_Silent;
    std::atomic<bool> m_Stopping{false};
    mutable std::mutex m_Mutex;
    std::vector<std::string> m_Requests;
    std::thread m_Thread;
};

// "HTTP/1.1 <status>" response carrying body, closed after it.
std::string HttpResponse(const std::string& body, const std::string& status = "200 OK");

// A description document with the given fields.
std::string Description(const std::string& udn, const std::string& friendlyName,
                        const std::string& presentationUrl = "index.html");

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_LOOPBACK_H
