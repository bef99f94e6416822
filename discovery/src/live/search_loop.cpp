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
#include "live/announcement.h"
#include "live/epoll_tags.h"
#include "live/fetch_verdict.h"
#include "live/quiet_watch.h"
#include "live/reply_check.h"
#include "live/search_sockets.h"
#include "live/sweep_plan.h"
#include "platform/ipv4_text.h"
#include "platform/link_watch.h"
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
// Devices on a link answer within a second of the second send: an interface
// silent this long after a round's start heard nothing.
constexpr milliseconds kQuietAfter(2000);
constexpr const char kNothingAnswered[] = "; no device answered";
// Changes to the interfaces come in bursts (a link, then its address): the
// search looks once the burst is over.
constexpr milliseconds kLinkSettle(100);
// The most of a UDN an event carries.
constexpr std::size_t kUdnKeptBytes = 255;

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
          sweep_(params.targets.swept),
          started_(Clock::now())
    {
        if (params_.windowMs != 0) {
            windowEnd_ = started_ + milliseconds(params_.windowMs);
        }
        in_addr destination{};
        inet_aton(params_.destinationAddress, &destination);
        destination_ = platform::Ipv4Endpoint(destination, params_.destinationPort);
        in_addr group{};
        inet_aton(params_.announcementAddress, &group);
        announcementGroup_ = platform::Ipv4Endpoint(group, params_.announcementPort);
        // Without word from the kernel the rounds alone follow the interfaces.
        (void)linkWatch_.Open(epollFd, EpollData(EpollTag::LinkWatch, 0));
    }

    // The reason the search ended, and the errno when it failed.
    std::pair<seekwell_done_reason, int> Run();
    std::size_t Overloaded() const { return book_.OverloadedReplies(); }
    bool AnyAnswer() const { return quiet_.AnyAnswer(); }

private:
    bool StartRound();
    bool Watching() const { return params_.windowMs == 0; }
    void EndRound();
    void RefreshSockets();
    void FollowInterfaces();
    void ListenForAnnouncements();
    void HandleAnnouncement(const Datagram& datagram);
    void OpenSocket(const platform::Ipv4Interface& where);
    void OpenSweepSocket();
    void SendDueSearches(Clock::time_point now);
    void SendDueSweep(Clock::time_point now);
    void AskTargets();
    void TellQuiet(Clock::time_point now, bool listeningOver = false);
    const std::string& NameOfInterface(unsigned int index);
    std::string EventInterface(Sender sender, const std::string& interfaceName) const;
    void Follow(ResponderBook::Action action, Sender sender, const FetchRoute& route, const std::string& interfaceName,
                ReplyVerdict& verdict);
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
    SweepPlan sweep_;
    QuietWatch quiet_;
    platform::Ipv4Interfaces interfaces_;
    std::vector<std::unique_ptr<SearchSocket>> sockets_;
    std::unique_ptr<SearchSocket> sweepSocket_;
    std::unique_ptr<SearchSocket> announcements_;
    sockaddr_in announcementGroup_{};
    std::vector<platform::Ipv4Interface> joined_;  // where announcements are heard
    platform::LinkWatch linkWatch_;
    std::optional<Clock::time_point> linkChanged_;  // look at the interfaces once this settles
    std::vector<std::string> searchedOn_;           // the interfaces this round's searches went out on
    std::size_t nextAsk_ = 0;                       // the next asked target of this round
    std::optional<Clock::time_point> quietCheck_;
    // Names of the interfaces replies from beyond a chosen one came in by:
    // the kernel's indexes, never a sender's, so they stay few.
    std::unordered_map<unsigned int, std::string> interfaceNames_;
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
            TellQuiet(now, true);
            listening_ = false;
            sockets_.clear();
            sweepSocket_.reset();
            announcements_.reset();
        }
        if (!listening_ && pool_.Idle()) {
            events_.PushAll(std::move(pending_));
            return {SEEKWELL_DONE_WINDOW_OVER, 0};
        }
        if (listening_ && params_.periodMs != 0 && now >= roundStart_ + milliseconds(params_.periodMs)) {
            EndRound();
            StartRound();
        }
        if (listening_ && linkChanged_ && now >= *linkChanged_ + kLinkSettle) {
            linkChanged_.reset();
            FollowInterfaces();
        }
        SendDueSearches(now);
        SendDueSweep(now);
        AskTargets();
        TellQuiet(now);
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

// A round's listening is over: robots that missed their rounds are GONE now,
// not at the next round's send, which would tell them gone and back at once.
// A robot misses only the rounds that searched where it was heard; with
// targets, every round searches for every robot.
void SearchLoop::EndRound()
{
    const bool everywhere = !params_.targets.Empty();
    for (const auto& [sender, facts] :
         book_.EndRound(Watching() ? kGoneAfterMissed : 0, everywhere ? nullptr : &searchedOn_)) {
        TellRobot(SEEKWELL_EVENT_GONE, sender, facts);
    }
}

bool SearchLoop::StartRound()
{
    ++round_;
    book_.StartRound();
    roundStart_ = Clock::now();
    sendsMade_ = 0;
    searchedOn_.clear();
    // A round too short to hear everyone is told of at its end.
    TellQuiet(roundStart_, true);
    FollowInterfaces();
    std::vector<WatchedInterface> searchedOn;
    for (const auto& socket : sockets_) {
        searchedOn.push_back(WatchedInterface{socket->Where().index, socket->Where().name});
    }
    quiet_.StartRound(searchedOn);
    quietCheck_ = roundStart_ + kQuietAfter;
    if (!params_.targets.swept.empty() && !sweepSocket_) {
        OpenSweepSocket();
    }
    sweep_.StartPass(roundStart_);
    nextAsk_ = 0;
    ListenForAnnouncements();
    const bool targets = sweepSocket_ != nullptr || !params_.targets.asked.empty();
    return !sockets_.empty() || targets || round_ > 0;
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

// The interfaces as they are now: sockets for new ones, which search at once
// when a round is under way; the robots of one that went away are GONE.
void SearchLoop::FollowInterfaces()
{
    std::vector<const SearchSocket*> before;
    std::vector<std::string> searchedBefore;
    for (const auto& socket : sockets_) {
        before.push_back(socket.get());
        searchedBefore.push_back(socket->Where().name);
    }
    RefreshSockets();
    const auto& present = interfaces_.present;
    for (const std::string& name : searchedBefore) {
        if (std::find(present.begin(), present.end(), name) != present.end()) {
            continue;  // still there, if down for now
        }
        for (const auto& [sender, facts] : book_.ForgetInterface(name)) {
            if (Watching()) {
                TellRobot(SEEKWELL_EVENT_GONE, sender, facts);
            }
        }
    }
    if (sendsMade_ == 0) {
        return;  // the round's own sends are still to come
    }
    for (const auto& socket : sockets_) {
        if (std::find(before.begin(), before.end(), socket.get()) == before.end()) {
            socket->SendSearch(destination_);
            searchedOn_.push_back(socket->Where().name);
        }
    }
    ListenForAnnouncements();
}

// Announcements are heard on every chosen interface. The port may be held by
// a program that shares it with no one (a blocking call of this library,
// say): then the search tries again at its next round.
void SearchLoop::ListenForAnnouncements()
{
    if (params_.announcementPort == 0 || !listening_) {
        return;
    }
    if (!announcements_) {
        auto socket = std::make_unique<SearchSocket>();
        if (socket->OpenAnnouncements(epollFd_, announcementGroup_) != 0) {
            return;
        }
        announcements_ = std::move(socket);
        joined_.clear();
    }
    if (!IN_MULTICAST(ntohl(announcementGroup_.sin_addr.s_addr))) {
        return;  // a stand-in group on loopback, in tests
    }
    const auto& chosen = interfaces_.chosen;
    for (auto at = joined_.begin(); at != joined_.end();) {
        const bool still = std::any_of(chosen.begin(), chosen.end(),
                                       [&](const platform::Ipv4Interface& each) { return SameInterface(each, *at); });
        if (!still) {
            (void)announcements_->Join(*at, announcementGroup_.sin_addr, false);
            at = joined_.erase(at);
        } else {
            ++at;
        }
    }
    for (const platform::Ipv4Interface& each : chosen) {
        const bool joined = std::any_of(joined_.begin(), joined_.end(),
                                        [&](const platform::Ipv4Interface& one) { return SameInterface(each, one); });
        if (!joined && announcements_->Join(each, announcementGroup_.sin_addr, true)) {
            joined_.push_back(each);
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

void SearchLoop::OpenSweepSocket()
{
    auto socket = std::make_unique<SearchSocket>();
    if (const int error = socket->Open(epollFd_); error != 0) {
        socketError_ = error;
        return;
    }
    sweepSocket_ = std::move(socket);
}

void SearchLoop::SendDueSweep(Clock::time_point now)
{
    if (!listening_ || !sweepSocket_) {
        return;
    }
    for (const in_addr_t address : sweep_.TakeDue(now)) {
        sweepSocket_->SendUnicastSearch(platform::Ipv4Endpoint(AddressOf(address), params_.destinationPort));
    }
}

// Asked targets are fetched as the fetches leave room: a long list never
// crowds out the robots that answer the multicast search.
void SearchLoop::AskTargets()
{
    const std::vector<in_addr_t>& asked = params_.targets.asked;
    while (listening_ && nextAsk_ < asked.size() && book_.Fetching() < params_.book.fetches / 2) {
        const Sender target = asked[nextAsk_++];
        const std::string url = DescriptionUrl(platform::AddressText(AddressOf(target)).c_str());
        const RobotFacts facts{{}, url.substr(0, kLocationKeptBytes), {}, {}, {}};
        ReplyVerdict verdict{SEEKWELL_SKIP_NONE, std::string(), facts.location};
        ResponderBook::Action action;
        if (interfaces_.IsOwn(AddressOf(target))) {
            verdict.skip = SEEKWELL_SKIP_OWN_ADDRESS;
            verdict.reason = "target is one of this host's own addresses";
            action = book_.OnReply(target, 0, verdict.skip, facts);
        } else {
            action = book_.OnAsk(target, facts);
        }
        Follow(action, target, FetchRoute{}, std::string(), verdict);
    }
}

// Once a round, when its listening is over, or when the window or the round
// ends first.
void SearchLoop::TellQuiet(Clock::time_point now, bool listeningOver)
{
    if (!quietCheck_ || (now < *quietCheck_ && !listeningOver)) {
        return;
    }
    quietCheck_.reset();
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

const std::string& SearchLoop::NameOfInterface(unsigned int index)
{
    const auto found = interfaceNames_.find(index);
    if (found != interfaceNames_.end()) {
        return found->second;
    }
    return interfaceNames_.emplace(index, platform::InterfaceName(index)).first->second;
}

// A target beyond every chosen interface is told with the interface the
// routes reach it by; anyone else as the reply came.
std::string SearchLoop::EventInterface(Sender sender, const std::string& interfaceName) const
{
    if (!interfaceName.empty() || !params_.targets.Holds(AddressOf(sender))) {
        return interfaceName;
    }
    return platform::InterfaceTowards(AddressOf(sender));
}

void SearchLoop::SendDueSearches(Clock::time_point now)
{
    while (listening_ && sendsMade_ < kSendsPerRound && now >= roundStart_ + SendOffset(sendsMade_)) {
        for (const auto& socket : sockets_) {
            socket->SendSearch(destination_);
            if (std::find(searchedOn_.begin(), searchedOn_.end(), socket->Where().name) == searchedOn_.end()) {
                searchedOn_.push_back(socket->Where().name);
            }
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
        if (quietCheck_) {
            consider(*quietCheck_);
        }
        if (const auto sweep = sweep_.NextDue()) {
            consider(*sweep);
        }
        if (linkChanged_) {
            consider(*linkChanged_ + kLinkSettle);
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
    if (tag == EpollTag::LinkWatch) {
        if (linkWatch_.Drain() && !linkChanged_) {
            linkChanged_ = Clock::now();
        }
        return;
    }
    if (tag == EpollTag::SearchSocket) {
        if (sweepSocket_ && sweepSocket_->Fd() == fd) {
            ReadSocket(*sweepSocket_);
            return;
        }
        if (announcements_ && announcements_->Fd() == fd) {
            ReadSocket(*announcements_);
            return;
        }
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
    if (&socket == announcements_.get()) {
        HandleAnnouncement(datagram);
        return;
    }
    const Sender sender = datagram.sender.s_addr;
    // Whatever it says, a device heard the search there.
    if (!interfaces_.IsOwn(datagram.sender)) {
        quiet_.OnAnswer(datagram.arrivalIndex);
    }
    if (!book_.WantsReply(sender, datagram.arrivalIndex)) {
        return;
    }
    ReplyOrigin origin = OriginOf(datagram.sender, datagram.arrivalIndex, interfaces_, params_.loopbackDevices);
    origin.target = params_.targets.Holds(datagram.sender);
    ReplyVerdict verdict = CheckReply(datagram.text, origin, params_.loopbackDevices);
    // Events name the interface a valid reply came in by; a reply that came
    // in elsewhere is told on the search's own. A target beyond the
    // interface's subnet is fetched from where the routes say.
    const platform::Ipv4Interface& where = origin.arrival != nullptr ? *origin.arrival : socket.Where();
    const bool onLink = origin.arrival != nullptr && origin.arrival->Reaches(datagram.sender);
    const std::string& interfaceName =
        where.name.empty() && origin.target ? NameOfInterface(datagram.arrivalIndex) : where.name;
    const FetchRoute route = onLink ? FetchRoute{where.name, where.Address()} : FetchRoute{};
    const RobotFacts facts{{}, verdict.location, interfaceName, {}, BootIdOf(datagram.text)};
    const auto action = book_.OnReply(sender, datagram.arrivalIndex, verdict.skip, facts);
    Follow(action, sender, route, interfaceName, verdict);
}

// An announcement is judged as a reply from the same sender would be; one
// that fails a check is no news, and is not told (every device on the LAN
// announces). A byebye ends a robot only from the robot's own address.
void SearchLoop::HandleAnnouncement(const Datagram& datagram)
{
    const std::optional<Announcement> announcement = ReadAnnouncement(datagram.text);
    if (!announcement) {
        return;
    }
    if (!interfaces_.IsOwn(datagram.sender)) {
        quiet_.OnAnswer(datagram.arrivalIndex);
    }
    const Sender sender = datagram.sender.s_addr;
    ReplyOrigin origin = OriginOf(datagram.sender, datagram.arrivalIndex, interfaces_, params_.loopbackDevices);
    origin.target = params_.targets.Holds(datagram.sender);
    if (announcement->kind == Announcement::Kind::Byebye) {
        if (!Believed(origin)) {
            return;
        }
        if (const std::optional<RobotFacts> facts = book_.OnByebye(sender, announcement->usn); facts && Watching()) {
            TellRobot(SEEKWELL_EVENT_GONE, sender, *facts);
        }
        return;
    }
    ReplyVerdict verdict = CheckReply(datagram.text, origin, params_.loopbackDevices);
    if (verdict.skip != SEEKWELL_SKIP_NONE || origin.arrival == nullptr) {
        return;
    }
    const platform::Ipv4Interface& where = *origin.arrival;
    const FetchRoute route = where.Reaches(datagram.sender) ? FetchRoute{where.name, where.Address()} : FetchRoute{};
    const RobotFacts facts{{}, verdict.location, where.name, {}, announcement->bootId};
    Follow(book_.OnReply(sender, datagram.arrivalIndex, SEEKWELL_SKIP_NONE, facts), sender, route, where.name, verdict);
}

void SearchLoop::Follow(ResponderBook::Action action, Sender sender, const FetchRoute& route,
                        const std::string& interfaceName, ReplyVerdict& verdict)
{
    switch (action) {
        case ResponderBook::Action::Fetch:
            pool_.Fetch(sender, DescriptionUrl(platform::AddressText(AddressOf(sender)).c_str()), route);
            break;
        case ResponderBook::Action::TellSkip:
            TellSkip(sender, interfaceName, verdict.location, verdict.skip, std::move(verdict.reason), 0);
            break;
        case ResponderBook::Action::Overload:
            TellOverload(sender, interfaceName);
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
    // A device that took the connection, or refused it, is there.
    if (verdict.skip == SEEKWELL_SKIP_NONE || verdict.httpStatus != 0 ||
        verdict.skip == SEEKWELL_SKIP_CONNECT_REFUSED) {
        quiet_.OnAnswerElsewhere();
    }
    if (verdict.skip == SEEKWELL_SKIP_NONE) {
        const std::string address = platform::AddressText(AddressOf(finished.key));
        std::string name = ReadRobotDescription(address.c_str(), document).friendlyName;
        std::string udn = DescriptionUdn(document).substr(0, kUdnKeptBytes);
        // A robot known by its UDN at another address has moved: one ROBOT
        // with its new address, no GONE.
        if (const RobotFacts* facts = book_.OnFetchRobot(finished.key, std::move(name), std::move(udn))) {
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
    event.interfaceName = EventInterface(sender, interfaceName);
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
    event.interfaceName = EventInterface(sender, facts.interfaceName);
    event.udn = facts.udn;
    pending_.push_back(std::move(event));
}

struct Ending {
    seekwell_done_reason reason = SEEKWELL_DONE_FAILED;
    int error = ENOMEM;
    std::size_t overloaded = 0;
    bool anyAnswer = true;
};

LiveEvent DoneEvent(const Ending& ending)
{
    const seekwell_done_reason reason = ending.reason;
    const int error = ending.error;
    const std::size_t overloaded = ending.overloaded;
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
    if (reason != SEEKWELL_DONE_FAILED && !ending.anyAnswer) {
        done.reason += kNothingAnswered;
    }
    if (overloaded != 0) {
        done.reason += "; " + std::to_string(overloaded) + " replies went unexamined (too many responders at once)";
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
        return Ending{reason, error, loop.Overloaded(), loop.AnyAnswer()};
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
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
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
        close(epollFd);
    }
    try {
        events.Push(DoneEvent(ending));
    } catch (const std::bad_alloc&) {
        // Without memory for DONE the host learns of the end from nothing but
        // seekwell_search_free; nothing better can be done here.
    }
}

}  // namespace seekwell::live
