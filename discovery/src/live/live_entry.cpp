// The live search's C functions: the checks of what the host passes, and
// the promises every call keeps (no exception and no cancellation of the
// calling thread while inside).
#include <net/if.h>
#include <pthread.h>
#include <seekwell/seekwell.h>

#include <cerrno>
#include <new>

#include "live/live_search.h"

using seekwell::live::LiveParameters;
using seekwell::live::LiveSearch;

// What the host holds; the search itself is behind it.
struct seekwell_search {
    LiveSearch* live;
};

namespace {

// A pthread_cancel of the caller waits until the call returns: acted on
// inside, it would unwind through the search's locks.
class CancelDeferred {
public:
    CancelDeferred() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &callerState_); }
    ~CancelDeferred() { pthread_setcancelstate(callerState_, nullptr); }
    CancelDeferred(const CancelDeferred&) = delete;
    CancelDeferred& operator=(const CancelDeferred&) = delete;

private:
    int callerState_ = PTHREAD_CANCEL_ENABLE;
};

// 0, or -EINVAL/-ENODEV for options no search can run with.
int ReadOptions(const seekwell_options* options, LiveParameters& params)
{
    if (options == nullptr) {
        return 0;
    }
    if (options->size < sizeof(seekwell_options)) {
        return -EINVAL;
    }
    if (options->period_ms != 0 && options->period_ms < SEEKWELL_MIN_SEARCH_PERIOD_MS) {
        return -EINVAL;
    }
    params.windowMs = options->window_ms;
    params.periodMs = options->period_ms != 0 ? options->period_ms : SEEKWELL_SEARCH_PERIOD_MS;
    if (options->interface_name != nullptr) {
        if (if_nametoindex(options->interface_name) == 0) {
            return -ENODEV;
        }
        params.interfaceName = options->interface_name;
    }
    return 0;
}

int StartSearch(const seekwell_options* options, seekwell_event_fn onEvent, void* userData, seekwell_search** search)
{
    LiveParameters params;
    if (const int error = ReadOptions(options, params); error != 0) {
        return error;
    }
    auto* handle = new (std::nothrow) seekwell_search{nullptr};
    auto* live = new (std::nothrow) LiveSearch(std::move(params), onEvent, userData);
    if (handle == nullptr || live == nullptr) {
        delete handle;
        delete live;
        return -ENOMEM;
    }
    if (const int error = live->Start(); error != 0) {
        delete live;
        delete handle;
        return -error;
    }
    handle->live = live;
    *search = handle;
    return 0;
}

}  // namespace

extern "C" SEEKWELL_API int seekwell_search_start(const seekwell_options* options, seekwell_event_fn on_event,
                                                  void* user_data, seekwell_search** search)
{
    const CancelDeferred deferred;
    if (search == nullptr) {
        return -EINVAL;
    }
    *search = nullptr;
    if (on_event == nullptr) {
        return -EINVAL;
    }
    try {
        return StartSearch(options, on_event, user_data, search);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
}

extern "C" SEEKWELL_API int seekwell_search_fd(const seekwell_search* search)
{
    return search != nullptr && search->live != nullptr ? search->live->Fd() : -EINVAL;
}

extern "C" SEEKWELL_API int seekwell_search_dispatch(seekwell_search* search)
{
    const CancelDeferred deferred;
    if (search == nullptr) {
        return -EINVAL;
    }
    if (search->live == nullptr) {
        return 0;
    }
    const LiveSearch::Progress progress = search->live->Dispatch();
    if (progress == LiveSearch::Progress::Released) {
        delete search;
    }
    return progress == LiveSearch::Progress::Running ? 1 : 0;
}

extern "C" SEEKWELL_API int seekwell_search_wait(seekwell_search* search, int timeout_ms)
{
    const CancelDeferred deferred;
    if (search == nullptr) {
        return -EINVAL;
    }
    if (search->live == nullptr) {
        return 0;
    }
    const LiveSearch::Progress progress = search->live->Wait(timeout_ms);
    if (progress == LiveSearch::Progress::Released) {
        delete search;
    }
    return progress == LiveSearch::Progress::Running ? 1 : 0;
}

extern "C" SEEKWELL_API void seekwell_search_cancel(seekwell_search* search)
{
    if (search != nullptr && search->live != nullptr) {
        search->live->Cancel();
    }
}

extern "C" SEEKWELL_API void seekwell_search_free(seekwell_search* search)
{
    const CancelDeferred deferred;
    if (search == nullptr || search->live == nullptr) {
        return;
    }
    if (LiveSearch::Release(search->live)) {
        delete search;
    } else {
        // Freed from inside its own callback: the dispatch that runs the
        // callback releases the search, then this handle.
        search->live = nullptr;
    }
}
