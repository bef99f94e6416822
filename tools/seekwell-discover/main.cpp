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
#include <utility>
#include <vector>

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
    "Usage: seekwell-discover [--json] [--live] [--explain] [--interface IF] [--probe ADDRESS|RANGE]\n"
    "                         [--watch]\n"
    "Searches the local network for robots (this takes at least 10 seconds) and prints\n"
    "each one's index, name and address.\n"
    "\n"
    "  --json           print the robots as JSON (one object per line when live)\n"
    "  --live           print each robot the moment it answers\n"
    "  --explain        live, and also say which responders were left out and why,\n"
    "                   and which way the blocking call would search\n"
    "  --interface IF   live, searching on the interface IF only\n"
    "  --probe ADDRESS|RANGE  also ask this robot address, or sweep this CIDR range (repeatable; implies --live)\n"
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
const char kProbeOption[] = "--probe";

struct Options {
    bool json = false;
    bool live = false;
    bool watch = false;
    bool explain = false;
    std::optional<std::string> interfaceName;
    std::vector<std::string> probes;
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

// An option with a value, as "--name VALUE" or "--name=VALUE": the value, or
// none when argument is not that option. i moves past a separate value; an
// empty one sets error to say what the option needs.
std::optional<std::string> ReadValue(const char* name, const char* needs, int argc, char** argv, int& i,
                                     std::string& error)
{
    const std::string argument = argv[i];
    const std::string prefix = std::string(name) + "=";
    std::optional<std::string> value;
    if (argument == name && i + 1 < argc) {
        value = argv[++i];
    } else if (argument == name) {
        value = std::string();
    } else if (argument.rfind(prefix, 0) == 0) {
        value = argument.substr(prefix.size());
    }
    if (value && value->empty()) {
        error = std::string("option '") + name + "' needs " + needs;
    }
    return value;
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc && options.error.empty(); ++i) {
        if (ReadFlag(argv[i], options)) {
            continue;
        }
        if (auto name = ReadValue(kInterfaceOption, "an interface name", argc, argv, i, options.error)) {
            options.interfaceName = std::move(name);
        } else if (auto probe = ReadValue(kProbeOption, "an address or a range", argc, argv, i, options.error)) {
            options.probes.push_back(std::move(*probe));
        } else {
            options.error = std::string("unknown option '") + argv[i] + "'";
        }
    }
    return options;
}

// Every option that asks for more than the blocking call can tell runs the live search.
bool IsLive(const Options& options)
{
    return options.live || options.watch || options.explain || options.interfaceName || !options.probes.empty();
}

int RunLive(const Options& options)
{
    seekwell_discover::LiveRequest request;
    request.windowMs = options.watch ? 0 : SEEKWELL_SEARCH_WINDOW_MS;
    request.interfaceName = options.interfaceName.value_or("");
    request.explain = options.explain;
    request.targets = options.probes;
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
    // The live search sets the interface of each of its sockets, so it needs no route; the blocking
    // call sends by route only.
    if (IsLive(options)) {
        return RunLive(options);
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
