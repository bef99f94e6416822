#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "discovery_call.h"
#include "loopback.h"
#include "path_choice.h"
#include "upnp_search_wnd.h"

namespace seekwell {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr unsigned int kShortWindowMs = 600;
constexpr PlatformFacts kBuiltInFacts{false, kProbeAnswerUnknown};

// Aimed at a loopback responder, listening on any free port, with a short window.
SearchParameters LoopbackParameters(std::uint16_t responderPort, std::uint16_t httpPort = 0)
{
    return SearchParameters{SsdpEndpoints{"127.0.0.1", responderPort, 0}, kShortWindowMs,
                            HttpFetchLimits{httpPort}};
}

TEST(Search, FindsRobotsOnLoopbackAndLeavesOtherRecordsAlone)
{
    using test::Description;
    using test::HttpResponse;
    test::LoopbackHttpServer robotA("127.0.0.2", 0, HttpResponse(Description("R0VA-A", "Alpha")));
    test::LoopbackHttpServer other("127.0.0.3", robotA.Port(), HttpResponse(Description("plain", "TV")));
    test::LoopbackHttpServer robotB("127.0.0.4", robotA.Port(), HttpResponse(Description("R0VA-B", "Beta")));
    test::UdpEndpoint responder;
    std::string msearch;
    std::thread answering([&] {
        std::uint16_t searchPort = 0;
        msearch = responder.Receive(5000, &searchPort);
        for (const char* host : {"127.0.0.2", "127.0.0.3", "127.0.0.2", "127.0.0.4"}) {
            responder.SendTo(std::string("R0VA\r\nLOCATION: http://") + host + "/ROVA.XML\r\n\r\n", searchPort);
        }
    });
    CUpnpSearchWnd search(LoopbackParameters(responder.Port(), robotA.Port()));
    test::ResultRecords results;
    const auto started = steady_clock::now();
    const int found = search.Search(results.Data());
    EXPECT_GE(steady_clock::now() - started, milliseconds(kShortWindowMs));
    answering.join();

    EXPECT_EQ(msearch, "M-SEARCH * HTTP/1.1\r\nHost:239.255.255.250:1900\r\nST:upnp:rootdevice\r\n"
                       "Man:\"ssdp:discover\"\r\nMX:10\r\n\r\n");
    EXPECT_EQ(msearch.size(), 98u);
    ASSERT_EQ(found, 2);
    EXPECT_STREQ(results[0].pszName, "Alpha");
    EXPECT_STREQ(results[0].pszAddress, "127.0.0.2");
    EXPECT_STREQ(results[1].pszName, "Beta");
    EXPECT_STREQ(results[1].pszAddress, "127.0.0.4");
    EXPECT_TRUE(results.UntouchedFrom(2));
    EXPECT_EQ(robotA.Requests().size(), 1u);  // heard twice, fetched once
    EXPECT_EQ(other.Requests().size(), 1u);
}

TEST(Search, RunsItsWindowWhenThePortIsTaken)
{
    test::UdpEndpoint holder("0.0.0.0");
    test::UdpEndpoint responder;
    SearchParameters params = LoopbackParameters(responder.Port());
    params.ssdp.bindPort = holder.Port();
    CUpnpSearchWnd search(params);
    test::ResultRecords results;
    const auto started = steady_clock::now();
    EXPECT_EQ(search.Search(results.Data()), 0);
    EXPECT_GE(steady_clock::now() - started, milliseconds(kShortWindowMs));
    EXPECT_EQ(responder.Receive(0).size(), 98u);  // sent from an implicit port
}

TEST(DiscoveryCall, PathChoiceRowByRow)
{
    EXPECT_EQ(ProbeOsVersion(), kProbeAnswerUnknown);
    for (int probe : {-1, 0, 1, 2}) {
        EXPECT_EQ(ChooseDiscoveryPath(true, probe), DiscoveryPath::Finder) << probe;
        EXPECT_EQ(ChooseDiscoveryPath(false, probe), probe == 2 ? DiscoveryPath::NoSearch : DiscoveryPath::BuiltIn);
    }
    test::UdpEndpoint sink;
    const SearchParameters params = LoopbackParameters(sink.Port());
    test::ResultRecords results;
    EXPECT_EQ(RunDiscoveryCall(nullptr, params, kBuiltInFacts), kNoSearch);
    EXPECT_EQ(RunDiscoveryCall(results.Data(), params, PlatformFacts{false, kProbeAnswerNoSearch}), kNoSearch);
    EXPECT_TRUE(results.UntouchedFrom(0));
    EXPECT_EQ(sink.Receive(0), "");  // neither call sent anything
}

TEST(DiscoveryCall, OverlappingCallsRunOneAfterTheOther)
{
    test::UdpEndpoint sink;
    const SearchParameters params = LoopbackParameters(sink.Port());
    int counts[2] = {-2, -2};
    auto call = [&params](int* count) {
        test::ResultRecords results;
        *count = RunDiscoveryCall(results.Data(), params, kBuiltInFacts);
    };
    const auto started = steady_clock::now();
    std::thread first(call, &counts[0]);
    std::thread second(call, &counts[1]);
    first.join();
    second.join();
    EXPECT_EQ(counts[0], 0);
    EXPECT_EQ(counts[1], 0);
    EXPECT_GE(steady_clock::now() - started, milliseconds(2 * kShortWindowMs));
}

}  // namespace
}  // namespace seekwell
