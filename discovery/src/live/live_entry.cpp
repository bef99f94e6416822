// The live search's C functions: the checks of what the host passes, and
// the promises every call keeps: no exception of the library's own leaves
// (the host's own, thrown by its callback, pass through), and no
// cancellation of the calling thread acts while inside.
#include <seekwell/seekwell.h>

#include <cerrno>
#include <new>

#include "cancel_deferred.h"
#include "live/live_search.h"
#include "live/search_targets.h"

using seekwell::CancelDeferred;
using seekwell::live::CheckTargets;
using seekwell::live::LiveParameters;
using seekwell::live::LiveSearch;
using seekwell::live::ParametersFromOptions;

namespace {

// The host's handle is the search itself; its type stays opaque even to
// the library's own interface description.
LiveSearch* Live(seekwell_search* search) { return reinterpret_cast<LiveSearch*>(search); }
const LiveSearch* Live(const seekwell_search* search) { return reinterpret_cast<const LiveSearch*>(search); }

int StartSearch(const seekwell_options* options, seekwell_event_fn onEvent, void* userData, seekwell_search** search)
{
    LiveParameters params;
    if (const int error = ParametersFromOptions(options, params); error != 0) {
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

// Never blocks and reaches no cancellation point: nothing to defer.
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
    // The wake's write is a cancellation point: acted on there, the search
    // would be marked cancelled without its thread ever hearing of it.
    const CancelDeferred deferred;
    if (search != nullptr) {
        Live(search)->Cancel();
    }
}

extern "C" SEEKWELL_API void seekwell_search_free(seekwell_search* search)
{
    const CancelDeferred deferred;
    // Freed from inside its own callback, the search is released when the
    // last thread dispatching on it has left.
    if (search != nullptr) {
        LiveSearch::Release(Live(search));
    }
}

// Reads the list as the search's start does, with devices on loopback never
// standing in for a LAN; allocates nothing and reaches no cancellation point.
extern "C" SEEKWELL_API int seekwell_check_targets(const char* const* targets, size_t* first_refused,
                                                   seekwell_target_reason* reason)
{
    const seekwell::live::TargetVerdict verdict = CheckTargets(targets, false);
    if (first_refused != nullptr) {
        *first_refused = verdict.index;
    }
    if (reason != nullptr) {
        *reason = verdict.reason;
    }
    return verdict.reason == SEEKWELL_TARGET_ACCEPTED ? 0 : -EINVAL;
}
