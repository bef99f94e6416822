/*
 * Preloaded into the host harness: every pthread_create that does not come straight from the host
 * program itself fails with EAGAIN, as it does in a process at its thread or memory limit. The
 * library and the libraries it uses therefore start no thread at all in the host; a finder helper
 * it starts is a process of its own, which the shim does not reach.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>

typedef int (*PthreadCreateFn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct AddressQuery {
    uintptr_t address;
    int inProgram;
};

/* The first object dl_iterate_phdr reports is the program itself. */
static int CheckProgram(struct dl_phdr_info* info, size_t size, void* data)
{
    struct AddressQuery* query = data;
    int i;
    (void)size;
    for (i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)* segment = &info->dlpi_phdr[i];
        const uintptr_t start = info->dlpi_addr + segment->p_vaddr;
        if (segment->p_type == PT_LOAD && query->address >= start && query->address < start + segment->p_memsz) {
            query->inProgram = 1;
        }
    }
    return 1;
}

__attribute__((visibility("default"))) int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                                          void* (*start)(void*), void* argument)
{
    struct AddressQuery query = {(uintptr_t)__builtin_return_address(0), 0};
    PthreadCreateFn next;
    dl_iterate_phdr(CheckProgram, &query);
    if (!query.inProgram) {
        return EAGAIN;
    }
    *(void**)&next = dlsym(RTLD_NEXT, "pthread_create");
    return next != NULL ? next(thread, attributes, start, argument) : EAGAIN;
}
