#include "live/search_targets.h"

#include <arpa/inet.h>
#include <seekwell/seekwell.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace seekwell::live {

namespace {

constexpr int kAddressBits = 32;
// Below /31 a range's first and last addresses name the network and its
// broadcast, not a device.
constexpr int kWidestWithoutEnds = 30;

struct Block {
    std::uint32_t first = 0;  // host order
    int prefix = kAddressBits;
    std::uint64_t Size() const { return std::uint64_t{1} << (kAddressBits - prefix); }
};

// 0.0.0.0/8 is "this network": no host can be reached at it.
bool IsUnicast(std::uint32_t host, bool loopbackDevices)
{
    const bool loopback = (host >> IN_CLASSA_NSHIFT) == IN_LOOPBACKNET;
    const bool thisNetwork = (host >> IN_CLASSA_NSHIFT) == 0;
    return !thisNetwork && host != INADDR_BROADCAST && !IN_MULTICAST(host) && !IN_EXPERIMENTAL(host) &&
           (!loopback || loopbackDevices);
}

// "20" to "32", digits only.
std::optional<int> ReadPrefix(const char* text)
{
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > 2 || !std::all_of(text, text + length, [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const int prefix = std::atoi(text);
    if (prefix < SEEKWELL_MIN_TARGET_PREFIX || prefix > kAddressBits) {
        return std::nullopt;
    }
    return prefix;
}

std::optional<Block> ReadBlock(const char* text, bool& isRange)
{
    const char* slash = std::strchr(text, '/');
    isRange = slash != nullptr;
    const std::string addressText = isRange ? std::string(text, slash) : std::string(text);
    in_addr address{};
    // inet_pton takes the four decimal parts alone: no hostnames, no shorthand.
    if (inet_pton(AF_INET, addressText.c_str(), &address) != 1) {
        return std::nullopt;
    }
    Block block;
    if (isRange) {
        const std::optional<int> prefix = ReadPrefix(slash + 1);
        if (!prefix) {
            return std::nullopt;
        }
        block.prefix = *prefix;
    }
    const std::uint32_t mask = block.prefix == 0 ? 0 : ~std::uint32_t{0} << (kAddressBits - block.prefix);
    block.first = ntohl(address.s_addr) & mask;
    return block;
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

int ReadTargets(const char* const* list, bool loopbackDevices, SearchTargets& targets)
{
    SearchTargets read;
    std::uint64_t total = 0;
    for (; list != nullptr && *list != nullptr; ++list) {
        bool isRange = false;
        const std::optional<Block> block = ReadBlock(*list, isRange);
        if (!block) {
            return EINVAL;
        }
        total += block->Size();
        if (total > SEEKWELL_MAX_TARGET_ADDRESSES) {
            return EINVAL;
        }
        const bool skipEnds = block->prefix <= kWidestWithoutEnds;
        for (std::uint64_t i = skipEnds ? 1 : 0; i < block->Size() - (skipEnds ? 1 : 0); ++i) {
            const auto host = static_cast<std::uint32_t>(block->first + i);
            if (!IsUnicast(host, loopbackDevices)) {
                return EINVAL;
            }
            (isRange ? read.swept : read.asked).push_back(htonl(host));
        }
    }
    SortUnique(read.asked);
    SortUnique(read.swept);
    targets = std::move(read);
    return 0;
}

}  // namespace seekwell::live
