#include "helper_request.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "finder_wire.h"

namespace seekwell {

namespace {

namespace hp = finder_wire;

// Far above the window the library asks for; a longer one is a mistake.
constexpr unsigned long kMaxWindowMs = 60000;
constexpr std::size_t kMaxWindowDigits = 5;
constexpr unsigned long kDecimalBase = 10;

std::optional<std::chrono::milliseconds> ParseWindow(const char* text)
{
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > kMaxWindowDigits) {
        return std::nullopt;
    }
    unsigned long value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * kDecimalBase + static_cast<unsigned long>(text[i] - '0');
    }
    if (value > kMaxWindowMs) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(value);
}

// Everything up to the line's end, which must come within kMaxRequestBytes
// and before the library closes its side.
std::optional<std::string> ReadRequestLine()
{
    std::string line;
    char byte = 0;
    while (line.size() < hp::kMaxRequestBytes) {
        const ssize_t got = read(hp::kHelperRequestFd, &byte, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return std::nullopt;
        }
        if (byte == hp::kRequestEnd) {
            return line;
        }
        line.push_back(byte);
    }
    return std::nullopt;
}

}  // namespace

std::optional<SearchRequest> ReadSearchRequest()
{
    const std::optional<std::string> line = ReadRequestLine();
    if (!line) {
        return std::nullopt;
    }
    const std::size_t separator = line->find(hp::kRequestSeparator);
    if (separator == 0 || separator == std::string::npos) {
        return std::nullopt;
    }
    const std::optional<std::chrono::milliseconds> window = ParseWindow(line->c_str() + separator + 1);
    if (!window) {
        return std::nullopt;
    }
    return SearchRequest{line->substr(0, separator), *window};
}

}  // namespace seekwell
