#include "ssdp_request.h"

#include <algorithm>
#include <cctype>

namespace robotsim {
namespace {

constexpr std::string_view kSearchRequestLine = "M-SEARCH ";
constexpr std::string_view kSearchTargetHeader = "st";
constexpr std::string_view kBlanks = " \t";

std::string_view NextLine(std::string_view& rest)
{
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

std::string_view Trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool SameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::optional<std::string> SearchTargetOf(std::string_view datagram)
{
    if (datagram.substr(0, kSearchRequestLine.size()) != kSearchRequestLine) {
        return std::nullopt;
    }
    std::string_view rest = datagram;
    NextLine(rest);
    for (std::string_view line = NextLine(rest); !line.empty(); line = NextLine(rest)) {
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && SameIgnoringCase(Trim(line.substr(0, colon)), kSearchTargetHeader)) {
            return std::string(Trim(line.substr(colon + 1)));
        }
    }
    return std::nullopt;
}

}  // namespace robotsim
