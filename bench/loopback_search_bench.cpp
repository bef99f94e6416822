// One whole built-in search on loopback: 16 robots and 50 other UPnP devices
// answer the M-SEARCH, and the robots serve their descriptions over HTTP. The
// responders run in a forked process, so the process CPU time that the
// benchmark reports is the search's own: the caller's thread, the receive and
// timer workers and libcurl. The window is shortened; wall time beyond it is
// reported as beyond_window_ms.
#include <benchmark/benchmark.h>

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
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "builtin/upnp_search_wnd.h"
#include "loopback_sockets.h"
#include "result_records.h"
#include "sample_texts.h"
#include "scripted_http_peer.h"
#include "timing.h"

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

using test::Clock;

std::string RobotHost(int robot) { return kRobotSubnet + std::to_string(robot + 1); }

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
    const std::string body =
        bench::DescriptionDocument(udn, "ROVA robot " + std::to_string(robot), bench::kTypicalDescriptionBytes);
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// The sockets and texts are made before the fork. The child starts the HTTP
// peers' threads of its own; the parent forks between searches, when none of
// the library's threads runs.
struct ResponderPlan {
    int ssdpSocket = -1;
    std::array<int, kRobots> httpListeners{};
    std::vector<std::string> searchReplies;
    std::array<std::string, kRobots> descriptionResponses;
};

void AnswerSearch(const ResponderPlan& plan)
{
    char datagram[kReceiveBufferSize];
    sockaddr_in searcher{};
    socklen_t length = sizeof searcher;
    if (recvfrom(plan.ssdpSocket, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&searcher), &length) < 0) {
        return;
    }
    for (const std::string& reply : plan.searchReplies) {
        sendto(plan.ssdpSocket, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&searcher), length);
    }
}

// The responder process: serves until the benchmark closes its end of stopPipe.
[[noreturn]] void RunResponders(const ResponderPlan& plan, int stopPipe)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    {
        std::vector<std::unique_ptr<test::ScriptedHttpPeer>> robots;
        for (int robot = 0; robot < kRobots; ++robot) {
            robots.push_back(std::make_unique<test::ScriptedHttpPeer>(
                plan.httpListeners[robot], test::AnswerThenClose(plan.descriptionResponses[robot])));
        }
        constexpr int kStop = 0;
        constexpr int kSsdp = 1;
        std::array<pollfd, 2> watched{};
        watched[kStop] = {stopPipe, POLLIN, 0};
        watched[kSsdp] = {plan.ssdpSocket, POLLIN, 0};
        while (poll(watched.data(), watched.size(), -1) >= 0 && watched[kStop].revents == 0) {
            if (watched[kSsdp].revents & POLLIN) {
                AnswerSearch(plan);
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
            plan_.searchReplies = SearchReplies();
            for (int robot = 0; robot < kRobots; ++robot) {
                plan_.descriptionResponses[robot] = DescriptionResponse(robot);
            }
            StartResponders();
        }
        CloseSockets();  // the responder process holds its own copies
    }
    ~LoopbackLan()
    {
        if (responders_ > 0) {
            close(stopPipe_);
            waitpid(responders_, nullptr, 0);
        }
    }
    LoopbackLan(const LoopbackLan&) = delete;
    LoopbackLan& operator=(const LoopbackLan&) = delete;

    bool Running() const { return responders_ > 0; }
    std::uint16_t SsdpPort() const { return ssdpPort_; }
    std::uint16_t HttpPort() const { return httpPort_; }

private:
    // All robots listen on one port, each on its own loopback address.
    bool OpenSockets()
    {
        plan_.httpListeners.fill(-1);
        try {
            plan_.ssdpSocket = test::BoundSocket(SOCK_DGRAM, kSsdpResponderAddress, 0);
            for (int robot = 0; robot < kRobots; ++robot) {
                plan_.httpListeners[robot] = test::Listener(RobotHost(robot).c_str(), httpPort_, kListenBacklog);
                httpPort_ = test::LocalPort(plan_.httpListeners[robot]);
            }
        } catch (const std::runtime_error&) {
            return false;
        }
        ssdpPort_ = test::LocalPort(plan_.ssdpSocket);
        return true;
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
            RunResponders(plan_, stopPipe[0]);
        }
        close(stopPipe[0]);
        if (child < 0) {
            close(stopPipe[1]);
            return;
        }
        responders_ = child;
        stopPipe_ = stopPipe[1];
    }

    void CloseSockets()
    {
        for (int fd : plan_.httpListeners) {
            if (fd >= 0) {
                close(fd);
            }
        }
        if (plan_.ssdpSocket >= 0) {
            close(plan_.ssdpSocket);
        }
    }

    ResponderPlan plan_;
    std::uint16_t ssdpPort_ = 0;
    std::uint16_t httpPort_ = 0;
    pid_t responders_ = -1;
    int stopPipe_ = -1;
};

void BM_LoopbackDiscovery(benchmark::State& state)
{
    const LoopbackLan lan;
    if (!lan.Running()) {
        state.SkipWithError("could not set up the loopback responders");
        return;
    }
    const SearchParameters params{SsdpEndpoints{kSsdpResponderAddress, lan.SsdpPort(), 0}, kShortWindowMs,
                                  HttpFetchLimits{lan.HttpPort()}};
    double beyondWindowMs = 0;
    int runsFindingAll = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        CUpnpSearchWnd search(params);
        DISCOVERY_RESULT records[kMaxResults] = {};
        const int found = search.Search(records);
        beyondWindowMs += test::Elapsed(start) - kShortWindowMs;
        runsFindingAll += found == kRobots ? 1 : 0;
        test::ReleaseRecords(records, found);
    }
    state.counters["beyond_window_ms"] = benchmark::Counter(beyondWindowMs, benchmark::Counter::kAvgIterations);
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
