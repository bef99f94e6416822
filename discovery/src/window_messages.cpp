#include "window_messages.h"

namespace seekwell {

namespace {

constexpr const char* kWindowMessageNames[SEEKWELL_WM_NAME_COUNT] = SEEKWELL_WM_NAMES;

// Stands in for the window manager's registration of message names: the
// identifier is computed from the name alone, so every module agrees on it.
unsigned int RegisterWindowMessageA(const char* name) { return SeekwellWindowMessageId(name); }

}  // namespace

WindowMessageSet::WindowMessageSet()
{
    for (int i = 0; i < SEEKWELL_WM_NAME_COUNT; ++i) {
        ids[i] = RegisterWindowMessageA(kWindowMessageNames[i]);
    }
}

// Registered at load, in this order, before the application object is built.
__attribute__((init_priority(SEEKWELL_INIT_PRIORITY_WINDOW_MESSAGES))) const WindowMessageSet kWindowMessagesFirst;
__attribute__((init_priority(SEEKWELL_INIT_PRIORITY_WINDOW_MESSAGES))) const WindowMessageSet kWindowMessagesSecond;
__attribute__((init_priority(SEEKWELL_INIT_PRIORITY_WINDOW_MESSAGES))) const WindowMessageSet kWindowMessagesThird;

}  // namespace seekwell
