// A private test LAN: two fresh network namespaces, a client host and a
// robot host, joined by a veth pair. Each host is a thread that lives in its
// namespace; work posted to it runs there, and sockets it creates stay there.
// Everything vanishes with the object: the namespaces belong to this process
// alone, so nothing is left behind even on a crash.
//
// tests/support/private_lan.sh links and addresses the two namespaces, as it
// does for the shell tests, and says where everything is.
#ifndef SEEKWELL_TESTS_PRIVATE_LAN_H
#define SEEKWELL_TESTS_PRIVATE_LAN_H

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace seekwell::test {

std::string ClientAddress();
std::string RobotHostAddress();
// Robots and decoys, index 0..63: addresses local to the robot host.
std::string RobotAddress(int index);
// Storm senders, index 0..126: addresses local to the robot host.
std::string StormAddress(int index);

// The robot host's end of the veth link.
std::string RobotHostInterface();

// Why no private LAN can be made here (not root, no ip tool), or "" when it can.
std::string PrivateLanUnavailableReason();

// A thread living in a fresh network namespace of its own.
class NamespaceHost {
public:
    NamespaceHost();
    ~NamespaceHost();
    NamespaceHost(const NamespaceHost&) = delete;
    NamespaceHost& operator=(const NamespaceHost&) = delete;

    // Runs work on the host's thread, inside its namespace, and waits for it.
    void Run(const std::function<void()>& work);
    // Runs a shell command inside the namespace; true when it exits with 0.
    bool Shell(const std::string& command);
    pid_t ThreadId() const { return threadId_; }
    bool Ready() const { return ready_; }

private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    const std::function<void()>* work_ = nullptr;
    bool stopping_ = false;
    bool ready_ = false;
    pid_t threadId_ = 0;
    std::thread thread_;
};

class PrivateLan {
public:
    PrivateLan();
    // False when the namespaces or the link could not be set up.
    bool Up() const { return up_; }
    NamespaceHost& Client() { return client_; }
    NamespaceHost& Robots() { return robots_; }

private:
    NamespaceHost client_;
    NamespaceHost robots_;
    bool up_;
};

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_PRIVATE_LAN_H
