// Loopback peers for the discovery tests (127.0.0.0/8 only): UDP endpoints,
// a tiny HTTP server with one canned answer, and a sentinel-filled result array.
#ifndef SEEKWELL_TESTS_LOOPBACK_H
#define SEEKWELL_TESTS_LOOPBACK_H

#include <seekwell/seekwell.h>

#include "result_records.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace seekwell::test {

std::uint16_t LocalPort(int fd);
// Waits until no datagram is pending on fd; false on time-out.
bool WaitUntilDrained(int fd);

class UdpEndpoint {
public:
    explicit UdpEndpoint(const char* address = "127.0.0.1", std::uint16_t port = 0);
    ~UdpEndpoint();
    std::uint16_t Port() const { return LocalPort(m_Fd); }
    void SendTo(const std::string& bytes, std::uint16_t port) const;
    // One datagram within the time-out (empty if none), and its sender's port.
    std::string Receive(int timeoutMs, std::uint16_t* senderPort = nullptr) const;

private:
    int m_Fd;
};

// Answers each connection with response after reading the request head; an
// empty response holds the connection open without a word until destruction.
class LoopbackHttpServer {
public:
    LoopbackHttpServer(const char* address, std::uint16_t port, std::string response);
    ~LoopbackHttpServer();
    std::uint16_t Port() const { return LocalPort(m_Listener); }
    std::vector<std::string> Requests() const;
    int CompleteAnswers() const { return m_CompleteAnswers; }  // the client read all

private:
    void Serve();
    void Answer(int connection);

    int m_Listener;
    std::string m_Response;
    std::atomic<bool> m_Stopping{false};
    std::atomic<int> m_CompleteAnswers{0};
    mutable std::mutex m_Mutex;
    std::vector<std::string> m_Requests;
    std::thread m_Thread;
};

std::string HttpResponse(const std::string& body, const std::string& status = "200 OK");
std::string Description(const std::string& udn, const std::string& friendlyName,
                        const std::string& presentationUrl = "index.html");

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_LOOPBACK_H
