#include "internet_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace seekwell::platform {

namespace {

constexpr long kMsPerSecond = 1000;
// The transfer gives up when less than this many bytes per second arrive for
// the receive time-out.
constexpr long kLowSpeedBytesPerSecond = 1;
constexpr const char kOnlyHttp[] = "http";
constexpr const char kNoProxy[] = "";
constexpr const char kBypassProxyForAll[] = "*";
// Drops the Accept header libcurl would add: the request carries no header
// of its own beyond the user agent.
constexpr const char kNoAcceptHeader[] = "Accept:";

// curl_global_init must not run from a static initialiser, so it runs on the
// first fetch, exactly once. With CURL_VERSION_THREADSAFE (Debian's libcurl
// has it; a unit test checks) that is safe while host threads use libcurl.
// Without it the same lazy, single init is still the best moment we have: our
// own fetches are serialised, and a host that drives libcurl on other threads
// must then have initialised it itself, which makes this call a mere count-up.
// The library never calls curl_global_cleanup: others may still use libcurl.
bool InitialiseCurlOnce()
{
    static std::once_flag once;
    static bool initialised = false;
    std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return initialised;
}

struct BodyCollector {
    std::string body;
    std::size_t maxBytes;
};

// Keeps at most maxBytes; returning short makes libcurl stop the transfer.
std::size_t CollectBody(char* data, std::size_t size, std::size_t count, void* userdata)
{
    auto* collector = static_cast<BodyCollector*>(userdata);
    const std::size_t offered = size * count;
    const std::size_t room = collector->maxBytes - collector->body.size();
    const std::size_t taken = std::min(offered, room);
    collector->body.append(data, taken);
    return taken == offered && room > 0 ? offered : 0;
}

struct EasyHandleDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

long SecondsRoundedUp(long milliseconds)
{
    return std::max(1L, (milliseconds + kMsPerSecond - 1) / kMsPerSecond);
}

void SetConnectionOptions(CURL* handle, const HttpFetchLimits& limits)
{
    curl_easy_setopt(handle, CURLOPT_PORT, static_cast<long>(limits.port));
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, kOnlyHttp);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    // A direct connection even when http_proxy, HTTP_PROXY or ALL_PROXY is set.
    curl_easy_setopt(handle, CURLOPT_PROXY, kNoProxy);
    curl_easy_setopt(handle, CURLOPT_NOPROXY, kBypassProxyForAll);
    // The host's signal handlers stay untouched; the resolver runs in a thread.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, SecondsRoundedUp(limits.receiveTimeoutMs));
    // The low-speed check works on an average, so a trickling server is also
    // cut off by a cap on the whole fetch.
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, limits.wholeFetchCapMs);
}

void SetRequestOptions(CURL* handle, const std::string& url, curl_slist* headers)
{
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_USERAGENT, kHttpUserAgent);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    // The body is taken exactly as sent.
    curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
}

bool TransferSucceeded(CURLcode result, const BodyCollector& collector)
{
    const bool stoppedWhenFull =
        result == CURLE_WRITE_ERROR && collector.body.size() == collector.maxBytes;
    return result == CURLE_OK || stoppedWhenFull;
}

}  // namespace

bool LibcurlInitIsThreadSafe()
{
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info != nullptr && (info->features & CURL_VERSION_THREADSAFE) != 0;
}

std::string FetchBodyStart(const std::string& url, const HttpFetchLimits& limits)
{
    if (!InitialiseCurlOnce()) {
        return std::string();
    }
    const EasyHandle handle(curl_easy_init());
    const HeaderList headers(curl_slist_append(nullptr, kNoAcceptHeader));
    if (!handle || !headers) {
        return std::string();
    }
    BodyCollector collector{std::string(), limits.maxBodyBytes};
    collector.body.reserve(limits.maxBodyBytes);
    SetConnectionOptions(handle.get(), limits);
    SetRequestOptions(handle.get(), url, headers.get());
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &collector);
    const CURLcode result = curl_easy_perform(handle.get());
    return TransferSucceeded(result, collector) ? collector.body : std::string();
}

}  // namespace seekwell::platform
