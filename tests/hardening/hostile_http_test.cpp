// Description fetches against HTTP peers that stall, flood, reset, redirect
// or garble: every fetch ends within its limits with the body's first bytes
// or nothing, and a hostile responder never costs the next one its record.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "builtin/upnp_search_wnd.h"
#include "result_records.h"
#include "scripted_http_peer.h"
#include "timing.h"

namespace seekwell {
namespace {

using namespace std::chrono_literals;
using test::Clock;
using test::PeerBehaviour;
using test::Response;
using test::ScriptedHttpPeer;

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
        HttpFetchLimits limits = limits_;
        limits.port = port;
        return CUpnpSearchWnd(SearchParameters{SsdpEndpoints{}, kSearchWindowMs, limits});
    }
    TimedDocument FetchFrom(const char* address, std::uint16_t port) const
    {
        const auto start = Clock::now();
        std::string document = Search(port).FetchDescription(std::string("http://") + address + "/ROVA.XML");
        return TimedDocument{std::move(document), static_cast<long>(test::Elapsed(start))};
    }
    TimedDocument Fetch(const PeerBehaviour& behaviour)
    {
        peer_ = std::make_unique<ScriptedHttpPeer>("127.0.0.1", 0, behaviour);
        return FetchFrom("127.0.0.1", peer_->Port());
    }
    std::string FetchDocument(const std::string& response) { return Fetch(test::Answer(response)).document; }

    HttpFetchLimits limits_{0, kConnectMs, kReceiveMs, kCapMs, kDescriptionMaxBytes};
    std::unique_ptr<ScriptedHttpPeer> peer_;
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
    ASSERT_TRUE(peer_->WaitUntilServed(1, std::chrono::milliseconds(kSlackMs)));
    EXPECT_LT(peer_->LastBytesSent(), kHundredMegabytes / 10);
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

    // No status line: the whole response is the body, which ends with the connection.
    const TimedDocument garbage = Fetch(test::AnswerThenClose("GARBAGE\r\n\r\n" + robot));
    EXPECT_EQ(garbage.document, "GARBAGE\r\n\r\n" + robot);
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

// A body that declares more than it sends, then stalls.
std::string StalledBody(const std::string& sent) { return "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + sent; }

TEST_F(HostileHttp, ReadEndsAsSoonAsTheReadSizeIsIn)
{
    const std::string exact = test::RobotDescription("Exact") + std::string(kReadSize, ' ');
    const struct {
        const char* name;
        std::string sent;
    } cases[] = {
        {"exactly the read size", exact.substr(0, kReadSize)},
        {"more than the read size", exact + "beyond"},
    };
    for (const auto& c : cases) {
        const TimedDocument stalled = Fetch(test::Answer(StalledBody(c.sent)));
        EXPECT_EQ(stalled.document, exact.substr(0, kReadSize)) << c.name;
        EXPECT_LT(stalled.tookMs, kReceiveMs / 2) << c.name;
    }
    // One byte short, it waits for the rest and gives up on the silence.
    const TimedDocument short1 = Fetch(test::Answer(StalledBody(exact.substr(0, kReadSize - 1))));
    EXPECT_EQ(short1.document, "");
    EXPECT_GE(short1.tookMs, kReceiveMs - kEarlyMs);
}

TEST_F(HostileHttp, SilenceIsMeasuredFromTheLastByteReceived)
{
    // Longer limits than elsewhere, so that a clock started at the connection
    // (or an average over whole seconds) would end the fetch clearly earlier.
    constexpr long kLongReceiveMs = 2000;
    constexpr long kLongCapMs = 6000;
    limits_.receiveTimeoutMs = kLongReceiveMs;
    limits_.wholeFetchCapMs = kLongCapMs;
    const auto withinLimit = std::chrono::milliseconds(kLongReceiveMs * 6 / 10);
    // Header bytes count: the limit runs afresh from each part.
    const TimedDocument headers = Fetch(
        test::SendInSteps({"HTTP/1.1 200 OK\r\n", "Server: slow\r\n", "Content-Length: 100\r\n\r\n"}, withinLimit));
    const long lastByteMs = 2 * static_cast<long>(withinLimit.count());
    EXPECT_EQ(headers.document, "");
    EXPECT_GE(headers.tookMs, lastByteMs + kLongReceiveMs - kEarlyMs);
    EXPECT_LT(headers.tookMs, lastByteMs + kLongReceiveMs + kSlackMs);

    // A byte within every limit keeps the fetch alive until the cap on the whole fetch.
    const TimedDocument drip = Fetch(test::DripBody(withinLimit));
    EXPECT_EQ(drip.document, "");
    EXPECT_GE(drip.tookMs, kLongCapMs - kEarlyMs);
    EXPECT_LT(drip.tookMs, kLongCapMs + kSlackMs);
}

struct Descriptor {
    int fd;
    bool closeOnExec;
};

std::vector<Descriptor> OpenSockets()
{
    std::vector<Descriptor> sockets;
    DIR* directory = opendir("/proc/self/fd");
    while (const dirent* entry = directory != nullptr ? readdir(directory) : nullptr) {
        char target[64] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strncmp(target, "socket:", 7) == 0) {
            const int fd = std::atoi(entry->d_name);
            sockets.push_back(Descriptor{fd, (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0});
        }
    }
    if (directory != nullptr) {
        closedir(directory);
    }
    return sockets;
}

// Another host thread may start a program while a fetch waits on a device.
TEST_F(HostileHttp, FetchSocketsAreCloseOnExec)
{
    peer_ = std::make_unique<ScriptedHttpPeer>("127.0.0.1", 0, test::NeverAnswer());
    const std::size_t socketsBefore = OpenSockets().size();
    std::thread fetch([this] { FetchFrom("127.0.0.1", peer_->Port()); });
    test::WaitUntil([this] { return !peer_->Requests().empty(); }, std::chrono::milliseconds(kSlackMs));
    const std::vector<Descriptor> during = OpenSockets();
    fetch.join();
    ASSERT_FALSE(peer_->Requests().empty());
    EXPECT_GE(during.size(), socketsBefore + 2);  // the peer's end and the fetch's
    for (const Descriptor& socket : during) {
        EXPECT_TRUE(socket.closeOnExec) << "descriptor " << socket.fd;
    }
}

TEST_F(HostileHttp, RedirectsAreNotFollowed)
{
    const std::string redirectBody = "moved";
    EXPECT_EQ(FetchDocument(Response(redirectBody, "Location: file:///etc/passwd\r\n", "302 Found")), redirectBody);

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
