#include "live/search_loop.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

#include "fetch/curl_wakeup_pair.h"
#include "live/fetch_pool.h"
#include "live/fetch_verdict.h"
#include "live/reply_check.h"
#include "live/search_sockets.h"
#include "robot_rules.h"

namespace seekwell::live {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// UDP is lossy: each round sends its search twice, at its start and again
// this long after (half the period when that is shorter); devices that heard
// the first answer no differently.
constexpr milliseconds kResendAfter(1000);
constexpr std::size_t kSendsPerRound = 2;
constexpr int kGoneAfterMissed = SEEKWELL_GONE_AFTER_MISSED;
constexpr std::uint64_t kWakeTag = 1;
constexpr std::uint64_t kSocketTag = 2;
constexpr int kEventsPerWait = 64;

std::uint64_t EpollData(std::uint64_t tag, int fd) { return tag << 32 | static_cast<std::uint32_t>(fd); }

std::string AddressText(std::uint32_t address)
{
    in_addr parsed{};
    parsed.s_addr = address;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &parsed, text, sizeof text);
    return text;
}

// The same interface with the same address: a socket bound there still serves.
bool SameInterface(const SearchInterface& one, const SearchInterface& other)
{
    return one.index == other.index && one.address.s_addr == other.address.s_addr;
}

struct Responder {
    enum class State { Fetching, Robot, Skipped };
    State state = State::Fetching;
    int lastRound = 0;
    seekwell_skip_reason lastSkip = SEEKWELL_SKIP_NONE;
    std::string name;
    std::string location;
    std::string interfaceName;
};

class SearchLoop {
public:
    SearchLoop(const LiveParameters& params, EventQueue& events, const std::atomic<bool>& cancelled, int epollFd)
        : params_(params),
          events_(events),
          cancelled_(cancelled),
          epollFd_(epollFd),
          pool_(epollFd),
          started_(Clock::now())
    {
        if (params_.windowMs != 0) {
            windowEnd_ = started_ + milliseconds(params_.windowMs);
        }
    }

    // The reason the search ended, and the errno when it failed.
    std::pair<seekwell_done_reason, int> Run();

private:
    bool StartRound();
    void RefreshSockets();
    void OpenSocket(const SearchInterface& where);
    void CloseSockets();
    void ReportGone();
    void SendDueSearches(Clock::time_point now);
    milliseconds SendOffset(std::size_t send) const
    {
        return send == 0 ? milliseconds(0) : std::min(kResendAfter, milliseconds(params_.periodMs / 2));
    }
    int WaitMs(Clock::time_point now) const;
    void HandleReady(const epoll_event& ready);
    void ReadSocket(const SearchSocket& socket);
    void HandleDatagram(const SearchSocket& socket, const Datagram& datagram);
    void HandleFetches();
    void Judge(std::uint32_t key, Responder& responder, const platform::FetchOutcome& outcome);
    void ReportSkip(std::uint32_t key, Responder& responder, seekwell_skip_reason skip, std::string reason,
                    int httpStatus);
    void ReportRobot(std::uint32_t key, Responder& responder, const std::string& document);
    void ReportResponder(seekwell_event_type type, std::uint32_t key, const Responder& responder);

    const LiveParameters& params_;
    EventQueue& events_;
    std::vector<LiveEvent> pending_;  // made this turn of the loop
    const std::atomic<bool>& cancelled_;
    int epollFd_;
    FetchPool pool_;
    std::vector<std::unique_ptr<SearchSocket>> sockets_;
    std::unordered_map<std::uint32_t, Responder> responders_;
    std::unique_ptr<char[]> buffer_;
    Clock::time_point started_;
    std::optional<Clock::time_point> windowEnd_;
    Clock::time_point roundStart_;
    std::size_t sendsMade_ = 0;
    int round_ = -1;
    bool listening_ = true;
    int socketError_ = ENETDOWN;
};

std::pair<seekwell_done_reason, int> SearchLoop::Run()
{
    buffer_.reset(new char[kReceiveBufferSize]);
    if (!StartRound()) {
        return {SEEKWELL_DONE_FAILED, socketError_};
    }
    epoll_event ready[kEventsPerWait];
    for (;;) {
        Clock::time_point now = Clock::now();
        if (pool_.Deadline() && *pool_.Deadline() <= now) {
            pool_.OnDeadline();
        }
        HandleFetches();
        if (listening_ && windowEnd_ && now >= *windowEnd_) {
            listening_ = false;
            CloseSockets();
        }
        if (!listening_ && pool_.Idle()) {
            events_.PushAll(std::move(pending_));
            return {SEEKWELL_DONE_WINDOW_OVER, 0};
        }
        if (listening_ && params_.periodMs != 0 && now >= roundStart_ + milliseconds(params_.periodMs)) {
            StartRound();
        }
        SendDueSearches(now);
        // What this turn found goes to the host at once, as one batch: a
        // burst of replies wakes the host once, not once per responder.
        events_.PushAll(std::move(pending_));
        pending_.clear();
        const int count = epoll_wait(epollFd_, ready, kEventsPerWait, WaitMs(Clock::now()));
        if (cancelled_.load()) {
            return {SEEKWELL_DONE_CANCELLED, 0};
        }
        for (int i = 0; i < count; ++i) {
            HandleReady(ready[i]);
        }
    }
}

bool SearchLoop::StartRound()
{
    ++round_;
    roundStart_ = Clock::now();
    sendsMade_ = 0;
    if (params_.windowMs == 0) {
        ReportGone();
    }
    RefreshSockets();
    return !sockets_.empty() || round_ > 0;
}

// Interfaces come and go while a watch runs: each round searches on those
// there are now.
void SearchLoop::RefreshSockets()
{
    const std::vector<SearchInterface> chosen = ChooseInterfaces(params_.interfaceName);
    if (chosen.empty()) {
        socketError_ = errno;
    }
    auto isChosen = [&chosen](const auto& socket) {
        return std::any_of(chosen.begin(), chosen.end(),
                           [&socket](const SearchInterface& each) { return SameInterface(each, socket->Where()); });
    };
    sockets_.erase(
        std::remove_if(sockets_.begin(), sockets_.end(), [&](const auto& socket) { return !isChosen(socket); }),
        sockets_.end());
    for (const SearchInterface& each : chosen) {
        const bool open = std::any_of(sockets_.begin(), sockets_.end(),
                                      [&each](const auto& socket) { return SameInterface(each, socket->Where()); });
        if (!open) {
            OpenSocket(each);
        }
    }
}

void SearchLoop::OpenSocket(const SearchInterface& where)
{
    auto socket = std::make_unique<SearchSocket>(where);
    if (const int error = socket->Open(); error != 0) {
        socketError_ = error;
        return;
    }
    epoll_event watched{};
    watched.events = EPOLLIN;
    watched.data.u64 = EpollData(kSocketTag, socket->Fd());
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, socket->Fd(), &watched) != 0) {
        socketError_ = errno;
        return;
    }
    sockets_.push_back(std::move(socket));
}

void SearchLoop::CloseSockets() { sockets_.clear(); }

void SearchLoop::ReportGone()
{
    for (auto at = responders_.begin(); at != responders_.end();) {
        Responder& responder = at->second;
        const int missed = round_ - 1 - responder.lastRound;
        if (responder.state == Responder::State::Fetching || missed < kGoneAfterMissed) {
            ++at;
            continue;
        }
        if (responder.state == Responder::State::Robot) {
            ReportResponder(SEEKWELL_EVENT_GONE, at->first, responder);
        }
        at = responders_.erase(at);
    }
}

void SearchLoop::SendDueSearches(Clock::time_point now)
{
    while (listening_ && sendsMade_ < kSendsPerRound && now >= roundStart_ + SendOffset(sendsMade_)) {
        for (const auto& socket : sockets_) {
            socket->SendSearch();
        }
        ++sendsMade_;
    }
}

int SearchLoop::WaitMs(Clock::time_point now) const
{
    std::optional<Clock::time_point> wake = pool_.Deadline();
    auto consider = [&wake](Clock::time_point when) { wake = wake ? std::min(*wake, when) : when; };
    if (listening_) {
        if (sendsMade_ < kSendsPerRound) {
            consider(roundStart_ + SendOffset(sendsMade_));
        }
        if (params_.periodMs != 0) {
            consider(roundStart_ + milliseconds(params_.periodMs));
        }
        if (windowEnd_) {
            consider(*windowEnd_);
        }
    }
    if (!wake) {
        return -1;
    }
    // Rounded up, so the loop never wakes just before the moment it waits for.
    const auto left = std::chrono::ceil<milliseconds>(*wake - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT32_MAX));
}

void SearchLoop::HandleReady(const epoll_event& ready)
{
    const std::uint64_t tag = ready.data.u64 >> 32;
    const int fd = static_cast<int>(ready.data.u64 & 0xffffffffu);
    if (tag == kFetchSocketTag) {
        pool_.OnSocketReady(fd, ready.events);
        return;
    }
    if (tag == kSocketTag) {
        for (const auto& socket : sockets_) {
            if (socket->Fd() == fd) {
                ReadSocket(*socket);
                return;
            }
        }
    }
    // The wake descriptor: the loop looks at the cancel flag after every wait.
}

void SearchLoop::ReadSocket(const SearchSocket& socket)
{
    char(&buffer)[kReceiveBufferSize] = *reinterpret_cast<char(*)[kReceiveBufferSize]>(buffer_.get());
    Datagram datagram;
    while (socket.Receive(buffer, datagram)) {
        HandleDatagram(socket, datagram);
    }
}

void SearchLoop::HandleDatagram(const SearchSocket& socket, const Datagram& datagram)
{
    const std::uint32_t key = datagram.sender.s_addr;
    const auto known = responders_.find(key);
    if (known != responders_.end() &&
        (known->second.lastRound == round_ || known->second.state != Responder::State::Skipped)) {
        known->second.lastRound = round_;
        return;
    }
    const ReplyVerdict verdict =
        CheckReply(datagram.text, datagram.sender, datagram.arrivalIndex == socket.Where().index);
    Responder& responder = responders_[key];
    responder.lastRound = round_;
    responder.location = verdict.location;
    responder.interfaceName = socket.Where().name;
    if (verdict.skip != SEEKWELL_SKIP_NONE) {
        ReportSkip(key, responder, verdict.skip, verdict.reason, 0);
        return;
    }
    responder.state = Responder::State::Fetching;
    pool_.Fetch(key, DescriptionUrl(AddressText(key).c_str()));
}

void SearchLoop::HandleFetches()
{
    for (FetchPool::Finished& finished : pool_.TakeFinished()) {
        const auto found = responders_.find(finished.key);
        if (found != responders_.end()) {
            Judge(finished.key, found->second, finished.outcome);
        }
    }
}

void SearchLoop::Judge(std::uint32_t key, Responder& responder, const platform::FetchOutcome& outcome)
{
    const std::string document = DocumentInBody(outcome.body);
    FetchVerdict verdict = JudgeFetch(outcome, document);
    if (verdict.skip == SEEKWELL_SKIP_NONE) {
        ReportRobot(key, responder, document);
        return;
    }
    ReportSkip(key, responder, verdict.skip, std::move(verdict.reason), verdict.httpStatus);
}

void SearchLoop::ReportSkip(std::uint32_t key, Responder& responder, seekwell_skip_reason skip, std::string reason,
                            int httpStatus)
{
    // A watch hears the same device every round: a reason is told once.
    const bool told = responder.lastSkip == skip;
    responder.state = Responder::State::Skipped;
    responder.lastSkip = skip;
    if (told) {
        return;
    }
    LiveEvent event;
    event.type = SEEKWELL_EVENT_SKIPPED;
    event.address = AddressText(key);
    event.location = responder.location;
    event.interfaceName = responder.interfaceName;
    event.skip = skip;
    event.reason = std::move(reason);
    event.httpStatus = httpStatus;
    pending_.push_back(std::move(event));
}

void SearchLoop::ReportRobot(std::uint32_t key, Responder& responder, const std::string& document)
{
    const std::string address = AddressText(key);
    responder.state = Responder::State::Robot;
    responder.lastSkip = SEEKWELL_SKIP_NONE;
    responder.name = ReadRobotDescription(address.c_str(), document).friendlyName;
    ReportResponder(SEEKWELL_EVENT_ROBOT, key, responder);
}

void SearchLoop::ReportResponder(seekwell_event_type type, std::uint32_t key, const Responder& responder)
{
    LiveEvent event;
    event.type = type;
    event.name = responder.name;
    event.address = AddressText(key);
    event.location = responder.location;
    event.interfaceName = responder.interfaceName;
    pending_.push_back(std::move(event));
}

LiveEvent DoneEvent(seekwell_done_reason reason, int error)
{
    LiveEvent done;
    done.type = SEEKWELL_EVENT_DONE;
    done.done = reason;
    done.error = error;
    switch (reason) {
        case SEEKWELL_DONE_WINDOW_OVER:
            done.reason = "window over";
            break;
        case SEEKWELL_DONE_CANCELLED:
            done.reason = "cancelled";
            break;
        default:
            done.reason = std::string("could not search: ") + std::strerror(error);
            break;
    }
    return done;
}

}  // namespace

void RunSearch(const LiveParameters& params, EventQueue& events, const std::atomic<bool>& cancelled,
               const platform::WakeEvent& wake)
{
    const int wakeFd = wake.Fd();
    // Every libcurl call of this thread is the library's own.
    const platform::OwnCurlCalls own;
    std::pair<seekwell_done_reason, int> ending{SEEKWELL_DONE_FAILED, ENOMEM};
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) {
        ending.second = errno;
    } else {
        epoll_event watched{};
        watched.events = EPOLLIN;
        watched.data.u64 = EpollData(kWakeTag, wakeFd);
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &watched) != 0) {
            ending.second = errno;
        } else {
            try {
                // Everything the search holds is released when the loop goes.
                ending = SearchLoop(params, events, cancelled, epollFd).Run();
            } catch (const std::bad_alloc&) {
                ending = {SEEKWELL_DONE_FAILED, ENOMEM};
            }
        }
        close(epollFd);
    }
    try {
        events.Push(DoneEvent(ending.first, ending.second));
    } catch (const std::bad_alloc&) {
        // Without memory for DONE the host learns of the end from nothing but
        // seekwell_search_free; nothing better can be done here.
    }
}

}  // namespace seekwell::live
