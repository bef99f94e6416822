#include "live/event_queue.h"

#include <new>

namespace seekwell::live {

seekwell_event LiveEvent::View() const
{
    seekwell_event view{};
    view.type = type;
    view.name = name.c_str();
    view.address = address.c_str();
    view.location = location.c_str();
    view.interface_name = interfaceName.c_str();
    view.udn = udn.c_str();
    view.skip_reason = skip;
    view.reason = reason.c_str();
    view.http_status = httpStatus;
    view.done_reason = done;
    view.error = error;
    return view;
}

void EventQueue::Push(LiveEvent event)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const bool wasEmpty = waiting_.empty();
    if (Append(event) && wasEmpty) {
        ready_.Signal();
    }
}

void EventQueue::PushAll(std::vector<LiveEvent> events)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const bool wasEmpty = waiting_.empty();
    // Whatever was stored is announced, also when memory ran out part way.
    const auto announce = [&] {
        if (wasEmpty && !waiting_.empty()) {
            ready_.Signal();
        }
    };
    try {
        for (LiveEvent& event : events) {
            Append(event);
        }
    } catch (const std::bad_alloc&) {
        announce();
        throw;
    }
    announce();
}

bool EventQueue::Append(LiveEvent& event)
{
    const bool skipped = event.type == SEEKWELL_EVENT_SKIPPED;
    if (skipped && skippedWaiting_ == kMaxWaitingSkipped) {
        ++skippedDropped_;
        return false;
    }
    if (event.type == SEEKWELL_EVENT_DONE) {
        NoteDroppedSkipped(event);
    }
    waiting_.push_back(std::move(event));
    if (skipped) {
        ++skippedWaiting_;
    }
    return true;
}

void EventQueue::NoteDroppedSkipped(LiveEvent& done) const
{
    if (skippedDropped_ == 0) {
        return;
    }
    try {
        done.reason +=
            "; " + std::to_string(skippedDropped_) + " SKIPPED events dropped, more than 1024 waiting for the host";
    } catch (const std::bad_alloc&) {
        // DONE matters more than its count of what was dropped.
    }
}

std::optional<LiveEvent> EventQueue::Take()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.empty()) {
        return std::nullopt;
    }
    std::optional<LiveEvent> oldest(std::move(waiting_.front()));
    waiting_.pop_front();
    if (oldest->type == SEEKWELL_EVENT_SKIPPED) {
        --skippedWaiting_;
    }
    if (waiting_.empty()) {
        ready_.Drain();
    }
    return oldest;
}

std::size_t EventQueue::Count()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.size();
}

}  // namespace seekwell::live
