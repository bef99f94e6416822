#include "builtin/curl_functions.h"

#include <dlfcn.h>

#include <mutex>

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
    return Bind(library, "curl_global_init", version, functions.global_init) &&
           Bind(library, "curl_version_info", version, functions.version_info) &&
           Bind(library, "curl_easy_init", version, functions.easy_init) &&
           Bind(library, "curl_easy_setopt", version, functions.easy_setopt) &&
           Bind(library, "curl_easy_getinfo", version, functions.easy_getinfo) &&
           Bind(library, "curl_easy_perform", version, functions.easy_perform) &&
           Bind(library, "curl_easy_cleanup", version, functions.easy_cleanup) &&
           Bind(library, "curl_slist_append", version, functions.slist_append) &&
           Bind(library, "curl_slist_free_all", version, functions.slist_free_all);
}

// The options the fetch sets exist from this version on; an older libcurl
// would refuse them and fetch with its defaults.
bool IsRecentEnough(const CurlFunctions& functions)
{
    const curl_version_info_data* info = functions.version_info(CURLVERSION_NOW);
    return info != nullptr && info->version_num >= kMinimumCurlVersion;
}

}  // namespace

bool BindCurl(const char* fileName, const char* symbolVersion, CurlFunctions& functions)
{
    // RTLD_LOCAL: libcurl's symbols stay out of the host's global scope.
    // RTLD_LAZY: the many functions of its TLS and other libraries that a
    // plain HTTP fetch never calls are never bound.
    void* const library = dlopen(fileName, RTLD_LAZY | RTLD_LOCAL);
    if (library != nullptr && BindAll(library, symbolVersion, functions) && IsRecentEnough(functions)) {
        return true;
    }
    if (library != nullptr) {
        dlclose(library);
    }
    // Leaves no pending message for a host that reads dlerror after its own calls.
    (void)dlerror();
    return false;
}

const CurlFunctions* LoadCurl()
{
    // call_once, not a function-local static: a child forked while another
    // thread loads gets a fresh try instead of waiting forever.
    static std::once_flag once;
    static CurlFunctions functions;
    static bool bBound = false;
    std::call_once(once, [] { bBound = BindCurl(kCurlSoname, kCurlSymbolVersion, functions); });
    return bBound ? &functions : nullptr;
}

}  // namespace seekwell::platform
