// A host in C++ whose callback throws at the first event: the exception reaches the host's own call
// of the library, and the search stays whole. Prints, one fact per line:
//
//   caught events=1 readable=1       (the events seen when it was caught; the descriptor then)
//   rest robots=5 skipped=13 done=1  (every event of the search, the one thrown for included)
//   dispatch_after_done 0
//   left threads=0 descriptors=0     (of the search, once it is freed)
//
// usage: throwing_host throw | free-then-throw   (the callback frees the search before it throws)
#include <dirent.h>
#include <poll.h>
#include <seekwell/seekwell.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "mapped_library.h"

namespace {

constexpr unsigned int kWindowMs = 5000;
// Replies and fetches of the LAN's robots are in by then: more than one event waits.
constexpr int kGatherMs = 1500;

struct HostError : std::runtime_error {
    HostError() : std::runtime_error("the host's own") {}
};

struct Tally {
    seekwell_search* search = nullptr;
    bool freeFirst = false;
    int events = 0;
    int counts[SEEKWELL_EVENT_DONE + 1] = {};
    int doneReason = 0;
};

void ThrowAtFirst(const seekwell_event* event, void* data)
{
    auto& tally = *static_cast<Tally*>(data);
    ++tally.events;
    ++tally.counts[event->type];
    if (event->type == SEEKWELL_EVENT_DONE) {
        tally.doneReason = event->done_reason;
    }
    if (tally.events == 1) {
        if (tally.freeFirst) {
            seekwell_search_free(tally.search);
        }
        throw HostError();
    }
}

int CountEntries(const char* folder)
{
    int count = 0;
    DIR* listing = opendir(folder);
    if (listing == nullptr) {
        return -1;
    }
    while (const dirent* entry = readdir(listing)) {
        count += entry->d_name[0] != '.';
    }
    closedir(listing);
    return count;
}

struct Footprint {
    int threads = CountEntries("/proc/self/task");
    int descriptors = CountEntries("/proc/self/fd");
};

void PrintLeft(const Footprint& before)
{
    const Footprint now;
    std::printf("left threads=%d descriptors=%d\n", now.threads - before.threads, now.descriptors - before.descriptors);
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc != 2 || (std::strcmp(argv[1], "throw") != 0 && std::strcmp(argv[1], "free-then-throw") != 0)) {
        std::fprintf(stderr, "usage: %s throw | free-then-throw\n", argv[0]);
        return 2;
    }
    PrintMappedLibrary();
    // A sanitizer's runtime starts threads of its own with the first one: before the count.
    std::thread([] {}).join();
    const Footprint before;
    Tally tally;
    tally.freeFirst = std::strcmp(argv[1], "free-then-throw") == 0;
    seekwell_options options = SEEKWELL_OPTIONS_INIT;
    options.window_ms = kWindowMs;
    if (const int started = seekwell_search_start(&options, ThrowAtFirst, &tally, &tally.search); started != 0) {
        std::printf("start failed %d\n", started);
        return 1;
    }
    poll(nullptr, 0, kGatherMs);
    try {
        seekwell_search_wait(tally.search, -1);
        std::printf("not thrown\n");
    } catch (const HostError&) {
        if (tally.freeFirst) {
            std::printf("caught events=%d\n", tally.events);
            PrintLeft(before);
            return 0;
        }
        pollfd ready{seekwell_search_fd(tally.search), POLLIN, 0};
        std::printf("caught events=%d readable=%d\n", tally.events, poll(&ready, 1, 0));
    }
    std::printf("wait %d\n", seekwell_search_wait(tally.search, -1));
    std::printf("rest robots=%d skipped=%d done=%d\n", tally.counts[SEEKWELL_EVENT_ROBOT],
                tally.counts[SEEKWELL_EVENT_SKIPPED], tally.doneReason);
    std::printf("dispatch_after_done %d\n", seekwell_search_dispatch(tally.search));
    seekwell_search_free(tally.search);
    PrintLeft(before);
    return 0;
}
