#include "builtin/description_fetch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "builtin/curl_functions.h"

namespace seekwell::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kContinueTransfer = 0;
constexpr int kAbortTransfer = 1;
constexpr const char kOnlyHttp[] = "http";
constexpr const char kNoProxy[] = "";
constexpr const char kBypassProxyForAll[] = "*";
// Drops the Accept header libcurl would add: the request carries no header
// of its own beyond the user agent.
constexpr const char kNoAcceptHeader[] = "Accept:";
constexpr const char kOwnDescriptorsDir[] = "/proc/self/fd";

// curl_global_init must not run from a static initialiser, so it runs in the
// first search's window (or at the first fetch), exactly once. With
// CURL_VERSION_THREADSAFE (Debian's libcurl has it; a unit test checks) that is
// safe while host threads use libcurl.
// Without it the same lazy, single init is still the best moment we have: our
// own fetches are serialised, and a host that drives libcurl on other threads
// must then have initialised it itself, which makes this call a mere count-up.
// The library never calls curl_global_cleanup: others may still use libcurl.
bool InitialiseCurlOnce(const CurlFunctions& curl)
{
    static std::once_flag once;
    static bool initialised = false;
    std::call_once(once, [&curl] { initialised = curl.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return initialised;
}

// libcurl loaded and initialised, or nullptr when it cannot be.
const CurlFunctions* ReadyCurl()
{
    const CurlFunctions* curl = LoadCurl();
    return curl != nullptr && InitialiseCurlOnce(*curl) ? curl : nullptr;
}

// What one fetch keeps while libcurl runs it.
struct FetchState {
    const CurlFunctions& curl;
    CURL* handle;
    std::string body;
    std::size_t maxBytes;
    std::chrono::milliseconds silenceLimit;
    Clock::time_point started;
    // The last byte received, or the moment of connecting before the first;
    // meaningful once bClockRunning.
    Clock::time_point lastHeard;
    bool bClockRunning;
    std::vector<int> inheritableBefore;
    bool bWakeupPairMarked;

    void NoteBytesReceived()
    {
        lastHeard = Clock::now();
        bClockRunning = true;
    }
};

// Keeps at most maxBytes. Once they are in, the read is complete: returning
// short makes libcurl end the transfer instead of waiting for more.
std::size_t CollectBody(char* data, std::size_t size, std::size_t count, void* userdata)
{
    auto* state = static_cast<FetchState*>(userdata);
    state->NoteBytesReceived();
    const std::size_t offered = size * count;
    const std::size_t taken = std::min(offered, state->maxBytes - state->body.size());
    state->body.append(data, taken);
    return state->body.size() < state->maxBytes ? offered : 0;
}

// Header bytes count as received; the headers themselves are not kept.
std::size_t NoteHeader(char*, std::size_t size, std::size_t count, void* userdata)
{
    static_cast<FetchState*>(userdata)->NoteBytesReceived();
    return size * count;
}

// Before the first byte the silence is measured from the moment the
// connection was made; while connecting, only the connect limit applies.
bool StartClockAtConnection(FetchState& state)
{
    curl_off_t connectedAfterUs = 0;
    if (state.curl.easy_getinfo(state.handle, CURLINFO_CONNECT_TIME_T, &connectedAfterUs) != CURLE_OK ||
        connectedAfterUs <= 0) {
        return false;
    }
    state.lastHeard = state.started + std::chrono::microseconds(connectedAfterUs);
    state.bClockRunning = true;
    return true;
}

// libcurl's own low-speed check works on an average over whole seconds; the
// limit here is silence since the last byte, checked whenever libcurl reports
// progress.
int CheckSilence(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* state = static_cast<FetchState*>(clientp);
    if (!state->bClockRunning && !StartClockAtConnection(*state)) {
        return kContinueTransfer;
    }
    return Clock::now() - state->lastHeard >= state->silenceLimit ? kAbortTransfer : kContinueTransfer;
}

bool IsCloseOnExec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    return flags < 0 || (flags & FD_CLOEXEC) != 0;
}

// Calls visit with each descriptor of the process that a started program
// would inherit; allocates nothing beyond what opendir takes.
template <typename Visit>
void ForEachInheritableDescriptor(Visit visit)
{
    DIR* directory = opendir(kOwnDescriptorsDir);
    if (directory == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(directory)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(directory) && !IsCloseOnExec(fd)) {
            visit(fd);
        }
    }
    closedir(directory);
}

std::vector<int> InheritableDescriptors()
{
    std::vector<int> descriptors;
    ForEachInheritableDescriptor([&descriptors](int fd) { descriptors.push_back(fd); });
    return descriptors;
}

// An unnamed local socket, as socketpair makes them.
bool IsUnnamedLocalSocket(int fd)
{
    sockaddr_un address{};
    socklen_t length = sizeof address;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sun_family == AF_UNIX &&
           length == sizeof address.sun_family;
}

// libcurl 7.88 makes the wakeup socket pair of the transfer's multi handle
// without close-on-exec, and no option changes that. The pair is made when
// the transfer starts, so at the first connection it is among the
// inheritable descriptors that were not there before.
// Runs inside a libcurl callback, so it must not throw: it allocates nothing.
void MarkWakeupPairCloseOnExec(const std::vector<int>& inheritableBefore)
{
    ForEachInheritableDescriptor([&inheritableBefore](int fd) {
        const bool isNew = std::find(inheritableBefore.begin(), inheritableBefore.end(), fd) == inheritableBefore.end();
        if (isNew && IsUnnamedLocalSocket(fd)) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    });
}

// Created close-on-exec, so a program that another host thread starts during
// the fetch does not inherit the device connection.
curl_socket_t OpenCloseOnExecSocket(void* clientp, curlsocktype purpose, curl_sockaddr* address)
{
    auto* state = static_cast<FetchState*>(clientp);
    if (!state->bWakeupPairMarked) {
        MarkWakeupPairCloseOnExec(state->inheritableBefore);
        state->bWakeupPairMarked = true;
    }
    if (purpose != CURLSOCKTYPE_IPCXN) {
        return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

struct EasyHandleDeleter {
    decltype(CurlFunctions::easy_cleanup) cleanup;
    void operator()(CURL* handle) const { cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

struct HeaderListDeleter {
    decltype(CurlFunctions::slist_free_all) freeAll;
    void operator()(curl_slist* list) const { freeAll(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

void SetConnectionOptions(const CurlFunctions& curl, CURL* handle, const HttpFetchLimits& limits)
{
    curl.easy_setopt(handle, CURLOPT_PORT, static_cast<long>(limits.port));
    curl.easy_setopt(handle, CURLOPT_PROTOCOLS_STR, kOnlyHttp);
    curl.easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    // A direct connection even when http_proxy, HTTP_PROXY or ALL_PROXY is set.
    curl.easy_setopt(handle, CURLOPT_PROXY, kNoProxy);
    curl.easy_setopt(handle, CURLOPT_NOPROXY, kBypassProxyForAll);
    // The host's signal handlers stay untouched. A dotted address needs no
    // resolver, so no resolver thread is started either.
    curl.easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl.easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    // Silence is limited by CheckSilence; a server that trickles bytes just
    // fast enough is cut off by this cap on the whole fetch.
    curl.easy_setopt(handle, CURLOPT_TIMEOUT_MS, limits.wholeFetchCapMs);
}

void SetRequestOptions(const CurlFunctions& curl, CURL* handle, const std::string& url, curl_slist* headers)
{
    curl.easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl.easy_setopt(handle, CURLOPT_USERAGENT, kHttpUserAgent);
    curl.easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    // The body is taken exactly as sent, and a response without a status
    // line is all body: the status is never examined anyway.
    curl.easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl.easy_setopt(handle, CURLOPT_HTTP09_ALLOWED, 1L);
}

void SetCallbacks(const CurlFunctions& curl, CURL* handle, FetchState& state)
{
    curl.easy_setopt(handle, CURLOPT_WRITEFUNCTION, CollectBody);
    curl.easy_setopt(handle, CURLOPT_WRITEDATA, &state);
    curl.easy_setopt(handle, CURLOPT_HEADERFUNCTION, NoteHeader);
    curl.easy_setopt(handle, CURLOPT_HEADERDATA, &state);
    curl.easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, CheckSilence);
    curl.easy_setopt(handle, CURLOPT_XFERINFODATA, &state);
    curl.easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl.easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, OpenCloseOnExecSocket);
    curl.easy_setopt(handle, CURLOPT_OPENSOCKETDATA, &state);
}

bool TransferSucceeded(CURLcode result, const FetchState& state)
{
    const bool stoppedWhenFull = result == CURLE_WRITE_ERROR && state.body.size() == state.maxBytes;
    return result == CURLE_OK || stoppedWhenFull;
}

}  // namespace

bool LibcurlInitIsThreadSafe()
{
    const CurlFunctions* curl = LoadCurl();
    const curl_version_info_data* info = curl != nullptr ? curl->version_info(CURLVERSION_NOW) : nullptr;
    return info != nullptr && (info->features & CURL_VERSION_THREADSAFE) != 0;
}

bool PrepareFetches() { return ReadyCurl() != nullptr; }

std::string FetchBodyStart(const std::string& url, const HttpFetchLimits& limits)
{
    const CurlFunctions* curl = ReadyCurl();
    if (curl == nullptr) {
        return std::string();
    }
    const EasyHandle handle(curl->easy_init(), EasyHandleDeleter{curl->easy_cleanup});
    const HeaderList headers(curl->slist_append(nullptr, kNoAcceptHeader), HeaderListDeleter{curl->slist_free_all});
    if (!handle || !headers) {
        return std::string();
    }
    FetchState state{*curl,
                     handle.get(),
                     std::string(),
                     limits.maxBodyBytes,
                     std::chrono::milliseconds(limits.receiveTimeoutMs),
                     Clock::now(),
                     Clock::time_point(),
                     false,
                     InheritableDescriptors(),
                     false};
    state.body.reserve(limits.maxBodyBytes);
    SetConnectionOptions(*curl, handle.get(), limits);
    SetRequestOptions(*curl, handle.get(), url, headers.get());
    SetCallbacks(*curl, handle.get(), state);
    const CURLcode result = curl->easy_perform(handle.get());
    return TransferSucceeded(result, state) ? state.body : std::string();
}

}  // namespace seekwell::platform
