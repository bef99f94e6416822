// A private test LAN: two fresh network namespaces, a client host and a
// robot host, joined by a veth pair on 192.0.2.0/24. Each host is a thread
// that lives in its namespace; work posted to it runs there, and sockets it
// creates stay there. Everything vanishes with the object: the namespaces
// belong to this process alone, so nothing is left behind even on a crash.
//
// Client: 192.0.2.1 on its veth, multicast routed onto the veth.
// Robot host: 192.0.2.2 on its veth; every address of 192.0.2.64/26 (robots
// and decoys) and 192.0.2.128/25 (storm senders) is local to it as well.
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

constexpr const char kClientAddress[] = "192.0.2.1";
constexpr const char kRobotHostAddress[] = "192.0.2.2";

// "192.0.2.<64 + index>": robots and decoys, index 0..63.
std::string RobotAddress(int index);
// "192.0.2.<128 + index>": storm senders, index 0..126.
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
    pid_t ThreadId() const { return m_ThreadId; }
    bool Ready() const { return m_Ready; }

private:
    void Loop();

    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    const std::function<void()>* m_Work = nullptr;
    bool m_Stopping = false;
    bool m_Ready = false;
    pid_t m_ThreadId = 0;
    std::thread m_Thread;
};

class PrivateLan {
public:
    PrivateLan();
    // False when the namespaces or the link could not be set up.
    bool Up() const { return m_Up; }
    NamespaceHost& Client() { return m_Client; }
    NamespaceHost& Robots() { return m_Robots; }

private:
    bool Configure();

    NamespaceHost m_Client;
    NamespaceHost m_Robots;
    bool m_Up;
};

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_PRIVATE_LAN_H
