/*
 * A host in plain C that drives the live search of whichever libseekwell the loader finds, and
 * prints what the LAN test judges, one fact per line:
 *
 *   ROBOT +12 "ROVA robot 1" 192.0.2.10 http://192.0.2.10/ROVA.XML sw-client
 *   SKIPPED +9 192.0.2.13 1 "no robot marker in the reply"
 *   GONE +4100 "ROVA robot 1" 192.0.2.10 http://192.0.2.10/ROVA.XML sw-client
 *   DONE +10003 1 0 "window over"
 *   left threads=0 descriptors=0   (of the search, once it is freed)
 *
 * usage: live_host events WINDOW_MS [INTERFACE]
 *        live_host targets WINDOW_MS TARGET...     the search with targets, and the CPU it took
 *        live_host targets-cancel AFTER_MS TARGET...  a cancel from a thread while it sweeps
 *        live_host watch PERIOD_MS RUN_MS [TARGET...]
 *        live_host cancel-thread AFTER_MS | cancel-pending AFTER_MS | cancel-callback
 *        live_host fork cancel|free|hold   a child forked mid-search does that with its copy
 *        live_host beside          two live searches and a blocking call at once
 *        live_host contract        bad input, and calls in the wrong order
 *        live_host guest           the guest rules while a search runs
 */
#define _GNU_SOURCE
#include <seekwell/seekwell.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "live_event_line.h"
#include "mapped_library.h"
#include "microseconds.h"

static long long g_startUs;
/* The targets every search of this run is given; NULL: none. */
static const char* const* g_targets;

/* The forked child's life, and the parent's search around it. */
#define FORK_WATCH_MS 300
#define FORK_WINDOW_MS 5000

static long long SinceStartMs(void) { return (MonotonicUs() - g_startUs) / 1000; }

static void PrintEvent(const seekwell_event* event)
{
    PrintLiveEvent(event, SinceStartMs());
    fflush(stdout);
}

static int CountEntries(const char* folder)
{
    int count = 0;
    DIR* listing = opendir(folder);
    struct dirent* entry;
    if (listing == NULL) {
        return -1;
    }
    while ((entry = readdir(listing)) != NULL) {
        count += entry->d_name[0] != '.';
    }
    closedir(listing);
    return count;
}

static void PrintLeft(int threadsBefore, int descriptorsBefore)
{
    printf("left threads=%d descriptors=%d\n", CountEntries("/proc/self/task") - threadsBefore,
           CountEntries("/proc/self/fd") - descriptorsBefore);
}

static void PrintOnly(const seekwell_event* event, void* unused)
{
    (void)unused;
    PrintEvent(event);
}

static int Start(unsigned int windowMs, const char* interfaceName, unsigned int periodMs, seekwell_event_fn onEvent,
                 void* data, seekwell_search** search)
{
    seekwell_options options = SEEKWELL_OPTIONS_INIT;
    int started;
    options.window_ms = windowMs;
    options.interface_name = interfaceName;
    options.period_ms = periodMs;
    options.targets = g_targets;
    started = seekwell_search_start(&options, onEvent, data, search);
    if (started != 0) {
        printf("start failed %d\n", started);
    }
    return started;
}

static int RunEvents(unsigned int windowMs, const char* interfaceName)
{
    seekwell_search* search = NULL;
    const int threads = CountEntries("/proc/self/task");
    const int descriptors = CountEntries("/proc/self/fd");
    if (Start(windowMs, interfaceName, 0, PrintOnly, NULL, &search) != 0) {
        return 1;
    }
    printf("wait %d\n", seekwell_search_wait(search, -1));
    seekwell_search_free(search);
    PrintLeft(threads, descriptors);
    return 0;
}

static long long CpuMs(void)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000LL +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

static int RunTargets(unsigned int windowMs)
{
    const long long cpuBefore = CpuMs();
    const int result = RunEvents(windowMs, NULL);
    printf("cpu_ms %lld\n", CpuMs() - cpuBefore);
    return result;
}

static int RunWatch(unsigned int periodMs, int runMs)
{
    seekwell_search* search = NULL;
    if (Start(0, NULL, periodMs, PrintOnly, NULL, &search) != 0) {
        return 1;
    }
    printf("wait %d\n", seekwell_search_wait(search, runMs));
    seekwell_search_cancel(search);
    printf("wait %d\n", seekwell_search_wait(search, -1));
    seekwell_search_free(search);
    return 0;
}

/* Cancels from the callback at the first robot, or from another thread (that may have a cancel
 * request of its own pending). */
struct Canceller {
    seekwell_search* search;
    int afterMs; /* 0: from the callback */
    int pending;
    long long cancelledUs;
};

static void CancelAtFirstRobot(const seekwell_event* event, void* data)
{
    struct Canceller* canceller = data;
    PrintEvent(event);
    if (event->type == SEEKWELL_EVENT_ROBOT && canceller->afterMs == 0 && canceller->cancelledUs == 0) {
        canceller->cancelledUs = MonotonicUs();
        seekwell_search_cancel(canceller->search);
        seekwell_search_cancel(canceller->search);
    }
    if (event->type == SEEKWELL_EVENT_DONE) {
        printf("cancel_to_done_ms %lld\n", (MonotonicUs() - canceller->cancelledUs) / 1000);
    }
}

static void* CancelLater(void* data)
{
    struct Canceller* canceller = data;
    usleep((useconds_t)canceller->afterMs * 1000);
    if (canceller->pending) {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, NULL);
        pthread_cancel(pthread_self());
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, NULL);
    }
    canceller->cancelledUs = MonotonicUs();
    seekwell_search_cancel(canceller->search);
    pthread_testcancel();
    return NULL;
}

static int RunCancel(int fromThread, int pending, int afterMs)
{
    struct Canceller canceller = {NULL, afterMs, pending, 0};
    pthread_t thread;
    void* ended = NULL;
    const int threads = CountEntries("/proc/self/task");
    const int descriptors = CountEntries("/proc/self/fd");
    if (Start(SEEKWELL_SEARCH_WINDOW_MS, NULL, 0, CancelAtFirstRobot, &canceller, &canceller.search) != 0) {
        return 1;
    }
    if (fromThread) {
        pthread_create(&thread, NULL, CancelLater, &canceller);
    }
    printf("wait %d\n", seekwell_search_wait(canceller.search, -1));
    printf("dispatch_after_done %d\n", seekwell_search_dispatch(canceller.search));
    if (fromThread) {
        pthread_join(thread, &ended);
        printf("canceller_cancelled %d\n", ended == PTHREAD_CANCELED);
    }
    seekwell_search_free(canceller.search);
    PrintLeft(threads, descriptors);
    return 0;
}

static void CountRobots(const seekwell_event* event, void* data)
{
    *(int*)data += event->type == SEEKWELL_EVENT_ROBOT;
    if (event->type == SEEKWELL_EVENT_DONE) {
        *(int*)data += 1000;
    }
}

static void* CallBlocking(void* result)
{
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS];
    int i;
    *(int*)result = DiscoveryROVAByUPnP(records);
    for (i = 0; i < *(int*)result; ++i) {
        free(records[i].pszName);
        free(records[i].pszAddress);
    }
    return NULL;
}

/* Two live searches driven by one poll() loop, a blocking call beside them on a thread. */
static int RunBeside(void)
{
    seekwell_search* searches[2] = {NULL, NULL};
    int robots[2] = {0, 0};
    int blocking = -2;
    int running = 2;
    int i;
    pthread_t thread;
    pthread_create(&thread, NULL, CallBlocking, &blocking);
    for (i = 0; i < 2; ++i) {
        if (Start(SEEKWELL_SEARCH_WINDOW_MS, NULL, 0, CountRobots, &robots[i], &searches[i]) != 0) {
            return 1;
        }
    }
    while (running > 0) {
        struct pollfd ready[2];
        for (i = 0; i < 2; ++i) {
            ready[i].fd = seekwell_search_fd(searches[i]);
            ready[i].events = POLLIN;
        }
        poll(ready, 2, 1000);
        running = 0;
        for (i = 0; i < 2; ++i) {
            running += seekwell_search_dispatch(searches[i]);
        }
    }
    pthread_join(thread, NULL);
    printf("live robots %d %d done %d %d\n", robots[0] % 1000, robots[1] % 1000, robots[0] / 1000, robots[1] / 1000);
    printf("blocking robots %d\n", blocking);
    seekwell_search_free(searches[0]);
    seekwell_search_free(searches[1]);
    return 0;
}

static void Ignore(const seekwell_event* event, void* data)
{
    (void)event;
    (void)data;
}

static void FreeInside(const seekwell_event* event, void* data)
{
    (void)event;
    seekwell_search_free(*(seekwell_search**)data);
    *(seekwell_search**)data = NULL;
}

struct CancelledWaiter {
    seekwell_search* search;
    int waited;
};

/* Waits out a search while a cancel request for this thread is pending. */
static void* WaitWhileCancelled(void* data)
{
    struct CancelledWaiter* waiter = data;
    waiter->waited = seekwell_search_wait(waiter->search, -1);
    pthread_testcancel();
    waiter->waited = -1000;
    return NULL;
}

static void Check(const char* what, int actual, int expected)
{
    printf("contract %s %s (%d)\n", what, actual == expected ? "ok" : "WRONG", actual);
}

static int RunContract(void)
{
    seekwell_options options = SEEKWELL_OPTIONS_INIT;
    seekwell_search* search = (seekwell_search*)&options;
    const int threads = CountEntries("/proc/self/task");
    const int descriptors = CountEntries("/proc/self/fd");
    Check("null callback", seekwell_search_start(NULL, NULL, NULL, &search), -EINVAL);
    Check("search left null", search == NULL, 1);
    Check("null search pointer", seekwell_search_start(NULL, Ignore, NULL, NULL), -EINVAL);
    /* Smaller than the first version's fields, up to period_ms. */
    options.size = offsetof(seekwell_options, period_ms) + sizeof options.period_ms - 1;
    Check("small options", seekwell_search_start(&options, Ignore, NULL, &search), -EINVAL);
    options.size = 1 << 20;
    Check("absurd options size", seekwell_search_start(&options, Ignore, NULL, &search), -EINVAL);
    {
        /* A newer host's options: zero past this version's, unless it set an option this library lacks. */
        struct {
            seekwell_options known;
            unsigned char newer[16];
        } newer;
        memset(&newer, 0, sizeof newer);
        newer.known = options;
        newer.known.size = sizeof newer;
        newer.known.window_ms = 200;
        Check("newer options, zero", seekwell_search_start(&newer.known, Ignore, NULL, &search), 0);
        seekwell_search_free(search);
        newer.newer[3] = 1;
        Check("newer options, one this library lacks", seekwell_search_start(&newer.known, Ignore, NULL, &search),
              -EOPNOTSUPP);
    }
    options.size = sizeof options;
    options.period_ms = SEEKWELL_MIN_SEARCH_PERIOD_MS - 1;
    Check("short period", seekwell_search_start(&options, Ignore, NULL, &search), -EINVAL);
    options.period_ms = 0;
    options.interface_name = "no-such-if0";
    Check("unknown interface", seekwell_search_start(&options, Ignore, NULL, &search), -ENODEV);
    Check("fd of null", seekwell_search_fd(NULL), -EINVAL);
    Check("dispatch of null", seekwell_search_dispatch(NULL), -EINVAL);
    Check("wait of null", seekwell_search_wait(NULL, 0), -EINVAL);
    seekwell_search_cancel(NULL);
    seekwell_search_free(NULL);
    /* This host loads a copy of the library with no finder helper beside it. */
    Check("blocking path without a helper", seekwell_blocking_search_path(), SEEKWELL_PATH_BUILT_IN);
    options.interface_name = NULL;
    options.window_ms = 200;
    Check("start", seekwell_search_start(&options, Ignore, NULL, &search), 0);
    Check("fd is close-on-exec", fcntl(seekwell_search_fd(search), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    Check("wait with time left", seekwell_search_wait(search, 0), 1);
    Check("wait until done", seekwell_search_wait(search, -1), 0);
    Check("dispatch after done", seekwell_search_dispatch(search), 0);
    Check("wait after done", seekwell_search_wait(search, -1), 0);
    seekwell_search_cancel(search);
    seekwell_search_cancel(search);
    seekwell_search_free(search);
    {
        struct CancelledWaiter waiter = {NULL, -2};
        pthread_t thread;
        void* ended = NULL;
        Check("start for a cancelled waiter", seekwell_search_start(&options, Ignore, NULL, &waiter.search), 0);
        pthread_create(&thread, NULL, WaitWhileCancelled, &waiter);
        pthread_cancel(thread);
        pthread_join(thread, &ended);
        Check("a cancelled thread's wait runs to DONE", waiter.waited, 0);
        Check("then the cancel acts", ended == PTHREAD_CANCELED, 1);
        seekwell_search_free(waiter.search);
    }
    options.window_ms = 0;
    Check("start for a free inside", seekwell_search_start(&options, FreeInside, &search, &search), 0);
    seekwell_search_cancel(search);
    Check("free inside its callback", seekwell_search_wait(search, -1), 0);
    Check("handle cleared by the callback", search == NULL, 1);
    Check("threads left", CountEntries("/proc/self/task") - threads, 0);
    Check("descriptors left", CountEntries("/proc/self/fd") - descriptors, 0);
    return 0;
}

static volatile sig_atomic_t g_signalsOnHost;
static pthread_t g_host;

static void NoteSignal(int number)
{
    (void)number;
    g_signalsOnHost += pthread_equal(pthread_self(), g_host) != 0;
}

/* How far the descriptor scans go: past the host's own thousands. */
static int g_descriptorLimit = 1024;

/* Descriptors without close-on-exec from the given one on. */
static int InheritableDescriptors(int below)
{
    int fd;
    int count = 0;
    for (fd = below; fd < g_descriptorLimit; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        count += flags >= 0 && (flags & FD_CLOEXEC) == 0;
    }
    return count;
}

/* Fills the host's descriptor table well past select()'s 1024, close-on-exec, as a busy host might. */
static void OpenManyDescriptors(void)
{
    struct rlimit limit;
    int i;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    g_descriptorLimit = (int)(limit.rlim_cur < 20000 ? limit.rlim_cur : 20000);
    for (i = 0; i < g_descriptorLimit - 200; ++i) {
        if (open("/dev/null", O_RDONLY | O_CLOEXEC) < 0) {
            break;
        }
    }
}

/* Small default stacks, many descriptors, process signals, forks and inheritable descriptors,
 * mid-search. */
static int RunGuest(void)
{
    pthread_attr_t small;
    seekwell_search* search = NULL;
    int robots = 0;
    int i;
    int forksOk = 0;
    int inheritable = 0;
    struct sigaction action;
    int firstFree;
    int inheritedFromParent;
    pthread_attr_init(&small);
    pthread_attr_setstacksize(&small, 128 * 1024);
    pthread_setattr_default_np(&small);
    firstFree = dup(0);
    close(firstFree);
    inheritedFromParent = InheritableDescriptors(firstFree);
    OpenManyDescriptors();
    memset(&action, 0, sizeof action);
    action.sa_handler = NoteSignal;
    sigaction(SIGUSR1, &action, NULL);
    g_host = pthread_self();
    if (Start(2500, NULL, 0, CountRobots, &robots, &search) != 0) {
        return 1;
    }
    for (i = 0; i < 30 && seekwell_search_wait(search, 100) == 1; ++i) {
        pid_t child;
        int status = -1;
        kill(getpid(), SIGUSR1);
        inheritable += InheritableDescriptors(firstFree) - inheritedFromParent;
        child = fork();
        if (child == 0) {
            /* The child may free the parent's search; it must neither hang nor crash. */
            seekwell_search_cancel(search);
            seekwell_search_free(search);
            _exit(seekwell_search_dispatch(NULL) == -EINVAL ? 0 : 1);
        }
        waitpid(child, &status, 0);
        forksOk += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    seekwell_search_wait(search, -1);
    seekwell_search_free(search);
    printf("guest robots %d forks_ok %d of %d signals_on_host %d inheritable %d\n", robots % 1000, forksOk, i,
           (int)g_signalsOnHost, inheritable);
    return 0;
}

/* What the forked child does with its copy of the search; its exit status is 0 when the library
 * answered as it must in a child. */
static int ActInChild(const char* action, seekwell_search* search)
{
    if (strcmp(action, "cancel") == 0) {
        seekwell_search_cancel(search);
        return seekwell_search_dispatch(search) == 0 && seekwell_search_wait(search, -1) == 0 ? 0 : 1;
    }
    if (strcmp(action, "free") == 0) {
        seekwell_search_free(search);
        return 0;
    }
    usleep(FORK_WATCH_MS * 1000);
    return seekwell_search_dispatch(search) == 0 ? 0 : 1;
}

struct ForkTally {
    int robots;
    int doneReason;
};

static void TallyRobots(const seekwell_event* event, void* data)
{
    struct ForkTally* tally = data;
    tally->robots += event->type == SEEKWELL_EVENT_ROBOT;
    if (event->type == SEEKWELL_EVENT_DONE) {
        tally->doneReason = (int)event->done_reason;
    }
}

/* A child forked mid-search cancels, frees or only holds its copy of the search, while the parent's
 * search goes on: the parent's CPU time over the child's life shows whether its thread spun. */
static int RunFork(const char* action)
{
    seekwell_search* search = NULL;
    struct ForkTally tally = {0, 0};
    struct rusage before;
    struct rusage after;
    pid_t child;
    int status = -1;
    if (Start(FORK_WINDOW_MS, NULL, 0, TallyRobots, &tally, &search) != 0) {
        return 1;
    }
    seekwell_search_wait(search, 1000);
    getrusage(RUSAGE_SELF, &before);
    child = fork();
    if (child == 0) {
        _exit(ActInChild(action, search));
    }
    usleep(FORK_WATCH_MS * 1000);
    getrusage(RUSAGE_SELF, &after);
    waitpid(child, &status, 0);
    printf("fork_watch cpu_ms %lld child_exit %d\n", (CpuUs(&after) - CpuUs(&before)) / 1000,
           WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    printf("wait %d\n", seekwell_search_wait(search, -1));
    printf("fork_search robots %d done %d\n", tally.robots, tally.doneReason);
    seekwell_search_free(search);
    return 0;
}

/* The libseekwell the loader mapped, by its path. */
static void* DoNothing(void* unused) { return unused; }

/* Threads that a runtime starts with the first thread of a process (a sanitizer's) are there
 * before any count of the search's own. */
static void StartFirstThread(void)
{
    pthread_t thread;
    pthread_create(&thread, NULL, DoNothing, NULL);
    pthread_join(thread, NULL);
}

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    setvbuf(stdout, NULL, _IOLBF, 0);
    g_startUs = MonotonicUs();
    PrintMappedLibrary();
    StartFirstThread();
    if (strcmp(mode, "events") == 0 && argc > 2) {
        return RunEvents((unsigned int)atoi(argv[2]), argc > 3 ? argv[3] : NULL);
    }
    if (strncmp(mode, "targets", 7) == 0 && argc > 3) {
        g_targets = (const char* const*)argv + 3; /* argv ends in NULL */
        return strcmp(mode, "targets") == 0 ? RunTargets((unsigned int)atoi(argv[2])) : RunCancel(1, 0, atoi(argv[2]));
    }
    if (strcmp(mode, "watch") == 0 && argc > 3) {
        g_targets = argc > 4 ? (const char* const*)argv + 4 : NULL;
        return RunWatch((unsigned int)atoi(argv[2]), atoi(argv[3]));
    }
    if (strcmp(mode, "cancel-thread") == 0 && argc > 2) {
        return RunCancel(1, 0, atoi(argv[2]));
    }
    if (strcmp(mode, "cancel-pending") == 0 && argc > 2) {
        return RunCancel(1, 1, atoi(argv[2]));
    }
    if (strcmp(mode, "cancel-callback") == 0) {
        return RunCancel(0, 0, 0);
    }
    if (strcmp(mode, "beside") == 0) {
        return RunBeside();
    }
    if (strcmp(mode, "contract") == 0) {
        return RunContract();
    }
    if (strcmp(mode, "guest") == 0) {
        return RunGuest();
    }
    if (strcmp(mode, "fork") == 0 && argc > 2) {
        return RunFork(argv[2]);
    }
    fprintf(stderr,
            "usage: %s events WINDOW_MS [IF] | targets WINDOW_MS TARGET... | targets-cancel AFTER_MS TARGET... |"
            " watch PERIOD_MS RUN_MS [TARGET...] | cancel-thread AFTER_MS |"
            " cancel-pending AFTER_MS | cancel-callback | beside | contract | guest | fork cancel|free|hold\n",
            argv[0]);
    return 2;
}
