// The live search's rules: which responders it fetches from, which it
// leaves out without a connection, and what a finished fetch makes of one.
#include "fetch/curl_wakeup_pair.h"
#include "live/fetch_verdict.h"
#include "live/reply_check.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace seekwell::live {
namespace {

constexpr const char kSender[] = "192.0.2.10";

in_addr Address(const char* text)
{
    in_addr address{};
    inet_aton(text, &address);
    return address;
}

std::string Reply(const std::string& location, const char* marker = "R0VA")
{
    return std::string("HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nUSN: uuid:") + marker + "-1::upnp:rootdevice\r\n" +
           location + "\r\n\r\n";
}

// eth0: 192.0.2.1/24 (also 198.51.100.1/24), the search's interface;
// ppp0: a point-to-point link to 203.0.113.9.
platform::Ipv4Interfaces TwoInterfaces()
{
    platform::Ipv4Interfaces interfaces;
    platform::Ipv4Link lan{Address("192.0.2.1"), Address("255.255.255.0")};
    platform::Ipv4Link second{Address("198.51.100.1"), Address("255.255.255.0")};
    platform::Ipv4Link link{Address("203.0.113.1"), Address("255.255.255.255"), true, Address("203.0.113.9")};
    interfaces.chosen = {{"eth0", 2, {lan, second}}, {"ppp0", 3, {link}}};
    interfaces.own = {Address("192.0.2.1").s_addr, Address("198.51.100.1").s_addr, Address("203.0.113.1").s_addr,
                      Address("10.0.0.7").s_addr};
    return interfaces;
}

TEST(ReplyCheck, FetchesOnlyFromTheSenderOnItsInterface)
{
    struct Case {
        const char* what;
        std::string text;
        const char* sender;
        unsigned int arrival;
        seekwell_skip_reason expected;
    };
    const std::string robot10 = Reply("LOCATION: http://192.0.2.10/ROVA.XML");
    const Case cases[] = {
        {"robot naming itself", robot10, kSender, 2, SEEKWELL_SKIP_NONE},
        {"itself, as inet_addr reads it", Reply("LOCATION: http://0xc0.0.2.10/x"), kSender, 2, SEEKWELL_SKIP_NONE},
        {"on the interface's second subnet", Reply("LOCATION: http://198.51.100.20/"), "198.51.100.20", 2,
         SEEKWELL_SKIP_NONE},
        {"the peer of a point-to-point link", Reply("LOCATION: http://203.0.113.9/"), "203.0.113.9", 3,
         SEEKWELL_SKIP_NONE},
        {"arrived where nothing is searched", robot10, kSender, 9, SEEKWELL_SKIP_OTHER_INTERFACE},
        {"forged from another network", Reply("LOCATION: http://198.18.0.5/"), "198.18.0.5", 2,
         SEEKWELL_SKIP_OFF_SUBNET},
        {"a LAN address that came in by the link", robot10, kSender, 3, SEEKWELL_SKIP_OFF_SUBNET},
        {"beside the link's peer", Reply("LOCATION: http://203.0.113.8/"), "203.0.113.8", 3, SEEKWELL_SKIP_OFF_SUBNET},
        {"this host on the LAN", Reply("LOCATION: http://192.0.2.1/"), "192.0.2.1", 2, SEEKWELL_SKIP_OWN_ADDRESS},
        {"this host, loopback", Reply("LOCATION: http://127.0.0.1/"), "127.0.0.1", 2, SEEKWELL_SKIP_OFF_SUBNET},
        {"origin before the marker", Reply("LOCATION: http://198.18.0.5/", "uuid"), "198.18.0.5", 2,
         SEEKWELL_SKIP_OFF_SUBNET},
        {"no marker", Reply("LOCATION: http://192.0.2.10/", "uuid"), kSender, 2, SEEKWELL_SKIP_NO_MARKER},
        {"no location", Reply("SERVER: x"), kSender, 2, SEEKWELL_SKIP_BAD_LOCATION},
        {"location in other letter case", Reply("Location: http://192.0.2.10/"), kSender, 2,
         SEEKWELL_SKIP_BAD_LOCATION},
        {"https", Reply("LOCATION: https://192.0.2.10/"), kSender, 2, SEEKWELL_SKIP_BAD_LOCATION},
        {"host name", Reply("LOCATION: http://robot.local/"), kSender, 2, SEEKWELL_SKIP_BAD_LOCATION},
        {"port", Reply("LOCATION: http://192.0.2.10:80/"), kSender, 2, SEEKWELL_SKIP_BAD_LOCATION},
        {"loopback", Reply("LOCATION: http://127.0.0.1/"), kSender, 2, SEEKWELL_SKIP_LOCATION_NOT_UNICAST},
        {"loopback net", Reply("LOCATION: http://127.1.2.3/"), kSender, 2, SEEKWELL_SKIP_LOCATION_NOT_UNICAST},
        {"unspecified", Reply("LOCATION: http://0.0.0.0/"), kSender, 2, SEEKWELL_SKIP_LOCATION_NOT_UNICAST},
        {"broadcast", Reply("LOCATION: http://255.255.255.255/"), kSender, 2, SEEKWELL_SKIP_LOCATION_NOT_UNICAST},
        {"group", Reply("LOCATION: http://239.255.255.250/"), kSender, 2, SEEKWELL_SKIP_LOCATION_NOT_UNICAST},
        {"other device", Reply("LOCATION: http://192.0.2.11/"), kSender, 2, SEEKWELL_SKIP_LOCATION_ELSEWHERE},
    };
    const platform::Ipv4Interfaces interfaces = TwoInterfaces();
    for (const Case& each : cases) {
        const ReplyOrigin origin = OriginOf(Address(each.sender), each.arrival, interfaces);
        const ReplyVerdict verdict = CheckReply(each.text.c_str(), origin);
        EXPECT_EQ(verdict.skip, each.expected) << each.what;
        EXPECT_EQ(verdict.reason.empty(), each.expected == SEEKWELL_SKIP_NONE) << each.what;
    }
}

TEST(ReplyCheck, LoopbackDevicesStandInForALanOnlyWhenAsked)
{
    platform::Ipv4Interfaces lo;
    lo.chosen = {{"lo", 1, {{Address("127.0.0.1"), Address("255.0.0.0")}}}};
    lo.own = {Address("127.0.0.1").s_addr};
    const std::string text = Reply("LOCATION: http://127.0.0.5/ROVA.XML");
    const in_addr device = Address("127.0.0.5");
    EXPECT_EQ(CheckReply(text.c_str(), OriginOf(device, 1, lo)).skip, SEEKWELL_SKIP_OWN_ADDRESS);
    EXPECT_EQ(CheckReply(text.c_str(), OriginOf(device, 1, lo, true), true).skip, SEEKWELL_SKIP_NONE);
    EXPECT_EQ(CheckReply(text.c_str(), OriginOf(Address("127.0.0.1"), 1, lo, true), true).skip,
              SEEKWELL_SKIP_OWN_ADDRESS);
}

TEST(ReplyCheck, KeepsTheLocationUrlToTheEndOfItsLineAndNoLonger)
{
    const platform::Ipv4Interfaces interfaces = TwoInterfaces();
    const ReplyOrigin origin = OriginOf(Address(kSender), 2, interfaces);
    EXPECT_EQ(CheckReply(Reply("LOCATION: http://192.0.2.10/ROVA.XML").c_str(), origin).location,
              "http://192.0.2.10/ROVA.XML");
    EXPECT_EQ(CheckReply(Reply("LOCATION: http://192.0.2.11/d.xml").c_str(), origin).location,
              "http://192.0.2.11/d.xml");
    const std::string longPath(6000, 'a');
    const ReplyVerdict cut = CheckReply(Reply("LOCATION: http://192.0.2.10/" + longPath).c_str(), origin);
    EXPECT_EQ(cut.skip, SEEKWELL_SKIP_NONE);
    EXPECT_EQ(cut.location, ("http://192.0.2.10/" + longPath).substr(0, kLocationKeptBytes));
}

TEST(FetchVerdict, ARobotUdnDecidesAndOtherwiseTheMostTellingReason)
{
    const std::string robot = "<root><UDN>uuid:R0VA-1</UDN></root>";
    const std::string printer = "<root><UDN>uuid:printer</UDN></root>";
    struct Case {
        const char* what;
        CURLcode code;
        long osErrno;
        bool connected;
        long status;
        bool bodyFull;
        const std::string& document;
        seekwell_skip_reason expected;
    };
    const Case cases[] = {
        {"robot", CURLE_OK, 0, true, 200, false, robot, SEEKWELL_SKIP_NONE},
        {"robot under an error status", CURLE_OK, 0, true, 404, false, robot, SEEKWELL_SKIP_NONE},
        {"robot, limit reached", CURLE_WRITE_ERROR, 0, true, 200, true, robot, SEEKWELL_SKIP_NONE},
        {"robot without a status line", CURLE_OK, 0, true, 0, false, robot, SEEKWELL_SKIP_NONE},
        {"other device", CURLE_OK, 0, true, 200, false, printer, SEEKWELL_SKIP_NO_ROBOT_UDN},
        {"other device, error status", CURLE_OK, 0, true, 500, false, printer, SEEKWELL_SKIP_HTTP_STATUS},
        {"limit reached first", CURLE_WRITE_ERROR, 0, true, 200, true, printer, SEEKWELL_SKIP_BODY_OVER_LIMIT},
        {"refused", CURLE_COULDNT_CONNECT, ECONNREFUSED, false, 0, false, printer, SEEKWELL_SKIP_CONNECT_REFUSED},
        {"unreachable", CURLE_COULDNT_CONNECT, EHOSTUNREACH, false, 0, false, printer, SEEKWELL_SKIP_FETCH_FAILED},
        {"no connection in time", CURLE_OPERATION_TIMEDOUT, 0, false, 0, false, printer, SEEKWELL_SKIP_CONNECT_TIMEOUT},
        {"silent after connecting", CURLE_ABORTED_BY_CALLBACK, 0, true, 0, false, printer, SEEKWELL_SKIP_FETCH_FAILED},
        {"cap on the whole fetch", CURLE_OPERATION_TIMEDOUT, 0, true, 200, false, printer, SEEKWELL_SKIP_FETCH_FAILED},
        {"no libcurl", CURLE_FAILED_INIT, 0, false, 0, false, printer, SEEKWELL_SKIP_FETCH_FAILED},
        {"reset mid-body", CURLE_RECV_ERROR, 0, true, 200, false, robot, SEEKWELL_SKIP_FETCH_FAILED},
    };
    for (const Case& each : cases) {
        platform::FetchOutcome outcome;
        outcome.code = each.code;
        outcome.osErrno = each.osErrno;
        outcome.connected = each.connected;
        outcome.httpStatus = each.status;
        outcome.bodyFull = each.bodyFull;
        outcome.succeeded = each.code == CURLE_OK || (each.code == CURLE_WRITE_ERROR && each.bodyFull);
        const FetchVerdict verdict = JudgeFetch(outcome, outcome.succeeded ? each.document : std::string());
        EXPECT_EQ(verdict.skip, each.expected) << each.what;
        EXPECT_EQ(verdict.httpStatus, each.expected == SEEKWELL_SKIP_HTTP_STATUS ? each.status : 0) << each.what;
    }
}

// libcurl records no errno when the connection's socket cannot be made: the
// reason still names the real cause.
TEST(FetchVerdict, ASocketThatCannotBeMadeIsToldByItsErrno)
{
    const platform::CurlFunctions* curl = platform::ReadyCurl();
    ASSERT_NE(curl, nullptr);
    platform::DescriptionTransfer transfer(*curl, "http://127.0.0.2/ROVA.XML", HttpFetchLimits{});
    ASSERT_TRUE(transfer.Ready());
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit full = saved;
    full.rlim_cur = 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &full), 0);
    CURLcode code;
    {
        const platform::OwnCurlCalls own;
        code = curl->easyPerform(transfer.Handle());
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    const platform::FetchOutcome outcome = transfer.Finish(code);
    EXPECT_EQ(outcome.osErrno, EMFILE);
    EXPECT_EQ(JudgeFetch(outcome, std::string()).reason,
              std::string("description fetch: could not connect: ") + std::strerror(EMFILE));
}

}  // namespace
}  // namespace seekwell::live
