#include "platform/owned_descriptors.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

namespace seekwell::platform {

namespace {

constexpr int kFree = -1;

thread_local OwnedDescriptors* g_noting = nullptr;

// Readers are the threads that make or close a noted descriptor; the writer
// is a fork, which so never copies one half made.
pthread_rwlock_t g_forkLock = PTHREAD_RWLOCK_INITIALIZER;

void TakeForkLock() { pthread_rwlock_wrlock(&g_forkLock); }
void GiveForkLock() { pthread_rwlock_unlock(&g_forkLock); }
// The child's only thread has another thread ID than the writer recorded in
// the lock, so it gets a new lock rather than unlocking the old one.
void RenewForkLock() { g_forkLock = PTHREAD_RWLOCK_INITIALIZER; }

class ForkHandlers {
public:
    ForkHandlers() { pthread_atfork(TakeForkLock, GiveForkLock, RenewForkLock); }
};
const ForkHandlers kForkHandlers;

}  // namespace

OwnedDescriptors::Block::Block()
{
    for (std::atomic<int>& slot : slots) {
        slot.store(kFree, std::memory_order_relaxed);
    }
}

OwnedDescriptors::~OwnedDescriptors()
{
    Block* block = first_.next.load();
    while (block != nullptr) {
        Block* next = block->next.load();
        delete block;
        block = next;
    }
}

void OwnedDescriptors::Note(int fd)
{
    if (fd < 0) {
        return;
    }
    for (Block* block = &first_;; block = block->next.load()) {
        for (std::atomic<int>& slot : block->slots) {
            if (slot.load(std::memory_order_relaxed) == kFree) {
                slot.store(fd);
                return;
            }
        }
        if (block->next.load() == nullptr) {
            // Without memory the descriptor goes unnoted: a forked child
            // would keep its copy, nothing worse.
            block->next.store(new (std::nothrow) Block());
            if (block->next.load() == nullptr) {
                return;
            }
        }
    }
}

void OwnedDescriptors::Forget(int fd)
{
    for (Block* block = &first_; block != nullptr; block = block->next.load()) {
        for (std::atomic<int>& slot : block->slots) {
            if (slot.load(std::memory_order_relaxed) == fd) {
                slot.store(kFree);
                return;
            }
        }
    }
}

void OwnedDescriptors::CloseCopies()
{
    for (Block* block = &first_; block != nullptr; block = block->next.load()) {
        for (std::atomic<int>& slot : block->slots) {
            const int fd = slot.exchange(kFree);
            if (fd != kFree) {
                close(fd);
            }
        }
    }
}

std::size_t OwnedDescriptors::Count() const
{
    std::size_t count = 0;
    for (const Block* block = &first_; block != nullptr; block = block->next.load()) {
        for (const std::atomic<int>& slot : block->slots) {
            count += slot.load() != kFree ? 1 : 0;
        }
    }
    return count;
}

NoteDescriptorsIn::NoteDescriptorsIn(OwnedDescriptors& owned) : outer_(g_noting) { g_noting = &owned; }

NoteDescriptorsIn::~NoteDescriptorsIn() { g_noting = outer_; }

ForkWaits::ForkWaits() { pthread_rwlock_rdlock(&g_forkLock); }

ForkWaits::~ForkWaits() { pthread_rwlock_unlock(&g_forkLock); }

void NoteMade(int fd)
{
    if (g_noting != nullptr) {
        g_noting->Note(fd);
    }
}

int OpenSocket(int domain, int type, int protocol)
{
    const ForkWaits waits;
    const int fd = socket(domain, type | SOCK_CLOEXEC, protocol);
    NoteMade(fd);
    return fd;
}

int OpenEpoll()
{
    const ForkWaits waits;
    const int fd = epoll_create1(EPOLL_CLOEXEC);
    NoteMade(fd);
    return fd;
}

void NoteClosing(int fd)
{
    if (g_noting != nullptr) {
        g_noting->Forget(fd);
    }
}

int CloseNoted(int fd)
{
    const ForkWaits waits;
    NoteClosing(fd);
    return close(fd);
}

}  // namespace seekwell::platform
