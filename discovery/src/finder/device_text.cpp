#include "finder/device_text.h"

#include <cstring>

#include "robot_name.h"
#include "search_constants.h"

namespace seekwell {

namespace {

// Length of the scheme "http" with its colon and two slashes; the URL is not
// validated, so other schemes simply lose their first 7 characters too.
constexpr std::size_t kHttpSchemeLength = 7;

bool IsUtf8ContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string NarrowText(const char* text)
{
    if (text == nullptr) {
        return std::string();
    }
    std::size_t length = strnlen(text, kNarrowTextMaxChars + 1);
    if (length > kNarrowTextMaxChars) {
        // Back up to the first byte of the character the limit would split.
        length = kNarrowTextMaxChars;
        while (length > 0 && IsUtf8ContinuationByte(text[length])) {
            --length;
        }
    }
    return std::string(text, length);
}

std::string NarrowName(const char* text) { return text == nullptr ? std::string() : RobotName(text); }

std::string HostFromPresentationUrl(const std::string& url)
{
    const std::size_t lastSlash = url.rfind('/');
    if (lastSlash == std::string::npos || lastSlash <= kHttpSchemeLength) {
        return std::string();
    }
    return url.substr(kHttpSchemeLength, lastSlash - kHttpSchemeLength);
}

}  // namespace seekwell
