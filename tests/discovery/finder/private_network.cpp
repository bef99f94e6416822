#include "private_network.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace seekwell::test {

namespace {

constexpr int kExitNoNamespace = 90;
constexpr int kExitNoLink = 91;
constexpr int kExitNoDevices = 92;

constexpr char kNamespaceReady = 'n';
constexpr char kDevicesReady = 'd';

// Both ends of the link, and a multicast route for senders that name no
// interface.
constexpr const char kClientLinkFormat[] =
    "ip link set lo up && ip link add v0 type veth peer name v1 netns %d && "
    "ip addr add 192.0.2.1/24 dev v0 && ip link set v0 up && ip route add 224.0.0.0/4 dev v0";
constexpr const char kDeviceLink[] =
    "ip link set lo up && ip addr add 192.0.2.10/24 dev v1 && ip link set v1 up && "
    "ip route add 224.0.0.0/4 dev v1";

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    bool Open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        readEnd = fds[0];
        writeEnd = fds[1];
        return true;
    }
};

bool Signal(int fd, char what) { return write(fd, &what, 1) == 1; }

bool AwaitSignal(int fd, char expected) {
    char received = 0;
    return read(fd, &received, 1) == 1 && received == expected;
}

// Lives until the client closes its end of `done`.
[[noreturn]] void RunDeviceHost(const std::vector<ResponderDevice>& devices, int toClient, int done) {
    // Never outlive the client, even when it is killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (unshare(CLONE_NEWNET) != 0 || !Signal(toClient, kNamespaceReady)) {
        _exit(kExitNoNamespace);
    }
    // The client moves the link's far end in here before it lets us go on.
    if (!AwaitSignal(done, kNamespaceReady) || std::system(kDeviceLink) != 0) {
        _exit(kExitNoLink);
    }
    FakeUpnpResponder responder(kDeviceHostAddress, devices);
    if (!responder.Start().empty() || !Signal(toClient, kDevicesReady)) {
        _exit(kExitNoDevices);
    }
    char ignored;
    while (read(done, &ignored, 1) > 0) {
    }
    _exit(0);
}

int StartDeviceHost(const std::vector<ResponderDevice>& devices, Pipe& toClient, Pipe& done,
                    int reportFd) {
    if (!toClient.Open() || !done.Open()) {
        return kExitNoDevices;
    }
    const pid_t deviceHost = fork();
    if (deviceHost == 0) {
        // Only the client may hold these, or their ends would never see EOF.
        close(toClient.readEnd);
        close(done.writeEnd);
        close(reportFd);
        RunDeviceHost(devices, toClient.writeEnd, done.readEnd);
    }
    close(toClient.writeEnd);
    close(done.readEnd);
    if (deviceHost < 0 || !AwaitSignal(toClient.readEnd, kNamespaceReady)) {
        return kExitNoNamespace;
    }
    char command[sizeof kClientLinkFormat + 16];
    std::snprintf(command, sizeof command, kClientLinkFormat, static_cast<int>(deviceHost));
    if (std::system(command) != 0 || !Signal(done.writeEnd, kNamespaceReady)) {
        return kExitNoLink;
    }
    return AwaitSignal(toClient.readEnd, kDevicesReady) ? 0 : kExitNoDevices;
}

[[noreturn]] void RunClient(const std::vector<ResponderDevice>& devices,
                            const std::function<int(FILE*)>& body, int reportFd) {
    // Nothing may run in the machine's own namespace: give up when the
    // private one cannot be entered.
    if (unshare(CLONE_NEWNET) != 0) {
        _exit(kExitNoNamespace);
    }
    Pipe fromDeviceHost;
    Pipe done;
    const int setUp = StartDeviceHost(devices, fromDeviceHost, done, reportFd);
    if (setUp != 0) {
        _exit(setUp);
    }
    FILE* report = fdopen(reportFd, "w");
    const int exitCode = body(report);
    std::fclose(report);
    close(done.writeEnd);  // the device host ends
    wait(nullptr);
    _exit(exitCode);
}

std::string ReadUntilClosed(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string output;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waitFor{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&waitFor, 1, static_cast<int>(left.count())) <= 0) {
            return output;
        }
        const ssize_t nRead = read(fd, buffer, sizeof buffer);
        if (nRead <= 0) {
            return output;
        }
        output.append(buffer, static_cast<std::size_t>(nRead));
    }
}

std::string SkipReason(int exitCode) {
    switch (exitCode) {
    case kExitNoNamespace:
        return "cannot create network namespaces (needs root)";
    case kExitNoLink:
        return "cannot link two network namespaces with a veth pair";
    default:
        return std::string();
    }
}

}  // namespace

ChildOutcome RunInPrivateNetwork(const std::vector<ResponderDevice>& devices,
                                 const std::function<int(FILE* report)>& body,
                                 std::chrono::seconds limit) {
    ChildOutcome outcome;
    if (geteuid() != 0) {
        outcome.strSkipReason = "not root: private network namespaces need root";
        return outcome;
    }
    Pipe report;
    if (!report.Open()) {
        outcome.strSkipReason = "cannot create a pipe";
        return outcome;
    }
    std::fflush(nullptr);
    const pid_t client = fork();
    if (client == 0) {
        close(report.readEnd);
        RunClient(devices, body, report.writeEnd);
    }
    close(report.writeEnd);
    if (client < 0) {
        close(report.readEnd);
        outcome.strSkipReason = "cannot fork";
        return outcome;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    outcome.strOutput = ReadUntilClosed(report.readEnd, deadline);
    close(report.readEnd);
    int status = 0;
    while (waitpid(client, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(client, SIGKILL);  // the device host ends when its pipe closes
            waitpid(client, &status, 0);
            return outcome;
        }
        usleep(10000);
    }
    outcome.bExitedInTime = WIFEXITED(status);
    outcome.nExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.strSkipReason = SkipReason(outcome.nExitCode);
    return outcome;
}

}  // namespace seekwell::test
