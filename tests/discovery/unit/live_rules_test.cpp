// The live search's rules: which datagrams it believes and fetches from,
// which it leaves out without a connection, where a responder is known, and
// what a finished fetch makes of one.
#include "fetch/curl_wakeup_pair.h"
#include "live/fetch_verdict.h"
#include "live/intake.h"
#include "live/search_loop.h"
#include "live/ssdp_message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace seekwell::live {
namespace {

constexpr const char kSender[] = "192.0.2.10";
constexpr unsigned int kUp = IFF_UP | IFF_RUNNING | IFF_MULTICAST;

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

std::string Notify(const char* kind, const char* location = "LOCATION: http://192.0.2.10/")
{
    return std::string("NOTIFY * HTTP/1.1\r\nNTS: ssdp:") + kind + "\r\nUSN: uuid:R0VA-1::upnp:rootdevice\r\n" +
           location + "\r\n\r\n";
}

platform::Ipv4Link Link(const char* address, unsigned int prefix, const char* peer = "0.0.0.0")
{
    return platform::Ipv4Link{Address(address), prefix, Address(peer)};
}

// eth0: 192.0.2.1/24 and a labelled 198.51.100.1/24; ppp0: a point-to-point
// link to 203.0.113.9; tun0: point-to-point without a peer, a /24; eth1:
// down. The routed targets 198.19.5.0/24 lie beyond them all.
struct Scene {
    platform::Ipv4Listing listing;
    InterfacePlan plan{""};
    SearchTargets targets;
    Scene()
    {
        listing.interfaces = {
            {2, "eth0", kUp, {Link("192.0.2.1", 24), Link("198.51.100.1", 24)}},
            {3, "ppp0", kUp | IFF_POINTOPOINT, {Link("203.0.113.1", 32, "203.0.113.9")}},
            {4, "tun0", kUp | IFF_POINTOPOINT, {Link("10.9.0.1", 24)}},
            {5, "eth1", IFF_MULTICAST, {Link("10.0.0.7", 24)}},
        };
        (void)plan.Follow(listing);
        const char* const named[] = {"198.19.5.0/24", nullptr};
        EXPECT_EQ(ReadTargets(named, false, targets), 0);
    }
    IntakeScene View(bool loopbackDevices = false) const
    {
        return IntakeScene{listing, plan, targets, loopbackDevices};
    }
};

TEST(Intake, BelievesADatagramOnlyFromTheSubnetItCameInOnAndFetchesOnlyFromTheSender)
{
    using Kind = Judged::Kind;
    struct Case {
        const char* what;
        std::string text;
        const char* sender;
        unsigned int arrival;
        bool multicast;
        Kind kind;
        seekwell_skip_reason skip;
        unsigned int knownOn;  // the interface a believed responder is known by
    };
    const std::string robot10 = Reply("LOCATION: http://192.0.2.10/ROVA.XML");
    const auto kNone = SEEKWELL_SKIP_NONE;
    const auto kOff = SEEKWELL_SKIP_OFF_SUBNET;
    const auto kNotUnicast = SEEKWELL_SKIP_LOCATION_NOT_UNICAST;
    const Case cases[] = {
        {"robot naming itself", robot10, kSender, 2, false, Kind::Responder, kNone, 2},
        {"itself, as inet_addr reads it", Reply("LOCATION: http://0xc0.0.2.10/x"), kSender, 2, false, Kind::Responder,
         kNone, 2},
        {"LOCATION as every search reads it", Reply("Location: http://192.0.2.10/"), kSender, 2, false, Kind::Skipped,
         SEEKWELL_SKIP_BAD_LOCATION, 0},
        {"on the interface's labelled subnet", Reply("LOCATION: http://198.51.100.20/"), "198.51.100.20", 2, false,
         Kind::Responder, kNone, 2},
        {"the peer of a point-to-point link", Reply("LOCATION: http://203.0.113.9/"), "203.0.113.9", 3, false,
         Kind::Responder, kNone, 3},
        {"a point-to-point link without a peer is its subnet", Reply("LOCATION: http://10.9.0.44/"), "10.9.0.44", 4,
         false, Kind::Responder, kNone, 4},
        {"a target beyond the router, unicast", Reply("LOCATION: http://198.19.5.11/"), "198.19.5.11", 2, false,
         Kind::Responder, kNone, 0},
        {"a target's announcement never crosses a router", Notify("alive", "LOCATION: http://198.19.5.11/"),
         "198.19.5.11", 2, true, Kind::Nothing, kNone, 0},
        {"a target's byebye neither", Notify("byebye"), "198.19.5.11", 2, true, Kind::Nothing, kNone, 0},
        {"nor one sent to the search's own port", Notify("byebye"), "198.19.5.11", 2, false, Kind::Nothing, kNone, 0},
        {"an announcement on its subnet", Notify("alive"), kSender, 2, true, Kind::Responder, kNone, 2},
        {"a byebye on its subnet", Notify("byebye"), kSender, 2, true, Kind::Byebye, kNone, 0},
        {"another program's search heard on the group", "M-SEARCH * HTTP/1.1\r\n\r\n", kSender, 2, true, Kind::Nothing,
         kNone, 0},
        {"an announcement failing a check is no news", Notify("alive", "LOCATION: http://192.0.2.11/"), kSender, 2,
         true, Kind::Nothing, kNone, 0},
        {"arrived where nothing is searched", robot10, kSender, 5, false, Kind::Skipped, SEEKWELL_SKIP_OTHER_INTERFACE,
         0},
        {"forged from another network", Reply("LOCATION: http://198.18.0.5/"), "198.18.0.5", 2, false, Kind::Skipped,
         kOff, 0},
        {"a LAN address that came in by the link", robot10, kSender, 3, false, Kind::Skipped, kOff, 0},
        {"beside the link's peer", Reply("LOCATION: http://203.0.113.8/"), "203.0.113.8", 3, false, Kind::Skipped, kOff,
         0},
        {"this host on the LAN", Reply("LOCATION: http://192.0.2.1/"), "192.0.2.1", 2, false, Kind::Skipped,
         SEEKWELL_SKIP_OWN_ADDRESS, 0},
        {"this host on a link that is down", Reply("LOCATION: http://10.0.0.7/"), "10.0.0.7", 5, false, Kind::Skipped,
         SEEKWELL_SKIP_OTHER_INTERFACE, 0},
        {"this host, loopback", Reply("LOCATION: http://127.0.0.1/"), "127.0.0.1", 2, false, Kind::Skipped, kOff, 0},
        {"origin before the marker", Reply("LOCATION: http://198.18.0.5/", "uuid"), "198.18.0.5", 2, false,
         Kind::Skipped, kOff, 0},
        {"no marker", Reply("LOCATION: http://192.0.2.10/", "uuid"), kSender, 2, false, Kind::Skipped,
         SEEKWELL_SKIP_NO_MARKER, 0},
        {"no location", Reply("SERVER: x"), kSender, 2, false, Kind::Skipped, SEEKWELL_SKIP_BAD_LOCATION, 0},
        {"https", Reply("LOCATION: https://192.0.2.10/"), kSender, 2, false, Kind::Skipped, SEEKWELL_SKIP_BAD_LOCATION,
         0},
        {"host name", Reply("LOCATION: http://robot.local/"), kSender, 2, false, Kind::Skipped,
         SEEKWELL_SKIP_BAD_LOCATION, 0},
        {"port", Reply("LOCATION: http://192.0.2.10:80/"), kSender, 2, false, Kind::Skipped, SEEKWELL_SKIP_BAD_LOCATION,
         0},
        {"loopback", Reply("LOCATION: http://127.0.0.1/"), kSender, 2, false, Kind::Skipped, kNotUnicast, 0},
        {"loopback net", Reply("LOCATION: http://127.1.2.3/"), kSender, 2, false, Kind::Skipped, kNotUnicast, 0},
        {"unspecified", Reply("LOCATION: http://0.0.0.0/"), kSender, 2, false, Kind::Skipped, kNotUnicast, 0},
        {"broadcast", Reply("LOCATION: http://255.255.255.255/"), kSender, 2, false, Kind::Skipped, kNotUnicast, 0},
        {"group", Reply("LOCATION: http://239.255.255.250/"), kSender, 2, false, Kind::Skipped, kNotUnicast, 0},
        {"other device", Reply("LOCATION: http://192.0.2.11/"), kSender, 2, false, Kind::Skipped,
         SEEKWELL_SKIP_LOCATION_ELSEWHERE, 0},
    };
    const Scene scene;
    for (const Case& each : cases) {
        const Judged judged =
            JudgeArrival(Arrival{each.text.c_str(), Address(each.sender), each.arrival, each.multicast}, scene.View());
        EXPECT_EQ(judged.kind, each.kind) << each.what;
        EXPECT_EQ(judged.skip, each.skip) << each.what;
        EXPECT_EQ(judged.reason.empty(), each.kind != Kind::Skipped) << each.what;
        EXPECT_EQ(judged.heard.interfaceIndex, each.knownOn) << each.what;
    }
    // A left-out reply names the interface it came in by, searched or not.
    const Judged other = JudgeArrival(Arrival{robot10.c_str(), Address(kSender), 5, false}, scene.View());
    EXPECT_EQ(other.heard.interfaceName, "eth1");
    const Judged believed = JudgeArrival(Arrival{robot10.c_str(), Address(kSender), 2, false}, scene.View());
    EXPECT_EQ(believed.heard.udn, "uuid:R0VA-1");
    EXPECT_EQ(believed.heard.route.interfaceName, "eth0");
}

TEST(Intake, AsksTargetsThatAreNotThisHostOverTheirLinkOrTheRoutes)
{
    const Scene scene;
    const Judged own = JudgeAsked(Address("10.0.0.7"), scene.View());
    EXPECT_EQ(own.skip, SEEKWELL_SKIP_OWN_ADDRESS);
    const Judged onLink = JudgeAsked(Address("192.0.2.40"), scene.View());
    EXPECT_EQ(onLink.kind, Judged::Kind::Responder);
    EXPECT_EQ(onLink.heard.interfaceIndex, 2u);
    EXPECT_EQ(onLink.heard.location, "http://192.0.2.40/ROVA.XML");
    const Judged beyond = JudgeAsked(Address("198.19.5.11"), scene.View());
    EXPECT_EQ(beyond.heard.interfaceIndex, 0u);
    EXPECT_TRUE(beyond.heard.route.interfaceName.empty());
}

TEST(Intake, ARepeatOfTheSameDatagramInARoundIsNotJudgedAgain)
{
    const std::string robot = Reply("LOCATION: http://192.0.2.10/");
    const std::string other = Reply("LOCATION: http://192.0.2.10/b");
    RepeatFilter filter;
    const auto repeats = [&filter](const std::string& text, unsigned int interface, int round) {
        return filter.Repeats(Arrival{text.c_str(), Address(kSender), interface, false}, text.size(), round);
    };
    EXPECT_FALSE(repeats(robot, 2, 0));
    EXPECT_TRUE(repeats(robot, 2, 0));
    EXPECT_FALSE(repeats(robot, 3, 0)) << "by another interface";
    EXPECT_FALSE(repeats(robot, 2, 0)) << "back on the first";
    EXPECT_FALSE(repeats(other, 2, 0)) << "other bytes";
    EXPECT_FALSE(repeats(other, 2, 1)) << "the next round";
    EXPECT_TRUE(repeats(other, 2, 1));
    filter.Forget();  // the interfaces changed
    EXPECT_FALSE(repeats(other, 2, 1));
}

TEST(Intake, LoopbackDevicesStandInForALanOnlyWhenAsked)
{
    Scene scene;
    scene.listing.interfaces = {{1, "lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, {Link("127.0.0.1", 8)}}};
    scene.plan = InterfacePlan("lo");
    (void)scene.plan.Follow(scene.listing);
    const std::string text = Reply("LOCATION: http://127.0.0.5/ROVA.XML");
    const auto skipOf = [&](const char* sender, bool loopbackDevices) {
        return JudgeArrival(Arrival{text.c_str(), Address(sender), 1, false}, scene.View(loopbackDevices)).skip;
    };
    EXPECT_EQ(skipOf("127.0.0.5", false), SEEKWELL_SKIP_OWN_ADDRESS);
    EXPECT_EQ(skipOf("127.0.0.5", true), SEEKWELL_SKIP_NONE);
    EXPECT_EQ(skipOf("127.0.0.1", true), SEEKWELL_SKIP_OWN_ADDRESS);
}

TEST(SsdpMessage, ReadsWhatADeviceSays)
{
    using Kind = SsdpMessage::Kind;
    struct Case {
        const char* text;
        Kind kind;
        const char* udn;
        const char* bootId;
        const char* location;
    };
    const Case cases[] = {
        {"NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\n"
         "USN: uuid:R0VA-1::upnp:rootdevice\r\nBOOTID.UPNP.ORG: 7\r\nLOCATION: http://a/\r\n\r\n",
         Kind::Alive, "uuid:R0VA-1", "7", "http://a/"},
        {"NOTIFY * HTTP/1.1\r\nnts:  ssdp:byebye \r\nusn: uuid:R0VA-1\r\n\r\n", Kind::Byebye, "uuid:R0VA-1", "", ""},
        {"NOTIFY * HTTP/1.1\nNTS: ssdp:update\nUSN: uuid:x\n\n", Kind::Alive, "uuid:x", "", ""},
        {"NOTIFY * HTTP/1.1\r\nNTS: ssdp:propchange\r\n\r\n", Kind::Other, "", "", ""},
        {"NOTIFY * HTTP/1.1\r\nUSN: uuid:x\r\n\r\n", Kind::Other, "uuid:x", "", ""},
        {"NOTIFY * HTTP/1.1\r\n\r\nNTS: ssdp:alive\r\n\r\n", Kind::Other, "", "", ""},  // after the headers
        {"HTTP/1.1 200 OK\r\nLOCATION: http://b/x\r\nBootId.UPnP.org: 3\r\n\r\n", Kind::Reply, "", "3", "http://b/x"},
        {"HTTP/1.1 200 OK\r\nLocation: http://b/x\r\n\r\n", Kind::Reply, "", "", ""},
    };
    for (const Case& each : cases) {
        const SsdpMessage read = ReadSsdpMessage(each.text);
        EXPECT_EQ(read.kind, each.kind) << each.text;
        EXPECT_EQ(read.udn, each.udn) << each.text;
        EXPECT_EQ(read.bootId, each.bootId) << each.text;
        EXPECT_EQ(read.location, each.location) << each.text;
    }
    const std::string longPath = "HTTP/1.1 200 OK\r\nLOCATION: http://192.0.2.10/" + std::string(6000, 'a') + "\r\n";
    EXPECT_EQ(ReadSsdpMessage(longPath.c_str()).location.size(), kHeaderKeptBytes);
    EXPECT_EQ(ReadSsdpMessage(longPath.c_str()).locationHost, "192.0.2.10");
}

TEST(FetchVerdict, ARobotUdnDecidesAndOtherwiseTheMostTellingReason)
{
    const std::string robot = "<root><UDN>uuid:R0VA-1</UDN></root>";
    const std::string printer = "<root><UDN>uuid:printer</UDN></root>";
    // status: the status line's; told: what the verdict tells, that of every description fetched.
    struct Case {
        const char* what;
        CURLcode code;
        long osErrno;
        bool connected;
        long status;
        bool bodyFull;
        const std::string& document;
        seekwell_skip_reason expected;
        int told;
    };
    const Case cases[] = {
        {"robot", CURLE_OK, 0, true, 200, false, robot, SEEKWELL_SKIP_NONE, 0},
        {"robot under an error status", CURLE_OK, 0, true, 404, false, robot, SEEKWELL_SKIP_NONE, 0},
        {"robot, limit reached", CURLE_WRITE_ERROR, 0, true, 200, true, robot, SEEKWELL_SKIP_NONE, 0},
        {"robot without a status line", CURLE_OK, 0, true, 0, false, robot, SEEKWELL_SKIP_NONE, 0},
        {"other device", CURLE_OK, 0, true, 200, false, printer, SEEKWELL_SKIP_NO_ROBOT_UDN, 200},
        {"other device, error status", CURLE_OK, 0, true, 500, false, printer, SEEKWELL_SKIP_HTTP_STATUS, 500},
        {"limit reached first", CURLE_WRITE_ERROR, 0, true, 200, true, printer, SEEKWELL_SKIP_BODY_OVER_LIMIT, 200},
        {"other device without a status line", CURLE_OK, 0, true, 0, false, printer, SEEKWELL_SKIP_NO_ROBOT_UDN, 0},
        {"refused", CURLE_COULDNT_CONNECT, ECONNREFUSED, false, 0, false, printer, SEEKWELL_SKIP_CONNECT_REFUSED, 0},
        {"unreachable", CURLE_COULDNT_CONNECT, EHOSTUNREACH, false, 0, false, printer, SEEKWELL_SKIP_FETCH_FAILED, 0},
        {"no connection in time", CURLE_OPERATION_TIMEDOUT, 0, false, 0, false, printer, SEEKWELL_SKIP_CONNECT_TIMEOUT,
         0},
        {"silent after connecting", CURLE_ABORTED_BY_CALLBACK, 0, true, 0, false, printer, SEEKWELL_SKIP_FETCH_FAILED,
         0},
        {"cap on the whole fetch", CURLE_OPERATION_TIMEDOUT, 0, true, 200, false, printer, SEEKWELL_SKIP_FETCH_FAILED,
         0},
        {"no libcurl", CURLE_FAILED_INIT, 0, false, 0, false, printer, SEEKWELL_SKIP_FETCH_FAILED, 0},
        {"reset mid-body", CURLE_RECV_ERROR, 0, true, 200, false, robot, SEEKWELL_SKIP_FETCH_FAILED, 0},
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
        EXPECT_EQ(verdict.httpStatus, each.told) << each.what;
    }
}

// A fetched description, cut where the live search stops reading.
platform::FetchOutcome Fetched(const std::string& body)
{
    platform::FetchOutcome outcome;
    outcome.succeeded = outcome.connected = true;
    outcome.httpStatus = 200;
    outcome.body = body.substr(0, kLiveDescriptionMaxBytes);
    outcome.bodyFull = outcome.body.size() == kLiveDescriptionMaxBytes;
    return outcome;
}

TEST(FetchVerdict, ADescriptionWithoutARobotUdnSaysWhatItLacks)
{
    const struct {
        std::string document;
        const char* reason;
    } kRows[] = {
        {"{\"udn\": \"uuid:R0VA-1\"}", "the description is not XML"},
        {"", "the description is empty"},
        {"\xEF\xBB\xBF\r\n  <root></root>", "the description has no UDN"},
        {"<root><UDN>uuid:R0VA-1", "the description has no UDN"},
        {"<root><UDN>uuid:printer</UDN></root>", "the description's UDN lacks the robot marker"},
    };
    for (const auto& row : kRows) {
        const FetchVerdict verdict = JudgeFetch(Fetched(row.document), row.document);
        EXPECT_EQ(verdict.skip, SEEKWELL_SKIP_NO_ROBOT_UDN) << row.document;
        EXPECT_EQ(verdict.reason, row.reason) << row.document;
        EXPECT_EQ(verdict.httpStatus, 200) << row.document;
    }
}

// A long name is cut as the finder path cuts it (2047 bytes, at a character's end), wherever the
// UDN stands, and known as far as a host is given it even where the read ends inside it.
TEST(FetchVerdict, ALongNameIsCutAsTheFinderPathCutsIt)
{
    EXPECT_EQ(LiveParameters{}.http.maxBodyBytes, kLiveDescriptionMaxBytes);
    const std::string udn = "<UDN>uuid:R0VA-1</UDN>";
    std::string japanese;
    while (japanese.size() < 4000) {
        japanese += "\xE3\x83\xAD";
    }
    const auto named = [](const std::string& name) { return "<friendlyName>" + name + "</friendlyName>"; };
    const std::string unread(kLiveDescriptionMaxBytes, 'x');
    const struct {
        const char* what;
        std::string body;
        std::string name;
    } kRows[] = {
        {"name before the UDN", "<root>" + named(std::string(4000, 'a')) + udn + "</root>", std::string(2047, 'a')},
        {"UDN before the name", "<root>" + udn + named(std::string(4000, 'a')) + "</root>", std::string(2047, 'a')},
        {"Japanese", "<root>" + named(japanese) + udn + "</root>", japanese.substr(0, 682 * 3)},
        {"a name that goes on past the read", "<root>" + udn + "<friendlyName>" + unread, std::string(2047, 'x')},
        {"a name whose start is read too short",
         std::string(kLiveDescriptionMaxBytes - 1000, ' ') + udn + "<friendlyName>" + std::string(1000, 'x'), ""},
        {"Latin-1 and ESC", "<root>" + udn + named("Caf\xE9\x1B[31m") + "</root>", "Caf\xEF\xBF\xBD[31m"},
    };
    for (const auto& row : kRows) {
        FetchPool::Finished finished;
        finished.order.address = Address(kSender).s_addr;
        finished.outcome = Fetched(row.body);
        const ReadResult read = ReadOf(finished, FetchLanes{});
        EXPECT_TRUE(read.robot) << row.what;
        EXPECT_EQ(read.name, row.name) << row.what;
    }
    FetchPool::Finished past;
    past.outcome = Fetched("<root>" + named(unread) + udn + "</root>");
    const ReadResult read = ReadOf(past, FetchLanes{});
    EXPECT_FALSE(read.robot) << "a UDN past the read";
    EXPECT_EQ(read.skip, SEEKWELL_SKIP_BODY_OVER_LIMIT);
    EXPECT_EQ(read.reason, "no robot UDN in the first 16384 bytes of the description");
    EXPECT_EQ(read.httpStatus, 200);
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
