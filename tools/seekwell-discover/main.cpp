// seekwell-discover: runs one robot search on the local network and prints what it found.
#include <seekwell/seekwell.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "countdown.h"
#include "discover_output.h"

namespace {

constexpr int kExitSearched = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoSearch = 2;
constexpr std::chrono::seconds kCountdownTick{1};

const char kUsage[] =
    "Usage: seekwell-discover [--json]\n"
    "Searches the local network for robots (this takes at least 10 seconds) and prints\n"
    "each one's index, name and address.\n"
    "\n"
    "  --json      print the robots as JSON\n"
    "  --version   print the version\n"
    "  --help      this text\n"
    "\n"
    "Exit status: 0 when a search ran (even if it found no robot), 2 when no search\n"
    "took place, 1 on a bad command line.\n";

struct Options {
    bool json = false;
    bool help = false;
    bool version = false;
    std::string error;
};

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc && options.error.empty(); ++i) {
        const std::string argument = argv[i];
        if (argument == "--json") {
            options.json = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else {
            options.error = "unknown option " + argument;
        }
    }
    return options;
}

int Search(DISCOVERY_RESULT* records)
{
    std::optional<seekwell_discover::Countdown> countdown;
    if (isatty(STDERR_FILENO)) {
        countdown.emplace(stderr, std::chrono::milliseconds(SEEKWELL_SEARCH_WINDOW_MS), kCountdownTick);
    }
    return DiscoveryROVAByUPnP(records);
}

void FreeRecords(DISCOVERY_RESULT* records, int count)
{
    for (int i = 0; i < count; ++i) {
        std::free(records[i].pszName);
        std::free(records[i].pszAddress);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = ParseOptions(argc, argv);
    if (!options.error.empty()) {
        std::cerr << "seekwell-discover: " << options.error << "\n" << kUsage;
        return kExitUsage;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? kUsage : SEEKWELL_DISCOVER_VERSION "\n");
        return kExitSearched;
    }
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS] = {};
    const int count = Search(records);
    if (count == SEEKWELL_NO_SEARCH) {
        std::cerr << "seekwell-discover: no search took place\n";
        return kExitNoSearch;
    }
    if (options.json) {
        seekwell_discover::PrintJson(std::cout, records, count);
    } else {
        seekwell_discover::PrintTable(std::cout, records, count);
    }
    FreeRecords(records, count);
    return kExitSearched;
}
