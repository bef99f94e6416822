// One discovery call: one call at a time, then the chosen path's search.
#include "discovery_call.h"

#include <pthread.h>

#include "builtin/upnp_search_wnd.h"
#include "call_window.h"
#include "finder/seekwell_app.h"
#include "path_choice.h"

namespace seekwell {

namespace {

// The finder path keeps its state in the one application object, so calls
// must not overlap; nothing in a host enforces that, so this lock does. A
// plain mutex, so that a child forked in the middle of a call can renew it.
pthread_mutex_t g_callMutex = PTHREAD_MUTEX_INITIALIZER;

// Runs in the child of a fork, on its one thread, before fork returns.
void RenewCallStateInChild()
{
    // The thread that held the lock in the parent does not exist here.
    pthread_mutex_init(&g_callMutex, nullptr);
    // A finder held at the fork may be in use by a parent thread that does
    // not exist here: it is only forgotten.
    theApp.m_pDeviceFinder = nullptr;
}

// Registered once, at load; the library is never unmapped (-z nodelete), so
// the handler stays valid for the life of the process.
class ForkHandler {
public:
    ForkHandler() { pthread_atfork(nullptr, nullptr, RenewCallStateInChild); }
};
const ForkHandler kForkHandler;

class CallLock {
public:
    CallLock() : held_(pthread_mutex_lock(&g_callMutex) == 0) {}
    ~CallLock()
    {
        if (held_) {
            pthread_mutex_unlock(&g_callMutex);
        }
    }
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;
    bool IsHeld() const { return held_; }

private:
    bool held_;
};

int RunBuiltInSearch(DISCOVERY_RESULT* results, const SearchParameters& params)
{
    CUpnpSearchWnd search(params);
    return search.Search(results);
}

}  // namespace

int RunDiscoveryCall(DISCOVERY_RESULT* results, const SearchParameters& params, PlatformFactsReader readFacts)
{
    if (results == nullptr) {
        return kNoSearch;
    }
    const CallLock lock;
    if (!lock.IsHeld()) {
        return kNoSearch;
    }
    const CallWindow window;
    const PlatformFacts facts = readFacts();
    switch (ChooseDiscoveryPath(facts.finderAvailable, facts.probeAnswer)) {
        case DiscoveryPath::Finder:
            return theApp.DiscoverByDeviceFinder(results);
        case DiscoveryPath::BuiltIn:
            return RunBuiltInSearch(results, params);
        case DiscoveryPath::NoSearch:
            break;
    }
    return kNoSearch;
}

}  // namespace seekwell
