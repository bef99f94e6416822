#include "gupnp_search.h"

#include <glib-unix.h>
#include <ifaddrs.h>
#include <libgupnp/gupnp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <new>
#include <set>
#include <string>

#include "platform/interface_rule.h"

namespace seekwell {

namespace {

// Teardown dispatches what GUPnP queued while its objects were disposed
// (idle and cleanup sources) before the context goes; this bounds it in case
// a source keeps itself ready.
constexpr std::chrono::milliseconds kTeardownDrainLimit{100};
// How long teardown waits for the description fetches it cancelled to hand
// their cancellation to GUPnP; a cancelled fetch normally ends at once.
constexpr std::chrono::milliseconds kFetchCancelLimit{500};

bool IsSearchableIpv4Entry(const ifaddrs& entry)
{
    return entry.ifa_addr != nullptr && entry.ifa_addr->sa_family == AF_INET && entry.ifa_name != nullptr &&
           platform::IsSearchableInterface(entry.ifa_flags);
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
    const std::string element = TakeGString(gupnp_device_info_get_description_value(info, "presentationURL"));
    return element.empty() ? std::string() : TakeGString(gupnp_device_info_get_presentation_url(info));
}

gint64 MicrosecondsFromNow(std::chrono::milliseconds delay)
{
    return g_get_monotonic_time() + std::chrono::duration_cast<std::chrono::microseconds>(delay).count();
}

class GupnpSearch {
public:
    GupnpSearch(const char* target, std::chrono::milliseconds window, const HandOver& handOver)
        : target_(target),
          window_(window),
          handOver_(handOver),
          context_(g_main_context_new()),
          loop_(g_main_loop_new(context_, FALSE))
    {
    }

    ~GupnpSearch()
    {
        DisarmWindow();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

    GupnpSearch(const GupnpSearch&) = delete;
    GupnpSearch& operator=(const GupnpSearch&) = delete;

    void Run()
    {
        // Everything GUPnP creates from here on attaches to context_.
        g_main_context_push_thread_default(context_);
        // The window runs from the request: the caller counts it from the
        // start of its call, so the time spent setting up here is in it.
        ArmWindow();
        AddControlPoints();
        g_main_loop_run(loop_);
        TearDown();
        g_main_context_pop_thread_default(context_);
    }

private:
    static void OnDeviceProxyAvailable(GUPnPControlPoint*, GUPnPDeviceProxy* proxy, gpointer self)
    {
        static_cast<GupnpSearch*>(self)->AddDevice(GUPNP_DEVICE_INFO(proxy));
    }

    static void OnRequestQueued(SoupSession*, SoupMessage*, gpointer self)
    {
        ++static_cast<GupnpSearch*>(self)->requestsInFlight_;
    }

    static void OnRequestUnqueued(SoupSession*, SoupMessage*, gpointer self)
    {
        --static_cast<GupnpSearch*>(self)->requestsInFlight_;
    }

    // The devices go out from here, before the rest of this iteration is
    // dispatched and before teardown, which can take milliseconds.
    static gboolean OnWindowClosed(gpointer self)
    {
        auto* search = static_cast<GupnpSearch*>(self);
        search->DisarmWindow();
        search->handOver_(search->devices_);
        g_main_loop_quit(search->loop_);
        return G_SOURCE_REMOVE;
    }

    static gboolean OnWindowTimerReadable(gint, GIOCondition, gpointer self) { return OnWindowClosed(self); }

    static gboolean OnCancelLimitReached(gpointer flag)
    {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
    }

    // The contexts are made here rather than by GUPnP's context manager,
    // whose Linux variant opens its netlink and ioctl sockets without
    // close-on-exec; the interface list is read once, which suits one window.
    void AddControlPoints()
    {
        ifaddrs* interfaces = nullptr;
        if (getifaddrs(&interfaces) != 0) {
            return;
        }
        for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
            if (IsSearchableIpv4Entry(*entry)) {
                AddControlPoint(*entry);
            }
        }
        freeifaddrs(interfaces);
    }

    // An interface whose context or control point cannot be made is not
    // searched.
    void AddControlPoint(const ifaddrs& entry)
    {
        try {
            controlPoints_.reserve(controlPoints_.size() + 1);
        } catch (const std::bad_alloc&) {
            return;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry.ifa_addr);
        GInetAddress* inetAddress =
            g_inet_address_new_from_bytes(reinterpret_cast<const guint8*>(&address->sin_addr), G_SOCKET_FAMILY_IPV4);
        GUPnPContext* context = gupnp_context_new_full(entry.ifa_name, inetAddress, 0, GSSDP_UDA_VERSION_1_0, nullptr);
        g_object_unref(inetAddress);
        if (context == nullptr) {
            return;
        }
        SoupSession* session = gupnp_context_get_session(context);
        // Descriptions are fetched directly: proxy settings of the host
        // (environment or desktop) must not send them elsewhere.
        soup_session_set_proxy_resolver(session, nullptr);
        // Counts the description fetches, which teardown has to see ended.
        g_signal_connect(session, "request-queued", G_CALLBACK(OnRequestQueued), this);
        g_signal_connect(session, "request-unqueued", G_CALLBACK(OnRequestUnqueued), this);
        GUPnPControlPoint* controlPoint = gupnp_control_point_new(context, target_);
        g_object_unref(context);  // the control point holds it
        g_signal_connect(controlPoint, "device-proxy-available", G_CALLBACK(OnDeviceProxyAvailable), this);
        gssdp_resource_browser_set_active(GSSDP_RESOURCE_BROWSER(controlPoint), TRUE);
        controlPoints_.push_back(controlPoint);
    }

    // GUPnP announces a device only after it fetched and parsed its
    // description; a device seen on several interfaces is kept once.
    // Called from C: a device that cannot be stored is dropped.
    void AddDevice(GUPnPDeviceInfo* info) noexcept
    {
        const char* udn = gupnp_device_info_get_udn(info);
        try {
            if (udn == nullptr || !udns_.insert(udn).second) {
                return;
            }
            devices_.push_back(FoundDevice{TakeGString(gupnp_device_info_get_friendly_name(info)),
                                           PresentationUrl(info),
                                           TakeGString(gupnp_device_info_get_model_description(info))});
        } catch (const std::bad_alloc&) {
        }
    }

    // The window is a timer descriptor rather than a GLib timeout: GLib
    // waits for a timeout with poll, whose wake-up the kernel may defer by
    // 0.1 % of the wait (up to 10 ms for this window); a timer descriptor
    // fires on time. A GLib timeout serves when no descriptor can be made.
    void ArmWindow()
    {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(window_);
        const itimerspec expiry{{0, 0},
                                {static_cast<time_t>(seconds.count()),
                                 static_cast<long>(std::chrono::nanoseconds(window_ - seconds).count())}};
        windowFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        if (windowFd_ >= 0 && timerfd_settime(windowFd_, 0, &expiry, nullptr) == 0) {
            windowTimer_ = g_unix_fd_source_new(windowFd_, G_IO_IN);
            g_source_set_callback(windowTimer_, G_SOURCE_FUNC(&OnWindowTimerReadable), this, nullptr);
        } else {
            CloseWindowFd();
            windowTimer_ = g_timeout_source_new(static_cast<guint>(window_.count()));
            g_source_set_callback(windowTimer_, &OnWindowClosed, this, nullptr);
        }
        g_source_attach(windowTimer_, context_);
    }

    void DisarmWindow()
    {
        if (windowTimer_ != nullptr) {
            g_source_destroy(windowTimer_);
            g_source_unref(windowTimer_);
            windowTimer_ = nullptr;
        }
        CloseWindowFd();
    }

    void CloseWindowFd()
    {
        if (windowFd_ >= 0) {
            close(windowFd_);
            windowFd_ = -1;
        }
    }

    static SoupSession* SessionOf(GUPnPControlPoint* controlPoint)
    {
        return gupnp_context_get_session(
            GUPNP_CONTEXT(gssdp_resource_browser_get_client(GSSDP_RESOURCE_BROWSER(controlPoint))));
    }

    // GUPnP 1.6 frees a fetch's state when its control point is disposed,
    // yet the fetch's callback still runs afterwards and uses it. So every
    // fetch is cancelled and its callback dispatched first; disposing then
    // only drops fetches that wait for a retry, which have no callback.
    void TearDown()
    {
        DisarmWindow();
        for (GUPnPControlPoint* controlPoint : controlPoints_) {
            g_signal_handlers_disconnect_by_data(controlPoint, this);
            gssdp_resource_browser_set_active(GSSDP_RESOURCE_BROWSER(controlPoint), FALSE);
        }
        const bool fetchesEnded = CancelFetches();
        for (GUPnPControlPoint* controlPoint : controlPoints_) {
            g_signal_handlers_disconnect_by_data(SessionOf(controlPoint), this);
            if (!fetchesEnded) {
                // A fetch that outlived its cancellation would find freed
                // state: its control point is kept rather than freed.
                continue;
            }
            // A fetch waiting for its retry holds a reference to the control
            // point, so a plain unref would leave it, its sockets and its
            // timer alive; disposing drops such fetches.
            g_object_run_dispose(G_OBJECT(controlPoint));
            g_object_unref(controlPoint);
        }
        controlPoints_.clear();
        DrainContext();
    }

    // Cancels the fetches in flight (and any a retry timer starts meanwhile)
    // and dispatches until their callbacks ran. False when some fetch has not
    // ended within kFetchCancelLimit.
    bool CancelFetches()
    {
        bool limitReached = false;
        GSource* limit = g_timeout_source_new(static_cast<guint>(kFetchCancelLimit.count()));
        g_source_set_callback(limit, &OnCancelLimitReached, &limitReached, nullptr);
        g_source_attach(limit, context_);
        for (;;) {
            for (GUPnPControlPoint* controlPoint : controlPoints_) {
                soup_session_abort(SessionOf(controlPoint));
            }
            if (requestsInFlight_ == 0 || limitReached) {
                break;
            }
            g_main_context_iteration(context_, TRUE);
        }
        // A callback may still be queued behind the end of its request.
        while (!limitReached && g_main_context_iteration(context_, FALSE)) {
        }
        g_source_destroy(limit);
        g_source_unref(limit);
        return requestsInFlight_ == 0;
    }

    void DrainContext()
    {
        const gint64 end = MicrosecondsFromNow(kTeardownDrainLimit);
        while (g_main_context_iteration(context_, FALSE) && g_get_monotonic_time() < end) {
        }
    }

    const char* target_;
    std::chrono::milliseconds window_;
    const HandOver& handOver_;
    GMainContext* context_;
    GMainLoop* loop_;
    std::vector<GUPnPControlPoint*> controlPoints_;
    GSource* windowTimer_ = nullptr;  // one reference of ours while armed
    int windowFd_ = -1;
    int requestsInFlight_ = 0;
    std::set<std::string> udns_;
    FoundDeviceList devices_;
};

}  // namespace

void SearchDevices(const char* target, std::chrono::milliseconds window, const HandOver& handOver)
{
    GupnpSearch search(target, window, handOver);
    search.Run();
}

}  // namespace seekwell
