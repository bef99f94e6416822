#include "live/fetch_pool.h"

#include <sys/epoll.h>

#include <cerrno>

namespace seekwell::live {

namespace {

// Enough that a LAN of silent devices cannot hold up a robot's fetch, few
// enough that one search never opens hundreds of connections at once.
constexpr std::size_t kMaxFetchesInFlight = 32;

std::uint64_t FetchSocketData(int fd) { return kFetchSocketTag << 32 | static_cast<std::uint32_t>(fd); }

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

void FetchPool::Fetch(std::uint32_t key, const std::string& url)
{
    if (!EnsureMulti()) {
        FailAtOnce(key);
        return;
    }
    queued_.push_back(Queued{key, url});
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

void FetchPool::FailAtOnce(std::uint32_t key)
{
    platform::FetchOutcome outcome;
    outcome.code = CURLE_FAILED_INIT;
    finished_.push_back(Finished{key, std::move(outcome)});
}

void FetchPool::StartQueued()
{
    while (running_.size() < kMaxFetchesInFlight && !queued_.empty()) {
        Queued next = std::move(queued_.front());
        queued_.pop_front();
        auto transfer = std::make_unique<platform::DescriptionTransfer>(*curl_, next.url, HttpFetchLimits{});
        if (!transfer->Ready() || curl_->multiAddHandle(multi_, transfer->Handle()) != CURLM_OK) {
            FailAtOnce(next.key);
            continue;
        }
        CURL* handle = transfer->Handle();
        running_.emplace(handle, Running{next.key, std::move(transfer)});
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
    watched.data.u64 = FetchSocketData(fd);
    if (epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &watched) != 0 && errno == ENOENT) {
        (void)epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &watched);
    }
    return 0;
}

int FetchPool::SetDeadline(CURLM*, long timeoutMs, void* pool)
{
    auto* self = static_cast<FetchPool*>(pool);
    if (timeoutMs < 0) {
        self->deadline_.reset();
    } else {
        self->deadline_ = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    return 0;
}

void FetchPool::OnSocketReady(int fd, std::uint32_t epollEvents) { Act(fd, CurlFlags(epollEvents)); }

void FetchPool::OnDeadline()
{
    deadline_.reset();
    Act(CURL_SOCKET_TIMEOUT, 0);
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
        CURL* handle = message->easy_handle;
        const CURLcode result = message->data.result;
        const auto found = running_.find(handle);
        if (found == running_.end()) {
            continue;
        }
        curl_->multiRemoveHandle(multi_, handle);
        finished_.push_back(Finished{found->second.key, found->second.transfer->Finish(result)});
        running_.erase(found);
    }
}

std::vector<FetchPool::Finished> FetchPool::TakeFinished()
{
    std::vector<Finished> taken;
    taken.swap(finished_);
    return taken;
}

}  // namespace seekwell::live
