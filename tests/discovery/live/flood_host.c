/*
 * A host in plain C that runs one live search of whichever libseekwell the loader finds while the
 * LAN floods it, and prints every event and what the search cost, one fact per line:
 *
 *   ROBOT +12 "ROVA robot 1" 192.0.2.10 http://192.0.2.10/ROVA.XML sw-client
 *   SKIPPED +9 192.0.2.70 5 "LOCATION names another host (192.0.2.2)"
 *   DONE +10003 1 0 "window over"
 *   cancel_to_done_us 900        (cancel mode: from the cancel to DONE in the callback)
 *   free_us 300                  (seekwell_search_free)
 *   memory rss_before_kb 3100 hwm_after_kb 5200 growth_kb 2100
 *   cpu_us 95000                 (user + system of the process, start to free)
 *   sanitizer 0                  (1: built with a sanitizer, whose memory says nothing of ours)
 *
 * Events are written to a large buffer and reach stdout at the end, so that printing thousands of
 * them costs the dispatching thread little; times are taken in the callback.
 *
 * usage: flood_host events WINDOW_MS [INTERFACE]
 *        flood_host cancel WINDOW_MS CANCEL_AT_MS [INTERFACE]
 *        flood_host watch PERIOD_MS RUN_MS HOLD_MS [INTERFACE]
 *                                a watch whose host does not dispatch for HOLD_MS, then takes what
 *                                waits in one dispatch, between "held +10000" and "held_memory
 *                                rss_start_kb 3100 rss_1s_kb 5200 rss_end_kb 5300 hwm_kb 5400"
 *                                (resident at the start, a second in, at the hold's end; its peak)
 *        flood_host blocking     DiscoveryROVAByUPnP instead, measured alike, for the bench:
 *                                result 16 / elapsed_us 10002000 / memory ... / cpu_us ...
 */
#define _GNU_SOURCE
#include <seekwell/seekwell.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "live_event_line.h"
#include "mapped_library.h"
#include "microseconds.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UNDER_SANITIZER 1
#else
#define UNDER_SANITIZER 0
#endif

/* Room for every event of a flooded search, so that nothing is written out while it runs. */
#define OUTPUT_BUFFER_BYTES (16 * 1024 * 1024)

static char g_output[OUTPUT_BUFFER_BYTES];
static long long g_startUs;
static long long g_doneUs;

static long long SinceStartMs(void) { return (MonotonicUs() - g_startUs) / 1000; }

static void PrintEvent(const seekwell_event* event, void* unused)
{
    (void)unused;
    if (event->type == SEEKWELL_EVENT_DONE) {
        g_doneUs = MonotonicUs();
    }
    PrintLiveEvent(event, SinceStartMs());
}

/* A "Name:   1234 kB" line of /proc/self/status, in kB; -1 when missing. */
static long StatusKb(const char* name)
{
    char line[256];
    long value = -1;
    const size_t length = strlen(name);
    FILE* status = fopen("/proc/self/status", "re");
    if (status == NULL) {
        return -1;
    }
    while (fgets(line, sizeof line, status) != NULL) {
        if (strncmp(line, name, length) == 0 && line[length] == ':') {
            value = strtol(line + length + 1, NULL, 10);
            break;
        }
    }
    fclose(status);
    return value;
}

/* Starts the peak resident size (VmHWM) over from the current size, so that it tells the peak of
 * the search alone. */
static void ResetPeakMemory(void)
{
    const int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!write(fd, "5", 1);
        close(fd);
    }
}

static long long ProcessCpuUs(void)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return CpuUs(&usage);
}

/* Peak resident size since ResetPeakMemory, over the size then. */
static void PrintMemory(long rssBeforeKb)
{
    const long peakKb = StatusKb("VmHWM");
    printf("memory rss_before_kb %ld hwm_after_kb %ld growth_kb %ld\n", rssBeforeKb, peakKb, peakKb - rssBeforeKb);
}

static int RunBlocking(void)
{
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS];
    long rssBeforeKb;
    long long cpuBeforeUs;
    int result;
    int i;
    ResetPeakMemory();
    rssBeforeKb = StatusKb("VmRSS");
    cpuBeforeUs = ProcessCpuUs();
    g_startUs = MonotonicUs();
    result = DiscoveryROVAByUPnP(records);
    printf("result %d\nelapsed_us %lld\n", result, MonotonicUs() - g_startUs);
    for (i = 0; i < result; ++i) {
        free(records[i].pszName);
        free(records[i].pszAddress);
    }
    PrintMemory(rssBeforeKb);
    printf("cpu_us %lld\n", ProcessCpuUs() - cpuBeforeUs);
    return 0;
}

static int Run(unsigned int windowMs, int cancelAtMs, const char* interfaceName)
{
    seekwell_options options = SEEKWELL_OPTIONS_INIT;
    seekwell_search* search = NULL;
    long rssBeforeKb;
    long long cpuBeforeUs;
    long long freeStartUs;
    int started;
    options.window_ms = windowMs;
    options.interface_name = interfaceName;
    ResetPeakMemory();
    rssBeforeKb = StatusKb("VmRSS");
    cpuBeforeUs = ProcessCpuUs();
    g_startUs = MonotonicUs();
    started = seekwell_search_start(&options, PrintEvent, NULL, &search);
    if (started != 0) {
        printf("start failed %d\n", started);
        return 1;
    }
    if (cancelAtMs >= 0) {
        long long cancelUs;
        seekwell_search_wait(search, cancelAtMs);
        cancelUs = MonotonicUs();
        seekwell_search_cancel(search);
        seekwell_search_wait(search, -1);
        printf("cancel_to_done_us %lld\n", g_doneUs - cancelUs);
    } else {
        seekwell_search_wait(search, -1);
    }
    freeStartUs = MonotonicUs();
    seekwell_search_free(search);
    printf("free_us %lld\n", MonotonicUs() - freeStartUs);
    PrintMemory(rssBeforeKb);
    printf("cpu_us %lld\n", ProcessCpuUs() - cpuBeforeUs);
    return 0;
}

static void SleepMs(int ms)
{
    struct timespec left;
    left.tv_sec = ms / 1000;
    left.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (ms > 0 && nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

/* A watch whose host is busy for HOLD_MS: its memory is read a second in (the first fetches have
 * loaded what they need) and at the hold's end, before anything is dispatched. */
static int RunHeldWatch(unsigned int periodMs, int runMs, int holdMs, const char* interfaceName)
{
    seekwell_options options = SEEKWELL_OPTIONS_INIT;
    seekwell_search* search = NULL;
    long rssStartKb;
    long rssFirstSecondKb;
    const int firstSecondMs = holdMs < 1000 ? holdMs : 1000;
    options.window_ms = 0;
    options.period_ms = periodMs;
    options.interface_name = interfaceName;
    ResetPeakMemory();
    rssStartKb = StatusKb("VmRSS");
    g_startUs = MonotonicUs();
    if (seekwell_search_start(&options, PrintEvent, NULL, &search) != 0) {
        printf("start failed\n");
        return 1;
    }
    SleepMs(firstSecondMs);
    rssFirstSecondKb = StatusKb("VmRSS");
    SleepMs(holdMs - firstSecondMs);
    printf("held +%lld\n", SinceStartMs());
    printf("held_memory rss_start_kb %ld rss_1s_kb %ld rss_end_kb %ld hwm_kb %ld\n", rssStartKb, rssFirstSecondKb,
           StatusKb("VmRSS"), StatusKb("VmHWM"));
    seekwell_search_dispatch(search);
    printf("dispatched +%lld\n", SinceStartMs());
    seekwell_search_wait(search, runMs > holdMs ? runMs - holdMs : 0);
    seekwell_search_cancel(search);
    seekwell_search_wait(search, -1);
    seekwell_search_free(search);
    return 0;
}

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    /* Resident before the search starts, so that the events it prints do not count as its memory. */
    memset(g_output, ' ', sizeof g_output);
    setvbuf(stdout, g_output, _IOFBF, sizeof g_output);
    PrintMappedLibrary();
    printf("sanitizer %d\n", UNDER_SANITIZER);
    if (strcmp(mode, "events") == 0 && argc > 2) {
        return Run((unsigned int)atoi(argv[2]), -1, argc > 3 ? argv[3] : NULL);
    }
    if (strcmp(mode, "cancel") == 0 && argc > 3) {
        return Run((unsigned int)atoi(argv[2]), atoi(argv[3]), argc > 4 ? argv[4] : NULL);
    }
    if (strcmp(mode, "watch") == 0 && argc > 4) {
        return RunHeldWatch((unsigned int)atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), argc > 5 ? argv[5] : NULL);
    }
    if (strcmp(mode, "blocking") == 0) {
        return RunBlocking();
    }
    fprintf(stderr,
            "usage: %s events WINDOW_MS [IF] | cancel WINDOW_MS CANCEL_AT_MS [IF] |"
            " watch PERIOD_MS RUN_MS HOLD_MS [IF] | blocking\n",
            argv[0]);
    return 2;
}
