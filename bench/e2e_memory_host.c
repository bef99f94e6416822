/*
 * Where a host's resident memory goes when it runs one discovery: loads libseekwell from the path
 * it is given, runs one search, and reports the resident size before loading, after loading and
 * after the search, then the resident bytes of every mapping grouped by the file it maps.
 *
 *   seekwell-e2e-memory-host PATH-OF-LIBSEEKWELL
 *
 *   stage start rss_kb 1024 anon_kb 96 file_kb 928
 *   stage loaded ...
 *   stage searched ...
 *   peak_kb 11200
 *   children_peak_kb 14000               (the largest child the library started and reaped, or 0)
 *   result 16
 *   mapping 3012 libcrypto.so.3          (resident kB per mapped file, largest first)
 *   mapping 2100 [anonymous]             (heap, thread stacks and other memory without a file)
 */
#define _GNU_SOURCE
#include <seekwell/seekwell.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

enum { MaxGroups = 256, LineSize = 4096, NameSize = 256 };

typedef int (*DiscoverFunction)(DISCOVERY_RESULT*);

typedef struct {
    char name[NameSize];
    long residentKb;
} MappingGroup;

/* The value of "Key:   123 kB" in /proc/self/status, or -1. */
static long StatusKb(const char* key)
{
    char line[LineSize];
    long value = -1;
    size_t keyLength = strlen(key);
    FILE* status = fopen("/proc/self/status", "r");
    if (status == NULL) {
        return -1;
    }
    while (fgets(line, sizeof line, status) != NULL) {
        if (strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            value = strtol(line + keyLength + 1, NULL, 10);
        }
    }
    fclose(status);
    return value;
}

static void PrintStage(const char* stage)
{
    printf("stage %s rss_kb %ld anon_kb %ld file_kb %ld\n", stage, StatusKb("VmRSS"), StatusKb("RssAnon"),
           StatusKb("RssFile"));
}

/* The group a mapping line of smaps belongs to: the file's base name, a bracketed kernel name, or
 * "[anonymous]". */
static void GroupName(const char* mappingLine, char* name)
{
    const char* path = NULL;
    const char* slash;
    int field = 0;
    const char* c = mappingLine;
    /* address perms offset dev inode path */
    while (*c != '\0' && field < 5) {
        while (*c != '\0' && *c != ' ') {
            ++c;
        }
        while (*c == ' ') {
            ++c;
        }
        ++field;
    }
    if (*c != '\0' && *c != '\n') {
        path = c;
    }
    if (path == NULL || strncmp(path, "[heap]", 6) == 0 || strncmp(path, "[stack]", 7) == 0) {
        snprintf(name, NameSize, "%.*s", NameSize - 1, path == NULL ? "[anonymous]" : path);
    } else {
        slash = strrchr(path, '/');
        snprintf(name, NameSize, "%.*s", NameSize - 1, slash != NULL ? slash + 1 : path);
    }
    name[strcspn(name, "\n")] = '\0';
}

static void AddToGroup(MappingGroup* groups, int* count, const char* name, long kb)
{
    int i;
    for (i = 0; i < *count; ++i) {
        if (strcmp(groups[i].name, name) == 0) {
            break;
        }
    }
    if (i == *count) {
        if (*count == MaxGroups) {
            return;
        }
        snprintf(groups[i].name, NameSize, "%s", name);
        groups[i].residentKb = 0;
        ++*count;
    }
    groups[i].residentKb += kb;
}

static int ByResidentDescending(const void* a, const void* b)
{
    long left = ((const MappingGroup*)a)->residentKb;
    long right = ((const MappingGroup*)b)->residentKb;
    return (left < right) - (left > right);
}

/* A mapping line starts with its address range in lower-case hex; attribute lines start with a
 * capitalised name. */
static int IsMappingLine(const char* line) { return strchr("0123456789abcdef", line[0]) != NULL && line[0] != '\0'; }

static void PrintMappings(void)
{
    static MappingGroup groups[MaxGroups];
    char line[LineSize], current[NameSize] = "[anonymous]";
    int count = 0, i;
    long kb;
    FILE* smaps = fopen("/proc/self/smaps", "r");
    if (smaps == NULL) {
        return;
    }
    while (fgets(line, sizeof line, smaps) != NULL) {
        if (sscanf(line, "Rss: %ld kB", &kb) == 1) {
            AddToGroup(groups, &count, current, kb);
        } else if (IsMappingLine(line)) {
            GroupName(line, current);
        }
    }
    fclose(smaps);
    qsort(groups, (size_t)count, sizeof groups[0], ByResidentDescending);
    for (i = 0; i < count; ++i) {
        if (groups[i].residentKb > 0) {
            printf("mapping %ld %s\n", groups[i].residentKb, groups[i].name);
        }
    }
}

int main(int argc, char** argv)
{
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS];
    DiscoverFunction discover = NULL;
    struct rusage children;
    void* library;
    void* symbol;
    int result, i;

    if (argc != 2) {
        fprintf(stderr, "usage: %s PATH-OF-LIBSEEKWELL\n", argv[0]);
        return 2;
    }
    PrintStage("start");
    library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    symbol = library ? dlsym(library, "DiscoveryROVAByUPnP") : NULL;
    if (symbol == NULL) {
        fprintf(stderr, "cannot load DiscoveryROVAByUPnP from %s: %s\n", argv[1], dlerror());
        return 1;
    }
    /* ISO C has no cast from an object pointer to a function pointer; POSIX guarantees the copy. */
    memcpy(&discover, &symbol, sizeof discover);
    PrintStage("loaded");
    result = discover(records);
    PrintStage("searched");
    getrusage(RUSAGE_CHILDREN, &children);
    printf("peak_kb %ld\nchildren_peak_kb %ld\nresult %d\n", StatusKb("VmHWM"), children.ru_maxrss, result);
    PrintMappings();
    for (i = 0; i < result; ++i) {
        free(records[i].pszName);
        free(records[i].pszAddress);
    }
    return 0;
}
