// SSDP peers for the private test LAN: a responder that answers each
// M-SEARCH with scripted replies, and a storm of replies nobody asked for.
// Create them on the robot host (see private_lan.h).
#ifndef SEEKWELL_TESTS_SSDP_PEERS_H
#define SEEKWELL_TESTS_SSDP_PEERS_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace seekwell::test {

using Clock = std::chrono::steady_clock;

struct HeardSearch {
    std::string sourceAddress;
    std::uint16_t sourcePort;
    std::string bytes;
    Clock::time_point at;
};

struct ScriptedReply {
    std::string fromAddress;  // a robot-host address the reply is sent from
    std::string text;
};

// Listens on port 1900 of the multicast group and answers every M-SEARCH,
// by unicast to its sender, with each scripted reply in order.
class SsdpResponder {
public:
    SsdpResponder(const char* interfaceAddress, std::vector<ScriptedReply> replies,
                  std::chrono::milliseconds replyDelay = std::chrono::milliseconds(0));
    ~SsdpResponder();
    SsdpResponder(const SsdpResponder&) = delete;
    SsdpResponder& operator=(const SsdpResponder&) = delete;

    std::vector<HeardSearch> Searches() const;
    bool WaitForSearch(std::chrono::milliseconds timeout) const;

private:
    void Serve();
    void Answer(const HeardSearch& search);

    int socket_;
    std::vector<ScriptedReply> replies_;
    std::chrono::milliseconds replyDelay_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<HeardSearch> searches_;
    std::thread thread_;
};

// Sends count datagrams, spread evenly over duration, round robin from one
// socket per sender address and port, to target:port. datagram(i) gives the
// i-th datagram.
class ReplyStorm {
public:
    ReplyStorm(std::vector<std::string> senderAddresses, int socketsPerAddress);
    ~ReplyStorm();
    ReplyStorm(const ReplyStorm&) = delete;
    ReplyStorm& operator=(const ReplyStorm&) = delete;

    void Start(const char* target, std::uint16_t port, int count, std::chrono::milliseconds duration,
               std::function<std::string(int)> datagram);
    void Join();
    int Sent() const { return sent_; }

private:
    std::vector<int> sockets_;
    std::atomic<int> sent_{0};
    std::thread thread_;
};

// A reply as robots send it: the marker in the server header and a location
// on host.
std::string RobotSsdpReply(const std::string& host);

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_SSDP_PEERS_H
