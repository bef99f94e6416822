// System calls that a signal handler in the host may cut short, retried.
#ifndef SEEKWELL_PLATFORM_RETRYING_IO_H
#define SEEKWELL_PLATFORM_RETRYING_IO_H

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>

namespace seekwell::platform {

// recvmsg, again after EINTR.
ssize_t ReceiveMessage(int fd, msghdr& message, int flags);

// recvmmsg of at most count messages without waiting, again after EINTR:
// the number read, or -1 with errno.
int ReceiveMessages(int fd, mmsghdr* messages, unsigned int count);

// recvmsg, again after EINTR only while keepTrying holds: a receive cut short
// once it is false fails with EINTR, so its caller can stop.
ssize_t ReceiveMessageWhile(int fd, msghdr& message, int flags, const std::atomic<bool>& keepTrying);

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_RETRYING_IO_H
