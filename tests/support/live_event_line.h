/* One live-search event as the C test hosts print it, the LAN tests' one line format:
 *
 *   ROBOT +12 "ROVA robot 1" 192.0.2.10 http://192.0.2.10/ROVA.XML sw-client
 *   UDN 192.0.2.10 uuid:...   (after each ROBOT and GONE)
 *   SKIPPED +9 192.0.2.13 1 "no robot marker in the reply"
 *   GONE +4100 "ROVA robot 1" 192.0.2.10 http://192.0.2.10/ROVA.XML sw-client
 *   QUIET +2001 sw-client "no device answered the search on sw-client: ..."
 *   DROPPED +15000 sw-client "this host dropped 40 replies on sw-client for want of room, ..."
 *   DONE +10003 1 0 "window over"
 */
#ifndef SEEKWELL_TESTS_LIVE_EVENT_LINE_H
#define SEEKWELL_TESTS_LIVE_EVENT_LINE_H

#include <seekwell/seekwell.h>
#include <stdio.h>

#include "print_quoted.h"

static inline void PrintLiveEvent(const seekwell_event* event, long long sinceStartMs)
{
    switch (event->type) {
        case SEEKWELL_EVENT_ROBOT:
        case SEEKWELL_EVENT_GONE:
            printf("%s +%lld ", event->type == SEEKWELL_EVENT_ROBOT ? "ROBOT" : "GONE", sinceStartMs);
            PrintQuoted(event->name);
            printf(" %s %s %s\nUDN %s %s\n", event->address, event->location, event->interface_name, event->address,
                   event->udn);
            break;
        case SEEKWELL_EVENT_SKIPPED:
            printf("SKIPPED +%lld %s %d ", sinceStartMs, event->address, (int)event->skip_reason);
            PrintQuoted(event->reason);
            putchar('\n');
            break;
        case SEEKWELL_EVENT_QUIET:
        case SEEKWELL_EVENT_DROPPED:
            printf("%s +%lld %s ", event->type == SEEKWELL_EVENT_QUIET ? "QUIET" : "DROPPED", sinceStartMs,
                   event->interface_name);
            PrintQuoted(event->reason);
            putchar('\n');
            break;
        case SEEKWELL_EVENT_DONE:
            printf("DONE +%lld %d %d ", sinceStartMs, (int)event->done_reason, event->error);
            PrintQuoted(event->reason);
            putchar('\n');
            break;
        default:
            printf("EVENT %d +%lld\n", (int)event->type, sinceStartMs);
            break;
    }
}

#endif /* SEEKWELL_TESTS_LIVE_EVENT_LINE_H */
