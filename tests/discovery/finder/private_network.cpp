#include "private_network.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace seekwell::test {

namespace {

constexpr int kExitNoNamespace = 90;
constexpr int kExitNoLink = 91;

constexpr const char kSetUpLink[] =
    "ip link set lo up && ip link add v0 type veth peer name v1 && ip link set v1 up && "
    "ip link set v0 up && ip addr add 192.0.2.1/24 dev v0";

[[noreturn]] void RunChild(const std::function<int(FILE*)>& body, int reportFd) {
    // Nothing may run in the machine's own namespace: give up when the
    // private one cannot be entered.
    if (unshare(CLONE_NEWNET) != 0) {
        _exit(kExitNoNamespace);
    }
    if (std::system(kSetUpLink) != 0) {
        _exit(kExitNoLink);
    }
    FILE* report = fdopen(reportFd, "w");
    const int exitCode = body(report);
    std::fclose(report);
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
    if (exitCode == kExitNoNamespace) {
        return "cannot create a network namespace (needs root)";
    }
    if (exitCode == kExitNoLink) {
        return "cannot create a veth link inside a network namespace";
    }
    return std::string();
}

}  // namespace

ChildOutcome RunInPrivateNetwork(const std::function<int(FILE* report)>& body,
                                 std::chrono::seconds limit) {
    ChildOutcome outcome;
    if (geteuid() != 0) {
        outcome.strSkipReason = "not root: private network namespaces need root";
        return outcome;
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        outcome.strSkipReason = "cannot create a pipe";
        return outcome;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        outcome.strSkipReason = "cannot fork";
        return outcome;
    }
    if (child == 0) {
        close(pipeFds[0]);
        RunChild(body, pipeFds[1]);
    }
    close(pipeFds[1]);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    outcome.strOutput = ReadUntilClosed(pipeFds[0], deadline);
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
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
