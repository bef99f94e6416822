#include "live/live_search.h"

#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "platform/fork_detect.h"

namespace seekwell::live {

namespace {

// Set explicitly, whatever the host's default: libcurl's frames, and a
// sanitizer's in instrumented builds.
constexpr std::size_t kSearchThreadStackBytes = 1024 * 1024;

// Bytes of a newer host's options past what this version knows: all zero
// means the host asked for nothing this version lacks.
bool UnknownTailIsZero(const seekwell_options& options)
{
    if (options.size <= sizeof(seekwell_options)) {
        return true;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(&options);
    return std::all_of(bytes + sizeof(seekwell_options), bytes + options.size,
                       [](unsigned char byte) { return byte == 0; });
}

int CheckOptionsSize(const seekwell_options& options)
{
    if (options.size < kOptionsMinimumSize || options.size > kOptionsSizeLimit) {
        return -EINVAL;
    }
    return UnknownTailIsZero(options) ? 0 : -EOPNOTSUPP;
}

// 0 when an interface has the name, else the errno of the lookup: ENODEV only
// when the system answered that none has it. (if_nametoindex reports a lack
// of descriptors as ENOENT.)
int LookUpInterface(const char* name)
{
    ifreq request{};
    if (std::strlen(name) >= sizeof request.ifr_name) {
        return ENODEV;
    }
    std::strcpy(request.ifr_name, name);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return errno;
    }
    const int error = ioctl(fd, SIOCGIFINDEX, &request) == 0 ? 0 : errno;
    close(fd);
    return error;
}

// A failed lookup as the host is told it: descriptors or memory lacking, or
// the system's own answer.
int InterfaceLookupError(int error)
{
    switch (error) {
        case EMFILE:
        case ENFILE:
            return -EMFILE;
        case ENOBUFS:
            return -ENOMEM;
        default:
            return -error;
    }
}

// Whether the host's options reach as far as field, which may be newer than
// the host's header.
template <typename Field>
bool Covers(const seekwell_options& options, const Field& field)
{
    const auto end = reinterpret_cast<const char*>(&field) + sizeof field;
    return static_cast<std::size_t>(end - reinterpret_cast<const char*>(&options)) <= options.size;
}

}  // namespace

int ParametersFromOptions(const seekwell_options* options, LiveParameters& params)
{
    if (options == nullptr) {
        return 0;
    }
    if (const int error = CheckOptionsSize(*options); error != 0) {
        return error;
    }
    if (options->period_ms != 0 && options->period_ms < SEEKWELL_MIN_SEARCH_PERIOD_MS) {
        return -EINVAL;
    }
    if (Covers(*options, options->targets) &&
        ReadTargets(options->targets, params.loopbackDevices, params.targets) != 0) {
        return -EINVAL;
    }
    params.windowMs = options->window_ms;
    params.periodMs = options->period_ms != 0 ? options->period_ms : SEEKWELL_SEARCH_PERIOD_MS;
    if (options->interface_name != nullptr) {
        if (const int error = LookUpInterface(options->interface_name); error != 0) {
            return InterfaceLookupError(error);
        }
        params.interfaceName = options->interface_name;
    }
    return 0;
}

// Counts a thread in while it is inside the search; the last one out after a
// release deletes it, so a release never pulls the search from under another.
class LiveSearch::Caller {
public:
    explicit Caller(LiveSearch& search) : search_(search) { search_.callers_.fetch_add(1); }
    ~Caller()
    {
        if (search_.callers_.fetch_sub(1) == 1 && search_.released_.load()) {
            delete &search_;
        }
    }
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;

private:
    LiveSearch& search_;
};

// Marks the thread that runs the callback, until the delivery ends, however
// it ends.
class LiveSearch::Dispatching {
public:
    explicit Dispatching(LiveSearch& search) : search_(search)
    {
        search_.dispatcher_.store(pthread_self());
        search_.dispatching_.store(true);
    }
    ~Dispatching() { search_.dispatching_.store(false); }
    Dispatching(const Dispatching&) = delete;
    Dispatching& operator=(const Dispatching&) = delete;

private:
    LiveSearch& search_;
};

LiveSearch::LiveSearch(LiveParameters params, seekwell_event_fn onEvent, void* userData, Body body)
    : params_(std::move(params)),
      onEvent_(onEvent),
      userData_(userData),
      body_(body),
      creator_(platform::ProcessToken())
{
}

LiveSearch::~LiveSearch()
{
    Cancel();
    thread_.Join();
}

int LiveSearch::Start()
{
    if (const int error = events_.Open(); error != 0) {
        return error;
    }
    if (const int error = wake_.Open(); error != 0) {
        return error;
    }
    return thread_.Start(ThreadEntry, this, kSearchThreadStackBytes) ? 0 : EAGAIN;
}

void* LiveSearch::ThreadEntry(void* self)
{
    auto* search = static_cast<LiveSearch*>(self);
    const platform::NoteDescriptorsIn noting(search->owned_);
    search->body_(search->params_, search->events_, search->cancelled_, search->wake_);
    return nullptr;
}

void LiveSearch::Cancel()
{
    // A forked child's wake descriptor is its parent's: signalling it would
    // only rouse the parent's search thread.
    if (ForkedAway()) {
        return;
    }
    if (!cancelled_.exchange(true)) {
        wake_.Signal();
    }
}

// A child forked from the host has the search's memory but not its thread.
bool LiveSearch::ForkedAway() const { return platform::ProcessToken() != creator_; }

bool LiveSearch::InsideCallback() const
{
    return dispatching_.load() && pthread_equal(dispatcher_.load(), pthread_self());
}

void LiveSearch::DeliverWaiting()
{
    // Only what waits now: a search that keeps pushing cannot hold the host here.
    for (std::size_t left = events_.Count(); left > 0 && !doneDelivered_ && !released_.load(); --left) {
        const std::optional<LiveEvent> event = events_.Take();
        if (!event) {
            return;
        }
        // After a cancel only DONE is told.
        if (event->type != SEEKWELL_EVENT_DONE && cancelled_.load()) {
            continue;
        }
        // Delivered once the callback has it, whether or not the callback returns.
        doneDelivered_ = event->type == SEEKWELL_EVENT_DONE;
        const seekwell_event view = event->View();
        onEvent_(&view, userData_);
    }
}

LiveSearch::Progress LiveSearch::DispatchLocked()
{
    const std::lock_guard<std::mutex> lock(dispatchMutex_);
    if (!doneDelivered_ && !released_.load()) {
        const Dispatching mark(*this);
        DeliverWaiting();
    }
    if (released_.load()) {
        return Progress::Released;
    }
    return doneDelivered_ ? Progress::Done : Progress::Running;
}

LiveSearch::Progress LiveSearch::Dispatch()
{
    if (ForkedAway()) {
        return Progress::Done;
    }
    // Called again from inside the callback: what waits is being delivered.
    if (InsideCallback()) {
        return Progress::Running;
    }
    const Caller caller(*this);
    return DispatchLocked();
}

LiveSearch::Progress LiveSearch::Wait(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    if (ForkedAway()) {
        return Progress::Done;
    }
    if (InsideCallback()) {
        return Progress::Running;
    }
    const Caller caller(*this);
    std::optional<Clock::time_point> deadline;
    if (timeoutMs >= 0) {
        deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    for (;;) {
        const Progress progress = DispatchLocked();
        if (progress != Progress::Running) {
            return progress;
        }
        int waitMs = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) {
                return Progress::Running;
            }
            waitMs = static_cast<int>(left);
        }
        pollfd ready{Fd(), POLLIN, 0};
        // An interrupted wait simply goes round again.
        (void)poll(&ready, 1, waitMs);
    }
}

void LiveSearch::Release(LiveSearch* search)
{
    if (search->ForkedAway()) {
        // Only the child's copies of the descriptors are released: the rest
        // belongs to a thread that does not exist here, and is left alone.
        search->events_.CloseDescriptor();
        search->wake_.Close();
        search->owned_.CloseCopies();
        return;
    }
    const Caller caller(*search);
    search->released_.store(true);
    search->Cancel();
}

}  // namespace seekwell::live
