// Description fetches against HTTP peers that stall, flood, reset, redirect
// or garble: every fetch ends within its limits with the body's first bytes
// or nothing, and a hostile responder never costs the next one its record.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "result_records.h"
#include "scripted_http_peer.h"
#include "upnp_search_wnd.h"

namespace seekwell {
namespace {

using namespace std::chrono_literals;
using test::PeerBehaviour;
using test::Response;
using test::ScriptedHttpPeer;
using Clock = std::chrono::steady_clock;

// Short limits in place of the 30 s ones, which hardening_slow_test proves.
constexpr long kConnectMs = 500;
constexpr long kReceiveMs = 1000;
constexpr long kCapMs = 3000;
constexpr long kSlackMs = 1500;
// Allowance for timers that fire a little early.
constexpr long kEarlyMs = 100;
constexpr std::size_t kReadSize = kDescriptionMaxBytes;

struct TimedDocument {
    std::string document;
    long tookMs;
};

class HostileHttp : public ::testing::Test {
protected:
    CUpnpSearchWnd Search(std::uint16_t port) const
    {
        return CUpnpSearchWnd(SearchParameters{
            SsdpEndpoints{}, kSearchWindowMs,
            HttpFetchLimits{port, kConnectMs, kReceiveMs, kCapMs, kDescriptionMaxBytes}});
    }
    TimedDocument FetchFrom(const char* address, std::uint16_t port) const
    {
        const auto start = Clock::now();
        std::string document =
            Search(port).FetchDescription(std::string("http://") + address + "/ROVA.XML");
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        return TimedDocument{std::move(document), static_cast<long>(took.count())};
    }
    TimedDocument Fetch(const PeerBehaviour& behaviour)
    {
        m_Peer = std::make_unique<ScriptedHttpPeer>("127.0.0.1", 0, behaviour);
        return FetchFrom("127.0.0.1", m_Peer->Port());
    }
    std::string FetchDocument(const std::string& response) { return Fetch(test::Answer(response)).document; }

    std::unique_ptr<ScriptedHttpPeer> m_Peer;
};

TEST_F(HostileHttp, StallingPeersEndWithinTheirLimitsAndGiveNothing)
{
    const TimedDocument silent = Fetch(test::NeverAnswer());
    EXPECT_EQ(silent.document, "");
    EXPECT_GE(silent.tookMs, kReceiveMs - kEarlyMs);
    EXPECT_LT(silent.tookMs, kCapMs + kSlackMs);

    // Fast enough to pass any speed check, so only the cap on the whole fetch ends it.
    const TimedDocument drip = Fetch(test::DripBody(200ms));
    EXPECT_EQ(drip.document, "");
    EXPECT_GE(drip.tookMs, kCapMs - kEarlyMs);
    EXPECT_LT(drip.tookMs, kCapMs + kSlackMs);

    const test::StalledListener stalled("127.0.0.1");
    const TimedDocument unaccepted = FetchFrom("127.0.0.1", stalled.Port());
    EXPECT_EQ(unaccepted.document, "");
    EXPECT_GE(unaccepted.tookMs, kConnectMs - kEarlyMs);
    EXPECT_LT(unaccepted.tookMs, kConnectMs + kSlackMs);

    for (const PeerBehaviour& abrupt : {test::CloseAtOnce(), test::ResetMidBody(test::RobotDescription("Reset"))}) {
        const TimedDocument cut = Fetch(abrupt);
        EXPECT_EQ(cut.document, "");
        EXPECT_LT(cut.tookMs, kSlackMs);
    }
}

long MaxResidentKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST_F(HostileHttp, HundredMegabyteBodyIsCutAfterTheReadSizeAndTheConnectionDropped)
{
    constexpr std::size_t kHundredMegabytes = 100u * 1000 * 1000;
    constexpr long kMemoryBoundKb = 32 * 1024;
    const long residentBefore = MaxResidentKilobytes();
    const TimedDocument huge = Fetch(test::EndlessBody(kHundredMegabytes));
    EXPECT_EQ(huge.document, std::string(kReadSize, 'x'));
    EXPECT_LT(huge.tookMs, kSlackMs);
    // The client hangs up at once, so the peer's sending fails soon, having
    // got out little more than the socket buffers hold.
    ASSERT_TRUE(m_Peer->WaitUntilServed(1, std::chrono::milliseconds(kSlackMs)));
    EXPECT_LT(m_Peer->LastBytesSent(), kHundredMegabytes / 10);
    EXPECT_LT(MaxResidentKilobytes() - residentBefore, kMemoryBoundKb);
}

std::string Chunk(const std::string& data)
{
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

// body in two chunks, the first firstChunkSize bytes long.
std::string ChunkedResponse(const std::string& body, std::size_t firstChunkSize)
{
    return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunk(body.substr(0, firstChunkSize)) +
           Chunk(body.substr(firstChunkSize)) + "0\r\n\r\n";
}

TEST_F(HostileHttp, BodiesAreTakenAsSentWithoutDecoding)
{
    const std::string robot = test::RobotDescription("Chunked");
    EXPECT_EQ(FetchDocument(ChunkedResponse(robot, 16)), robot);

    // gzip stays compressed: the document is its bytes up to the first NUL.
    const std::string gzipBody("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xb3\x09", 12);
    EXPECT_EQ(FetchDocument(Response(gzipBody, "Content-Encoding: gzip\r\n")), "\x1f\x8b\x08");
    EXPECT_EQ(FetchDocument(Response(robot, "Content-Encoding: gzip\r\n")), robot);

    EXPECT_EQ(FetchDocument(Response(robot) + "<UDN>R0VA-beyond-the-length</UDN>"), robot);
}

TEST_F(HostileHttp, MalformedFramingGivesNothingOrTheBodyButNeverHangs)
{
    const std::string robot = test::RobotDescription("Framed");
    const std::string hugeChunk = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffff\r\n" + robot;
    // The peer never completes the chunk; the cap on the whole fetch ends it.
    const TimedDocument chunk = Fetch(test::Answer(hugeChunk));
    EXPECT_EQ(chunk.document, "");
    EXPECT_LT(chunk.tookMs, kCapMs + kSlackMs);

    const TimedDocument garbage = Fetch(test::Answer("GARBAGE\r\n\r\n" + robot));
    EXPECT_EQ(garbage.document, "");
    EXPECT_LT(garbage.tookMs, kSlackMs);

    std::string manyHeaders;
    for (int i = 0; manyHeaders.size() < 100 * 1024; ++i) {
        manyHeaders += "X-Filler-" + std::to_string(i) + ": " + std::string(80, 'h') + "\r\n";
    }
    EXPECT_EQ(FetchDocument(Response(robot, manyHeaders)), robot);
    // Past the HTTP client's limit for one header line: refused, not buffered without end.
    const std::string oneHugeHeader = "X-Huge: " + std::string(200 * 1024, 'h') + "\r\n";
    const TimedDocument huge = Fetch(test::Answer(Response(robot, oneHugeHeader)));
    EXPECT_TRUE(huge.document.empty() || huge.document == robot);
    EXPECT_LT(huge.tookMs, kSlackMs);
}

TEST_F(HostileHttp, RedirectsAreNotFollowed)
{
    const std::string redirectBody = "moved";
    EXPECT_EQ(FetchDocument(Response(redirectBody, "Location: file:///etc/passwd\r\n", "302 Found")),
              redirectBody);

    ScriptedHttpPeer elsewhere("127.0.0.2", 0, test::Answer(Response(test::RobotDescription("Elsewhere"))));
    const std::string toOtherHost = "Location: http://127.0.0.2:" + std::to_string(elsewhere.Port()) + "/ROVA.XML\r\n";
    EXPECT_EQ(FetchDocument(Response(redirectBody, toOtherHost, "301 Moved Permanently")), redirectBody);
    EXPECT_TRUE(elsewhere.Requests().empty());
}

// Hostile responders first, the robot last, all on one port: only the robot
// is reported and nothing the others sent reaches a record.
TEST_F(HostileHttp, HostileRespondersDoNotCostTheNextOneItsRecord)
{
    const ScriptedHttpPeer first("127.0.0.2", 0, test::NeverAnswer());
    const std::uint16_t port = first.Port();
    const ScriptedHttpPeer others[] = {
        {"127.0.0.3", port, test::EndlessBody(100u * 1000 * 1000)},
        {"127.0.0.4", port, test::ResetMidBody(test::RobotDescription("Reset"))},
        {"127.0.0.5", port, test::Answer(Response("", "Location: http://127.0.0.6/ROVA.XML\r\n", "302 Found"))},
        {"127.0.0.6", port, test::Answer(Response(test::RobotDescription("Robot")))},
    };
    CUpnpSearchWnd search = Search(port);
    test::ResultRecords results;
    for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"}) {
        search.ProcessAddress(address, results.Data());
    }
    ASSERT_EQ(search.ResultCount(), 1);
    EXPECT_STREQ(results[0].pszName, "Robot");
    EXPECT_STREQ(results[0].pszAddress, "127.0.0.6");
    EXPECT_TRUE(results.UntouchedFrom(1));
    EXPECT_EQ(others[3].Requests().size(), 1u);  // asked once, never through the redirect
}

}  // namespace
}  // namespace seekwell
