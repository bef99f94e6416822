// The finder's answer: a snapshot of the devices one search found, handed
// out through the collection, enumerator and device interfaces.
#ifndef SEEKWELL_FINDER_GUPNP_DEVICE_COLLECTION_H
#define SEEKWELL_FINDER_GUPNP_DEVICE_COLLECTION_H

#include <memory>
#include <string>
#include <vector>

#include "finder/upnp_interfaces.h"

namespace seekwell {

struct DeviceProperties {
    std::string strFriendlyName;
    std::string strPresentationUrl;
    std::string strDescription;  // the device's modelDescription
};

using DeviceList = std::vector<DeviceProperties>;

// A new collection with one reference, or null when memory runs out.
IUPnPDevices* NewDeviceCollection(DeviceList devices);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_GUPNP_DEVICE_COLLECTION_H
