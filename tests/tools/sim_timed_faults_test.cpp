// The simulator's timed faults that the host tests build on, driven in-process on loopback: a robot
// that answers a search late and one that holds back its description, while the others answer at
// once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "simulator.h"
#include "unique_fd.h"

namespace robotsim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char kLoopbackClient[] = "127.0.0.1";
constexpr const char kFirstLoopbackDevice[] = "127.0.0.10";
// Prompt answers come within this; a held-back one comes no earlier than its delay.
constexpr milliseconds kPromptLimit{500};
constexpr milliseconds kReceiveLimit{kLateReplyDelayMs + 2000};
constexpr const char kSearch[] =
    "M-SEARCH * "
    "HTTP/"
    "1.1\r\nHost:239.255.255.250:1900\r\nST:upnp:rootdevice\r\nMan:\"ssdp:discover\"\r\nMX:"
    "1\r\n\r\n";
constexpr const char kGet[] = "GET /ROVA.XML HTTP/1.1\r\nHost: robot\r\n\r\n";

sockaddr_in Endpoint(const std::string& address, std::uint16_t port)
{
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr);
    return endpoint;
}

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class TimedFaultsTest : public testing::Test {
protected:
    // Robot 1 answers late, robot 2 holds back its description, robot 3 is plain.
    TimedFaultsTest() : simulator_(Config())
    {
        std::string error;
        started_ = simulator_.Start(&error);
        EXPECT_TRUE(started_) << error;
        if (started_) {
            thread_ = std::thread([this] { simulator_.Run(); });
        }
    }
    ~TimedFaultsTest() override
    {
        simulator_.Stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    static SimConfig Config()
    {
        SimConfig config;
        config.robotCount = 3;
        config.robotFaults = {{1, DeviceFault::LateReply}, {2, DeviceFault::SlowDescription}};
        inet_pton(AF_INET, kFirstLoopbackDevice, &config.firstAddress);
        config.ssdpPort = 0;
        config.httpPort = 0;
        config.joinGroup = false;
        inet_pton(AF_INET, kLoopbackClient, &config.searchGroup);  // loopback's stand-in for the group
        return config;
    }

    static std::string DeviceAddress(std::size_t device) { return "127.0.0." + std::to_string(10 + device); }

    // Milliseconds from the search to each device's reply; -1 for a device that did not answer.
    std::map<std::string, long long> ReplyDelays()
    {
        UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
        const sockaddr_in local = Endpoint(kLoopbackClient, 0);
        const sockaddr_in target = Endpoint(kLoopbackClient, simulator_.SsdpPort());
        ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local);
        const Clock::time_point start = Clock::now();
        ::sendto(fd.Get(), kSearch, sizeof kSearch - 1, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        std::map<std::string, long long> delays;
        pollfd readable{fd.Get(), POLLIN, 0};
        while (delays.size() < 3 && MsSince(start) < kReceiveLimit.count() &&
               ::poll(&readable, 1, static_cast<int>(kReceiveLimit.count() - MsSince(start))) == 1) {
            char buffer[4096];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            if (::recvfrom(fd.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) > 0) {
                delays.emplace(AddressText(from.sin_addr), MsSince(start));
            }
        }
        return delays;
    }

    // Milliseconds until the first byte of the description's response; -1 when none came.
    long long FirstByteDelay(std::size_t device)
    {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
        const sockaddr_in target = Endpoint(DeviceAddress(device), simulator_.HttpPort(device));
        if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
            return -1;
        }
        const Clock::time_point start = Clock::now();
        ::send(fd.Get(), kGet, sizeof kGet - 1, MSG_NOSIGNAL);
        pollfd readable{fd.Get(), POLLIN, 0};
        char byte;
        if (::poll(&readable, 1, static_cast<int>(kReceiveLimit.count())) != 1 || ::recv(fd.Get(), &byte, 1, 0) != 1) {
            return -1;
        }
        return MsSince(start);
    }

    Simulator simulator_;
    bool started_ = false;
    std::thread thread_;
};

TEST_F(TimedFaultsTest, LateReplyComesAfterItsDelayAndTheOthersAtOnce)
{
    ASSERT_TRUE(started_);
    const auto delays = ReplyDelays();
    ASSERT_EQ(delays.size(), 3u);
    EXPECT_GE(delays.at(DeviceAddress(0)), kLateReplyDelayMs);
    EXPECT_LT(delays.at(DeviceAddress(1)), kPromptLimit.count());
    EXPECT_LT(delays.at(DeviceAddress(2)), kPromptLimit.count());
}

TEST_F(TimedFaultsTest, SlowDescriptionIsHeldBackWhileOthersAreServedAtOnce)
{
    ASSERT_TRUE(started_);
    // Fetched side by side: holding one connection back must not hold up the other.
    long long slow = -1;
    std::thread slowFetch([&] { slow = FirstByteDelay(1); });
    const long long prompt = FirstByteDelay(2);
    slowFetch.join();
    EXPECT_GE(slow, kSlowDescriptionDelayMs);
    EXPECT_GE(prompt, 0);
    EXPECT_LT(prompt, kPromptLimit.count());
}

}  // namespace
}  // namespace robotsim
