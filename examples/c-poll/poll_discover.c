/*
 * A host in C with no thread of its own: a live search driven by poll(),
 * each robot printed the moment it answers.
 *
 *   cc -std=c99 poll_discover.c -I../common $(pkg-config --cflags --libs seekwell) -o poll_discover
 *   poll_discover [SECONDS]     search for SECONDS (default 10)
 *
 * The host keeps a deadline of its own: should the fetches that the window
 * started outlast it, the host cancels, and DONE follows within 50 ms.
 *
 * It searches the real network: run it only where robots may be found, or in
 * a private network namespace (see seekwell-simlan(1)).
 */
#define _GNU_SOURCE /* clock_gettime and poll under -std=c99 too */
#include <seekwell/seekwell.h>

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "terminal_text.h"

/* How long after the window the host still waits for the fetches it started. */
#define FETCH_GRACE_MS 5000
#define MAX_SECONDS 3600

typedef struct {
    int robots;
    int failed;
} Tally;

static void OnEvent(const seekwell_event* event, void* userData)
{
    Tally* tally = userData;

    switch (event->type) {
        case SEEKWELL_EVENT_ROBOT:
            ++tally->robots;
            /* The name is bytes as the robot sent them: shown so that no robot can steer the terminal. */
            printf("robot  ");
            PrintTerminalText(stdout, event->name);
            printf("  ");
            PrintTerminalText(stdout, event->address);
            printf("\n");
            break;
        case SEEKWELL_EVENT_DONE:
            printf("done   ");
            PrintTerminalText(stdout, event->reason);
            printf("\n");
            if (event->done_reason == SEEKWELL_DONE_FAILED) {
                fprintf(stderr, "poll_discover: %s\n", strerror(event->error));
                tally->failed = 1;
            }
            break;
        default: /* SKIPPED: a responder that is no robot; GONE comes only with a window of 0 */
            break;
    }
}

static long long NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static int ParseSeconds(const char* text, unsigned int* seconds)
{
    char* end = NULL;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value < 1 || value > MAX_SECONDS) {
        return 0;
    }
    *seconds = (unsigned int)value;
    return 1;
}

int main(int argc, char** argv)
{
    seekwell_options options = SEEKWELL_OPTIONS_INIT;
    unsigned int seconds = SEEKWELL_SEARCH_WINDOW_MS / 1000;
    if (argc > 2 || (argc == 2 && !ParseSeconds(argv[1], &seconds))) {
        fprintf(stderr, "usage: poll_discover [SECONDS]   (1 to %d, default %u)\n", MAX_SECONDS, seconds);
        return 2;
    }
    options.window_ms = seconds * 1000;
    /* Robots are shown as they come, also when the output is a pipe. */
    setvbuf(stdout, NULL, _IOLBF, 0);

    Tally tally = {0, 0};
    seekwell_search* search = NULL;
    const int started = seekwell_search_start(&options, OnEvent, &tally, &search);
    if (started < 0) {
        fprintf(stderr, "poll_discover: no search: %s\n", strerror(-started));
        return 2;
    }

    const long long deadline = NowMs() + options.window_ms + FETCH_GRACE_MS;
    struct pollfd ready = {seekwell_search_fd(search), POLLIN, 0};
    int cancelled = 0;
    int running = 1;
    while (running == 1) {
        const long long left = deadline - NowMs();
        if (left <= 0 && !cancelled) {
            seekwell_search_cancel(search);
            cancelled = 1;
        }
        /* Once cancelled, DONE is ready within 50 ms: wait for it without a time-out. */
        if (poll(&ready, 1, cancelled ? -1 : (int)left) < 0 && errno != EINTR) {
            perror("poll_discover: poll");
            tally.failed = 1;
            break;
        }
        running = seekwell_search_dispatch(search); /* 0 once DONE has been delivered */
    }
    /* Also cancels the search, should the loop have ended before DONE. */
    seekwell_search_free(search);

    printf("%d robot(s) found\n", tally.robots);
    return tally.failed ? 1 : 0;
}
