#include "window_messages.h"

#include "load_order.h"
#include "platform/window_message_registry.h"

namespace seekwell {

namespace {
constexpr const char* kWindowMessageNames[SEEKWELL_WM_NAME_COUNT] = SEEKWELL_WM_NAMES;
}

CWindowMessageSet::CWindowMessageSet()
{
    for (int i = 0; i < SEEKWELL_WM_NAME_COUNT; ++i) {
        m_auMessage[i] = platform::RegisterWindowMessageA(kWindowMessageNames[i]);
    }
}

// Registered at load, in this order, before the application object is built.
__attribute__((init_priority(SEEKWELL_INIT_PRIORITY_WINDOW_MESSAGES)))
const CWindowMessageSet g_WindowMessagesFirst;
__attribute__((init_priority(SEEKWELL_INIT_PRIORITY_WINDOW_MESSAGES)))
const CWindowMessageSet g_WindowMessagesSecond;
__attribute__((init_priority(SEEKWELL_INIT_PRIORITY_WINDOW_MESSAGES)))
const CWindowMessageSet g_WindowMessagesThird;

}  // namespace seekwell
