/*
 * A GLib host: the blocking search runs in a GTask worker thread while the
 * main loop stays free; the robots come back to the main context as a copy
 * in GLib memory, and the library's strings are released in the worker.
 *
 * The blocking call cannot be stopped once it runs, so the task takes no
 * GCancellable: a host that must stop a search, or show robots as they
 * answer, uses the live search on its main loop instead (see glib-live).
 *
 *   cc glib_worker.c -I../common $(pkg-config --cflags --libs seekwell gio-2.0) -o glib_worker
 *
 * It searches the real network: run it only where robots may be found, or in
 * a private network namespace (see seekwell-simlan(1)).
 */
#include <seekwell/seekwell.h>

#include <gio/gio.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>

#include "terminal_text.h"

typedef struct {
    gchar* name;
    gchar* address;
} Robot;

static void RobotFree(gpointer data)
{
    Robot* robot = data;
    g_free(robot->name);
    g_free(robot->address);
    g_free(robot);
}

/* Worker thread: the call blocks here for 10 s or more, and nothing can cut
 * it short; cancellable is the NULL that g_task_new was given. */
static void SearchInThread(GTask* task, gpointer source, gpointer taskData, GCancellable* cancellable)
{
    DISCOVERY_RESULT results[SEEKWELL_MAX_RESULTS];
    (void)source;
    (void)taskData;
    (void)cancellable;

    const int count = DiscoveryROVAByUPnP(results);
    if (count == SEEKWELL_NO_SEARCH) {
        g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_FAILED, "no search took place");
        return;
    }
    GPtrArray* robots = g_ptr_array_new_with_free_func(RobotFree);
    for (int i = 0; i < count; ++i) {
        Robot* robot = g_new0(Robot, 1);
        robot->name = g_strdup(results[i].pszName);
        robot->address = g_strdup(results[i].pszAddress);
        g_ptr_array_add(robots, robot);
        /* The library's strings are the caller's, released with free(). */
        free(results[i].pszName);
        free(results[i].pszAddress);
    }
    g_task_return_pointer(task, robots, (GDestroyNotify)g_ptr_array_unref);
}

/* Main context: runs once the worker has returned its result. */
static void SearchDone(GObject* source, GAsyncResult* result, gpointer userData)
{
    GMainLoop* loop = userData;
    GError* error = NULL;
    (void)source;

    GPtrArray* robots = g_task_propagate_pointer(G_TASK(result), &error);
    if (robots == NULL) {
        g_printerr("glib_worker: %s\n", error->message);
        g_error_free(error);
    } else {
        g_print("%u robot(s) found\n", robots->len);
        /* Names and addresses are bytes as the robots sent them: g_print would
         * pass their control characters on to the terminal; PrintTerminalText
         * shows those and invalid UTF-8 as '?'. */
        for (guint i = 0; i < robots->len; ++i) {
            const Robot* robot = g_ptr_array_index(robots, i);
            printf("%2u  ", i);
            PrintTerminalText(stdout, robot->name);
            printf("  ");
            PrintTerminalText(stdout, robot->address);
            printf("\n");
        }
        g_ptr_array_unref(robots);
    }
    g_main_loop_quit(loop);
}

/* Shows that the loop keeps running while the search is under way. */
static gboolean Tick(gpointer userData)
{
    (void)userData;
    g_print("searching...\n");
    return G_SOURCE_CONTINUE;
}

int main(void)
{
    /* GLib converts its own text (g_print, g_strerror) to the locale's character set, so the locale is
     * taken first. Robot names go out through PrintTerminalText as the UTF-8 they are, whatever the
     * locale: Japanese shows on a UTF-8 terminal in "C" too. (seekwell-discover shows '?' for each
     * character beyond ASCII under a locale of another character set, such as ISO-8859-1.) */
    setlocale(LC_ALL, "");
    GMainLoop* loop = g_main_loop_new(NULL, FALSE);
    GTask* task = g_task_new(NULL, NULL /* no cancellable: see above */, SearchDone, loop);
    g_task_run_in_thread(task, SearchInThread);
    g_object_unref(task);

    const guint tick = g_timeout_add_seconds(2, Tick, NULL);
    g_main_loop_run(loop);
    g_source_remove(tick);
    g_main_loop_unref(loop);
    return 0;
}
