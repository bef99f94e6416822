#include "private_lan.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace seekwell::test {

namespace {

// Enough for every line the script describes the layout with.
constexpr int kLayoutLineSize = 256;

std::string Quiet(const std::string& command) { return command + " >/dev/null 2>&1"; }

std::string RunScript(const std::string& arguments)
{
    return std::string("bash '") + SEEKWELL_PRIVATE_LAN_SCRIPT + "' " + arguments;
}

// The script's "describe": addresses and link names, KEY=VALUE a line.
const std::map<std::string, std::string>& Layout()
{
    static const std::map<std::string, std::string> layout = [] {
        std::map<std::string, std::string> values;
        FILE* const output = popen(RunScript("describe").c_str(), "r");
        if (output == nullptr) {
            return values;
        }
        char line[kLayoutLineSize];
        while (std::fgets(line, sizeof line, output) != nullptr) {
            const std::string text(line, std::strcspn(line, "\n"));
            const std::size_t equals = text.find('=');
            if (equals != std::string::npos) {
                values[text.substr(0, equals)] = text.substr(equals + 1);
            }
        }
        pclose(output);
        return values;
    }();
    return layout;
}

std::string LayoutValue(const std::string& key)
{
    const auto found = Layout().find(key);
    return found == Layout().end() ? std::string() : found->second;
}

std::string HostAddress(const std::string& firstHostKey, int index)
{
    return LayoutValue("device_net") + "." + std::to_string(std::stoi(LayoutValue(firstHostKey)) + index);
}

}  // namespace

std::string ClientAddress() { return LayoutValue("client_address"); }

std::string RobotHostAddress() { return LayoutValue("robot_host_address"); }

std::string RobotAddress(int index) { return HostAddress("first_local_robot_host", index); }

std::string StormAddress(int index) { return HostAddress("first_storm_host", index); }

std::string RobotHostInterface() { return LayoutValue("robot_interface"); }

std::string PrivateLanUnavailableReason()
{
    if (geteuid() != 0) {
        return "creating network namespaces needs root";
    }
    if (std::system(Quiet("ip -V").c_str()) != 0) {
        return "the ip tool (iproute2) is not installed";
    }
    if (Layout().empty()) {
        return std::string("cannot run ") + SEEKWELL_PRIVATE_LAN_SCRIPT;
    }
    return "";
}

NamespaceHost::NamespaceHost() : thread_(&NamespaceHost::Loop, this)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return threadId_ != 0; });
}

NamespaceHost::~NamespaceHost()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void NamespaceHost::Loop()
{
    const bool ready = unshare(CLONE_NEWNET) == 0;
    std::unique_lock<std::mutex> lock(mutex_);
    ready_ = ready;
    threadId_ = static_cast<pid_t>(syscall(SYS_gettid));
    changed_.notify_all();
    while (true) {
        changed_.wait(lock, [this] { return stopping_ || work_ != nullptr; });
        if (work_ == nullptr) {
            return;
        }
        (*work_)();
        work_ = nullptr;
        changed_.notify_all();
    }
}

void NamespaceHost::Run(const std::function<void()>& work)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return work_ == nullptr; });
    work_ = &work;
    changed_.notify_all();
    changed_.wait(lock, [this, &work] { return work_ != &work; });
}

bool NamespaceHost::Shell(const std::string& command)
{
    bool succeeded = false;
    // A child started from this thread starts in the thread's namespace.
    Run([&] { succeeded = std::system(Quiet(command).c_str()) == 0; });
    return succeeded;
}

PrivateLan::PrivateLan()
    : up_(client_.Ready() && robots_.Ready() &&
          std::system(
              Quiet(RunScript("join " + std::to_string(client_.ThreadId()) + " " + std::to_string(robots_.ThreadId())))
                  .c_str()) == 0)
{
}

}  // namespace seekwell::test
