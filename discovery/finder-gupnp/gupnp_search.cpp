#include "gupnp_search.h"

#include <libgupnp/gupnp.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <set>
#include <string>

namespace seekwell {

namespace {

// Teardown dispatches what GUPnP queued while its objects were disposed
// (idle and cleanup sources) before the context goes; this bounds it in case
// a source keeps itself ready.
constexpr std::chrono::milliseconds kTeardownDrainLimit{100};

bool IsSearchableInterface(const char* name)
{
    if (name == nullptr) {
        return false;
    }
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    const bool bKnown = ioctl(probe, SIOCGIFFLAGS, &request) == 0;
    close(probe);
    const unsigned flags = static_cast<unsigned short>(request.ifr_flags);
    return bKnown && (flags & IFF_UP) && (flags & IFF_MULTICAST) && !(flags & IFF_LOOPBACK);
}

std::string TakeGString(char* text)
{
    std::string copy = text != nullptr ? text : "";
    g_free(text);
    return copy;
}

// GUPnP resolves the element against the description's location, which would
// turn an empty element into that location: an empty element is no URL.
std::string PresentationUrl(GUPnPDeviceInfo* info)
{
    const std::string element =
        TakeGString(gupnp_device_info_get_description_value(info, "presentationURL"));
    return element.empty() ? std::string() : TakeGString(gupnp_device_info_get_presentation_url(info));
}

void DiscardLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

// The library reports nothing, so the warnings GUPnP logs while it searches
// (failed fetches, unusable interfaces) are dropped; only its own log
// domains are touched, and only for the search.
class GupnpLogSilencer {
public:
    GupnpLogSilencer()
    {
        for (const char* domain : kDomains) {
            m_handlers.push_back(g_log_set_handler(domain, kLevels, &DiscardLogMessage, nullptr));
        }
    }
    ~GupnpLogSilencer()
    {
        for (std::size_t i = 0; i < m_handlers.size(); ++i) {
            g_log_remove_handler(kDomains[i], m_handlers[i]);
        }
    }
    GupnpLogSilencer(const GupnpLogSilencer&) = delete;
    GupnpLogSilencer& operator=(const GupnpLogSilencer&) = delete;

private:
    static constexpr const char* kDomains[] = {
        "gupnp-context",      "gupnp-context-manager", "gupnp-control-point", "gupnp-device-info",
        "gupnp-resource-factory", "gupnp-xml-doc",     "gssdp-client",        "gssdp-net",
        "libsoup"};
    static constexpr GLogLevelFlags kLevels = static_cast<GLogLevelFlags>(
        G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO |
        G_LOG_LEVEL_DEBUG);
    std::vector<guint> m_handlers;
};

class GupnpSearch {
public:
    GupnpSearch(const char* target, std::chrono::milliseconds window)
        : m_target(target), m_window(window), m_context(g_main_context_new()),
          m_loop(g_main_loop_new(m_context, FALSE))
    {
    }

    ~GupnpSearch()
    {
        g_main_loop_unref(m_loop);
        g_main_context_unref(m_context);
    }

    GupnpSearch(const GupnpSearch&) = delete;
    GupnpSearch& operator=(const GupnpSearch&) = delete;

    DeviceList Run()
    {
        // Everything GUPnP creates from here on attaches to m_context.
        g_main_context_push_thread_default(m_context);
        m_manager = gupnp_context_manager_create_full(GSSDP_UDA_VERSION_1_0, G_SOCKET_FAMILY_IPV4, 0);
        g_signal_connect(m_manager, "context-available", G_CALLBACK(OnContextAvailable), this);
        // Closes the window even when no interface ever comes up.
        ArmWindow();
        g_main_loop_run(m_loop);
        TearDown();
        g_main_context_pop_thread_default(m_context);
        return std::move(m_devices);
    }

private:
    static void OnContextAvailable(GUPnPContextManager*, GUPnPContext* context, gpointer self)
    {
        static_cast<GupnpSearch*>(self)->AddControlPoint(context);
    }

    static void OnDeviceProxyAvailable(GUPnPControlPoint*, GUPnPDeviceProxy* proxy, gpointer self)
    {
        static_cast<GupnpSearch*>(self)->AddDevice(GUPNP_DEVICE_INFO(proxy));
    }

    static gboolean OnWindowClosed(gpointer self)
    {
        auto* search = static_cast<GupnpSearch*>(self);
        search->m_windowTimer = nullptr;
        g_main_loop_quit(search->m_loop);
        return G_SOURCE_REMOVE;
    }

    void AddControlPoint(GUPnPContext* context)
    {
        if (!IsSearchableInterface(gssdp_client_get_interface(GSSDP_CLIENT(context)))) {
            return;
        }
        if (!m_bWindowStarted) {
            m_bWindowStarted = true;
            ArmWindow();
        }
        // Descriptions are fetched directly: proxy settings of the host
        // (environment or desktop) must not send them elsewhere.
        soup_session_set_proxy_resolver(gupnp_context_get_session(context), nullptr);
        GUPnPControlPoint* controlPoint = gupnp_control_point_new(context, m_target);
        g_signal_connect(controlPoint, "device-proxy-available",
                         G_CALLBACK(OnDeviceProxyAvailable), this);
        gssdp_resource_browser_set_active(GSSDP_RESOURCE_BROWSER(controlPoint), TRUE);
        m_controlPoints.push_back(controlPoint);
    }

    // GUPnP announces a device only after it fetched and parsed its
    // description; a device seen on several interfaces is kept once.
    // Called from C: a device that cannot be stored is dropped.
    void AddDevice(GUPnPDeviceInfo* info) noexcept
    {
        const char* udn = gupnp_device_info_get_udn(info);
        try {
            if (udn == nullptr || !m_udns.insert(udn).second) {
                return;
            }
            m_devices.push_back(DeviceProperties{
                TakeGString(gupnp_device_info_get_friendly_name(info)),
                PresentationUrl(info),
                TakeGString(gupnp_device_info_get_model_description(info))});
        } catch (const std::bad_alloc&) {
        }
    }

    void ArmWindow()
    {
        DisarmWindow();
        m_windowTimer = g_timeout_source_new(static_cast<guint>(m_window.count()));
        g_source_set_callback(m_windowTimer, &OnWindowClosed, this, nullptr);
        g_source_attach(m_windowTimer, m_context);
        g_source_unref(m_windowTimer);  // the context holds it until it fires
    }

    void DisarmWindow()
    {
        if (m_windowTimer != nullptr) {
            g_source_destroy(m_windowTimer);
            m_windowTimer = nullptr;
        }
    }

    void TearDown()
    {
        DisarmWindow();
        for (GUPnPControlPoint* controlPoint : m_controlPoints) {
            g_signal_handlers_disconnect_by_data(controlPoint, this);
            gssdp_resource_browser_set_active(GSSDP_RESOURCE_BROWSER(controlPoint), FALSE);
            // A description fetch waiting for its retry holds a reference to
            // the control point, so a plain unref would leave it, its sockets
            // and its timer alive; disposing cancels the pending fetches.
            g_object_run_dispose(G_OBJECT(controlPoint));
            g_object_unref(controlPoint);
        }
        m_controlPoints.clear();
        g_signal_handlers_disconnect_by_data(m_manager, this);
        g_clear_object(&m_manager);
        DrainContext();
    }

    void DrainContext()
    {
        const gint64 end =
            g_get_monotonic_time() +
            std::chrono::duration_cast<std::chrono::microseconds>(kTeardownDrainLimit).count();
        while (g_main_context_iteration(m_context, FALSE) && g_get_monotonic_time() < end) {
        }
    }

    const char* m_target;
    std::chrono::milliseconds m_window;
    GMainContext* m_context;
    GMainLoop* m_loop;
    GUPnPContextManager* m_manager = nullptr;
    std::vector<GUPnPControlPoint*> m_controlPoints;
    GSource* m_windowTimer = nullptr;
    bool m_bWindowStarted = false;
    std::set<std::string> m_udns;
    DeviceList m_devices;
};

}  // namespace

DeviceList SearchDevices(const char* target, std::chrono::milliseconds window)
{
    const GupnpLogSilencer silencer;
    GupnpSearch search(target, window);
    return search.Run();
}

}  // namespace seekwell
