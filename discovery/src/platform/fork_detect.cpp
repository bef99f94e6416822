#include "platform/fork_detect.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace seekwell::platform {

namespace {

constexpr std::uint64_t kProcessIdHalf = 0xffffffff00000000ULL;

// The tokens this process and its ancestors made, counted: a child copies the
// count, so the token it makes next is one no ancestor holds.
std::atomic<std::uint32_t> g_tokensMade{0};

std::uint32_t NextCount() { return g_tokensMade.fetch_add(1) + 1; }

// Stores fresh in place of stale unless another thread got there first;
// either way, the token the process keeps.
std::uint64_t Settle(std::atomic<std::uint64_t>& slot, std::uint64_t stale, std::uint64_t fresh)
{
    return slot.compare_exchange_strong(stale, fresh) ? fresh : stale;
}

// The token's slot, in a page of its own that a forked child finds zeroed;
// null where the kernel lacks the mark or a filter refuses it.
std::atomic<std::uint64_t>* WipedOnForkSlot()
{
    const long pageBytes = sysconf(_SC_PAGESIZE);
    void* page = mmap(nullptr, pageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        return nullptr;
    }
    if (madvise(page, pageBytes, MADV_WIPEONFORK) != 0) {
        munmap(page, pageBytes);
        return nullptr;
    }
    return new (page) std::atomic<std::uint64_t>(0);
}

// The process ID in the high half, a count in the low one: a token inherited
// through a fork that skipped the handler fails the ID check.
std::atomic<std::uint64_t> g_handlerToken{0};

void ForgetHandlerToken() { g_handlerToken.store(0); }

std::uint64_t OwnProcessIdHalf() { return static_cast<std::uint64_t>(static_cast<std::uint32_t>(getpid())) << 32; }

}  // namespace

std::uint64_t ForkHandlerToken()
{
    static const bool registered = pthread_atfork(nullptr, nullptr, ForgetHandlerToken) == 0;
    (void)registered;
    const std::uint64_t idHalf = OwnProcessIdHalf();
    const std::uint64_t held = g_handlerToken.load();
    if (held != 0 && (held & kProcessIdHalf) == idHalf) {
        return held;
    }
    return Settle(g_handlerToken, held, idHalf | NextCount());
}

std::uint64_t ProcessToken()
{
    static std::atomic<std::uint64_t>* const slot = WipedOnForkSlot();
    if (slot == nullptr) {
        return ForkHandlerToken();
    }
    const std::uint64_t held = slot->load();
    return held != 0 ? held : Settle(*slot, 0, NextCount());
}

}  // namespace seekwell::platform
