#include "live/search_loop.h"

#include <arpa/inet.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

#include "fetch/curl_wakeup_pair.h"
#include "live/epoll_tags.h"
#include "live/fetch_verdict.h"
#include "live/intake.h"
#include "live/interface_plan.h"
#include "live/loss_recovery.h"
#include "live/quiet_watch.h"
#include "live/read_pacing.h"
#include "live/round_clock.h"
#include "live/search_sockets.h"
#include "live/sweep_plan.h"
#include "platform/interface_listing.h"
#include "platform/ipv4_text.h"
#include "platform/link_watch.h"
#include "platform/owned_descriptors.h"
#include "robot_rules.h"

namespace seekwell::live {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEventsPerWait = 64;
// A flood keeps a socket readable for ever: the loop reads this many at a
// time, then looks at the cancel flag, the clock and the fetches again.
constexpr int kDatagramsPerTurn = 64;
constexpr const char kNothingAnswered[] = "; no device answered";

in_addr AddressOf(Address address)
{
    in_addr in{};
    in.s_addr = address;
    return in;
}

sockaddr_in EndpointOf(const char* address, std::uint16_t port)
{
    in_addr in{};
    inet_aton(address, &in);
    return platform::Ipv4Endpoint(in, port);
}

// The two sockets of one interface searched.
struct InterfaceSockets {
    std::unique_ptr<SearchSocket> search;
    std::unique_ptr<SearchSocket> announcements;
};

class SearchLoop {
public:
    SearchLoop(const LiveParameters& params, EventQueue& events, const std::atomic<bool>& cancelled,
               const platform::WakeEvent& wake, int epollFd)
        : params_(params),
          events_(events),
          cancelled_(cancelled),
          wake_(wake),
          epollFd_(epollFd),
          destination_(EndpointOf(params.destinationAddress, params.destinationPort)),
          announcementGroup_(EndpointOf(params.announcementAddress, params.announcementPort)),
          clock_(params.windowMs, params.periodMs, Clock::now()),
          pool_(epollFd, params.http, params.lanes),
          book_(params.book, params.windowMs == 0),
          sweep_(params.targets.swept),
          plan_(params.interfaceName),
          scene_{listing_, plan_, params.targets, params.loopbackDevices}
    {
        // Without word from the kernel the rounds alone follow the interfaces.
        (void)linkWatch_.Open(epollFd, EpollData(EpollTag::LinkWatch, 0));
    }

    // The reason the search ended, and the errno when it failed.
    std::pair<seekwell_done_reason, int> Run();
    std::size_t Overloaded() const { return book_.Overloaded(); }
    bool AnyAnswer() const { return quiet_.AnyAnswer(); }
    std::uint64_t Unrecovered() const { return losses_.Unrecovered(); }

private:
    bool StartRound(Clock::time_point now);
    void FollowInterfaces();
    void Open(const platform::Ipv4Interface& where);
    void Close(unsigned int index);
    void ListenForAnnouncements(unsigned int index, InterfaceSockets& sockets);
    void StopListening();
    void Search(unsigned int index, const SearchSocket& socket);
    void SendSearches(std::size_t sends);
    void SendSweep(Clock::time_point now);
    void AskTargets();
    void TellQuiet();
    void Carry();
    LiveEvent EventOf(Told told) const;
    int WaitMs(Clock::time_point now) const;
    std::size_t HandleReady(const epoll_event& ready);
    std::size_t ReadSocket(SearchSocket& socket, bool multicast);
    void PauseInAStorm();
    void Take(const Datagram& datagram, bool multicast);
    void TakeDrops();
    void CheckLosses(Clock::time_point now);
    void AskAgain(Clock::time_point now);
    void TellLosses();

    const LiveParameters& params_;
    EventQueue& events_;
    const std::atomic<bool>& cancelled_;
    const platform::WakeEvent& wake_;
    int epollFd_;
    sockaddr_in destination_;
    sockaddr_in announcementGroup_;
    RoundClock clock_;
    FetchPool pool_;
    RobotBook book_;
    SweepPlan sweep_;
    QuietWatch quiet_;
    InterfacePlan plan_;
    platform::Ipv4Listing listing_;
    IntakeScene scene_;
    std::map<unsigned int, InterfaceSockets> sockets_;
    std::unique_ptr<SearchSocket> sweepSocket_;
    // Each socket's descriptor, and whether it hears the group.
    std::unordered_map<int, std::pair<SearchSocket*, bool>> byFd_;
    platform::LinkWatch linkWatch_;
    std::vector<unsigned int> searched_;  // the interfaces this round's searches went out on
    std::size_t nextAsk_ = 0;             // asked targets take turns across rounds
    std::size_t askedThisRound_ = 0;
    std::vector<LiveEvent> pending_;  // made this turn of the loop
    DatagramBatch batch_;
    RepeatFilter repeats_;
    LossRecovery losses_;
    ReadPacing pacing_;
    int socketError_ = ENETDOWN;
};

std::pair<seekwell_done_reason, int> SearchLoop::Run()
{
    if (!StartRound(Clock::now())) {
        return {SEEKWELL_DONE_FAILED, socketError_};
    }
    epoll_event ready[kEventsPerWait];
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (const auto deadline = pool_.Deadline(); deadline && *deadline <= now) {
            pool_.OnDeadline(now);
        }
        const RoundClock::Due due = clock_.Take(now);
        if (due.quietCheck) {
            TellQuiet();
        }
        if (due.listeningOver) {
            TakeDrops();
            TellLosses();
            StopListening();
        }
        if (due.roundOver) {
            TakeDrops();
            TellLosses();
            book_.EndRound(searched_);
            book_.StartRound();
            StartRound(now);
        }
        if (due.followInterfaces) {
            FollowInterfaces();
        }
        SendSearches(due.sends);
        if (due.lossCheck) {
            CheckLosses(now);
        }
        AskAgain(now);
        SendSweep(now);
        AskTargets();
        Carry();
        // What this turn found goes to the host at once, as one batch: a
        // burst of replies wakes the host once, not once per responder.
        events_.PushAll(std::move(pending_));
        pending_.clear();
        if (!clock_.Listening() && pool_.Idle()) {
            return {SEEKWELL_DONE_WINDOW_OVER, 0};
        }
        pool_.Prepare();
        PauseInAStorm();
        const int count = epoll_wait(epollFd_, ready, kEventsPerWait, WaitMs(Clock::now()));
        if (cancelled_.load()) {
            return {SEEKWELL_DONE_CANCELLED, 0};
        }
        std::size_t datagrams = 0;
        for (int i = 0; i < count; ++i) {
            datagrams += HandleReady(ready[i]);
        }
        pacing_.OnWake(Clock::now(), datagrams);
    }
}

bool SearchLoop::StartRound(Clock::time_point now)
{
    searched_.clear();
    askedThisRound_ = 0;
    FollowInterfaces();
    std::vector<WatchedInterface> watched;
    for (auto& [index, sockets] : sockets_) {
        // A port held alone by another program a round ago may be free now.
        ListenForAnnouncements(index, sockets);
        if (plan_.HasCarrier(index)) {
            watched.push_back(WatchedInterface{index, plan_.Searched(index)->name});
        }
    }
    quiet_.StartRound(watched);
    if (!params_.targets.swept.empty() && !sweepSocket_) {
        auto socket = std::make_unique<SearchSocket>();
        if (socket->Open(epollFd_, in_addr{}) == 0) {
            byFd_[socket->Fd()] = {socket.get(), false};
            sweepSocket_ = std::move(socket);
        }
    }
    sweep_.StartPass(now);
    const bool targets = sweepSocket_ != nullptr || !params_.targets.asked.empty();
    return !sockets_.empty() || targets || clock_.Round() > 0;
}

// The interfaces as they are now. When they cannot be read (descriptors or
// memory short for a moment), the sockets there are stay as they are.
void SearchLoop::FollowInterfaces()
{
    platform::Ipv4Listing read;
    if (const int error = platform::ReadIpv4Listing(read); error != 0) {
        socketError_ = error;
        return;
    }
    listing_ = std::move(read);
    repeats_.Forget();
    const InterfaceChanges changes = plan_.Follow(listing_);
    for (const unsigned int index : changes.close) {
        Close(index);
    }
    for (const unsigned int index : changes.forget) {
        book_.ForgetInterface(index);
    }
    for (const platform::Ipv4Interface& each : changes.open) {
        Open(each);
    }
    for (const unsigned int index : changes.carrierBack) {
        if (const auto found = sockets_.find(index); found != sockets_.end() && clock_.Searched()) {
            Search(index, *found->second.search);
        }
    }
    if (sockets_.empty()) {
        socketError_ = ENETDOWN;
    }
}

void SearchLoop::Open(const platform::Ipv4Interface& where)
{
    if (!clock_.Listening()) {
        return;
    }
    InterfaceSockets sockets;
    sockets.search = std::make_unique<SearchSocket>(where.index);
    if (const int error = sockets.search->Open(epollFd_, where.links.front().address); error != 0) {
        socketError_ = error;
        plan_.Unsearch(where.index);  // tried again at the next look
        return;
    }
    byFd_[sockets.search->Fd()] = {sockets.search.get(), false};
    ListenForAnnouncements(where.index, sockets);
    // An interface that comes after the round's searches went out is
    // searched at once.
    if (clock_.Searched()) {
        Search(where.index, *sockets.search);
    }
    sockets_[where.index] = std::move(sockets);
}

void SearchLoop::Close(unsigned int index)
{
    losses_.Forget(index);
    const auto found = sockets_.find(index);
    if (found == sockets_.end()) {
        return;
    }
    for (const auto* socket : {found->second.search.get(), found->second.announcements.get()}) {
        if (socket != nullptr) {
            byFd_.erase(socket->Fd());
        }
    }
    sockets_.erase(found);
}

// The port may be held by a program that shares it with no one (a blocking
// call of this library, say): then the search tries again at its next round.
void SearchLoop::ListenForAnnouncements(unsigned int index, InterfaceSockets& sockets)
{
    if (params_.announcementPort == 0 || sockets.announcements) {
        return;
    }
    auto socket = std::make_unique<SearchSocket>(index);
    if (socket->OpenAnnouncements(epollFd_, announcementGroup_) == 0) {
        byFd_[socket->Fd()] = {socket.get(), true};
        sockets.announcements = std::move(socket);
    }
}

void SearchLoop::StopListening()
{
    byFd_.clear();
    sockets_.clear();
    sweepSocket_.reset();
}

// A round has searched an interface only where its search could be heard.
void SearchLoop::Search(unsigned int index, const SearchSocket& socket)
{
    socket.SendSearch(destination_);
    if (plan_.HasCarrier(index) && std::find(searched_.begin(), searched_.end(), index) == searched_.end()) {
        searched_.push_back(index);
    }
}

void SearchLoop::SendSearches(std::size_t sends)
{
    for (std::size_t send = 0; send < sends; ++send) {
        for (const auto& [index, sockets] : sockets_) {
            Search(index, *sockets.search);
        }
    }
}

void SearchLoop::SendSweep(Clock::time_point now)
{
    if (!sweepSocket_) {
        return;
    }
    for (const in_addr_t address : sweep_.TakeDue(now)) {
        sweepSocket_->SendUnicastSearch(platform::Ipv4Endpoint(AddressOf(address), params_.destinationPort));
        book_.OnSwept(address);
    }
}

// Asked targets take turns as the fetches leave room, each at most once a
// round, the next round going on where this one stopped: a long list never
// crowds out the robots that answer the multicast search, and a robot late
// in it is asked within the time the list takes, whatever those before it do.
void SearchLoop::AskTargets()
{
    const std::vector<in_addr_t>& asked = params_.targets.asked;
    while (clock_.Listening() && askedThisRound_ < asked.size() && book_.Fetching() < params_.book.fetches / 2) {
        const Address target = asked[nextAsk_];
        nextAsk_ = (nextAsk_ + 1) % asked.size();
        ++askedThisRound_;
        const Judged judged = JudgeAsked(AddressOf(target), scene_);
        if (judged.kind == Judged::Kind::Skipped) {
            book_.OnSkipped(target, judged.skip, judged.reason, judged.heard);
        } else {
            book_.OnAsked(target, judged.heard);
        }
    }
}

void SearchLoop::TellQuiet()
{
    for (std::string& name : quiet_.TakeQuiet()) {
        LiveEvent event;
        event.type = SEEKWELL_EVENT_QUIET;
        event.reason = "no device answered the search on " + name +
                       ": this network may block multicast, or a firewall the replies; a robot's address can "
                       "be given as a target";
        event.interfaceName = std::move(name);
        pending_.push_back(std::move(event));
    }
}

// Carries out what the book decided: the reads to start, whose results may
// decide more, and the events to tell.
void SearchLoop::Carry()
{
    for (;;) {
        const std::vector<FetchPool::Finished> finished = pool_.TakeFinished();
        for (const FetchPool::Finished& each : finished) {
            const ReadResult read = ReadOf(each, params_.lanes);
            if (ReachedADevice(read)) {
                quiet_.OnAnswerElsewhere();
            }
            book_.OnRead(each.order.address, each.order.ticket, read);
        }
        const std::vector<FetchOrder> fetches = book_.TakeFetches();
        for (const FetchOrder& order : fetches) {
            pool_.Fetch(order, DescriptionUrl(platform::AddressText(AddressOf(order.address)).c_str()));
        }
        for (Told& told : book_.TakeTold()) {
            pending_.push_back(EventOf(std::move(told)));
        }
        if (finished.empty() && fetches.empty()) {
            return;
        }
    }
}

LiveEvent SearchLoop::EventOf(Told told) const
{
    LiveEvent event;
    event.type = told.type;
    event.name = std::move(told.name);
    event.address = platform::AddressText(AddressOf(told.address));
    event.location = std::move(told.location);
    event.interfaceName = std::move(told.interfaceName);
    // A target beyond every searched interface is told with the interface
    // the routes reach it by.
    if (event.interfaceName.empty() && params_.targets.Holds(AddressOf(told.address))) {
        event.interfaceName = platform::InterfaceTowards(AddressOf(told.address), listing_);
    }
    event.udn = std::move(told.udn);
    event.skip = told.skip;
    event.reason = std::move(told.reason);
    event.httpStatus = told.httpStatus;
    return event;
}

int SearchLoop::WaitMs(Clock::time_point now) const
{
    std::optional<Clock::time_point> wake = pool_.Deadline();
    auto consider = [&wake](std::optional<Clock::time_point> when) {
        if (when) {
            wake = wake ? std::min(*wake, *when) : when;
        }
    };
    consider(clock_.NextDue());
    consider(losses_.NextDue());
    if (sweepSocket_) {
        consider(sweep_.NextDue());
    }
    if (!wake) {
        return -1;
    }
    // Rounded up, so the loop never wakes just before the moment it waits for.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT32_MAX));
}

// The datagrams it read.
std::size_t SearchLoop::HandleReady(const epoll_event& ready)
{
    const EpollTag tag = TagOf(ready.data.u64);
    const int fd = FdOf(ready.data.u64);
    switch (tag) {
        case EpollTag::FetchSocket:
            pool_.OnSocketReady(fd, ready.events);
            return 0;
        case EpollTag::LinkWatch:
            if (linkWatch_.Drain()) {
                clock_.NoteInterfaceChange(Clock::now());
            }
            return 0;
        case EpollTag::SearchSocket:
            if (const auto found = byFd_.find(fd); found != byFd_.end()) {
                return ReadSocket(*found->second.first, found->second.second);
            }
            return 0;
        default:
            // The wake descriptor: the loop looks at the cancel flag after
            // every wait. Drained, so a wake that did not cancel (a forked
            // child's, say) cannot keep it readable.
            wake_.Drain();
            return 0;
    }
}

std::size_t SearchLoop::ReadSocket(SearchSocket& socket, bool multicast)
{
    std::size_t read = 0;
    while (read < kDatagramsPerTurn && socket.Receive(batch_)) {
        for (std::size_t at = 0; at < batch_.Size(); ++at, ++read) {
            Take(batch_[at], multicast);
        }
    }
    Carry();
    return read;
}

// A pause shorter than a millisecond delays nothing that is due: the wait
// that follows is counted in whole milliseconds.
void SearchLoop::PauseInAStorm()
{
    const Clock::duration pause = pacing_.PauseBeforeWait();
    if (pause > Clock::duration::zero() && WaitMs(Clock::now()) > 0) {
        // libstdc++ sleeps again after EINTR.
        std::this_thread::sleep_for(pause);
    }
}

void SearchLoop::Take(const Datagram& datagram, bool multicast)
{
    const Arrival arrival{datagram.text, datagram.sender, datagram.arrivalIndex, multicast};
    if (repeats_.Repeats(arrival, datagram.length, clock_.Round())) {
        return;
    }
    const Judged judged = JudgeArrival(arrival, scene_);
    if (judged.deviceAnswered) {
        quiet_.OnAnswer(datagram.arrivalIndex);
    }
    const Address sender = datagram.sender.s_addr;
    switch (judged.kind) {
        case Judged::Kind::Responder:
            book_.OnResponder(sender, judged.heard);
            break;
        case Judged::Kind::Skipped:
            book_.OnSkipped(sender, judged.skip, judged.reason, judged.heard);
            break;
        case Judged::Kind::Byebye:
            book_.OnByebye(sender, judged.heard.udn);
            break;
        default:
            break;
    }
}

// Asked when it matters, at the round's look for losses and at its end, not
// with every read: a storm would pay a system call a wake for it. The sweep
// paces what it asks for; an interface's replies come in bursts.
void SearchLoop::TakeDrops()
{
    for (auto& [index, sockets] : sockets_) {
        losses_.OnDropped(index, sockets.search->TakeDropped());
        if (sockets.announcements) {
            losses_.OnDropped(index, sockets.announcements->TakeDropped());
        }
    }
}

// The round's replies are in: where the system dropped some, the devices
// the kernel knows there that did not answer are asked again, one by one.
void SearchLoop::CheckLosses(Clock::time_point now)
{
    TakeDrops();
    const std::vector<unsigned int> wanting = losses_.Wanting();
    if (wanting.empty()) {
        return;
    }
    std::vector<platform::Ipv4Neighbour> neighbours;
    const int error = platform::ReadIpv4Neighbours(neighbours);
    for (const unsigned int index : wanting) {
        const platform::Ipv4Interface* where = plan_.Searched(index);
        if (where == nullptr) {
            continue;
        }
        if (error != 0) {
            losses_.CannotAsk(index, std::string("the neighbour table could not be read: ") + std::strerror(error));
            continue;
        }
        std::vector<in_addr_t> unheard;
        for (const platform::Ipv4Neighbour& neighbour : neighbours) {
            if (neighbour.index == index && where->Reaches(neighbour.address) && !listing_.IsOwn(neighbour.address) &&
                !book_.Answered(neighbour.address.s_addr)) {
                unheard.push_back(neighbour.address.s_addr);
            }
        }
        losses_.Ask(index, std::move(unheard), now, clock_.RoundEnd());
    }
}

void SearchLoop::AskAgain(Clock::time_point now)
{
    for (const auto& [index, address] : losses_.TakeDue(now)) {
        if (const auto found = sockets_.find(index); found != sockets_.end()) {
            found->second.search->SendUnicastSearch(
                platform::Ipv4Endpoint(AddressOf(address), params_.destinationPort));
        }
    }
}

void SearchLoop::TellLosses()
{
    for (LossRecovery::Loss& loss : losses_.EndRound()) {
        const platform::Ipv4Interface* where = listing_.ByIndex(loss.index);
        LiveEvent event;
        event.type = SEEKWELL_EVENT_DROPPED;
        event.interfaceName = where != nullptr ? where->name : std::string();
        event.reason = "this host dropped " + std::to_string(loss.dropped) + " replies on " + event.interfaceName +
                       " for want of room, and the search could not learn again who sent them all: " + loss.why +
                       "; a larger net.core.rmem_max would help";
        pending_.push_back(std::move(event));
    }
}

struct Ending {
    seekwell_done_reason reason = SEEKWELL_DONE_FAILED;
    int error = ENOMEM;
    std::size_t overloaded = 0;
    bool anyAnswer = true;
    std::uint64_t unrecovered = 0;
};

LiveEvent DoneEvent(const Ending& ending)
{
    LiveEvent done;
    done.type = SEEKWELL_EVENT_DONE;
    done.done = ending.reason;
    done.error = ending.error;
    switch (ending.reason) {
        case SEEKWELL_DONE_WINDOW_OVER:
            done.reason = "window over";
            break;
        case SEEKWELL_DONE_CANCELLED:
            done.reason = "cancelled";
            break;
        default:
            done.reason = std::string("could not search: ") + std::strerror(ending.error);
            break;
    }
    if (ending.reason != SEEKWELL_DONE_FAILED && !ending.anyAnswer) {
        done.reason += kNothingAnswered;
    }
    if (ending.unrecovered != 0) {
        done.reason += "; " + std::to_string(ending.unrecovered) +
                       " replies dropped for want of room were not all learnt again (net.core.rmem_max)";
    }
    if (ending.overloaded != 0) {
        done.reason +=
            "; " + std::to_string(ending.overloaded) + " replies went unexamined (too many responders at once)";
    }
    return done;
}

Ending RunLoop(const LiveParameters& params, EventQueue& events, const std::atomic<bool>& cancelled,
               const platform::WakeEvent& wake, int epollFd)
{
    try {
        // Everything the search holds is released when the loop goes.
        SearchLoop loop(params, events, cancelled, wake, epollFd);
        const auto [reason, error] = loop.Run();
        return Ending{reason, error, loop.Overloaded(), loop.AnyAnswer(), loop.Unrecovered()};
    } catch (const std::bad_alloc&) {
        return Ending{};
    }
}

}  // namespace

void RunSearch(const LiveParameters& params, EventQueue& events, const std::atomic<bool>& cancelled,
               const platform::WakeEvent& wake)
{
    // Every libcurl call of this thread is the library's own.
    const platform::OwnCurlCalls own;
    Ending ending;
    const int epollFd = platform::OpenEpoll();
    if (epollFd < 0) {
        ending.error = errno;
    } else {
        epoll_event watched{};
        watched.events = EPOLLIN;
        watched.data.u64 = EpollData(EpollTag::Wake, wake.Fd());
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, wake.Fd(), &watched) != 0) {
            ending.error = errno;
        } else {
            ending = RunLoop(params, events, cancelled, wake, epollFd);
        }
        (void)platform::CloseNoted(epollFd);
    }
    try {
        events.Push(DoneEvent(ending));
    } catch (const std::bad_alloc&) {
        // Without memory for DONE the host learns of the end from nothing but
        // seekwell_search_free; nothing better can be done here.
    }
}

}  // namespace seekwell::live
