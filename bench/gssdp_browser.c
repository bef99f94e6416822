/*
 * seekwell-gssdp-browser IFACE SECONDS: a GSSDP resource browser for upnp:rootdevice on one
 * interface, the peer of a seekwell watch in bench/e2e_announce.sh. One line per change, stamped
 * with CLOCK_MONOTONIC in microseconds, the USN last:
 *
 *   available 1234567890 uuid:...::upnp:rootdevice
 *   unavailable 1234567999 uuid:...::upnp:rootdevice
 */
#include <libgssdp/gssdp.h>
#include <stdio.h>
#include <stdlib.h>

static void PrintChange(const char* what, const char* usn)
{
    printf("%s %lld %s\n", what, (long long)g_get_monotonic_time(), usn);
    fflush(stdout);
}

static void OnAvailable(GSSDPResourceBrowser* browser, const char* usn, GList* locations, gpointer unused)
{
    (void)browser;
    (void)locations;
    (void)unused;
    PrintChange("available", usn);
}

static void OnUnavailable(GSSDPResourceBrowser* browser, const char* usn, gpointer unused)
{
    (void)browser;
    (void)unused;
    PrintChange("unavailable", usn);
}

static gboolean Quit(gpointer loop)
{
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

int main(int argc, char** argv)
{
    if (argc != 3 || atoi(argv[2]) <= 0) {
        fprintf(stderr, "usage: %s IFACE SECONDS\n", argv[0]);
        return 1;
    }
    GError* error = NULL;
    GSSDPClient* client = gssdp_client_new_full(argv[1], NULL, 0, GSSDP_UDA_VERSION_1_0, &error);
    if (client == NULL) {
        fprintf(stderr, "no GSSDP client on %s: %s\n", argv[1], error ? error->message : "?");
        return 2;
    }
    GSSDPResourceBrowser* browser = gssdp_resource_browser_new(client, "upnp:rootdevice");
    g_signal_connect(browser, "resource-available", G_CALLBACK(OnAvailable), NULL);
    g_signal_connect(browser, "resource-unavailable", G_CALLBACK(OnUnavailable), NULL);
    gssdp_resource_browser_set_active(browser, TRUE);
    GMainLoop* loop = g_main_loop_new(NULL, FALSE);
    g_timeout_add_seconds((guint)atoi(argv[2]), Quit, loop);
    printf("ready %lld\n", (long long)g_get_monotonic_time());
    fflush(stdout);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    g_object_unref(browser);
    g_object_unref(client);
    return 0;
}
