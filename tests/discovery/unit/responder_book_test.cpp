// The live search's book of responders, step by step: what each reply and
// each finished fetch makes it do, GONE in a watch, and its bounds.
#include "live/responder_book.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace seekwell::live {
namespace {

using Action = ResponderBook::Action;

enum class Op { Round, Reply, Ask, FetchSkipped, FetchRobot, Wants };

struct Step {
    Op op;
    std::uint32_t sender = 0;
    unsigned int interfaceIndex = 1;
    seekwell_skip_reason skip = SEEKWELL_SKIP_NONE;
    Action action = Action::None;          // Reply, FetchSkipped; FetchRobot: TellSkip means "told"
    bool wants = true;                     // Wants
    std::vector<std::uint32_t> gone = {};  // Round (a watch)
};

Step Round(std::vector<std::uint32_t> gone = {})
{
    return {Op::Round, 0, 0, SEEKWELL_SKIP_NONE, Action::None, true, gone};
}
Step Reply(std::uint32_t sender, seekwell_skip_reason skip, Action action, unsigned int on = 1)
{
    return {Op::Reply, sender, on, skip, action};
}
Step Ask(std::uint32_t sender, Action action) { return {Op::Ask, sender, 0, SEEKWELL_SKIP_NONE, action}; }
Step Fetched(std::uint32_t sender, seekwell_skip_reason skip, Action action)
{
    return {Op::FetchSkipped, sender, 1, skip, action};
}
Step Robot(std::uint32_t sender, bool told = true)
{
    return {Op::FetchRobot, sender, 1, SEEKWELL_SKIP_NONE, told ? Action::TellSkip : Action::None};
}
Step Wants(std::uint32_t sender, bool wants, unsigned int on = 1)
{
    return {Op::Wants, sender, on, SEEKWELL_SKIP_NONE, Action::None, wants};
}

void Play(ResponderBook& book, const std::vector<Step>& steps, const char* what)
{
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        const std::string where = std::string(what) + ", step " + std::to_string(i);
        switch (step.op) {
            case Op::Round: {
                std::vector<std::uint32_t> gone;
                for (const auto& [sender, facts] : book.EndRound(SEEKWELL_GONE_AFTER_MISSED)) {
                    gone.push_back(sender);
                    EXPECT_EQ(facts.name, "robot " + std::to_string(sender)) << where;
                }
                EXPECT_EQ(gone, step.gone) << where;
                book.StartRound();
                break;
            }
            case Op::Reply:
                EXPECT_EQ(book.OnReply(step.sender, step.interfaceIndex, step.skip, RobotFacts{}), step.action)
                    << where;
                break;
            case Op::Ask:
                EXPECT_EQ(book.OnAsk(step.sender, RobotFacts{}), step.action) << where;
                break;
            case Op::FetchSkipped:
                EXPECT_EQ(book.OnFetchSkipped(step.sender, step.skip), step.action) << where;
                break;
            case Op::FetchRobot:
                EXPECT_EQ(book.OnFetchRobot(step.sender, "robot " + std::to_string(step.sender)) != nullptr,
                          step.action == Action::TellSkip)
                    << where;
                break;
            case Op::Wants:
                EXPECT_EQ(book.WantsReply(step.sender, step.interfaceIndex), step.wants) << where;
                break;
        }
    }
}

constexpr auto kNone = SEEKWELL_SKIP_NONE;
constexpr auto kNoMarker = SEEKWELL_SKIP_NO_MARKER;
constexpr auto kOffSubnet = SEEKWELL_SKIP_OFF_SUBNET;
constexpr auto kRefused = SEEKWELL_SKIP_CONNECT_REFUSED;

TEST(ResponderBook, FollowsEachResponderThroughRepliesFetchesAndRounds)
{
    struct Case {
        const char* what;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"a robot is fetched once and told once",
         {Reply(1, kNone, Action::Fetch), Wants(1, false), Reply(1, kNone, Action::None), Robot(1), Wants(1, false),
          Round(), Wants(1, true), Reply(1, kNone, Action::None), Wants(1, false)}},
        {"a reason is told once, until another comes between",
         {Reply(2, kNoMarker, Action::TellSkip), Wants(2, true), Reply(2, kNoMarker, Action::None), Round(),
          Reply(2, kNoMarker, Action::None), Round(), Reply(2, kNone, Action::Fetch),
          Fetched(2, kRefused, Action::TellSkip), Round(), Reply(2, kNone, Action::Fetch),
          Fetched(2, kRefused, Action::None), Round(), Reply(2, kNoMarker, Action::TellSkip)}},
        {"a left-out responder answers anew when the next round asks",
         {Reply(3, kNone, Action::Fetch), Fetched(3, kRefused, Action::TellSkip), Wants(3, false), Round(),
          Wants(3, true), Reply(3, kNone, Action::Fetch), Robot(3)}},
        {"a reply on another interface never hides a robot's valid one",
         {Reply(4, kOffSubnet, Action::TellSkip, 1), Wants(4, true, 2), Reply(4, kNone, Action::Fetch, 2), Robot(4),
          Reply(4, kNone, Action::None, 1)}},
        {"a forged reply from a device's address never hides the device's own",
         {Reply(9, kNoMarker, Action::TellSkip), Wants(9, true), Reply(9, kNone, Action::Fetch), Robot(9)}},
        {"only a valid reply keeps a robot from GONE",
         {Reply(5, kNone, Action::Fetch), Robot(5), Round(), Reply(5, kNoMarker, Action::None), Round(),
          Reply(5, kOffSubnet, Action::None), Round(), Round({5}), Wants(5, true), Reply(5, kNone, Action::Fetch),
          Robot(5)}},
        {"a robot that answers every round stays",
         {Reply(6, kNone, Action::Fetch), Robot(6), Round(), Reply(6, kNone, Action::None), Round(),
          Reply(6, kNone, Action::None), Round(), Reply(6, kNone, Action::None), Round(), Round(), Round(),
          Round({6})}},
        {"a fetch outlives any number of rounds",
         {Reply(7, kNone, Action::Fetch), Round(), Round(), Round(), Round(), Round(), Robot(7)}},
        {"an asked robot is told once; each round's second look keeps it",
         {Ask(10, Action::Fetch), Ask(10, Action::None), Robot(10), Ask(10, Action::None), Round(),
          Ask(10, Action::Fetch), Ask(10, Action::None), Robot(10, false), Round(), Ask(10, Action::Fetch),
          Robot(10, false), Round(), Round(), Round(), Round({10})}},
        {"an asked robot that stops answering is GONE after the rounds it missed, not those it was being read in",
         {Ask(11, Action::Fetch), Robot(11), Round(), Ask(11, Action::Fetch), Fetched(11, kRefused, Action::None),
          Round(), Ask(11, Action::Fetch), Round(), Round(), Fetched(11, kRefused, Action::None), Round(),
          Round({11})}},
        {"a robot heard this round is not asked again; a left-out target is asked each round",
         {Reply(12, kNone, Action::Fetch), Robot(12), Round(), Reply(12, kNone, Action::None), Ask(12, Action::None),
          Ask(13, Action::Fetch), Fetched(13, kRefused, Action::TellSkip), Round(), Ask(13, Action::Fetch),
          Fetched(13, kRefused, Action::None)}},
        {"a fetch result for a sender not fetched is ignored",
         {Fetched(8, kRefused, Action::None), Robot(8, false), Reply(8, kNoMarker, Action::TellSkip),
          Fetched(8, kRefused, Action::None)}},
    };
    for (const Case& each : cases) {
        ResponderBook book;
        Play(book, each.steps, each.what);
    }
}

TEST(ResponderBook, AWindowForgetsNoRobot)
{
    ResponderBook book;
    ASSERT_EQ(book.OnReply(1, 1, kNone, RobotFacts{}), Action::Fetch);
    ASSERT_NE(book.OnFetchRobot(1, "robot"), nullptr);
    for (int round = 0; round < 10; ++round) {
        EXPECT_TRUE(book.EndRound(0).empty());
        book.StartRound();
    }
    EXPECT_EQ(book.Robots(), 1u);
}

TEST(ResponderBook, StaysWithinItsBoundsAndSaysWhenItDropsReplies)
{
    ResponderBook book(BookLimits{8, 3});
    // Three fetches fill the fetch bound; a fourth sender that would be
    // fetched goes unexamined, told once this round.
    for (std::uint32_t sender = 1; sender <= 3; ++sender) {
        EXPECT_EQ(book.OnReply(sender, 1, kNone, RobotFacts{}), Action::Fetch);
    }
    EXPECT_EQ(book.OnReply(4, 1, kNone, RobotFacts{}), Action::Overload);
    EXPECT_EQ(book.OnReply(5, 1, kNone, RobotFacts{}), Action::None);
    EXPECT_TRUE(book.WantsReply(4, 1));
    // Left-out senders are still taken in, the least recently judged
    // forgotten first once the book is full.
    for (std::uint32_t sender = 10; sender < 30; ++sender) {
        EXPECT_EQ(book.OnReply(sender, 1, kNoMarker, RobotFacts{}), Action::TellSkip);
        EXPECT_LE(book.Size(), 8u);
    }
    // The first ones were forgotten and are told again; the last one is held.
    EXPECT_EQ(book.OnReply(10, 1, kNoMarker, RobotFacts{}), Action::TellSkip);
    EXPECT_EQ(book.OnReply(29, 1, kNoMarker, RobotFacts{}), Action::None);
    // Robots and fetches are never forgotten for a stranger.
    for (std::uint32_t sender = 1; sender <= 3; ++sender) {
        EXPECT_NE(book.OnFetchRobot(sender, "robot"), nullptr);
    }
    for (std::uint32_t sender = 40; sender < 45; ++sender) {
        EXPECT_EQ(book.OnReply(sender, 1, kNone, RobotFacts{}), Action::Fetch);
        EXPECT_EQ(book.OnFetchRobot(sender, "robot") != nullptr, true);
    }
    EXPECT_EQ(book.Robots(), 8u);
    EXPECT_EQ(book.OnReply(50, 1, kNoMarker, RobotFacts{}), Action::None);  // already told this round
    (void)book.EndRound(0);
    book.StartRound();
    EXPECT_EQ(book.OnReply(51, 1, kNoMarker, RobotFacts{}), Action::Overload);
    EXPECT_EQ(book.OverloadedReplies(), 4u);
    EXPECT_EQ(book.Size(), 8u);
}

}  // namespace
}  // namespace seekwell::live
