// One live search as its host holds it: the search thread, the events
// waiting for the host, and the rules of dispatching, cancelling and freeing
// that every host thread follows.
#ifndef SEEKWELL_LIVE_LIVE_SEARCH_H
#define SEEKWELL_LIVE_LIVE_SEARCH_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "live/event_queue.h"
#include "live/search_loop.h"
#include "platform/owned_descriptors.h"
#include "platform/wake_event.h"
#include "platform/worker_thread.h"

namespace seekwell::live {

// The options of this version, up to the end of period_ms: the least a host
// may pass. Later versions add fields after it, never before.
constexpr std::size_t kOptionsMinimumSize = offsetof(seekwell_options, period_ms) + sizeof(unsigned int);
// Sizes beyond this are no options structure at all, and are not read.
constexpr std::size_t kOptionsSizeLimit = 4096;

// What a host's options make of a search: 0, or a negative errno value.
int ParametersFromOptions(const seekwell_options* options, LiveParameters& params);

class LiveSearch {
public:
    enum class Progress { Running, Done, Released };
    // What runs on the search thread: RunSearch, or a test's script.
    using Body = void (*)(const LiveParameters& params, EventQueue& events, const std::atomic<bool>& cancelled,
                          const platform::WakeEvent& wake);

    LiveSearch(LiveParameters params, seekwell_event_fn onEvent, void* userData, Body body = RunSearch);
    // Cancels and waits for the search thread.
    ~LiveSearch();
    LiveSearch(const LiveSearch&) = delete;
    LiveSearch& operator=(const LiveSearch&) = delete;

    // Makes the descriptors and starts the thread: 0, or an errno value.
    int Start();
    int Fd() const { return events_.Fd(); }
    // Delivers what waits now. An exception of the callback leaves through
    // here; the event it was thrown for counts as delivered, the rest wait.
    // Released: the host freed the search, which is gone once every thread
    // inside Dispatch or Wait has left.
    Progress Dispatch();
    // Dispatches until DONE or timeoutMs (negative: no limit).
    Progress Wait(int timeoutMs);
    void Cancel();
    // Frees the search; the object goes when the last thread inside Dispatch
    // or Wait leaves (at once when none is). In a forked child only the
    // child's copies of the search's descriptors are closed, every one.
    static void Release(LiveSearch* search);

private:
    class Caller;
    class Dispatching;

    static void* ThreadEntry(void* self);
    bool ForkedAway() const;
    bool InsideCallback() const;
    Progress DispatchLocked();
    void DeliverWaiting();

    LiveParameters params_;
    seekwell_event_fn onEvent_;
    void* userData_;
    Body body_;
    EventQueue events_;
    std::atomic<bool> cancelled_{false};
    platform::WakeEvent wake_;
    // What the search thread holds, for a forked child to close.
    platform::OwnedDescriptors owned_;
    std::uint64_t creator_;
    platform::WorkerThread thread_;
    // Threads inside Dispatch, Wait or Release; the last one out after a
    // release deletes the search.
    std::atomic<int> callers_{0};
    std::atomic<bool> released_{false};
    // Held by the one thread dispatching; dispatcher_ names it.
    std::mutex dispatchMutex_;
    std::atomic<pthread_t> dispatcher_{};
    std::atomic<bool> dispatching_{false};
    bool doneDelivered_ = false;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_LIVE_SEARCH_H
