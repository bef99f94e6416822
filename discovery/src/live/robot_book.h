// What a live search knows of the devices that answered it: robots by the
// UDN of their description, each at one address; the responders at each
// address, with the read of their description under way; and those left
// out, with the reason last told. Pure bookkeeping, without sockets, threads
// or clocks: the search loop feeds it what the intake let through, each
// finished read and the rounds, and carries out the fetches and tells the
// events it leaves in its outboxes.
//
// A robot is its UDN. While it answers at its address no other address
// takes it: a read elsewhere that finds its UDN makes that address an alias
// and has the robot's own address checked; the robot moves (ROBOT with the
// new address, no GONE) only once its address no longer answers for it: a
// byebye, a missed round, a check that fails or finds another UDN there.
// Between two ROBOT events of one UDN at one address there is a GONE,
// unless the second tells a new name.
//
// A LAN device can forge any sender, so everything here is bounded: at most
// one read per address a round, whatever arrives; the responders and the
// reads under way are capped; a robot is never forgotten for a stranger.
#ifndef SEEKWELL_LIVE_ROBOT_BOOK_H
#define SEEKWELL_LIVE_ROBOT_BOOK_H

#include <seekwell/seekwell.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "live/intake.h"

namespace seekwell::live {

struct BookLimits {
    // Every responder the book holds at once, robots included.
    std::size_t responders = 4096;
    // Descriptions being read.
    std::size_t fetches = 384;
    // Reads waiting for room, in the order their responders answered: a LAN
    // of a thousand robots answering at once is read whole.
    std::size_t waiting = 1024;
};

// IPv4 addresses in network order.
using Address = std::uint32_t;
// Tells a read from any other of the same address.
using Ticket = std::uint64_t;

// A read the loop is to start. A check reads a robot's own address after
// another address claimed its UDN: it must answer at once, as a device on
// the link does, or the robot moves. An asked target's read gives way to
// those of devices that answered.
struct FetchOrder {
    Address address = 0;
    Ticket ticket = 0;
    bool check = false;
    bool asked = false;
    FetchRoute route;
};

// An event for the host: ROBOT, GONE or SKIPPED.
struct Told {
    seekwell_event_type type = SEEKWELL_EVENT_ROBOT;
    Address address = 0;
    std::string name;
    std::string location;
    std::string interfaceName;
    std::string udn;
    seekwell_skip_reason skip = SEEKWELL_SKIP_NONE;
    std::string reason;
    int httpStatus = 0;
};

// How a read ended: a robot's description (robot, udn, name), or why not.
struct ReadResult {
    bool robot = false;
    std::string udn;
    std::string name;
    seekwell_skip_reason skip = SEEKWELL_SKIP_NONE;
    std::string reason;
    int httpStatus = 0;
};

class RobotBook {
public:
    // watch: the search runs until cancelled; robots that leave are GONE.
    // Otherwise a robot, once told, is never told again at its address.
    RobotBook(BookLimits limits, bool watch) : limits_(limits), watch_(watch) {}

    // A new round: reads that waited for it start.
    void StartRound();
    // The round's listening is over; searched holds the interfaces its
    // searches went out on. A robot misses the round only when the round
    // searched where it answers (its interface, or its address as a target).
    void EndRound(const std::vector<unsigned int>& searched);
    // The interface went away: its robots move to an alias elsewhere or are
    // GONE, and the responders there are forgotten.
    void ForgetInterface(unsigned int index);

    // A reply or ssdp:alive the intake believed.
    void OnResponder(Address address, const Heard& heard);
    // A reply the intake left out: told, once for each reason in a row.
    void OnSkipped(Address address, seekwell_skip_reason skip, const std::string& reason, const Heard& heard);
    // A believed ssdp:byebye naming udn.
    void OnByebye(Address address, const std::string& udn);
    // An asked target's turn: read unless it answered this round.
    void OnAsked(Address address, const Heard& heard);
    // A unicast search went to address this round.
    void OnSwept(Address address);
    // A read ended; one whose ticket is not the address's current read is
    // dropped.
    void OnRead(Address address, Ticket ticket, const ReadResult& result);

    std::vector<Told> TakeTold();
    std::vector<FetchOrder> TakeFetches();

    // Replies not looked at since the search began.
    std::size_t Overloaded() const { return overloaded_; }
    std::size_t Responders() const { return responders_.size(); }
    std::size_t Robots() const { return robots_.size(); }
    std::size_t Fetching() const { return fetching_; }
    std::size_t Waiting() const { return waiting_.size(); }
    // Whether the address answered this round: a datagram the intake
    // believed, or a read.
    bool Answered(Address address) const;

private:
    enum class Role { Skipped, Robot, Alias };
    struct Responder {
        Role role = Role::Skipped;
        Heard heard;
        std::string udn;   // Robot, Alias: the UDN its last read found
        std::string name;  // and the name
        Ticket reading = 0;
        std::list<Address>::iterator waiting;  // its read waits for room; waiting_.end() when not
        bool waitingCheck = false;
        bool waitingAsked = false;
        bool discardRead = false;  // the read under way began before the address left: its end tells nothing
        bool readPending = false;  // something changed that a read must see
        bool viaDatagram = false;  // answers searches, not only when asked
        int heardRound = -1;       // it answered: a datagram the intake believed, or a read
        int readRound = -1;        // a read of it started: at most one a round
        int answeredRound = -1;    // a read found its UDN
        int askedRound = -1;       // asked as a target, or sent a unicast search
        seekwell_skip_reason told = SEEKWELL_SKIP_NONE;
        std::list<Address>::iterator aging;
    };
    struct Robot {
        Address address = 0;  // 0: none (a window search's robot whose address serves another now)
        Address toldAt = 0;   // the address the host was last told
        std::string name;
        int missed = 0;
        std::vector<Address> aliases;
    };
    enum class Loss { Byebye, Missed, FailedCheck, OtherUdn, InterfaceGone };
    using ResponderMap = std::unordered_map<Address, Responder>;

    Responder* Admit(Address address);
    Responder* AdmitToRead(Address address, const Heard& heard);
    void Settle(Address address, Responder& responder);
    void StartRead(Address address, Responder& responder, bool check = false, bool asked = false);
    void Wait(Address address, Responder& responder, bool check, bool asked);
    void StopWaiting(Responder& responder);
    void StartWaiting();
    void Overload(Address address, const Heard& heard);
    void TellSkip(Address address, Responder& responder, seekwell_skip_reason skip, const std::string& reason,
                  int httpStatus = 0);
    void TellRobot(seekwell_event_type type, const std::string& udn, Robot& robot, Address address);
    void Found(Address address, Responder& responder, const ReadResult& result);
    void Claim(Address address, Responder& responder, const std::string& udn);
    void LoseAddress(const std::string& udn, Loss loss, Address alias);
    void Move(const std::string& udn, Robot& robot, Address to);
    Address BestAlias(const std::string& udn, const Robot& robot, int sinceRound) const;
    Address StandingBy(const std::string& udn) const;
    void AddAlias(Robot& robot, Address address);
    void Unlink(Address address, Responder& responder);
    void Leave(Address address, Responder& responder);
    void Forget(ResponderMap::iterator at);

    BookLimits limits_;
    bool watch_;
    ResponderMap responders_;
    std::unordered_map<std::string, Robot> robots_;
    // Responders that are neither robots nor being read, least recently
    // heard first: the ones forgotten when the book is full.
    std::list<Address> aging_;
    // Addresses read this round and forgotten since: still not read again.
    std::unordered_set<Address> readAndForgotten_;
    // Reads that wait for room, the first to answer first.
    std::list<Address> waiting_;
    std::vector<Told> told_;
    std::vector<FetchOrder> fetches_;
    std::size_t fetching_ = 0;
    std::size_t overloaded_ = 0;
    Ticket tickets_ = 0;
    int round_ = 0;
    int overloadToldRound_ = -1;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_ROBOT_BOOK_H
