// A host application that is hard on its guest: loads libseekwell from the path it is given and
// runs one search while it does what real hosts do to the threads and descriptors around it. It
// never writes to its standard output or error, so that anything found there came from the
// library; it reports on the file it is given, one fact per line:
//
//   result 4                 (the call's answer), then "record NAME@ADDRESS" for each robot
//   elapsed_ms 10012
//
//   host_harness MODE LIBRARY REPORT-FILE SLOW-ROBOT-ADDRESS
//
// MODE is one of
//   plain        one call on the main thread (the shim that refuses the library threads uses it)
//   busy         one call on the main thread while another host thread sends a signal (handler
//                without SA_RESTART) to every thread of the process every few milliseconds,
//                watches the signal masks of the threads it did not start, and starts a child
//                with posix_spawn during the window and during the slow robot's fetch
//   small-stack  default thread stack of 128 KiB, then the call from a host thread created with it
//   cancel-window / cancel-fetch
//                the call from a host thread that the main thread cancels during the window or
//                during the slow robot's fetch
//   fork         another host thread forks during the window; the child makes its own call once
//                the parent's call is over
//   fork-load    another host thread forks the moment libcurl appears in the process (the
//                library is making it ready); the child makes its own call at once
//   descriptors  with 5000 inheritable descriptors of its own open, one host thread makes
//                socket pairs and checks that they stay as it made them, another spawns
//                children during the fetches that list what they inherited; with the
//                socket-pair witness shim preloaded, also whether the library's pairs (libcurl's
//                wake-up pairs among them) were close-on-exec from the moment they existed
//   relative-load
//                the library loaded by a relative name, then a call from a folder holding a
//                decoy helper at seekwell/seekwell-finder-gupnp, then one from /
//   no-pidfd / no-pidfd-wait
//                one call in a sandbox (seccomp) that refuses process handles, or that has them
//                but refuses waits on them as Linux 5.3 does
//   null-array   a call with a null array
// The slow robot's fetch is seen as an established connection to its HTTP port.
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "seekwell/seekwell.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

extern char** environ;

namespace {

using DiscoverFn = int (*)(DISCOVERY_RESULT*);
using Clock = std::chrono::steady_clock;

constexpr std::size_t kSmallStackBytes = 128 * 1024;
// Well inside the 10-second window on both paths, and after the finder's first fetches.
constexpr std::chrono::milliseconds kWindowActionDelay{5000};
constexpr std::chrono::milliseconds kFetchWatchLimit{30000};
constexpr std::chrono::milliseconds kSignalInterval{2};
constexpr std::chrono::milliseconds kPollInterval{5};
// The forked child's own call: its window plus fetches, with room for a slow machine.
constexpr std::chrono::milliseconds kForkChildLimit{40000};
constexpr int kStormSignal = SIGUSR1;
constexpr std::uint16_t kHttpPort = 80;
constexpr const char kEstablished[] = "01";
constexpr const char kListFdsMode[] = "list-fds";
constexpr int kMaxTrackedThreads = 64;
// The host's own inheritable descriptors in the descriptors mode.
constexpr int kHostDescriptors = 5000;
// The host keeps this many socket pairs open at a time, one made (and the oldest checked and
// closed) each kPairInterval.
constexpr std::size_t kOpenHostPairs = 16;
constexpr std::chrono::milliseconds kPairInterval{1};
// From libcurl's appearing in the process to well inside its global init (which the
// slow-SSL-init shim stretches).
constexpr std::chrono::milliseconds kIntoCurlInit{150};
constexpr const char kLibcurlName[] = "libcurl";
constexpr const char kDecoyHelper[] = "seekwell/seekwell-finder-gupnp";
// The busy mode's main thread and its two spawners.
constexpr int kBusyHostThreads = 3;

int g_reportFd = -1;

void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Report(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vdprintf(g_reportFd, format, arguments);
    va_end(arguments);
}

pid_t CurrentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The records of one call, copied out of the caller's array.
struct CallOutcome {
    int result = -2;
    long long elapsedMs = 0;
    std::vector<std::string> robots;
};

CallOutcome RunCall(DiscoverFn discover)
{
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS] = {};
    CallOutcome outcome;
    const Clock::time_point start = Clock::now();
    outcome.result = discover(records);
    outcome.elapsedMs = MsSince(start);
    for (int i = 0; i < outcome.result && i < SEEKWELL_MAX_RESULTS; ++i) {
        outcome.robots.push_back(std::string(records[i].pszName ? records[i].pszName : "(null)") + "@" +
                                 (records[i].pszAddress ? records[i].pszAddress : "(null)"));
        std::free(records[i].pszName);
        std::free(records[i].pszAddress);
    }
    return outcome;
}

void ReportOutcome(const char* prefix, const CallOutcome& outcome)
{
    Report("%sresult %d\n", prefix, outcome.result);
    for (const std::string& robot : outcome.robots) {
        Report("%srecord %s\n", prefix, robot.c_str());
    }
    Report("%selapsed_ms %lld\n", prefix, outcome.elapsedMs);
}

// Close-on-exec, as every descriptor of this host: a child spawned meanwhile must not inherit it.
std::string ReadFile(const std::string& path)
{
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char chunk[4096];
    for (;;) {
        const ssize_t length = read(fd, chunk, sizeof chunk);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(length));
    }
    close(fd);
    return text;
}

// --- the host's own threads and what it can see of the others ---------------------------------

std::array<std::atomic<pid_t>, kMaxTrackedThreads> g_hostTids{};
std::atomic<int> g_hostTidCount{0};
// Threads whose id is in its slot: a thread counted in g_hostTidCount may not have stored it yet.
std::atomic<int> g_hostTidsStored{0};

void RegisterHostThread()
{
    const int slot = g_hostTidCount.fetch_add(1);
    if (slot < kMaxTrackedThreads) {
        g_hostTids[slot].store(CurrentTid());
    }
    g_hostTidsStored.fetch_add(1);
}

bool IsHostThread(pid_t tid)
{
    const int count = std::min(g_hostTidCount.load(), kMaxTrackedThreads);
    for (int i = 0; i < count; ++i) {
        if (g_hostTids[i].load() == tid) {
            return true;
        }
    }
    return false;
}

std::vector<pid_t> ThreadsOfProcess()
{
    std::vector<pid_t> tids;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] != '.') {
                tids.push_back(static_cast<pid_t>(std::atoi(entry->d_name)));
            }
        }
        closedir(tasks);
    }
    return tids;
}

// The "Key:" line of /proc/self/task/TID/status, without the key; empty once the thread is gone.
std::string TaskStatusField(pid_t tid, const std::string& key)
{
    std::istringstream status(ReadFile("/proc/self/task/" + std::to_string(tid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            const std::size_t value = line.find_first_not_of(" \t", key.size() + 1);
            return value == std::string::npos ? std::string() : line.substr(value);
        }
    }
    return std::string();
}

std::uint64_t BlockedMaskOf(pid_t tid) { return std::strtoull(TaskStatusField(tid, "SigBlk").c_str(), nullptr, 16); }

// The signals a host can send and a thread can block: every one but SIGKILL and SIGSTOP, and but
// the real-time ones the C library keeps for itself below SIGRTMIN (which threads show blocked or not
// depending on where in their creation they are).
std::uint64_t HostSignalsMask()
{
    std::uint64_t mask = 0;
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP && (signal < __SIGRTMIN || signal >= SIGRTMIN)) {
            mask |= 1ULL << (signal - 1);
        }
    }
    return mask;
}

// True while a connection from this network namespace to ADDRESS:80 is established.
bool FetchInProgress(in_addr address)
{
    std::istringstream table(ReadFile("/proc/self/net/tcp"));
    std::string line;
    std::getline(table, line);  // column titles
    while (std::getline(table, line)) {
        unsigned remoteAddress = 0, remotePort = 0;
        char state[3] = {};
        if (std::sscanf(line.c_str(), " %*d: %*x:%*x %x:%x %2s", &remoteAddress, &remotePort, state) == 3 &&
            remoteAddress == address.s_addr && remotePort == kHttpPort && std::strcmp(state, kEstablished) == 0) {
            return true;
        }
    }
    return false;
}

bool WaitForFetch(in_addr address, const std::atomic<bool>& callDone)
{
    const Clock::time_point start = Clock::now();
    while (!callDone.load() && Clock::now() - start < kFetchWatchLimit) {
        if (FetchInProgress(address)) {
            return true;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}

void SleepUntil(Clock::time_point when, const std::atomic<bool>& callDone)
{
    while (!callDone.load() && Clock::now() < when) {
        std::this_thread::sleep_for(kPollInterval);
    }
}

// --- children that list what they inherited ----------------------------------------------------

// In the spawned child: every descriptor above the standard three, with what it refers to.
int ListInheritedDescriptors(const char* outputPath)
{
    std::string listing;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(fds)) {
            const int fd = std::atoi(entry->d_name);
            if (entry->d_name[0] == '.' || fd <= STDERR_FILENO || fd == dirfd(fds)) {
                continue;
            }
            char target[256] = {};
            const ssize_t length =
                readlink(("/proc/self/fd/" + std::string(entry->d_name)).c_str(), target, sizeof target - 1);
            listing += " " + std::to_string(fd) + "=" + std::string(target, length > 0 ? length : 0);
        }
        closedir(fds);
    }
    std::ofstream(outputPath) << (listing.empty() ? " none" : listing);
    return 0;
}

pid_t WaitRetrying(pid_t child, int* status)
{
    pid_t waited;
    do {
        waited = waitpid(child, status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited;
}

// Starts this program again as a child that lists its descriptors; reports what it found.
void SpawnAndReport(const char* when, const std::string& reportPath)
{
    const std::string listPath = reportPath + "." + when + ".fds";
    std::string self = "/proc/self/exe";
    std::string mode = kListFdsMode;
    std::string target = listPath;
    char* arguments[] = {self.data(), mode.data(), target.data(), nullptr};
    pid_t child = 0;
    const int error = posix_spawn(&child, self.c_str(), nullptr, nullptr, arguments, environ);
    int status = 0;
    if (error != 0 || WaitRetrying(child, &status) != child || !WIFEXITED(status)) {
        Report("spawn_%s failed\n", when);
        return;
    }
    Report("spawn_%s inherited%s\n", when, ReadFile(listPath).c_str());
}

// Whatever this host was started with (a test runner's descriptors) is no business of the
// children it starts, so only the library's own descriptors can show up in their listings.
void KeepInheritedDescriptorsFromChildren()
{
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(fds)) {
            const int fd = std::atoi(entry->d_name);
            if (entry->d_name[0] != '.' && fd > STDERR_FILENO && fd != dirfd(fds)) {
                fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
            }
        }
        closedir(fds);
    }
}

// Whether libcurl is mapped into this process: the built-in search loads it, the finder never.
bool IsLibcurlLoaded()
{
    std::istringstream maps(ReadFile("/proc/self/maps"));
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(kLibcurlName) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// What a child inherited that this host did not make: socket, pipe and other kernel objects
// whose identity is not among hostObjects. Its own descriptors are /dev/null or host sockets.
int ForeignObjectsIn(const std::string& listing, const std::set<std::string>& hostObjects)
{
    std::istringstream entries(listing);
    std::string entry;
    int foreign = 0;
    while (entries >> entry) {
        const std::string target = entry.substr(entry.find('=') + 1);
        if (target.rfind("/dev/null", 0) != 0 && target != "none" && hostObjects.count(target) == 0) {
            ++foreign;
        }
    }
    return foreign;
}

// "socket:[inode]", as /proc/self/fd shows the descriptor.
std::string ObjectOf(int fd)
{
    struct stat status {};
    fstat(fd, &status);
    return "socket:[" + std::to_string(status.st_ino) + "]";
}

// --- modes --------------------------------------------------------------------------------------

struct Host {
    DiscoverFn discover;
    std::string reportPath;
    in_addr slowRobot;
};

std::atomic<int> g_signalsOnHostThreads{0};
std::atomic<int> g_signalsElsewhere{0};

// Only async-signal-safe work: lock-free counters.
void CountSignal(int) { (IsHostThread(CurrentTid()) ? g_signalsOnHostThreads : g_signalsElsewhere).fetch_add(1); }

void InstallInterruptingHandler()
{
    struct sigaction action {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: blocking calls of whichever thread it hits fail with EINTR
    sigaction(kStormSignal, &action, nullptr);
}

// Signals every thread, and notes the threads the host did not start whose mask is not full.
void SignalStorm(const std::atomic<bool>& callDone, std::uint64_t fullMask, std::set<pid_t>& foreign,
                 std::set<std::string>& unblocked)
{
    RegisterHostThread();
    while (!callDone.load()) {
        for (pid_t tid : ThreadsOfProcess()) {
            if (!IsHostThread(tid)) {
                const std::string mask = TaskStatusField(tid, "SigBlk");
                if (!mask.empty()) {
                    foreign.insert(tid);
                    if ((BlockedMaskOf(tid) & fullMask) != fullMask) {
                        unblocked.insert("tid" + std::to_string(tid) + "(" + mask + ")");
                    }
                }
            }
            syscall(SYS_tgkill, getpid(), tid, kStormSignal);
        }
        std::this_thread::sleep_for(kSignalInterval);
    }
}

std::string Joined(const std::set<std::string>& items)
{
    std::string text;
    for (const std::string& item : items) {
        text += " " + item;
    }
    return text;
}

int RunBusy(const Host& host)
{
    RegisterHostThread();
    InstallInterruptingHandler();
    const std::uint64_t fullMask = HostSignalsMask();
    std::atomic<bool> callDone{false};
    std::set<pid_t> foreign;
    std::set<std::string> unblocked;
    const Clock::time_point start = Clock::now();
    std::thread windowSpawner([&] {
        RegisterHostThread();
        SleepUntil(start + kWindowActionDelay, callDone);
        SpawnAndReport("window", host.reportPath);
    });
    std::thread fetchSpawner([&] {
        RegisterHostThread();
        const bool seen = WaitForFetch(host.slowRobot, callDone);
        Report("spawn_fetch_seen %s\n", seen ? "yes" : "no");
        if (seen) {
            SpawnAndReport("fetch", host.reportPath);
        }
    });
    // Every host thread is known before the storm starts to tell them from the library's.
    while (g_hostTidsStored.load() < kBusyHostThreads) {
        std::this_thread::sleep_for(kPollInterval);
    }
    std::thread storm(SignalStorm, std::cref(callDone), fullMask, std::ref(foreign), std::ref(unblocked));
    const CallOutcome outcome = RunCall(host.discover);
    callDone.store(true);
    storm.join();
    windowSpawner.join();
    fetchSpawner.join();
    ReportOutcome("", outcome);
    Report("signals_on_host_threads %d\n", g_signalsOnHostThreads.load());
    Report("signals_on_library_threads %d\n", g_signalsElsewhere.load());
    Report("library_threads_seen %zu\n", foreign.size());
    Report("library_threads_unblocked%s\n", unblocked.empty() ? " none" : Joined(unblocked).c_str());
    return 0;
}

// Runs the call on a host thread created with default attributes.
struct CallerThread {
    const Host* host = nullptr;
    CallOutcome outcome;
    std::atomic<bool> returned{false};
    std::atomic<bool> survivedCancellation{false};
};

void* CallThenHonourCancellation(void* argument)
{
    auto* caller = static_cast<CallerThread*>(argument);
    caller->outcome = RunCall(caller->host->discover);
    caller->returned.store(true);
#if defined(__SANITIZE_ADDRESS__)
    // The cancellation unwinds this frame without its epilogue; unpoisoned
    // now, its redzones cannot trip the sanitizer when the thread's stack is
    // torn down.
    __asan_handle_no_return();
#endif
    pthread_testcancel();
    caller->survivedCancellation.store(true);
    return nullptr;
}

bool StartCallerThread(CallerThread& caller, pthread_t* thread)
{
    if (pthread_create(thread, nullptr, CallThenHonourCancellation, &caller) != 0) {
        Report("caller_thread failed\n");
        return false;
    }
    return true;
}

int RunSmallStack(const Host& host)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kSmallStackBytes);
    const int error = pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        Report("default_stack failed\n");
        return 1;
    }
    CallerThread caller;
    caller.host = &host;
    pthread_t thread;
    if (!StartCallerThread(caller, &thread)) {
        return 1;
    }
    pthread_join(thread, nullptr);
    ReportOutcome("", caller.outcome);
    return 0;
}

int RunCancel(const Host& host, bool duringFetch)
{
    CallerThread caller;
    caller.host = &host;
    const Clock::time_point start = Clock::now();
    pthread_t thread;
    if (!StartCallerThread(caller, &thread)) {
        return 1;
    }
    if (duringFetch) {
        Report("cancel_fetch_seen %s\n", WaitForFetch(host.slowRobot, caller.returned) ? "yes" : "no");
    } else {
        SleepUntil(start + kWindowActionDelay, caller.returned);
    }
    Report("cancel_sent_while_calling %s\n", caller.returned.load() ? "no" : "yes");
    pthread_cancel(thread);
    void* exitValue = nullptr;
    pthread_join(thread, &exitValue);
    Report("call_returned %s\n", caller.returned.load() ? "yes" : "no");
    Report("thread_cancelled %s\n",
           exitValue == PTHREAD_CANCELED && !caller.survivedCancellation.load() ? "yes" : "no");
    if (caller.returned.load()) {
        ReportOutcome("", caller.outcome);
    }
    return 0;
}

// In a forked child: its own call, its records in a file beside the report.
[[noreturn]] void CallInChild(const Host& host)
{
    const CallOutcome outcome = RunCall(host.discover);
    std::string lines = "child_result " + std::to_string(outcome.result) + "\n";
    for (const std::string& robot : outcome.robots) {
        lines += "child_record " + robot + "\n";
    }
    std::ofstream(host.reportPath + ".child") << lines;
    _exit(0);
}

// In the forked child of fork: waits for the parent's call to end, then makes its own.
[[noreturn]] void ForkedChild(const Host& host, int parentDone)
{
    pollfd wait{parentDone, POLLIN, 0};
    while (poll(&wait, 1, -1) < 0 && errno == EINTR) {
    }
    CallInChild(host);
}

// Waits a bounded time for the child; a child that is still running then is killed.
std::string ReapForkedChild(pid_t child)
{
    const Clock::time_point start = Clock::now();
    int status = 0;
    while (Clock::now() - start < kForkChildLimit) {
        const pid_t waited = waitpid(child, &status, WNOHANG);
        if (waited == child) {
            return WIFEXITED(status) ? "exited" : "killed by signal " + std::to_string(WTERMSIG(status));
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    kill(child, SIGKILL);
    WaitRetrying(child, &status);
    return "hung";
}

// How the forked child's call ended, and its records.
void ReportForkedChild(const Host& host, pid_t child)
{
    if (child <= 0) {
        Report("fork failed\n");
        return;
    }
    Report("child_end %s\n", ReapForkedChild(child).c_str());
    Report("%s", ReadFile(host.reportPath + ".child").c_str());
}

int RunFork(const Host& host)
{
    int parentDone[2];
    if (pipe2(parentDone, O_CLOEXEC) != 0) {
        return 1;
    }
    std::atomic<bool> callDone{false};
    std::atomic<pid_t> child{-1};
    const Clock::time_point start = Clock::now();
    std::thread forker([&] {
        SleepUntil(start + kWindowActionDelay, callDone);
        const pid_t pid = fork();
        if (pid == 0) {
            close(parentDone[1]);
            ForkedChild(host, parentDone[0]);
        }
        child.store(pid);
    });
    const CallOutcome outcome = RunCall(host.discover);
    callDone.store(true);
    forker.join();
    close(parentDone[1]);
    close(parentDone[0]);
    ReportOutcome("", outcome);
    ReportForkedChild(host, child.load());
    return 0;
}

int RunForkLoad(const Host& host)
{
    std::atomic<bool> callDone{false};
    std::atomic<pid_t> child{-1};
    std::atomic<bool> duringLoad{false};
    std::thread forker([&] {
        while (!callDone.load() && !IsLibcurlLoaded()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(kIntoCurlInit);
        duringLoad.store(!callDone.load());
        const pid_t pid = fork();
        if (pid == 0) {
            CallInChild(host);
        }
        child.store(pid);
    });
    const CallOutcome outcome = RunCall(host.discover);
    callDone.store(true);
    forker.join();
    ReportOutcome("", outcome);
    Report("forked_while_loading %s\n", duringLoad.load() ? "yes" : "no");
    ReportForkedChild(host, child.load());
    return 0;
}

// Host sockets that another host thread keeps making; their identities, for telling them
// apart in the children's listings, and how many of them changed while they were open.
struct HostPairs {
    std::mutex mutex;
    std::set<std::string> objects;
    int made = 0;
    int changed = 0;
};

// Checks the pair as it was made and closes it.
void RetirePair(const std::array<int, 2>& fds, HostPairs& pairs)
{
    const bool changed = fcntl(fds[0], F_GETFD) != 0 || fcntl(fds[1], F_GETFD) != 0;
    close(fds[0]);
    close(fds[1]);
    const std::lock_guard<std::mutex> lock(pairs.mutex);
    ++pairs.made;
    pairs.changed += changed ? 1 : 0;
}

void MakePairsUntil(const std::atomic<bool>& callDone, HostPairs& pairs)
{
    std::vector<std::array<int, 2>> open;
    while (!callDone.load()) {
        std::array<int, 2> fds{};
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds.data()) == 0) {
            const std::lock_guard<std::mutex> lock(pairs.mutex);
            pairs.objects.insert(ObjectOf(fds[0]));
            pairs.objects.insert(ObjectOf(fds[1]));
            open.push_back(fds);
        }
        if (open.size() > kOpenHostPairs) {
            RetirePair(open.front(), pairs);
            open.erase(open.begin());
        }
        std::this_thread::sleep_for(kPairInterval);
    }
    for (const std::array<int, 2>& fds : open) {
        RetirePair(fds, pairs);
    }
}

// Spawns listing children from the window's end to the call's end.
void SpawnDuringFetches(const Host& host, Clock::time_point windowEnd, const std::atomic<bool>& callDone,
                        HostPairs& pairs, int& spawned, int& inherited)
{
    SleepUntil(windowEnd, callDone);
    const std::string listPath = host.reportPath + ".fetch.fds";
    std::string self = "/proc/self/exe";
    std::string mode = kListFdsMode;
    std::string target = listPath;
    char* arguments[] = {self.data(), mode.data(), target.data(), nullptr};
    while (!callDone.load()) {
        pid_t child = 0;
        int status = 0;
        if (posix_spawn(&child, self.c_str(), nullptr, nullptr, arguments, environ) != 0 ||
            WaitRetrying(child, &status) != child) {
            continue;
        }
        ++spawned;
        const std::lock_guard<std::mutex> lock(pairs.mutex);
        inherited += ForeignObjectsIn(ReadFile(listPath), pairs.objects) > 0 ? 1 : 0;
    }
}

int RunDescriptors(const Host& host)
{
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (int i = 0; i < kHostDescriptors; ++i) {
        if (dup(devNull) < 0) {
            Report("host_descriptors failed\n");
            return 1;
        }
    }
    std::atomic<bool> callDone{false};
    HostPairs pairs;
    int spawned = 0;
    int inherited = 0;
    const Clock::time_point windowEnd = Clock::now() + std::chrono::milliseconds(SEEKWELL_SEARCH_WINDOW_MS);
    std::thread pairMaker(MakePairsUntil, std::cref(callDone), std::ref(pairs));
    std::thread spawner(SpawnDuringFetches, std::cref(host), windowEnd, std::cref(callDone), std::ref(pairs),
                        std::ref(spawned), std::ref(inherited));
    const CallOutcome outcome = RunCall(host.discover);
    callDone.store(true);
    pairMaker.join();
    spawner.join();
    ReportOutcome("", outcome);
    Report("host_pairs_made %d\n", pairs.made);
    Report("host_pairs_changed %d\n", pairs.changed);
    Report("children_spawned_during_fetches %d\n", spawned);
    Report("children_with_library_descriptors %d\n", inherited);
    // The preloaded witness saw every socket pair the library (and libcurl) made.
    using WitnessFn = void (*)(int*, int*);
    if (const auto witness = reinterpret_cast<WitnessFn>(dlsym(RTLD_DEFAULT, "SeekwellWitnessPairs"))) {
        int made = 0;
        int inheritable = 0;
        witness(&made, &inheritable);
        Report("library_pairs_made %d\n", made);
        Report("library_pairs_inheritable_when_made %d\n", inheritable);
    }
    return 0;
}

// A decoy helper in a folder of its own: run, it leaves a mark beside itself.
std::string MakeDecoyFolder()
{
    char pattern[] = "/tmp/seekwell-decoy.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return std::string();
    }
    const std::string folder = pattern;
    mkdir((folder + "/seekwell").c_str(), 0755);
    const std::string decoy = folder + "/" + kDecoyHelper;
    std::ofstream(decoy) << "#!/bin/sh\n: >" << folder << "/ran\n";
    chmod(decoy.c_str(), 0755);
    return folder;
}

int RunRelativeLoad(const Host& host)
{
    const std::string decoy = MakeDecoyFolder();
    if (decoy.empty() || chdir(decoy.c_str()) != 0) {
        Report("decoy failed\n");
        return 1;
    }
    ReportOutcome("", RunCall(host.discover));
    const bool finderPath = !IsLibcurlLoaded();
    Report("decoy_ran %s\n", access((decoy + "/ran").c_str(), F_OK) == 0 ? "yes" : "no");
    if (finderPath && chdir("/") == 0) {
        ReportOutcome("root_", RunCall(host.discover));
    }
    Report("libcurl_loaded %s\n", IsLibcurlLoaded() ? "yes" : "no");
    std::filesystem::remove_all(decoy);
    return 0;
}

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#endif

// A sandbox as seccomp profiles and old kernels make it: without process handles at all, or
// with handles that cannot be waited on (Linux 5.3). Inherited by every child.
bool EnterSandbox(bool handlesWithoutWaits)
{
    constexpr std::uint32_t kPidfdWait = 3;  // P_PIDFD
    const std::uint32_t refuse = SECCOMP_RET_ERRNO | (handlesWithoutWaits ? EINVAL : ENOSYS);
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    if (handlesWithoutWaits) {
        filter.insert(filter.end(), {
                                        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_waitid, 0, 3),
                                        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
                                        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kPidfdWait, 0, 1),
                                        BPF_STMT(BPF_RET | BPF_K, refuse),
                                    });
    } else {
        filter.insert(filter.end(), {
                                        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 1, 0),
                                        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_send_signal, 0, 1),
                                        BPF_STMT(BPF_RET | BPF_K, refuse),
                                    });
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Children the call left behind: running or not yet reaped.
int ChildrenLeft()
{
    int left = 0;
    for (;;) {
        const pid_t waited = waitpid(-1, nullptr, WNOHANG);
        if (waited <= 0) {
            return left + (waited == 0 ? 1 : 0);
        }
        ++left;
    }
}

int RunSandboxed(const Host& host, bool handlesWithoutWaits)
{
    if (!EnterSandbox(handlesWithoutWaits)) {
        Report("sandbox failed\n");
        return 1;
    }
    ReportOutcome("", RunCall(host.discover));
    Report("libcurl_loaded %s\n", IsLibcurlLoaded() ? "yes" : "no");
    Report("children_left %d\n", ChildrenLeft());
    return 0;
}

std::atomic<int> g_childSignals{0};

void CountChildSignal(int) { g_childSignals.fetch_add(1); }

int RunNullArray(const Host& host)
{
    constexpr std::chrono::milliseconds kLateSignal{100};
    struct sigaction action {};
    action.sa_handler = CountChildSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, nullptr);
    const int result = host.discover(nullptr);
    std::this_thread::sleep_for(kLateSignal);
    Report("null_result %d\n", result);
    Report("null_children_started %d\n", g_childSignals.load());
    return 0;
}

int RunMode(const std::string& mode, const Host& host)
{
    if (mode == "plain") {
        ReportOutcome("", RunCall(host.discover));
        return 0;
    }
    if (mode == "busy") {
        return RunBusy(host);
    }
    if (mode == "small-stack") {
        return RunSmallStack(host);
    }
    if (mode == "cancel-window") {
        return RunCancel(host, false);
    }
    if (mode == "cancel-fetch") {
        return RunCancel(host, true);
    }
    if (mode == "fork") {
        return RunFork(host);
    }
    if (mode == "fork-load") {
        return RunForkLoad(host);
    }
    if (mode == "descriptors") {
        return RunDescriptors(host);
    }
    if (mode == "relative-load") {
        return RunRelativeLoad(host);
    }
    if (mode == "no-pidfd" || mode == "no-pidfd-wait") {
        return RunSandboxed(host, mode == "no-pidfd-wait");
    }
    if (mode == "null-array") {
        return RunNullArray(host);
    }
    Report("unknown mode %s\n", mode.c_str());
    return 2;
}

// relative-load opens it by a name relative to its folder, as a relative LD_LIBRARY_PATH entry
// or a host's dlopen("lib/...") does.
void* OpenLibrary(const std::string& mode, const std::string& path)
{
    if (mode != "relative-load") {
        return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (chdir(folder.c_str()) != 0) {
        return nullptr;
    }
    return dlopen(("./" + std::filesystem::path(path).filename().string()).c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], kListFdsMode) == 0) {
        return ListInheritedDescriptors(argv[2]);
    }
    if (argc != 5) {
        return 2;
    }
    KeepInheritedDescriptorsFromChildren();
    g_reportFd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (g_reportFd < 0) {
        return 2;
    }
    Host host{nullptr, argv[3], {}};
    if (inet_pton(AF_INET, argv[4], &host.slowRobot) != 1) {
        Report("bad address %s\n", argv[4]);
        return 2;
    }
    void* library = OpenLibrary(argv[1], argv[2]);
    host.discover = library != nullptr ? reinterpret_cast<DiscoverFn>(dlsym(library, "DiscoveryROVAByUPnP")) : nullptr;
    if (host.discover == nullptr) {
        Report("cannot load %s: %s\n", argv[2], dlerror());
        return 2;
    }
    return RunMode(argv[1], host);
}
