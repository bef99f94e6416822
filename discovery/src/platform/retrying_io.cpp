#include "platform/retrying_io.h"

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

}  // namespace seekwell::platform
