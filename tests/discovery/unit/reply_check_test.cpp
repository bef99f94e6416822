// The live search's reading of one reply: which responders it fetches from,
// and which it leaves out without a connection.
#include "live/reply_check.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace seekwell::live
