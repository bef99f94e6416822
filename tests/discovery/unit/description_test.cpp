#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "loopback.h"
#include "platform/internet_session.h"
#include "result_array.h"
#include "upnp_search_wnd.h"

namespace seekwell {
namespace {

using test::Description;
using test::HttpResponse;
using test::LoopbackHttpServer;

constexpr char kRobotUdn[] = "uuid:00000000-0000-1000-8000-R0VA00000001";  // 41 characters

std::string Tag(const std::string& open, const std::string& close, const std::string& document)
{
    return CUpnpSearchWnd::ExtractTag(open, close, document);
}

TEST(ExtractTag, TakesTextBetweenFirstOpeningAndFirstClosingTag)
{
    EXPECT_EQ(Tag("<a>", "</a>", "x<a> one </a><a>two</a>"), " one ");
    EXPECT_EQ(Tag("<a>", "</a>", "</a><a>late</a>"), "");  // closing tag first
    EXPECT_EQ(Tag("<a>", "</a>", "<a>open only"), "");
    EXPECT_EQ(Tag("<a>", "</a>", "<A>case</A>"), "");
    EXPECT_EQ(Tag("<a>", "</a>", "<a x=\"1\">attr</a>"), "");
    EXPECT_EQ(Tag("<a>", "</a>", "<a>&amp;\r\n</a>"), "&amp;\r\n");
    EXPECT_EQ(Tag("<a>", "</a>", "<a></a>"), "");
}

// Decisions on a fetched document, without HTTP.
class Acceptance : public ::testing::Test {
protected:
    void Accept(const char* address, const std::string& document)
    {
        m_Search->AcceptDescription(address, document, m_Results.Data());
    }
    const CDeviceEntry& Row(int i) const { return m_Search->Device(i); }

    std::unique_ptr<CUpnpSearchWnd> m_Search = std::make_unique<CUpnpSearchWnd>();
    test::ResultArray m_Results;
};

TEST_F(Acceptance, RobotRowHoldsFieldsAndRecordHoldsNameAndAddress)
{
    Accept("192.0.2.10", Description(kRobotUdn, "Rova One"));
    ASSERT_EQ(m_Search->ResultCount(), 1);
    EXPECT_STREQ(m_Results[0].pszName, "Rova One");
    EXPECT_STREQ(m_Results[0].pszAddress, "192.0.2.10");
    EXPECT_TRUE(m_Results.UntouchedFrom(1));
    EXPECT_STREQ(Row(0).m_szAddress, "192.0.2.10");
    EXPECT_EQ(Row(0).m_strManufacturer, "Maker");
    EXPECT_EQ(Row(0).m_strModelName, "Model 7");
    EXPECT_EQ(Row(0).m_strModelDescription, "Walking robot");
    EXPECT_EQ(Row(0).m_strUDN, "-R0VA00000001");  // last 13 of 41
    EXPECT_EQ(Row(0).m_strUDN.size(), 13u);
    EXPECT_EQ(Row(0).m_strPresentationURL, "http://192.0.2.10/index.html");
    EXPECT_EQ(Row(0).m_strFriendlyName, "Rova One");
    EXPECT_TRUE(Row(1).IsFree());
}

TEST_F(Acceptance, MarkerMustBeInUdnWithItsCase)
{
    Accept("192.0.2.1", Description("uuid:plain-device", "R0VA in the name"));
    Accept("192.0.2.2", Description("uuid:r0va-lower", "lower"));
    Accept("192.0.2.3", "<friendlyName>x</friendlyName><udn>R0VA</udn>");
    Accept("192.0.2.4", "</UDN><UDN>R0VA</UDN>");  // closing tag first: empty UDN
    Accept("192.0.2.5", "");
    EXPECT_EQ(m_Search->ResultCount(), 0);
    EXPECT_TRUE(Row(0).IsFree());
    EXPECT_TRUE(m_Results.UntouchedFrom(0));
}

TEST_F(Acceptance, UdnKeepsLastThirteenCharacters)
{
    Accept("192.0.2.1", Description("R0VA-67890123", "thirteen"));
    Accept("192.0.2.2", Description("xR0VA-67890123", "fourteen"));
    // The marker test is made on the whole UDN, before the cut.
    Accept("192.0.2.3", Description("R0VA-rest-is-longer-than-13", "cut marker"));
    EXPECT_EQ(Row(0).m_strUDN, "R0VA-67890123");
    EXPECT_EQ(Row(1).m_strUDN, "R0VA-67890123");
    EXPECT_EQ(Row(2).m_strUDN, "onger-than-13");
    EXPECT_EQ(m_Search->ResultCount(), 3);
}

TEST_F(Acceptance, PresentationUrlIsRebuiltOnTheAddress)
{
    Accept("192.0.2.1", Description(kRobotUdn, "a", ""));
    Accept("192.0.2.2", Description(kRobotUdn, "b", "app/index.html"));
    Accept("192.0.2.3", Description(kRobotUdn, "c", "http://192.0.2.99/"));
    EXPECT_EQ(Row(0).m_strPresentationURL, "http://192.0.2.1/");
    EXPECT_EQ(Row(1).m_strPresentationURL, "http://192.0.2.2/app/index.html");
    EXPECT_EQ(Row(2).m_strPresentationURL, "http://192.0.2.3/http://192.0.2.99/");
}

TEST_F(Acceptance, FirstOccurrenceWinsAndEmptyNameStillCounts)
{
    Accept("192.0.2.1", "<UDN>R0VA</UDN><friendlyName>first</friendlyName>"
                        "<friendlyName>second</friendlyName>");
    Accept("192.0.2.2", "<friendlyName></friendlyName><UDN>R0VA</UDN>");
    Accept("192.0.2.3", "<UDN>R0VA</UDN>");
    ASSERT_EQ(m_Search->ResultCount(), 3);
    EXPECT_STREQ(m_Results[0].pszName, "first");
    EXPECT_STREQ(m_Results[1].pszName, "");
    EXPECT_STREQ(m_Results[2].pszName, "");
    EXPECT_STREQ(m_Results[2].pszAddress, "192.0.2.3");
}

TEST_F(Acceptance, OnlyThreeDotAddressesAreReported)
{
    Accept("robot", Description(kRobotUdn, "named"));
    Accept("192.0.2.1.5", Description(kRobotUdn, "four dots"));
    Accept("192.0.2.7", Description(kRobotUdn, "reported"));
    EXPECT_STREQ(Row(0).m_szAddress, "robot");
    EXPECT_STREQ(Row(1).m_szAddress, "192.0.2.1.5");
    ASSERT_EQ(m_Search->ResultCount(), 1);
    EXPECT_STREQ(m_Results[0].pszName, "reported");
    EXPECT_STREQ(m_Results[0].pszAddress, "192.0.2.7");
}

// Fetches against an HTTP server on a loopback address.
class DescriptionFetch : public Acceptance {
protected:
    // All servers of a test share one port, as robots share port 80.
    LoopbackHttpServer& AddServer(const std::string& response, const char* address = "127.0.0.2",
                                  bool silent = false)
    {
        m_Servers.push_back(std::make_unique<LoopbackHttpServer>(address, m_Params.http.port,
                                                                 response, silent));
        if (m_Params.http.port == 0) {
            m_Params.http.port = m_Servers.back()->Port();
            m_Search = std::make_unique<CUpnpSearchWnd>(m_Params);
        }
        return *m_Servers.back();
    }
    std::string Fetch(const char* address = "127.0.0.2")
    {
        return m_Search->FetchDescription(std::string("http://") + address + "/ROVA.XML");
    }

    SearchParameters m_Params{SsdpEndpoints{}, kSearchWindowMs, HttpFetchLimits{0}};
    std::vector<std::unique_ptr<LoopbackHttpServer>> m_Servers;
};

TEST_F(DescriptionFetch, StatusIsIgnoredAndRequestIsPlain)
{
    LoopbackHttpServer& server = AddServer(HttpResponse(Description(kRobotUdn, "Lost"), "404 Not Found"));
    m_Search->ProcessAddress("127.0.0.2", m_Results.Data());
    ASSERT_EQ(m_Search->ResultCount(), 1);
    EXPECT_STREQ(m_Results[0].pszName, "Lost");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& request = requests[0];
    EXPECT_EQ(request.rfind("GET /ROVA.XML HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nUser-Agent: ROVA Session\r\n"), std::string::npos) << request;
    EXPECT_EQ(request.find("Accept"), std::string::npos) << request;
}

TEST_F(DescriptionFetch, BodyIsCutAt4069BytesAndAtFirstNul)
{
    AddServer(HttpResponse(std::string(5000, 'a')), "127.0.0.2");
    AddServer(HttpResponse(std::string(1 << 20, 'b')), "127.0.0.3");  // the rest is never read
    AddServer(HttpResponse(std::string("<UDN>R0VA</UDN>\0<friendlyName>x</friendlyName>", 46)),
              "127.0.0.4");
    EXPECT_EQ(Fetch("127.0.0.2"), std::string(4069, 'a'));
    EXPECT_EQ(Fetch("127.0.0.3"), std::string(4069, 'b'));
    EXPECT_EQ(Fetch("127.0.0.4"), "<UDN>R0VA</UDN>");
}

TEST_F(DescriptionFetch, ClosingTagBeyondTheCutEmptiesTheField)
{
    const std::string padding(4069, ' ');
    AddServer(HttpResponse("<UDN>R0VA</UDN><friendlyName>far" + padding + "</friendlyName>"),
              "127.0.0.2");
    AddServer(HttpResponse("<friendlyName>x</friendlyName><UDN>R0VA" + padding + "</UDN>"),
              "127.0.0.3");
    m_Search->ProcessAddress("127.0.0.2", m_Results.Data());
    m_Search->ProcessAddress("127.0.0.3", m_Results.Data());
    ASSERT_EQ(m_Search->ResultCount(), 1);
    EXPECT_STREQ(m_Results[0].pszName, "");
}

TEST_F(DescriptionFetch, ProxySettingsAndRedirectsAreNotFollowed)
{
    LoopbackHttpServer& origin = AddServer("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.3/ROVA.XML"
                                           "\r\nContent-Length: 5\r\n\r\nmoved");
    LoopbackHttpServer& target = AddServer(HttpResponse(Description(kRobotUdn, "moved")), "127.0.0.3");
    const std::string deadProxy = "http://127.0.0.1:9";
    for (const char* variable : {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"}) {
        setenv(variable, deadProxy.c_str(), 1);
    }
    EXPECT_EQ(Fetch(), "moved");
    for (const char* variable : {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"}) {
        unsetenv(variable);
    }
    EXPECT_EQ(origin.Requests().size(), 1u);
    EXPECT_TRUE(target.Requests().empty());
}

TEST_F(DescriptionFetch, RefusedConnectionYieldsNothingAndNextAddressStillCounts)
{
    AddServer(HttpResponse(Description(kRobotUdn, "next")));
    m_Search->ProcessAddress("127.0.0.5", m_Results.Data());  // nothing listens there
    EXPECT_TRUE(m_Search->Device(0).IsFree());
    m_Search->ProcessAddress("127.0.0.2", m_Results.Data());
    ASSERT_EQ(m_Search->ResultCount(), 1);
    EXPECT_STREQ(m_Results[0].pszAddress, "127.0.0.2");
    EXPECT_STREQ(m_Search->Device(0).m_szAddress, "127.0.0.2");
}

TEST_F(DescriptionFetch, NamedAddressFillsRowWithoutRecord)
{
    AddServer(HttpResponse(Description(kRobotUdn, "local")), "127.0.0.1");
    m_Search->ProcessAddress("localhost", m_Results.Data());
    EXPECT_STREQ(m_Search->Device(0).m_szAddress, "localhost");
    EXPECT_EQ(m_Search->Device(0).m_strFriendlyName, "local");
    EXPECT_EQ(m_Search->ResultCount(), 0);
    EXPECT_TRUE(m_Results.UntouchedFrom(0));
}

TEST_F(DescriptionFetch, SilentServerGivesEmptyDocumentAfterReceiveTimeOut)
{
    m_Params.http.receiveTimeoutMs = 1000;
    AddServer(HttpResponse(Description(kRobotUdn, "never")), "127.0.0.2", true);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Fetch(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST(Libcurl, GlobalInitIsThreadSafe)
{
    // What makes the lazy global init on a host's thread safe.
    EXPECT_TRUE(platform::LibcurlInitIsThreadSafe());
}

}  // namespace
}  // namespace seekwell
