// libcurl's functions, bound at run time instead of linked: libcurl and the
// TLS, Kerberos and LDAP libraries it brings load only when a search first
// needs them, so a host that never searches never pays for them.
#ifndef SEEKWELL_FETCH_CURL_FUNCTIONS_H
#define SEEKWELL_FETCH_CURL_FUNCTIONS_H

#include <curl/curl.h>

namespace seekwell::platform {

// The functions the description fetches call, one at a time or many at once.
struct CurlFunctions {
    decltype(&curl_global_init) globalInit;
    decltype(&curl_version_info) versionInfo;
    decltype(&curl_easy_init) easyInit;
    decltype(&curl_easy_setopt) easySetopt;
    decltype(&curl_easy_getinfo) easyGetinfo;
    decltype(&curl_easy_perform) easyPerform;
    decltype(&curl_easy_cleanup) easyCleanup;
    decltype(&curl_slist_append) slistAppend;
    decltype(&curl_slist_free_all) slistFreeAll;
    decltype(&curl_multi_init) multiInit;
    decltype(&curl_multi_setopt) multiSetopt;
    decltype(&curl_multi_add_handle) multiAddHandle;
    decltype(&curl_multi_remove_handle) multiRemoveHandle;
    decltype(&curl_multi_socket_action) multiSocketAction;
    decltype(&curl_multi_info_read) multiInfoRead;
    decltype(&curl_multi_cleanup) multiCleanup;
};

// Loads the libcurl the library was built for, by its SONAME, binds its
// functions with their symbol versions, makes its wake-up pairs close-on-exec
// (curl_wakeup_pair.h) and runs its global init; once per process, later
// calls give the same answer. A fork in another thread waits until this is
// done, so a child never inherits libcurl half-initialised (whose init lock
// it would spin on forever). nullptr when libcurl cannot be loaded, lacks one
// of the functions, is older than the fetch needs or fails its init. Never
// unloads it: libcurl keeps global state that other users in the process may
// share.
const CurlFunctions* ReadyCurl();

// The binding for a given file and symbol version (empty: unversioned
// symbols): the dlopen handle, or nullptr when it does not qualify, and the
// library is closed again.
void* BindCurl(const char* fileName, const char* symbolVersion, CurlFunctions& functions);

}  // namespace seekwell::platform

#endif  // SEEKWELL_FETCH_CURL_FUNCTIONS_H
