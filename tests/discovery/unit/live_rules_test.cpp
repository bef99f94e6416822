// The live search's rules: which responders it fetches from, which it
// leaves out without a connection, and what a finished fetch makes of one.
#include "live/fetch_verdict.h"
#include "live/reply_check.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
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

TEST(ReplyCheck, FetchesOnlyFromTheSenderOnItsInterface)
{
    struct Case {
        const char* what;
        std::string text;
        bool onSearchInterface;
        seekwell_skip_reason expected;
    };
    const Case cases[] = {
        {"robot naming itself", Reply("LOCATION: http://192.0.2.10/ROVA.XML"), true, SEEKWELL_SKIP_NONE},
        {"itself, as inet_addr reads it", Reply("LOCATION: http://0xc0.0.2.10/x"), true, SEEKWELL_SKIP_NONE},
        {"no marker", Reply("LOCATION: http://192.0.2.10/", "uuid"), true, SEEKWELL_SKIP_NO_MARKER},
        {"other interface", Reply("LOCATION: http://192.0.2.10/"), false, SEEKWELL_SKIP_OTHER_INTERFACE},
        {"no location", Reply("SERVER: x"), true, SEEKWELL_SKIP_BAD_LOCATION},
        {"location in other letter case", Reply("Location: http://192.0.2.10/"), true, SEEKWELL_SKIP_BAD_LOCATION},
        {"https", Reply("LOCATION: https://192.0.2.10/"), true, SEEKWELL_SKIP_BAD_LOCATION},
        {"host name", Reply("LOCATION: http://robot.local/"), true, SEEKWELL_SKIP_BAD_LOCATION},
        {"port", Reply("LOCATION: http://192.0.2.10:80/"), true, SEEKWELL_SKIP_BAD_LOCATION},
        {"loopback", Reply("LOCATION: http://127.0.0.1/"), true, SEEKWELL_SKIP_LOCATION_NOT_UNICAST},
        {"loopback net", Reply("LOCATION: http://127.1.2.3/"), true, SEEKWELL_SKIP_LOCATION_NOT_UNICAST},
        {"unspecified", Reply("LOCATION: http://0.0.0.0/"), true, SEEKWELL_SKIP_LOCATION_NOT_UNICAST},
        {"broadcast", Reply("LOCATION: http://255.255.255.255/"), true, SEEKWELL_SKIP_LOCATION_NOT_UNICAST},
        {"group", Reply("LOCATION: http://239.255.255.250/"), true, SEEKWELL_SKIP_LOCATION_NOT_UNICAST},
        {"other device", Reply("LOCATION: http://192.0.2.11/"), true, SEEKWELL_SKIP_LOCATION_ELSEWHERE},
    };
    for (const Case& each : cases) {
        const ReplyVerdict verdict = CheckReply(each.text.c_str(), Address(kSender), each.onSearchInterface);
        EXPECT_EQ(verdict.skip, each.expected) << each.what;
        EXPECT_EQ(verdict.reason.empty(), each.expected == SEEKWELL_SKIP_NONE) << each.what;
    }
}

TEST(ReplyCheck, KeepsTheLocationUrlToTheEndOfItsLine)
{
    EXPECT_EQ(CheckReply(Reply("LOCATION: http://192.0.2.10/ROVA.XML").c_str(), Address(kSender), true).location,
              "http://192.0.2.10/ROVA.XML");
    EXPECT_EQ(CheckReply(Reply("LOCATION: http://192.0.2.11/d.xml").c_str(), Address(kSender), true).location,
              "http://192.0.2.11/d.xml");
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

}  // namespace
}  // namespace seekwell::live
