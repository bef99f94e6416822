/*
 * The measuring host of bench/e2e_live.sh: drives the live search (or the blocking call) of
 * whichever libseekwell the loader finds and prints the figures of one run, one fact per line.
 * Times are CLOCK_MONOTONIC microseconds since just before seekwell_search_start (or the call).
 *
 *   seekwell-live-measure live WINDOW_MS [CAPTURE-INTERFACE|- [WARM_UP_MS]]
 *       One search with that window, dispatched by seekwell_search_wait; with WARM_UP_MS, after
 *       a first search with a window of WARM_UP_MS in the same process (which loads libcurl),
 *       so that the figures are those of a host that has searched before:
 *         robot 192.0.2.10 4210 1023   address, its ROBOT event, the first SSDP reply from that
 *                                      address (-1 without a capture)
 *         robots 16 / skipped 50 / done_us 10004511 / done_reason 1
 *         cpu_us 9500                  user + system of the process, start to free
 *         host_thread_cpu_us 900       the part of it on the host's thread
 *         replies_from 66              distinct senders of SSDP replies captured
 *       With an interface, a packet socket on it stamps each arriving SSDP reply in the kernel;
 *       on the namespaces' veth cable that is the moment the simulator sent it, to within
 *       microseconds, so the simulator needs no clock of its own.
 *   seekwell-live-measure blocking [WARM_UP_MS]
 *       DiscoveryROVAByUPnP, after a live search of WARM_UP_MS if given (the two share libcurl):
 *         result 16 / elapsed_us 10006000 / cpu_us 9800 / host_thread_cpu_us 4000
 *   seekwell-live-measure cancel EXPECTED SETTLE_MS
 *       A 10 s search; another thread waits until EXPECTED connections to port 80 are open or
 *       being opened (ESTABLISHED or SYN-SENT) in this network namespace, then SETTLE_MS more,
 *       then cancels:
 *         in_flight 16 syn_sent 16 / cancel_at_us 1350000 / cancel_to_done_us 900
 *         done_reason 2 / robots 0 / connections_after_free 0
 *   seekwell-live-measure watch PERIOD_MS MARK_MS...
 *       A watch (window 0); at each mark, the context switches of every thread of the process
 *       (a blocked thread that wakes counts one voluntary switch when it blocks again):
 *         mark 2000 at_us 2000105 real_us 1765000000123456 cpu_us 8100
 *         task 4242 host voluntary 12 nonvoluntary 0 run_ns 3500000
 *         task 4243 library voluntary 250 nonvoluntary 3 run_ns 7000000
 *       The last mark ends the watch; robots / gone / done_reason follow.
 *
 * Each mode first prints the library the loader mapped: library /path/libseekwell.so.2
 */
#define _GNU_SOURCE
#include <seekwell/seekwell.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "mapped_library.h"
#include "microseconds.h"

#define MAX_ROBOTS 64
#define MAX_SENDERS 512
#define MAX_MARKS 16
#define CAPTURE_BUFFER_BYTES (8 * 1024 * 1024)
#define HTTP_PORT 80
#define TCP_ESTABLISHED 1
#define TCP_SYN_SENT 2

static long long g_startUs;

static long long SinceStartUs(void) { return MonotonicUs() - g_startUs; }

static long long ProcessCpuUs(void)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return CpuUs(&usage);
}

/* The calling thread's share: in a live search, the host's thread that dispatches the events. */
static long long ThreadCpuUs(void)
{
    struct rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return CpuUs(&usage);
}

static long long RealtimeUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

static int StartSearch(unsigned int windowMs, unsigned int periodMs, seekwell_event_fn onEvent, void* data,
                       seekwell_search** search)
{
    seekwell_options options = SEEKWELL_OPTIONS_INIT;
    int started;
    options.window_ms = windowMs;
    options.period_ms = periodMs;
    g_startUs = MonotonicUs();
    started = seekwell_search_start(&options, onEvent, data, search);
    if (started != 0) {
        printf("start_failed %d\n", started);
    }
    return started;
}

/* What the callback saw; the callback runs on the host's thread, inside seekwell_search_wait. */
struct Tally {
    char robotAddress[MAX_ROBOTS][INET_ADDRSTRLEN];
    long long robotUs[MAX_ROBOTS];
    int robots;
    int skipped;
    int gone;
    long long doneUs;
    int doneReason;
};

static void Count(const seekwell_event* event, void* data)
{
    struct Tally* tally = data;
    switch (event->type) {
        case SEEKWELL_EVENT_ROBOT:
            if (tally->robots < MAX_ROBOTS) {
                snprintf(tally->robotAddress[tally->robots], INET_ADDRSTRLEN, "%s", event->address);
                tally->robotUs[tally->robots] = SinceStartUs();
            }
            ++tally->robots;
            break;
        case SEEKWELL_EVENT_SKIPPED:
            ++tally->skipped;
            break;
        case SEEKWELL_EVENT_GONE:
            ++tally->gone;
            break;
        default:
            tally->doneUs = SinceStartUs();
            tally->doneReason = (int)event->done_reason;
            break;
    }
}

/* The first SSDP reply from each sender, stamped by the kernel as it reached the interface. */
struct Capture {
    int fd;
    long long realToMonotonicUs;
    struct in_addr sender[MAX_SENDERS];
    long long firstUs[MAX_SENDERS];
    int senders;
};

/* CLOCK_REALTIME minus CLOCK_MONOTONIC, read between two monotonic readings. */
static long long RealToMonotonicUs(void)
{
    const long long before = MonotonicUs();
    const long long real = RealtimeUs();
    const long long after = MonotonicUs();
    return real - (before + after) / 2;
}

static int OpenCapture(struct Capture* capture, const char* interfaceName)
{
    /* Unfragmented UDP only, read from the IP header on (SOCK_DGRAM packet socket). */
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),                  /* protocol */
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 3), /* not UDP: drop */
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),                  /* flags and fragment offset */
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1fff, 1, 0),     /* a later fragment: drop */
        BPF_STMT(BPF_RET | BPF_K, 0xffff),                      /* keep */
        BPF_STMT(BPF_RET | BPF_K, 0),                           /* drop */
    };
    struct sock_fprog program = {sizeof code / sizeof code[0], code};
    struct sockaddr_ll where;
    const int on = 1;
    const int bufferBytes = CAPTURE_BUFFER_BYTES;
    memset(capture, 0, sizeof *capture);
    /* Protocol 0 receives nothing until the bind below, so no packet passes unfiltered. */
    capture->fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (capture->fd < 0) {
        perror("packet socket");
        return -1;
    }
    memset(&where, 0, sizeof where);
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_IP);
    where.sll_ifindex = (int)if_nametoindex(interfaceName);
    if (setsockopt(capture->fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0 ||
        setsockopt(capture->fd, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes) != 0 ||
        setsockopt(capture->fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 ||
        setsockopt(capture->fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) != 0 || where.sll_ifindex == 0 ||
        bind(capture->fd, (const struct sockaddr*)&where, sizeof where) != 0) {
        perror("capture setup");
        close(capture->fd);
        capture->fd = -1;
        return -1;
    }
    capture->realToMonotonicUs = RealToMonotonicUs();
    return 0;
}

static void NoteReply(struct Capture* capture, struct in_addr sender, long long atUs)
{
    int i;
    for (i = 0; i < capture->senders; ++i) {
        if (capture->sender[i].s_addr == sender.s_addr) {
            return; /* packets are read in arrival order: the first one stays */
        }
    }
    if (capture->senders < MAX_SENDERS) {
        capture->sender[capture->senders] = sender;
        capture->firstUs[capture->senders] = atUs;
        ++capture->senders;
    }
}

/* Reads what the capture holds, after the search: nothing of it runs while the search does. */
static void DrainCapture(struct Capture* capture)
{
    unsigned char packet[2048];
    char control[256];
    for (;;) {
        struct iovec data = {packet, sizeof packet};
        struct sockaddr_ll from;
        struct msghdr message;
        struct cmsghdr* item;
        long long stampUs = -1;
        unsigned int headerBytes;
        struct in_addr sender;
        ssize_t got;
        memset(&message, 0, sizeof message);
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        got = recvmsg(capture->fd, &message, MSG_DONTWAIT);
        if (got < 0) {
            break;
        }
        for (item = CMSG_FIRSTHDR(&message); item != NULL; item = CMSG_NXTHDR(&message, item)) {
            if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_TIMESTAMPNS) {
                struct timespec stamp;
                memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
                stampUs = (long long)stamp.tv_sec * 1000000 + stamp.tv_nsec / 1000;
            }
        }
        headerBytes = (unsigned int)(packet[0] & 0x0f) * 4;
        /* An SSDP reply: the status line of HTTP over UDP, from a unicast sender. */
        if (from.sll_pkttype == PACKET_OUTGOING || stampUs < 0 || got < (ssize_t)(headerBytes + 8 + 5) ||
            memcmp(packet + headerBytes + 8, "HTTP/", 5) != 0) {
            continue;
        }
        memcpy(&sender, packet + 12, sizeof sender);
        NoteReply(capture, sender, stampUs - capture->realToMonotonicUs - g_startUs);
    }
    close(capture->fd);
}

static long long FirstReplyUs(const struct Capture* capture, const char* address)
{
    struct in_addr wanted;
    int i;
    if (capture == NULL || inet_pton(AF_INET, address, &wanted) != 1) {
        return -1;
    }
    for (i = 0; i < capture->senders; ++i) {
        if (capture->sender[i].s_addr == wanted.s_addr) {
            return capture->firstUs[i];
        }
    }
    return -1;
}

/* A first live search of windowMs (none for 0): libcurl, loaded once per process, is then loaded. */
static int WarmUp(unsigned int windowMs)
{
    static struct Tally tally;
    seekwell_search* search = NULL;
    if (windowMs == 0) {
        return 0;
    }
    if (StartSearch(windowMs, 0, Count, &tally, &search) != 0) {
        return 1;
    }
    seekwell_search_wait(search, -1);
    seekwell_search_free(search);
    printf("warm_up_robots %d\n", tally.robots);
    return 0;
}

static int RunLive(unsigned int windowMs, const char* captureInterface, unsigned int warmUpMs)
{
    static struct Tally tally;
    static struct Capture capture;
    seekwell_search* search = NULL;
    long long cpuBefore;
    long long threadCpuBefore;
    long long cpuUs;
    long long threadCpuUs;
    int i;
    if (WarmUp(warmUpMs) != 0) {
        return 1;
    }
    if (captureInterface != NULL && OpenCapture(&capture, captureInterface) != 0) {
        return 1;
    }
    cpuBefore = ProcessCpuUs();
    threadCpuBefore = ThreadCpuUs();
    if (StartSearch(windowMs, 0, Count, &tally, &search) != 0) {
        return 1;
    }
    seekwell_search_wait(search, -1);
    seekwell_search_free(search);
    threadCpuUs = ThreadCpuUs() - threadCpuBefore;
    cpuUs = ProcessCpuUs() - cpuBefore;
    if (captureInterface != NULL) {
        DrainCapture(&capture);
    }
    for (i = 0; i < tally.robots && i < MAX_ROBOTS; ++i) {
        printf("robot %s %lld %lld\n", tally.robotAddress[i], tally.robotUs[i],
               FirstReplyUs(captureInterface != NULL ? &capture : NULL, tally.robotAddress[i]));
    }
    printf("robots %d\nskipped %d\ndone_us %lld\ndone_reason %d\ncpu_us %lld\nhost_thread_cpu_us %lld\n", tally.robots,
           tally.skipped, tally.doneUs, tally.doneReason, cpuUs, threadCpuUs);
    if (captureInterface != NULL) {
        printf("replies_from %d\n", capture.senders);
    }
    return 0;
}

static int RunBlocking(unsigned int warmUpMs)
{
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS];
    long long cpuBefore;
    long long threadCpuBefore;
    long long elapsedUs;
    long long threadCpuUs;
    int result;
    int i;
    if (WarmUp(warmUpMs) != 0) {
        return 1;
    }
    cpuBefore = ProcessCpuUs();
    threadCpuBefore = ThreadCpuUs();
    g_startUs = MonotonicUs();
    result = DiscoveryROVAByUPnP(records);
    elapsedUs = SinceStartUs();
    threadCpuUs = ThreadCpuUs() - threadCpuBefore;
    printf("result %d\nelapsed_us %lld\ncpu_us %lld\nhost_thread_cpu_us %lld\n", result, elapsedUs,
           ProcessCpuUs() - cpuBefore, threadCpuUs);
    for (i = 0; i < result; ++i) {
        free(records[i].pszName);
        free(records[i].pszAddress);
    }
    return result < 0;
}

/* TCP connections of this network namespace to port 80 that are open or being opened, and how
 * many of them still wait for an answer to their SYN. Closed ones (TIME-WAIT) do not count. */
static int CountHttpConnections(int* synSent)
{
    char line[512];
    int count = 0;
    FILE* table = fopen("/proc/net/tcp", "r");
    *synSent = 0;
    if (table == NULL) {
        return -1;
    }
    while (fgets(line, sizeof line, table) != NULL) {
        unsigned int remotePort;
        unsigned int state;
        if (sscanf(line, " %*d: %*x:%*x %*x:%x %x", &remotePort, &state) == 2 && remotePort == HTTP_PORT &&
            (state == TCP_ESTABLISHED || state == TCP_SYN_SENT)) {
            ++count;
            *synSent += state == TCP_SYN_SENT;
        }
    }
    fclose(table);
    return count;
}

struct Canceller {
    seekwell_search* search;
    int expected;
    int settleMs;
    long long cancelUs;
};

static void* CancelWhenHeld(void* data)
{
    struct Canceller* canceller = data;
    const long long giveUpUs = SinceStartUs() + 5 * 1000000LL;
    int synSent = 0;
    int inFlight;
    while (CountHttpConnections(&synSent) < canceller->expected && SinceStartUs() < giveUpUs) {
        usleep(5000);
    }
    usleep((useconds_t)canceller->settleMs * 1000);
    inFlight = CountHttpConnections(&synSent);
    printf("in_flight %d syn_sent %d\n", inFlight, synSent);
    canceller->cancelUs = SinceStartUs();
    seekwell_search_cancel(canceller->search);
    return NULL;
}

static int RunCancel(int expected, int settleMs)
{
    static struct Tally tally;
    struct Canceller canceller = {NULL, expected, settleMs, 0};
    pthread_t thread;
    int synSent;
    if (StartSearch(SEEKWELL_SEARCH_WINDOW_MS, 0, Count, &tally, &canceller.search) != 0) {
        return 1;
    }
    if (pthread_create(&thread, NULL, CancelWhenHeld, &canceller) != 0) {
        return 1;
    }
    seekwell_search_wait(canceller.search, -1);
    pthread_join(thread, NULL);
    seekwell_search_free(canceller.search);
    printf("cancel_at_us %lld\ncancel_to_done_us %lld\ndone_reason %d\nrobots %d\nconnections_after_free %d\n",
           canceller.cancelUs, tally.doneUs - canceller.cancelUs, tally.doneReason, tally.robots,
           CountHttpConnections(&synSent));
    return 0;
}

/* The value after "key:" in a /proc status file, or -1. */
static long long StatusValue(const char* path, const char* key)
{
    char line[256];
    long long value = -1;
    const size_t keyLength = strlen(key);
    FILE* status = fopen(path, "r");
    while (status != NULL && fgets(line, sizeof line, status) != NULL) {
        if (strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            value = atoll(line + keyLength + 1);
            break;
        }
    }
    if (status != NULL) {
        fclose(status);
    }
    return value;
}

/* Time on the CPU of one thread, in nanoseconds (first field of schedstat), or -1. */
static long long RunNs(const char* path)
{
    long long value = -1;
    FILE* schedstat = fopen(path, "r");
    if (schedstat != NULL) {
        if (fscanf(schedstat, "%lld", &value) != 1) {
            value = -1;
        }
        fclose(schedstat);
    }
    return value;
}

static void PrintTasks(pid_t host)
{
    DIR* tasks = opendir("/proc/self/task");
    struct dirent* entry;
    char path[300];
    while (tasks != NULL && (entry = readdir(tasks)) != NULL) {
        long long voluntary;
        long long nonvoluntary;
        if (entry->d_name[0] == '.') {
            continue;
        }
        snprintf(path, sizeof path, "/proc/self/task/%s/status", entry->d_name);
        voluntary = StatusValue(path, "voluntary_ctxt_switches");
        nonvoluntary = StatusValue(path, "nonvoluntary_ctxt_switches");
        snprintf(path, sizeof path, "/proc/self/task/%s/schedstat", entry->d_name);
        printf("task %s %s voluntary %lld nonvoluntary %lld run_ns %lld\n", entry->d_name,
               atoi(entry->d_name) == host ? "host" : "library", voluntary, nonvoluntary, RunNs(path));
    }
    if (tasks != NULL) {
        closedir(tasks);
    }
}

static int RunWatch(unsigned int periodMs, int marks, char** markText)
{
    static struct Tally tally;
    seekwell_search* search = NULL;
    const pid_t host = gettid();
    int i;
    if (StartSearch(0, periodMs, Count, &tally, &search) != 0) {
        return 1;
    }
    for (i = 0; i < marks; ++i) {
        const long long markUs = atoll(markText[i]) * 1000;
        long long leftUs;
        while ((leftUs = markUs - SinceStartUs()) > 0) {
            seekwell_search_wait(search, (int)((leftUs + 999) / 1000));
        }
        printf("mark %s at_us %lld real_us %lld cpu_us %lld\n", markText[i], SinceStartUs(), RealtimeUs(),
               ProcessCpuUs());
        PrintTasks(host);
    }
    seekwell_search_cancel(search);
    seekwell_search_wait(search, -1);
    seekwell_search_free(search);
    printf("robots %d\ngone %d\ndone_reason %d\n", tally.robots, tally.gone, tally.doneReason);
    return 0;
}

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    setvbuf(stdout, NULL, _IOLBF, 0);
    PrintMappedLibrary();
    if (strcmp(mode, "live") == 0 && argc > 2) {
        const char* captureInterface = argc > 3 && strcmp(argv[3], "-") != 0 ? argv[3] : NULL;
        return RunLive((unsigned int)atoi(argv[2]), captureInterface, argc > 4 ? (unsigned int)atoi(argv[4]) : 0);
    }
    if (strcmp(mode, "blocking") == 0) {
        return RunBlocking(argc > 2 ? (unsigned int)atoi(argv[2]) : 0);
    }
    if (strcmp(mode, "cancel") == 0 && argc > 3) {
        return RunCancel(atoi(argv[2]), atoi(argv[3]));
    }
    if (strcmp(mode, "watch") == 0 && argc > 3 && argc - 3 <= MAX_MARKS) {
        return RunWatch((unsigned int)atoi(argv[2]), argc - 3, argv + 3);
    }
    fprintf(stderr,
            "usage: %s live WINDOW_MS [CAPTURE-INTERFACE|- [WARM_UP_MS]] | blocking [WARM_UP_MS] | cancel EXPECTED "
            "SETTLE_MS |"
            " watch PERIOD_MS MARK_MS...\n",
            argv[0]);
    return 2;
}
