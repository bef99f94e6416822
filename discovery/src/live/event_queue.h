// The events of one live search, waiting between its thread, which makes
// them, and the host thread that dispatches them; a descriptor that is
// readable while any wait. What waits for one robot is merged as it comes,
// so a device that changes its facts at any rate cannot grow the queue while
// the host does not dispatch; the host still ends with the robots it would
// have had from every event.
#ifndef SEEKWELL_LIVE_EVENT_QUEUE_H
#define SEEKWELL_LIVE_EVENT_QUEUE_H

#include <seekwell/seekwell.h>

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/wake_event.h"

namespace seekwell::live {

// SKIPPED events that may wait for a host that does not dispatch; a LAN that
// floods the search with left-out replies cannot grow the queue past them.
// Later ones are dropped, and DONE says how many.
constexpr std::size_t kMaxWaitingSkipped = 1024;

// One event with texts of its own, until the host has seen it.
struct LiveEvent {
    seekwell_event_type type = SEEKWELL_EVENT_DONE;
    std::string name;
    std::string address;
    std::string location;
    std::string interfaceName;
    std::string udn;
    seekwell_skip_reason skip = SEEKWELL_SKIP_NONE;
    std::string reason;
    int httpStatus = 0;
    seekwell_done_reason done = SEEKWELL_DONE_NONE;
    int error = 0;

    // A view for the host, valid while this event lives.
    seekwell_event View() const;
};

class EventQueue {
public:
    EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // 0, or the errno of a descriptor that could not be made.
    int Open() { return ready_.Open(); }
    int Fd() const { return ready_.Fd(); }
    // ROBOT and GONE with a udn are merged with what waits for that robot:
    //  - ROBOT after a waiting ROBOT takes its place (the latest facts);
    //  - GONE after a waiting ROBOT: both go when the host does not have the
    //    robot, the GONE takes the ROBOT's place when it does, and only the
    //    GONE before that ROBOT is left when one waits;
    //  - GONE after a waiting GONE adds nothing.
    // At most GONE then ROBOT wait for one robot. A QUIET or DROPPED for an
    // interface whose QUIET, or DROPPED, waits adds nothing; past kMaxWaitingSkipped, SKIPPED are
    // dropped. DONE and everything else is appended.
    void Push(LiveEvent event);
    // Several at once, in order; the descriptor turns readable once.
    void PushAll(std::vector<LiveEvent> events);
    // The oldest event waiting, which the host is taken to have from now on;
    // the descriptor is quiet once none is left, until the next Push.
    std::optional<LiveEvent> Take();
    std::size_t Count();
    // Closes the descriptor early; Fd() is -1 afterwards. Takes no lock, so a
    // forked child can release it whatever the parent's threads held.
    void CloseDescriptor() { ready_.Close(); }

private:
    using Waiting = std::list<LiveEvent>;

    // One robot the host has, or that has events waiting; the host's robots
    // stay here so that Take() never needs memory.
    struct Robot {
        bool delivered = false;  // the last of its events the host took was ROBOT
        std::optional<Waiting::iterator> gone;
        std::optional<Waiting::iterator> robot;  // after gone when both wait
    };

    // Under the lock; each leaves the queue as it was when it throws.
    void Add(LiveEvent& event);
    void AddForRobot(LiveEvent& event);
    void AddNotice(LiveEvent& event);
    // Drops the robot when neither the host nor the queue holds it any more.
    void Forget(std::unordered_map<std::string, Robot>::iterator robot);
    void NoteDroppedSkipped(LiveEvent& done) const;
    // Signals or drains the descriptor after a change to a queue that was or
    // was not empty before it.
    void Announce(bool wasEmpty) const;

    std::mutex mutex_;
    Waiting waiting_;
    // Keyed by udn; holds the host's robots besides those with events waiting.
    std::unordered_map<std::string, Robot> robots_;
    // The waiting QUIET and DROPPED of each interface name.
    std::unordered_map<std::string, Waiting::iterator> notices_;
    std::size_t skippedWaiting_ = 0;
    std::size_t skippedDropped_ = 0;
    platform::WakeEvent ready_;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_EVENT_QUEUE_H
