#include <cstdio>
#include <new>
#include <utility>

#include "platform/cstring.h"
#include "platform/heap_string.h"
#include "upnp_search_wnd.h"

namespace seekwell {

namespace {

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

// The six fields of an accepted description, as they will be stored.
struct DescriptionFields {
    std::string manufacturer;
    std::string modelName;
    std::string modelDescription;
    std::string udn;
    std::string presentationUrl;
    std::string friendlyName;
};

bool IsRobotUdn(const std::string& udn)
{
    return platform::Find(udn, kSsdpReplyMarker) >= 0;
}

// Extracted in this order, each over the whole document; the presentation
// URL is rebuilt on the address and the UDN keeps only its tail.
DescriptionFields ReadFields(const char* pszAddress, const std::string& document)
{
    DescriptionFields fields;
    fields.manufacturer =
        CUpnpSearchWnd::ExtractTag(kManufacturerOpenTag, kManufacturerCloseTag, document);
    fields.modelName = CUpnpSearchWnd::ExtractTag(kModelNameOpenTag, kModelNameCloseTag, document);
    fields.modelDescription =
        CUpnpSearchWnd::ExtractTag(kModelDescriptionOpenTag, kModelDescriptionCloseTag, document);
    fields.udn = CUpnpSearchWnd::ExtractTag(kUdnOpenTag, kUdnCloseTag, document);
    fields.presentationUrl =
        CUpnpSearchWnd::ExtractTag(kPresentationUrlOpenTag, kPresentationUrlCloseTag, document);
    fields.friendlyName =
        CUpnpSearchWnd::ExtractTag(kFriendlyNameOpenTag, kFriendlyNameCloseTag, document);
    fields.presentationUrl =
        platform::Format2(kUrlFormat, pszAddress, fields.presentationUrl.c_str());
    fields.udn = platform::Right(fields.udn, kUdnKeptChars);
    return fields;
}

void FillRow(CDeviceEntry& row, const char* pszAddress, DescriptionFields&& fields)
{
    std::snprintf(row.m_szAddress, sizeof row.m_szAddress, "%s", pszAddress);
    row.m_strManufacturer = std::move(fields.manufacturer);
    row.m_strModelName = std::move(fields.modelName);
    row.m_strModelDescription = std::move(fields.modelDescription);
    row.m_strUDN = std::move(fields.udn);
    row.m_strPresentationURL = std::move(fields.presentationUrl);
    row.m_strFriendlyName = std::move(fields.friendlyName);
}

// The address is copied first, then the name; a copy that cannot be made is
// stored as nullptr and the record still counts.
void WriteRecord(DISCOVERY_RESULT& record, const char* pszAddress, const char* pszName)
{
    record.pszAddress = platform::StrDupA(pszAddress);
    record.pszName = platform::StrDupA(pszName);
}

}  // namespace

void CUpnpSearchWnd::ProcessAddress(const char* pszAddress, DISCOVERY_RESULT* results)
{
    try {
        const std::string url = platform::Format2(kUrlFormat, pszAddress, kDescriptionFile);
        AcceptDescription(pszAddress, FetchDescription(url), results);
    } catch (const std::bad_alloc&) {
        // Out of memory drops this device like any other failure of the fetch.
    }
}

void CUpnpSearchWnd::AcceptDescription(const char* pszAddress, const std::string& document,
                                       DISCOVERY_RESULT* results)
{
    if (!IsRobotUdn(ExtractTag(kUdnOpenTag, kUdnCloseTag, document))) {
        return;
    }
    DescriptionFields fields = ReadFields(pszAddress, document);
    CDeviceEntry* row = FirstFreeRow();
    if (row == nullptr) {
        return;
    }
    FillRow(*row, pszAddress, std::move(fields));
    if (platform::CountChar(pszAddress, '.') == kDotsInIpv4Address) {
        WriteRecord(results[m_nResultCount], pszAddress, row->m_strFriendlyName.c_str());
        ++m_nResultCount;
    }
}

std::string CUpnpSearchWnd::ExtractTag(const std::string& openTag, const std::string& closeTag,
                                       const std::string& document)
{
    const int openAt = platform::Find(document, openTag);
    const int closeAt = platform::Find(document, closeTag);
    if (openAt < 0 || closeAt < 0) {
        return std::string();
    }
    const int textStart = openAt + static_cast<int>(openTag.size());
    return platform::Mid(document, textStart, closeAt - textStart);
}

CDeviceEntry* CUpnpSearchWnd::FirstFreeRow()
{
    for (CDeviceEntry& row : m_Devices) {
        if (row.IsFree()) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace seekwell
