// The robot simulator driven in-process on loopback, with ports of its own choosing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
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
        simulator_.Stop();
        if (thread_.joinable()) {
            thread_.join();
        }
        std::remove(logPath_.c_str());
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

// Sends one datagram to the simulator's port at `to` from a fresh socket and collects what comes
// back.
std::vector<Reply> Exchange(const RunningSimulator& simulator, const std::string& datagram, std::size_t expected,
                            const char* to = kLoopbackGroup)
{
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    const sockaddr_in local = Endpoint(kLoopbackClient, 0);
    const sockaddr_in target = Endpoint(to, simulator->SsdpPort());
    ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local);
    ::sendto(fd.Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    std::vector<Reply> replies;
    pollfd readable{fd.Get(), POLLIN, 0};
    while (::poll(&readable, 1, replies.size() < expected ? kReplyWaitMs : kExtraReplyWaitMs) == 1) {
        char buffer[4096];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t size =
            ::recvfrom(fd.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        replies.push_back(Reply{AddressText(from.sin_addr), std::string(buffer, static_cast<std::size_t>(size))});
    }
    return replies;
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

    const ParsedOptions parsed =
        ParseOptions({"--robots", "3", "--others", "2", "--fault", "2:huge-body", "--interface", "veth1"});
    EXPECT_TRUE(parsed.error.empty()) << parsed.error;
    EXPECT_EQ(parsed.config.robotFaults.at(2), DeviceFault::HugeBody);
    const auto devices = PlanDevices(parsed.config);
    ASSERT_EQ(devices.size(), 5u);
    EXPECT_EQ(AddressText(devices[4].address), "192.0.2.14");
    EXPECT_FALSE(devices[4].isRobot);

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
