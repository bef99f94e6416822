#include "platform/retrying_io.h"

#include <time.h>

#include <cerrno>

namespace seekwell::platform {

namespace {

template <typename KeepTrying>
ssize_t ReceiveRetrying(int fd, msghdr& message, int flags, KeepTrying keepTrying)
{
    ssize_t received;
    do {
        received = recvmsg(fd, &message, flags);
    } while (received < 0 && errno == EINTR && keepTrying());
    return received;
}

}  // namespace

ssize_t ReceiveMessage(int fd, msghdr& message, int flags)
{
    return ReceiveRetrying(fd, message, flags, [] { return true; });
}

int ReceiveMessages(int fd, mmsghdr* messages, unsigned int count)
{
    int received;
    do {
        received = recvmmsg(fd, messages, count, MSG_DONTWAIT, nullptr);
    } while (received < 0 && errno == EINTR);
    return received;
}

ssize_t ReceiveMessageWhile(int fd, msghdr& message, int flags, const std::atomic<bool>& keepTrying)
{
    return ReceiveRetrying(fd, message, flags, [&keepTrying] { return keepTrying.load(); });
}

void SleepFor(std::chrono::steady_clock::duration duration)
{
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    constexpr long long kNanosecondsPerSecond = 1000000000;
    const long long nanoseconds =
        until.tv_nsec + std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
    until.tv_sec += static_cast<time_t>(nanoseconds / kNanosecondsPerSecond);
    until.tv_nsec = static_cast<long>(nanoseconds % kNanosecondsPerSecond);
    // clock_nanosleep returns the error rather than setting errno.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

}  // namespace seekwell::platform
