#include "live/event_queue.h"

#include <new>
#include <utility>

namespace seekwell::live {

namespace {

// A notice of an interface, one of each type.
std::string NoticeKey(const LiveEvent& event) { return std::to_string(event.type) + ":" + event.interfaceName; }

}  // namespace

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
    Add(event);
    Announce(wasEmpty);
}

void EventQueue::PushAll(std::vector<LiveEvent> events)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const bool wasEmpty = waiting_.empty();
    try {
        for (LiveEvent& event : events) {
            Add(event);
        }
    } catch (const std::bad_alloc&) {
        // Whatever was stored is announced, also when memory ran out part way.
        Announce(wasEmpty);
        throw;
    }
    Announce(wasEmpty);
}

void EventQueue::Announce(bool wasEmpty) const
{
    // A merge can empty the queue: a robot that came and went unseen.
    if (wasEmpty && !waiting_.empty()) {
        ready_.Signal();
    } else if (!wasEmpty && waiting_.empty()) {
        ready_.Drain();
    }
}

void EventQueue::Add(LiveEvent& event)
{
    const seekwell_event_type type = event.type;
    if ((type == SEEKWELL_EVENT_ROBOT || type == SEEKWELL_EVENT_GONE) && !event.udn.empty()) {
        AddForRobot(event);
        return;
    }
    if (type == SEEKWELL_EVENT_QUIET || type == SEEKWELL_EVENT_DROPPED) {
        AddNotice(event);
        return;
    }
    const bool skipped = type == SEEKWELL_EVENT_SKIPPED;
    if (skipped && skippedWaiting_ == kMaxWaitingSkipped) {
        ++skippedDropped_;
        return;
    }
    if (type == SEEKWELL_EVENT_DONE) {
        NoteDroppedSkipped(event);
    }
    waiting_.push_back(std::move(event));
    if (skipped) {
        ++skippedWaiting_;
    }
}

void EventQueue::AddForRobot(LiveEvent& event)
{
    const bool gone = event.type == SEEKWELL_EVENT_GONE;
    const auto [found, added] = robots_.try_emplace(event.udn);
    Robot& robot = found->second;
    if (robot.robot) {
        if (!gone) {
            // The latest facts, where the host would have met the first.
            **robot.robot = std::move(event);
        } else if (robot.gone) {
            // The GONE before it already takes the robot from the host.
            waiting_.erase(*robot.robot);
            robot.robot.reset();
        } else if (robot.delivered) {
            // One GONE, with the latest facts, where the ROBOT waited.
            **robot.robot = std::move(event);
            robot.gone = robot.robot;
            robot.robot.reset();
        } else {
            // Came and went before the host had it: the host need not hear of it.
            waiting_.erase(*robot.robot);
            robot.robot.reset();
            Forget(found);
        }
        return;
    }
    if (gone && robot.gone) {
        return;  // said already
    }
    try {
        const Waiting::iterator at = waiting_.insert(waiting_.end(), std::move(event));
        (gone ? robot.gone : robot.robot) = at;
    } catch (const std::bad_alloc&) {
        if (added) {
            robots_.erase(found);
        }
        throw;
    }
}

void EventQueue::AddNotice(LiveEvent& event)
{
    const auto [found, added] = notices_.try_emplace(NoticeKey(event), waiting_.end());
    if (!added) {
        return;
    }
    try {
        found->second = waiting_.insert(waiting_.end(), std::move(event));
    } catch (const std::bad_alloc&) {
        notices_.erase(found);
        throw;
    }
}

void EventQueue::Forget(std::unordered_map<std::string, Robot>::iterator robot)
{
    const Robot& held = robot->second;
    if (!held.delivered && !held.gone && !held.robot) {
        robots_.erase(robot);
    }
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
    const seekwell_event_type type = oldest->type;
    if (type == SEEKWELL_EVENT_SKIPPED) {
        --skippedWaiting_;
    } else if (type == SEEKWELL_EVENT_QUIET || type == SEEKWELL_EVENT_DROPPED) {
        notices_.erase(NoticeKey(*oldest));
    } else if (type == SEEKWELL_EVENT_ROBOT || type == SEEKWELL_EVENT_GONE) {
        // Not found for one without a udn, which is never merged. Else the
        // oldest of a robot's events is the first that waits for it.
        if (const auto found = robots_.find(oldest->udn); found != robots_.end()) {
            Robot& robot = found->second;
            robot.delivered = type == SEEKWELL_EVENT_ROBOT;
            (robot.delivered ? robot.robot : robot.gone).reset();
            Forget(found);
        }
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
