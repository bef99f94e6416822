// The addresses a host names for a live search, as ReadTargets reads them: a
// NULL-terminated list of the input's lines, after a first byte whose bit 0
// lets devices on 127/8 stand in for a LAN. What it takes must be what a
// plain reading of each text gives; what it refuses must leave the targets
// as they were, and CheckTargets must refuse it too.
#include <arpa/inet.h>
#include <seekwell/seekwell.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "live/search_targets.h"

namespace {

using seekwell::live::SearchTargets;

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// Four parts of 0 to 255, in decimal without leading zeros.
bool ReadQuad(const std::string& text, std::uint32_t& host)
{
    std::size_t at = 0;
    host = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.')) {
            return false;
        }
        const std::size_t start = at;
        unsigned int value = 0;
        while (at < text.size() && at - start < 4 && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<unsigned int>(text[at++] - '0');
        }
        if (at == start || at - start > 3 || value > 255 || (at - start > 1 && text[start] == '0')) {
            return false;
        }
        host = host << 8 | value;
    }
    return at == text.size();
}

bool IsUnicast(std::uint32_t host, bool loopbackDevices)
{
    const bool loopback = host >> 24 == 127;
    return (host >> 24) != 0 && host < 0xE0000000u && (!loopback || loopbackDevices);
}

// The targets the texts name, or EINVAL.
int Expect(const std::vector<std::string>& texts, bool loopbackDevices, std::set<std::uint32_t>& asked,
           std::set<std::uint32_t>& swept)
{
    std::uint64_t total = 0;
    for (const std::string& text : texts) {
        const std::size_t slash = text.find('/');
        std::uint32_t host = 0;
        unsigned int prefix = 32;
        if (!ReadQuad(text.substr(0, slash), host)) {
            return EINVAL;
        }
        if (slash != std::string::npos) {
            const std::string digits = text.substr(slash + 1);
            if (digits.size() != 2 || digits.find_first_not_of("0123456789") != std::string::npos) {
                return EINVAL;
            }
            prefix = static_cast<unsigned int>(std::stoi(digits));
            if (prefix < SEEKWELL_MIN_TARGET_PREFIX || prefix > 32) {
                return EINVAL;
            }
        }
        const std::uint64_t size = std::uint64_t{1} << (32 - prefix);
        total += size;
        if (total > SEEKWELL_MAX_TARGET_ADDRESSES) {
            return EINVAL;
        }
        const std::uint32_t first = host & ~static_cast<std::uint32_t>(size - 1);
        const std::uint64_t ends = prefix <= 30 ? 1 : 0;  // a range's network and broadcast addresses
        for (std::uint64_t i = ends; i < size - ends; ++i) {
            const auto each = static_cast<std::uint32_t>(first + i);
            if (!IsUnicast(each, loopbackDevices)) {
                return EINVAL;
            }
            (slash != std::string::npos ? swept : asked).insert(each);
        }
    }
    return 0;
}

void CheckSame(const std::vector<in_addr_t>& read, const std::set<std::uint32_t>& expected)
{
    Require(read.size() == expected.size());
    auto at = expected.begin();
    for (const in_addr_t each : read) {
        Require(ntohl(each) == *at++);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const bool loopbackDevices = (data[0] & 1) != 0;
    // Each line as a C string: up to its first NUL.
    std::vector<std::string> texts;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (std::size_t start = 0; !rest.empty() && start <= rest.size();) {
        const std::size_t end = std::min(rest.find('\n', start), rest.size());
        texts.emplace_back(rest.substr(start, end - start).c_str());
        start = end + 1;
    }
    std::vector<const char*> list;
    for (const std::string& text : texts) {
        list.push_back(text.c_str());
    }
    list.push_back(nullptr);

    SearchTargets targets;
    targets.asked = {htonl(0x0A000001)};  // refused: left as it was
    std::set<std::uint32_t> asked;
    std::set<std::uint32_t> swept;
    const int expected = Expect(texts, loopbackDevices, asked, swept);
    const int read = seekwell::live::ReadTargets(list.data(), loopbackDevices, targets);
    Require(read == expected);
    // The check a host can make first refuses exactly what the search refuses, naming an entry
    // of the list, and accepts with the count of entries.
    const seekwell::live::TargetVerdict verdict = seekwell::live::CheckTargets(list.data(), loopbackDevices);
    Require((verdict.reason == SEEKWELL_TARGET_ACCEPTED) == (read == 0));
    Require(read == 0 ? verdict.index == texts.size() : verdict.index < texts.size());
    if (read != 0) {
        Require(targets.asked.size() == 1 && targets.asked[0] == htonl(0x0A000001) && targets.swept.empty());
        return 0;
    }
    CheckSame(targets.asked, asked);
    CheckSame(targets.swept, swept);
    // Holds exactly the named addresses: each, and none beside them.
    for (const auto* named : {&asked, &swept}) {
        for (const std::uint32_t host : *named) {
            for (const std::uint32_t near : {host - 1, host, host + 1}) {
                const bool held = asked.count(near) != 0 || swept.count(near) != 0;
                Require(targets.Holds(in_addr{htonl(near)}) == held);
            }
        }
    }
    Require(targets.Empty() == (asked.empty() && swept.empty()));
    return 0;
}
