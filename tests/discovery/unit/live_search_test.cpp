// The live search's handle through its C functions, with scripted search
// threads in place of the network: exceptions from the host's callback, a
// free from inside it while another thread waits, cancels from threads with
// a cancel request pending, forked children; and the options, interface and
// queue rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "live/live_search.h"
#include "platform/fork_detect.h"
#include "timing.h"

namespace seekwell::live {
namespace {

using std::chrono::milliseconds;
using test::Clock;
using test::Elapsed;

constexpr double kCancelPromiseMs = 50;
// How long a scripted search waits for its cancel before it ends by itself.
constexpr int kScriptLimitMs = 5000;
constexpr int kQuietWatchMs = 300;

LiveEvent Event(seekwell_event_type type, const char* name = "")
{
    LiveEvent event;
    event.type = type;
    event.name = name;
    return event;
}

// Wake-ups of the scripted search thread, the host's cancel's among them.
std::atomic<int> g_wakeUps{0};
std::atomic<bool> g_scriptRunning{false};

// Sleeps on the wake until cancelled, then ends as a search does: DONE.
void AwaitCancel(EventQueue& events, const std::atomic<bool>& cancelled, const platform::WakeEvent& wake)
{
    g_scriptRunning.store(true);
    const Clock::time_point start = Clock::now();
    while (!cancelled.load() && Elapsed(start) < kScriptLimitMs) {
        pollfd ready{wake.Fd(), POLLIN, 0};
        if (poll(&ready, 1, 100) > 0) {
            g_wakeUps.fetch_add(1);
            wake.Drain();
        }
    }
    LiveEvent done = Event(SEEKWELL_EVENT_DONE);
    done.done = cancelled.load() ? SEEKWELL_DONE_CANCELLED : SEEKWELL_DONE_WINDOW_OVER;
    events.Push(std::move(done));
}

void Idle(const LiveParameters&, EventQueue& events, const std::atomic<bool>& cancelled,
          const platform::WakeEvent& wake)
{
    AwaitCancel(events, cancelled, wake);
}

void ThreeRobots(const LiveParameters&, EventQueue& events, const std::atomic<bool>& cancelled,
                 const platform::WakeEvent& wake)
{
    std::vector<LiveEvent> batch;
    for (const char* name : {"a", "b", "c"}) {
        batch.push_back(Event(SEEKWELL_EVENT_ROBOT, name));
    }
    events.PushAll(std::move(batch));
    AwaitCancel(events, cancelled, wake);
}

// What a host's callback saw, and what it does on the way.
struct Host {
    seekwell_search* search = nullptr;
    std::vector<std::string> seen;
    std::function<void(const seekwell_event&)> act = [](const seekwell_event&) {};
    Clock::time_point doneAt;
};

void OnEvent(const seekwell_event* event, void* data)
{
    auto& host = *static_cast<Host*>(data);
    host.seen.push_back(event->type == SEEKWELL_EVENT_DONE ? "DONE" : event->name);
    if (event->type == SEEKWELL_EVENT_DONE) {
        host.doneAt = Clock::now();
    }
    host.act(*event);
}

// A search as seekwell_search_start makes one, with a script for its thread.
void StartScripted(LiveSearch::Body body, Host& host)
{
    g_wakeUps.store(0);
    g_scriptRunning.store(false);
    auto* search = new LiveSearch(LiveParameters{}, OnEvent, &host, body);
    ASSERT_EQ(search->Start(), 0);
    host.search = reinterpret_cast<seekwell_search*>(search);
}

bool Readable(int fd, int timeoutMs)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, timeoutMs) == 1;
}

int Entries(const char* folder)
{
    const std::filesystem::directory_iterator listing(folder);
    return static_cast<int>(std::distance(begin(listing), end(listing)));
}

// A sanitizer's runtime starts a thread of its own with the process's first
// one: that one runs before any count.
bool StartFirstThread()
{
    std::thread([] {}).join();
    return true;
}

// Threads and descriptors of the process, to compare before and after a search.
struct Footprint {
    bool firstThreadStarted = [] {
        static const bool started = StartFirstThread();
        return started;
    }();
    int threads = Entries("/proc/self/task");
    int descriptors = Entries("/proc/self/fd");
    bool operator==(const Footprint& other) const
    {
        return threads == other.threads && descriptors == other.descriptors;
    }
};

// The footprint is back to before: a joined thread leaves /proc/self/task a
// moment after its join returns, so it is given a bounded while.
bool BackTo(const Footprint& before)
{
    constexpr int kTries = 100;
    for (int i = 0; i < kTries; ++i) {
        if (Footprint() == before) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

struct HostException : std::runtime_error {
    HostException() : std::runtime_error("thrown by the host") {}
};

TEST(LiveSearch, ThrowingCallbackLeavesTheRestForTheNextDispatch)
{
    struct Case {
        const char* what;
        bool byWait;
        bool freeBeforeThrow;
    };
    const Case cases[] = {
        {"dispatch", false, false},
        {"wait", true, false},
        {"dispatch, freed first", false, true},
        {"wait, freed first", true, true},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.what);
        const Footprint before;
        Host host;
        host.act = [&](const seekwell_event& event) {
            if (std::strcmp(event.name, "b") == 0) {
                if (each.freeBeforeThrow) {
                    seekwell_search_free(host.search);
                }
                throw HostException();
            }
        };
        StartScripted(ThreeRobots, host);
        ASSERT_TRUE(Readable(seekwell_search_fd(host.search), 1000));
        if (each.byWait) {
            EXPECT_THROW(seekwell_search_wait(host.search, -1), HostException);
        } else {
            EXPECT_THROW(seekwell_search_dispatch(host.search), HostException);
        }
        EXPECT_EQ(host.seen, (std::vector<std::string>{"a", "b"}));
        if (each.freeBeforeThrow) {
            EXPECT_TRUE(BackTo(before)) << "released before the exception left";
            continue;
        }
        EXPECT_TRUE(Readable(seekwell_search_fd(host.search), 0)) << "c still waits";
        EXPECT_EQ(seekwell_search_dispatch(host.search), 1);
        EXPECT_EQ(host.seen.back(), "c");
        EXPECT_EQ(seekwell_search_wait(host.search, 0), 1);
        seekwell_search_cancel(host.search);
        EXPECT_EQ(seekwell_search_wait(host.search, 2000), 0);
        EXPECT_EQ(host.seen, (std::vector<std::string>{"a", "b", "c", "DONE"}));
        seekwell_search_free(host.search);
        EXPECT_TRUE(BackTo(before));
    }
}

TEST(LiveSearch, FreeInsideTheCallbackWhileAnotherThreadWaitsToDispatch)
{
    for (const bool secondWaits : {false, true}) {
        SCOPED_TRACE(secondWaits ? "second waits" : "second dispatches");
        const Footprint before;
        Host host;
        std::atomic<bool> secondCalling{false};
        int secondGot = -1;
        std::thread second;
        host.act = [&](const seekwell_event&) {
            if (second.joinable()) {
                return;
            }
            second = std::thread([&] {
                secondCalling.store(true);
                secondGot = secondWaits ? seekwell_search_wait(host.search, -1) : seekwell_search_dispatch(host.search);
            });
            test::WaitUntil([&] { return secondCalling.load(); }, milliseconds(2000));
            // Long enough for the second thread to block on the dispatch lock.
            std::this_thread::sleep_for(milliseconds(100));
            seekwell_search_free(host.search);
        };
        StartScripted(ThreeRobots, host);
        ASSERT_TRUE(Readable(seekwell_search_fd(host.search), 1000));
        EXPECT_EQ(seekwell_search_dispatch(host.search), 0);
        second.join();
        EXPECT_EQ(secondGot, 0);
        EXPECT_EQ(host.seen, std::vector<std::string>{"a"});
        EXPECT_TRUE(BackTo(before));
    }
}

// Calls on the search from a thread that has a cancel request pending.
struct PendingCancelCall {
    seekwell_search* search;
    void (*call)(seekwell_search* search);
    Clock::time_point calledAt;
    double callMs = 0;
};

void* CallWithCancelPending(void* data)
{
    auto& call = *static_cast<PendingCancelCall*>(data);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_cancel(pthread_self());
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    call.calledAt = Clock::now();
    call.call(call.search);
    call.callMs = Elapsed(call.calledAt);
    pthread_testcancel();
    return nullptr;
}

TEST(LiveSearch, CancelAndFreeActFromAThreadWithACancelPending)
{
    for (const bool frees : {false, true}) {
        SCOPED_TRACE(frees ? "free" : "cancel");
        const Footprint before;
        Host host;
        StartScripted(Idle, host);
        ASSERT_TRUE(test::WaitUntil([] { return g_scriptRunning.load(); }, milliseconds(2000)));
        PendingCancelCall call{host.search, frees ? seekwell_search_free : seekwell_search_cancel, {}};
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, nullptr, CallWithCancelPending, &call), 0);
        void* ended = nullptr;
        pthread_join(thread, &ended);
        EXPECT_EQ(ended, PTHREAD_CANCELED) << "the request acts after the call";
        if (frees) {
            EXPECT_LE(call.callMs, kCancelPromiseMs);
            EXPECT_TRUE(BackTo(before));
            continue;
        }
        EXPECT_EQ(seekwell_search_wait(host.search, 3000), 0);
        const std::chrono::duration<double, std::milli> cancelToDone = host.doneAt - call.calledAt;
        EXPECT_LE(cancelToDone.count(), kCancelPromiseMs);
        seekwell_search_free(host.search);
    }
}

// What a forked child does with the search it inherited; its exit status is
// 0 when every call behaved as a child's must.
int CancelInChild(seekwell_search* search)
{
    seekwell_search_cancel(search);
    return seekwell_search_dispatch(search) == 0 && seekwell_search_wait(search, -1) == 0 ? 0 : 1;
}

int FreeInChild(seekwell_search* search)
{
    const int fd = seekwell_search_fd(search);
    seekwell_search_free(search);
    const bool childCopyClosed = fcntl(fd, F_GETFD) < 0 && errno == EBADF;
    return childCopyClosed && reinterpret_cast<LiveSearch*>(search)->Fd() == -1 ? 0 : 1;
}

int HoldInChild(seekwell_search* search)
{
    std::this_thread::sleep_for(milliseconds(kQuietWatchMs));
    return seekwell_search_dispatch(search) == 0 ? 0 : 1;
}

TEST(LiveSearch, ForkedChildCostsTheParentsSearchNothing)
{
    struct Case {
        const char* what;
        int (*inChild)(seekwell_search* search);
    };
    const Case cases[] = {{"cancels", CancelInChild}, {"frees", FreeInChild}, {"holds", HoldInChild}};
    for (const Case& each : cases) {
        SCOPED_TRACE(each.what);
        Host host;
        StartScripted(Idle, host);
        ASSERT_TRUE(test::WaitUntil([] { return g_scriptRunning.load(); }, milliseconds(2000)));
        const pid_t child = fork();
        if (child == 0) {
            _exit(each.inChild(host.search));
        }
        std::this_thread::sleep_for(milliseconds(kQuietWatchMs));
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(g_wakeUps.load(), 0) << "the search thread woke for the child";
        EXPECT_EQ(seekwell_search_dispatch(host.search), 1) << "the parent's search goes on";
        seekwell_search_cancel(host.search);
        EXPECT_EQ(seekwell_search_wait(host.search, 2000), 0);
        EXPECT_EQ(host.seen, std::vector<std::string>{"DONE"});
        seekwell_search_free(host.search);
    }
}

// Forks, runs inChild there, and gives its exit status (0: as expected).
int InChild(const std::function<int()>& inChild)
{
    const pid_t child = fork();
    if (child == 0) {
        _exit(inChild());
    }
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

constexpr int kNoNamespaces = 77;
constexpr std::uint64_t (*kTokens[])() = {platform::ProcessToken, platform::ForkHandlerToken};

TEST(ProcessToken, DiffersInEveryDescendant)
{
    for (const auto token : kTokens) {
        const std::uint64_t parent = token();
        EXPECT_EQ(token(), parent);
        EXPECT_EQ(InChild([&] {
                      const std::uint64_t child = token();
                      return child == parent ? 1 : InChild([&] { return token() == child || token() == parent; });
                  }),
                  0);
    }
}

// A process that is ID 1 of its PID namespace forks into a new one, where the
// child is ID 1 as well.
TEST(ProcessToken, DiffersInAChildWithItsParentsProcessId)
{
    for (const auto token : kTokens) {
        const int status = InChild([&] {
            return unshare(CLONE_NEWPID) != 0 ? kNoNamespaces : InChild([&] {
                const std::uint64_t first = token();
                return unshare(CLONE_NEWPID) != 0 ? kNoNamespaces
                                                  : InChild([&] { return getpid() != 1 || token() == first; });
            });
        });
        if (status == kNoNamespaces) {
            GTEST_SKIP() << "PID namespaces need root";
        }
        EXPECT_EQ(status, 0);
    }
}

TEST(LiveOptions, SizesFromThisVersionOn)
{
    // A newer host's options, as large as any accepted, zero beyond this
    // version's fields until the case writes a byte.
    struct alignas(seekwell_options) Bytes {
        unsigned char at[kOptionsSizeLimit];
    };
    constexpr std::size_t kAbsurd = std::size_t{1} << 40;
    struct Case {
        const char* what;
        std::size_t size;
        std::size_t nonZeroAt;  // 0: none
        int expected;
    };
    const Case cases[] = {
        {"smaller than this version's", kOptionsMinimumSize - 1, 0, -EINVAL},
        {"this version's fields", kOptionsMinimumSize, 0, 0},
        {"this header's", sizeof(seekwell_options), 0, 0},
        {"padding after the fields is never read", sizeof(seekwell_options), kOptionsMinimumSize, 0},
        {"larger, zero beyond", sizeof(seekwell_options) + 8, 0, 0},
        {"larger, an option this version lacks", sizeof(seekwell_options) + 8, sizeof(seekwell_options) + 7,
         -EOPNOTSUPP},
        {"the largest, its last byte set", kOptionsSizeLimit, kOptionsSizeLimit - 1, -EOPNOTSUPP},
        {"absurd, not read", kAbsurd, 0, -EINVAL},
    };
    for (const Case& each : cases) {
        Bytes bytes{};
        seekwell_options options = SEEKWELL_OPTIONS_INIT;
        options.size = each.size;
        std::memcpy(bytes.at, &options, sizeof options);
        if (each.nonZeroAt != 0) {
            bytes.at[each.nonZeroAt] = 1;
        }
        LiveParameters params;
        EXPECT_EQ(ParametersFromOptions(reinterpret_cast<const seekwell_options*>(bytes.at), params), each.expected)
            << each.what;
    }
}

TEST(LiveOptions, TargetsAreReadOnlyFromAHostThatKnowsThem)
{
    const char* bad[] = {"198.19.5.1", "robot.local", nullptr};
    seekwell_options options = SEEKWELL_OPTIONS_INIT;
    options.targets = bad;
    LiveParameters params;
    EXPECT_EQ(ParametersFromOptions(&options, params), -EINVAL);
    options.size = offsetof(seekwell_options, targets);  // a host built before targets
    EXPECT_EQ(ParametersFromOptions(&options, params), 0);
    EXPECT_TRUE(params.targets.Empty());
    const char* good[] = {"198.19.5.0/24", "198.19.6.7", nullptr};
    options = SEEKWELL_OPTIONS_INIT;
    options.targets = good;
    ASSERT_EQ(ParametersFromOptions(&options, params), 0);
    EXPECT_EQ(params.targets.swept.size(), 254u);
    EXPECT_EQ(params.targets.asked.size(), 1u);
}

// Holds the process's descriptor limit at 0 until it goes.
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft()
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit none = saved_;
        none.rlim_cur = 0;
        setrlimit(RLIMIT_NOFILE, &none);
    }
    ~NoDescriptorsLeft() { setrlimit(RLIMIT_NOFILE, &saved_); }
    NoDescriptorsLeft(const NoDescriptorsLeft&) = delete;
    NoDescriptorsLeft& operator=(const NoDescriptorsLeft&) = delete;

private:
    rlimit saved_{};
};

TEST(LiveOptions, UnknownInterfaceToldFromLackingDescriptors)
{
    struct Case {
        const char* name;
        bool descriptorsLeft;
        int expected;
    };
    const Case cases[] = {
        {"lo", true, 0},        {"no-such-if0", true, -ENODEV},  {"name-longer-than-any-interface", true, -ENODEV},
        {"lo", false, -EMFILE}, {"no-such-if0", false, -EMFILE},
    };
    for (const Case& each : cases) {
        seekwell_options options = SEEKWELL_OPTIONS_INIT;
        options.interface_name = each.name;
        LiveParameters params;
        int got = 0;
        if (each.descriptorsLeft) {
            got = ParametersFromOptions(&options, params);
        } else {
            const NoDescriptorsLeft none;
            got = ParametersFromOptions(&options, params);
        }
        EXPECT_EQ(got, each.expected) << each.name << (each.descriptorsLeft ? "" : ", no descriptors left");
    }
}

TEST(EventQueue, SkippedWaitingAreCappedAndDoneCountsTheDropped)
{
    struct Case {
        const char* what;
        std::size_t skipped;
        std::size_t takenBetween;  // taken after half the SKIPPED were pushed
        std::string doneReason;
    };
    const std::size_t kCap = kMaxWaitingSkipped;
    const Case cases[] = {
        {"up to the cap", kCap, 0, "window over"},
        {"past it", kCap + 5, 0, "window over; 5 SKIPPED events dropped, more than 1024 waiting for the host"},
        {"past it, room made on the way", kCap + 5, 10, "window over"},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.what);
        EventQueue queue;
        ASSERT_EQ(queue.Open(), 0);
        std::size_t skipped = 0;
        std::size_t others = 0;
        std::optional<LiveEvent> last;
        const auto take = [&] {
            last = queue.Take();
            EXPECT_TRUE(Readable(queue.Fd(), 0) == (queue.Count() > 0));
            skipped += last->type == SEEKWELL_EVENT_SKIPPED;
            others += last->type == SEEKWELL_EVENT_ROBOT || last->type == SEEKWELL_EVENT_GONE;
        };
        for (std::size_t i = 0; i < each.skipped; ++i) {
            // Robots and robots gone, between them, are never dropped.
            std::vector<LiveEvent> batch;
            batch.push_back(Event(SEEKWELL_EVENT_SKIPPED));
            batch.push_back(Event(i % 2 == 0 ? SEEKWELL_EVENT_ROBOT : SEEKWELL_EVENT_GONE, "r"));
            queue.PushAll(std::move(batch));
            for (std::size_t taken = 0; i == each.skipped / 2 && taken < each.takenBetween; ++taken) {
                take();
            }
        }
        const std::size_t skippedTakenEarly = skipped;
        LiveEvent done = Event(SEEKWELL_EVENT_DONE);
        done.reason = "window over";
        queue.Push(std::move(done));
        while (queue.Count() > 0) {
            take();
        }
        EXPECT_EQ(skipped, std::min(each.skipped, kCap + skippedTakenEarly));
        EXPECT_EQ(others, each.skipped);
        ASSERT_TRUE(last && last->type == SEEKWELL_EVENT_DONE);
        EXPECT_EQ(last->reason, each.doneReason);
    }
}

// "R u a0 n": a ROBOT of udn u at a0, named n if given; "G" a GONE, "Q eth0" a
// QUIET on eth0, "D" DONE. The letters stand at their seekwell_event_type.
constexpr const char* kTypeLetters = "?RSGDQ";

LiveEvent Scripted(const std::string& step)
{
    std::istringstream words(step);
    char type = 0;
    std::string key;
    LiveEvent event;
    words >> type >> key >> event.address >> event.name;
    event.type = static_cast<seekwell_event_type>(std::strchr(kTypeLetters, type) - kTypeLetters);
    (event.type == SEEKWELL_EVENT_QUIET ? event.interfaceName : event.udn) = key;
    return event;
}

std::string Told(const LiveEvent& event)
{
    std::string told(1, kTypeLetters[event.type]);
    for (const std::string* word : {&event.interfaceName, &event.udn, &event.address, &event.name}) {
        told += word->empty() ? "" : " " + *word;
    }
    return told;
}

TEST(EventQueue, WaitingEventsOfOneRobotAreMergedAndTheHostEndsTheSame)
{
    struct Case {
        const char* what;
        std::vector<std::string> steps;  // "take": the host takes one event
        std::vector<std::string> taken;
    };
    std::vector<std::string> storm;
    for (int i = 0; i < 10000; ++i) {
        storm.push_back("R u a0 n" + std::to_string(i));
    }
    const Case cases[] = {
        {"a rename storm no one dispatches", storm, {"R u a0 n9999"}},
        {"a move chain", {"R u a0", "take", "R u a1", "R u a2", "R u a3"}, {"R u a0", "R u a3"}},
        {"gone before the host had it", {"R u a0", "G u a0"}, {}},
        {"the others keep their order, gone where it waited",
         {"R u a0", "R v b0", "take", "take", "R u a1", "R v b1", "R w c0", "R u a2", "G v b2", "D"},
         {"R u a0", "R v b0", "R u a2", "G v b2", "R w c0", "D"}},
        {"moved, gone, back, gone", {"R u a0", "take", "R u a1", "G u a1", "R u a2", "G u a2"}, {"R u a0", "G u a1"}},
        {"gone, back, gone", {"R u a0", "take", "G u a0", "R u a1", "G u a1"}, {"R u a0", "G u a0"}},
        {"gone, back, moved", {"R u a0", "take", "G u a0", "R u a1", "R u a2"}, {"R u a0", "G u a0", "R u a2"}},
        {"gone twice", {"R u a0", "take", "G u a0", "G u a1"}, {"R u a0", "G u a0"}},
        {"gone for the host, back, gone",
         {"R u a0", "take", "G u a0", "take", "R u a1", "G u a1"},
         {"R u a0", "G u a0"}},
        {"a quiet interface",
         {"Q eth0", "Q wlan0", "Q eth0", "take", "Q eth0", "Q wlan0"},
         {"Q eth0", "Q wlan0", "Q eth0"}},
    };
    for (const Case& each : cases) {
        for (const bool batched : {false, true}) {
            SCOPED_TRACE(std::string(each.what) + (batched ? ", batched" : ""));
            EventQueue queue;
            ASSERT_EQ(queue.Open(), 0);
            std::vector<std::string> taken;
            std::vector<LiveEvent> batch;
            // Also when a merge leaves nothing waiting, the descriptor says so.
            const auto push = [&] {
                queue.PushAll(std::move(batch));
                batch.clear();
                EXPECT_EQ(Readable(queue.Fd(), 0), queue.Count() > 0);
            };
            for (const std::string& step : each.steps) {
                if (step == "take") {
                    push();
                    taken.push_back(Told(*queue.Take()));
                } else {
                    batch.push_back(Scripted(step));
                }
                if (!batched) {
                    push();
                }
            }
            push();
            while (const std::optional<LiveEvent> event = queue.Take()) {
                taken.push_back(Told(*event));
            }
            EXPECT_EQ(taken, each.taken);
        }
    }
}

TEST(EventQueue, AHostTakingWhileRobotsComeAndGoEndsWithTheirLastFacts)
{
    constexpr unsigned kRobots = 8;
    EventQueue queue;
    ASSERT_EQ(queue.Open(), 0);
    // A panel of robots, udn to address, as a host keeps one.
    const auto note = [](std::map<std::string, std::string>& panel, const LiveEvent& event) {
        if (event.type == SEEKWELL_EVENT_GONE) {
            panel.erase(event.udn);
        } else if (event.type == SEEKWELL_EVENT_ROBOT) {
            panel[event.udn] = event.address;
        }
    };
    std::map<std::string, std::string> expected;
    std::thread search([&] {
        for (unsigned i = 0, random = 1; i < 20000; ++i) {
            random = random * 1103515245U + 12345U;
            LiveEvent event = Scripted(((random >> 20) % 3 == 0 ? "G u" : "R u") +
                                       std::to_string((random >> 24) % kRobots) + " a" + std::to_string(i));
            note(expected, event);
            queue.Push(std::move(event));
        }
        queue.Push(Event(SEEKWELL_EVENT_DONE));
    });
    std::map<std::string, std::string> panel;
    std::size_t mostWaiting = 0;
    for (bool done = false; !done && Readable(queue.Fd(), kScriptLimitMs);) {
        mostWaiting = std::max(mostWaiting, queue.Count());
        while (const std::optional<LiveEvent> event = queue.Take()) {
            done = event->type == SEEKWELL_EVENT_DONE;
            note(panel, *event);
        }
    }
    search.join();
    EXPECT_EQ(panel, expected);
    EXPECT_LE(mostWaiting, 2 * kRobots + 1);
}

TEST(EventQueue, ABatchWakesTheHostOnce)
{
    EventQueue queue;
    ASSERT_EQ(queue.Open(), 0);
    queue.PushAll({Event(SEEKWELL_EVENT_ROBOT, "a"), Event(SEEKWELL_EVENT_ROBOT, "b")});
    queue.Push(Event(SEEKWELL_EVENT_GONE, "a"));
    std::uint64_t wakes = 0;
    ASSERT_EQ(read(queue.Fd(), &wakes, sizeof wakes), static_cast<ssize_t>(sizeof wakes));
    EXPECT_EQ(wakes, 1U);
}

}  // namespace
}  // namespace seekwell::live
