// What seekwell-discover checks of its command line before anything is sent: the seconds of
// --window and --period, the entries of --probe and the interface of --interface, each refusal
// worded for the user. python3 -m seekwell words them alike.
#ifndef SEEKWELL_DISCOVER_COMMAND_CHECKS_H
#define SEEKWELL_DISCOVER_COMMAND_CHECKS_H

#include <seekwell/seekwell.h>

#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace seekwell_discover {

// The most seconds --window and --period take: the library counts milliseconds in an unsigned int.
constexpr unsigned int kMostSeconds = UINT_MAX / 1000;

// "30", "2.5", "0.25": digits, then at most three decimals after a point, read to the millisecond;
// none for any other text or a value below minimumMs or above kMostSeconds.
std::optional<unsigned int> ReadSeconds(std::string_view text, unsigned int minimumMs);

// A target refusal in words, as the error line after the entry gives it.
std::string TargetReasonText(seekwell_target_reason reason);

// One line for each entry of --probe the library would refuse, in their order:
// "--probe 'robot.local': a hostname, ...". An entry is judged alone, and the entries taken are
// then counted together, so that every mistake shows at once. Empty when the search takes them.
std::vector<std::string> RefusedProbes(const std::vector<std::string>& probes);

enum class InterfaceKind {
    Searchable,
    Loopback,   // this host itself: no robot answers there
    Unknown,    // no interface has the name
    NotChecked  // the lookup itself failed: the search decides
};

InterfaceKind JudgeInterface(const std::string& name);

// The interfaces a search could name, loopback left out, in the kernel's order.
std::vector<std::string> SearchableInterfaces();

// The error line for an interface that cannot be searched, with the ones that can.
std::string InterfaceRefusal(const std::string& name, InterfaceKind kind, const std::vector<std::string>& searchable);

}  // namespace seekwell_discover

#endif  // SEEKWELL_DISCOVER_COMMAND_CHECKS_H
