// Replies, asked targets, fetch outcomes and rounds in any order, from a few
// senders on two interfaces, through the live search's book of responders
// with small bounds; a model of what the host was told checks every answer.
#include <cstdint>
#include <cstdlib>
#include <map>

#include "live/responder_book.h"

namespace {

using seekwell::live::BookLimits;
using seekwell::live::ResponderBook;
using seekwell::live::RobotFacts;
using Action = ResponderBook::Action;

constexpr BookLimits kLimits{16, 4};
constexpr std::uint32_t kSenders = 48;
constexpr int kLastSkip = SEEKWELL_SKIP_OVERLOAD;

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

enum class Told { Nothing, Fetching, Robot };

// What the host knows of each sender from the book's answers.
struct Model {
    std::map<std::uint32_t, Told> senders;

    Told Of(std::uint32_t sender) const
    {
        const auto found = senders.find(sender);
        return found != senders.end() ? found->second : Told::Nothing;
    }
};

void Reply(ResponderBook& book, Model& model, std::uint32_t sender, unsigned int on, seekwell_skip_reason skip)
{
    const Told before = model.Of(sender);
    const Action action = book.OnReply(sender, on, skip, RobotFacts{{}, "http://x/", "eth", {}, {}});
    if (action == Action::Fetch) {
        Require(skip == SEEKWELL_SKIP_NONE && before == Told::Nothing);
        model.senders[sender] = Told::Fetching;
    }
    // A robot or a fetch in flight makes nothing of a reply.
    Require(before == Told::Nothing || action == Action::None);
    Require(action != Action::TellSkip || skip != SEEKWELL_SKIP_NONE);
}

// A target asked directly: a first fetch, or a robot's second look, which
// tells the host nothing new.
void Ask(ResponderBook& book, Model& model, std::uint32_t sender)
{
    const Told before = model.Of(sender);
    const Action action = book.OnAsk(sender, RobotFacts{{}, "http://x/", "", {}, {}});
    Require(action != Action::TellSkip);
    Require(before != Told::Fetching || action == Action::None);
    if (action == Action::Fetch && before == Told::Nothing) {
        model.senders[sender] = Told::Fetching;
    }
}

void Fetched(ResponderBook& book, Model& model, std::uint32_t sender, seekwell_skip_reason skip)
{
    const bool wasFetching = model.Of(sender) == Told::Fetching;
    if (skip == SEEKWELL_SKIP_NONE) {
        const bool told = book.OnFetchRobot(sender, "robot") != nullptr;
        Require(told == wasFetching);
        if (told) {
            model.senders[sender] = Told::Robot;
        }
        return;
    }
    const Action action = book.OnFetchSkipped(sender, skip);
    Require(wasFetching || action == Action::None);
    if (wasFetching) {
        model.senders.erase(sender);
    }
}

void Round(ResponderBook& book, Model& model, bool watch)
{
    for (const auto& [sender, facts] : book.EndRound(watch ? SEEKWELL_GONE_AFTER_MISSED : 0)) {
        Require(watch && model.Of(sender) == Told::Robot && facts.name == "robot");
        model.senders.erase(sender);
    }
    book.StartRound();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ResponderBook book(kLimits);
    Model model;
    const bool watch = size > 0 && (data[0] & 1) != 0;
    for (std::size_t at = 1; at + 1 < size; at += 2) {
        const std::uint8_t what = data[at];
        const std::uint32_t sender = data[at + 1] % kSenders + 1;
        const auto skip = static_cast<seekwell_skip_reason>((what >> 2) % (kLastSkip + 1));
        switch (what & 3) {
            case 0:
                Reply(book, model, sender, 1 + (what >> 7), skip);
                break;
            case 1:
                Fetched(book, model, sender, skip);
                break;
            case 2:
                Round(book, model, watch);
                break;
            default:
                if ((what & 0x40) != 0) {
                    Ask(book, model, sender);
                } else {
                    (void)book.WantsReply(sender, 1 + (what >> 7));
                }
                break;
        }
        Require(book.Size() <= kLimits.responders);
        Require(book.Fetching() <= kLimits.fetches);
        // A robot's second look counts as a fetch while it is one.
        Require(book.Robots() <= book.Size() && book.Fetching() <= book.Size());
    }
    return 0;
}
