#include "platform/wake_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace seekwell::platform {

int WakeEvent::Open()
{
    fd_.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return fd_.load() < 0 ? errno : 0;
}

void WakeEvent::Signal() const
{
    const std::uint64_t one = 1;
    ssize_t written;
    // Fails otherwise only when the counter is full, and then it is readable anyway.
    do {
        written = write(fd_.load(), &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void WakeEvent::Drain() const
{
    std::uint64_t count = 0;
    ssize_t got;
    // EAGAIN: nothing was signalled since the last drain.
    do {
        got = read(fd_.load(), &count, sizeof count);
    } while (got < 0 && errno == EINTR);
}

void WakeEvent::Close()
{
    const int fd = fd_.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace seekwell::platform
