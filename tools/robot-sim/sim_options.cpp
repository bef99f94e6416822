#include "sim_options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>

namespace robotsim {
namespace {

constexpr int kMaxDurationSeconds = 24 * 60 * 60;
constexpr int kMaxAnnounceEverySeconds = 60 * 60;
constexpr int kMillisecondsPerSecond = 1000;
// Faster would make the announcements a flood, which is the forger's work.
constexpr int kMinAnnounceEveryMs = 10;
constexpr int kMaxAnnounceEveryMs = kMaxAnnounceEverySeconds * kMillisecondsPerSecond;
// A UDN stays one short header line.
constexpr std::size_t kMaxUdnBytes = 255;
// BOOTID.UPNP.ORG is a 31-bit number.
constexpr int kMaxBootId = 0x7fffffff;
constexpr std::size_t kMaxCountDigits = 10;
// Width of the fault kinds' column in --help: their descriptions line up with the options' ones.
constexpr std::size_t kKindColumn = 22;

struct FaultKind {
    DeviceFault fault;
    const char* name;
    const char* description;
};

constexpr FaultKind kFaultKinds[] = {
#define ROBOT_SIM_FAULT(enumerator, kind, description) {DeviceFault::enumerator, kind, description},
#include "fault_kinds.def"
#undef ROBOT_SIM_FAULT
};

std::optional<DeviceFault> FaultNamed(const std::string& name)
{
    for (const FaultKind& kind : kFaultKinds) {
        if (name == kind.name) {
            return kind.fault;
        }
    }
    return std::nullopt;
}

std::optional<int> ParseCount(const std::string& text, int low, int high)
{
    if (text.empty() || text.size() > kMaxCountDigits || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const long long value = std::stoll(text);
    if (value < low || value > high) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// "K:kind", robot K counted from 1.
bool ParseFault(const std::string& text, SimConfig& config)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    const auto robot = ParseCount(text.substr(0, colon), 1, kMaxDevices);
    const auto fault = FaultNamed(text.substr(colon + 1));
    if (!robot || !fault) {
        return false;
    }
    config.robotFaults[*robot] = *fault;
    return true;
}

// "K:TEXT": TEXT as it will be written, so nothing that would end its header line.
bool ParseUdn(const std::string& text, SimConfig& config)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    const auto robot = ParseCount(text.substr(0, colon), 1, kMaxDevices);
    const std::string udn = text.substr(colon + 1);
    if (!robot || udn.empty() || udn.size() > kMaxUdnBytes ||
        udn.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        return false;
    }
    config.robotUdns[*robot] = udn;
    return true;
}

// What a name's TEXT means: \xNN (two hex digits) is that byte, \\ a backslash, any other byte
// itself. Any other backslash is a mistake, told rather than sent as a name; so is a NUL, which
// the C strings of a client's records would cut the name at.
std::optional<std::string> Unescape(const std::string& text, std::string* problem)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
        } else if (text.compare(i, 2, "\\\\") == 0) {
            bytes += '\\';
            ++i;
        } else if (text.compare(i, 2, "\\x") == 0 && i + 4 <= text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            *problem = "'" + text.substr(i, 4) + "' is no escape: \\xNN (two hex digits) or \\\\";
            return std::nullopt;
        }
    }
    if (bytes.find('\0') != std::string::npos) {
        *problem = "a name cannot hold a NUL byte";
        return std::nullopt;
    }
    return bytes;
}

// Why TEXT of "K:TEXT" is no name, or nothing when it is one.
std::string NameProblem(const std::string& text)
{
    std::string problem;
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos) {
        Unescape(text.substr(colon + 1), &problem);
    }
    return problem;
}

// "K:TEXT", TEXT escaped as Unescape reads it; it may be empty.
bool ParseName(const std::string& text, SimConfig& config)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    const auto robot = ParseCount(text.substr(0, colon), 1, kMaxDevices);
    std::string problem;
    const auto name = Unescape(text.substr(colon + 1), &problem);
    if (!robot || !name) {
        return false;
    }
    config.robotNames[*robot] = *name;
    return true;
}

// A value given to robot K when there are fewer robots would leave the test that gave it looking
// for it in vain.
std::string BeyondTheRobots(const char* option, const std::map<int, std::string>& values, int robots)
{
    if (values.empty() || values.rbegin()->first <= robots) {
        return std::string();
    }
    return std::string(option) + " names robot " + std::to_string(values.rbegin()->first) + ", beyond --robots " +
           std::to_string(robots);
}

bool TunesAnnouncements(const std::string& option)
{
    return option == "--announce-every" || option == "--announce-every-ms" || option == "--boot-id";
}

bool NamesAFault(const SimConfig& config, DeviceFault fault)
{
    return std::any_of(config.robotFaults.begin(), config.robotFaults.end(),
                       [fault](const auto& entry) { return entry.second == fault; });
}

bool ParsePort(const std::string& text, std::uint16_t& port)
{
    const auto value = ParseCount(text, 0, 65535);
    if (value) {
        port = static_cast<std::uint16_t>(*value);
    }
    return value.has_value();
}

bool AssignText(const std::string& text, std::string& target)
{
    target = text;
    return !text.empty();
}

bool AssignCount(const std::string& text, int low, int high, int& target)
{
    const auto value = ParseCount(text, low, high);
    if (value) {
        target = *value;
    }
    return value.has_value();
}

using ValueHandler = std::function<bool(const std::string&, SimConfig&)>;

const std::map<std::string, ValueHandler>& ValueOptions()
{
    static const std::map<std::string, ValueHandler> options = {
        {"--robots", [](const std::string& v, SimConfig& c) { return AssignCount(v, 0, kMaxDevices, c.robotCount); }},
        {"--others", [](const std::string& v, SimConfig& c) { return AssignCount(v, 0, kMaxDevices, c.otherCount); }},
        {"--first-address",
         [](const std::string& v, SimConfig& c) { return inet_pton(AF_INET, v.c_str(), &c.firstAddress) == 1; }},
        {"--interface", [](const std::string& v, SimConfig& c) { return AssignText(v, c.interfaceName); }},
        {"--fault", ParseFault},
        {"--udn", ParseUdn},
        {"--name", ParseName},
        {"--log", [](const std::string& v, SimConfig& c) { return AssignText(v, c.logPath); }},
        {"--ready-file", [](const std::string& v, SimConfig& c) { return AssignText(v, c.readyPath); }},
        {"--duration",
         [](const std::string& v, SimConfig& c) { return AssignCount(v, 1, kMaxDurationSeconds, c.durationSeconds); }},
        {"--ssdp-port", [](const std::string& v, SimConfig& c) { return ParsePort(v, c.ssdpPort); }},
        {"--http-port", [](const std::string& v, SimConfig& c) { return ParsePort(v, c.httpPort); }},
        {"--announce-every",
         [](const std::string& v, SimConfig& c) {
             int seconds = 0;
             if (!AssignCount(v, 1, kMaxAnnounceEverySeconds, seconds)) {
                 return false;
             }
             c.announceEveryMs = seconds * kMillisecondsPerSecond;
             return true;
         }},
        {"--announce-every-ms",
         [](const std::string& v, SimConfig& c) {
             return AssignCount(v, kMinAnnounceEveryMs, kMaxAnnounceEveryMs, c.announceEveryMs);
         }},
        {"--boot-id", [](const std::string& v, SimConfig& c) { return AssignCount(v, 0, kMaxBootId, c.bootId); }},
    };
    return options;
}

SimConfig DefaultConfig()
{
    SimConfig config;
    inet_pton(AF_INET, kDefaultFirstAddress, &config.firstAddress);
    return config;
}

std::string PadRight(const std::string& text, std::size_t width)
{
    return text + std::string(width > text.size() ? width - text.size() : 1, ' ');
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& arguments)
{
    ParsedOptions parsed;
    parsed.config = DefaultConfig();
    bool announcementsTuned = false;
    std::set<std::string> periodsGiven;
    for (std::size_t i = 0; i < arguments.size() && parsed.error.empty(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--announce") {
            parsed.config.announce = true;
            continue;
        }
        if (name == "--help" || name == "-h") {
            parsed.showHelp = true;
            continue;
        }
        if (name == "--version") {
            parsed.showVersion = true;
            continue;
        }
        const auto option = ValueOptions().find(name);
        if (option == ValueOptions().end()) {
            parsed.error = "unknown option '" + name + "'";
        } else if (i + 1 == arguments.size()) {
            parsed.error = name + " needs a value";
        } else if (!option->second(arguments[++i], parsed.config)) {
            parsed.error = "bad value for " + name + ": " + arguments[i];
            const std::string problem = name == "--name" ? NameProblem(arguments[i]) : std::string();
            parsed.error += problem.empty() ? "" : " (" + problem + ")";
        }
        announcementsTuned = announcementsTuned || TunesAnnouncements(name);
        if (name == "--announce-every" || name == "--announce-every-ms") {
            periodsGiven.insert(name);
        }
    }
    // Silently announcing nothing would leave a test waiting for announcements in vain.
    if (parsed.error.empty() && announcementsTuned && !parsed.config.announce) {
        parsed.error = "--announce-every, --announce-every-ms and --boot-id need --announce";
    }
    if (parsed.error.empty() && periodsGiven.size() > 1) {
        parsed.error = "--announce-every and --announce-every-ms exclude each other";
    }
    if (parsed.error.empty()) {
        parsed.error = BeyondTheRobots("--udn", parsed.config.robotUdns, parsed.config.robotCount);
    }
    if (parsed.error.empty()) {
        parsed.error = BeyondTheRobots("--name", parsed.config.robotNames, parsed.config.robotCount);
    }
    const int devices = parsed.config.robotCount + parsed.config.otherCount;
    if (parsed.error.empty() && devices > kMaxDevices) {
        parsed.error = "at most " + std::to_string(kMaxDevices) + " devices";
    }
    // Consecutive addresses must not wrap around past 255.255.255.255.
    if (parsed.error.empty() && devices > 0 &&
        ntohl(parsed.config.firstAddress.s_addr) > UINT32_MAX - static_cast<std::uint32_t>(devices - 1)) {
        parsed.error = "--first-address leaves no room for " + std::to_string(devices) + " devices";
    }
    // A lone device's next device is itself, which would make the fault no fault.
    if (parsed.error.empty() && devices < 2 && NamesAFault(parsed.config, DeviceFault::LocationOtherDevice)) {
        parsed.error = "location-other-device needs a second device";
    }
    // Joining the SSDP group where the kernel likes would reach whatever LAN the machine is on.
    if (parsed.error.empty() && !parsed.showHelp && !parsed.showVersion && parsed.config.interfaceName.empty()) {
        parsed.error =
            "--interface IF is required: name the interface (e.g. a veth in a private network "
            "namespace) on which to join the SSDP group";
    }
    return parsed;
}

std::string UsageText()
{
    std::string usage =
        "Usage: seekwell-robot-sim [options]\n"
        "Answers SSDP searches like one or many robots, each at its own IPv4 address,\n"
        "and serves their device descriptions over HTTP. The addresses must already be\n"
        "on an interface. Meant for a private network namespace.\n"
        "A search sent to 239.255.255.250 is answered by every device, one sent to a\n"
        "device's own address by that device alone, any other (a broadcast) by none;\n"
        "each device answers at once, whatever MX the search names. At most 1024\n"
        "devices in all; several simulators may share a host on addresses of their own.\n"
        "\n"
        "  --robots N            robots to simulate (default 1)\n"
        "  --others M            other UPnP devices, without the robot marker (default 0)\n"
        "  --first-address A     address of robot 1; the others follow (default 192.0.2.10)\n"
        "  --interface IF        interface on which to join 239.255.255.250 (required)\n"
        "  --fault K:KIND        make robot K (from 1) misbehave; KIND is one of the fault\n"
        "                        kinds below\n"
        "  --udn K:TEXT          robot K (from 1) shows TEXT, as given, as its UDN: in its\n"
        "                        description and in the USN of its replies and\n"
        "                        announcements; robots may share one (1-255 bytes, no\n"
        "                        CR, LF or NUL)\n"
        "  --name K:TEXT         robot K (from 1) is called TEXT, XML-escaped in its\n"
        "                        description; \\xNN (two hex digits) in TEXT gives that\n"
        "                        byte, \\\\ a backslash, and any other backslash is an\n"
        "                        error; no NUL\n"
        "  --announce            announce every device that answers searches with SSDP\n"
        "                        NOTIFY to 239.255.255.250:1900 from its own address:\n"
        "                        ssdp:alive 3 times at the start, then periodically;\n"
        "                        ssdp:byebye at SIGTERM, SIGINT or the end of --duration\n"
        "  --announce-every S    seconds between periodic ssdp:alives (1-3600, default 30)\n"
        "  --announce-every-ms MS\n"
        "                        the same in milliseconds (10-3600000), in place of\n"
        "                        --announce-every\n"
        "  --boot-id N           BOOTID.UPNP.ORG of the announcements (default 1)\n"
        "  --log FILE            append one line per request received and per\n"
        "                        announcement sent\n"
        "  --ready-file FILE     write FILE once every socket is open\n"
        "  --duration S          stop after S seconds (default: at SIGTERM or SIGINT)\n"
        "  --ssdp-port P         SSDP port (default 1900)\n"
        "  --http-port P         HTTP port of every device (default 80)\n"
        "  --help                this text\n"
        "  --version             print the version\n"
        "\n"
        "Fault kinds:\n";
    for (const FaultKind& kind : kFaultKinds) {
        usage += "  " + PadRight(kind.name, kKindColumn) + kind.description + "\n";
    }
    return usage +
           "\n"
           "Exit status: 0 after a run, 1 on a bad command line, 2 when the simulator could\n"
           "not start (e.g. an address or port in use).\n";
}

}  // namespace robotsim
