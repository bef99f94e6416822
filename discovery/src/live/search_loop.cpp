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
#include <vector>

#include "fetch/curl_wakeup_pair.h"
#include "live/epoll_tags.h"
#include "live/fetch_verdict.h"
#include "live/reply_check.h"
#include "live/search_sockets.h"
#include "platform/ipv4_text.h"
#include "robot_rules.h"

namespace seekwell::live {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Sender = ResponderBook::Sender;

// UDP is lossy: each round sends its search twice, at its start and again
// this long after (half the period when that is shorter); devices that heard
// the first answer no differently.
constexpr milliseconds kResendAfter(1000);
constexpr std::size_t kSendsPerRound = 2;
constexpr int kGoneAfterMissed = SEEKWELL_GONE_AFTER_MISSED;
constexpr int kEventsPerWait = 64;
// A flood keeps a socket readable for ever: the loop reads this many at a
// time, then looks at the cancel flag, the clock and the fetches again.
constexpr int kDatagramsPerTurn = 64;

in_addr AddressOf(Sender sender)
{
    in_addr address{};
    address.s_addr = sender;
    return address;
}

// The same interface with the same address: a socket bound there still serves.
bool SameInterface(const platform::Ipv4Interface& one, const platform::Ipv4Interface& other)
{
    return one.index == other.index && one.Address().s_addr == other.Address().s_addr;
}

class SearchLoop {
public:
    SearchLoop(const LiveParameters& params, EventQueue& events, const std::atomic<bool>& cancelled,
               const platform::WakeEvent& wake, int epollFd)
        : params_(params),
          events_(events),
          cancelled_(cancelled),
          wake_(wake),
          epollFd_(epollFd),
          pool_(epollFd, params.http, params.lanes),
          book_(params.book),
          started_(Clock::now())
    {
        if (params_.windowMs != 0) {
            windowEnd_ = started_ + milliseconds(params_.windowMs);
        }
        in_addr destination{};
        inet_aton(params_.destinationAddress, &destination);
        destination_ = platform::Ipv4Endpoint(destination, params_.destinationPort);
    }

    // The reason the search ended, and the errno when it failed.
    std::pair<seekwell_done_reason, int> Run();
    std::size_t Overloaded() const { return book_.OverloadedReplies(); }

private:
    bool StartRound();
    void RefreshSockets();
    void OpenSocket(const platform::Ipv4Interface& where);
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
    void Judge(const FetchPool::Finished& finished);
    void TellSkip(Sender sender, const std::string& interfaceName, const std::string& location,
                  seekwell_skip_reason skip, std::string reason, int httpStatus);
    void TellOverload(Sender sender, const std::string& interfaceName);
    void TellRobot(seekwell_event_type type, Sender sender, const RobotFacts& facts);

    const LiveParameters& params_;
    EventQueue& events_;
    std::vector<LiveEvent> pending_;  // made this turn of the loop
    const std::atomic<bool>& cancelled_;
    const platform::WakeEvent& wake_;
    int epollFd_;
    sockaddr_in destination_{};
    FetchPool pool_;
    ResponderBook book_;
    platform::Ipv4Interfaces interfaces_;
    std::vector<std::unique_ptr<SearchSocket>> sockets_;
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
        if (const auto deadline = pool_.Deadline(); deadline && *deadline <= now) {
            pool_.OnDeadline(now);
        }
        HandleFetches();
        if (listening_ && windowEnd_ && now >= *windowEnd_) {
            listening_ = false;
            sockets_.clear();
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
    for (const auto& [sender, facts] : book_.StartRound(params_.windowMs == 0 ? kGoneAfterMissed : 0)) {
        TellRobot(SEEKWELL_EVENT_GONE, sender, facts);
    }
    RefreshSockets();
    return !sockets_.empty() || round_ > 0;
}

// Interfaces come and go while a watch runs: each round searches on those
// there are now. When they cannot be read (descriptors or memory short for
// a moment), the sockets there are stay as they are.
void SearchLoop::RefreshSockets()
{
    platform::Ipv4Interfaces read;
    if (const int error = platform::ReadIpv4Interfaces(params_.interfaceName, read); error != 0) {
        socketError_ = error;
        return;
    }
    interfaces_ = std::move(read);
    if (interfaces_.chosen.empty()) {
        socketError_ = ENETDOWN;
    }
    const auto& chosen = interfaces_.chosen;
    auto isChosen = [&chosen](const auto& socket) {
        return std::any_of(chosen.begin(), chosen.end(), [&socket](const platform::Ipv4Interface& each) {
            return SameInterface(each, socket->Where());
        });
    };
    sockets_.erase(
        std::remove_if(sockets_.begin(), sockets_.end(), [&](const auto& socket) { return !isChosen(socket); }),
        sockets_.end());
    for (const platform::Ipv4Interface& each : chosen) {
        const bool open = std::any_of(sockets_.begin(), sockets_.end(),
                                      [&each](const auto& socket) { return SameInterface(each, socket->Where()); });
        if (!open) {
            OpenSocket(each);
        }
    }
}

void SearchLoop::OpenSocket(const platform::Ipv4Interface& where)
{
    auto socket = std::make_unique<SearchSocket>(where);
    if (const int error = socket->Open(epollFd_); error != 0) {
        socketError_ = error;
        return;
    }
    sockets_.push_back(std::move(socket));
}

void SearchLoop::SendDueSearches(Clock::time_point now)
{
    while (listening_ && sendsMade_ < kSendsPerRound && now >= roundStart_ + SendOffset(sendsMade_)) {
        for (const auto& socket : sockets_) {
            socket->SendSearch(destination_);
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
    const EpollTag tag = TagOf(ready.data.u64);
    const int fd = FdOf(ready.data.u64);
    if (tag == EpollTag::FetchSocket) {
        pool_.OnSocketReady(fd, ready.events);
        return;
    }
    if (tag == EpollTag::SearchSocket) {
        for (const auto& socket : sockets_) {
            if (socket->Fd() == fd) {
                ReadSocket(*socket);
                return;
            }
        }
        return;
    }
    // The wake descriptor: the loop looks at the cancel flag after every
    // wait. Drained, so a wake that did not cancel (a forked child's, say)
    // cannot keep it readable.
    wake_.Drain();
}

void SearchLoop::ReadSocket(const SearchSocket& socket)
{
    char(&buffer)[kReceiveBufferSize] = *reinterpret_cast<char(*)[kReceiveBufferSize]>(buffer_.get());
    Datagram datagram;
    for (int read = 0; read < kDatagramsPerTurn && socket.Receive(buffer, datagram); ++read) {
        HandleDatagram(socket, datagram);
    }
}

void SearchLoop::HandleDatagram(const SearchSocket& socket, const Datagram& datagram)
{
    const Sender sender = datagram.sender.s_addr;
    if (!book_.WantsReply(sender, datagram.arrivalIndex)) {
        return;
    }
    const ReplyOrigin origin = OriginOf(datagram.sender, datagram.arrivalIndex, interfaces_, params_.loopbackDevices);
    ReplyVerdict verdict = CheckReply(datagram.text, origin, params_.loopbackDevices);
    // Events name the interface a valid reply came in by; a reply that came
    // in elsewhere is told on the search's own.
    const platform::Ipv4Interface& where = origin.arrival != nullptr ? *origin.arrival : socket.Where();
    switch (book_.OnReply(sender, datagram.arrivalIndex, verdict.skip, RobotFacts{{}, verdict.location, where.name})) {
        case ResponderBook::Action::Fetch:
            pool_.Fetch(sender, DescriptionUrl(platform::AddressText(datagram.sender).c_str()),
                        FetchRoute{where.name, where.Address()});
            break;
        case ResponderBook::Action::TellSkip:
            TellSkip(sender, where.name, verdict.location, verdict.skip, std::move(verdict.reason), 0);
            break;
        case ResponderBook::Action::Overload:
            TellOverload(sender, where.name);
            break;
        default:
            break;
    }
}

void SearchLoop::HandleFetches()
{
    for (const FetchPool::Finished& finished : pool_.TakeFinished()) {
        Judge(finished);
    }
}

void SearchLoop::Judge(const FetchPool::Finished& finished)
{
    const std::string document = DocumentInBody(finished.outcome.body);
    FetchVerdict verdict = finished.givenUp ? GivenUpVerdict(params_.lanes) : JudgeFetch(finished.outcome, document);
    if (verdict.skip == SEEKWELL_SKIP_NONE) {
        const std::string address = platform::AddressText(AddressOf(finished.key));
        std::string name = ReadRobotDescription(address.c_str(), document).friendlyName;
        if (const RobotFacts* facts = book_.OnFetchRobot(finished.key, std::move(name))) {
            TellRobot(SEEKWELL_EVENT_ROBOT, finished.key, *facts);
        }
        return;
    }
    if (book_.OnFetchSkipped(finished.key, verdict.skip) != ResponderBook::Action::TellSkip) {
        return;
    }
    const RobotFacts* facts = book_.FactsOf(finished.key);
    TellSkip(finished.key, facts->interfaceName, facts->location, verdict.skip, std::move(verdict.reason),
             verdict.httpStatus);
}

void SearchLoop::TellSkip(Sender sender, const std::string& interfaceName, const std::string& location,
                          seekwell_skip_reason skip, std::string reason, int httpStatus)
{
    LiveEvent event;
    event.type = SEEKWELL_EVENT_SKIPPED;
    event.address = platform::AddressText(AddressOf(sender));
    event.location = location;
    event.interfaceName = interfaceName;
    event.skip = skip;
    event.reason = std::move(reason);
    event.httpStatus = httpStatus;
    pending_.push_back(std::move(event));
}

void SearchLoop::TellOverload(Sender sender, const std::string& interfaceName)
{
    TellSkip(sender, interfaceName, std::string(), SEEKWELL_SKIP_OVERLOAD,
             "too many responders at once (" + std::to_string(params_.book.responders) + " held, " +
                 std::to_string(params_.book.fetches) + " fetches): replies from new senders go unexamined; " +
                 std::to_string(book_.OverloadedReplies()) + " so far",
             0);
}

void SearchLoop::TellRobot(seekwell_event_type type, Sender sender, const RobotFacts& facts)
{
    LiveEvent event;
    event.type = type;
    event.name = facts.name;
    event.address = platform::AddressText(AddressOf(sender));
    event.location = facts.location;
    event.interfaceName = facts.interfaceName;
    pending_.push_back(std::move(event));
}

LiveEvent DoneEvent(seekwell_done_reason reason, int error, std::size_t overloaded)
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
    if (overloaded != 0) {
        done.reason += "; " + std::to_string(overloaded) + " replies went unexamined (too many responders at once)";
    }
    return done;
}

std::pair<std::pair<seekwell_done_reason, int>, std::size_t> RunLoop(const LiveParameters& params, EventQueue& events,
                                                                     const std::atomic<bool>& cancelled,
                                                                     const platform::WakeEvent& wake, int epollFd)
{
    try {
        // Everything the search holds is released when the loop goes.
        SearchLoop loop(params, events, cancelled, wake, epollFd);
        const auto ending = loop.Run();
        return {ending, loop.Overloaded()};
    } catch (const std::bad_alloc&) {
        return {{SEEKWELL_DONE_FAILED, ENOMEM}, 0};
    }
}

}  // namespace

void RunSearch(const LiveParameters& params, EventQueue& events, const std::atomic<bool>& cancelled,
               const platform::WakeEvent& wake)
{
    // Every libcurl call of this thread is the library's own.
    const platform::OwnCurlCalls own;
    std::pair<std::pair<seekwell_done_reason, int>, std::size_t> ending{{SEEKWELL_DONE_FAILED, ENOMEM}, 0};
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) {
        ending.first.second = errno;
    } else {
        epoll_event watched{};
        watched.events = EPOLLIN;
        watched.data.u64 = EpollData(EpollTag::Wake, wake.Fd());
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, wake.Fd(), &watched) != 0) {
            ending.first.second = errno;
        } else {
            ending = RunLoop(params, events, cancelled, wake, epollFd);
        }
        close(epollFd);
    }
    try {
        events.Push(DoneEvent(ending.first.first, ending.first.second, ending.second));
    } catch (const std::bad_alloc&) {
        // Without memory for DONE the host learns of the end from nothing but
        // seekwell_search_free; nothing better can be done here.
    }
}

}  // namespace seekwell::live
