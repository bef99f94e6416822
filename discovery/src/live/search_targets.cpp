#include "live/search_targets.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string_view>

namespace seekwell::live {

namespace {

constexpr int kAddressBits = 32;
// Below /31 a range's first and last addresses name the network and its
// broadcast, not a device.
constexpr int kWidestWithoutEnds = 30;
// "255.255.255.255": anything longer is no dotted address.
constexpr std::size_t kLongestAddress = INET_ADDRSTRLEN - 1;
constexpr std::size_t kLongestHostname = 253;
constexpr std::size_t kLongestLabel = 63;

struct Block {
    std::uint32_t first = 0;  // host order
    int prefix = kAddressBits;
    std::uint64_t Size() const { return std::uint64_t{1} << (kAddressBits - prefix); }
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Labels of letters, digits and hyphens, none starting or ending with a
// hyphen, the last starting with a letter: "robot.local", "localhost". So
// "192.0.2.1x" reads as a mistyped address, not as a name.
bool IsHostname(std::string_view text)
{
    if (text.empty() || text.size() > kLongestHostname) {
        return false;
    }
    std::string_view label;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('.', start), text.size());
        label = text.substr(start, end - start);
        if (label.empty() || label.size() > kLongestLabel || label.front() == '-' || label.back() == '-' ||
            !std::all_of(label.begin(), label.end(), [](char c) { return IsLetter(c) || IsDigit(c) || c == '-'; })) {
            return false;
        }
        start = end + 1;
    }
    return IsLetter(label.front());
}

// inet_pton takes the four decimal parts alone: no names, no shorthand, no
// spaces around them.
bool ReadAddress(std::string_view text, std::uint32_t& host)
{
    if (text.size() > kLongestAddress) {
        return false;
    }
    char terminated[kLongestAddress + 1] = {};
    text.copy(terminated, text.size());
    in_addr address{};
    if (inet_pton(AF_INET, terminated, &address) != 1) {
        return false;
    }
    host = ntohl(address.s_addr);
    return true;
}

// One or two digits, 0 to 32; below SEEKWELL_MIN_TARGET_PREFIX too wide.
seekwell_target_reason ReadPrefix(std::string_view text, int& prefix)
{
    if (text.empty() || text.size() > 2 || !std::all_of(text.begin(), text.end(), IsDigit)) {
        return SEEKWELL_TARGET_NOT_AN_ADDRESS;
    }
    prefix = 0;
    for (const char digit : text) {
        prefix = prefix * 10 + (digit - '0');
    }
    if (prefix > kAddressBits) {
        return SEEKWELL_TARGET_NOT_AN_ADDRESS;
    }
    return prefix < SEEKWELL_MIN_TARGET_PREFIX ? SEEKWELL_TARGET_PREFIX_TOO_SHORT : SEEKWELL_TARGET_ACCEPTED;
}

seekwell_target_reason ReadBlock(std::string_view text, Block& block, bool& isRange)
{
    const std::size_t slash = text.find('/');
    isRange = slash != std::string_view::npos;
    const std::string_view addressText = text.substr(0, slash);
    std::uint32_t host = 0;
    if (!ReadAddress(addressText, host)) {
        return IsHostname(addressText) ? SEEKWELL_TARGET_HOSTNAME : SEEKWELL_TARGET_NOT_AN_ADDRESS;
    }
    block.prefix = kAddressBits;
    if (isRange) {
        if (const seekwell_target_reason reason = ReadPrefix(text.substr(slash + 1), block.prefix);
            reason != SEEKWELL_TARGET_ACCEPTED) {
            return reason;
        }
    }
    const std::uint32_t mask = ~std::uint32_t{0} << (kAddressBits - block.prefix);
    block.first = host & mask;
    return SEEKWELL_TARGET_ACCEPTED;
}

// 0.0.0.0/8 is "this network": no host can be reached at it.
seekwell_target_reason JudgeAddress(std::uint32_t host, bool loopbackDevices)
{
    if ((host >> IN_CLASSA_NSHIFT) == IN_LOOPBACKNET) {
        return loopbackDevices ? SEEKWELL_TARGET_ACCEPTED : SEEKWELL_TARGET_LOOPBACK;
    }
    const bool thisNetwork = (host >> IN_CLASSA_NSHIFT) == 0;
    const bool unicast = !thisNetwork && host != INADDR_BROADCAST && !IN_MULTICAST(host) && !IN_EXPERIMENTAL(host);
    return unicast ? SEEKWELL_TARGET_ACCEPTED : SEEKWELL_TARGET_NOT_UNICAST;
}

// Judges the list and, when read is given, adds each address it names there.
TargetVerdict Walk(const char* const* list, bool loopbackDevices, SearchTargets* read)
{
    TargetVerdict verdict;
    std::uint64_t total = 0;
    for (; list != nullptr && list[verdict.index] != nullptr; ++verdict.index) {
        Block block;
        bool isRange = false;
        verdict.reason = ReadBlock(list[verdict.index], block, isRange);
        if (verdict.reason != SEEKWELL_TARGET_ACCEPTED) {
            return verdict;
        }
        total += block.Size();
        if (total > SEEKWELL_MAX_TARGET_ADDRESSES) {
            verdict.reason = SEEKWELL_TARGET_TOO_MANY_ADDRESSES;
            return verdict;
        }
        const bool skipEnds = block.prefix <= kWidestWithoutEnds;
        for (std::uint64_t i = skipEnds ? 1 : 0; i < block.Size() - (skipEnds ? 1 : 0); ++i) {
            const auto host = static_cast<std::uint32_t>(block.first + i);
            verdict.reason = JudgeAddress(host, loopbackDevices);
            if (verdict.reason != SEEKWELL_TARGET_ACCEPTED) {
                return verdict;
            }
            if (read != nullptr) {
                (isRange ? read->swept : read->asked).push_back(htonl(host));
            }
        }
    }
    return verdict;
}

// In address order, so a sweep goes from the first address of a range to its last.
bool Before(in_addr_t one, in_addr_t other) { return ntohl(one) < ntohl(other); }

void SortUnique(std::vector<in_addr_t>& addresses)
{
    std::sort(addresses.begin(), addresses.end(), Before);
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
}

}  // namespace

bool SearchTargets::Holds(in_addr address) const
{
    return std::binary_search(asked.begin(), asked.end(), address.s_addr, Before) ||
           std::binary_search(swept.begin(), swept.end(), address.s_addr, Before);
}

TargetVerdict CheckTargets(const char* const* list, bool loopbackDevices)
{
    return Walk(list, loopbackDevices, nullptr);
}

int ReadTargets(const char* const* list, bool loopbackDevices, SearchTargets& targets)
{
    SearchTargets read;
    if (Walk(list, loopbackDevices, &read).reason != SEEKWELL_TARGET_ACCEPTED) {
        return EINVAL;
    }
    SortUnique(read.asked);
    SortUnique(read.swept);
    targets = std::move(read);
    return 0;
}

}  // namespace seekwell::live
