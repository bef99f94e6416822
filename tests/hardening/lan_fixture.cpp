#include "lan_fixture.h"

namespace seekwell::test {

void LanFixture::SetUp()
{
    const std::string reason = PrivateLanUnavailableReason();
    if (!reason.empty()) {
        GTEST_SKIP() << "private LAN test skipped: " << reason;
    }
    m_Lan = std::make_unique<PrivateLan>();
    ASSERT_TRUE(m_Lan->Up()) << "could not set up the private namespaces and their veth link";
    m_Library = std::make_unique<LoneLibrary>(SEEKWELL_LIBRARY_FILE);
}

void LanFixture::Respond(std::vector<ScriptedReply> replies, std::chrono::milliseconds delay)
{
    m_Lan->Robots().Run([&] { m_Responder = std::make_unique<SsdpResponder>(kRobotHostAddress, replies, delay); });
}

void LanFixture::ServeDescriptions(std::map<std::string, std::string> responsesByHost)
{
    m_Lan->Robots().Run([&] {
        m_Http = std::make_unique<ScriptedHttpPeer>("0.0.0.0", kHttpPort,
                                                    AnswerByHost(responsesByHost, OtherDeviceResponse()));
    });
}

std::vector<std::string> LanFixture::DescriptionHostsAsked() const
{
    std::vector<std::string> hosts;
    for (const std::string& head : m_Http->Requests()) {
        hosts.push_back(HostOfRequest(head));
    }
    return hosts;
}

Discovery LanFixture::Discover(ResultRecords& records)
{
    Discovery discovery{};
    m_Lan->Client().Run([&] {
        const auto start = Clock::now();
        discovery.count = m_Library->Discover()(records.Data());
        discovery.tookMs = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    });
    return discovery;
}

std::string OtherDeviceResponse()
{
    return Response("<root><device><friendlyName>Printer</friendlyName><UDN>uuid:printer-1</UDN></device></root>");
}

}  // namespace seekwell::test
