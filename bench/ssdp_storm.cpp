// seekwell-ssdp-storm: a reply storm for the end-to-end bench, run in the robot namespace of a
// private simulated LAN. It listens for M-SEARCH requests like the robot simulator; at the first
// one it floods the searcher with the other devices' replies at a fixed rate, from many source
// addresses and ports, and lets each robot answer every search once at a random moment inside the
// storm. The robots' descriptions are served by the simulator (started on another SSDP port so
// that it stays silent).
//
//   seekwell-ssdp-storm --interface IF --rate N [--robots 16] [--others 50] [--report FILE] ...
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "sim_config.h"
#include "ssdp_request.h"
#include "storm_schedule.h"
#include "unique_fd.h"

namespace stormbench {
namespace {

using robotsim::UniqueFd;

constexpr std::size_t kBatch = 64;  // datagrams per sendmmsg call
constexpr std::size_t kDatagramBufferSize = 65536;
constexpr std::chrono::milliseconds kEarliestRobotReply{500};  // the storm is in full flow by then
constexpr std::chrono::milliseconds kLatestRobotReply{3000};   // inside the smallest MX of the clients
constexpr std::chrono::milliseconds kIdlePoll{100};
constexpr std::chrono::microseconds kLongestNap{1000};  // keeps new searches and replies on time
constexpr const char kFallbackTarget[] = "upnp:rootdevice";

struct StormOptions {
    robotsim::SimConfig devices;  // robots then others, at consecutive addresses, as the simulator plans them
    int portsPerSource = 4;
    double rate = 0;
    int durationMs = 10000;
    int lifetimeSeconds = 60;  // ends even when no search ever comes
    std::string reportPath;
    std::string readyPath;
};

struct StormCounts {
    std::uint64_t searches = 0;
    std::uint64_t robotReplies = 0;
    std::uint64_t stormSent = 0;
    std::uint64_t stormFailed = 0;
    double stormSeconds = 0;
    std::string target;
};

std::atomic<bool> g_stopRequested{false};

void OnStopSignal(int) { g_stopRequested = true; }

bool ParseNumber(const std::string& text, double low, double high, double& value)
{
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= low && value <= high;
}

bool AssignInt(const std::string& text, int low, int high, int& target)
{
    double value = 0;
    if (!ParseNumber(text, low, high, value)) {
        return false;
    }
    target = static_cast<int>(value);
    return true;
}

using OptionHandler = std::function<bool(const std::string&, StormOptions&)>;

const std::map<std::string, OptionHandler>& OptionHandlers()
{
    static const std::map<std::string, OptionHandler> handlers = {
        {"--interface", [](const std::string& v, StormOptions& o) { return !(o.devices.interfaceName = v).empty(); }},
        {"--first-address",
         [](const std::string& v, StormOptions& o) {
             return inet_pton(AF_INET, v.c_str(), &o.devices.firstAddress) == 1;
         }},
        {"--robots", [](const std::string& v, StormOptions& o) { return AssignInt(v, 0, 100, o.devices.robotCount); }},
        {"--others", [](const std::string& v, StormOptions& o) { return AssignInt(v, 1, 200, o.devices.otherCount); }},
        {"--ports-per-source",
         [](const std::string& v, StormOptions& o) { return AssignInt(v, 1, 64, o.portsPerSource); }},
        {"--rate", [](const std::string& v, StormOptions& o) { return ParseNumber(v, 1, 1e7, o.rate); }},
        {"--duration-ms", [](const std::string& v, StormOptions& o) { return AssignInt(v, 1, 600000, o.durationMs); }},
        {"--lifetime", [](const std::string& v, StormOptions& o) { return AssignInt(v, 1, 3600, o.lifetimeSeconds); }},
        {"--report", [](const std::string& v, StormOptions& o) { return !(o.reportPath = v).empty(); }},
        {"--ready-file", [](const std::string& v, StormOptions& o) { return !(o.readyPath = v).empty(); }},
    };
    return handlers;
}

std::optional<StormOptions> ParseOptions(int argc, char** argv)
{
    StormOptions options;
    inet_pton(AF_INET, robotsim::kDefaultFirstAddress, &options.devices.firstAddress);
    options.devices.robotCount = 16;
    options.devices.otherCount = 50;
    for (int i = 1; i + 1 < argc; i += 2) {
        const auto handler = OptionHandlers().find(argv[i]);
        if (handler == OptionHandlers().end() || !handler->second(argv[i + 1], options)) {
            std::fprintf(stderr, "seekwell-ssdp-storm: bad option %s %s\n", argv[i], argv[i + 1]);
            return std::nullopt;
        }
    }
    // Flooding wherever the kernel likes would reach whatever LAN the machine is on.
    if (argc % 2 == 0 || options.devices.interfaceName.empty() || options.rate <= 0) {
        std::fprintf(stderr,
                     "usage: seekwell-ssdp-storm --interface IF --rate N [--first-address A] [--robots N]\n"
                     "  [--others M] [--ports-per-source K] [--duration-ms MS] [--lifetime S]\n"
                     "  [--report FILE] [--ready-file FILE]\n");
        return std::nullopt;
    }
    return options;
}

UniqueFd BoundUdpSocket(in_addr address, std::uint16_t port, int flags)
{
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | flags, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = htons(port);
    const int on = 1;
    if (fd.Valid() && port != 0) {
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (fd.Valid() && ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        fd.Reset();
    }
    return fd;
}

// Shares port 1900 with the simulator's listener, if any; both get every search.
UniqueFd OpenSearchListener(const std::string& interfaceName)
{
    UniqueFd fd = BoundUdpSocket(in_addr{htonl(INADDR_ANY)}, robotsim::kSsdpPort, SOCK_NONBLOCK);
    ip_mreqn request{};
    inet_pton(AF_INET, robotsim::kSsdpGroup, &request.imr_multiaddr);
    request.imr_ifindex = static_cast<int>(if_nametoindex(interfaceName.c_str()));
    if (fd.Valid() && (request.imr_ifindex == 0 ||
                       ::setsockopt(fd.Get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0)) {
        fd.Reset();
    }
    return fd;
}

class Storm {
public:
    explicit Storm(const StormOptions& options)
        : options_(options),
          devices_(robotsim::PlanDevices(options.devices)),
          pacer_(options.rate, std::chrono::milliseconds(options.durationMs)),
          datagram_(kDatagramBufferSize),
          random_(std::random_device{}())
    {
    }

    bool Open()
    {
        listener_ = OpenSearchListener(options_.devices.interfaceName);
        if (!listener_.Valid()) {
            return Fail("cannot listen for searches on " + options_.devices.interfaceName);
        }
        for (const robotsim::SimDevice& device : devices_) {
            const int sockets = device.isRobot ? 1 : options_.portsPerSource;
            for (int i = 0; i < sockets; ++i) {
                UniqueFd fd = BoundUdpSocket(device.address, 0, 0);
                if (!fd.Valid()) {
                    return Fail("cannot send from " + robotsim::AddressText(device.address));
                }
                (device.isRobot ? robotSockets_ : sourceSockets_).push_back(Source{std::move(fd), &device});
            }
        }
        return true;
    }

    // Until the storm and every reply it planned are out, a stop signal, or the lifetime.
    void Run()
    {
        const Clock::time_point end = Clock::now() + std::chrono::seconds(options_.lifetimeSeconds);
        while (!g_stopRequested && Clock::now() < end && !Finished()) {
            TakeSearches();
            if (!stormStart_) {
                pollfd watched{listener_.Get(), POLLIN, 0};
                ::poll(&watched, 1, static_cast<int>(kIdlePoll.count()));
                continue;
            }
            SendDueRobotReplies();
            SendDueStorm();
            Nap();
        }
    }

    const StormCounts& Counts() const { return counts_; }

private:
    struct Source {
        UniqueFd fd;
        const robotsim::SimDevice* device;
    };

    static bool Fail(const std::string& what)
    {
        std::fprintf(stderr, "seekwell-ssdp-storm: %s: %s\n", what.c_str(), std::strerror(errno));
        return false;
    }

    bool Finished() const
    {
        return stormStart_ && counts_.stormSent + counts_.stormFailed == pacer_.Total() && pending_.empty();
    }

    void TakeSearches()
    {
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t size = ::recvfrom(listener_.Get(), datagram_.data(), datagram_.size(), 0,
                                            reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (size < 0) {
                return;
            }
            const auto searchTarget = robotsim::SearchTargetOf(std::string_view(datagram_.data(), size));
            if (searchTarget) {
                AcceptSearch(from, *searchTarget);
            }
        }
    }

    void AcceptSearch(const sockaddr_in& from, const std::string& searchTarget)
    {
        ++counts_.searches;
        const Clock::time_point now = Clock::now();
        if (!stormStart_) {
            StartStorm(from, searchTarget, now);
        }
        for (const RobotReply& reply :
             PlanRobotReplies(now, robotSockets_.size(), kEarliestRobotReply, kLatestRobotReply, random_)) {
            const auto text =
                robotsim::BuildSearchReply(*robotSockets_[reply.robot].device, searchTarget, robotsim::kHttpPort);
            if (text) {
                pending_.insert({reply.due, PendingReply{reply.robot, from, *text}});
            }
        }
    }

    void StartStorm(const sockaddr_in& target, const std::string& searchTarget, Clock::time_point now)
    {
        stormStart_ = now;
        target_ = target;
        counts_.target = robotsim::AddressText(target.sin_addr) + ":" + std::to_string(ntohs(target.sin_port));
        for (const Source& source : sourceSockets_) {
            auto text = robotsim::BuildSearchReply(*source.device, searchTarget, robotsim::kHttpPort);
            if (!text) {
                text = robotsim::BuildSearchReply(*source.device, kFallbackTarget, robotsim::kHttpPort);
            }
            stormTexts_.push_back(*text);
        }
    }

    void SendDueRobotReplies()
    {
        const Clock::time_point now = Clock::now();
        while (!pending_.empty() && pending_.begin()->first <= now) {
            const PendingReply& reply = pending_.begin()->second;
            if (::sendto(robotSockets_[reply.robot].fd.Get(), reply.text.data(), reply.text.size(), 0,
                         reinterpret_cast<const sockaddr*>(&reply.to), sizeof reply.to) >= 0) {
                ++counts_.robotReplies;
            }
            pending_.erase(pending_.begin());
        }
    }

    void SendDueStorm()
    {
        const auto elapsed = Clock::now() - *stormStart_;
        const std::uint64_t due = pacer_.DueBy(elapsed);
        while (counts_.stormSent + counts_.stormFailed < due) {
            const std::size_t count = static_cast<std::size_t>(
                std::min<std::uint64_t>(kBatch, due - counts_.stormSent - counts_.stormFailed));
            SendBatch(count);
        }
        if (counts_.stormSeconds == 0 && counts_.stormSent + counts_.stormFailed == pacer_.Total()) {
            counts_.stormSeconds = std::chrono::duration<double>(Clock::now() - *stormStart_).count();
        }
    }

    // `count` copies of one source's reply, from that source; the next batch comes from the next
    // one.
    void SendBatch(std::size_t count)
    {
        const std::string& text = stormTexts_[nextSource_];
        iovec pieces[kBatch];
        mmsghdr messages[kBatch]{};
        for (std::size_t i = 0; i < count; ++i) {
            pieces[i] = iovec{const_cast<char*>(text.data()), text.size()};
            messages[i].msg_hdr.msg_name = &target_;
            messages[i].msg_hdr.msg_namelen = sizeof target_;
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = ::sendmmsg(sourceSockets_[nextSource_].fd.Get(), messages, static_cast<unsigned>(count), 0);
        const std::size_t delivered = sent > 0 ? static_cast<std::size_t>(sent) : 0;
        counts_.stormSent += delivered;
        // A datagram the kernel refused is counted and not retried, as a real sender would lose it.
        counts_.stormFailed += count - delivered;
        nextSource_ = (nextSource_ + 1) % sourceSockets_.size();
    }

    void Nap() const
    {
        const Clock::time_point now = Clock::now();
        Clock::time_point wake = now + kLongestNap;
        const std::uint64_t next = counts_.stormSent + counts_.stormFailed;
        if (next < pacer_.Total()) {
            wake = std::min(wake, *stormStart_ + pacer_.DueAt(next));
        }
        if (!pending_.empty()) {
            wake = std::min(wake, pending_.begin()->first);
        }
        if (wake > now) {
            std::this_thread::sleep_until(wake);
        }
    }

    struct PendingReply {
        std::size_t robot;
        sockaddr_in to;
        std::string text;
    };

    const StormOptions& options_;
    std::vector<robotsim::SimDevice> devices_;
    StormPacer pacer_;
    std::vector<char> datagram_;
    std::mt19937 random_;
    UniqueFd listener_;
    std::vector<Source> robotSockets_;
    std::vector<Source> sourceSockets_;
    std::vector<std::string> stormTexts_;
    std::size_t nextSource_ = 0;
    std::optional<Clock::time_point> stormStart_;
    sockaddr_in target_{};
    std::multimap<Clock::time_point, PendingReply> pending_;
    StormCounts counts_;
};

bool WriteReport(const std::string& path, const StormCounts& counts)
{
    if (path.empty()) {
        return true;
    }
    std::ofstream report(path);
    report << "target " << counts.target << "\nsearches " << counts.searches << "\nrobot_replies "
           << counts.robotReplies << "\nstorm_sent " << counts.stormSent << "\nstorm_failed " << counts.stormFailed
           << "\nstorm_seconds " << counts.stormSeconds << "\n";
    return static_cast<bool>(report);
}

// Written under a temporary name and renamed, so a waiting script never reads half a file.
bool WriteReadyFile(const std::string& path)
{
    if (path.empty()) {
        return true;
    }
    const std::string temporary = path + ".tmp";
    std::ofstream(temporary) << "ready\n";
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

void InstallSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace
}  // namespace stormbench

int main(int argc, char** argv)
{
    const auto options = stormbench::ParseOptions(argc, argv);
    if (!options) {
        return 2;
    }
    stormbench::Storm storm(*options);
    if (!storm.Open()) {
        return 1;
    }
    stormbench::InstallSignalHandlers();
    if (!stormbench::WriteReadyFile(options->readyPath)) {
        return 1;
    }
    storm.Run();
    return stormbench::WriteReport(options->reportPath, storm.Counts()) ? 0 : 1;
}
