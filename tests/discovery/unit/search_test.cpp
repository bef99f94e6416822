#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "discovery_call.h"
#include "loopback.h"
#include "path_choice.h"
#include "result_array.h"
#include "search_constants.h"
#include "upnp_search_wnd.h"

namespace seekwell {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr unsigned int kShortWindowMs = 600;
constexpr int kResponderWaitMs = 5000;
constexpr PlatformFacts kBuiltInFacts{false, kProbeAnswerUnknown};

std::string SsdpReply(const std::string& host, const std::string& marker = "R0VA")
{
    return "HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nLOCATION: http://" + host +
           "/ROVA.XML\r\nSERVER: " + marker + "\r\n\r\n";
}

// Search parameters aimed at a loopback responder with a short window.
SearchParameters LoopbackParameters(std::uint16_t responderPort, std::uint16_t httpPort = 0)
{
    SearchParameters params;
    params.ssdp = SsdpEndpoints{"127.0.0.1", responderPort, 0};
    params.windowMs = kShortWindowMs;
    params.http.port = httpPort;
    return params;
}

TEST(Search, FindsRobotsOnLoopbackAndLeavesOtherRecordsAlone)
{
    using test::Description;
    using test::HttpResponse;
    test::LoopbackHttpServer robotA("127.0.0.2", 0, HttpResponse(Description("R0VA-A", "Alpha")));
    const std::uint16_t httpPort = robotA.Port();
    test::LoopbackHttpServer other("127.0.0.3", httpPort, HttpResponse(Description("plain", "TV")));
    test::LoopbackHttpServer robotB("127.0.0.4", httpPort, HttpResponse(Description("R0VA-B", "Beta")));
    test::UdpEndpoint responder;
    std::string msearch;
    std::thread answering([&] {
        std::uint16_t searchPort = 0;
        msearch = responder.Receive(kResponderWaitMs, &searchPort);
        for (const char* host : {"127.0.0.2", "127.0.0.3", "127.0.0.2", "127.0.0.4"}) {
            responder.SendTo(SsdpReply(host), searchPort);
        }
        responder.SendTo(SsdpReply("127.0.0.5", "none"), searchPort);
    });

    CUpnpSearchWnd search(LoopbackParameters(responder.Port(), httpPort));
    test::ResultArray results;
    const auto started = steady_clock::now();
    const int found = search.Search(results.Data());
    const auto elapsed = steady_clock::now() - started;
    answering.join();

    EXPECT_EQ(msearch, std::string(kMSearchDatagram));
    EXPECT_EQ(msearch.size(), 98u);
    EXPECT_GE(elapsed, milliseconds(kShortWindowMs));
    ASSERT_EQ(found, 2);
    EXPECT_STREQ(results[0].pszName, "Alpha");
    EXPECT_STREQ(results[0].pszAddress, "127.0.0.2");
    EXPECT_STREQ(results[1].pszName, "Beta");
    EXPECT_STREQ(results[1].pszAddress, "127.0.0.4");
    EXPECT_TRUE(results.UntouchedFrom(2));
    EXPECT_EQ(other.Requests().size(), 1u);
    EXPECT_EQ(robotA.Requests().size(), 1u);  // heard twice, fetched once
    EXPECT_STREQ(search.Device(1).m_szAddress, "127.0.0.4");
    EXPECT_TRUE(search.Device(2).IsFree());
}

TEST(Search, RunsItsWindowWhenThePortIsTaken)
{
    test::UdpEndpoint holder("0.0.0.0");  // holds the port the search wants
    test::UdpEndpoint responder;
    SearchParameters params = LoopbackParameters(responder.Port());
    params.ssdp.bindPort = holder.Port();
    CUpnpSearchWnd search(params);
    test::ResultArray results;
    const auto started = steady_clock::now();
    EXPECT_EQ(search.Search(results.Data()), 0);
    EXPECT_GE(steady_clock::now() - started, milliseconds(kShortWindowMs));
    // The unbound socket still sent its one datagram from an implicit port.
    EXPECT_EQ(responder.Receive(0), std::string(kMSearchDatagram));
    EXPECT_TRUE(results.UntouchedFrom(0));
}

TEST(PathChoice, TableRowByRow)
{
    EXPECT_EQ(ProbeOsVersion(), kProbeAnswerUnknown);
    for (int probe : {-1, 0, 1, 2}) {
        EXPECT_EQ(ChooseDiscoveryPath(true, probe), DiscoveryPath::Finder) << probe;
    }
    EXPECT_EQ(ChooseDiscoveryPath(false, 2), DiscoveryPath::NoSearch);
    for (int probe : {-1, 0, 1}) {
        EXPECT_EQ(ChooseDiscoveryPath(false, probe), DiscoveryPath::BuiltIn) << probe;
    }
}

TEST(DiscoveryCall, NullArrayOrNoSearchPathReturnsMinusOneUntouched)
{
    test::UdpEndpoint sink;
    const SearchParameters params = LoopbackParameters(sink.Port());
    EXPECT_EQ(RunDiscoveryCall(nullptr, params, kBuiltInFacts), kNoSearch);
    test::ResultArray results;
    EXPECT_EQ(RunDiscoveryCall(results.Data(), params, PlatformFacts{false, kProbeAnswerNoSearch}),
              kNoSearch);
    EXPECT_TRUE(results.UntouchedFrom(0));
    EXPECT_EQ(sink.Receive(0), "");  // nothing was sent
}

TEST(DiscoveryCall, OverlappingCallsRunOneAfterTheOther)
{
    test::UdpEndpoint sink;
    const SearchParameters params = LoopbackParameters(sink.Port());
    int counts[2] = {-2, -2};
    const auto started = steady_clock::now();
    std::thread first([&] {
        test::ResultArray results;
        counts[0] = RunDiscoveryCall(results.Data(), params, kBuiltInFacts);
    });
    std::thread second([&] {
        test::ResultArray results;
        counts[1] = RunDiscoveryCall(results.Data(), params, kBuiltInFacts);
    });
    first.join();
    second.join();
    EXPECT_EQ(counts[0], 0);
    EXPECT_EQ(counts[1], 0);
    EXPECT_GE(steady_clock::now() - started, milliseconds(2 * kShortWindowMs));
}

TEST(Search, ConcurrentSearchObjectsShareNothing)
{
    // Two searches at once, each fetching a description: the lazy libcurl
    // init and the fetches run on two threads at the same time.
    using test::Description;
    test::LoopbackHttpServer robot("127.0.0.2", 0, test::HttpResponse(Description("R0VA", "Solo")));
    auto searchAndAccept = [&robot](int* count) {
        test::UdpEndpoint responder;
        std::thread answering([&responder] {
            std::uint16_t searchPort = 0;
            responder.Receive(kResponderWaitMs, &searchPort);
            responder.SendTo(SsdpReply("127.0.0.2"), searchPort);
        });
        CUpnpSearchWnd search(LoopbackParameters(responder.Port(), robot.Port()));
        test::ResultArray results;
        *count = search.Search(results.Data());
        answering.join();
    };
    int counts[2] = {0, 0};
    std::thread first(searchAndAccept, &counts[0]);
    std::thread second(searchAndAccept, &counts[1]);
    first.join();
    second.join();
    EXPECT_EQ(counts[0], 1);
    EXPECT_EQ(counts[1], 1);
}

}  // namespace
}  // namespace seekwell
