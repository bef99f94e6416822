/* Prints "library <path>" for the libseekwell the loader mapped into this process, so a test or
 * benchmark shows which copy it drove (an installed one, found through LD_LIBRARY_PATH). */
#ifndef SEEKWELL_TESTS_MAPPED_LIBRARY_H
#define SEEKWELL_TESTS_MAPPED_LIBRARY_H

#include <stdio.h>
#include <string.h>

static inline void PrintMappedLibrary(void)
{
    char line[4096];
    FILE* maps = fopen("/proc/self/maps", "r");
    while (maps != NULL && fgets(line, sizeof line, maps) != NULL) {
        const char* path = strchr(line, '/');
        if (path != NULL && strstr(path, "/libseekwell.so") != NULL) {
            printf("library %s", path);
            break;
        }
    }
    if (maps != NULL) {
        fclose(maps);
    }
}

#endif /* SEEKWELL_TESTS_MAPPED_LIBRARY_H */
