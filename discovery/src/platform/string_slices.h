// Stands in for the platform string class: std::string helpers that keep the
// rules the discovery relies on (a negative count gives the empty text).
#ifndef SEEKWELL_PLATFORM_STRING_SLICES_H
#define SEEKWELL_PLATFORM_STRING_SLICES_H

#include <algorithm>
#include <cstdio>
#include <string>

namespace seekwell::platform {

// Position of the first occurrence of what in text, or -1.
inline int Find(const std::string& text, const std::string& what)
{
    const std::string::size_type at = text.find(what);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

// count characters from first (a negative first counts as 0); a count of
// zero or less gives the empty text.
inline std::string Mid(const std::string& text, int first, int count)
{
    first = std::max(first, 0);
    if (count <= 0 || static_cast<std::size_t>(first) >= text.size()) {
        return std::string();
    }
    return text.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(count));
}

// The last count characters, or the whole text when it is not longer.
inline std::string Right(const std::string& text, std::size_t count)
{
    return text.size() <= count ? text : text.substr(text.size() - count);
}

inline int CountChar(const std::string& text, char wanted)
{
    return static_cast<int>(std::count(text.begin(), text.end(), wanted));
}

// Formats a two-argument pattern such as "http://%s/%s".
inline std::string Format2(const char* pattern, const char* first, const char* second)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int length = std::snprintf(nullptr, 0, pattern, first, second);
    if (length <= 0) {
        return std::string();
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, pattern, first, second);
#pragma GCC diagnostic pop
    return text;
}

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_STRING_SLICES_H
