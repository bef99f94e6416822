// The addresses a host names for a live search, beside its multicast: robots
// asked directly by address, and ranges swept with unicast M-SEARCHes. Read
// once, when the search starts; bad input refuses the search.
#ifndef SEEKWELL_LIVE_SEARCH_TARGETS_H
#define SEEKWELL_LIVE_SEARCH_TARGETS_H

#include <netinet/in.h>
#include <seekwell/seekwell.h>

#include <cstddef>
#include <vector>

namespace seekwell::live {

struct SearchTargets {
    // Network order, each once, sorted by address.
    std::vector<in_addr_t> asked;  // descriptions fetched directly
    std::vector<in_addr_t> swept;  // sent a unicast M-SEARCH

    bool Empty() const { return asked.empty() && swept.empty(); }
    // Whether address is one the host named, alone or in a range.
    bool Holds(in_addr address) const;
};

// What a list of targets comes to: the first entry refused and why, or, when
// none is, the number of entries and SEEKWELL_TARGET_ACCEPTED.
struct TargetVerdict {
    std::size_t index = 0;
    seekwell_target_reason reason = SEEKWELL_TARGET_ACCEPTED;
};

// Judges a NULL-terminated list as ReadTargets reads it, up to its first
// refused entry, without allocating. Each entry is judged in this order: its
// form (HOSTNAME for a name, else NOT_AN_ADDRESS; a range's prefix of 0 to 19
// is PREFIX_TOO_SHORT), the addresses of all entries so far
// (TOO_MANY_ADDRESSES), then each address it names (LOOPBACK for 127/8 unless
// loopbackDevices, else NOT_UNICAST for any address that is not unicast).
TargetVerdict CheckTargets(const char* const* list, bool loopbackDevices);

// Reads a NULL-terminated list of "a.b.c.d" and "a.b.c.d/prefix" (prefix 20
// to 32; host bits are ignored). 0, or EINVAL for anything CheckTargets
// refuses: a text that is not such a target, an address that is not unicast
// (loopback is one only when loopbackDevices lets devices on 127/8 stand in
// for a LAN, in tests), or more than SEEKWELL_MAX_TARGET_ADDRESSES addresses
// in all; targets is then left as it was. A range of /30 or wider is swept
// without its network and broadcast addresses.
int ReadTargets(const char* const* list, bool loopbackDevices, SearchTargets& targets);

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_SEARCH_TARGETS_H
