/*
 * Preloaded into the host harness: watches every socketpair call that does not come straight from
 * the host program itself (the library's own, and libcurl's through it) and counts the pairs that
 * came into being without close-on-exec, which a child spawned at that very moment would inherit.
 * The harness reads the counts through SeekwellWitnessPairs().
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <sys/socket.h>

#include "program_caller.h"

typedef int (*SocketPairFn)(int, int, int, int[2]);

static atomic_int g_pairs;
static atomic_int g_inheritablePairs;

__attribute__((visibility("default"))) int socketpair(int domain, int type, int protocol, int fds[2])
{
    SocketPairFn next;
    int result;
    *(void**)&next = dlsym(RTLD_NEXT, "socketpair");
    result = next(domain, type, protocol, fds);
    if (result == 0 && !CalledFromProgram(__builtin_return_address(0))) {
        atomic_fetch_add(&g_pairs, 1);
        if ((fcntl(fds[0], F_GETFD) & FD_CLOEXEC) == 0 || (fcntl(fds[1], F_GETFD) & FD_CLOEXEC) == 0) {
            atomic_fetch_add(&g_inheritablePairs, 1);
        }
    }
    return result;
}

__attribute__((visibility("default"))) void SeekwellWitnessPairs(int* pairs, int* inheritablePairs)
{
    *pairs = atomic_load(&g_pairs);
    *inheritablePairs = atomic_load(&g_inheritablePairs);
}
