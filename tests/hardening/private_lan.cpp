#include "private_lan.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace seekwell::test {

namespace {

constexpr const char kClientLink[] = "swc0";
constexpr const char kRobotLink[] = "swr0";

std::string Quiet(const std::string& command)
{
    return command + " >/dev/null 2>&1";
}

}  // namespace

std::string RobotAddress(int index)
{
    return "192.0.2." + std::to_string(64 + index);
}

std::string StormAddress(int index)
{
    return "192.0.2." + std::to_string(128 + index);
}

std::string RobotHostInterface()
{
    return kRobotLink;
}

std::string PrivateLanUnavailableReason()
{
    if (geteuid() != 0) {
        return "creating network namespaces needs root";
    }
    if (std::system(Quiet("ip -V").c_str()) != 0) {
        return "the ip tool (iproute2) is not installed";
    }
    return "";
}

NamespaceHost::NamespaceHost() : m_Thread(&NamespaceHost::Loop, this)
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Changed.wait(lock, [this] { return m_ThreadId != 0; });
}

NamespaceHost::~NamespaceHost()
{
    {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        m_Stopping = true;
    }
    m_Changed.notify_all();
    m_Thread.join();
}

void NamespaceHost::Loop()
{
    const bool ready = unshare(CLONE_NEWNET) == 0;
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Ready = ready;
    m_ThreadId = static_cast<pid_t>(syscall(SYS_gettid));
    m_Changed.notify_all();
    while (true) {
        m_Changed.wait(lock, [this] { return m_Stopping || m_Work != nullptr; });
        if (m_Work == nullptr) {
            return;
        }
        (*m_Work)();
        m_Work = nullptr;
        m_Changed.notify_all();
    }
}

void NamespaceHost::Run(const std::function<void()>& work)
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Changed.wait(lock, [this] { return m_Work == nullptr; });
    m_Work = &work;
    m_Changed.notify_all();
    m_Changed.wait(lock, [this, &work] { return m_Work != &work; });
}

bool NamespaceHost::Shell(const std::string& command)
{
    bool succeeded = false;
    // A child started from this thread starts in the thread's namespace.
    Run([&] { succeeded = std::system(Quiet(command).c_str()) == 0; });
    return succeeded;
}

PrivateLan::PrivateLan() : m_Up(m_Client.Ready() && m_Robots.Ready() && Configure()) {}

bool PrivateLan::Configure()
{
    const std::string client = kClientLink;
    const std::string robot = kRobotLink;
    return m_Client.Shell("ip link add " + client + " type veth peer name " + robot + " netns " +
                          std::to_string(m_Robots.ThreadId())) &&
           m_Client.Shell("ip link set lo up && ip addr add " + std::string(kClientAddress) + "/24 dev " +
                          client + " && ip link set " + client + " up && ip route add 224.0.0.0/4 dev " +
                          client) &&
           m_Robots.Shell("ip link set lo up && ip addr add " + std::string(kRobotHostAddress) + "/24 dev " +
                          robot + " && ip link set " + robot + " up" +
                          " && ip route add local 192.0.2.64/26 dev lo" +
                          " && ip route add local 192.0.2.128/25 dev lo" +
                          " && ip route add 224.0.0.0/4 dev " + robot);
}

}  // namespace seekwell::test
