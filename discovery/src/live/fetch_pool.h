// The live search's description fetches: many at once on one libcurl multi
// handle, its sockets watched in the search's epoll set.
//
// A LAN device can forge replies from addresses where nothing answers, and a
// fetch from such an address waits out the whole connect limit. So a fetch
// starts in a quick lane, where a device on the link answers within
// milliseconds; one still running after the quick lane's time moves to a
// patient lane of its own size, and when that is full too it is given up.
// Forged senders thus hold the patient lane, never the quick one that real
// robots come through; both are bounded, and so are the descriptors. A
// check of a robot's address never waits in the patient lane: a robot that
// is there answers at once. Reads of asked targets wait behind the others,
// so a long list of silent targets delays a robot that answered by no more
// than the quick lane's time.
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
#include "live/robot_book.h"

namespace seekwell::live {

struct FetchLanes {
    std::size_t quick = 64;
    std::chrono::milliseconds quickFor{250};
    std::size_t patient = 64;
};

class FetchPool {
public:
    using Clock = std::chrono::steady_clock;
    struct Finished {
        FetchOrder order;
        platform::FetchOutcome outcome;
        bool givenUp = false;  // left the quick lane while the patient one was full, or a check
    };

    FetchPool(int epollFd, HttpFetchLimits limits, FetchLanes lanes) : epollFd_(epollFd), limits_(limits), lanes_(lanes)
    {
    }
    // Aborts whatever still runs.
    ~FetchPool();
    FetchPool(const FetchPool&) = delete;
    FetchPool& operator=(const FetchPool&) = delete;

    // Fetches url as ordered; the caller bounds how many wait. libcurl is
    // loaded by the first fetch; where it cannot be, the fetch finishes at
    // once as failed.
    void Fetch(const FetchOrder& order, const std::string& url);
    // Loads libcurl and makes the multi handle now, if not done yet: a search
    // pays for it while it waits for its first replies, not when the first
    // robot is to be read.
    void Prepare() { (void)EnsureMulti(); }
    void OnSocketReady(int fd, std::uint32_t epollEvents);
    // When the pool wants to be called whatever its sockets do: libcurl's
    // timer, or a quick fetch's time running out.
    std::optional<Clock::time_point> Deadline() const;
    void OnDeadline(Clock::time_point now);
    std::vector<Finished> TakeFinished();
    bool Idle() const { return running_.empty() && queued_.empty() && askedQueued_.empty(); }

private:
    struct Queued {
        FetchOrder order;
        std::string url;
    };
    struct Running {
        FetchOrder order;
        std::unique_ptr<platform::DescriptionTransfer> transfer;
        Clock::time_point started;
        std::uint64_t serial;  // tells a handle apart from a later one at the same address
        bool quick = true;
    };
    struct QuickEntry {
        CURL* handle;
        std::uint64_t serial;
    };

    static int WatchSocket(CURL* handle, curl_socket_t fd, int what, void* pool, void* socketData);
    static int SetDeadline(CURLM* multi, long timeoutMs, void* pool);
    bool EnsureMulti();
    void StartQueued();
    bool TakeNext(Queued& next);
    void Act(curl_socket_t fd, int flags);
    void CollectFinished();
    bool IsCurrent(const QuickEntry& entry, std::unordered_map<CURL*, Running>::const_iterator at) const;
    void LeaveQuickLane(Clock::time_point now);
    void Stop(std::unordered_map<CURL*, Running>::iterator at, platform::FetchOutcome outcome, bool givenUp);
    void FailAtOnce(const FetchOrder& order);

    int epollFd_;
    HttpFetchLimits limits_;
    FetchLanes lanes_;
    const platform::CurlFunctions* curl_ = nullptr;
    CURLM* multi_ = nullptr;
    bool multiTried_ = false;
    std::deque<Queued> queued_;
    std::deque<Queued> askedQueued_;
    std::unordered_map<CURL*, Running> running_;
    // The quick lane in the order its fetches started; entries that have
    // finished already are skipped when met.
    std::deque<QuickEntry> quickLane_;
    std::uint64_t serials_ = 0;
    std::size_t quickRunning_ = 0;
    std::size_t patientRunning_ = 0;
    std::vector<Finished> finished_;
    std::optional<Clock::time_point> curlDeadline_;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_FETCH_POOL_H
