// The events of one live search, waiting between its thread, which makes
// them, and the host thread that dispatches them; a descriptor that is
// readable while any wait.
#ifndef SEEKWELL_LIVE_EVENT_QUEUE_H
#define SEEKWELL_LIVE_EVENT_QUEUE_H

#include <seekwell/seekwell.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace seekwell::live {

// One event with texts of its own, until the host has seen it.
struct LiveEvent {
    seekwell_event_type type = SEEKWELL_EVENT_DONE;
    std::string name;
    std::string address;
    std::string location;
    std::string interfaceName;
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
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // 0, or the errno of a descriptor that could not be made.
    int Open();
    int Fd() const { return readyFd_.load(); }
    void Push(LiveEvent event);
    // Several at once, in order; the descriptor turns readable once.
    void PushAll(std::vector<LiveEvent> events);
    // Everything waiting, oldest first; the descriptor is quiet afterwards
    // until the next Push.
    std::deque<LiveEvent> TakeAll();
    // Closes the descriptor early; Fd() is -1 afterwards. Takes no lock, so a
    // forked child can release it whatever the parent's threads held.
    void CloseDescriptor();

private:
    std::mutex mutex_;
    std::deque<LiveEvent> waiting_;
    // Atomic: a forked child closes it without the lock, which a parent's
    // thread may have held at the fork.
    std::atomic<int> readyFd_{-1};
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_EVENT_QUEUE_H
