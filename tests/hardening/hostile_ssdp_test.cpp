// Discovery with the product's constants on a private LAN while SSDP peers
// misbehave: storms, oversized and odd replies, a port already taken, and
// two calls at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "lan_fixture.h"

namespace seekwell::test {
namespace {

using namespace std::chrono_literals;

constexpr long kFetchAllowanceMs = 3000;  // a few quick fetches after the window
constexpr std::size_t kMSearchSize = 98;
constexpr std::size_t kLargestUdpPayload = 65507;
constexpr std::chrono::milliseconds kStampSlack{50};

std::string RobotResponse(const std::string& name) { return Response(RobotDescription(name)); }

void ExpectOnTime(const Discovery& discovery)
{
    EXPECT_GE(discovery.tookMs, kWindowMs);
    EXPECT_LT(discovery.tookMs, kWindowMs + kFetchAllowanceMs);
}

class HostileSsdp : public LanFixture {};

TEST_F(HostileSsdp, ReplyStormEndsOnTimeKeepsSixteenAddressesAndTheRobot)
{
    constexpr int kStormDatagrams = 100000;
    constexpr int kEarlyDecoys = 12;    // heard before the robot
    constexpr int kLateAddresses = 51;  // more distinct addresses than there is room for
    const std::string robot = RobotAddress(0);
    ServeDescriptions({{robot, RobotResponse("Storm survivor")}});
    // Answers a second into the storm; repeated, as lossy UDP calls for.
    Respond({{robot, RobotSsdpReply(robot)}, {robot, RobotSsdpReply(robot)}, {robot, RobotSsdpReply(robot)}}, 1s);

    std::vector<std::string> senders;
    for (int i = 0; i < 64; ++i) {
        senders.push_back(StormAddress(i));
    }
    std::unique_ptr<ReplyStorm> storm;
    lan_->Robots().Run([&] { storm = std::make_unique<ReplyStorm>(senders, 4); });
    storm->Start(ClientAddress().c_str(), 1900, kStormDatagrams, 8s, [](int i) {
        const bool early = i < kStormDatagrams * 3 / 10;
        return RobotSsdpReply(early ? RobotAddress(1 + i % kEarlyDecoys)
                                    : RobotAddress(1 + kEarlyDecoys + i % kLateAddresses));
    });

    ResultRecords records;
    const Discovery discovery = Discover(records);
    storm->Join();
    ExpectOnTime(discovery);
    ASSERT_EQ(discovery.count, 1);
    EXPECT_STREQ(records[0].pszName, "Storm survivor");
    EXPECT_STREQ(records[0].pszAddress, robot.c_str());
    EXPECT_TRUE(records.UntouchedFrom(1));

    const std::vector<std::string> asked = DescriptionHostsAsked();
    const std::set<std::string> distinct(asked.begin(), asked.end());
    EXPECT_EQ(asked.size(), 16u);
    EXPECT_EQ(distinct.size(), 16u);
    EXPECT_EQ(distinct.count(robot), 1u);
    EXPECT_GE(storm->Sent(), kStormDatagrams / 2);
    std::printf("storm: %d datagrams sent during the window\n", storm->Sent());
}

// Padding before the location fills the datagram to the largest UDP payload.
std::string MaxSizeReply(const std::string& host)
{
    const std::string tail = RobotSsdpReply(host);
    const std::string head = "HTTP/1.1 200 OK\r\nX-PAD: ";
    return head + std::string(kLargestUdpPayload - head.size() - 2 - tail.size(), 'p') + "\r\n" + tail;
}

TEST_F(HostileSsdp, OddRepliesAreSurvivedAndTheRealRobotsFound)
{
    const std::string big = RobotAddress(0);
    const std::string odd = RobotAddress(1);
    const std::string spaced = RobotAddress(7);
    const std::string nonUtf8Name = "Rova \xff\xfe\xc0 Odd";
    ServeDescriptions({{big, RobotResponse("Max Size")}, {odd, RobotResponse(nonUtf8Name)}});
    Respond({
        {big, MaxSizeReply(big)},
        {RobotAddress(2), "R0VA\r\nLOCATION: http://" + std::string(60000, '7') + "/ROVA.XML\r\n\r\n"},
        {odd, "HTTP/1.1 200 OK\r\nSERVER: \xff\xfeR0VA\xc0\x80\r\nLOCATION: http://" + odd + "/ROVA.XML\r\n\r\n"},
        {RobotAddress(3), RobotSsdpReply(ClientAddress())},
        {RobotAddress(4), RobotSsdpReply("255.255.255.255")},
        {RobotAddress(5), std::string("HTTP/1.1 200 OK\r\n\0R0VA LOCATION: http://", 41) + RobotAddress(6) + "/"},
        // inet_addr reads up to the first space: the address after it counts.
        {spaced, "R0VA LOCATION: http://" + spaced + " no slash and no line end"},
    });

    ResultRecords records;
    const Discovery discovery = Discover(records);
    ExpectOnTime(discovery);
    ASSERT_EQ(discovery.count, 2);
    EXPECT_STREQ(records[0].pszName, "Max Size");
    EXPECT_STREQ(records[0].pszAddress, big.c_str());
    EXPECT_EQ(records[1].pszName, nonUtf8Name);
    EXPECT_STREQ(records[1].pszAddress, odd.c_str());
    EXPECT_TRUE(records.UntouchedFrom(2));
    // The client itself and 255.255.255.255 have no server to ask here.
    EXPECT_EQ(DescriptionHostsAsked(), (std::vector<std::string>{big, odd, spaced}));
}

int HoldPort1900()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(1900);
    bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    return fd;
}

TEST_F(HostileSsdp, PortTakenTheSearchGoesOnUnboundAndHearsItsReplies)
{
    const std::string robot = RobotAddress(0);
    ServeDescriptions({{robot, RobotResponse("Heard anyway")}});
    Respond({{robot, RobotSsdpReply(robot)}});
    int holder = -1;
    lan_->Client().Run([&] { holder = HoldPort1900(); });

    ResultRecords records;
    const Discovery discovery = Discover(records);
    close(holder);
    ExpectOnTime(discovery);
    ASSERT_EQ(discovery.count, 1);
    EXPECT_STREQ(records[0].pszName, "Heard anyway");
    const std::vector<HeardSearch> searches = responder_->Searches();
    ASSERT_EQ(searches.size(), 1u);
    EXPECT_NE(searches[0].sourcePort, 1900);  // the port the first send gave it
    EXPECT_EQ(searches[0].bytes.size(), kMSearchSize);
}

TEST_F(HostileSsdp, TwoThreadsCallingAtOnceAreServedOneAfterTheOther)
{
    const std::string first = RobotAddress(0);
    const std::string second = RobotAddress(1);
    ServeDescriptions({{first, RobotResponse("First")}, {second, RobotResponse("Second")}});
    Respond({{first, RobotSsdpReply(first)}, {second, RobotSsdpReply(second)}});

    ResultRecords records[2];
    Discovery discoveries[2] = {};
    const auto start = Clock::now();
    lan_->Client().Run([&] {
        auto call = [&](int i) { discoveries[i].count = library_->Discover()(records[i].Data()); };
        std::thread a(call, 0);  // threads started here share the client's namespace
        std::thread b(call, 1);
        a.join();
        b.join();
    });
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(discoveries[i].count, 2) << "call " << i;
        EXPECT_STREQ(records[i][0].pszName, "First");
        EXPECT_STREQ(records[i][0].pszAddress, first.c_str());
        EXPECT_STREQ(records[i][1].pszName, "Second");
        EXPECT_STREQ(records[i][1].pszAddress, second.c_str());
        EXPECT_TRUE(records[i].UntouchedFrom(2));
    }
    const std::vector<HeardSearch> searches = responder_->Searches();
    ASSERT_EQ(searches.size(), 2u);
    // Overlapping calls would search together; the responder stamps each search when its thread
    // gets to it, which can be a little late for the first one.
    EXPECT_GE(searches[1].at - searches[0].at, std::chrono::milliseconds(kWindowMs) - kStampSlack);
    EXPECT_GE(took, 2 * kWindowMs);
}

}  // namespace
}  // namespace seekwell::test
