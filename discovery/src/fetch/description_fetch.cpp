#include "fetch/description_fetch.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "fetch/curl_functions.h"
#include "fetch/curl_wakeup_pair.h"
#include "platform/ipv4_text.h"
#include "platform/owned_descriptors.h"

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

// Keeps at most maxBytes. Once they are in, the read is complete: returning
// short makes libcurl end the transfer instead of waiting for more.
std::size_t CollectBody(char* data, std::size_t size, std::size_t count, void* userdata)
{
    auto* state = static_cast<TransferState*>(userdata);
    state->NoteBytesReceived();
    const std::size_t offered = size * count;
    const std::size_t taken = std::min(offered, state->maxBytes - state->body.size());
    state->body.append(data, taken);
    return state->body.size() < state->maxBytes ? offered : 0;
}

// Header bytes count as received; the headers themselves are not kept.
std::size_t NoteHeader(char*, std::size_t size, std::size_t count, void* userdata)
{
    static_cast<TransferState*>(userdata)->NoteBytesReceived();
    return size * count;
}

// Before the first byte the silence is measured from the moment the
// connection was made; while connecting, only the connect limit applies.
bool StartClockAtConnection(TransferState& state)
{
    curl_off_t connectedAfterUs = 0;
    if (state.curl.easyGetinfo(state.handle, CURLINFO_CONNECT_TIME_T, &connectedAfterUs) != CURLE_OK ||
        connectedAfterUs <= 0) {
        return false;
    }
    state.lastHeard = state.started + std::chrono::microseconds(connectedAfterUs);
    state.clockRunning = true;
    return true;
}

// libcurl's own low-speed check works on an average over whole seconds; the
// limit here is silence since the last byte, checked whenever libcurl reports
// progress.
int CheckSilence(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* state = static_cast<TransferState*>(clientp);
    if (!state->clockRunning && !StartClockAtConnection(*state)) {
        return kContinueTransfer;
    }
    return Clock::now() - state->lastHeard >= state->silenceLimit ? kAbortTransfer : kContinueTransfer;
}

// Bound to the interface a reply came in by, so the fetch reaches the
// device on that link and no other. Binding to the device needs no privilege
// on current kernels; where it is refused the source address still holds the
// connection to that interface's subnet.
bool BindToRoute(int fd, const FetchRoute& route)
{
    if (route.interfaceName.empty()) {
        return true;
    }
    (void)setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, route.interfaceName.c_str(),
                     static_cast<socklen_t>(route.interfaceName.size()));
    const sockaddr_in local = Ipv4Endpoint(route.localAddress, 0);
    return bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

// Created close-on-exec, so a program that another host thread starts during
// the fetch does not inherit the device connection, and noted where the
// thread notes its descriptors, so a forked child can close its copy.
curl_socket_t OpenFetchSocket(void* transfer, curlsocktype purpose, curl_sockaddr* address)
{
    if (purpose != CURLSOCKTYPE_IPCXN) {
        return CURL_SOCKET_BAD;
    }
    auto* state = static_cast<TransferState*>(transfer);
    const int fd = OpenSocket(address->family, address->socktype, address->protocol);
    if (fd >= 0 && BindToRoute(fd, state->route)) {
        return fd;
    }
    state->socketErrno = errno;
    if (fd >= 0) {
        (void)CloseNoted(fd);
    }
    return CURL_SOCKET_BAD;
}

int CloseFetchSocket(void*, curl_socket_t fd) { return CloseNoted(fd); }

void SetConnectionOptions(const CurlFunctions& curl, CURL* handle, const HttpFetchLimits& limits)
{
    curl.easySetopt(handle, CURLOPT_PORT, static_cast<long>(limits.port));
    curl.easySetopt(handle, CURLOPT_PROTOCOLS_STR, kOnlyHttp);
    curl.easySetopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    // A direct connection even when http_proxy, HTTP_PROXY or ALL_PROXY is set.
    curl.easySetopt(handle, CURLOPT_PROXY, kNoProxy);
    curl.easySetopt(handle, CURLOPT_NOPROXY, kBypassProxyForAll);
    // The host's signal handlers stay untouched. A dotted address needs no
    // resolver, so no resolver thread is started either.
    curl.easySetopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl.easySetopt(handle, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    // Silence is limited by CheckSilence; a server that trickles bytes just
    // fast enough is cut off by this cap on the whole fetch.
    curl.easySetopt(handle, CURLOPT_TIMEOUT_MS, limits.wholeFetchCapMs);
}

void SetRequestOptions(const CurlFunctions& curl, CURL* handle, const std::string& url, curl_slist* headers)
{
    curl.easySetopt(handle, CURLOPT_URL, url.c_str());
    curl.easySetopt(handle, CURLOPT_USERAGENT, kHttpUserAgent);
    curl.easySetopt(handle, CURLOPT_HTTPHEADER, headers);
    // The body is taken exactly as sent, and a response without a status
    // line is all body: the status is never examined anyway.
    curl.easySetopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl.easySetopt(handle, CURLOPT_HTTP09_ALLOWED, 1L);
}

void SetCallbacks(const CurlFunctions& curl, CURL* handle, TransferState& state)
{
    curl.easySetopt(handle, CURLOPT_WRITEFUNCTION, CollectBody);
    curl.easySetopt(handle, CURLOPT_WRITEDATA, &state);
    curl.easySetopt(handle, CURLOPT_HEADERFUNCTION, NoteHeader);
    curl.easySetopt(handle, CURLOPT_HEADERDATA, &state);
    curl.easySetopt(handle, CURLOPT_XFERINFOFUNCTION, CheckSilence);
    curl.easySetopt(handle, CURLOPT_XFERINFODATA, &state);
    curl.easySetopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl.easySetopt(handle, CURLOPT_OPENSOCKETFUNCTION, OpenFetchSocket);
    curl.easySetopt(handle, CURLOPT_OPENSOCKETDATA, &state);
    curl.easySetopt(handle, CURLOPT_CLOSESOCKETFUNCTION, CloseFetchSocket);
}

}  // namespace

bool LibcurlInitIsThreadSafe()
{
    const CurlFunctions* curl = ReadyCurl();
    const curl_version_info_data* info = curl != nullptr ? curl->versionInfo(CURLVERSION_NOW) : nullptr;
    return info != nullptr && (info->features & CURL_VERSION_THREADSAFE) != 0;
}

bool PrepareFetches() { return ReadyCurl() != nullptr; }

void TransferState::NoteBytesReceived()
{
    lastHeard = Clock::now();
    clockRunning = true;
}

DescriptionTransfer::DescriptionTransfer(const CurlFunctions& curl, const std::string& url,
                                         const HttpFetchLimits& limits, FetchRoute route)
    : handle_(curl.easyInit(), EasyHandleDeleter{curl.easyCleanup}),
      headers_(curl.slistAppend(nullptr, kNoAcceptHeader), HeaderListDeleter{curl.slistFreeAll}),
      state_{curl,
             handle_.get(),
             std::string(),
             limits.maxBodyBytes,
             std::chrono::milliseconds(limits.receiveTimeoutMs),
             Clock::now(),
             Clock::time_point(),
             false,
             std::move(route),
             0}
{
    if (!Ready()) {
        return;
    }
    // Room for a description of the usual size; one that needs more grows the body.
    state_.body.reserve(std::min(limits.maxBodyBytes, kDescriptionMaxBytes));
    SetConnectionOptions(curl, handle_.get(), limits);
    SetRequestOptions(curl, handle_.get(), url, headers_.get());
    SetCallbacks(curl, handle_.get(), state_);
}

bool DescriptionTransfer::Connected() const
{
    curl_off_t connectedAfterUs = 0;
    return state_.curl.easyGetinfo(handle_.get(), CURLINFO_CONNECT_TIME_T, &connectedAfterUs) == CURLE_OK &&
           connectedAfterUs > 0;
}

FetchOutcome DescriptionTransfer::Finish(CURLcode result)
{
    FetchOutcome outcome;
    outcome.code = result;
    outcome.bodyFull = state_.body.size() == state_.maxBytes;
    // Stopping once the limit is in is how a long body ends well.
    outcome.succeeded = result == CURLE_OK || (result == CURLE_WRITE_ERROR && outcome.bodyFull);
    const CurlFunctions& curl = state_.curl;
    curl.easyGetinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &outcome.httpStatus);
    curl.easyGetinfo(handle_.get(), CURLINFO_OS_ERRNO, &outcome.osErrno);
    if (outcome.osErrno == 0) {
        outcome.osErrno = state_.socketErrno;
    }
    outcome.connected = Connected();
    if (outcome.succeeded) {
        outcome.body = std::move(state_.body);
    }
    return outcome;
}

std::string FetchBodyStart(const std::string& url, const HttpFetchLimits& limits)
{
    const CurlFunctions* curl = ReadyCurl();
    if (curl == nullptr) {
        return std::string();
    }
    DescriptionTransfer transfer(*curl, url, limits);
    if (!transfer.Ready()) {
        return std::string();
    }
    const OwnCurlCalls own;
    return transfer.Finish(curl->easyPerform(transfer.Handle())).body;
}

}  // namespace seekwell::platform
