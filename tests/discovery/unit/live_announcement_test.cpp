// Announcements and the robots they name: what a NOTIFY says, a robot that
// moves to another address, one that says goodbye, and one whose interface
// goes away or is down for a while, step by step through the book.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "live/announcement.h"
#include "live/responder_book.h"

namespace seekwell::live {
namespace {

using Action = ResponderBook::Action;

TEST(Announcement, ReadsWhatADeviceSays)
{
    struct Case {
        const char* text;
        bool read;
        Announcement::Kind kind;
        const char* usn;
        const char* bootId;
    };
    const Case cases[] = {
        {"NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\n"
         "USN: uuid:R0VA-1::upnp:rootdevice\r\nBOOTID.UPNP.ORG: 7\r\n\r\n",
         true, Announcement::Kind::Alive, "uuid:R0VA-1::upnp:rootdevice", "7"},
        {"NOTIFY * HTTP/1.1\r\nnts:  ssdp:byebye \r\nusn: uuid:R0VA-1\r\n\r\n", true, Announcement::Kind::Byebye,
         "uuid:R0VA-1", ""},
        {"NOTIFY * HTTP/1.1\nNTS: ssdp:update\nUSN: uuid:x\n\n", true, Announcement::Kind::Alive, "uuid:x", ""},
        {"NOTIFY * HTTP/1.1\r\nNTS: ssdp:propchange\r\n\r\n", false, {}, "", ""},
        {"NOTIFY * HTTP/1.1\r\nUSN: uuid:x\r\n\r\n", false, {}, "", ""},          // no NTS
        {"NOTIFY * HTTP/1.1\r\n\r\nNTS: ssdp:alive\r\n\r\n", false, {}, "", ""},  // after the headers
        {"HTTP/1.1 200 OK\r\nNTS: ssdp:alive\r\n\r\n", false, {}, "", ""},        // a reply
        {"M-SEARCH * HTTP/1.1\r\nNTS: ssdp:alive\r\n\r\n", false, {}, "", ""},
    };
    for (const Case& each : cases) {
        const std::optional<Announcement> read = ReadAnnouncement(each.text);
        ASSERT_EQ(read.has_value(), each.read) << each.text;
        if (read) {
            EXPECT_EQ(read->kind, each.kind) << each.text;
            EXPECT_EQ(read->usn, each.usn) << each.text;
            EXPECT_EQ(read->bootId, each.bootId) << each.text;
        }
    }
    const std::string longUsn = "NOTIFY * HTTP/1.1\r\nNTS: ssdp:alive\r\nUSN: " + std::string(5000, 'u') + "\r\n\r\n";
    EXPECT_EQ(ReadAnnouncement(longUsn.c_str())->usn.size(), 255u);
    EXPECT_EQ(BootIdOf("HTTP/1.1 200 OK\r\nBOOTID.UPNP.ORG: 12\r\n\r\n"), "12");
}

TEST(Announcement, AUsnNamesTheDeviceOfItsUdnAlone)
{
    EXPECT_TRUE(UsnNames("uuid:R0VA-1", "uuid:R0VA-1"));
    EXPECT_TRUE(UsnNames("uuid:R0VA-1::upnp:rootdevice", "uuid:R0VA-1"));
    EXPECT_FALSE(UsnNames("uuid:R0VA-12::upnp:rootdevice", "uuid:R0VA-1"));
    EXPECT_FALSE(UsnNames("uuid:R0VA", "uuid:R0VA-1"));
    EXPECT_FALSE(UsnNames("uuid:R0VA-1", ""));
}

RobotFacts Heard(const char* interfaceName, const char* location = "http://a/", const char* bootId = "")
{
    return RobotFacts{{}, location, interfaceName, {}, bootId};
}

// A robot found at sender on eth0, with that UDN.
void Found(ResponderBook& book, ResponderBook::Sender sender, const char* udn, const char* name = "robot")
{
    ASSERT_EQ(book.OnReply(sender, 1, SEEKWELL_SKIP_NONE, Heard("eth0")), Action::Fetch);
    ASSERT_NE(book.OnFetchRobot(sender, name, udn), nullptr);
}

TEST(ResponderBook, ARobotThatMovesIsOneRobotAtItsNewAddress)
{
    ResponderBook book;
    Found(book, 1, "uuid:R0VA-1");
    ASSERT_EQ(book.OnReply(2, 1, SEEKWELL_SKIP_NONE, Heard("eth0")), Action::Fetch);
    ResponderBook::Sender movedFrom = 0;
    const RobotFacts* moved = book.OnFetchRobot(2, "robot", "uuid:R0VA-1", &movedFrom);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(moved->udn, "uuid:R0VA-1");
    EXPECT_EQ(movedFrom, 1u);
    EXPECT_EQ(book.Robots(), 1u);
    EXPECT_EQ(book.FactsOf(1), nullptr);
    // Its old address says goodbye: that is no longer the robot.
    EXPECT_FALSE(book.OnByebye(1, "uuid:R0VA-1::upnp:rootdevice").has_value());
    EXPECT_EQ(book.OnByebye(2, "uuid:R0VA-1::upnp:rootdevice")->udn, "uuid:R0VA-1");
    EXPECT_EQ(book.Robots(), 0u);
}

TEST(ResponderBook, AByebyeEndsARobotOnlyFromItsAddressAndInItsName)
{
    ResponderBook book;
    Found(book, 1, "uuid:R0VA-1");
    Found(book, 2, "uuid:R0VA-2");
    EXPECT_FALSE(book.OnByebye(3, "uuid:R0VA-1").has_value());  // another sender
    EXPECT_FALSE(book.OnByebye(2, "uuid:R0VA-1").has_value());  // the other robot's name
    EXPECT_FALSE(book.OnByebye(1, "uuid:R0VA-10::upnp:rootdevice").has_value());
    EXPECT_EQ(book.Robots(), 2u);
    EXPECT_TRUE(book.OnByebye(1, "uuid:R0VA-1").has_value());
    EXPECT_EQ(book.Robots(), 1u);
    // Back again: found anew.
    Found(book, 1, "uuid:R0VA-1");
    EXPECT_EQ(book.Robots(), 2u);
}

TEST(ResponderBook, ANewLocationOrBootIdIsReadAgainAndToldOnlyWhenSomethingChanged)
{
    ResponderBook book;
    Found(book, 1, "uuid:R0VA-1", "Alpha");
    EXPECT_EQ(book.OnReply(1, 1, SEEKWELL_SKIP_NONE, Heard("eth0")), Action::None);
    EXPECT_EQ(book.OnReply(1, 1, SEEKWELL_SKIP_NONE, Heard("eth0", "http://a/", "2")), Action::Fetch);  // restarted
    EXPECT_EQ(book.OnReply(1, 1, SEEKWELL_SKIP_NONE, Heard("eth0", "http://a/", "3")), Action::None);   // being read
    EXPECT_EQ(book.OnFetchRobot(1, "Alpha", "uuid:R0VA-1"), nullptr);                                   // the same
    EXPECT_EQ(book.OnReply(1, 1, SEEKWELL_SKIP_NONE, Heard("eth0", "http://a/new/", "2")), Action::Fetch);
    const RobotFacts* renamed = book.OnFetchRobot(1, "Beta", "uuid:R0VA-1");
    ASSERT_NE(renamed, nullptr);
    EXPECT_EQ(renamed->name, "Beta");
    EXPECT_EQ(renamed->location, "http://a/new/");
    EXPECT_EQ(book.Fetching(), 0u);
}

TEST(ResponderBook, ARobotMissesOnlyTheRoundsThatSearchedWhereItWasHeard)
{
    ResponderBook book;
    Found(book, 1, "uuid:R0VA-1");
    const std::vector<std::string> elsewhere = {"wlan0"};
    const std::vector<std::string> there = {"eth0", "wlan0"};
    // eth0 is down for many rounds: nothing is missed there.
    for (int round = 0; round < 10; ++round) {
        EXPECT_TRUE(book.EndRound(SEEKWELL_GONE_AFTER_MISSED, &elsewhere).empty());
        book.StartRound();
    }
    for (int round = 1; round < SEEKWELL_GONE_AFTER_MISSED; ++round) {
        EXPECT_TRUE(book.EndRound(SEEKWELL_GONE_AFTER_MISSED, &there).empty());
        book.StartRound();
    }
    EXPECT_EQ(book.EndRound(SEEKWELL_GONE_AFTER_MISSED, &there).size(), 1u);
}

TEST(ResponderBook, AnInterfaceThatGoesAwayTakesItsRobotsAlone)
{
    ResponderBook book;
    Found(book, 1, "uuid:R0VA-1");
    ASSERT_EQ(book.OnReply(2, 2, SEEKWELL_SKIP_NONE, Heard("wlan0")), Action::Fetch);
    ASSERT_NE(book.OnFetchRobot(2, "robot", "uuid:R0VA-2"), nullptr);
    const auto gone = book.ForgetInterface("wlan0");
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone.front().first, 2u);
    EXPECT_EQ(book.Robots(), 1u);
    EXPECT_TRUE(book.ForgetInterface("wlan0").empty());
}

}  // namespace
}  // namespace seekwell::live
