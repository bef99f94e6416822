#include "command_checks.h"

#include <lan_text.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace seekwell_discover {

namespace {

constexpr unsigned int kMillisecondsPerSecond = 1000;
constexpr std::size_t kMostDecimals = 3;
// More digits than kMostSeconds has can only be too many.
constexpr std::size_t kMostWholeDigits = 7;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A value from the command line, shown as the terminal can take it, between quotes.
std::string Quoted(const std::string& value) { return "'" + lan_text::TerminalText(value.c_str()) + "'"; }

std::string ProbeLine(const std::string& probe, seekwell_target_reason reason)
{
    return "--probe " + Quoted(probe) + ": " + TargetReasonText(reason);
}

}  // namespace

std::optional<unsigned int> ReadSeconds(std::string_view text, unsigned int minimumMs)
{
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view decimals = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    const auto allDigits = [](std::string_view part) { return std::all_of(part.begin(), part.end(), IsDigit); };
    if (whole.empty() || whole.size() > kMostWholeDigits || !allDigits(whole) ||
        (point != std::string_view::npos && (decimals.empty() || decimals.size() > kMostDecimals)) ||
        !allDigits(decimals)) {
        return std::nullopt;
    }
    std::uint64_t milliseconds = 0;
    for (const char digit : whole) {
        milliseconds = milliseconds * 10 + static_cast<unsigned>(digit - '0');
    }
    milliseconds *= kMillisecondsPerSecond;
    std::uint64_t scale = kMillisecondsPerSecond;
    for (const char digit : decimals) {
        scale /= 10;
        milliseconds += static_cast<unsigned>(digit - '0') * scale;
    }
    if (milliseconds < minimumMs || milliseconds > std::uint64_t{kMostSeconds} * kMillisecondsPerSecond) {
        return std::nullopt;
    }
    return static_cast<unsigned int>(milliseconds);
}

std::string TargetReasonText(seekwell_target_reason reason)
{
    switch (reason) {
        case SEEKWELL_TARGET_ACCEPTED:
            return "taken";
        case SEEKWELL_TARGET_NOT_AN_ADDRESS:
            return "not an IPv4 address or CIDR range, such as 192.0.2.10 or 192.0.2.0/24";
        case SEEKWELL_TARGET_HOSTNAME:
            return "a hostname: names are not looked up, give the robot's IPv4 address";
        case SEEKWELL_TARGET_PREFIX_TOO_SHORT:
            return "a range wider than /" + std::to_string(SEEKWELL_MIN_TARGET_PREFIX) + ", which holds " +
                   std::to_string(SEEKWELL_MAX_TARGET_ADDRESSES) + " addresses";
        case SEEKWELL_TARGET_TOO_MANY_ADDRESSES:
            return "more than " + std::to_string(SEEKWELL_MAX_TARGET_ADDRESSES) +
                   " addresses with the entries before it";
        case SEEKWELL_TARGET_LOOPBACK:
            return "a loopback address: this host itself, never a robot";
        case SEEKWELL_TARGET_NOT_UNICAST:
            return "not a unicast address: multicast, broadcast, 0.0.0.0/8 or 240.0.0.0/4";
    }
    return "refused by the library (reason " + std::to_string(static_cast<int>(reason)) + ")";
}

std::vector<std::string> RefusedProbes(const std::vector<std::string>& probes)
{
    std::vector<std::pair<std::size_t, std::string>> refused;  // by the entry's place
    std::vector<const char*> taken;
    std::vector<std::size_t> takenAt;
    for (std::size_t i = 0; i < probes.size(); ++i) {
        const char* alone[] = {probes[i].c_str(), nullptr};
        seekwell_target_reason reason = SEEKWELL_TARGET_ACCEPTED;
        if (seekwell_check_targets(alone, nullptr, &reason) != 0) {
            refused.emplace_back(i, ProbeLine(probes[i], reason));
        } else {
            taken.push_back(probes[i].c_str());
            takenAt.push_back(i);
        }
    }
    taken.push_back(nullptr);
    std::size_t first = 0;
    seekwell_target_reason reason = SEEKWELL_TARGET_ACCEPTED;
    if (seekwell_check_targets(taken.data(), &first, &reason) != 0 && first < takenAt.size()) {
        refused.emplace_back(takenAt[first], ProbeLine(probes[takenAt[first]], reason));
    }
    std::stable_sort(refused.begin(), refused.end(),
                     [](const auto& one, const auto& other) { return one.first < other.first; });
    std::vector<std::string> lines;
    for (auto& [at, line] : refused) {
        lines.push_back(std::move(line));
    }
    return lines;
}

InterfaceKind JudgeInterface(const std::string& name)
{
    ifreq request{};
    if (name.size() >= sizeof request.ifr_name) {
        return InterfaceKind::Unknown;
    }
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return InterfaceKind::NotChecked;
    }
    const int result = ioctl(fd, SIOCGIFFLAGS, &request);
    const int error = errno;
    close(fd);
    if (result != 0) {
        return error == ENODEV ? InterfaceKind::Unknown : InterfaceKind::NotChecked;
    }
    return (request.ifr_flags & IFF_LOOPBACK) != 0 ? InterfaceKind::Loopback : InterfaceKind::Searchable;
}

std::vector<std::string> SearchableInterfaces()
{
    std::vector<std::string> names;
    struct if_nameindex* all = if_nameindex();
    if (all == nullptr) {
        return names;
    }
    for (const struct if_nameindex* each = all; each->if_index != 0; ++each) {
        if (JudgeInterface(each->if_name) == InterfaceKind::Searchable) {
            names.emplace_back(each->if_name);
        }
    }
    if_freenameindex(all);
    return names;
}

std::string InterfaceRefusal(const std::string& name, InterfaceKind kind, const std::vector<std::string>& searchable)
{
    std::string line = kind == InterfaceKind::Loopback
                           ? Quoted(name) + " is the loopback interface, where no robot answers"
                           : "no interface named " + Quoted(name);
    if (searchable.empty()) {
        return line + "; this host has none but loopback";
    }
    line += "; interfaces here:";
    for (std::size_t i = 0; i < searchable.size(); ++i) {
        line += (i == 0 ? " " : ", ") + lan_text::TerminalText(searchable[i].c_str());
    }
    return line;
}

}  // namespace seekwell_discover
