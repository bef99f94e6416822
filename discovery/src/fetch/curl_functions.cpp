#include "fetch/curl_functions.h"

#include <dlfcn.h>
#include <pthread.h>

#include "fetch/curl_wakeup_pair.h"

namespace seekwell::platform {

namespace {

constexpr const char kCurlSoname[] = SEEKWELL_LIBCURL_SONAME;
constexpr const char kCurlSymbolVersion[] = SEEKWELL_LIBCURL_SYMBOL_VERSION;
constexpr unsigned int kMinimumCurlVersion = SEEKWELL_LIBCURL_MIN_VERSION_NUM;

template <typename Function>
bool Bind(void* library, const char* name, const char* symbolVersion, Function& function)
{
    void* const symbol = symbolVersion[0] != '\0' ? dlvsym(library, name, symbolVersion) : dlsym(library, name);
    function = reinterpret_cast<Function>(symbol);
    return symbol != nullptr;
}

bool BindAll(void* library, const char* version, CurlFunctions& functions)
{
    return Bind(library, "curl_global_init", version, functions.globalInit) &&
           Bind(library, "curl_version_info", version, functions.versionInfo) &&
           Bind(library, "curl_easy_init", version, functions.easyInit) &&
           Bind(library, "curl_easy_setopt", version, functions.easySetopt) &&
           Bind(library, "curl_easy_getinfo", version, functions.easyGetinfo) &&
           Bind(library, "curl_easy_perform", version, functions.easyPerform) &&
           Bind(library, "curl_easy_cleanup", version, functions.easyCleanup) &&
           Bind(library, "curl_slist_append", version, functions.slistAppend) &&
           Bind(library, "curl_slist_free_all", version, functions.slistFreeAll) &&
           Bind(library, "curl_multi_init", version, functions.multiInit) &&
           Bind(library, "curl_multi_setopt", version, functions.multiSetopt) &&
           Bind(library, "curl_multi_add_handle", version, functions.multiAddHandle) &&
           Bind(library, "curl_multi_remove_handle", version, functions.multiRemoveHandle) &&
           Bind(library, "curl_multi_socket_action", version, functions.multiSocketAction) &&
           Bind(library, "curl_multi_info_read", version, functions.multiInfoRead) &&
           Bind(library, "curl_multi_cleanup", version, functions.multiCleanup);
}

// The options the fetch sets exist from this version on; an older libcurl
// would refuse them and fetch with its defaults.
bool IsRecentEnough(const CurlFunctions& functions)
{
    const curl_version_info_data* info = functions.versionInfo(CURLVERSION_NOW);
    return info != nullptr && info->version_num >= kMinimumCurlVersion;
}

}  // namespace

void* BindCurl(const char* fileName, const char* symbolVersion, CurlFunctions& functions)
{
    // RTLD_LOCAL: libcurl's symbols stay out of the host's global scope.
    // RTLD_LAZY: the many functions of its TLS and other libraries that a
    // plain HTTP fetch never calls are never bound.
    void* const library = dlopen(fileName, RTLD_LAZY | RTLD_LOCAL);
    if (library != nullptr && BindAll(library, symbolVersion, functions) && IsRecentEnough(functions)) {
        return library;
    }
    if (library != nullptr) {
        dlclose(library);
    }
    // Leaves no pending message for a host that reads dlerror after its own calls.
    (void)dlerror();
    return nullptr;
}

namespace {

// Held while libcurl is made ready, and by every fork of the process for the
// moment of forking (taken in the prepare handler). A plain mutex, renewed in
// the child, whose one thread never held it.
pthread_mutex_t g_readyMutex = PTHREAD_MUTEX_INITIALIZER;
CurlFunctions g_functions;
bool g_readyTried = false;
bool g_ready = false;

void TakeReadyLock() { pthread_mutex_lock(&g_readyMutex); }
void GiveReadyLock() { pthread_mutex_unlock(&g_readyMutex); }
void RenewReadyLock() { pthread_mutex_init(&g_readyMutex, nullptr); }

// Registered once, at load; the library is never unmapped (-z nodelete), so
// the handlers stay valid for the life of the process.
class ForkWaitsForReadiness {
public:
    ForkWaitsForReadiness() { pthread_atfork(TakeReadyLock, GiveReadyLock, RenewReadyLock); }
};
const ForkWaitsForReadiness kForkWaitsForReadiness;

// Runs in the first search's window (or at the first fetch), never from a
// static initialiser. With CURL_VERSION_THREADSAFE (Debian's libcurl has it; a
// unit test checks) the init is safe while host threads use libcurl; without
// it, a host that drives libcurl on other threads must have initialised it
// itself, which makes this init a mere count-up. curl_global_cleanup is never
// called: others may still use libcurl.
bool MakeReady()
{
    void* const library = BindCurl(kCurlSoname, kCurlSymbolVersion, g_functions);
    if (library == nullptr) {
        return false;
    }
    // Where the pairs cannot be routed, fetches are still made.
    (void)RouteCurlSocketPairs(library);
    return g_functions.globalInit(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

}  // namespace

const CurlFunctions* ReadyCurl()
{
    TakeReadyLock();
    if (!g_readyTried) {
        g_readyTried = true;
        g_ready = MakeReady();
    }
    const bool ready = g_ready;
    GiveReadyLock();
    return ready ? &g_functions : nullptr;
}

}  // namespace seekwell::platform
