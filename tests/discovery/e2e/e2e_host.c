/*
 * A host application in plain C: loads libseekwell from the path it is given, runs one search
 * and prints what an end-to-end test needs to judge it, one fact per line:
 *
 *   library /tmp/x/libseekwell.so.2
 *   libcurl_after_load no  (whether a libcurl is mapped once the library is loaded)
 *   result 2
 *   record 0 "ROVA robot 1" "192.0.2.10"
 *   record 1 ...
 *   untouched yes          (records result..15 still hold what the host left in them)
 *   elapsed_ms 10012       (wall time of the call)
 *   elapsed_us 10012345    (the same, to the microsecond)
 *   cpu_us 2100            (user + system time of the whole process during the call)
 *   maxrss_kb 9000         (peak resident size of the process)
 *   self_cpu_us 9800       (user + system time of the process from its start to the call's return)
 *   children_cpu_us 30000  (user + system time of the children the library started and reaped)
 *   children_maxrss_kb 14000 (peak resident size of the largest of those children)
 *   libcurl_after_call yes (whether a libcurl is mapped once the call has returned)
 *
 * The children's lines keep the host's own figures apart from those of any program the library
 * runs: a parent that reaps this host counts their time as the host's.
 *
 * Every string the library stored is released with free(), as its contract says.
 */
#define _GNU_SOURCE
#include <seekwell/seekwell.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include "microseconds.h"
#include "print_quoted.h"

typedef int (*DiscoverFunction)(DISCOVERY_RESULT*);

/* Distinct addresses the library has no reason to write, so any write to them shows. */
static char g_nameSentinels[SEEKWELL_MAX_RESULTS];
static char g_addressSentinels[SEEKWELL_MAX_RESULTS];

static void Prefill(DISCOVERY_RESULT* records)
{
    int i;
    for (i = 0; i < SEEKWELL_MAX_RESULTS; ++i) {
        records[i].pszName = &g_nameSentinels[i];
        records[i].pszAddress = &g_addressSentinels[i];
    }
}

static int UntouchedFrom(const DISCOVERY_RESULT* records, int first)
{
    int i;
    for (i = first < 0 ? 0 : first; i < SEEKWELL_MAX_RESULTS; ++i) {
        if (records[i].pszName != &g_nameSentinels[i] || records[i].pszAddress != &g_addressSentinels[i]) {
            return 0;
        }
    }
    return 1;
}

/* Whether a file named libcurl* is mapped into the process. */
static const char* LibcurlMapped(void)
{
    char line[4096];
    const char* mapped = "no";
    FILE* maps = fopen("/proc/self/maps", "r");
    while (maps != NULL && fgets(line, sizeof line, maps) != NULL) {
        const char* name = strrchr(line, '/');
        if (name != NULL && strncmp(name, "/libcurl", 8) == 0) {
            mapped = "yes";
        }
    }
    if (maps != NULL) {
        fclose(maps);
    }
    return mapped;
}

static void ReportAndFree(DISCOVERY_RESULT* records, int result)
{
    int i;
    printf("result %d\n", result);
    for (i = 0; i < result && i < SEEKWELL_MAX_RESULTS; ++i) {
        printf("record %d ", i);
        PrintQuoted(records[i].pszName);
        putchar(' ');
        PrintQuoted(records[i].pszAddress);
        putchar('\n');
        free(records[i].pszName);
        free(records[i].pszAddress);
    }
    printf("untouched %s\n", UntouchedFrom(records, result) ? "yes" : "no");
}

int main(int argc, char** argv)
{
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS];
    struct rusage before, after, children;
    long long started, elapsed;
    void* library;
    void* symbol;
    DiscoverFunction discover = NULL;
    Dl_info where;
    int result;

    /* Line by line: a sanitizer that ends the process at exit must not swallow the report. */
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc != 2) {
        fprintf(stderr, "usage: %s PATH-OF-LIBSEEKWELL\n", argv[0]);
        return 2;
    }
    library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    symbol = library ? dlsym(library, "DiscoveryROVAByUPnP") : NULL;
    /* ISO C has no cast from an object pointer to a function pointer; POSIX guarantees the copy. */
    memcpy(&discover, &symbol, sizeof discover);
    if (symbol == NULL || !dladdr(symbol, &where)) {
        fprintf(stderr, "cannot load DiscoveryROVAByUPnP from %s: %s\n", argv[1], dlerror());
        return 1;
    }
    printf("library %s\n", where.dli_fname);
    printf("libcurl_after_load %s\n", LibcurlMapped());

    Prefill(records);
    getrusage(RUSAGE_SELF, &before);
    started = MonotonicUs();
    result = discover(records);
    elapsed = MonotonicUs() - started;
    getrusage(RUSAGE_SELF, &after);
    getrusage(RUSAGE_CHILDREN, &children);

    ReportAndFree(records, result);
    printf("elapsed_ms %lld\n", elapsed / 1000);
    printf("elapsed_us %lld\n", elapsed);
    printf("cpu_us %lld\n", CpuUs(&after) - CpuUs(&before));
    printf("maxrss_kb %ld\n", after.ru_maxrss);
    printf("self_cpu_us %lld\n", CpuUs(&after));
    printf("children_cpu_us %lld\n", CpuUs(&children));
    printf("children_maxrss_kb %ld\n", children.ru_maxrss);
    printf("libcurl_after_call %s\n", LibcurlMapped());
    dlclose(library);
    return 0;
}
