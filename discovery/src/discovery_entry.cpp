#include <seekwell/seekwell.h>

#include <pthread.h>

#include <cxxabi.h>

#include "discovery_call.h"
#include "search_constants.h"

namespace {

// Nothing of the built-in path throws; whatever else may is stopped here, as
// no exception may reach the host through a C function.
int DiscoverWithoutExceptions(DISCOVERY_RESULT* results)
{
    try {
        return seekwell::RunDiscoveryCall(results, seekwell::SearchParameters{}, &seekwell::ReadPlatformFacts);
    } catch (const abi::__forced_unwind&) {
        throw;  // a thread that exits must unwind
    } catch (...) {
        return seekwell::kNoSearch;
    }
}

}  // namespace

// Always the product's own constants: nothing at run time changes them.
// A cancel of the calling thread waits until the call is over: acted on
// inside, it would unwind through running workers and the call lock.
extern "C" SEEKWELL_API int DiscoveryROVAByUPnP(DISCOVERY_RESULT* results)
{
    int callerCancelState = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &callerCancelState);
    const int result = DiscoverWithoutExceptions(results);
    pthread_setcancelstate(callerCancelState, nullptr);
    return result;
}
