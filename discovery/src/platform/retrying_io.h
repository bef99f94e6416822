// System calls that a signal handler in the host may cut short, retried.
#ifndef SEEKWELL_PLATFORM_RETRYING_IO_H
#define SEEKWELL_PLATFORM_RETRYING_IO_H

#include <sys/socket.h>
#include <sys/types.h>

namespace seekwell::platform {

// recvmsg, again after EINTR.
ssize_t ReceiveMessage(int fd, msghdr& message, int flags);

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_RETRYING_IO_H
