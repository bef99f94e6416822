/* A host in C for the leak check: loads the library from the path given,
 * runs one discovery, prints the records and frees every string, as a host
 * must. Exits 0 when the call found the expected number of robots. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <seekwell/seekwell.h>

typedef int (*DiscoveryExport)(DISCOVERY_RESULT*);

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s LIBRARY EXPECTED_COUNT\n", argv[0]);
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    DiscoveryExport discover = library ? (DiscoveryExport)dlsym(library, "DiscoveryROVAByUPnP") : NULL;
    if (discover == NULL) {
        fprintf(stderr, "cannot load %s\n", argv[1]);
        return 2;
    }
    DISCOVERY_RESULT results[SEEKWELL_MAX_RESULTS];
    const int count = discover(results);
    for (int i = 0; i < count; ++i) {
        printf("%d\t%s\t%s\n", i, results[i].pszName, results[i].pszAddress);
        free(results[i].pszName);
        free(results[i].pszAddress);
    }
    dlclose(library);
    return count == atoi(argv[2]) ? 0 : 1;
}
