#include "call_window.h"

#include <algorithm>
#include <optional>

#include "search_constants.h"

namespace seekwell {

namespace {

using Clock = std::chrono::steady_clock;

// Read and written only under the call lock.
std::optional<Clock::time_point> g_windowStart;

}  // namespace

CallWindow::CallWindow() { g_windowStart = Clock::now(); }

CallWindow::~CallWindow() { g_windowStart.reset(); }

std::chrono::milliseconds CallWindowLeft()
{
    const std::chrono::milliseconds window(kSearchWindowMs);
    if (!g_windowStart) {
        return window;
    }
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *g_windowStart);
    return std::clamp(window - spent, std::chrono::milliseconds(0), window);
}

}  // namespace seekwell
