#include "robot_rules.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/ipv4_text.h"
#include "platform/string_slices.h"
#include "search_constants.h"

namespace seekwell {

namespace {

constexpr std::size_t kLocationPrefixLength = sizeof(kLocationPrefix) - 1;
// Where the URL starts inside the prefix "LOCATION: http://".
constexpr std::size_t kUrlOffsetInPrefix = sizeof("LOCATION: ") - 1;

constexpr const char kUdnOpenTag[] = "<UDN>";
constexpr const char kUdnCloseTag[] = "</UDN>";
constexpr const char kManufacturerOpenTag[] = "<manufacturer>";
constexpr const char kManufacturerCloseTag[] = "</manufacturer>";
constexpr const char kModelNameOpenTag[] = "<modelName>";
constexpr const char kModelNameCloseTag[] = "</modelName>";
constexpr const char kModelDescriptionOpenTag[] = "<modelDescription>";
constexpr const char kModelDescriptionCloseTag[] = "</modelDescription>";
constexpr const char kPresentationUrlOpenTag[] = "<presentationURL>";
constexpr const char kPresentationUrlCloseTag[] = "</presentationURL>";
constexpr const char kFriendlyNameOpenTag[] = "<friendlyName>";
constexpr const char kFriendlyNameCloseTag[] = "</friendlyName>";

}  // namespace

bool CarriesRobotMarker(const char* replyText) { return std::strstr(replyText, kSsdpReplyMarker) != nullptr; }

std::string_view LocationHostText(const char* replyText)
{
    const char* prefix = std::strstr(replyText, kLocationPrefix);
    if (prefix == nullptr) {
        return std::string_view();
    }
    const char* host = prefix + kLocationPrefixLength;
    return std::string_view(host, std::strcspn(host, "/"));
}

std::string_view LocationUrl(const char* replyText)
{
    const char* prefix = std::strstr(replyText, kLocationPrefix);
    if (prefix == nullptr) {
        return std::string_view();
    }
    const char* url = prefix + kUrlOffsetInPrefix;
    return std::string_view(url, std::strcspn(url, "\r\n"));
}

bool ReadIpv4(const char* hostText, in_addr& address) { return inet_aton(hostText, &address) != 0; }

std::string RenderIpv4(const char* hostText)
{
    in_addr parsed{};
    parsed.s_addr = inet_addr(hostText);
    return platform::AddressText(parsed);
}

std::string DescriptionUrl(const char* address) { return platform::Format2(kUrlFormat, address, kDescriptionFile); }

std::string DocumentInBody(const std::string& body) { return std::string(body.c_str(), std::strlen(body.c_str())); }

std::string ExtractTag(const std::string& openTag, const std::string& closeTag, const std::string& document)
{
    const int openAt = platform::Find(document, openTag);
    const int closeAt = platform::Find(document, closeTag);
    if (openAt < 0 || closeAt < 0) {
        return std::string();
    }
    const int textStart = openAt + static_cast<int>(openTag.size());
    return platform::Mid(document, textStart, closeAt - textStart);
}

bool HasRobotUdn(const std::string& document)
{
    return platform::Find(DescriptionUdn(document), kSsdpReplyMarker) >= 0;
}

std::string DescriptionUdn(const std::string& document) { return ExtractTag(kUdnOpenTag, kUdnCloseTag, document); }

RobotDescription ReadRobotDescription(const char* address, const std::string& document)
{
    RobotDescription fields;
    fields.manufacturer = ExtractTag(kManufacturerOpenTag, kManufacturerCloseTag, document);
    fields.modelName = ExtractTag(kModelNameOpenTag, kModelNameCloseTag, document);
    fields.modelDescription = ExtractTag(kModelDescriptionOpenTag, kModelDescriptionCloseTag, document);
    fields.udn = ExtractTag(kUdnOpenTag, kUdnCloseTag, document);
    fields.presentationUrl = ExtractTag(kPresentationUrlOpenTag, kPresentationUrlCloseTag, document);
    fields.friendlyName = ExtractTag(kFriendlyNameOpenTag, kFriendlyNameCloseTag, document);
    fields.presentationUrl = platform::Format2(kUrlFormat, address, fields.presentationUrl.c_str());
    fields.udn = platform::Right(fields.udn, kUdnKeptChars);
    return fields;
}

bool IsReportableAddress(const char* address) { return platform::CountChar(address, '.') == kDotsInIpv4Address; }

std::string UnclosedFriendlyName(const std::string& document)
{
    const std::string openTag = kFriendlyNameOpenTag;
    const int openAt = platform::Find(document, openTag);
    if (openAt < 0 || platform::Find(document, kFriendlyNameCloseTag) >= 0) {
        return std::string();
    }
    return document.substr(static_cast<std::size_t>(openAt) + openTag.size());
}

}  // namespace seekwell
