// The live search's C functions: the checks of what the host passes, and
// the promises every call keeps (no exception and no cancellation of the
// calling thread while inside).
#include <net/if.h>
#include <seekwell/seekwell.h>

#include <cerrno>
#include <new>

#include "cancel_deferred.h"
#include "live/live_search.h"

using seekwell::CancelDeferred;
using seekwell::live::LiveParameters;
using seekwell::live::LiveSearch;

namespace {

// The host's handle is the search itself; its type stays opaque even to
// the library's own interface description.
LiveSearch* Live(seekwell_search* search) { return reinterpret_cast<LiveSearch*>(search); }
const LiveSearch* Live(const seekwell_search* search) { return reinterpret_cast<const LiveSearch*>(search); }

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
    auto* live = new (std::nothrow) LiveSearch(std::move(params), onEvent, userData);
    if (live == nullptr) {
        return -ENOMEM;
    }
    if (const int error = live->Start(); error != 0) {
        delete live;
        return -error;
    }
    *search = reinterpret_cast<seekwell_search*>(live);
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
    return search != nullptr ? Live(search)->Fd() : -EINVAL;
}

extern "C" SEEKWELL_API int seekwell_search_dispatch(seekwell_search* search)
{
    const CancelDeferred deferred;
    if (search == nullptr) {
        return -EINVAL;
    }
    return Live(search)->Dispatch() == LiveSearch::Progress::Running ? 1 : 0;
}

extern "C" SEEKWELL_API int seekwell_search_wait(seekwell_search* search, int timeout_ms)
{
    const CancelDeferred deferred;
    if (search == nullptr) {
        return -EINVAL;
    }
    return Live(search)->Wait(timeout_ms) == LiveSearch::Progress::Running ? 1 : 0;
}

extern "C" SEEKWELL_API void seekwell_search_cancel(seekwell_search* search)
{
    if (search != nullptr) {
        Live(search)->Cancel();
    }
}

extern "C" SEEKWELL_API void seekwell_search_free(seekwell_search* search)
{
    const CancelDeferred deferred;
    // Freed from inside its own callback, the search is released when the
    // dispatch that runs the callback returns.
    if (search != nullptr) {
        (void)LiveSearch::Release(Live(search));
    }
}
