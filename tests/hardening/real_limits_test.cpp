// The product's 30-second fetch limits, end to end: a responder whose server
// never answers and one whose server never accepts each cost the call 30
// seconds, and the robot heard after them is still reported.
#include "lan_fixture.h"

namespace seekwell::test {
namespace {

constexpr long kConnectLimitMs = 30000;
constexpr long kReceiveLimitMs = 30000;
constexpr long kEarlyMs = 200;
constexpr long kLateMs = 3000;

class RealLimits : public LanFixture {};

TEST_F(RealLimits, SilentAndUnacceptingServersEachCostThirtySeconds)
{
    const std::string silent = RobotAddress(0);
    const std::string unaccepting = RobotAddress(1);
    const std::string robot = RobotAddress(2);
    std::unique_ptr<ScriptedHttpPeer> silentServer;
    std::unique_ptr<StalledListener> stalledServer;
    std::unique_ptr<ScriptedHttpPeer> robotServer;
    lan_->Robots().Run([&] {
        silentServer = std::make_unique<ScriptedHttpPeer>(silent.c_str(), kHttpPort, NeverAnswer());
        stalledServer = std::make_unique<StalledListener>(unaccepting.c_str(), kHttpPort);
        robotServer =
            std::make_unique<ScriptedHttpPeer>(robot.c_str(), kHttpPort, Answer(Response(RobotDescription("Patient"))));
    });
    Respond(
        {{silent, RobotSsdpReply(silent)}, {unaccepting, RobotSsdpReply(unaccepting)}, {robot, RobotSsdpReply(robot)}});

    ResultRecords records;
    const Discovery discovery = Discover(records);
    const long expectedMs = kWindowMs + kReceiveLimitMs + kConnectLimitMs;
    EXPECT_GE(discovery.tookMs, expectedMs - kEarlyMs);
    EXPECT_LT(discovery.tookMs, expectedMs + kLateMs);
    ASSERT_EQ(discovery.count, 1);
    EXPECT_STREQ(records[0].pszName, "Patient");
    EXPECT_STREQ(records[0].pszAddress, robot.c_str());
    EXPECT_EQ(silentServer->Requests().size(), 1u);
    std::printf("whole call: %ld ms\n", discovery.tookMs);
}

}  // namespace
}  // namespace seekwell::test
