/*
 * Stands in for a libcurl.so.4 older than the description fetch needs: it exports the functions
 * the library binds, under the symbol version of the libcurl it was built for, and reports
 * version 7.84.0. Any call but the version query aborts, so a caller that uses it anyway shows.
 */
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <stdlib.h>

/* The last version without CURLOPT_PROTOCOLS_STR. */
#define OLD_VERSION_NUM 0x075400

static curl_version_info_data g_info = {
    .age = CURLVERSION_FIRST, .version = "7.84.0", .version_num = OLD_VERSION_NUM, .host = "stub"};

curl_version_info_data* curl_version_info(CURLversion age)
{
    (void)age;
    return &g_info;
}

CURLcode curl_global_init(long flags)
{
    (void)flags;
    abort();
}

CURL* curl_easy_init(void) { abort(); }

CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...)
{
    (void)handle;
    (void)option;
    abort();
}

CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...)
{
    (void)handle;
    (void)info;
    abort();
}

CURLcode curl_easy_perform(CURL* handle)
{
    (void)handle;
    abort();
}

void curl_easy_cleanup(CURL* handle)
{
    (void)handle;
    abort();
}

struct curl_slist* curl_slist_append(struct curl_slist* list, const char* text)
{
    (void)list;
    (void)text;
    abort();
}

void curl_slist_free_all(struct curl_slist* list)
{
    (void)list;
    abort();
}

CURLM* curl_multi_init(void) { abort(); }

CURLMcode curl_multi_setopt(CURLM* multi, CURLMoption option, ...)
{
    (void)multi;
    (void)option;
    abort();
}

CURLMcode curl_multi_add_handle(CURLM* multi, CURL* handle)
{
    (void)multi;
    (void)handle;
    abort();
}

CURLMcode curl_multi_remove_handle(CURLM* multi, CURL* handle)
{
    (void)multi;
    (void)handle;
    abort();
}

CURLMcode curl_multi_socket_action(CURLM* multi, curl_socket_t socket, int events, int* running)
{
    (void)multi;
    (void)socket;
    (void)events;
    (void)running;
    abort();
}

CURLMsg* curl_multi_info_read(CURLM* multi, int* queued)
{
    (void)multi;
    (void)queued;
    abort();
}

CURLMcode curl_multi_cleanup(CURLM* multi)
{
    (void)multi;
    abort();
}
