// The events of one live search, waiting between its thread, which makes
// them, and the host thread that dispatches them; a descriptor that is
// readable while any wait.
#ifndef SEEKWELL_LIVE_EVENT_QUEUE_H
#define SEEKWELL_LIVE_EVENT_QUEUE_H

#include <seekwell/seekwell.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
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
    void Push(LiveEvent event);
    // Several at once, in order; the descriptor turns readable once.
    void PushAll(std::vector<LiveEvent> events);
    // The oldest event waiting; the descriptor is quiet once none is left,
    // until the next Push.
    std::optional<LiveEvent> Take();
    std::size_t Count();
    // Closes the descriptor early; Fd() is -1 afterwards. Takes no lock, so a
    // forked child can release it whatever the parent's threads held.
    void CloseDescriptor() { ready_.Close(); }

private:
    // Under the lock; false when a SKIPPED was dropped instead.
    bool Append(LiveEvent& event);
    void NoteDroppedSkipped(LiveEvent& done) const;

    std::mutex mutex_;
    std::deque<LiveEvent> waiting_;
    std::size_t skippedWaiting_ = 0;
    std::size_t skippedDropped_ = 0;
    platform::WakeEvent ready_;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_EVENT_QUEUE_H
