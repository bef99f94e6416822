/*
 * Preloaded into each peer of a LAN of many robots (a LAN test, bench/e2e_thousand.sh): the
 * process's UDP sockets get the receive buffers they would get from net.core.rmem_default and
 * net.core.rmem_max of the values in
 * SEEKWELL_BENCH_RMEM_DEFAULT and SEEKWELL_BENCH_RMEM_MAX (bytes; unset or 0: the system's). A new
 * UDP socket starts with the default; a size asked with SO_RCVBUF is kept to the most, then doubled
 * by the kernel as usual. Where the kernel keeps those two settings for the whole machine, this is
 * how a peer in a private namespace runs with the kernel's defaults without the machine changing.
 * It sets the sizes with SO_RCVBUFFORCE, so it needs CAP_NET_ADMIN; without it a socket keeps
 * what the system gives.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

typedef int (*SocketFn)(int, int, int);
typedef int (*SetSocketOptionFn)(int, int, int, const void*, socklen_t);

static SocketFn g_nextSocket;
static SetSocketOptionFn g_nextSetSocketOption;
static int g_defaultBytes;
static int g_mostBytes;

static int Bytes(const char* name)
{
    const char* text = getenv(name);
    const long value = text != NULL ? strtol(text, NULL, 10) : 0;
    return value > 0 && value < (1L << 30) ? (int)value : 0;
}

__attribute__((constructor)) static void Prepare(void)
{
    *(void**)&g_nextSocket = dlsym(RTLD_NEXT, "socket");
    *(void**)&g_nextSetSocketOption = dlsym(RTLD_NEXT, "setsockopt");
    g_defaultBytes = Bytes("SEEKWELL_BENCH_RMEM_DEFAULT");
    g_mostBytes = Bytes("SEEKWELL_BENCH_RMEM_MAX");
}

__attribute__((visibility("default"))) int socket(int domain, int type, int protocol)
{
    const int fd = g_nextSocket(domain, type, protocol);
    const int kind = type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
    // The kernel doubles a size asked, but gives a new socket rmem_default as it is.
    const int asked = g_defaultBytes / 2;
    if (fd >= 0 && asked > 0 && (domain == AF_INET || domain == AF_INET6) && kind == SOCK_DGRAM) {
        (void)g_nextSetSocketOption(fd, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked);
    }
    return fd;
}

__attribute__((visibility("default"))) int setsockopt(int fd, int level, int name, const void* value, socklen_t length)
{
    int bytes = 0;
    if (level == SOL_SOCKET && name == SO_RCVBUF && g_mostBytes > 0 && value != NULL && length >= sizeof bytes) {
        memcpy(&bytes, value, sizeof bytes);
        bytes = bytes < 0 ? 0 : bytes > g_mostBytes ? g_mostBytes : bytes;
        if (g_nextSetSocketOption(fd, level, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) {
            return 0;
        }
    }
    return g_nextSetSocketOption(fd, level, name, value, length);
}
