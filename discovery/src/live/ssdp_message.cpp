#include "live/ssdp_message.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "robot_rules.h"

namespace seekwell::live {

namespace {

constexpr std::string_view kNotifyLine = "NOTIFY * HTTP/1.1";
constexpr std::string_view kUsnTypeSeparator = "::";
constexpr std::string_view kBlanks = " \t";

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

// The value of the first header called name, if any, cut to what is kept.
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
            return Trim(line.substr(colon + 1)).substr(0, kHeaderKeptBytes);
        }
        at = end;
    }
    return std::nullopt;
}

std::string HeaderText(std::string_view text, std::string_view name)
{
    return std::string(HeaderValue(text, name).value_or(std::string_view()));
}

SsdpMessage::Kind NotifyKind(std::string_view text)
{
    const std::optional<std::string_view> nts = HeaderValue(text, "NTS");
    if (!nts) {
        return SsdpMessage::Kind::Other;
    }
    if (SameIgnoringCase(*nts, "ssdp:byebye")) {
        return SsdpMessage::Kind::Byebye;
    }
    if (SameIgnoringCase(*nts, "ssdp:alive") || SameIgnoringCase(*nts, "ssdp:update")) {
        return SsdpMessage::Kind::Alive;
    }
    return SsdpMessage::Kind::Other;
}

}  // namespace

SsdpMessage ReadSsdpMessage(const char* text)
{
    const std::string_view whole(text);
    SsdpMessage message;
    if (whole.substr(0, kNotifyLine.size()) == kNotifyLine) {
        message.kind = NotifyKind(whole);
    }
    message.marker = CarriesRobotMarker(text);
    message.location = std::string(LocationUrl(text).substr(0, kHeaderKeptBytes));
    if (const std::string_view host = LocationHostText(text); host.data() != nullptr) {
        message.locationHost = std::string(host);
    }
    const std::string usn = HeaderText(whole, "USN");
    message.udn = usn.substr(0, usn.find(kUsnTypeSeparator));
    message.bootId = HeaderText(whole, "BOOTID.UPNP.ORG");
    return message;
}

}  // namespace seekwell::live
