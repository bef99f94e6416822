// The live search's book of robots, played step by step: each step is what
// the search loop hands it, and the fetches and events it answers with.
// Addresses are small numbers; robots' UDNs are letters; interface 1 is
// searched every round unless a round names others.
#include "live/robot_book.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace seekwell::live {
namespace {

// Replies and announcements as the intake lets them through.
Heard HeardOn(unsigned int interfaceIndex, std::string udn, std::string bootId = {}, std::string location = "loc")
{
    Heard heard;
    heard.location = std::move(location);
    heard.udn = std::move(udn);
    heard.bootId = std::move(bootId);
    heard.interfaceIndex = interfaceIndex;
    return heard;
}

class Player {
public:
    explicit Player(bool watch, BookLimits limits = BookLimits{}) : book_(limits, watch) {}

    // One step: "reply A [usn] [boot]", "skip A", "bye A UDN", "ask A", "swept A", "read A UDN [NAME]",
    // "fail A", "late A UDN" (a read whose ticket was overtaken), "round [I,J|-]", "forget I".
    std::string Play(const std::string& step)
    {
        std::istringstream words(step);
        std::string op, udn, extra;
        Address address = 0;
        words >> op;
        if (op == "round") {
            words >> extra;
            book_.EndRound(Searched(extra.empty() ? "1" : extra));
            book_.StartRound();
        } else if (op == "forget") {
            words >> address;
            book_.ForgetInterface(address);
        } else {
            words >> address >> udn >> extra;
            Act(op, address, udn, extra);
        }
        return Outputs();
    }

private:
    static std::vector<unsigned int> Searched(const std::string& list)
    {
        std::vector<unsigned int> searched;
        std::istringstream items(list == "-" ? "" : list);
        for (std::string item; std::getline(items, item, ',');) {
            searched.push_back(static_cast<unsigned int>(std::stoul(item)));
        }
        return searched;
    }

    void Act(const std::string& op, Address address, const std::string& udn, const std::string& extra)
    {
        if (op == "reply") {
            book_.OnResponder(address, HeardOn(1, udn == "-" ? "" : udn, extra));
        } else if (op == "skip") {
            book_.OnSkipped(address, SEEKWELL_SKIP_NO_MARKER, "no marker", HeardOn(1, ""));
        } else if (op == "bye") {
            book_.OnByebye(address, udn);
        } else if (op == "ask") {
            book_.OnAsked(address, HeardOn(0, ""));
        } else if (op == "swept") {
            book_.OnSwept(address);
        } else if (op == "read" || op == "late") {
            ReadResult result;
            result.robot = true;
            result.udn = udn;
            result.name = extra.empty() ? "robot " + udn : extra;
            book_.OnRead(address, op == "late" ? tickets_[address] - 1 : tickets_[address], result);
        } else if (op == "fail") {
            ReadResult result;
            result.skip = SEEKWELL_SKIP_CONNECT_REFUSED;
            book_.OnRead(address, tickets_[address], result);
        } else {
            ADD_FAILURE() << "no such step: " << op;
        }
    }

    // "fetch:A", "check:A", "ROBOT:A:UDN[:NAME]", "GONE:A:UDN", "SKIP:A:REASON", space-separated.
    std::string Outputs()
    {
        std::string out;
        auto add = [&out](const std::string& item) { out += (out.empty() ? "" : " ") + item; };
        for (const FetchOrder& order : book_.TakeFetches()) {
            tickets_[order.address] = order.ticket;
            add((order.check ? "check:" : "fetch:") + std::to_string(order.address));
        }
        for (const Told& told : book_.TakeTold()) {
            const std::string at = std::to_string(told.address);
            switch (told.type) {
                case SEEKWELL_EVENT_ROBOT:
                    add("ROBOT:" + at + ":" + told.udn + (told.name == "robot " + told.udn ? "" : ":" + told.name));
                    break;
                case SEEKWELL_EVENT_GONE:
                    add("GONE:" + at + ":" + told.udn);
                    break;
                default:
                    add("SKIP:" + at + ":" + std::to_string(static_cast<int>(told.skip)));
                    break;
            }
        }
        return out;
    }

    RobotBook book_;
    std::map<Address, Ticket> tickets_;

public:
    const RobotBook& Book() const { return book_; }
};

// A case's script: steps apart by "; ", each "what the loop hands it > what the book answers" (no "> ": nothing).
struct Case {
    const char* what;
    bool watch;
    const char* script;
};

void PlayAll(const std::vector<Case>& cases)
{
    for (const Case& each : cases) {
        Player player(each.watch);
        std::istringstream steps(each.script);
        for (std::string step; std::getline(steps, step, ';');) {
            const std::size_t arrow = step.find(" > ");
            const std::string does = step.substr(step.find_first_not_of(' '), arrow - step.find_first_not_of(' '));
            const std::string answers = arrow == std::string::npos ? "" : step.substr(arrow + 3);
            EXPECT_EQ(player.Play(does), answers) << each.what << ": " << does;
        }
    }
}

constexpr bool kWatch = true;
constexpr bool kWindow = false;

TEST(RobotBook, ARobotIsItsUdnAndNoOtherAddressTakesItWhileItAnswers)
{
    PlayAll({
        {"a device copying a robot's UDN stands by; the robot's address is checked once a round", kWatch,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; round; reply 1 a; reply 9 a > fetch:9; read 9 a copy > check:1; "
         "read 1 a; reply 9 a; round; reply 9 a; reply 1 a; round"},
        {"one robot on two links is told once, and moves when the first one goes quiet", kWatch,
         "reply 1 a > fetch:1; reply 2 a > fetch:2; read 1 a > ROBOT:1:a; read 2 a; round; reply 2 a; round > "
         "ROBOT:2:a; reply 1 a; reply 2 a; round"},
        {"a robot whose address changed moves at its first word from the new one, without GONE", kWatch,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; round; reply 5 a > fetch:5; read 5 a > check:1; fail 1 > "
         "ROBOT:5:a; round; round; round; round > GONE:5:a"},
        {"a check that finds another UDN at the old address: the robot moves, the newcomer is told", kWatch,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; round; reply 5 a > fetch:5; read 5 a > check:1; read 1 b > "
         "ROBOT:5:a ROBOT:1:b"},
        {"another UDN at a known address is read at once: the new robot told, the old one GONE", kWatch,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; round; reply 1 b > fetch:1; read 1 b > GONE:1:a ROBOT:1:b"},
        {"a reply that names no UDN, or the robot's, reads nothing", kWatch,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; reply 1 -; reply 1 a"},
        {"a byebye moves a robot to the address that stands by for it", kWatch,
         "reply 1 a > fetch:1; reply 2 a > fetch:2; read 1 a > ROBOT:1:a; read 2 a; bye 2 b; bye 1 a > ROBOT:2:a; bye "
         "2 a > GONE:2:a"},
    });
}

TEST(RobotBook, BetweenTwoRobotEventsOfOneAddressThereIsAGone)
{
    PlayAll({
        {"a window search: a robot that says goodbye and comes back is told once", kWindow,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; bye 1 a; round; reply 1 a 2 > fetch:1; read 1 a"},
        {"a window search: a robot whose address another took comes back there untold", kWindow,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; round; reply 1 b > fetch:1; read 1 b > ROBOT:1:b; round; reply 1 "
         "a > fetch:1; read 1 a"},
        {"a watch: goodbye, then back: GONE between", kWatch,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; bye 1 a > GONE:1:a; reply 1 a; round; reply 1 a > fetch:1; read 1 "
         "a > ROBOT:1:a"},
        {"a renamed robot is told again with its new name", kWatch,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; reply 1 a 7; round > fetch:1; reply 1 a 8; read 1 a other > "
         "ROBOT:1:a:other"},
    });
}

TEST(RobotBook, ARobotMissesOnlyRoundsThatSearchedWhereItAnswers)
{
    PlayAll({
        {"its interface not searched (down, no carrier): kept", kWatch,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; round -; round 2; round -; round -; round; round; round > "
         "GONE:1:a"},
        {"its interface removed: GONE at once", kWatch,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; forget 2; forget 1 > GONE:1:a"},
        {"a window search tells no GONE", kWindow,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; forget 1; round; round; round"},
        {"a target found only by asking misses only the rounds it was asked in", kWatch,
         "ask 7 > fetch:7; read 7 t > ROBOT:7:t; round; round; round; round; ask 7 > fetch:7; fail 7; round; swept 7; "
         "round; ask 7 > fetch:7; round; fail 7; round; ask 7 > fetch:7; fail 7; round > GONE:7:t"},
    });
}

TEST(RobotBook, OneReadAnAddressARoundAndStaleReadsDropped)
{
    PlayAll({
        {"a flood of announcements from one address reads it once a round", kWatch,
         "reply 1 a 1 > fetch:1; reply 1 a 2; read 1 a > ROBOT:1:a; reply 1 a 3; reply 1 a 4; round > fetch:1; reply 1 "
         "a 4"},
        {"a left-out responder is told once and read again when a later round hears it", kWatch,
         "reply 3 x > fetch:3; fail 3 > SKIP:3:7; reply 3 x; round; reply 3 x > fetch:3; fail 3; skip 3 > SKIP:3:1"},
        {"a forged reply from a robot's address that fails a check changes nothing", kWatch,
         "reply 1 a > fetch:1; read 1 a > ROBOT:1:a; skip 1; round; reply 1 a"},
        {"a read begun before its interface went tells nothing; a stale one neither", kWatch,
         "reply 1 a > fetch:1; forget 1; round; reply 1 a; read 1 a; reply 1 a > fetch:1; late 1 z; read 1 a > "
         "ROBOT:1:a"},
    });
}

TEST(RobotBook, StaysWithinItsBoundsAndSaysWhenItDropsReplies)
{
    Player player(kWatch, BookLimits{8, 3, 1});
    EXPECT_EQ(player.Play("reply 1 a"), "fetch:1");
    EXPECT_EQ(player.Play("reply 2 b"), "fetch:2");
    EXPECT_EQ(player.Play("reply 3 c"), "fetch:3");
    // A fourth waits for room, in the order it answered; past the wait's
    // bound a reply goes unexamined, told once a round.
    EXPECT_EQ(player.Play("reply 4 d"), "");
    EXPECT_EQ(player.Play("reply 5 e"), "SKIP:5:14");
    EXPECT_EQ(player.Play("reply 6 f"), "");
    EXPECT_EQ(player.Play("read 1 a"), "fetch:4 ROBOT:1:a");
    EXPECT_EQ(player.Play("read 4 d"), "ROBOT:4:d");
    // Left-out senders are taken in, the least recently heard forgotten first.
    for (Address sender = 10; sender < 30; ++sender) {
        EXPECT_EQ(player.Play("skip " + std::to_string(sender)), "SKIP:" + std::to_string(sender) + ":1");
        EXPECT_LE(player.Book().Responders(), 8u);
    }
    EXPECT_EQ(player.Play("skip 10"), "SKIP:10:1");
    EXPECT_EQ(player.Play("skip 29"), "");
    // Robots and reads are never forgotten for a stranger.
    EXPECT_EQ(player.Book().Robots(), 2u);
    EXPECT_EQ(player.Book().Overloaded(), 2u);
    EXPECT_EQ(player.Book().Fetching(), 2u);
    // An address read this round and forgotten for strangers is not read
    // again in the round; it is at the next.
    Player small(kWatch, BookLimits{2, 3, 1});
    EXPECT_EQ(small.Play("reply 1 a"), "fetch:1");
    EXPECT_EQ(small.Play("fail 1"), "SKIP:1:7");
    EXPECT_EQ(small.Play("skip 2"), "SKIP:2:1");
    EXPECT_EQ(small.Play("skip 3"), "SKIP:3:1");
    EXPECT_EQ(small.Play("reply 1 a"), "");
    EXPECT_EQ(small.Play("round"), "");
    EXPECT_EQ(small.Play("reply 1 a"), "fetch:1");
}

}  // namespace
}  // namespace seekwell::live
