// seekwell-discover: runs one robot search on the local network and prints what it found.
#include <seekwell/seekwell.h>
#include <tool_cli.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "countdown.h"
#include "discover_output.h"
#include "multicast_route.h"

namespace {

const char kProgram[] = "seekwell-discover";
// Where a search sends its request; without a route there, no robot can hear it.
const char kSearchGroup[] = "239.255.255.250";
constexpr std::uint16_t kSearchPort = 1900;
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
    "Exit status: 0 when a search ran (even if it found no robot), 1 on a bad command\n"
    "line, 2 when no search took place, 3 when there is no route to the multicast\n"
    "group 239.255.255.250 (no search is made).\n";

const char kNoRouteWarning[] =
    "warning: no route to the multicast group 239.255.255.250, so no robot can hear a search; "
    "add a default route or one for multicast, e.g. 'ip route add 224.0.0.0/4 dev IFACE'";

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
            options.error = "unknown option '" + argument + "'";
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

void PrintRecords(const Options& options, const DISCOVERY_RESULT* records, int count)
{
    if (!options.json) {
        seekwell_discover::PrintTable(std::cout, records, count);
        return;
    }
    seekwell_discover::PrintJson(std::cout, records, count);
    if (count == SEEKWELL_MAX_RESULTS) {
        tool_cli::PrintError(kProgram, seekwell_discover::kMostRobotsNote);
    }
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
        return tool_cli::PrintUsageError(kProgram, options.error);
    }
    if (options.help) {
        std::cout << kUsage;
        return tool_cli::kExitSuccess;
    }
    if (options.version) {
        return tool_cli::PrintVersion(kProgram);
    }
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS] = {};
    if (seekwell_discover::MulticastRouteState(kSearchGroup, kSearchPort) == seekwell_discover::RouteState::NoRoute) {
        tool_cli::PrintError(kProgram, kNoRouteWarning);
        PrintRecords(options, records, 0);
        return tool_cli::kExitNoNetwork;
    }
    const int count = Search(records);
    if (count == SEEKWELL_NO_SEARCH) {
        tool_cli::PrintError(kProgram, "no search took place");
        return tool_cli::kExitFailure;
    }
    PrintRecords(options, records, count);
    FreeRecords(records, count);
    return tool_cli::kExitSuccess;
}
