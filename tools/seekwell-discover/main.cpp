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
#include "live_run.h"
#include "multicast_route.h"

namespace {

const char kProgram[] = "seekwell-discover";
// Where a search sends its request; without a route there, no robot can hear it.
const char kSearchGroup[] = "239.255.255.250";
constexpr std::uint16_t kSearchPort = 1900;
constexpr std::chrono::seconds kCountdownTick{1};

const char kUsage[] =
    "Usage: seekwell-discover [--json] [--live] [--explain] [--interface IF] [--watch]\n"
    "Searches the local network for robots (this takes at least 10 seconds) and prints\n"
    "each one's index, name and address.\n"
    "\n"
    "  --json           print the robots as JSON (one object per line when live)\n"
    "  --live           print each robot the moment it answers\n"
    "  --explain        live, and also say which responders were left out and why,\n"
    "                   and which way the blocking call would search\n"
    "  --interface IF   live, searching on the interface IF only\n"
    "  --watch          live with no end: robots coming and going until Ctrl-C\n"
    "  --version        print the version\n"
    "  --help           this text\n"
    "\n"
    "Exit status: 0 when a search ran (even if it found no robot), 1 on a bad command\n"
    "line or an unknown interface, 2 when no search took place, 3 when there is no\n"
    "route to the multicast group 239.255.255.250 (no search is made).\n";

const char kNoRouteWarning[] =
    "warning: no route to the multicast group 239.255.255.250, so no robot can hear a search; "
    "add a default route or one for multicast, e.g. 'ip route add 224.0.0.0/4 dev IFACE'";

const char kInterfaceOption[] = "--interface";

struct Options {
    bool json = false;
    bool live = false;
    bool watch = false;
    bool explain = false;
    std::optional<std::string> interfaceName;
    bool help = false;
    bool version = false;
    std::string error;
};

// Sets a flag option; false for an argument that is not one.
bool ReadFlag(const std::string& argument, Options& options)
{
    const struct {
        const char* name;
        bool Options::*flag;
    } kFlags[] = {
        {"--json", &Options::json},       {"--live", &Options::live}, {"--watch", &Options::watch},
        {"--explain", &Options::explain}, {"--help", &Options::help}, {"-h", &Options::help},
        {"--version", &Options::version},
    };
    for (const auto& entry : kFlags) {
        if (argument == entry.name) {
            options.*entry.flag = true;
            return true;
        }
    }
    return false;
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    const std::string interfacePrefix = std::string(kInterfaceOption) + "=";
    for (int i = 1; i < argc && options.error.empty(); ++i) {
        const std::string argument = argv[i];
        if (ReadFlag(argument, options)) {
            continue;
        }
        if (argument == kInterfaceOption) {
            if (i + 1 < argc) {
                options.interfaceName = argv[++i];
            } else {
                options.error = "option '--interface' needs an interface name";
            }
        } else if (argument.rfind(interfacePrefix, 0) == 0) {
            options.interfaceName = argument.substr(interfacePrefix.size());
        } else {
            options.error = "unknown option '" + argument + "'";
        }
    }
    if (options.error.empty() && options.interfaceName && options.interfaceName->empty()) {
        options.error = "option '--interface' needs an interface name";
    }
    return options;
}

// Every option that asks for more than the blocking call can tell runs the live search.
bool IsLive(const Options& options)
{
    return options.live || options.watch || options.explain || options.interfaceName;
}

int RunLive(const Options& options)
{
    seekwell_discover::LiveRequest request;
    request.windowMs = options.watch ? 0 : SEEKWELL_SEARCH_WINDOW_MS;
    request.interfaceName = options.interfaceName.value_or("");
    request.explain = options.explain;
    request.format = options.json ? seekwell_discover::LiveFormat::Json : seekwell_discover::LiveFormat::Text;
    return seekwell_discover::RunLiveSearch(kProgram, request, std::cout);
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
    // A search on a named interface leaves by it and needs no route.
    if (!options.interfaceName &&
        seekwell_discover::MulticastRouteState(kSearchGroup, kSearchPort) == seekwell_discover::RouteState::NoRoute) {
        tool_cli::PrintError(kProgram, kNoRouteWarning);
        if (!IsLive(options)) {
            PrintRecords(options, records, 0);
        }
        return tool_cli::kExitNoNetwork;
    }
    if (IsLive(options)) {
        return RunLive(options);
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
