// HTTP peers for the description fetch, well-behaved or misbehaving on
// purpose: each accepted connection is handed to a scripted behaviour.
// Loopback or private-namespace addresses only.
#ifndef SEEKWELL_TESTS_SCRIPTED_HTTP_PEER_H
#define SEEKWELL_TESTS_SCRIPTED_HTTP_PEER_H

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace seekwell::test {

// One accepted connection as a behaviour sees it.
class PeerConnection {
public:
    PeerConnection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

    // Reads the request head, up to its blank line (bounded in size and time).
    void ReadRequestHead();
    const std::string& RequestHead() const { return requestHead_; }
    // False once the client has gone away or the peer is stopping.
    bool Send(const std::string& bytes);
    // Waits until the client closes its side or the peer stops.
    void WaitForClientToLeave();
    // Sleeps, cut short when the peer stops; false when stopping.
    bool Pause(std::chrono::milliseconds duration);
    // Aborts the connection with a TCP reset.
    void Reset();
    std::size_t BytesSent() const { return bytesSent_; }

private:
    int fd_;
    const std::atomic<bool>& stopping_;
    std::string requestHead_;
    std::size_t bytesSent_ = 0;
};

using PeerBehaviour = std::function<void(PeerConnection&)>;

// Serves each accepted connection on a thread of its own, a bounded number at
// once, so that one stalling client does not hold up the others; every
// thread is joined before the peer is gone.
class ScriptedHttpPeer {
public:
    ScriptedHttpPeer(const char* address, std::uint16_t port, PeerBehaviour behaviour);
    // Serves on a listening socket made beforehand, and closes it when gone.
    ScriptedHttpPeer(int listener, PeerBehaviour behaviour);
    ~ScriptedHttpPeer();
    ScriptedHttpPeer(const ScriptedHttpPeer&) = delete;
    ScriptedHttpPeer& operator=(const ScriptedHttpPeer&) = delete;

    std::uint16_t Port() const;
    std::vector<std::string> Requests() const;
    // Waits until this many connections have been served to their end.
    bool WaitUntilServed(int connections, std::chrono::milliseconds timeout) const;
    // Bytes the behaviour got out on the last connection served.
    std::size_t LastBytesSent() const { return lastBytesSent_; }

private:
    struct Worker {
        pthread_t thread{};
        std::atomic<bool> finished{false};
    };

    void Serve();
    void ServeConnection(int fd, std::atomic<bool>& finished);
    // Joins the workers whose connection has ended, or all of them.
    void JoinWorkers(bool all);

    int listener_;
    PeerBehaviour behaviour_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> lastBytesSent_{0};
    std::atomic<int> served_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::list<Worker> workers_;  // the accepting thread's own
    std::thread thread_;
};

// A listener whose accept queue is full and never drained: connecting to it
// stalls until the client's connect time-out.
class StalledListener {
public:
    explicit StalledListener(const char* address, std::uint16_t port = 0);
    ~StalledListener();
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;
    std::uint16_t Port() const;

private:
    int listener_;
    int queuedClient_;
};

// Behaviours
PeerBehaviour Answer(std::string response);  // sends response, then waits for the client to close
PeerBehaviour NeverAnswer();
PeerBehaviour CloseAtOnce();
PeerBehaviour DripBody(std::chrono::milliseconds interval);
PeerBehaviour ResetMidBody(std::string bodyStart);
PeerBehaviour EndlessBody(std::size_t declaredBytes);
// The response for the request's Host header, or fallback for any other host.
PeerBehaviour AnswerByHost(std::map<std::string, std::string> responses, std::string fallback);
// The response respond gives for the request head.
PeerBehaviour AnswerEach(std::function<std::string(const std::string& head)> respond);

// The Host header of a request head, or "".
std::string HostOfRequest(const std::string& head);

std::string Response(const std::string& body, const std::string& headers = "", const std::string& status = "200 OK");
// A device description with the usual fields; udn decides whether it is a robot.
std::string Description(const std::string& udn, const std::string& friendlyName,
                        const std::string& presentationUrl = "index.html");
// A robot's description, under a fixed robot UDN.
// The UDN of RobotDescription's robot.
constexpr char kRobotUdn[] = "uuid:00000000-0000-1000-8000-R0VA00000001";
std::string RobotDescription(const std::string& friendlyName, const std::string& udn = kRobotUdn);

// Sends response, then closes at once (a response whose body ends with the connection).
PeerBehaviour AnswerThenClose(std::string response);
// Sends the parts with pause between them, then holds the connection silent.
PeerBehaviour SendInSteps(std::vector<std::string> parts, std::chrono::milliseconds pause);

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_SCRIPTED_HTTP_PEER_H
