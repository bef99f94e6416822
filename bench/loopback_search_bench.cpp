// One whole built-in search on loopback: 16 robots and 50 other UPnP devices
// answer the M-SEARCH, and the robots serve their descriptions over HTTP. The
// responders run in a forked process, so the process CPU time that the
// benchmark reports is the search's own: the caller's thread, the receive and
// timer workers and libcurl. The window is shortened; wall time beyond it is
// reported as beyond_window_ms.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "result_records.h"
#include "sample_texts.h"
#include "builtin/upnp_search_wnd.h"

namespace seekwell {
namespace {

constexpr int kRobots = kMaxResults;
constexpr int kOtherDevices = 50;
constexpr int kRobotEveryNthReply = 4;  // robots' replies are spread among the others'
constexpr unsigned int kShortWindowMs = 250;
constexpr int kDiscoveries = 20;

constexpr const char kSsdpResponderAddress[] = "127.0.0.1";
constexpr const char kRobotSubnet[] = "127.0.2.";  // robots at .1 to .16
constexpr const char kOtherSubnet[] = "127.0.3.";
constexpr int kListenBacklog = 4;
constexpr int kPeerTimeoutSeconds = 1;
constexpr std::size_t kRequestHeadRoom = 4096;

using Clock = std::chrono::steady_clock;

std::string RobotHost(int robot) { return kRobotSubnet + std::to_string(robot + 1); }

int BoundSocket(int type, const std::string& address, std::uint16_t port)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        (type == SOCK_STREAM && listen(fd, kListenBacklog) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

std::vector<std::string> SearchReplies()
{
    std::vector<std::string> replies;
    int robots = 0;
    int others = 0;
    for (int device = 0; device < kRobots + kOtherDevices; ++device) {
        if (device % kRobotEveryNthReply == 0 && robots < kRobots) {
            replies.push_back(bench::RobotReply(RobotHost(robots++), bench::kTypicalReplyBytes));
        } else {
            const std::string host = kOtherSubnet + std::to_string(++others);
            replies.push_back(bench::OtherDeviceReply(host, bench::kTypicalReplyBytes));
        }
    }
    return replies;
}

std::string DescriptionResponse(int robot)
{
    const std::string udn = "uuid:00000000-0000-1000-8000-R0VA000000" + std::to_string(10 + robot);
    const std::string body = bench::DescriptionDocument(udn, "ROVA robot " + std::to_string(robot),
                                                        bench::kTypicalDescriptionBytes);
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Everything the responder process uses is made before the fork, so that the
// child only makes system calls.
struct ResponderPlan {
    int ssdpSocket = -1;
    std::array<int, kRobots> httpListeners{};
    std::vector<std::string> searchReplies;
    std::array<std::string, kRobots> descriptionResponses;
};

void SendAll(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

void AnswerSearch(const ResponderPlan& plan)
{
    char datagram[kReceiveBufferSize];
    sockaddr_in searcher{};
    socklen_t length = sizeof searcher;
    if (recvfrom(plan.ssdpSocket, datagram, sizeof datagram, 0,
                 reinterpret_cast<sockaddr*>(&searcher), &length) < 0) {
        return;
    }
    for (const std::string& reply : plan.searchReplies) {
        sendto(plan.ssdpSocket, reply.data(), reply.size(), 0,
               reinterpret_cast<const sockaddr*>(&searcher), length);
    }
}

// Reads the request head (bounded in size and time), then answers and closes.
void ServeDescription(int listener, const std::string& response)
{
    const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
        return;
    }
    const timeval timeout{kPeerTimeoutSeconds, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char head[kRequestHeadRoom];
    std::size_t received = 0;
    while (received < sizeof head && memmem(head, received, "\r\n\r\n", 4) == nullptr) {
        const ssize_t n = recv(connection, head + received, sizeof head - received, 0);
        if (n <= 0) {
            break;
        }
        received += static_cast<std::size_t>(n);
    }
    SendAll(connection, response);
    close(connection);
}

// The responder process: serves until the benchmark closes its end of stopPipe.
[[noreturn]] void RunResponders(const ResponderPlan& plan, int stopPipe)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    constexpr int kStop = 0;
    constexpr int kSsdp = 1;
    constexpr int kFirstListener = 2;
    std::array<pollfd, kFirstListener + kRobots> watched{};
    watched[kStop] = {stopPipe, POLLIN, 0};
    watched[kSsdp] = {plan.ssdpSocket, POLLIN, 0};
    for (int robot = 0; robot < kRobots; ++robot) {
        watched[kFirstListener + robot] = {plan.httpListeners[robot], POLLIN, 0};
    }
    while (poll(watched.data(), watched.size(), -1) >= 0 && watched[kStop].revents == 0) {
        if (watched[kSsdp].revents & POLLIN) {
            AnswerSearch(plan);
        }
        for (int robot = 0; robot < kRobots; ++robot) {
            if (watched[kFirstListener + robot].revents & POLLIN) {
                ServeDescription(plan.httpListeners[robot], plan.descriptionResponses[robot]);
            }
        }
    }
    _exit(0);
}

// The simulated LAN for the time of one benchmark.
class LoopbackLan {
public:
    LoopbackLan()
    {
        if (OpenSockets()) {
            m_Plan.searchReplies = SearchReplies();
            for (int robot = 0; robot < kRobots; ++robot) {
                m_Plan.descriptionResponses[robot] = DescriptionResponse(robot);
            }
            StartResponders();
        }
        CloseSockets();  // the responder process holds its own copies
    }
    ~LoopbackLan()
    {
        if (m_Responders > 0) {
            close(m_StopPipe);
            waitpid(m_Responders, nullptr, 0);
        }
    }
    LoopbackLan(const LoopbackLan&) = delete;
    LoopbackLan& operator=(const LoopbackLan&) = delete;

    bool Running() const { return m_Responders > 0; }
    std::uint16_t SsdpPort() const { return m_SsdpPort; }
    std::uint16_t HttpPort() const { return m_HttpPort; }

private:
    // All robots listen on one port, each on its own loopback address.
    bool OpenSockets()
    {
        m_Plan.ssdpSocket = BoundSocket(SOCK_DGRAM, kSsdpResponderAddress, 0);
        m_Plan.httpListeners.fill(-1);
        for (int robot = 0; robot < kRobots; ++robot) {
            m_Plan.httpListeners[robot] = BoundSocket(SOCK_STREAM, RobotHost(robot), m_HttpPort);
            if (m_Plan.httpListeners[robot] < 0) {
                return false;
            }
            m_HttpPort = LocalPort(m_Plan.httpListeners[robot]);
        }
        m_SsdpPort = m_Plan.ssdpSocket < 0 ? 0 : LocalPort(m_Plan.ssdpSocket);
        return m_Plan.ssdpSocket >= 0;
    }

    void StartResponders()
    {
        int stopPipe[2];
        if (pipe2(stopPipe, O_CLOEXEC) != 0) {
            return;
        }
        const pid_t child = fork();
        if (child == 0) {
            close(stopPipe[1]);
            RunResponders(m_Plan, stopPipe[0]);
        }
        close(stopPipe[0]);
        if (child < 0) {
            close(stopPipe[1]);
            return;
        }
        m_Responders = child;
        m_StopPipe = stopPipe[1];
    }

    void CloseSockets()
    {
        for (int fd : m_Plan.httpListeners) {
            if (fd >= 0) {
                close(fd);
            }
        }
        if (m_Plan.ssdpSocket >= 0) {
            close(m_Plan.ssdpSocket);
        }
    }

    ResponderPlan m_Plan;
    std::uint16_t m_SsdpPort = 0;
    std::uint16_t m_HttpPort = 0;
    pid_t m_Responders = -1;
    int m_StopPipe = -1;
};

void BM_LoopbackDiscovery(benchmark::State& state)
{
    const LoopbackLan lan;
    if (!lan.Running()) {
        state.SkipWithError("could not set up the loopback responders");
        return;
    }
    const SearchParameters params{SsdpEndpoints{kSsdpResponderAddress, lan.SsdpPort(), 0},
                                  kShortWindowMs, HttpFetchLimits{lan.HttpPort()}};
    double beyondWindowMs = 0;
    int runsFindingAll = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        CUpnpSearchWnd search(params);
        DISCOVERY_RESULT records[kMaxResults] = {};
        const int found = search.Search(records);
        beyondWindowMs +=
            std::chrono::duration<double, std::milli>(Clock::now() - start).count() - kShortWindowMs;
        runsFindingAll += found == kRobots ? 1 : 0;
        bench::ReleaseRecords(records, found);
    }
    state.counters["beyond_window_ms"] =
        benchmark::Counter(beyondWindowMs, benchmark::Counter::kAvgIterations);
    state.counters["runs_all_found"] = runsFindingAll;
    state.counters["window_ms"] = kShortWindowMs;
}

BENCHMARK(BM_LoopbackDiscovery)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kDiscoveries);

}  // namespace
}  // namespace seekwell
