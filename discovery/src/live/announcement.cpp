#include "live/announcement.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace seekwell::live {

namespace {

constexpr std::string_view kNotifyLine = "NOTIFY * HTTP/1.1";
constexpr std::string_view kBlanks = " \t";
// A device's header value longer than this is no one's USN or boot id.
constexpr std::size_t kLongestValue = 255;

bool SameIgnoringCase(std::string_view one, std::string_view other)
{
    return one.size() == other.size() && std::equal(one.begin(), one.end(), other.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

std::string_view Trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The value of the first header called name (any letter case), if any.
std::optional<std::string_view> HeaderValue(std::string_view text, std::string_view name)
{
    std::size_t at = text.find('\n');
    while (at != std::string_view::npos && at + 1 < text.size()) {
        const std::size_t start = at + 1;
        const std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? text.npos : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            return std::nullopt;  // the end of the headers
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && SameIgnoringCase(Trim(line.substr(0, colon)), name)) {
            return Trim(line.substr(colon + 1)).substr(0, kLongestValue);
        }
        at = end;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Announcement> ReadAnnouncement(const char* text)
{
    const std::string_view whole(text);
    if (whole.substr(0, kNotifyLine.size()) != kNotifyLine) {
        return std::nullopt;
    }
    const std::optional<std::string_view> nts = HeaderValue(whole, "NTS");
    if (!nts) {
        return std::nullopt;
    }
    Announcement announcement;
    if (SameIgnoringCase(*nts, "ssdp:byebye")) {
        announcement.kind = Announcement::Kind::Byebye;
    } else if (!SameIgnoringCase(*nts, "ssdp:alive") && !SameIgnoringCase(*nts, "ssdp:update")) {
        return std::nullopt;
    }
    announcement.usn = std::string(HeaderValue(whole, "USN").value_or(std::string_view()));
    announcement.bootId = BootIdOf(text);
    return announcement;
}

bool UsnNames(std::string_view usn, std::string_view udn)
{
    if (udn.empty() || usn.substr(0, udn.size()) != udn) {
        return false;
    }
    const std::string_view rest = usn.substr(udn.size());
    return rest.empty() || rest.substr(0, 2) == "::";
}

std::string BootIdOf(const char* text)
{
    return std::string(HeaderValue(text, "BOOTID.UPNP.ORG").value_or(std::string_view()));
}

}  // namespace seekwell::live
