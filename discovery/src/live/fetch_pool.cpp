#include "live/fetch_pool.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>

#include "live/epoll_tags.h"

namespace seekwell::live {

namespace {

int CurlFlags(std::uint32_t epollEvents)
{
    int flags = 0;
    if ((epollEvents & EPOLLIN) != 0) {
        flags |= CURL_CSELECT_IN;
    }
    if ((epollEvents & EPOLLOUT) != 0) {
        flags |= CURL_CSELECT_OUT;
    }
    if ((epollEvents & (EPOLLERR | EPOLLHUP)) != 0) {
        flags |= CURL_CSELECT_ERR;
    }
    return flags;
}

}  // namespace

FetchPool::~FetchPool()
{
    for (auto& [handle, running] : running_) {
        curl_->multiRemoveHandle(multi_, handle);
    }
    running_.clear();
    if (multi_ != nullptr) {
        curl_->multiCleanup(multi_);
    }
}

void FetchPool::Fetch(const FetchOrder& order, const std::string& url)
{
    if (!EnsureMulti()) {
        FailAtOnce(order);
        return;
    }
    (order.asked ? askedQueued_ : queued_).push_back(Queued{order, url});
    StartQueued();
}

bool FetchPool::EnsureMulti()
{
    if (!multiTried_) {
        multiTried_ = true;
        curl_ = platform::ReadyCurl();
        multi_ = curl_ != nullptr ? curl_->multiInit() : nullptr;
        if (multi_ != nullptr) {
            curl_->multiSetopt(multi_, CURLMOPT_SOCKETFUNCTION, WatchSocket);
            curl_->multiSetopt(multi_, CURLMOPT_SOCKETDATA, this);
            curl_->multiSetopt(multi_, CURLMOPT_TIMERFUNCTION, SetDeadline);
            curl_->multiSetopt(multi_, CURLMOPT_TIMERDATA, this);
        }
    }
    return multi_ != nullptr;
}

void FetchPool::FailAtOnce(const FetchOrder& order)
{
    platform::FetchOutcome outcome;
    outcome.code = CURLE_FAILED_INIT;
    finished_.push_back(Finished{order, std::move(outcome)});
}

// The next fetch to start: one for a device that answered before an asked
// target's.
bool FetchPool::TakeNext(Queued& next)
{
    std::deque<Queued>& from = queued_.empty() ? askedQueued_ : queued_;
    if (from.empty()) {
        return false;
    }
    next = std::move(from.front());
    from.pop_front();
    return true;
}

void FetchPool::StartQueued()
{
    Queued next;
    while (quickRunning_ < lanes_.quick && TakeNext(next)) {
        auto transfer = std::make_unique<platform::DescriptionTransfer>(*curl_, next.url, limits_, next.order.route);
        if (!transfer->Ready() || curl_->multiAddHandle(multi_, transfer->Handle()) != CURLM_OK) {
            FailAtOnce(next.order);
            continue;
        }
        CURL* handle = transfer->Handle();
        const std::uint64_t serial = ++serials_;
        running_.emplace(handle, Running{next.order, std::move(transfer), Clock::now(), serial});
        quickLane_.push_back(QuickEntry{handle, serial});
        ++quickRunning_;
    }
}

int FetchPool::WatchSocket(CURL*, curl_socket_t fd, int what, void* pool, void*)
{
    const int epollFd = static_cast<FetchPool*>(pool)->epollFd_;
    if (what == CURL_POLL_REMOVE) {
        // libcurl may have closed it already; either way it is out of the set.
        (void)epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
        return 0;
    }
    epoll_event watched{};
    watched.events = ((what & CURL_POLL_IN) != 0 ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) != 0 ? EPOLLOUT : 0u);
    watched.data.u64 = EpollData(EpollTag::FetchSocket, fd);
    if (epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &watched) != 0 && errno == ENOENT) {
        (void)epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &watched);
    }
    return 0;
}

int FetchPool::SetDeadline(CURLM*, long timeoutMs, void* pool)
{
    auto* self = static_cast<FetchPool*>(pool);
    if (timeoutMs < 0) {
        self->curlDeadline_.reset();
    } else {
        self->curlDeadline_ = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    return 0;
}

// Whether a quick-lane entry is still the fetch it was made for, in the
// quick lane: handles are freed as fetches end and may come back for others.
bool FetchPool::IsCurrent(const QuickEntry& entry, std::unordered_map<CURL*, Running>::const_iterator at) const
{
    return at != running_.end() && at->second.serial == entry.serial && at->second.quick;
}

std::optional<FetchPool::Clock::time_point> FetchPool::Deadline() const
{
    std::optional<Clock::time_point> deadline = curlDeadline_;
    if (!quickLane_.empty()) {
        // A front that has finished already is due at once, which only
        // clears it away.
        const QuickEntry& front = quickLane_.front();
        const auto at = running_.find(front.handle);
        const Clock::time_point leaves =
            IsCurrent(front, at) ? at->second.started + lanes_.quickFor : Clock::time_point();
        deadline = deadline ? std::min(*deadline, leaves) : leaves;
    }
    return deadline;
}

void FetchPool::OnSocketReady(int fd, std::uint32_t epollEvents) { Act(fd, CurlFlags(epollEvents)); }

void FetchPool::OnDeadline(Clock::time_point now)
{
    if (curlDeadline_ && *curlDeadline_ <= now) {
        curlDeadline_.reset();
        Act(CURL_SOCKET_TIMEOUT, 0);
    }
    LeaveQuickLane(now);
    StartQueued();
}

// Fetches whose time in the quick lane is over move to the patient lane, or
// are given up when it is full: a device on the link would have answered.
void FetchPool::LeaveQuickLane(Clock::time_point now)
{
    while (!quickLane_.empty()) {
        const QuickEntry front = quickLane_.front();
        const auto at = running_.find(front.handle);
        if (!IsCurrent(front, at)) {
            quickLane_.pop_front();
            continue;
        }
        if (now - at->second.started < lanes_.quickFor) {
            return;
        }
        quickLane_.pop_front();
        if (!at->second.order.check && patientRunning_ < lanes_.patient) {
            at->second.quick = false;
            --quickRunning_;
            ++patientRunning_;
            continue;
        }
        platform::FetchOutcome outcome;
        outcome.code = CURLE_OPERATION_TIMEDOUT;
        outcome.connected = at->second.transfer->Connected();
        Stop(at, std::move(outcome), true);
    }
}

void FetchPool::Act(curl_socket_t fd, int flags)
{
    if (multi_ == nullptr) {
        return;
    }
    int stillRunning = 0;
    curl_->multiSocketAction(multi_, fd, flags, &stillRunning);
    CollectFinished();
    StartQueued();
}

void FetchPool::CollectFinished()
{
    int waiting = 0;
    while (CURLMsg* message = curl_->multiInfoRead(multi_, &waiting)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        const CURLcode result = message->data.result;
        const auto found = running_.find(message->easy_handle);
        if (found != running_.end()) {
            Stop(found, found->second.transfer->Finish(result), false);
        }
    }
}

void FetchPool::Stop(std::unordered_map<CURL*, Running>::iterator at, platform::FetchOutcome outcome, bool givenUp)
{
    curl_->multiRemoveHandle(multi_, at->first);
    --(at->second.quick ? quickRunning_ : patientRunning_);
    finished_.push_back(Finished{at->second.order, std::move(outcome), givenUp});
    running_.erase(at);
}

std::vector<FetchPool::Finished> FetchPool::TakeFinished()
{
    std::vector<Finished> taken;
    taken.swap(finished_);
    return taken;
}

}  // namespace seekwell::live
