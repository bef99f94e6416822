// seekwell-load-cost: what loading a shared library costs a C++ host that never calls it. Each
// measurement runs in a fresh process (this program executed again in its child mode), so no
// earlier measurement has loaded anything: the child reads /proc/self/smaps_rollup, makes one
// dlopen(path, RTLD_NOW | RTLD_LOCAL), reads it again and reports wall time, resident and private
// memory added and the objects mapped. Runs are interleaved over the libraries (run 1 of each,
// then run 2...), so a change of load on a shared machine falls on all of them alike.
//
//   seekwell-load-cost [--runs 21] [--objects] LABEL=PATH ...
//   seekwell-load-cost --runs 21 now=build/discovery/libseekwell.so.2 libcurl=libcurl.so.4
//
// The first label is held to the goals (wall, resident, private). Private memory is judged by its
// dirty part: the pages this process wrote (relocations, data, heap), which no other process can
// share and the kernel cannot drop. Clean file pages count as private only while no other
// process maps the file, so they are reported beside it. With --objects, the first
// library's added memory is also shown by mapping (file, heap, anonymous) for its last run.
// Output is markdown tables.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace loadcost {
namespace {

constexpr int kDefaultRuns = 21;
constexpr int kMaxRuns = 1000;
constexpr const char kChildMode[] = "--child";
constexpr const char kSelf[] = "/proc/self/exe";
constexpr const char kRollup[] = "/proc/self/smaps_rollup";
constexpr const char kSmaps[] = "/proc/self/smaps";
// smaps_rollup is about 1 KiB; read into a static buffer so that reading allocates nothing.
constexpr std::size_t kRollupBufferSize = 8192;
constexpr double kNsPerMs = 1e6;
constexpr const char kRestName[] = "heap,stacks,anonymous";

// What the first label must stay within.
constexpr double kGoalWallMs = 0.2;
constexpr long kGoalResidentKb = 512;
constexpr long kGoalPrivateKb = 64;

// ---- child: one dlopen, measured ----

struct Rollup {
    long rssKb = 0;
    long privateCleanKb = 0;
    long privateDirtyKb = 0;
};

char g_rollupText[kRollupBufferSize];

// The value in kB of the line "NAME:   value kB" in TEXT, or 0.
long FieldKb(const char* text, const char* name)
{
    const std::size_t length = std::strlen(name);
    for (const char* line = text; line != nullptr && *line != '\0';) {
        if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
            return std::strtol(line + length + 1, nullptr, 10);
        }
        line = std::strchr(line, '\n');
        if (line != nullptr) {
            ++line;
        }
    }
    return 0;
}

bool ReadRollup(Rollup& rollup)
{
    const int fd = open(kRollup, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::size_t filled = 0;
    for (;;) {
        const ssize_t got = read(fd, g_rollupText + filled, sizeof g_rollupText - 1 - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    close(fd);
    g_rollupText[filled] = '\0';
    rollup.rssKb = FieldKb(g_rollupText, "Rss");
    rollup.privateCleanKb = FieldKb(g_rollupText, "Private_Clean");
    rollup.privateDirtyKb = FieldKb(g_rollupText, "Private_Dirty");
    return filled > 0;
}

int CollectObject(dl_phdr_info* info, std::size_t, void* data)
{
    static_cast<std::vector<std::string>*>(data)->push_back(info->dlpi_name);
    return 0;
}

std::vector<std::string> LoadedObjects()
{
    std::vector<std::string> names;
    dl_iterate_phdr(CollectObject, &names);
    return names;
}

long long MonotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

struct ObjectMemory {
    long rssKb = 0;
    long privateKb = 0;
    long dirtyKb = 0;
};

using MemoryByMapping = std::map<std::string, ObjectMemory>;

// The name of the mapping whose smaps header line is LINE: its file, or its bracketed kind, or
// "[anonymous]".
std::string MappingName(const char* line)
{
    const char* name = std::strpbrk(line, "/[");
    return name != nullptr ? std::string(name, std::strcspn(name, "\n")) : std::string("[anonymous]");
}

void AddField(const char* first, const char* line, ObjectMemory& memory)
{
    if (std::strcmp(first, "Rss:") == 0) {
        memory.rssKb += FieldKb(line, "Rss");
    }
    if (std::strcmp(first, "Private_Clean:") == 0) {
        memory.privateKb += FieldKb(line, "Private_Clean");
    }
    if (std::strcmp(first, "Private_Dirty:") == 0) {
        memory.privateKb += FieldKb(line, "Private_Dirty");
        memory.dirtyKb += FieldKb(line, "Private_Dirty");
    }
}

// Resident, private and dirty memory of every mapping in /proc/self/smaps, summed by name.
MemoryByMapping ReadSmaps()
{
    MemoryByMapping byName;
    std::FILE* smaps = std::fopen(kSmaps, "re");
    if (smaps == nullptr) {
        return byName;
    }
    ObjectMemory* current = nullptr;
    char line[PATH_MAX + 256];
    while (std::fgets(line, sizeof line, smaps) != nullptr) {
        char first[64] = "";
        std::sscanf(line, "%63s", first);
        const std::size_t firstLength = std::strlen(first);
        if (firstLength > 0 && first[firstLength - 1] != ':') {
            current = &byName[MappingName(line)];  // a mapping's header line
        } else if (current != nullptr) {
            AddField(first, line, *current);
        }
    }
    std::fclose(smaps);
    return byName;
}

// Prints "object FILE RSS_KB PRIVATE_KB DIRTY_KB" for every mapped file whose memory changed
// between BEFORE and AFTER, largest resident growth first, then the rest of TOTAL as the heap's
// and anonymous memory's (read this way, the maps that the reading itself fills are left out).
void PrintGrowth(const MemoryByMapping& before, const MemoryByMapping& after, const ObjectMemory& total)
{
    std::vector<std::pair<std::string, ObjectMemory>> grown;
    ObjectMemory rest = total;
    for (const auto& [name, memory] : after) {
        const auto earlier = before.find(name);
        const ObjectMemory base = earlier != before.end() ? earlier->second : ObjectMemory{};
        const ObjectMemory growth{memory.rssKb - base.rssKb, memory.privateKb - base.privateKb,
                                  memory.dirtyKb - base.dirtyKb};
        if (name[0] != '/' || (growth.rssKb == 0 && growth.privateKb == 0)) {
            continue;
        }
        grown.emplace_back(name, growth);
        rest = {rest.rssKb - growth.rssKb, rest.privateKb - growth.privateKb, rest.dirtyKb - growth.dirtyKb};
    }
    std::stable_sort(grown.begin(), grown.end(),
                     [](const auto& a, const auto& b) { return a.second.rssKb > b.second.rssKb; });
    grown.emplace_back(kRestName, rest);
    for (const auto& [name, memory] : grown) {
        std::printf("object %s %ld %ld %ld\n", name.c_str(), memory.rssKb, memory.privateKb, memory.dirtyKb);
    }
}

int RunChild(const char* path)
{
    // Everything the measurement itself needs is touched once first, so its first use is not
    // counted.
    Rollup before;
    Rollup after;
    ReadRollup(after);
    MonotonicNs();
    const std::vector<std::string> objectsBefore = LoadedObjects();
    const MemoryByMapping mappingsBefore = ReadSmaps();
    if (!ReadRollup(before)) {
        return 1;
    }
    const long long started = MonotonicNs();
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    const long long ended = MonotonicNs();
    ReadRollup(after);
    if (handle == nullptr) {
        std::fprintf(stderr, "seekwell-load-cost: %s\n", dlerror());
        return 1;
    }
    const std::vector<std::string> objectsAfter = LoadedObjects();
    const ObjectMemory added{
        after.rssKb - before.rssKb,
        after.privateCleanKb + after.privateDirtyKb - before.privateCleanKb - before.privateDirtyKb,
        after.privateDirtyKb - before.privateDirtyKb};
    std::printf("wall_ns %lld\nrss_kb %ld\nprivate_kb %ld\ndirty_kb %ld\nobjects %zu\n", ended - started, added.rssKb,
                added.privateKb, added.dirtyKb, objectsAfter.size() - objectsBefore.size());
    PrintGrowth(mappingsBefore, ReadSmaps(), added);
    return 0;
}

// ---- parent: runs, statistics, tables ----

struct Library {
    std::string label;
    std::string path;
};

struct Measurement {
    double wallMs = 0;
    double rssKb = 0;
    double privateKb = 0;
    double dirtyKb = 0;
    double objects = 0;
    std::vector<std::string> objectLines;  // "PATH RSS PRIVATE DIRTY"
};

struct Figure {
    const char* heading;
    double Measurement::*field;
    int decimals;
};

constexpr Figure kFigures[] = {
    {"wall time of dlopen (ms)", &Measurement::wallMs, 3}, {"resident added (KiB)", &Measurement::rssKb, 0},
    {"private added (KiB)", &Measurement::privateKb, 0},   {"of which dirty (KiB)", &Measurement::dirtyKb, 0},
    {"objects added", &Measurement::objects, 0},
};

struct Options {
    int runs = kDefaultRuns;
    bool objects = false;
    std::vector<Library> libraries;
};

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::size_t equals = argument.find('=');
        if (argument == "--runs" && i + 1 < argc) {
            options.runs = std::atoi(argv[++i]);
            if (options.runs < 1 || options.runs > kMaxRuns) {
                return std::nullopt;
            }
        } else if (argument == "--objects") {
            options.objects = true;
        } else if (equals != std::string::npos && equals > 0 && equals + 1 < argument.size()) {
            options.libraries.push_back({argument.substr(0, equals), argument.substr(equals + 1)});
        } else {
            return std::nullopt;
        }
    }
    if (options.libraries.empty()) {
        return std::nullopt;
    }
    return options;
}

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

// Runs the child mode on PATH in a fresh process and returns its report, or nothing on failure.
std::optional<std::string> RunInFreshProcess(const std::string& path)
{
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(channel[1], STDOUT_FILENO);
        execl(kSelf, kSelf, kChildMode, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(channel[1]);
    std::string report = child > 0 ? ReadAll(channel[0]) : std::string();
    close(channel[0]);
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return report;
}

Measurement ParseReport(const std::string& report)
{
    Measurement measurement;
    std::istringstream lines(report);
    std::string key;
    while (lines >> key) {
        std::string rest;
        std::getline(lines, rest);
        const double value = std::strtod(rest.c_str(), nullptr);
        if (key == "wall_ns") {
            measurement.wallMs = value / kNsPerMs;
        }
        if (key == "rss_kb") {
            measurement.rssKb = value;
        }
        if (key == "private_kb") {
            measurement.privateKb = value;
        }
        if (key == "dirty_kb") {
            measurement.dirtyKb = value;
        }
        if (key == "objects") {
            measurement.objects = value;
        }
        if (key == "object") {
            measurement.objectLines.push_back(rest.substr(rest.find_first_not_of(' ')));
        }
    }
    return measurement;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string Format(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// "median (min..max)".
std::string Stats(const std::vector<double>& values, int decimals)
{
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return Format(Median(values), decimals) + " (" + Format(*low, decimals) + ".." + Format(*high, decimals) + ")";
}

std::vector<double> Series(const std::vector<Measurement>& runs, double Measurement::*field)
{
    std::vector<double> values;
    for (const Measurement& run : runs) {
        values.push_back(run.*field);
    }
    return values;
}

void PrintFigures(const std::vector<Library>& libraries, const std::vector<std::vector<Measurement>>& runs)
{
    std::printf("| library (median (min..max) over %zu runs) |", runs.front().size());
    for (const Figure& figure : kFigures) {
        std::printf(" %s |", figure.heading);
    }
    std::printf("\n|---|");
    for (std::size_t i = 0; i < std::size(kFigures); ++i) {
        std::printf("---|");
    }
    std::printf("\n");
    for (std::size_t library = 0; library < libraries.size(); ++library) {
        std::printf("| %s (`%s`) |", libraries[library].label.c_str(), libraries[library].path.c_str());
        for (const Figure& figure : kFigures) {
            std::printf(" %s |", Stats(Series(runs[library], figure.field), figure.decimals).c_str());
        }
        std::printf("\n");
    }
}

// The first library's figure over another's, taken between runs of the same round.
void PrintRatios(const std::vector<Library>& libraries, const std::vector<std::vector<Measurement>>& runs)
{
    constexpr std::size_t kRatioFigures = 4;  // wall, resident, private, dirty
    std::printf("\n| ratio, run by run (median (min..max)) |");
    for (std::size_t i = 0; i < kRatioFigures; ++i) {
        std::printf(" %s |", kFigures[i].heading);
    }
    std::printf("\n|---|");
    for (std::size_t i = 0; i < kRatioFigures; ++i) {
        std::printf("---|");
    }
    std::printf("\n");
    for (std::size_t other = 1; other < libraries.size(); ++other) {
        std::printf("| %s / %s |", libraries.front().label.c_str(), libraries[other].label.c_str());
        for (std::size_t i = 0; i < kRatioFigures; ++i) {
            std::vector<double> ratios;
            for (std::size_t run = 0; run < runs.front().size(); ++run) {
                const double denominator = runs[other][run].*kFigures[i].field;
                if (denominator > 0) {
                    ratios.push_back(runs.front()[run].*kFigures[i].field / denominator);
                }
            }
            std::printf(" %s |", ratios.empty() ? "-" : Stats(ratios, 3).c_str());
        }
        std::printf("\n");
    }
}

void PrintGoal(const char* what, const std::vector<double>& values, double goal, const char* unit, int decimals)
{
    const double median = Median(values);
    const auto within = std::count_if(values.begin(), values.end(), [goal](double value) { return value <= goal; });
    std::printf("| %s ≤ %s %s | %s %s | %td of %zu | %s |\n", what, Format(goal, decimals).c_str(), unit,
                Format(median, decimals).c_str(), unit, within, values.size(), median <= goal ? "met" : "**missed**");
}

void PrintGoals(const Library& library, const std::vector<Measurement>& runs)
{
    std::printf("\n| goal for %s | median | runs within | |\n|---|---|---|---|\n", library.label.c_str());
    PrintGoal("wall time of dlopen", Series(runs, &Measurement::wallMs), kGoalWallMs, "ms", 3);
    PrintGoal("resident added", Series(runs, &Measurement::rssKb), kGoalResidentKb, "KiB", 0);
    PrintGoal("private dirty added", Series(runs, &Measurement::dirtyKb), kGoalPrivateKb, "KiB", 0);
}

void PrintObjects(const Library& library, const Measurement& lastRun)
{
    std::printf(
        "\n| %s, last run: where the memory went | resident added (KiB) | private added (KiB) |"
        " of which dirty (KiB) |\n|---|---|---|---|\n",
        library.label.c_str());
    for (const std::string& line : lastRun.objectLines) {
        std::istringstream fields(line);
        std::string name;
        ObjectMemory memory;
        fields >> name >> memory.rssKb >> memory.privateKb >> memory.dirtyKb;
        if (name == kRestName) {
            name = "heap, stacks and anonymous memory (the rest)";
        }
        std::printf("| %s | %ld | %ld | %ld |\n", name.c_str(), memory.rssKb, memory.privateKb, memory.dirtyKb);
    }
}

std::string LoadAverage()
{
    std::FILE* file = std::fopen("/proc/loadavg", "re");
    char text[64] = "?";
    if (file != nullptr) {
        if (std::fscanf(file, "%63s", text) != 1) {
            std::strcpy(text, "?");
        }
        std::fclose(file);
    }
    return text;
}

int RunParent(const Options& options)
{
    std::vector<std::vector<Measurement>> runs(options.libraries.size());
    // A library just built has pages not yet written back, which smaps counts as dirty wherever
    // they are mapped.
    sync();
    const std::string loadBefore = LoadAverage();
    for (int run = 0; run < options.runs; ++run) {
        for (std::size_t library = 0; library < options.libraries.size(); ++library) {
            const auto report = RunInFreshProcess(options.libraries[library].path);
            if (!report) {
                std::fprintf(stderr, "seekwell-load-cost: loading %s failed\n",
                             options.libraries[library].path.c_str());
                return 1;
            }
            runs[library].push_back(ParseReport(*report));
        }
    }
    std::printf("load average (1 min): %s before, %s after\n\n", loadBefore.c_str(), LoadAverage().c_str());
    PrintFigures(options.libraries, runs);
    if (options.libraries.size() > 1) {
        PrintRatios(options.libraries, runs);
    }
    PrintGoals(options.libraries.front(), runs.front());
    if (options.objects) {
        PrintObjects(options.libraries.front(), runs.front().back());
    }
    return 0;
}

}  // namespace
}  // namespace loadcost

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], loadcost::kChildMode) == 0) {
        return loadcost::RunChild(argv[2]);
    }
    const auto options = loadcost::ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: seekwell-load-cost [--runs N] [--objects] LABEL=PATH ...\n");
        return 2;
    }
    return loadcost::RunParent(*options);
}
