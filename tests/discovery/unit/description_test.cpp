#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "builtin/upnp_search_wnd.h"
#include "fetch/description_fetch.h"
#include "result_records.h"
#include "scripted_http_peer.h"
#include "timing.h"

namespace seekwell {
namespace {

using test::Answer;
using test::Description;
using test::Response;
using test::ScriptedHttpPeer;

constexpr char kRobotUdn[] = "uuid:00000000-0000-1000-8000-R0VA00000001";  // 41 characters

TEST(ExtractTag, FirstOpeningAndFirstClosingTagDecide)
{
    auto tag = [](const std::string& document) { return CUpnpSearchWnd::ExtractTag("<a>", "</a>", document); };
    EXPECT_EQ(tag("x<a> one </a><a>two</a>"), " one ");
    EXPECT_EQ(tag("</a><a>late</a>"), "");
    EXPECT_EQ(tag("<a>open only"), "");
    EXPECT_EQ(tag("<A>case</A><a x=\"1\">attribute</a>"), "");
    EXPECT_EQ(tag("<a>&amp;\r\n</a>"), "&amp;\r\n");
}

// Decisions on documents, then fetches from loopback servers sharing one port.
class DescriptionRules : public ::testing::Test {
protected:
    void Accept(const char* address, const std::string& document)
    {
        search_->AcceptDescription(address, document, results_.Data());
    }
    const CDeviceEntry& Row(int i) const { return search_->Device(i); }
    int Count() const { return search_->ResultCount(); }
    ScriptedHttpPeer& Serve(const char* address, const std::string& response)
    {
        return Serve(address, Answer(response));
    }
    ScriptedHttpPeer& Serve(const char* address, test::PeerBehaviour behaviour)
    {
        peers_.push_back(std::make_unique<ScriptedHttpPeer>(address, params_.http.port, std::move(behaviour)));
        if (params_.http.port == 0) {
            params_.http.port = peers_.back()->Port();
            search_ = std::make_unique<CUpnpSearchWnd>(params_);
        }
        return *peers_.back();
    }
    std::string Fetch(const std::string& address)
    {
        return search_->FetchDescription("http://" + address + "/ROVA.XML");
    }

    SearchParameters params_{SsdpEndpoints{}, kSearchWindowMs, HttpFetchLimits{0}};
    std::vector<std::unique_ptr<ScriptedHttpPeer>> peers_;
    std::unique_ptr<CUpnpSearchWnd> search_ = std::make_unique<CUpnpSearchWnd>();
    test::ResultRecords results_;
};

TEST_F(DescriptionRules, AcceptedRobotFillsRowAndNextRecord)
{
    Accept("192.0.2.1", Description("uuid:plain", "R0VA only in the name"));
    Accept("192.0.2.2", Description("uuid:r0va", "marker in other case"));
    Accept("192.0.2.3", "<udn>R0VA</udn>");
    Accept("192.0.2.4", "</UDN><UDN>R0VA</UDN>");
    Accept("192.0.2.10", Description(kRobotUdn, "Rova One"));
    ASSERT_EQ(Count(), 1);
    EXPECT_STREQ(results_[0].pszName, "Rova One");
    EXPECT_STREQ(results_[0].pszAddress, "192.0.2.10");
    EXPECT_TRUE(results_.UntouchedFrom(1));
    EXPECT_STREQ(Row(0).m_szAddress, "192.0.2.10");
    EXPECT_EQ(Row(0).m_strManufacturer, "Maker");
    EXPECT_EQ(Row(0).m_strModelName, "Model 7");
    EXPECT_EQ(Row(0).m_strModelDescription, "Walking robot");
    EXPECT_EQ(Row(0).m_strUDN, "-R0VA00000001");  // last 13 of 41
    EXPECT_EQ(Row(0).m_strPresentationURL, "http://192.0.2.10/index.html");
    EXPECT_EQ(Row(0).m_strFriendlyName, "Rova One");
    EXPECT_TRUE(Row(1).IsFree());
}

TEST_F(DescriptionRules, FieldsAreCutRebuiltAndTakenFromFirstOccurrence)
{
    Accept("192.0.2.1", Description("R0VA-67890123", "a", ""));
    Accept("192.0.2.2", Description("xR0VA-67890123", "b", "app/index.html"));
    Accept("192.0.2.3", Description("R0VA-checked-before-the-cut", "c", "http://192.0.2.99/"));
    Accept("192.0.2.4", "<UDN>R0VA</UDN><friendlyName></friendlyName><friendlyName>2nd</friendlyName>");
    EXPECT_EQ(Row(0).m_strUDN, "R0VA-67890123");
    EXPECT_EQ(Row(1).m_strUDN, "R0VA-67890123");
    EXPECT_EQ(Row(2).m_strUDN, "efore-the-cut");
    EXPECT_EQ(Row(0).m_strPresentationURL, "http://192.0.2.1/");
    EXPECT_EQ(Row(1).m_strPresentationURL, "http://192.0.2.2/app/index.html");
    EXPECT_EQ(Row(2).m_strPresentationURL, "http://192.0.2.3/http://192.0.2.99/");
    ASSERT_EQ(Count(), 4);
    EXPECT_STREQ(results_[3].pszName, "");
}

TEST_F(DescriptionRules, StatusIgnoredPlainRequestDirectAndNoRedirect)
{
    ScriptedHttpPeer& lost = Serve("127.0.0.2", Response(Description(kRobotUdn, "Lost"), "", "404 Not Found"));
    ScriptedHttpPeer& moved = Serve("127.0.0.3",
                                    "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.4/ROVA.XML"
                                    "\r\nContent-Length: 5\r\n\r\nmoved");
    ScriptedHttpPeer& target = Serve("127.0.0.4", Response(Description(kRobotUdn, "target")));
    const char* proxies[] = {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"};
    for (const char* variable : proxies) {
        setenv(variable, "http://127.0.0.1:9", 1);  // nothing listens there
    }
    search_->ProcessAddress("127.0.0.2", results_.Data());
    EXPECT_EQ(Fetch("127.0.0.3"), "moved");
    for (const char* variable : proxies) {
        unsetenv(variable);
    }
    ASSERT_EQ(Count(), 1);
    EXPECT_STREQ(results_[0].pszName, "Lost");
    ASSERT_EQ(lost.Requests().size(), 1u);
    const std::string request = lost.Requests()[0];
    EXPECT_EQ(request.rfind("GET /ROVA.XML HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nUser-Agent: ROVA Session\r\n"), std::string::npos) << request;
    EXPECT_EQ(request.find("Accept"), std::string::npos) << request;
    EXPECT_EQ(moved.Requests().size(), 1u);
    EXPECT_TRUE(target.Requests().empty());
}

TEST_F(DescriptionRules, DocumentEndsAfter4069BytesOrAtFirstNul)
{
    // More than the socket buffers hold, so the server sees the rest go unread.
    const std::string hugeResponse = Response(std::string(32 << 20, 'b'));
    const ScriptedHttpPeer& huge = Serve("127.0.0.2", hugeResponse);
    Serve("127.0.0.3", Response(std::string("<UDN>R0VA</UDN>\0<friendlyName>x</friendlyName>", 46)));
    const std::string padding(4069, ' ');
    Serve("127.0.0.4", Response("<UDN>R0VA</UDN><friendlyName>far" + padding + "</friendlyName>"));
    Serve("127.0.0.5", Response("<friendlyName>x</friendlyName><UDN>R0VA" + padding + "</UDN>"));
    EXPECT_EQ(Fetch("127.0.0.2"), std::string(4069, 'b'));
    ASSERT_TRUE(huge.WaitUntilServed(1, std::chrono::seconds(5)));
    EXPECT_LT(huge.LastBytesSent(), hugeResponse.size());
    EXPECT_EQ(Fetch("127.0.0.3"), "<UDN>R0VA</UDN>");
    search_->ProcessAddress("127.0.0.4", results_.Data());
    search_->ProcessAddress("127.0.0.5", results_.Data());  // its UDN is cut off
    ASSERT_EQ(Count(), 1);
    EXPECT_STREQ(results_[0].pszName, "");
}

TEST_F(DescriptionRules, FailedFetchOrNamedAddressWritesNoRecord)
{
    Serve("127.0.0.1", Response(Description(kRobotUdn, "local")));
    Serve("127.0.0.2", Response(Description(kRobotUdn, "next")));
    search_->ProcessAddress("127.0.0.5", results_.Data());  // connection refused
    search_->ProcessAddress("localhost", results_.Data());  // not three dots
    search_->ProcessAddress("127.0.0.2", results_.Data());
    EXPECT_STREQ(Row(0).m_szAddress, "localhost");
    EXPECT_EQ(Row(0).m_strFriendlyName, "local");
    EXPECT_STREQ(Row(1).m_szAddress, "127.0.0.2");
    ASSERT_EQ(Count(), 1);
    EXPECT_STREQ(results_[0].pszAddress, "127.0.0.2");
    EXPECT_TRUE(results_.UntouchedFrom(1));
}

TEST_F(DescriptionRules, SilentServerGivesEmptyDocumentAfterReceiveTimeOut)
{
    params_.http.receiveTimeoutMs = 1000;
    Serve("127.0.0.2", test::NeverAnswer());
    const auto started = test::Clock::now();
    EXPECT_EQ(Fetch("127.0.0.2"), "");
    EXPECT_LT(test::Clock::now() - started, std::chrono::seconds(10));
    // The lazy global init above is safe on a host thread only with this bit.
    EXPECT_TRUE(platform::LibcurlInitIsThreadSafe());
}

}  // namespace
}  // namespace seekwell
