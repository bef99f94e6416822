#include "lan_fixture.h"

namespace seekwell::test {

void LanFixture::SetUp()
{
    const std::string reason = PrivateLanUnavailableReason();
    if (!reason.empty()) {
        GTEST_SKIP() << "private LAN test skipped: " << reason;
    }
    lan_ = std::make_unique<PrivateLan>();
    ASSERT_TRUE(lan_->Up()) << "could not set up the private namespaces and their veth link";
    library_ = std::make_unique<LoneLibrary>(SEEKWELL_LIBRARY_FILE);
}

void LanFixture::Respond(std::vector<ScriptedReply> replies, std::chrono::milliseconds delay)
{
    lan_->Robots().Run(
        [&] { responder_ = std::make_unique<SsdpResponder>(RobotHostAddress().c_str(), replies, delay); });
}

void LanFixture::ServeDescriptions(std::map<std::string, std::string> responsesByHost)
{
    lan_->Robots().Run([&] {
        http_ = std::make_unique<ScriptedHttpPeer>("0.0.0.0", kHttpPort,
                                                   AnswerByHost(responsesByHost, OtherDeviceResponse()));
    });
}

std::vector<std::string> LanFixture::DescriptionHostsAsked() const
{
    std::vector<std::string> hosts;
    for (const std::string& head : http_->Requests()) {
        hosts.push_back(HostOfRequest(head));
    }
    return hosts;
}

Discovery LanFixture::Discover(ResultRecords& records)
{
    Discovery discovery{};
    lan_->Client().Run([&] {
        const auto start = Clock::now();
        discovery.count = library_->Discover()(records.Data());
        discovery.tookMs =
            static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    });
    return discovery;
}

std::string OtherDeviceResponse()
{
    return Response(
        "<root><device><friendlyName>Printer</friendlyName><UDN>uuid:printer-1</UDN></device></"
        "root>");
}

}  // namespace seekwell::test
