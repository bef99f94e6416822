#include "live/live_search.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>

namespace seekwell::live {

namespace {

// Set explicitly, whatever the host's default: libcurl's frames, and a
// sanitizer's in instrumented builds.
constexpr std::size_t kSearchThreadStackBytes = 1024 * 1024;

}  // namespace

LiveSearch::LiveSearch(LiveParameters params, seekwell_event_fn onEvent, void* userData)
    : params_(std::move(params)), onEvent_(onEvent), userData_(userData), creator_(getpid())
{
}

LiveSearch::~LiveSearch()
{
    Cancel();
    thread_.Join();
}

int LiveSearch::Start()
{
    if (const int error = events_.Open(); error != 0) {
        return error;
    }
    if (const int error = wake_.Open(); error != 0) {
        return error;
    }
    return thread_.Start(ThreadEntry, this, kSearchThreadStackBytes) ? 0 : EAGAIN;
}

void* LiveSearch::ThreadEntry(void* self)
{
    auto* search = static_cast<LiveSearch*>(self);
    RunSearch(search->params_, search->events_, search->cancelled_, search->wake_);
    return nullptr;
}

void LiveSearch::Cancel()
{
    if (!cancelled_.exchange(true)) {
        wake_.Signal();
    }
}

// A child forked from the host has the search's memory but not its thread.
bool LiveSearch::ForkedAway() const { return getpid() != creator_; }

bool LiveSearch::DeliverAll()
{
    for (const LiveEvent& event : events_.TakeAll()) {
        if (releaseRequested_) {
            return false;
        }
        // After a cancel only DONE is told.
        if (event.type != SEEKWELL_EVENT_DONE && cancelled_.load()) {
            continue;
        }
        const seekwell_event view = event.View();
        onEvent_(&view, userData_);
        if (event.type == SEEKWELL_EVENT_DONE) {
            return true;
        }
    }
    return false;
}

LiveSearch::Progress LiveSearch::Dispatch()
{
    if (ForkedAway()) {
        return Progress::Done;
    }
    // Called again from inside the callback: what waits is being delivered.
    if (dispatching_.load() && pthread_equal(dispatcher_.load(), pthread_self())) {
        return Progress::Running;
    }
    std::unique_lock<std::mutex> lock(dispatchMutex_);
    if (doneDelivered_) {
        return Progress::Done;
    }
    dispatcher_.store(pthread_self());
    dispatching_.store(true);
    doneDelivered_ = DeliverAll();
    dispatching_.store(false);
    if (releaseRequested_) {
        lock.unlock();
        delete this;
        return Progress::Released;
    }
    return doneDelivered_ ? Progress::Done : Progress::Running;
}

LiveSearch::Progress LiveSearch::Wait(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    if (dispatching_.load() && pthread_equal(dispatcher_.load(), pthread_self())) {
        return Progress::Running;
    }
    std::optional<Clock::time_point> deadline;
    if (timeoutMs >= 0) {
        deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    const int fd = Fd();
    for (;;) {
        const Progress progress = Dispatch();
        if (progress != Progress::Running) {
            return progress;
        }
        int waitMs = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) {
                return Progress::Running;
            }
            waitMs = static_cast<int>(left);
        }
        pollfd ready{fd, POLLIN, 0};
        // An interrupted wait simply goes round again.
        (void)poll(&ready, 1, waitMs);
    }
}

bool LiveSearch::Release(LiveSearch* search)
{
    if (search->ForkedAway()) {
        // Only the child's copies of the descriptors are released: the rest
        // belongs to a thread that does not exist here, and is left alone.
        search->events_.CloseDescriptor();
        search->wake_.Close();
        return true;
    }
    if (search->dispatching_.load() && pthread_equal(search->dispatcher_.load(), pthread_self())) {
        search->releaseRequested_ = true;
        search->Cancel();
        return false;
    }
    delete search;
    return true;
}

}  // namespace seekwell::live
