// One datagram, as the receive worker gets it, through the reply rules into
// an address table that already holds some addresses.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "builtin/ssdp_receive.h"

namespace {

using seekwell::AddressTable;

constexpr std::size_t kSlots = seekwell::kMaxResults;
constexpr std::size_t kMaxAddressLength = INET_ADDRSTRLEN - 1;

// Fills the first count slots with distinct addresses that a reply may repeat.
void Prefill(AddressTable& table, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(table[i], sizeof table[i], "10.0.0.%zu", i);
    }
}

bool IsDottedQuad(const char* slot)
{
    in_addr parsed{};
    return std::strlen(slot) <= kMaxAddressLength && inet_pton(AF_INET, slot, &parsed) == 1;
}

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// Filled from the front, each slot terminated, a dotted quad and unique; at
// most one slot more than before, and the earlier slots unchanged.
void CheckTable(const AddressTable& before, const AddressTable& after, std::size_t prefilled)
{
    std::size_t used = 0;
    while (used < kSlots && after[used][0] != '\0') {
        Require(std::memchr(after[used], '\0', sizeof after[used]) != nullptr);
        Require(IsDottedQuad(after[used]));
        for (std::size_t earlier = 0; earlier < used; ++earlier) {
            Require(std::strcmp(after[earlier], after[used]) != 0);
        }
        ++used;
    }
    for (std::size_t i = used; i < kSlots; ++i) {
        Require(after[i][0] == '\0');
    }
    Require(used == prefilled || used == prefilled + 1);
    Require(std::memcmp(before, after, prefilled * sizeof before[0]) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t prefilled = data[0] % (kSlots + 1);
    const std::uint8_t* datagram = data + 1;
    // The worker receives at most this much and terminates it with a NUL;
    // the exact-size copy lets ASan see any read past that NUL.
    const std::size_t length = std::min(size - 1, seekwell::kMaxDatagramSize);
    const auto text = std::make_unique<char[]>(length + 1);
    std::memcpy(text.get(), datagram, length);
    text[length] = '\0';

    AddressTable table{};
    Prefill(table, prefilled);
    AddressTable before;
    std::memcpy(before, table, sizeof table);
    const auto scratch = std::make_unique<seekwell::ReplyScratch>();
    seekwell::HandleSsdpReply(text.get(), table, *scratch);
    CheckTable(before, table, prefilled);
    return 0;
}
