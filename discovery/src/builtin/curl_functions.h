// libcurl's functions, bound at run time instead of linked: libcurl and the
// TLS, Kerberos and LDAP libraries it brings load only when a search first
// needs them, so a host that never searches never pays for them.
#ifndef SEEKWELL_BUILTIN_CURL_FUNCTIONS_H
#define SEEKWELL_BUILTIN_CURL_FUNCTIONS_H

#include <curl/curl.h>

namespace seekwell::platform {

// The functions a description fetch calls.
struct CurlFunctions {
    decltype(&curl_global_init) global_init;
    decltype(&curl_version_info) version_info;
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_easy_getinfo) easy_getinfo;
    decltype(&curl_easy_perform) easy_perform;
    decltype(&curl_easy_cleanup) easy_cleanup;
    decltype(&curl_slist_append) slist_append;
    decltype(&curl_slist_free_all) slist_free_all;
};

// Loads the libcurl the library was built for, by its SONAME, and binds its
// functions with their symbol versions; once per process, later calls give the
// same answer. nullptr when libcurl cannot be loaded, lacks one of the
// functions or is older than the fetch needs. Never unloads it: libcurl keeps
// global state that other users in the process may share.
const CurlFunctions* LoadCurl();

// What LoadCurl does for a given file and symbol version (empty: unversioned
// symbols); the library is closed again when it does not qualify.
bool BindCurl(const char* fileName, const char* symbolVersion, CurlFunctions& functions);

}  // namespace seekwell::platform

#endif  // SEEKWELL_BUILTIN_CURL_FUNCTIONS_H
