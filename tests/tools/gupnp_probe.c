/*
 * gupnp-probe SECONDS: runs a GUPnP control point for upnp:rootdevice on every interface for the
 * given time and prints one line per device whose description GUPnP fetched and accepted:
 *
 *   device <friendly name>|<model description>|<presentation URL>|<UDN>
 *
 * Shows that the simulator's descriptions are ones a real UPnP stack takes.
 */
#include <libgupnp/gupnp.h>
#include <stdio.h>
#include <stdlib.h>

static void OnDeviceAvailable(GUPnPControlPoint* controlPoint, GUPnPDeviceProxy* proxy, gpointer unused)
{
    GUPnPDeviceInfo* info = GUPNP_DEVICE_INFO(proxy);
    char* name = gupnp_device_info_get_friendly_name(info);
    char* description = gupnp_device_info_get_model_description(info);
    char* presentation = gupnp_device_info_get_presentation_url(info);
    (void)controlPoint;
    (void)unused;
    printf("device %s|%s|%s|%s\n", name, description, presentation, gupnp_device_info_get_udn(info));
    fflush(stdout);
    g_free(name);
    g_free(description);
    g_free(presentation);
}

static void OnContextAvailable(GUPnPContextManager* manager, GUPnPContext* context, gpointer unused)
{
    GUPnPControlPoint* controlPoint = gupnp_control_point_new(context, "upnp:rootdevice");
    (void)unused;
    g_signal_connect(controlPoint, "device-proxy-available", G_CALLBACK(OnDeviceAvailable), NULL);
    gssdp_resource_browser_set_active(GSSDP_RESOURCE_BROWSER(controlPoint), TRUE);
    gupnp_context_manager_manage_control_point(manager, controlPoint);
    g_object_unref(controlPoint);
}

static gboolean Quit(gpointer loop)
{
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

int main(int argc, char** argv)
{
    GMainLoop* loop;
    GUPnPContextManager* manager;
    int seconds = argc == 2 ? atoi(argv[1]) : 0;
    if (seconds <= 0) {
        fprintf(stderr, "usage: %s SECONDS\n", argv[0]);
        return 2;
    }
    loop = g_main_loop_new(NULL, FALSE);
    manager = gupnp_context_manager_create_full(GSSDP_UDA_VERSION_1_0, G_SOCKET_FAMILY_IPV4, 0);
    g_signal_connect(manager, "context-available", G_CALLBACK(OnContextAvailable), NULL);
    g_timeout_add_seconds((guint)seconds, Quit, loop);
    g_main_loop_run(loop);
    g_object_unref(manager);
    g_main_loop_unref(loop);
    return 0;
}
