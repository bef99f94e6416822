// The robot simulator driven in-process on loopback, with ports of its own choosing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_options.h"
#include "simulator.h"
#include "ssdp_request.h"
#include "traffic_log.h"

namespace robotsim {
namespace {

constexpr int kReplyWaitMs = 2000;
constexpr int kExtraReplyWaitMs = 150;
constexpr const char kLoopbackClient[] = "127.0.0.1";
// Loopback cannot multicast: a search sent here counts as one sent to the SSDP group.
constexpr const char kLoopbackGroup[] = "127.0.0.1";
constexpr const char kFirstLoopbackDevice[] = "127.0.0.10";

struct Reply {
    std::string from;
    std::string text;
    std::uint16_t port = 0;
};

SimConfig LoopbackConfig(int robots, int others, std::map<int, DeviceFault> faults = {})
{
    SimConfig config;
    config.robotCount = robots;
    config.otherCount = others;
    config.robotFaults = std::move(faults);
    inet_pton(AF_INET, kFirstLoopbackDevice, &config.firstAddress);
    config.ssdpPort = 0;
    config.httpPort = 0;
    config.joinGroup = false;
    inet_pton(AF_INET, kLoopbackGroup, &config.searchGroup);
    config.logPath = testing::TempDir() + "robot-sim-test-" + std::to_string(getpid()) + ".log";
    std::remove(config.logPath.c_str());
    return config;
}

class RunningSimulator {
public:
    explicit RunningSimulator(const SimConfig& config) : simulator_(config), logPath_(config.logPath)
    {
        std::string error;
        const bool started = simulator_.Start(&error);
        EXPECT_TRUE(started) << error;
        if (started) {
            thread_ = std::thread([this] { simulator_.Run(); });
        }
    }
    ~RunningSimulator()
    {
        StopAndWait();
        std::remove(logPath_.c_str());
    }
    // Returns once the simulator's run is over, goodbyes and their log lines included.
    void StopAndWait()
    {
        simulator_.Stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    const Simulator* operator->() const { return &simulator_; }
    std::string Log() const
    {
        std::ifstream file(logPath_);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

private:
    Simulator simulator_;
    std::string logPath_;
    std::thread thread_;
};

sockaddr_in Endpoint(const char* address, std::uint16_t port)
{
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    inet_pton(AF_INET, address, &endpoint.sin_addr);
    return endpoint;
}

UniqueFd ClientSocket()
{
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    const sockaddr_in local = Endpoint(kLoopbackClient, 0);
    ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local);
    return fd;
}

// Sends one datagram to the simulator's port at `to` from the client's socket and collects what
// comes back.
std::vector<Reply> Exchange(const RunningSimulator& simulator, const UniqueFd& fd, const std::string& datagram,
                            std::size_t expected, const char* to)
{
    const sockaddr_in target = Endpoint(to, simulator->SsdpPort());
    ::sendto(fd.Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    std::vector<Reply> replies;
    pollfd readable{fd.Get(), POLLIN, 0};
    while (::poll(&readable, 1, replies.size() < expected ? kReplyWaitMs : kExtraReplyWaitMs) == 1) {
        char buffer[4096];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t size =
            ::recvfrom(fd.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        replies.push_back(Reply{AddressText(from.sin_addr), std::string(buffer, static_cast<std::size_t>(size)),
                                ntohs(from.sin_port)});
    }
    return replies;
}

// The same from a fresh socket.
std::vector<Reply> Exchange(const RunningSimulator& simulator, const std::string& datagram, std::size_t expected,
                            const char* to = kLoopbackGroup)
{
    return Exchange(simulator, ClientSocket(), datagram, expected, to);
}

std::string Search(const std::string& target)
{
    return "M-SEARCH * HTTP/1.1\r\nHost:239.255.255.250:1900\r\nST:" + target +
           "\r\nMan:\"ssdp:discover\"\r\nMX:1\r\n\r\n";
}

// The whole response, or nothing when the connection is refused.
std::optional<std::string> HttpExchange(const char* address, std::uint16_t port, const std::string& request)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in target = Endpoint(address, port);
    timeval timeout{2, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        return std::nullopt;
    }
    ::send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL);
    std::string response;
    char buffer[65536];
    for (ssize_t size; (size = ::recv(fd.Get(), buffer, sizeof buffer, 0)) > 0;) {
        response.append(buffer, static_cast<std::size_t>(size));
    }
    return response;
}

const std::string kGet = "GET /ROVA.XML HTTP/1.1\r\nHost: robot\r\nUser-Agent: test\r\n\r\n";

std::string Body(const std::string& response) { return response.substr(response.find("\r\n\r\n") + 4); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(RobotSimTest, AnswersASearchOncePerDeviceFromItsOwnAddress)
{
    RunningSimulator simulator(LoopbackConfig(
        4, 1, {{2, DeviceFault::NoMarker}, {3, DeviceFault::BadLocation}, {4, DeviceFault::OtherScheme}}));
    const auto replies = Exchange(simulator, Search("upnp:rootdevice"), 5);
    ASSERT_EQ(replies.size(), 5u);
    const std::string port1 = std::to_string(simulator->HttpPort(0));
    EXPECT_EQ(replies[0].from, "127.0.0.10");
    EXPECT_TRUE(Contains(replies[0].text, "R0VA"));
    EXPECT_TRUE(Contains(replies[0].text, "\r\nLOCATION: http://127.0.0.10:" + port1 + "/ROVA.XML\r\n"));
    EXPECT_TRUE(Contains(replies[0].text, "\r\nST: upnp:rootdevice\r\nUSN: uuid:R0VA-"));
    EXPECT_FALSE(Contains(replies[1].text, "R0VA")) << replies[1].text;
    EXPECT_TRUE(Contains(replies[2].text, "\r\nLocation: http://127.0.0.12:"));
    EXPECT_TRUE(Contains(replies[3].text, "\r\nLOCATION: https://127.0.0.13:"));
    EXPECT_EQ(replies[4].from, "127.0.0.14");
    EXPECT_FALSE(Contains(replies[4].text, "R0VA") || Contains(replies[4].text, "ROVA")) << replies[4].text;
    EXPECT_TRUE(Contains(replies[4].text, "/description.xml\r\n"));
}

TEST(RobotSimTest, AnswersOnlyMatchingSearchesAndLogsEveryDatagram)
{
    RunningSimulator simulator(LoopbackConfig(2, 1));
    EXPECT_EQ(Exchange(simulator, Search("ssdp:all"), 3).size(), 3u);
    EXPECT_EQ(Exchange(simulator, Search("urn:schemas-upnp-org:device:MediaRenderer:1"), 1).size(), 1u);
    const auto byUdn = Exchange(simulator, Search("uuid:R0VA-5151-4000-8000-00007f00000b"), 1);
    ASSERT_EQ(byUdn.size(), 1u);
    EXPECT_EQ(byUdn[0].from, "127.0.0.11");
    EXPECT_TRUE(Exchange(simulator, Search("urn:example:device:Nothing:1"), 0).empty());
    EXPECT_TRUE(Exchange(simulator, "NOTIFY * HTTP/1.1\r\nNT:upnp:rootdevice\r\n\r\n", 0).empty());
    EXPECT_TRUE(Exchange(simulator, std::string(60000, '\0'), 0).empty());
    // Still serving after the flood of nonsense.
    EXPECT_EQ(Exchange(simulator, Search("upnp:rootdevice"), 3).size(), 3u);

    const std::string log = simulator.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 7);
    EXPECT_TRUE(Contains(log, "ssdp from=127.0.0.1:"));
    EXPECT_TRUE(Contains(log, " bytes=60000 data=\"\\x00\\x00"));
    EXPECT_TRUE(Contains(log,
                         "data=\"M-SEARCH * HTTP/1.1\\r\\nHost:239.255.255.250:1900\\r\\nST:ssdp:all\\r\\n"
                         "Man:\\\"ssdp:discover\\\"\\r\\nMX:1\\r\\n\\r\\n\"\n"));
}

TEST(RobotSimTest, OnlyDevicesASearchIsSentToAnswerItWithTheirUsualReply)
{
    // Robot 2 answers no search but serves its description; robot 3's fault shows in every reply.
    RunningSimulator simulator(LoopbackConfig(3, 1, {{2, DeviceFault::NoSsdp}, {3, DeviceFault::BadLocation}}));
    const auto multicast = Exchange(simulator, Search("upnp:rootdevice"), 3);
    struct Case {
        const char* to;
        std::vector<std::string> answering;
    };
    const Case cases[] = {
        {kLoopbackGroup, {"127.0.0.10", "127.0.0.12", "127.0.0.13"}},
        {"127.0.0.10", {"127.0.0.10"}},
        {"127.0.0.12", {"127.0.0.12"}},
        {"127.0.0.13", {"127.0.0.13"}},
        {"127.0.0.11", {}},  // the robot that answers no search
        {"127.0.0.99", {}},  // nobody's address
    };
    for (const Case& c : cases) {
        const auto replies = Exchange(simulator, Search("upnp:rootdevice"), c.answering.size(), c.to);
        std::vector<std::string> answering;
        for (const Reply& reply : replies) {
            answering.push_back(reply.from);
            const auto same =
                std::find_if(multicast.begin(), multicast.end(), [&](const Reply& m) { return m.from == reply.from; });
            ASSERT_NE(same, multicast.end()) << reply.from;
            EXPECT_EQ(reply.text, same->text) << c.to;
        }
        std::sort(answering.begin(), answering.end());
        EXPECT_EQ(answering, c.answering) << c.to;
    }
    EXPECT_TRUE(Contains(HttpExchange("127.0.0.11", simulator->HttpPort(1), kGet).value_or(""),
                         "<friendlyName>ROVA robot 2</friendlyName>"));
}

TEST(RobotSimTest, ServesEachDevicesDescriptionWithItsFault)
{
    RunningSimulator simulator(LoopbackConfig(6, 1,
                                              {{2, DeviceFault::ErrorStatus},
                                               {3, DeviceFault::WrongUdn},
                                               {4, DeviceFault::NulBody},
                                               {5, DeviceFault::HugeBody},
                                               {6, DeviceFault::NoHttp}}));
    const auto fetch = [&](std::size_t device) {
        const std::string address = "127.0.0." + std::to_string(10 + device);
        return HttpExchange(address.c_str(), simulator->HttpPort(device), kGet);
    };
    const auto robot = fetch(0);
    ASSERT_TRUE(robot);
    EXPECT_EQ(robot->rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    const std::string body = Body(*robot);
    EXPECT_TRUE(Contains(*robot, "Content-Length: " + std::to_string(body.size()) + "\r\n"));
    EXPECT_TRUE(Contains(body, "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"));
    EXPECT_TRUE(Contains(body, "<friendlyName>ROVA robot 1</friendlyName>"));
    EXPECT_TRUE(Contains(body, "<modelDescription>ROVA home robot (simulated)</modelDescription>"));
    EXPECT_TRUE(Contains(body, "<UDN>uuid:R0VA-5151-4000-8000-00007f00000a</UDN>"));
    EXPECT_TRUE(Contains(body, "<presentationURL>http://127.0.0.10/index.html</presentationURL>"));

    const auto errorStatus = fetch(1);
    ASSERT_TRUE(errorStatus);
    EXPECT_EQ(errorStatus->rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_TRUE(Contains(*errorStatus, "<UDN>uuid:R0VA-"));
    EXPECT_FALSE(Contains(fetch(2).value_or(""), "<UDN>uuid:R0VA"));
    const std::string nulBody = Body(fetch(3).value_or(""));
    EXPECT_LT(nulBody.find('\0'), nulBody.find("<UDN>uuid:R0VA"));
    const std::string hugeBody = Body(fetch(4).value_or(""));
    EXPECT_GT(hugeBody.size(), 4u * 1024 * 1024);
    EXPECT_LT(hugeBody.find("</UDN>"), 4069u);
    EXPECT_FALSE(fetch(5));
    const auto other = fetch(6);
    ASSERT_TRUE(other);
    EXPECT_FALSE(Contains(*other, "R0VA") || Contains(*other, "ROVA"));
    EXPECT_TRUE(Contains(simulator.Log(), "http to=127.0.0.10 from=127.0.0.1:"));
    EXPECT_TRUE(Contains(simulator.Log(),
                         "data=\"GET /ROVA.XML HTTP/1.1\\r\\nHost: robot\\r\\nUser-Agent: test\\r\\n\\r\\n\""));
}

TEST(RobotSimTest, LocationFaultsNameAnotherHostWhileTheSenderStillServesItsRobot)
{
    struct Case {
        DeviceFault fault;
        const char* locationHost;
    };
    // Robot 6 is the last device, so its next device is the first.
    const Case cases[] = {
        {DeviceFault::LocationLoopback, "127.0.0.1"},        {DeviceFault::LocationUnspecified, "0.0.0.0"},
        {DeviceFault::LocationBroadcast, "255.255.255.255"}, {DeviceFault::LocationMulticast, "239.255.255.250"},
        {DeviceFault::LocationOtherDevice, "127.0.0.15"},    {DeviceFault::LocationOtherDevice, "127.0.0.10"}};
    std::map<int, DeviceFault> faults;
    for (int robot = 1; robot <= 6; ++robot) {
        faults[robot] = cases[robot - 1].fault;
    }
    RunningSimulator simulator(LoopbackConfig(6, 0, faults));
    const auto replies = Exchange(simulator, Search("upnp:rootdevice"), 6);
    ASSERT_EQ(replies.size(), 6u);
    for (std::size_t i = 0; i < replies.size(); ++i) {
        const std::string sender = "127.0.0." + std::to_string(10 + i);
        const std::string port = std::to_string(simulator->HttpPort(i));
        const auto reply =
            std::find_if(replies.begin(), replies.end(), [&](const Reply& r) { return r.from == sender; });
        ASSERT_NE(reply, replies.end()) << sender;
        EXPECT_TRUE(Contains(reply->text, "\r\nSERVER: Linux/6.1 UPnP/1.0 R0VA-sim/1.0\r\n")) << reply->text;
        EXPECT_TRUE(Contains(
            reply->text, "\r\nLOCATION: http://" + std::string(cases[i].locationHost) + ":" + port + "/ROVA.XML\r\n"))
            << reply->text;
        EXPECT_TRUE(Contains(HttpExchange(sender.c_str(), simulator->HttpPort(i), kGet).value_or(""),
                             "<friendlyName>ROVA robot " + std::to_string(i + 1) + "</friendlyName>"))
            << sender;
        EXPECT_TRUE(Contains(simulator.Log(), "\nhttp to=" + sender + " from=127.0.0.1:")) << sender;
    }
}

TEST(RobotSimTest, SurvivesHostileHttpClients)
{
    RunningSimulator simulator(LoopbackConfig(1, 0, {{1, DeviceFault::HugeBody}}));
    const std::uint16_t port = simulator->HttpPort(0);
    // Endless headers: the simulator hangs up instead of buffering them.
    EXPECT_EQ(HttpExchange(kFirstLoopbackDevice, port, std::string(64 * 1024, 'a')).value_or("?"), "");
    // Readers that hang up after the head of a huge body, and more clients than it serves at once.
    std::vector<UniqueFd> crowd;
    for (int i = 0; i < 200; ++i) {
        crowd.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        const sockaddr_in target = Endpoint(kFirstLoopbackDevice, port);
        ::connect(crowd.back().Get(), reinterpret_cast<const sockaddr*>(&target), sizeof target);
        ::send(crowd.back().Get(), kGet.data(), kGet.size(), MSG_NOSIGNAL);
    }
    crowd.clear();
    const auto response = HttpExchange(kFirstLoopbackDevice, port, kGet);
    ASSERT_TRUE(response);
    EXPECT_TRUE(Contains(*response, "<UDN>uuid:R0VA-"));
}

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kAnnouncementWait{2000};
constexpr milliseconds kStartAlivesGap{100};
constexpr const char kAlive[] = "ssdp:alive";
constexpr const char kByebye[] = "ssdp:byebye";

struct Heard {
    Reply datagram;
    milliseconds at;  // since the listener opened
};

// Loopback's stand-in for the group: a socket at the address the simulator takes for it.
class AnnouncementListener {
public:
    AnnouncementListener() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), opened_(Clock::now())
    {
        const sockaddr_in local = Endpoint(kLoopbackGroup, 0);
        ::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }
    std::uint16_t Port() const
    {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }
    // What comes until `expected` datagrams have, or `limit` has passed, and a little longer.
    std::vector<Heard> Collect(std::size_t expected, milliseconds limit = kAnnouncementWait) const
    {
        const Clock::time_point end = Clock::now() + limit;
        std::vector<Heard> heard;
        pollfd readable{fd_.Get(), POLLIN, 0};
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
            const auto wait = heard.size() < expected ? std::max<long long>(left, 0) : kExtraReplyWaitMs;
            if (::poll(&readable, 1, static_cast<int>(wait)) != 1) {
                return heard;
            }
            char buffer[4096];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t size =
                ::recvfrom(fd_.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            const Reply datagram{AddressText(from.sin_addr), std::string(buffer, static_cast<std::size_t>(size)),
                                 ntohs(from.sin_port)};
            heard.push_back(Heard{datagram, std::chrono::duration_cast<milliseconds>(Clock::now() - opened_)});
        }
    }

private:
    UniqueFd fd_;
    Clock::time_point opened_;
};

SimConfig AnnouncingConfig(int robots, int others, std::map<int, DeviceFault> faults,
                           const AnnouncementListener& listener)
{
    SimConfig config = LoopbackConfig(robots, others, std::move(faults));
    config.announce = true;
    config.announcePort = listener.Port();
    return config;
}

// The line of the header `name` (any letter case), CRLF left out; empty when there is none.
std::string HeaderLine(const std::string& message, const std::string& name)
{
    std::istringstream lines(message);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
            line[name.size()] == ':') {
            return line.substr(0, line.find('\r'));
        }
    }
    return std::string();
}

std::string NtsOf(const Heard& heard) { return HeaderLine(heard.datagram.text, "NTS").substr(std::strlen("NTS: ")); }

std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(RobotSimTest, AnnouncesEachDeviceThriceAtStartAsItsSearchReplyNamesItAndLeavesAtStop)
{
    AnnouncementListener listener;
    // Robot 2 hides its marker, robot 3 spells LOCATION otherwise, robot 4 answers no search.
    SimConfig config = AnnouncingConfig(
        4, 1, {{2, DeviceFault::NoMarker}, {3, DeviceFault::BadLocation}, {4, DeviceFault::NoSsdp}}, listener);
    config.bootId = 7;
    RunningSimulator simulator(config);
    const std::size_t announcing = 4;
    const auto alives = listener.Collect(3 * announcing);
    const auto replies = Exchange(simulator, Search("upnp:rootdevice"), announcing);
    ASSERT_EQ(replies.size(), announcing);
    simulator.StopAndWait();
    const auto byebyes = listener.Collect(announcing);

    const std::string port1 = std::to_string(simulator->HttpPort(0));
    const std::string usn1 = "USN: uuid:R0VA-5151-4000-8000-00007f00000a::upnp:rootdevice\r\n";
    const std::string ids = "BOOTID.UPNP.ORG: 7\r\nCONFIGID.UPNP.ORG: 1\r\n\r\n";
    const std::string alive1 =
        "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=1800\r\n"
        "LOCATION: http://127.0.0.10:" +
        port1 + "/ROVA.XML\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\nSERVER: Linux/6.1 UPnP/1.0 R0VA-sim/1.0\r\n" +
        usn1 + ids;
    const std::string byebye1 =
        "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\nNTS: ssdp:byebye\r\n" + usn1 + ids;
    for (const Reply& reply : replies) {
        const auto from = [&](const Heard& heard) { return heard.datagram.from == reply.from; };
        std::vector<Heard> mine;
        std::copy_if(alives.begin(), alives.end(), std::back_inserter(mine), from);
        ASSERT_EQ(mine.size(), 3u) << reply.from;
        for (const Heard& alive : mine) {
            EXPECT_EQ(alive.datagram.text, mine[0].datagram.text) << reply.from;
            EXPECT_EQ(alive.datagram.port, reply.port) << reply.from << ": not the socket it replies from";
        }
        // The fault that changes a device's reply changes its announcement alike.
        for (const char* header : {"LOCATION", "SERVER", "USN"}) {
            EXPECT_EQ(HeaderLine(mine[0].datagram.text, header), HeaderLine(reply.text, header)) << reply.from;
        }
        const auto byebye = std::find_if(byebyes.begin(), byebyes.end(), from);
        ASSERT_NE(byebye, byebyes.end()) << reply.from;
        EXPECT_EQ(NtsOf(*byebye), kByebye);
        EXPECT_EQ(HeaderLine(byebye->datagram.text, "USN"), HeaderLine(reply.text, "USN")) << reply.from;
        EXPECT_EQ(byebye->datagram.port, reply.port) << reply.from;
    }
    EXPECT_EQ(alives.size(), 3 * announcing);
    EXPECT_EQ(byebyes.size(), announcing);
    EXPECT_TRUE(
        std::none_of(alives.begin(), alives.end(), [](const Heard& h) { return h.datagram.from == "127.0.0.13"; }));
    ASSERT_FALSE(alives.empty());
    EXPECT_EQ(alives[0].datagram.text, alive1);
    ASSERT_FALSE(byebyes.empty());
    EXPECT_EQ(byebyes[0].datagram.text, byebye1);

    const std::string log = simulator.Log();
    EXPECT_EQ(CountOf(log, "notify from="), 4 * announcing);
    EXPECT_EQ(CountOf(log, " nts=ssdp:byebye bytes="), announcing);
    EXPECT_TRUE(Contains(log, "notify from=127.0.0.10:" + std::to_string(replies[0].port) +
                                  " to=127.0.0.1:" + std::to_string(listener.Port()) + " nts=ssdp:alive bytes=" +
                                  std::to_string(alive1.size()) + " data=\"" + EscapeBytes(alive1) + "\"\n"))
        << log;
}

TEST(RobotSimTest, RepeatsItsAliveAndLeavesWhenItsDurationEnds)
{
    AnnouncementListener listener;
    SimConfig config = AnnouncingConfig(1, 0, {}, listener);
    config.announceEveryMs = 1000;
    config.durationSeconds = 2;
    RunningSimulator simulator(config);
    const auto heard = listener.Collect(5, milliseconds(4000));
    std::vector<std::string> kinds;
    std::transform(heard.begin(), heard.end(), std::back_inserter(kinds), NtsOf);
    ASSERT_EQ(kinds, std::vector<std::string>({kAlive, kAlive, kAlive, kAlive, kByebye}));
    // Three alives 100 ms apart, a fourth a second after them, the byebye two seconds in.
    EXPECT_GE(heard[1].at - heard[0].at, kStartAlivesGap * 8 / 10);
    EXPECT_GE(heard[2].at - heard[1].at, kStartAlivesGap * 8 / 10);
    EXPECT_GE(heard[3].at - heard[2].at, milliseconds(900));
    EXPECT_LT(heard[3].at - heard[2].at, milliseconds(1500));
    EXPECT_GE(heard[4].at - heard[0].at, milliseconds(1900));
}

// The headers' values of each datagram from `sender`, in the order heard.
std::vector<std::string> ValuesFrom(const std::vector<Heard>& heard, const std::string& sender, const char* header)
{
    std::vector<std::string> values;
    for (const Heard& one : heard) {
        if (one.datagram.from == sender) {
            values.push_back(HeaderLine(one.datagram.text, header).substr(std::strlen(header) + 2));
        }
    }
    return values;
}

TEST(RobotSimTest, ShowsTheUdnItWasGivenEverywhereEvenWhenAnotherRobotHasItToo)
{
    AnnouncementListener listener;
    // Robot 2 would hide its marker in its USN; a UDN given is shown as given.
    SimConfig config = AnnouncingConfig(3, 0, {{2, DeviceFault::NoMarker}}, listener);
    const std::string shared = "uuid:R0VA-5151-4000-8000-0000000000aa";
    config.robotUdns = {{1, shared}, {2, shared}};
    RunningSimulator simulator(config);
    const auto alives = listener.Collect(3 * 3);
    const auto replies = Exchange(simulator, Search("upnp:rootdevice"), 3);
    ASSERT_EQ(replies.size(), 3u);
    const std::string udns[] = {shared, shared, "uuid:R0VA-5151-4000-8000-00007f00000c"};
    for (std::size_t i = 0; i < replies.size(); ++i) {
        const std::string sender = "127.0.0." + std::to_string(10 + i);
        const auto reply =
            std::find_if(replies.begin(), replies.end(), [&](const Reply& r) { return r.from == sender; });
        ASSERT_NE(reply, replies.end()) << sender;
        const std::string usn = udns[i] + "::upnp:rootdevice";
        EXPECT_EQ(HeaderLine(reply->text, "USN"), "USN: " + usn) << sender;
        EXPECT_EQ(ValuesFrom(alives, sender, "USN"), std::vector<std::string>(3, usn)) << sender;
        EXPECT_TRUE(Contains(HttpExchange(sender.c_str(), simulator->HttpPort(i), kGet).value_or(""),
                             "<UDN>" + udns[i] + "</UDN>"))
            << sender;
    }
    const auto byUdn = Exchange(simulator, Search(shared), 2);
    ASSERT_EQ(byUdn.size(), 2u);
    EXPECT_NE(byUdn[0].from, byUdn[1].from);
}

TEST(RobotSimTest, ARenamingRobotAnnouncesANewBootIdInEveryPeriodicAlive)
{
    AnnouncementListener listener;
    SimConfig config = AnnouncingConfig(2, 0, {{2, DeviceFault::Renames}}, listener);
    config.announceEveryMs = 300;
    config.bootId = 7;
    RunningSimulator simulator(config);
    // Three alives at the start and two periodic ones from each robot, then the byebyes.
    auto heard = listener.Collect(2 * 5, milliseconds(3000));
    simulator.StopAndWait();
    const auto last = listener.Collect(2);
    heard.insert(heard.end(), last.begin(), last.end());
    const auto renaming = ValuesFrom(heard, "127.0.0.11", "BOOTID.UPNP.ORG");
    ASSERT_GE(renaming.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(renaming.begin(), renaming.begin() + 5),
              std::vector<std::string>({"7", "7", "7", "8", "9"}));
    EXPECT_EQ(ValuesFrom(heard, "127.0.0.11", "NTS").back(), kByebye);
    EXPECT_EQ(renaming.back(), renaming[renaming.size() - 2]) << "the byebye names the last boot";
    const auto steady = ValuesFrom(heard, "127.0.0.10", "BOOTID.UPNP.ORG");
    EXPECT_EQ(steady, std::vector<std::string>(std::max<std::size_t>(steady.size(), 6), "7"));
}

TEST(RobotSimTest, ARenamingRobotHasANewNameOnEveryRead)
{
    RunningSimulator simulator(LoopbackConfig(2, 0, {{2, DeviceFault::Renames}}));
    const auto name = [&](std::size_t device) {
        const std::string address = "127.0.0." + std::to_string(10 + device);
        const std::string body = HttpExchange(address.c_str(), simulator->HttpPort(device), kGet).value_or("");
        const std::size_t start = body.find("<friendlyName>");
        return start == std::string::npos ? body : body.substr(start, body.find("</friendlyName>") - start);
    };
    EXPECT_EQ(name(1), "<friendlyName>ROVA robot 2 #1");
    EXPECT_EQ(name(1), "<friendlyName>ROVA robot 2 #2");
    EXPECT_EQ(name(0), "<friendlyName>ROVA robot 1");
    EXPECT_EQ(name(0), "<friendlyName>ROVA robot 1");
}

TEST(RobotSimTest, AnnouncesNothingUnlessAsked)
{
    AnnouncementListener listener;
    {
        SimConfig config = LoopbackConfig(2, 1);
        config.announcePort = listener.Port();
        config.announceEveryMs = 1000;
        RunningSimulator simulator(config);
        EXPECT_EQ(Exchange(simulator, Search("upnp:rootdevice"), 3).size(), 3u);
        EXPECT_TRUE(listener.Collect(1, milliseconds(500)).empty());
        simulator.StopAndWait();
        EXPECT_FALSE(Contains(simulator.Log(), "notify"));
    }
    EXPECT_TRUE(listener.Collect(1, milliseconds(300)).empty());
}

TEST(RobotSimTest, TwoSimulatorsOnOnePortEachHearTheSearchesSentToTheirOwnDevices)
{
    // Both configurations first: making one removes the log file of the same name.
    const SimConfig firstConfig = LoopbackConfig(2, 0);
    SimConfig secondConfig = LoopbackConfig(2, 0);
    inet_pton(AF_INET, "127.0.0.20", &secondConfig.firstAddress);
    secondConfig.logPath += ".second";
    std::remove(secondConfig.logPath.c_str());
    RunningSimulator first(firstConfig);
    secondConfig.ssdpPort = first->SsdpPort();
    RunningSimulator second(secondConfig);
    ASSERT_EQ(second->SsdpPort(), first->SsdpPort());

    // Whichever simulator bound the port last, a search sent to a device reaches that device.
    for (const char* device : {"127.0.0.21", "127.0.0.11", "127.0.0.20", "127.0.0.10"}) {
        const auto replies = Exchange(first, Search("upnp:rootdevice"), 1, device);
        ASSERT_EQ(replies.size(), 1u) << device;
        EXPECT_EQ(replies[0].from, device);
        EXPECT_EQ(replies[0].port, first->SsdpPort()) << device << ": not from the device's own SSDP socket";
        EXPECT_TRUE(Contains(replies[0].text, std::string("\r\nLOCATION: http://") + device + ":")) << device;
    }
    EXPECT_EQ(CountOf(first.Log(), "ssdp from=127.0.0.1:"), 2u);
    EXPECT_EQ(CountOf(second.Log(), "ssdp from=127.0.0.1:"), 2u);
}

TEST(RobotSimTest, AThousandAndTwentyFourDevicesInOneProcessAnswerOneSearchAtOnce)
{
    // Two descriptors per device, more than a shell's usual soft limit, which the simulator raises.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 2 * kMaxDevices + 256) {
        GTEST_SKIP() << "the hard descriptor limit " << limit.rlim_max << " is below what 1024 devices need";
    }
    // The burst comes faster than a client of the test may read it; its buffer must hold it all.
    UniqueFd client = ClientSocket();
    constexpr int kBurstBytes = 4 * 1024 * 1024;
    ::setsockopt(client.Get(), SOL_SOCKET, SO_RCVBUF, &kBurstBytes, sizeof kBurstBytes);
    ::setsockopt(client.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &kBurstBytes, sizeof kBurstBytes);
    int buffer = 0;
    socklen_t length = sizeof buffer;
    if (::getsockopt(client.Get(), SOL_SOCKET, SO_RCVBUF, &buffer, &length) != 0 || buffer < kBurstBytes) {
        GTEST_SKIP() << "a receive buffer of " << buffer << " bytes may drop part of the burst (net.core.rmem_max)";
    }
    RunningSimulator simulator(LoopbackConfig(kMaxDevices - 24, 24, {{kMaxDevices - 24, DeviceFault::NoMarker}}));
    ASSERT_EQ(simulator->Devices().size(), static_cast<std::size_t>(kMaxDevices));
    const auto replies = Exchange(simulator, client, Search("ssdp:all"), kMaxDevices, kLoopbackGroup);
    std::set<std::string> senders;
    for (const Reply& reply : replies) {
        senders.insert(reply.from);
        EXPECT_TRUE(Contains(reply.text, "\r\nLOCATION: http://" + reply.from + ":")) << reply.from;
    }
    EXPECT_EQ(replies.size(), static_cast<std::size_t>(kMaxDevices));
    EXPECT_EQ(senders.size(), static_cast<std::size_t>(kMaxDevices));
    EXPECT_EQ(*senders.begin(), "127.0.0.10");
    EXPECT_TRUE(senders.count("127.0.4.9")) << "the last device, 1023 addresses on";
    EXPECT_TRUE(Contains(HttpExchange("127.0.4.9", simulator->HttpPort(kMaxDevices - 1), kGet).value_or(""),
                         "<friendlyName>Media player 24</friendlyName>"));
}

TEST(RobotSimTest, ReadsSearchTargetsAsClientsWriteThem)
{
    EXPECT_EQ(SearchTargetOf(Search("upnp:rootdevice")), "upnp:rootdevice");
    EXPECT_EQ(SearchTargetOf("M-SEARCH * HTTP/1.1\nst: \tssdp:all \n\n"), "ssdp:all");
    EXPECT_EQ(SearchTargetOf("M-SEARCH * HTTP/1.1\r\nMX:1\r\n\r\nST:late\r\n"), std::nullopt);
    EXPECT_EQ(SearchTargetOf("NOTIFY * HTTP/1.1\r\nST:upnp:rootdevice\r\n\r\n"), std::nullopt);
    EXPECT_EQ(SearchTargetOf(""), std::nullopt);
    EXPECT_EQ(EscapeBytes(std::string("a\"\\\r\n\t\x01\xff", 8)), "a\\\"\\\\\\r\\n\\t\\x01\\xff");
}

TEST(RobotSimTest, ParsesItsCommandLine)
{
    EXPECT_EQ(ParseOptions({}).error.rfind("--interface IF is required", 0), 0u);
    EXPECT_TRUE(ParseOptions({"--help"}).error.empty());
    EXPECT_TRUE(ParseOptions({"--version"}).showVersion);
    EXPECT_TRUE(ParseOptions({"--version"}).error.empty());
    const ParsedOptions defaults = ParseOptions({"--interface", "veth1"});
    EXPECT_TRUE(defaults.error.empty());
    EXPECT_EQ(AddressText(defaults.config.firstAddress), "192.0.2.10");
    EXPECT_EQ(defaults.config.ssdpPort, 1900);
    EXPECT_EQ(defaults.config.httpPort, 80);
    EXPECT_FALSE(defaults.config.announce);
    EXPECT_EQ(defaults.config.announceEveryMs, 30000);
    EXPECT_EQ(defaults.config.bootId, 1);

    const ParsedOptions announcing =
        ParseOptions({"--announce", "--announce-every", "1", "--boot-id", "2147483647", "--interface", "veth1"});
    EXPECT_TRUE(announcing.error.empty()) << announcing.error;
    EXPECT_TRUE(announcing.config.announce);
    EXPECT_EQ(announcing.config.announceEveryMs, 1000);
    EXPECT_EQ(ParseOptions({"--announce", "--announce-every-ms", "250", "--interface", "veth1"}).config.announceEveryMs,
              250);
    EXPECT_EQ(announcing.config.bootId, 2147483647);
    const std::pair<std::vector<std::string>, const char*> badLines[] = {
        {{"--announce", "--announce-every", "0"}, "bad value for --announce-every"},
        {{"--announce", "--announce-every", "3601"}, "bad value for --announce-every"},
        {{"--announce", "--boot-id", "2147483648"}, "bad value for --boot-id"},
        {{"--announce", "--boot-id", "-1"}, "bad value for --boot-id"},
        {{"--announce", "--announce-every-ms", "9"}, "bad value for --announce-every-ms"},
        {{"--announce", "--announce-every-ms", "3600001"}, "bad value for --announce-every-ms"},
        {{"--announce", "--announce-every", "1", "--announce-every-ms", "500"},
         "--announce-every and --announce-every-ms exclude"},
        {{"--announce-every", "5"}, "--announce-every, --announce-every-ms and --boot-id need --announce"},
        {{"--announce-every-ms", "500"}, "--announce-every, --announce-every-ms and --boot-id need --announce"},
        {{"--boot-id", "2"}, "--announce-every, --announce-every-ms and --boot-id need --announce"},
        {{"--udn", "1:"}, "bad value for --udn"},
        {{"--udn", "0:uuid:R0VA-1"}, "bad value for --udn"},
        {{"--udn", "uuid:R0VA-1"}, "bad value for --udn"},
        {{"--udn", "1:uuid:R0VA-1\r\nNTS: ssdp:byebye"}, "bad value for --udn"},
        {{"--udn", "1:uuid:R0VA-1\n"}, "bad value for --udn"},
        {{"--udn", std::string("1:uuid:R0VA\0-1", 14)}, "bad value for --udn"},
        {{"--udn", "1:" + std::string(256, 'u')}, "bad value for --udn"},
        {{"--robots", "2", "--udn", "3:uuid:R0VA-1"}, "--udn names robot 3, beyond --robots 2"},
        {{"--name", "0:R"}, "bad value for --name: 0:R"},
        {{"--name", "R"}, "bad value for --name: R"},
        {{"--name", "1:R\\q"}, "bad value for --name: 1:R\\q ('\\q' is no escape: \\xNN (two hex digits) or \\\\)"},
        {{"--name", "1:\\x4"}, "bad value for --name: 1:\\x4 ('\\x4' is no escape"},
        {{"--name", "1:\\xg0"}, "bad value for --name: 1:\\xg0 ('\\xg0' is no escape"},
        {{"--name", "1:R\\x00"}, "bad value for --name: 1:R\\x00 (a name cannot hold a NUL byte)"},
        {{"--robots", "2", "--name", "3:R"}, "--name names robot 3, beyond --robots 2"},
    };
    for (const auto& [arguments, error] : badLines) {
        std::vector<std::string> line = arguments;
        line.insert(line.end(), {"--interface", "veth1"});
        EXPECT_EQ(ParseOptions(line).error.rfind(error, 0), 0u) << arguments[1] << ": " << ParseOptions(line).error;
    }

    const std::string longestUdn(255, 'u');
    const ParsedOptions parsed = ParseOptions({"--robots", "3", "--others", "2", "--fault", "2:huge-body", "--udn",
                                               "3:" + longestUdn, "--interface", "veth1"});
    EXPECT_TRUE(parsed.error.empty()) << parsed.error;
    EXPECT_EQ(parsed.config.robotFaults.at(2), DeviceFault::HugeBody);
    const auto devices = PlanDevices(parsed.config);
    ASSERT_EQ(devices.size(), 5u);
    EXPECT_EQ(AddressText(devices[4].address), "192.0.2.14");
    EXPECT_FALSE(devices[4].isRobot);
    EXPECT_EQ(DeviceUdn(devices[2]), longestUdn);
    EXPECT_EQ(DeviceUdn(devices[1]), "uuid:R0VA-5151-4000-8000-0000c000020b");

    // What --name gives (the last for a robot), and the friendlyName element its description carries.
    const struct {
        const char* text;
        std::string name;
        std::string element;
    } kNames[] = {
        {"1:", "", ""},
        {"1:\\xe3\\x83\\xad\\xE3\\x83\\x9C", "\xe3\x83\xad\xe3\x83\x9c", "\xe3\x83\xad\xe3\x83\x9c"},
        {"1:Caf\\xe9\\x1b\\x07", "Caf\xe9\x1b\x07", "Caf\xe9\x1b\x07"},
        {"1:a\\\\x41\\\\", "a\\x41\\", "a\\x41\\"},
        {"1:a \\x26 <b>", "a & <b>", "a &amp; &lt;b&gt;"},
    };
    for (const auto& entry : kNames) {
        const ParsedOptions named = ParseOptions({"--name", "1:first", "--name", entry.text, "--interface", "veth1"});
        ASSERT_TRUE(named.error.empty()) << entry.text << ": " << named.error;
        const auto robots = PlanDevices(named.config);
        EXPECT_EQ(FriendlyName(robots.at(0)), entry.name) << entry.text;
        EXPECT_TRUE(Contains(BuildDescription(robots[0]), "<friendlyName>" + entry.element + "</friendlyName>"))
            << entry.text;
    }

    const std::pair<const char*, DeviceFault> locationKinds[] = {
        {"location-loopback", DeviceFault::LocationLoopback},
        {"location-unspecified", DeviceFault::LocationUnspecified},
        {"location-broadcast", DeviceFault::LocationBroadcast},
        {"location-multicast", DeviceFault::LocationMulticast},
        {"location-other-device", DeviceFault::LocationOtherDevice}};
    for (const auto& [kind, fault] : locationKinds) {
        const ParsedOptions located =
            ParseOptions({"--robots", "2", "--fault", std::string("2:") + kind, "--interface", "veth1"});
        EXPECT_TRUE(located.error.empty()) << kind << ": " << located.error;
        EXPECT_EQ(located.config.robotFaults.at(2), fault) << kind;
    }

    EXPECT_TRUE(ParseOptions({"--robots", "1000", "--others", "24", "--interface", "veth1"}).error.empty());
    EXPECT_EQ(ParseOptions({"--robots", "1000", "--others", "25", "--interface", "veth1"}).error,
              "at most 1024 devices");
    EXPECT_EQ(ParseOptions({"--robots", "1024", "--fault", "1024:no-http", "--interface", "veth1"}).error, "");
    EXPECT_EQ(ParseOptions({"--robots", "2", "--first-address", "255.255.255.255", "--interface", "veth1"}).error,
              "--first-address leaves no room for 2 devices");
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--robots"},
                                                {"--robots", "-1"},
                                                {"--robots", "200", "--others", "100"},
                                                {"--fault", "0:no-http"},
                                                {"--fault", "1:on-fire"},
                                                {"--fault", "1:location-other-device", "--interface", "veth1"},
                                                {"--first-address", "192.0.2"},
                                                {"--http-port", "65536"},
                                                {"--duration", "0"},
                                                {"--what"}}) {
        EXPECT_FALSE(ParseOptions(bad).error.empty()) << bad[0];
    }
}

}  // namespace
}  // namespace robotsim
