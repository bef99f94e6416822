// seekwell-discover: runs one robot search on the local network and prints what it found.
#include <seekwell/seekwell.h>
#include <tool_cli.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "command_checks.h"
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

// At most 80 columns a line, also with python3 -m seekwell's longer name in the first.
const char kUsage[] =
    "Usage: seekwell-discover [--json] [--live] [--explain] [--interface IF]\n"
    "                         [--probe ADDRESS|RANGE]... [--window SECONDS]\n"
    "                         [--watch] [--period SECONDS]\n"
    "Searches the local network for robots (this takes at least 10 seconds) and\n"
    "prints each one's index, name and address.\n"
    "\n"
    "  --json              print the robots as JSON (one object per line when live)\n"
    "  --live              print each robot the moment it answers\n"
    "  --explain           live, and also say which responders were left out and\n"
    "                      why, and which way the blocking call would search\n"
    "  --interface IF      live, searching on the interface IF only\n"
    "  --probe ADDRESS|RANGE\n"
    "                      live, and also ask the robot at this IPv4 address, or\n"
    "                      sweep this CIDR range (/20 to /32); repeatable, 4096\n"
    "                      addresses in all\n"
    "  --window SECONDS    live, for SECONDS instead of 10 (0.001 to 4294967)\n"
    "  --watch             live with no end: robots coming and going until Ctrl-C\n"
    "  --period SECONDS    live, searching every SECONDS, not 15 (0.2 to 4294967)\n"
    "  --version           print the version\n"
    "  --help              this text\n"
    "\n"
    "Exit status: 0 when a search ran (even if it found no robot), 1 on a bad\n"
    "command line, 2 when no search took place, 3 when the blocking call would\n"
    "search by itself and there is no route to the multicast group\n"
    "239.255.255.250 (no search is made).\n";

const char kNoRouteWarning[] =
    "warning: no route to the multicast group 239.255.255.250, so the blocking call's built-in search "
    "cannot reach a robot; add a default route or one for multicast, e.g. "
    "'ip route add 224.0.0.0/4 dev IFACE', or search with --live, which needs none";

const char kInterfaceOption[] = "--interface";
const char kProbeOption[] = "--probe";
const char kWindowOption[] = "--window";
const char kPeriodOption[] = "--period";
// The shortest window: a millisecond, since 0 would mean no end (--watch).
constexpr unsigned int kShortestWindowMs = 1;

struct Options {
    bool json = false;
    bool live = false;
    bool watch = false;
    bool explain = false;
    std::optional<std::string> interfaceName;
    std::vector<std::string> probes;
    std::optional<unsigned int> windowMs;
    std::optional<unsigned int> periodMs;
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

// The seconds an option gives, to the millisecond; error says what it takes when they are not.
std::optional<unsigned int> ReadSecondsOption(const char* name, const std::string& text, unsigned int minimumMs,
                                              const char* bounds, std::string& error)
{
    const std::optional<unsigned int> milliseconds = seekwell_discover::ReadSeconds(text, minimumMs);
    if (!milliseconds && error.empty()) {
        error = std::string("option '") + name + "' takes " + bounds;
    }
    return milliseconds;
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    const std::string windowBounds = "seconds from 0.001 to " + std::to_string(seekwell_discover::kMostSeconds) +
                                     ", such as 30 or 2.5 (no end: --watch)";
    const std::string periodBounds =
        "seconds from 0.2 to " + std::to_string(seekwell_discover::kMostSeconds) + ", such as 15 or 0.5";
    for (int i = 1; i < argc && options.error.empty(); ++i) {
        if (ReadFlag(argv[i], options)) {
            continue;
        }
        if (auto name = ReadValue(kInterfaceOption, "an interface name", argc, argv, i, options.error)) {
            options.interfaceName = std::move(name);
        } else if (auto probe = ReadValue(kProbeOption, "an address or a range", argc, argv, i, options.error)) {
            options.probes.push_back(std::move(*probe));
        } else if (auto window = ReadValue(kWindowOption, "seconds", argc, argv, i, options.error)) {
            options.windowMs =
                ReadSecondsOption(kWindowOption, *window, kShortestWindowMs, windowBounds.c_str(), options.error);
        } else if (auto period = ReadValue(kPeriodOption, "seconds", argc, argv, i, options.error)) {
            options.periodMs = ReadSecondsOption(kPeriodOption, *period, SEEKWELL_MIN_SEARCH_PERIOD_MS,
                                                 periodBounds.c_str(), options.error);
        } else {
            options.error = std::string("unknown option '") + argv[i] + "'";
        }
    }
    if (options.error.empty() && options.windowMs && options.watch) {
        options.error = "options '--window' and '--watch' exclude each other: a watch has no end";
    }
    return options;
}

// Every option that asks for more than the blocking call can tell runs the live search.
bool IsLive(const Options& options)
{
    return options.live || options.watch || options.explain || options.interfaceName || !options.probes.empty() ||
           options.windowMs || options.periodMs;
}

// What the library would refuse, said before anything starts: each refused --probe entry, or an
// interface that is loopback or not there, with those that are.
std::optional<int> RefuseCommandLine(const Options& options)
{
    const std::vector<std::string> refused = seekwell_discover::RefusedProbes(options.probes);
    if (!refused.empty()) {
        for (std::size_t i = 0; i + 1 < refused.size(); ++i) {
            tool_cli::PrintError(kProgram, refused[i]);
        }
        return tool_cli::PrintUsageError(kProgram, refused.back());
    }
    if (!options.interfaceName) {
        return std::nullopt;
    }
    const seekwell_discover::InterfaceKind kind = seekwell_discover::JudgeInterface(*options.interfaceName);
    if (kind != seekwell_discover::InterfaceKind::Loopback && kind != seekwell_discover::InterfaceKind::Unknown) {
        return std::nullopt;
    }
    return tool_cli::PrintUsageError(
        kProgram,
        seekwell_discover::InterfaceRefusal(*options.interfaceName, kind, seekwell_discover::SearchableInterfaces()));
}

int RunLive(const Options& options)
{
    if (const std::optional<int> refused = RefuseCommandLine(options)) {
        return *refused;
    }
    seekwell_discover::LiveRequest request;
    request.windowMs = options.watch ? 0 : options.windowMs.value_or(SEEKWELL_SEARCH_WINDOW_MS);
    request.periodMs = options.periodMs.value_or(0);
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
        seekwell_discover::UseLocaleForWidths();
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

// Only the blocking call's built-in search sends by route; the finder helper and the live search
// set the interface of each socket themselves.
bool BuiltInSearchHasNoRoute()
{
    return seekwell_discover::MulticastRouteState(kSearchGroup, kSearchPort) ==
               seekwell_discover::RouteState::NoRoute &&
           seekwell_blocking_search_path() == SEEKWELL_PATH_BUILT_IN;
}

}  // namespace

int main(int argc, char** argv)
{
    // LAN text goes out as the terminal's character set can show it (lan_text::TerminalText).
    std::setlocale(LC_CTYPE, "");
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
    if (IsLive(options)) {
        return RunLive(options);
    }
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS] = {};
    if (BuiltInSearchHasNoRoute()) {
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
