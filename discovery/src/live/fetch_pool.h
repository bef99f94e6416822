// The live search's description fetches: many at once on one libcurl multi
// handle, its sockets watched in the search's epoll set, a bounded number in
// flight and the rest queued in the order their replies came.
#ifndef SEEKWELL_LIVE_FETCH_POOL_H
#define SEEKWELL_LIVE_FETCH_POOL_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "fetch/description_fetch.h"

namespace seekwell::live {

// The tag in the upper half of an epoll entry's data that marks one of
// libcurl's sockets (the lower half is the descriptor).
constexpr std::uint64_t kFetchSocketTag = 3;

class FetchPool {
public:
    using Clock = std::chrono::steady_clock;
    struct Finished {
        std::uint32_t key;
        platform::FetchOutcome outcome;
    };

    explicit FetchPool(int epollFd) : epollFd_(epollFd) {}
    // Aborts whatever still runs.
    ~FetchPool();
    FetchPool(const FetchPool&) = delete;
    FetchPool& operator=(const FetchPool&) = delete;

    // Fetches url for key. libcurl is loaded by the first fetch; where it
    // cannot be, the fetch finishes at once as failed.
    void Fetch(std::uint32_t key, const std::string& url);
    void OnSocketReady(int fd, std::uint32_t epollEvents);
    // When libcurl wants to be called whatever its sockets do.
    std::optional<Clock::time_point> Deadline() const { return deadline_; }
    void OnDeadline();
    std::vector<Finished> TakeFinished();
    bool Idle() const { return running_.empty() && queued_.empty(); }

private:
    struct Queued {
        std::uint32_t key;
        std::string url;
    };
    struct Running {
        std::uint32_t key;
        std::unique_ptr<platform::DescriptionTransfer> transfer;
    };

    static int WatchSocket(CURL* handle, curl_socket_t fd, int what, void* pool, void* socketData);
    static int SetDeadline(CURLM* multi, long timeoutMs, void* pool);
    bool EnsureMulti();
    void StartQueued();
    void Act(curl_socket_t fd, int flags);
    void CollectFinished();
    void FailAtOnce(std::uint32_t key);

    int epollFd_;
    const platform::CurlFunctions* curl_ = nullptr;
    CURLM* multi_ = nullptr;
    bool multiTried_ = false;
    std::deque<Queued> queued_;
    std::unordered_map<CURL*, Running> running_;
    std::vector<Finished> finished_;
    std::optional<Clock::time_point> deadline_;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_FETCH_POOL_H
