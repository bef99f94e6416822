// One row of a search's device table: an accepted robot and its description fields.
#ifndef SEEKWELL_BUILTIN_DEVICE_ENTRY_H
#define SEEKWELL_BUILTIN_DEVICE_ENTRY_H

#include <string>

#include "search_constants.h"

namespace seekwell {

class CDeviceEntry {
public:
    // An empty address marks a free row.
    bool IsFree() const { return m_szAddress[0] == '\0'; }

    char m_szAddress[kAddressSlotSize] = {};
    // Kept zero and never read: the row keeps the layout it has always had.
    char m_szReserved[kAddressSlotSize] = {};
    // Every field is stored though only the name leaves the search: the row records the device.
    std::string m_strManufacturer;
    std::string m_strModelName;
    std::string m_strModelDescription;
    std::string m_strUDN;
    std::string m_strPresentationURL;
    std::string m_strFriendlyName;
};

}  // namespace seekwell

#endif  // SEEKWELL_BUILTIN_DEVICE_ENTRY_H
