/*
 * A host in C: one search for robots on the local network, then the list,
 * then every string handed back released.
 *
 *   cc discover.c $(pkg-config --cflags --libs seekwell) -o discover
 *
 * The call blocks for the whole search: at least ten seconds.
 */
#include <seekwell/seekwell.h>

#include <stdio.h>
#include <stdlib.h>

static const char* TextOr(const char* text, const char* fallback) { return text != NULL ? text : fallback; }

int main(void)
{
    DISCOVERY_RESULT robots[SEEKWELL_MAX_RESULTS];
    const int count = DiscoveryROVAByUPnP(robots);

    if (count < 0) {
        fprintf(stderr, "discover: no search took place on this system\n");
        return 2;
    }
    printf("%d robot(s) found\n", count);
    for (int i = 0; i < count; ++i) {
        printf("%2d  %-32s %s\n", i, TextOr(robots[i].pszName, "(no name)"),
               TextOr(robots[i].pszAddress, "(no address)"));
        /* The strings now belong to the host: each is released with free(). */
        free(robots[i].pszName);
        free(robots[i].pszAddress);
    }
    return 0;
}
