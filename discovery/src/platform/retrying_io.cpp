#include "platform/retrying_io.h"

#include <cerrno>

namespace seekwell::platform {

ssize_t ReceiveMessage(int fd, msghdr& message, int flags)
{
    ssize_t received;
    do {
        received = recvmsg(fd, &message, flags);
    } while (received < 0 && errno == EINTR);
    return received;
}

}  // namespace seekwell::platform
