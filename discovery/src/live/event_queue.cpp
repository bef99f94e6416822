#include "live/event_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace seekwell::live {

seekwell_event LiveEvent::View() const
{
    seekwell_event view{};
    view.type = type;
    view.name = name.c_str();
    view.address = address.c_str();
    view.location = location.c_str();
    view.interface_name = interfaceName.c_str();
    view.skip_reason = skip;
    view.reason = reason.c_str();
    view.http_status = httpStatus;
    view.done_reason = done;
    view.error = error;
    return view;
}

EventQueue::~EventQueue() { CloseDescriptor(); }

int EventQueue::Open()
{
    readyFd_.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return readyFd_.load() < 0 ? errno : 0;
}

void EventQueue::Push(LiveEvent event)
{
    std::vector<LiveEvent> one;
    one.push_back(std::move(event));
    PushAll(std::move(one));
}

void EventQueue::PushAll(std::vector<LiveEvent> events)
{
    if (events.empty()) {
        return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    const bool wasEmpty = waiting_.empty();
    for (LiveEvent& event : events) {
        waiting_.push_back(std::move(event));
    }
    if (wasEmpty) {
        const std::uint64_t one = 1;
        // Fails only when the counter is full, and then it is readable anyway.
        if (write(readyFd_.load(), &one, sizeof one) < 0) {
            return;
        }
    }
}

std::deque<LiveEvent> EventQueue::TakeAll()
{
    std::deque<LiveEvent> taken;
    const std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(waiting_);
    // Read under the lock: a Push after it finds the queue empty and makes
    // the descriptor readable again.
    std::uint64_t count = 0;
    if (read(readyFd_.load(), &count, sizeof count) < 0) {
        // Nothing was pushed since the last read: it stays quiet.
    }
    return taken;
}

void EventQueue::CloseDescriptor()
{
    const int fd = readyFd_.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace seekwell::live
