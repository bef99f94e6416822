// The descriptors one live search holds, noted as they are made and before
// they are closed, so that a child forked from the host at any moment can
// close its copies of every one of them: a copy left open there would keep
// the parent's connections and sockets alive until the child exits. A fork
// waits while a descriptor is being made and noted, or un-noted and closed,
// so the child's list is exact.
#ifndef SEEKWELL_PLATFORM_OWNED_DESCRIPTORS_H
#define SEEKWELL_PLATFORM_OWNED_DESCRIPTORS_H

#include <atomic>
#include <cstddef>
#include <memory>

namespace seekwell::platform {

class OwnedDescriptors {
public:
    OwnedDescriptors() = default;
    ~OwnedDescriptors();
    OwnedDescriptors(const OwnedDescriptors&) = delete;
    OwnedDescriptors& operator=(const OwnedDescriptors&) = delete;

    // One thread at a time notes and forgets (the search's own, or the host's
    // before the search thread starts); a forked child may read at any time.
    void Note(int fd);
    void Forget(int fd);
    // In a forked child: closes the child's copy of every descriptor noted.
    // Takes no lock and allocates nothing.
    void CloseCopies();
    std::size_t Count() const;

private:
    static constexpr std::size_t kSlotsPerBlock = 64;
    struct Block {
        std::atomic<int> slots[kSlotsPerBlock];
        std::atomic<Block*> next{nullptr};
        Block();
    };

    Block first_;
};

// Makes the calling thread note the descriptors it makes through the
// functions below in owned, while this lives.
class NoteDescriptorsIn {
public:
    explicit NoteDescriptorsIn(OwnedDescriptors& owned);
    ~NoteDescriptorsIn();
    NoteDescriptorsIn(const NoteDescriptorsIn&) = delete;
    NoteDescriptorsIn& operator=(const NoteDescriptorsIn&) = delete;

private:
    OwnedDescriptors* outer_;
};

// Holds off a fork of the process while it lives: between making a
// descriptor and noting it, or forgetting one and closing it.
class ForkWaits {
public:
    ForkWaits();
    ~ForkWaits();
    ForkWaits(const ForkWaits&) = delete;
    ForkWaits& operator=(const ForkWaits&) = delete;
};

// socket(2), close-on-exec, noted where the calling thread notes them.
int OpenSocket(int domain, int type, int protocol);
// epoll_create1(EPOLL_CLOEXEC), noted likewise.
int OpenEpoll();
// Under a ForkWaits: a descriptor made some other way is noted likewise; one
// about to be closed is forgotten.
void NoteMade(int fd);
void NoteClosing(int fd);
// Forgets the descriptor where the calling thread notes them, then closes
// it: close(2)'s answer.
int CloseNoted(int fd);

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_OWNED_DESCRIPTORS_H
