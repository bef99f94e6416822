/*
 * A GLib host of the live search: the search's descriptor is a source of the
 * main loop, robots are shown the moment they answer (and when they stop
 * answering), and a GCancellable stops the search. Here Ctrl-C or a time-out
 * cancels it; a host hands the same cancellable to whatever else its Stop
 * button or its shutdown cancels. The loop ends once the search says DONE.
 *
 *   cc glib_live.c -I../common $(pkg-config --cflags --libs seekwell gio-2.0) -o glib_live
 *   glib_live [SECONDS]     stop after SECONDS too (default: at Ctrl-C only)
 *
 * It searches the real network: run it only where robots may be found, or in
 * a private network namespace (see seekwell-simlan(1)).
 */
#include <seekwell/seekwell.h>

#include <gio/gio.h>
#include <glib-unix.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>

#include "terminal_text.h"

typedef struct {
    seekwell_search* search;
    GMainLoop* loop;
    guint robots; /* answering now: a robot may come, go and come back */
    int status;
} Host;

/* A name is bytes as the robot sent them: g_print would leave control
 * characters in, so it is written through PrintTerminalText, which shows them
 * and invalid UTF-8 as '?' so that no robot can garble or steer the terminal. */
static void PrintRobot(const char* what, const seekwell_event* event)
{
    printf("%-6s ", what);
    PrintTerminalText(stdout, event->name);
    printf("  ");
    PrintTerminalText(stdout, event->address);
    printf("\n");
}

/* Runs on the main loop's thread, inside seekwell_search_dispatch. */
static void OnEvent(const seekwell_event* event, void* userData)
{
    Host* host = userData;

    switch (event->type) {
        case SEEKWELL_EVENT_ROBOT:
            ++host->robots;
            PrintRobot("robot", event);
            break;
        case SEEKWELL_EVENT_GONE:
            --host->robots;
            PrintRobot("gone", event);
            break;
        case SEEKWELL_EVENT_DONE:
            printf("done   ");
            PrintTerminalText(stdout, event->reason);
            printf("\n");
            if (event->done_reason == SEEKWELL_DONE_FAILED) {
                g_printerr("glib_live: %s\n", g_strerror(event->error));
                host->status = 1;
            }
            g_main_loop_quit(host->loop);
            break;
        default: /* SKIPPED: a responder that is no robot; event->reason says why */
            break;
    }
}

static gboolean OnSearchReady(gint fd, GIOCondition condition, gpointer userData)
{
    Host* host = userData;
    (void)fd;
    (void)condition;
    /* Once DONE has been delivered the watch goes, before the search and its descriptor are freed. */
    return seekwell_search_dispatch(host->search) == 1 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

/* Runs on whichever thread cancels; seekwell_search_cancel may be called from
 * any. DONE then comes through the descriptor, within 50 ms. */
static void OnCancelled(GCancellable* cancellable, gpointer search)
{
    (void)cancellable;
    seekwell_search_cancel(search);
}

/* Ctrl-C and the time-out, both on the main loop. Cancelling twice is harmless. */
static gboolean CancelSearch(gpointer cancellable)
{
    g_cancellable_cancel(cancellable);
    return G_SOURCE_CONTINUE;
}

int main(int argc, char** argv)
{
    /* GLib converts its own text (g_print, g_strerror) to the locale's character set, so the locale is
     * taken first. Robot names go out through PrintTerminalText as the UTF-8 they are, whatever the
     * locale: Japanese shows on a UTF-8 terminal in "C" too. (seekwell-discover shows '?' for each
     * character beyond ASCII under a locale of another character set, such as ISO-8859-1.) */
    setlocale(LC_ALL, "");
    guint64 seconds = 0;
    GError* error = NULL;
    if (argc > 2 || (argc == 2 && !g_ascii_string_to_unsigned(argv[1], 10, 1, 86400, &seconds, &error))) {
        g_printerr("usage: glib_live [SECONDS]%s%s\n", error != NULL ? ": " : "", error != NULL ? error->message : "");
        g_clear_error(&error);
        return 2;
    }

    /* Robots are shown as they come, also when the output is a pipe. */
    setvbuf(stdout, NULL, _IOLBF, 0);

    Host host = {NULL, NULL, 0, 0};
    seekwell_options options = SEEKWELL_OPTIONS_INIT;
    options.window_ms = 0; /* until cancelled; a robot that stops answering is GONE */
    const int started = seekwell_search_start(&options, OnEvent, &host, &host.search);
    if (started < 0) {
        g_printerr("glib_live: no search: %s\n", g_strerror(-started));
        return 2;
    }

    host.loop = g_main_loop_new(NULL, FALSE);
    GCancellable* cancellable = g_cancellable_new();
    const gulong onCancelled = g_cancellable_connect(cancellable, G_CALLBACK(OnCancelled), host.search, NULL);
    g_unix_fd_add(seekwell_search_fd(host.search), G_IO_IN, OnSearchReady, &host);
    const guint interrupt = g_unix_signal_add(SIGINT, CancelSearch, cancellable);
    const guint timeUp = seconds > 0 ? g_timeout_add((guint)seconds * 1000, CancelSearch, cancellable) : 0;

    g_main_loop_run(host.loop);

    if (timeUp != 0) {
        g_source_remove(timeUp);
    }
    g_source_remove(interrupt);
    /* No cancel may reach the search once it is freed. */
    g_cancellable_disconnect(cancellable, onCancelled);
    g_object_unref(cancellable);
    seekwell_search_free(host.search);
    g_main_loop_unref(host.loop);

    g_print("%u robot(s) found\n", host.robots);
    return host.status;
}
