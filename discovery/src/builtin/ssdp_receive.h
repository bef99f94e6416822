// The receive worker of a built-in search and the rules it applies to replies.
#ifndef SEEKWELL_BUILTIN_SSDP_RECEIVE_H
#define SEEKWELL_BUILTIN_SSDP_RECEIVE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "search_constants.h"

namespace seekwell {

class CSsdpSocket;

using AddressTable = char[kMaxResults][kAddressSlotSize];

// Room in which one reply is examined: the host text is cut out of a working
// copy of the received text.
struct ReplyScratch {
    char workingCopy[kReceiveBufferSize];
};

// The receive worker's fixed buffers, owned by the search: the worker
// allocates nothing and keeps them off its own stack.
struct ReceiveBuffers {
    char received[kReceiveBufferSize];
    ReplyScratch scratch;
};

// Shared by Search and the receive worker. Search writes all of it before the
// worker starts, then only clears bRunning; it reads the table only after the
// worker has ended.
struct SsdpReceiveContext {
    CSsdpSocket* pSocket;
    std::atomic<bool> bRunning;
    AddressTable szAddressTable;
    ReceiveBuffers* pBuffers;

    // Empties every slot, forgets the socket and the buffers and clears bRunning.
    void Clear();
};

static_assert(sizeof(std::atomic<bool>) == 1, "the running flag stays one byte");
static_assert(std::atomic<bool>::is_always_lock_free, "the running flag needs no lock");

// Applies the reply rules to one received text (NUL-terminated) and records
// the responder's address in the table when they hold.
void HandleSsdpReply(const char* text, AddressTable& table, ReplyScratch& scratch);

// The receive worker: records responders until bRunning is found false after
// a receive, or a receive fails; ends at once without buffers. Exit code 0.
std::uint32_t SsdpReceiveThread(SsdpReceiveContext* context);

}  // namespace seekwell

#endif  // SEEKWELL_BUILTIN_SSDP_RECEIVE_H
