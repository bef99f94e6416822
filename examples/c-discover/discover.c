/*
 * A host in C: one search for robots on the local network, then the list,
 * then every string handed back released. Names and addresses come from the
 * robots, so they reach the terminal only through PrintTerminalText.
 *
 *   cc discover.c -I../common $(pkg-config --cflags --libs seekwell) -o discover
 *
 * The call blocks for the whole search: at least ten seconds.
 */
#include <seekwell/seekwell.h>

#include <stdio.h>
#include <stdlib.h>

#include "terminal_text.h"

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
        printf("%2d  ", i);
        PrintTerminalText(stdout, robots[i].pszName);
        printf("  ");
        PrintTerminalText(stdout, robots[i].pszAddress);
        printf("\n");
        /* The strings now belong to the host: each is released with free(). */
        free(robots[i].pszName);
        free(robots[i].pszAddress);
    }
    return 0;
}
