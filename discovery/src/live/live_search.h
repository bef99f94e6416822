// One live search as its host holds it: the search thread, the events
// waiting for the host, and the rules of dispatching, cancelling and freeing
// that every host thread follows.
#ifndef SEEKWELL_LIVE_LIVE_SEARCH_H
#define SEEKWELL_LIVE_LIVE_SEARCH_H

#include <sys/types.h>

#include <atomic>
#include <mutex>

#include "platform/worker_thread.h"
#include "live/event_queue.h"
#include "live/search_loop.h"
#include "platform/wake_event.h"

namespace seekwell::live {

class LiveSearch {
public:
    enum class Progress { Running, Done, Released };

    LiveSearch(LiveParameters params, seekwell_event_fn onEvent, void* userData);
    // Cancels and waits for the search thread.
    ~LiveSearch();
    LiveSearch(const LiveSearch&) = delete;
    LiveSearch& operator=(const LiveSearch&) = delete;

    // Makes the descriptors and starts the thread: 0, or an errno value.
    int Start();
    int Fd() const { return events_.Fd(); }
    // Delivers what waits. Released: the host freed the search from inside
    // its callback and it is gone now.
    Progress Dispatch();
    // Dispatches until DONE or timeoutMs (negative: no limit).
    Progress Wait(int timeoutMs);
    void Cancel();
    // Frees the search, or, called from inside its callback, marks it to be
    // freed when that dispatch returns. True when it is gone now.
    static bool Release(LiveSearch* search);

private:
    static void* ThreadEntry(void* self);
    bool ForkedAway() const;
    bool DeliverAll();

    LiveParameters params_;
    seekwell_event_fn onEvent_;
    void* userData_;
    EventQueue events_;
    std::atomic<bool> cancelled_{false};
    platform::WakeEvent wake_;
    pid_t creator_;
    platform::WorkerThread thread_;
    // Held by the one thread dispatching; dispatcher_ names it.
    std::mutex dispatchMutex_;
    std::atomic<pthread_t> dispatcher_{};
    std::atomic<bool> dispatching_{false};
    bool doneDelivered_ = false;
    bool releaseRequested_ = false;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_LIVE_SEARCH_H
