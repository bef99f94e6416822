/* For the harness's shims: whether a call came straight from the host program itself. */
#ifndef SEEKWELL_TEST_PROGRAM_CALLER_H
#define SEEKWELL_TEST_PROGRAM_CALLER_H

#include <link.h>
#include <stdint.h>

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

/* Whether returnAddress (the caller's __builtin_return_address(0)) lies in the program. */
static int CalledFromProgram(void* returnAddress)
{
    struct AddressQuery query = {(uintptr_t)returnAddress, 0};
    dl_iterate_phdr(CheckProgram, &query);
    return query.inProgram;
}

#endif /* SEEKWELL_TEST_PROGRAM_CALLER_H */
