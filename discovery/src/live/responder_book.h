// What the live search knows of each device that answered it: robots until
// they are GONE, descriptions being fetched, and the responders it left out,
// with the reason last told. Pure bookkeeping, without sockets, threads or
// clocks: the search loop feeds it each checked reply, each finished fetch
// and the start of each round, and acts on what it answers.
//
// A LAN device can forge any sender, so everything here is bounded: a robot
// is never forgotten while it answers, a fetch never dropped once started,
// and the responders left out are forgotten least recently heard first.
#ifndef SEEKWELL_LIVE_RESPONDER_BOOK_H
#define SEEKWELL_LIVE_RESPONDER_BOOK_H

#include <seekwell/seekwell.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace seekwell::live {

struct BookLimits {
    // Every responder the book holds at once, robots included.
    std::size_t responders = 4096;
    // Descriptions being fetched or waiting for their turn.
    std::size_t fetches = 384;
};

// The texts a robot's events carry, kept while it is a robot.
struct RobotFacts {
    std::string name;
    std::string location;
    std::string interfaceName;
    std::string udn;     // from its description: the robot whatever its address
    std::string bootId;  // the BOOTID.UPNP.ORG it last sent, if any
};

class ResponderBook {
public:
    // Senders are IPv4 addresses in network order.
    using Sender = std::uint32_t;

    enum class Action {
        None,      // nothing to do or tell
        Fetch,     // fetch the sender's description
        TellSkip,  // report the sender SKIPPED with the reply's reason
        Overload,  // not looked at: too many at once; report once per round
    };

    explicit ResponderBook(BookLimits limits = BookLimits{}) : limits_(limits) {}

    // A round's listening is over. With goneAfterMissed > 0 (a watch),
    // robots that missed that many rounds in a row are returned, and
    // forgotten, as are the responders left out that long. A robot misses a
    // round only when the round searched where it was heard: on an interface
    // in searchedOn (nullptr: everywhere), or as a target (no interface).
    std::vector<std::pair<Sender, RobotFacts>> EndRound(int goneAfterMissed,
                                                        const std::vector<std::string>* searchedOn = nullptr);
    // A new round of searches begins.
    void StartRound() { ++round_; }
    // The interface went away: its robots, returned and forgotten.
    std::vector<std::pair<Sender, RobotFacts>> ForgetInterface(const std::string& interfaceName);

    // Whether a datagram from sender on that interface needs checking at
    // all: not from a robot already heard this round, nor from a sender
    // being fetched or fetched this round by that interface.
    bool WantsReply(Sender sender, unsigned int interfaceIndex) const;

    // A checked reply or announcement: skip is its verdict (NONE: it names
    // itself and may be fetched); facts are its LOCATION, interface and boot
    // id, kept for the events of a fetch. Only a valid one keeps a robot from
    // GONE; one whose LOCATION or boot id changed has it fetched again.
    Action OnReply(Sender sender, unsigned int interfaceIndex, seekwell_skip_reason skip, const RobotFacts& facts);
    // An address the host named, asked for its description once a round:
    // Fetch, unless a fetch for it runs or it was heard this round. A robot's
    // fetch only keeps it from GONE; it is not told again.
    Action OnAsk(Sender sender, const RobotFacts& facts);

    // A fetch for sender ended without a robot: TellSkip, or None when that
    // reason was the last one told of it.
    Action OnFetchSkipped(Sender sender, seekwell_skip_reason skip);
    // A fetch for sender found a robot called name with that UDN: the facts
    // to tell the host with ROBOT, or nullptr when it told nothing new. A
    // robot known by that UDN at another address has moved: that entry is
    // forgotten, without GONE, and *movedFrom (when given) names it.
    const RobotFacts* OnFetchRobot(Sender sender, std::string name, std::string udn = std::string(),
                                   Sender* movedFrom = nullptr);
    // A byebye from sender naming usn: the robot's facts, forgotten, when
    // sender is that robot and the USN names it; none otherwise.
    std::optional<RobotFacts> OnByebye(Sender sender, const std::string& usn);
    // What a reply for sender carried (its LOCATION, its interface); nullptr
    // for a sender the book does not hold.
    const RobotFacts* FactsOf(Sender sender) const;

    // Replies not looked at since the search began.
    std::size_t OverloadedReplies() const { return overloaded_; }

    std::size_t Size() const { return entries_.size(); }
    std::size_t Fetching() const { return fetching_; }
    std::size_t Robots() const { return robots_; }

private:
    enum class State { Fetching, Robot, Skipped };
    struct Entry {
        State state = State::Skipped;
        int heardRound = 0;     // the last round a valid reply (or any, while left out) came
        int fetchedRound = -1;  // the last round a fetch was started, and by which interface
        unsigned int fetchedOn = 0;
        seekwell_skip_reason told = SEEKWELL_SKIP_NONE;
        bool rechecking = false;            // a robot's description fetched again
        int missed = 0;                     // rounds in a row a robot was searched for and not heard
        RobotFacts facts;                   // from the reply that was fetched
        std::list<Sender>::iterator aging;  // left-out responders only
    };

    Entry* Admit(Sender sender);
    Action Judge(Sender sender, Entry& entry, unsigned int interfaceIndex, seekwell_skip_reason skip);
    Action Overloaded();
    Action TellOnce(Entry& entry, seekwell_skip_reason skip);
    void LeaveOut(Sender sender, Entry& entry);
    void StopAging(Entry& entry);
    void EndRecheck(Entry& entry, bool stillRobot);
    Action Recheck(Entry& entry, const RobotFacts& facts);
    void Forget(Sender sender);
    void Forget(std::unordered_map<Sender, Entry>::iterator at);

    BookLimits limits_;
    std::unordered_map<Sender, Entry> entries_;
    // Robots by UDN, one address each.
    std::unordered_map<std::string, Sender> udns_;
    // Left-out responders, least recently judged first: the ones forgotten
    // when the book is full.
    std::list<Sender> aging_;
    std::size_t fetching_ = 0;
    std::size_t robots_ = 0;
    std::size_t overloaded_ = 0;
    int round_ = 0;
    int overloadToldRound_ = -1;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_RESPONDER_BOOK_H
