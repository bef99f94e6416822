// The copies handed to the host: made with strdup, released by the host with free.
#ifndef SEEKWELL_PLATFORM_HEAP_STRING_H
#define SEEKWELL_PLATFORM_HEAP_STRING_H

#include <cstring>

namespace seekwell::platform {

// nullptr when the copy cannot be made.
inline char* StrDupA(const char* text)
{
    return strdup(text);
}

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_HEAP_STRING_H
