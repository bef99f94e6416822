// Stand-in for the window manager's registration of message names: the
// identifier is computed from the name alone, so every module agrees on it.
#ifndef SEEKWELL_PLATFORM_WINDOW_MESSAGE_REGISTRY_H
#define SEEKWELL_PLATFORM_WINDOW_MESSAGE_REGISTRY_H

#include <seekwell/window_messages.h>

namespace seekwell::platform {

inline unsigned int RegisterWindowMessageA(const char* name)
{
    return SeekwellWindowMessageId(name);
}

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_WINDOW_MESSAGE_REGISTRY_H
