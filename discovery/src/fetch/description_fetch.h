// Stands in for the platform's HTTP internet classes: the fetch of the start
// of a response body, over libcurl.
#ifndef SEEKWELL_FETCH_DESCRIPTION_FETCH_H
#define SEEKWELL_FETCH_DESCRIPTION_FETCH_H

#include <netinet/in.h>

#include <chrono>
#include <memory>
#include <string>

#include "fetch/curl_functions.h"
#include "search_constants.h"

namespace seekwell {

// How one description fetch connects and how long it may take.
struct HttpFetchLimits {
    std::uint16_t port = kHttpPort;
    long connectTimeoutMs = kConnectTimeoutMs;
    long receiveTimeoutMs = kReceiveTimeoutMs;
    long wholeFetchCapMs = kWholeFetchCapMs;
    std::size_t maxBodyBytes = kDescriptionMaxBytes;
};

// Where a fetch's connection leaves from: the interface a reply came in by
// and that interface's address. Empty name: wherever the routes say.
struct FetchRoute {
    std::string interfaceName;
    in_addr localAddress{};
};

}  // namespace seekwell

namespace seekwell::platform {

// What libcurl's callbacks keep while one fetch runs.
struct TransferState {
    using Clock = std::chrono::steady_clock;

    const CurlFunctions& curl;
    CURL* handle;
    std::string body;
    std::size_t maxBytes;
    std::chrono::milliseconds silenceLimit;
    Clock::time_point started;
    // The last byte received, or the moment of connecting before the first;
    // meaningful once clockRunning.
    Clock::time_point lastHeard;
    bool clockRunning;
    FetchRoute route;
    // Why the connection's socket could not be made, which libcurl does not
    // record; 0 when it was made.
    int socketErrno = 0;

    void NoteBytesReceived();
};

// How a fetch ended.
struct FetchOutcome {
    bool succeeded = false;  // the body below is what was sent, up to the limit
    bool bodyFull = false;   // the limit was reached
    std::string body;
    long httpStatus = 0;  // 0: no status line
    long osErrno = 0;
    bool connected = false;
    CURLcode code = CURLE_OK;
};

// One fetch's easy handle, set up the one way every fetch is made (direct
// connection, only HTTP on limits.port, the limits on connecting, silence and
// the whole fetch, close-on-exec sockets). FetchBodyStart runs one to its
// end; a multi handle can run many at once.
class DescriptionTransfer {
public:
    DescriptionTransfer(const CurlFunctions& curl, const std::string& url, const HttpFetchLimits& limits,
                        FetchRoute route = FetchRoute{});
    DescriptionTransfer(const DescriptionTransfer&) = delete;
    DescriptionTransfer& operator=(const DescriptionTransfer&) = delete;

    // False when libcurl could not make the handle: nothing can be fetched.
    bool Ready() const { return handle_ && headers_; }
    CURL* Handle() const { return handle_.get(); }
    // Whether the connection is made.
    bool Connected() const;
    // Reads what the transfer ended with; the body moves out.
    FetchOutcome Finish(CURLcode result);

private:
    struct EasyHandleDeleter {
        decltype(CurlFunctions::easyCleanup) cleanup;
        void operator()(CURL* handle) const { cleanup(handle); }
    };
    struct HeaderListDeleter {
        decltype(CurlFunctions::slistFreeAll) freeAll;
        void operator()(curl_slist* list) const { freeAll(list); }
    };

    std::unique_ptr<CURL, EasyHandleDeleter> handle_;
    std::unique_ptr<curl_slist, HeaderListDeleter> headers_;
    TransferState state_;
};

// GETs url on limits.port over a direct connection and returns at most
// limits.maxBodyBytes from the start of the body, whatever the status.
// Any failure gives the empty text; nothing is reported otherwise.
std::string FetchBodyStart(const std::string& url, const HttpFetchLimits& limits);

// Loads libcurl and runs its global init, once per process; what the first
// fetch would otherwise spend. Whether fetches can be made.
bool PrepareFetches();

// Whether libcurl's global init is safe while other threads use libcurl.
bool LibcurlInitIsThreadSafe();

}  // namespace seekwell::platform

#endif  // SEEKWELL_FETCH_DESCRIPTION_FETCH_H
