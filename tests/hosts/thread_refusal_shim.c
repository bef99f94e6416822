/*
 * Preloaded into the host harness: every pthread_create that does not come straight from the host
 * program itself fails with EAGAIN, as it does in a process at its thread or memory limit. The
 * library and the libraries it uses therefore start no thread at all in the host; a finder helper
 * it starts is a process of its own, which the shim does not reach.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

#include "program_caller.h"

typedef int (*PthreadCreateFn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

__attribute__((visibility("default"))) int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                                          void* (*start)(void*), void* argument)
{
    PthreadCreateFn next;
    if (!CalledFromProgram(__builtin_return_address(0))) {
        return EAGAIN;
    }
    *(void**)&next = dlsym(RTLD_NEXT, "pthread_create");
    return next != NULL ? next(thread, attributes, start, argument) : EAGAIN;
}
