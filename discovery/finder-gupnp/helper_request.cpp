#include "helper_request.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "finder_wire.h"

namespace seekwell {

namespace {

namespace hp = finder_wire;

// Far above the window the library asks for; a longer one is a mistake.
constexpr unsigned long kMaxWindowMs = 60000;
constexpr std::size_t kMaxWindowDigits = 5;
constexpr std::size_t kMaxSentAtDigits = 19;
constexpr unsigned long kDecimalBase = 10;

std::optional<unsigned long long> ParseDecimal(const std::string& text, std::size_t maxDigits)
{
    if (text.empty() || text.size() > maxDigits) {
        return std::nullopt;
    }
    unsigned long long value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') {
            return std::nullopt;
        }
        value = value * kDecimalBase + static_cast<unsigned long long>(digit - '0');
    }
    return value;
}

// The window left now: the time since the library wrote the request (its
// clock and ours are the same) is taken off.
std::optional<std::chrono::milliseconds> ParseWindow(const std::string& fields)
{
    const std::size_t separator = fields.find(hp::kRequestSeparator);
    const std::optional<unsigned long long> window = ParseDecimal(fields.substr(0, separator), kMaxWindowDigits);
    if (!window || *window > kMaxWindowMs) {
        return std::nullopt;
    }
    if (separator == std::string::npos) {
        return std::chrono::milliseconds(*window);
    }
    const std::optional<unsigned long long> sentAt = ParseDecimal(fields.substr(separator + 1), kMaxSentAtDigits);
    if (!sentAt) {
        return std::nullopt;
    }
    const long long now = hp::MonotonicMs();
    const long long spent = std::clamp<long long>(now - static_cast<long long>(*sentAt), 0, *window);
    return std::chrono::milliseconds(static_cast<long long>(*window) - spent);
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
    const std::optional<std::chrono::milliseconds> window = ParseWindow(line->substr(separator + 1));
    if (!window) {
        return std::nullopt;
    }
    return SearchRequest{line->substr(0, separator), *window};
}

}  // namespace seekwell
